// ReadValues: the current values of a list of items.
#include "client/client.h"
#include "client/var_value.h"
#include "requests/request_cycle.h"
#include "session/message.h"
#include "session/payloads.h"
#include "session/value_record.h"

namespace tarvik {

int32_t CTarvikClient::ReadValues(uint32_t count, const uint32_t* pointIndexes,
                                  const uint32_t* fieldNos, VarValue* values) {
    return InRequest(-1, [&]() -> int32_t {
        if (count == 0 || pointIndexes == nullptr || fieldNos == nullptr || values == nullptr ||
            count > (kMaxRequestPayload - kCountSize) / kItemSize) {
            return -1;
        }
        CBlock payload(ItemListSize(count));
        if (!payload.ok()) {
            return -1;
        }
        Reply reply;
        if (!ExchangeItems(CMD_READ_VALUES, count, pointIndexes, fieldNos, payload, &reply)) {
            return -1;
        }
        // Every record is decoded before the caller's array is touched, so a
        // reply that runs short leaves the array as it was.
        VarValue* fresh = VarArrayCreate(static_cast<int32_t>(count));
        if (fresh == nullptr) {
            return -1;
        }
        size_t pos = 4;
        for (uint32_t i = 0; i < count; ++i) {
            if (!DecodeValueRecord(reply.payload, reply.payloadLength, &pos, &fresh[i])) {
                VarArrayDestroy(fresh, static_cast<int32_t>(count));
                return -1;
            }
        }
        for (uint32_t i = 0; i < count; ++i) {
            VarEmpty(&values[i]);  // releases a text block the caller passed back
            values[i] = fresh[i];  // the new text block goes to the caller
        }
        MemFree(fresh);
        return static_cast<int32_t>(count);
    });
}

}  // namespace tarvik
