#include "app/desktopsession.h"

#include "app/sessionlog.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

// Linux: a session's end, systemd and `kill` send SIGTERM. The handler only writes a byte to a
// socket pair; the read end is watched on the event loop, where the real work is done.

namespace app {

namespace {

// The write end, for the signal handler; the read end is watched on the event loop.
int terminationPipe[2] = {-1, -1};

void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    // Only async-signal-safe calls here. The write end never blocks: a full pipe already
    // carries the request.
    [[maybe_unused]] ssize_t written = ::write(terminationPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

void onTermination(QObject &context, std::function<void()> end)
{
    if (terminationPipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, terminationPipe) != 0) {
            qCWarning(lcSession) << "no way to hear SIGTERM:" << strerror(errno);
            return;
        }
        ::fcntl(terminationPipe[1], F_SETFL, ::fcntl(terminationPipe[1], F_GETFL) | O_NONBLOCK);
    }
    auto *notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, &context);
    QObject::connect(notifier, &QSocketNotifier::activated, &context, [notifier, end = std::move(end)] {
        char byte;
        [[maybe_unused]] ssize_t got = ::read(terminationPipe[0], &byte, 1);
        // Once: a second SIGTERM while the first is handled (the save runs) changes nothing.
        notifier->setEnabled(false);
        qCDebug(lcSession) << "SIGTERM: ending";
        end();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
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
