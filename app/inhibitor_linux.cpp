#include "app/inhibitor.h"

#include "app/sessionlog.h"
#include "app/xscreensaver.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QTimer>
#include <QVariantMap>
#include <limits>

// Linux: the session bus's services, and the X server's own screen saver where the program runs
// on X11. Without a session bus, or with none of the services, nothing happens.

namespace app {

namespace {

// Idle (8) and suspend (4), the same bits for the portal and the GNOME session manager.
constexpr uint kIdleAndSuspend = 8 | 4;

// libdbus's "no timeout". The answer limit is ours (a timer), not the bus's: a call the bus
// gives up on drops its answer, and an inhibition granted after that would be held by our
// connection with nobody to release it.
constexpr int kNoBusTimeout = std::numeric_limits<int>::max();

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

const char *serviceName(Inhibitor::Service service)
{
    switch (service) {
    case Inhibitor::Service::Portal: return "portal";
    case Inhibitor::Service::ScreenSaver: return "screen saver";
    case Inhibitor::Service::GnomeSession: return "session manager";
    default: return "none";
    }
}

} // namespace

class Inhibitor::Platform {
public:
    Platform(Inhibitor &owner, std::chrono::milliseconds answerLimit) : q(owner), m_answerLimit(answerLimit) {}

    void setHeld(bool held);
    void request(Service service);
    void answered(QDBusPendingCallWatcher *watcher, Service service);
    void moveOn(Service after);
    void release(Service service, const QString &handle, uint cookie);
    void track(QDBusPendingCallWatcher *watcher);
    bool connectBus();

    Inhibitor &q;
    const std::chrono::milliseconds m_answerLimit;
    // The session bus is looked for at the first workout, on this thread: on xcb and Wayland
    // Qt's accessibility bridge has made the connection as the window was first shown.
    std::unique_ptr<QDBusConnection> m_bus;
    bool m_busTried = false;
    bool m_xSuspended = false;
    bool m_wanted = false;
    // The request whose answer decides whether the next service is asked; requests given up
    // on at the limit stay in flight, and what they bring is released.
    QDBusPendingCallWatcher *m_current = nullptr;
    Service m_held = Service::None;
    QString m_handle;  // the portal's request object
    uint m_cookie = 0; // the screen saver's or the session manager's cookie
    int m_inFlight = 0;
};

Inhibitor::Inhibitor(QObject *parent, std::chrono::milliseconds answerLimit)
    : QObject(parent), d(std::make_unique<Platform>(*this, answerLimit))
{
}

Inhibitor::~Inhibitor() = default;

void Inhibitor::setHeld(bool held) { d->setHeld(held); }
bool Inhibitor::isHeld() const { return d->m_wanted; }
Inhibitor::Service Inhibitor::service() const { return d->m_held; }
int Inhibitor::callsInFlight() const { return d->m_inFlight; }

bool Inhibitor::Platform::connectBus()
{
    if (!m_busTried) {
        m_busTried = true;
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected())
            m_bus = std::make_unique<QDBusConnection>(bus);
        else
            qCDebug(lcSession) << "no session bus; the screen is kept on by nothing";
    }
    return m_bus != nullptr;
}

void Inhibitor::Platform::setHeld(bool held)
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
        if (m_held == Service::None && !m_current && connectBus())
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

void Inhibitor::Platform::request(Service service)
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
    auto *watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(call, kNoBusTimeout), &q);
    m_current = watcher;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &q,
                     [this, service](QDBusPendingCallWatcher *answer) { answered(answer, service); });
    track(watcher);
    // The timer dies with the watcher, so it only fires while no answer has come.
    QTimer::singleShot(m_answerLimit, watcher, [this, watcher, service] {
        if (m_current != watcher)
            return;
        qCDebug(lcSession) << "no answer from the" << serviceName(service) << "in time; asking the next";
        m_current = nullptr;
        moveOn(service);
    });
}

void Inhibitor::Platform::answered(QDBusPendingCallWatcher *watcher, Service service)
{
    const bool current = m_current == watcher;
    if (current)
        m_current = nullptr;
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
        // Absent or refusing: the next service may do. Nothing is reported.
        if (current)
            moveOn(service);
        return;
    }
    if (m_wanted && m_held == Service::None) {
        m_held = service;
        m_handle = handle;
        m_cookie = cookie;
        return;
    }
    // The workout stopped before the answer came, or another service holds it already.
    qCDebug(lcSession) << "releasing what the" << serviceName(service) << "granted after it was no longer wanted";
    release(service, handle, cookie);
}

void Inhibitor::Platform::moveOn(Service after)
{
    if (m_wanted && m_held == Service::None && !m_current)
        request(nextService(after));
}

void Inhibitor::Platform::release(Service service, const QString &handle, uint cookie)
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
    track(new QDBusPendingCallWatcher(m_bus->asyncCall(call, int(m_answerLimit.count())), &q));
}

void Inhibitor::Platform::track(QDBusPendingCallWatcher *watcher)
{
    ++m_inFlight;
    // Connected after the caller's own handler, so that a follow-up call it sends is counted
    // before changed() is emitted.
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &q, [this](QDBusPendingCallWatcher *answer) {
        --m_inFlight;
        answer->deleteLater();
        emit q.changed();
    });
}

} // namespace app
