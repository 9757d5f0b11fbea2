// The session's transitions, each one locked step (see session_state.h).
#include "session/session_state.h"

#include <algorithm>

namespace tarvik {
namespace {

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

// Milliseconds until Elapsed(now, base, interval) first holds; 0 when it holds
// now or the tick wrapped (the timers re-base it on the next pass).
int64_t DueIn(uint32_t now, uint32_t base, int32_t interval) {
    if (now < base) {
        return 0;
    }
    const uint64_t elapsed = now - base;
    const uint64_t limit = static_cast<uint32_t>(interval);
    return elapsed > limit ? 0 : static_cast<int64_t>(limit - elapsed + 1);
}

bool RegistrationDue(uint8_t flags, bool awaitingReply) {
    return !awaitingReply && (flags & SF_LOGGED_IN) != 0 && (flags & SF_INIT_DONE) == 0;
}

}  // namespace

// ---- Connection control ------------------------------------------------------

void CSession::Begin(uint32_t now) {
    plat::CLockHold hold(lock_);
    lastSendTime_ = now;
    heartbeatTime_ = now;
}

void CSession::Prepare() {
    plat::CLockHold hold(lock_);
    flags_ = 0;
    awaitingReply_ = false;
    linkConfirmed_ = false;
}

void CSession::Stopped() {
    plat::CLockHold hold(lock_);
    flags_ &= static_cast<uint8_t>(~SF_INIT_OK);
    awaitingReply_ = false;
}

PostState CSession::NewLink(uint32_t now) {
    plat::CLockHold hold(lock_);
    awaitingReply_ = false;
    timeouts_ = 0;
    heartbeatTime_ = now;
    linkConfirmed_ = false;
    return CONN_PENDING;
}

// ---- The session loop ----------------------------------------------------------

SessionStep CSession::NextStep() {
    plat::CLockHold hold(lock_);
    if (awaitingReply_) {
        return SessionStep::Wait;
    }
    if ((flags_ & SF_LOGGED_IN) == 0) {
        return SessionStep::Login;
    }
    if ((flags_ & SF_INIT_DONE) == 0) {
        return SessionStep::Register;
    }
    return SessionStep::Wait;
}

PostState CSession::Registered(Registration verdict) {
    plat::CLockHold hold(lock_);
    switch (verdict) {
        case Registration::Unexpressible:
            Rejected();
            return CONN_REJECTED;
        case Registration::NothingToRegister:
            heartbeatAnswered_ = true;
            flags_ |= SF_INIT_DONE | SF_INIT_OK;
            if (linkConfirmed_) {
                return CONN_READY;
            }
            return std::nullopt;
        case Registration::Sent:
        default:
            return std::nullopt;
    }
}

// ---- Sending ----------------------------------------------------------------------

void CSession::AwaitReply() {
    plat::LockedSet(lock_, awaitingReply_, true);
}

void CSession::AwaitReply(uint32_t now, int32_t sequence) {
    plat::CLockHold hold(lock_);
    if (sequence == sequence_) {
        awaitingReply_ = true;
    }
    lastSendTime_ = now;
}

void CSession::SendDone(uint32_t now) {
    plat::LockedSet(lock_, lastSendTime_, now);
}

void CSession::SendFailed() {
    plat::LockedSet(lock_, awaitingReply_, false);
}

void CSession::NextExchange(int32_t* requestId, int32_t* sequence, int16_t* clientId) {
    plat::CLockHold hold(lock_);
    requestId_ = Advance(requestId_);
    if (requestId_ == 0) {
        requestId_ = 1;  // never 0: session messages carry 0
    }
    sequence_ = Advance(sequence_);
    *requestId = requestId_;
    *sequence = sequence_;
    *clientId = clientId_;
}

int32_t CSession::NextSequence() {
    plat::CLockHold hold(lock_);
    sequence_ = Advance(sequence_);
    return sequence_;
}

void CSession::Activity(uint32_t now) {
    plat::LockedSet(lock_, lastSendTime_, now);
}

// ---- Timers --------------------------------------------------------------------------

HeartbeatCheck CSession::CheckHeartbeat(uint32_t now, int32_t state) {
    plat::CLockHold hold(lock_);
    if (flags_ != SF_READY || awaitingReply_) {
        return HeartbeatCheck::NotDue;
    }
    if (now < heartbeatTime_) {
        heartbeatTime_ = now;  // the tick wrapped: start the interval again
        return HeartbeatCheck::NotDue;
    }
    if (!Elapsed(now, heartbeatTime_, heartbeatInterval_)) {
        return HeartbeatCheck::NotDue;
    }
    if (!heartbeatAnswered_ && state != CONN_REFUSED) {
        return HeartbeatCheck::Unanswered;
    }
    return HeartbeatCheck::Send;
}

PostState CSession::HeartbeatUnanswered(uint32_t now) {
    plat::CLockHold hold(lock_);
    // Set the session up again on the next pass.
    flags_ &= static_cast<uint8_t>(~(SF_INIT_DONE | SF_INIT_OK));
    heartbeatTime_ = now;
    return CONN_PENDING;
}

void CSession::HeartbeatSending() {
    plat::CLockHold hold(lock_);
    heartbeatAnswered_ = false;
    awaitingReply_ = true;
}

void CSession::HeartbeatSending(uint32_t now, int32_t sequence) {
    plat::CLockHold hold(lock_);
    heartbeatAnswered_ = false;
    if (sequence == sequence_) {
        awaitingReply_ = true;
    }
    lastSendTime_ = now;
}

void CSession::HeartbeatSent(bool ok, uint32_t now) {
    plat::CLockHold hold(lock_);
    if (ok) {
        lastSendTime_ = now;
        heartbeatTime_ = now;
    } else {
        heartbeatAnswered_ = true;
        awaitingReply_ = false;
    }
}

int32_t CSession::CheckReplyTimeout(uint32_t now) {
    plat::CLockHold hold(lock_);
    if (!awaitingReply_) {
        return 0;
    }
    if (now < lastSendTime_) {
        lastSendTime_ = now;
        return 0;
    }
    if (!Elapsed(now, lastSendTime_, replyTimeout_)) {
        return 0;
    }
    awaitingReply_ = false;
    timeouts_ = Advance(timeouts_);
    return timeouts_;
}

bool CSession::AbandonReply() {
    plat::CLockHold hold(lock_);
    const bool was = awaitingReply_;
    awaitingReply_ = false;
    return was;
}

// ---- Replies ----------------------------------------------------------------------------

void CSession::Rejected() {
    flags_ |= SF_INIT_DONE;
    flags_ &= static_cast<uint8_t>(~SF_INIT_OK);
}

void CSession::Voided() {
    plat::LockedSet(lock_, flags_, 0);
}

PostState CSession::Refused() {
    plat::CLockHold hold(lock_);
    flags_ &= static_cast<uint8_t>(~SF_INIT_OK);
    return CONN_REFUSED;
}

PostState CSession::HeartbeatAnswered(bool serverFlag, int32_t state) {
    plat::CLockHold hold(lock_);
    serverFlag_ = serverFlag;
    heartbeatAnswered_ = true;
    linkConfirmed_ = true;
    if (state != CONN_READY) {
        return CONN_READY;
    }
    return std::nullopt;
}

PostState CSession::Resubscribed(bool usable) {
    plat::CLockHold hold(lock_);
    linkConfirmed_ = true;
    if (!usable) {
        Rejected();
        return CONN_REJECTED;
    }
    heartbeatAnswered_ = true;
    flags_ |= SF_INIT_DONE | SF_INIT_OK;
    return CONN_READY;
}

void CSession::Accepted() {
    plat::CLockHold hold(lock_);
    linkConfirmed_ = true;  // the server knows this session on this link
}

void CSession::LoggedOut() {
    plat::CLockHold hold(lock_);
    flags_ &= static_cast<uint8_t>(~SF_INIT_OK);
}

bool CSession::MessageArrived(int32_t requestId, int32_t sequence) {
    plat::CLockHold hold(lock_);
    if (sequence == sequence_) {
        awaitingReply_ = false;
    }
    timeouts_ = 0;
    return requestId == requestId_;
}

// ---- Reading ------------------------------------------------------------------------------

bool CSession::IsReady() {
    plat::CLockHold hold(lock_);
    return flags_ == SF_READY;
}

bool CSession::IsLoggedIn() {
    plat::CLockHold hold(lock_);
    return (flags_ & SF_LOGGED_IN) != 0;
}

bool CSession::IsAwaitingReply() {
    return plat::LockedGet(lock_, awaitingReply_);
}

int16_t CSession::ClientId() {
    return plat::LockedGet(lock_, clientId_);
}

bool CSession::ServerFlag() {
    return plat::LockedGet(lock_, serverFlag_);
}

int32_t CSession::ReplyTimeout() {
    return plat::LockedGet(lock_, replyTimeout_);
}

void CSession::SetReplyTimeout(int32_t milliseconds) {
    plat::LockedSet(lock_, replyTimeout_, milliseconds);
}

int32_t CSession::HeartbeatInterval() {
    return plat::LockedGet(lock_, heartbeatInterval_);
}

void CSession::SetHeartbeatInterval(int32_t milliseconds) {
    plat::LockedSet(lock_, heartbeatInterval_, milliseconds);
}

// ---- When the session loop looks again -----------------------------------------

int32_t CSession::NextWait(uint32_t now, bool linkUp, int32_t longest) {
    plat::CLockHold hold(lock_);
    int64_t wait = longest;
    if (linkUp && awaitingReply_) {
        wait = std::min(wait, DueIn(now, lastSendTime_, replyTimeout_));
    } else if (linkUp && RegistrationDue(flags_, awaitingReply_)) {
        wait = 0;
    } else if (linkUp && flags_ == SF_READY) {
        wait = std::min(wait, DueIn(now, heartbeatTime_, heartbeatInterval_));
    }
    // At least a millisecond: a step that is due but could not be taken (no
    // memory for its message) must not make the loop spin.
    wait = std::max<int64_t>(wait, 1);
    wakeAt_ = now + static_cast<uint32_t>(wait);
    return static_cast<int32_t>(wait);
}

bool CSession::WantsPass(uint32_t now) {
    plat::CLockHold hold(lock_);
    if (RegistrationDue(flags_, awaitingReply_)) {
        return true;
    }
    const int64_t untilWake = static_cast<int32_t>(wakeAt_ - now);
    return flags_ == SF_READY && !awaitingReply_ &&
           DueIn(now, heartbeatTime_, heartbeatInterval_) < untilWake;
}

}  // namespace tarvik
