// The Windows side of the desktop session: the screen kept on through the system's own request
// for exactly a workout's span, and a log-off, sent to the real window as Windows sends it, that
// saves the settings when asked and ends the program only when the session really ends.

#include "app/desktopsession.h"
#include "app/inhibitor.h"
#include "settings/settingscodec.h"
#include "windowtestutil.h"
#include "workout/sequencer.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

class TestSessionWin : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void screenKeptOnWhileHeld();
    void screenKeptOnForTheWorkoutOnly();
    void logOffSavesAtTheQuestionAndEndsOnlyAtTheEnd();

private:
    // The settings the windows read and write, away from the prefix's own.
    QTemporaryDir m_appData;
};

void TestSessionWin::initTestCase()
{
    QVERIFY(m_appData.isValid());
    qputenv("APPDATA", QDir::toNativeSeparators(m_appData.path()).toLocal8Bit());
    app::applyAppearance(*qApp);
}

namespace {

// The calling thread's execution state. Reading it means setting one; the old one is put back
// (a state without ES_CONTINUOUS does not replace a continuous one, so nothing changes).
EXECUTION_STATE executionState()
{
    const EXECUTION_STATE state = SetThreadExecutionState(ES_CONTINUOUS);
    SetThreadExecutionState(state);
    return state;
}

constexpr EXECUTION_STATE kKeptOn = ES_CONTINUOUS | ES_DISPLAY_REQUIRED | ES_SYSTEM_REQUIRED;

bool keptOn() { return (executionState() & kKeptOn) == kKeptOn; }
bool released() { return executionState() == ES_CONTINUOUS; }

} // namespace

void TestSessionWin::screenKeptOnWhileHeld()
{
    {
        app::Inhibitor inhibitor;
        QSignalSpy changed(&inhibitor, &app::Inhibitor::changed);
        inhibitor.setHeld(true);
        QVERIFY(keptOn());
        QCOMPARE(inhibitor.service(), app::Inhibitor::Service::System);
        QCOMPARE(changed.size(), 1);
        inhibitor.setHeld(true); // held already: nothing new is asked
        QCOMPARE(changed.size(), 1);
        QCOMPARE(inhibitor.callsInFlight(), 0);
        inhibitor.setHeld(false);
        QVERIFY2(released(), qPrintable(QString::number(executionState(), 16)));
        QCOMPARE(inhibitor.service(), app::Inhibitor::Service::None);
        QCOMPARE(changed.size(), 2);
        // Held again and never let go: the request goes with the object.
        inhibitor.setHeld(true);
        QVERIFY(keptOn());
    }
    QVERIFY(released());
}

void TestSessionWin::screenKeptOnForTheWorkoutOnly()
{
    TForm1 window(fakeChannels());
    child<QCheckBox>(&window, "sound")->setChecked(false);
    child<QCheckBox>(&window, "sCheckBox2")->setChecked(false);
    window.showFirstTime();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *start = child<QPushButton>(&window, "sBitBtn1");
    QVERIFY(released());
    start->click();
    QCOMPARE(start->text(), workout::texts::stop);
    QVERIFY(keptOn());
    start->click();
    QVERIFY(start->text() != workout::texts::stop);
    QVERIFY(released());
    window.closeForSessionEnd();
}

// Windows asks before a log-off and may still call it off: the settings are saved at the
// question while the workout goes on; only the end itself lets the window go, once.
void TestSessionWin::logOffSavesAtTheQuestionAndEndsOnlyAtTheEnd()
{
    const QString ini = m_appData.filePath(QStringLiteral("zelk-soft/vintra/timer.ini"));
    QFile::remove(ini);

    TForm1 window(fakeChannels());
    child<QCheckBox>(&window, "sound")->setChecked(false);
    child<QCheckBox>(&window, "sCheckBox2")->setChecked(false);
    int saves = 0;
    QStringList ends;
    app::onTermination(window, {[&] {
                                    ++saves;
                                    return window.saveForSessionEnd();
                                },
                                [&](const QString &failure) {
                                    ends << failure;
                                    window.leaveForSessionEnd();
                                }});
    window.showFirstTime();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *start = child<QPushButton>(&window, "sBitBtn1");
    start->click();
    QCOMPARE(start->text(), workout::texts::stop);
    const auto savedLines = [&] {
        QFile file(ini);
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count("\r\n")) : -1;
    };

    // What Windows sends every top-level window at a log-off; TRUE lets the session go on ending.
    const HWND hwnd = reinterpret_cast<HWND>(window.winId());
    QCOMPARE(SendMessageW(hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), LRESULT(TRUE));
    QCOMPARE(saves, 1);
    QCOMPARE(savedLines(), settings::kLineCount);
    QCOMPARE(SendMessageW(hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), LRESULT(TRUE)); // asked again
    QCOMPARE(saves, 1);

    // Another program cancelled the log-off: the timer is still there, mid-workout.
    SendMessageW(hwnd, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
    QVERIFY(ends.isEmpty());
    QVERIFY(window.isVisible());
    QCOMPARE(start->text(), workout::texts::stop);
    QVERIFY(keptOn());
    QTest::qWait(1200); // a span in which nothing may end the workout
    QCOMPARE(start->text(), workout::texts::stop);

    // The user logs off again, and this time the session ends.
    QFile::remove(ini);
    QCOMPARE(SendMessageW(hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), LRESULT(TRUE));
    QCOMPARE(saves, 2);
    QCOMPARE(savedLines(), settings::kLineCount);
    QVERIFY(ends.isEmpty());
    SendMessageW(hwnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    QCOMPARE(ends, QStringList{QString()});
    QVERIFY(!window.isVisible());
    QVERIFY(released());
    SendMessageW(hwnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF); // every top-level window hears it
    QCOMPARE(ends.size(), 1);
    QCOMPARE(saves, 2);
}

QTEST_MAIN(TestSessionWin)
#include "tst_session_win.moc"
