// WriteValues: values of a list of items, each converted by the client to its
// field's value type before it is sent.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/client.h"
#include "requests/request_cycle.h"
#include "session/message.h"
#include "session/payloads.h"
#include "session/value_record.h"

namespace tarvik {
namespace {

// The largest encoded item: point index, FieldNo, type, length, 64 bytes.
constexpr size_t kMaxItemBytes = kItemSize + kMaxValueRecord;

// The caller's text, at most 63 characters (a longer text is cut).
void CallerText(const VarValue& v, char (&out)[TARVIK_TEXT_BLOCK]) {
    std::memset(out, 0, sizeof out);
    const char* text = v.u.strVal;
    if (text == nullptr) {
        return;
    }
    size_t n = 0;
    while (n < TARVIK_TEXT_MAX && text[n] != '\0') {
        ++n;
    }
    std::memcpy(out, text, n);
}

// A double to an int32 field: add 0.5 and round down, so halves go up
// (2.5 -> 3, -2.5 -> -2) and -2.7 becomes -3. Values outside the int32 range
// are clamped, not a number is 0.
int32_t RoundToLong(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    const double r = std::floor(v + 0.5);
    if (r >= 2147483647.0) {
        return INT32_MAX;
    }
    if (r <= -2147483648.0) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(r);
}

// The text as the C library's atol reads it (leading number, else 0), with
// the range clamped instead of undefined.
int32_t TextToLong(const char* text) {
    errno = 0;
    const long long v = std::strtoll(text, nullptr, 10);
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

double TextToDouble(const char* text) {
    return std::strtod(text, nullptr);
}

// Encodes the value for a field of type `fieldType` into out; 0 when the
// field's type is none of long, double and text.
size_t EncodeFor(uint8_t fieldType, const VarValue& v, uint8_t* out) {
    char text[TARVIK_TEXT_BLOCK];
    switch (fieldType) {
        case VAL_LONG: {
            int32_t n = 0;
            if (v.tag == VAL_LONG) {
                n = v.u.lVal;
            } else if (v.tag == VAL_DOUBLE) {
                n = RoundToLong(v.u.dblVal);
            } else if (v.tag == VAL_STRING) {
                CallerText(v, text);
                n = TextToLong(text);
            }
            return EncodeLongRecord(n, out);
        }
        case VAL_DOUBLE: {
            double d = 0.0;
            if (v.tag == VAL_LONG) {
                d = static_cast<double>(v.u.lVal);
            } else if (v.tag == VAL_DOUBLE) {
                d = v.u.dblVal;
            } else if (v.tag == VAL_STRING) {
                CallerText(v, text);
                d = TextToDouble(text);
            }
            return EncodeDoubleRecord(d, out);
        }
        case VAL_STRING: {
            std::memset(text, 0, sizeof text);
            if (v.tag == VAL_LONG) {
                std::snprintf(text, TARVIK_TEXT_MAX + 1, "%d", static_cast<int>(v.u.lVal));
            } else if (v.tag == VAL_DOUBLE) {
                std::snprintf(text, TARVIK_TEXT_MAX + 1, "%f", v.u.dblVal);
            } else if (v.tag == VAL_STRING) {
                CallerText(v, text);
            }
            text[TARVIK_TEXT_MAX] = '\0';
            return EncodeTextRecord(text, std::strlen(text), out);
        }
        default:
            return 0;
    }
}

}  // namespace

int32_t CTarvikClient::WriteValues(uint32_t count, const uint32_t* pointIndexes,
                                   const uint32_t* fieldNos, const VarValue* values) {
    return InRequest(-1, [&]() -> int32_t {
        if (count == 0 || pointIndexes == nullptr || fieldNos == nullptr || values == nullptr ||
            count > (kMaxRequestPayload - kCountSize) / kMaxItemBytes) {
            return -1;
        }
        CBlock payload(kCountSize + kMaxItemBytes * static_cast<size_t>(count));
        if (!payload.ok()) {
            return -1;
        }
        size_t used = kCountSize;
        {
            plat::CLockHold hold(stateLock_);
            for (uint32_t i = 0; i < count; ++i) {
                uint8_t fieldType = 0;
                if (!directory_.IsValidItem(pointIndexes[i], fieldNos[i], &fieldType)) {
                    return -1;
                }
                uint8_t* item = payload.data() + used;
                const size_t record = EncodeFor(fieldType, values[i], item + kItemSize);
                if (record == 0) {
                    return -1;  // a field of another type ends the payload: nothing is sent
                }
                WriteItem(item, pointIndexes[i], fieldNos[i]);
                used += kItemSize + record;
            }
        }
        StoreU32(payload.data(), count);
        Reply reply;
        if (!Exchange(CMD_WRITE_VALUES, 1, payload.data(), static_cast<uint32_t>(used), &reply)) {
            return -1;
        }
        if (reply.param == 0) {
            return -1;  // the server did not accept the write
        }
        return static_cast<int32_t>(count);
    });
}

}  // namespace tarvik
