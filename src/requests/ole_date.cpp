#include "requests/ole_date.h"

#include <cmath>
#include <ctime>

#include "platform/platform.h"

namespace tarvik {
namespace {

constexpr double kMinDate = -657434.0;  // 100-01-01
constexpr double kMaxDate = 2958465.0;  // 9999-12-31
constexpr int64_t kSecondsPerDay = 86400;
// Day number of 1899-12-30 counted from 1970-01-01.
constexpr int64_t kOleEpochDay = -25569;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}

}  // namespace

bool OleDateToWire(double date, uint32_t* wire) {
    if (!(date >= kMinDate && date <= kMaxDate)) {
        return false;  // also NaN
    }
    // The whole part counts days; the fraction is the time of day, also for
    // dates before the epoch (-1.25 is 1899-12-29 06:00).
    const double whole = std::trunc(date);
    int64_t seconds = static_cast<int64_t>(std::llround(std::fabs(date - whole) * kSecondsPerDay));
    int64_t day = static_cast<int64_t>(whole) + kOleEpochDay;
    if (seconds >= kSecondsPerDay) {
        seconds -= kSecondsPerDay;
        day += 1;
    }
    int64_t y = 0;
    int64_t m = 0;
    int64_t d = 0;
    CivilFromDays(day, &y, &m, &d);
    std::tm local{};
    local.tm_year = static_cast<int>(y - 1900);
    local.tm_mon = static_cast<int>(m - 1);
    local.tm_mday = static_cast<int>(d);
    local.tm_hour = static_cast<int>(seconds / 3600);
    local.tm_min = static_cast<int>(seconds / 60 % 60);
    local.tm_sec = static_cast<int>(seconds % 60);
    int64_t t = 0;
    if (!plat::SecondsFromLocalTime(local, &t)) {
        return false;
    }
    *wire = static_cast<uint32_t>(t);
    return true;
}

double WireToOleDate(uint32_t wire) {
    std::tm local{};
    if (!plat::LocalTimeFromSeconds(static_cast<int64_t>(wire), &local)) {
        return 0.0;
    }
    const int64_t day = DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    const double time = (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec) /
                        static_cast<double>(kSecondsPerDay);
    return static_cast<double>(day - kOleEpochDay) + time;
}

}  // namespace tarvik
