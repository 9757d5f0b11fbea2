// CSession: the state of one client's session with the server, and every rule
// that changes it.
//
// It holds the session flags, the client id, the message sequence, the request
// id, the reply-timeout count, the awaiting-reply, heartbeat-answered,
// link-confirmed and server flags, the last-send and heartbeat times and the
// two timing settings. Each transition below changes what it changes in one
// step under the client's state lock (shared with the client, which guards
// its other members with it; the lock is re-entrant) and returns the
// connection state to post, if any. The caller posts it after the transition
// returns, so no state is posted under the lock.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"
#include "session/message.h"
#include "tarvik/tarvik.h"

namespace tarvik {

// Session flags; the session is ready when all three are set.
enum : uint8_t { SF_LOGGED_IN = 1, SF_INIT_DONE = 2, SF_INIT_OK = 4, SF_READY = 7 };

// A connection state to post, or none.
using PostState = std::optional<int32_t>;

// What the subscription registration did.
enum class Registration {
    Sent,               // the request went out (or its sending failed): the reply decides
    Unexpressible,      // an item does not resolve in the point directory
    NothingToRegister,  // the subscription table is empty
};

// What the session loop does next on a linked pass.
enum class SessionStep { Wait, Login, Register };

// What the heartbeat timer found.
enum class HeartbeatCheck {
    NotDue,
    Send,        // a heartbeat goes out now (HeartbeatSending, then HeartbeatSent)
    Unanswered,  // the last one went unanswered: the session is set up again
};

class CSession {
  public:
    explicit CSession(plat::CLock& lock) : lock_(lock) {}
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // ---- Connection control -------------------------------------------------
    // Both times taken at construction.
    void Begin(uint32_t now);
    // Before the workers start: flags cleared, no reply awaited, the link not
    // confirmed.
    void Prepare();
    // The workers stop: the session is no longer initialised, no reply awaited.
    void Stopped();
    // Discovery made a link: no reply awaited, the timeout count reset, the
    // heartbeat interval starts now, the link not yet confirmed.
    PostState NewLink(uint32_t now);

    // ---- The session loop ----------------------------------------------------
    SessionStep NextStep();
    // The registration's verdict. With nothing to register the session is
    // ready at once only when the server has accepted a message of this
    // session on the current link; otherwise the next heartbeat asks, and its
    // reply posts CONN_READY (or its status 0 leads to a new login).
    PostState Registered(Registration verdict);

    // ---- Sending a message that expects a reply -------------------------------
    void AwaitReply();
    // The same, with the reply timeout starting now: a send that takes a
    // while must not be timed from the previous message.
    // Only while `sequence` is still the latest one taken: a message that
    // took a later sequence (a heartbeat, say, while a large request was
    // being built) owns the wait, and its reply, the only one that ends the
    // wait, may have come already.
    void AwaitReply(uint32_t now, int32_t sequence);
    void SendDone(uint32_t now);  // sent: the reply timeout starts now
    void SendFailed();            // not sent: no reply is awaited
    // The counters for a synchronous request: sequence and request id
    // advanced, with the client id to send.
    void NextExchange(int32_t* requestId, int32_t* sequence, int16_t* clientId);
    int32_t NextSequence();
    // The assembler saw a message marker: the reply timeout starts again.
    void Activity(uint32_t now);

    // ---- Timers -----------------------------------------------------------------
    // `state` is the current connection state.
    HeartbeatCheck CheckHeartbeat(uint32_t now, int32_t state);
    // After CheckHeartbeat said Unanswered.
    PostState HeartbeatUnanswered(uint32_t now);
    // A heartbeat was built and is about to go out.
    void HeartbeatSending();
    // With the reply timeout starting now; awaits the reply as AwaitReply does.
    void HeartbeatSending(uint32_t now, int32_t sequence);
    void HeartbeatSent(bool ok, uint32_t now);
    // The reply timeout: 0 when nothing timed out, otherwise the number of
    // reply timeouts in a row (the reply wait is over).
    int32_t CheckReplyTimeout(uint32_t now);
    // The link is down: a reply still awaited will not come. True when one was.
    bool AbandonReply();

    // ---- Replies ------------------------------------------------------------------
    // A login reply with status > 0 is stored only when `storeDirectory`
    // (called in the same step) stores the point directory of its payload.
    template <typename StoreDirectory>
    PostState LoginAnswered(int16_t status, bool serverFlag, StoreDirectory&& storeDirectory);
    // Status 0: the server forgot the session; log in again.
    void Voided();
    // Status -2001.
    PostState Refused();
    // A heartbeat reply with an accepted status.
    PostState HeartbeatAnswered(bool serverFlag, int32_t state);
    // A resubscription reply with an accepted status: usable or not.
    PostState Resubscribed(bool usable);
    // Any other reply with an accepted status.
    void Accepted();
    // A logout reply, whatever its status.
    void LoggedOut();
    // Every well-formed message: the timeout count is reset and a reply with
    // the current sequence ends the wait. True when `requestId` is the current
    // request id (the message goes to the reply mailbox).
    bool MessageArrived(int32_t requestId, int32_t sequence);

    // ---- When the session loop looks again -------------------------------------
    // How long the loop may wait, 1 to `longest` ms: until the reply timeout
    // while a reply is awaited, at once when the registration is due, until
    // the next heartbeat while ready. Records when the loop means to look
    // again.
    int32_t NextWait(uint32_t now, bool linkUp, int32_t longest);
    // Whether the loop should look now rather than when it planned: the
    // registration is due, or the next heartbeat falls due before that (the
    // loop planned its wait while a reply was awaited).
    bool WantsPass(uint32_t now);

    // ---- Reading ---------------------------------------------------------------------
    bool IsReady();
    bool IsLoggedIn();
    bool IsAwaitingReply();
    int16_t ClientId();
    bool ServerFlag();
    int32_t ReplyTimeout();
    void SetReplyTimeout(int32_t milliseconds);
    int32_t HeartbeatInterval();
    void SetHeartbeatInterval(int32_t milliseconds);

  private:
    friend struct ClientProbe;  // tests only (tests/client_probe.h)

    void Rejected();  // the two flag changes of a rejected or refused session

    plat::CLock& lock_;
    uint8_t flags_ = 0;
    int16_t clientId_ = 0;
    int32_t sequence_ = 0;
    int32_t requestId_ = 1;
    int32_t timeouts_ = 0;
    bool awaitingReply_ = false;
    bool heartbeatAnswered_ = false;
    bool serverFlag_ = false;
    // The server has accepted a message of this session on the current link
    // (cleared whenever a link is made).
    bool linkConfirmed_ = false;
    int32_t replyTimeout_ = 10000;
    int32_t heartbeatInterval_ = 500;
    uint32_t lastSendTime_ = 0;
    uint32_t heartbeatTime_ = 0;
    // The tick at which the session loop means to look again.
    uint32_t wakeAt_ = 0;
};

template <typename StoreDirectory>
PostState CSession::LoginAnswered(int16_t status, bool serverFlag,
                                  StoreDirectory&& storeDirectory) {
    plat::CLockHold hold(lock_);
    if (status > 0) {
        serverFlag_ = serverFlag;
        heartbeatAnswered_ = true;
        linkConfirmed_ = true;
        clientId_ = status;
        if (!storeDirectory()) {
            // Without its directory the session can do nothing: the login
            // does not count, and the next pass logs in again.
            return std::nullopt;
        }
        // A successful login starts a fresh session: a verdict left by an
        // earlier refused login must not stop registration.
        flags_ = SF_LOGGED_IN;
        return std::nullopt;
    }
    Rejected();
    return status == STATUS_LOGIN_REFUSED ? CONN_REFUSED : CONN_REJECTED;
}

}  // namespace tarvik
