// The library's history times: OLE dates at the interface, whole seconds
// since 1970 on the wire, through the platform layer's local time.
#include "platform/platform.h"
#include "requests/ole_date.h"

namespace tarvik {
namespace {

const LocalTimeFunctions kPlatformLocalTime = {&plat::SecondsFromLocalTime,
                                               &plat::LocalTimeFromSeconds};

}  // namespace

bool OleDateToWire(double date, uint32_t* wire) {
    int64_t ms = 0;
    if (!OleDateToUnixMs(date, false, kPlatformLocalTime, &ms)) {
        return false;
    }
    *wire = static_cast<uint32_t>(ms / 1000);
    return true;
}

double WireToOleDate(uint32_t wire) {
    double date = 0.0;
    if (!UnixMsToOleDate(static_cast<int64_t>(wire) * 1000, kPlatformLocalTime, &date)) {
        return 0.0;
    }
    return date;
}

}  // namespace tarvik
