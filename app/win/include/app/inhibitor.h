#pragma once

// Keeps the screen on and the machine awake while a workout runs: the person exercises without
// touching the computer, and the countdown must stay in sight.
//
// The Windows build's declaration: the same public face as the desktop-bus one in app/inhibitor.h,
// without the session bus, which Windows does not have. The window and main() use only this face.
// Windows keeps the request per thread, so it is made and dropped on the GUI thread, where the
// window calls setHeld.

#include <QObject>
#include <QString>

namespace app {

class Inhibitor : public QObject {
    Q_OBJECT

public:
    // Who holds the request: on Windows only the system itself.
    enum class Service { None, System };

    explicit Inhibitor(QObject *parent = nullptr);
    ~Inhibitor() override;

    // Why the screen stays on; shown by desktops that list such requests.
    static QString reason();

    // Holding asks the system to keep display and machine awake; letting go lets both sleep
    // again on their own timers.
    void setHeld(bool held);
    bool isHeld() const { return m_wanted; }
    Service service() const { return m_held; }

    // The system answers at once: nothing is ever in flight and nothing to settle at the end.
    int callsInFlight() const { return 0; }
    void settle(int msecs) { Q_UNUSED(msecs); }

signals:
    void changed();

private:
    bool m_wanted = false;
    Service m_held = Service::None;
};

} // namespace app
