// Times what the session bus costs the window: the program's look at the bus before anything
// else, building and first showing the window, the first START (which asks for the screen to
// stay on), and the end (close, the release settling, the process's exit, timed from outside).
// Build with `cmake --build build --target session_bus` and run it under `timeout` with
// DBUS_SESSION_BUS_ADDRESS pointing at a working bus, or at one whose dbus-daemon is stopped
// (SIGSTOP); QT_QPA_PLATFORM=xcb or offscreen. VINTRA_BENCH_STOP_BUS=<pid of the dbus-daemon>
// stops the bus once the window shows: a bus that hangs while the program runs.

#include "app/appearance.h"
#include "app/desktopsession.h"
#include "app/inhibitor.h"
#include "app/mainwindow.h"
#include "fakechannel.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTest>
#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    QElapsedTimer clock;
    clock.start();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // As main.cpp does.
    const bool answered = app::avoidHungSessionBus(std::chrono::milliseconds(1000));
    std::printf("bus probe %lld ms%s\n", clock.restart(), answered ? "" : " (no answer: running without the bus)");
    QApplication application(argc, argv);
    app::applyAppearance(application);
    std::printf("application %lld ms\n", clock.restart());
    TForm1 window([](sound::Stream) { return std::make_unique<FakeChannel>(); });
    // No cues: these channels have no files, and a missing cue's report is not what is timed.
    for (const char *option : {"sound", "sCheckBox2"})
        window.findChild<QCheckBox *>(QLatin1String(option))->setChecked(false);
    std::printf("window built %lld ms\n", clock.restart());
    window.showFirstTime();
    const bool exposed = QTest::qWaitForWindowExposed(&window, 60000);
    std::printf("first show %lld ms%s\n", clock.restart(), exposed ? "" : " (never exposed)");
    if (const int bus = qEnvironmentVariableIntValue("VINTRA_BENCH_STOP_BUS"); bus > 0) {
        ::kill(bus, SIGSTOP);
        std::printf("bus stopped\n");
        clock.restart();
    }
    // VINTRA_BENCH_NO_START=1: the user closes without a workout (the bus is never asked).
    if (!qEnvironmentVariableIsSet("VINTRA_BENCH_NO_START")) {
        window.sBitBtn1Click();
        std::printf("first START %lld ms\n", clock.restart());
        window.sBitBtn1Click();
    }
    window.close();
    std::printf("close %lld ms\n", clock.restart());
    window.inhibitor().settle(1000);
    std::printf("settle %lld ms\n", clock.restart());
    // The rest (the application's and QtDBus's ends) is timed from outside.
    std::fflush(stdout);
    return 0;
}
