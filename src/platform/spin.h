// A bounded busy wait on a flag that another thread sets: what the events of
// both platforms use to watch their state for a short time before they sleep.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace tarvik {
namespace plat {

// Tells the CPU that this is a spin loop (it yields to the other hardware
// thread of the core and saves power).
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// Spins while `flag` is clear, for at most `microseconds`; true when it was
// seen set. A flag already set returns at once; otherwise no spin starts when
// `onOneCpu` says the calling thread may run on one CPU only (spinning there
// would only keep the CPU from the thread that sets the flag).
inline bool SpinOn(const std::atomic<bool>& flag, int32_t microseconds, bool (*onOneCpu)()) {
    if (flag.load(std::memory_order_acquire)) {
        return true;
    }
    if (microseconds <= 0 || onOneCpu()) {
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::microseconds(microseconds);
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (flag.load(std::memory_order_acquire)) {
                return true;
            }
            CpuRelax();
        }
        if (Clock::now() >= end) {
            return false;
        }
    }
}

}  // namespace plat
}  // namespace tarvik
