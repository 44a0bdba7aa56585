// The main window as the user meets it: layout, plan fields, key filter, error box, stacking.

#include "app/mainwindow.h"
#include "app/formfonts.h"
#include "app/placement.h"
#include "windowtestutil.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QHelpEvent>
#include <QMessageBox>
#include <QStyle>
#include <QToolTip>
#include <QAbstractButton>
#include <QTimer>
#include <QWindow>

class TestMainWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<TForm1> window;
    QComboBox *field(const char *name) { return child<QComboBox>(window.get(), name); }
    QString text(const char *name) { return child<QLabel>(window.get(), name)->text(); }

private slots:
    void initTestCase() { app::applyAppearance(*qApp); }

    void init()
    {
        window = std::make_unique<TForm1>(fakeChannels());
        window->showFirstTime();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup() { window.reset(); }

    void windowFrame()
    {
        QCOMPARE(Form1, window.get());
        QCOMPARE(window->windowTitle(), "Интервальный таймер Винтра Зелк - 1.51");
        QCOMPARE(window->size(), QSize(736, 568));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        const Qt::WindowFlags flags = window->windowFlags();
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(flags & Qt::WindowContextHelpButtonHint));
        QVERIFY(flags & Qt::WindowStaysOnTopHint);

        auto *pages = child<QTabWidget>(window.get(), "sPageControl1");
        QCOMPARE(pages->geometry(), QRect(8, 8, 715, 465));
        QCOMPARE(pages->count(), 3);
        QCOMPARE(pages->tabText(0), "Таймер");
        QCOMPARE(pages->tabText(1), "Описание");
        QCOMPARE(pages->tabText(2), "Настройки");
        QCOMPARE(pages->currentIndex(), 0);
        QVERIFY(pages->widget(0)->width() >= 704 && pages->widget(0)->height() >= 431);
        QCOMPARE(child(window.get(), "sPanel11")->geometry(), QRect(8, 479, 715, 77));
    }

    void timerTabLayout()
    {
        struct Expect {
            const char *name;
            QRect geometry;
        };
        const Expect expected[] = {
            {"sPanel1", {13, 12, 433, 413}},    {"sPanel3", {16, 16, 401, 193}},  {"green", {0, 0, 401, 193}},
            {"red", {0, 0, 401, 193}},          {"yellow", {0, 0, 401, 193}},     {"sLabel1", {0, 10, 401, 41}},
            {"Label1", {0, 47, 401, 116}},      {"sPanel4", {16, 224, 193, 177}}, {"sLabel2", {9, 144, 193, 25}},
            {"sPanel5", {224, 224, 193, 177}},  {"sLabel3", {0, 144, 193, 25}},   {"Memo1", {24, 30, 89, 27}},
            {"sPanel2", {452, 12, 252, 413}},   {"sound", {9, 10, 62, 18}},       {"sCheckBox2", {69, 10, 73, 18}},
            {"sCheckBox1", {141, 10, 102, 18}}, {"sPanel6", {16, 34, 222, 58}},   {"sLabel9", {132, 6, 26, 16}},
            {"sLabel10", {176, 6, 23, 16}},     {"sLabel4", {9, 28, 86, 19}},     {"podg_m", {126, 26, 39, 24}},
            {"podg_s", {171, 26, 39, 24}},      {"sPanel7", {16, 98, 222, 41}},   {"sLabel5", {9, 10, 51, 19}},
            {"rabota_m", {126, 8, 39, 24}},     {"rabota_s", {171, 8, 39, 24}},   {"sPanel8", {16, 145, 222, 41}},
            {"sLabel6", {9, 10, 48, 19}},       {"otdih_m", {126, 8, 39, 24}},    {"otdih_s", {171, 8, 39, 24}},
            {"sPanel9", {16, 198, 222, 41}},    {"sLabel7", {9, 10, 54, 19}},     {"round", {171, 8, 39, 24}},
            {"sPanel10", {16, 244, 222, 41}},   {"sLabel8", {9, 10, 48, 19}},     {"cycle", {171, 8, 39, 24}},
            {"sBitBtn2", {16, 296, 222, 50}},   {"sBitBtn1", {16, 352, 222, 50}}, {"sBitBtn3", {207, 352, 31, 49}},
        };
        for (const Expect &e : expected)
            QVERIFY2(child(window.get(), e.name)->geometry() == e.geometry, e.name);

        QCOMPARE(text("sLabel1"), "Тренировка");
        QCOMPARE(text("sLabel2"), "Раунды");
        QCOMPARE(text("sLabel3"), "Vintras");
        QCOMPARE(text("sLabel9"), "мин.");
        QCOMPARE(text("sLabel10"), "сек.");
        QCOMPARE(child<QPushButton>(window.get(), "sBitBtn1")->text(), "С Т А Р Т !");
        QCOMPARE(child<QPushButton>(window.get(), "sBitBtn2")->text(), "Пауза");
        QCOMPARE(child<QPushButton>(window.get(), "sBitBtn3")->text(), ">");
        for (const char *box : {"sound", "sCheckBox2", "sCheckBox1"})
            QVERIFY(child<QCheckBox>(window.get(), box)->isChecked());
        QCOMPARE(child<QCheckBox>(window.get(), "sCheckBox2")->toolTip(),
                 "По умолчанию музыка \"Песнь винтры\", если изменить временные интервалы слова из песни не совпадут с "
                 "таймером");

        // Hidden at start: the lights, the pause button, the line buffer and the music toggle.
        for (const char *hidden : {"green", "red", "yellow", "sBitBtn2", "Memo1", "sBitBtn3"})
            QVERIFY2(!child(window.get(), hidden)->isVisible(), hidden);
        QVERIFY(!child<QPlainTextEdit>(window.get(), "Memo1")->toPlainText().isEmpty());

        // Lights stack green, red, yellow from the bottom, all beneath the two labels.
        const QObjectList order = child(window.get(), "sPanel3")->children();
        auto at = [&](const char *n) { return order.indexOf(child(window.get(), n)); };
        QVERIFY(at("green") < at("red") && at("red") < at("yellow") && at("yellow") < at("sLabel1"));
        QVERIFY(at("yellow") < at("Label1"));
    }

    void fontsAndColours()
    {
        struct Expect {
            const char *name;
            int pixels;
            bool bold;
        };
        const Expect expected[] = {{"sPanel3", 96, true},
                                   {"Label1", 96, true},
                                   {"sPanel4", 96, true},
                                   {"sPanel5", 96, true},
                                   {"sLabel1", 27, false},
                                   {"sLabel2", 21, false},
                                   {"sLabel3", 21, false},
                                   {"sLabel4", 16, false},
                                   {"sLabel8", 16, false},
                                   {"sBitBtn1", 21, true},
                                   {"sBitBtn2", 21, true},
                                   {"podg_m", 13, false},
                                   {"sound", 13, false},
                                   // the settings tab's two section headings, inside the window
                                   {"sLabel13", 13, true},
                                   {"sLabel14", 13, true}};
        for (const Expect &e : expected) {
            QWidget *w = child(window.get(), e.name);
            w->ensurePolished();
            QVERIFY2(w->font().pixelSize() == e.pixels, e.name);
            QVERIFY2(w->font().bold() == e.bold, e.name);
            // Regular texts are Tahoma; bold ones take the real bold face.
            QCOMPARE(w->font().family(), e.bold ? app::kBoldFamily : "Tahoma");
        }
        // The lights' exact colours, read back from what is painted.
        const struct {
            const char *name;
            QColor colour;
        } lights[] = {{"green", QColor(128, 255, 0)}, {"red", QColor(255, 0, 0)}, {"yellow", QColor(255, 255, 0)}};
        for (const auto &light : lights) {
            QWidget *w = child(window.get(), light.name);
            w->show();
            const QImage image = w->grab().toImage();
            QCOMPARE(QColor(image.pixel(200, 100)), light.colour);
            QCOMPARE(QColor(image.pixel(0, 0)), QColor(Qt::black));
            w->hide();
        }
    }

    void initialDisplaysAndFields()
    {
        QCOMPARE(text("Label1"), "04:10");
        QCOMPARE(text("sPanel4"), "08");
        QCOMPARE(text("sPanel5"), "01");
        const struct {
            const char *name, *text, *first, *last, *hint;
        } fields[] = {{"podg_m", "0", "0", "9", "Минут"},   {"podg_s", "10", "0", "60", "Секунд"},
                      {"rabota_m", "0", "0", "9", "Минут"}, {"rabota_s", "20", "0", "60", "Секунд"},
                      {"otdih_m", "0", "0", "9", "Минут"},  {"otdih_s", "10", "0", "60", "Секунд"},
                      {"round", "8", "1", "60", ""},        {"cycle", "1", "1", "60", ""}};
        for (const auto &f : fields) {
            QComboBox *combo = field(f.name);
            QCOMPARE(combo->currentText(), f.text);
            QCOMPARE(combo->currentIndex(), -1);
            QVERIFY(combo->isEditable());
            QCOMPARE(combo->completer(), nullptr);
            QCOMPARE(combo->maxVisibleItems(), 16);
            QCOMPARE(combo->itemText(0), f.first);
            QCOMPARE(combo->itemText(combo->count() - 1), f.last);
            QCOMPARE(combo->count(), QString(f.last).toInt() - QString(f.first).toInt() + 1);
            QCOMPARE(combo->toolTip(), f.hint);
        }
        QCOMPARE(window->plan().total_sec, 250);
    }

    void keyFilterOnRealKeys()
    {
        QComboBox *podg = field("podg_s");
        podg->setFocus();
        podg->lineEdit()->end(false);
        QTest::keyClicks(podg, ".,- a+");
        QTest::sendKeyEvent(QTest::Click, podg, Qt::Key_unknown, QStringLiteral("Я"), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Click, podg, Qt::Key_unknown, QStringLiteral("٣"), Qt::NoModifier);
        QCOMPARE(podg->currentText(), "10");
        QTest::keyClicks(podg, "5");
        QCOMPARE(podg->currentText(), "105");
        QCOMPARE(text("Label1"), "05:45"); // 105 + 8 * 30
        QTest::keyClick(podg, Qt::Key_Backspace);
        QCOMPARE(podg->currentText(), "10");
        QCOMPARE(text("Label1"), "04:10");
        // Keys that type no character keep their editing effect.
        QTest::keyClick(podg, Qt::Key_Home);
        QTest::keyClick(podg, Qt::Key_Delete);
        QCOMPARE(podg->currentText(), "0");
        QTest::keyClick(podg, Qt::Key_Right);
        QTest::keyClicks(podg, "7");
        QCOMPARE(podg->currentText(), "07");
        QCOMPARE(text("Label1"), "04:07");
        // Paste by Ctrl+V types a control character and is swallowed like any other.
        QTest::keyClick(podg, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(podg->currentText(), "07");
    }

    void emptyFieldKeepsTheLastPlan()
    {
        QComboBox *rounds = field("round");
        rounds->setFocus();
        rounds->lineEdit()->end(false);
        QTest::keyClick(rounds, Qt::Key_Backspace);
        QCOMPARE(rounds->currentText(), "");
        QCOMPARE(text("Label1"), "04:10");
        QCOMPARE(text("sPanel4"), "08");
        QTest::keyClicks(rounds, "3");
        QCOMPARE(text("Label1"), "01:40");
        QCOMPARE(text("sPanel4"), "03");
        QTest::keyClicks(rounds, "00");
        QCOMPARE(text("sPanel4"), "300");
    }

    void choosingFromTheListRecomputes()
    {
        QComboBox *rounds = field("round");
        rounds->showPopup();
        QAbstractItemView *list = rounds->view();
        list->setCurrentIndex(rounds->model()->index(14, 0));
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(rounds->currentText(), "15");
        QCOMPARE(text("sPanel4"), "15");
        QCOMPARE(text("Label1"), "07:40");
    }

    void textSetByCodeDoesNotRecompute()
    {
        window->setPlanText(workout::PlanField::round, "2");
        QCOMPARE(text("Label1"), "04:10");
        window->cycleChange();
        QCOMPARE(text("Label1"), "01:10");
    }

    void tenNinesShowTheConversionError()
    {
        ErrorBoxRecorder errors;
        QComboBox *rabota = field("rabota_s");
        rabota->setFocus();
        rabota->lineEdit()->selectAll();
        QTest::keyClicks(rabota, "999999999");
        QVERIFY(errors.shown.isEmpty());
        const QString afterNine = text("Label1");
        QTest::keyClicks(rabota, "9");
        QCOMPARE(errors.shown, QStringList{"'9999999999' is not a valid integer value."});
        QCOMPARE(text("Label1"), afterNine);
        QTest::keyClicks(rabota, "9");
        QCOMPARE(errors.shown.size(), 2);
        // Still ten digits after the first Backspace: shown again; nine digits recompute.
        QTest::keyClick(rabota, Qt::Key_Backspace);
        QCOMPARE(errors.shown.size(), 3);
        QTest::keyClick(rabota, Qt::Key_Backspace);
        QCOMPARE(errors.shown.size(), 3);
        QCOMPARE(window->plan().rabota_sec, 999999999);
    }

    void keyboardOrder()
    {
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QWidget *start = child(window.get(), "sBitBtn1");
        start->setFocus(Qt::TabFocusReason);
        QStringList visited{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 11; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget *focus = QApplication::focusWidget();
            // The plan fields' editors stand in for their combo boxes.
            while (focus && focus->objectName().isEmpty())
                focus = focus->parentWidget();
            visited << (focus ? focus->objectName() : QString());
        }
        QCOMPARE(visited.mid(0, 12), QStringList({"sBitBtn1", "podg_m", "podg_s", "rabota_m", "rabota_s", "otdih_m",
                                                  "otdih_s", "round", "cycle", "sCheckBox1", "sound", "sCheckBox2"}));
    }

    void errorBoxRules()
    {
        // The first character keeps its case.
        QCOMPARE(app::applicationTitle("/usr/lib/vintra/vintra"), "vintra");
        QCOMPARE(app::applicationTitle("C:/Programs/VINTRA.EXE"), "Vintra");
        QCOMPARE(app::applicationTitle("/opt/My.Timer.bin"), "My");
        QCOMPARE(app::applicationTitle("x"), "x");
        QCOMPARE(app::errorBoxText("No MCI device open"), "No MCI device open.");
        QCOMPARE(app::errorBoxText("ends with a dot."), "ends with a dot.");
        QCOMPARE(app::errorBoxText("bang!"), "bang!");
        QCOMPARE(app::errorBoxText("path/"), "path/.");
        QCOMPARE(app::errorBoxText("quote)"), "quote)");
        QCOMPARE(app::errorBoxText(""), "");

        ErrorBoxRecorder errors;
        QVERIFY(!app::runHandler([] { throw std::runtime_error("boom"); }));
        QVERIFY(app::runHandler([] {}));
        QCOMPARE(errors.shown, QStringList{"boom."});
    }

    // The real modal box: its title, icon and button, and timers keep running under it.
    void errorBoxIsModalAndTimersRun()
    {
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(20);
        // The box is read while it is open and checked after it has closed: a failed check inside
        // the modal loop would leave it waiting for a click for ever.
        struct Seen {
            bool box = false;
            QString title, text;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            qsizetype buttons = -1;
            int ticksAtOpen = -1, ticksUnderBox = 0;
            bool okClicked = false;
        } seen;
        QTimer answer;
        answer.setInterval(20);
        connect(&answer, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            if (!seen.box) {
                seen.box = true;
                seen.title = box->windowTitle();
                seen.text = box->text();
                seen.icon = box->icon();
                seen.buttons = box->buttons().size();
                seen.ticksAtOpen = ticks;
            }
            // Answered once the ticker has visibly gone on under the box.
            seen.ticksUnderBox = ticks - seen.ticksAtOpen;
            if (seen.ticksUnderBox < 5)
                return;
            answer.stop();
            if (QAbstractButton *ok = box->button(QMessageBox::Ok)) {
                seen.okClicked = true;
                ok->click();
            } else {
                box->close();
            }
        });
        answer.start();
        // Whatever happens, no modal widget outlives ten seconds.
        QTimer giveUp;
        giveUp.setSingleShot(true);
        connect(&giveUp, &QTimer::timeout, this, [] {
            if (QWidget *modal = QApplication::activeModalWidget())
                modal->close();
        });
        giveUp.start(10000);

        QVERIFY(!app::runHandler([] { throw std::runtime_error("Stream write error"); }));
        QVERIFY2(seen.box, "no modal message box was shown");
        QCOMPARE(seen.title, app::applicationTitle(QCoreApplication::applicationFilePath()));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.text, "Stream write error.");
        QCOMPARE(seen.buttons, 1);
        QVERIFY(seen.okClicked);
        QVERIFY2(seen.ticksUnderBox >= 5, QByteArray::number(seen.ticksUnderBox));
    }

    void stackingSwitchKeepsTheWindow()
    {
        const WId id = window->winId();
        const QRect geometry = window->geometry();
        auto *onTop = child<QCheckBox>(window.get(), "sCheckBox1");
        QTest::mouseClick(onTop, Qt::LeftButton, {}, QPoint(5, onTop->height() / 2));
        QVERIFY(!onTop->isChecked());
        QCOMPARE(window->stacking(), TForm1::Stacking::Normal);
        QVERIFY(!(window->windowHandle()->flags() & Qt::WindowStaysOnTopHint));
        QCOMPARE(window->winId(), id);
        QCOMPARE(window->geometry(), geometry);
        QVERIFY(window->isVisible());
        onTop->setChecked(true);
        QCOMPARE(window->stacking(), TForm1::Stacking::StayOnTop);
        QVERIFY(window->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(window->winId(), id);
    }

    void toolTipTiming()
    {
        QCOMPARE(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 500);
        QComboBox *minutes = field("podg_m");
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), minutes->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(minutes, &help);
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), "Минут");
        QTest::qWait(2000);
        QVERIFY(QToolTip::isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!QToolTip::isVisible(), 2000);
    }

    void placementArithmetic()
    {
        QCOMPARE(app::firstPlacement({0, 0, 1280, 1024}, {746, 592}), QPoint(267, 216));
        // Two screens side by side: centred on the pair, straddling the seam.
        QCOMPARE(app::firstPlacement({0, 0, 3840, 1080}, {746, 592}), QPoint(1547, 244));
        // A desktop that starts at negative coordinates.
        QCOMPARE(app::firstPlacement({-1920, 0, 3840, 1080}, {746, 592}), QPoint(-373, 244));
        QCOMPARE(app::firstPlacement({-1921, -1, 3841, 1081}, {747, 593}), QPoint(-374, 243));
        // A window larger than the desktop sticks to its left and top edges.
        QCOMPARE(app::firstPlacement({0, 0, 640, 480}, {746, 592}), QPoint(0, 0));
        QCOMPARE(app::firstPlacement({-100, -50, 640, 480}, {746, 592}), QPoint(-100, -50));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
