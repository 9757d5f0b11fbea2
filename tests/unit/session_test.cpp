// The send path, the session's timers and counters, registration and logout,
// against the fake network component.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "client/var_value.h"
#include "client_probe.h"
#include "session/message.h"
#include "unit/fake_link.h"

namespace tarvik {
namespace {

using fake::FakeNetLink;
using fake::Message;
using fake::ReplyTo;
using fake::SentMessage;
using fake::TakeEvents;
using fake::TestTick;

std::vector<uint8_t> Built(int16_t command, int32_t payloadBytes = 0) {
    std::vector<uint8_t> payload(static_cast<size_t>(payloadBytes), 0x5A);
    return Message(command, 7, 0, 0, 1, payload);
}

const std::vector<uint8_t> kProbeAnswer = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                                           0x88, 0x14, 0x00, 0x00, 0x00, 0x02, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

class SendPathTest : public fake::LinkedClientTest {};

// ---- Send path -----------------------------------------------------------------------

TEST_F(SendPathTest, PartialWritesCompleteAfterTwoPauses) {
    std::vector<uint8_t> m = Built(CMD_HEARTBEAT, 6);  // 70 bytes, 86 framed
    link_.Script({10, 0, FakeNetLink::kAll});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ClientProbe::SendFrame(client_, m.data(), m.size()));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(link_.SendCalls(), 3);
    EXPECT_GE(elapsed, std::chrono::milliseconds(195));  // two pauses of 100 ms

    // The marker, then the message, once and in order.
    std::vector<uint8_t> expected = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                                     86,   0,    0,    0,    0,    0,    0,    0};
    expected.insert(expected.end(), m.begin(), m.end());
    EXPECT_EQ(link_.Taken(), expected);
    EXPECT_EQ(link_.CloseCalls(), 0);
    EXPECT_TRUE(TakeEvents(client_).empty());
}

TEST_F(SendPathTest, ThreeEmptyWritesBreakTheLinkOnce) {
    std::vector<uint8_t> m = Built(CMD_HEARTBEAT);
    link_.Script({0, 0, 0});
    EXPECT_FALSE(ClientProbe::SendFrame(client_, m.data(), m.size()));
    EXPECT_EQ(link_.SendCalls(), 3);
    EXPECT_EQ(link_.CloseCalls(), 1);
    EXPECT_FALSE(client_->IsLinkUp());
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_BROKEN});
}

TEST_F(SendPathTest, WriteErrorFailsAtOnce) {
    std::vector<uint8_t> m = Built(CMD_HEARTBEAT);
    link_.Script({-5});
    EXPECT_FALSE(ClientProbe::SendFrame(client_, m.data(), m.size()));
    EXPECT_EQ(link_.SendCalls(), 1);
    EXPECT_EQ(link_.CloseCalls(), 1);
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_BROKEN});
}

TEST_F(SendPathTest, LinkDownSendsAndPostsNothing) {
    std::vector<uint8_t> m = Built(CMD_HEARTBEAT);
    link_.SetConnected(false);
    EXPECT_FALSE(ClientProbe::SendFrame(client_, m.data(), m.size()));
    EXPECT_EQ(link_.SendCalls(), 0);
    EXPECT_EQ(link_.CloseCalls(), 0);
    EXPECT_TRUE(TakeEvents(client_).empty());

    // No transport at all: the same.
    fake::InstallLink(client_, nullptr);
    EXPECT_FALSE(ClientProbe::SendFrame(client_, m.data(), m.size()));
    EXPECT_TRUE(TakeEvents(client_).empty());
}

TEST_F(SendPathTest, ProbeIsAnsweredAndOtherKindsAreNot) {
    // A record of kind 1 is consumed without an answer.
    std::vector<uint8_t> other = kProbeAnswer;
    other[12] = 1;
    EXPECT_TRUE(
        ClientProbe::AssembleMessages(client_, other.data(), static_cast<int32_t>(other.size())));
    EXPECT_EQ(link_.SendCalls(), 0);

    // A probe is answered with a probe: marker of kind 2 and four zeros.
    EXPECT_TRUE(ClientProbe::AssembleMessages(client_, kProbeAnswer.data(),
                                              static_cast<int32_t>(kProbeAnswer.size())));
    EXPECT_EQ(link_.Taken(), kProbeAnswer);
    EXPECT_TRUE(TakeEvents(client_).empty());

    // An answer that cannot be written takes the link down.
    link_.ClearSent();
    link_.Script({-1});
    EXPECT_TRUE(ClientProbe::AssembleMessages(client_, kProbeAnswer.data(),
                                              static_cast<int32_t>(kProbeAnswer.size())));
    EXPECT_EQ(link_.CloseCalls(), 1);
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_BROKEN});
}

// ---- Timers ------------------------------------------------------------------------------

class TimerTest : public fake::LinkedClientTest {
  protected:
    void SetHeartbeatBase(uint32_t base) {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::HeartbeatTime(client_) = base;
    }
    void SetSendBase(uint32_t base) {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::LastSendTime(client_) = base;
    }
    void Tick(uint32_t now) { TestTick().store(now); }
    // A ready session in `state` whose heartbeat clock stands at 1000.
    void ReadyAt1000(int32_t state) {
        MakeReady();
        OwnTheClock(1000);
        SetHeartbeatBase(1000);
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::State(client_) = state;
    }
    void SetHeartbeatUnanswered() {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::HeartbeatAnswered(client_) = false;
    }
    // Adds a subscription to (point, PV) without the server.
    void Subscribe(uint32_t point = fake::kTank) {
        const uint32_t p = point;
        const uint32_t f = fake::kPV;
        int32_t handle = 0;
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ASSERT_TRUE(ClientProbe::Advise(client_).AddAdvise(
            1, 1, &p, &f, nullptr, nullptr, &handle, ClientProbe::Directory(client_).PointCount(),
            &ClientProbe::HandleCounter(client_)));
    }
};

TEST_F(TimerTest, HeartbeatGoesOutOnceTheIntervalHasPassed) {
    ReadyAt1000(CONN_READY);
    Tick(1500);  // exactly the interval: not yet
    ClientProbe::CheckTimers(client_);
    EXPECT_TRUE(SentMessages().empty());

    Tick(1501);
    ClientProbe::CheckTimers(client_);
    std::vector<SentMessage> sent = SentMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header.command, CMD_HEARTBEAT);  // no subscriptions
    EXPECT_EQ(sent[0].header.clientId, 7);
    EXPECT_EQ(sent[0].header.requestId, 0);
    EXPECT_EQ(sent[0].header.param, 0);
    EXPECT_EQ(sent[0].header.sequence, ClientProbe::Sequence(client_));
    EXPECT_TRUE(sent[0].payload.empty());
    EXPECT_TRUE(ClientProbe::IsAwaitingReply(client_));
    EXPECT_FALSE(ClientProbe::HeartbeatAnswered(client_));
    EXPECT_EQ(ClientProbe::HeartbeatTime(client_), 1501u);
    EXPECT_EQ(ClientProbe::LastSendTime(client_), 1501u);

    // While its reply is outstanding no other heartbeat goes out.
    Tick(2100);
    ClientProbe::CheckTimers(client_);
    EXPECT_EQ(SentMessages().size(), 1u);

    // The answer comes; with a subscription the next one asks for data.
    const std::vector<uint8_t> reply = ReplyTo(sent[0], 7, 1);
    ClientProbe::Dispatch(client_, reply.data(), reply.size());
    EXPECT_FALSE(ClientProbe::IsAwaitingReply(client_));
    EXPECT_TRUE(client_->GetServerFlag());
    Subscribe();
    Tick(2002);
    ClientProbe::CheckTimers(client_);
    sent = SentMessages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].header.command, CMD_HEARTBEAT_DATA);
    EXPECT_TRUE(TakeEvents(client_).empty());  // the state was READY already
}

TEST_F(TimerTest, UnansweredHeartbeatSetsTheSessionUpAgain) {
    ReadyAt1000(CONN_READY);
    SetHeartbeatUnanswered();
    Tick(1600);
    ClientProbe::CheckTimers(client_);
    EXPECT_TRUE(SentMessages().empty());
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_PENDING});
    EXPECT_TRUE(client_->TestFlags(FLAGS_IS_LOGGED_IN));
    EXPECT_FALSE((ClientProbe::Flags(client_) & SF_INIT_DONE) != 0);
    EXPECT_FALSE((ClientProbe::Flags(client_) & SF_INIT_OK) != 0);
    EXPECT_EQ(ClientProbe::HeartbeatTime(client_), 1600u);
}

TEST_F(TimerTest, RefusedStateSendsTheHeartbeatAnyway) {
    ReadyAt1000(CONN_REFUSED);
    SetHeartbeatUnanswered();
    Tick(1600);
    ClientProbe::CheckTimers(client_);
    ASSERT_EQ(SentMessages().size(), 1u);
    EXPECT_EQ(SentMessages()[0].header.command, CMD_HEARTBEAT);
    EXPECT_TRUE(TakeEvents(client_).empty());
    EXPECT_TRUE(client_->TestFlags(FLAGS_IS_READY));
}

TEST_F(TimerTest, ThirdReplyTimeoutInARowTakesTheLinkDown) {
    LogIn();  // logged in, not ready: no heartbeats in the way
    TakeEvents(client_);
    OwnTheClock(5000);
    uint32_t now = 5000;
    for (int round = 1; round <= 3; ++round) {
        SetSendBase(now);
        ClientProbe::AwaitingReply(client_) = true;
        const uint8_t junk[3] = {1, 2, 3};
        ClientProbe::ReplyMailbox(client_).Append(junk, 3);
        Tick(now + 10000);  // exactly the timeout: not yet
        ClientProbe::CheckTimers(client_);
        EXPECT_TRUE(ClientProbe::IsAwaitingReply(client_));
        EXPECT_EQ(ClientProbe::ReplyMailbox(client_).GetLength(), 3);

        now += 10001;
        Tick(now);
        ClientProbe::CheckTimers(client_);
        EXPECT_FALSE(ClientProbe::IsAwaitingReply(client_));
        EXPECT_EQ(ClientProbe::ReplyMailbox(client_).GetLength(), 0);
        EXPECT_TRUE(ClientProbe::ReplyEvent(client_)->Wait(0)) << "a waiting request is woken";
        EXPECT_EQ(ClientProbe::Timeouts(client_), round);
        if (round < 3) {
            EXPECT_TRUE(TakeEvents(client_).empty());
            EXPECT_EQ(link_.CloseCalls(), 0);
        }
    }
    EXPECT_EQ(link_.CloseCalls(), 1);
    EXPECT_FALSE(client_->IsLinkUp());
    EXPECT_EQ(TakeEvents(client_), std::vector<int32_t>{CONN_BROKEN});
}

TEST_F(TimerTest, AcceptedMessageResetsTheTimeoutCount) {
    LogIn();
    OwnTheClock(100);
    SetSendBase(100);
    ClientProbe::AwaitingReply(client_) = true;
    ClientProbe::Timeouts(client_) = 2;
    const std::vector<uint8_t> m = Message(CMD_HEARTBEAT, 7, 0, 0, 999);
    ClientProbe::Dispatch(client_, m.data(), m.size());
    EXPECT_EQ(ClientProbe::Timeouts(client_), 0);
    Tick(100 + 10001);
    ClientProbe::CheckTimers(client_);
    EXPECT_EQ(ClientProbe::Timeouts(client_), 1);
    EXPECT_EQ(link_.CloseCalls(), 0);
}

TEST_F(TimerTest, LinkDownEndsTheReplyWaitAtOnce) {
    LogIn();
    OwnTheClock(100);
    SetSendBase(100);
    ClientProbe::AwaitingReply(client_) = true;
    link_.SetConnected(false);
    ClientProbe::CheckTimers(client_);
    EXPECT_FALSE(ClientProbe::IsAwaitingReply(client_));
    EXPECT_TRUE(ClientProbe::ReplyEvent(client_)->Wait(0));
    EXPECT_EQ(ClientProbe::Timeouts(client_), 0);
}

TEST_F(TimerTest, TickWrapNeverFiresEarly) {
    MakeReady();
    {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::State(client_) = CONN_READY;
    }
    // A heartbeat base whose base + interval passes the top of the range.
    OwnTheClock(0xFFFFFF00u);
    SetHeartbeatBase(0xFFFFFF00u);
    Tick(0xFFFFFF10u);
    ClientProbe::CheckTimers(client_);
    EXPECT_TRUE(SentMessages().empty());
    // The tick wraps: the base starts again from the new tick.
    Tick(0x10u);
    ClientProbe::CheckTimers(client_);
    EXPECT_TRUE(SentMessages().empty());
    EXPECT_EQ(ClientProbe::HeartbeatTime(client_), 0x10u);
    Tick(0x10u + 500);
    ClientProbe::CheckTimers(client_);
    EXPECT_TRUE(SentMessages().empty());
    Tick(0x10u + 501);
    ClientProbe::CheckTimers(client_);
    ASSERT_EQ(SentMessages().size(), 1u);

    // The same for the reply timeout.
    SetSendBase(0xFFFFF000u);
    Tick(0xFFFFFFF0u);
    ClientProbe::CheckTimers(client_);
    EXPECT_TRUE(ClientProbe::IsAwaitingReply(client_));
    Tick(0x20u);
    ClientProbe::CheckTimers(client_);
    EXPECT_TRUE(ClientProbe::IsAwaitingReply(client_));
    EXPECT_EQ(ClientProbe::LastSendTime(client_), 0x20u);
    Tick(0x20u + 10001);
    ClientProbe::CheckTimers(client_);
    EXPECT_FALSE(ClientProbe::IsAwaitingReply(client_));
}

// ---- Registration ----------------------------------------------------------------------------

TEST_F(TimerTest, RegistrationSendsTheWholeTable) {
    LogIn();
    EXPECT_EQ(ClientProbe::RegisterSubscriptions(client_), Registration::NothingToRegister);
    EXPECT_TRUE(SentMessages().empty());

    Subscribe();
    Subscribe(fake::kPump);
    EXPECT_EQ(ClientProbe::RegisterSubscriptions(client_), Registration::Sent);
    std::vector<SentMessage> sent = SentMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header.command, CMD_RESUBSCRIBE);
    EXPECT_EQ(sent[0].header.param, 1);
    EXPECT_EQ(sent[0].header.clientId, 7);
    EXPECT_EQ(sent[0].header.requestId, 0);
    const std::vector<uint8_t> payload = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(sent[0].payload, payload);
    EXPECT_TRUE(ClientProbe::IsAwaitingReply(client_));

    // An item the directory no longer holds: nothing is sent.
    link_.ClearSent();
    ClientProbe::AwaitingReply(client_) = false;
    {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::Advise(client_).ItemAt(1)->Key = 77;  // point 77 is beyond the directory
    }
    EXPECT_EQ(ClientProbe::RegisterSubscriptions(client_), Registration::Unexpressible);
    EXPECT_TRUE(SentMessages().empty());
    {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        ClientProbe::Advise(client_).ItemAt(1)->Key = fake::kPump;
    }
}

// ---- Logout ------------------------------------------------------------------------------------

class LogoutTest : public fake::LinkedClientTest {
  protected:
    // Whether another thread can take the request lock now.
    bool RequestLockIsFree() {
        std::atomic<bool> took{false};
        std::thread other([&] {
            plat::CLockHold hold(ClientProbe::RequestLock(client_));
            took = true;
        });
        const bool ok = fake::WaitFor([&] { return took.load(); }, 3000);
        if (ok) {
            other.join();
        } else {
            other.detach();
        }
        return ok;
    }
};

TEST_F(LogoutTest, LinkDownOrNotLoggedInSendsNothing) {
    EXPECT_FALSE(ClientProbe::Logout(client_));  // link up, not logged in
    LogIn();
    link_.SetConnected(false);
    EXPECT_FALSE(ClientProbe::Logout(client_));
    EXPECT_EQ(link_.SendCalls(), 0);
    EXPECT_TRUE(RequestLockIsFree());
}

TEST_F(LogoutTest, AcceptedLogout) {
    LogIn();
    link_.ClearSent();
    AnswerWith([](const SentMessage& m) { return ReplyTo(m, 7, 1); });
    const int32_t requestBefore = ClientProbe::RequestId(client_);
    EXPECT_TRUE(ClientProbe::Logout(client_));
    std::vector<SentMessage> sent = SentMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header.command, CMD_LOGOUT);
    EXPECT_EQ(sent[0].header.clientId, 7);
    EXPECT_EQ(sent[0].header.param, 0);
    EXPECT_EQ(sent[0].header.requestId, requestBefore + 1);
    EXPECT_EQ(sent[0].header.sequence, ClientProbe::Sequence(client_));
    EXPECT_TRUE(sent[0].payload.empty());
    EXPECT_FALSE((ClientProbe::Flags(client_) & SF_INIT_OK) != 0);
    // The dispatching thread clears the flag just after it woke the logout.
    EXPECT_TRUE(fake::WaitFor([&] { return !ClientProbe::IsAwaitingReply(client_); }));
    EXPECT_TRUE(RequestLockIsFree());
}

TEST_F(LogoutTest, RefusedOrForeignRepliesFail) {
    LogIn();
    AnswerWith([](const SentMessage& m) { return ReplyTo(m, 7, 0); });  // param 0
    EXPECT_FALSE(ClientProbe::Logout(client_));
    EXPECT_TRUE(RequestLockIsFree());
    AnswerWith([](const SentMessage& m) { return ReplyTo(m, 8, 1); });  // another client id
    EXPECT_FALSE(ClientProbe::Logout(client_));
    EXPECT_TRUE(RequestLockIsFree());
    // No answer at all: the wait runs out (ten times the reply timeout).
    AnswerWith(nullptr);
    client_->SetRequestTimeout(5);
    EXPECT_FALSE(ClientProbe::Logout(client_));
    EXPECT_TRUE(RequestLockIsFree());
    // A failed send.
    link_.Script({-1});
    EXPECT_FALSE(ClientProbe::Logout(client_));
    EXPECT_FALSE(ClientProbe::IsAwaitingReply(client_));
    EXPECT_TRUE(RequestLockIsFree());
}

}  // namespace
}  // namespace tarvik
