// The subscription table: growth, subscribing, unsubscribing and the queries.
//
// Subscribing is all-or-nothing. Every block it may need that can be made
// ahead (value copies, the grown item array) is made before the table
// changes; the rest (map nodes, pair arrays) is made step by step with a
// journal, and a failure undoes the steps already taken. Growth only adds
// storage chunks, which a failure releases again; a pair array that a step
// replaces is kept until the call has succeeded.
#include "directory/subscription_table.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "client/allocator.h"
#include "client/var_value.h"
#include "directory/entries.h"
#include "session/payloads.h"

namespace tarvik {

namespace {
constexpr int64_t kMaxItems = INT32_MAX;
}  // namespace

// One subscription of an AddAdvise call: the prepared copy of its value
// (after the step: the item's previous value), and what the step did.
struct CSubscriptionTable::Entry {
    VarValue value;
    int32_t position;
    int32_t handle;
    bool created;
    bool replacedPairs;    // the step gave the item a larger pair array
    AdvisePair* oldPairs;  // the array it replaced
    int32_t oldPairCapacity;
};

void CSubscriptionTable::RestorePairs(AdviseItem& item, Entry& entry) {
    if (entry.replacedPairs) {
        MemFree(item.Pairs);
        item.Pairs = entry.oldPairs;
        item.PairCapacity = entry.oldPairCapacity;
        entry.replacedPairs = false;
        entry.oldPairs = nullptr;
    }
}

// What one growth changed.
struct CSubscriptionTable::Growth {
    AdviseItem** chunks;  // the chunk list before
    int32_t chunkSlots;
    int32_t chunkCount;
    int32_t capacity;
};

// ---- Keys -----------------------------------------------------------------------

const AdviseItem* CSubscriptionTable::FindByItem(int32_t pointIndex, int32_t fieldNo) const {
    uint32_t key = 0;
    if (pointIndex < 0 || fieldNo < 0 ||
        !PackItemKey(static_cast<uint32_t>(pointIndex), static_cast<uint32_t>(fieldNo), &key)) {
        return nullptr;
    }
    return FindByKey(key);
}

// ---- Read access ----------------------------------------------------------------

template <typename Map>
int32_t CSubscriptionTable::PositionOf(const Map& map, uint32_t key) const {
    int32_t position = -1;
    if (!map.Lookup(key, &position) || position < 0 || position >= itemCount_) {
        return -1;
    }
    return position;
}

const AdviseItem* CSubscriptionTable::ItemAt(int32_t position) const {
    if (position < 0 || position >= itemCount_) {
        return nullptr;
    }
    return &Slot(position);
}

AdviseItem* CSubscriptionTable::ItemAt(int32_t position) {
    return const_cast<AdviseItem*>(static_cast<const CSubscriptionTable*>(this)->ItemAt(position));
}

const AdviseItem* CSubscriptionTable::FindByKey(uint32_t key, int32_t* position) const {
    const int32_t at = PositionOf(keyMap_, key);
    if (position != nullptr) {
        *position = at;
    }
    return at < 0 ? nullptr : &Slot(at);
}

AdviseItem* CSubscriptionTable::FindByKey(uint32_t key, int32_t* position) {
    return const_cast<AdviseItem*>(
        static_cast<const CSubscriptionTable*>(this)->FindByKey(key, position));
}

void CSubscriptionTable::FindPositions(const uint32_t* keys, int32_t n, int32_t* positions) const {
    // While key j is looked up, the map fetches key j + 3d's bucket, key
    // j + 2d's first node and key j + d's second: a chain is two nodes long
    // on average when there are four items for every bucket.
    constexpr int32_t kAhead = 8;
    constexpr int kSteps = 3;
    for (int32_t j = -kSteps * kAhead; j < n; ++j) {
        for (int step = 0; step < kSteps; ++step) {
            const int32_t ahead = j + (kSteps - step) * kAhead;
            if (ahead >= 0 && ahead < n) {
                keyMap_.Prefetch(keys[ahead], step);
            }
        }
        if (j >= 0) {
            positions[j] = PositionOf(keyMap_, keys[j]);
        }
    }
}

void CSubscriptionTable::PrefetchItem(int32_t position, int step) const {
    if (position >= 0 && position < itemCount_) {
        const AdviseItem& item = Slot(position);
        PrefetchForRead(step == 0 ? static_cast<const void*>(&item)
                                  : static_cast<const void*>(item.Pairs));
    }
}

const AdviseItem* CSubscriptionTable::FindByKeyAt(uint32_t key, int32_t position) const {
    // Keys are unique among the items, so an item with this key is the one.
    const AdviseItem* item = ItemAt(position);
    return item != nullptr && item->Key == key ? item : FindByKey(key);
}

AdviseItem* CSubscriptionTable::FindByKeyAt(uint32_t key, int32_t position) {
    return const_cast<AdviseItem*>(
        static_cast<const CSubscriptionTable*>(this)->FindByKeyAt(key, position));
}

const AdviseItem* CSubscriptionTable::FindByHandle(int32_t handle, int32_t* position) const {
    const int32_t at = PositionOf(handleMap_, static_cast<uint32_t>(handle));
    if (position != nullptr) {
        *position = at;
    }
    return at < 0 ? nullptr : &Slot(at);
}

AdviseItem* CSubscriptionTable::FindByHandle(int32_t handle, int32_t* position) {
    return const_cast<AdviseItem*>(
        static_cast<const CSubscriptionTable*>(this)->FindByHandle(handle, position));
}

bool CSubscriptionTable::UserValueOf(const AdviseItem& item, int32_t handle, int32_t* userValue) {
    for (int32_t k = 0; k < item.PairCount; ++k) {
        if (item.Pairs[k].Handle == handle) {
            if (userValue != nullptr) {
                *userValue = item.Pairs[k].UserValue;
            }
            return true;
        }
    }
    return false;
}

// ---- Handles --------------------------------------------------------------------

int32_t CSubscriptionTable::NextHandle(int32_t* counter) const {
    int32_t handle = *counter;
    // After about four billion subscriptions the counter comes round again; a
    // handle still in use is passed over so that no two subscriptions share one.
    do {
        handle = handle == INT32_MAX ? INT32_MIN : handle + 1;
        if (handle == 0) {
            handle = 1;
        }
    } while (handleMap_.Lookup(static_cast<uint32_t>(handle), nullptr));
    *counter = handle;
    return handle;
}

// ---- Subscribing ----------------------------------------------------------------

int32_t CSubscriptionTable::CountNewKeys(uint32_t count, const uint32_t* pointIndexes,
                                         const uint32_t* fieldNos) const {
    if (pointIndexes == nullptr || fieldNos == nullptr) {
        return 0;
    }
    int32_t fresh = 0;
    for (uint32_t i = 0; i < count && fresh < INT32_MAX; ++i) {
        uint32_t key = 0;
        if (!PackItemKey(pointIndexes[i], fieldNos[i], &key) || !keyMap_.Lookup(key, nullptr)) {
            ++fresh;
        }
    }
    return fresh;
}

bool CSubscriptionTable::Grow(int32_t capacity, Growth* growth) {
    *growth = Growth{chunks_, chunkSlots_, chunkCount_, capacity_};
    const int32_t needed =
        static_cast<int32_t>((static_cast<int64_t>(capacity) + kChunkItems - 1) >> kChunkShift);
    if (needed > chunkSlots_) {
        // The chunk list itself doubles: it holds one pointer per chunk, so
        // copying it costs little beside the items it stands for.
        const int64_t slots =
            std::max<int64_t>(needed, std::max<int64_t>(8, static_cast<int64_t>(chunkSlots_) * 2));
        auto* list = static_cast<AdviseItem**>(
            MemAllocZero(sizeof(AdviseItem*) * static_cast<size_t>(slots)));
        if (list == nullptr) {
            return false;
        }
        if (chunkCount_ > 0) {
            std::memcpy(list, chunks_, sizeof(AdviseItem*) * static_cast<size_t>(chunkCount_));
        }
        chunks_ = list;
        chunkSlots_ = static_cast<int32_t>(slots);
    }
    while (chunkCount_ < needed) {
        // Zero bytes are items with Key 0, VAL_NONE and no pairs.
        auto* chunk = static_cast<AdviseItem*>(MemAllocZero(sizeof(AdviseItem) * kChunkItems));
        if (chunk == nullptr) {
            EndGrowth(*growth, false);
            return false;
        }
        chunks_[chunkCount_++] = chunk;
    }
    capacity_ = capacity;
    return true;
}

void CSubscriptionTable::EndGrowth(const Growth& growth, bool keep) {
    if (keep) {
        if (growth.chunks != chunks_) {
            MemFree(growth.chunks);
        }
        return;
    }
    while (chunkCount_ > growth.chunkCount) {
        DestroyChunk(chunks_[--chunkCount_]);
        chunks_[chunkCount_] = nullptr;
    }
    if (growth.chunks != chunks_) {
        MemFree(chunks_);
        chunks_ = growth.chunks;
        chunkSlots_ = growth.chunkSlots;
    }
    capacity_ = growth.capacity;
}

void CSubscriptionTable::DestroyChunk(AdviseItem* chunk) {
    if (chunk == nullptr) {
        return;
    }
    for (int32_t i = 0; i < kChunkItems; ++i) {
        MemFree(chunk[i].Pairs);
        VarEmpty(&chunk[i].Value);
    }
    MemFree(chunk);
}

bool CSubscriptionTable::AddOne(Entry& entry, uint32_t key, int32_t userValue,
                                int32_t* handleCounter) {
    int32_t position = PositionOf(keyMap_, key);
    bool created = false;
    if (position < 0) {
        if (itemCount_ >= capacity_ || !keyMap_.Set(key, itemCount_)) {
            return false;
        }
        position = itemCount_++;
        Slot(position).Key = key;
        created = true;
    }
    AdviseItem& item = Slot(position);
    auto undoCreated = [&] {
        RestorePairs(item, entry);
        if (created) {
            keyMap_.RemoveKey(key);
            item.Key = 0;
            --itemCount_;
        }
    };
    if (item.PairCount + 1 > item.PairCapacity) {
        if (item.PairCount > INT32_MAX - kPairStep) {
            undoCreated();
            return false;
        }
        const int32_t capacity = item.PairCount + kPairStep;
        auto* pairs = static_cast<AdvisePair*>(
            MemAllocZero(sizeof(AdvisePair) * static_cast<size_t>(capacity)));
        if (pairs == nullptr) {
            undoCreated();
            return false;
        }
        if (item.PairCount > 0) {
            std::memcpy(pairs, item.Pairs,
                        sizeof(AdvisePair) * static_cast<size_t>(item.PairCount));
        }
        // The replaced array is released when the whole call has succeeded.
        entry.replacedPairs = true;
        entry.oldPairs = item.Pairs;
        entry.oldPairCapacity = item.PairCapacity;
        item.Pairs = pairs;
        item.PairCapacity = capacity;
    }
    const int32_t handle = NextHandle(handleCounter);
    if (!handleMap_.Set(static_cast<uint32_t>(handle), position)) {
        undoCreated();
        return false;
    }
    item.Pairs[item.PairCount++] = AdvisePair{handle, userValue};
    std::swap(item.Value, entry.value);  // the entry keeps the previous value
    entry.position = position;
    entry.handle = handle;
    entry.created = created;
    return true;
}

void CSubscriptionTable::Undo(Entry* entries, uint32_t done) {
    while (done > 0) {
        Entry& entry = entries[--done];
        AdviseItem& item = Slot(entry.position);
        // Later steps are undone first, so this step's pair is the item's last
        // and a created item is the array's last.
        std::swap(item.Value, entry.value);
        item.Pairs[--item.PairCount] = AdvisePair{0, 0};
        RestorePairs(item, entry);
        handleMap_.RemoveKey(static_cast<uint32_t>(entry.handle));
        if (entry.created) {
            keyMap_.RemoveKey(item.Key);
            item.Key = 0;
            --itemCount_;
        }
    }
}

bool CSubscriptionTable::AddAdvise(int32_t newCount, uint32_t count, const uint32_t* pointIndexes,
                                   const uint32_t* fieldNos, const int32_t* userValues,
                                   const VarValue* values, int32_t* handles, int32_t pointCount,
                                   int32_t* handleCounter) {
    if (count == 0) {
        return true;
    }
    if (pointIndexes == nullptr || fieldNos == nullptr || handles == nullptr ||
        handleCounter == nullptr || count > static_cast<uint32_t>(INT32_MAX) ||
        static_cast<size_t>(count) > SIZE_MAX / sizeof(Entry)) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t key = 0;
        if (!PackItemKey(pointIndexes[i], fieldNos[i], &key)) {
            return false;
        }
    }
    // The caller counted the new keys before its request; counting again here
    // keeps the array large enough whatever it passes.
    const int32_t counted = CountNewKeys(count, pointIndexes, fieldNos);
    const int64_t needed = newCount > counted ? newCount : counted;

    // Value copies first: they are the only blocks whose size is known ahead.
    auto* entries = static_cast<Entry*>(MemAllocZero(sizeof(Entry) * static_cast<size_t>(count)));
    if (entries == nullptr) {
        return false;
    }
    auto releaseEntries = [&] {
        for (uint32_t i = 0; i < count; ++i) {
            VarEmpty(&entries[i].value);
        }
        MemFree(entries);
    };
    if (values != nullptr) {
        for (uint32_t i = 0; i < count; ++i) {
            if (!VarCopy(&entries[i].value, &values[i])) {
                releaseEntries();
                return false;
            }
        }
    }

    // Growth.
    Growth growth{};
    const uint32_t oldKeyTableSize = keyMap_.GetHashTableSize();
    const uint32_t oldHandleTableSize = handleMap_.GetHashTableSize();
    bool grew = false;
    bool sizedMaps = false;
    if (static_cast<int64_t>(itemCount_) + needed > capacity_) {
        const int64_t capacity = static_cast<int64_t>(itemCount_) + needed + kItemSlack;
        const bool first = capacity_ == 0;
        if (capacity > kMaxItems || !Grow(static_cast<int32_t>(capacity), &growth)) {
            releaseEntries();
            return false;
        }
        if (first) {
            // The first array: the maps get as many buckets as the directory
            // has points, plus one (allocated with their first entry).
            const uint32_t buckets = pointCount > 0 ? static_cast<uint32_t>(pointCount) + 1u : 1u;
            keyMap_.InitHashTable(buckets, false);
            handleMap_.InitHashTable(buckets, false);
            sizedMaps = true;
        }
        grew = true;
    }

    const int32_t savedCounter = *handleCounter;
    uint32_t done = 0;
    while (done < count) {
        uint32_t key = 0;
        PackItemKey(pointIndexes[done], fieldNos[done], &key);
        const int32_t userValue = userValues != nullptr ? userValues[done] : 0;
        if (!AddOne(entries[done], key, userValue, handleCounter)) {
            break;
        }
        ++done;
    }
    if (done < count) {
        Undo(entries, done);
        *handleCounter = savedCounter;
        if (grew) {
            EndGrowth(growth, false);
        }
        if (sizedMaps) {
            keyMap_.InitHashTable(oldKeyTableSize, false);
            handleMap_.InitHashTable(oldHandleTableSize, false);
        }
        releaseEntries();
        return false;
    }
    if (grew) {
        EndGrowth(growth, true);
    }
    for (uint32_t i = 0; i < count; ++i) {
        handles[i] = entries[i].handle;
        if (entries[i].replacedPairs) {
            MemFree(entries[i].oldPairs);
        }
    }
    releaseEntries();  // releases the items' previous values
    return true;
}

// ---- Unsubscribing --------------------------------------------------------------

CSubscriptionTable::Release CSubscriptionTable::ReleaseHandle(int32_t handle, uint32_t* key) {
    if (handleMap_.IsEmpty()) {
        return Release::kUnknown;
    }
    const AdviseItem* item = FindByHandle(handle);
    if (item == nullptr) {
        return Release::kUnknown;
    }
    if (item->PairCount <= 1) {
        if (key != nullptr) {
            *key = item->Key;
        }
        return Release::kLastSubscription;
    }
    DropSharedHandle(handle);
    return Release::kDropped;
}

bool CSubscriptionTable::DropSharedHandle(int32_t handle) {
    AdviseItem* item = FindByHandle(handle);
    // The last subscription of an item goes only with the item itself, so that
    // no item is left without subscriptions.
    if (item == nullptr || item->PairCount < 2) {
        return false;
    }
    for (int32_t k = 0; k < item->PairCount; ++k) {
        if (item->Pairs[k].Handle == handle) {
            const int32_t last = item->PairCount - 1;
            item->Pairs[k] = item->Pairs[last];
            item->Pairs[last] = AdvisePair{0, 0};
            item->PairCount = last;
            break;
        }
    }
    handleMap_.RemoveKey(static_cast<uint32_t>(handle));
    return true;
}

void CSubscriptionTable::MoveItem(int32_t from, int32_t to) {
    AdviseItem& src = Slot(from);
    AdviseItem& dst = Slot(to);
    for (int32_t k = 0; k < src.PairCount; ++k) {
        // Every handle of the item is in the map already: re-pointing it
        // replaces a value and needs no memory.
        handleMap_.Set(static_cast<uint32_t>(src.Pairs[k].Handle), to);
    }
    keyMap_.Set(src.Key, to);
    dst.Key = src.Key;
    // The moved item hands its value and pairs over; the hole's pair array
    // goes to the vacated position for reuse. Nothing is allocated, so a
    // removal that the server has confirmed cannot fail half way.
    VarEmpty(&dst.Value);
    dst.Value = src.Value;
    src.Value = VarNone();
    std::swap(dst.Pairs, src.Pairs);
    std::swap(dst.PairCount, src.PairCount);
    std::swap(dst.PairCapacity, src.PairCapacity);
}

void CSubscriptionTable::ClearItem(AdviseItem& item) {
    item.Key = 0;
    VarEmpty(&item.Value);
    item.PairCount = 0;
    if (item.Pairs != nullptr && item.PairCapacity > 0) {
        std::memset(item.Pairs, 0, sizeof(AdvisePair) * static_cast<size_t>(item.PairCapacity));
    }
}

bool CSubscriptionTable::RemoveLastSubscription(int32_t handle) {
    int32_t position = -1;
    AdviseItem* item = FindByHandle(handle, &position);
    if (item == nullptr) {
        return false;
    }
    if (item->PairCount >= 2) {
        // Subscribed again meanwhile: only this handle goes.
        return DropSharedHandle(handle);
    }
    handleMap_.RemoveKey(static_cast<uint32_t>(handle));
    keyMap_.RemoveKey(item->Key);
    const int32_t last = itemCount_ - 1;
    if (position != last) {
        MoveItem(last, position);
    }
    ClearItem(Slot(last));
    --itemCount_;
    return true;
}

void CSubscriptionTable::RemoveAll() {
    keyMap_.InitHashTable(PositionMap::kDefaultTableSize, false);
    handleMap_.InitHashTable(PositionMap::kDefaultTableSize, false);
    while (chunkCount_ > 0) {
        DestroyChunk(chunks_[--chunkCount_]);
    }
    MemFree(chunks_);
    chunks_ = nullptr;
    chunkSlots_ = 0;
    itemCount_ = 0;
    capacity_ = 0;
}

// ---- Values ---------------------------------------------------------------------

void CSubscriptionTable::ClearValues() {
    for (int32_t c = 0; c < chunkCount_; ++c) {
        for (int32_t i = 0; i < kChunkItems; ++i) {
            VarEmpty(&chunks_[c][i].Value);
        }
    }
}

// ---- Queries --------------------------------------------------------------------

int32_t CSubscriptionTable::GetAdviseInfoByHandle(int32_t count, const int32_t* handles,
                                                  int32_t* pointIndexes, int32_t* fieldNos,
                                                  int32_t* userValues) const {
    return ForEachEntry(count, handles != nullptr, [&](int32_t i) {
        int32_t pointIndex = -1;
        int32_t fieldNo = -1;
        int32_t userValue = 0;
        const AdviseItem* item = FindByHandle(handles[i]);
        if (item != nullptr) {
            pointIndex = static_cast<int32_t>(KeyPointIndex(item->Key));
            fieldNo = static_cast<int32_t>(KeyFieldNo(item->Key));
            UserValueOf(*item, handles[i], &userValue);
        }
        PutOptional(pointIndexes, i, pointIndex);
        PutOptional(fieldNos, i, fieldNo);
        PutOptional(userValues, i, userValue);
        return item != nullptr;
    });
}

int32_t CSubscriptionTable::EnumAdviseItems(int32_t count, int32_t* pointIndexes,
                                            int32_t* fieldNos) const {
    int32_t filled = 0;
    for (int32_t j = 0; j < count; ++j) {
        int32_t pointIndex = -1;
        int32_t fieldNo = -1;
        if (j < itemCount_) {
            pointIndex = static_cast<int32_t>(KeyPointIndex(Slot(j).Key));
            fieldNo = static_cast<int32_t>(KeyFieldNo(Slot(j).Key));
            ++filled;
        }
        PutOptional(pointIndexes, j, pointIndex);
        PutOptional(fieldNos, j, fieldNo);
    }
    return filled;
}

int32_t CSubscriptionTable::EnumAdviseHandles(int32_t count, int32_t* handles,
                                              int32_t* userValues) const {
    int32_t written = 0;
    PositionMap::Position pos = handleMap_.GetStartPosition();
    while (pos && written < count) {
        uint32_t key = 0;
        int32_t position = -1;
        handleMap_.GetNextAssoc(pos, key, position);
        const int32_t handle = static_cast<int32_t>(key);
        int32_t userValue = 0;
        if (const AdviseItem* item = ItemAt(position)) {
            UserValueOf(*item, handle, &userValue);
        }
        PutOptional(handles, written, handle);
        PutOptional(userValues, written, userValue);
        ++written;
    }
    return written;
}

int32_t CSubscriptionTable::GetAdviseCounts(int32_t count, const int32_t* pointIndexes,
                                            const int32_t* fieldNos, int32_t* counts) const {
    return ForEachEntry(count, pointIndexes != nullptr && fieldNos != nullptr, [&](int32_t i) {
        const AdviseItem* item = FindByItem(pointIndexes[i], fieldNos[i]);
        PutOptional(counts, i, item != nullptr ? item->PairCount : -1);
        return item != nullptr;
    });
}

int32_t CSubscriptionTable::GetAdviseHandles(int32_t pointIndex, int32_t fieldNo, int32_t count,
                                             int32_t* handles, int32_t* userValues) const {
    const AdviseItem* item = FindByItem(pointIndex, fieldNo);
    if (item == nullptr) {
        return -1;
    }
    int32_t filled = 0;
    for (int32_t i = 0; i < count; ++i) {
        const bool held = i < item->PairCount;
        PutOptional(handles, i, held ? item->Pairs[i].Handle : -1);
        PutOptional(userValues, i, held ? item->Pairs[i].UserValue : 0);
        filled += held ? 1 : 0;
    }
    return filled;
}

int32_t CSubscriptionTable::GetValuesByHandle(int32_t count, const int32_t* handles,
                                              VarValue* values) const {
    return ForEachEntry(count, handles != nullptr && values != nullptr, [&](int32_t i) {
        VarEmpty(&values[i]);
        const AdviseItem* item = FindByHandle(handles[i]);
        return item != nullptr && VarCopy(&values[i], &item->Value);
    });
}

int32_t CSubscriptionTable::GetValuesByItem(int32_t count, const int32_t* pointIndexes,
                                            const int32_t* fieldNos, VarValue* values) const {
    const bool given = pointIndexes != nullptr && fieldNos != nullptr && values != nullptr;
    return ForEachEntry(count, given, [&](int32_t i) {
        VarEmpty(&values[i]);
        const AdviseItem* item = FindByItem(pointIndexes[i], fieldNos[i]);
        return item != nullptr && VarCopy(&values[i], &item->Value);
    });
}

}  // namespace tarvik
