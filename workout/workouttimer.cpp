#include "workout/workouttimer.h"

#include <algorithm>

namespace workout {

namespace {
constexpr std::chrono::milliseconds kInterval{WorkoutTimer::kIntervalMs};
}

WorkoutTimer::WorkoutTimer(QObject *parent) : QObject(parent)
{
    // A precise timer wakes on its millisecond; a coarse one may slip by up to 5 %.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &WorkoutTimer::tick);
    m_due = m_lastDue = Clock::now();
}

void WorkoutTimer::setEnabled(bool enabled)
{
    if (!enabled)
        m_timer.stop();
    else if (!m_timer.isActive()) // a restart would cut the running second short
        startDue(Clock::now() + kInterval);
}

void WorkoutTimer::continueFrom(const WorkoutTimer &other)
{
    if (!m_timer.isActive())
        startDue(other.m_lastDue + kInterval);
}

void WorkoutTimer::startDue(Clock::time_point due)
{
    m_due = due;
    m_lastDue = due - kInterval;
    arm();
}

void WorkoutTimer::arm()
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_due - m_lead - Clock::now());
    m_timer.start(int(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, kIntervalMs)));
}

void WorkoutTimer::tick()
{
    m_lastDue = m_due;
    m_due += kInterval;
    // After a stall of more than a second (a suspended machine), the missed ticks are not made
    // up in a burst: the next one is a second from now, as a repeating timer would have it.
    if (m_due < Clock::now())
        m_due = Clock::now() + kInterval;
    // Armed before the handlers run, so that one disabling the timer stops it for good.
    arm();
    emit timeout();
}

} // namespace workout
