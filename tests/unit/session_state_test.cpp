// The session's transitions on their own: each event in each state of the
// session, and what it leaves and posts.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "client_probe.h"

namespace tarvik {
namespace {

using P = ClientProbe;

struct Start {
    uint8_t flags;
    bool awaiting;
    bool answered;
    bool confirmed;
};
struct Row {
    const char* event;
    Start start;
    std::function<PostState(CSession&)> act;
    uint8_t flags;
    PostState posted;
    bool awaiting;
    bool answered;
};

constexpr uint8_t LI = SF_LOGGED_IN, DONE = SF_INIT_DONE, OK = SF_INIT_OK, READY = SF_READY;
constexpr Start kIdleReady{READY, false, true, true};
constexpr Start kLoggingIn{0, true, false, false};
constexpr Start kLoggedIn{LI, false, true, false};
constexpr Start kLoggedInConfirmed{LI, false, true, true};

PostState None(std::function<void()> f) {
    f();
    return std::nullopt;
}

TEST(SessionStateTest, EventsByState) {
    const auto stored = [] { return true; };
    const auto lost = [] { return false; };
    const std::vector<Row> rows = {
        {"login accepted", kLoggingIn,
         [&](CSession& s) { return s.LoginAnswered(9, true, stored); }, LI, std::nullopt, true,
         true},
        {"login accepted after a refusal clears the verdict",
         {LI | DONE, true, false, false},
         [&](CSession& s) { return s.LoginAnswered(9, false, stored); },
         LI,
         std::nullopt,
         true,
         true},
        {"login accepted, directory not stored", kLoggingIn,
         [&](CSession& s) { return s.LoginAnswered(9, false, lost); }, 0, std::nullopt, true, true},
        {"login refused", kLoggingIn, [&](CSession& s) { return s.LoginAnswered(-3, 0, stored); },
         DONE, CONN_REFUSED, true, false},
        {"login failed",
         {OK, true, false, false},
         [&](CSession& s) { return s.LoginAnswered(0, 0, stored); },
         DONE,
         CONN_REJECTED,
         true,
         false},
        {"nothing to register, link confirmed", kLoggedInConfirmed,
         [](CSession& s) { return s.Registered(Registration::NothingToRegister); }, READY,
         CONN_READY, false, true},
        {"nothing to register on a new link: the heartbeat asks",
         {LI, false, false, false},
         [](CSession& s) { return s.Registered(Registration::NothingToRegister); },
         READY,
         std::nullopt,
         false,
         true},
        {"items that cannot be expressed", kLoggedIn,
         [](CSession& s) { return s.Registered(Registration::Unexpressible); }, LI | DONE,
         CONN_REJECTED, false, true},
        {"registration sent", kLoggedIn,
         [](CSession& s) { return s.Registered(Registration::Sent); }, LI, std::nullopt, false,
         true},
        {"resubscribe reply usable",
         {LI, true, false, false},
         [](CSession& s) { return s.Resubscribed(true); },
         READY,
         CONN_READY,
         true,
         true},
        {"resubscribe reply unusable",
         {LI | OK, true, false, false},
         [](CSession& s) { return s.Resubscribed(false); },
         LI | DONE,
         CONN_REJECTED,
         true,
         false},
        {"heartbeat answered while pending",
         {READY, true, false, false},
         [](CSession& s) { return s.HeartbeatAnswered(false, CONN_PENDING); },
         READY,
         CONN_READY,
         true,
         true},
        {"heartbeat answered while ready",
         {READY, true, false, true},
         [](CSession& s) { return s.HeartbeatAnswered(false, CONN_READY); },
         READY,
         std::nullopt,
         true,
         true},
        {"voided", kIdleReady, [](CSession& s) { return None([&] { s.Voided(); }); }, 0,
         std::nullopt, false, true},
        {"refused", kIdleReady, [](CSession& s) { return s.Refused(); }, LI | DONE, CONN_REFUSED,
         false, true},
        {"logged out", kIdleReady, [](CSession& s) { return None([&] { s.LoggedOut(); }); },
         LI | DONE, std::nullopt, false, true},
        {"heartbeat unanswered", kIdleReady, [](CSession& s) { return s.HeartbeatUnanswered(5); },
         LI, CONN_PENDING, false, true},
        {"heartbeat send fails", kIdleReady,
         [](CSession& s) {
             s.HeartbeatSending();
             return None([&] { s.HeartbeatSent(false, 5); });
         },
         READY, std::nullopt, false, true},
        {"heartbeat sent", kIdleReady,
         [](CSession& s) {
             s.HeartbeatSending();
             return None([&] { s.HeartbeatSent(true, 5); });
         },
         READY, std::nullopt, true, false},
        {"new link",
         {READY, true, true, true},
         [](CSession& s) { return s.NewLink(5); },
         READY,
         CONN_PENDING,
         false,
         true},
        {"workers stop",
         {READY, true, true, true},
         [](CSession& s) { return None([&] { s.Stopped(); }); },
         LI | DONE,
         std::nullopt,
         false,
         true},
        {"prepared for a connect",
         {READY, true, true, true},
         [](CSession& s) { return None([&] { s.Prepare(); }); },
         0,
         std::nullopt,
         false,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.event);
        plat::CLock lock;
        CSession s(lock);
        P::Flags(s) = row.start.flags;
        P::AwaitingReply(s) = row.start.awaiting;
        P::HeartbeatAnswered(s) = row.start.answered;
        P::LinkConfirmed(s) = row.start.confirmed;
        EXPECT_EQ(row.act(s), row.posted);
        EXPECT_EQ(P::Flags(s), row.flags);
        EXPECT_EQ(P::AwaitingReply(s), row.awaiting);
        EXPECT_EQ(P::HeartbeatAnswered(s), row.answered);
    }
}

TEST(SessionStateTest, LinkConfirmationDecidesAnEmptyRegistration) {
    plat::CLock lock;
    CSession s(lock);
    const auto stored = [] { return true; };
    // A new link is not confirmed until the server accepts a message on it.
    s.NewLink(0);
    EXPECT_FALSE(P::LinkConfirmed(s));
    s.Voided();
    s.Refused();
    EXPECT_FALSE(P::LinkConfirmed(s));
    s.Accepted();
    EXPECT_TRUE(P::LinkConfirmed(s));
    s.NewLink(0);
    s.LoginAnswered(4, false, stored);  // the login reply counts
    EXPECT_EQ(s.Registered(Registration::NothingToRegister), PostState(CONN_READY));
}

TEST(SessionStateTest, NextStepAndMessageArrival) {
    plat::CLock lock;
    CSession s(lock);
    EXPECT_EQ(s.NextStep(), SessionStep::Login);
    P::Flags(s) = LI;
    EXPECT_EQ(s.NextStep(), SessionStep::Register);
    P::Flags(s) = LI | DONE;
    EXPECT_EQ(s.NextStep(), SessionStep::Wait);
    P::Flags(s) = LI;
    s.AwaitReply();
    EXPECT_EQ(s.NextStep(), SessionStep::Wait);

    // Counters wrap: the request id is never 0, the sequence wraps through 0.
    P::RequestId(s) = -1;
    P::Sequence(s) = -1;
    P::ClientId(s) = 12;
    int32_t requestId = 0, sequence = 0;
    int16_t clientId = 0;
    s.NextExchange(&requestId, &sequence, &clientId);
    EXPECT_EQ(requestId, 1);
    EXPECT_EQ(sequence, 0);
    EXPECT_EQ(clientId, 12);
    EXPECT_EQ(s.NextSequence(), 1);

    // Any message resets the timeout count; only the current sequence ends
    // the wait, only the current request id goes to the mailbox.
    P::Timeouts(s) = 2;
    EXPECT_FALSE(s.MessageArrived(0, 7));
    EXPECT_EQ(P::Timeouts(s), 0);
    EXPECT_TRUE(s.IsAwaitingReply());
    EXPECT_TRUE(s.MessageArrived(1, 1));
    EXPECT_FALSE(s.IsAwaitingReply());
}

TEST(SessionStateTest, TimersByTick) {
    plat::CLock lock;
    CSession s(lock);
    s.Begin(1000);
    s.SetHeartbeatInterval(500);
    s.SetReplyTimeout(100);
    P::Flags(s) = READY;
    P::HeartbeatAnswered(s) = true;

    // The heartbeat falls due after the interval, and only when ready and idle.
    EXPECT_EQ(s.CheckHeartbeat(1500, CONN_READY), HeartbeatCheck::NotDue);
    EXPECT_EQ(s.CheckHeartbeat(1501, CONN_READY), HeartbeatCheck::Send);
    P::HeartbeatAnswered(s) = false;
    EXPECT_EQ(s.CheckHeartbeat(1501, CONN_READY), HeartbeatCheck::Unanswered);
    EXPECT_EQ(s.CheckHeartbeat(1501, CONN_REFUSED), HeartbeatCheck::Send);
    s.AwaitReply();
    EXPECT_EQ(s.CheckHeartbeat(1501, CONN_READY), HeartbeatCheck::NotDue);
    // A tick that wrapped starts the interval again instead of firing.
    P::AwaitingReply(s) = false;
    EXPECT_EQ(s.CheckHeartbeat(10, CONN_READY), HeartbeatCheck::NotDue);
    EXPECT_EQ(s.CheckHeartbeat(510, CONN_READY), HeartbeatCheck::NotDue);
    EXPECT_EQ(s.CheckHeartbeat(511, CONN_READY), HeartbeatCheck::Unanswered);

    // Reply timeouts count up while awaiting; the wrap re-bases.
    EXPECT_EQ(s.CheckReplyTimeout(5000), 0);  // nothing awaited
    s.AwaitReply();
    s.SendDone(2000);
    EXPECT_EQ(s.CheckReplyTimeout(2100), 0);
    EXPECT_EQ(s.CheckReplyTimeout(2101), 1);
    EXPECT_FALSE(s.IsAwaitingReply());
    s.AwaitReply();
    EXPECT_EQ(s.CheckReplyTimeout(5), 0);  // wrapped: the base is now 5
    EXPECT_EQ(s.CheckReplyTimeout(106), 2);
    s.AwaitReply();
    s.Activity(106);
    EXPECT_EQ(s.CheckReplyTimeout(207), 3);
    EXPECT_FALSE(s.AbandonReply());
    s.AwaitReply();
    EXPECT_TRUE(s.AbandonReply());
    EXPECT_FALSE(s.IsAwaitingReply());
}

// A request takes its sequence, a heartbeat takes the next one and is
// answered while the request is still being built: the request, sent last,
// must not start a wait that only the heartbeat's reply could end (the
// heartbeats, and the pushes they fetch, would stop until the reply timeout).
TEST(SessionStateTest, AMessageSentAfterALaterOneWasAnsweredAwaitsNothing) {
    plat::CLock lock;
    CSession s(lock);
    s.Begin(1000);
    s.SetHeartbeatInterval(10);
    P::Flags(s) = READY;
    P::HeartbeatAnswered(s) = true;

    int32_t requestId = 0;
    int32_t requestSequence = 0;
    int16_t clientId = 0;
    s.NextExchange(&requestId, &requestSequence, &clientId);
    const int32_t heartbeatSequence = s.NextSequence();
    s.HeartbeatSending(1011, heartbeatSequence);
    EXPECT_TRUE(s.IsAwaitingReply());
    s.MessageArrived(0, heartbeatSequence);
    s.HeartbeatAnswered(false, CONN_READY);
    EXPECT_FALSE(s.IsAwaitingReply());
    s.AwaitReply(1012, requestSequence);
    EXPECT_FALSE(s.IsAwaitingReply());
    EXPECT_EQ(s.CheckHeartbeat(1022, CONN_READY), HeartbeatCheck::Send);

    // In order, the latest message's send starts the wait and only its reply ends it.
    const int32_t next = s.NextSequence();
    s.AwaitReply(1023, next);
    EXPECT_TRUE(s.IsAwaitingReply());
    s.MessageArrived(requestId, requestSequence);
    EXPECT_TRUE(s.IsAwaitingReply());
    s.MessageArrived(0, next);
    EXPECT_FALSE(s.IsAwaitingReply());
}

TEST(SessionStateTest, TheLoopWaitsForItsNextTimer) {
    plat::CLock lock;
    CSession s(lock);
    s.Begin(1000);
    s.SetHeartbeatInterval(10);
    s.SetReplyTimeout(50);
    P::Flags(s) = READY;

    // Ready and idle: until the next heartbeat, never past the pass, never 0.
    EXPECT_EQ(s.NextWait(1004, true, 100), 7);
    EXPECT_EQ(s.NextWait(1020, true, 100), 1);
    s.SetHeartbeatInterval(500);
    EXPECT_EQ(s.NextWait(1004, true, 100), 100);
    EXPECT_EQ(s.NextWait(1004, false, 100), 100);  // no link: discovery's pace
    // Awaiting a reply: until its timeout.
    s.AwaitReply();
    s.SendDone(1004);
    EXPECT_EQ(s.NextWait(1010, true, 100), 45);
    // Logged in, not registered: at once (1 ms).
    P::AwaitingReply(s) = false;
    P::Flags(s) = LI;
    EXPECT_EQ(s.NextWait(1010, true, 100), 1);

    // A drainer wakes the loop only when it would look too late.
    EXPECT_TRUE(s.WantsPass(1010));  // the registration is due
    P::Flags(s) = READY;
    s.SetHeartbeatInterval(10);
    s.AwaitReply();
    s.SendDone(1000);
    EXPECT_EQ(s.NextWait(1000, true, 100), 51);  // planned while awaiting
    P::AwaitingReply(s) = false;                 // the reply came
    EXPECT_TRUE(s.WantsPass(1002));              // the heartbeat is due at 1011
    EXPECT_EQ(s.NextWait(1002, true, 100), 9);
    EXPECT_FALSE(s.WantsPass(1003));  // it looks at 1011 anyway
}

}  // namespace
}  // namespace tarvik
