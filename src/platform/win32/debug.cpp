// Debug output through OutputDebugStringA, whether or not a test's sink reads
// the same text.
#include <windows.h>

#include "platform/system_debug.h"

namespace tarvik {
namespace plat {

void SystemDebugOutput(const char* text, bool /*sunk*/) {
    OutputDebugStringA(text);
}

}  // namespace plat
}  // namespace tarvik
