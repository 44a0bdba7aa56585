#include "app/desktopsession.h"

#include <QString>

// What every platform shares; the rest (onTermination, writeToStandardError) is in
// desktopsession_<platform>.cpp.

namespace app {

namespace {
// Whether QT_QPA_PLATFORM is ours rather than the user's.
bool platformChosen = false;
} // namespace

QByteArray preferredPlatform(const EnvironmentReader &environment)
{
    if (!environment("QT_QPA_PLATFORM").isEmpty())
        return {};
    const bool wayland = environment("XDG_SESSION_TYPE") == "wayland" || !environment("WAYLAND_DISPLAY").isEmpty();
    if (!wayland || environment("DISPLAY").isEmpty())
        return {};
    return QByteArrayLiteral("xcb;wayland");
}

bool choosePlatform()
{
    const QByteArray platform = preferredPlatform([](const char *name) { return qgetenv(name); });
    if (platform.isEmpty())
        return false;
    qputenv("QT_QPA_PLATFORM", platform);
    platformChosen = true;
    return true;
}

void forgetPlatformChoice()
{
    if (platformChosen)
        qunsetenv("QT_QPA_PLATFORM");
    platformChosen = false;
}

} // namespace app
