// Building the point directory from a login reply, and the look-ups the rest
// of the client makes in it.
//
// Memory layout (one block each, from the library allocator):
//   points     d PointRecord (36 bytes) in index order
//   pointMap   open-addressing table, a power of two >= 2d entries of
//              {hash, index + 1}; the key is the upper-case name, compared
//              against the record's own name, so no name is stored twice
//   types      N PointType, each with its 256-entry by-number list of
//              uint16 slot numbers (relative to the type's first slot)
//   positions  sum of M bytes: the FieldNo of every FieldDef in reply order;
//              a type's by-position entry j is positions[firstPosition + j]
//   slots      one FieldDef per distinct (type, FieldNo); a later FieldDef
//              with the same FieldNo overwrites the slot, so both of its
//              by-position entries lead to the same slot
//   fieldMap   open-addressing table, a power of two >= 2 x sum of M entries of
//              {hash, slot + 1, TypeId, upper-case name}: the key is the pair
//              (full TypeId, upper-case field name), the same key as the text
//              "%d.%s" (a decimal number never holds a dot)
//   typeMap    CHashMap from the low 16 bits of TypeId to the type's position,
//              table size N + 1: its walk order is the one EnumTypes reports.
//              The same map answers both the by-number and the by-position
//              views of a type, which always hold the same keys.
// A later entry with the same key replaces the earlier one in every map.
#include "directory/point_directory.h"

#include <cstring>
#include <new>

#include "client/allocator.h"
#include "common/prefetch.h"
#include "directory/hash_map.h"
#include "session/payloads.h"

namespace tarvik {
namespace {

constexpr size_t kMinBody = dir::kMinBody;
constexpr size_t kTypeHeader = dir::kTypeHeaderSize;
constexpr size_t kFieldDefSize = dir::kFieldDefSize;
constexpr size_t kPointSize = dir::kPointSize;
constexpr size_t kPointNameMax = dir::kPointNameSize - 1;
constexpr size_t kFieldNameMax = dir::kFieldNameSize - 1;

inline char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

// Hash of an upper-case text (FNV-1a with a final mix).
inline uint32_t HashText(const char* text, size_t n, uint32_t seed) {
    uint32_t h = 2166136261u ^ seed;
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ static_cast<uint8_t>(text[i])) * 16777619u;
    }
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

inline uint32_t FieldSeed(int32_t typeId) {
    return static_cast<uint32_t>(typeId) * 0x9E3779B1u;
}

// Length of a name in a fixed-width wire slot, cut at `max` characters.
inline size_t CutLength(const uint8_t* p, size_t max) {
    const void* nul = std::memchr(p, 0, max);
    return nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : max;
}

// Upper-cases n bytes of src into dst.
inline void UpperCopy(char* dst, const char* src, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        dst[i] = Upper(src[i]);
    }
}

// Whether the stored name, upper-cased, equals the n-byte upper-case key.
inline bool EqualsUpper(const char* stored, const char* key, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (Upper(stored[i]) != key[i]) {
            return false;
        }
    }
    return stored[n] == '\0';
}

// Entries of an open-addressing table for n keys (load at most one half).
inline uint32_t TableSize(uint64_t n) {
    uint64_t size = 4;
    while (size < 2 * n) {
        size <<= 1;
    }
    return static_cast<uint32_t>(size);
}

struct PointSlot {
    uint32_t hash;
    uint32_t indexPlus1;  // 0: empty
};

struct FieldSlot {
    uint32_t hash;
    uint32_t slotPlus1;  // 0: empty
    int32_t typeId;
    char key[12];  // upper-case field name, NUL-terminated
};

// What the checks of a body found, for the build that follows.
struct Layout {
    int64_t pointOffset;  // first point record
    int32_t typeCount;
    int32_t pointCount;
    uint64_t positions;  // sum of M
    uint64_t slots;      // sum of min(M, 256)
};

// Checks every count and offset against the body before anything is built.
bool CheckLayout(const uint8_t* body, size_t length, Layout* out) {
    if (body == nullptr || length < kMinBody) {
        return false;
    }
    const int64_t len = static_cast<int64_t>(length);
    const int64_t l = dir::ReadL(body);
    const int32_t n = dir::ReadTypeCount(body);
    if (n < 0) {
        return false;
    }
    int64_t at = static_cast<int64_t>(dir::kTypesOffset);
    uint64_t positions = 0;
    uint64_t slots = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (at + static_cast<int64_t>(kTypeHeader) > len) {
            return false;
        }
        const int64_t m = dir::TypeFieldCount(body + at);
        if (m < 0) {
            return false;
        }
        at += static_cast<int64_t>(kTypeHeader) + static_cast<int64_t>(kFieldDefSize) * m;
        if (at > len) {
            return false;
        }
        positions += static_cast<uint64_t>(m);
        slots += static_cast<uint64_t>(m < 256 ? m : 256);
    }
    const int64_t countAt = dir::CountOffset(l);
    if (countAt < 0 || countAt + 4 > len) {
        return false;
    }
    const int64_t d = LoadI32(body + countAt);
    if (d < 0 || countAt + 4 + static_cast<int64_t>(kPointSize) * d > len) {
        return false;
    }
    if (positions > (uint64_t{1} << 30) || static_cast<uint64_t>(d) > (uint64_t{1} << 30)) {
        return false;  // more than any table here can number
    }
    out->pointOffset = countAt + 4;
    out->typeCount = n;
    out->pointCount = static_cast<int32_t>(d);
    out->positions = positions;
    out->slots = slots;
    return true;
}

}  // namespace

struct CPointDirectory::Tables {
    explicit Tables(int32_t typeBlock) : typeMap(typeBlock) {}
    ~Tables() {
        MemFree(points);
        MemFree(pointMap);
        MemFree(types);
        MemFree(positions);
        MemFree(slots);
        MemFree(fieldMap);
    }
    Tables(const Tables&) = delete;
    Tables& operator=(const Tables&) = delete;

    // n bytes from the library allocator, counted; false when memory is short.
    template <typename T>
    bool Allocate(T** p, uint64_t n, bool zero) {
        if (n == 0) {
            *p = nullptr;
            return true;
        }
        const uint64_t bytes = n * sizeof(T);
        if (bytes > static_cast<uint64_t>(SIZE_MAX / 2)) {
            return false;
        }
        void* block =
            zero ? MemAllocZero(static_cast<size_t>(bytes)) : MemAlloc(static_cast<size_t>(bytes));
        *p = static_cast<T*>(block);
        memoryBytes += static_cast<size_t>(bytes);
        return block != nullptr;
    }

    // Stores point `index` under its upper-case name (insert-or-replace).
    void InsertPoint(const char* key, size_t n, uint32_t hash, int32_t index) {
        const uint32_t mask = pointMapSize - 1;
        for (uint32_t at = hash & mask;; at = (at + 1) & mask) {
            PointSlot& slot = pointMap[at];
            if (slot.indexPlus1 == 0) {
                slot.hash = hash;
                slot.indexPlus1 = static_cast<uint32_t>(index) + 1;
                return;
            }
            if (slot.hash == hash && EqualsUpper(points[slot.indexPlus1 - 1].name, key, n)) {
                slot.indexPlus1 = static_cast<uint32_t>(index) + 1;
                return;
            }
        }
    }

    int32_t LookupPoint(const char* key, size_t n) const {
        if (pointMap == nullptr) {
            return -1;
        }
        const uint32_t hash = HashText(key, n, 0);
        const uint32_t mask = pointMapSize - 1;
        for (uint32_t at = hash & mask;; at = (at + 1) & mask) {
            const PointSlot& slot = pointMap[at];
            if (slot.indexPlus1 == 0) {
                return -1;
            }
            if (slot.hash == hash && EqualsUpper(points[slot.indexPlus1 - 1].name, key, n)) {
                return static_cast<int32_t>(slot.indexPlus1 - 1);
            }
        }
    }

    // Stores field slot `slotIndex` under (typeId, upper-case name).
    void InsertField(int32_t typeId, const char* key, size_t n, uint32_t slotIndex) {
        const uint32_t hash = HashText(key, n, FieldSeed(typeId));
        const uint32_t mask = fieldMapSize - 1;
        for (uint32_t at = hash & mask;; at = (at + 1) & mask) {
            FieldSlot& slot = fieldMap[at];
            if (slot.slotPlus1 == 0) {
                slot.hash = hash;
                slot.slotPlus1 = slotIndex + 1;
                slot.typeId = typeId;
                std::memcpy(slot.key, key, n);
                std::memset(slot.key + n, 0, sizeof(slot.key) - n);
                return;
            }
            if (slot.hash == hash && slot.typeId == typeId && std::memcmp(slot.key, key, n) == 0 &&
                slot.key[n] == '\0') {
                slot.slotPlus1 = slotIndex + 1;
                return;
            }
        }
    }

    const FieldDef* LookupField(int32_t typeId, const char* key, size_t n) const {
        if (fieldMap == nullptr) {
            return nullptr;
        }
        const uint32_t hash = HashText(key, n, FieldSeed(typeId));
        const uint32_t mask = fieldMapSize - 1;
        for (uint32_t at = hash & mask;; at = (at + 1) & mask) {
            const FieldSlot& slot = fieldMap[at];
            if (slot.slotPlus1 == 0) {
                return nullptr;
            }
            if (slot.hash == hash && slot.typeId == typeId && std::memcmp(slot.key, key, n) == 0 &&
                slot.key[n] == '\0') {
                return &slots[slot.slotPlus1 - 1];
            }
        }
    }

    int32_t TypePosition(int32_t typeId) const {
        int32_t pos = -1;
        return typeMap.Lookup(static_cast<uint16_t>(typeId), &pos) ? pos : -1;
    }

    PointRecord* points = nullptr;
    int32_t pointCount = 0;
    PointSlot* pointMap = nullptr;
    uint32_t pointMapSize = 0;
    PointType* types = nullptr;
    int32_t typeCount = 0;
    uint8_t* positions = nullptr;
    FieldDef* slots = nullptr;
    FieldSlot* fieldMap = nullptr;
    uint32_t fieldMapSize = 0;
    CHashMap<uint16_t, int32_t> typeMap;
    size_t memoryBytes = sizeof(Tables);
};

namespace {

void DestroyTables(CPointDirectory::Tables* t) {
    if (t != nullptr) {
        t->~Tables();
        MemFree(t);
    }
}

}  // namespace

bool CPointDirectory::Build(const uint8_t* body, size_t length, bool* noMemory) {
    if (noMemory != nullptr) {
        *noMemory = false;
    }
    Layout layout{};
    if (!CheckLayout(body, length, &layout)) {
        return false;
    }
    // From here on only memory can be short.
    void* raw = MemAlloc(sizeof(Tables));
    if (raw == nullptr) {
        if (noMemory != nullptr) {
            *noMemory = true;
        }
        return false;
    }
    // The type map's nodes come in one block for all types.
    Tables* t = new (raw) Tables(layout.typeCount > 0 ? layout.typeCount : 1);
    const uint32_t pointMapSize = TableSize(static_cast<uint64_t>(layout.pointCount));
    const uint32_t fieldMapSize = TableSize(layout.positions);
    bool ok = t->Allocate(&t->points, static_cast<uint64_t>(layout.pointCount), false) &&
              t->Allocate(&t->types, static_cast<uint64_t>(layout.typeCount), false) &&
              t->Allocate(&t->positions, layout.positions, false) &&
              t->Allocate(&t->slots, layout.slots, false);
    if (ok && layout.pointCount > 0) {
        ok = t->Allocate(&t->pointMap, pointMapSize, true);
        t->pointMapSize = pointMapSize;
    }
    if (ok && layout.positions > 0) {
        ok = t->Allocate(&t->fieldMap, fieldMapSize, true);
        t->fieldMapSize = fieldMapSize;
    }
    if (ok) {
        ok = t->typeMap.InitHashTable(static_cast<uint32_t>(layout.typeCount) + 1);
        t->memoryBytes += sizeof(void*) * (static_cast<size_t>(layout.typeCount) + 1);
    }

    // Types and their fields.
    size_t at = dir::kTypesOffset;
    uint32_t positionsUsed = 0;
    uint32_t slotsUsed = 0;
    for (int32_t i = 0; ok && i < layout.typeCount; ++i) {
        PointType& type = t->types[i];
        type.typeId = dir::TypeId(body + at);
        type.fieldCount = dir::TypeFieldCount(body + at);
        type.firstPosition = positionsUsed;
        type.firstSlot = slotsUsed;
        for (uint16_t& entry : type.byNumber) {
            entry = PointType::kNoField;
        }
        at += kTypeHeader;
        uint16_t localSlots = 0;
        for (int32_t j = 0; j < type.fieldCount; ++j, at += kFieldDefSize) {
            const uint8_t* def = body + at;
            const uint8_t fieldNo = dir::FieldNo(def);
            uint16_t& local = type.byNumber[fieldNo];
            if (local == PointType::kNoField) {
                local = localSlots++;
                ++slotsUsed;
            }
            const uint32_t slotIndex = type.firstSlot + local;
            FieldDef& slot = t->slots[slotIndex];
            const size_t n = CutLength(def + dir::kFieldName, kFieldNameMax);
            slot.valueType = dir::FieldValueType(def);
            std::memcpy(slot.name, def + dir::kFieldName, n);
            std::memset(slot.name + n, 0, sizeof(slot.name) - n);
            slot.fieldNo = fieldNo;
            t->positions[positionsUsed++] = fieldNo;
            char key[kFieldNameMax + 1];
            UpperCopy(key, slot.name, n);
            t->InsertField(type.typeId, key, n, slotIndex);
        }
        ok = t->typeMap.Set(static_cast<uint16_t>(type.typeId), i);
    }
    t->typeCount = layout.typeCount;
    if (ok) {
        t->memoryBytes += static_cast<size_t>(layout.typeCount) * (3 * sizeof(void*));
    }

    // Points, in blocks: the map slots of a whole block are fetched ahead, so
    // that the cache misses of a large map overlap instead of queueing.
    if (ok) {
        constexpr int32_t kBlock = 16;
        struct Pending {
            uint32_t hash;
            uint32_t length;
            char key[kPointNameMax + 1];
        };
        Pending pending[kBlock];
        const uint8_t* record = body + layout.pointOffset;
        int32_t lastTypeId = 0;
        int32_t lastTypePos = t->TypePosition(0);
        for (int32_t first = 0; first < layout.pointCount; first += kBlock) {
            const int32_t end =
                layout.pointCount - first < kBlock ? layout.pointCount : first + kBlock;
            for (int32_t k = first; k < end; ++k, record += kPointSize) {
                PointRecord& point = t->points[k];
                point.aux = dir::PointAux(record);
                point.typeId = dir::PointTypeId(record);
                const size_t n = CutLength(record + dir::kPointName, kPointNameMax);
                std::memcpy(point.name, record + dir::kPointName, n);
                std::memset(point.name + n, 0, sizeof(point.name) - n);
                point.index = k;
                if (point.typeId != lastTypeId) {
                    lastTypeId = point.typeId;
                    lastTypePos = t->TypePosition(point.typeId);
                }
                point.typePos = lastTypePos;
                Pending& p = pending[k - first];
                UpperCopy(p.key, point.name, n);
                p.length = static_cast<uint32_t>(n);
                p.hash = HashText(p.key, n, 0);
                PrefetchForWrite(&t->pointMap[p.hash & (t->pointMapSize - 1)]);
            }
            for (int32_t k = first; k < end; ++k) {
                const Pending& p = pending[k - first];
                t->InsertPoint(p.key, p.length, p.hash, k);
            }
        }
        t->pointCount = layout.pointCount;
    }

    if (!ok) {
        DestroyTables(t);
        if (noMemory != nullptr) {
            *noMemory = true;
        }
        return false;
    }
    DestroyTables(tables_);
    tables_ = t;
    return true;
}

void CPointDirectory::Free() {
    DestroyTables(tables_);
    tables_ = nullptr;
}

int32_t CPointDirectory::PointCount() const {
    return tables_ != nullptr ? tables_->pointCount : 0;
}

int32_t CPointDirectory::TypeCount() const {
    return tables_ != nullptr ? tables_->typeMap.GetCount() : 0;
}

size_t CPointDirectory::MemoryBytes() const {
    return tables_ != nullptr ? tables_->memoryBytes : 0;
}

const PointRecord* CPointDirectory::FindPoint(uint32_t index) const {
    if (tables_ == nullptr || index >= static_cast<uint32_t>(tables_->pointCount)) {
        return nullptr;
    }
    return &tables_->points[index];
}

const PointType* CPointDirectory::FindType(int32_t typeId) const {
    if (tables_ == nullptr) {
        return nullptr;
    }
    const int32_t pos = tables_->TypePosition(typeId);
    return pos >= 0 ? &tables_->types[pos] : nullptr;
}

const FieldDef* CPointDirectory::FieldByNo(const PointType& type, uint32_t fieldNo) const {
    if (fieldNo >= 256) {
        return nullptr;
    }
    const uint16_t local = type.byNumber[fieldNo];
    return local != PointType::kNoField ? &tables_->slots[type.firstSlot + local] : nullptr;
}

const FieldDef* CPointDirectory::FieldAt(const PointType& type, int32_t position) const {
    if (position < 0 || position >= type.fieldCount) {
        return nullptr;
    }
    return FieldByNo(type,
                     tables_->positions[type.firstPosition + static_cast<uint32_t>(position)]);
}

const FieldDef* CPointDirectory::FindField(int32_t typeId, uint32_t fieldNo) const {
    const PointType* type = FindType(typeId);
    return type != nullptr ? FieldByNo(*type, fieldNo) : nullptr;
}

bool CPointDirectory::IsValidItem(uint32_t pointIndex, uint32_t fieldNo, uint8_t* valueType) const {
    const PointRecord* point = FindPoint(pointIndex);
    if (point == nullptr || point->typePos < 0 || fieldNo >= 256) {
        return false;
    }
    const FieldDef* field = FieldByNo(tables_->types[point->typePos], fieldNo);
    if (field == nullptr) {
        return false;
    }
    if (valueType != nullptr) {
        *valueType = field->valueType;
    }
    return true;
}

int32_t CPointDirectory::FindPointByName(const char* name, size_t length) const {
    if (tables_ == nullptr || name == nullptr) {
        return -1;
    }
    const void* nul = std::memchr(name, 0, length);
    if (nul != nullptr) {
        length = static_cast<size_t>(static_cast<const char*>(nul) - name);
    }
    if (length > kPointNameMax) {
        return -1;
    }
    char key[kPointNameMax + 1];
    UpperCopy(key, name, length);
    return tables_->LookupPoint(key, length);
}

const FieldDef* CPointDirectory::FindFieldByName(int32_t typeId, const char* name,
                                                 size_t length) const {
    if (tables_ == nullptr || name == nullptr) {
        return nullptr;
    }
    const void* nul = std::memchr(name, 0, length);
    if (nul != nullptr) {
        length = static_cast<size_t>(static_cast<const char*>(nul) - name);
    }
    if (length > kFieldNameMax) {
        return nullptr;
    }
    char key[kFieldNameMax + 1];
    UpperCopy(key, name, length);
    return tables_->LookupField(typeId, key, length);
}

int32_t CPointDirectory::EnumTypes(int32_t count, int32_t* typeIds, int32_t* fieldCounts) const {
    if (count <= 0 || tables_ == nullptr) {
        return 0;
    }
    // The walk order of the type map: ascending bucket, the latest insertion
    // first within a bucket.
    int32_t written = 0;
    for (auto pos = tables_->typeMap.GetStartPosition(); pos && written < count;) {
        uint16_t key = 0;
        int32_t typePos = 0;
        tables_->typeMap.GetNextAssoc(pos, key, typePos);
        if (typeIds != nullptr) {
            typeIds[written] = key;
        }
        if (fieldCounts != nullptr) {
            fieldCounts[written] = tables_->types[typePos].fieldCount;
        }
        ++written;
    }
    return written;
}

}  // namespace tarvik
