// The C++ layer against an in-process server over TCP: a session by name,
// subscriptions and their end, history with std::chrono, and the errors it
// throws, each saying what failed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/message.h"
#include "sim/sim_server.h"
#include "tarvik/tarvik.hpp"
#include "wait_until.h"

namespace {

using namespace std::chrono_literals;
using tarvik::Client;
using tarvik::Error;
using tarvik::ErrorCode;
using tarvik::Update;
using tarvik::Value;
using tarvik::sim::CSimServer;
using tarvik::sim::ServerOptions;
using tarvik::sim::SimValue;
using tarvik::testwait::WaitUntil;

// Runs f, which must throw tarvik::Error with this code and a message that
// contains `part`.
template <typename F>
void ExpectError(F f, ErrorCode code, const std::string& part) {
    try {
        f();
        ADD_FAILURE() << "no error; expected one containing \"" << part << "\"";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code) << e.what();
        EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
}

class CppLayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Start(ServerOptions{}, &error)) << error;
    }
    void Connect(Client& client) {
        client.get()->SetHeartbeatInterval(50);
        client.connectRemote("127.0.0.1", server_.Port(), 5s);
    }

    CSimServer server_;
};

struct Updates {
    std::mutex mutex;
    std::vector<Update> seen;
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size();
    }
    Update last() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.back();
    }
    tarvik::UpdateHandler handler() {
        return [this](const Update& u) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(u);
        };
    }
};

TEST_F(CppLayerTest, ReadsWritesAndSubscribesByName) {
    Client client;
    std::atomic<int> readyCalls{0};
    client.onStateChange([&](int32_t state) { readyCalls += state == CONN_READY; });
    Connect(client);
    EXPECT_TRUE(client.ready());
    EXPECT_EQ(readyCalls.load(), 1);

    EXPECT_EQ(client.read("TANK101").type(), Value::Type::Double);  // the PV field
    client.write({{"TANK101.SP", 33.5}, {"TANK101.STATE", "HIGH"}, {"PUMP101.RUN", 0}});
    const std::vector<Value> values = client.read({"tank101.sp", "TANK101.STATE", "PUMP101.RUN"});
    EXPECT_EQ(values[0], Value(33.5));
    EXPECT_EQ(values[1].asText(), "HIGH");
    EXPECT_EQ(values[2].asInteger(), 0);
    EXPECT_EQ(values[2].asDouble(), 0.0);
    client.write("TANK101.SP", 7);  // converted to the field's type
    EXPECT_EQ(client.read("TANK101.SP").asDouble(), 7.0);

    Updates one;
    Updates both;
    tarvik::Subscription single = client.subscribe("TANK104", one.handler());
    tarvik::Subscription pair = client.subscribe({"TANK105.PV", "PUMP105.SPEED"}, both.handler());
    ASSERT_TRUE(server_.SetValue("TANK104", "PV", SimValue::Double(88.0)));
    ASSERT_TRUE(server_.SetValue("PUMP105", "SPEED", SimValue::Double(999.0)));
    ASSERT_TRUE(WaitUntil([&] { return one.size() > 0 && both.size() > 0; }, 5s));
    EXPECT_EQ(one.last().item, "TANK104");
    EXPECT_EQ(one.last().value, Value(88.0));
    EXPECT_EQ(both.last().item, "PUMP105.SPEED");  // which of the pair changed
    EXPECT_EQ(both.last().value, Value(999.0));

    // Ending a subscription releases its handles; the other one goes on.
    EXPECT_EQ(client.get()->GetAdviseHandleCount(), 3);
    single.unsubscribe();
    EXPECT_FALSE(single.active());
    EXPECT_EQ(client.get()->GetAdviseHandleCount(), 2);
    { tarvik::Subscription gone = std::move(pair); }
    EXPECT_EQ(client.get()->GetAdviseHandleCount(), 0);
    EXPECT_FALSE(client.points().empty());
}

TEST_F(CppLayerTest, SubscriptionMayOutliveItsClient) {
    tarvik::Subscription subscription;
    {
        Client client;
        Connect(client);
        subscription = client.subscribe("TANK106", [](const Update&) {});
        EXPECT_TRUE(subscription.active());
    }
    subscription.unsubscribe();  // nothing left to do
    EXPECT_FALSE(subscription.active());
}

TEST_F(CppLayerTest, HistoryWithChronoTimes) {
    Client client;
    Connect(client);
    const auto now =
        std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    client.writeHistory("TI101.PV", {{now - 20s, 1, 10.5}, {now - 10s, 2, 11.5}});
    const std::vector<tarvik::HistorySample> records =
        client.history("TI101.PV", now - 60s, now + 1s);
    ASSERT_GE(records.size(), 2u);
    bool found = false;
    for (const tarvik::HistorySample& r : records) {
        if (r.time == now - 10s) {
            found = true;
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.value, 11.5);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(tarvik::fromOleDate(tarvik::toOleDate(now)), now);
}

TEST_F(CppLayerTest, ErrorsSayWhatFailed) {
    Client client;
    ExpectError([&] { client.read("TANK101"); }, ErrorCode::NotReady, "CONN_CLOSED");
    Connect(client);
    ExpectError(
        [&] {
            client.read({"TANK101", "NOPE.PV"});
        },
        ErrorCode::UnknownItem, "unknown item \"NOPE.PV\"");
    ExpectError([&] { client.read(std::string(40, 'X')); }, ErrorCode::UnknownItem, "XXXX");
    ExpectError([&] { client.write("TANK101.STATE", std::string(64, 'y')); },
                ErrorCode::InvalidArgument, "at most 63");
    ExpectError([&] { Value(1.5).asText(); }, ErrorCode::TypeMismatch, "not a text");

    client.setRequestTimeout(200ms);
    server_.ScriptNoAnswer(tarvik::CMD_READ_VALUES);
    ExpectError([&] { client.read("TANK101"); }, ErrorCode::Timeout, "read of TANK101 timed out");
}

TEST_F(CppLayerTest, ConnectTimesOutOrIsRefused) {
    Client refused;
    server_.ScriptStatus(tarvik::CMD_LOGIN, tarvik::STATUS_LOGIN_REFUSED, false);
    ExpectError([&] { refused.connectRemote("127.0.0.1", server_.Port(), 500ms); },
                ErrorCode::Refused, "refused the client");
    EXPECT_EQ(refused.state(), CONN_CLOSED);  // disconnected again

    const uint16_t port = server_.Port();
    server_.Stop();
    Client lonely;
    ExpectError([&] { lonely.connectRemote("127.0.0.1", port, 300ms); }, ErrorCode::Timeout,
                "no ready session with 127.0.0.1:" + std::to_string(port) + " within 300 ms");
}

}  // namespace
