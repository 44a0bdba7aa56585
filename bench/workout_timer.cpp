// Prints how closely the one-second workout timer keeps to its grid over a number of ticks, and
// what one work/rest tick of the sequencer costs with channels and a view that do nothing.
//   workout_timer [ticks (default 10)]

#include "workout/plan.h"
#include "workout/sequencer.h"
#include "workout/workouttimer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

namespace {

class SilentChannel : public sound::SoundChannel {
public:
    QString fileName() const override { return {}; }
    void setFileName(const QString &) override {}
    bool isOpen() const override { return true; }
    void open() override {}
    void close() override {}
    void play() override {}
    void stop() override {}
    void pause() override {}
    void setPosition(qint64) override {}
    sound::TMPModes mode() const override { return sound::TMPModes::mpStopped; }
    qint64 position() const override { return 0; }
    qint64 length() const override { return 1; }
};

class QuietView : public workout::WorkoutView {
public:
    // Rounds 0 and cycles 0: the workout never ends by itself.
    std::array<QString, 8> fields = {"0", "1", "0", "20", "0", "10", "0", "0"};
    QString caption = workout::texts::start, pause = workout::texts::pause, music = workout::texts::musicOff;
    std::array<bool, 3> lights{};
    QString planText(workout::PlanField f) const override { return fields[int(f)]; }
    void setPlanText(workout::PlanField f, const QString &t) override { fields[int(f)] = t; }
    void showTime(const QString &) override {}
    void showRounds(const QString &) override {}
    void showCycles(const QString &) override {}
    QString startCaption() const override { return caption; }
    void setStartCaption(const QString &t) override { caption = t; }
    QString pauseCaption() const override { return pause; }
    void setPauseCaption(const QString &t) override { pause = t; }
    void setPauseVisible(bool) override {}
    QString musicCaption() const override { return music; }
    void setMusicCaption(const QString &t) override { music = t; }
    void setTitle(const QString &) override {}
    bool isLightVisible(workout::Light l) const override { return lights[int(l)]; }
    void setLightVisible(workout::Light l, bool v) override { lights[int(l)] = v; }
    bool soundChecked() const override { return true; }
    bool musicChecked() const override { return true; }
    void reportError(const QString &) override {}
};

void timerDrift(int ticks)
{
    workout::WorkoutTimer timer;
    QElapsedTimer clock;
    QList<qint64> at;
    QObject::connect(&timer, &workout::WorkoutTimer::timeout, [&] {
        at << clock.nsecsElapsed();
        if (at.size() == ticks)
            QCoreApplication::quit();
    });
    clock.start();
    timer.setEnabled(true);
    QCoreApplication::exec();
    double worst = 0, sum = 0;
    for (int k = 0; k < ticks; ++k) {
        const double late = (at[k] - qint64(k + 1) * 1000000000) / 1e6;
        worst = std::max(worst, std::abs(late));
        sum += late;
    }
    const double last = (at.last() - qint64(ticks) * 1000000000) / 1e6;
    std::printf("timer: %d ticks, mean offset %.2f ms, worst %.2f ms, offset of the last tick %.2f ms\n", ticks,
                sum / ticks, worst, last);
}

void tickCost()
{
    SilentChannel over, rest, start, tick, work, music;
    QuietView view;
    workout::Plan plan(view);
    workout::Sequencer seq(view, plan, {&over, &rest, &start, &tick, &work, &music}, [] {});
    seq.sBitBtn1Click();
    seq.Timer1Timer(); // preparation of 1 s: work begins
    const int n = 1000000;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < n; ++i)
        seq.Timer2Timer();
    std::printf("sequencer: %.0f ns per work/rest tick (%d ticks, cycles left %d)\n", double(clock.nsecsElapsed()) / n,
                n, seq.cycle_left);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int ticks = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    tickCost();
    timerDrift(ticks);
    return 0;
}
