// The system's tick (GetTickCount, wrapping after about 49.7 days) and sleep.

#include "platform/platform.h"
#include "platform/system_clock.h"

#include <windows.h>

namespace tarvik {
namespace plat {

uint32_t SystemTickCount() {
    return GetTickCount();
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

}  // namespace plat
}  // namespace tarvik
