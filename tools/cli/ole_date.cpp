#include "ole_date.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tarvik_cli {

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

// 1899-12-30, day 0 of OLE dates, counted from 1970-01-01.
constexpr int64_t kOleEpochDays = -25569;
// 9999-12-31 as an OLE date.
constexpr double kOleMax = 2958465.0;
// 1900-01-01 as an OLE date.
constexpr double kOleMin = 2.0;

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads exactly `digits` decimal digits at text[*at].
bool ReadNumber(const std::string& text, size_t* at, size_t digits, int* out) {
    int value = 0;
    for (size_t i = 0; i < digits; ++i) {
        if (*at >= text.size() || text[*at] < '0' || text[*at] > '9') {
            return false;
        }
        value = value * 10 + (text[*at] - '0');
        ++*at;
    }
    *out = value;
    return true;
}

bool Expect(const std::string& text, size_t* at, char c) {
    if (*at < text.size() && text[*at] == c) {
        ++*at;
        return true;
    }
    return false;
}

bool ParseIso(const std::string& text, CivilTime* t) {
    size_t at = 0;
    if (!ReadNumber(text, &at, 4, &t->year) || !Expect(text, &at, '-') ||
        !ReadNumber(text, &at, 2, &t->month) || !Expect(text, &at, '-') ||
        !ReadNumber(text, &at, 2, &t->day)) {
        return false;
    }
    t->hour = t->minute = t->second = 0;
    if (at < text.size()) {
        if (!(Expect(text, &at, ' ') || Expect(text, &at, 'T')) ||
            !ReadNumber(text, &at, 2, &t->hour) || !Expect(text, &at, ':') ||
            !ReadNumber(text, &at, 2, &t->minute)) {
            return false;
        }
        if (at < text.size() &&
            (!Expect(text, &at, ':') || !ReadNumber(text, &at, 2, &t->second))) {
            return false;
        }
    }
    return at == text.size() && t->year >= 1900 && t->month >= 1 && t->month <= 12 && t->day >= 1 &&
           t->day <= DaysInMonth(t->year, t->month) && t->hour <= 23 && t->minute <= 59 &&
           t->second <= 59;
}

}  // namespace

double OleFromCivil(const CivilTime& t) {
    const int64_t days = DaysFromCivil(t.year, t.month, t.day) - kOleEpochDays;
    const int seconds = t.hour * 3600 + t.minute * 60 + t.second;
    return static_cast<double>(days) + seconds / 86400.0;
}

bool CivilFromOle(double ole, CivilTime* out) {
    if (!std::isfinite(ole) || ole < kOleMin || ole >= kOleMax + 1.0) {
        return false;
    }
    const int64_t total = std::llround(ole * 86400.0);
    const int64_t days = total / 86400;
    const int64_t seconds = total % 86400;
    CivilFromDays(days + kOleEpochDays, &out->year, &out->month, &out->day);
    out->hour = static_cast<int>(seconds / 3600);
    out->minute = static_cast<int>(seconds / 60 % 60);
    out->second = static_cast<int>(seconds % 60);
    return out->year <= 9999;
}

bool CivilFromTimeT(std::time_t t, CivilTime* out) {
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) {
        return false;
    }
    out->year = tm.tm_year + 1900;
    out->month = tm.tm_mon + 1;
    out->day = tm.tm_mday;
    out->hour = tm.tm_hour;
    out->minute = tm.tm_min;
    out->second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second
    return true;
}

std::string FormatOle(double ole) {
    CivilTime t;
    if (!CivilFromOle(ole, &t)) {
        return "?";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

bool ParseTime(const std::string& text, std::time_t now, double* ole, std::string* error) {
    CivilTime t;
    if (text == "now") {
        if (!CivilFromTimeT(now, &t)) {
            *error = "the local time is not available";
            return false;
        }
        *ole = OleFromCivil(t);
        return true;
    }
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        size_t at = 1;
        int64_t amount = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && amount < 100000000) {
            amount = amount * 10 + (text[at] - '0');
            ++at;
        }
        int64_t unit = 0;
        if (at > 1 && at + 1 == text.size()) {
            switch (text[at]) {
                case 's':
                    unit = 1;
                    break;
                case 'm':
                    unit = 60;
                    break;
                case 'h':
                    unit = 3600;
                    break;
                case 'd':
                    unit = 86400;
                    break;
                default:
                    break;
            }
        }
        if (unit == 0) {
            *error = "'" + text + "' is not an offset like -10m, -1h, +30s or -2d";
            return false;
        }
        const int64_t offset = (text[0] == '-' ? -amount : amount) * unit;
        if (!CivilFromTimeT(static_cast<std::time_t>(static_cast<int64_t>(now) + offset), &t) ||
            t.year < 1900 || t.year > 9999) {
            *error = "'" + text + "' is out of range";
            return false;
        }
        *ole = OleFromCivil(t);
        return true;
    }
    if (!ParseIso(text, &t)) {
        *error = "'" + text +
                 "' is not a time: use \"YYYY-MM-DD HH:MM:SS\", \"YYYY-MM-DDTHH:MM:SS\", "
                 "\"now\" or an offset like -10m";
        return false;
    }
    *ole = OleFromCivil(t);
    return true;
}

}  // namespace tarvik_cli
