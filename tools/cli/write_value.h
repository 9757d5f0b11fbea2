// What `tarvik write` sends for the text a user typed. By default the text
// must be a value of the field's own type, so that nothing is converted on
// the way; with --convert it is sent as typed and the library converts it.
#ifndef TARVIK_CLI_WRITE_VALUE_H
#define TARVIK_CLI_WRITE_VALUE_H

#include <cstdint>
#include <string>

namespace tarvik_cli {

// A value to send: tag VAL_LONG, VAL_DOUBLE or VAL_STRING and its payload.
struct TypedValue {
    int tag = 0;
    int32_t l = 0;
    double d = 0;
    std::string text;
};

// A decimal number: [+-] digits [. digits] [e [+-] digits], at least one
// digit. *integer: digits only (with an optional sign).
bool IsDecimalNumber(const std::string& s, bool* integer);

// The text as a value of a field of type fieldType (VAL_LONG, VAL_DOUBLE or
// VAL_STRING). False, with the reason in *why, for an empty text, a text
// that is no number for a number field, NaN and infinities, numbers outside
// the 32-bit range or with a fraction for a long field, and texts longer than
// a text block holds.
bool ValueForField(const std::string& text, int fieldType, TypedValue* out, std::string* why);

// The text as typed, for --convert: an integer that fits 32 bits is a long,
// another number a double, anything else a text. False, with the reason, only
// for a number out of the double's range or a text too long for a text block.
bool ValueAsTyped(const std::string& text, TypedValue* out, std::string* why);

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_WRITE_VALUE_H
