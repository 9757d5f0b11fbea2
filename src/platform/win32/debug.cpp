// Debug output through OutputDebugStringA; a test can install a sink that
// reads the same text as well.

#include "platform/platform.h"

#include <windows.h>

#include <atomic>

namespace tarvik {
namespace plat {

namespace {
std::atomic<void (*)(const char*)> g_debugSink{nullptr};
}  // namespace

void DebugOutput(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    OutputDebugStringA(text);
    if (void (*sink)(const char*) = g_debugSink.load(std::memory_order_acquire)) {
        sink(text);
    }
}

void SetDebugSink(void (*sink)(const char* text)) {
    g_debugSink.store(sink, std::memory_order_release);
}

}  // namespace plat
}  // namespace tarvik
