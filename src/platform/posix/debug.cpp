// Debug output: the text the Windows side hands to OutputDebugStringA goes to
// stderr here, or to a sink a test installs to read it.
#include <cstdio>

#include <atomic>

#include "platform/platform.h"

namespace tarvik {
namespace plat {

namespace {
std::atomic<void (*)(const char*)> g_debugSink{nullptr};
}  // namespace

void DebugOutput(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    if (void (*sink)(const char*) = g_debugSink.load(std::memory_order_acquire)) {
        sink(text);
        return;
    }
    std::fputs(text, stderr);
}

void SetDebugSink(void (*sink)(const char* text)) {
    g_debugSink.store(sink, std::memory_order_release);
}

}  // namespace plat
}  // namespace tarvik
