#include "app/inhibitor.h"

#include <windows.h>

namespace app {

Inhibitor::Inhibitor(QObject *parent) : QObject(parent) {}

Inhibitor::~Inhibitor() { setHeld(false); }

QString Inhibitor::reason() { return QStringLiteral("Идёт тренировка"); }

void Inhibitor::setHeld(bool held)
{
    if (held == m_wanted)
        return;
    m_wanted = held;
    if (held) {
        // ES_CONTINUOUS keeps the request until it is replaced, rather than resetting the idle
        // timers once.
        const EXECUTION_STATE before =
            SetThreadExecutionState(ES_CONTINUOUS | ES_DISPLAY_REQUIRED | ES_SYSTEM_REQUIRED);
        m_held = before != 0 ? Service::System : Service::None;
    } else {
        SetThreadExecutionState(ES_CONTINUOUS);
        m_held = Service::None;
    }
    emit changed();
}

} // namespace app
