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

// Linux: the session bus's services, and the X server's own screen saver where the program runs
// on X11. Without a session bus, or with none of the services, nothing happens.

namespace app {

namespace {

// Idle (8) and suspend (4), the same bits for the portal and the GNOME session manager.
constexpr uint kIdleAndSuspend = 8 | 4;

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
    void track(QDBusPendingCallWatcher *watcher, bool release);
    void connectBus();

    Inhibitor &q;
    const std::chrono::milliseconds m_answerLimit;
    // The session bus, connected as the window is built (see the constructor).
    std::unique_ptr<QDBusConnection> m_bus;
    bool m_xSuspended = false;
    bool m_wanted = false;
    // The request whose answer decides whether the next service is asked; requests given up
    // on at the limit stay in flight, and what they bring is released.
    QDBusPendingCallWatcher *m_current = nullptr;
    Service m_held = Service::None;
    QString m_handle;  // the portal's request object
    uint m_cookie = 0; // the screen saver's or the session manager's cookie
    int m_inFlight = 0;
    int m_releasesInFlight = 0;
};

Inhibitor::Inhibitor(QObject *parent, std::chrono::milliseconds answerLimit)
    : QObject(parent), d(std::make_unique<Platform>(*this, answerLimit))
{
    // Connecting waits for the bus's answer on this thread, without a limit. Now, while the
    // window is built, the bus has just answered (main.cpp asked it, or it was cut off then);
    // on xcb and Wayland Qt's accessibility bridge has connected already, and this costs
    // nothing. At a START, a bus that has hung since would hold the window for minutes, while
    // the calls on a connection made now never wait.
    d->connectBus();
}

Inhibitor::~Inhibitor() = default;

void Inhibitor::setHeld(bool held) { d->setHeld(held); }
bool Inhibitor::isHeld() const { return d->m_wanted; }
Inhibitor::Service Inhibitor::service() const { return d->m_held; }
int Inhibitor::callsInFlight() const { return d->m_inFlight; }
int Inhibitor::releasesInFlight() const { return d->m_releasesInFlight; }

void Inhibitor::Platform::connectBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        m_bus = std::make_unique<QDBusConnection>(bus);
    else
        qCDebug(lcSession) << "no session bus; the screen is kept on by nothing but the X server";
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
        if (m_held == Service::None && !m_current && m_bus)
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
    // Two limits. At the answer limit (our timer) the next service is asked, and a grant that
    // comes later is still released. At kCallLifetimes times it the bus gives the call up and
    // forgets it: a service that never answers leaves nothing pending for good. A grant later
    // still would be lost, and the inhibition held by our connection until the program ends.
    const auto lifetime = int(m_answerLimit.count() * kCallLifetimes);
    auto *watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(call, lifetime), &q);
    m_current = watcher;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &q,
                     [this, service](QDBusPendingCallWatcher *answer) { answered(answer, service); });
    track(watcher, false);
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
    track(new QDBusPendingCallWatcher(m_bus->asyncCall(call, int(m_answerLimit.count())), &q), true);
}

void Inhibitor::Platform::track(QDBusPendingCallWatcher *watcher, bool release)
{
    ++m_inFlight;
    m_releasesInFlight += release ? 1 : 0;
    // Connected after the caller's own handler, so that a follow-up call it sends is counted
    // before changed() is emitted.
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &q, [this, release](QDBusPendingCallWatcher *answer) {
        --m_inFlight;
        m_releasesInFlight -= release ? 1 : 0;
        answer->deleteLater();
        emit q.changed();
    });
}

} // namespace app
