#pragma once

// Keeps the desktop from blanking or locking the screen while a workout runs: the person
// exercises without touching the computer, and the countdown must stay in sight.
//
// Asks the session bus, in this order, for an idle inhibition: the desktop portal, then the
// freedesktop screen saver, then the GNOME session manager; the first that answers holds it.
// Every call is asynchronous, so a slow or hung bus never stalls the window. Without a session
// bus, or with none of the services, nothing happens and nothing is reported: the workout runs
// as it would anyway. On X11 the X server's own screen saver is suspended as well.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <memory>

class QDBusPendingCallWatcher;
class QThread;

namespace app {

class Inhibitor : public QObject {
    Q_OBJECT

public:
    // Which service holds the inhibition, in the order they are asked.
    enum class Service { None, Portal, ScreenSaver, GnomeSession };

    // Uses the session bus. The connection is made at once on a helper thread, so that the
    // first START does not wait for it.
    explicit Inhibitor(QObject *parent = nullptr);
    ~Inhibitor() override;

    // The reason the desktop shows for the inhibition.
    static QString reason();

    // Holding asks for an inhibition (unless one is held or on its way); letting go releases it,
    // also one whose request has not been answered yet: it is released when the answer comes.
    void setHeld(bool held);
    bool isHeld() const { return m_wanted; }

    // The service that holds the inhibition now; None while none is held.
    Service service() const { return m_held; }

    // Calls sent and not answered yet.
    int callsInFlight() const { return m_inFlight; }

    // Runs the event loop until every call sent has been answered, or the time is up. For the
    // program's end, so that a release is not lost with the connection.
    void settle(int msecs);

signals:
    // Emitted whenever an answer has been handled; lets tests wait on it.
    void changed();

private:
    void request(Service service);
    void requestAnswered(QDBusPendingCallWatcher *watcher, Service service);
    void release(Service service, const QString &handle, uint cookie);
    void track(QDBusPendingCallWatcher *watcher);
    bool connectBus();

    QThread *m_connecting = nullptr;
    std::unique_ptr<QDBusConnection> m_bus;
    bool m_busTried = false;
    bool m_xSuspended = false;
    bool m_wanted = false;
    bool m_requesting = false;
    Service m_held = Service::None;
    QString m_handle;  // the portal's request object
    uint m_cookie = 0; // the screen saver's or the session manager's cookie
    int m_inFlight = 0;
};

} // namespace app
