#pragma once

// A one-second timer that is either enabled or not, like the timers the workout was designed
// around: enabling a disabled timer starts a fresh period, enabling an enabled one changes
// nothing. Every tick is due a whole number of seconds after the period began, by the steady
// clock: a tick handled late does not move the ticks after it, so a long workout does not drift.

#include <QObject>
#include <QTimer>

#include <chrono>

namespace workout {

class WorkoutTimer : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kIntervalMs = 1000;

    explicit WorkoutTimer(QObject *parent = nullptr);

    void setEnabled(bool enabled);
    // Enables a disabled timer on the seconds of `other`, whose tick is being handled (or was
    // last): its first tick is due one second after that tick was due, however late that one is
    // being handled. The hand-over from one phase's timer to the next keeps the workout's time.
    void continueFrom(const WorkoutTimer &other);
    bool isEnabled() const { return m_timer.isActive(); }
    // Milliseconds to the next tick, -1 while disabled.
    int remainingTime() const { return m_timer.remainingTime(); }

signals:
    void timeout();

private:
    void startDue(Clock::time_point due);
    void arm();
    void tick();

    QTimer m_timer;              // single-shot, armed for the next due tick
    Clock::time_point m_due;     // the next tick
    Clock::time_point m_lastDue; // the tick handled last
};

} // namespace workout
