// The payload layouts of the request and reply messages, each written down
// once: the client writes requests and reads replies with these, and the
// development server reads requests and writes replies with the same ones.
// All integers are little-endian (common/le.h). The value record itself is in
// value_record.h.
//
//   item key        uint32: point index in the low 24 bits, FieldNo in the
//                   high 8 bits
//   item list       uint32 count, then count items (uint32 point index,
//                   uint32 FieldNo); commands 17, 18, 19 and 21
//   value list      uint32 count, then count value records (replies to 17,
//                   18 and 21), or count keyed value records (key, record:
//                   replies to 20)
//   write list      uint32 count, then per item its 8 bytes and a value
//                   record (command 16)
//   history query   uint32 start, uint32 span, uint32 samples, uint32 names,
//                   then names item names of 32 bytes (commands 12 and 23)
//   history write   an item name of 32 bytes, then history records (13)
//   history record  uint32 time, uint16 status, 2 zero bytes, float32 value
//   raw history     uint32 count, then count history records (reply to 23)
//   directory       the login reply's point directory, see namespace dir
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/le.h"

namespace tarvik {

// ---- Item key ---------------------------------------------------------------

constexpr uint32_t kMaxKeyPointIndex = 0xFFFFFFu;
constexpr uint32_t kMaxKeyFieldNo = 0xFFu;

// The key of an item; false when the point index does not fit 24 bits or the
// FieldNo is above 255 (such an item could only alias another one).
inline bool PackItemKey(uint32_t pointIndex, uint32_t fieldNo, uint32_t* key) {
    if (pointIndex > kMaxKeyPointIndex || fieldNo > kMaxKeyFieldNo) {
        return false;
    }
    *key = pointIndex | (fieldNo << 24);
    return true;
}
inline uint32_t KeyPointIndex(uint32_t key) {
    return key & kMaxKeyPointIndex;
}
inline uint32_t KeyFieldNo(uint32_t key) {
    return key >> 24;
}

// ---- Counted lists ----------------------------------------------------------

constexpr size_t kCountSize = 4;
constexpr size_t kItemSize = 8;

inline void WriteItem(uint8_t* out, uint32_t pointIndex, uint32_t fieldNo) {
    StoreU32(out, pointIndex);
    StoreU32(out + 4, fieldNo);
}
inline void ReadItem(const uint8_t* in, uint32_t* pointIndex, uint32_t* fieldNo) {
    *pointIndex = LoadU32(in);
    *fieldNo = LoadU32(in + 4);
}

// Bytes of an item list of `count` items.
constexpr size_t ItemListSize(size_t count) {
    return kCountSize + kItemSize * count;
}

// Writes an item list into a buffer of at least ItemListSize(items added)
// bytes: Add each item, then Finish writes the count.
class CItemListWriter {
  public:
    explicit CItemListWriter(uint8_t* list) : list_(list) {}
    void Add(uint32_t pointIndex, uint32_t fieldNo) {
        WriteItem(list_ + ItemListSize(count_), pointIndex, fieldNo);
        ++count_;
    }
    // Writes the count; returns the list's size in bytes.
    size_t Finish() {
        StoreU32(list_, count_);
        return ItemListSize(count_);
    }
    uint32_t count() const { return count_; }

  private:
    uint8_t* list_;
    uint32_t count_ = 0;
};

// Reads an item list; Open fails when the payload is shorter than its count.
class CItemListReader {
  public:
    bool Open(const uint8_t* body, size_t length) {
        if (body == nullptr || length < kCountSize) {
            return false;
        }
        const uint32_t n = LoadU32(body);
        if (n > (length - kCountSize) / kItemSize) {
            return false;
        }
        body_ = body;
        count_ = n;
        return true;
    }
    uint32_t count() const { return count_; }
    void At(uint32_t i, uint32_t* pointIndex, uint32_t* fieldNo) const {
        ReadItem(body_ + ItemListSize(i), pointIndex, fieldNo);
    }

  private:
    const uint8_t* body_ = nullptr;
    uint32_t count_ = 0;
};

// ---- History ----------------------------------------------------------------

constexpr size_t kHistoryQuerySize = 16;
constexpr size_t kItemNameSize = 32;
constexpr size_t kHistoryRecordSize = 12;
// A raw history request: the query head and one item name.
constexpr size_t kRawHistoryQuerySize = kHistoryQuerySize + kItemNameSize;

struct HistoryQuery {
    uint32_t start = 0;
    uint32_t span = 0;  // end minus start, a 32-bit difference
    uint32_t samples = 0;
    uint32_t names = 0;
};

inline void WriteHistoryQuery(uint8_t* out, const HistoryQuery& q) {
    StoreU32(out, q.start);
    StoreU32(out + 4, q.span);
    StoreU32(out + 8, q.samples);
    StoreU32(out + 12, q.names);
}
inline HistoryQuery ReadHistoryQuery(const uint8_t* in) {
    HistoryQuery q;
    q.start = LoadU32(in);
    q.span = LoadU32(in + 4);
    q.samples = LoadU32(in + 8);
    q.names = LoadU32(in + 12);
    return q;
}

inline uint32_t FloatBits(float f) {
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}
inline float FloatAt(const uint8_t* p) {
    const uint32_t bits = LoadU32(p);
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

struct HistoryRecord {
    uint32_t time = 0;  // seconds since 1970
    uint16_t status = 0;
    float value = 0.0f;
};

inline void WriteHistoryRecord(uint8_t* out, const HistoryRecord& r) {
    StoreU32(out, r.time);
    StoreU16(out + 4, r.status);
    StoreU16(out + 6, 0);
    StoreU32(out + 8, FloatBits(r.value));
}
inline HistoryRecord ReadHistoryRecord(const uint8_t* in) {
    HistoryRecord r;
    r.time = LoadU32(in);
    r.status = LoadU16(in + 4);
    r.value = FloatAt(in + 8);
    return r;
}

// ---- Point directory (login reply) --------------------------------------------
//
//   int32 L, int16 N, then N types: int32 TypeId, int32 M, then M field
//   definitions (uint8 value type, 12-byte name, uint8 FieldNo); the server may
//   leave bytes after the types; the int32 point count d stands at L + 9,
//   followed by d point records (int32 aux, int32 TypeId, 20-byte name).
namespace dir {
constexpr size_t kTypesOffset = 6;
constexpr int64_t kCountBias = 9;
// Length of the smallest body: no type, L = 0, and the point count at 9.
constexpr size_t kMinBody = 27;

constexpr size_t kTypeHeaderSize = 8;
constexpr size_t kFieldDefSize = 14;
constexpr size_t kFieldName = 1;
constexpr size_t kFieldNameSize = 12;
constexpr size_t kFieldNoOffset = 13;
constexpr size_t kPointSize = 28;
constexpr size_t kPointName = 8;
constexpr size_t kPointNameSize = 20;

inline int32_t ReadL(const uint8_t* body) {
    return LoadI32(body);
}
inline int16_t ReadTypeCount(const uint8_t* body) {
    return LoadI16(body + 4);
}
// The offset of the point count for a body whose L is l.
inline int64_t CountOffset(int64_t l) {
    return l + kCountBias;
}

inline int32_t TypeId(const uint8_t* type) {
    return LoadI32(type);
}
inline int32_t TypeFieldCount(const uint8_t* type) {
    return LoadI32(type + 4);
}
inline uint8_t FieldValueType(const uint8_t* def) {
    return def[0];
}
inline uint8_t FieldNo(const uint8_t* def) {
    return def[kFieldNoOffset];
}
inline int32_t PointAux(const uint8_t* point) {
    return LoadI32(point);
}
inline int32_t PointTypeId(const uint8_t* point) {
    return LoadI32(point + 4);
}

// Copies at most width - 1 bytes of a name into a zero-filled slot of width.
inline void WriteName(uint8_t* slot, const char* name, size_t length, size_t width) {
    const size_t n = length < width - 1 ? length : width - 1;
    std::memset(slot, 0, width);
    std::memcpy(slot, name, n);
}

inline void WriteHead(uint8_t* body, int32_t l, int16_t typeCount) {
    StoreI32(body, l);
    StoreI16(body + 4, typeCount);
}
inline void WriteTypeHeader(uint8_t* out, int32_t typeId, int32_t fieldCount) {
    StoreI32(out, typeId);
    StoreI32(out + 4, fieldCount);
}
inline void WriteFieldDef(uint8_t* out, uint8_t valueType, const char* name, size_t nameLength,
                          uint8_t fieldNo) {
    out[0] = valueType;
    WriteName(out + kFieldName, name, nameLength, kFieldNameSize);
    out[kFieldNoOffset] = fieldNo;
}
inline void WritePoint(uint8_t* out, int32_t aux, int32_t typeId, const char* name,
                       size_t nameLength) {
    StoreI32(out, aux);
    StoreI32(out + 4, typeId);
    WriteName(out + kPointName, name, nameLength, kPointNameSize);
}
}  // namespace dir

}  // namespace tarvik
