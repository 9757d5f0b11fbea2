// Value records. Numbers are rebuilt byte by byte from the low bytes the
// sender wrote, so the result does not depend on the host's byte order for
// integers; a double is rebuilt as its 64-bit pattern and then copied, which
// assumes that doubles and integers share their byte order (true on every
// host the library targets).
#include "session/value_record.h"

#include <cstring>

#include "client/var_value.h"
#include "session/message.h"

namespace tarvik {

static_assert(sizeof(double) == sizeof(uint64_t), "double is binary64");

namespace {

constexpr uint8_t kLongWidth = 4;
constexpr uint8_t kDoubleWidth = 8;

// The low `width` bytes of a little-endian number whose record holds `len`
// bytes; bytes beyond the width are ignored, missing ones are zero.
uint64_t LowBytes(const uint8_t* src, size_t len, size_t width) {
    const size_t n = len < width ? len : width;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        v |= static_cast<uint64_t>(src[i]) << (8 * i);
    }
    return v;
}

size_t TextLengthWithin(const char* text, size_t limit) {
    size_t n = 0;
    if (text != nullptr) {
        while (n < limit && text[n] != '\0') {
            ++n;
        }
    }
    return n;
}

}  // namespace

bool DecodeValueRecord(const uint8_t* data, size_t size, size_t* pos, VarValue* out) {
    if (out == nullptr) {
        return false;
    }
    VarEmpty(out);
    if (data == nullptr || pos == nullptr || *pos >= size) {
        return false;
    }
    const size_t p = *pos;
    const uint8_t type = data[p];
    if (type != VAL_LONG && type != VAL_DOUBLE && type != VAL_STRING) {
        *pos = p + 1;  // a lone type byte: no value
        return true;
    }
    if (size - p < 2) {
        return false;
    }
    const size_t len = data[p + 1];
    if (len > size - p - 2) {
        return false;
    }
    const uint8_t* body = data + p + 2;
    switch (type) {
        case VAL_LONG:
            VarSetLong(
                out, static_cast<int32_t>(static_cast<uint32_t>(LowBytes(body, len, kLongWidth))));
            break;
        case VAL_DOUBLE: {
            const uint64_t bits = LowBytes(body, len, kDoubleWidth);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            VarSetDouble(out, d);
            break;
        }
        default:
            // Cut at 63 characters and at the first zero byte.
            if (!VarSetText(out, reinterpret_cast<const char*>(body), len)) {
                return false;
            }
            break;
    }
    *pos = p + 2 + len;
    return true;
}

bool DecodeKeyedValueRecord(const uint8_t* data, size_t size, size_t* pos, uint32_t* key,
                            VarValue* out) {
    if (out == nullptr) {
        return false;
    }
    if (data == nullptr || pos == nullptr || key == nullptr || *pos > size || size - *pos < 4) {
        VarEmpty(out);
        return false;
    }
    size_t next = *pos + 4;
    if (!DecodeValueRecord(data, size, &next, out)) {
        return false;
    }
    *key = LoadU32(data + *pos);
    *pos = next;
    return true;
}

size_t EncodeLongRecord(int32_t value, uint8_t* out) {
    out[0] = VAL_LONG;
    out[1] = kLongWidth;
    StoreI32(out + 2, value);
    return 2 + kLongWidth;
}

size_t EncodeDoubleRecord(double value, uint8_t* out) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    out[0] = VAL_DOUBLE;
    out[1] = kDoubleWidth;
    StoreU32(out + 2, static_cast<uint32_t>(bits));
    StoreU32(out + 6, static_cast<uint32_t>(bits >> 32));
    return 2 + kDoubleWidth;
}

size_t EncodeTextRecord(const char* text, size_t textLength, uint8_t* out) {
    const size_t limit =
        textLength < TARVIK_TEXT_MAX ? textLength : static_cast<size_t>(TARVIK_TEXT_MAX);
    const size_t n = TextLengthWithin(text, limit);
    out[0] = VAL_STRING;
    out[1] = static_cast<uint8_t>(n + 1);
    if (n > 0) {
        std::memcpy(out + 2, text, n);
    }
    out[2 + n] = 0;
    return 3 + n;
}

size_t EncodeValueRecord(const VarValue& v, uint8_t* out) {
    switch (v.tag) {
        case VAL_LONG:
            return EncodeLongRecord(VarLong(v), out);
        case VAL_DOUBLE:
            return EncodeDoubleRecord(VarDouble(v), out);
        case VAL_STRING:
            // A text block holds 64 bytes, so looking at 63 stays inside it.
            return EncodeTextRecord(VarText(v), TARVIK_TEXT_MAX, out);
        default:
            out[0] = VAL_NONE;
            return 1;
    }
}

}  // namespace tarvik
