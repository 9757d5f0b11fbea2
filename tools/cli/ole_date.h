// Times of the command-line tool: what a user types, and what the tool
// prints, over the library's one date module (src/requests/ole_date.h), so
// that the tool and the library convert alike.
#ifndef TARVIK_CLI_OLE_DATE_H
#define TARVIK_CLI_OLE_DATE_H

#include <cstdint>
#include <string>

#include "requests/ole_date.h"

namespace tarvik_cli {

// The C library's local time (localtime_r, mktime).
extern const tarvik::LocalTimeFunctions kLocalTime;

// Milliseconds since 1970 UTC now.
int64_t NowUnixMs();

// Parses a time as the user gives it, into a local OLE date:
//   "YYYY-MM-DD HH:MM:SS[.fff]", "YYYY-MM-DDTHH:MM[:SS[.fff]]", "YYYY-MM-DD":
//     local time, or in UTC with "Z", or at an offset "+01:00", "-0500", "+01";
//   "@SECONDS[.fff]": seconds since 1970-01-01 00:00 UTC;
//   "now", or an offset from now: "-10m", "+30s", "-1h", "-2d".
// nowMs is the time now. False with a message in *error otherwise.
bool ParseTime(const std::string& text, int64_t nowMs, double* ole, std::string* error);

// An OLE date to the whole second (as the wire carries it).
double WholeSeconds(double ole);
// Whether an OLE date falls between whole seconds (to the millisecond).
bool HasMilliseconds(double ole);

// Local time "YYYY-MM-DD HH:MM:SS", with ".mmm" when withMs; "?" for a date
// out of range.
std::string FormatOle(double ole, bool withMs);
// ISO 8601 with the local offset: "YYYY-MM-DDTHH:MM:SS[.mmm]+01:00"
// ("+00:00" where local time is UTC); "?" for a date out of range.
std::string FormatOleIso(double ole, bool withMs);

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_OLE_DATE_H
