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

// Linux: a session's end, systemd and `kill` send SIGTERM; Ctrl+C in the terminal SIGINT, a
// closed terminal SIGHUP, Ctrl+\ SIGQUIT. Each ends the program the same way. The handler only
// writes the signal's number to a socket pair; the read end is watched on the event loop, where
// the real work is done.

namespace app {

namespace {

// The write end, for the signal handler; the read end is watched on the event loop.
int terminationPipe[2] = {-1, -1};

// SIGTERM always. The others only when they reach the program: a shell starts a background job
// with SIGINT and SIGQUIT ignored, and `nohup` ignores SIGHUP, so that the terminal's keys and
// its closing leave that program alone. It stays so.
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

void onSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = char(signal);
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
            qCWarning(lcSession) << "no way to hear SIGTERM and the like:" << strerror(errno);
            return;
        }
        ::fcntl(terminationPipe[1], F_SETFL, ::fcntl(terminationPipe[1], F_GETFL) | O_NONBLOCK);
    }
    auto *notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, &context);
    QObject::connect(notifier, &QSocketNotifier::activated, &context, [notifier, end = std::move(end)] {
        char byte = 0;
        [[maybe_unused]] ssize_t got = ::read(terminationPipe[0], &byte, 1);
        // Once: a second signal while the first is handled (the save runs) changes nothing.
        notifier->setEnabled(false);
        qCDebug(lcSession) << "signal" << strsignal(byte) << "- ending";
        end();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kEndingSignals) {
        struct sigaction before = {};
        if (signal != SIGTERM && ::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) {
            qCDebug(lcSession) << strsignal(signal) << "was ignored when the program started; it stays so";
            continue;
        }
        ::sigaction(signal, &action, nullptr);
    }
    // Started as `vintra 2>&1 | tee log`, the reader may go first (the terminal closed, or less
    // quit): the next warning, or the line that says a save failed, would then end the program
    // by SIGPIPE mid-workout with nothing saved. A write to a gone reader fails instead.
    ::signal(SIGPIPE, SIG_IGN);
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
