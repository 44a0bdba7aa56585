#pragma once

// How the program fits into the desktop session it starts in: which Qt platform it runs on, and
// what it does when the session asks it to end.

#include <QByteArray>
#include <functional>

class QWidget;

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

// Once the QApplication exists: takes our choice out of the environment again, so the programs
// started from here (the browser for a link) get the session's own.
void forgetPlatformChoice();

// A termination request (SIGTERM, as a session's end or a service manager sends) closes the
// window the way its Close button does: the settings are saved and the program ends with 0.
void closeOnTermination(QWidget &window);

} // namespace app
