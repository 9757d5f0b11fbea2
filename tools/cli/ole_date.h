// Dates of the command-line tool: the times a user types, local calendar times
// and OLE dates (days since 1899-12-30 00:00 local time, the fraction being the
// time of day), which the library takes and hands out.
#ifndef TARVIK_CLI_OLE_DATE_H
#define TARVIK_CLI_OLE_DATE_H

#include <ctime>
#include <string>

namespace tarvik_cli {

struct CivilTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The OLE date of a local calendar time (no check of the fields).
double OleFromCivil(const CivilTime& t);

// The local calendar time of an OLE date, rounded to the second. False for
// dates outside 1900-01-01 .. 9999-12-31 and for NaN or infinities.
bool CivilFromOle(double ole, CivilTime* out);

// The local calendar time of a time_t.
bool CivilFromTimeT(std::time_t t, CivilTime* out);

// "YYYY-MM-DD HH:MM:SS", or "?" for a date CivilFromOle rejects.
std::string FormatOle(double ole);

// Parses a time as the user gives it:
//   "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DDTHH:MM:SS" (seconds optional),
//   "YYYY-MM-DD" (midnight), all local time;
//   "now", or an offset from now: "-10m", "+30s", "-1h", "-2d".
// `now` is the current time. False with a message in *error otherwise.
bool ParseTime(const std::string& text, std::time_t now, double* ole, std::string* error);

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_OLE_DATE_H
