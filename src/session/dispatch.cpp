// Reply dispatch: every message cut out of the receive stream comes here, on
// the thread that drains the stream (the transport thread that received it,
// or the session thread). Replies to the session's own commands drive the session
// flags and the connection state, value pushes become data notifications, and
// the reply of a synchronous request is handed to the thread that waits for it.
//
// Malformed replies: a resubscription reply whose records run past its payload
// is unusable as a whole (the registration failed); a heartbeat push keeps the
// records that were complete before the first one that runs past, since each
// of them is a value the server really sent.
#include "client/allocator.h"
#include "client/client.h"
#include "client/var_value.h"
#include "requests/request_cycle.h"
#include "session/message.h"
#include "session/value_record.h"

namespace tarvik {
namespace {

// The smallest keyed value record: a key and a lone type byte.
constexpr size_t kMinKeyedRecord = 5;
constexpr double kDoubleTolerance = 0.0001;

bool Changed(const VarValue& fresh, const VarValue& last) {
    if (fresh.tag == VAL_NONE || fresh.tag != last.tag) {
        return true;
    }
    switch (fresh.tag) {
        case VAL_LONG:
            return VarLong(fresh) != VarLong(last);
        case VAL_DOUBLE: {
            const double d = VarDouble(fresh) - VarDouble(last);
            return (d < 0 ? -d : d) > kDoubleTolerance;
        }
        case VAL_STRING: {
            const char* a = VarText(fresh);
            const char* b = VarText(last);
            if (a == nullptr || b == nullptr) {
                return a != b;
            }
            for (int i = 0; i < TARVIK_TEXT_BLOCK; ++i) {
                if (a[i] != b[i]) {
                    return true;
                }
                if (a[i] == '\0') {
                    return false;
                }
            }
            return false;
        }
        default:
            return true;
    }
}

// The keys and values of one data notification while they are filled in:
// freed on every path unless a notification event takes them.
struct DataArrays {
    explicit DataArrays(int32_t n)
        : capacity(n),
          keyBlock(sizeof(uint32_t) * static_cast<size_t>(n)),
          values(VarArrayCreate(n)) {}
    ~DataArrays() { VarArrayDestroy(values, capacity); }
    DataArrays(const DataArrays&) = delete;
    DataArrays& operator=(const DataArrays&) = delete;

    bool ok() const { return keyBlock.ok() && values != nullptr; }
    uint32_t* keys() const { return reinterpret_cast<uint32_t*>(keyBlock.data()); }
    // A data event with the first `count` keys and values; null (the arrays
    // stay here and are freed) when the record cannot be allocated.
    NotifyEvent* TakeEvent(int32_t count) {
        NotifyEvent* event = NotifyEventCreate();
        if (event == nullptr) {
            return nullptr;  // the change is never reported
        }
        event->type = NOTIFY_DATA;
        event->count = count;
        event->valuesCapacity = capacity;
        event->keys = reinterpret_cast<uint32_t*>(keyBlock.Release());
        event->values = values;
        values = nullptr;
        return event;
    }

    int32_t capacity;
    CBlock keyBlock;
    VarValue* values;
};

}  // namespace

void CTarvikClient::DispatchMessage(const uint8_t* message, size_t length) {
    // A message shorter than its header, with a wrong length or magic, is
    // dropped without any effect at all.
    if (!IsValidMessage(message, length)) {
        return;
    }
    const HeaderView h = ReadHeader(message);
    const uint8_t* payload = message + kHeaderSize;
    const size_t payloadLength = static_cast<size_t>(h.payloadLength);
    const int16_t status = h.clientId;

    switch (h.command) {
        case CMD_LOGIN:
            Post(session_.LoginAnswered(status, h.param != 0, [&] {
                bool noMemory = false;
                directory_.Build(payload, payloadLength, &noMemory);
                return !noMemory;
            }));
            break;
        case CMD_HEARTBEAT:
        case CMD_READ_HISTORY:
        case CMD_WRITE_HISTORY:
        case CMD_WRITE_VALUES:
        case CMD_READ_VALUES:
        case CMD_SUBSCRIBE:
        case CMD_UNSUBSCRIBE:
        case CMD_HEARTBEAT_DATA:
        case CMD_RESUBSCRIBE:
        case CMD_UNSUBSCRIBE_ALL:
        case CMD_READ_HISTORY_RAW:
            if (status == STATUS_VOID) {
                session_.Voided();  // the server forgot us: log in again
            } else if (status == STATUS_REFUSED) {
                Post(session_.Refused());
            } else if (h.command == CMD_HEARTBEAT || h.command == CMD_HEARTBEAT_DATA) {
                Post(session_.HeartbeatAnswered(h.param != 0, GetState()));
                if (h.command == CMD_HEARTBEAT_DATA) {
                    HandleHeartbeatData(payload, payloadLength);
                }
            } else if (h.command == CMD_RESUBSCRIBE) {
                Post(session_.Resubscribed(HandleResubscribeReply(payload, payloadLength)));
            } else {
                // The requests' own replies are read by their requester below.
                session_.Accepted();
            }
            break;
        case CMD_LOGOUT:
            session_.LoggedOut();
            break;
        default:
            break;
    }

    // Sequence match, timeout reset and handoff, for every accepted message.
    if (session_.MessageArrived(h.requestId, h.sequence)) {
        replyMailbox_.Clear();
        replyMailbox_.Append(message, static_cast<int32_t>(length));
        replyEvent_->Set();
    }
}

bool CTarvikClient::HandleResubscribeReply(const uint8_t* payload, size_t payloadLength) {
    if (payloadLength < 4) {
        return false;
    }
    int32_t n = 0;
    {
        plat::CLockHold hold(stateLock_);
        n = advise_.ItemCount();
    }
    if (n <= 0 || LoadU32(payload) != static_cast<uint32_t>(n)) {
        return false;
    }
    DataArrays data(n);
    if (!data.ok()) {
        return false;
    }
    int32_t changed = 0;
    {
        plat::CLockHold hold(stateLock_);
        // The table may have changed since it was counted; the reply answers
        // the items as they were registered, in table order.
        if (advise_.ItemCount() != n) {
            return false;
        }
        size_t pos = 4;
        for (int32_t i = 0; i < n; ++i) {
            VarValue* slot = &data.values[changed];
            if (!DecodeValueRecord(payload, payloadLength, &pos, slot)) {
                return false;
            }
            const AdviseItem* item = advise_.ItemAt(i);
            if (Changed(*slot, item->Value)) {
                data.keys()[changed] = item->Key;
                ++changed;
            }
        }
    }
    if (changed > 0) {
        if (NotifyEvent* event = data.TakeEvent(changed)) {
            QueueNotify(event);
        }
    }
    return true;
}

void CTarvikClient::HandleHeartbeatData(const uint8_t* payload, size_t payloadLength) {
    if (payloadLength < 4) {
        return;
    }
    const uint32_t announced = LoadU32(payload);
    // No more records than the payload can hold: a hostile count must not
    // make the client allocate for it.
    const size_t fit = (payloadLength - 4) / kMinKeyedRecord;
    const size_t n = announced < fit ? announced : fit;
    if (n == 0) {
        return;
    }
    DataArrays data(static_cast<int32_t>(n));
    if (!data.ok()) {
        return;
    }
    size_t pos = 4;
    size_t decoded = 0;
    while (decoded < n && DecodeKeyedValueRecord(payload, payloadLength, &pos,
                                                 &data.keys()[decoded], &data.values[decoded])) {
        ++decoded;
    }
    if (decoded > 0) {
        if (NotifyEvent* event = data.TakeEvent(static_cast<int32_t>(decoded))) {
            QueueNotify(event);
        }
    }
}

}  // namespace tarvik
