#include "app/mainwindow.h"

#include "app/errorpath.h"
#include "app/placement.h"
#include "workout/planformat.h"
#include "ui_mainwindow.h"

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

constexpr Qt::WindowFlags kFrameFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                        Qt::WindowCloseButtonHint;

// Keys that type no character on the desktops we copy: they keep their editing effect even
// where the platform hands them a control character as text.
bool typesNoCharacter(int key)
{
    switch (key) {
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return true;
    default:
        return false;
    }
}

} // namespace

TForm1::TForm1(QWidget *parent) : QWidget(parent), ui(std::make_unique<Ui::TForm1>()), m_plan(*this)
{
    Form1 = this;
    ui->setupUi(this);
    setWindowFlags(kFrameFlags | Qt::WindowStaysOnTopHint);
    setFixedSize(736, 568);

    for (int i = 0; i < workout::kPlanFieldCount; ++i) {
        QComboBox *field = planField(PlanField(i));
        // No list item is selected at start; the field shows the layout's initial text, and
        // typing never completes to a list item.
        field->setCurrentIndex(-1);
        field->setEditText(field->property("initialText").toString());
        field->setCompleter(nullptr);
        field->installEventFilter(this);
        field->lineEdit()->installEventFilter(this);
        connect(field->lineEdit(), &QLineEdit::textEdited, this, app::handler([this] { cycleChange(); }));
        connect(field, &QComboBox::activated, this, app::handler([this] { cycleChange(); }));
    }
    connect(ui->sCheckBox1, &QCheckBox::toggled, this, app::handler([this] { sCheckBox1Click(); }));
    ui->sTabSheet1->installEventFilter(this);

    app::runHandler([this] { FormCreate(); });
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

QString TForm1::planText(PlanField field) const
{
    return planField(field)->currentText();
}

void TForm1::setPlanText(PlanField field, const QString &text)
{
    planField(field)->setEditText(text);
}

void TForm1::showTime(const QString &text)
{
    ui->Label1->setText(text);
}

void TForm1::showRounds(const QString &text)
{
    ui->sPanel4->setText(text);
}

void TForm1::showCycles(const QString &text)
{
    ui->sPanel5->setText(text);
}

void TForm1::FormCreate()
{
    cycleChange();
}

void TForm1::FormClose()
{
}

void TForm1::cycleChange()
{
    m_plan.cycleChange();
}

void TForm1::ShowMinSec(qint32 seconds)
{
    m_plan.ShowMinSec(seconds);
}

void TForm1::podg_mKeyPress(QChar &key)
{
    if (!workout::keyPasses(key))
        key = QChar(0);
}

void TForm1::sCheckBox1Click()
{
    requestStacking(ui->sCheckBox1->isChecked() ? Stacking::StayOnTop : Stacking::Normal);
}

void TForm1::sTabSheet1Show()
{
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
    // The frame's size is known only once the window manager has framed the window; centre
    // again then with the real outer size.
    QTimer::singleShot(200, this, [this] {
        if (windowHandle() && windowHandle()->frameMargins() != m_placedWithFrame)
            placeOnDesktop();
    });
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
    if (!app::runHandler([this] { FormClose(); }))
        event->ignore();
}
