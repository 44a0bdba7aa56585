// The workout sequencer driven the way the window drives it: clicks and timer ticks called
// directly, a recording view for the controls, the real cue set over real files in a temporary
// folder and fake channels that write every operation into one journal.

#include "cuefolder.h"
#include "fakechannel.h"
#include "initialplan.h"
#include "sound/cueset.h"
#include "workout/planformat.h"
#include "workout/sequencer.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <utility>

using namespace workout;
using sound::TMPModes;

namespace {

const QString kNoDevice = QStringLiteral("No MCI device open");
const QString kReport = QStringLiteral("report: ");

// The timer tab as the sequencer sees it. Error reports also go into the cue journal, so a test
// can see that they come after the handler's steps.
class RecordingView : public WorkoutView {
public:
    explicit RecordingView(QStringList &journal) : m_journal(journal) {}

    std::array<QString, kPlanFieldCount> fields = initialPlanTexts();
    QStringList filledFields; // setPlanText calls, in order
    QString time, rounds, cycles;
    QString title = texts::idleTitle;
    QString startCap = texts::start, pauseCap = texts::pause, musicCap = texts::musicOff;
    bool pauseVisible = false;
    std::array<bool, 3> lights = {false, false, false};
    bool sound = true, music = true;
    QStringList errors;

    QString planText(PlanField f) const override { return fields[int(f)]; }
    void setPlanText(PlanField f, const QString &text) override
    {
        fields[int(f)] = text;
        filledFields << QString::number(int(f));
    }
    void showTime(const QString &t) override { time = t; }
    void showRounds(const QString &t) override { rounds = t; }
    void showCycles(const QString &t) override { cycles = t; }
    QString startCaption() const override { return startCap; }
    void setStartCaption(const QString &t) override { startCap = t; }
    QString pauseCaption() const override { return pauseCap; }
    void setPauseCaption(const QString &t) override { pauseCap = t; }
    void setPauseVisible(bool v) override { pauseVisible = v; }
    QString musicCaption() const override { return musicCap; }
    void setMusicCaption(const QString &t) override { musicCap = t; }
    void setTitle(const QString &t) override { title = t; }
    bool isLightVisible(Light l) const override { return lights[int(l)]; }
    void setLightVisible(Light l, bool v) override { lights[int(l)] = v; }
    bool soundChecked() const override { return sound; }
    bool musicChecked() const override { return music; }
    void reportError(const QString &message) override
    {
        errors << message;
        m_journal << kReport + message;
    }

    // "none", or the one light shown; two at once is a fault of its own.
    QString light() const
    {
        static const char *names[] = {"yellow", "green", "red"};
        QStringList on;
        for (int i = 0; i < 3; ++i)
            if (lights[i])
                on << names[i];
        return on.isEmpty() ? QStringLiteral("none") : on.join('+');
    }

private:
    QStringList &m_journal;
};

struct Rig : CueFolder {
    QStringList journal;
    FakeChannel over{"over", &journal}, rest{"rest", &journal}, start{"start", &journal}, tick{"tick", &journal},
        work{"work", &journal}, music{"music", &journal};
    RecordingView view{journal};
    Plan plan{view};
    sound::CueFieldTexts pathFields;
    sound::CueChannels cues{&over, &rest, &start, &tick, &work, &music};
    Sequencer seq{view, plan, cues, [this] { sound::PrepareCues(cues, pathFields, soundDir); }};

    Rig() { plan.cycleChange(); } // as at start-up

    // Seconds only; minutes stay 0.
    void setPlan(int prep, int workSec, int restSec, int rounds, int cycles)
    {
        view.fields = {"0",
                       QString::number(prep),
                       "0",
                       QString::number(workSec),
                       "0",
                       QString::number(restSec),
                       QString::number(rounds),
                       QString::number(cycles)};
        plan.cycleChange();
    }
    void edit(PlanField f, const QString &text)
    {
        view.fields[int(f)] = text;
        plan.cycleChange(); // the fields' change handler
    }
    bool running() const { return view.startCap == texts::stop; }
    // One second: the handler of whichever timer is enabled, as the window's connections do.
    void tickOnce()
    {
        if (seq.Timer1.isEnabled())
            seq.Timer1Timer();
        else if (seq.Timer2.isEnabled())
            seq.Timer2Timer();
    }
    QStringList take() { return std::exchange(journal, {}); }
    // Ticks until the workout is over; returns how many it took (or -1 past the limit).
    int runToEnd(int limit = 100000)
    {
        for (int n = 1; n <= limit; ++n) {
            tickOnce();
            if (!running())
                return n;
        }
        return -1;
    }
};

QStringList without(QStringList list, const QString &prefix)
{
    list.removeIf([&](const QString &s) { return s.startsWith(prefix); });
    return list;
}

} // namespace

class TestSequencer : public QObject {
    Q_OBJECT
private slots:
    void initialPlanTimeline_data();
    void initialPlanTimeline();
    void emptyFieldsGetZeroBeforeStart();
    void preparationOfZeroSeconds();
    void shortPhasesHaveNoTickCue();
    void roundsAndCyclesCountDown();
    void zeroRounds();
    void zeroCycles();
    void zeroRoundsAndCyclesRunUntilStopped();
    void pauseAndResume();
    void pauseThenStopThenStart();
    void stopDuringPreparation();
    void soundOptionOff();
    void musicOptionChangedDuringWorkout();
    void planEditDuringWork();
    void invalidFieldKeepsStartFromStarting();
    void invalidFieldStillStops();
    void invalidFieldAtAutomaticStopFailsOnce();
    void damagedCueFileKeepsStartFromStarting();
    void missingCuesReportedOncePerChannel();
    void timersAreLeftToTheWindow();
    void tickCuesAreAnnouncedATickAhead_data();
    void tickCuesAreAnnouncedATickAhead();
};

// The initial plan, second by second, with every cue set and with one cue file missing: a
// missing cue is reported once, after the steps of the handler that first needed it, and the
// workout runs exactly as it would with the cue present.
void TestSequencer::initialPlanTimeline_data()
{
    QTest::addColumn<QString>("missing");
    QTest::addColumn<int>("reportAt");
    QTest::newRow("all cues") << QString() << -1;
    QTest::newRow("no Start.wav") << "Start.wav" << 0;
    QTest::newRow("no vintra.mp3") << "vintra.mp3" << 0;
    QTest::newRow("no Tick.wav") << "Tick.wav" << 7;
    QTest::newRow("no Work.wav") << "Work.wav" << 10;
    QTest::newRow("no Rest.wav") << "Rest.wav" << 30;
    QTest::newRow("no over.wav") << "over.wav" << 250;
}

void TestSequencer::initialPlanTimeline()
{
    QFETCH(QString, missing);
    QFETCH(int, reportAt);
    Rig rig;
    if (!missing.isEmpty())
        rig.removeCue(qPrintable(missing));
    QCOMPARE(rig.view.time, "04:10");

    auto checkReport = [&](int t, const QStringList &ops) {
        if (t == reportAt) {
            QCOMPARE(ops.last(), kReport + kNoDevice);
            QCOMPARE(ops.count(kReport + kNoDevice), 1);
        } else {
            QCOMPARE(ops.filter(kReport).size(), 0);
        }
    };

    rig.seq.sBitBtn1Click();
    QStringList ops = rig.take();
    checkReport(0, ops);
    QStringList opens = {"over.open", "rest.open", "start.open", "work.open", "tick.open", "music.open"};
    if (!missing.isEmpty())
        opens.removeAt(
            QList<QString>{"over.wav", "Rest.wav", "Start.wav", "Work.wav", "Tick.wav", "vintra.mp3"}.indexOf(missing));
    QCOMPARE(without(ops, kReport), opens + QStringList({"music.play", "start.play"}));
    QCOMPARE(rig.view.time, "00:10");
    QCOMPARE(rig.view.light(), "yellow");
    QCOMPARE(rig.view.title, "Подготовка");
    QCOMPARE(rig.view.rounds, "08");
    QCOMPARE(rig.view.cycles, "01");
    QCOMPARE(rig.view.startCap, "Стоп");
    QCOMPARE(rig.view.musicCap, "II");
    QVERIFY(!rig.view.pauseVisible);
    QCOMPARE(rig.seq.phase_left, 10);

    for (int t = 1; t <= 250; ++t) {
        rig.tickOnce();
        ops = rig.take();
        checkReport(t, ops);
        ops = without(ops, kReport);

        QString time, light, title;
        QStringList expected;
        int roundLeft = 0;
        if (t < 10) {
            time = QStringLiteral("00:%1").arg(10 - t, 2, 10, QChar('0'));
            light = "yellow";
            title = "Подготовка";
            if (t == 7)
                expected = {"tick.play"};
        } else if (t < 250) {
            const int round = (t - 10) / 30, into = (t - 10) % 30;
            roundLeft = 8 - round;
            if (into < 20) {
                time = QStringLiteral("00:%1").arg(20 - into, 2, 10, QChar('0'));
                light = "green";
                title = "Работа";
                if (t == 10)
                    expected = {"work.play", "tick.stop", "tick.setPosition 0"};
                else if (into == 0)
                    expected = {"work.play", "rest.stop", "tick.stop", "tick.setPosition 0"};
                else if (into == 17)
                    expected = {"tick.play"};
            } else {
                time = QStringLiteral("00:%1").arg(30 - into, 2, 10, QChar('0'));
                light = "red";
                title = "Отдых";
                if (into == 20)
                    expected = {"rest.play", "work.stop", "tick.stop", "tick.setPosition 0"};
                else if (into == 27)
                    expected = {"tick.play"};
            }
        } else {
            // The last rest ends: the change to work runs, then the stop steps in the same tick.
            time = "04:10";
            light = "none";
            title = "Тренировка";
            expected = {"work.play",  "rest.stop", "tick.stop", "tick.setPosition 0", "music.pause", "over.play",
                        "music.stop", "tick.stop", "work.stop", "start.stop",         "rest.stop"};
        }
        const QByteArray at = "t=" + QByteArray::number(t);
        QVERIFY2(ops == expected, at + ": " + ops.join(", ").toUtf8());
        QVERIFY2(rig.view.time == time, at + " " + rig.view.time.toUtf8());
        QVERIFY2(rig.view.light() == light, at + " " + rig.view.light().toUtf8());
        QVERIFY2(rig.view.title == title, at + " " + rig.view.title.toUtf8());
        QVERIFY2(rig.view.rounds == (t < 250 ? counterNumber(roundLeft ? roundLeft : 8) : "08"), at);
        QVERIFY2(rig.view.cycles == "01", at);
        QVERIFY2(rig.view.pauseVisible == (t >= 10 && t < 250), at);
        QVERIFY2(rig.seq.Timer1.isEnabled() == (t < 10), at);
        QVERIFY2(rig.seq.Timer2.isEnabled() == (t >= 10 && t < 250), at);
        if (t >= 10 && t < 250)
            QVERIFY2(rig.seq.round_left == roundLeft && rig.seq.cycle_left == 1, at);
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(rig.view.startCap, "С Т А Р Т !");
    QCOMPARE(rig.view.pauseCap, "Пауза");
    QCOMPARE(rig.view.musicCap, ">");
    QCOMPARE(rig.seq.cycle_left, 0);
    QCOMPARE(rig.view.errors.size(), reportAt < 0 ? 0 : 1);

    // Reported again in the next workout, still only once.
    rig.seq.sBitBtn1Click();
    QCOMPARE(rig.runToEnd(), 250);
    QCOMPARE(rig.view.errors.size(), reportAt < 0 ? 0 : 2);
}

void TestSequencer::emptyFieldsGetZeroBeforeStart()
{
    Rig rig;
    rig.view.fields = {"", "3", "", "", "", "2", "", "1"};
    rig.seq.sBitBtn1Click();
    // otdih_m, podg_m, rabota_m, rabota_s, round: the order the recompute reads them in.
    QCOMPARE(rig.view.filledFields, QStringList({"4", "0", "2", "3", "6"}));
    QCOMPARE(rig.view.fields, (std::array<QString, 8>{"0", "3", "0", "0", "0", "2", "0", "1"}));
    QCOMPARE(rig.view.time, "00:03");
    QCOMPARE(rig.plan.values().total_sec, 3);
}

void TestSequencer::preparationOfZeroSeconds()
{
    Rig rig;
    rig.setPlan(0, 20, 10, 8, 1);
    rig.seq.sBitBtn1Click();
    QCOMPARE(rig.view.time, "00:00");
    QCOMPARE(rig.view.light(), "yellow");
    rig.take();
    rig.tickOnce();
    QCOMPARE(rig.take(), QStringList({"work.play", "tick.stop", "tick.setPosition 0"}));
    QCOMPARE(rig.view.light(), "green");
    QCOMPARE(rig.view.title, "Работа");
    QCOMPARE(rig.view.time, "00:20");
    QVERIFY(rig.view.pauseVisible);
}

void TestSequencer::shortPhasesHaveNoTickCue()
{
    Rig rig;
    rig.setPlan(1, 3, 5, 1, 1);
    rig.seq.sBitBtn1Click();
    rig.tickOnce(); // preparation of 1 s ends
    QCOMPARE(rig.view.time, "00:03");
    rig.take();
    QStringList shown;
    for (int i = 0; i < 3; ++i) {
        rig.tickOnce();
        shown << rig.view.title + " " + rig.view.time;
    }
    QCOMPARE(shown, QStringList({"Работа 00:02", "Работа 00:01", "Отдых 00:05"}));
    QCOMPARE(rig.take().count("tick.play"), 0);
    // A rest of 5 s does get one, on the tick from 4 to 3.
    rig.tickOnce();
    QVERIFY(rig.take().isEmpty());
    rig.tickOnce();
    QCOMPARE(rig.take(), QStringList{"tick.play"});
    QCOMPARE(rig.view.time, "00:03");
    QCOMPARE(rig.runToEnd(), 3);
}

void TestSequencer::roundsAndCyclesCountDown()
{
    Rig rig;
    rig.setPlan(2, 2, 2, 2, 3);
    QCOMPARE(rig.view.time, "00:26");
    rig.seq.sBitBtn1Click();
    QStringList atWorkStart, cyclesAtWorkStart;
    int ticks = 0, rests = 0;
    while (rig.running() && ticks < 100) {
        const QString before = rig.view.light();
        rig.tickOnce();
        ++ticks;
        rests += before == "red" && rig.view.light() != "red";
        if (before != "green" && rig.view.light() == "green") {
            atWorkStart << rig.view.rounds;
            cyclesAtWorkStart << rig.view.cycles;
        }
    }
    QCOMPARE(atWorkStart, QStringList({"02", "01", "02", "01", "02", "01"}));
    QCOMPARE(cyclesAtWorkStart, QStringList({"03", "03", "02", "02", "01", "01"}));
    QCOMPARE(rests, 6);
    QCOMPARE(ticks, 26);
    // The last tick's stop places its Over cue on that tick's second, as every tick's cue.
    QVERIFY(rig.over.playedFor && *rig.over.playedFor == rig.seq.Timer2.due());
    QCOMPARE(rig.view.time, "00:26");
    QCOMPARE(rig.view.rounds, "02");
    QCOMPARE(rig.view.cycles, "03");
}

void TestSequencer::zeroRounds()
{
    Rig rig;
    rig.setPlan(2, 20, 10, 0, 3);
    QCOMPARE(rig.view.time, "00:02"); // the preparation alone
    QCOMPARE(rig.view.rounds, "00");
    rig.seq.sBitBtn1Click();
    rig.tickOnce();
    rig.tickOnce();
    QCOMPARE(rig.view.light(), "green");
    QStringList cycles;
    for (int i = 0; i < 3; ++i) {
        rig.tickOnce();
        cycles << rig.view.cycles;
        QCOMPARE(rig.view.rounds, "00");
    }
    QCOMPARE(cycles, QStringList({"02", "01", "03"})); // the last one is the plan again
    QVERIFY(!rig.running());
}

void TestSequencer::zeroCycles()
{
    Rig rig;
    rig.setPlan(2, 20, 10, 8, 0);
    rig.seq.sBitBtn1Click();
    rig.tickOnce();
    rig.tickOnce();
    QCOMPARE(rig.view.light(), "green");
    QCOMPARE(rig.seq.cycle_left, 0);
    rig.take();
    rig.tickOnce();
    QVERIFY(!rig.running());
    QCOMPARE(rig.view.light(), "none");
    QCOMPARE(rig.view.time, "00:02");
    QVERIFY(rig.take().contains("over.play"));
}

void TestSequencer::zeroRoundsAndCyclesRunUntilStopped()
{
    Rig rig;
    rig.setPlan(1, 20, 10, 0, 0);
    rig.seq.sBitBtn1Click();
    rig.tickOnce();
    QStringList cycles;
    for (int i = 1; i <= 40; ++i) { // through work, rest and into work again
        rig.tickOnce();
        cycles << rig.view.cycles;
    }
    QVERIFY(rig.running());
    QCOMPARE(cycles.mid(0, 3), QStringList({"0-1", "0-2", "0-3"}));
    QCOMPARE(cycles.at(11), "0-12");
    QCOMPARE(cycles.last(), "0-40");
    QCOMPARE(rig.seq.cycle_left, -40);
    QCOMPARE(rig.view.light(), "green");
    QCOMPARE(rig.view.rounds, "00");

    rig.seq.sBitBtn1Click();
    QVERIFY(!rig.running());
    QCOMPARE(rig.view.light(), "none");
    QCOMPARE(rig.view.cycles, "00");
    QCOMPARE(rig.view.time, "00:01");
}

void TestSequencer::pauseAndResume()
{
    Rig rig;
    rig.seq.sBitBtn1Click();
    for (int t = 1; t <= 18; ++t) // work began at 10; 00:12 at 18
        rig.tickOnce();
    QCOMPARE(rig.view.time, "00:12");
    rig.work.advance(300);
    rig.take();

    rig.seq.sBitBtn2Click();
    QCOMPARE(rig.take(), QStringList({"work.stop", "rest.stop"}));
    QCOMPARE(rig.view.pauseCap, "Возобновить");
    QVERIFY(!rig.seq.Timer1.isEnabled() && !rig.seq.Timer2.isEnabled());
    QVERIFY(rig.music.playing()); // music and tick cue go on
    QCOMPARE(rig.view.light(), "green");
    QCOMPARE(rig.view.startCap, "Стоп");
    rig.work.advance(500); // time passes, the stopped cue stays put

    rig.seq.sBitBtn2Click();
    QCOMPARE(rig.take(), QStringList({"work.play"}));
    QCOMPARE(rig.view.pauseCap, "Пауза");
    QVERIFY(rig.seq.Timer2.isEnabled());
    QVERIFY(rig.work.playing());
    QCOMPARE(rig.work.position(), 300);
    QCOMPARE(rig.seq.phase_left, 12);
    rig.tickOnce();
    QCOMPARE(rig.view.time, "00:11");

    // A cue that had finished starts again from its beginning.
    rig.work.advance(1000);
    rig.seq.sBitBtn2Click();
    rig.seq.sBitBtn2Click();
    QCOMPARE(rig.work.position(), 0);
    QVERIFY(rig.work.playing());

    // During rest the Rest cue resumes, at once; the tick had placed it on its second.
    while (rig.view.light() != "red")
        rig.tickOnce();
    QVERIFY(rig.rest.playedFor && *rig.rest.playedFor == rig.seq.Timer2.due());
    rig.seq.sBitBtn2Click();
    rig.take();
    rig.seq.sBitBtn2Click();
    QCOMPARE(rig.take(), QStringList({"rest.play"}));
    QVERIFY(!rig.rest.playedFor);
}

void TestSequencer::pauseThenStopThenStart()
{
    Rig rig;
    rig.seq.sBitBtn1Click();
    for (int t = 1; t <= 12; ++t)
        rig.tickOnce();
    rig.seq.sBitBtn2Click();
    rig.seq.sBitBtn1Click();
    QVERIFY(!rig.view.pauseVisible);
    QCOMPARE(rig.view.pauseCap, "Пауза");
    QVERIFY(!rig.seq.Timer1.isEnabled() && !rig.seq.Timer2.isEnabled());

    rig.seq.sBitBtn1Click();
    QCOMPARE(rig.seq.phase_left, 10);
    for (int t = 1; t < 10; ++t) {
        rig.tickOnce();
        QVERIFY(!rig.view.pauseVisible);
    }
    rig.tickOnce();
    QVERIFY(rig.view.pauseVisible);
    QCOMPARE(rig.view.pauseCap, "Пауза");
    QCOMPARE(rig.view.title, "Работа");
    QCOMPARE(rig.seq.round_left, 8);
}

void TestSequencer::stopDuringPreparation()
{
    Rig rig;
    rig.seq.sBitBtn1Click();
    rig.tickOnce();
    rig.tickOnce();
    QCOMPARE(rig.view.time, "00:08");
    rig.take();
    rig.seq.sBitBtn1Click();
    QCOMPARE(rig.take(), QStringList({"music.pause", "over.play", "music.stop", "tick.stop", "work.stop", "start.stop",
                                      "rest.stop"}));
    QVERIFY(!rig.over.playedFor && !rig.start.playedFor); // a click's cues play at once
    QCOMPARE(rig.view.light(), "none");
    QCOMPARE(rig.view.title, "Тренировка");
    QCOMPARE(rig.view.time, "04:10");
    QCOMPARE(rig.view.rounds, "08");
    QCOMPARE(rig.view.cycles, "01");
    QCOMPARE(rig.view.startCap, "С Т А Р Т !");
    QVERIFY(!rig.seq.Timer1.isEnabled() && !rig.seq.Timer2.isEnabled());
}

void TestSequencer::soundOptionOff()
{
    Rig rig;
    rig.view.sound = false;
    rig.seq.sBitBtn1Click();
    QCOMPARE(rig.runToEnd(), 250);
    // Only the tick cue's rewind at the end of preparation; the music follows its own option.
    QCOMPARE(rig.take(), QStringList({"over.open", "rest.open", "start.open", "work.open", "tick.open", "music.open",
                                      "music.play", "tick.stop", "tick.setPosition 0", "music.pause"}));
    QCOMPARE(rig.view.time, "04:10");
}

void TestSequencer::musicOptionChangedDuringWorkout()
{
    Rig rig;
    rig.view.sound = false; // keeps the stop from stopping the music channel as well
    rig.view.music = false;
    rig.seq.sBitBtn1Click();
    QVERIFY(!rig.take().contains("music.play"));
    QCOMPARE(rig.view.musicCap, ">");
    for (int t = 1; t <= 12; ++t)
        rig.tickOnce();
    rig.view.music = true;
    rig.take();
    rig.seq.sBitBtn1Click();
    QCOMPARE(rig.take(), QStringList{"music.play"});
    QCOMPARE(rig.view.musicCap, "II");
    rig.music.advance(100);
    QVERIFY(rig.music.playing()); // and plays on while idle
    QCOMPARE(rig.music.position(), 100);

    // The caption still says it plays, so the next START with the option on toggles it off:
    // the music, just reopened, stays silent for that workout.
    rig.seq.sBitBtn1Click();
    QCOMPARE(rig.view.musicCap, ">");
    QVERIFY(!rig.music.playing());
    QCOMPARE(rig.music.position(), 0);

    // With cues on, the stop's own step stops the channel the toggle has just started.
    Rig cues;
    cues.view.music = false;
    cues.seq.sBitBtn1Click();
    cues.view.music = true;
    cues.take();
    cues.seq.sBitBtn1Click();
    QCOMPARE(cues.take().mid(0, 3), QStringList({"music.play", "over.play", "music.stop"}));
    QCOMPARE(cues.view.musicCap, "II");

    // Turned off during a workout with music: the caption "II" still makes the stop pause it.
    Rig off;
    off.seq.sBitBtn1Click();
    off.view.music = false;
    off.take();
    off.seq.sBitBtn1Click();
    QCOMPARE(off.take().first(), "music.pause");
    QCOMPARE(off.view.musicCap, ">");
}

void TestSequencer::planEditDuringWork()
{
    Rig rig;
    rig.seq.sBitBtn1Click();
    for (int t = 1; t <= 15; ++t)
        rig.tickOnce();
    QCOMPARE(rig.view.time, "00:15");

    rig.edit(PlanField::rabota_s, "30");
    rig.edit(PlanField::otdih_s, "5");
    rig.edit(PlanField::round, "3");
    rig.edit(PlanField::cycle, "2");
    rig.edit(PlanField::podg_s, "50");
    // The displays show the new plan at once ...
    QCOMPARE(rig.view.time, "04:20");
    QCOMPARE(rig.view.rounds, "03");
    QCOMPARE(rig.view.cycles, "02");
    // ... until the workout writes its own state again: the time on the next tick,
    rig.tickOnce();
    QCOMPARE(rig.view.time, "00:14");
    QCOMPARE(rig.view.rounds, "03");
    // the running phase keeps its length and the next rest takes up the new one,
    for (int t = 17; t <= 30; ++t)
        rig.tickOnce();
    QCOMPARE(rig.view.title, "Отдых");
    QCOMPARE(rig.view.time, "00:05");
    // the rounds at the next change to work; rounds and cycles of the running cycle stay.
    for (int t = 31; t <= 35; ++t)
        rig.tickOnce();
    QCOMPARE(rig.view.title, "Работа");
    QCOMPARE(rig.view.time, "00:30");
    QCOMPARE(rig.view.rounds, "07");
    QCOMPARE(rig.view.cycles, "02");
    QCOMPARE(rig.seq.cycle_left, 1);
    // Seven more rounds of 30 + 5 s, then the one cycle taken up at the end of preparation ends.
    QCOMPARE(rig.runToEnd(), 7 * 35);
    QCOMPARE(rig.view.time, "04:20");
}

void TestSequencer::invalidFieldKeepsStartFromStarting()
{
    Rig rig;
    rig.view.fields[int(PlanField::podg_m)] = "";
    rig.view.fields[int(PlanField::cycle)] = "";
    rig.view.fields[int(PlanField::round)] = "abc";
    try {
        rig.seq.sBitBtn1Click();
        QFAIL("START with a field that is no number must fail");
    } catch (const ConvertError &e) {
        QCOMPARE(e.message(), "'abc' is not a valid integer value");
    }
    QCOMPARE(rig.view.fields[int(PlanField::podg_m)], "0");
    QCOMPARE(rig.view.fields[int(PlanField::cycle)], "0");
    QVERIFY(rig.journal.isEmpty()); // no channel opened or played
    QCOMPARE(rig.view.startCap, "С Т А Р Т !");
    QCOMPARE(rig.view.light(), "none");
    QVERIFY(!rig.seq.Timer1.isEnabled());
    QCOMPARE(rig.view.musicCap, ">");
}

void TestSequencer::invalidFieldStillStops()
{
    Rig rig;
    rig.seq.sBitBtn1Click();
    for (int t = 1; t <= 12; ++t)
        rig.tickOnce();
    rig.view.fields[int(PlanField::round)] = "9x";
    rig.take();
    int failures = 0;
    try {
        rig.seq.sBitBtn1Click();
    } catch (const ConvertError &e) {
        ++failures;
        QCOMPARE(e.message(), "'9x' is not a valid integer value");
    }
    QCOMPARE(failures, 1);
    QVERIFY(rig.view.errors.isEmpty()); // shown by the caller's error box, not reported twice
    QCOMPARE(rig.take(), QStringList({"music.pause", "over.play", "music.stop", "tick.stop", "work.stop", "start.stop",
                                      "rest.stop"}));
    QCOMPARE(rig.view.startCap, "С Т А Р Т !");
    QCOMPARE(rig.view.title, "Тренировка");
    QCOMPARE(rig.view.light(), "none");
    QVERIFY(!rig.view.pauseVisible);
    QCOMPARE(rig.view.musicCap, ">");
    QVERIFY(!rig.seq.Timer1.isEnabled() && !rig.seq.Timer2.isEnabled());
    QCOMPARE(rig.view.time, "00:18"); // the recompute could not run
}

void TestSequencer::invalidFieldAtAutomaticStopFailsOnce()
{
    Rig rig;
    rig.setPlan(1, 1, 1, 1, 1);
    rig.seq.sBitBtn1Click();
    rig.tickOnce();
    rig.tickOnce();
    QCOMPARE(rig.view.light(), "red");
    rig.view.fields[int(PlanField::cycle)] = "99999999999";
    QVERIFY_THROWS_EXCEPTION(ConvertError, rig.tickOnce());
    QVERIFY(!rig.running());
    QVERIFY(!rig.seq.Timer1.isEnabled() && !rig.seq.Timer2.isEnabled()); // no retry every second
    QCOMPARE(rig.view.light(), "none");
    QVERIFY(rig.take().contains("over.play"));
}

void TestSequencer::damagedCueFileKeepsStartFromStarting()
{
    Rig rig;
    QFile f(rig.soundDir + "Work.wav");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("damaged");
    f.close();
    try {
        rig.seq.sBitBtn1Click();
        QFAIL("a damaged cue file must keep the workout from starting");
    } catch (const sound::MediaError &e) {
        QCOMPARE(e.message(), "File contains data in an unknown format.");
    }
    QCOMPARE(rig.take(), QStringList({"over.open", "rest.open", "start.open", "work.open"}));
    QCOMPARE(rig.view.startCap, "С Т А Р Т !");
    QCOMPARE(rig.view.title, "Тренировка");
    QCOMPARE(rig.view.light(), "none");
    QCOMPARE(rig.view.musicCap, ">");
    QVERIFY(!rig.seq.Timer1.isEnabled());
    QCOMPARE(rig.seq.phase_left, 0);
    QVERIFY(rig.view.errors.isEmpty());
}

void TestSequencer::missingCuesReportedOncePerChannel()
{
    Rig rig;
    rig.removeCue("Tick.wav");
    rig.removeCue("Rest.wav");
    rig.seq.sBitBtn1Click();
    QStringList reportedAt;
    for (int t = 1; rig.running(); ++t) {
        rig.tickOnce();
        if (rig.take().contains(kReport + kNoDevice))
            reportedAt << QString::number(t);
    }
    QCOMPARE(reportedAt, QStringList({"7", "30"}));
    QCOMPARE(rig.view.errors, QStringList({kNoDevice, kNoDevice}));

    // Without sound the tick cue is still stopped and rewound when preparation ends.
    Rig quiet;
    quiet.view.sound = false;
    quiet.removeCue("Tick.wav");
    quiet.seq.sBitBtn1Click();
    QCOMPARE(quiet.runToEnd(), 250);
    QCOMPARE(quiet.view.errors, QStringList{kNoDevice});

    // A missing cue is known by its kind, not by its words: an open channel whose play fails
    // with the very same text is a real failure, raised at once like any other.
    Rig failing;
    failing.start.playFailure = kNoDevice;
    QVERIFY_THROWS_EXCEPTION(sound::MediaError, failing.seq.sBitBtn1Click());
    QVERIFY(failing.view.errors.isEmpty());
    QVERIFY(failing.running()); // every START step before the Start cue stays done
}

void TestSequencer::timersAreLeftToTheWindow()
{
    Rig rig;
    rig.seq.sBitBtn1Click();
    QSignalSpy spy(&rig.seq.Timer1, &WorkoutTimer::timeout);
    QVERIFY(spy.wait(3000));
    QCOMPARE(rig.seq.phase_left, 10); // the tick reached nobody but the spy
    QVERIFY(rig.seq.Timer1.isEnabled());
}

void TestSequencer::tickCuesAreAnnouncedATickAhead_data()
{
    QTest::addColumn<QList<int>>("plan"); // preparation, work, rest, rounds, cycles
    QTest::addColumn<int>("pauseBefore"); // pause and resume before this tick (none: -1)
    QTest::addColumn<bool>("sound");
    QTest::newRow("initial plan") << QList<int>{10, 20, 10, 8, 1} << -1 << true;
    QTest::newRow("short phases") << QList<int>{1, 3, 5, 1, 1} << -1 << true;
    QTest::newRow("no preparation, one-second phases") << QList<int>{0, 1, 1, 2, 1} << -1 << true;
    QTest::newRow("paused before the tick cue") << QList<int>{10, 20, 10, 8, 1} << 26 << true;
    QTest::newRow("sound off") << QList<int>{10, 20, 10, 8, 1} << -1 << false;
}

// The output opens its device ahead of a cue it is told of, and lets it go between cues: every
// cue a tick plays must have been announced by the handler before, for that tick's second, and
// nothing else. A pause announces nothing; the resume announces afresh.
void TestSequencer::tickCuesAreAnnouncedATickAhead()
{
    QFETCH(QList<int>, plan);
    QFETCH(int, pauseBefore);
    QFETCH(bool, sound);
    Rig rig;
    rig.view.sound = sound;
    rig.setPlan(plan[0], plan[1], plan[2], plan[3], plan[4]);
    const std::array<FakeChannel *, 6> channels = {&rig.over, &rig.rest, &rig.start, &rig.tick, &rig.work, &rig.music};
    struct Announced {
        QString channel;
        std::chrono::steady_clock::time_point due;
    };
    const auto takeAnnounced = [&]() -> std::optional<Announced> {
        std::optional<Announced> found;
        for (FakeChannel *channel : channels) {
            if (const auto due = std::exchange(channel->expectedFor, std::nullopt)) {
                if (found)
                    return Announced{QStringLiteral("more than one: ") + found->channel + " " + channel->name(), *due};
                found = Announced{channel->name(), *due};
            }
        }
        return found;
    };
    const auto nextSecond = [&] { return (rig.seq.Timer1.isEnabled() ? rig.seq.Timer1 : rig.seq.Timer2).nextDue(); };

    rig.seq.sBitBtn1Click();
    rig.take();
    std::optional<Announced> pending = takeAnnounced();
    int ticks = 0;
    int announced = 0;
    while (rig.running() && ticks < 300) {
        if (ticks == pauseBefore) {
            QVERIFY(pending); // the tick cue of this tick
            rig.seq.sBitBtn2Click();
            QVERIFY(!takeAnnounced());
            rig.seq.sBitBtn2Click();
            pending = takeAnnounced();
            QVERIFY(pending);
            QCOMPARE(pending->channel, "tick");
            rig.take();
        }
        const auto second = nextSecond();
        rig.tickOnce();
        ++ticks;
        QStringList plays = rig.take().filter(QStringLiteral(".play"));
        plays.removeAll(QStringLiteral("music.play"));
        const QString at = QStringLiteral("tick %1: %2").arg(ticks).arg(plays.join(u' '));
        if (pending) {
            QVERIFY2(plays.contains(pending->channel + ".play"), qPrintable(at + ", announced " + pending->channel));
            QVERIFY2(pending->due == second, qPrintable(at));
            ++announced;
        } else {
            QVERIFY2(plays.isEmpty(), qPrintable(at + ", announced nothing"));
        }
        pending = takeAnnounced();
    }
    QVERIFY(!rig.running());
    QVERIFY(!pending);
    if (sound)
        QVERIFY(announced > 0);
    else
        QCOMPARE(announced, 0);
}

QTEST_GUILESS_MAIN(TestSequencer)
#include "tst_sequencer.moc"
