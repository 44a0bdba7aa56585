#pragma once

// How the program fits into the desktop session it starts in: which Qt platform it runs on, and
// what it does when the session asks it to end. How the request arrives is the platform's
// business (desktopsession_linux.cpp: SIGTERM, SIGINT, SIGHUP, SIGQUIT), chosen by app/CMakeLists.txt.

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>

class QObject;

namespace app {

// Reads one environment variable; empty when unset.
using EnvironmentReader = std::function<QByteArray(const char *name)>;

// The platform list to ask Qt for, or empty to leave Qt its own choice. In a Wayland session
// with an X server reachable too (XWayland), the X11 platform: Wayland lets no window keep itself
// on top or place itself, and both the "Поверх окон" option and the centred first placement
// depend on that. Native Wayland stays the fallback should the X server refuse us. A platform the
// user chose (QT_QPA_PLATFORM) is always kept.
QByteArray preferredPlatform(const EnvironmentReader &environment);

// Applies preferredPlatform() to this process before the QApplication is constructed; returns
// whether it set anything.
bool choosePlatform();

// Before anything touches the session's message bus (before the QApplication exists): gives the
// bus `bound` to answer the first call every client makes. One that accepts connections and never
// answers (its daemon stopped) would hold the window unshown, inside Qt's accessibility bridge,
// and the sound library's start for minutes; the program then runs as it does with no bus at
// all, and so do the programs it starts (the browser for a link): no screen reader can reach the
// window, and the screen is kept on during a workout only where the X server's own screen saver
// can be asked. Returns false then, after one warning line. Linux only: elsewhere there is no
// such bus and it returns true.
bool avoidHungSessionBus(std::chrono::milliseconds bound);

// Once the QApplication exists: takes our choice out of the environment again, so the programs
// started from here (the browser for a link) get the session's own.
void forgetPlatformChoice();

// What the program does as its session ends, in two steps: `save` keeps what must survive and
// returns why it could not (empty when it could); `end` lets the window go and ends the program,
// given what the last `save` returned.
struct SessionEnd {
    std::function<QString()> save;
    std::function<void(const QString &failure)> end;
};

// Runs the steps on the GUI thread, in whatever event loop is running then (a modal box's too),
// when the session, a service manager or the terminal asks the program to end. On Linux (SIGTERM;
// SIGINT, SIGHUP and SIGQUIT too, unless they were ignored when the program started) both at
// once. On Windows the session asks first (WM_QUERYENDSESSION), and another program or the user
// may still cancel: `save` runs then, and the window and any workout go on; `end` runs only once
// the session really ends (WM_ENDSESSION saying so). `end` runs once; later requests find the
// program already ending. Nothing runs after context is gone.
void onTermination(QObject &context, SessionEnd steps);

// Writes one line to the standard error output as it stands, past any logging rules or message
// handler: for the last word of a program that is ending, which must not be filtered away.
void writeToStandardError(const QString &line);

} // namespace app
