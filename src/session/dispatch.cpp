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
            if (status > 0) {
                bool noMemory = false;
                {
                    plat::CLockHold hold(stateLock_);
                    serverFlag_ = h.param != 0;
                    heartbeatAnswered_ = true;
                    linkConfirmed_ = true;
                    clientId_ = status;
                    directory_.Build(payload, payloadLength, &noMemory);
                }
                if (noMemory) {
                    // Without its directory the session can do nothing: the
                    // login does not count, and the next pass logs in again.
                    break;
                }
                // A successful login starts a fresh session: a verdict left
                // by an earlier refused login must not stop registration.
                ChangeFlags(FLAGS_CLEAR_INIT_DONE);
                ChangeFlags(FLAGS_CLEAR_INIT_OK);
                ChangeFlags(FLAGS_SET_LOGGED_IN);
            } else if (status == STATUS_LOGIN_REFUSED) {
                ChangeFlags(FLAGS_SET_INIT_DONE);
                ChangeFlags(FLAGS_CLEAR_INIT_OK);
                PostStateChange(CONN_REFUSED);
            } else {
                ChangeFlags(FLAGS_SET_INIT_DONE);
                ChangeFlags(FLAGS_CLEAR_INIT_OK);
                PostStateChange(CONN_REJECTED);
            }
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
                ChangeFlags(FLAGS_CLEAR_ALL);  // the server forgot us: log in again
            } else if (status == STATUS_REFUSED) {
                ChangeFlags(FLAGS_CLEAR_INIT_OK);
                PostStateChange(CONN_REFUSED);
            } else if (h.command == CMD_HEARTBEAT || h.command == CMD_HEARTBEAT_DATA) {
                {
                    plat::CLockHold hold(stateLock_);
                    serverFlag_ = h.param != 0;
                    heartbeatAnswered_ = true;
                }
                if (GetState() != CONN_READY) {
                    PostStateChange(CONN_READY);
                }
                if (h.command == CMD_HEARTBEAT_DATA) {
                    HandleHeartbeatData(payload, payloadLength);
                }
            } else if (h.command == CMD_RESUBSCRIBE) {
                if (HandleResubscribeReply(payload, payloadLength)) {
                    {
                        plat::CLockHold hold(stateLock_);
                        heartbeatAnswered_ = true;
                    }
                    ChangeFlags(FLAGS_SET_INIT_DONE);
                    ChangeFlags(FLAGS_SET_INIT_OK);
                    PostStateChange(CONN_READY);
                } else {
                    ChangeFlags(FLAGS_SET_INIT_DONE);
                    ChangeFlags(FLAGS_CLEAR_INIT_OK);
                    PostStateChange(CONN_REJECTED);
                }
            }
            // The requests' own replies are read by their requester below.
            if (status != STATUS_VOID && status != STATUS_REFUSED) {
                plat::CLockHold hold(stateLock_);
                linkConfirmed_ = true;  // the server knows this session on this link
            }
            break;
        case CMD_LOGOUT:
            ChangeFlags(FLAGS_CLEAR_INIT_OK);
            break;
        default:
            break;
    }

    // Sequence match, timeout reset and handoff, for every accepted message.
    // The awaiting-reply flag is cleared before the requester wakes, so that
    // a next request sent at once keeps its own flag.
    if (h.sequence == NextSequence(false)) {
        SetAwaitingReply(false);
    }
    CountTimeout(true);
    if (h.requestId == NextRequestId(false)) {
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
    auto* keys = static_cast<uint32_t*>(MemAlloc(sizeof(uint32_t) * static_cast<size_t>(n)));
    VarValue* values = VarArrayCreate(n);
    if (keys == nullptr || values == nullptr) {
        MemFree(keys);
        VarArrayDestroy(values, n);
        return false;
    }
    int32_t changed = 0;
    bool usable = true;
    {
        plat::CLockHold hold(stateLock_);
        // The table may have changed since it was counted; the reply answers
        // the items as they were registered, in table order.
        if (advise_.ItemCount() != n) {
            usable = false;
        }
        size_t pos = 4;
        for (int32_t i = 0; usable && i < n; ++i) {
            VarValue* slot = &values[changed];
            if (!DecodeValueRecord(payload, payloadLength, &pos, slot)) {
                usable = false;
                break;
            }
            const AdviseItem* item = advise_.ItemAt(i);
            if (Changed(*slot, item->Value)) {
                keys[changed] = item->Key;
                ++changed;
            }
        }
    }
    if (!usable || changed == 0) {
        MemFree(keys);
        VarArrayDestroy(values, n);
        return usable;
    }
    NotifyEvent* event = NotifyEventCreate();
    if (event == nullptr) {
        MemFree(keys);
        VarArrayDestroy(values, n);
        return true;
    }
    event->type = NOTIFY_DATA;
    event->count = changed;
    event->keys = keys;
    event->values = values;
    event->valuesCapacity = n;
    QueueNotify(event);
    return true;
}

void CTarvikClient::HandleHeartbeatData(const uint8_t* payload, size_t payloadLength) {
    if (payloadLength < 4) {
        return;
    }
    const uint32_t announced = LoadU32(payload);
    if (announced == 0) {
        return;
    }
    // No more records than the payload can hold: a hostile count must not
    // make the client allocate for it.
    const size_t fit = (payloadLength - 4) / kMinKeyedRecord;
    const size_t n = announced < fit ? announced : fit;
    if (n == 0) {
        return;
    }
    auto* keys = static_cast<uint32_t*>(MemAlloc(sizeof(uint32_t) * n));
    VarValue* values = VarArrayCreate(static_cast<int32_t>(n));
    if (keys == nullptr || values == nullptr) {
        MemFree(keys);
        VarArrayDestroy(values, static_cast<int32_t>(n));
        return;
    }
    size_t pos = 4;
    size_t decoded = 0;
    while (decoded < n &&
           DecodeKeyedValueRecord(payload, payloadLength, &pos, &keys[decoded], &values[decoded])) {
        ++decoded;
    }
    if (decoded == 0) {
        MemFree(keys);
        VarArrayDestroy(values, static_cast<int32_t>(n));
        return;
    }
    NotifyEvent* event = NotifyEventCreate();
    if (event == nullptr) {
        MemFree(keys);
        VarArrayDestroy(values, static_cast<int32_t>(n));
        return;
    }
    event->type = NOTIFY_DATA;
    event->count = static_cast<int32_t>(decoded);
    event->keys = keys;
    event->values = values;
    event->valuesCapacity = static_cast<int32_t>(n);
    QueueNotify(event);
}

}  // namespace tarvik
