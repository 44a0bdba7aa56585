#include "app/desktopsession.h"

#include <QSocketNotifier>
#include <QWidget>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace app {

namespace {

// The write end, for the signal handler; the read end is watched on the event loop.
int terminationPipe[2] = {-1, -1};

// Whether QT_QPA_PLATFORM is ours rather than the user's.
bool platformChosen = false;

void onTermination(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    // Only async-signal-safe calls here. The write end never blocks: a full pipe already
    // carries the request.
    [[maybe_unused]] ssize_t written = ::write(terminationPipe[1], &byte, 1);
    errno = savedErrno;
}

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

void closeOnTermination(QWidget &window)
{
    if (terminationPipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, terminationPipe) != 0)
            return;
        ::fcntl(terminationPipe[1], F_SETFL, ::fcntl(terminationPipe[1], F_GETFL) | O_NONBLOCK);
    }
    auto *notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte;
        [[maybe_unused]] ssize_t got = ::read(terminationPipe[0], &byte, 1);
        window.close();
    });
    struct sigaction action = {};
    action.sa_handler = onTermination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace app
