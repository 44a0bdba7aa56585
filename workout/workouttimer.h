#pragma once

// A one-second timer that is either enabled or not, like the timers the workout was designed
// around: enabling a disabled timer starts a fresh period, enabling an enabled one changes
// nothing. Every tick is due a whole number of seconds after the period began, by the steady
// clock: a tick handled late does not move the ticks after it, so a long workout does not drift.
// A timer with a lead fires that much ahead of each tick's second, and its handler learns the
// second from due(): what must happen on the second itself (a cue) is handed over with it.

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
    // Milliseconds to the next firing (its second less the lead), -1 while disabled.
    int remainingTime() const { return m_timer.remainingTime(); }
    // How far ahead of its second each tick fires from the next one armed on (none by default).
    void setLead(std::chrono::milliseconds lead) { m_lead = lead; }
    // The second of the tick being handled, or of the last one.
    Clock::time_point due() const { return m_lastDue; }
    // The second of the next tick, while enabled.
    Clock::time_point nextDue() const { return m_due; }

signals:
    void timeout();

private:
    void startDue(Clock::time_point due);
    void arm();
    void tick();

    QTimer m_timer;              // single-shot, armed for the next due tick
    Clock::time_point m_due;     // the next tick
    Clock::time_point m_lastDue; // the tick handled last
    std::chrono::milliseconds m_lead{0};
};

} // namespace workout
