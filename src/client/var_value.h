// Rules for VarValue, the 9-byte tagged value shared with the application.
//
// Text blocks are always 64 bytes from the library's allocator, holding at
// most 63 characters and a zero. Emptying a value frees its block and leaves
// VAL_NONE; copying empties the destination first and gives a text a new
// block; any tag other than long, double and string copies as VAL_NONE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvik/tarvik.h"

namespace tarvik {

inline VarValue VarNone() {
    VarValue v{};
    v.tag = VAL_NONE;
    return v;
}

// Frees the text block (if the value is a string with a block) and sets VAL_NONE.
void VarEmpty(VarValue* v);
// dst = copy of src by the copy rule. false (and dst VAL_NONE) when a text block
// cannot be allocated.
bool VarCopy(VarValue* dst, const VarValue* src);
// dst = a new text block holding the first min(len, 63) bytes of text, cut at
// its first zero byte. false (dst VAL_NONE) when the block cannot be allocated.
bool VarSetText(VarValue* dst, const char* text, size_t len);
void VarSetLong(VarValue* dst, int32_t value);
void VarSetDouble(VarValue* dst, double value);

// The fields of a VarValue, read without alignment assumptions.
inline int32_t VarLong(const VarValue& v) {
    return v.u.lVal;
}
inline double VarDouble(const VarValue& v) {
    return v.u.dblVal;
}
inline const char* VarText(const VarValue& v) {
    return v.u.strVal;
}

// A heap array of `capacity` values, all VAL_NONE; null when out of memory.
VarValue* VarArrayCreate(int32_t capacity);
// Empties every element of the capacity, then frees the array. Null: nothing.
void VarArrayDestroy(VarValue* values, int32_t capacity);

}  // namespace tarvik
