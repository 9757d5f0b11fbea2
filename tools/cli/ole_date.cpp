#include "ole_date.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace tarvik_cli {

using tarvik::CivilTime;

namespace {

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

// Reads the decimal digits at text[*at] while the number stays below
// `limit` (a longer run is left unread, and the caller rejects it).
int64_t ReadDigits(const std::string& text, size_t* at, int64_t limit) {
    int64_t value = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && value < limit) {
        value = value * 10 + (text[*at] - '0');
        ++*at;
    }
    return value;
}

bool Expect(const std::string& text, size_t* at, char c) {
    if (*at < text.size() && text[*at] == c) {
        ++*at;
        return true;
    }
    return false;
}

// ".fff...": the fraction of a second in milliseconds, rounded (1000 when it
// rounds up to the next second).
bool ReadFraction(const std::string& text, size_t* at, int* ms) {
    if (!Expect(text, at, '.')) {
        *ms = 0;
        return true;
    }
    double fraction = 0;
    double scale = 0.1;
    const size_t first = *at;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
        fraction += (text[*at] - '0') * scale;
        scale /= 10;
        ++*at;
    }
    *ms = static_cast<int>(std::lround(fraction * 1000));
    return *at > first;
}

// "Z", "+HH:MM", "+HHMM" or "+HH" (or with "-") at text[*at]: the offset
// from UTC in seconds.
bool ReadZone(const std::string& text, size_t* at, int* offset) {
    if (Expect(text, at, 'Z') || Expect(text, at, 'z')) {
        *offset = 0;
        return true;
    }
    const bool minus = *at < text.size() && text[*at] == '-';
    if (!Expect(text, at, '+') && !Expect(text, at, '-')) {
        return false;
    }
    int hours = 0;
    int minutes = 0;
    if (!ReadNumber(text, at, 2, &hours)) {
        return false;
    }
    if (*at < text.size()) {
        Expect(text, at, ':');
        if (!ReadNumber(text, at, 2, &minutes)) {
            return false;
        }
    }
    if (hours > 23 || minutes > 59) {
        return false;
    }
    *offset = (minus ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

// A calendar time with an optional zone. *zoned: a zone was given.
bool ParseIso(const std::string& text, CivilTime* t, bool* zoned, int* offset) {
    size_t at = 0;
    *zoned = false;
    if (!ReadNumber(text, &at, 4, &t->year) || !Expect(text, &at, '-') ||
        !ReadNumber(text, &at, 2, &t->month) || !Expect(text, &at, '-') ||
        !ReadNumber(text, &at, 2, &t->day)) {
        return false;
    }
    t->hour = t->minute = t->second = t->millisecond = 0;
    if (at < text.size()) {
        if (!(Expect(text, &at, ' ') || Expect(text, &at, 'T') || Expect(text, &at, 't')) ||
            !ReadNumber(text, &at, 2, &t->hour) || !Expect(text, &at, ':') ||
            !ReadNumber(text, &at, 2, &t->minute)) {
            return false;
        }
        if (Expect(text, &at, ':') &&
            (!ReadNumber(text, &at, 2, &t->second) || !ReadFraction(text, &at, &t->millisecond))) {
            return false;
        }
        if (at < text.size()) {
            if (!ReadZone(text, &at, offset)) {
                return false;
            }
            *zoned = true;
        }
    }
    const int ms = t->millisecond;
    t->millisecond = 0;  // checked apart: a fraction may round up to 1000
    if (at != text.size() || !tarvik::IsValidCivil(*t) || ms > 1000) {
        return false;
    }
    t->millisecond = ms;
    return true;
}

bool FromUnixMs(int64_t ms, double* ole, std::string* error, const std::string& text) {
    if (!tarvik::UnixMsToOleDate(ms, kLocalTime, ole) ||
        !(*ole >= tarvik::kOleDateMin && *ole <= tarvik::kOleDateMax)) {
        *error = "'" + text + "' is out of range";
        return false;
    }
    return true;
}

}  // namespace

// The library's own local time (src/platform), compiled into the tool.
const tarvik::LocalTimeFunctions kLocalTime = {&tarvik::plat::SecondsFromLocalTime,
                                               &tarvik::plat::LocalTimeFromSeconds};

int64_t NowUnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool ParseTime(const std::string& text, int64_t nowMs, double* ole, std::string* error) {
    if (text == "now") {
        return FromUnixMs(nowMs, ole, error, text);
    }
    if (!text.empty() && text[0] == '@') {
        // Seconds since 1970 UTC, with an optional fraction.
        size_t at = 1;
        const int64_t seconds = ReadDigits(text, &at, 1000000000000);
        int ms = 0;
        if (at == 1 || !ReadFraction(text, &at, &ms) || at != text.size()) {
            *error = "'" + text + "' is not a time in seconds since 1970 like @1765288800";
            return false;
        }
        return FromUnixMs(seconds * 1000 + ms, ole, error, text);
    }
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        size_t at = 1;
        const int64_t amount = ReadDigits(text, &at, 100000000);
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
        const int64_t offset = (text[0] == '-' ? -amount : amount) * unit * 1000;
        return FromUnixMs(nowMs + offset, ole, error, text);
    }
    CivilTime t;
    bool zoned = false;
    int offset = 0;
    if (!ParseIso(text, &t, &zoned, &offset)) {
        *error = "'" + text +
                 "' is not a time: use \"YYYY-MM-DD HH:MM:SS\" (local), with \"Z\" or an offset "
                 "like \"+01:00\" for another zone, \"@SECONDS\" since 1970, \"now\" or an "
                 "offset from now like -10m";
        return false;
    }
    const int64_t wholeMs = (tarvik::DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 +
                             t.minute * 60 + t.second) *
                            1000;
    if (zoned) {
        return FromUnixMs(wholeMs - offset * int64_t{1000} + t.millisecond, ole, error, text);
    }
    // Local time: the calendar time is the OLE date itself.
    if (t.millisecond == 1000) {
        t.millisecond = 0;
        *ole = tarvik::OleDateFromCivil(t) + 1.0 / 86400;
    } else {
        *ole = tarvik::OleDateFromCivil(t);
    }
    return true;
}

double WholeSeconds(double ole) {
    CivilTime t;
    return tarvik::CivilFromOleDate(ole, false, &t) ? tarvik::OleDateFromCivil(t) : ole;
}

bool HasMilliseconds(double ole) {
    CivilTime t;
    return tarvik::CivilFromOleDate(ole, true, &t) && t.millisecond != 0;
}

std::string FormatOle(double ole, bool withMs) {
    CivilTime t;
    if (!tarvik::CivilFromOleDate(ole, withMs, &t)) {
        return "?";
    }
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    std::string out = text;
    if (withMs) {
        std::snprintf(text, sizeof text, ".%03d", t.millisecond);
        out += text;
    }
    return out;
}

std::string FormatOleIso(double ole, bool withMs) {
    std::string out = FormatOle(ole, withMs);
    if (out == "?") {
        return out;
    }
    out[10] = 'T';
    // The offset of this local time from UTC: the calendar time read as if
    // it were UTC, less the time it is.
    CivilTime t;
    int64_t unixMs = 0;
    if (!tarvik::CivilFromOleDate(ole, false, &t) ||
        !tarvik::OleDateToUnixMs(ole, false, kLocalTime, &unixMs)) {
        return out;  // no such local time: no offset to tell
    }
    const int64_t asUtc = tarvik::DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 +
                          t.minute * 60 + t.second;
    const int64_t offset = asUtc - unixMs / 1000;
    const int64_t magnitude = offset < 0 ? -offset : offset;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+',
                  static_cast<int>(magnitude / 3600), static_cast<int>(magnitude / 60 % 60));
    return out + zone;
}

}  // namespace tarvik_cli
