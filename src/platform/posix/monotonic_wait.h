// Waits on condition variables against the monotonic clock, so that a change
// of the wall clock neither stretches nor cuts them: what the event, the end
// of a thread and the named mutex share on POSIX.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

namespace tarvik {
namespace plat {

// Initialises a condition variable whose timed waits use the monotonic clock;
// pthread_cond_init's result.
inline int MonotonicCondInit(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const int rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

inline timespec MonotonicNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// t plus a time that is not negative.
inline timespec AddMilliseconds(timespec t, int32_t milliseconds) {
    t.tv_sec += milliseconds / 1000;
    t.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// With `mutex` held: waits on `cond` until *flag is set or the time is up (a
// negative time waits for ever), and returns the flag.
inline bool WaitForFlag(pthread_cond_t* cond, pthread_mutex_t* mutex, const bool* flag,
                        int32_t milliseconds) {
    if (milliseconds < 0) {
        while (!*flag) {
            pthread_cond_wait(cond, mutex);
        }
        return true;
    }
    const timespec deadline = AddMilliseconds(MonotonicNow(), milliseconds);
    while (!*flag) {
        if (pthread_cond_timedwait(cond, mutex, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    return *flag;
}

}  // namespace plat
}  // namespace tarvik
