// The system's tick and sleep. The tick is the monotonic clock cut to 32
// bits, so it wraps after about 49.7 days exactly like GetTickCount; callers
// compare ticks by unsigned difference.
#include <time.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/system_clock.h"

namespace tarvik {
namespace plat {

uint32_t SystemTickCount() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
    timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000u);
    left.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
    // A signal cuts the sleep short; the rest is slept after it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace plat
}  // namespace tarvik
