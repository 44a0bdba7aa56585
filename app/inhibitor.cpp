#include "app/inhibitor.h"

#include "app/xscreensaver.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QEventLoop>
#include <QGuiApplication>
#include <QThread>
#include <QTimer>
#include <QVariantMap>

namespace app {

namespace {

// Idle (8) and suspend (4), the same bits for the portal and the GNOME session manager.
constexpr uint kIdleAndSuspend = 8 | 4;

// A service that takes longer than this is taken as absent, and the next one is asked.
constexpr int kAnswerTimeoutMs = 10000;

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");

QString applicationId()
{
    const QString desktopFile = QGuiApplication::desktopFileName();
    return desktopFile.isEmpty() ? QCoreApplication::applicationName() : desktopFile;
}

Inhibitor::Service nextService(Inhibitor::Service service)
{
    switch (service) {
    case Inhibitor::Service::Portal: return Inhibitor::Service::ScreenSaver;
    case Inhibitor::Service::ScreenSaver: return Inhibitor::Service::GnomeSession;
    default: return Inhibitor::Service::None;
    }
}

} // namespace

Inhibitor::Inhibitor(QObject *parent) : QObject(parent)
{
    // Qt keeps one session bus connection per process; once made here, the window's own use of
    // it finds it ready.
    m_connecting = QThread::create([] { QDBusConnection::sessionBus(); });
    m_connecting->start();
}

Inhibitor::~Inhibitor()
{
    // A bus that hangs must not hold up the program's end: the thread is then left to the
    // process's exit.
    if (m_connecting->wait(1000))
        delete m_connecting;
}

QString Inhibitor::reason() { return QStringLiteral("Идёт тренировка"); }

bool Inhibitor::connectBus()
{
    if (!m_busTried) {
        m_busTried = true;
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected())
            m_bus = std::make_unique<QDBusConnection>(bus);
    }
    return m_bus != nullptr;
}

void Inhibitor::setHeld(bool held)
{
    if (held == m_wanted)
        return;
    m_wanted = held;
    if (held != m_xSuspended) {
        suspendXScreenSaver(held);
        m_xSuspended = held;
    }
    if (held) {
        // A request still on its way is kept when it is answered; no second one is needed.
        if (m_held == Service::None && !m_requesting && connectBus())
            request(Service::Portal);
        return;
    }
    if (m_held != Service::None) {
        release(m_held, m_handle, m_cookie);
        m_held = Service::None;
        m_handle.clear();
        m_cookie = 0;
    }
}

void Inhibitor::request(Service service)
{
    QDBusMessage call;
    switch (service) {
    case Service::Portal:
        call =
            QDBusMessage::createMethodCall(kPortalService, QStringLiteral("/org/freedesktop/portal/desktop"),
                                           QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
        // No window identifier: the inhibition is the program's, whichever window shows.
        call << QString() << kIdleAndSuspend << QVariantMap{{QStringLiteral("reason"), reason()}};
        break;
    case Service::ScreenSaver:
        call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"),
                                              QStringLiteral("/org/freedesktop/ScreenSaver"),
                                              QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("Inhibit"));
        call << applicationId() << reason();
        break;
    case Service::GnomeSession:
        call = QDBusMessage::createMethodCall(QStringLiteral("org.gnome.SessionManager"),
                                              QStringLiteral("/org/gnome/SessionManager"),
                                              QStringLiteral("org.gnome.SessionManager"), QStringLiteral("Inhibit"));
        call << applicationId() << uint(0) << reason() << kIdleAndSuspend;
        break;
    case Service::None: return;
    }
    m_requesting = true;
    auto *watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(call, kAnswerTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, service](QDBusPendingCallWatcher *answered) { requestAnswered(answered, service); });
    track(watcher);
}

void Inhibitor::requestAnswered(QDBusPendingCallWatcher *watcher, Service service)
{
    m_requesting = false;
    QString handle;
    uint cookie = 0;
    bool granted = false;
    if (service == Service::Portal) {
        QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        granted = reply.isValid();
        if (granted)
            handle = reply.value().path();
    } else {
        QDBusPendingReply<uint> reply = *watcher;
        granted = reply.isValid();
        if (granted)
            cookie = reply.value();
    }
    if (!granted) {
        // Absent, refusing or too slow: the next service may do. Nothing is reported.
        if (m_wanted)
            request(nextService(service));
        return;
    }
    if (m_wanted) {
        m_held = service;
        m_handle = handle;
        m_cookie = cookie;
    } else {
        // The workout stopped before the answer came.
        release(service, handle, cookie);
    }
}

void Inhibitor::release(Service service, const QString &handle, uint cookie)
{
    QDBusMessage call;
    switch (service) {
    case Service::Portal:
        call = QDBusMessage::createMethodCall(kPortalService, handle, QStringLiteral("org.freedesktop.portal.Request"),
                                              QStringLiteral("Close"));
        break;
    case Service::ScreenSaver:
        call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/org/freedesktop/ScreenSaver"),
            QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("UnInhibit"));
        call << cookie;
        break;
    case Service::GnomeSession:
        call = QDBusMessage::createMethodCall(QStringLiteral("org.gnome.SessionManager"),
                                              QStringLiteral("/org/gnome/SessionManager"),
                                              QStringLiteral("org.gnome.SessionManager"), QStringLiteral("Uninhibit"));
        call << cookie;
        break;
    case Service::None: return;
    }
    // The answer only matters to settle(): a failed release leaves nothing to do.
    track(new QDBusPendingCallWatcher(m_bus->asyncCall(call, kAnswerTimeoutMs), this));
}

void Inhibitor::track(QDBusPendingCallWatcher *watcher)
{
    ++m_inFlight;
    // Connected after the caller's own handler, so that a follow-up call it sends is counted
    // before changed() is emitted.
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *answered) {
        --m_inFlight;
        answered->deleteLater();
        emit changed();
    });
}

void Inhibitor::settle(int msecs)
{
    if (m_inFlight == 0)
        return;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &Inhibitor::changed, &loop, [this, &loop] {
        if (m_inFlight == 0)
            loop.quit();
    });
    deadline.start(msecs);
    loop.exec();
}

} // namespace app
