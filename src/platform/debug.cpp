// Debug output, with the hook that lets a test install a sink that reads it;
// the system's own output comes from posix/ or win32/debug.cpp.
#include <atomic>

#include "platform/platform.h"
#include "platform/system_debug.h"

namespace tarvik {
namespace plat {

namespace {
std::atomic<void (*)(const char*)> g_debugSink{nullptr};
}  // namespace

void DebugOutput(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    void (*sink)(const char*) = g_debugSink.load(std::memory_order_acquire);
    SystemDebugOutput(text, sink != nullptr);
    if (sink != nullptr) {
        sink(text);
    }
}

void SetDebugSink(void (*sink)(const char* text)) {
    g_debugSink.store(sink, std::memory_order_release);
}

}  // namespace plat
}  // namespace tarvik
