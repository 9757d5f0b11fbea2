// Construction and teardown of the client object, and the plain settings of
// the interface (user value, callbacks, timing, server flag, state, error).
#include "client/client.h"

#include <new>

#include "client/allocator.h"

namespace tarvik {

CTarvikClient::CTarvikClient(int32_t clientParameter) : clientParameter_(clientParameter) {}

bool CTarvikClient::Construct() {
    // Mutex, mapping record, the open-or-create sequence under the mutex.
    if (!registry_.Open()) {
        return false;
    }
    // The remaining members were initialised in declaration order by their
    // initialisers; the two times are taken now.
    session_.Begin(plat::TickCount());
    // Reply event, data-arrived event, notification event: auto-reset, not
    // signalled, unnamed.
    replyEvent_ = new (std::nothrow) plat::CEvent;
    dataArrivedEvent_ = new (std::nothrow) plat::CEvent;
    notifyEvent_ = new (std::nothrow) plat::CEvent;
    return replyEvent_ != nullptr && dataArrivedEvent_ != nullptr && notifyEvent_ != nullptr &&
           replyEvent_->IsValid() && dataArrivedEvent_->IsValid() && notifyEvent_->IsValid();
}

CTarvikClient::~CTarvikClient() {
    // 1. Logout, the threads stopped, the network object destroyed, queued
    //    notifications dropped. (TarvikDestroyClient runs it before the
    //    destructor; a second run finds nothing to do.)
    // 2. The assembly buffer, the directory's tables, every subscription item.
    assembler_.Reset();
    directory_.Free();
    advise_.Free();
    // 3. The three events.
    delete replyEvent_;
    delete dataArrivedEvent_;
    delete notifyEvent_;
    replyEvent_ = dataArrivedEvent_ = notifyEvent_ = nullptr;
    // 4. The remaining containers, streams and locks go with their members,
    //    5. and the mutex object and the mapping with the registry.
    notifyQueue_.FreeAll();
    registry_.Close();
}

// ---- Settings and callbacks ------------------------------------------------

void CTarvikClient::SetUserData(int32_t value) {
    plat::LockedSet(stateLock_, userValue_, value);
}

void CTarvikClient::SetStateCallback(StateCallback callback) {
    plat::LockedSet(stateLock_, stateCallback_, callback);
}

void CTarvikClient::SetDataCallback(DataCallback callback) {
    plat::LockedSet(stateLock_, dataCallback_, callback);
}

bool CTarvikClient::GetServerFlag() {
    return session_.ServerFlag();
}

int32_t CTarvikClient::GetState() {
    return plat::LockedGet(stateLock_, state_);
}

void CTarvikClient::SetState(int32_t state) {
    plat::LockedSet(stateLock_, state_, state);
}

void CTarvikClient::SetRequestTimeout(int32_t milliseconds) {
    session_.SetReplyTimeout(milliseconds);
}

int32_t CTarvikClient::GetRequestTimeout() {
    return session_.ReplyTimeout();
}

void CTarvikClient::SetHeartbeatInterval(int32_t milliseconds) {
    session_.SetHeartbeatInterval(milliseconds);
}

int32_t CTarvikClient::GetHeartbeatInterval() {
    return session_.HeartbeatInterval();
}

void CTarvikClient::GetLastErrorText(char* buffer, int32_t size) {
    plat::CLockHold hold(stateLock_);
    lastError_.CopyText(buffer, size);
}

int32_t CTarvikClient::RecordError() {
    const int32_t code = plat::LastErrorCode();
    plat::CLockHold hold(stateLock_);
    return lastError_.RecordCode(code);
}

void CTarvikClient::RecordErrorText(int32_t code, const char* text) {
    plat::CLockHold hold(stateLock_);
    lastError_.RecordText(code, text);
}

}  // namespace tarvik
