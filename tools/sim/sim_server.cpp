// CSimServer: the protocol, the scripting, the log of received messages and
// the TCP transport. The local window transport is in sim_local.cpp.
//
// Every message is acted on under the server's lock; replies are written
// outside it, under the lock of their connection only (lock order: server
// lock, then connection lock).
#include "sim/sim_server.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "client/allocator.h"
#include "client/var_value.h"
#include "session/assembler.h"
#include "session/value_record.h"
#include "sim/sim_socket.h"

namespace tarvik {
namespace sim {

struct CSimServer::Connection final : IRecordSink {
    CSimServer* server = nullptr;
    int id = 0;
    sock::Handle socket = sock::kInvalid;
    plat::Thread* thread = nullptr;
    plat::CLock writeLock;
    CAssembler assembler;
    std::atomic<bool> closed{false};
    // Probes this server sent and that are not back yet (server lock).
    int probesOutstanding = 0;
    int probesReturned = 0;

    void HandleRecord(const uint8_t* record, int32_t totalLength) override {
        server->OnTcpRecord(this, record, totalLength);
    }
    void StampActivity() override {}
};

namespace {

constexpr int32_t kWriteTimeoutMs = 5000;
constexpr int32_t kPollMs = 100;
// Bounds of what one request may ask for, so that a malformed request cannot
// make the server build a giant reply.
constexpr uint64_t kMaxHistoryValues = 1u << 20;
constexpr size_t kMaxRawRecords = 100000;

uint32_t NowSeconds() {
    return static_cast<uint32_t>(std::time(nullptr));
}

bool Matches(int16_t scripted, int16_t command) {
    return scripted == kAnyCommand || scripted == command;
}

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
    uint8_t b[4];
    StoreU32(b, v);
    out->insert(out->end(), b, b + 4);
}

// Garbage that holds no 0x88 byte, so it can never look like a marker.
std::vector<uint8_t> Garbage(size_t n) {
    std::vector<uint8_t> g(n);
    for (size_t i = 0; i < n; ++i) {
        g[i] = static_cast<uint8_t>((i * 37 + 11) & 0x7F);
    }
    return g;
}

// A marker with an impossible total length: the receiver skips its 16 bytes.
std::vector<uint8_t> FalseMarker() {
    std::vector<uint8_t> m(kMarkerSize);
    WriteMarker(m.data(), 8, MARKER_MESSAGE);
    return m;
}

const char* TransportName(Transport t) {
    return t == Transport::Tcp ? "tcp" : "local";
}

}  // namespace

// ---- Life cycle ---------------------------------------------------------------

CSimServer::CSimServer(Database db) : db_(std::move(db)) {}

CSimServer::~CSimServer() {
    Stop();
}

bool CSimServer::Start(const ServerOptions& options, std::string* error) {
    {
        plat::CLockHold hold(lock_);
        if (running_) {
            if (error != nullptr) {
                *error = "already running";
            }
            return false;
        }
        options_ = options;
        stopping_ = false;
        stopListening_ = false;
        walkRng_.seed(options.seed);
        std::normal_distribution<double> normal(0.0, 1.0);
        walkNormals_.resize(kWalkNormals);
        for (double& n : walkNormals_) {
            n = normal(walkRng_);
        }
    }
    stopEvent_.Reset();
    if (options.tcp) {
        int32_t code = 0;
        uint16_t bound = 0;
        const sock::Handle l =
            sock::Listen(options.bindAddress.c_str(), options.port, &bound, &code);
        if (l == sock::kInvalid) {
            if (error != nullptr) {
                *error = "cannot listen on " + options.bindAddress + ":" +
                         std::to_string(options.port) + ": " + sock::ErrorText(code);
            }
            return false;
        }
        listener_ = l;
        port_ = bound;
        listenerThread_ = plat::ThreadCreate(&CSimServer::ListenerProc, this, nullptr);
        if (listenerThread_ == nullptr) {
            sock::Close(listener_);
            listener_ = sock::kInvalid;
            if (error != nullptr) {
                *error = "cannot start the listener thread";
            }
            return false;
        }
    }
    running_ = true;
    if (options.local && !StartLocal(error)) {
        Stop();
        return false;
    }
    if (options.simulateMs > 0) {
        simulateThread_ = plat::ThreadCreate(&CSimServer::SimulateProc, this, nullptr);
    }
    return true;
}

void CSimServer::Stop() {
    {
        plat::CLockHold hold(lock_);
        if (!running_) {
            return;
        }
        stopping_ = true;
    }
    stopEvent_.Set();
    if (simulateThread_ != nullptr) {
        plat::ThreadWait(simulateThread_, -1);
        plat::ThreadClose(simulateThread_);
        simulateThread_ = nullptr;
    }
    StopLocal();
    if (listenerThread_ != nullptr) {
        plat::ThreadWait(listenerThread_, -1);
        plat::ThreadClose(listenerThread_);
        listenerThread_ = nullptr;
    }
    if (listener_ != sock::kInvalid) {
        sock::Close(listener_);
        listener_ = sock::kInvalid;
    }
    std::vector<std::unique_ptr<Connection>> connections;
    {
        plat::CLockHold hold(lock_);
        connections.swap(connections_);
    }
    for (auto& c : connections) {
        sock::Shutdown(c->socket);
    }
    for (auto& c : connections) {
        if (c->thread != nullptr) {
            plat::ThreadWait(c->thread, -1);
            plat::ThreadClose(c->thread);
        }
        sock::Close(c->socket);
    }
    plat::CLockHold hold(lock_);
    sessions_.clear();
    running_ = false;
}

bool CSimServer::Running() const {
    plat::CLockHold hold(lock_);
    return running_;
}

uint16_t CSimServer::Port() const {
    plat::CLockHold hold(lock_);
    return port_;
}

plat::WindowHandle CSimServer::Window() const {
    plat::CLockHold hold(lock_);
    return window_;
}

void CSimServer::Log(const std::string& line) const {
    if (options_.log) {
        options_.log(line);
    }
}

// ---- Database -------------------------------------------------------------------

bool CSimServer::SetValue(const std::string& point, const std::string& field,
                          const SimValue& value) {
    plat::CLockHold hold(lock_);
    const int p = db_.PointIndex(point);
    if (p < 0) {
        return false;
    }
    const int f = db_.TypeOf(p).FieldByName(field);
    if (f < 0) {
        return false;
    }
    ChangeValue(Item{p, f}, value, NowSeconds());
    return true;
}

bool CSimServer::GetValue(const std::string& point, const std::string& field,
                          SimValue* value) const {
    plat::CLockHold hold(lock_);
    const int p = db_.PointIndex(point);
    if (p < 0) {
        return false;
    }
    const int f = db_.TypeOf(p).FieldByName(field);
    if (f < 0) {
        return false;
    }
    *value = db_.points[p].values[f];
    return true;
}

bool CSimServer::HidePointForNextLogin(const std::string& point) {
    plat::CLockHold hold(lock_);
    const int p = db_.PointIndex(point);
    if (p < 0) {
        return false;
    }
    hiddenOnce_.push_back(p);
    return true;
}

std::vector<HistoryRecord> CSimServer::History(const std::string& point,
                                               const std::string& field) const {
    plat::CLockHold hold(lock_);
    const int p = db_.PointIndex(point);
    if (p < 0) {
        return {};
    }
    const int f = db_.TypeOf(p).FieldByName(field);
    if (f < 0) {
        return {};
    }
    return history_.Range(p, db_.TypeOf(p).fields[f].fieldNo, 0, UINT32_MAX,
                          HistoryStore::kMaxPerItem);
}

void CSimServer::SetServerFlag(bool on) {
    plat::CLockHold hold(lock_);
    options_.serverFlag = on;
}

void CSimServer::SetDirectoryGap(int32_t gap) {
    plat::CLockHold hold(lock_);
    options_.directoryGap = gap;
}

Database CSimServer::Snapshot() const {
    plat::CLockHold hold(lock_);
    return db_;
}

void CSimServer::ChangeValue(const Item& item, const SimValue& value, uint32_t time, bool record) {
    PointInfo& p = db_.points[item.point];
    const FieldInfo& f = db_.types[p.typeIndex].fields[item.field];
    p.values[item.field] = ConvertValue(value, f.valueType);
    ++p.versions[item.field];
    if (!record) {
        return;
    }
    HistoryRecord r;
    r.time = time;
    r.value = static_cast<float>(p.values[item.field].AsNumber());
    history_.Record(item.point, f.fieldNo, r);
}

void CSimServer::SimulateStep() {
    plat::CLockHold hold(lock_);
    const uint32_t now = NowSeconds();
    // History keeps seconds: a walk faster than once a second records each
    // field about once a second, the fields spread over the steps, so that a
    // large walk every few milliseconds stays cheap.
    const uint64_t every = static_cast<uint64_t>(
        std::max<int32_t>(1, 1000 / std::max<int32_t>(1, options_.simulateMs)));
    uint64_t slot = walkSteps_++;
    for (size_t p = 0; p < db_.points.size(); ++p) {
        const TypeInfo& t = db_.types[db_.points[p].typeIndex];
        for (size_t f = 0; f < t.fields.size(); ++f) {
            const FieldInfo& fi = t.fields[f];
            if (!fi.simulate || fi.valueType != VAL_DOUBLE) {
                continue;
            }
            const double v = db_.points[p].values[f].d;
            const bool ranged = fi.max > fi.min;
            const double range = ranged ? fi.max - fi.min : std::max(1.0, std::fabs(v));
            // A normal step from the table, picked by one cheap draw.
            double next = v + range * 0.005 * walkNormals_[walkRng_() & (kWalkNormals - 1)];
            if (ranged) {
                next = std::min(fi.max, std::max(fi.min, next));
            }
            PointInfo& point = db_.points[p];
            if (slot++ % every != 0 && point.values[f].type == VAL_DOUBLE) {
                point.values[f].d = next;  // what ChangeValue does, without the history
                ++point.versions[f];
                continue;
            }
            ChangeValue(Item{static_cast<int>(p), static_cast<int>(f)}, SimValue::Double(next),
                        now);
        }
    }
}

uint32_t CSimServer::SimulateProc(void* arg) {
    auto* self = static_cast<CSimServer*>(arg);
    const int32_t period = std::max<int32_t>(1, self->options_.simulateMs);
    while (!self->stopping_) {
        if (self->stopEvent_.Wait(period)) {
            break;
        }
        self->SimulateStep();
    }
    return 0;
}

// ---- Sessions ---------------------------------------------------------------------

std::vector<int16_t> CSimServer::ClientIds() const {
    plat::CLockHold hold(lock_);
    std::vector<int16_t> ids;
    for (const auto& s : sessions_) {
        ids.push_back(s.first);
    }
    return ids;
}

void CSimServer::VoidSessions() {
    plat::CLockHold hold(lock_);
    sessions_.clear();
}

int16_t CSimServer::NextClientId() {
    for (int tries = 0; tries < 32767; ++tries) {
        lastClientId_ = static_cast<int16_t>(lastClientId_ >= 32767 ? 1 : lastClientId_ + 1);
        if (sessions_.find(lastClientId_) == sessions_.end()) {
            return lastClientId_;
        }
    }
    return 0;
}

void CSimServer::DropSessionsOf(int connection) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->second.transport == Transport::Tcp && it->second.connection == connection) {
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

bool CSimServer::ResolveItem(const Session& s, uint32_t pointIndex, uint32_t fieldNo,
                             Item* item) const {
    if (pointIndex >= s.view.size() || fieldNo > 255) {
        return false;
    }
    const int p = s.view[pointIndex];
    const int f = db_.TypeOf(p).FieldByNo(fieldNo);
    if (f < 0) {
        return false;
    }
    *item = Item{p, f};
    return true;
}

// "POINT.FIELD" in a 32-byte name field; a name without a dot means PV.
bool CSimServer::ResolveName(const uint8_t* name32, Item* item) const {
    const std::string text(reinterpret_cast<const char*>(name32),
                           strnlen(reinterpret_cast<const char*>(name32), 32));
    const size_t dot = text.find('.');
    const std::string point = text.substr(0, dot);
    const std::string field = dot == std::string::npos ? "PV" : text.substr(dot + 1);
    const int p = db_.PointIndex(point);
    if (p < 0) {
        return false;
    }
    const int f = db_.TypeOf(p).FieldByName(field);
    if (f < 0) {
        return false;
    }
    *item = Item{p, f};
    return true;
}

// ---- Log of received messages -----------------------------------------------------

void CSimServer::Record(ReceivedMessage m) {
    m.index = logNext_++;
    if (options_.log) {
        std::string line = std::string("recv ") + TransportName(m.transport) + " #" +
                           std::to_string(m.connection) + ": ";
        if (m.probe) {
            line += "probe";
        } else if (!m.valid) {
            line += "invalid message of " + std::to_string(m.bytes.size()) + " bytes";
        } else {
            line += "command " + std::to_string(m.header.command) + " client " +
                    std::to_string(m.header.clientId) + " param " + std::to_string(m.header.param) +
                    " request " + std::to_string(m.header.requestId) + " payload " +
                    std::to_string(m.header.payloadLength);
        }
        Log(line);
    }
    log_.push_back(std::move(m));
    if (log_.size() > kMaxLog) {
        log_.pop_front();
    }
    received_.Set();
}

std::vector<ReceivedMessage> CSimServer::Received() const {
    plat::CLockHold hold(lock_);
    return std::vector<ReceivedMessage>(log_.begin(), log_.end());
}

uint64_t CSimServer::Mark() const {
    plat::CLockHold hold(lock_);
    return logNext_;
}

size_t CSimServer::CountReceived(int16_t command, uint64_t from) const {
    plat::CLockHold hold(lock_);
    size_t n = 0;
    for (const ReceivedMessage& m : log_) {
        if (m.index >= from && (command == kAnyCommand ? !m.probe : m.command() == command)) {
            ++n;
        }
    }
    return n;
}

bool CSimServer::WaitForMessage(int16_t command, uint32_t timeoutMs, ReceivedMessage* out,
                                uint64_t from) const {
    const uint32_t start = plat::TickCount();
    for (;;) {
        {
            plat::CLockHold hold(lock_);
            for (const ReceivedMessage& m : log_) {
                if (m.index >= from &&
                    (command == kAnyCommand ? !m.probe : m.command() == command)) {
                    if (out != nullptr) {
                        *out = m;
                    }
                    return true;
                }
            }
        }
        const uint32_t waited = plat::TickCount() - start;
        if (waited >= timeoutMs) {
            return false;
        }
        // Short slices: the event wakes one waiter only.
        received_.Wait(static_cast<int32_t>(std::min<uint32_t>(timeoutMs - waited, 10)));
    }
}

bool CSimServer::WaitForCount(int16_t command, size_t count, uint32_t timeoutMs,
                              uint64_t from) const {
    const uint32_t start = plat::TickCount();
    for (;;) {
        if (CountReceived(command, from) >= count) {
            return true;
        }
        const uint32_t waited = plat::TickCount() - start;
        if (waited >= timeoutMs) {
            return false;
        }
        received_.Wait(static_cast<int32_t>(std::min<uint32_t>(timeoutMs - waited, 10)));
    }
}

void CSimServer::ClearReceived() {
    plat::CLockHold hold(lock_);
    log_.clear();
}

// ---- Scripting ---------------------------------------------------------------------

void CSimServer::SetSilent(bool silent) {
    plat::CLockHold hold(lock_);
    silent_ = silent;
}

void CSimServer::ScriptStatus(int16_t command, int16_t status, bool once) {
    plat::CLockHold hold(lock_);
    Script s(Action::Status, command, once);
    s.status = status;
    scripts_.push_back(s);
}

void CSimServer::ScriptParamZero(int16_t command, bool once) {
    plat::CLockHold hold(lock_);
    scripts_.push_back(Script(Action::ParamZero, command, once));
}

void CSimServer::ScriptNoAnswer(int16_t command, bool once) {
    plat::CLockHold hold(lock_);
    scripts_.push_back(Script(Action::NoAnswer, command, once));
}

void CSimServer::ScriptDrop(int16_t command, bool once) {
    plat::CLockHold hold(lock_);
    scripts_.push_back(Script(Action::Drop, command, once));
}

void CSimServer::StopListening() {
    stopListening_ = true;
    for (int i = 0; i < 1000; ++i) {
        {
            plat::CLockHold hold(lock_);
            if (listener_ == sock::kInvalid) {
                return;
            }
        }
        plat::SleepMs(5);
    }
}

void CSimServer::CorruptNextReply(Corruption kind, int16_t command) {
    plat::CLockHold hold(lock_);
    scripts_.push_back(Script{
        kind == Corruption::Length ? Action::CorruptLength : Action::CorruptMagic, command, true});
}

void CSimServer::GarbageBeforeNextReply(size_t bytes, int16_t command) {
    plat::CLockHold hold(lock_);
    Script s(Action::Garbage, command, true);
    s.bytes = bytes;
    scripts_.push_back(s);
}

void CSimServer::FalseMarkerBeforeNextReply(int16_t command) {
    plat::CLockHold hold(lock_);
    scripts_.push_back(Script(Action::FalseMarker, command, true));
}

void CSimServer::SplitNextReply(const std::vector<size_t>& fragments, uint32_t pauseMs,
                                int16_t command) {
    plat::CLockHold hold(lock_);
    Script s(Action::Split, command, true);
    s.fragments = fragments;
    s.pauseMs = pauseMs;
    scripts_.push_back(s);
}

void CSimServer::ScriptWindowAnswer(intptr_t answer, bool once) {
    plat::CLockHold hold(lock_);
    windowAnswer_ = answer;
    windowAnswerOnce_ = once;
}

void CSimServer::SetRandomFaults(uint32_t seed, uint32_t percent, uint32_t maxFaults) {
    plat::CLockHold hold(lock_);
    faultRng_.seed(seed);
    faultPercent_ = std::min<uint32_t>(percent, 100);
    faultsLeft_ = percent == 0 ? 0 : maxFaults;
    faultsInjected_ = 0;
}

uint32_t CSimServer::FaultsInjected() const {
    plat::CLockHold hold(lock_);
    return faultsInjected_;
}

void CSimServer::ClearScripts() {
    plat::CLockHold hold(lock_);
    scripts_.clear();
    silent_ = false;
    windowAnswer_ = 1;
    windowAnswerOnce_ = false;
    faultPercent_ = 0;
    faultsLeft_ = 0;
}

bool CSimServer::TakeScript(Action action, int16_t command, Transport transport, Script* out) {
    const bool tcpOnly = action == Action::Garbage || action == Action::FalseMarker ||
                         action == Action::Split || action == Action::Drop;
    if (tcpOnly && transport != Transport::Tcp) {
        return false;
    }
    for (size_t i = 0; i < scripts_.size(); ++i) {
        if (scripts_[i].action == action && Matches(scripts_[i].command, command)) {
            *out = scripts_[i];
            if (scripts_[i].once) {
                scripts_.erase(scripts_.begin() + static_cast<std::ptrdiff_t>(i));
            }
            return true;
        }
    }
    return false;
}

void CSimServer::ApplyRandomFault(Outgoing* out, Transport transport) {
    if (faultsLeft_ == 0 || faultPercent_ == 0 || !out->answer) {
        return;
    }
    if (faultRng_() % 100 >= faultPercent_) {
        return;
    }
    --faultsLeft_;
    ++faultsInjected_;
    const uint32_t kinds = transport == Transport::Tcp ? 7 : 3;
    switch (faultRng_() % kinds) {
        case 0:
            out->answer = false;
            break;
        case 1:
            StoreI16(out->message.data() + hdr::kMagic, MSG_MAGIC + 1);
            break;
        case 2:
            StoreI32(out->message.data() + hdr::kPayloadLength,
                     LoadI32(out->message.data() + hdr::kPayloadLength) + 1);
            break;
        case 3: {
            const std::vector<uint8_t> g = Garbage(1 + faultRng_() % 40);
            out->prefix.insert(out->prefix.end(), g.begin(), g.end());
            break;
        }
        case 4: {
            const std::vector<uint8_t> m = FalseMarker();
            out->prefix.insert(out->prefix.end(), m.begin(), m.end());
            break;
        }
        case 5:
            out->fragments = {1 + faultRng_() % 20, 1 + faultRng_() % 60};
            out->pauseMs = 1 + faultRng_() % 5;
            break;
        default:
            out->drop = true;
            break;
    }
    Log("random fault " + std::to_string(faultsInjected_));
}

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
    int16_t param = 0;
    int16_t clientId = STATUS_VOID;
    if (scriptedStatus && status.status <= 0) {
        // A refusal or a void session: nothing is acted on.
        clientId = status.status;
    } else if (h.command == CMD_LOGIN) {
        clientId = HandleLogin(h, &payload, &param, transport, connection);
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

    uint8_t* block = nullptr;
    size_t size = 0;
    if (!BuildMessage(h.command, param, clientId, h.requestId, h.sequence, payload.data(),
                      static_cast<uint32_t>(payload.size()), &block, &size)) {
        out.answer = false;
        return out;
    }
    out.message.assign(block, block + size);
    MemFree(block);
    if (transport == Transport::Local) {
        StoreI32(out.message.data() + hdr::kSenderWindow, window_);
    }
    if (TakeScript(Action::CorruptLength, h.command, transport, &script)) {
        StoreI32(out.message.data() + hdr::kPayloadLength,
                 static_cast<int32_t>(payload.size()) + 1);
    }
    if (TakeScript(Action::CorruptMagic, h.command, transport, &script)) {
        StoreI16(out.message.data() + hdr::kMagic, MSG_MAGIC + 1);
    }
    if (TakeScript(Action::Garbage, h.command, transport, &script)) {
        out.prefix = Garbage(script.bytes);
    }
    if (TakeScript(Action::FalseMarker, h.command, transport, &script)) {
        const std::vector<uint8_t> m = FalseMarker();
        out.prefix.insert(out.prefix.end(), m.begin(), m.end());
    }
    if (TakeScript(Action::Split, h.command, transport, &script)) {
        out.fragments = script.fragments;
        out.pauseMs = script.pauseMs;
    }
    ApplyRandomFault(&out, transport);
    return out;
}

int16_t CSimServer::HandleLogin(const HeaderView& h, std::vector<uint8_t>* payload, int16_t* param,
                                Transport transport, int connection) {
    const int16_t id = NextClientId();
    if (id <= 0) {
        return STATUS_VOID;  // every id is taken: the login fails
    }
    Session s;
    s.id = id;
    s.transport = transport;
    s.connection = connection;
    for (size_t p = 0; p < db_.points.size(); ++p) {
        if (std::find(hiddenOnce_.begin(), hiddenOnce_.end(), static_cast<int>(p)) ==
            hiddenOnce_.end()) {
            s.view.push_back(static_cast<int>(p));
        }
    }
    hiddenOnce_.clear();
    *payload = EncodeDirectory(db_, s.view, options_.directoryGap);
    *param = options_.serverFlag ? 1 : 0;
    sessions_[id] = std::move(s);
    Log("login: client " + std::to_string(id) + " (client parameter " + std::to_string(h.param) +
        ")");
    return id;
}

namespace {

// The uint32 count and the (point index, FieldNo) pairs of a request; false
// when the payload is shorter than its count says.
bool ReadPairs(const uint8_t* body, size_t length,
               std::vector<std::pair<uint32_t, uint32_t>>* pairs) {
    if (length < 4) {
        return false;
    }
    const uint32_t n = LoadU32(body);
    if (n > (length - 4) / 8) {
        return false;
    }
    pairs->reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        pairs->emplace_back(LoadU32(body + 4 + 8 * i), LoadU32(body + 8 + 8 * i));
    }
    return true;
}

uint32_t MakeKey(uint32_t pointIndex, uint32_t fieldNo) {
    return (pointIndex & 0xFFFFFF) | (fieldNo << 24);
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
                    if (ResolveItem(s, sub.first & 0xFFFFFF, sub.first >> 24, &item)) {
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
            PutU32(payload, static_cast<uint32_t>(pairs.size()));
            for (const auto& pr : pairs) {
                if (!ResolveItem(s, pr.first, pr.second, &item)) {
                    AppendValueRecord(SimValue(), payload);
                    continue;
                }
                AppendValueRecord(db_.points[item.point].values[item.field], payload);
                if (h.command != CMD_READ_VALUES) {
                    s.subscribed[MakeKey(pr.first, pr.second)] =
                        db_.points[item.point].versions[item.field];
                }
            }
            break;
        }
        case CMD_WRITE_VALUES: {
            // All or nothing: every item must resolve and every record decode.
            if (length < 4) {
                break;
            }
            const uint32_t n = LoadU32(body);
            size_t pos = 4;
            std::vector<std::pair<Item, SimValue>> writes;
            bool ok = n <= (length - 4) / 9;
            for (uint32_t i = 0; ok && i < n; ++i) {
                if (length - pos < 8) {
                    ok = false;
                    break;
                }
                const uint32_t p = LoadU32(body + pos);
                const uint32_t f = LoadU32(body + pos + 4);
                pos += 8;
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
                s.subscribed.erase(MakeKey(pr.first, pr.second));
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
            if (length < 16) {
                break;
            }
            const uint32_t start = LoadU32(body);
            const uint32_t span = LoadU32(body + 4);
            const uint32_t samples = LoadU32(body + 8);
            const uint32_t count = LoadU32(body + 12);
            if (count > (length - 16) / 32 ||
                static_cast<uint64_t>(count) * samples > kMaxHistoryValues) {
                break;
            }
            // All samples of one item together, item after item.
            for (uint32_t i = 0; i < count; ++i) {
                std::vector<float> values(samples, 0.0f);
                if (ResolveName(body + 16 + 32 * i, &item)) {
                    const FieldInfo& f = db_.TypeOf(item.point).fields[item.field];
                    const float now =
                        static_cast<float>(db_.points[item.point].values[item.field].AsNumber());
                    values = history_.Sample(item.point, f.fieldNo, start, span, samples, now);
                }
                for (float v : values) {
                    uint32_t bits;
                    std::memcpy(&bits, &v, sizeof bits);
                    PutU32(payload, bits);
                }
            }
            *param = 1;
            break;
        }
        case CMD_WRITE_HISTORY: {
            // The record count comes from the payload length: param carries
            // only its low 16 bits.
            if (length < 32 || (length - 32) % kHistoryRecordSize != 0 ||
                !ResolveName(body, &item) || refuseWrites) {
                break;
            }
            const uint32_t fieldNo = db_.TypeOf(item.point).fields[item.field].fieldNo;
            const size_t n = (length - 32) / kHistoryRecordSize;
            for (size_t i = 0; i < n; ++i) {
                history_.Record(item.point, fieldNo,
                                ReadHistoryRecord(body + 32 + kHistoryRecordSize * i));
            }
            *param = 1;
            break;
        }
        case CMD_READ_HISTORY_RAW: {
            PutU32(payload, 0);
            if (length < 48) {
                break;
            }
            *param = 1;
            if (!ResolveName(body + 16, &item)) {
                break;
            }
            const uint32_t fieldNo = db_.TypeOf(item.point).fields[item.field].fieldNo;
            const std::vector<HistoryRecord> records = history_.Range(
                item.point, fieldNo, LoadU32(body), LoadU32(body + 4), kMaxRawRecords);
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

// ---- TCP ------------------------------------------------------------------------------

uint32_t CSimServer::ListenerProc(void* arg) {
    auto* self = static_cast<CSimServer*>(arg);
    while (!self->stopping_) {
        // Reap connections whose reader has ended.
        {
            plat::CLockHold hold(self->lock_);
            auto& cs = self->connections_;
            for (auto it = cs.begin(); it != cs.end();) {
                Connection* c = it->get();
                if (c->closed && (c->thread == nullptr || plat::ThreadWait(c->thread, 0))) {
                    if (c->thread != nullptr) {
                        plat::ThreadClose(c->thread);
                    }
                    sock::Close(c->socket);
                    it = cs.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (self->stopListening_ && self->listener_ != sock::kInvalid) {
            plat::CLockHold hold(self->lock_);
            sock::Close(self->listener_);
            self->listener_ = sock::kInvalid;
        }
        if (self->listener_ == sock::kInvalid) {
            plat::SleepMs(kPollMs);
            continue;
        }
        if (sock::WaitReadable(self->listener_, kPollMs) != 1) {
            continue;
        }
        const sock::Handle s = sock::Accept(self->listener_);
        if (s == sock::kInvalid) {
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->server = self;
        c->socket = s;
        plat::CLockHold hold(self->lock_);
        if (self->stopping_) {
            sock::Close(s);
            break;
        }
        c->id = self->nextConnection_++;
        Connection* raw = c.get();
        self->connections_.push_back(std::move(c));
        raw->thread = plat::ThreadCreate(&CSimServer::ReaderProc, raw, nullptr);
        if (raw->thread == nullptr) {
            raw->closed = true;
        }
        self->Log("connection " + std::to_string(raw->id) + " opened");
    }
    return 0;
}

uint32_t CSimServer::ReaderProc(void* arg) {
    auto* c = static_cast<Connection*>(arg);
    CSimServer* self = c->server;
    std::vector<uint8_t> buffer(65536);
    while (!self->stopping_) {
        const int32_t r = sock::WaitReadable(c->socket, kPollMs);
        if (r < 0) {
            break;
        }
        if (r == 0) {
            continue;
        }
        const int32_t n = sock::Recv(c->socket, buffer.data(), static_cast<int32_t>(buffer.size()));
        if (n == sock::kWouldBlock) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        c->assembler.AssembleMessages(buffer.data(), n, *c);
    }
    plat::CLockHold hold(self->lock_);
    c->closed = true;
    self->DropSessionsOf(c->id);
    self->Log("connection " + std::to_string(c->id) + " closed");
    return 0;
}

void CSimServer::OnTcpRecord(Connection* c, const uint8_t* record, int32_t totalLength) {
    const int32_t kind = LoadI32(record + 12);
    Outgoing out;
    if (kind == MARKER_PROBE) {
        plat::CLockHold hold(lock_);
        ReceivedMessage m;
        m.transport = Transport::Tcp;
        m.connection = c->id;
        m.tick = plat::TickCount();
        m.probe = true;
        m.valid = true;
        Record(std::move(m));
        if (c->probesOutstanding > 0) {
            // The answer to a probe of ours: answering it would ping-pong.
            --c->probesOutstanding;
            ++c->probesReturned;
            return;
        }
        if (silent_) {
            return;
        }
        uint8_t probe[kProbeLength] = {};
        WriteMarker(probe, kProbeLength, MARKER_PROBE);
        plat::CLockHold write(c->writeLock);
        sock::SendAll(c->socket, probe, kProbeLength, kWriteTimeoutMs);
        return;
    }
    if (kind != MARKER_MESSAGE) {
        return;  // other kinds are skipped whole
    }
    const uint8_t* msg = record + kMarkerSize;
    const size_t length = static_cast<size_t>(totalLength) - kMarkerSize;
    {
        plat::CLockHold hold(lock_);
        ReceivedMessage m;
        m.transport = Transport::Tcp;
        m.connection = c->id;
        m.tick = plat::TickCount();
        m.valid = IsValidMessage(msg, length);
        m.bytes.assign(msg, msg + length);
        if (length >= kHeaderSize) {
            m.header = ReadHeader(msg);
        }
        Record(std::move(m));
        out = Process(msg, length, Transport::Tcp, c->id);
    }
    SendTcp(c, out);
}

void CSimServer::SendTcp(Connection* c, const Outgoing& out) {
    if (!out.answer) {
        return;
    }
    plat::CLockHold write(c->writeLock);
    if (out.drop) {
        sock::Shutdown(c->socket);
        return;
    }
    std::vector<uint8_t> framed(kMarkerSize + out.message.size());
    WriteMarker(framed.data(), static_cast<int32_t>(framed.size()), MARKER_MESSAGE);
    std::copy(out.message.begin(), out.message.end(), framed.begin() + kMarkerSize);
    bool ok = true;
    if (!out.prefix.empty()) {
        ok = sock::SendAll(c->socket, out.prefix.data(), static_cast<int32_t>(out.prefix.size()),
                           kWriteTimeoutMs);
    }
    size_t done = 0;
    for (size_t piece : out.fragments) {
        if (!ok || done >= framed.size()) {
            break;
        }
        const size_t n = std::min(piece, framed.size() - done);
        ok = sock::SendAll(c->socket, framed.data() + done, static_cast<int32_t>(n),
                           kWriteTimeoutMs);
        done += n;
        plat::SleepMs(out.pauseMs);
    }
    if (ok && done < framed.size()) {
        ok = sock::SendAll(c->socket, framed.data() + done,
                           static_cast<int32_t>(framed.size() - done), kWriteTimeoutMs);
    }
    if (!ok) {
        sock::Shutdown(c->socket);
    }
}

std::vector<int> CSimServer::Connections() const {
    plat::CLockHold hold(lock_);
    std::vector<int> ids;
    for (const auto& c : connections_) {
        if (!c->closed) {
            ids.push_back(c->id);
        }
    }
    return ids;
}

int CSimServer::ConnectionOfClient(int16_t clientId) const {
    plat::CLockHold hold(lock_);
    auto it = sessions_.find(clientId);
    if (it == sessions_.end() || it->second.transport != Transport::Tcp) {
        return -1;
    }
    return it->second.connection;
}

bool CSimServer::DropConnection(int connection) {
    plat::CLockHold hold(lock_);
    for (const auto& c : connections_) {
        if (c->id == connection && !c->closed) {
            sock::Shutdown(c->socket);
            return true;
        }
    }
    return false;
}

int CSimServer::DropAllConnections() {
    plat::CLockHold hold(lock_);
    int n = 0;
    for (const auto& c : connections_) {
        if (!c->closed) {
            sock::Shutdown(c->socket);
            ++n;
        }
    }
    return n;
}

bool CSimServer::SendProbe(int connection, uint32_t timeoutMs) {
    int before = 0;
    {
        plat::CLockHold hold(lock_);
        Connection* c = nullptr;
        for (const auto& cc : connections_) {
            if (cc->id == connection && !cc->closed) {
                c = cc.get();
            }
        }
        if (c == nullptr) {
            return false;
        }
        before = c->probesReturned;
        ++c->probesOutstanding;
        uint8_t probe[kProbeLength] = {};
        WriteMarker(probe, kProbeLength, MARKER_PROBE);
        plat::CLockHold write(c->writeLock);
        if (!sock::SendAll(c->socket, probe, kProbeLength, kWriteTimeoutMs)) {
            --c->probesOutstanding;
            return false;
        }
    }
    const uint32_t start = plat::TickCount();
    for (;;) {
        {
            plat::CLockHold hold(lock_);
            for (const auto& c : connections_) {
                if (c->id == connection && c->probesReturned > before) {
                    return true;
                }
            }
        }
        const uint32_t waited = plat::TickCount() - start;
        if (waited >= timeoutMs) {
            // Late answers must not be taken for the client's own probes.
            plat::CLockHold hold(lock_);
            for (const auto& c : connections_) {
                if (c->id == connection && c->probesOutstanding > 0) {
                    --c->probesOutstanding;
                }
            }
            return false;
        }
        received_.Wait(static_cast<int32_t>(std::min<uint32_t>(timeoutMs - waited, 10)));
    }
}

}  // namespace sim
}  // namespace tarvik
