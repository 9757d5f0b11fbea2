// The notification thread and data-change delivery: state callbacks, the fan
// out of value changes to subscriptions, last values, the thread the
// application is called on, and stopping or destroying the client from inside
// a callback.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "client/var_value.h"
#include "client_probe.h"
#include "directory/notify_event.h"
#include "unit/fake_link.h"

namespace tarvik {
namespace {

using fake::Long;
using fake::WaitFor;

// What the callbacks saw; one per test, reached through the user value.
struct Seen {
    std::mutex mutex;
    std::vector<int32_t> states;
    std::vector<int32_t> statesDuring;  // GetState inside the callback
    std::vector<uint32_t> threads;
    int32_t dataCalls = 0;
    std::vector<int32_t> handles;
    std::vector<int32_t> users;
    std::vector<VarValue> values;  // texts copied to `texts`
    std::vector<std::string> texts;
    std::vector<int32_t> valueDuring;  // GetValuesByHandle of the first handle, inside
    // Actions inside a callback.
    bool disconnect = false;
    bool destroy = false;
    std::atomic<bool> hold{false};  // the callback waits while set
    std::atomic<bool> entered{false};
    std::atomic<bool> returned{false};
};

Seen* g_seen = nullptr;

// How a callback ends: held while the test says so, then what it asked for.
void Leave(Seen& s, ITarvikClient* itf) {
    WaitFor([&] { return !s.hold.load(); }, 10000);
    if (s.disconnect) {
        ClientOf(itf)->Disconnect();
    }
    if (s.destroy) {
        TarvikDestroyClient(itf);
    }
    s.returned = true;
}

void TARVIK_CALL OnState(ITarvikClient* itf, TarvikUserData, int32_t state) {
    CTarvikClient* client = ClientOf(itf);
    Seen& s = *g_seen;
    s.entered = true;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.states.push_back(state);
        s.statesDuring.push_back(client->GetState());
        s.threads.push_back(plat::CurrentThreadId());
    }
    Leave(s, itf);
}

void TARVIK_CALL OnData(ITarvikClient* itf, TarvikUserData, int32_t count, const int32_t* handles,
                        const int32_t* users, const VarValue* values) {
    CTarvikClient* client = ClientOf(itf);
    Seen& s = *g_seen;
    s.entered = true;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.dataCalls;
        s.threads.push_back(plat::CurrentThreadId());
        for (int32_t i = 0; i < count; ++i) {
            s.handles.push_back(handles[i]);
            s.users.push_back(users[i]);
            s.values.push_back(values[i]);
            s.texts.push_back(values[i].tag == VAL_STRING ? values[i].u.strVal : "");
        }
        if (count > 0) {
            VarValue now = VarNone();
            client->GetValuesByHandle(1, &handles[0], &now);
            s.valueDuring.push_back(now.tag == VAL_LONG ? now.u.lVal : -1);
            VarEmpty(&now);
        }
    }
    Leave(s, itf);
}

class NotifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_seen = &seen_;
        live_ = testing::LiveBlocks();
        ITarvikClient* itf = TarvikCreateClient(0);
        ASSERT_NE(itf, nullptr);
        client_ = ClientOf(itf);
        client_->SetStateCallback(&OnState);
        client_->SetDataCallback(&OnData);
        const std::vector<uint8_t> body = fake::PlantBody();
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ASSERT_TRUE(ClientProbe::Directory(client_).Build(body.data(), body.size()));
    }
    void TearDown() override {
        if (client_ != nullptr) {
            fake::InstallLink(client_, nullptr);
            TarvikDestroyClient(client_);
        }
        g_seen = nullptr;
    }

    // The value queries answer only on a linked, ready session.
    void MakeReady() {
        fake::InstallLink(client_, &link_);
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::Flags(client_) = SF_READY;
    }
    void Post(int32_t state) { ClientProbe::PostStateChange(client_, state); }
    int32_t QueueLength() {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        return ClientProbe::NotifyQueue(client_).Count();
    }
    // A subscription with a chosen handle: the counter is set just before it.
    void SubscribeWithHandle(uint32_t point, uint32_t field, int32_t handle, int32_t user,
                             int32_t lastValue) {
        VarValue v = VarNone();
        VarSetLong(&v, lastValue);
        int32_t got = 0;
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::HandleCounter(client_) = handle - 1;
        const int32_t fresh = ClientProbe::Advise(client_).CountNewKeys(1, &point, &field);
        ASSERT_TRUE(ClientProbe::Advise(client_).AddAdvise(
            fresh, 1, &point, &field, &user, &v, &got, ClientProbe::Directory(client_).PointCount(),
            &ClientProbe::HandleCounter(client_)));
        ASSERT_EQ(got, handle);
    }
    // A data event for the notification thread.
    void PostData(const std::vector<uint32_t>& keys, const std::vector<VarValue>& values,
                  uint8_t type = NOTIFY_DATA) {
        NotifyEvent* e = NotifyEventCreate();
        ASSERT_NE(e, nullptr);
        e->type = type;
        e->count = static_cast<int32_t>(keys.size());
        e->keys = static_cast<uint32_t*>(MemAlloc(4 * keys.size()));
        e->valuesCapacity = static_cast<int32_t>(values.size());
        e->values = VarArrayCreate(e->valuesCapacity);
        for (size_t i = 0; i < keys.size(); ++i) {
            e->keys[i] = keys[i];
        }
        for (size_t i = 0; i < values.size(); ++i) {
            VarCopy(&e->values[i], &values[i]);
        }
        ClientProbe::QueueNotify(client_, e);
    }
    // Starts the notification thread and has `post` queue an event while the
    // callback is held: the callback goes on only after the producer has left
    // QueueNotify, so a client that the callback frees or stops is not
    // touched by the test thread. True once the callback has returned.
    template <typename F>
    bool DeliverHeld(F post) {
        seen_.hold = true;
        fake::StartNotifyThread(client_);
        post();
        seen_.hold = false;
        return WaitFor([&] { return seen_.returned.load(); });
    }
    int32_t LastValue(int32_t handle) {
        VarValue v = VarNone();
        client_->GetValuesByHandle(1, &handle, &v);
        const int32_t out = v.tag == VAL_LONG ? v.u.lVal : -1;
        VarEmpty(&v);
        return out;
    }
    uint32_t NotifyThreadId() {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        return ClientProbe::NotifyThreadId(client_);
    }

    Seen seen_;
    fake::FakeNetLink link_;
    CTarvikClient* client_ = nullptr;
    int64_t live_ = 0;
};

constexpr uint32_t kKeyTankPV = fake::kTank | (fake::kPV << 24);
constexpr uint32_t kKeyPumpPV = fake::kPump | (fake::kPV << 24);

// ---- States ------------------------------------------------------------------------------

TEST_F(NotifyTest, EqualStatesAreReportedOnce) {
    ASSERT_EQ(client_->GetState(), CONN_CLOSED);
    fake::StartNotifyThread(client_);
    for (int32_t s : {CONN_PENDING, CONN_READY, CONN_READY, CONN_BROKEN}) {
        Post(s);
    }
    ASSERT_TRUE(WaitFor([&] { return client_->GetState() == CONN_BROKEN && QueueLength() == 0; }));
    std::lock_guard<std::mutex> lock(seen_.mutex);
    EXPECT_EQ(seen_.states, (std::vector<int32_t>{CONN_PENDING, CONN_READY, CONN_BROKEN}));
    // During each callback the state is still the previous one.
    EXPECT_EQ(seen_.statesDuring, (std::vector<int32_t>{CONN_CLOSED, CONN_PENDING, CONN_READY}));
    for (uint32_t id : seen_.threads) {
        EXPECT_EQ(id, NotifyThreadId());
    }
}

TEST_F(NotifyTest, WithoutACallbackTheStateIsStillStored) {
    client_->SetStateCallback(nullptr);
    fake::StartNotifyThread(client_);
    Post(CONN_NO_SERVER);
    EXPECT_TRUE(WaitFor([&] { return client_->GetState() == CONN_NO_SERVER; }));
    EXPECT_TRUE(seen_.states.empty());
}

TEST_F(NotifyTest, UnknownEventsAreFreed) {
    const int64_t live = testing::LiveBlocks();
    PostData({kKeyTankPV}, {Long(1)}, 9);
    fake::StartNotifyThread(client_);
    EXPECT_TRUE(WaitFor([&] { return QueueLength() == 0 && testing::LiveBlocks() == live; }));
    EXPECT_EQ(seen_.dataCalls, 0);
}

// ---- Delivery ------------------------------------------------------------------------------

TEST_F(NotifyTest, OneCallbackFansOutToEverySubscription) {
    MakeReady();
    SubscribeWithHandle(fake::kTank, fake::kPV, 7, 70, 1);
    SubscribeWithHandle(fake::kTank, fake::kPV, 9, 90, 1);
    SubscribeWithHandle(fake::kPump, fake::kPV, 4, 40, 2);
    fake::StartNotifyThread(client_);
    PostData({kKeyTankPV, kKeyPumpPV, 0x00FFFFFFu}, {Long(11), Long(22), Long(33)});
    ASSERT_TRUE(WaitFor([&] { return seen_.returned.load() && LastValue(4) == 22; }));
    std::lock_guard<std::mutex> lock(seen_.mutex);
    EXPECT_EQ(seen_.dataCalls, 1);
    EXPECT_EQ(seen_.handles, (std::vector<int32_t>{7, 9, 4}));
    EXPECT_EQ(seen_.users, (std::vector<int32_t>{70, 90, 40}));
    ASSERT_EQ(seen_.values.size(), 3u);
    EXPECT_EQ(VarLong(seen_.values[0]), 11);
    EXPECT_EQ(VarLong(seen_.values[1]), 11);
    EXPECT_EQ(VarLong(seen_.values[2]), 22);
    // Inside the callback the old value, after it the new one.
    EXPECT_EQ(seen_.valueDuring, std::vector<int32_t>{1});
    EXPECT_EQ(LastValue(7), 11);
    EXPECT_EQ(LastValue(9), 11);
    ASSERT_EQ(seen_.threads.size(), 1u);
    EXPECT_EQ(seen_.threads[0], NotifyThreadId());
}

TEST_F(NotifyTest, WithoutADataCallbackLastValuesStillChange) {
    client_->SetDataCallback(nullptr);
    MakeReady();
    SubscribeWithHandle(fake::kTank, fake::kPV, 1, 0, 1);
    fake::StartNotifyThread(client_);
    PostData({kKeyTankPV}, {Long(5)});
    EXPECT_TRUE(WaitFor([&] { return LastValue(1) == 5; }));
}

TEST_F(NotifyTest, LongestTextArrivesWhole) {
    SubscribeWithHandle(fake::kTank, fake::kDESC, 1, 0, 0);
    const std::string text(63, 'z');
    VarValue v = VarNone();
    ASSERT_TRUE(VarSetText(&v, text.c_str(), text.size()));
    const int64_t live = testing::LiveBlocks();
    fake::StartNotifyThread(client_);
    PostData({fake::kTank | (fake::kDESC << 24)}, {v});
    ASSERT_TRUE(WaitFor([&] { return seen_.returned.load() && QueueLength() == 0; }));
    {
        std::lock_guard<std::mutex> lock(seen_.mutex);
        ASSERT_EQ(seen_.texts.size(), 1u);
        EXPECT_EQ(seen_.texts[0], text);
    }
    // The callback's copy is gone; the item's last value holds one block.
    EXPECT_TRUE(WaitFor([&] { return testing::LiveBlocks() == live + 1; }));
    VarEmpty(&v);
}

// ---- Stopping from inside a callback ----------------------------------------------------------

TEST_F(NotifyTest, DisconnectInsideAStateCallback) {
    seen_.disconnect = true;
    ASSERT_TRUE(DeliverHeld([&] { Post(CONN_PENDING); }));
    // The stop does not wait for its own thread, which ends after the callback.
    plat::Thread* thread = nullptr;
    {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        thread = ClientProbe::NotifyThread(client_);
    }
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(plat::ThreadWait(thread, 5000));
    // The client is disconnected: the state is the one the stop stored.
    EXPECT_EQ(client_->GetState(), CONN_CLOSED);
    Post(CONN_READY);  // nobody delivers it any more; freed by the teardown
}

TEST_F(NotifyTest, DisconnectWhileAStateCallbackRuns) {
    seen_.hold = true;
    fake::StartNotifyThread(client_);
    Post(CONN_PENDING);
    ASSERT_TRUE(WaitFor([&] { return seen_.entered.load(); }));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        client_->Disconnect();
        stopped = true;
    });
    // The stop has stored CONN_CLOSED and waits for the callback to return.
    ASSERT_TRUE(WaitFor([&] {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        return !ClientProbe::NotifyRunning(client_);
    }));
    seen_.hold = false;
    ASSERT_TRUE(WaitFor([&] { return stopped.load(); }, 10000));
    stopper.join();
    EXPECT_EQ(client_->GetState(), CONN_CLOSED);
}

TEST_F(NotifyTest, DisconnectInsideADataCallbackKeepsTheValuesEmpty) {
    SubscribeWithHandle(fake::kTank, fake::kPV, 1, 0, 1);
    seen_.disconnect = true;
    ASSERT_TRUE(DeliverHeld([&] { PostData({kKeyTankPV}, {Long(3)}); }));
    plat::Thread* thread = nullptr;
    {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        thread = ClientProbe::NotifyThread(client_);
    }
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(plat::ThreadWait(thread, 5000));
    // Disconnect emptied the last values; the delivery after the callback
    // does not bring them back.
    plat::CLockHold hold(ClientProbe::StateLock(client_));
    const AdviseItem* item = ClientProbe::Advise(client_).FindByKey(kKeyTankPV);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->Value.tag, VAL_NONE);
}

TEST_F(NotifyTest, DestroyInsideAStateCallback) {
    seen_.destroy = true;
    ASSERT_TRUE(DeliverHeld([&] { Post(CONN_PENDING); }));
    client_ = nullptr;  // the notification thread frees it
    // Every block of the client goes once its last callback has returned.
    EXPECT_TRUE(WaitFor([&] { return testing::LiveBlocks() == live_; }));
}

TEST_F(NotifyTest, DestroyInsideADataCallback) {
    SubscribeWithHandle(fake::kTank, fake::kPV, 1, 0, 1);
    seen_.destroy = true;
    ASSERT_TRUE(DeliverHeld([&] { PostData({kKeyTankPV}, {Long(3)}); }));
    client_ = nullptr;
    EXPECT_TRUE(WaitFor([&] { return testing::LiveBlocks() == live_; }));
}

}  // namespace
}  // namespace tarvik
