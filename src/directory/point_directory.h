// The point directory that the server sends with every successful login, and
// the sixteen queries the application asks of it.
//
// Body of a successful login reply (little-endian, packed, offsets from the
// start of the body):
//   0       int32 L       the point count stands at L + 9
//   4       int16 N       number of point types
//   6       N type blocks: int32 TypeId, int32 M, M x 14-byte FieldDef
//   L + 9   int32 d       number of points
//   L + 13  d x 28-byte point records: int32 Aux, int32 TypeId, char Name[20]
// The bytes between the last type block and L + 9 are not read, and the two
// places are not checked against each other.
//
// In memory everything lives in a few large blocks (see point_directory.cpp
// for the layout). Look-ups by name ignore letter case (ASCII); every name
// handed out keeps the server's letter case. Every member expects the client's
// state lock to be held by its caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik {

// A field of a point type, as the server sent it. Name is always
// NUL-terminated: at most 11 characters.
struct FieldDef {
    uint8_t valueType;  // VarValue tag of the field's values: 1 long, 2 double, 4 string
    char name[12];
    uint8_t fieldNo;  // 0..255, the field's number within its type
};
static_assert(sizeof(FieldDef) == 14, "FieldDef is 14 bytes");

// A point of the directory. Name is always NUL-terminated: at most 19
// characters.
struct PointRecord {
    int32_t aux;  // carried for the application, no meaning to the client
    int32_t typeId;
    char name[20];
    int32_t index;    // position in the directory
    int32_t typePos;  // position of its type in the type table, -1 when unknown
};

// A point type: its fields by number and in the order of the reply.
struct PointType {
    static constexpr uint16_t kNoField = 0xFFFF;
    int32_t typeId;
    int32_t fieldCount;      // M: entries of the by-position list (duplicates included)
    uint32_t firstPosition;  // first by-position entry (a FieldNo) in the position list
    uint32_t firstSlot;      // first field slot of this type
    uint16_t byNumber[256];  // slot (relative to firstSlot) per FieldNo, or kNoField
};

class CPointDirectory {
  public:
    // Width of the name slots in caller arrays.
    static constexpr size_t kPointNameSlot = 20;
    static constexpr size_t kFieldNameSlot = 12;
    static constexpr size_t kItemNameSlot = 32;

    CPointDirectory() = default;
    ~CPointDirectory() { Free(); }
    CPointDirectory(const CPointDirectory&) = delete;
    CPointDirectory& operator=(const CPointDirectory&) = delete;

    // Replaces the directory with the one in a login reply body. A body that
    // is too short, whose counts or offset run past its end, or that cannot
    // be stored for lack of memory leaves the previous directory as it was and
    // gives false.
    // *noMemory (when given) tells a failure for lack of memory from a body
    // that does not hold a directory.
    bool Build(const uint8_t* body, size_t length, bool* noMemory = nullptr);
    // Releases every table and map: an empty directory.
    void Free();

    int32_t PointCount() const;
    // Entries of the type map (types with distinct low 16 bits of TypeId).
    int32_t TypeCount() const;
    // Bytes of heap the directory holds.
    size_t MemoryBytes() const;

    // ---- Look-ups for the rest of the client -----------------------------------
    const PointRecord* FindPoint(uint32_t index) const;
    // The type whose TypeId has the same low 16 bits (the latest such type).
    const PointType* FindType(int32_t typeId) const;
    // The field of that type with this number; null when there is none.
    const FieldDef* FindField(int32_t typeId, uint32_t fieldNo) const;
    // Field of a type by its number / by its position in the reply.
    const FieldDef* FieldByNo(const PointType& type, uint32_t fieldNo) const;
    const FieldDef* FieldAt(const PointType& type, int32_t position) const;
    // Whether (point index, FieldNo) names a field; its value type when so.
    bool IsValidItem(uint32_t pointIndex, uint32_t fieldNo, uint8_t* valueType) const;
    // Index of the point with this name (any letter case, `length` bytes, no
    // terminator needed), or -1.
    int32_t FindPointByName(const char* name, size_t length) const;
    // The field named so (any letter case) of the type with this full TypeId.
    const FieldDef* FindFieldByName(int32_t typeId, const char* name, size_t length) const;

    // ---- The queries (interface slots 14 to 29) ---------------------------------
    // Results as the interface documents them; entries that cannot be
    // resolved get -1 or an empty name. A required array that is null gives
    // -1 with nothing written; count <= 0 gives 0.
    int32_t EnumPoints(int32_t count, int32_t* indexes, char* names, int32_t* aux,
                       int32_t* typeIds) const;
    int32_t EnumTypes(int32_t count, int32_t* typeIds, int32_t* fieldCounts) const;
    int32_t GetFieldCounts(int32_t count, const int32_t* typeIds, int32_t* fieldCounts) const;
    int32_t EnumFields(int32_t typeId, int32_t count, int32_t* fieldNos, int32_t* valueTypes,
                       char* names) const;
    int32_t GetFieldNosByName(int32_t typeId, int32_t count, const char* names,
                              int32_t* fieldNos) const;
    int32_t GetFieldNamesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                              char* names) const;
    int32_t GetFieldTypesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                              int32_t* valueTypes) const;
    int32_t GetPointIndexesByName(int32_t count, const char* names, int32_t* indexes) const;
    int32_t GetPointNamesByIndex(int32_t count, const int32_t* indexes, char* names) const;
    int32_t GetPointAuxByIndex(int32_t count, const int32_t* indexes, int32_t* aux) const;
    int32_t GetPointTypesByIndex(int32_t count, const int32_t* indexes, int32_t* typeIds) const;
    int32_t ResolveItemNames(int32_t count, const char* names, int32_t* indexes,
                             int32_t* fieldNos) const;
    int32_t FormatItemNames(int32_t count, const int32_t* indexes, const int32_t* fieldNos,
                            char* names) const;
    int32_t GetItemTypesByName(int32_t count, const char* names, int32_t* valueTypes) const;

    struct Tables;

  private:
    // Splits one 32-byte item-name slot and finds its point and field.
    bool ResolveItem(const char* slot, int32_t* pointIndex, const FieldDef** field) const;

    Tables* tables_ = nullptr;
};

}  // namespace tarvik
