#include "app/inhibitor.h"

#include <windows.h>

// Windows: the system's own request keeps the display on and the machine awake. It belongs to
// the thread that makes it, so it is made and dropped on the GUI thread, where the window calls
// setHeld. The system answers at once: nothing is ever in flight, and settle() has nothing to
// wait for. Held while the window holds it, like the Linux services; dropped on letting go and,
// should the window never let go, when the Inhibitor goes.

namespace app {

class Inhibitor::Platform {
public:
    ~Platform() { setHeld(false); }

    void setHeld(bool held)
    {
        if (held == m_wanted)
            return;
        m_wanted = held;
        if (held) {
            // ES_CONTINUOUS keeps the request until it is replaced, rather than resetting the
            // idle timers once. 0 means the system refused it: nothing is held then.
            const EXECUTION_STATE before =
                SetThreadExecutionState(ES_CONTINUOUS | ES_DISPLAY_REQUIRED | ES_SYSTEM_REQUIRED);
            m_held = before != 0 ? Service::System : Service::None;
        } else {
            if (m_held != Service::None)
                SetThreadExecutionState(ES_CONTINUOUS);
            m_held = Service::None;
        }
    }

    bool m_wanted = false;
    Service m_held = Service::None;
};

Inhibitor::Inhibitor(QObject *parent, std::chrono::milliseconds answerLimit)
    : QObject(parent), d(std::make_unique<Platform>())
{
    Q_UNUSED(answerLimit); // nothing is asked that could fail to answer
}

Inhibitor::~Inhibitor() = default;

void Inhibitor::setHeld(bool held)
{
    const bool wanted = d->m_wanted;
    d->setHeld(held);
    // The answer is already here; tests and settle() wait on this as on a late one.
    if (wanted != held)
        emit changed();
}

bool Inhibitor::isHeld() const { return d->m_wanted; }
Inhibitor::Service Inhibitor::service() const { return d->m_held; }
int Inhibitor::callsInFlight() const { return 0; }
int Inhibitor::releasesInFlight() const { return 0; }

} // namespace app
