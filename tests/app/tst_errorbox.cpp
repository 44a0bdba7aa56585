// The error box under a real X server with a window manager, while another program is active:
// it belongs to the main window (transient for it, centred on it), stands above it in the
// window manager's stacking order whether the window is on top or not, waits for a minimised
// window to come back, closes from the keyboard, and the workout goes on beneath it.

#include "app/placement.h"
#include "windowtestutil.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <functional>

namespace {

constexpr int kPreparation = 120; // seconds

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
    }
    return QString::fromUtf8(p.readAllStandardOutput());
}

QList<WId> windowIds(const QString &xpropLine)
{
    QList<WId> ids;
    static const QRegularExpression hex(QStringLiteral("0x[0-9a-fA-F]+"));
    for (const auto &m : hex.globalMatch(xpropLine.section(QLatin1Char('#'), 1)))
        ids << m.captured().toULong(nullptr, 16);
    return ids;
}

// Bottom to top, as the window manager stacks its clients.
QList<WId> stacking()
{
    return windowIds(
        run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST_STACKING")}));
}

WId activeWindow()
{
    const QList<WId> ids =
        windowIds(run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_ACTIVE_WINDOW")}));
    return ids.isEmpty() ? 0 : ids.first();
}

WId transientFor(WId id)
{
    const QList<WId> ids = windowIds(
        run(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(id), QStringLiteral("WM_TRANSIENT_FOR")}));
    return ids.isEmpty() ? 0 : ids.first();
}

bool hidden(WId id)
{
    return run(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(id), QStringLiteral("_NET_WM_STATE")})
        .contains(QLatin1String("_NET_WM_STATE_HIDDEN"));
}

bool stackedAbove(WId upper, WId lower)
{
    const QList<WId> order = stacking();
    return order.contains(upper) && order.contains(lower) && order.indexOf(upper) > order.indexOf(lower);
}

QMessageBox *openBox()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box;
    }
    return nullptr;
}

} // namespace

class TestErrorBox : public QObject {
    Q_OBJECT

    QTemporaryDir config;
    QProcess other; // the program the user switched to
    WId otherId = 0;

    // Starts a small X client of another program over the screen's centre and makes it the
    // active window, so ours is not.
    void activateAnotherProgram()
    {
        if (other.state() == QProcess::NotRunning) {
            other.start(QStringLiteral("xmessage"), {QStringLiteral("-title"), QStringLiteral("vintra-test-other"),
                                                     QStringLiteral("-center"), QStringLiteral("another program")});
            QVERIFY2(other.waitForStarted(5000), "xmessage (x11-utils) could not be started");
            // xdotool prints decimal window ids, one a line.
            QTRY_VERIFY_WITH_TIMEOUT(
                (otherId = run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--name"),
                                                           QStringLiteral("^vintra-test-other$")})
                               .section(QLatin1Char('\n'), 0, 0)
                               .toULong()) != 0,
                10000);
        }
        // The window manager may refuse the first request while the window is being framed.
        QTRY_VERIFY_WITH_TIMEOUT(
            (run(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QString::number(otherId)}),
             activeWindow() == otherId),
            10000);
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeWindow() == nullptr, 10000);
    }

    // Presses START with every cue file missing (the test has no sounds folder) and runs
    // `whileOpen` once the box is on screen. The box is closed whatever happens, so a failed
    // check never leaves a modal box behind.
    // Any other box that opens meanwhile (a cue reporting its own failure) is closed and makes
    // the test fail: left open, it would hold the test in its modal loop until CTest's timeout.
    void startAndCheckBox(TForm1 &window, const std::function<void(QMessageBox *)> &whileOpen)
    {
        bool seen = false;
        QPointer<QMessageBox> first;
        QStringList others;
        QTimer finder;
        finder.setInterval(50);
        connect(&finder, &QTimer::timeout, this, [&] {
            QPointer<QMessageBox> box = openBox();
            if (!box)
                return;
            if (seen) {
                if (box != first && !box->property("closing").toBool()) {
                    box->setProperty("closing", true);
                    others << box->text();
                    QMetaObject::invokeMethod(
                        this,
                        [box] {
                            if (box)
                                box->reject();
                        },
                        Qt::QueuedConnection);
                }
                return;
            }
            seen = true;
            first = box;
            // From a posted event rather than from this timer's own dispatch, so the checks
            // below see every timer tick as the box's own loop delivers them.
            QMetaObject::invokeMethod(
                this,
                [box, whileOpen] {
                    if (box)
                        whileOpen(box);
                    if (box && box->isVisible())
                        box->reject();
                },
                Qt::QueuedConnection);
        });
        finder.start();
        child<QPushButton>(&window, "sBitBtn1")->click();
        QTRY_VERIFY_WITH_TIMEOUT(seen && !openBox(), 60000);
        finder.stop();
        QVERIFY2(others.isEmpty(), qPrintable(QStringLiteral("another box opened meanwhile: ") + others.join(u'|')));
    }

    // What the user sees and does while the box is open: it belongs to the main window and
    // stands above it, the workout ticks on beneath it, and Enter closes it.
    void checkBoxOverWindow(TForm1 &window, QMessageBox *box)
    {
        QVERIFY(box->isModal());
        QCOMPARE(box->text(), QStringLiteral("No MCI device open."));
        QVERIFY(QTest::qWaitForWindowExposed(box, 10000));
        const WId boxId = box->winId();
        const WId mainId = window.winId();
        QCOMPARE(transientFor(boxId), mainId);
        QTRY_VERIFY_WITH_TIMEOUT(stackedAbove(boxId, mainId), 10000);
        // Centred on the window it blocks (the title bars make the margin). The box's client area
        // is compared, not its frame: Qt sometimes reports a box's frame as 1x1 at its corner long
        // after the window manager has framed it (seen with openbox, the X server showing the box
        // at its full size and centred).
        auto rect = [](const QRect &r) {
            return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
        };
        QTRY_VERIFY2_WITH_TIMEOUT(
            (box->geometry().center() - window.frameGeometry().center()).manhattanLength() < 40,
            qPrintable(QStringLiteral("the box (client area %1) is not centred on the window (frame %2)")
                           .arg(rect(box->geometry()), rect(window.frameGeometry()))),
            10000);

        // The workout goes on under the box.
        auto *time = child<QLabel>(&window, "Label1");
        const QString shown = time->text();
        QTRY_VERIFY_WITH_TIMEOUT(time->text() != shown, 5000);

        // OK by the keyboard, as the user would: bring the box to the front and press Enter.
        QTRY_VERIFY_WITH_TIMEOUT(
            (run(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QString::number(boxId)}),
             activeWindow() == boxId),
            10000);
        run(QStringLiteral("xdotool"),
            {QStringLiteral("key"), QStringLiteral("--window"), QString::number(boxId), QStringLiteral("Return")});
        QTRY_VERIFY_WITH_TIMEOUT(!box->isVisible(), 10000);
    }

    // After the box: the workout still runs and the window answers STOP.
    void checkWorkoutWentOn(TForm1 &window)
    {
        auto *start = child<QPushButton>(&window, "sBitBtn1");
        QCOMPARE(start->text(), workout::texts::stop);
        QVERIFY(window.sequencer().Timer1.isEnabled());
        QVERIFY(window.sequencer().phase_left < kPreparation);
        QStringList closed;
        QTimer closer; // STOP touches every other cue, all missing: each reports once
        connect(&closer, &QTimer::timeout, this, [&] {
            QPointer<QMessageBox> box = openBox();
            if (box && !box->property("closing").toBool()) {
                box->setProperty("closing", true);
                closed << box->text();
                QMetaObject::invokeMethod(
                    this,
                    [box] {
                        if (box)
                            box->reject();
                    },
                    Qt::QueuedConnection);
            }
        });
        closer.start(50);
        start->click();
        QCOMPARE(start->text(), workout::texts::start);
        QVERIFY(!window.sequencer().Timer1.isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(closed.size() == 5 && !openBox(), 20000);
        QCOMPARE(closed, QStringList(5, QStringLiteral("No MCI device open.")));
    }

    // A window with the music off (one box at START) and a preparation long enough that no
    // tick cue reports a second failure while the box is checked, however slowly the machine
    // answers: two minutes.
    void prepare(TForm1 &window)
    {
        child<QCheckBox>(&window, "sCheckBox2")->setChecked(false);
        child<QComboBox>(&window, "podg_m")->setEditText(QString::number(kPreparation / 60));
        child<QComboBox>(&window, "podg_s")->setEditText(QStringLiteral("0"));
        window.showFirstTime();
        QVERIFY(QTest::qWaitForWindowExposed(&window, 10000));
        // Framed by the window manager and centred with the frame: the box's place is judged
        // against the window's final one.
        QRect desktop;
        for (const QScreen *screen : QGuiApplication::screens())
            desktop |= screen->geometry();
        QTRY_VERIFY2_WITH_TIMEOUT(window.frameGeometry().size() != window.size() &&
                                      window.frameGeometry().topLeft() ==
                                          app::firstPlacement(desktop, window.frameGeometry().size()),
                                  "the window manager did not frame the window, or it was not centred", 10000);
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server with a window manager");
        QVERIFY2(run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
                     .contains(QLatin1String("window id")),
                 "no window manager runs (scripts/test-env.sh starts openbox)");
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        app::applyAppearance(*qApp);
    }

    void cleanupTestCase()
    {
        if (other.state() != QProcess::NotRunning) {
            other.terminate();
            if (!other.waitForFinished(5000)) {
                other.kill();
                other.waitForFinished();
            }
        }
    }

    void aboveAnOnTopWindowWhileAnotherProgramIsActive()
    {
        TForm1 window(fakeChannels());
        prepare(window);
        QCOMPARE(window.stacking(), TForm1::Stacking::StayOnTop);
        activateAnotherProgram();
        startAndCheckBox(window, [&](QMessageBox *box) { checkBoxOverWindow(window, box); });
        checkWorkoutWentOn(window);
    }

    void aboveANormalWindowWhileAnotherProgramIsActive()
    {
        TForm1 window(fakeChannels());
        child<QCheckBox>(&window, "sCheckBox1")->setChecked(false);
        prepare(window);
        activateAnotherProgram();
        startAndCheckBox(window, [&](QMessageBox *box) { checkBoxOverWindow(window, box); });
        checkWorkoutWentOn(window);
    }

    // A failure while the window is being created (a bad stored plan line): the window has no
    // place yet, so the box stands where the window will, mid-desktop, not at its corner.
    void aBoxDuringCreationStandsMidDesktop()
    {
        const QString folder = config.path() + QStringLiteral("/zelk-soft/vintra");
        QVERIFY(QDir().mkpath(folder));
        QFile file(folder + QStringLiteral("/timer.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("0\r\nabc\r\n0\r\n20\r\n0\r\n10\r\n8\r\n1\r\n");
        file.close();
        auto removeFile = qScopeGuard([&] { QFile::remove(file.fileName()); });
        QRect desktop;
        for (const QScreen *screen : QGuiApplication::screens())
            desktop |= screen->geometry();
        QPoint offCentre(9999, 9999);
        QString text;
        QTimer finder;
        connect(&finder, &QTimer::timeout, this, [&] {
            QPointer<QMessageBox> box = openBox();
            if (!box || box->property("checked").toBool())
                return;
            box->setProperty("checked", true);
            QMetaObject::invokeMethod(
                this,
                [&, box] {
                    if (box && QTest::qWaitForWindowExposed(box, 10000)) {
                        text = box->text();
                        offCentre = box->geometry().center() - desktop.center();
                    }
                    if (box)
                        box->reject();
                },
                Qt::QueuedConnection);
        });
        finder.start(50);
        TForm1 window(fakeChannels());
        finder.stop();
        QCOMPARE(text, QStringLiteral("'abc' is not a valid integer value."));
        QVERIFY2(offCentre.manhattanLength() < 40,
                 qPrintable(QStringLiteral("%1,%2").arg(offCentre.x()).arg(offCentre.y())));
    }

    // Minimised: the box does not stand alone on the desktop; it shows, above the window, once
    // the window is restored, and the workout has gone on all the while.
    void waitsForAMinimisedWindow()
    {
        TForm1 window(fakeChannels());
        prepare(window);
        activateAnotherProgram();
        window.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(hidden(window.winId()), 10000);

        bool restored = false;
        auto *time = child<QLabel>(&window, "Label1");
        QString atStart;
        // Runs inside the wait for the window: no box yet, the timer ticks; then the user
        // brings the window back, as a click on its taskbar entry does.
        QTimer::singleShot(200, this, [&] {
            QMetaObject::invokeMethod(
                this,
                [&] {
                    QVERIFY(!openBox());
                    atStart = time->text();
                    QTRY_VERIFY_WITH_TIMEOUT(time->text() != atStart, 5000);
                    QVERIFY(!openBox());
                    QVERIFY(window.isMinimized());
                    restored = true;
                    window.showNormal();
                    QTRY_VERIFY_WITH_TIMEOUT((run(QStringLiteral("xdotool"),
                                                  {QStringLiteral("windowactivate"), QString::number(window.winId())}),
                                              !window.isMinimized()),
                                             20000);
                },
                Qt::QueuedConnection);
        });
        // Should the window manager never give the window back, hiding it ends the wait, so
        // the test fails instead of hanging.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, this, [&] {
            if (window.isMinimized()) {
                restored = false;
                window.hide();
            }
        });
        watchdog.start(40000);
        startAndCheckBox(window, [&](QMessageBox *box) {
            QVERIFY(restored);
            QTRY_VERIFY_WITH_TIMEOUT(!hidden(window.winId()), 10000);
            checkBoxOverWindow(window, box);
        });
        QVERIFY(restored);
        checkWorkoutWentOn(window);
    }
};

QTEST_MAIN(TestErrorBox)
#include "tst_errorbox.moc"
