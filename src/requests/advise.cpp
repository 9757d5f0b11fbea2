// Subscribing and unsubscribing: Advise, Unadvise and UnadviseAll.
//
// The server hears of an item once, however many subscriptions share it: a
// new subscription on a known item is still sent (the server answers with the
// current value), but releasing a handle that shares its item with others is
// done locally; only items whose last subscription goes are sent, and they
// leave the table when the server has confirmed.
#include "client/client.h"
#include "client/var_value.h"
#include "requests/request_cycle.h"
#include "session/message.h"
#include "session/payloads.h"
#include "session/value_record.h"

namespace tarvik {

int32_t CTarvikClient::Advise(uint32_t count, const uint32_t* pointIndexes,
                              const uint32_t* fieldNos, const int32_t* userValues,
                              int32_t* handles) {
    return InRequest(-1, [&]() -> int32_t {
        if (count == 0 || pointIndexes == nullptr || fieldNos == nullptr || handles == nullptr ||
            count > (kMaxRequestPayload - kCountSize) / kItemSize) {
            return -1;
        }
        CBlock payload(ItemListSize(count));
        VarValue* fresh = VarArrayCreate(static_cast<int32_t>(count));
        if (!payload.ok() || fresh == nullptr) {
            VarArrayDestroy(fresh, static_cast<int32_t>(count));
            return -1;
        }
        struct Values {
            VarValue* v;
            int32_t n;
            ~Values() { VarArrayDestroy(v, n); }
        } guard{fresh, static_cast<int32_t>(count)};
        Reply reply;
        if (!ExchangeItems(CMD_SUBSCRIBE, count, pointIndexes, fieldNos, payload, &reply)) {
            return -1;
        }
        size_t pos = 4;
        for (uint32_t i = 0; i < count; ++i) {
            if (!DecodeValueRecord(reply.payload, reply.payloadLength, &pos, &fresh[i])) {
                return -1;
            }
        }
        plat::CLockHold hold(stateLock_);
        // Counted again here: only requests change the table, and they are
        // serialised by the request lock, so the count is the one of the send.
        const int32_t newCount = advise_.CountNewKeys(count, pointIndexes, fieldNos);
        if (!advise_.AddAdvise(newCount, count, pointIndexes, fieldNos, userValues, fresh, handles,
                               directory_.PointCount(), &handleCounter_)) {
            return -1;
        }
        return static_cast<int32_t>(count);
    });
}

int32_t CTarvikClient::Unadvise(uint32_t count, const int32_t* handles) {
    return InRequest(-1, [&]() -> int32_t {
        if (count == 0 || handles == nullptr ||
            count > (kMaxRequestPayload - kCountSize) / kItemSize) {
            return -1;
        }
        CBlock payload(ItemListSize(count));
        CBlock last(4 * static_cast<size_t>(count));
        if (!payload.ok() || !last.ok()) {
            return -1;
        }
        uint32_t processed = 0;
        CItemListWriter list(payload.data());
        {
            plat::CLockHold hold(stateLock_);
            for (; processed < count; ++processed) {
                const int32_t h = handles[processed];
                uint32_t key = 0;
                const CSubscriptionTable::Release r = advise_.ReleaseHandle(h, &key);
                if (r == CSubscriptionTable::Release::kUnknown) {
                    break;  // shared handles dropped before it stay dropped
                }
                if (r == CSubscriptionTable::Release::kLastSubscription) {
                    StoreI32(last.data() + 4 * static_cast<size_t>(list.count()), h);
                    list.Add(KeyPointIndex(key), KeyFieldNo(key));
                }
            }
        }
        const uint32_t m = list.count();
        const size_t listSize = list.Finish();
        if (processed != count) {
            return -1;
        }
        if (m == 0) {
            return static_cast<int32_t>(count);  // only shared handles: nothing to send
        }
        Reply reply;
        if (!Exchange(CMD_UNSUBSCRIBE, 1, payload.data(), static_cast<uint32_t>(listSize),
                      &reply)) {
            return -1;
        }
        if (reply.param == 0) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        for (uint32_t i = 0; i < m; ++i) {
            advise_.RemoveLastSubscription(LoadI32(last.data() + 4 * static_cast<size_t>(i)));
        }
        return static_cast<int32_t>(count);
    });
}

int32_t CTarvikClient::UnadviseAll() {
    return InRequest(0, [&]() -> int32_t {
        Reply reply;
        if (!Exchange(CMD_UNSUBSCRIBE_ALL, 0, nullptr, 0, &reply) || reply.param == 0) {
            return 0;
        }
        plat::CLockHold hold(stateLock_);
        advise_.RemoveAll();
        return 1;
    });
}

}  // namespace tarvik
