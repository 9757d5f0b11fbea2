// The whole client against a server made of the fuzzer's bytes.
//
// A real client runs its session, notification and application threads over
// an in-memory network link. The input is a script for the server side:
// each step answers the oldest message the client sent (its status, param
// and payload from the input), writes raw bytes or a framed message of the
// input's own into the stream, pauses, drops the link, or decides whether
// the next reconnection succeeds. The client starts with a directory and
// four subscriptions; two application threads issue requests all along.
//
// Invariants (a violation aborts, which the fuzzer reports): no request or
// teardown outlives its bound, every state is a CONN_ state, every value
// handed to the data callback is a valid VarValue, and no library block is
// left once the client is destroyed.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "checks.h"
#include "client/allocator.h"
#include "client/client.h"
#include "client/netlink.h"
#include "client_probe.h"
#include "fuzz_common.h"
#include "session/message.h"
#include "tarvik/tarvik.h"

namespace {
using namespace tarvik;
using fuzzkit::Directory;
using Clock = std::chrono::steady_clock;

constexpr int32_t kReplyTimeoutMs = 3;
constexpr int32_t kHeartbeatMs = 3;
// A request waits for its reply up to ten reply timeouts; the rest is the
// scheduler's on a loaded machine.
constexpr int kRequestBoundMs = 10 * kReplyTimeoutMs + 2000;
constexpr int kTeardownBoundMs = 5000;
constexpr size_t kMaxSteps = 48;
constexpr size_t kMaxBytes = 512;

[[noreturn]] void Violated(const char* what) {
    std::fprintf(stderr, "fuzz_client: invariant violated: %s\n", what);
    std::abort();
}

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- The input -------------------------------------------------------------------

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    std::vector<uint8_t> Bytes(size_t n) {
        n = n < size_ - at_ ? n : size_ - at_;
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

std::vector<uint8_t> Framed(const std::vector<uint8_t>& message) {
    std::vector<uint8_t> out(kMarkerSize + message.size());
    WriteMarker(out.data(), static_cast<int32_t>(out.size()), MARKER_MESSAGE);
    std::copy(message.begin(), message.end(), out.begin() + kMarkerSize);
    return out;
}

std::vector<uint8_t> Message(int16_t command, int16_t param, int16_t clientId, int32_t requestId,
                             int32_t sequence, const std::vector<uint8_t>& payload) {
    uint8_t* block = nullptr;
    size_t size = 0;
    if (!BuildMessage(command, param, clientId, requestId, sequence,
                      payload.empty() ? nullptr : payload.data(),
                      static_cast<uint32_t>(payload.size()), &block, &size)) {
        return {};
    }
    std::vector<uint8_t> m(block, block + size);
    MemFree(block);
    return m;
}

// ---- The in-memory link ------------------------------------------------------------

class FuzzLink final : public INetLink {
  public:
    // ---- The server side (the driver thread) ----
    // The oldest message the client sent that is not answered yet.
    bool TakeSent(HeaderView* out) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (sent_.empty()) {
            return false;
        }
        *out = sent_.front();
        sent_.pop_front();
        return true;
    }
    // Waits up to ms for a message from the client, waking its session
    // thread meanwhile: its passes otherwise wait 100 ms for data, and the
    // fuzzer wants many short runs.
    bool WaitSent(int ms, plat::CEvent* wake) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(mutex_);
                if (!sent_.empty()) {
                    return true;
                }
            }
            if (Clock::now() >= end) {
                return false;
            }
            wake->Set();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    // The server's bytes, as the reader thread hands them over.
    void Deliver(const std::vector<uint8_t>& bytes) {
        if (bytes.empty() || !connected_.load()) {
            return;
        }
        NetDataCallback handler = nullptr;
        void* owner = nullptr;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            rx_.insert(rx_.end(), bytes.begin(), bytes.end());
            handler = dataHandler_;
            owner = owner_;
        }
        if (handler != nullptr) {
            handler(this, owner);
        }
    }
    // The loss of the connection, reported as the component does: inside
    // the handler the reporting thread still sees the link up.
    void Drop() {
        NetEventCallback handler = nullptr;
        void* owner = nullptr;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!connected_.load()) {
                return;
            }
            reporter_ = std::this_thread::get_id();
            reporting_ = true;
            connected_.store(false);
            handler = eventHandler_;
            owner = owner_;
        }
        if (handler != nullptr) {
            handler(this, owner);
        }
        std::lock_guard<std::mutex> hold(mutex_);
        reporting_ = false;
        rx_.clear();
    }
    void SetConnectResult(bool ok) { connectOk_.store(ok); }

    // ---- INetLink ----
    void SetOwner(void* owner) override {
        std::lock_guard<std::mutex> hold(mutex_);
        owner_ = owner;
    }
    bool Connect(const char*, uint16_t) override { return Reconnect(); }
    bool ConnectPair(const char*, uint16_t, const char*, uint16_t) override { return Reconnect(); }
    void Close() override {
        std::lock_guard<std::mutex> hold(mutex_);
        connected_.store(false);
        rx_.clear();
        sent_.clear();
    }
    int32_t Reserved3() override { return 0; }
    int32_t Send(const void* bytes, int32_t count) override {
        if (!connected_.load() || bytes == nullptr || count < 0) {
            return -1;
        }
        // The client writes one framed message per call.
        const auto* p = static_cast<const uint8_t*>(bytes);
        if (static_cast<size_t>(count) >= kMarkerSize + kHeaderSize && IsMarkerSignature(p) &&
            LoadI32(p + 12) == MARKER_MESSAGE) {
            std::lock_guard<std::mutex> hold(mutex_);
            sent_.push_back(ReadHeader(p + kMarkerSize));
        }
        return count;
    }
    int32_t Receive(void* buffer, int32_t count) override {
        if (buffer == nullptr || count <= 0) {
            return 0;
        }
        std::lock_guard<std::mutex> hold(mutex_);
        const size_t n = std::min(static_cast<size_t>(count), rx_.size());
        std::copy(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n),
                  static_cast<uint8_t*>(buffer));
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<int32_t>(n);
    }
    int32_t Reserved6() override { return 0; }
    void SetReceiveHandler(NetDataCallback handler) override {
        std::lock_guard<std::mutex> hold(mutex_);
        dataHandler_ = handler;
    }
    int32_t Reserved8() override { return 0; }
    void SetEventHandler(NetEventCallback handler) override {
        std::lock_guard<std::mutex> hold(mutex_);
        eventHandler_ = handler;
    }
    bool IsConnected() override {
        std::lock_guard<std::mutex> hold(mutex_);
        return connected_.load() || (reporting_ && reporter_ == std::this_thread::get_id());
    }
    int32_t GetAvailable() override {
        std::lock_guard<std::mutex> hold(mutex_);
        return static_cast<int32_t>(rx_.size());
    }
    int32_t Reserved12() override { return 0; }
    int32_t Reserved13() override { return 0; }
    void Shutdown() override { shutdown_.store(true); }

  private:
    bool Reconnect() {
        if (shutdown_.load() || !connectOk_.load()) {
            return false;
        }
        std::lock_guard<std::mutex> hold(mutex_);
        rx_.clear();
        sent_.clear();
        connected_.store(true);
        return true;
    }

    std::mutex mutex_;
    void* owner_ = nullptr;
    NetDataCallback dataHandler_ = nullptr;
    NetEventCallback eventHandler_ = nullptr;
    std::atomic<bool> connected_{true};  // up from the start: the first pass logs in
    std::atomic<bool> connectOk_{true};
    std::atomic<bool> shutdown_{false};
    bool reporting_ = false;
    std::thread::id reporter_;
    std::deque<uint8_t> rx_;
    std::deque<HeaderView> sent_;
};

// ---- The application -----------------------------------------------------------------

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData, int32_t state) {
    if (state < CONN_READY || state > CONN_REJECTED) {
        Violated("a state outside the CONN_ set");
    }
}

void TARVIK_CALL OnData(ITarvikClient*, TarvikUserData, int32_t count, const int32_t* handles,
                        const int32_t* userValues, const VarValue* values) {
    if (count < 0 ||
        (count > 0 && (handles == nullptr || userValues == nullptr || values == nullptr))) {
        Violated("a data callback without its arrays");
    }
    for (int32_t i = 0; i < count; ++i) {
        if (!checks::ValidValue(values[i])) {
            Violated("an invalid VarValue handed to the data callback");
        }
    }
}

void FreeValue(VarValue* v) {
    if (v->tag == VAL_STRING) {
        TarvikFree(v->u.strVal);
    }
    std::memset(v, 0, sizeof *v);
}

// One request of kind `which`, timed against its bound.
void Request(ITarvikClient* c, unsigned which) {
    const uint32_t points[2] = {which % 3, (which + 1) % 3};
    const uint32_t fields[2] = {which % 2, 1};
    const auto start = Clock::now();
    switch (which % 7) {
        case 0: {
            VarValue values[2];
            std::memset(values, 0, sizeof values);
            const int32_t n = c->ReadValues(2, points, fields, values);
            for (VarValue& v : values) {
                if (n > 0 && !checks::ValidValue(v)) {
                    Violated("an invalid VarValue from ReadValues");
                }
                FreeValue(&v);
            }
            break;
        }
        case 1: {
            VarValue v;
            std::memset(&v, 0, sizeof v);
            v.tag = VAL_DOUBLE;
            v.u.dblVal = 1.5;
            c->WriteValues(1, points, fields, &v);
            break;
        }
        case 2: {
            int32_t users[2] = {1, 2};
            int32_t handles[2] = {};
            c->Advise(2, points, fields, users, handles);
            break;
        }
        case 3: {
            int32_t handles[2] = {1, 2};
            c->Unadvise(2, handles);
            break;
        }
        case 4: {
            double* times = nullptr;
            uint16_t* statuses = nullptr;
            double* values = nullptr;
            c->ReadHistoryRaw(40000.0, 50000.0, points[0], 0, &times, &statuses, &values);
            TarvikFree(times);
            TarvikFree(statuses);
            TarvikFree(values);
            break;
        }
        case 5: {
            double values[4] = {};
            c->ReadHistory(40000.0, 40001.0, 2, 2, points, fields, values);
            break;
        }
        default: {
            const double times[2] = {40000.0, 40000.5};
            const uint16_t statuses[2] = {0, 1};
            const double values[2] = {1.0, 2.0};
            c->WriteHistory(points[0], 0, 2, times, statuses, values);
            break;
        }
    }
    if (MsSince(start) > kRequestBoundMs) {
        Violated("a request outlived its bound");
    }
}

// ---- The server's steps ------------------------------------------------------------------

int16_t Status(Input& in, int16_t clientId) {
    switch (in.Byte() % 6) {
        case 0:
        case 1:
        case 2:
            return clientId > 0 ? clientId : 3;
        case 3:
            return STATUS_VOID;
        case 4:
            return STATUS_REFUSED;
        default:
            return static_cast<int16_t>(in.U16());
    }
}

// The answer to one message the client sent.
std::vector<uint8_t> Reply(Input& in, const HeaderView& request, int16_t* clientId) {
    int16_t status = Status(in, *clientId);
    const int16_t param = static_cast<int16_t>(in.Byte() % 3);
    std::vector<uint8_t> payload;
    const uint8_t shape = in.Byte();
    if (request.command == CMD_LOGIN) {
        if (status == STATUS_VOID || status == STATUS_REFUSED) {
            status = (shape & 1) != 0 ? STATUS_LOGIN_REFUSED : static_cast<int16_t>(-1);
        }
        if (status > 0) {
            *clientId = status;
        }
        payload = Directory();
        if ((shape & 2) != 0) {
            const std::vector<uint8_t> noise = in.Bytes(in.Byte() % 16);
            for (size_t i = 0; i < noise.size() && !payload.empty(); i += 2) {
                payload[noise[i] % payload.size()] = i + 1 < noise.size() ? noise[i + 1] : 0;
            }
        }
    } else {
        payload = in.Bytes(in.Byte() % 96);
        if ((shape & 1) != 0 && payload.size() >= 4) {
            // A count that matches the items asked for, in front of records.
            StoreU32(payload.data(), shape >> 5);
        }
    }
    const int32_t requestId = (shape & 4) != 0 ? request.requestId + 1 : request.requestId;
    const int32_t sequence = (shape & 8) != 0 ? request.sequence - 1 : request.sequence;
    const int16_t command =
        (shape & 16) != 0 ? static_cast<int16_t>(in.Byte() % 24) : request.command;
    return Framed(Message(command, param, status, requestId, sequence, payload));
}

void RunScript(Input& in, FuzzLink& link, plat::CEvent* wake) {
    int16_t clientId = 0;
    for (size_t step = 0; step < kMaxSteps && !in.Empty(); ++step) {
        switch (in.Byte() % 8) {
            case 0:
            case 1:
            case 2: {
                link.WaitSent(1, wake);
                HeaderView request{};
                if (link.TakeSent(&request)) {
                    link.Deliver(Reply(in, request, &clientId));
                }
                break;
            }
            case 3:  // bytes of the input's own: garbage, pieces of frames
                link.Deliver(in.Bytes(1 + in.Byte() % kMaxBytes));
                break;
            case 4: {  // a message of the input's own, framed
                const int16_t command = static_cast<int16_t>(in.Byte() % 24);
                const int16_t status = Status(in, clientId);
                const int32_t requestId = in.Byte() % 4;
                const int32_t sequence = in.Byte() % 4;
                link.Deliver(Framed(Message(command, static_cast<int16_t>(in.Byte() % 2), status,
                                            requestId, sequence, in.Bytes(in.Byte() % 64))));
                break;
            }
            case 5:
                std::this_thread::sleep_for(std::chrono::milliseconds(in.Byte() % 5));
                wake->Set();
                break;
            case 6:
                link.Drop();
                break;
            default:
                link.SetConnectResult((in.Byte() & 3) != 0);
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Private names: the fuzzer never meets a real registry.
    plat::SetObjectNamePrefix("tarvik-fuzz-client-");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int64_t blocks = tarvik::testing::LiveBlocks();
    ITarvikClient* client = TarvikCreateClient(1);
    if (client == nullptr) {
        return 0;
    }
    CTarvikClient* c = ClientOf(client);
    client->SetRequestTimeout(kReplyTimeoutMs);
    client->SetHeartbeatInterval(kHeartbeatMs);
    client->SetStateCallback(&OnState);
    client->SetDataCallback(&OnData);

    // A directory and four subscriptions, as a previous session left them.
    {
        const std::vector<uint8_t> directory = Directory();
        plat::CLockHold hold(ClientProbe::StateLock(c));
        ClientProbe::Directory(c).Build(directory.data(), directory.size());
        fuzzkit::SubscribeFour(c);
    }

    // The link, installed as ConnectRemote installs the component's.
    auto* link = new FuzzLink;
    link->SetOwner(c);
    link->SetReceiveHandler(ClientProbe::DataHandler());
    link->SetEventHandler(ClientProbe::EventHandler());
    {
        plat::CLockHold hold(ClientProbe::StateLock(c));
        ClientProbe::NetLink(c) = link;
        std::strcpy(ClientProbe::PrimaryHost(c), "fuzz");
        ClientProbe::PrimaryPort(c) = 1;
    }
    ClientProbe::PrepareSession(c, MODE_REMOTE);
    if (!ClientProbe::StartWorkers(c)) {
        std::abort();
    }

    std::atomic<bool> stop{false};
    std::vector<std::thread> app;
    for (unsigned t = 0; t < 2; ++t) {
        app.emplace_back([&, t] {
            for (unsigned i = t; !stop.load(); i += 2) {
                Request(client, i);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }

    RunScript(in, *link, ClientProbe::DataArrivedEvent(c));

    const auto start = Clock::now();
    stop = true;
    // The link goes first, so that a request still waiting ends at the
    // session thread's next pass; then the client, as Disconnect does.
    link->SetConnectResult(false);
    link->Drop();
    ClientProbe::DataArrivedEvent(c)->Set();
    for (std::thread& t : app) {
        t.join();
    }
    ClientProbe::StopWorkers(c);
    {
        plat::CLockHold hold(ClientProbe::StateLock(c));
        ClientProbe::NetLink(c) = nullptr;
    }
    delete link;
    TarvikDestroyClient(client);
    if (MsSince(start) > kTeardownBoundMs + kRequestBoundMs) {
        Violated("the teardown outlived its bound");
    }
    if (tarvik::testing::LiveBlocks() != blocks) {
        Violated("library blocks left after the client was destroyed");
    }
    return 0;
}
