#pragma once

// The "Настройки" tab: six path fields for the cue and music files, each with a preview button
// that plays or stops the row's file on the preview channel and a browse button that fills the
// field from an open-file dialog. The widgets come from soundtab.ui and are put straight onto the
// window's existing tab page; this class owns none of them, only the behaviour behind them.

#include "common/handlerrunner.h"
#include "sound/cueset.h"
#include "sound/soundchannel.h"

#include <QObject>
#include <QString>
#include <array>
#include <functional>
#include <memory>

class QFileDialog;
class QLineEdit;
class QPushButton;
class QWidget;

namespace Ui {
class SoundTab;
}

namespace sound {

class SoundTab {
public:
    static constexpr int kRows = kCueCount;

    explicit SoundTab(SoundChannel &mp1);
    ~SoundTab();
    SoundTab(const SoundTab &) = delete;
    SoundTab &operator=(const SoundTab &) = delete;

    // Builds the tab's controls as children of the given page (call once).
    void setupOn(QWidget *sTabSheet3);
    // Connects every button's click to its handler (sBitBtn4Click ... sBitBtn15Click) through
    // `run`, the window's error path.
    void wire(const vintra::HandlerRunner &run);

    // Path fields by their number: edit(1) is edit1 (Over) ... edit(6) is edit6 (Music).
    QLineEdit *edit(int n) const;
    // The same fields in row order: Over, Rest, Start, Tick, Work, Music.
    std::array<QLineEdit *, kRows> pathFields() const;
    // Buttons of row n (1..6), for the window and for tests.
    QPushButton *previewButton(int n) const;
    QPushButton *browseButton(int n) const;

    // Preview handlers: play the row's file, or stop whatever the preview plays.
    void sBitBtn4Click();
    void sBitBtn6Click();
    void sBitBtn8Click();
    void sBitBtn10Click();
    void sBitBtn12Click();
    void sBitBtn14Click();
    // Browse handlers: choose a file for the row, then silence the preview.
    void sBitBtn5Click();
    void sBitBtn7Click();
    void sBitBtn9Click();
    void sBitBtn11Click();
    void sBitBtn13Click();
    void sBitBtn15Click();
    // The timer tab has been shown: the preview must not go on playing behind it.
    void sTabSheet1Show();

    // Asks the user for a file; returns its full path, or an empty string on cancel.
    // The default shows the dialog from makeOpenDialog() modally over the tab's window.
    std::function<QString()> chooseFile;

    // The open-file dialog, configured but not shown.
    static std::unique_ptr<QFileDialog> makeOpenDialog(QWidget *parent);

private:
    void preview(int n);
    void browse(int n);
    void stopIfPlaying();
    QString showOpenDialog();

    SoundChannel &m_mp1;
    std::unique_ptr<Ui::SoundTab> m_ui;
    QWidget *m_page = nullptr;
    // Context of the button connections, so none outlives this object.
    QObject m_connections;
};

} // namespace sound
