// The sound settings tab on real widgets: the form is put onto a page of a tab widget the size of
// the main window's, the buttons are clicked for real, and the preview channel is a FakeChannel
// playing real files from a temporary folder.

#include "fakechannel.h"
#include "sound/soundtab.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using sound::SoundTab;
using sound::TMPModes;

namespace {

struct RowLayout {
    const char *field;
    int top;
    const char *caption;
    const char *preview;
    const char *browse;
};

const RowLayout kRows[] = {
    {"edit1", 47, "Over (конец сессии)", "sBitBtn4", "sBitBtn5"},
    {"edit2", 95, "Rest (отдых)", "sBitBtn6", "sBitBtn7"},
    {"edit3", 143, "Start (начинаем сессию)", "sBitBtn8", "sBitBtn9"},
    {"edit4", 199, "Tick (за 3 секунды до следующей фазы )", "sBitBtn10", "sBitBtn11"},
    {"edit5", 255, "Work (фаза работы)", "sBitBtn12", "sBitBtn13"},
    {"edit6", 333, "Music (музыка на заднем плане если включена галочка, mp3)", "sBitBtn14", "sBitBtn15"},
};

enum Row { Over = 1, Rest, Start, Tick, Work, Music };

// The main window in miniature: its size, its font, and the three tab pages.
struct Window {
    QWidget top;
    QTabWidget *pages = new QTabWidget(&top);
    QWidget *sTabSheet1 = new QWidget;
    QWidget *sTabSheet2 = new QWidget;
    QWidget *sTabSheet3 = new QWidget;
    QStringList journal;
    FakeChannel mp1{QStringLiteral("mp1"), &journal};
    SoundTab tab{mp1};
    QStringList errors; // what the window's error box would have shown
    int runs = 0;       // clicks that went through the error path

    Window()
    {
        QFont font(QStringLiteral("Tahoma"));
        font.setPixelSize(13);
        top.setFont(font);
        top.setFixedSize(736, 568);
        pages->setGeometry(8, 8, 715, 465);
        pages->addTab(sTabSheet1, QStringLiteral("Таймер"));
        pages->addTab(sTabSheet2, QStringLiteral("Описание"));
        pages->addTab(sTabSheet3, QStringLiteral("Настройки"));
        tab.setupOn(sTabSheet3);
        tab.wire([this](const std::function<void()> &handler) {
            ++runs;
            try {
                handler();
            } catch (const std::exception &e) {
                errors << QString::fromUtf8(e.what());
            }
        });
        pages->setCurrentWidget(sTabSheet3);
        top.show();
    }

    template <typename T = QWidget>
    T *child(const char *name) const
    {
        return sTabSheet3->findChild<T *>(QString::fromLatin1(name));
    }
    void clickPreview(int row) { QTest::mouseClick(tab.previewButton(row), Qt::LeftButton); }
    void clickBrowse(int row) { QTest::mouseClick(tab.browseButton(row), Qt::LeftButton); }
};

} // namespace

class TestSoundTab : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void layoutCaptionsAndHints();
    void keyboardOrder();
    void previewPlaysItsOwnRow_data();
    void previewPlaysItsOwnRow();
    void anyPreviewButtonStopsThePreview();
    void previewPlaysAgainAfterTheEnd();
    void rowWithoutUsableFile_data();
    void rowWithoutUsableFile();
    void browseSetsFieldAndSilences_data();
    void browseSetsFieldAndSilences();
    void timerTabSilencesPreview();
    void everyButtonRunsThroughTheErrorPath();
    void openDialogConfiguration();
    void defaultChooserUsesRealDialog_data();
    void defaultChooserUsesRealDialog();
    void pasteKeepsTheFirstLine_data();
    void pasteKeepsTheFirstLine();
    void dropKeepsTheFirstLine();
    void textFromCodeKeepsTheFirstLine();

private:
    QString makeFile(const QString &name, const QByteArray &data = "RIFF sound")
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    QTemporaryDir m_dir;
};

void TestSoundTab::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The window's face; without it the layout still holds, only the screenshot looks off.
    // Only the regular file: the bold one that comes with it draws strokes no heavier than the
    // regular ones, while the weight Qt synthesises from the regular face reads as bold.
    const QString tahoma = QStringLiteral("/usr/share/wine/fonts/tahoma.ttf");
    if (QFile::exists(tahoma))
        QFontDatabase::addApplicationFont(tahoma);
}

void TestSoundTab::layoutCaptionsAndHints()
{
    Window w;
    const QRect page = w.sTabSheet3->rect();
    const QFont windowFont = w.top.font();

    auto checkLabel = [&](QLabel *label, QPoint at, const QString &text, bool bold) {
        QVERIFY(label);
        QCOMPARE(label->text(), text);
        QCOMPARE(label->pos(), at);
        QVERIFY(label->alignment() & Qt::AlignLeft);
        QCOMPARE(label->font().bold(), bold);
        // Size and face come from the window, only the weight may differ.
        QCOMPARE(label->font().pixelSize(), 13);
        QCOMPARE(label->font().family(), windowFont.family());
        // The whole text shows, inside the page.
        QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(text));
        QVERIFY2(label->sizeHint().height() <= label->height(), qPrintable(text));
        QVERIFY(page.contains(label->geometry()));
    };
    checkLabel(w.child<QLabel>("sLabel13"), {16, 8}, QStringLiteral("Звуки"), true);
    checkLabel(w.child<QLabel>("sLabel14"), {16, 294}, QStringLiteral("Музыка"), true);

    for (int n = 1; n <= SoundTab::kRows; ++n) {
        const RowLayout &r = kRows[n - 1];
        auto *field = w.child<QLineEdit>(r.field);
        QVERIFY(field);
        QCOMPARE(w.tab.edit(n), field);
        QCOMPARE(w.tab.pathFields()[n - 1], field);
        QCOMPARE(field->geometry(), QRect(16, r.top, 289, 24));
        QVERIFY(field->text().isEmpty());
        QCOMPARE(field->font().pixelSize(), 13);
        QVERIFY(!field->font().bold());

        // The caption sits on the field's left edge, its bottom 3 px above the field.
        auto *caption = w.sTabSheet3->findChild<QLabel *>(QStringLiteral("sLabelEdit%1").arg(n));
        QVERIFY(caption);
        checkLabel(caption, {16, r.top - 3 - caption->height()}, QString::fromUtf8(r.caption), false);
        QCOMPARE(caption->geometry().bottom() + 1 + 3, r.top);

        auto *play = w.child<QPushButton>(r.preview);
        auto *browse = w.child<QPushButton>(r.browse);
        QVERIFY(play && browse);
        QCOMPARE(w.tab.previewButton(n), play);
        QCOMPARE(w.tab.browseButton(n), browse);
        QCOMPARE(play->geometry(), QRect(311, r.top, 32, 24));
        QCOMPARE(browse->geometry(), QRect(349, r.top, 32, 24));
        QCOMPARE(play->text(), QStringLiteral(">"));
        QCOMPARE(browse->text(), QStringLiteral(".."));
        QCOMPARE(play->toolTip(), QStringLiteral("Воспроизвести"));
        QCOMPARE(browse->toolTip(), QStringLiteral("Выбрать файл"));
        QVERIFY(page.contains(browse->geometry()));
    }

    // Nothing else on the page: 2 section labels and 6 rows of caption, field and two buttons.
    QCOMPARE(w.sTabSheet3->findChildren<QWidget *>(Qt::FindDirectChildrenOnly).size(), 2 + 6 * 4);

    const QImage shot = w.sTabSheet3->grab().toImage();
    QVERIFY(!shot.isNull());
    const QByteArray shotDir = qgetenv("VINTRA_SCREENSHOT_DIR");
    if (!shotDir.isEmpty())
        QVERIFY(shot.save(QDir(QString::fromLocal8Bit(shotDir)).filePath(QStringLiteral("soundtab.png"))));
}

void TestSoundTab::keyboardOrder()
{
    Window w;
    w.top.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w.top));

    const QStringList expected = {"edit1",     "edit2",     "edit3",     "edit4",     "edit5",     "edit6",
                                  "sBitBtn4",  "sBitBtn5",  "sBitBtn6",  "sBitBtn7",  "sBitBtn8",  "sBitBtn9",
                                  "sBitBtn12", "sBitBtn13", "sBitBtn10", "sBitBtn11", "sBitBtn14", "sBitBtn15"};

    w.tab.edit(1)->setFocus(Qt::OtherFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), w.tab.edit(1));
    QStringList visited{QApplication::focusWidget()->objectName()};
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, expected);
}

void TestSoundTab::previewPlaysItsOwnRow_data()
{
    QTest::addColumn<int>("row");
    for (int n = 1; n <= SoundTab::kRows; ++n)
        QTest::addRow("%s", kRows[n - 1].preview) << n;
}

void TestSoundTab::previewPlaysItsOwnRow()
{
    QFETCH(int, row);
    Window w;
    // Every row names a different file, so playing the wrong row's file shows.
    for (int n = 1; n <= SoundTab::kRows; ++n)
        w.tab.edit(n)->setText(makeFile(QStringLiteral("row%1.wav").arg(n)));

    w.clickPreview(row);
    QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('\n')));
    QVERIFY(w.mp1.playing());
    QCOMPARE(w.mp1.openedFile(), w.tab.edit(row)->text());
    QCOMPARE(w.mp1.position(), 0);

    // Pressing it again silences it.
    w.clickPreview(row);
    QVERIFY(!w.mp1.playing());
    QCOMPARE(w.journal.last(), QStringLiteral("mp1.stop"));
}

void TestSoundTab::anyPreviewButtonStopsThePreview()
{
    Window w;
    w.tab.edit(Over)->setText(makeFile(QStringLiteral("over.wav")));
    w.tab.edit(Tick)->setText(makeFile(QStringLiteral("tick.wav")));

    w.clickPreview(Over);
    w.mp1.advance(300);
    w.journal.clear();

    // The Tick button stops the Over sound instead of starting its own.
    w.clickPreview(Tick);
    QCOMPARE(w.journal, QStringList{QStringLiteral("mp1.stop")});
    QVERIFY(!w.mp1.playing());

    w.clickPreview(Tick);
    QVERIFY(w.errors.isEmpty());
    QVERIFY(w.mp1.playing());
    QCOMPARE(w.mp1.openedFile(), w.tab.edit(Tick)->text());
    QCOMPARE(w.mp1.position(), 0);
}

void TestSoundTab::previewPlaysAgainAfterTheEnd()
{
    Window w;
    w.tab.edit(Work)->setText(makeFile(QStringLiteral("work.wav")));

    w.clickPreview(Work);
    w.mp1.advance(w.mp1.length());
    QCOMPARE(w.mp1.mode(), TMPModes::mpStopped);

    w.clickPreview(Work);
    QVERIFY(w.mp1.playing());
    QCOMPARE(w.mp1.position(), 0);
    w.mp1.advance(10);
    QCOMPARE(w.mp1.position(), 10);

    // Stopped halfway, the next press starts over too.
    w.clickPreview(Work);
    w.clickPreview(Work);
    QVERIFY(w.mp1.playing());
    QCOMPARE(w.mp1.position(), 0);
}

void TestSoundTab::rowWithoutUsableFile_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("folder") << m_dir.path();
    QTest::newRow("missing file") << m_dir.filePath(QStringLiteral("nowhere.wav"));
    const QString dangling = m_dir.filePath(QStringLiteral("dangling.wav"));
    QFile::link(m_dir.filePath(QStringLiteral("gone.wav")), dangling);
    QTest::newRow("dangling link") << dangling;
}

void TestSoundTab::rowWithoutUsableFile()
{
    QFETCH(QString, text);
    Window w;
    w.tab.edit(Start)->setText(text);

    // Nothing previewed yet: the open fails, the user is told, nothing plays.
    w.clickPreview(Start);
    QCOMPARE(w.errors.size(), 1);
    QCOMPARE(w.errors.first(), QStringLiteral("No file name given"));
    QVERIFY(!w.mp1.isOpen());
    QVERIFY(!w.journal.contains(QStringLiteral("mp1.play")));

    // Once Rest has been previewed, the row plays the Rest file again.
    const QString rest = makeFile(QStringLiteral("rest.wav"));
    w.tab.edit(Rest)->setText(rest);
    w.clickPreview(Rest);
    w.clickPreview(Rest);
    QVERIFY(!w.mp1.playing());

    w.clickPreview(Start);
    QCOMPARE(w.errors.size(), 1);
    QVERIFY(w.mp1.playing());
    QCOMPARE(w.mp1.openedFile(), rest);
    QCOMPARE(w.mp1.position(), 0);
    QCOMPARE(w.tab.edit(Start)->text(), text);
}

void TestSoundTab::browseSetsFieldAndSilences_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<bool>("playing");
    QTest::newRow("confirm while playing") << int(Rest) << true << true;
    QTest::newRow("cancel while playing") << int(Tick) << false << true;
    QTest::newRow("confirm, never played") << int(Music) << true << false;
    QTest::newRow("cancel, never played") << int(Over) << false << false;
}

void TestSoundTab::browseSetsFieldAndSilences()
{
    QFETCH(int, row);
    QFETCH(bool, confirm);
    QFETCH(bool, playing);
    Window w;
    const QString before = m_dir.filePath(QStringLiteral("old.wav"));
    const QString chosen = makeFile(QStringLiteral("chosen.wav"));
    w.tab.edit(row)->setText(before);
    int asked = 0;
    w.tab.chooseFile = [&] {
        ++asked;
        return confirm ? chosen : QString();
    };
    if (playing) {
        w.tab.edit(Work)->setText(makeFile(QStringLiteral("work.wav")));
        w.clickPreview(Work);
        QVERIFY(w.mp1.playing());
    }
    w.journal.clear();

    w.clickBrowse(row);
    QCOMPARE(asked, 1);
    QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('\n')));
    QCOMPARE(w.tab.edit(row)->text(), confirm ? chosen : before);
    QVERIFY(!w.mp1.playing());
    // It only ever stops: no new preview starts, and a silent channel is left alone.
    QCOMPARE(w.journal, playing ? QStringList{QStringLiteral("mp1.stop")} : QStringList{});
    for (int n = 1; n <= SoundTab::kRows; ++n)
        if (n != row && n != Work)
            QVERIFY(w.tab.edit(n)->text().isEmpty());
}

void TestSoundTab::timerTabSilencesPreview()
{
    Window w;
    // Before any preview the channel was never opened; showing the timer tab must not trip on it.
    w.tab.sTabSheet1Show();
    QVERIFY(w.journal.isEmpty());

    w.tab.edit(Over)->setText(makeFile(QStringLiteral("over.wav")));
    w.clickPreview(Over);
    w.mp1.advance(100);
    w.tab.sTabSheet1Show();
    QCOMPARE(w.mp1.mode(), TMPModes::mpStopped);
    QCOMPARE(w.mp1.position(), 100);

    // Already silent: nothing to do.
    w.journal.clear();
    w.tab.sTabSheet1Show();
    QVERIFY(w.journal.isEmpty());
}

// Each of the twelve buttons is handled once, through the runner the window passes; a failing
// preview (nothing was ever previewed) is reported there and the tab goes on answering.
void TestSoundTab::everyButtonRunsThroughTheErrorPath()
{
    Window w;
    int asked = 0;
    w.tab.chooseFile = [&] {
        ++asked;
        return QString();
    };
    for (int row = Over; row <= Music; ++row) {
        w.clickPreview(row);
        w.clickBrowse(row);
    }
    QCOMPARE(w.runs, 2 * SoundTab::kRows);
    QCOMPARE(asked, SoundTab::kRows);
    QCOMPARE(w.errors.size(), SoundTab::kRows);
    QVERIFY(!w.mp1.playing());

    const QString file = makeFile(QStringLiteral("after-errors.wav"));
    w.tab.edit(Work)->setText(file);
    w.clickPreview(Work);
    QVERIFY(w.mp1.playing());
    QCOMPARE(w.errors.size(), SoundTab::kRows);
}

void TestSoundTab::openDialogConfiguration()
{
    QWidget parent;
    const auto dialog = SoundTab::makeOpenDialog(&parent);
    QCOMPARE(dialog->parentWidget(), &parent);
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptOpen);
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
    QCOMPARE(dialog->nameFilters(), (QStringList{QStringLiteral("Wav, MP3 (*.wav *.mp3)"), QStringLiteral("Все (*)")}));
    // The user sees the bare entry names; the first one is chosen when the dialog opens.
    QCOMPARE(dialog->selectedNameFilter().section(QStringLiteral(" ("), 0, 0), QStringLiteral("Wav, MP3"));
    QVERIFY(dialog->testOption(QFileDialog::HideNameFilterDetails));
    QVERIFY(dialog->isSizeGripEnabled());
    QVERIFY(dialog->isModal());
}

void TestSoundTab::defaultChooserUsesRealDialog_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::newRow("confirm") << true;
    QTest::newRow("cancel") << false;
}

void TestSoundTab::defaultChooserUsesRealDialog()
{
    QFETCH(bool, confirm);
    Window w;
    const QString before = QStringLiteral("typed by hand");
    const QString chosen = makeFile(QStringLiteral("Песня.mp3"));
    w.tab.edit(Music)->setText(before);

    // Answer the dialog as a user would, once it is up.
    bool answered = false;
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answer.stop();
        answered = true;
        if (confirm) {
            // Typed into the name field (selectFile() leaves a focused field alone).
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            name->setText(chosen);
            static_cast<QDialog *>(dialog)->accept(); // what its Open button does
        } else {
            dialog->reject();
        }
    });
    answer.start();
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] {
        if (auto *modal = QApplication::activeModalWidget())
            modal->close();
    });
    giveUp.start(10000);

    w.clickBrowse(Music);
    QVERIFY(answered);
    QVERIFY(w.errors.isEmpty());
    QCOMPARE(w.tab.edit(Music)->text(), confirm ? chosen : before);
}

// A triple-click copy from a terminal ends with a newline; other programs copy CR LF or CR.
void TestSoundTab::pasteKeepsTheFirstLine_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("shiftInsert");
    const QString path = QStringLiteral("~/Музыка/new.wav");
    for (const bool shiftInsert : {false, true}) {
        const char *key = shiftInsert ? "Shift+Insert" : "Ctrl+V";
        QTest::addRow("%s, LF at end", key) << path + "\n" << path << shiftInsert;
        QTest::addRow("%s, CR LF at end", key) << path + "\r\n" << path << shiftInsert;
        QTest::addRow("%s, CR at end", key) << path + "\r" << path << shiftInsert;
        QTest::addRow("%s, two lines", key) << path + "\r\nsecond.wav\n" << path << shiftInsert;
        QTest::addRow("%s, break first", key) << QStringLiteral("\nsecond.wav") << QString() << shiftInsert;
        QTest::addRow("%s, one line", key) << path << path << shiftInsert;
    }
}

void TestSoundTab::pasteKeepsTheFirstLine()
{
    QFETCH(QString, clip);
    QFETCH(QString, expected);
    QFETCH(bool, shiftInsert);
    Window w;
    for (int row = Over; row <= Music; ++row) {
        QLineEdit *field = w.tab.edit(row);
        QApplication::clipboard()->setText(clip);
        QCOMPARE(QApplication::clipboard()->text(), clip);
        field->setFocus();
        if (shiftInsert)
            QTest::keyClick(field, Qt::Key_Insert, Qt::ShiftModifier);
        else
            QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field->text(), expected);

        // Into the middle of what the field holds: the text after the cursor stays.
        field->setText(QStringLiteral("/a/b.wav"));
        field->setCursorPosition(3);
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field->text(), QStringLiteral("/a/") + expected + QStringLiteral("b.wav"));
        QCOMPARE(field->cursorPosition(), 3 + expected.size());
        // Over a selection, as a paste replaces it.
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Insert, Qt::ShiftModifier);
        QCOMPARE(field->text(), expected);
        // The field goes on taking typed text.
        QTest::keyClicks(field, QStringLiteral("x"));
        QCOMPARE(field->text(), expected + QStringLiteral("x"));
        field->clear();
    }
}

void TestSoundTab::dropKeepsTheFirstLine()
{
    Window w;
    QLineEdit *field = w.tab.edit(Music);
    field->setText(QStringLiteral("old"));
    QMimeData data;
    data.setText(QStringLiteral("/home/u/Музыка/track.mp3\r\n/home/u/other.mp3\r\n"));
    const QPoint at = field->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(field, &enter);
    QVERIFY(enter.isAccepted());
    QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(field, &move);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(field, &drop);
    QVERIFY(drop.isAccepted());
    QVERIFY2(!field->text().contains('\n') && !field->text().contains('\r'), qPrintable(field->text()));
    QVERIFY(field->text().contains(QStringLiteral("/home/u/Музыка/track.mp3")));
    QVERIFY(!field->text().contains(QStringLiteral("other")));
}

void TestSoundTab::textFromCodeKeepsTheFirstLine()
{
    Window w;
    for (int row = Over; row <= Music; ++row) {
        w.tab.edit(row)->setText(QStringLiteral("a.wav\rb.wav"));
        QCOMPARE(w.tab.edit(row)->text(), QStringLiteral("a.wav"));
        w.tab.edit(row)->setText(QStringLiteral("c.wav\n"));
        QCOMPARE(w.tab.edit(row)->text(), QStringLiteral("c.wav"));
        w.tab.edit(row)->insert(QStringLiteral("\r\nd"));
        QCOMPARE(w.tab.edit(row)->text(), QStringLiteral("c.wav"));
    }
}

QTEST_MAIN(TestSoundTab)
#include "tst_soundtab.moc"
