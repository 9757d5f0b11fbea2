// Sessions in a hostile world, each case timed so that the fault it guards
// against shows every time: a link lost between a heartbeat and its reply, a
// window thread slower than the connect's patience, a connect from inside a
// callback, and a loss reported while discovery runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "client/allocator.h"
#include "client/client.h"
#include "client/window_transport.h"
#include "client_probe.h"
#include "platform/inject.h"
#include "session/message.h"
#include "sim/sim_server.h"
#include "state_log.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace {

using namespace sim;
using namespace testlog;

ClientPtr NewClient(StateLog& log) {
    ClientPtr c(TarvikCreateClient(7));
    if (c) {
        c->SetRequestTimeout(kReplyTimeoutMs);
        c->SetHeartbeatInterval(kHeartbeatMs);
        log.Attach(c.get());
    }
    return c;
}

ServerOptions TcpOnly() {
    ServerOptions o;
    o.tcp = true;
    o.local = false;
    return o;
}

int32_t ReadOne(ITarvikClient* c, const char* point, uint32_t fieldNo) {
    char name[TARVIK_POINT_NAME] = {};
    std::strncpy(name, point, sizeof name - 1);
    int32_t index = -1;
    if (c->GetPointIndexesByName(1, name, &index) != 1 || index < 0) {
        return -2;
    }
    const uint32_t p = static_cast<uint32_t>(index);
    VarValue v;
    std::memset(&v, 0, sizeof v);
    const int32_t n = c->ReadValues(1, &p, &fieldNo, &v);
    FreeVar(&v);
    return n;
}

// The primary's link drops right after a heartbeat went out, every time; the
// client fails over to the backup, which has never heard of it. CONN_READY
// must mean that reads work: the backup has to accept the session first.
TEST(HostileSession, FailoverBetweenAHeartbeatAndItsReplyIsReadyOnlyOnceConfirmed) {
    CSimServer primary;
    CSimServer backup;
    ASSERT_TRUE(primary.Start(TcpOnly()));
    ASSERT_TRUE(backup.Start(TcpOnly()));
    StateLog log;
    ClientPtr client = NewClient(log);
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->ConnectRemote(primary.Port(), "127.0.0.1", "127.0.0.1", backup.Port()));
    ASSERT_TRUE(log.WaitForState(CONN_READY, After(5000)));
    ASSERT_EQ(client->GetAdviseItemCount(), 0);

    // A read inside the callback, as an application that starts work on
    // CONN_READY does.
    std::atomic<int32_t> readOnReady{-3};
    const size_t from = log.Mark();
    log.SetHook([&](ITarvikClient* c, int32_t state) {
        if (state == CONN_READY) {
            readOnReady = ReadOne(c, "TANK101", 1);
        }
    });
    primary.StopListening();
    primary.ScriptDrop(CMD_HEARTBEAT);
    ASSERT_TRUE(log.WaitForState(CONN_READY, After(10000), from));
    ASSERT_TRUE(WaitUntil([&] { return readOnReady != -3; }, After(5000)));
    EXPECT_EQ(readOnReady.load(), 1);
    EXPECT_EQ(log.Count(CONN_READY, from), 1u);
    EXPECT_EQ(log.Count(CONN_PENDING, from), 1u);
    EXPECT_EQ(backup.CountReceived(CMD_LOGIN), 1u);
    EXPECT_EQ(ReadOne(client.get(), "TANK101", 1), 1);
    log.SetHook(nullptr);
}

// The window thread is held back until ConnectLocal has given up on it; it
// then makes its window after all. The connect must return, and the late
// thread must end by itself, leaving no window behind.
CTarvikClient* g_slowClient = nullptr;

void HoldUntilGivenUp(CTarvikClient* client) {
    if (client != g_slowClient) {
        return;
    }
    WaitUntil(
        [client] {
            plat::CLockHold hold(ClientProbe::StateLock(client));
            return ClientProbe::WindowGivenUp(client);
        },
        After(10000));
}

TEST(HostileSession, WindowThreadSlowerThanTheConnectEndsAndTheConnectReturns) {
    CSimServer server;
    ServerOptions options;
    options.tcp = false;
    options.local = true;
    ASSERT_TRUE(server.Start(options));
    StateLog log;
    ClientPtr client = NewClient(log);
    ASSERT_TRUE(client);
    CTarvikClient* self = ClientOf(client.get());
    g_slowClient = self;
    testing::SetWindowWaitMs(200);
    testing::SetWindowThreadHook(&HoldUntilGivenUp);
    const auto start = testlog::Clock::now();
    EXPECT_FALSE(client->ConnectLocal());
    EXPECT_LT(testlog::Clock::now() - start, std::chrono::seconds(5));
    testing::SetWindowThreadHook(nullptr);
    testing::SetWindowWaitMs(0);
    {
        plat::CLockHold hold(ClientProbe::StateLock(self));
        EXPECT_EQ(ClientProbe::OwnWindow(self), 0);
        EXPECT_EQ(ClientProbe::WindowThread(self), nullptr);
    }
    EXPECT_EQ(client->GetState(), CONN_CLOSED);
    EXPECT_TRUE(log.States().empty());

    // The next connect finds everything in order.
    ASSERT_TRUE(client->ConnectLocal());
    EXPECT_TRUE(log.WaitForState(CONN_READY, After(5000)));
    g_slowClient = nullptr;
}

// A TCP-only server and a client attached to a state log, not yet connected.
class HostileTcp : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start(TcpOnly()));
        client = NewClient(log);
        ASSERT_TRUE(client);
    }

    CSimServer server;
    StateLog log;
    ClientPtr client;
};

// Connecting from inside a callback would restart the very thread the
// callback runs on: it is refused, says why, and changes nothing.
TEST_F(HostileTcp, ConnectFromInsideACallbackIsRefused) {
    std::atomic<int> answers{-1};
    std::string error;
    log.SetHook([&](ITarvikClient* c, int32_t state) {
        if (state != CONN_READY || answers != -1) {
            return;
        }
        const bool remote = c->ConnectRemote(server.Port(), "127.0.0.1", nullptr, 0);
        const bool local = c->ConnectLocal();
        char text[256] = {};
        c->GetLastErrorText(text, sizeof text);
        error = text;
        answers = (remote ? 1 : 0) + (local ? 2 : 0);
    });
    ASSERT_TRUE(client->ConnectRemote(server.Port(), "127.0.0.1", nullptr, 0));
    ASSERT_TRUE(WaitUntil([&] { return answers != -1; }, After(5000)));
    EXPECT_EQ(answers.load(), 0);
    EXPECT_NE(error.find("callback"), std::string::npos) << error;

    // The session goes on, and its callbacks still come.
    EXPECT_TRUE(WaitUntil([&] { return client->GetState() == CONN_READY; }, After(2000)));
    EXPECT_EQ(ReadOne(client.get(), "TANK101", 1), 1);
    const size_t from = log.Mark();
    ASSERT_GE(server.DropAllConnections(), 1);
    EXPECT_TRUE(log.WaitForState(CONN_READY, After(5000), from));
    EXPECT_EQ(server.Connections().size(), 1u);
}

// A server that closes an idle link, again and again: each loss is one
// CONN_BROKEN, whoever notices it first.
TEST_F(HostileTcp, EveryServerSideCloseOfAnIdleLinkIsOneBrokenLink) {
    client->SetHeartbeatInterval(200);
    ASSERT_TRUE(client->ConnectRemote(server.Port(), "127.0.0.1", nullptr, 0));
    ASSERT_TRUE(log.WaitForState(CONN_READY, After(5000)));
    for (int drop = 0; drop < 10; ++drop) {
        const size_t from = log.Mark();
        ASSERT_GE(server.DropAllConnections(), 1);
        ASSERT_TRUE(log.WaitForState(CONN_READY, After(5000), from)) << drop;
        EXPECT_EQ(log.Count(CONN_BROKEN, from), 1u) << drop;
        EXPECT_EQ(log.States(from).front(), CONN_BROKEN) << drop;
    }
}

// A connect that returns false says why, also when the window registry
// is short of memory (its first allocation, on the window thread).
TEST(HostileSession, ConnectShortOfMemoryForTheWindowRegistrySaysWhy) {
    CSimServer server;
    ServerOptions options;
    options.tcp = false;
    options.local = true;
    {
        inject::testing::Exempt exempt;
        ASSERT_TRUE(server.Start(options));
    }
    StateLog log;
    ClientPtr client = NewClient(log);
    ASSERT_TRUE(client);
    tarvik::testing::FailNthAllocation(1);
    EXPECT_FALSE(client->ConnectLocal());
    tarvik::testing::FailNthAllocation(0);
    char text[256] = {};
    client->GetLastErrorText(text, sizeof text);
    EXPECT_NE(std::string(text).find("registry"), std::string::npos) << text;
    ASSERT_TRUE(client->ConnectLocal());
    EXPECT_TRUE(log.WaitForState(CONN_READY, After(5000)));
}

}  // namespace
}  // namespace tarvik
