// Dates, once for the library and the tools: OLE Automation dates (days since
// 1899-12-30 00:00 in local time, the fraction being the time of day),
// calendar times, and seconds since 1970-01-01 00:00 UTC (the wire's time).
//
// Everything here is arithmetic; the one step that needs the operating
// system, between a local calendar time and UTC, is the C library's local
// time, which decides daylight saving time. The caller hands it in: the
// library through its platform layer, the command-line tool directly.
#pragma once

#include <cstdint>
#include <ctime>

namespace tarvik {

// A calendar time to the millisecond (proleptic Gregorian).
struct CivilTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// 100-01-01 and 9999-12-31 00:00, the range of OLE dates taken.
constexpr double kOleDateMin = -657434.0;
constexpr double kOleDateMax = 2958465.0;

// Days since 1970-01-01 of a date, and back.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day);
void CivilFromDays(int64_t days, int* year, int* month, int* day);
// Whether every field is in range (the day for its month, years 100 to 9999).
bool IsValidCivil(const CivilTime& t);

// The calendar time of an OLE date, rounded to whole seconds (roundToMs
// false) or to milliseconds. The whole part counts days and the fraction is
// the time of day, also before 1899-12-30 (-1.25 is 1899-12-29 06:00). False
// for NaN and dates outside kOleDateMin .. kOleDateMax.
bool CivilFromOleDate(double date, bool roundToMs, CivilTime* out);
// The OLE date of a calendar time (the fields unchecked).
double OleDateFromCivil(const CivilTime& t);

// The C library's local time, as the caller provides it.
struct LocalTimeFunctions {
    // Seconds since 1970 UTC of a local calendar time (daylight saving time
    // decided by the C library, tm_isdst -1); false when it has none.
    bool (*secondsFromLocal)(const std::tm& local, int64_t* seconds);
    // The local calendar time of seconds since 1970 UTC.
    bool (*localFromSeconds)(int64_t seconds, std::tm* local);
};

// An OLE date taken as local time, in milliseconds since 1970 UTC (whole
// seconds when roundToMs is false). False as for CivilFromOleDate, or when
// the local time has no such time.
bool OleDateToUnixMs(double date, bool roundToMs, const LocalTimeFunctions& local, int64_t* unixMs);
// The local OLE date of a time in milliseconds since 1970 UTC; false when
// the C library has no local time for it.
bool UnixMsToOleDate(int64_t unixMs, const LocalTimeFunctions& local, double* date);

// The library's history times: the wire time of an OLE date, rounded to the
// second, and back. OleDateToWire is false for a date that is not a number or
// lies outside the years 100 to 9999, or a local time the C library cannot
// convert. Times before 1970 or after 2106 do not fit the wire and wrap
// modulo 2^32, as the wire's own arithmetic does. (history_time.cpp: through
// the platform layer's local time.)
bool OleDateToWire(double date, uint32_t* wire);
double WireToOleDate(uint32_t wire);

}  // namespace tarvik
