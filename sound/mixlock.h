#pragma once

// The mixer's lock, which the real-time audio callback takes (see realtime.h). With an ordinary
// mutex a thread of ordinary priority that is preempted while holding it (the GUI thread in a
// play, the service thread topping up a ring) keeps the callback waiting until the scheduler
// comes back to it, on a busy machine for tens of milliseconds, and the music breaks. Where
// POSIX threads offer it, the lock uses priority inheritance: the holder runs at the callback's
// priority until it lets go.

#include <mutex>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace sound::detail {

#if defined(__linux__)
class MixLock {
public:
    MixLock()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~MixLock() { pthread_mutex_destroy(&m_mutex); }
    MixLock(const MixLock &) = delete;
    MixLock &operator=(const MixLock &) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    bool try_lock() { return pthread_mutex_trylock(&m_mutex) == 0; }
    void unlock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};
#else
using MixLock = std::mutex;
#endif

} // namespace sound::detail
