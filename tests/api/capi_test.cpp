// The C API against an in-process server over TCP: waiting for the ready
// session with and without an application callback, items by name, pushed
// changes with the C API's own client pointer, a client destroyed from its
// own callback, null clients and text blocks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_server.h"
#include "tarvik/tarvik_c.h"
#include "tarvik/tarvik_version.h"
#include "wait_until.h"

extern "C" int tarvik_test_c_program(int port, char* text, size_t textSize);

namespace {

using tarvik::sim::CSimServer;
using tarvik::sim::ServerOptions;
using tarvik::sim::SimValue;
using tarvik::testwait::WaitUntil;

struct Recorder {
    std::mutex mutex;
    std::vector<int32_t> states;
    std::vector<double> pushed;
    tarvik_client* seenClient = nullptr;
    TarvikUserData seenUser = 0;
    std::atomic<int> destroyed{0};
};

Recorder* g_recorder = nullptr;

void OnState(tarvik_client* client, TarvikUserData user, int32_t state) {
    std::lock_guard<std::mutex> lock(g_recorder->mutex);
    g_recorder->states.push_back(state);
    g_recorder->seenClient = client;
    g_recorder->seenUser = user;
}

void OnData(tarvik_client* client, TarvikUserData, int32_t count, const int32_t*, const int32_t*,
            const VarValue* values) {
    std::lock_guard<std::mutex> lock(g_recorder->mutex);
    g_recorder->seenClient = client;
    for (int32_t i = 0; i < count; ++i) {
        if (values[i].tag == VAL_DOUBLE) {
            const double value = values[i].u.dblVal;  // a copy: VarValue is packed
            g_recorder->pushed.push_back(value);
        }
    }
}

void DestroyWhenReady(tarvik_client* client, TarvikUserData, int32_t state) {
    if (state == CONN_READY) {
        tarvik_destroy(client);
        ++g_recorder->destroyed;
    }
}

class CApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_recorder = &recorder_;
        std::string error;
        ASSERT_TRUE(server_.Start(ServerOptions{}, &error)) << error;
    }
    void TearDown() override {
        server_.Stop();
        g_recorder = nullptr;
    }
    tarvik_client* Connected(tarvik_state_callback onState = nullptr) {
        tarvik_client* client = tarvik_create(1);
        EXPECT_NE(client, nullptr);
        tarvik_set_heartbeat_interval(client, 50);
        tarvik_set_state_callback(client, onState);
        EXPECT_TRUE(tarvik_connect_remote(client, server_.Port(), "127.0.0.1", nullptr, 0));
        return client;
    }

    Recorder recorder_;
    CSimServer server_;
};

TEST_F(CApiTest, WaitReadyWithAndWithoutTheApplicationsCallback) {
    tarvik_client* idle = tarvik_create(1);
    EXPECT_FALSE(tarvik_wait_ready(idle, 30));  // never connected: the time-out

    tarvik_client* plain = Connected();
    tarvik_client* watched = tarvik_create(1);
    tarvik_set_user_data(watched, -5);
    tarvik_set_state_callback(watched, &OnState);
    ASSERT_TRUE(tarvik_connect_remote(watched, server_.Port(), "127.0.0.1", "", 0));
    EXPECT_TRUE(tarvik_wait_ready(plain, 5000));
    EXPECT_TRUE(tarvik_wait_ready(watched, 5000));
    EXPECT_EQ(tarvik_get_state(plain), CONN_READY);
    {
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        ASSERT_FALSE(recorder_.states.empty());
        EXPECT_EQ(recorder_.states.back(), CONN_READY);
        EXPECT_EQ(recorder_.seenClient, watched);  // the C API's pointer, not the library's
        EXPECT_EQ(recorder_.seenUser, -5);         // sign-extended
    }

    tarvik_disconnect(plain);
    EXPECT_FALSE(tarvik_wait_ready(plain, 0));
    EXPECT_STREQ(tarvik_state_name(tarvik_get_state(plain)), "CONN_CLOSED");
    tarvik_destroy(plain);
    tarvik_destroy(watched);
    tarvik_destroy(idle);
}

TEST_F(CApiTest, ReadsAndWritesByNameAllOrNothing) {
    tarvik_client* client = Connected();
    ASSERT_TRUE(tarvik_wait_ready(client, 5000));

    const char* names[] = {"TANK101.SP", "tank101.state", "PUMP101.RUN", "TANK101"};
    VarValue values[4];
    std::memset(values, 0, sizeof values);
    values[0].tag = VAL_DOUBLE;
    values[0].u.dblVal = 42.5;
    ASSERT_TRUE(tarvik_value_set_text(&values[1], "MANUAL"));
    values[2].tag = VAL_LONG;
    values[2].u.lVal = 0;
    values[3].tag = VAL_DOUBLE;
    values[3].u.dblVal = 12.0;
    ASSERT_EQ(tarvik_write_by_name(client, 4, names, values), 4);
    SimValue stored;
    ASSERT_TRUE(server_.GetValue("TANK101", "STATE", &stored));
    EXPECT_EQ(stored.s, "MANUAL");

    tarvik_values_clear(4, values);
    ASSERT_EQ(tarvik_read_by_name(client, 4, names, values), 4);
    EXPECT_EQ(values[0].tag, VAL_DOUBLE);
    EXPECT_EQ(+values[0].u.dblVal, 42.5);  // + copies the packed member
    ASSERT_EQ(values[1].tag, VAL_STRING);
    EXPECT_STREQ(values[1].u.strVal, "MANUAL");
    EXPECT_EQ(values[2].tag, VAL_LONG);
    EXPECT_EQ(+values[2].u.lVal, 0);

    // One unknown or over-long name: nothing is read or written.
    const char* bad[] = {"TANK101.SP", "TANK999.PV"};
    const std::string longName(40, 'A');
    const char* tooLong[] = {longName.c_str()};
    const char* missing[] = {nullptr};
    EXPECT_EQ(tarvik_read_by_name(client, 2, bad, values), -1);
    EXPECT_STREQ(values[1].u.strVal, "MANUAL");  // untouched
    EXPECT_EQ(tarvik_write_by_name(client, 2, bad, values), -1);
    EXPECT_EQ(tarvik_read_by_name(client, 1, tooLong, values), -1);
    EXPECT_EQ(tarvik_read_by_name(client, 1, missing, values), -1);
    EXPECT_EQ(tarvik_read_by_name(client, 0, names, values), -1);
    tarvik_values_clear(4, values);
    tarvik_destroy(client);
}

TEST_F(CApiTest, PushedChangesReachTheCallbackWithTheCApiClient) {
    tarvik_client* client = Connected();
    tarvik_set_data_callback(client, &OnData);
    ASSERT_TRUE(tarvik_wait_ready(client, 5000));
    char name[TARVIK_ITEM_NAME] = "TANK103.PV";
    int32_t index = -1;
    int32_t field = -1;
    ASSERT_EQ(tarvik_resolve_item_names(client, 1, name, &index, &field), 1);
    const uint32_t point = static_cast<uint32_t>(index);
    const uint32_t fieldNo = static_cast<uint32_t>(field);
    int32_t handle = 0;
    ASSERT_EQ(tarvik_advise(client, 1, &point, &fieldNo, nullptr, &handle), 1);
    const char* byName[] = {"tank103", "NOPE"};
    int32_t handles[2] = {0, 0};
    EXPECT_EQ(tarvik_advise_by_name(client, 2, byName, nullptr, handles), -1);
    ASSERT_EQ(tarvik_advise_by_name(client, 1, byName, nullptr, handles), 1);
    EXPECT_EQ(tarvik_get_advise_handle_count(client), 2);

    ASSERT_TRUE(server_.SetValue("TANK103", "PV", SimValue::Double(77.25)));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        return !recorder_.pushed.empty();
    }));
    {
        std::lock_guard<std::mutex> lock(recorder_.mutex);
        EXPECT_EQ(recorder_.pushed.back(), 77.25);
        EXPECT_EQ(recorder_.seenClient, client);
    }
    EXPECT_EQ(tarvik_unadvise(client, 1, &handle), 1);
    EXPECT_EQ(tarvik_unadvise(client, 1, handles), 1);
    EXPECT_EQ(tarvik_get_advise_handle_count(client), 0);
    tarvik_destroy(client);
}

TEST_F(CApiTest, ClientDestroyedFromItsOwnCallback) {
    ASSERT_NE(Connected(&DestroyWhenReady), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return recorder_.destroyed.load() == 1; }));
    // The library and the C API finish the destruction once the callback has
    // returned; the sanitizers see the rest.
}

TEST_F(CApiTest, CProgram) {
    char text[64] = "";
    EXPECT_EQ(tarvik_test_c_program(server_.Port(), text, sizeof text), 0);
    EXPECT_STREQ(text, "FROM C");
}

TEST(CApi, NullClientsTextBlocksAndVersion) {
    EXPECT_EQ(tarvik_get_state(nullptr), -1);
    EXPECT_FALSE(tarvik_wait_ready(nullptr, 10));
    EXPECT_FALSE(tarvik_connect_local(nullptr));
    EXPECT_EQ(tarvik_read_values(nullptr, 0, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(tarvik_unadvise_all(nullptr), 0);
    char buffer[8] = "x";
    tarvik_get_last_error_text(nullptr, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");
    tarvik_destroy(nullptr);

    VarValue value;
    std::memset(&value, 0, sizeof value);
    ASSERT_TRUE(tarvik_value_set_text(&value, std::string(100, 'x').c_str()));
    EXPECT_EQ(std::strlen(value.u.strVal), 63u);          // a text block holds 63 characters
    ASSERT_TRUE(tarvik_value_set_text(&value, "short"));  // frees the first block
    EXPECT_STREQ(value.u.strVal, "short");
    tarvik_values_clear(1, &value);
    EXPECT_EQ(value.tag, VAL_NONE);
    EXPECT_STREQ(tarvik_version(), TARVIK_VERSION_STRING);
    EXPECT_STREQ(tarvik_state_name(42), "unknown");
}

}  // namespace
