// The millisecond tick, with the hook that lets tests replace its source;
// the system's own tick comes from posix/ or win32/clock.cpp.
#include <atomic>

#include "platform/platform.h"
#include "platform/system_clock.h"

namespace tarvik {
namespace plat {

namespace {
std::atomic<uint32_t (*)()> g_tickSource{nullptr};
}  // namespace

uint32_t TickCount() {
    if (uint32_t(*source)() = g_tickSource.load(std::memory_order_acquire)) {
        return source();
    }
    return SystemTickCount();
}

void SetTickSource(uint32_t (*source)()) {
    g_tickSource.store(source, std::memory_order_release);
}

}  // namespace plat
}  // namespace tarvik
