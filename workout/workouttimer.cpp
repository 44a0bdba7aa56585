#include "workout/workouttimer.h"

namespace workout {

WorkoutTimer::WorkoutTimer(QObject *parent) : QObject(parent)
{
    // A precise timer keeps its 1000 ms grid; a coarse one may slip by up to 5 % per tick.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &WorkoutTimer::timeout);
}

void WorkoutTimer::setEnabled(bool enabled)
{
    if (!enabled)
        m_timer.stop();
    else if (!m_timer.isActive()) // start() would cut the running second short
        m_timer.start();
}

} // namespace workout
