// The screen stays on during a workout: the real window and its inhibitor talk to a real session
// bus (the dbus-daemon of the test command), on which a stand-in of the test's own plays the
// desktop's services and writes down every call. Registered twice: with the bus, and with no
// bus at all, where the workout must run exactly as before.

#include "app/inhibitor.h"
#include "sound/soundtab.h"
#include "windowtestutil.h"

#include <QDBusConnection>
#include <QCheckBox>
#include <QElapsedTimer>
#include <chrono>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using workout::PlanField;

namespace {

const QString kReason = QStringLiteral("Идёт тренировка");

// The stand-in service, stopped by its PID when the case ends, also when it fails. It writes
// down only this test's calls: other tests' windows on the same bus may ask it too.
class StandIn {
public:
    explicit StandIn(const QString &dir) : m_log(dir + QStringLiteral("/calls.txt")) {}
    ~StandIn() { stop(); }

    // delay: seconds every Inhibit answer waits, or per service ("portal=11"); releaseDelay: the
    // same for the answers to releases.
    bool start(const QStringList &services, const QString &delay = QStringLiteral("0"), double releaseDelay = 0)
    {
        QFile::remove(m_log);
        if (!QFile(m_log).open(QIODevice::WriteOnly))
            return false;
        const QString script =
            qEnvironmentVariable("VINTRA_TEST_SOURCE_DIR") + QStringLiteral("/tests/app/inhibit_standin.py");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Debian's own interpreter, which has python3-dbus and python3-gi.
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        {script, QStringLiteral("--own"), services.join(QLatin1Char(',')), QStringLiteral("--log"),
                         m_log, QStringLiteral("--delay"), delay, QStringLiteral("--release-delay"),
                         QString::number(releaseDelay), QStringLiteral("--client"),
                         QDBusConnection::sessionBus().baseService()});
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (!m_process.readAllStandardOutput().contains("ready")) {
            if (m_process.state() != QProcess::Running || waited.elapsed() > 20000)
                return false;
            m_process.waitForReadyRead(200);
        }
        return true;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QStringList calls() const
    {
        QFile f(m_log);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    QString m_log;
    QProcess m_process;
};

// "portal Inhibit 12 Идёт тренировка -> /path" gives "/path".
QString answerOf(const QString &line) { return line.section(QStringLiteral(" -> "), 1); }

bool busPresent() { return QDBusConnection::sessionBus().isConnected(); }

} // namespace

class TestInhibitor : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    // A plan that ends by itself about three seconds after START.
    static void shortPlan(TForm1 &window)
    {
        const char *plan[] = {"0", "1", "0", "1", "0", "1", "1", "1"};
        for (int f = 0; f < workout::kPlanFieldCount; ++f)
            window.setPlanText(PlanField(f), QString::fromLatin1(plan[f]));
        window.cycleChange();
    }
    // Silent channels with files to open: these cases listen to the bus, not to the cues.
    std::unique_ptr<TForm1> makeWindow(QStringList *journal = nullptr)
    {
        auto window = std::make_unique<TForm1>(fakeChannels(journal));
        for (int i = 1; i <= 6; ++i) {
            const QString path = dir->filePath(QStringLiteral("cue%1.wav").arg(i));
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write("cue") != 3)
                qFatal("cannot write %s", qPrintable(path));
            window->soundTab().edit(i)->setText(path);
        }
        child<QCheckBox>(window.get(), "sound")->setChecked(false);
        child<QCheckBox>(window.get(), "sCheckBox2")->setChecked(false);
        return window;
    }
    static QPushButton *startButton(TForm1 &window) { return child<QPushButton>(&window, "sBitBtn1"); }
    static bool running(TForm1 &window) { return startButton(window)->text() == workout::texts::stop; }

private slots:
    void initTestCase() { app::applyAppearance(*qApp); }
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", dir->path().toLocal8Bit());
    }

    // The first service present holds it, and only that one is asked to release it.
    void preferenceOrder_data()
    {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("used");
        QTest::newRow("all three") << QStringList{"portal", "screensaver", "gnome"} << "portal";
        QTest::newRow("screen saver and GNOME") << QStringList{"screensaver", "gnome"} << "screensaver";
        QTest::newRow("GNOME only") << QStringList{"gnome"} << "gnome";
        QTest::newRow("none") << QStringList{} << "";
    }
    void preferenceOrder()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        QFETCH(QStringList, present);
        QFETCH(QString, used);
        StandIn standIn(dir->path());
        QVERIFY(standIn.start(present));

        app::Inhibitor inhibitor;
        inhibitor.setHeld(true);
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.callsInFlight(), 0, 15000);
        QStringList calls = standIn.calls();
        if (used.isEmpty()) {
            QVERIFY2(calls.isEmpty(), qPrintable(calls.join('|')));
            QCOMPARE(inhibitor.service(), app::Inhibitor::Service::None);
            inhibitor.setHeld(false);
            QCOMPARE(inhibitor.callsInFlight(), 0);
            return;
        }
        QCOMPARE(calls.size(), 1);
        const QString request = calls[0];
        QVERIFY2(request.startsWith(used + " Inhibit "), qPrintable(request));
        QVERIFY2(request.contains(kReason), qPrintable(request));
        // Idle and suspend, where the call takes flags.
        if (used == "portal")
            QVERIFY2(request.startsWith("portal Inhibit 12 "), qPrintable(request));
        if (used == "gnome")
            QVERIFY2(request.contains(" 0 " + kReason + " 12 -> "), qPrintable(request));

        inhibitor.setHeld(false);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 2, 15000);
        const QString release = standIn.calls()[1];
        const QString expected = used == "portal"        ? "portal Close "
                                 : used == "screensaver" ? "screensaver UnInhibit "
                                                         : "gnome Uninhibit ";
        QCOMPARE(release, expected + answerOf(request));
        QCOMPARE(inhibitor.service(), app::Inhibitor::Service::None);
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.callsInFlight(), 0, 15000);
        QCOMPARE(standIn.calls().size(), 2);
    }

    // A stop before the answer came releases what the answer brings; a quick restart keeps it,
    // with one request only. The click itself never waits for the answer.
    void answersThatComeLate()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        StandIn standIn(dir->path());
        QVERIFY(standIn.start({"portal"}, "3"));
        app::Inhibitor inhibitor;

        QElapsedTimer clock;
        clock.start();
        inhibitor.setHeld(true);
        inhibitor.setHeld(false);
        QVERIFY2(clock.elapsed() < 1500, "holding waited for the service's answer");
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 2, 15000);
        QVERIFY(standIn.calls()[0].startsWith("portal Inhibit "));
        QCOMPARE(standIn.calls()[1], "portal Close " + answerOf(standIn.calls()[0]));
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.callsInFlight(), 0, 15000);
        QCOMPARE(inhibitor.service(), app::Inhibitor::Service::None);

        // Stop and start again while the answer is on its way.
        inhibitor.setHeld(true);
        inhibitor.setHeld(false);
        inhibitor.setHeld(true);
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.service(), app::Inhibitor::Service::Portal, 15000);
        QCOMPARE(standIn.calls().size(), 3);
        inhibitor.setHeld(false);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 4, 15000);
        QCOMPARE(standIn.calls()[3], "portal Close " + answerOf(standIn.calls()[2]));
    }

    // A service that answers after the limit: the next one has been asked meanwhile and holds
    // it, and what the late one grants is released at once; nothing is left that nobody
    // releases. At the real limit of 10 s.
    void grantAfterTheLimitIsReleased()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        StandIn standIn(dir->path());
        QVERIFY(standIn.start({"portal", "screensaver"}, "portal=11"));
        app::Inhibitor inhibitor;
        inhibitor.setHeld(true);
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.service(), app::Inhibitor::Service::ScreenSaver, 15000);
        QTRY_VERIFY2_WITH_TIMEOUT(standIn.calls().size() >= 3, "the portal's late grant was never released", 5000);
        QStringList calls = standIn.calls();
        QCOMPARE(calls.size(), 3);
        QVERIFY2(calls[0].startsWith("portal Inhibit ") && calls[1].startsWith("screensaver Inhibit "),
                 qPrintable(calls.join('|')));
        QCOMPARE(calls[2], "portal Close " + answerOf(calls[0]));
        QCOMPARE(inhibitor.service(), app::Inhibitor::Service::ScreenSaver);
        inhibitor.setHeld(false);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 4, 15000);
        QCOMPARE(standIn.calls()[3], "screensaver UnInhibit " + answerOf(calls[1]));
    }

    // The same for every service, with a limit of 1 s so that all three are asked in turn: the
    // first grant to come holds it and the others are released; a stop before any answer
    // releases all three when they come.
    void lateGrantsOfEveryServiceAreReleased()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        StandIn standIn(dir->path());
        QVERIFY(standIn.start({"portal", "screensaver", "gnome"}, "3.5"));
        app::Inhibitor inhibitor(nullptr, std::chrono::milliseconds(1000));
        const auto releaseOf = [](const QString &request) {
            const QString answer = answerOf(request);
            return request.startsWith("portal")        ? "portal Close " + answer
                   : request.startsWith("screensaver") ? "screensaver UnInhibit " + answer
                                                       : "gnome Uninhibit " + answer;
        };

        // Asked at 0, 1 and 2 s; granted at 3.5, 4.5 and 5.5 s.
        inhibitor.setHeld(true);
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.callsInFlight(), 0, 15000);
        QStringList calls = standIn.calls();
        QCOMPARE(calls.size(), 5);
        QVERIFY2(calls[0].startsWith("portal Inhibit ") && calls[1].startsWith("screensaver Inhibit ") &&
                     calls[2].startsWith("gnome Inhibit "),
                 qPrintable(calls.join('|')));
        QCOMPARE(calls.mid(3), QStringList({releaseOf(calls[1]), releaseOf(calls[2])}));
        QCOMPARE(inhibitor.service(), app::Inhibitor::Service::Portal);
        inhibitor.setHeld(false);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 6, 15000);
        QCOMPARE(standIn.calls()[5], releaseOf(calls[0]));

        // Let go once all three have been asked, before any has answered.
        inhibitor.setHeld(true);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 9, 15000);
        inhibitor.setHeld(false);
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.callsInFlight(), 0, 15000);
        calls = standIn.calls().mid(6);
        QCOMPARE(calls.size(), 6);
        QCOMPARE(calls.mid(3), QStringList({releaseOf(calls[0]), releaseOf(calls[1]), releaseOf(calls[2])}));
        QCOMPARE(inhibitor.service(), app::Inhibitor::Service::None);
    }

    // Services that take the call and never answer: every workout asks all three in turn, and
    // each call is given up at its lifetime instead of staying pending for good (three more at
    // every workout); the program's end does not wait for them.
    void servicesThatNeverAnswer()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        StandIn standIn(dir->path());
        QVERIFY(standIn.start({"portal", "screensaver", "gnome"}, "3600"));
        const std::chrono::milliseconds limit(300);
        app::Inhibitor inhibitor(nullptr, limit);
        for (int workout = 1; workout <= 2; ++workout) {
            inhibitor.setHeld(true);
            QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 3 * workout, 10000);
            inhibitor.setHeld(false);
            QElapsedTimer settling;
            settling.start();
            inhibitor.settle(5000);
            QVERIFY2(settling.elapsed() < 500, "the end waited for requests that are never answered");
            // The last was asked a moment ago.
            QTRY_COMPARE_WITH_TIMEOUT(inhibitor.callsInFlight(), 0,
                                      int(limit.count()) * app::Inhibitor::kCallLifetimes + 3000);
            QCOMPARE(inhibitor.service(), app::Inhibitor::Service::None);
        }
    }

    // Once the close has gone ahead nothing sounds and no box opens, although the program still
    // runs while the release settles (the service takes 3 s to answer it): the workout's timers
    // stop with the window, and the failure of a missing cue finds no window to stand over.
    void nothingSoundsOrOpensAfterTheClose()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        StandIn standIn(dir->path());
        QVERIFY(standIn.start({"portal"}, "0", 3));
        ErrorBoxRecorder errors;
        QStringList journal;
        auto window = makeWindow(&journal);
        child<QCheckBox>(window.get(), "sound")->setChecked(true);
        window->soundTab().edit(4)->setText(dir->filePath("no-tick.wav")); // the tick cue is missing
        window->setPlanText(PlanField::podg_s, "5");                       // the tick cue is due 2 s after START
        window->show();
        QTest::mouseClick(startButton(*window), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window->inhibitor().service(), app::Inhibitor::Service::Portal, 15000);
        QVERIFY(window->close());
        const qsizetype closedAt = journal.size();
        QElapsedTimer settling;
        settling.start();
        window->inhibitor().settle(10000);
        QVERIFY2(settling.elapsed() > 2500, "the release settled too soon to let the tick cue fall due");
        const QStringList after = journal.mid(closedAt);
        QVERIFY2(after.filter(".play").isEmpty(), qPrintable(after.join('|')));
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));
        for (const auto *channel : {&window->mpOver, &window->mpTick, &window->mpMusic, &window->mp1})
            QVERIFY(!(*channel)->isOpen());
        QCOMPARE(standIn.calls().size(), 2);
        QCOMPARE(standIn.calls()[1], "portal Close " + answerOf(standIn.calls()[0]));
    }

    // The window holds it from START to "Стоп", paused or not, and asks nothing while idle.
    void windowHoldsItForTheWorkout()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        StandIn standIn(dir->path());
        QVERIFY(standIn.start({"portal", "screensaver", "gnome"}));
        ErrorBoxRecorder errors;
        auto owned = makeWindow();
        TForm1 &window = *owned;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(300);
        QVERIFY(standIn.calls().isEmpty());

        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QVERIFY(running(window));
        QTRY_COMPARE_WITH_TIMEOUT(window.inhibitor().service(), app::Inhibitor::Service::Portal, 15000);
        // Pause and resume once preparation is over and the pause button shows.
        auto *pause = child<QPushButton>(&window, "sBitBtn2");
        QTRY_VERIFY_WITH_TIMEOUT(pause->isVisible(), 20000);
        QTest::mouseClick(pause, Qt::LeftButton);
        QCOMPARE(pause->text(), workout::texts::resume);
        QTest::qWait(300);
        QTest::mouseClick(pause, Qt::LeftButton);
        QCOMPARE(standIn.calls().size(), 1);

        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QVERIFY(!running(window));
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 2, 15000);
        QCOMPARE(standIn.calls()[1], "portal Close " + answerOf(standIn.calls()[0]));
        QTest::qWait(300);
        QCOMPARE(standIn.calls().size(), 2);
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));
    }

    void automaticEndReleasesIt()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        StandIn standIn(dir->path());
        QVERIFY(standIn.start({"screensaver"}));
        ErrorBoxRecorder errors;
        auto owned = makeWindow();
        TForm1 &window = *owned;
        shortPlan(window);
        window.show();
        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 1, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!running(window), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.calls().size(), 2, 15000);
        QCOMPARE(standIn.calls()[1], "screensaver UnInhibit " + answerOf(standIn.calls()[0]));
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));
    }

    // Closing the window during a workout saves the settings and releases it; the program's end
    // lets the release go out before the connection closes.
    void closeDuringAWorkoutReleasesIt()
    {
        if (!busPresent())
            QSKIP("needs the session bus that scripts/test.sh starts");
        StandIn standIn(dir->path());
        QVERIFY(standIn.start({"gnome"}));
        auto window = makeWindow();
        window->show();
        QTest::mouseClick(startButton(*window), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window->inhibitor().service(), app::Inhibitor::Service::GnomeSession, 15000);
        QVERIFY(window->close());
        QVERIFY(QFile::exists(dir->path() + "/zelk-soft/vintra/timer.ini"));
        window->inhibitor().settle(5000);
        QCOMPARE(window->inhibitor().callsInFlight(), 0);
        window.reset();
        QCOMPARE(standIn.calls().size(), 2);
        QCOMPARE(standIn.calls()[1], "gnome Uninhibit " + answerOf(standIn.calls()[0]));
    }

    // With no session bus, or with a bus but none of the services, the workout runs to its end
    // as before and nothing is reported.
    void workoutRunsWithoutTheServices()
    {
        ErrorBoxRecorder errors;
        auto owned = makeWindow();
        TForm1 &window = *owned;
        shortPlan(window);
        window.show();
        const QString total = child<QLabel>(&window, "Label1")->text();
        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QVERIFY(running(window));
        QTRY_VERIFY_WITH_TIMEOUT(!running(window), 20000);
        QCOMPARE(child<QLabel>(&window, "Label1")->text(), total);
        QTRY_COMPARE_WITH_TIMEOUT(window.inhibitor().callsInFlight(), 0, 15000);
        QCOMPARE(window.inhibitor().service(), app::Inhibitor::Service::None);
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));
        // And again: the window keeps answering.
        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QVERIFY(running(window));
        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QVERIFY(!running(window));
        QVERIFY(window.close());
        window.inhibitor().settle(5000);
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));
    }
};

QTEST_MAIN(TestInhibitor)
#include "tst_inhibitor.moc"
