// A harness for the client's session, dispatch, request and notification code
// without a real server.
//
// FakeNetLink stands in for the network component: its link state is set by
// the test, Send records the bytes and returns scripted results, Close takes
// the link down and counts. FakeServer plays the database server on a thread
// of its own: every complete message the client sends is decoded and handed
// to the test's answer function, and the answer (if any) goes back through
// DispatchMessage, as the session thread would deliver it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "client/netlink.h"
#include "client/var_value.h"
#include "client_probe.h"
#include "platform/platform.h"
#include "session/message.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace fake {

// ---- Waiting ------------------------------------------------------------------

// Polls cond until it holds or the deadline passes; the result of the last poll.
template <typename F>
bool WaitFor(F cond, int milliseconds = 5000) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return cond();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---- Bytes ----------------------------------------------------------------------

// A little-endian byte writer for payloads and reply bodies.
struct Bytes {
    std::vector<uint8_t> b;

    Bytes& U8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& U16(uint16_t v) {
        U8(static_cast<uint8_t>(v));
        return U8(static_cast<uint8_t>(v >> 8));
    }
    Bytes& U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            U8(static_cast<uint8_t>(v >> (8 * i)));
        }
        return *this;
    }
    Bytes& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
    Bytes& F32(float f) {
        uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        return U32(bits);
    }
    Bytes& Raw(const std::string& s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& Zeros(size_t n) {
        b.insert(b.end(), n, 0);
        return *this;
    }
    // Value records: type, length, bytes.
    Bytes& Long(int32_t v) {
        U8(VAL_LONG).U8(4);
        return I32(v);
    }
    Bytes& Double(double d) {
        uint64_t bits = 0;
        std::memcpy(&bits, &d, sizeof bits);
        U8(VAL_DOUBLE).U8(8);
        U32(static_cast<uint32_t>(bits));
        return U32(static_cast<uint32_t>(bits >> 32));
    }
    // A text record with its terminating zero.
    Bytes& Text(const std::string& s) {
        U8(VAL_STRING).U8(static_cast<uint8_t>(s.size() + 1)).Raw(s);
        return U8(0);
    }
    Bytes& None() { return U8(VAL_NONE); }
};

inline uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return LoadU32(b.data() + at);
}

// ---- Messages -----------------------------------------------------------------------

// One complete frame the client sent, decoded as the server reads it.
struct SentMessage {
    int32_t totalLength = 0;
    int32_t kind = 0;
    HeaderView header{};
    std::vector<uint8_t> payload;
    std::vector<uint8_t> frame;  // marker included
};

// A message as the server builds it.
inline std::vector<uint8_t> Message(int16_t command, int16_t clientId, int16_t param,
                                    int32_t requestId, int32_t sequence,
                                    const std::vector<uint8_t>& payload = {}) {
    uint8_t* block = nullptr;
    size_t size = 0;
    EXPECT_TRUE(BuildMessage(command, param, clientId, requestId, sequence,
                             payload.empty() ? nullptr : payload.data(),
                             static_cast<uint32_t>(payload.size()), &block, &size));
    std::vector<uint8_t> m(block, block + size);
    MemFree(block);
    return m;
}

// The server's answer to `request`: its command, request id and sequence.
inline std::vector<uint8_t> ReplyTo(const SentMessage& request, int16_t status, int16_t param,
                                    const std::vector<uint8_t>& payload = {}) {
    return Message(request.header.command, status, param, request.header.requestId,
                   request.header.sequence, payload);
}

// ---- The network component --------------------------------------------------------------

class FakeNetLink final : public INetLink {
  public:
    // A Send result that takes every byte offered.
    static constexpr int32_t kAll = INT32_MAX;

    FakeNetLink() = default;
    FakeNetLink(const FakeNetLink&) = delete;
    FakeNetLink& operator=(const FakeNetLink&) = delete;

    // The results of the next Send calls, in order; when they are used up,
    // every call takes all bytes.
    void Script(std::initializer_list<int32_t> results) {
        std::lock_guard<std::mutex> hold(mutex_);
        script_.assign(results.begin(), results.end());
    }
    void SetConnected(bool connected) { connected_.store(connected); }
    int CloseCalls() const { return closeCalls_.load(); }
    int SendCalls() const { return sendCalls_.load(); }
    // Called (on the sending thread, no lock held) for every frame completed.
    void OnFrame(std::function<void(const SentMessage&)> handler) {
        std::lock_guard<std::mutex> hold(mutex_);
        onFrame_ = std::move(handler);
    }
    // Every byte the client's sends took.
    std::vector<uint8_t> Taken() {
        std::lock_guard<std::mutex> hold(mutex_);
        return taken_;
    }
    std::vector<SentMessage> Frames() {
        std::lock_guard<std::mutex> hold(mutex_);
        return frames_;
    }
    // Forgets what was sent and the call counts.
    void ClearSent() {
        std::lock_guard<std::mutex> hold(mutex_);
        taken_.clear();
        frames_.clear();
        parsed_ = 0;
        sendCalls_.store(0);
    }

    // ---- INetLink ----
    void SetOwner(void*) override {}
    bool Connect(const char*, uint16_t) override { return false; }
    void Close() override {
        closeCalls_.fetch_add(1);
        connected_.store(false);
    }
    int32_t Reserved3() override { return 0; }
    int32_t Send(const void* bytes, int32_t count) override {
        sendCalls_.fetch_add(1);
        std::vector<SentMessage> completed;
        std::function<void(const SentMessage&)> handler;
        int32_t result = 0;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            result = kAll;
            if (!script_.empty()) {
                result = script_.front();
                script_.pop_front();
            }
            if (result < 0) {
                return result;
            }
            if (result > count) {
                result = count;
            }
            const auto* p = static_cast<const uint8_t*>(bytes);
            taken_.insert(taken_.end(), p, p + result);
            ParseFrames(&completed);
            handler = onFrame_;
        }
        if (handler) {
            for (const SentMessage& m : completed) {
                handler(m);
            }
        }
        return result;
    }
    int32_t Receive(void*, int32_t) override { return 0; }
    int32_t Reserved6() override { return 0; }
    void SetReceiveHandler(NetDataCallback) override {}
    int32_t Reserved8() override { return 0; }
    void SetEventHandler(NetEventCallback) override {}
    bool IsConnected() override { return connected_.load(); }
    int32_t GetAvailable() override { return 0; }
    int32_t Reserved12() override { return 0; }
    int32_t Reserved13() override { return 0; }
    bool ConnectPair(const char*, uint16_t, const char*, uint16_t) override { return false; }
    void Shutdown() override {}

  private:
    // Cuts the complete frames behind parsed_ out of taken_ (mutex_ held).
    void ParseFrames(std::vector<SentMessage>* completed) {
        while (taken_.size() - parsed_ >= kMarkerSize) {
            const uint8_t* at = taken_.data() + parsed_;
            const int32_t total = LoadI32(at + 8);
            if (!IsMarkerSignature(at) || total < static_cast<int32_t>(kMarkerSize)) {
                ADD_FAILURE() << "the client sent bytes that are no frame";
                parsed_ = taken_.size();
                return;
            }
            if (taken_.size() - parsed_ < static_cast<size_t>(total)) {
                return;
            }
            SentMessage m;
            m.totalLength = total;
            m.kind = LoadI32(at + 12);
            m.frame.assign(at, at + total);
            if (m.kind == MARKER_MESSAGE &&
                static_cast<size_t>(total) >= kMarkerSize + kHeaderSize) {
                m.header = ReadHeader(at + kMarkerSize);
                m.payload.assign(at + kMarkerSize + kHeaderSize, at + total);
            }
            parsed_ += static_cast<size_t>(total);
            frames_.push_back(m);
            completed->push_back(m);
        }
    }

    std::mutex mutex_;
    std::deque<int32_t> script_;
    std::vector<uint8_t> taken_;
    std::vector<SentMessage> frames_;
    size_t parsed_ = 0;
    std::function<void(const SentMessage&)> onFrame_;
    std::atomic<bool> connected_{true};
    std::atomic<int> closeCalls_{0};
    std::atomic<int> sendCalls_{0};
};

// ---- The server -----------------------------------------------------------------------

// Answers the client's messages on a thread of its own.
class FakeServer {
  public:
    using Answer = std::function<std::vector<uint8_t>(const SentMessage&)>;

    FakeServer(CTarvikClient* client, FakeNetLink* link) : client_(client), link_(link) {
        link_->OnFrame([this](const SentMessage& m) {
            std::lock_guard<std::mutex> hold(mutex_);
            inbox_.push_back(m);
            wake_.notify_one();
        });
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeServer() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stop_ = true;
            wake_.notify_one();
        }
        thread_.join();
        link_->OnFrame(nullptr);
    }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    // How the server answers from now on; an empty reply answers nothing.
    void SetAnswer(Answer answer) {
        std::lock_guard<std::mutex> hold(mutex_);
        answer_ = std::move(answer);
    }
    // Messages answered (or left unanswered) so far.
    int Handled() {
        std::lock_guard<std::mutex> hold(mutex_);
        return handled_;
    }

  private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !inbox_.empty(); });
            if (inbox_.empty()) {
                return;  // stopped
            }
            const SentMessage m = inbox_.front();
            inbox_.pop_front();
            Answer answer = answer_;
            lock.unlock();
            if (m.kind == MARKER_MESSAGE && answer) {
                const std::vector<uint8_t> reply = answer(m);
                if (!reply.empty()) {
                    ClientProbe::Dispatch(client_, reply.data(), reply.size());
                }
            }
            lock.lock();
            ++handled_;
        }
    }

    CTarvikClient* client_;
    FakeNetLink* link_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<SentMessage> inbox_;
    Answer answer_;
    int handled_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// ---- The directory ---------------------------------------------------------------------

// The plant every test logs in to:
//   type 100: PV double (0), SP double (1), DESC text (2), CNT long (3),
//             RAW of value type 3 (4)
//   type 200: PV long (0)
//   points: 0 Tank1 (100), 1 Pump1 (200), 2 Valve2 (100)
constexpr int32_t kAnalog = 100;
constexpr int32_t kDigital = 200;
enum : uint32_t { kTank = 0, kPump = 1, kValve = 2, kPointCount = 3 };
enum : uint32_t { kPV = 0, kSP = 1, kDESC = 2, kCNT = 3, kRAW = 4 };

inline std::vector<uint8_t> PlantBody() {
    struct F {
        uint8_t type;
        const char* name;
        uint8_t no;
    };
    Bytes blocks;
    const F analog[] = {{VAL_DOUBLE, "PV", kPV},
                        {VAL_DOUBLE, "SP", kSP},
                        {VAL_STRING, "DESC", kDESC},
                        {VAL_LONG, "CNT", kCNT},
                        {3, "RAW", kRAW}};
    blocks.I32(kAnalog).I32(5);
    for (const F& f : analog) {
        blocks.U8(f.type).Raw(f.name).Zeros(12 - std::strlen(f.name)).U8(f.no);
    }
    blocks.I32(kDigital).I32(1).U8(VAL_LONG).Raw("PV").Zeros(10).U8(kPV);
    Bytes body;
    // The point count stands at L + 9.
    body.I32(static_cast<int32_t>(blocks.b.size()) - 3).U16(2);
    body.b.insert(body.b.end(), blocks.b.begin(), blocks.b.end());
    struct P {
        int32_t type;
        const char* name;
    };
    const P points[] = {{kAnalog, "Tank1"}, {kDigital, "Pump1"}, {kAnalog, "Valve2"}};
    body.I32(3);
    int32_t aux = 10;
    for (const P& p : points) {
        body.I32(aux++).I32(p.type).Raw(p.name).Zeros(20 - std::strlen(p.name));
    }
    return body.b;
}

// Values as the tests write them.
inline VarValue Long(int32_t v) {
    VarValue x = VarNone();
    VarSetLong(&x, v);
    return x;
}
inline VarValue Dbl(double v) {
    VarValue x = VarNone();
    VarSetDouble(&x, v);
    return x;
}

// ---- The client -----------------------------------------------------------------------------

inline void InstallLink(CTarvikClient* client, INetLink* link) {
    plat::CLockHold hold(ClientProbe::StateLock(client));
    ClientProbe::NetLink(client) = link;
    ClientProbe::LinkModeOf(client) = link != nullptr ? MODE_REMOTE : MODE_NONE;
}

// Starts only the notification thread, as StartWorkers would.
inline void StartNotifyThread(CTarvikClient* client) {
    {
        plat::CLockHold hold(ClientProbe::StateLock(client));
        ClientProbe::NotifyRunning(client) = true;
    }
    uint32_t id = 0;
    plat::Thread* thread = plat::ThreadCreate(ClientProbe::NotifyThreadProc(), client, &id);
    ASSERT_NE(thread, nullptr);
    plat::CLockHold hold(ClientProbe::StateLock(client));
    ClientProbe::NotifyThread(client) = thread;
    ClientProbe::NotifyThreadId(client) = id;
}

// The events queued and not delivered (no notification thread runs), taken
// out of the queue: state changes as their state, data events as 100 + count.
inline std::vector<int32_t> TakeEvents(CTarvikClient* client) {
    std::vector<int32_t> out;
    plat::CLockHold hold(ClientProbe::StateLock(client));
    while (NotifyEvent* e = ClientProbe::NotifyQueue(client).Pop()) {
        out.push_back(e->type == NOTIFY_STATE ? e->count : 100 + e->count);
        NotifyEventFree(e);
    }
    return out;
}

// A test tick: the clock the session reads while a test owns it.
inline std::atomic<uint32_t>& TestTick() {
    static std::atomic<uint32_t> tick{0};
    return tick;
}
inline uint32_t ReadTestTick() {
    return TestTick().load();
}

// A client from the factory with the fake link installed (link up in
// MODE_REMOTE) and a fake server answering on its own thread.
class LinkedClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ITarvikClient* itf = TarvikCreateClient(0x12345);
        ASSERT_NE(itf, nullptr);
        client_ = ClientOf(itf);
        InstallLink(client_, &link_);
        server_.reset(new FakeServer(client_, &link_));
    }
    void TearDown() override {
        server_.reset();
        plat::SetTickSource(nullptr);
        testing::FailNthAllocation(0);
        if (client_ != nullptr) {
            // The fake is not the component's object: Disconnect must not
            // destroy it.
            InstallLink(client_, nullptr);
            TarvikDestroyClient(client_);
        }
    }

    // A successful login with the plant's directory.
    void LogIn(int16_t clientId = 7) {
        const std::vector<uint8_t> body = PlantBody();
        const std::vector<uint8_t> m = Message(CMD_LOGIN, clientId, 1, 0, 0, body);
        ClientProbe::Dispatch(client_, m.data(), m.size());
        ASSERT_TRUE(client_->TestFlags(FLAGS_IS_LOGGED_IN));
        ASSERT_EQ(ClientProbe::Directory(client_).PointCount(), 3);
    }
    // Logged in and registered: the session is ready for requests.
    void MakeReady(int16_t clientId = 7) {
        LogIn(clientId);
        ClientProbe::Flags(client_) |= SF_INIT_DONE;
        ClientProbe::Flags(client_) |= SF_INIT_OK;
        ASSERT_TRUE(client_->TestFlags(FLAGS_IS_READY));
        TakeEvents(client_);
        link_.ClearSent();
    }
    // How the server answers from now on.
    void AnswerWith(std::function<std::vector<uint8_t>(const SentMessage&)> answer) {
        server_->SetAnswer(std::move(answer));
    }
    // Frames of kind MARKER_MESSAGE sent so far.
    std::vector<SentMessage> SentMessages() {
        std::vector<SentMessage> out;
        for (const SentMessage& m : link_.Frames()) {
            if (m.kind == MARKER_MESSAGE) {
                out.push_back(m);
            }
        }
        return out;
    }
    // Uses the test tick from `start` on.
    void OwnTheClock(uint32_t start) {
        TestTick().store(start);
        plat::SetTickSource(&ReadTestTick);
    }

    FakeNetLink link_;
    std::unique_ptr<FakeServer> server_;
    CTarvikClient* client_ = nullptr;
};

}  // namespace fake
}  // namespace tarvik
