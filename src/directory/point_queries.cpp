// The sixteen directory queries as the directory answers them: per-entry
// rules and miss markers. The caller holds the client's state lock.
//
// Output entry i always belongs to input entry i; an entry that cannot be
// resolved gets -1 or an empty name and is not counted. Names in caller
// arrays are fixed-width slots (points 20 bytes, fields 12, items 32). A slot
// without a terminator within its width, or a part of an item name longer
// than a point or field name can be, is simply not found. The caller's names
// are never changed: look-ups upper-case a copy.
#include <cstring>

#include "directory/entries.h"
#include "directory/point_directory.h"

namespace tarvik {
namespace {

constexpr size_t kPointSlot = CPointDirectory::kPointNameSlot;
constexpr size_t kFieldSlot = CPointDirectory::kFieldNameSlot;
constexpr size_t kItemSlot = CPointDirectory::kItemNameSlot;

// Length of the text in a fixed-width slot, or -1 when it has no terminator.
inline int32_t SlotLength(const char* slot, size_t width) {
    const void* nul = std::memchr(slot, 0, width);
    return nul != nullptr ? static_cast<int32_t>(static_cast<const char*>(nul) - slot) : -1;
}

// Writes text into a width-byte slot, zero-padded (text always fits).
inline void WriteSlot(char* slot, size_t width, const char* text) {
    size_t n = 0;
    while (n + 1 < width && text[n] != '\0') {
        ++n;
    }
    std::memcpy(slot, text, n);
    std::memset(slot + n, 0, width - n);
}

inline void ClearSlot(char* slot, size_t width) {
    std::memset(slot, 0, width);
}

inline char* SlotAt(char* names, size_t width, int32_t i) {
    return names + width * static_cast<size_t>(i);
}
inline const char* SlotAt(const char* names, size_t width, int32_t i) {
    return names + width * static_cast<size_t>(i);
}

// A query over fields of one type by number: -1 for an unknown type, then
// entry(i, field) for each entry (field null when the type has no such field)
// as ForEachEntry runs it, with `out` the array the query fills.
template <typename Out, typename Entry>
int32_t EachFieldByNo(const CPointDirectory& directory, int32_t typeId, int32_t count,
                      const int32_t* fieldNos, Out* out, Entry&& entry) {
    const PointType* type = directory.FindType(typeId);
    if (type == nullptr) {
        return -1;
    }
    return ForEachEntry(count, fieldNos != nullptr && out != nullptr, [&](int32_t i) {
        return entry(i, directory.FieldByNo(*type, static_cast<uint32_t>(fieldNos[i])));
    });
}

// One number of each point by index (-1 for an unknown index).
int32_t PointNumbers(const CPointDirectory& directory, int32_t count, const int32_t* indexes,
                     int32_t* out, int32_t PointRecord::*number) {
    return ForEachEntry(count, indexes != nullptr && out != nullptr, [&](int32_t i) {
        const PointRecord* point = directory.FindPoint(static_cast<uint32_t>(indexes[i]));
        out[i] = point != nullptr ? point->*number : -1;
        return point != nullptr;
    });
}

}  // namespace

int32_t CPointDirectory::EnumPoints(int32_t count, int32_t* indexes, char* names, int32_t* aux,
                                    int32_t* typeIds) const {
    int32_t filled = 0;
    for (int32_t i = 0; i < count; ++i) {
        const PointRecord* point = FindPoint(static_cast<uint32_t>(i));
        PutOptional(indexes, i, point != nullptr ? point->index : -1);
        if (names != nullptr) {
            char* slot = SlotAt(names, kPointSlot, i);
            point != nullptr ? WriteSlot(slot, kPointSlot, point->name)
                             : ClearSlot(slot, kPointSlot);
        }
        PutOptional(aux, i, point != nullptr ? point->aux : -1);
        PutOptional(typeIds, i, point != nullptr ? point->typeId : -1);
        filled += point != nullptr ? 1 : 0;
    }
    return filled;
}

int32_t CPointDirectory::GetFieldCounts(int32_t count, const int32_t* typeIds,
                                        int32_t* fieldCounts) const {
    return ForEachEntry(count, typeIds != nullptr && fieldCounts != nullptr, [&](int32_t i) {
        const PointType* type = FindType(typeIds[i]);
        fieldCounts[i] = type != nullptr ? type->fieldCount : -1;
        return type != nullptr;
    });
}

int32_t CPointDirectory::EnumFields(int32_t typeId, int32_t count, int32_t* fieldNos,
                                    int32_t* valueTypes, char* names) const {
    const PointType* type = FindType(typeId);
    if (type == nullptr) {
        return -1;
    }
    int32_t written = 0;
    for (int32_t i = 0; i < count; ++i) {
        const FieldDef* field = FieldAt(*type, i);
        PutOptional(fieldNos, i, field != nullptr ? field->fieldNo : -1);
        PutOptional(valueTypes, i, field != nullptr ? field->valueType : -1);
        if (names != nullptr) {
            char* slot = SlotAt(names, kFieldSlot, i);
            field != nullptr ? WriteSlot(slot, kFieldSlot, field->name)
                             : ClearSlot(slot, kFieldSlot);
        }
        written += field != nullptr ? 1 : 0;
    }
    return written;
}

int32_t CPointDirectory::GetFieldNosByName(int32_t typeId, int32_t count, const char* names,
                                           int32_t* fieldNos) const {
    return ForEachEntry(count, names != nullptr && fieldNos != nullptr, [&](int32_t i) {
        const char* slot = SlotAt(names, kFieldSlot, i);
        const int32_t n = SlotLength(slot, kFieldSlot);
        const FieldDef* field =
            n >= 0 ? FindFieldByName(typeId, slot, static_cast<size_t>(n)) : nullptr;
        fieldNos[i] = field != nullptr ? field->fieldNo : -1;
        return field != nullptr;
    });
}

int32_t CPointDirectory::GetFieldNamesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                                           char* names) const {
    return EachFieldByNo(*this, typeId, count, fieldNos, names,
                         [&](int32_t i, const FieldDef* field) {
                             char* slot = SlotAt(names, kFieldSlot, i);
                             field != nullptr ? WriteSlot(slot, kFieldSlot, field->name)
                                              : ClearSlot(slot, kFieldSlot);
                             return field != nullptr;
                         });
}

int32_t CPointDirectory::GetFieldTypesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                                           int32_t* valueTypes) const {
    return EachFieldByNo(*this, typeId, count, fieldNos, valueTypes,
                         [&](int32_t i, const FieldDef* field) {
                             valueTypes[i] = field != nullptr ? field->valueType : -1;
                             return field != nullptr;
                         });
}

int32_t CPointDirectory::GetPointIndexesByName(int32_t count, const char* names,
                                               int32_t* indexes) const {
    return ForEachEntry(count, names != nullptr && indexes != nullptr, [&](int32_t i) {
        const char* slot = SlotAt(names, kPointSlot, i);
        const int32_t n = SlotLength(slot, kPointSlot);
        indexes[i] = n >= 0 ? FindPointByName(slot, static_cast<size_t>(n)) : -1;
        return indexes[i] >= 0;
    });
}

int32_t CPointDirectory::GetPointNamesByIndex(int32_t count, const int32_t* indexes,
                                              char* names) const {
    return ForEachEntry(count, indexes != nullptr && names != nullptr, [&](int32_t i) {
        const PointRecord* point = FindPoint(static_cast<uint32_t>(indexes[i]));
        char* slot = SlotAt(names, kPointSlot, i);
        point != nullptr ? WriteSlot(slot, kPointSlot, point->name) : ClearSlot(slot, kPointSlot);
        return point != nullptr;
    });
}

int32_t CPointDirectory::GetPointAuxByIndex(int32_t count, const int32_t* indexes,
                                            int32_t* aux) const {
    return PointNumbers(*this, count, indexes, aux, &PointRecord::aux);
}

int32_t CPointDirectory::GetPointTypesByIndex(int32_t count, const int32_t* indexes,
                                              int32_t* typeIds) const {
    return PointNumbers(*this, count, indexes, typeIds, &PointRecord::typeId);
}

bool CPointDirectory::ResolveItem(const char* slot, int32_t* pointIndex,
                                  const FieldDef** field) const {
    *pointIndex = -1;
    *field = nullptr;
    const int32_t n = SlotLength(slot, kItemSlot);
    if (n < 0) {
        return false;
    }
    // The first dot splits point from field (A.B.C: point A, field B.C);
    // without a dot the field is PV.
    const char* dot = static_cast<const char*>(std::memchr(slot, '.', static_cast<size_t>(n)));
    const size_t pointLength =
        dot != nullptr ? static_cast<size_t>(dot - slot) : static_cast<size_t>(n);
    *pointIndex = FindPointByName(slot, pointLength);
    if (*pointIndex < 0) {
        return false;
    }
    const int32_t typeId = FindPoint(static_cast<uint32_t>(*pointIndex))->typeId;
    if (dot == nullptr) {
        *field = FindFieldByName(typeId, "PV", 2);
    } else {
        *field = FindFieldByName(typeId, dot + 1, static_cast<size_t>(n) - pointLength - 1);
    }
    return *field != nullptr;
}

int32_t CPointDirectory::ResolveItemNames(int32_t count, const char* names, int32_t* indexes,
                                          int32_t* fieldNos) const {
    const bool given = names != nullptr && indexes != nullptr && fieldNos != nullptr;
    return ForEachEntry(count, given, [&](int32_t i) {
        int32_t pointIndex = -1;
        const FieldDef* field = nullptr;
        const bool ok = ResolveItem(SlotAt(names, kItemSlot, i), &pointIndex, &field);
        indexes[i] = pointIndex;
        fieldNos[i] = ok ? field->fieldNo : -1;
        return ok;
    });
}

int32_t CPointDirectory::FormatItemNames(int32_t count, const int32_t* indexes,
                                         const int32_t* fieldNos, char* names) const {
    const bool given = indexes != nullptr && fieldNos != nullptr && names != nullptr;
    return ForEachEntry(count, given, [&](int32_t i) {
        char* slot = SlotAt(names, kItemSlot, i);
        const PointRecord* point = FindPoint(static_cast<uint32_t>(indexes[i]));
        const PointType* type = point != nullptr ? FindType(point->typeId) : nullptr;
        const FieldDef* field =
            type != nullptr ? FieldByNo(*type, static_cast<uint32_t>(fieldNos[i])) : nullptr;
        if (field == nullptr) {
            ClearSlot(slot, kItemSlot);
            return false;
        }
        // At most 19 + 1 + 11 characters: always fits the 32-byte slot.
        const size_t pointLength = std::strlen(point->name);
        const size_t fieldLength = std::strlen(field->name);
        std::memcpy(slot, point->name, pointLength);
        slot[pointLength] = '.';
        std::memcpy(slot + pointLength + 1, field->name, fieldLength);
        std::memset(slot + pointLength + 1 + fieldLength, 0,
                    kItemSlot - pointLength - 1 - fieldLength);
        return true;
    });
}

int32_t CPointDirectory::GetItemTypesByName(int32_t count, const char* names,
                                            int32_t* valueTypes) const {
    return ForEachEntry(count, names != nullptr && valueTypes != nullptr, [&](int32_t i) {
        int32_t pointIndex = -1;
        const FieldDef* field = nullptr;
        const bool ok = ResolveItem(SlotAt(names, kItemSlot, i), &pointIndex, &field);
        valueTypes[i] = ok ? field->valueType : -1;
        return ok;
    });
}

}  // namespace tarvik
