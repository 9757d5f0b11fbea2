// CTarvikClient: the client object behind ITarvikClient.
//
// One class whose members the subsystems share; each subsystem implements
// its operations in a file of its own folder:
//   client/client.cpp          construction, teardown, settings and callbacks
//   client/connection.cpp      connect, disconnect, worker start and stop, flags
//   client/window_transport.cpp  the window thread and window procedure
//   client/netlink_handlers.cpp  the network component's handlers
//   session/receive.cpp        draining the receive stream, records
//   session/send_path.cpp      sending and server discovery
//   session/session_thread.cpp the session thread, timers, logout
//   session/session_state.cpp  the session's state and its transitions
//   session/dispatch.cpp       reply dispatch
//   directory/notify_thread.cpp  the notification thread
//   directory/...              directory and subscription queries, delivery
//   requests/...               the synchronous requests
//
// Locks: the state lock guards every scalar member, the notification queue,
// the directory and the subscription table, for single accesses or one short
// container operation. The request lock serialises the synchronous requests
// and the logout. Order: request lock, then state lock. No lock is held while
// sending, waiting, starting or stopping a thread, or calling the application.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client/last_error.h"
#include "client/netlink.h"
#include "client/shared_registry.h"
#include "directory/notify_event.h"
#include "directory/point_directory.h"
#include "directory/subscription_table.h"
#include "platform/platform.h"
#include "session/assembler.h"
#include "session/byte_stream.h"
#include "session/session_state.h"
#include "tarvik/tarvik.h"

namespace tarvik {

struct Reply;
class CBlock;

// Which transport is in use.
enum LinkMode : int32_t { MODE_NONE = 0, MODE_LOCAL = 1, MODE_REMOTE = 2 };

// TestFlags queries.
enum : int32_t {
    FLAGS_IS_READY = 0,
    FLAGS_IS_LOGGED_IN = 2,
};

// Window handles are 32-bit values on both systems (a window handle on
// Windows, an endpoint number on POSIX).
using WindowHandle = plat::WindowHandle;

// Runs f and turns any exception into `fail`: no exception leaves the library.
template <typename R, typename F>
R Guarded(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return fail;
    }
}
template <typename F>
void GuardedVoid(F&& f) noexcept {
    try {
        f();
    } catch (...) {
    }
}

// A test that includes windows.h renames DispatchMessage; the member keeps
// its name whatever the order of includes.
#pragma push_macro("DispatchMessage")
#undef DispatchMessage
class CTarvikClient final : public ITarvikClient, private IRecordSink {
  public:
    explicit CTarvikClient(int32_t clientParameter);
    ~CTarvikClient();
    CTarvikClient(const CTarvikClient&) = delete;
    CTarvikClient& operator=(const CTarvikClient&) = delete;

    // The construction steps that can fail (memory for the registry records).
    bool Construct();

    // ---- ITarvikClient ------------------------------------------------------
    void SetUserData(int32_t value) override;
    void SetStateCallback(StateCallback callback) override;
    void SetDataCallback(DataCallback callback) override;
    bool ConnectRemote(int32_t port, const char* host, const char* backupHost,
                       int32_t backupPort) override;
    bool ConnectLocal() override;
    void Disconnect() override;
    bool GetServerFlag() override;
    bool IsLinkUp() override;
    int32_t GetState() override;
    void SetRequestTimeout(int32_t milliseconds) override;
    int32_t GetRequestTimeout() override;
    void SetHeartbeatInterval(int32_t milliseconds) override;
    int32_t GetHeartbeatInterval() override;
    void GetLastErrorText(char* buffer, int32_t size) override;

    int32_t GetPointCount() override;
    int32_t EnumPoints(int32_t count, int32_t* indexes, char* names, int32_t* aux,
                       int32_t* typeIds) override;
    int32_t GetTypeCount() override;
    int32_t EnumTypes(int32_t count, int32_t* typeIds, int32_t* fieldCounts) override;
    int32_t GetFieldCounts(int32_t count, const int32_t* typeIds, int32_t* fieldCounts) override;
    int32_t EnumFields(int32_t typeId, int32_t count, int32_t* fieldNos, int32_t* valueTypes,
                       char* names) override;
    int32_t GetFieldNosByName(int32_t typeId, int32_t count, const char* names,
                              int32_t* fieldNos) override;
    int32_t GetFieldNamesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                              char* names) override;
    int32_t GetFieldTypesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                              int32_t* valueTypes) override;
    int32_t GetPointIndexesByName(int32_t count, const char* names, int32_t* indexes) override;
    int32_t GetPointNamesByIndex(int32_t count, const int32_t* indexes, char* names) override;
    int32_t GetPointAuxByIndex(int32_t count, const int32_t* indexes, int32_t* aux) override;
    int32_t GetPointTypesByIndex(int32_t count, const int32_t* indexes, int32_t* typeIds) override;
    int32_t ResolveItemNames(int32_t count, const char* names, int32_t* indexes,
                             int32_t* fieldNos) override;
    int32_t FormatItemNames(int32_t count, const int32_t* indexes, const int32_t* fieldNos,
                            char* names) override;
    int32_t GetItemTypesByName(int32_t count, const char* names, int32_t* valueTypes) override;

    int32_t ReadValues(uint32_t count, const uint32_t* pointIndexes, const uint32_t* fieldNos,
                       VarValue* values) override;
    int32_t WriteValues(uint32_t count, const uint32_t* pointIndexes, const uint32_t* fieldNos,
                        const VarValue* values) override;
    int32_t ReadHistory(double start, double end, uint32_t samples, uint32_t count,
                        const uint32_t* pointIndexes, const uint32_t* fieldNos,
                        double* values) override;
    int32_t WriteHistory(uint32_t pointIndex, uint32_t fieldNo, uint32_t count, const double* times,
                         const uint16_t* statuses, const double* values) override;
    int32_t Advise(uint32_t count, const uint32_t* pointIndexes, const uint32_t* fieldNos,
                   const int32_t* userValues, int32_t* handles) override;
    int32_t Unadvise(uint32_t count, const int32_t* handles) override;
    int32_t UnadviseAll() override;

    int32_t GetAdviseItemCount() override;
    int32_t GetAdviseInfoByHandle(int32_t count, const int32_t* handles, int32_t* pointIndexes,
                                  int32_t* fieldNos, int32_t* userValues) override;
    int32_t EnumAdviseItems(int32_t count, int32_t* pointIndexes, int32_t* fieldNos) override;
    int32_t GetAdviseHandleCount() override;
    int32_t EnumAdviseHandles(int32_t count, int32_t* handles, int32_t* userValues) override;
    int32_t GetAdviseCounts(int32_t count, const int32_t* pointIndexes, const int32_t* fieldNos,
                            int32_t* counts) override;
    int32_t GetAdviseHandles(int32_t pointIndex, int32_t fieldNo, int32_t count, int32_t* handles,
                             int32_t* userValues) override;
    int32_t GetValuesByHandle(int32_t count, const int32_t* handles, VarValue* values) override;
    int32_t GetValuesByItem(int32_t count, const int32_t* pointIndexes, const int32_t* fieldNos,
                            VarValue* values) override;

    int32_t ReadHistoryRaw(double start, double end, uint32_t pointIndex, uint32_t fieldNo,
                           double** times, uint16_t** statuses, double** values) override;

    // ---- What the exports, the transports and the queries need -------------------
    // Destroying the client from inside one of its callbacks: the notification
    // thread frees the client once the callback has returned (true). False on
    // any other thread.
    bool DeferDestroy();
    // Bytes from a transport: appended to the receive stream and, while the
    // session runs, drained by the calling thread itself; the session thread
    // is woken only when it has something to do. False when the stream could
    // not take them.
    bool OnTransportBytes(const void* bytes, int32_t n);
    // The same for n bytes that `fill` writes into the room it is given (it
    // returns how many it wrote, at most n): a transport receives straight
    // into the assembler when it can. False when the bytes could not be taken
    // (for want of memory: a transport that can keep them tries again later).
    using TransportFill = int32_t (*)(void* context, uint8_t* dst, int32_t n);
    bool OnTransportFill(int32_t n, TransportFill fill, void* context);
    // The window thread's new window becomes the client's own, unless
    // ConnectLocal has given up waiting for it (then false).
    bool AdoptWindow(WindowHandle window);
    // Session flag queries (FLAGS_IS_READY, FLAGS_IS_LOGGED_IN).
    bool TestFlags(int32_t query);
    // Records the calling thread's last system error; returns its code.
    int32_t RecordError();
    // Records a failure the library found itself (code and text).
    void RecordErrorText(int32_t code, const char* text);

  private:
    // Tests reach the internals through this one accessor (tests/client_probe.h).
    friend struct ClientProbe;

    // ---- Connection control -----------------------------------------------------
    // Link mode set, session cleared, CONN_CLOSED stored: done before the
    // workers start, so their first pass sees it.
    void PrepareSession(LinkMode mode);
    template <typename F>
    bool GuardedConnect(F&& connect);
    // ConnectLocal found no window in time: the window thread is made to end
    // through its normal path (waited for up to 10 s, never forced).
    void GiveUpWindowThread(plat::Thread* thread);
    bool StartWorkers();
    void StopWorkers();
    // Starts one of the client's threads and stores it and its id under the
    // state lock; null (the error recorded) when it cannot be made.
    plat::Thread* StartThread(plat::ThreadProc proc, plat::Thread** thread, uint32_t* id);
    // Forgets a thread that has ended (its handle closed), under the state lock.
    void ForgetThread(plat::Thread** thread, uint32_t* id);
    void SetLinkMode(LinkMode mode);
    LinkMode GetLinkMode();
    void SetState(int32_t state);
    // Whether the caller runs on this client's notification thread (inside an
    // application callback).
    bool IsNotificationThread();
    // How every directory and subscription query starts (locked_query.h):
    // a linked session with the `needed` flags (a TestFlags query), then
    // `query` under one hold of the state lock.
    template <typename F>
    int32_t LockedQuery(int32_t needed, F&& query);
    // LockedQuery for a logged-in session, with the directory handed over.
    template <typename F>
    int32_t DirectoryQuery(F&& query);

    // ---- Notification queue ---------------------------------------------------
    // Queues a state change for the notification thread; 0 when the record
    // cannot be allocated.
    int32_t PostStateChange(int32_t state);
    void Post(PostState state);
    // Queues a data event (appended under the state lock, signalled after).
    void QueueNotify(NotifyEvent* event);

    // ---- Receive path --------------------------------------------------------
    // Moves everything in the receive stream through the assembler and
    // dispatches each complete message, unless another thread is doing so
    // (one drainer at a time keeps arrival order). Returns the number of
    // blocks drained, or -1 when another thread is draining.
    int32_t DrainReceiveStream();
    // The drainer's loop: takes the receive stream's bytes until it is empty
    // and assembles them. Only with the drain flag held.
    int32_t DrainHeld();
    // Fills a buffer of n bytes and appends what was filled to the receive
    // stream.
    bool AppendFilled(int32_t n, TransportFill fill, void* context);
    bool AssembleMessages(const uint8_t* bytes, int32_t n);
    void ResetAssembler();
    // The link is down: what its bytes left in the receive stream and the
    // assembler is dropped, so that a new link starts with both empty and a
    // half message of the old one is never joined to bytes of the new one.
    // Waits for a draining transport thread to finish first.
    void ForgetReceived();

    // ---- Send path and discovery ---------------------------------------------
    bool SendFrame(uint8_t* message, size_t size);
    // Sends a message whose reply the session then awaits, records the send
    // (done or failed) with the session, and frees the message.
    bool SendAwaitingReply(uint8_t* message, size_t size);
    bool SendLocal(uint8_t* message, size_t size);
    // Takes a failed link down and posts CONN_BROKEN: locally the server
    // window is forgotten; remotely a connection that still reports itself up
    // is closed.
    void DropLocalLink();
    void DropRemoteLink();
    // A null message sends a probe.
    bool SendRemote(const uint8_t* message, size_t size);
    bool FindServer();
    bool FindLocalServer();
    bool ReconnectRemote();
    WindowHandle LookupServerWindow(const char* name);
    // A pause that ends early when the watched run flag (0 notification,
    // 1 session) is cleared.
    void WaitWhileRunning(int32_t which, uint32_t milliseconds);

    // ---- Session ---------------------------------------------------------------
    void RunSession();
    void SendLogin();
    void CheckTimers();
    // Ends a reply wait that will get no reply: the mailbox is emptied and a
    // waiting request woken.
    void EndReplyWait();
    Registration RegisterSubscriptions();
    bool Logout();

    // ---- Request cycle ---------------------------------------------------------
    // Link up and session ready (the caller holds the request lock).
    bool BeginRequest();
    // How every request runs (request_cycle.h): no exception leaves
    // (`failure`), the request lock is held, and `body` runs only when the
    // request can begin; otherwise `failure`.
    template <typename F>
    int32_t InRequest(int32_t failure, F&& body);
    // Builds and sends one request with a fresh request id and sequence and
    // waits for its reply; true when a reply with this command, magic 1047
    // and the client's id arrived (its header and payload in *reply).
    bool Exchange(int16_t command, int16_t param, const uint8_t* payload, uint32_t payloadLength,
                  Reply* reply);
    // Sends the list of `count` items (all valid, or nothing is sent) in
    // `payload` (ItemListSize(count) bytes) and takes a reply that starts with
    // the same count.
    bool ExchangeItems(int16_t command, uint32_t count, const uint32_t* pointIndexes,
                       const uint32_t* fieldNos, const CBlock& payload, Reply* reply);
    // Writes the 32-byte item name "POINT.FIELD" of a valid item (state lock
    // held); false for an invalid item.
    bool WriteItemName(uint32_t pointIndex, uint32_t fieldNo, uint8_t* out);

    // ---- Reply dispatch ----------------------------------------------------------
    void DispatchMessage(const uint8_t* message, size_t length);
    bool HandleResubscribeReply(const uint8_t* payload, size_t payloadLength);
    void HandleHeartbeatData(const uint8_t* payload, size_t payloadLength);

    // ---- Notification thread and delivery ---------------------------------------
    void RunNotifications();
    void DeliverDataChange(const NotifyEvent& event);

    // ---- Thread entries ------------------------------------------------------------
    static uint32_t NotifyThreadProc(void* arg);
    static uint32_t SessionThreadProc(void* arg);
    static uint32_t WindowThreadProc(void* arg);
    uint32_t RunWindowThread();
    static void NETLINK_CALL NetDataCallback(INetLink* link, void* owner);
    static void NETLINK_CALL NetEventCallback(INetLink* link, void* owner);

    // IRecordSink: one complete record from the assembler.
    void HandleRecord(const uint8_t* record, int32_t totalLength) override;
    void StampActivity() override;

    // ---- Members -------------------------------------------------------------------
    // The state lock guards every scalar member, the notification queue, the
    // directory, the subscription table and the session.
    plat::CLock stateLock_;

    // Application: settings, callbacks, the last error.
    int32_t clientParameter_;
    int32_t userValue_ = 0;
    StateCallback stateCallback_ = nullptr;
    DataCallback dataCallback_ = nullptr;
    int32_t state_ = CONN_CLOSED;
    CLastError lastError_;

    // Link: the transport in use, the servers, the local windows.
    int32_t linkMode_ = MODE_NONE;
    CSharedRegistry registry_;
    WindowHandle serverWindow_ = 0;
    WindowHandle ownWindow_ = 0;
    // Set when ConnectLocal gives up waiting for the window thread's window
    // (cleared as it starts one): a window made after that is not kept.
    bool windowGivenUp_ = false;
    char primaryHost_[255] = {};
    int32_t primaryPort_ = 0;
    char backupHost_[255] = {};
    int32_t backupPort_ = 0;
    INetLink* netLink_ = nullptr;
    // Held across the writes of one remote send (taken alone, or before the
    // state lock), so that two threads' messages never mix on the wire when a
    // write comes up short and is retried.
    plat::CLock sendLock_;

    // Threads and their events.
    plat::Thread* windowThread_ = nullptr;
    uint32_t windowThreadId_ = 0;
    plat::Thread* notifyThread_ = nullptr;
    uint32_t notifyThreadId_ = 0;
    bool notifyRunning_ = true;
    plat::Thread* sessionThread_ = nullptr;
    uint32_t sessionThreadId_ = 0;
    bool sessionRunning_ = true;
    // Set while a connect creates the worker threads and stores their
    // handles. The notification thread calls the application only once it is
    // clear: a callback that stops or destroys its client must find every
    // thread's handle to join it.
    bool workersStarting_ = false;
    // Set by a transport thread that drained a probe it could not answer: it
    // runs inside the link's own handler, so the session thread drops the link.
    bool linkDropWanted_ = false;
    // Held by the one thread that drains the receive stream.
    std::atomic<bool> draining_{false};
    plat::CEvent* dataArrivedEvent_ = nullptr;
    plat::CEvent* notifyEvent_ = nullptr;
    // Set when the application destroys the client from inside one of its
    // callbacks: the notification thread frees the client when the callback
    // has returned.
    bool destroyPending_ = false;

    // Session: its state and rules, the receive stream and the assembler.
    CSession session_{stateLock_};
    CByteStream receiveStream_;
    CAssembler assembler_;

    // Directory, subscriptions and the notifications they make.
    CPointDirectory directory_;
    CSubscriptionTable advise_;
    int32_t handleCounter_ = 0;
    CNotifyQueue notifyQueue_;

    // Requests: serialised by the request lock (taken before the state lock),
    // their reply handed over through the mailbox and the reply event.
    plat::CLock requestLock_;
    CByteStream replyMailbox_;
    plat::CEvent* replyEvent_ = nullptr;
    // How long the last reply took to come, in microseconds (request lock).
    int64_t lastReplyMicros_ = 0;
};

#pragma pop_macro("DispatchMessage")

// The client behind an interface pointer handed out by TarvikCreateClient.
inline CTarvikClient* ClientOf(ITarvikClient* client) {
    return static_cast<CTarvikClient*>(client);
}

}  // namespace tarvik
