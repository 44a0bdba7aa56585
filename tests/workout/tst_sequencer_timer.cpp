// The workout's one-second timer on a real event loop. The waits here only let time pass; every
// assertion holds however late the machine runs.

#include "workout/workouttimer.h"

#include <QSignalSpy>
#include <QTest>

using workout::WorkoutTimer;

class TestWorkoutTimer : public QObject {
    Q_OBJECT
private slots:
    void enablingTwiceKeepsTheRunningSecond();
    void reEnablingStartsAFreshSecond();
    void ticksEverySecondWhileEnabled();
};

void TestWorkoutTimer::enablingTwiceKeepsTheRunningSecond()
{
    WorkoutTimer timer;
    QVERIFY(!timer.isEnabled());
    QCOMPARE(timer.remainingTime(), -1);
    timer.setEnabled(true);
    QVERIFY(timer.isEnabled());
    QTest::qSleep(300); // no events are processed meanwhile
    timer.setEnabled(true);
    QVERIFY2(timer.remainingTime() <= 700, QByteArray::number(timer.remainingTime()));
}

void TestWorkoutTimer::reEnablingStartsAFreshSecond()
{
    WorkoutTimer timer;
    timer.setEnabled(true);
    QTest::qSleep(300);
    timer.setEnabled(false);
    QVERIFY(!timer.isEnabled());
    timer.setEnabled(true);
    QVERIFY2(timer.remainingTime() > 700, QByteArray::number(timer.remainingTime()));
}

void TestWorkoutTimer::ticksEverySecondWhileEnabled()
{
    WorkoutTimer timer;
    QSignalSpy spy(&timer, &WorkoutTimer::timeout);
    timer.setEnabled(true);
    QVERIFY(spy.wait(3000));
    QVERIFY(timer.isEnabled()); // repeats, not single-shot
    QVERIFY(timer.remainingTime() > 0);
    timer.setEnabled(false);
    QTest::qWait(1200);
    QCOMPARE(spy.count(), 1);
}

QTEST_GUILESS_MAIN(TestWorkoutTimer)
#include "tst_sequencer_timer.moc"
