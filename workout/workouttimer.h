#pragma once

// A one-second timer that is either enabled or not, like the timers the workout was designed
// around: enabling a disabled timer starts a fresh period, enabling an enabled one changes
// nothing. Ticks are scheduled from the previous deadline, so a long workout does not drift.

#include <QObject>
#include <QTimer>

namespace workout {

class WorkoutTimer : public QObject {
    Q_OBJECT
public:
    static constexpr int kIntervalMs = 1000;

    explicit WorkoutTimer(QObject *parent = nullptr);

    void setEnabled(bool enabled);
    bool isEnabled() const { return m_timer.isActive(); }
    // Milliseconds to the next tick, -1 while disabled.
    int remainingTime() const { return m_timer.remainingTime(); }

signals:
    void timeout();

private:
    QTimer m_timer;
};

} // namespace workout
