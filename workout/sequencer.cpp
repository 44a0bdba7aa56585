#include "workout/sequencer.h"

#include "workout/planformat.h"

#include <exception>
#include <utility>

namespace workout {

using sound::SoundChannel;

Sequencer::Sequencer(WorkoutView &view, Plan &plan, sound::CueChannels cues, std::function<void()> prepareCues)
    : m_view(view), m_plan(plan), m_cues(cues), m_prepareCues(std::move(prepareCues))
{
    Timer1.setLead(kCueLead);
    Timer2.setLead(kCueLead);
}

// Missing-cue reports wait until the outermost handler is done, so that a nested click (the
// automatic stop, the music toggle) cannot show a box in the middle of its caller's steps.
template <typename Steps>
void Sequencer::handler(Steps &&steps)
{
    ++m_depth;
    try {
        steps();
    } catch (...) {
        if (--m_depth == 0) {
            announceNextCue();
            flushReports();
        }
        throw;
    }
    if (--m_depth == 0) {
        announceNextCue();
        flushReports();
    }
}

// The next tick plays a cue with four seconds of its phase left (the tick cue) and on the last
// one (the next phase's cue, or the Over cue of a workout that ends there). Paused or stopped,
// no tick comes.
void Sequencer::announceNextCue()
{
    const WorkoutTimer *next = Timer1.isEnabled() ? &Timer1 : Timer2.isEnabled() ? &Timer2 : nullptr;
    if (!next || !m_view.soundChecked() || (phase_left != 4 && phase_left > 1))
        return;
    SoundChannel *channel = m_cues.mpTick;
    if (phase_left <= 1)
        channel = next == &Timer2 && m_view.isLightVisible(Light::green) ? m_cues.mpRest : m_cues.mpWork;
    if (channel)
        channel->expectPlayAt(next->nextDue());
}

void Sequencer::flushReports()
{
    const QStringList reports = std::exchange(m_pendingReports, {});
    for (const QString &message : reports)
        m_view.reportError(message);
}

// A cue whose file was missing at START is treated as if it had sounded, so the workout goes
// on; the user hears about it once per channel and workout. Any other failure is real.
template <typename Op>
void Sequencer::cue(SoundChannel *channel, Op &&op)
{
    try {
        op(*channel);
    } catch (const sound::NoDeviceOpen &e) {
        if (!m_silenced.contains(channel)) {
            m_silenced.insert(channel);
            m_pendingReports.append(e.message());
        }
    }
}

// A tick's steps run with its second known, so every cue they start (the Over cue of the stop a
// last tick makes included) is heard on that second. Only the steps: a box shown afterwards runs
// an event loop in which a click must play at once.
template <typename Steps>
void Sequencer::tickHandler(const WorkoutTimer &timer, Steps &&steps)
{
    handler([&] {
        const auto outer = std::exchange(m_tickDue, timer.due());
        try {
            steps();
        } catch (...) {
            m_tickDue = outer;
            throw;
        }
        m_tickDue = outer;
    });
}

void Sequencer::playCue(SoundChannel *channel)
{
    cue(channel, [this](SoundChannel &c) {
        if (m_tickDue)
            c.playAt(*m_tickDue);
        else
            c.play();
    });
}

namespace {
void stop(SoundChannel &c) { c.stop(); }
void pause(SoundChannel &c) { c.pause(); }
void rewind(SoundChannel &c) { c.setPosition(0); }
} // namespace

void Sequencer::sBitBtn1Click()
{
    handler([this] {
        for (PlanField field : kReadOrder) {
            if (m_view.planText(field).isEmpty())
                m_view.setPlanText(field, QStringLiteral("0"));
        }
        if (m_view.startCaption() == texts::start) {
            m_plan.cycleChange(); // a field that is no number keeps the workout from starting
            startSteps();
        } else {
            // "Стоп" must always stop: a field that is no number is reported once, afterwards.
            std::exception_ptr convertFailure;
            try {
                m_plan.cycleChange();
            } catch (const ConvertError &) {
                convertFailure = std::current_exception();
            }
            stopSteps();
            if (convertFailure)
                std::rethrow_exception(convertFailure);
        }
    });
}

void Sequencer::startSteps()
{
    m_silenced.clear();
    m_prepareCues();
    m_view.setStartCaption(texts::stop);
    m_view.setTitle(texts::prepTitle);
    m_view.setLightVisible(Light::yellow, true);
    Timer1.setEnabled(true);
    if (m_view.musicChecked())
        sBitBtn3Click();
    phase_left = m_plan.values().podg_sec;
    m_plan.ShowMinSec(phase_left);
    if (m_view.soundChecked())
        playCue(m_cues.mpStart);
}

void Sequencer::stopSteps()
{
    m_view.setStartCaption(texts::start);
    m_view.setTitle(texts::idleTitle);
    m_view.setLightVisible(Light::yellow, false);
    m_view.setLightVisible(Light::red, false);
    m_view.setLightVisible(Light::green, false);
    m_view.setPauseVisible(false);
    m_view.setPauseCaption(texts::pause);
    Timer1.setEnabled(false);
    Timer2.setEnabled(false);
    if (m_view.musicChecked() || m_view.musicCaption() == texts::musicOn)
        sBitBtn3Click();
    try {
        m_plan.cycleChange();
    } catch (const ConvertError &) {
        // Only reachable when the same fields already failed at the top of the click, which
        // rethrows that failure once all steps are done.
    }
    if (m_view.soundChecked()) {
        playCue(m_cues.mpOver);
        for (SoundChannel *channel : {m_cues.mpMusic, m_cues.mpTick, m_cues.mpWork, m_cues.mpStart, m_cues.mpRest})
            cue(channel, stop);
    }
}

void Sequencer::halt()
{
    Timer1.setEnabled(false);
    Timer2.setEnabled(false);
    m_pendingReports.clear();
}

void Sequencer::sBitBtn2Click()
{
    handler([this] {
        if (m_view.pauseCaption() == texts::pause) {
            m_view.setPauseCaption(texts::resume);
            Timer2.setEnabled(false);
            if (m_view.soundChecked()) {
                cue(m_cues.mpWork, stop);
                cue(m_cues.mpRest, stop);
            }
        } else {
            m_view.setPauseCaption(texts::pause);
            Timer2.setEnabled(true);
            if (m_view.soundChecked()) {
                if (m_view.isLightVisible(Light::red))
                    playCue(m_cues.mpRest);
                if (m_view.isLightVisible(Light::green))
                    playCue(m_cues.mpWork);
            }
        }
    });
}

void Sequencer::sBitBtn3Click()
{
    handler([this] {
        if (m_view.musicCaption() == texts::musicOff) {
            m_view.setMusicCaption(texts::musicOn);
            playCue(m_cues.mpMusic);
        } else {
            m_view.setMusicCaption(texts::musicOff);
            cue(m_cues.mpMusic, pause);
        }
    });
}

void Sequencer::Timer1Timer()
{
    tickHandler(Timer1, [this] {
        if (phase_left == 4 && m_view.soundChecked())
            playCue(m_cues.mpTick);
        if (phase_left > 1) {
            --phase_left;
        } else {
            if (m_view.soundChecked())
                playCue(m_cues.mpWork);
            // Rewound even without sound, so that a later workout with sound starts it afresh.
            cue(m_cues.mpTick, stop);
            cue(m_cues.mpTick, rewind);
            Timer1.setEnabled(false);
            // On the seconds of the preparation, so a late tick here does not delay every phase after.
            Timer2.continueFrom(Timer1);
            m_view.setLightVisible(Light::yellow, false);
            m_view.setLightVisible(Light::green, true);
            phase_left = m_plan.values().rabota_sec;
            m_plan.ShowMinSec(phase_left);
            m_view.setTitle(texts::workTitle);
            round_left = m_plan.values().round_count;
            cycle_left = m_plan.values().cycle_count;
            m_view.setPauseVisible(true);
        }
        m_plan.ShowMinSec(phase_left);
    });
}

// The cue of the phase that begins plays first; then the one that ended and the tick cue stop,
// and the tick cue is rewound for the next phase.
void Sequencer::playPhaseCue(SoundChannel *begins, SoundChannel *ends)
{
    if (!m_view.soundChecked())
        return;
    playCue(begins);
    cue(ends, stop);
    cue(m_cues.mpTick, stop);
    cue(m_cues.mpTick, rewind);
}

void Sequencer::Timer2Timer()
{
    tickHandler(Timer2, [this] {
        if (phase_left == 4 && m_view.soundChecked())
            playCue(m_cues.mpTick);
        if (phase_left > 1) {
            --phase_left;
        } else if (m_view.isLightVisible(Light::green)) {
            m_view.setLightVisible(Light::green, false);
            m_view.setLightVisible(Light::red, true);
            m_view.setTitle(texts::restTitle);
            phase_left = m_plan.values().otdih_sec;
            m_plan.ShowMinSec(phase_left);
            playPhaseCue(m_cues.mpRest, m_cues.mpWork);
        } else {
            m_view.setLightVisible(Light::green, true);
            m_view.setLightVisible(Light::red, false);
            phase_left = m_plan.values().rabota_sec;
            m_plan.ShowMinSec(phase_left);
            playPhaseCue(m_cues.mpWork, m_cues.mpRest);
            m_view.setTitle(texts::workTitle);
            if (round_left > 0)
                --round_left;
            m_view.showRounds(counterNumber(round_left));
        }
        if (round_left == 0) {
            // With rounds at 0 every tick ends a cycle; with cycles at 0 as well the count goes
            // below zero and the workout runs until stopped.
            cycle_left = wrapAdd(cycle_left, -1);
            m_view.showCycles(counterNumber(cycle_left));
            round_left = m_plan.values().round_count;
            m_view.showRounds(counterNumber(round_left));
        }
        m_plan.ShowMinSec(phase_left);
        if (cycle_left == 0)
            sBitBtn1Click();
    });
}

} // namespace workout
