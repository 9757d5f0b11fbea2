#include "requests/ole_date.h"

#include <cmath>

#include "tarvik/tarvik.hpp"

namespace tarvik {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kMsPerDay = kSecondsPerDay * 1000;
using detail::kOleEpochDay;  // 1899-12-30, counted from 1970-01-01

// Floor division, for milliseconds before 1970.
int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::tm TmFromCivil(const CivilTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return tm;
}

}  // namespace

// The calendar arithmetic is the one the public C++ header gives its users.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    return detail::daysFromCivil(y, m, d);
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
    int64_t y = 0;
    int64_t m = 0;
    int64_t d = 0;
    detail::civilFromDays(z, &y, &m, &d);
    *year = static_cast<int>(y);
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

bool IsValidCivil(const CivilTime& t) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 100 || t.year > 9999 || t.month < 1 || t.month > 12) {
        return false;
    }
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    const int days = t.month == 2 && leap ? 29 : kDays[t.month - 1];
    return t.day >= 1 && t.day <= days && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 &&
           t.minute <= 59 && t.second >= 0 && t.second <= 59 && t.millisecond >= 0 &&
           t.millisecond <= 999;
}

bool CivilFromOleDate(double date, bool roundToMs, CivilTime* out) {
    if (!(date >= kOleDateMin && date <= kOleDateMax)) {
        return false;  // also NaN
    }
    const double whole = std::trunc(date);
    const double fraction = std::fabs(date - whole);
    int64_t ms = roundToMs ? std::llround(fraction * kMsPerDay)
                           : std::llround(fraction * kSecondsPerDay) * 1000;
    int64_t day = static_cast<int64_t>(whole) + kOleEpochDay;
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        day += 1;
    }
    CivilFromDays(day, &out->year, &out->month, &out->day);
    out->hour = static_cast<int>(ms / 3600000);
    out->minute = static_cast<int>(ms / 60000 % 60);
    out->second = static_cast<int>(ms / 1000 % 60);
    out->millisecond = static_cast<int>(ms % 1000);
    return true;
}

double OleDateFromCivil(const CivilTime& t) {
    const int64_t days = DaysFromCivil(t.year, t.month, t.day) - kOleEpochDay;
    const int64_t ms = ((t.hour * 60 + t.minute) * 60 + t.second) * int64_t{1000} + t.millisecond;
    const double time = static_cast<double>(ms) / kMsPerDay;
    // Before day 0 the fraction still counts forward from midnight.
    return days < 0 ? static_cast<double>(days) - time : static_cast<double>(days) + time;
}

bool OleDateToUnixMs(double date, bool roundToMs, const LocalTimeFunctions& local,
                     int64_t* unixMs) {
    CivilTime t;
    if (!CivilFromOleDate(date, roundToMs, &t)) {
        return false;
    }
    int64_t seconds = 0;
    if (!local.secondsFromLocal(TmFromCivil(t), &seconds)) {
        return false;
    }
    *unixMs = seconds * 1000 + t.millisecond;
    return true;
}

bool UnixMsToOleDate(int64_t unixMs, const LocalTimeFunctions& local, double* date) {
    const int64_t seconds = FloorDiv(unixMs, 1000);
    std::tm tm{};
    if (!local.localFromSeconds(seconds, &tm)) {
        return false;
    }
    CivilTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second
    t.millisecond = static_cast<int>(unixMs - seconds * 1000);
    *date = OleDateFromCivil(t);
    return true;
}

}  // namespace tarvik
