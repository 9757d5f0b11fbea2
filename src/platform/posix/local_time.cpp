// Local calendar time through the C library (thread-safe variants).
#include <ctime>

#include "platform/platform.h"

namespace tarvik {
namespace plat {

bool LocalTimeFromSeconds(int64_t seconds, std::tm* out) {
    const time_t t = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(t) != seconds) {
        return false;
    }
    return localtime_r(&t, out) != nullptr;
}

}  // namespace plat
}  // namespace tarvik
