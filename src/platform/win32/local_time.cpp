// Local calendar time through the C runtime.

// The seam first: its message constants share their names with the
// system's macros, which must not rewrite its declarations.
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

bool SecondsFromLocalTime(const std::tm& in, int64_t* seconds) {
    std::tm copy{};
    copy.tm_year = in.tm_year;
    copy.tm_mon = in.tm_mon;
    copy.tm_mday = in.tm_mday;
    copy.tm_hour = in.tm_hour;
    copy.tm_min = in.tm_min;
    copy.tm_sec = in.tm_sec;
    copy.tm_isdst = -1;
    const time_t t = mktime(&copy);
    if (t == static_cast<time_t>(-1)) {
        return false;
    }
    *seconds = static_cast<int64_t>(t);
    return true;
}

}  // namespace plat
}  // namespace tarvik
