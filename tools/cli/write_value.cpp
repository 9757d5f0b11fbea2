#include "write_value.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "tarvik/tarvik.h"

namespace tarvik_cli {

bool IsDecimalNumber(const std::string& s, bool* integer) {
    size_t i = 0;
    const auto skipSign = [&] {
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
    };
    // Moves past a run of digits; how many there were.
    const auto skipDigits = [&] {
        const size_t from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            ++i;
        }
        return i - from;
    };
    skipSign();
    size_t digits = skipDigits();
    *integer = i == s.size() && digits > 0;
    if (i < s.size() && s[i] == '.') {
        ++i;
        digits += skipDigits();
    }
    if (digits == 0) {
        return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        skipSign();
        if (skipDigits() == 0) {
            return false;
        }
    }
    return i == s.size();
}

namespace {

const char kRange32[] = "outside the 32-bit range -2147483648 to 2147483647";

// A finite double from a decimal number; false when it overflows or is so
// small that it would be stored as 0 (neither is what was typed).
bool ParseDouble(const std::string& text, double* out) {
    errno = 0;
    const double d = std::strtod(text.c_str(), nullptr);
    if (errno == ERANGE || !std::isfinite(d)) {
        return false;
    }
    *out = d;
    return true;
}

// A whole decimal number (IsDecimalNumber's) that fits 32 bits.
bool ParseInt32(const std::string& text, int32_t* out) {
    errno = 0;
    const long long l = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || l < INT32_MIN || l > INT32_MAX) {
        return false;
    }
    *out = static_cast<int32_t>(l);
    return true;
}

bool TextValue(const std::string& text, TypedValue* out, std::string* why) {
    if (text.size() > TARVIK_TEXT_MAX) {
        *why = "is longer than the " + std::to_string(TARVIK_TEXT_MAX) +
               " characters a text value holds";
        return false;
    }
    out->tag = VAL_STRING;
    out->text = text;
    return true;
}

}  // namespace

bool ValueForField(const std::string& text, int fieldType, TypedValue* out, std::string* why) {
    if (text.empty()) {
        *why = "is empty";
        return false;
    }
    if (fieldType == VAL_STRING) {
        return TextValue(text, out, why);
    }
    if (fieldType != VAL_LONG && fieldType != VAL_DOUBLE) {
        *why = "cannot be written: the field has no value type (" + std::to_string(fieldType) + ")";
        return false;
    }
    bool integer = false;
    if (!IsDecimalNumber(text, &integer)) {
        *why = "is not a number";
        if (text.find_first_of("nNiI") != std::string::npos) {
            *why += " (NaN and infinities are refused)";
        }
        return false;
    }
    if (fieldType == VAL_LONG && integer) {
        if (!ParseInt32(text, &out->l)) {
            *why = std::string("is ") + kRange32;
            return false;
        }
        out->tag = VAL_LONG;
        return true;
    }
    double d = 0;
    if (!ParseDouble(text, &d)) {
        *why = "is outside the range of a double";
        return false;
    }
    if (fieldType == VAL_DOUBLE) {
        out->tag = VAL_DOUBLE;
        out->d = d;
        return true;
    }
    // A long field and a number written with a point or an exponent: only a
    // whole number in range is what was typed.
    if (d != std::floor(d)) {
        *why = "has a fraction";
        return false;
    }
    if (d < INT32_MIN || d > INT32_MAX) {
        *why = std::string("is ") + kRange32;
        return false;
    }
    out->tag = VAL_LONG;
    out->l = static_cast<int32_t>(d);
    return true;
}

bool ValueAsTyped(const std::string& text, TypedValue* out, std::string* why) {
    bool integer = false;
    if (IsDecimalNumber(text, &integer)) {
        if (integer && ParseInt32(text, &out->l)) {
            out->tag = VAL_LONG;
            return true;
        }
        double d = 0;
        if (!ParseDouble(text, &d)) {
            *why = "is outside the range of a double";
            return false;
        }
        out->tag = VAL_DOUBLE;
        out->d = d;
        return true;
    }
    return TextValue(text, out, why);
}

}  // namespace tarvik_cli
