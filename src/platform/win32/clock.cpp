// The millisecond tick (GetTickCount, wrapping after about 49.7 days) and
// sleep. Tests can replace the tick's source.

// The seam first: its message constants share their names with the
// system's macros, which must not rewrite its declarations.
#include "platform/platform.h"

#include <windows.h>

#include <atomic>

namespace tarvik {
namespace plat {

namespace {
std::atomic<uint32_t (*)()> g_tickSource{nullptr};
}  // namespace

uint32_t TickCount() {
    if (uint32_t(*source)() = g_tickSource.load(std::memory_order_acquire)) {
        return source();
    }
    return GetTickCount();
}

void SetTickSource(uint32_t (*source)()) {
    g_tickSource.store(source, std::memory_order_release);
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

}  // namespace plat
}  // namespace tarvik
