// The subscription table: subscribed items, their subscriptions (handle and
// user value) and each item's last received value.
//
// Items sit at positions 0 .. ItemCount()-1 without gaps. The storage is a
// list of fixed-size chunks: growth adds chunks and never moves or copies the
// items already there, so subscribing costs the same however full the table
// is. The capacity follows the growth rule below whatever the chunks hold. The key map takes an
// item's Key to its position, the handle map takes every live subscription handle to the position
// of the item that holds it; its entry count is the number of subscriptions. Every move of an item
// re-points the map entries of the moved item.
//
// The table is not locked by itself: every caller holds the client's state
// lock. Pointers to items are valid only while that lock is held, since a
// removal moves the last item into the hole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "directory/hash_map.h"
#include "session/payloads.h"
#include "tarvik/tarvik.h"

namespace tarvik {

struct AdvisePair {
    int32_t Handle;
    int32_t UserValue;
};

struct AdviseItem {
    uint32_t Key;       // point index | (FieldNo << 24)
    VarValue Value;     // the last received value; VAL_NONE until one is known
    AdvisePair* Pairs;  // the item's subscriptions, no gaps below PairCount
    int32_t PairCount;
    int32_t PairCapacity;
};

class CSubscriptionTable {
  public:
    using PositionMap = CHashMap<uint32_t, int32_t>;
    // The key map is never walked, so it puts the items of one point in the
    // point's bucket: the platform's rule (key / 16) would put sixteen
    // neighbouring points in one bucket and leave most buckets empty. A
    // point's fields are mostly subscribed together, so a bucket's nodes lie
    // side by side, and a new point finds its bucket empty.
    struct PointOfKey {
        uint32_t operator()(uint32_t key) const { return KeyPointIndex(key); }
    };
    using KeyPositionMap = CHashMap<uint32_t, int32_t, PointOfKey>;

    // The item array grows this far beyond the immediate need.
    static constexpr int32_t kItemSlack = 200;
    // Pair arrays start with this many pairs and grow by as many.
    static constexpr int32_t kPairStep = 4;
    // Items per storage chunk (a power of two).
    static constexpr int32_t kChunkShift = 8;
    static constexpr int32_t kChunkItems = 1 << kChunkShift;

    CSubscriptionTable() = default;
    ~CSubscriptionTable() { Free(); }
    CSubscriptionTable(const CSubscriptionTable&) = delete;
    CSubscriptionTable& operator=(const CSubscriptionTable&) = delete;

    // ---- Read access ----------------------------------------------------------
    int32_t ItemCount() const { return itemCount_; }
    int32_t ItemCapacity() const { return capacity_; }
    int32_t HandleCount() const { return handleMap_.GetCount(); }
    // The item at a position below ItemCount(); null otherwise.
    const AdviseItem* ItemAt(int32_t position) const;
    AdviseItem* ItemAt(int32_t position);
    // The item of a Key or of a handle (and its position); null when unknown.
    const AdviseItem* FindByKey(uint32_t key, int32_t* position = nullptr) const;
    AdviseItem* FindByKey(uint32_t key, int32_t* position = nullptr);
    // The positions of n Keys (-1 for one without an item), looked up with
    // their cache misses overlapping: a push names up to all the items.
    void FindPositions(const uint32_t* keys, int32_t n, int32_t* positions) const;
    // The item of `key` when it still sits at `position` (as a
    // FindPositions found it), else looked up afresh; null when unknown.
    const AdviseItem* FindByKeyAt(uint32_t key, int32_t position) const;
    AdviseItem* FindByKeyAt(uint32_t key, int32_t position);
    // A hint for a walk over positions: step 0 fetches the item at
    // `position`, step 1 its pairs (the item should be in by then).
    void PrefetchItem(int32_t position, int step) const;
    const AdviseItem* FindByHandle(int32_t handle, int32_t* position = nullptr) const;
    AdviseItem* FindByHandle(int32_t handle, int32_t* position = nullptr);
    // The user value of the subscription `handle` on `item`; false when the
    // item holds no such subscription.
    static bool UserValueOf(const AdviseItem& item, int32_t handle, int32_t* userValue);
    const KeyPositionMap& KeyMap() const { return keyMap_; }
    const PositionMap& HandleMap() const { return handleMap_; }

    // ---- Handles --------------------------------------------------------------
    // Advances *counter to the next handle and returns it: never 0 (after -1
    // comes 1), and never a handle that is still live in this table.
    int32_t NextHandle(int32_t* counter) const;

    // ---- Subscribing ----------------------------------------------------------
    // The number of items whose Key is not in the key map; an item listed
    // twice counts twice.
    int32_t CountNewKeys(uint32_t count, const uint32_t* pointIndexes,
                         const uint32_t* fieldNos) const;
    // Enters `count` subscriptions: per i, finds or adds the item of
    // (pointIndexes[i], fieldNos[i]), appends (handle, userValues[i] or 0),
    // replaces the item's value by a copy of values[i] (values null: empty)
    // and writes the handle to handles[i]. newCount is the caller's
    // CountNewKeys; the array grows to ItemCount() + newCount + kItemSlack when
    // it is too small, and the first growth sizes both maps to pointCount + 1
    // buckets. Handles come from *handleCounter (see NextHandle).
    // false when an item is invalid or memory is short: then the table, the
    // counter and handles[] are as they were.
    bool AddAdvise(int32_t newCount, uint32_t count, const uint32_t* pointIndexes,
                   const uint32_t* fieldNos, const int32_t* userValues, const VarValue* values,
                   int32_t* handles, int32_t pointCount, int32_t* handleCounter);

    // ---- Unsubscribing --------------------------------------------------------
    enum class Release {
        kUnknown,           // the handle map does not hold the handle
        kLastSubscription,  // the handle is its item's last subscription; nothing changed
        kDropped,           // a shared handle: dropped from its item and the handle map
    };
    // The first pass of Unadvise for one handle. For kLastSubscription, *key
    // (optional) receives the item's Key, which goes to the server.
    Release ReleaseHandle(int32_t handle, uint32_t* key);
    // Drops a handle that shares its item with others: the item's last pair
    // moves into its place, the vacated pair becomes (0, 0), the handle leaves
    // the handle map. false when the handle map does not hold it.
    bool DropSharedHandle(int32_t handle);
    // After the server confirmed: removes the handle and its item's Key from
    // the maps and closes the hole with the last item. false (nothing done)
    // when the handle is no longer in the handle map.
    bool RemoveLastSubscription(int32_t handle);
    // Empties both maps (releasing their tables) and destroys every item; the
    // table is as on a new client.
    void RemoveAll();

    // ---- Values and teardown --------------------------------------------------
    // Empties every item's last value (releasing text blocks); items and
    // subscriptions stay.
    void ClearValues();
    // Destroys every item, both maps and the item array.
    void Free() { RemoveAll(); }

    // ---- The queries of the interface -----------------------------------------
    // Null outputs are skipped; a null input array with count > 0 gives -1.
    // Point indexes or FieldNos outside 24 bits / 0..255 name no item.
    int32_t GetAdviseInfoByHandle(int32_t count, const int32_t* handles, int32_t* pointIndexes,
                                  int32_t* fieldNos, int32_t* userValues) const;
    int32_t EnumAdviseItems(int32_t count, int32_t* pointIndexes, int32_t* fieldNos) const;
    int32_t EnumAdviseHandles(int32_t count, int32_t* handles, int32_t* userValues) const;
    int32_t GetAdviseCounts(int32_t count, const int32_t* pointIndexes, const int32_t* fieldNos,
                            int32_t* counts) const;
    int32_t GetAdviseHandles(int32_t pointIndex, int32_t fieldNo, int32_t count, int32_t* handles,
                             int32_t* userValues) const;
    // values[] must hold valid VarValues: each is emptied first. An entry whose
    // text copy cannot be allocated stays empty and is not counted.
    int32_t GetValuesByHandle(int32_t count, const int32_t* handles, VarValue* values) const;
    int32_t GetValuesByItem(int32_t count, const int32_t* pointIndexes, const int32_t* fieldNos,
                            VarValue* values) const;

  private:
    struct Entry;
    struct Growth;

    // The item of a point and field given by the caller; null when unknown.
    const AdviseItem* FindByItem(int32_t pointIndex, int32_t fieldNo) const;
    template <typename Map>
    int32_t PositionOf(const Map& map, uint32_t key) const;
    AdviseItem& Slot(int32_t position) const {
        return chunks_[position >> kChunkShift][position & (kChunkItems - 1)];
    }
    // Adds chunks until `capacity` items fit; the items in use stay where they
    // are. *growth records what to take back; false (nothing changed) when
    // memory is short.
    bool Grow(int32_t capacity, Growth* growth);
    // Takes a growth back (its chunks hold no live item) or, with keep, only
    // releases what it replaced.
    void EndGrowth(const Growth& growth, bool keep);
    static void DestroyChunk(AdviseItem* chunk);
    bool AddOne(Entry& entry, uint32_t key, int32_t userValue, int32_t* handleCounter);
    void Undo(Entry* entries, uint32_t done);
    // Puts back the pair array that a step replaced.
    static void RestorePairs(AdviseItem& item, Entry& entry);
    // Moves the item at `from` into the hole at `to`, re-pointing its map entries.
    void MoveItem(int32_t from, int32_t to);
    static void ClearItem(AdviseItem& item);

    AdviseItem** chunks_ = nullptr;  // chunkSlots_ entries, the first chunkCount_ in use
    int32_t chunkSlots_ = 0;
    int32_t chunkCount_ = 0;
    int32_t itemCount_ = 0;
    int32_t capacity_ = 0;
    KeyPositionMap keyMap_;
    PositionMap handleMap_;
};

}  // namespace tarvik
