// Local calendar time to seconds: the C library's mktime, the same on every
// system (the other direction needs each system's thread-safe variant).
#include <ctime>

#include "platform/platform.h"

namespace tarvik {
namespace plat {

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
