// The description tab and the promotion panel, built on a tab page and a panel the way the main
// window holds them, and driven with real mouse and key events.

#include "app/appearance.h"
#include "app/formfonts.h"
#include "app/infopages.h"
#include "app/links.h"
#include "urlrecorder.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QUrl>
#include <memory>

using app::InfoPages;

class TestInfoPages : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void descriptionTextFollowsItsOutline();
    void descriptionCanBeReadAndCopiedButNotChanged();
    void controlsSitOnThePageAndPanelWithTheirFonts_data();
    void controlsSitOnThePageAndPanelWithTheirFonts();
    void keyboardFocusOrder();
    void eachClickSendsOneRequestForItsAddress();
    void titleAndSubtitleOpenNothing();
    void linkLooksLikeALink();
    void buttonShowsItsArrowRightOfTheCaption();
    void picturesKeyOutTheirBackground();
    void applicationIconHasAllSizes();

private:
    void click(QWidget *widget, QPoint at);

    bool haveTahoma_ = false;
    std::unique_ptr<QWidget> window_;
    QTabWidget *tabs_ = nullptr;
    QWidget *page_ = nullptr;
    QFrame *panel_ = nullptr;
    InfoPages *pages_ = nullptr;
    std::unique_ptr<UrlRecorder> recorder_;
    int runnerCalls_ = 0;
};

void TestInfoPages::initTestCase()
{
    // What the program registers at start-up.
    app::loadBundledFonts();
    haveTahoma_ = QFontDatabase::families().contains(QStringLiteral("Tahoma"));
}

void TestInfoPages::init()
{
    // The window: a 736 x 568 client area holding the page control and the panel under it.
    window_ = std::make_unique<QWidget>();
    window_->resize(736, 568);
    QFont windowFont(QStringLiteral("Tahoma"));
    windowFont.setPixelSize(13);
    window_->setFont(windowFont);
    tabs_ = new QTabWidget(window_.get());
    tabs_->setGeometry(8, 8, 715, 465);
    tabs_->addTab(new QWidget, QStringLiteral("Таймер"));
    page_ = new QWidget;
    page_->setObjectName(QStringLiteral("sTabSheet2"));
    tabs_->addTab(page_, QStringLiteral("Описание"));
    tabs_->addTab(new QWidget, QStringLiteral("Настройки"));
    panel_ = new QFrame(window_.get());
    panel_->setObjectName(QStringLiteral("sPanel11"));
    panel_->setGeometry(8, 479, 715, 77);
    panel_->setFrameShape(QFrame::Panel);

    runnerCalls_ = 0;
    pages_ = new InfoPages(
        [this](const std::function<void()> &handler) {
            ++runnerCalls_;
            handler();
        },
        window_.get());
    pages_->setupOn(page_, panel_);
    tabs_->setCurrentWidget(page_);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));

    recorder_ = std::make_unique<UrlRecorder>();
}

void TestInfoPages::cleanup()
{
    recorder_.reset();
    window_.reset();
}

void TestInfoPages::click(QWidget *widget, QPoint at) { QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, at); }

void TestInfoPages::descriptionTextFollowsItsOutline()
{
    const QStringList lines = pages_->Memo2->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 35);
    QStringList paragraphs;
    for (int i = 0; i < lines.size(); ++i) {
        if (i % 2) {
            QVERIFY2(lines[i].isEmpty(), qPrintable(QStringLiteral("line %1 separates paragraphs").arg(i + 1)));
        } else {
            QVERIFY2(!lines[i].trimmed().isEmpty(), qPrintable(QStringLiteral("line %1 is a paragraph").arg(i + 1)));
            QCOMPARE(lines[i], lines[i].trimmed());
            QVERIFY(!lines[i].contains(QStringLiteral("  ")));
            paragraphs << lines[i];
        }
    }
    QCOMPARE(paragraphs.size(), 18);
    QVERIFY(paragraphs[0].startsWith(QStringLiteral("Винтра")));
    QCOMPARE(paragraphs[10], QStringLiteral("Общие рекомендации по тренировкам"));
    // The worked example writes its decimals with commas, as Russian does.
    QVERIFY(paragraphs[15].contains(QStringLiteral("(220 − 30) · (0,7–0,8) = 133–152")));
    QVERIFY(paragraphs[2].startsWith(QStringLiteral("Кроме того, Винтра")));
    // Every paragraph ends a sentence, and the note for everybody is one too.
    for (const QString &paragraph : paragraphs.mid(0, 10) + paragraphs.mid(11))
        QVERIFY2(paragraph.endsWith(QLatin1Char('.')) || paragraph.endsWith(QLatin1Char('!')), qPrintable(paragraph));
    QVERIFY(paragraphs[16].contains(QStringLiteral(". Всем без исключения важно помнить: при резкой боли")));
    // The paragraphs about the plan fields come in the order of the fields on the timer tab.
    const QStringList fields{QStringLiteral("Подготовка"), QStringLiteral("Работа"), QStringLiteral("Отдых"),
                             QStringLiteral("Раунды"), QStringLiteral("Циклы")};
    for (int i = 0; i < fields.size(); ++i)
        QVERIFY2(paragraphs[4 + i].startsWith(fields[i]), qPrintable(fields[i]));
}

void TestInfoPages::descriptionCanBeReadAndCopiedButNotChanged()
{
    QPlainTextEdit *memo = pages_->Memo2;
    QVERIFY(memo->isReadOnly());
    QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(memo->wordWrapMode(), QTextOption::WordWrap);
    QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(memo->verticalScrollBar()->isVisible());
    QVERIFY2(memo->verticalScrollBar()->maximum() > 0, "the text is longer than the memo and scrolls");

    const QString before = memo->toPlainText();
    QApplication::clipboard()->setText(QStringLiteral("вставка"));
    memo->setFocus();
    QTest::keyClicks(memo, QStringLiteral("abc xyz"));
    QTest::sendKeyEvent(QTest::Click, memo, Qt::Key_unknown, QStringLiteral("ж"), Qt::NoModifier);
    QTest::keyClick(memo, Qt::Key_Return);
    QTest::keyClick(memo, Qt::Key_Backspace);
    QTest::keyClick(memo, Qt::Key_Delete);
    QTest::keyClick(memo, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(memo, Qt::Key_A, Qt::ControlModifier);
    QVERIFY(memo->textCursor().hasSelection());
    QTest::keyClick(memo, Qt::Key_X, Qt::ControlModifier);
    QTest::keyClick(memo, Qt::Key_Delete);
    QCOMPARE(memo->toPlainText(), before);

    QTest::keyClick(memo, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(memo, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), before);
}

void TestInfoPages::controlsSitOnThePageAndPanelWithTheirFonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("onPanel");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<QString>("text");
    QTest::newRow("Memo2") << "Memo2" << false << QRect(3, 3, 701, 391) << 13 << false << QString();
    QTest::newRow("BitBtn2") << "BitBtn2" << false << QRect(3, 400, 701, 31) << 19 << false << "Упражнения";
    QTest::newRow("sLabel11") << "sLabel11" << true << QRect(17, 8, 508, 19) << 16 << true
                              << "Калькулятор калорий Зелк";
    QTest::newRow("sLabel12") << "sLabel12" << true << QRect(17, 32, 508, 16) << 13 << false
                              << "Поможет похудеть и увеличить эффективность тренировок";
    QTest::newRow("Label3") << "Label3" << true << QRect(19, 54, 508, 16) << 13 << true << "https://zelk-soft.example";
    QTest::newRow("BitBtn1") << "BitBtn1" << true << QRect(544, 12, 162, 55) << 19 << false << "Подробнее";
}

void TestInfoPages::controlsSitOnThePageAndPanelWithTheirFonts()
{
    QFETCH(QString, name);
    QFETCH(bool, onPanel);
    QFETCH(QRect, geometry);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(QString, text);

    QWidget *holder = onPanel ? static_cast<QWidget *>(panel_) : page_;
    auto *widget = holder->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
    QVERIFY2(widget, "a direct child of its page or panel");
    QVERIFY(widget->isVisible());
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->font().pixelSize(), pixelSize);
    QCOMPARE(widget->font().bold(), bold);
    // Regular texts are Tahoma; bold ones take the real bold face.
    const QString family = bold ? QString::fromLatin1(app::kBoldFamily) : QStringLiteral("Tahoma");
    QCOMPARE(widget->font().family(), family);
    if (haveTahoma_ || bold)
        QCOMPARE(QFontInfo(widget->font()).family(), family);
    if (name == QLatin1String("Label3") && QString::fromUtf8(app::links::kSiteUrl) != text)
        QSKIP("built with another site address");
    if (!text.isEmpty())
        QCOMPARE(widget->property("text").toString(), text);
    QVERIFY2(widget->width() >= widget->fontMetrics().horizontalAdvance(widget->property("text").toString()),
             "the text fits its control");
}

void TestInfoPages::keyboardFocusOrder()
{
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    pages_->Memo2->setFocus(Qt::TabFocusReason);
    QTest::keyClick(pages_->Memo2, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(pages_->BitBtn2));

    const QList<QWidget *> panelChildren = panel_->findChildren<QWidget *>();
    for (QWidget *child : panelChildren) {
        if (child == pages_->BitBtn1)
            QVERIFY(child->focusPolicy() & Qt::TabFocus);
        else
            QVERIFY2(child->focusPolicy() == Qt::NoFocus, qPrintable(child->objectName()));
    }
}

void TestInfoPages::eachClickSendsOneRequestForItsAddress()
{
    const QString site = QString::fromUtf8(app::links::kSiteUrl);
    const QString exercises = QString::fromUtf8(app::links::kExercisesUrl);
    QVERIFY(site.startsWith(QStringLiteral("https://")));
    QVERIFY(QUrl(site).path().isEmpty());
    QVERIFY(exercises.startsWith(QStringLiteral("https://")));
    QVERIFY(exercises.endsWith(QStringLiteral("/viewtopic.php?f=18&t=289")));

    click(pages_->BitBtn2, pages_->BitBtn2->rect().center());
    QCOMPARE(recorder_->openedTexts(), QStringList{exercises});

    recorder_->opened.clear();
    click(pages_->BitBtn1, pages_->BitBtn1->rect().center());
    QCOMPARE(recorder_->openedTexts(), QStringList{site});

    // The whole strip is the link, far beyond the ends of the centred text.
    recorder_->opened.clear();
    click(pages_->Label3, QPoint(1, 8));
    click(pages_->Label3, QPoint(506, 8));
    click(pages_->Label3, QPoint(254, 1));
    QCOMPARE(recorder_->openedTexts(), QStringList(3, site));

    // Keyboard presses count like clicks; a press dragged off the link before release does not.
    recorder_->opened.clear();
    pages_->BitBtn1->setFocus();
    QTest::keyClick(pages_->BitBtn1, Qt::Key_Space);
    QTest::mousePress(pages_->Label3, Qt::LeftButton, Qt::NoModifier, QPoint(100, 8));
    QTest::mouseRelease(pages_->Label3, Qt::LeftButton, Qt::NoModifier, QPoint(100, 30));
    QCOMPARE(recorder_->openedTexts(), QStringList{site});

    // Every request went through the window's handler runner.
    QCOMPARE(runnerCalls_, 6);
}

void TestInfoPages::titleAndSubtitleOpenNothing()
{
    for (QLabel *label : {pages_->sLabel11, pages_->sLabel12}) {
        click(label, QPoint(1, 5));
        click(label, label->rect().center());
        click(label, QPoint(label->width() - 2, 5));
    }
    click(panel_, QPoint(5, 60));
    click(panel_, QPoint(530, 60));
    QVERIFY(recorder_->opened.isEmpty());
    QCOMPARE(runnerCalls_, 0);
}

void TestInfoPages::linkLooksLikeALink()
{
    QCOMPARE(pages_->Label3->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(panel_->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(pages_->sLabel11->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(pages_->sLabel12->cursor().shape(), Qt::ArrowCursor);
    for (QLabel *label : {pages_->sLabel11, pages_->sLabel12, pages_->Label3})
        QVERIFY2(!label->autoFillBackground(), "labels let the panel show through");

    // The link's letters are drawn in pure blue; the panel around them is not blue at all.
    QCOMPARE(pages_->Label3->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    const QImage panel = panel_->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect strip = pages_->Label3->geometry();
    int blue = 0;
    for (int y = strip.top(); y <= strip.bottom(); ++y)
        for (int x = strip.left(); x <= strip.right(); ++x)
            blue += panel.pixel(x, y) == qRgb(0, 0, 255);
    QVERIFY2(blue > 20, qPrintable(QString::number(blue)));
    QCOMPARE(panel.pixel(strip.left() + 2, strip.top() + 2), panel.pixel(2, 40));

    if (const QByteArray dir = qgetenv("VINTRA_SCREENSHOT_DIR"); !dir.isEmpty()) {
        window_->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(QStringLiteral("infopages.png")));
        pages_->Memo2->verticalScrollBar()->setValue(pages_->Memo2->verticalScrollBar()->maximum());
        window_->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(QStringLiteral("infopages-end.png")));
    }
}

void TestInfoPages::buttonShowsItsArrowRightOfTheCaption()
{
    QCOMPARE(pages_->BitBtn1->icon().isNull(), false);
    QCOMPARE(pages_->BitBtn2->icon().isNull(), true);

    const QImage button = pages_->BitBtn1->grab().toImage().convertToFormat(QImage::Format_RGB32);
    auto reddish = [](QRgb c) { return qRed(c) > 100 && qRed(c) - qGreen(c) > 60 && qRed(c) - qBlue(c) > 60; };
    auto ink = [](QRgb c) { return qRed(c) < 90 && qGreen(c) < 90 && qBlue(c) < 90; };
    int arrowLeft = button.width(), arrowRight = -1, arrowTop = button.height();
    int textLeft = button.width(), textRight = -1;
    for (int y = 8; y < button.height() - 8; ++y) {
        for (int x = 6; x < button.width() - 6; ++x) {
            const QRgb c = button.pixel(x, y);
            if (reddish(c)) {
                arrowLeft = std::min(arrowLeft, x);
                arrowRight = std::max(arrowRight, x);
                arrowTop = std::min(arrowTop, y);
            } else if (ink(c) && x < arrowLeft) {
                textLeft = std::min(textLeft, x);
                textRight = std::max(textRight, x);
            }
        }
    }
    QVERIFY2(textRight > 0 && arrowRight > 0, "caption and arrow are both drawn");
    QCOMPARE(arrowRight - arrowLeft + 1, 27); // the arrow's own width in its 32 px picture
    // The picture's left edge lies 3 px before the arrow's tail; it starts 4 px after the caption
    // (a pixel of leeway for the letters' side bearings).
    const int pictureLeft = arrowLeft - 3;
    QVERIFY2(qAbs(pictureLeft - (textRight + 1) - 4) <= 1,
             qPrintable(QStringLiteral("gap %1").arg(pictureLeft - textRight - 1)));
    // Caption and picture together sit in the middle of the button.
    const int leftMargin = textLeft;
    const int rightMargin = button.width() - (pictureLeft + 32);
    QVERIFY2(qAbs(leftMargin - rightMargin) <= 2,
             qPrintable(QStringLiteral("%1 vs %2").arg(leftMargin).arg(rightMargin)));
    // The picture's black background is not drawn: its bottom-left corner shows the button face.
    const QRgb corner = button.pixel(pictureLeft + 1, arrowTop - 4 + 30);
    QVERIFY2(qRed(corner) + qGreen(corner) + qBlue(corner) > 300, "no black square behind the arrow");
}

void TestInfoPages::picturesKeyOutTheirBackground()
{
    const QImage arrow = app::keyedPicture(QStringLiteral(":/images/arrow.png")).toImage();
    QCOMPARE(arrow.size(), QSize(32, 32));
    QCOMPARE(qAlpha(arrow.pixel(0, 31)), 0);
    QCOMPARE(qAlpha(arrow.pixel(31, 0)), 0);
    QCOMPARE(qAlpha(arrow.pixel(10, 12)), 255);
    QCOMPARE(qAlpha(arrow.pixel(10, 19)), 255);
    QVERIFY2(qGreen(arrow.pixel(10, 12)) > qGreen(arrow.pixel(10, 19)) + 60, "upper half paler than lower half");

    const QImage stored(QStringLiteral(":/images/arrow.png"));
    QVERIFY2(!stored.hasAlphaChannel(), "the stored arrow is plain 24-bit colour");
    QCOMPARE(stored.pixel(0, 31), qRgb(0, 0, 0));

    const QImage speaker = app::keyedPicture(QStringLiteral(":/images/speaker.png")).toImage();
    QCOMPARE(speaker.size(), QSize(17, 17));
    QCOMPARE(qAlpha(speaker.pixel(0, 16)), 0);
    int solid = 0;
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 17; ++x)
            if (qAlpha(speaker.pixel(x, y)) == 255) {
                ++solid;
                QVERIFY2(qGray(speaker.pixel(x, y)) < 128, "what shows is dark grey to black");
            }
    QVERIFY(solid > 40);

    QVERIFY(app::keyedPicture(QStringLiteral(":/images/no-such-picture.png")).isNull());
}

void TestInfoPages::applicationIconHasAllSizes()
{
    for (int size : {16, 24, 32, 48, 128, 256}) {
        const QImage icon(QStringLiteral(":/icons/vintra-%1.png").arg(size));
        QCOMPARE(icon.size(), QSize(size, size));
        QVERIFY(icon.hasAlphaChannel());
        QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(icon.pixel(size - 1, size - 1)), 0);
        // A red disc, red also inside the white stopwatch ring (below left of the hub).
        const QRgb disc = icon.pixel(size * 4 / 10, size * 65 / 100);
        QCOMPARE(qAlpha(disc), 255);
        QVERIFY2(qRed(disc) > 2 * qGreen(disc) && qRed(disc) > 2 * qBlue(disc), qPrintable(QString::number(size)));
    }
}

QTEST_MAIN(TestInfoPages)
#include "tst_infopages.moc"
