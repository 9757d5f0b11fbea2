// Data-change delivery: one DataCallback per server report, fanned out to
// every subscription of every reported item, and then the items' last values.
//
// The table may change between the passes (the lock is released around the
// application's callback), so every pass finds each key's item afresh: the
// first looks the keys up and notes where each item sat, the later ones look
// an item up again only when it has moved meanwhile. The arrays grow when
// more subscriptions are found than were counted.
#include <cstring>

#include "client/allocator.h"
#include "client/client.h"
#include "client/var_value.h"

namespace tarvik {
namespace {

constexpr int32_t kGrowth = 800;

struct Entries {
    int32_t* handles = nullptr;
    int32_t* users = nullptr;
    VarValue* values = nullptr;
    int32_t capacity = 0;

    bool Allocate(int32_t n) {
        handles = static_cast<int32_t*>(MemAlloc(sizeof(int32_t) * static_cast<size_t>(n)));
        users = static_cast<int32_t*>(MemAlloc(sizeof(int32_t) * static_cast<size_t>(n)));
        values = VarArrayCreate(n);
        capacity = n;
        return handles != nullptr && users != nullptr && values != nullptr;
    }
    void Release() {
        MemFree(handles);
        MemFree(users);
        VarArrayDestroy(values, capacity);
        handles = users = nullptr;
        values = nullptr;
        capacity = 0;
    }
    // Replaces the arrays by ones of `n` entries keeping the first `used`
    // (values moved, so no text is copied).
    bool Grow(int32_t used, int32_t n) {
        Entries bigger;
        if (!bigger.Allocate(n)) {
            bigger.Release();
            return false;
        }
        std::memcpy(bigger.handles, handles, sizeof(int32_t) * static_cast<size_t>(used));
        std::memcpy(bigger.users, users, sizeof(int32_t) * static_cast<size_t>(used));
        std::memcpy(bigger.values, values, sizeof(VarValue) * static_cast<size_t>(used));
        std::memset(values, 0, sizeof(VarValue) * static_cast<size_t>(used));  // moved out
        Release();
        *this = bigger;
        return true;
    }
};

}  // namespace

void CTarvikClient::DeliverDataChange(const NotifyEvent& event) {
    DataCallback callback = nullptr;
    TarvikUserData user = 0;
    int32_t total = 0;
    // Without memory for the positions every pass looks every key up.
    CBlock positionBlock(sizeof(int32_t) * static_cast<size_t>(event.count > 0 ? event.count : 0));
    auto* positions = reinterpret_cast<int32_t*>(positionBlock.data());
    // Item j, with the items (and, for `pairs`, their pairs) a few
    // positions ahead fetched meanwhile.
    constexpr int32_t kAhead = 8;
    auto itemOf = [&](int32_t j, bool pairs) -> AdviseItem* {
        if (positions == nullptr) {
            return advise_.FindByKey(event.keys[j]);
        }
        if (j + 2 * kAhead < event.count) {
            advise_.PrefetchItem(positions[j + 2 * kAhead], 0);
        }
        if (pairs && j + kAhead < event.count) {
            advise_.PrefetchItem(positions[j + kAhead], 1);
        }
        return advise_.FindByKeyAt(event.keys[j], positions[j]);
    };
    {
        plat::CLockHold hold(stateLock_);
        callback = dataCallback_;
        user = static_cast<TarvikUserData>(userValue_);
        if (positions != nullptr) {
            advise_.FindPositions(event.keys, event.count, positions);
        }
        for (int32_t j = 0; j < event.count; ++j) {
            if (const AdviseItem* item = itemOf(j, false)) {
                total += item->PairCount;
            }
        }
    }
    if (total == 0) {
        return;  // no subscription names any of the reported items
    }

    if (callback != nullptr) {
        Entries entries;
        if (!entries.Allocate(total)) {
            entries.Release();
            return;  // the whole event is dropped, last values included
        }
        int32_t k = 0;
        bool complete = true;
        {
            plat::CLockHold hold(stateLock_);
            for (int32_t j = 0; j < event.count && complete; ++j) {
                const AdviseItem* item = itemOf(j, true);
                if (item == nullptr) {
                    continue;
                }
                for (int32_t m = 0; m < item->PairCount; ++m) {
                    if (k == entries.capacity && !entries.Grow(k, k + kGrowth)) {
                        complete = false;
                        break;
                    }
                    entries.handles[k] = item->Pairs[m].Handle;
                    entries.users[k] = item->Pairs[m].UserValue;
                    VarCopy(&entries.values[k], &event.values[j]);
                    ++k;
                }
            }
        }
        if (!complete) {
            entries.Release();
            return;
        }
        callback(this, user, k, entries.handles, entries.users, entries.values);
        entries.Release();
    }

    // The last values change only now, after the application has seen the
    // report: during the callback the value queries still give the old ones.
    // After a stop (Disconnect empties the last values) nothing is stored.
    plat::CLockHold hold(stateLock_);
    if (!notifyRunning_ || destroyPending_) {
        return;
    }
    for (int32_t j = 0; j < event.count; ++j) {
        if (AdviseItem* item = itemOf(j, false)) {
            VarCopy(&item->Value, &event.values[j]);
        }
    }
}

}  // namespace tarvik
