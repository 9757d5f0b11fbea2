// The one way tests, fuzzers and benchmarks reach a client's internals.
//
// CTarvikClient and CSession name ClientProbe as their friend; everything a
// test needs of them beyond the interface goes through here.
#pragma once

#include "client/client.h"

namespace tarvik {

// windows.h, where a test includes it, renames DispatchMessage.
#pragma push_macro("DispatchMessage")
#undef DispatchMessage

struct ClientProbe {
    using C = CTarvikClient;

    // ---- Members -----------------------------------------------------------------
    static plat::CLock& StateLock(C* c) { return c->stateLock_; }
    static plat::CLock& RequestLock(C* c) { return c->requestLock_; }
    static int32_t& ClientParameter(C* c) { return c->clientParameter_; }
    static int32_t& UserValue(C* c) { return c->userValue_; }
    static StateCallback& StateCallbackOf(C* c) { return c->stateCallback_; }
    static DataCallback& DataCallbackOf(C* c) { return c->dataCallback_; }
    static int32_t& State(C* c) { return c->state_; }
    static CLastError& LastError(C* c) { return c->lastError_; }
    static int32_t& LinkModeOf(C* c) { return c->linkMode_; }
    static CSharedRegistry& Registry(C* c) { return c->registry_; }
    static WindowHandle& ServerWindow(C* c) { return c->serverWindow_; }
    static WindowHandle& OwnWindow(C* c) { return c->ownWindow_; }
    static bool& WindowGivenUp(C* c) { return c->windowGivenUp_; }
    static char* PrimaryHost(C* c) { return c->primaryHost_; }
    static char* BackupHost(C* c) { return c->backupHost_; }
    static int32_t& PrimaryPort(C* c) { return c->primaryPort_; }
    static INetLink*& NetLink(C* c) { return c->netLink_; }
    static plat::Thread*& WindowThread(C* c) { return c->windowThread_; }
    static plat::Thread*& NotifyThread(C* c) { return c->notifyThread_; }
    static uint32_t& NotifyThreadId(C* c) { return c->notifyThreadId_; }
    static bool& NotifyRunning(C* c) { return c->notifyRunning_; }
    static plat::Thread*& SessionThread(C* c) { return c->sessionThread_; }
    static plat::CEvent* DataArrivedEvent(C* c) { return c->dataArrivedEvent_; }
    static plat::CEvent* NotifyEventOf(C* c) { return c->notifyEvent_; }
    static CSession& Session(C* c) { return c->session_; }
    static CByteStream& ReceiveStream(C* c) { return c->receiveStream_; }
    static CPointDirectory& Directory(C* c) { return c->directory_; }
    static CSubscriptionTable& Advise(C* c) { return c->advise_; }
    static int32_t& HandleCounter(C* c) { return c->handleCounter_; }
    static CNotifyQueue& NotifyQueue(C* c) { return c->notifyQueue_; }
    static CByteStream& ReplyMailbox(C* c) { return c->replyMailbox_; }
    static plat::CEvent* ReplyEvent(C* c) { return c->replyEvent_; }

    // ---- The session's fields (the state lock guards them) -------------------------
    static uint8_t& Flags(C* c) { return c->session_.flags_; }
    static int16_t& ClientId(C* c) { return c->session_.clientId_; }
    static int32_t& Sequence(C* c) { return c->session_.sequence_; }
    static int32_t& RequestId(C* c) { return c->session_.requestId_; }
    static int32_t& Timeouts(C* c) { return c->session_.timeouts_; }
    static bool& AwaitingReply(C* c) { return c->session_.awaitingReply_; }
    static bool& HeartbeatAnswered(C* c) { return c->session_.heartbeatAnswered_; }
    static bool& LinkConfirmed(C* c) { return c->session_.linkConfirmed_; }
    static uint32_t& LastSendTime(C* c) { return c->session_.lastSendTime_; }
    static uint32_t& HeartbeatTime(C* c) { return c->session_.heartbeatTime_; }
    static bool IsAwaitingReply(C* c) { return c->session_.IsAwaitingReply(); }
    // The same, of a session object on its own.
    static uint8_t& Flags(CSession& s) { return s.flags_; }
    static int32_t& Sequence(CSession& s) { return s.sequence_; }
    static int32_t& RequestId(CSession& s) { return s.requestId_; }
    static int32_t& Timeouts(CSession& s) { return s.timeouts_; }
    static bool& AwaitingReply(CSession& s) { return s.awaitingReply_; }
    static bool& HeartbeatAnswered(CSession& s) { return s.heartbeatAnswered_; }
    static bool& LinkConfirmed(CSession& s) { return s.linkConfirmed_; }
    static int16_t& ClientId(CSession& s) { return s.clientId_; }

    // ---- Internal operations ----------------------------------------------------------
    static void PrepareSession(C* c, LinkMode mode) { c->PrepareSession(mode); }
    static bool StartWorkers(C* c) { return c->StartWorkers(); }
    static void StopWorkers(C* c) { c->StopWorkers(); }
    static LinkMode GetLinkMode(C* c) { return c->GetLinkMode(); }
    static void SetState(C* c, int32_t state) { c->SetState(state); }
    static int32_t PostStateChange(C* c, int32_t state) { return c->PostStateChange(state); }
    static void QueueNotify(C* c, NotifyEvent* event) { c->QueueNotify(event); }
    static bool AssembleMessages(C* c, const uint8_t* bytes, int32_t n) {
        return c->AssembleMessages(bytes, n);
    }
    static bool SendFrame(C* c, uint8_t* message, size_t size) {
        return c->SendFrame(message, size);
    }
    static uint32_t (*NotifyThreadProc())(void*) { return &C::NotifyThreadProc; }
    static uint32_t (*WindowThreadProc())(void*) { return &C::WindowThreadProc; }
    // The network component's two handlers, as ConnectRemote installs them.
    static tarvik::NetDataCallback DataHandler() { return &C::NetDataCallback; }
    static tarvik::NetEventCallback EventHandler() { return &C::NetEventCallback; }
    static void CheckTimers(C* c) { c->CheckTimers(); }
    static Registration RegisterSubscriptions(C* c) { return c->RegisterSubscriptions(); }
    static bool Logout(C* c) { return c->Logout(); }
    static void Dispatch(C* c, const uint8_t* message, size_t length) {
        c->DispatchMessage(message, length);
    }
    static void HandleHeartbeatData(C* c, const uint8_t* payload, size_t length) {
        c->HandleHeartbeatData(payload, length);
    }
    static void DeliverDataChange(C* c, const NotifyEvent& event) { c->DeliverDataChange(event); }
};

#pragma pop_macro("DispatchMessage")

}  // namespace tarvik
