#include "sound/soundtab.h"

#include "sound/cueset.h"
#include "ui_soundtab.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QValidator>
#include <algorithm>
#include <utility>

namespace sound {

namespace {

// Keeps a path field single-line, as a single-line edit control takes a paste: of text that
// arrives with CR or LF (a paste, a drop, code) only what stands before its first break stays.
// A pasted "new.wav" plus the newline a terminal copy adds must not put a line break into the
// settings file, where it would move every later line down by one.
// Qt validates the whole new text with the cursor just after what was inserted. The field held
// no break before, so the first break is inserted text and the rest of the insertion runs up
// to the cursor: that part goes, what followed the cursor stays.
class SingleLineValidator : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString &input, int &pos) const override
    {
        const qsizetype cut = firstBreak(input, 0);
        if (cut < 0)
            return Acceptable;
        QString after = input.mid(std::max<qsizetype>(pos, cut));
        if (const qsizetype more = firstBreak(after, 0); more >= 0)
            after.truncate(more);
        input = input.left(cut) + after;
        pos = int(cut);
        return Acceptable;
    }

private:
    static qsizetype firstBreak(const QString &text, qsizetype from)
    {
        for (qsizetype i = from; i < text.size(); ++i) {
            if (text[i] == u'\r' || text[i] == u'\n')
                return i;
        }
        return -1;
    }
};

} // namespace

SoundTab::SoundTab(SoundChannel &mp1) : m_mp1(mp1), m_ui(std::make_unique<Ui::SoundTab>())
{
    chooseFile = [this] { return showOpenDialog(); };
}

SoundTab::~SoundTab() = default;

void SoundTab::setupOn(QWidget *sTabSheet3)
{
    Q_ASSERT(sTabSheet3 && !m_page);
    m_page = sTabSheet3;
    m_ui->setupUi(sTabSheet3);
    for (QLineEdit *field : pathFields())
        field->setValidator(new SingleLineValidator(field));
}

void SoundTab::wire(const vintra::HandlerRunner &run)
{
    Q_ASSERT(m_page);
    using Click = void (SoundTab::*)();
    const std::pair<QPushButton *, Click> clicks[] = {
        {m_ui->sBitBtn4, &SoundTab::sBitBtn4Click},   {m_ui->sBitBtn5, &SoundTab::sBitBtn5Click},
        {m_ui->sBitBtn6, &SoundTab::sBitBtn6Click},   {m_ui->sBitBtn7, &SoundTab::sBitBtn7Click},
        {m_ui->sBitBtn8, &SoundTab::sBitBtn8Click},   {m_ui->sBitBtn9, &SoundTab::sBitBtn9Click},
        {m_ui->sBitBtn10, &SoundTab::sBitBtn10Click}, {m_ui->sBitBtn11, &SoundTab::sBitBtn11Click},
        {m_ui->sBitBtn12, &SoundTab::sBitBtn12Click}, {m_ui->sBitBtn13, &SoundTab::sBitBtn13Click},
        {m_ui->sBitBtn14, &SoundTab::sBitBtn14Click}, {m_ui->sBitBtn15, &SoundTab::sBitBtn15Click},
    };
    static_assert(std::size(clicks) == 2 * std::size_t(kRows));
    for (const auto &[button, click] : clicks) {
        QObject::connect(button, &QPushButton::clicked, &m_connections,
                         [this, run, click = click] { run([this, click] { (this->*click)(); }); });
    }
}

QLineEdit *SoundTab::edit(int n) const
{
    switch (n) {
    case 1: return m_ui->edit1;
    case 2: return m_ui->edit2;
    case 3: return m_ui->edit3;
    case 4: return m_ui->edit4;
    case 5: return m_ui->edit5;
    case 6: return m_ui->edit6;
    }
    return nullptr;
}

std::array<QLineEdit *, SoundTab::kRows> SoundTab::pathFields() const
{
    return {edit(1), edit(2), edit(3), edit(4), edit(5), edit(6)};
}

QPushButton *SoundTab::previewButton(int n) const
{
    switch (n) {
    case 1: return m_ui->sBitBtn4;
    case 2: return m_ui->sBitBtn6;
    case 3: return m_ui->sBitBtn8;
    case 4: return m_ui->sBitBtn10;
    case 5: return m_ui->sBitBtn12;
    case 6: return m_ui->sBitBtn14;
    }
    return nullptr;
}

QPushButton *SoundTab::browseButton(int n) const
{
    switch (n) {
    case 1: return m_ui->sBitBtn5;
    case 2: return m_ui->sBitBtn7;
    case 3: return m_ui->sBitBtn9;
    case 4: return m_ui->sBitBtn11;
    case 5: return m_ui->sBitBtn13;
    case 6: return m_ui->sBitBtn15;
    }
    return nullptr;
}

void SoundTab::sBitBtn4Click() { preview(1); }
void SoundTab::sBitBtn6Click() { preview(2); }
void SoundTab::sBitBtn8Click() { preview(3); }
void SoundTab::sBitBtn10Click() { preview(4); }
void SoundTab::sBitBtn12Click() { preview(5); }
void SoundTab::sBitBtn14Click() { preview(6); }

void SoundTab::sBitBtn5Click() { browse(1); }
void SoundTab::sBitBtn7Click() { browse(2); }
void SoundTab::sBitBtn9Click() { browse(3); }
void SoundTab::sBitBtn11Click() { browse(4); }
void SoundTab::sBitBtn13Click() { browse(5); }
void SoundTab::sBitBtn15Click() { browse(6); }

void SoundTab::sTabSheet1Show() { stopIfPlaying(); }

void SoundTab::preview(int n)
{
    // Any preview button silences the preview, whichever row started it.
    if (m_mp1.mode() == TMPModes::mpPlaying) {
        m_mp1.stop();
        return;
    }
    // A row without a usable file replays whatever was previewed last. With nothing ever
    // previewed the open fails and the user sees why.
    const QString text = edit(n)->text();
    if (namesExistingFile(text))
        m_mp1.setFileName(text);
    // Reopening rewinds, so a stopped preview always starts over.
    m_mp1.open();
    m_mp1.play();
}

void SoundTab::browse(int n)
{
    const QString chosen = chooseFile ? chooseFile() : QString();
    // The field shows the path as the system writes it (backslashes on Windows).
    if (!chosen.isEmpty())
        edit(n)->setText(QDir::toNativeSeparators(chosen));
    stopIfPlaying();
}

void SoundTab::stopIfPlaying()
{
    // A channel that was never opened never reads as playing, so this cannot hit a closed one.
    if (m_mp1.mode() == TMPModes::mpPlaying)
        m_mp1.stop();
}

std::unique_ptr<QFileDialog> SoundTab::makeOpenDialog(QWidget *parent)
{
    // No title and no starting folder: the dialog's own defaults are what the user expects.
    auto dialog = std::make_unique<QFileDialog>(parent);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setOption(QFileDialog::HideNameFilterDetails, true);
    dialog->setNameFilters({QStringLiteral("Wav, MP3 (*.wav *.mp3)"), QStringLiteral("Все (*)")});
    dialog->selectNameFilter(dialog->nameFilters().constFirst());
    dialog->setSizeGripEnabled(true);
    dialog->setModal(true);
    return dialog;
}

QString SoundTab::showOpenDialog()
{
    const auto dialog = makeOpenDialog(m_page ? m_page->window() : nullptr);
    if (dialog->exec() != QDialog::Accepted)
        return {};
    const QStringList files = dialog->selectedFiles();
    return files.isEmpty() ? QString() : QFileInfo(files.constFirst()).absoluteFilePath();
}

} // namespace sound
