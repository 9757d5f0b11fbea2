#include "client/var_value.h"

#include <cstring>

#include "client/allocator.h"

namespace tarvik {

void VarEmpty(VarValue* v) {
    if (v->tag == VAL_STRING && v->u.strVal != nullptr) {
        MemFree(v->u.strVal);
    }
    std::memset(v->u.raw, 0, sizeof v->u.raw);
    v->tag = VAL_NONE;
}

bool VarSetText(VarValue* dst, const char* text, size_t len) {
    VarEmpty(dst);
    char* block = static_cast<char*>(MemAlloc(TARVIK_TEXT_BLOCK));
    if (block == nullptr) {
        return false;
    }
    size_t n = 0;
    if (text != nullptr) {
        const size_t limit = len < TARVIK_TEXT_MAX ? len : static_cast<size_t>(TARVIK_TEXT_MAX);
        while (n < limit && text[n] != '\0') {
            ++n;
        }
        std::memcpy(block, text, n);
    }
    std::memset(block + n, 0, TARVIK_TEXT_BLOCK - n);
    dst->tag = VAL_STRING;
    dst->u.strVal = block;
    return true;
}

void VarSetLong(VarValue* dst, int32_t value) {
    VarEmpty(dst);
    dst->tag = VAL_LONG;
    dst->u.lVal = value;
}

void VarSetDouble(VarValue* dst, double value) {
    VarEmpty(dst);
    dst->tag = VAL_DOUBLE;
    dst->u.dblVal = value;
}

bool VarCopy(VarValue* dst, const VarValue* src) {
    if (dst == src) {
        return true;
    }
    switch (src->tag) {
        case VAL_LONG:
            VarSetLong(dst, src->u.lVal);
            return true;
        case VAL_DOUBLE:
            VarSetDouble(dst, src->u.dblVal);
            return true;
        case VAL_STRING:
            return VarSetText(dst, src->u.strVal, TARVIK_TEXT_MAX);
        default:
            VarEmpty(dst);
            return true;
    }
}

VarValue* VarArrayCreate(int32_t capacity) {
    if (capacity <= 0) {
        return nullptr;
    }
    auto* values = static_cast<VarValue*>(MemAllocZero(sizeof(VarValue) * capacity));
    return values;  // zero bytes are VAL_NONE with a null pointer
}

void VarArrayDestroy(VarValue* values, int32_t capacity) {
    if (values == nullptr) {
        return;
    }
    for (int32_t i = 0; i < capacity; ++i) {
        VarEmpty(&values[i]);
    }
    MemFree(values);
}

}  // namespace tarvik
