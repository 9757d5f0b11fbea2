// Items by name, and the text blocks of values: what C programs need beside
// the operations of the interface.
#include <cstring>
#include <vector>

#include "capi/capi_client.h"

namespace {

// The names, resolved to point indexes and field numbers: false when one of
// them is missing, too long for an item name slot or unknown to the
// directory (the requests then send nothing, as they do for bad indexes).
bool Resolve(ITarvikClient* client, int32_t count, const char* const* names,
             std::vector<uint32_t>* indexes, std::vector<uint32_t>* fieldNos) {
    if (count <= 0 || names == nullptr) {
        return false;
    }
    const size_t n = static_cast<size_t>(count);
    std::vector<char> slots(n * TARVIK_ITEM_NAME, '\0');
    for (size_t i = 0; i < n; ++i) {
        const char* name = names[i];
        if (name == nullptr) {
            return false;
        }
        const size_t length = std::strlen(name);
        if (length == 0 || length >= TARVIK_ITEM_NAME) {
            return false;
        }
        std::memcpy(slots.data() + i * TARVIK_ITEM_NAME, name, length);
    }
    std::vector<int32_t> pointIndexes(n, -1);
    std::vector<int32_t> numbers(n, -1);
    if (client->ResolveItemNames(count, slots.data(), pointIndexes.data(), numbers.data()) <
        count) {
        return false;
    }
    indexes->resize(n);
    fieldNos->resize(n);
    for (size_t i = 0; i < n; ++i) {
        if (pointIndexes[i] < 0 || numbers[i] < 0) {
            return false;
        }
        (*indexes)[i] = static_cast<uint32_t>(pointIndexes[i]);
        (*fieldNos)[i] = static_cast<uint32_t>(numbers[i]);
    }
    return true;
}

// The names resolved, then request(count, pointIndexes, fieldNos): -1 for a
// null client or a missing `out` array, when a name does not resolve, or when
// the name lists do not fit in memory.
template <typename F>
int32_t ByName(tarvik_client* client, int32_t count, const char* const* names, const void* out,
               F&& request) {
    if (client == nullptr || out == nullptr) {
        return -1;
    }
    try {
        std::vector<uint32_t> indexes;
        std::vector<uint32_t> fieldNos;
        if (!Resolve(client->iface, count, names, &indexes, &fieldNos)) {
            return -1;
        }
        return request(static_cast<uint32_t>(count), indexes.data(), fieldNos.data());
    } catch (...) {
        return -1;
    }
}

void Empty(VarValue* value) {
    if (value->tag == VAL_STRING && value->u.strVal != nullptr) {
        TarvikFree(value->u.strVal);
    }
    std::memset(value, 0, sizeof *value);
}

}  // namespace

extern "C" {

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_read_by_name(tarvik_client* client, int32_t count,
                                                       const char* const* names, VarValue* values) {
    return ByName(client, count, names, values,
                  [&](uint32_t n, const uint32_t* p, const uint32_t* f) {
                      return client->iface->ReadValues(n, p, f, values);
                  });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_write_by_name(tarvik_client* client, int32_t count,
                                                        const char* const* names,
                                                        const VarValue* values) {
    return ByName(client, count, names, values,
                  [&](uint32_t n, const uint32_t* p, const uint32_t* f) {
                      return client->iface->WriteValues(n, p, f, values);
                  });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_advise_by_name(tarvik_client* client, int32_t count,
                                                         const char* const* names,
                                                         const int32_t* userValues,
                                                         int32_t* handles) {
    return ByName(client, count, names, handles,
                  [&](uint32_t n, const uint32_t* p, const uint32_t* f) {
                      return client->iface->Advise(n, p, f, userValues, handles);
                  });
}

TARVIK_C_API bool TARVIK_C_CALL tarvik_value_set_text(VarValue* value, const char* text) {
    if (value == nullptr) {
        return false;
    }
    Empty(value);
    char* block = static_cast<char*>(TarvikAlloc(TARVIK_TEXT_BLOCK));
    if (block == nullptr) {
        return false;
    }
    std::memset(block, 0, TARVIK_TEXT_BLOCK);
    if (text != nullptr) {
        size_t n = 0;
        while (n < TARVIK_TEXT_MAX && text[n] != '\0') {
            ++n;
        }
        std::memcpy(block, text, n);
    }
    value->tag = VAL_STRING;
    value->u.strVal = block;
    return true;
}

TARVIK_C_API void TARVIK_C_CALL tarvik_values_clear(int32_t count, VarValue* values) {
    if (values == nullptr) {
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        Empty(&values[i]);
    }
}

}  // extern "C"
