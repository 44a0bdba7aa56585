#pragma once

// The program's one window. It owns every control (from mainwindow.ui and the forms applied
// onto its pages), the seven sound channels, the plan and the sequencer, and connects each
// control's events to its handler through the error path.

#include "settings/settingsfile.h"
#include "sound/cueset.h"
#include "sound/soundchannel.h"
#include "workout/plan.h"
#include "workout/sequencer.h"

#include <QWidget>
#include <functional>
#include <memory>

namespace Ui {
class TForm1;
}
namespace sound {
class SoundTab;
}
namespace app {
class InfoPages;
class Inhibitor;
} // namespace app
class QComboBox;
class QLineEdit;

class TForm1 : public QWidget, public workout::WorkoutView {
    Q_OBJECT

public:
    // Makes one sound channel on a stream; the real program passes the audio output's, tests a
    // fake.
    using ChannelFactory = std::function<std::unique_ptr<sound::SoundChannel>(sound::Stream)>;

    explicit TForm1(const ChannelFactory &makeChannel, QWidget *parent = nullptr);
    ~TForm1() override;

    // Handlers, named after their component and event.
    void FormCreate();
    void FormClose();
    void cycleChange();
    void podg_mKeyPress(QChar &key);
    void ShowMinSec(qint32 seconds);
    void sCheckBox1Click();
    void sTabSheet1Show();
    void sBitBtn1Click();
    void sBitBtn2Click();
    void sBitBtn3Click();
    void Timer1Timer();
    void Timer2Timer();

    enum class Stacking { Normal, StayOnTop };
    Stacking stacking() const { return m_stacking; }

    // First showing: placed centred on the whole desktop, timer tab active.
    void showFirstTime();

    // The session is ending (a termination request): nobody may be there to answer an error box,
    // and the session kills a program that waits. Saves what it can, without a box, and lets the
    // window go whatever the save did, as a close that goes ahead. Returns the save's failure
    // message; empty when it succeeded.
    QString closeForSessionEnd();
    // Its two halves, for a session that asks before it ends and may still be cancelled
    // (Windows): the save alone, which leaves the window and any workout running, and the
    // letting go.
    QString saveForSessionEnd();
    void leaveForSessionEnd();

    const workout::PlanValues &plan() const { return m_plan.values(); }
    workout::Sequencer &sequencer() { return *m_sequencer; }
    sound::SoundTab &soundTab() { return *m_soundTab; }
    app::InfoPages &infoPages() { return *m_infoPages; }
    // Keeps the screen on while a workout runs.
    app::Inhibitor &inhibitor() { return *m_inhibitor; }

    // The folders fixed while the window is created.
    QString appdata_dir;
    QString sound_dir;

    // The seven channels: six cues and the settings tab's preview.
    std::unique_ptr<sound::SoundChannel> mpOver, mpRest, mpStart, mpTick, mpWork, mpMusic, mp1;

    // workout::WorkoutView
    QString planText(workout::PlanField field) const override;
    void setPlanText(workout::PlanField field, const QString &text) override;
    void showTime(const QString &text) override;
    void showRounds(const QString &text) override;
    void showCycles(const QString &text) override;
    QString startCaption() const override;
    void setStartCaption(const QString &text) override;
    QString pauseCaption() const override;
    void setPauseCaption(const QString &text) override;
    void setPauseVisible(bool visible) override;
    QString musicCaption() const override;
    void setMusicCaption(const QString &text) override;
    void setTitle(const QString &text) override;
    bool isLightVisible(workout::Light light) const override;
    void setLightVisible(workout::Light light, bool visible) override;
    bool soundChecked() const override;
    bool musicChecked() const override;
    void reportError(const QString &message) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void letGo();
    void requestStacking(Stacking stacking);
    void nameChangingControls();
    void placeOnDesktop();
    void wireHandlers();
    QComboBox *planField(workout::PlanField field) const;
    QWidget *light(workout::Light light) const;
    sound::CueFieldTexts pathFieldTexts() const;
    QStringList settingsLines() const;
    void applySettingsLines(const QStringList &lines);

    std::unique_ptr<Ui::TForm1> ui;
    workout::Plan m_plan;
    std::unique_ptr<sound::SoundTab> m_soundTab;
    app::InfoPages *m_infoPages = nullptr;
    app::Inhibitor *m_inhibitor = nullptr;
    sound::CueChannels m_cues;
    std::unique_ptr<workout::Sequencer> m_sequencer;
    settings::SettingsFile m_lineBuffer;
    Stacking m_stacking = Stacking::StayOnTop;
    QMargins m_placedWithFrame;
    bool m_gone = false; // a close went ahead
};

// The one window, set before any of its creation code runs.
extern TForm1 *Form1;
