#include "sound/realtime.h"

#include <SDL.h>

#include <QDir>
#include <QFile>

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sound {

namespace {

// PulseAudio and PipeWire run at 5 and 88 by default; a client below its server never keeps the
// server from taking what it wrote.
constexpr int kPriority = 4;

} // namespace

std::int64_t currentThreadId() { return std::int64_t(::syscall(SYS_gettid)); }

bool makeThreadRealtime(std::int64_t id)
{
    // A driver's own thread may have real time already (PipeWire's clients ask for more than
    // this): leave it as it is.
    const int policy = ::sched_getscheduler(pid_t(id)) & ~SCHED_RESET_ON_FORK;
    if (policy == SCHED_FIFO || policy == SCHED_RR)
        return true;
    // Directly where the process may; SCHED_RESET_ON_FORK keeps a child from inheriting it.
    sched_param param{};
    param.sched_priority = kPriority;
    if (::sched_setscheduler(pid_t(id), SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0)
        return true;
    // Otherwise through rtkit on the system bus, as desktop sound servers get theirs (the
    // output has told SDL that time-critical threads may be real-time, which has SDL set the
    // RLIMIT_RTTIME rtkit requires).
    return SDL_LinuxSetThreadPriorityAndPolicy(id, SDL_THREAD_PRIORITY_TIME_CRITICAL, SCHED_RR) == 0;
}

bool makeAudioLibraryThreadsRealtime()
{
    bool all = true;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task) + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "PulseMainloop")
            all = makeThreadRealtime(task.toLongLong()) && all;
    }
    return all;
}

} // namespace sound
