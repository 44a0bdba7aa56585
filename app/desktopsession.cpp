#include "app/desktopsession.h"

#include <QString>
#include <cstdio>

// What every platform shares; the rest is in desktopsession_<platform>.cpp.

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

void writeToStandardError(const QString &line)
{
    // stdio rather than qWarning(): QT_LOGGING_RULES or a message handler may drop a category,
    // and this line is the only trace of settings that were not saved.
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace app
