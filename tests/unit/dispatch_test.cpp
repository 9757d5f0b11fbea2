// Reply dispatch: login verdicts, session statuses, the mailbox handoff,
// malformed messages, resubscription replies and value pushes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "client/var_value.h"
#include "client_probe.h"
#include "session/message.h"
#include "unit/fake_link.h"

namespace tarvik {
namespace {

using fake::Bytes;
using fake::Dbl;
using fake::Long;
using fake::Message;
using fake::TakeEvents;

class DispatchTest : public fake::LinkedClientTest {
  protected:
    void Dispatch(const std::vector<uint8_t>& m) {
        ClientProbe::Dispatch(client_, m.data(), m.size());
    }
    uint8_t Flags() {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        return ClientProbe::Flags(client_);
    }
    void SetState(int32_t state) { ClientProbe::SetState(client_, state); }
    // Subscribes items without the server, each with its last value.
    void AddItem(uint32_t point, uint32_t field, const VarValue& value) {
        int32_t handle = 0;
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        const int32_t fresh = ClientProbe::Advise(client_).CountNewKeys(1, &point, &field);
        ASSERT_TRUE(ClientProbe::Advise(client_).AddAdvise(
            fresh, 1, &point, &field, nullptr, &value, &handle,
            ClientProbe::Directory(client_).PointCount(), &ClientProbe::HandleCounter(client_)));
    }
    // The data events queued (taken out of the queue): keys and values.
    struct Data {
        std::vector<uint32_t> keys;
        std::vector<VarValue> values;  // texts not kept
        int32_t capacity;
    };
    std::vector<Data> TakeData() {
        std::vector<Data> out;
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        CNotifyQueue keep;
        while (NotifyEvent* e = ClientProbe::NotifyQueue(client_).Pop()) {
            if (e->type != NOTIFY_DATA) {
                keep.Push(e);
                continue;
            }
            Data d;
            d.capacity = e->valuesCapacity;
            for (int32_t i = 0; i < e->count; ++i) {
                d.keys.push_back(e->keys[i]);
                VarValue v = e->values[i];
                if (v.tag == VAL_STRING) {
                    v.u.strVal = nullptr;
                }
                d.values.push_back(v);
            }
            NotifyEventFree(e);
            out.push_back(d);
        }
        while (NotifyEvent* e = keep.Pop()) {
            ClientProbe::NotifyQueue(client_).Push(e);
        }
        return out;
    }
};

constexpr uint32_t kKeyTankPV = fake::kTank | (fake::kPV << 24);
constexpr uint32_t kKeyTankCNT = fake::kTank | (fake::kCNT << 24);
constexpr uint32_t kKeyPumpPV = fake::kPump | (fake::kPV << 24);

// ---- Login -------------------------------------------------------------------------------

TEST_F(DispatchTest, AcceptedLoginStartsAFreshSession) {
    // A refused login left its verdict behind.
    ClientProbe::Flags(client_) |= SF_INIT_DONE;
    Dispatch(Message(CMD_LOGIN, 9, 1, 0, 0, fake::PlantBody()));
    EXPECT_EQ(ClientProbe::ClientId(client_), 9);
    EXPECT_TRUE(client_->GetServerFlag());
    EXPECT_TRUE(ClientProbe::HeartbeatAnswered(client_));
    EXPECT_EQ(ClientProbe::Directory(client_).PointCount(), 3);
    EXPECT_EQ(Flags(), SF_LOGGED_IN);  // INIT_DONE cleared: registration follows
    EXPECT_TRUE(TakeEvents(client_).empty());

    // param 0: the server flag is cleared by the next login.
    Dispatch(Message(CMD_LOGIN, 9, 0, 0, 0, fake::PlantBody()));
    EXPECT_FALSE(client_->GetServerFlag());
}

TEST_F(DispatchTest, RefusedAndFailedLogins) {
    ClientProbe::Flags(client_) |= SF_INIT_OK;
    Dispatch(Message(CMD_LOGIN, -3, 1, 0, 0));
    EXPECT_EQ(Flags(), SF_INIT_DONE);
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_REFUSED});
    EXPECT_EQ(ClientProbe::ClientId(client_), 0);

    for (int16_t status : {0, -1, -2001}) {
        ClientProbe::Flags(client_) = 0;
        Dispatch(Message(CMD_LOGIN, status, 1, 0, 0));
        EXPECT_EQ(Flags(), SF_INIT_DONE) << status;
        EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_REJECTED}) << status;
    }
}

// ---- Statuses and the handoff ----------------------------------------------------------------

TEST_F(DispatchTest, VoidSessionClearsEveryFlag) {
    MakeReady();
    ClientProbe::Sequence(client_) = 41;
    ClientProbe::AwaitingReply(client_) = true;
    Dispatch(Message(CMD_HEARTBEAT, 0, 1, 0, 40));  // an older sequence
    EXPECT_EQ(Flags(), 0);
    EXPECT_TRUE(ClientProbe::IsAwaitingReply(client_));
    Dispatch(Message(CMD_HEARTBEAT, 0, 1, 0, 41));
    EXPECT_FALSE(ClientProbe::IsAwaitingReply(client_));
    EXPECT_TRUE(TakeEvents(client_).empty());
}

TEST_F(DispatchTest, RefusalStillReachesTheWaitingRequest) {
    MakeReady();
    ClientProbe::RequestId(client_) = 5;
    const std::vector<uint8_t> m = Message(CMD_READ_VALUES, -2001, 1, 5, 0);
    Dispatch(m);
    EXPECT_FALSE((ClientProbe::Flags(client_) & SF_INIT_OK) != 0);
    EXPECT_TRUE(client_->TestFlags(FLAGS_IS_LOGGED_IN));
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_REFUSED});
    ASSERT_EQ(ClientProbe::ReplyMailbox(client_).GetLength(), static_cast<int32_t>(m.size()));
    EXPECT_TRUE(ClientProbe::ReplyEvent(client_)->Wait(0));
    std::vector<uint8_t> got(m.size());
    ClientProbe::ReplyMailbox(client_).Read(got.data(), static_cast<int32_t>(got.size()));
    EXPECT_EQ(got, m);
}

TEST_F(DispatchTest, AnyCommandWithTheRequestIdReachesTheMailbox) {
    LogIn();
    ClientProbe::RequestId(client_) = 12;
    ClientProbe::Timeouts(client_) = 2;
    const std::vector<uint8_t> m = Message(9, 7, 1, 12, 0, {1, 2, 3});
    Dispatch(m);
    EXPECT_EQ(ClientProbe::ReplyMailbox(client_).GetLength(), static_cast<int32_t>(m.size()));
    EXPECT_TRUE(ClientProbe::ReplyEvent(client_)->Wait(0));
    EXPECT_EQ(ClientProbe::Timeouts(client_), 0);
    // Another request id: not handed over, and the mailbox keeps its content.
    Dispatch(Message(9, 7, 1, 11, 0));
    EXPECT_EQ(ClientProbe::ReplyMailbox(client_).GetLength(), static_cast<int32_t>(m.size()));
    EXPECT_FALSE(ClientProbe::ReplyEvent(client_)->Wait(0));
}

TEST_F(DispatchTest, MalformedMessagesChangeNothing) {
    MakeReady();
    ClientProbe::RequestId(client_) = 3;
    ClientProbe::Sequence(client_) = 4;
    ClientProbe::Timeouts(client_) = 2;
    ClientProbe::AwaitingReply(client_) = true;
    // A message that would void the session, wake a request and clear the
    // awaiting flag, if it were accepted.
    const std::vector<uint8_t> good = Message(CMD_HEARTBEAT, 0, 1, 3, 4);

    std::vector<uint8_t> tooLong = good;
    tooLong.push_back(0);
    std::vector<uint8_t> badMagic = good;
    StoreI16(badMagic.data() + hdr::kMagic, 1048);
    std::vector<uint8_t> headerOnly63(good.begin(), good.begin() + 63);
    std::vector<uint8_t> shortPayload = Message(CMD_HEARTBEAT, 0, 1, 3, 4, {1, 2});
    shortPayload.pop_back();  // 65 bytes that claim 2 bytes of payload
    std::vector<uint8_t> negative = good;
    StoreI32(negative.data() + hdr::kPayloadLength, -1);

    for (const std::vector<uint8_t>* m :
         {&tooLong, &badMagic, &headerOnly63, &shortPayload, &negative}) {
        Dispatch(*m);
        EXPECT_EQ(Flags(), SF_READY);
        EXPECT_TRUE(ClientProbe::IsAwaitingReply(client_));
        EXPECT_EQ(ClientProbe::Timeouts(client_), 2);
        EXPECT_EQ(ClientProbe::ReplyMailbox(client_).GetLength(), 0);
        EXPECT_FALSE(ClientProbe::ReplyEvent(client_)->Wait(0));
        EXPECT_TRUE(TakeEvents(client_).empty());
    }
    ClientProbe::Dispatch(client_, nullptr, 64);
    EXPECT_EQ(Flags(), SF_READY);

    Dispatch(good);  // the same bytes, well formed, do all of it
    EXPECT_EQ(Flags(), 0);
    EXPECT_FALSE(ClientProbe::IsAwaitingReply(client_));
    EXPECT_EQ(ClientProbe::Timeouts(client_), 0);
}

TEST_F(DispatchTest, HeartbeatRepliesConfirmTheSession) {
    MakeReady();
    ClientProbe::HeartbeatAnswered(client_) = false;
    Dispatch(Message(CMD_HEARTBEAT, 7, 1, 0, 0));
    EXPECT_TRUE(ClientProbe::HeartbeatAnswered(client_));
    EXPECT_TRUE(client_->GetServerFlag());
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_READY});  // stored state was CLOSED
    SetState(CONN_READY);
    Dispatch(Message(CMD_HEARTBEAT, 7, 0, 0, 0));
    EXPECT_FALSE(client_->GetServerFlag());
    EXPECT_TRUE(TakeEvents(client_).empty());

    // A logout reply clears INIT_OK whatever its status.
    Dispatch(Message(CMD_LOGOUT, 7, 1, 0, 0));
    EXPECT_EQ(Flags(), SF_LOGGED_IN | SF_INIT_DONE);
}

// ---- Resubscription replies -----------------------------------------------------------------

TEST_F(DispatchTest, ResubscribeWithUnchangedValuesQueuesNoData) {
    MakeReady();
    AddItem(fake::kTank, fake::kPV, Dbl(1.0));
    AddItem(fake::kTank, fake::kCNT, Long(5));
    ClientProbe::Flags(client_) &= static_cast<uint8_t>(~SF_INIT_DONE);
    ClientProbe::Flags(client_) &= static_cast<uint8_t>(~SF_INIT_OK);
    ClientProbe::HeartbeatAnswered(client_) = false;

    Dispatch(Message(CMD_RESUBSCRIBE, 7, 1, 0, 0, Bytes().U32(2).Double(1.0).Long(5).b));
    EXPECT_EQ(Flags(), SF_READY);
    EXPECT_TRUE(ClientProbe::HeartbeatAnswered(client_));
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_READY});
}

TEST_F(DispatchTest, ResubscribeReportsChangedValuesOnly) {
    MakeReady();
    AddItem(fake::kTank, fake::kPV, Dbl(1.0));
    AddItem(fake::kTank, fake::kCNT, Long(5));
    AddItem(fake::kPump, fake::kPV, Long(1));

    // Within the tolerance, the same long, a different long.
    Dispatch(
        Message(CMD_RESUBSCRIBE, 7, 1, 0, 0, Bytes().U32(3).Double(1.00005).Long(5).Long(2).b));
    std::vector<Data> data = TakeData();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].keys, std::vector<uint32_t>{kKeyPumpPV});
    EXPECT_EQ(VarLong(data[0].values[0]), 2);
    EXPECT_EQ(data[0].capacity, 3);
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_READY});

    // Beyond the tolerance; a changed type; a lone type byte always counts.
    Dispatch(
        Message(CMD_RESUBSCRIBE, 7, 1, 0, 0, Bytes().U32(3).Double(1.0002).Double(5).None().b));
    data = TakeData();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].keys, (std::vector<uint32_t>{kKeyTankPV, kKeyTankCNT, kKeyPumpPV}));
    EXPECT_DOUBLE_EQ(VarDouble(data[0].values[0]), 1.0002);
    EXPECT_EQ(data[0].values[2].tag, VAL_NONE);
    TakeEvents(client_);

    // After a disconnect every last value is empty: all are reported.
    {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::Advise(client_).ClearValues();
    }
    Dispatch(Message(CMD_RESUBSCRIBE, 7, 1, 0, 0, Bytes().U32(3).Double(1.0).Long(5).Long(1).b));
    data = TakeData();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].keys.size(), 3u);
}

TEST_F(DispatchTest, UnusableResubscribeRepliesRejectTheSession) {
    MakeReady();
    AddItem(fake::kTank, fake::kPV, Dbl(1.0));
    AddItem(fake::kTank, fake::kCNT, Long(5));
    const std::vector<std::vector<uint8_t>> bad = {
        Bytes().U32(1).Double(1.0).b,                           // count differs
        Bytes().U16(2).b,                                       // shorter than a count
        Bytes().U32(2).Double(1.0).U8(VAL_LONG).U8(4).U8(1).b,  // runs past the end
    };
    for (const std::vector<uint8_t>& payload : bad) {
        ClientProbe::Flags(client_) &= static_cast<uint8_t>(~SF_INIT_DONE);
        ClientProbe::Flags(client_) |= SF_INIT_OK;
        Dispatch(Message(CMD_RESUBSCRIBE, 7, 1, 0, 0, payload));
        EXPECT_EQ(Flags(), SF_LOGGED_IN | SF_INIT_DONE);
        EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_REJECTED});
    }
    // No items at all: unusable too.
    {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::Advise(client_).RemoveAll();
    }
    Dispatch(Message(CMD_RESUBSCRIBE, 7, 1, 0, 0, Bytes().U32(0).b));
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_REJECTED});
}

// ---- Value pushes ------------------------------------------------------------------------------

TEST_F(DispatchTest, HeartbeatDataWithoutRecords) {
    MakeReady();
    SetState(CONN_READY);
    ClientProbe::HeartbeatAnswered(client_) = false;
    Dispatch(Message(CMD_HEARTBEAT_DATA, 7, 1, 0, 0, Bytes().U32(0).b));
    EXPECT_TRUE(ClientProbe::HeartbeatAnswered(client_));
    EXPECT_TRUE(TakeEvents(client_).empty());
    Dispatch(Message(CMD_HEARTBEAT_DATA, 7, 1, 0, 0, Bytes().U16(0).b));  // short
    EXPECT_TRUE(TakeEvents(client_).empty());
}

TEST_F(DispatchTest, HeartbeatDataKeepsTheRecordsThatFit) {
    MakeReady();
    SetState(CONN_READY);
    const std::vector<uint8_t> payload = Bytes()
                                             .U32(3)
                                             .U32(kKeyTankPV)
                                             .Double(2.5)
                                             .U32(kKeyTankCNT)
                                             .Text("abc")
                                             .U32(kKeyPumpPV)
                                             .U8(VAL_LONG)
                                             .U8(4)
                                             .U8(1)
                                             .b;  // the third runs past the end
    Dispatch(Message(CMD_HEARTBEAT_DATA, 7, 1, 0, 0, payload));
    std::vector<Data> data = TakeData();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].keys, (std::vector<uint32_t>{kKeyTankPV, kKeyTankCNT}));
    EXPECT_DOUBLE_EQ(VarDouble(data[0].values[0]), 2.5);
    EXPECT_EQ(data[0].values[1].tag, VAL_STRING);
}

TEST_F(DispatchTest, HostileRecordCountAllocatesOnlyWhatThePayloadHolds) {
    MakeReady();
    SetState(CONN_READY);
    const int64_t live = testing::LiveBlocks();
    Dispatch(Message(CMD_HEARTBEAT_DATA, 7, 1, 0, 0,
                     Bytes().U32(0xFFFFFFFFu).U32(kKeyTankPV).Long(4).b));
    std::vector<Data> data = TakeData();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].keys, std::vector<uint32_t>{kKeyTankPV});
    EXPECT_LE(data[0].capacity, 2);  // 10 payload bytes after the count
    EXPECT_EQ(testing::LiveBlocks(), live);

    // Nothing but the count: nothing queued.
    Dispatch(Message(CMD_HEARTBEAT_DATA, 7, 1, 0, 0, Bytes().U32(0xFFFFFFFFu).b));
    EXPECT_TRUE(TakeData().empty());
    EXPECT_EQ(testing::LiveBlocks(), live);
}

}  // namespace
}  // namespace tarvik
