// Local calendar time through the C runtime.

#include "platform/platform.h"

#include <windows.h>

#include <ctime>

namespace tarvik {
namespace plat {

bool LocalTimeFromSeconds(int64_t seconds, std::tm* out) {
    if (out == nullptr) {
        return false;
    }
    const time_t t = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(t) != seconds) {
        return false;
    }
    return localtime_s(out, &t) == 0;
}

}  // namespace plat
}  // namespace tarvik
