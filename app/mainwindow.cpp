#include "app/mainwindow.h"

#include "app/accessiblenames.h"
#include "app/errorpath.h"
#include "app/formfonts.h"
#include "app/infopages.h"
#include "app/inhibitor.h"
#include "app/placement.h"
#include "app/startupmarks.h"
#include "settings/settingspaths.h"
#include "sound/soundtab.h"
#include "workout/planformat.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QCloseEvent>
#include <QCompleter>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QTimer>
#include <QWindow>

TForm1 *Form1 = nullptr;

using workout::PlanField;

namespace {

// The window's fixed frame: a title bar with the system menu, minimise and close, and no maximise
// button: the window keeps one size (setFixedSize below).
constexpr Qt::WindowFlags kFrameFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                        Qt::WindowCloseButtonHint;

// Keys that type no character: they keep their editing effect even where the platform hands
// them a control character as text.
bool typesNoCharacter(int key)
{
    switch (key) {
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return true;
    default: return false;
    }
}

} // namespace

TForm1::TForm1(const ChannelFactory &makeChannel, QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::TForm1>()), m_plan(*this)
{
    Form1 = this;
    app::setErrorBoxOwner(this);
    // Before the controls are built: their accessible interfaces are chosen as they are first
    // asked for, which the accessibility bridge may do at once.
    app::installAccessibleInterfaces();
    app::readAsFrame(this);
    // The flags go first: changing them later re-creates the native window.
    setWindowFlags(kFrameFlags | Qt::WindowStaysOnTopHint);
    ui->setupUi(this);
    app::markStartup("timer tab built");
    app::applyPixelFonts(this);
    setFixedSize(736, 568);

    app::initInfoPagesResources();
    QIcon icon;
    for (int size : {16, 24, 32, 48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/vintra-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);

    // The music on a stream of its own, deep enough not to break on a busy machine; the cues,
    // and the sound tab's previews, where a sound must start at once.
    for (auto *channel : {&mpOver, &mpRest, &mpStart, &mpTick, &mpWork, &mp1})
        *channel = makeChannel(sound::Stream::Cues);
    mpMusic = makeChannel(sound::Stream::Music);
    m_cues = {mpOver.get(), mpRest.get(), mpStart.get(), mpTick.get(), mpWork.get(), mpMusic.get()};

    m_soundTab = std::make_unique<sound::SoundTab>(*mp1);
    m_soundTab->setupOn(ui->sTabSheet3);
    m_infoPages = new app::InfoPages(app::runHandler, this);
    m_infoPages->setupOn(ui->sTabSheet2, ui->sPanel11);
    app::markStartup("other tabs built");
    app::fitTexts(this);
    app::markStartup("texts fitted");
    m_inhibitor = new app::Inhibitor(this);
    app::markStartup("inhibitor");

    m_sequencer = std::make_unique<workout::Sequencer>(
        *this, m_plan, m_cues, [this] { sound::PrepareCues(m_cues, pathFieldTexts(), sound_dir); });

    for (int i = 0; i < workout::kPlanFieldCount; ++i) {
        QComboBox *field = planField(PlanField(i));
        // No list item is selected at start; the field shows the layout's initial text, and
        // typing never completes to a list item.
        field->setCurrentIndex(-1);
        field->setEditText(field->property("initialText").toString());
        field->setCompleter(nullptr);
        field->installEventFilter(this);
        field->lineEdit()->installEventFilter(this);
    }
    ui->sTabSheet1->installEventFilter(this);
    app::nameComboEditors(this);
    app::announceFocusFirst(this);
    app::readWhole(ui->sPanel4);
    app::readWhole(ui->sPanel5);
    nameChangingControls();
    wireHandlers();
    app::markStartup("fields set up");

    app::runHandler([this] { FormCreate(); });
    app::markStartup("settings read");
}

void TForm1::wireHandlers()
{
    using app::handler;
    for (int i = 0; i < workout::kPlanFieldCount; ++i) {
        QComboBox *field = planField(PlanField(i));
        connect(field->lineEdit(), &QLineEdit::textEdited, this, handler([this] { cycleChange(); }));
        connect(field, &QComboBox::activated, this, handler([this] { cycleChange(); }));
    }
    connect(ui->sCheckBox1, &QCheckBox::toggled, this, handler([this] { sCheckBox1Click(); }));
    connect(ui->sBitBtn1, &QPushButton::clicked, this, handler([this] { sBitBtn1Click(); }));
    connect(ui->sBitBtn2, &QPushButton::clicked, this, handler([this] { sBitBtn2Click(); }));
    connect(ui->sBitBtn3, &QPushButton::clicked, this, handler([this] { sBitBtn3Click(); }));
    connect(&m_sequencer->Timer1, &workout::WorkoutTimer::timeout, this, handler([this] { Timer1Timer(); }));
    connect(&m_sequencer->Timer2, &workout::WorkoutTimer::timeout, this, handler([this] { Timer2Timer(); }));
    m_soundTab->wire(app::runHandler);
}

TForm1::~TForm1()
{
    if (Form1 == this)
        Form1 = nullptr;
}

QComboBox *TForm1::planField(PlanField field) const
{
    switch (field) {
    case PlanField::podg_m: return ui->podg_m;
    case PlanField::podg_s: return ui->podg_s;
    case PlanField::rabota_m: return ui->rabota_m;
    case PlanField::rabota_s: return ui->rabota_s;
    case PlanField::otdih_m: return ui->otdih_m;
    case PlanField::otdih_s: return ui->otdih_s;
    case PlanField::round: return ui->round;
    case PlanField::cycle: return ui->cycle;
    }
    return nullptr;
}

QString TForm1::planText(PlanField field) const { return planField(field)->currentText(); }

void TForm1::setPlanText(PlanField field, const QString &text) { planField(field)->setEditText(text); }

void TForm1::showTime(const QString &text)
{
    ui->Label1->setText(text);
    nameChangingControls();
}

void TForm1::showRounds(const QString &text)
{
    ui->sPanel4->setText(text);
    nameChangingControls();
}

void TForm1::showCycles(const QString &text)
{
    ui->sPanel5->setText(text);
    nameChangingControls();
}

// The plan fields as the settings file lists them (lines 1 to 8).
constexpr std::array<PlanField, workout::kPlanFieldCount> kFileOrder = {
    PlanField::podg_m,  PlanField::podg_s,  PlanField::rabota_m, PlanField::rabota_s,
    PlanField::otdih_m, PlanField::otdih_s, PlanField::round,    PlanField::cycle};

// The seventeen lines of the settings file, in file order.
QStringList TForm1::settingsLines() const
{
    QStringList lines;
    for (PlanField field : kFileOrder)
        lines << planText(field);
    for (const QCheckBox *option : {ui->sCheckBox1, ui->sCheckBox2, ui->sound})
        lines << (option->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    for (const QLineEdit *path : m_soundTab->pathFields())
        lines << path->text();
    return lines;
}

void TForm1::applySettingsLines(const QStringList &lines)
{
    auto line = [&](int n) { return n <= lines.size() ? lines[n - 1] : QString(); };
    int n = 1;
    for (PlanField field : kFileOrder)
        setPlanText(field, line(n++));
    // Only a lone "0" turns an option off; the load never turns one on. Unticking the on-top
    // box runs its click handler, which makes the window normal before it is ever shown.
    for (QCheckBox *option : {ui->sCheckBox1, ui->sCheckBox2, ui->sound}) {
        if (line(n++) == QLatin1String("0"))
            option->setChecked(false);
    }
    for (QLineEdit *path : m_soundTab->pathFields())
        path->setText(line(n++));
}

void TForm1::FormCreate()
{
    appdata_dir = settings::appDataDir();
    cycleChange();
    sound_dir = sound::soundDirFor(QCoreApplication::applicationFilePath());
    const QString file = settings::settingsFilePath(appdata_dir);
    if (!settings::SettingsFile::exists(file))
        return;
    const QStringList lines = m_lineBuffer.load(file);
    ui->Memo1->setPlainText(lines.join(QLatin1Char('\n')));
    applySettingsLines(lines);
    cycleChange();
}

void TForm1::FormClose()
{
    const QStringList lines = settingsLines();
    ui->Memo1->setPlainText(lines.join(QLatin1Char('\n')));
    m_lineBuffer.save(settings::settingsFilePath(appdata_dir), settings::settingsFolder(appdata_dir), lines);
}

void TForm1::cycleChange() { m_plan.cycleChange(); }

void TForm1::ShowMinSec(qint32 seconds) { m_plan.ShowMinSec(seconds); }

void TForm1::podg_mKeyPress(QChar &key)
{
    if (!workout::keyPasses(key))
        key = QChar(0);
}

void TForm1::sCheckBox1Click()
{
    requestStacking(ui->sCheckBox1->isChecked() ? Stacking::StayOnTop : Stacking::Normal);
}

void TForm1::sTabSheet1Show() { m_soundTab->sTabSheet1Show(); }

void TForm1::sBitBtn1Click() { m_sequencer->sBitBtn1Click(); }

void TForm1::sBitBtn2Click() { m_sequencer->sBitBtn2Click(); }

void TForm1::sBitBtn3Click() { m_sequencer->sBitBtn3Click(); }

void TForm1::Timer1Timer() { m_sequencer->Timer1Timer(); }

void TForm1::Timer2Timer() { m_sequencer->Timer2Timer(); }

sound::CueFieldTexts TForm1::pathFieldTexts() const
{
    sound::CueFieldTexts texts;
    const auto fields = m_soundTab->pathFields();
    for (size_t i = 0; i < texts.size(); ++i)
        texts[i] = fields[i]->text();
    return texts;
}

QString TForm1::startCaption() const { return ui->sBitBtn1->text(); }
// The caption tells whether a workout runs, from START until any stop, paused or not; the
// screen is kept on for exactly that time.
void TForm1::setStartCaption(const QString &text)
{
    ui->sBitBtn1->setText(text);
    m_inhibitor->setHeld(text == workout::texts::stop);
    nameChangingControls();
}
QString TForm1::pauseCaption() const { return ui->sBitBtn2->text(); }
void TForm1::setPauseCaption(const QString &text)
{
    ui->sBitBtn2->setText(text);
    nameChangingControls();
}
void TForm1::setPauseVisible(bool visible) { ui->sBitBtn2->setVisible(visible); }
QString TForm1::musicCaption() const { return ui->sBitBtn3->text(); }
void TForm1::setMusicCaption(const QString &text) { ui->sBitBtn3->setText(text); }
void TForm1::setTitle(const QString &text)
{
    ui->sLabel1->setText(text);
    nameChangingControls();
}
bool TForm1::soundChecked() const { return ui->sound->isChecked(); }
bool TForm1::musicChecked() const { return ui->sCheckBox2->isChecked(); }

QWidget *TForm1::light(workout::Light which) const
{
    switch (which) {
    case workout::Light::yellow: return ui->yellow;
    case workout::Light::green: return ui->green;
    case workout::Light::red: return ui->red;
    }
    return nullptr;
}

// A light's own visibility, as set by the sequencer, whether or not the window is on screen.
bool TForm1::isLightVisible(workout::Light which) const { return !light(which)->isHidden(); }
void TForm1::setLightVisible(workout::Light which, bool visible) { light(which)->setVisible(visible); }

void TForm1::reportError(const QString &message) { app::showErrorBoxLater(message); }

// The display and the counters are bare numbers apart from their captions, and the two
// workout buttons change their captions; a screen reader gets each with its caption, kept in
// step with every change of text.
void TForm1::nameChangingControls()
{
    app::setSpokenName(ui->Label1, app::captionedName(ui->sLabel1->text(), ui->Label1->text()));
    app::setSpokenName(ui->sPanel4, app::captionedName(ui->sLabel2->text(), ui->sPanel4->text()));
    app::setSpokenName(ui->sPanel5, app::captionedName(ui->sLabel3->text(), ui->sPanel5->text()));
    app::setSpokenName(ui->sBitBtn1, app::spokenCaption(ui->sBitBtn1->text()));
    app::setSpokenName(ui->sBitBtn2, app::spokenCaption(ui->sBitBtn2->text()));
}

void TForm1::requestStacking(Stacking stacking)
{
    if (stacking == m_stacking)
        return;
    m_stacking = stacking;
    Qt::WindowFlags flags = windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, stacking == Stacking::StayOnTop);
    // setWindowFlags() would destroy and hide a shown native window; changing the flag on the
    // existing handle only moves it between the stacking bands.
    overrideWindowFlags(flags);
    if (QWindow *handle = windowHandle())
        handle->setFlags(flags);
}

void TForm1::showFirstTime()
{
    ui->sPageControl1->setCurrentIndex(0);
    placeOnDesktop();
    show();
    // The frame's size is known only once the window manager has framed the window, which on a
    // busy desktop can take well over a moment; centre again as soon as it is, looking every
    // 50 ms for up to 5 s (without a window manager there is no frame to wait for).
    auto *framed = new QTimer(this);
    framed->setInterval(50);
    connect(framed, &QTimer::timeout, this, [this, framed, looks = 0]() mutable {
        const bool known = windowHandle() && windowHandle()->frameMargins() != m_placedWithFrame;
        if (known)
            placeOnDesktop();
        if (known || ++looks >= 100) {
            framed->stop();
            framed->deleteLater();
        }
    });
    framed->start();
}

void TForm1::placeOnDesktop()
{
    QRect desktop;
    for (QScreen *screen : QGuiApplication::screens())
        desktop |= screen->geometry();
    m_placedWithFrame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const QSize outer = size().grownBy(m_placedWithFrame);
    move(app::firstPlacement(desktop, outer));
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->sTabSheet1) {
        // Restoring a minimised window re-shows the page spontaneously; that is not a return to
        // the tab.
        if (event->type() == QEvent::Show && !event->spontaneous())
            app::runHandler([this] { sTabSheet1Show(); });
        return false;
    }
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->text().isEmpty() || typesNoCharacter(key->key()))
            return false;
        for (QChar typed : key->text()) {
            QChar passed = typed;
            podg_mKeyPress(passed);
            if (passed.isNull())
                return true;
        }
        return false;
    }
    if (event->type() == QEvent::InputMethod) {
        auto *input = static_cast<QInputMethodEvent *>(event);
        QString kept;
        for (QChar typed : input->commitString()) {
            podg_mKeyPress(typed);
            if (!typed.isNull())
                kept += typed;
        }
        if (kept != input->commitString()) {
            input->setCommitString(kept, input->replacementStart(), input->replacementLength());
        }
        return false;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent *event)
{
    if (m_gone)
        return;
    if (!app::runHandler([this] { FormClose(); })) {
        event->ignore();
        return;
    }
    letGo();
}

QString TForm1::closeForSessionEnd()
{
    const QString failure = saveForSessionEnd();
    leaveForSessionEnd();
    return failure;
}

QString TForm1::saveForSessionEnd()
{
    if (m_gone)
        return {};
    // The one place besides the error path that catches: the failure cannot be shown, so it
    // becomes the caller's line on stderr and the exit status.
    try {
        FormClose();
    } catch (...) {
        return app::exceptionMessage(std::current_exception());
    }
    return {};
}

void TForm1::leaveForSessionEnd()
{
    if (!m_gone)
        letGo();
    hide();
}

// The window goes, and with it any workout it ran: the program may still run a moment (the
// release of the screen inhibition settles, the sound output closes), and nothing may sound or
// open a box meanwhile with no window to belong to.
void TForm1::letGo()
{
    m_gone = true;
    m_sequencer->halt();
    for (const auto *channel : {&mpOver, &mpRest, &mpStart, &mpTick, &mpWork, &mpMusic, &mp1})
        (*channel)->close();
    m_inhibitor->setHeld(false);
    app::errorBoxOwnerGone();
}
