// Whole sessions: a client against an in-process development server, over
// TCP and over the local window transport. Connection states, registration of
// subscriptions, value pushes, silence and refusals, restarts and failover,
// malformed and fragmented replies, prompt stops, callbacks that stop their
// own client, and a soak under random faults.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/allocator.h"
#include "session/message.h"
#include "sim/sim_server.h"
#include "state_log.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace {

using namespace sim;
using namespace testlog;

// Long enough that a heartbeat answered late on a loaded machine (the
// sanitizer suites run two at a time) does not make the session start again.
constexpr int32_t kSessionHeartbeatMs = 100;
constexpr int32_t kClientParameter = 7;

int ThreadCount() {
    return checks::CountEntries("/proc/self/task");
}

int FdCount() {
    return checks::CountEntries("/proc/self/fd");
}

// One DataCallback call.
struct DataReport {
    std::vector<int32_t> handles;
    std::vector<int32_t> userValues;
    std::vector<SimValue> values;
};

// Records what a client reports through its two callbacks, and keeps the
// values of every data report.
class StateRecorder : public testlog::StateLog {
  public:
    StateRecorder() {
        SetDataHook([this](int32_t count, const int32_t* handles, const int32_t* userValues,
                           const VarValue* values) {
            DataReport r;
            for (int32_t i = 0; i < count; ++i) {
                r.handles.push_back(handles[i]);
                r.userValues.push_back(userValues[i]);
                r.values.push_back(FromVarValue(values[i]));
            }
            std::lock_guard<std::mutex> lock(mutex_);
            data_.push_back(std::move(r));
            changed_.notify_all();
        });
    }
    ~StateRecorder() { SetDataHook(nullptr); }

    size_t DataCount() const { return DataCalls(); }
    std::vector<DataReport> Data(size_t from = 0) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::vector<DataReport>(data_.begin() + static_cast<std::ptrdiff_t>(from),
                                       data_.end());
    }
    // Waits for a report that gives `handle` the value `value`, from report `from` on.
    bool WaitForValue(int32_t handle, const SimValue& value, Clock::time_point deadline,
                      size_t from = 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] {
            for (size_t r = from; r < data_.size(); ++r) {
                for (size_t i = 0; i < data_[r].handles.size(); ++i) {
                    if (data_[r].handles[i] == handle && data_[r].values[i] == value) {
                        return true;
                    }
                }
            }
            return false;
        });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DataReport> data_;
};

std::vector<int32_t> UpToFirst(const std::vector<int32_t>& states, int32_t state) {
    auto it = std::find(states.begin(), states.end(), state);
    return std::vector<int32_t>(states.begin(), it == states.end() ? it : it + 1);
}

bool Contains(const std::vector<int32_t>& states, int32_t state) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

// Index of the first log record of `command` at or after `from`; -1 if none.
int64_t FirstIndexOf(const CSimServer& server, int16_t command, uint64_t from) {
    ReceivedMessage m;
    return server.WaitForMessage(command, 0, &m, from) ? static_cast<int64_t>(m.index) : -1;
}

// The (point index, FieldNo) pairs of a registration the server received.
std::vector<std::pair<uint32_t, uint32_t>> RegisteredPairs(const ReceivedMessage& m) {
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    if (m.bytes.size() < kHeaderSize + 4) {
        return pairs;
    }
    const uint8_t* p = m.bytes.data() + kHeaderSize;
    const uint32_t n = LoadU32(p);
    for (uint32_t i = 0; i < n && kHeaderSize + 4 + 8 * (i + 1) <= m.bytes.size(); ++i) {
        pairs.emplace_back(LoadU32(p + 4 + 8 * i), LoadU32(p + 8 + 8 * i));
    }
    return pairs;
}

// ---- The fixture -------------------------------------------------------------

class E2eBase {
  protected:
    ServerOptions Options(bool local, uint16_t port = 0, int32_t simulateMs = 0) const {
        ServerOptions o;
        o.tcp = true;
        o.port = port;
        o.local = local;
        o.simulateMs = simulateMs;
        return o;
    }

    static ITarvikClient* NewClient(StateRecorder& recorder) {
        ITarvikClient* c = TarvikCreateClient(kClientParameter);
        if (c != nullptr) {
            c->SetRequestTimeout(kReplyTimeoutMs);
            c->SetHeartbeatInterval(kSessionHeartbeatMs);
            recorder.Attach(c);
        }
        return c;
    }

    static int32_t PointIndex(ITarvikClient* c, const char* name) {
        char slot[TARVIK_POINT_NAME] = {};
        std::strncpy(slot, name, sizeof slot - 1);
        int32_t index = -1;
        c->GetPointIndexesByName(1, slot, &index);
        return index;
    }

    // One subscription per (point, FieldNo); returns the handles (empty on failure).
    static std::vector<int32_t> Subscribe(
        ITarvikClient* c, const std::vector<std::pair<const char*, uint32_t>>& items,
        int32_t firstUserValue = 100) {
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        std::vector<int32_t> users;
        for (const auto& it : items) {
            const int32_t p = PointIndex(c, it.first);
            if (p < 0) {
                return {};
            }
            points.push_back(static_cast<uint32_t>(p));
            fields.push_back(it.second);
            users.push_back(firstUserValue + static_cast<int32_t>(users.size()));
        }
        std::vector<int32_t> handles(items.size(), 0);
        const int32_t n = c->Advise(static_cast<uint32_t>(items.size()), points.data(),
                                    fields.data(), users.data(), handles.data());
        if (n != static_cast<int32_t>(items.size())) {
            return {};
        }
        return handles;
    }

    // Reads one item; VAL_NONE on failure. `result` receives ReadValues' answer.
    static SimValue Read(ITarvikClient* c, const char* point, uint32_t fieldNo,
                         int32_t* result = nullptr) {
        const int32_t p = PointIndex(c, point);
        VarValue v;
        std::memset(&v, 0, sizeof v);
        const uint32_t index = static_cast<uint32_t>(p);
        const int32_t n = p < 0 ? -1 : c->ReadValues(1, &index, &fieldNo, &v);
        if (result != nullptr) {
            *result = n;
        }
        SimValue out = n == 1 ? FromVarValue(v) : SimValue();
        FreeVar(&v);
        return out;
    }
};

class E2eSession : public ::testing::TestWithParam<Transport>, public E2eBase {
  protected:
    void SetUp() override {
        server_ = std::make_unique<CSimServer>();
        std::string error;
        ASSERT_TRUE(server_->Start(Options(IsLocal()), &error)) << error;
        baseThreads_ = ThreadCount();
        client_ = NewClient(recorder_);
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override {
        TarvikDestroyClient(client_);
        client_ = nullptr;
        if (server_) {
            server_->Stop();
        }
    }

    bool IsLocal() const { return GetParam() == Transport::Local; }

    bool Connect(ITarvikClient* c) {
        return IsLocal() ? c->ConnectLocal()
                         : c->ConnectRemote(server_->Port(), "127.0.0.1", nullptr, 0);
    }

    // Connects and waits for CONN_READY.
    ::testing::AssertionResult ConnectReady(ITarvikClient* c, StateRecorder& r) {
        const size_t from = r.Mark();
        if (!Connect(c)) {
            return ::testing::AssertionFailure() << "connect failed";
        }
        if (!r.WaitForState(CONN_READY, After(5000), from)) {
            return ::testing::AssertionFailure() << "no CONN_READY";
        }
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult ConnectReady() { return ConnectReady(client_, recorder_); }

    // Whether every thread the client started is gone (the server's own
    // per-connection threads end on their own within a poll of theirs).
    // No thread of this client is left. (At most as many as at the start: a
    // thread of an earlier test may still have been ending then.)
    bool ThreadsBack(int milliseconds = 1000) {
        return WaitUntil([&] { return ThreadCount() <= baseThreads_; }, After(milliseconds));
    }

    std::unique_ptr<CSimServer> server_;
    StateRecorder recorder_;
    ITarvikClient* client_ = nullptr;
    int baseThreads_ = 0;
};

std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::Tcp ? "Tcp" : "Local";
}

INSTANTIATE_TEST_SUITE_P(E2e, E2eSession, ::testing::Values(Transport::Tcp, Transport::Local),
                         TransportName);

// ---- States ------------------------------------------------------------------------

TEST_P(E2eSession, StatesFromConnectToReadyAndBack) {
    // The first callback is held, so that the stored state cannot move on.
    recorder_.Hold(true);
    ASSERT_TRUE(Connect(client_));
    EXPECT_EQ(client_->GetState(), CONN_CLOSED);
    const bool held = recorder_.WaitUntilHeld(After(1000));
    EXPECT_TRUE(held) << "no state within a second of the connect";
    EXPECT_EQ(client_->GetState(), CONN_CLOSED);  // still the previous one during the callback
    recorder_.Hold(false);
    ASSERT_TRUE(held);
    ASSERT_TRUE(recorder_.WaitForState(CONN_READY, After(3000)));
    const std::vector<int32_t> states = recorder_.States();
    EXPECT_EQ(states.front(), CONN_PENDING);
    EXPECT_FALSE(Contains(UpToFirst(states, CONN_READY), CONN_NO_SERVER));
    EXPECT_FALSE(Contains(states, CONN_CLOSED));
    EXPECT_TRUE(WaitUntil([&] { return client_->GetState() == CONN_READY; }, After(1000)));
    EXPECT_TRUE(client_->IsLinkUp());
    EXPECT_EQ(client_->GetAdviseItemCount(), 0);
    EXPECT_EQ(server_->CountReceived(CMD_RESUBSCRIBE), 0u);

    // Heartbeats of code 7, one per interval (next pass after it has passed).
    const uint64_t mark = server_->Mark();
    ASSERT_TRUE(server_->WaitForCount(CMD_HEARTBEAT, 6, 5000, mark));
    std::vector<uint32_t> ticks;
    for (const ReceivedMessage& m : server_->Received()) {
        if (m.index >= mark && m.command() == CMD_HEARTBEAT) {
            ticks.push_back(m.tick);
            EXPECT_EQ(m.header.clientId, server_->ClientIds().front());
        }
    }
    ASSERT_GE(ticks.size(), 6u);
    for (size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_LT(ticks[i] - ticks[i - 1], 1000u) << i;
    }
    // Never more often than the interval (the receipt of the first one may
    // come late by the time of the delivery).
    EXPECT_GE(
        ticks.back() - ticks.front(),
        static_cast<uint32_t>(kSessionHeartbeatMs * static_cast<int32_t>(ticks.size() - 1) - 20));
    EXPECT_EQ(server_->CountReceived(CMD_HEARTBEAT_DATA), 0u);

    const size_t before = recorder_.Mark();
    client_->Disconnect();
    EXPECT_EQ(client_->GetState(), CONN_CLOSED);
    EXPECT_FALSE(client_->IsLinkUp());
    EXPECT_EQ(recorder_.Mark(), before);  // no callback for CONN_CLOSED
    EXPECT_TRUE(server_->WaitForMessage(CMD_LOGOUT, 0, nullptr, mark));
}

TEST_P(E2eSession, NoServerIsReported) {
    server_->Stop();
    ASSERT_TRUE(Connect(client_));
    EXPECT_TRUE(recorder_.WaitForState(CONN_NO_SERVER, After(5000)));
    EXPECT_FALSE(Contains(recorder_.States(), CONN_PENDING));
    EXPECT_FALSE(client_->IsLinkUp());
}

// ---- Subscriptions ---------------------------------------------------------------

TEST_P(E2eSession, SubscriptionsAreRegisteredAgainOnReconnect) {
    ASSERT_TRUE(ConnectReady());
    const std::vector<int32_t> handles = Subscribe(client_, {{"TANK101", 0}, {"PUMP101", 1}});
    ASSERT_EQ(handles.size(), 2u);
    const uint32_t tank = static_cast<uint32_t>(PointIndex(client_, "TANK101"));
    const uint32_t pump = static_cast<uint32_t>(PointIndex(client_, "PUMP101"));

    // With subscriptions the heartbeats carry code 20 only.
    uint64_t mark = server_->Mark();
    ASSERT_TRUE(server_->WaitForMessage(CMD_HEARTBEAT_DATA, 3000, nullptr, mark));
    mark = server_->Mark();
    ASSERT_TRUE(server_->WaitForCount(CMD_HEARTBEAT_DATA, 3, 3000, mark));
    EXPECT_EQ(server_->CountReceived(CMD_HEARTBEAT, mark), 0u);

    client_->Disconnect();  // the table stays for the next connect
    const size_t from = recorder_.Mark();
    const size_t data = recorder_.DataCount();
    mark = server_->Mark();
    ASSERT_TRUE(Connect(client_));
    ASSERT_TRUE(recorder_.WaitForState(CONN_READY, After(5000), from));
    EXPECT_EQ(client_->GetAdviseItemCount(), 2);
    ReceivedMessage resubscribe;
    ASSERT_TRUE(server_->WaitForMessage(CMD_RESUBSCRIBE, 0, &resubscribe, mark));
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {{tank, 0}, {pump, 1}};
    EXPECT_EQ(RegisteredPairs(resubscribe), expected);
    EXPECT_GT(resubscribe.index, static_cast<uint64_t>(FirstIndexOf(*server_, CMD_LOGIN, mark)));

    // The last values were emptied by the disconnect: both are reported again.
    EXPECT_TRUE(recorder_.WaitForValue(handles[0], SimValue::Double(50.0), After(2000), data));
    EXPECT_TRUE(recorder_.WaitForValue(handles[1], SimValue::Double(1450.0), After(2000), data));
}

TEST_P(E2eSession, OnlyChangedValuesAreDelivered) {
    ASSERT_TRUE(ConnectReady());
    const std::vector<int32_t> handles =
        Subscribe(client_, {{"TANK101", 0}, {"TANK101", 1}, {"TANK101", 4}}, 5);
    ASSERT_EQ(handles.size(), 3u);
    uint64_t mark = server_->Mark();
    ASSERT_TRUE(server_->WaitForCount(CMD_HEARTBEAT_DATA, 3, 3000, mark));
    EXPECT_EQ(recorder_.DataCount(), 0u);

    ASSERT_TRUE(server_->SetValue("TANK101", "SP", SimValue::Double(62.5)));
    ASSERT_TRUE(recorder_.WaitForData(1, After(3000)));
    mark = server_->Mark();
    ASSERT_TRUE(server_->WaitForCount(CMD_HEARTBEAT_DATA, 5, 3000, mark));
    std::vector<DataReport> reports = recorder_.Data();
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_EQ(reports[0].handles.size(), 1u);
    EXPECT_EQ(reports[0].handles[0], handles[1]);
    EXPECT_EQ(reports[0].userValues[0], 6);
    EXPECT_EQ(reports[0].values[0], SimValue::Double(62.5));

    // The value is kept as the last value; a text arrives whole.
    VarValue v;
    std::memset(&v, 0, sizeof v);
    ASSERT_EQ(client_->GetValuesByHandle(1, &handles[1], &v), 1);
    EXPECT_EQ(FromVarValue(v), SimValue::Double(62.5));
    FreeVar(&v);
    ASSERT_TRUE(server_->SetValue("TANK101", "STATE", SimValue::Text("HIGH LEVEL ALARM")));
    ASSERT_TRUE(recorder_.WaitForData(2, After(3000)));
    reports = recorder_.Data(1);
    ASSERT_EQ(reports[0].handles.size(), 1u);
    EXPECT_EQ(reports[0].handles[0], handles[2]);
    EXPECT_EQ(reports[0].values[0], SimValue::Text("HIGH LEVEL ALARM"));
}

// ---- Silence, voided sessions, refusals ---------------------------------------------

TEST_P(E2eSession, SilentServerBreaksTheLinkAtTheThirdTimeout) {
    ASSERT_TRUE(ConnectReady());
    const size_t from = recorder_.Mark();
    server_->SetSilent(true);
    ASSERT_TRUE(recorder_.WaitForState(CONN_BROKEN, After(5000), from));
    // Each unanswered heartbeat sets the session up again (the table is
    // empty, so it is ready at once); the third timeout takes the link down.
    const std::vector<int32_t> expected = {CONN_PENDING, CONN_READY, CONN_PENDING, CONN_READY,
                                           CONN_BROKEN};
    EXPECT_EQ(UpToFirst(recorder_.States(from), CONN_BROKEN), expected);

    const size_t back = recorder_.Mark();
    server_->SetSilent(false);
    EXPECT_TRUE(recorder_.WaitForState(CONN_READY, After(5000), back));
}

TEST_P(E2eSession, VoidedSessionLogsInAgain) {
    ASSERT_TRUE(ConnectReady());
    const int16_t firstId = server_->ClientIds().front();

    // Without subscriptions.
    uint64_t mark = server_->Mark();
    server_->ScriptStatus(CMD_HEARTBEAT, STATUS_VOID, true);
    ASSERT_TRUE(server_->WaitForMessage(CMD_LOGIN, 3000, nullptr, mark));
    const uint64_t login = static_cast<uint64_t>(FirstIndexOf(*server_, CMD_LOGIN, mark));
    ReceivedMessage heartbeat;
    ASSERT_TRUE(server_->WaitForMessage(CMD_HEARTBEAT, 3000, &heartbeat, login + 1));
    EXPECT_NE(heartbeat.header.clientId, firstId);  // the new session's id
    EXPECT_EQ(server_->CountReceived(CMD_RESUBSCRIBE, mark), 0u);
    EXPECT_EQ(client_->GetState(), CONN_READY);

    // With subscriptions: registered again after the new login.
    ASSERT_EQ(Subscribe(client_, {{"VALVE101", 0}}).size(), 1u);
    mark = server_->Mark();
    server_->ScriptStatus(CMD_HEARTBEAT_DATA, STATUS_VOID, true);
    ReceivedMessage resubscribe;
    ASSERT_TRUE(server_->WaitForMessage(CMD_RESUBSCRIBE, 3000, &resubscribe, mark));
    EXPECT_GT(resubscribe.index, static_cast<uint64_t>(FirstIndexOf(*server_, CMD_LOGIN, mark)));
    EXPECT_EQ(RegisteredPairs(resubscribe).size(), 1u);
    EXPECT_TRUE(server_->WaitForMessage(CMD_HEARTBEAT_DATA, 3000, nullptr, resubscribe.index));
    EXPECT_EQ(client_->GetState(), CONN_READY);
    EXPECT_FALSE(Contains(recorder_.States(), CONN_REJECTED));
}

TEST_P(E2eSession, RefusalOnAHeartbeatIsReported) {
    ASSERT_TRUE(ConnectReady());
    const size_t from = recorder_.Mark();
    server_->ScriptStatus(CMD_HEARTBEAT, STATUS_REFUSED, true);
    EXPECT_TRUE(recorder_.WaitForState(CONN_REFUSED, After(3000), from));
}

TEST_P(E2eSession, RefusedOrFailedLoginThenAcceptedGetsReady) {
    ASSERT_TRUE(ConnectReady());
    const std::vector<int32_t> handles = Subscribe(client_, {{"FIC101", 0}, {"TI101", 10}});
    ASSERT_EQ(handles.size(), 2u);
    client_->Disconnect();

    struct Case {
        int16_t status;
        int32_t state;
    };
    for (const Case& c : {Case{STATUS_LOGIN_REFUSED, CONN_REFUSED}, Case{0, CONN_REJECTED},
                          Case{-9, CONN_REJECTED}}) {
        SCOPED_TRACE(c.status);
        const size_t from = recorder_.Mark();
        const uint64_t mark = server_->Mark();
        server_->ScriptStatus(CMD_LOGIN, c.status, true);
        ASSERT_TRUE(Connect(client_));
        ASSERT_TRUE(recorder_.WaitForState(CONN_READY, After(5000), from));
        const std::vector<int32_t> expected = {CONN_PENDING, c.state, CONN_READY};
        EXPECT_EQ(UpToFirst(recorder_.States(from), CONN_READY), expected);
        // Logged in on the second try, then the table was registered.
        EXPECT_GE(server_->CountReceived(CMD_LOGIN, mark), 2u);
        ReceivedMessage resubscribe;
        ASSERT_TRUE(server_->WaitForMessage(CMD_RESUBSCRIBE, 0, &resubscribe, mark));
        EXPECT_EQ(RegisteredPairs(resubscribe).size(), 2u);
        client_->Disconnect();
    }
}

TEST_P(E2eSession, PointGoneFromTheDirectoryRejectsWithoutRegistration) {
    ASSERT_TRUE(ConnectReady());
    const int32_t points = client_->GetPointCount();
    ASSERT_EQ(Subscribe(client_, {{"TI104", 0}}).size(), 1u);  // the last point
    ASSERT_TRUE(server_->HidePointForNextLogin("TI104"));
    const size_t from = recorder_.Mark();
    const uint64_t mark = server_->Mark();
    server_->ScriptStatus(CMD_HEARTBEAT_DATA, STATUS_VOID, true);  // forces a new login
    ASSERT_TRUE(recorder_.WaitForState(CONN_REJECTED, After(3000), from));
    EXPECT_TRUE(server_->WaitForMessage(CMD_LOGIN, 0, nullptr, mark));
    EXPECT_EQ(client_->GetPointCount(), points - 1);
    EXPECT_EQ(server_->CountReceived(CMD_RESUBSCRIBE, mark), 0u);
}

// ---- Restart, failover, broken sockets --------------------------------------------

TEST_P(E2eSession, ServerRestartBringsTheSessionBack) {
    ASSERT_TRUE(ConnectReady());
    const std::vector<int32_t> handles = Subscribe(client_, {{"TANK103", 0}});
    ASSERT_EQ(handles.size(), 1u);
    const uint16_t port = server_->Port();
    const size_t from = recorder_.Mark();
    server_->Stop();
    ASSERT_TRUE(recorder_.WaitForState(CONN_BROKEN, After(3000), from));

    auto next = std::make_unique<CSimServer>();
    ASSERT_TRUE(next->SetValue("TANK103", "PV", SimValue::Double(33.25)));
    std::string error;
    ASSERT_TRUE(next->Start(Options(IsLocal(), port), &error)) << error;
    server_ = std::move(next);
    const size_t back = recorder_.Mark();
    ASSERT_TRUE(recorder_.WaitForState(CONN_READY, After(8000), back));
    ReceivedMessage resubscribe;
    ASSERT_TRUE(server_->WaitForMessage(CMD_RESUBSCRIBE, 0, &resubscribe));
    EXPECT_EQ(RegisteredPairs(resubscribe).size(), 1u);
    EXPECT_TRUE(recorder_.WaitForValue(handles[0], SimValue::Double(33.25), After(2000)));
}

class E2eTcp : public ::testing::Test, public E2eBase {
  protected:
    void SetUp() override {
        server_ = std::make_unique<CSimServer>();
        std::string error;
        ASSERT_TRUE(server_->Start(Options(false), &error)) << error;
        client_ = NewClient(recorder_);
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override {
        TarvikDestroyClient(client_);
        server_->Stop();
    }
    ::testing::AssertionResult ConnectReady() {
        const size_t from = recorder_.Mark();
        if (!client_->ConnectRemote(server_->Port(), "127.0.0.1", nullptr, 0)) {
            return ::testing::AssertionFailure() << "connect failed";
        }
        if (!recorder_.WaitForState(CONN_READY, After(5000), from)) {
            return ::testing::AssertionFailure() << "no CONN_READY";
        }
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<CSimServer> server_;
    StateRecorder recorder_;
    ITarvikClient* client_ = nullptr;
};

TEST_F(E2eTcp, DeadPrimaryFailsOverToTheBackup) {
    uint16_t dead = 0;
    {
        CSimServer gone;
        ASSERT_TRUE(gone.Start(Options(false)));
        dead = gone.Port();
    }
    ASSERT_TRUE(client_->ConnectRemote(dead, "127.0.0.1", "127.0.0.1", server_->Port()));
    ASSERT_TRUE(recorder_.WaitForState(CONN_READY, After(8000)));
    EXPECT_EQ(recorder_.States().front(), CONN_PENDING);
    EXPECT_TRUE(server_->WaitForMessage(CMD_LOGIN, 0));
    EXPECT_EQ(Read(client_, "TANK101", 1), SimValue::Double(50.0));
}

TEST_F(E2eTcp, ServerClosingTheSocketIsABrokenLink) {
    ASSERT_TRUE(ConnectReady());
    ASSERT_EQ(Subscribe(client_, {{"PUMP104", 0}}).size(), 1u);
    const size_t from = recorder_.Mark();
    const uint64_t mark = server_->Mark();
    ASSERT_GE(server_->DropAllConnections(), 1);
    ASSERT_TRUE(recorder_.WaitForState(CONN_BROKEN, After(3000), from));
    // Back on a new connection: the old session went with the old socket.
    const size_t broken = recorder_.Mark();
    ASSERT_TRUE(recorder_.WaitForState(CONN_READY, After(5000), broken));
    EXPECT_TRUE(server_->WaitForMessage(CMD_LOGIN, 0, nullptr, mark));
    EXPECT_TRUE(server_->WaitForMessage(CMD_RESUBSCRIBE, 0, nullptr, mark));
}

// ---- Malformed and fragmented replies -------------------------------------------------

TEST_P(E2eSession, CorruptRepliesChangeNothing) {
    ASSERT_TRUE(ConnectReady());
    ASSERT_TRUE(server_->SetValue("TANK102", "HI", SimValue::Double(88.5)));
    EXPECT_EQ(Read(client_, "TANK102", 2), SimValue::Double(88.5));
    const size_t from = recorder_.Mark();
    for (sim::Corruption kind : {sim::Corruption::Length, sim::Corruption::Magic}) {
        server_->CorruptNextReply(kind, CMD_READ_VALUES);
        int32_t result = 0;
        EXPECT_EQ(Read(client_, "TANK102", 2, &result), SimValue());
        EXPECT_EQ(result, -1);
        EXPECT_EQ(Read(client_, "TANK102", 2, &result), SimValue::Double(88.5));
        EXPECT_EQ(result, 1);
    }
    EXPECT_TRUE(recorder_.States(from).empty());
    EXPECT_EQ(client_->GetState(), CONN_READY);
}

TEST_F(E2eTcp, GarbageFalseMarkersAndSplitRepliesAreHandled) {
    server_->SplitNextReply({3, 60, 1, 200}, 5, CMD_LOGIN);  // the directory in pieces
    ASSERT_TRUE(ConnectReady());
    EXPECT_EQ(client_->GetPointCount(), 36);
    const size_t from = recorder_.Mark();

    ASSERT_TRUE(server_->SetValue("VALVE102", "MODE", SimValue::Text("MANUAL")));
    server_->GarbageBeforeNextReply(37, CMD_READ_VALUES);
    EXPECT_EQ(Read(client_, "VALVE102", 1), SimValue::Text("MANUAL"));
    server_->FalseMarkerBeforeNextReply(CMD_READ_VALUES);
    EXPECT_EQ(Read(client_, "VALVE102", 1), SimValue::Text("MANUAL"));
    server_->SplitNextReply({1, 15, 30, 64}, 10, CMD_READ_VALUES);
    EXPECT_EQ(Read(client_, "VALVE102", 1), SimValue::Text("MANUAL"));

    // The same before heartbeat replies: no reply is lost.
    const uint64_t mark = server_->Mark();
    server_->GarbageBeforeNextReply(200, CMD_HEARTBEAT);
    server_->FalseMarkerBeforeNextReply(CMD_HEARTBEAT);
    server_->SplitNextReply({10, 10, 10}, 20, CMD_HEARTBEAT);
    EXPECT_TRUE(server_->WaitForCount(CMD_HEARTBEAT, 8, 5000, mark));
    EXPECT_TRUE(recorder_.States(from).empty());
    EXPECT_EQ(client_->GetState(), CONN_READY);
}

TEST_F(E2eTcp, HalfAMessageOfALostLinkNeverJoinsTheNextLink) {
    // The marker and part of the login reply's header arrive, then the
    // connection goes: the next connection's login reply must be read from
    // its own marker, not as the rest of the old one.
    server_->CutNextReply(40, CMD_LOGIN);
    ASSERT_TRUE(ConnectReady());
    EXPECT_EQ(server_->CountReceived(CMD_LOGIN), 2u);
    EXPECT_EQ(recorder_.States().front(), CONN_PENDING);
    EXPECT_EQ(Read(client_, "TANK101", 1), SimValue::Double(50.0));
}

TEST_F(E2eTcp, ServerProbeIsAnswered) {
    ASSERT_TRUE(ConnectReady());
    const std::vector<int> connections = server_->Connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_TRUE(server_->SendProbe(connections[0], 2000));
    EXPECT_TRUE(server_->SendProbe(connections[0], 2000));
    EXPECT_EQ(client_->GetState(), CONN_READY);
}

// ---- Stopping ------------------------------------------------------------------------

TEST_P(E2eSession, DisconnectIsPromptInEveryState) {
    auto timedDisconnect = [&](const char* when) {
        SCOPED_TRACE(when);
        const auto start = Clock::now();
        client_->Disconnect();
        EXPECT_LT(MsSince(start), 1000);
        EXPECT_TRUE(ThreadsBack()) << ThreadCount() << " threads, " << baseThreads_ << " before";
        EXPECT_EQ(client_->GetState(), CONN_CLOSED);
    };

    ASSERT_TRUE(Connect(client_));
    timedDisconnect("right after the connect");

    ASSERT_TRUE(ConnectReady());
    timedDisconnect("while ready");

    ASSERT_TRUE(ConnectReady());
    server_->SetSilent(true);  // the logout waits for one reply timeout
    timedDisconnect("while the server is silent");
    server_->SetSilent(false);

    server_->Stop();
    baseThreads_ = ThreadCount();  // without the server's threads
    const size_t from = recorder_.Mark();
    ASSERT_TRUE(Connect(client_));
    ASSERT_TRUE(recorder_.WaitForState(CONN_NO_SERVER, After(5000), from));
    timedDisconnect("without a server");
}

TEST_P(E2eSession, ConnectCyclesLeaveNothingBehind) {
    // One full cycle first: buffers that a client keeps for its lifetime
    // (streams, the directory) exist from then on.
    ASSERT_TRUE(ConnectReady());
    client_->Disconnect();
    ASSERT_TRUE(ThreadsBack());
    const int fds = FdCount();
    const int64_t blocks = testing::LiveBlocks();

    const int cycles = 200;
    for (int i = 0; i < cycles; ++i) {
        if (i % 10 == 0) {
            ASSERT_TRUE(ConnectReady()) << i;
        } else {
            ASSERT_TRUE(Connect(client_)) << i;
        }
        client_->Disconnect();
    }
    // The server closes its end of a connection, and frees what it held for
    // it, a little after the client has gone; what it still held when the
    // counts were taken may be gone by now, so they must not have grown.
    EXPECT_TRUE(ThreadsBack(3000)) << ThreadCount() << " threads, " << baseThreads_ << " before";
    EXPECT_TRUE(WaitUntil([&] { return FdCount() <= fds; }, After(3000)))
        << FdCount() << " descriptors, " << fds << " before";
    EXPECT_TRUE(WaitUntil([&] { return testing::LiveBlocks() <= blocks; }, After(3000)))
        << testing::LiveBlocks() << " blocks, " << blocks << " before";
}

TEST_P(E2eSession, DisconnectInsideTheStateCallback) {
    std::atomic<bool> done{false};
    std::atomic<int64_t> took{0};
    recorder_.SetHook([&](ITarvikClient* c, int32_t state) {
        if (state == CONN_READY && !done) {
            const auto start = Clock::now();
            c->Disconnect();
            took = MsSince(start);
            done = true;
        }
    });
    ASSERT_TRUE(Connect(client_));
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }, After(5000)));
    EXPECT_LT(took.load(), 3000);
    recorder_.SetHook(nullptr);

    // A later stop from the application's thread collects the notification thread.
    const auto start = Clock::now();
    client_->Disconnect();
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_TRUE(ThreadsBack(3000));
    EXPECT_EQ(client_->GetState(), CONN_CLOSED);

    // The client is whole: it connects again.
    EXPECT_TRUE(ConnectReady());
}

// Destroyed from inside its own state or data callback: every other thread is
// joined before anything is freed, and the notification thread frees the
// client once the callback has returned.
TEST_P(E2eSession, DestroyInsideACallback) {
    TarvikDestroyClient(client_);  // only the clients of this test
    client_ = nullptr;
    ASSERT_TRUE(ThreadsBack());
    const int64_t blocks = testing::LiveBlocks();

    for (const bool inData : {false, true}) {
        SCOPED_TRACE(inData ? "data callback" : "state callback");
        StateRecorder recorder;
        ITarvikClient* c = NewClient(recorder);
        ASSERT_NE(c, nullptr);
        std::atomic<bool> done{false};
        std::atomic<int64_t> took{0};
        auto destroy = [&] {
            const auto start = Clock::now();
            TarvikDestroyClient(c);
            took = MsSince(start);
            done = true;
        };
        if (inData) {
            ASSERT_TRUE(ConnectReady(c, recorder));
            ASSERT_EQ(Subscribe(c, {{"TANK101", 1}}).size(), 1u);
            recorder.SetDataHook([&](int32_t, const int32_t*, const int32_t*, const VarValue*) {
                if (!done) {
                    destroy();
                }
            });
            ASSERT_TRUE(server_->SetValue("TANK101", "SP", SimValue::Double(62.5)));
        } else {
            recorder.SetHook([&](ITarvikClient*, int32_t state) {
                if (state == CONN_READY && !done) {
                    destroy();
                }
            });
            ASSERT_TRUE(Connect(c));
        }
        ASSERT_TRUE(WaitUntil([&] { return done.load(); }, After(5000)));
        if (inData) {
            ASSERT_TRUE(recorder.WaitForData(1, After(3000)));  // the call has left the log
        }
        EXPECT_LT(took.load(), 3000);
        EXPECT_TRUE(ThreadsBack(3000));
        EXPECT_TRUE(WaitUntil([&] { return testing::LiveBlocks() == blocks; }, After(3000)))
            << testing::LiveBlocks() << " blocks, " << blocks << " before";
    }
}

// ---- Faults ------------------------------------------------------------------------------

TEST_P(E2eSession, SessionSurvivesRandomFaults) {
    server_->Stop();
    server_ = std::make_unique<CSimServer>();
    ASSERT_TRUE(server_->Start(Options(IsLocal(), 0, 20)));
    ASSERT_TRUE(ConnectReady());
    const std::vector<int32_t> handles = Subscribe(client_, {{"TANK101", 0}, {"PUMP102", 1}});
    ASSERT_EQ(handles.size(), 2u);

    server_->SetRandomFaults(20240601, 15, 150);
    const auto end = After(5000);
    int reads = 0;
    while (Clock::now() < end) {
        int32_t result = 0;
        Read(client_, "TANK101", 0, &result);
        reads += result == 1 ? 1 : 0;
        VarValue v[2];
        std::memset(v, 0, sizeof v);
        client_->GetValuesByHandle(2, handles.data(), v);
        FreeVar(&v[0]);
        FreeVar(&v[1]);
        // Requests fail at once while the session is not ready.
        WaitUntil([&] { return client_->GetState() == CONN_READY; }, After(20));
    }
    EXPECT_GT(server_->FaultsInjected(), 0u);
    server_->ClearScripts();

    // Ready again, and really so: reads succeed and the pushes go on.
    ASSERT_TRUE(WaitUntil(
        [&] {
            int32_t result = 0;
            return client_->GetState() == CONN_READY &&
                   (Read(client_, "TANK101", 0, &result), result == 1);
        },
        After(8000)))
        << "state " << client_->GetState() << " after " << reads << " reads";
    const uint64_t mark = server_->Mark();
    EXPECT_TRUE(server_->WaitForCount(CMD_HEARTBEAT_DATA, 3, 3000, mark));
    const size_t data = recorder_.DataCount();
    EXPECT_TRUE(recorder_.WaitForData(data + 1, After(3000)));  // the random walk goes on
}

// ---- Local transport -------------------------------------------------------------------

class E2eLocal : public E2eSession {};

INSTANTIATE_TEST_SUITE_P(E2e, E2eLocal, ::testing::Values(Transport::Local), TransportName);

TEST_P(E2eLocal, RefusedWindowMessageBreaksTheLinkAndDiscoveryFindsTheServerAgain) {
    ASSERT_TRUE(ConnectReady());
    // The longest text a value holds crosses whole.
    const std::string longest(63, 'x');
    ASSERT_TRUE(server_->SetValue("VALVE103", "MODE", SimValue::Text(longest)));
    EXPECT_EQ(Read(client_, "VALVE103", 1), SimValue::Text(longest));

    // The server's window answers 0 and the server has left the registry:
    // the send fails, the link is down and no server is found.
    size_t from = recorder_.Mark();
    ASSERT_TRUE(server_->SetRegistered(false));
    server_->ScriptWindowAnswer(0, true);
    ASSERT_TRUE(recorder_.WaitForState(CONN_NO_SERVER, After(5000), from));
    const std::vector<int32_t> down = {CONN_BROKEN, CONN_NO_SERVER};
    EXPECT_EQ(UpToFirst(recorder_.States(from), CONN_NO_SERVER), down);
    EXPECT_FALSE(client_->IsLinkUp());

    // Registered again: found, and the session goes on.
    from = recorder_.Mark();
    ASSERT_TRUE(server_->SetRegistered(true));
    ASSERT_TRUE(recorder_.WaitForState(CONN_READY, After(5000), from));
    const std::vector<int32_t> up = {CONN_PENDING, CONN_READY};
    EXPECT_EQ(UpToFirst(recorder_.States(from), CONN_READY), up);
    EXPECT_EQ(Read(client_, "VALVE103", 1), SimValue::Text(longest));
}

// ---- Two clients ------------------------------------------------------------------------

TEST_P(E2eSession, TwoClientsGetTheirOwnReplies) {
    StateRecorder other;
    ITarvikClient* second = NewClient(other);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(ConnectReady());
    ASSERT_TRUE(ConnectReady(second, other));
    ASSERT_TRUE(server_->SetValue("TANK104", "STATE", SimValue::Text("FIRST CLIENT'S TEXT")));
    ASSERT_TRUE(server_->SetValue("TANK105", "PV", SimValue::Double(22.75)));

    std::atomic<int> wrong{0};
    auto reader = [&](ITarvikClient* c, const char* point, uint32_t field, SimValue expected) {
        for (int i = 0; i < 40; ++i) {
            if (Read(c, point, field) != expected) {
                ++wrong;
            }
        }
    };
    std::thread a(reader, client_, "TANK104", 4u, SimValue::Text("FIRST CLIENT'S TEXT"));
    std::thread b(reader, second, "TANK105", 0u, SimValue::Double(22.75));
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    // Two sessions at least; a heartbeat answered late on a loaded machine
    // makes a client log in again under a new id, which is the session's rule.
    EXPECT_GE(server_->ClientIds().size(), 2u);
    TarvikDestroyClient(second);
}

}  // namespace
}  // namespace tarvik
