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
    void lateTicksMoveNoLaterOne();
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

// A busy machine hands the GUI thread a tick late. Neither the next tick of the same timer nor
// the first one of the timer taking over (preparation -> work) may move by that: each is due on
// the seconds of the workout's start. Each handler here runs at least 300 ms after its tick was
// due, so whatever the machine does the next tick is due at most 700 ms after it ends.
void TestWorkoutTimer::lateTicksMoveNoLaterOne()
{
    WorkoutTimer preparation;
    WorkoutTimer work;
    int handedOverLeft = -1;
    int nextLeft = -1;
    connect(&preparation, &WorkoutTimer::timeout, this, [&] {
        QTest::qSleep(300);
        preparation.setEnabled(false);
        work.continueFrom(preparation);
        handedOverLeft = work.remainingTime();
    });
    connect(&work, &WorkoutTimer::timeout, this, [&] {
        QTest::qSleep(300);
        nextLeft = work.remainingTime();
        work.setEnabled(false);
    });
    preparation.setEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(nextLeft >= 0, 10000);
    QVERIFY2(handedOverLeft >= 0 && handedOverLeft <= 700, QByteArray::number(handedOverLeft));
    QVERIFY2(nextLeft <= 700, QByteArray::number(nextLeft));
}

QTEST_GUILESS_MAIN(TestWorkoutTimer)
#include "tst_sequencer_timer.moc"
