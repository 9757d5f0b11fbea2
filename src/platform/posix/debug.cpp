// Debug output: the text the Windows side hands to OutputDebugStringA goes to
// stderr here, unless a test's sink reads it.
#include <cstdio>

#include "platform/system_debug.h"

namespace tarvik {
namespace plat {

void SystemDebugOutput(const char* text, bool sunk) {
    if (!sunk) {
        std::fputs(text, stderr);
    }
}

}  // namespace plat
}  // namespace tarvik
