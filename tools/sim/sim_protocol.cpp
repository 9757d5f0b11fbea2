// CSimServer: the protocol. Process answers one received message: the login
// with a new session and its point directory, every other command within the
// session its clientId names, or status 0 when there is none.
#include "sim/sim_server.h"

#include <algorithm>
#include <cstring>

#include "client/allocator.h"
#include "client/var_value.h"
#include "session/payloads.h"
#include "session/value_record.h"
#include "sim/sim_internal.h"

namespace tarvik {
namespace sim {

namespace {

// Bounds of what one request may ask for, so that a malformed request cannot
// make the server build a giant reply.
constexpr uint64_t kMaxHistoryValues = 1u << 20;
constexpr size_t kMaxRawRecords = 100000;

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
    uint8_t b[4];
    StoreU32(b, v);
    out->insert(out->end(), b, b + 4);
}

}  // namespace

// ---- Protocol ---------------------------------------------------------------------

CSimServer::Outgoing CSimServer::Process(const uint8_t* msg, size_t length, Transport transport,
                                         int connection) {
    Outgoing out;
    if (silent_ || !IsValidMessage(msg, length)) {
        out.answer = false;
        return out;
    }
    const HeaderView h = ReadHeader(msg);
    Script script;
    if (TakeScript(Action::NoAnswer, h.command, transport, &script)) {
        out.answer = false;
        return out;
    }
    if (TakeScript(Action::Drop, h.command, transport, &script)) {
        out.drop = true;
        return out;
    }
    Script status;
    const bool scriptedStatus = TakeScript(Action::Status, h.command, transport, &status);
    const bool paramZero = TakeScript(Action::ParamZero, h.command, transport, &script);
    const uint8_t* body = msg + kHeaderSize;
    const size_t bodyLength = length - kHeaderSize;

    std::vector<uint8_t> payload;
    std::shared_ptr<const std::vector<uint8_t>> kept;  // the payload, when kept
    const std::vector<uint8_t>* answer = &payload;
    int16_t param = 0;
    int16_t clientId = STATUS_VOID;
    if (scriptedStatus && status.status <= 0) {
        // A refusal or a void session: nothing is acted on.
        clientId = status.status;
    } else if (h.command == CMD_LOGIN) {
        clientId = HandleLogin(h, &payload, &kept, &param, transport, connection);
        if (kept) {
            answer = kept.get();
        }
    } else {
        auto it = sessions_.find(h.clientId);
        if (it != sessions_.end()) {
            Session& s = it->second;
            s.transport = transport;
            s.connection = connection;
            clientId = s.id;
            HandleCommand(s, h, body, bodyLength, paramZero, &payload, &param);
            if (h.command == CMD_LOGOUT) {
                sessions_.erase(it);
            }
        }
    }
    if (scriptedStatus && status.status > 0) {
        clientId = status.status;
    }
    if (paramZero) {
        param = 0;
    }

    // The header as the client builds its own, then the payload behind it:
    // a kept directory goes out over TCP from where it is kept.
    uint8_t* block = nullptr;
    size_t size = 0;
    if (answer->size() > static_cast<size_t>(INT32_MAX) - kHeaderSize ||
        !BuildMessage(h.command, param, clientId, h.requestId, h.sequence, nullptr, 0, &block,
                      &size)) {
        out.answer = false;
        return out;
    }
    const bool keptTail = kept && transport == Transport::Tcp;
    out.message.reserve(kHeaderSize + (keptTail ? 0 : answer->size()));
    out.message.assign(block, block + kHeaderSize);
    MemFree(block);
    StoreI32(out.message.data() + hdr::kPayloadLength, static_cast<int32_t>(answer->size()));
    if (keptTail) {
        out.tail = kept;
    } else {
        out.message.insert(out.message.end(), answer->begin(), answer->end());
    }
    if (transport == Transport::Local) {
        StoreI32(out.message.data() + hdr::kSenderWindow, window_);
    }
    ApplyReplyScripts(h.command, transport, answer->size(), &out);
    ApplyRandomFault(&out, transport);
    return out;
}

int16_t CSimServer::HandleLogin(const HeaderView& h, std::vector<uint8_t>* payload,
                                std::shared_ptr<const std::vector<uint8_t>>* kept, int16_t* param,
                                Transport transport, int connection) {
    const int16_t id = NextClientId();
    if (id <= 0) {
        return STATUS_VOID;  // every id is taken: the login fails
    }
    Session s;
    s.id = id;
    s.transport = transport;
    s.connection = connection;
    s.view.reserve(db_.points.size());
    for (size_t p = 0; p < db_.points.size(); ++p) {
        if (hiddenOnce_.empty() || std::find(hiddenOnce_.begin(), hiddenOnce_.end(),
                                             static_cast<int>(p)) == hiddenOnce_.end()) {
            s.view.push_back(static_cast<int>(p));
        }
    }
    hiddenOnce_.clear();
    if (s.view.size() == db_.points.size()) {
        if (!fullDirectory_ || fullDirectoryGap_ != options_.directoryGap) {
            fullDirectory_ = std::make_shared<const std::vector<uint8_t>>(
                EncodeDirectory(db_, s.view, options_.directoryGap));
            fullDirectoryGap_ = options_.directoryGap;
        }
        *kept = fullDirectory_;
    } else {
        *payload = EncodeDirectory(db_, s.view, options_.directoryGap);
    }
    *param = options_.serverFlag ? 1 : 0;
    sessions_[id] = std::move(s);
    Log("login: client " + std::to_string(id) + " (client parameter " + std::to_string(h.param) +
        ")");
    return id;
}

namespace {

// The items of an item list; false when the payload is shorter than its
// count says.
bool ReadPairs(const uint8_t* body, size_t length,
               std::vector<std::pair<uint32_t, uint32_t>>* pairs) {
    CItemListReader list;
    if (!list.Open(body, length)) {
        return false;
    }
    pairs->resize(list.count());
    for (uint32_t i = 0; i < list.count(); ++i) {
        list.At(i, &(*pairs)[i].first, &(*pairs)[i].second);
    }
    return true;
}

}  // namespace

void CSimServer::HandleCommand(Session& s, const HeaderView& h, const uint8_t* body, size_t length,
                               bool refuseWrites, std::vector<uint8_t>* payload, int16_t* param) {
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    Item item;
    switch (h.command) {
        case CMD_HEARTBEAT:
            *param = options_.serverFlag ? 1 : 0;
            break;
        case CMD_HEARTBEAT_DATA: {
            *param = options_.serverFlag ? 1 : 0;
            if (s.pushStale) {
                // Resolved once per change of the subscriptions, not per push.
                s.pushList.clear();
                for (auto& sub : s.subscribed) {
                    if (ResolveItem(s, KeyPointIndex(sub.first), KeyFieldNo(sub.first), &item)) {
                        PointInfo& point = db_.points[item.point];
                        s.pushList.push_back(PushItem{sub.first, &point.versions[item.field],
                                                      &point.values[item.field], &sub.second});
                    }
                }
                s.pushStale = false;
            }
            payload->reserve(4 + s.pushList.size() * 14);  // key and a double each
            PutU32(payload, 0);
            uint32_t n = 0;
            for (const PushItem& push : s.pushList) {
                if (*push.version == *push.sent) {
                    continue;
                }
                *push.sent = *push.version;
                PutU32(payload, push.key);
                AppendValueRecord(*push.value, payload);
                ++n;
            }
            StoreU32(payload->data(), n);
            break;
        }
        case CMD_READ_VALUES:
        case CMD_SUBSCRIBE:
        case CMD_RESUBSCRIBE: {
            if (!ReadPairs(body, length, &pairs)) {
                PutU32(payload, 0);
                break;
            }
            if (h.command == CMD_RESUBSCRIBE) {
                // The client's whole table: it replaces what the session held.
                s.subscribed.clear();
            }
            s.pushStale = s.pushStale || h.command != CMD_READ_VALUES;
            *param = 1;
            payload->reserve(4 + pairs.size() * 10);  // a double's record each
            PutU32(payload, static_cast<uint32_t>(pairs.size()));
            for (const auto& pr : pairs) {
                if (!ResolveItem(s, pr.first, pr.second, &item)) {
                    AppendValueRecord(SimValue(), payload);
                    continue;
                }
                AppendValueRecord(db_.points[item.point].values[item.field], payload);
                uint32_t key = 0;
                if (h.command != CMD_READ_VALUES && PackItemKey(pr.first, pr.second, &key)) {
                    s.subscribed[key] = db_.points[item.point].versions[item.field];
                }
            }
            break;
        }
        case CMD_WRITE_VALUES: {
            // All or nothing: every item must resolve and every record decode.
            if (length < kCountSize) {
                break;
            }
            const uint32_t n = LoadU32(body);
            size_t pos = kCountSize;
            std::vector<std::pair<Item, SimValue>> writes;
            bool ok = n <= (length - kCountSize) / (kItemSize + 1);
            for (uint32_t i = 0; ok && i < n; ++i) {
                if (length - pos < kItemSize) {
                    ok = false;
                    break;
                }
                uint32_t p = 0;
                uint32_t f = 0;
                ReadItem(body + pos, &p, &f);
                pos += kItemSize;
                VarValue v = VarNone();
                ok = DecodeValueRecord(body, length, &pos, &v) && ResolveItem(s, p, f, &item);
                if (ok) {
                    writes.emplace_back(item, FromVarValue(v));
                }
                VarEmpty(&v);
            }
            if (!ok || refuseWrites) {
                break;
            }
            const uint32_t now = NowSeconds();
            for (const auto& w : writes) {
                ChangeValue(w.first, w.second, now);
            }
            *param = 1;
            PutU32(payload, n);
            break;
        }
        case CMD_UNSUBSCRIBE:
            if (!ReadPairs(body, length, &pairs)) {
                break;
            }
            for (const auto& pr : pairs) {
                uint32_t key = 0;
                if (PackItemKey(pr.first, pr.second, &key)) {
                    s.subscribed.erase(key);
                }
            }
            s.pushStale = true;
            *param = 1;
            PutU32(payload, static_cast<uint32_t>(pairs.size()));
            break;
        case CMD_UNSUBSCRIBE_ALL:
            s.subscribed.clear();
            s.pushStale = true;
            *param = 1;
            break;
        case CMD_LOGOUT:
            *param = 1;
            Log("logout: client " + std::to_string(s.id));
            break;
        case CMD_READ_HISTORY: {
            if (length < kHistoryQuerySize) {
                break;
            }
            const HistoryQuery q = ReadHistoryQuery(body);
            const uint32_t samples = q.samples;
            const uint32_t count = q.names;
            if (count > (length - kHistoryQuerySize) / kItemNameSize ||
                static_cast<uint64_t>(count) * samples > kMaxHistoryValues) {
                break;
            }
            // All samples of one item together, item after item.
            for (uint32_t i = 0; i < count; ++i) {
                std::vector<float> values(samples, 0.0f);
                if (ResolveName(body + kHistoryQuerySize + kItemNameSize * i, &item)) {
                    const FieldInfo& f = db_.TypeOf(item.point).fields[item.field];
                    const float now =
                        static_cast<float>(db_.points[item.point].values[item.field].AsNumber());
                    values = history_.Sample(item.point, f.fieldNo, q.start, q.span, samples, now);
                }
                for (float v : values) {
                    PutU32(payload, FloatBits(v));
                }
            }
            *param = 1;
            break;
        }
        case CMD_WRITE_HISTORY: {
            // The record count comes from the payload length: param carries
            // only its low 16 bits.
            if (length < kItemNameSize || (length - kItemNameSize) % kHistoryRecordSize != 0 ||
                !ResolveName(body, &item) || refuseWrites) {
                break;
            }
            const uint32_t fieldNo = db_.TypeOf(item.point).fields[item.field].fieldNo;
            const size_t n = (length - kItemNameSize) / kHistoryRecordSize;
            for (size_t i = 0; i < n; ++i) {
                history_.Record(item.point, fieldNo,
                                ReadHistoryRecord(body + kItemNameSize + kHistoryRecordSize * i));
            }
            *param = 1;
            break;
        }
        case CMD_READ_HISTORY_RAW: {
            PutU32(payload, 0);
            if (length < kRawHistoryQuerySize) {
                break;
            }
            *param = 1;
            if (!ResolveName(body + kHistoryQuerySize, &item)) {
                break;
            }
            const HistoryQuery q = ReadHistoryQuery(body);
            const uint32_t fieldNo = db_.TypeOf(item.point).fields[item.field].fieldNo;
            const std::vector<HistoryRecord> records =
                history_.Range(item.point, fieldNo, q.start, q.span, kMaxRawRecords);
            StoreU32(payload->data(), static_cast<uint32_t>(records.size()));
            for (const HistoryRecord& r : records) {
                AppendHistoryRecord(r, payload);
            }
            break;
        }
        default:
            break;  // unknown command: answered with param 0 and nothing else
    }
}

}  // namespace sim
}  // namespace tarvik
