// History times: OLE Automation dates at the interface (days since
// 1899-12-30 00:00 in local time, the fraction being the time of day), whole
// seconds since 1970-01-01 00:00 UTC on the wire. Both conversions go through
// the C library's local time, which decides daylight saving time.
#pragma once

#include <cstdint>

namespace tarvik {

// The wire time of an OLE date, rounded to the second. false for a date that
// is not a number or lies outside the years 100 to 9999, or a local time the
// C library cannot convert. Times before 1970 or after 2106 do not fit the
// wire and wrap modulo 2^32, as the wire's own arithmetic does.
bool OleDateToWire(double date, uint32_t* wire);
// The OLE date of a wire time, in local time.
double WireToOleDate(uint32_t wire);

}  // namespace tarvik
