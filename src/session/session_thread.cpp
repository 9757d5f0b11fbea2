// The session thread: finds the server while the link is down, logs in,
// registers the subscriptions once after every login, sends heartbeats,
// notices lost replies and takes a silent link down, and drains what the
// transport threads left in the receive stream. It waits until the earliest of
// its 100 ms pass, the next heartbeat, the reply timeout or new data. Also the
// logout. The rules that change the session's state live in
// session_state.cpp.
#include "client/allocator.h"
#include "client/client.h"
#include "requests/request_cycle.h"
#include "session/message.h"
#include "session/payloads.h"

namespace tarvik {
namespace {

constexpr int32_t kLoopWaitMs = 100;
constexpr uint32_t kNoServerPauseMs = 1000;
constexpr int32_t kTimeoutsBeforeDrop = 3;

}  // namespace

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
            switch (session_.NextStep()) {
                case SessionStep::Login:
                    SendLogin();
                    break;
                case SessionStep::Register:
                    Post(session_.Registered(RegisterSubscriptions()));
                    break;
                case SessionStep::Wait:
                    break;
            }
        } else {
            // Nothing of a lost link may reach the next one.
            ForgetReceived();
            if (FindServer()) {
                Post(session_.NewLink(plat::TickCount()));
                continue;  // linked: the login goes out at once
            }
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
        const int32_t drained = DrainReceiveStream();
        CheckTimers();
        // A login reply drained on this pass makes the registration due: it
        // goes out without waiting. (A new login after a refusal waits for
        // the next pass, as ever.)
        if (drained > 0 && session_.NextStep() == SessionStep::Register) {
            continue;
        }
        // Until the earliest of the 100 ms pass, the reply timeout, the next
        // heartbeat or new data.
        const int32_t wait = session_.NextWait(plat::TickCount(), IsLinkUp(), kLoopWaitMs);
        dataArrivedEvent_->Wait(wait);  // auto-reset: a signal is consumed
    }
}

void CTarvikClient::SendLogin() {
    int32_t parameter = 0;
    {
        plat::CLockHold hold(stateLock_);
        parameter = clientParameter_;
    }
    const int32_t sequence = session_.NextSequence();
    uint8_t* message = nullptr;
    size_t size = 0;
    if (!BuildMessage(CMD_LOGIN, static_cast<int16_t>(parameter & 0xFFFF), LOGIN_CLIENT_ID, 0,
                      sequence, nullptr, 0, &message, &size)) {
        return;  // retried on a later pass
    }
    SendAwaitingReply(message, size);
}

// ---- Registration -------------------------------------------------------------

Registration CTarvikClient::RegisterSubscriptions() {
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
            return Registration::NothingToRegister;
        }
        payload = static_cast<uint8_t*>(MemAlloc(ItemListSize(static_cast<size_t>(n))));
        if (payload == nullptr) {
            return Registration::Sent;  // as a send that failed: retried later
        }
        CItemListWriter list(payload);
        for (int32_t i = 0; i < n; ++i) {
            const AdviseItem* item = advise_.ItemAt(i);
            const uint32_t pointIndex = KeyPointIndex(item->Key);
            const uint32_t fieldNo = KeyFieldNo(item->Key);
            if (!directory_.IsValidItem(pointIndex, fieldNo, nullptr)) {
                break;
            }
            list.Add(pointIndex, fieldNo);
            ++pairs;
        }
        list.Finish();
        clientId = session_.ClientId();
    }
    if (pairs != n) {
        MemFree(payload);
        return Registration::Unexpressible;
    }
    const int32_t sequence = session_.NextSequence();
    uint8_t* message = nullptr;
    size_t size = 0;
    if (BuildMessage(CMD_RESUBSCRIBE, 1, clientId, 0, sequence, payload,
                     4 + 8 * static_cast<uint32_t>(n), &message, &size)) {
        SendAwaitingReply(message, size);
    }
    MemFree(payload);
    return Registration::Sent;
}

// ---- Timers ------------------------------------------------------------------------

void CTarvikClient::CheckTimers() {
    const bool linkUp = IsLinkUp();

    // Heartbeat.
    if (linkUp) {
        switch (session_.CheckHeartbeat(plat::TickCount(), GetState())) {
            case HeartbeatCheck::NotDue:
                break;
            case HeartbeatCheck::Unanswered:
                Post(session_.HeartbeatUnanswered(plat::TickCount()));
                break;
            case HeartbeatCheck::Send: {
                bool hasItems = false;
                {
                    plat::CLockHold hold(stateLock_);
                    hasItems = advise_.ItemCount() > 0;
                }
                const int16_t command = hasItems ? CMD_HEARTBEAT_DATA : CMD_HEARTBEAT;
                const int16_t clientId = session_.ClientId();
                const int32_t sequence = session_.NextSequence();
                uint8_t* message = nullptr;
                size_t size = 0;
                if (BuildMessage(command, 0, clientId, 0, sequence, nullptr, 0, &message, &size)) {
                    session_.HeartbeatSending(plat::TickCount(), sequence);
                    const bool sent = SendFrame(message, size);
                    session_.HeartbeatSent(sent, plat::TickCount());
                    MemFree(message);
                }
                break;
            }
        }
    }

    // Reply timeout.
    if (linkUp) {
        const int32_t timeouts = session_.CheckReplyTimeout(plat::TickCount());
        if (timeouts == 0) {
            return;
        }
        EndReplyWait();
        if (timeouts < kTimeoutsBeforeDrop) {
            return;
        }
        // The third reply timeout in a row without any accepted message in
        // between: the link is taken down.
        if (GetLinkMode() == MODE_LOCAL) {
            DropLocalLink();
        } else if (GetLinkMode() == MODE_REMOTE) {
            DropRemoteLink();
        }
    } else if (session_.AbandonReply()) {
        EndReplyWait();
    }
}

void CTarvikClient::EndReplyWait() {
    replyMailbox_.Clear();
    replyEvent_->Set();  // a waiting request wakes and finds no reply
}

// ---- Logout --------------------------------------------------------------------------

bool CTarvikClient::Logout() {
    // The request lock is held for the whole exchange and left on every path.
    plat::CLockHold request(requestLock_);
    if (!IsLinkUp() || !session_.IsLoggedIn()) {
        return false;
    }
    // The logout follows the request cycle: its reply must carry CMD_LOGOUT,
    // magic 1047 and the client's id, and say yes in param.
    Reply reply;
    return Exchange(CMD_LOGOUT, 0, nullptr, 0, &reply) && reply.param != 0;
}

}  // namespace tarvik
