// The session thread: finds the server while the link is down, logs in,
// registers the subscriptions once after every login, sends heartbeats,
// notices lost replies and takes a silent link down, and drains the receive
// stream of what the transport threads left. It waits until the earliest of
// its 100 ms pass, the next heartbeat, the reply time-out or new data.
// Also the session's counters and the logout.
#include <algorithm>

#include "client/allocator.h"
#include "client/client.h"
#include "requests/request_cycle.h"
#include "session/message.h"

namespace tarvik {
namespace {

constexpr int32_t kLoopWaitMs = 100;
constexpr uint32_t kNoServerPauseMs = 1000;
constexpr int32_t kTimeoutsBeforeDrop = 3;

int32_t Advance(int32_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + 1u);
}

// Whether more than `interval` ms have passed since `base`. The interval is
// compared as an unsigned number, as the stored setting is used unchecked; the
// elapsed time is a difference, so a base near the top of the tick range
// never makes it fire early.
bool Elapsed(uint32_t now, uint32_t base, int32_t interval) {
    return now - base > static_cast<uint32_t>(interval);
}

}  // namespace

// ---- Counters ------------------------------------------------------------------

int32_t CTarvikClient::NextSequence(bool advance) {
    plat::CLockHold hold(stateLock_);
    if (advance) {
        sequence_ = Advance(sequence_);
    }
    return sequence_;
}

int32_t CTarvikClient::NextRequestId(bool advance) {
    plat::CLockHold hold(stateLock_);
    if (advance) {
        requestId_ = Advance(requestId_);
        if (requestId_ == 0) {
            requestId_ = 1;
        }
    }
    return requestId_;
}

int32_t CTarvikClient::CountTimeout(bool reset) {
    plat::CLockHold hold(stateLock_);
    if (reset) {
        timeoutCounter_ = 0;
    } else {
        timeoutCounter_ = Advance(timeoutCounter_);
    }
    return timeoutCounter_;
}

// ---- The loop --------------------------------------------------------------------

uint32_t CTarvikClient::SessionThreadProc(void* arg) {
    static_cast<CTarvikClient*>(arg)->RunSession();
    return 1;
}

void CTarvikClient::RunSession() {
    for (;;) {
        {
            plat::CLockHold hold(stateLock_);
            if (!sessionRunning_) {
                return;
            }
        }
        if (IsLinkUp()) {
            if (!GetAwaitingReply() && !TestFlags(FLAGS_IS_LOGGED_IN)) {
                SendLogin();
            } else if (!GetAwaitingReply() && !TestFlags(FLAGS_IS_INIT_DONE)) {
                const int32_t verdict = RegisterSubscriptions();
                if (verdict == 1) {
                    ChangeFlags(FLAGS_SET_INIT_DONE);
                    ChangeFlags(FLAGS_CLEAR_INIT_OK);
                    PostStateChange(CONN_REJECTED);
                } else if (verdict == 2) {
                    bool confirmed = false;
                    {
                        plat::CLockHold hold(stateLock_);
                        heartbeatAnswered_ = true;
                        confirmed = linkConfirmed_;
                    }
                    ChangeFlags(FLAGS_SET_INIT_DONE);
                    ChangeFlags(FLAGS_SET_INIT_OK);
                    // Nothing to register. Ready at once only when the server
                    // has accepted this session on this link; otherwise (a new
                    // link, a session the server may have forgotten) the next
                    // heartbeat asks, and its reply posts CONN_READY, or its
                    // status 0 leads to a new login.
                    if (confirmed) {
                        PostStateChange(CONN_READY);
                    }
                }
            }
        } else if (FindServer()) {
            SetAwaitingReply(false);
            CountTimeout(true);
            {
                const uint32_t now = plat::TickCount();
                plat::CLockHold hold(stateLock_);
                heartbeatTime_ = now;
                linkConfirmed_ = false;
            }
            PostStateChange(CONN_PENDING);
            continue;  // linked: the login goes out at once
        } else {
            {
                plat::CLockHold hold(stateLock_);
                if (!sessionRunning_) {
                    return;
                }
            }
            WaitWhileRunning(1, kNoServerPauseMs);
            PostStateChange(CONN_NO_SERVER);
        }
        bool dropWanted = false;
        {
            plat::CLockHold hold(stateLock_);
            dropWanted = linkDropWanted_;
            linkDropWanted_ = false;
        }
        if (dropWanted) {
            DropRemoteLink();
        }
        const int32_t handled = DrainReceiveStream();
        CheckTimers();
        // A login reply handled on this pass makes the registration due:
        // it goes out without waiting. (A new login after a refusal waits
        // for the next pass, as ever.)
        if (handled > 0 && RegistrationDue()) {
            continue;
        }
        dataArrivedEvent_->Wait(NextWaitMs());  // auto-reset: a signal is consumed
    }
}

// ---- When the loop looks again ----------------------------------------------------

namespace {

// Milliseconds until Elapsed(now, base, interval) first holds; 0 when it
// holds now or the tick wrapped (the timers re-base it on this pass).
int64_t DueIn(uint32_t now, uint32_t base, int32_t interval) {
    if (now < base) {
        return 0;
    }
    const uint64_t elapsed = now - base;
    const uint64_t limit = static_cast<uint32_t>(interval);
    return elapsed > limit ? 0 : static_cast<int64_t>(limit - elapsed + 1);
}

}  // namespace

int32_t CTarvikClient::NextWaitMs() {
    const bool linkUp = IsLinkUp();
    const bool ready = TestFlags(FLAGS_IS_READY);
    const bool stepDue = linkUp && RegistrationDue();
    const uint32_t now = plat::TickCount();
    int64_t wait = kLoopWaitMs;
    plat::CLockHold hold(stateLock_);
    if (stepDue) {
        wait = 0;
    } else if (linkUp && awaitingReply_) {
        wait = std::min(wait, DueIn(now, lastSendTime_, replyTimeout_));
    } else if (linkUp && ready) {
        wait = std::min(wait, DueIn(now, heartbeatTime_, heartbeatInterval_));
    }
    // At least a millisecond: a step that is due but could not be taken
    // (memory short for its message) must not make the loop spin.
    wait = std::max<int64_t>(wait, 1);
    sessionWakeAt_ = now + static_cast<uint32_t>(wait);
    return static_cast<int32_t>(wait);
}

bool CTarvikClient::RegistrationDue() {
    return !GetAwaitingReply() && TestFlags(FLAGS_IS_LOGGED_IN) && !TestFlags(FLAGS_IS_INIT_DONE);
}

bool CTarvikClient::SessionWantsPass() {
    if (RegistrationDue()) {
        return true;  // logged in: the registration is the next step
    }
    const bool ready = TestFlags(FLAGS_IS_READY);
    const uint32_t now = plat::TickCount();
    plat::CLockHold hold(stateLock_);
    if (linkDropWanted_) {
        return true;
    }
    // A heartbeat that falls due before the session thread means to look
    // again (it planned its wait while a reply was awaited) goes out on time.
    const int64_t untilWake = static_cast<int32_t>(sessionWakeAt_ - now);
    return ready && !awaitingReply_ && DueIn(now, heartbeatTime_, heartbeatInterval_) < untilWake;
}

void CTarvikClient::SendLogin() {
    int32_t parameter = 0;
    {
        plat::CLockHold hold(stateLock_);
        parameter = clientParameter_;
    }
    const int32_t sequence = NextSequence(true);
    uint8_t* message = nullptr;
    size_t size = 0;
    if (!BuildMessage(CMD_LOGIN, static_cast<int16_t>(parameter & 0xFFFF), LOGIN_CLIENT_ID, 0,
                      sequence, nullptr, 0, &message, &size)) {
        return;  // retried on a later pass
    }
    SetAwaitingReply(true);
    if (SendFrame(message, size)) {
        const uint32_t now = plat::TickCount();
        plat::CLockHold hold(stateLock_);
        lastSendTime_ = now;
    } else {
        SetAwaitingReply(false);
    }
    MemFree(message);
}

// ---- Registration -------------------------------------------------------------

int32_t CTarvikClient::RegisterSubscriptions() {
    uint8_t* payload = nullptr;
    int32_t n = 0;
    int32_t pairs = 0;
    int16_t clientId = 0;
    {
        // Counted and walked under one hold, so that an Advise running at the
        // same time cannot make the count and the list disagree.
        plat::CLockHold hold(stateLock_);
        n = advise_.ItemCount();
        if (n == 0) {
            return 2;
        }
        payload = static_cast<uint8_t*>(MemAlloc(4 + 8 * static_cast<size_t>(n)));
        if (payload == nullptr) {
            return 0;
        }
        for (int32_t i = 0; i < n; ++i) {
            const AdviseItem* item = advise_.ItemAt(i);
            const uint32_t pointIndex = CSubscriptionTable::PointIndexOf(item->Key);
            const uint32_t fieldNo = CSubscriptionTable::FieldNoOf(item->Key);
            if (!directory_.IsValidItem(pointIndex, fieldNo, nullptr)) {
                break;
            }
            StoreU32(payload + 4 + 8 * static_cast<size_t>(pairs), pointIndex);
            StoreU32(payload + 8 + 8 * static_cast<size_t>(pairs), fieldNo);
            ++pairs;
        }
        StoreU32(payload, static_cast<uint32_t>(pairs));
        clientId = clientId_;
    }
    if (pairs != n) {
        MemFree(payload);
        return 1;
    }
    const int32_t sequence = NextSequence(true);
    uint8_t* message = nullptr;
    size_t size = 0;
    if (BuildMessage(CMD_RESUBSCRIBE, 1, clientId, 0, sequence, payload,
                     4 + 8 * static_cast<uint32_t>(n), &message, &size)) {
        SetAwaitingReply(true);
        if (SendFrame(message, size)) {
            const uint32_t now = plat::TickCount();
            plat::CLockHold hold(stateLock_);
            lastSendTime_ = now;
        } else {
            SetAwaitingReply(false);
        }
        MemFree(message);
    }
    MemFree(payload);
    return 0;
}

// ---- Timers ------------------------------------------------------------------------

void CTarvikClient::CheckTimers() {
    const bool linkUp = IsLinkUp();

    // Heartbeat.
    if (linkUp && TestFlags(FLAGS_IS_READY) && !GetAwaitingReply()) {
        const uint32_t now = plat::TickCount();
        uint32_t last = 0;
        int32_t interval = 0;
        {
            plat::CLockHold hold(stateLock_);
            last = heartbeatTime_;
            interval = heartbeatInterval_;
        }
        if (now < last) {
            plat::CLockHold hold(stateLock_);
            heartbeatTime_ = now;  // the tick wrapped: start the interval again
        } else if (Elapsed(now, last, interval)) {
            bool answered = false;
            bool hasItems = false;
            int16_t clientId = 0;
            {
                plat::CLockHold hold(stateLock_);
                answered = heartbeatAnswered_;
                hasItems = advise_.ItemCount() > 0;
                clientId = clientId_;
            }
            const int16_t command = hasItems ? CMD_HEARTBEAT_DATA : CMD_HEARTBEAT;
            if (!answered && GetState() != CONN_REFUSED) {
                // The previous heartbeat went unanswered: set the session up
                // again on the next pass.
                ChangeFlags(FLAGS_CLEAR_INIT_DONE);
                ChangeFlags(FLAGS_CLEAR_INIT_OK);
                PostStateChange(CONN_PENDING);
                const uint32_t stamp = plat::TickCount();
                plat::CLockHold hold(stateLock_);
                heartbeatTime_ = stamp;
            } else {
                const int32_t sequence = NextSequence(true);
                uint8_t* message = nullptr;
                size_t size = 0;
                if (BuildMessage(command, 0, clientId, 0, sequence, nullptr, 0, &message, &size)) {
                    {
                        plat::CLockHold hold(stateLock_);
                        heartbeatAnswered_ = false;
                        awaitingReply_ = true;
                    }
                    if (SendFrame(message, size)) {
                        const uint32_t stamp = plat::TickCount();
                        plat::CLockHold hold(stateLock_);
                        lastSendTime_ = stamp;
                        heartbeatTime_ = stamp;
                    } else {
                        plat::CLockHold hold(stateLock_);
                        heartbeatAnswered_ = true;
                        awaitingReply_ = false;
                    }
                    MemFree(message);
                }
            }
        }
    }

    // Reply timeout.
    if (linkUp && GetAwaitingReply()) {
        const uint32_t now = plat::TickCount();
        uint32_t sent = 0;
        int32_t timeout = 0;
        {
            plat::CLockHold hold(stateLock_);
            sent = lastSendTime_;
            timeout = replyTimeout_;
        }
        if (now < sent) {
            plat::CLockHold hold(stateLock_);
            lastSendTime_ = now;
            return;
        }
        if (!Elapsed(now, sent, timeout)) {
            return;
        }
        EndReplyWait();
        if (CountTimeout(false) < kTimeoutsBeforeDrop) {
            return;
        }
        // The third reply timeout in a row without any accepted message in
        // between: the link is taken down.
        if (GetLinkMode() == MODE_LOCAL) {
            DropLocalLink();
        } else if (GetLinkMode() == MODE_REMOTE) {
            DropRemoteLink();
        }
    } else if (!linkUp && GetAwaitingReply()) {
        EndReplyWait();
    }
}

void CTarvikClient::EndReplyWait() {
    replyMailbox_.Clear();
    replyEvent_->Set();  // a waiting request wakes and finds no reply
    SetAwaitingReply(false);
}

// ---- Logout --------------------------------------------------------------------------

bool CTarvikClient::Logout() {
    // The request lock is held for the whole exchange and left on every path.
    plat::CLockHold request(requestLock_);
    if (!IsLinkUp() || !TestFlags(FLAGS_IS_LOGGED_IN)) {
        return false;
    }
    // The logout follows the request cycle: its reply must carry CMD_LOGOUT,
    // magic 1047 and the client's id, and say yes in param.
    Reply reply;
    return Exchange(CMD_LOGOUT, 0, nullptr, 0, &reply) && reply.param != 0;
}

}  // namespace tarvik
