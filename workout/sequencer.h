#pragma once

// Runs one workout: preparation, then work and rest round after round and cycle after cycle.
// Whether a workout runs, is paused or has music playing is read back from the button captions,
// and the phase from the visible light, through WorkoutView; nothing of it is kept twice here.

#include "sound/cueset.h"
#include "workout/plan.h"
#include "workout/workouttimer.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

namespace workout {

enum class Light { yellow, green, red };

// Texts of the captions and the phase title; the handlers compare captions with them.
namespace texts {
inline const QString start = QStringLiteral("С Т А Р Т !");
inline const QString stop = QStringLiteral("Стоп");
inline const QString pause = QStringLiteral("Пауза");
inline const QString resume = QStringLiteral("Возобновить");
inline const QString musicOff = QStringLiteral(">");
inline const QString musicOn = QStringLiteral("II");
inline const QString idleTitle = QStringLiteral("Тренировка");
inline const QString prepTitle = QStringLiteral("Подготовка");
inline const QString workTitle = QStringLiteral("Работа");
inline const QString restTitle = QStringLiteral("Отдых");
} // namespace texts

// What the sequencer needs of the timer tab besides the plan.
class WorkoutView : public PlanView {
public:
    virtual QString startCaption() const = 0; // sBitBtn1
    virtual void setStartCaption(const QString &text) = 0;
    virtual QString pauseCaption() const = 0; // sBitBtn2
    virtual void setPauseCaption(const QString &text) = 0;
    virtual void setPauseVisible(bool visible) = 0;
    virtual QString musicCaption() const = 0; // sBitBtn3, never shown
    virtual void setMusicCaption(const QString &text) = 0;
    virtual void setTitle(const QString &text) = 0; // sLabel1
    virtual bool isLightVisible(Light light) const = 0;
    virtual void setLightVisible(Light light, bool visible) = 0;
    virtual bool soundChecked() const = 0; // sound
    virtual bool musicChecked() const = 0; // sCheckBox2
    // A cue that could not sound. Called after the handler's own steps are done; the window
    // shows it in the error box.
    virtual void reportError(const QString &message) = 0;
};

class Sequencer {
public:
    // Each tick is handled this far ahead of its second, and the cues it starts are handed to
    // the output with the second (SoundChannel::playAt), so that a GUI thread up to this late
    // on a busy machine does not make them late. Everything else a tick does happens this much
    // before its second: the window's change (too little to see against the cue), and the
    // stops and rewinds of cues. A click in between comes after the tick, as the window shows.
    static constexpr std::chrono::milliseconds kCueLead{50};

    // prepareCues resolves and opens the cue channels; it is called at every START.
    Sequencer(WorkoutView &view, Plan &plan, sound::CueChannels cues, std::function<void()> prepareCues);

    void sBitBtn1Click(); // START / stop
    void sBitBtn2Click(); // pause / resume
    void sBitBtn3Click(); // music toggle
    void Timer1Timer();   // preparation tick
    void Timer2Timer();   // work and rest tick

    // The window is going: no tick comes any more and no missing cue is reported. The cue
    // channels are the window's to silence.
    void halt();

    // Their timeout signals are for the window to connect, through its error path.
    WorkoutTimer Timer1; // preparation
    WorkoutTimer Timer2; // work and rest

    qint32 phase_left = 0;
    qint32 round_left = 0;
    qint32 cycle_left = 0;

private:
    template <typename Steps>
    void handler(Steps &&steps);
    void startSteps();
    void stopSteps();
    void playPhaseCue(sound::SoundChannel *begins, sound::SoundChannel *ends);
    // Plays a cue: at the second of the tick being handled, at once outside a tick.
    void playCue(sound::SoundChannel *channel);
    template <typename Steps>
    void tickHandler(const WorkoutTimer &timer, Steps &&steps);
    template <typename Op>
    void cue(sound::SoundChannel *channel, Op &&op);
    void flushReports();
    // Tells the output of a cue the next tick will play, so its device is ready for it.
    void announceNextCue();

    WorkoutView &m_view;
    Plan &m_plan;
    sound::CueChannels m_cues;
    std::function<void()> m_prepareCues;

    int m_depth = 0;                                          // handlers running, nested clicks included
    std::optional<WorkoutTimer::Clock::time_point> m_tickDue; // while a tick's steps run
    QSet<const sound::SoundChannel *> m_silenced;             // reported in this workout
    QStringList m_pendingReports;
};

} // namespace workout
