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
//   session/session_thread.cpp the session thread, timers, logout, counters
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
#include "tarvik/tarvik.h"

namespace tarvik {

struct Reply;

// Which transport is in use.
enum LinkMode : int32_t { MODE_NONE = 0, MODE_LOCAL = 1, MODE_REMOTE = 2 };

// Session flags; the session is ready when all three are set.
enum : uint8_t { SF_LOGGED_IN = 1, SF_INIT_DONE = 2, SF_INIT_OK = 4, SF_READY = 7 };

// ChangeFlags operations and TestFlags queries.
enum : int32_t {
    FLAGS_CLEAR_ALL = 1,
    FLAGS_SET_LOGGED_IN = 4,
    FLAGS_CLEAR_INIT_DONE = 6,
    FLAGS_SET_INIT_DONE = 7,
    FLAGS_CLEAR_INIT_OK = 9,
    FLAGS_SET_INIT_OK = 10,
};
enum : int32_t {
    FLAGS_IS_READY = 0,
    FLAGS_IS_LOGGED_IN = 2,
    FLAGS_IS_INIT_DONE = 5,
    FLAGS_IS_INIT_OK = 8,
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

    // ---- Connection control (internal) ---------------------------------------
    // Link mode set, session flags cleared, CONN_CLOSED stored, no reply
    // awaited: done before the workers start, so their first pass sees it.
    void PrepareSession(LinkMode mode);
    template <typename F>
    bool GuardedConnect(F&& connect);
    // ConnectLocal found no window in time: the window thread is made to end
    // through its normal path (waited for up to 10 s, never forced).
    void GiveUpWindowThread(plat::Thread* thread);
    bool StartWorkers();
    void StopWorkers();
    void ChangeFlags(int32_t op);
    bool TestFlags(int32_t query);
    void SetLinkMode(LinkMode mode);
    LinkMode GetLinkMode();
    void SetState(int32_t state);
    void SetAwaitingReply(bool awaiting);
    bool GetAwaitingReply();
    void SetClientId(int16_t id);
    int16_t GetClientId();
    // Records the calling thread's last system error; returns its code.
    int32_t RecordError();
    // Records a failure the library found itself (code and text).
    void RecordErrorText(int32_t code, const char* text);
    // Whether the caller runs on this client's notification thread (inside an
    // application callback).
    bool IsNotificationThread();

    // ---- Notification queue ---------------------------------------------------
    // Queues a state change for the notification thread; 0 when the record
    // cannot be allocated.
    int32_t PostStateChange(int32_t state);
    // Queues a data event (appended under the state lock, signalled after).
    void QueueNotify(NotifyEvent* event);

    // ---- Receive path --------------------------------------------------------
    // Moves everything in the receive stream through the assembler and
    // dispatches each complete message, unless another thread is doing so
    // (one drainer at a time keeps arrival order). Returns the number of
    // records handled, or -1 when another thread is draining.
    int32_t DrainReceiveStream();
    bool AssembleMessages(const uint8_t* bytes, int32_t n);
    void ResetAssembler();
    // Bytes from a transport: appended to the receive stream and, while the
    // session runs, drained by the calling thread itself; the session thread
    // is woken only when it has something to do.
    void OnTransportBytes(const void* bytes, int32_t n);
    // After bytes were appended to the receive stream by a transport thread.
    void DrainOnArrival();
    // Whether the session thread should run a pass now: the registration is
    // next, a heartbeat falls due before it means to look again, or a link
    // drop was asked for.
    bool SessionWantsPass();

    // ---- Send path and discovery ---------------------------------------------
    bool SendFrame(uint8_t* message, size_t size);
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
    // How long the loop may wait before a timer or a step is due (1 to
    // 100 ms); records when it means to look again.
    int32_t NextWaitMs();
    // Whether the registration is the next step (logged in, not yet
    // registered, no reply awaited).
    bool RegistrationDue();
    // Ends a reply wait that will get no reply: the mailbox is emptied, a
    // waiting request woken, the awaiting-reply flag cleared.
    void EndReplyWait();
    int32_t RegisterSubscriptions();
    bool Logout();
    int32_t NextSequence(bool advance);
    int32_t NextRequestId(bool advance);
    int32_t CountTimeout(bool reset);
    int32_t NextHandle();

    // ---- Request cycle ---------------------------------------------------------
    // Link up and session ready (the caller holds the request lock).
    bool BeginRequest();
    // Builds and sends one request with a fresh request id and sequence and
    // waits for its reply; true when a reply with this command, magic 1047
    // and the client's id arrived (its header and payload in *reply).
    bool Exchange(int16_t command, int16_t param, const uint8_t* payload, uint32_t payloadLength,
                  Reply* reply);

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
    static void NETLINK_CALL NetDataCallback(INetLink* link, void* owner);
    static void NETLINK_CALL NetEventCallback(INetLink* link, void* owner);

    // ---- Members, in declaration order -------------------------------------------
    int32_t userValue_ = 0;
    StateCallback stateCallback_ = nullptr;
    DataCallback dataCallback_ = nullptr;
    int32_t clientParameter_;
    int32_t linkMode_ = MODE_NONE;
    int32_t state_ = CONN_CLOSED;
    uint8_t sessionFlags_ = 0;
    plat::CEvent* dataArrivedEvent_ = nullptr;
    plat::CEvent* notifyEvent_ = nullptr;
    int32_t sequence_ = 0;
    int32_t requestId_ = 1;
    int32_t handleCounter_ = 0;
    int32_t timeoutCounter_ = 0;
    bool awaitingReply_ = false;
    bool heartbeatAnswered_ = false;
    bool serverFlag_ = false;
    // The server has accepted a message of this session on the current link
    // (cleared whenever a link is made): only then may an empty subscription
    // table make the session ready without a word from the server.
    bool linkConfirmed_ = false;
    CSharedRegistry registry_;
    plat::Thread* windowThread_ = nullptr;
    uint32_t windowThreadId_ = 0;
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
    plat::Thread* notifyThread_ = nullptr;
    uint32_t notifyThreadId_ = 0;
    bool notifyRunning_ = true;
    plat::Thread* sessionThread_ = nullptr;
    uint32_t sessionThreadId_ = 0;
    bool sessionRunning_ = true;
    // Set (under the state lock) by a drainer that is not the session thread
    // when the link must go down; the session thread drops it.
    bool linkDropWanted_ = false;
    // The tick at which the session thread means to look again.
    uint32_t sessionWakeAt_ = 0;
    // Held by the one thread that drains the receive stream.
    std::atomic<bool> draining_{false};
    int32_t replyTimeout_ = 10000;
    int32_t heartbeatInterval_ = 500;
    uint32_t lastSendTime_ = 0;
    uint32_t heartbeatTime_ = 0;
    CLastError lastError_;
    plat::CLock stateLock_;
    plat::CLock requestLock_;
    CByteStream receiveStream_;
    CByteStream replyMailbox_;
    plat::CEvent* replyEvent_ = nullptr;
    CNotifyQueue notifyQueue_;
    CPointDirectory directory_;
    CSubscriptionTable advise_;
    CAssembler assembler_;
    int16_t clientId_ = 0;
    // Set when the application destroys the client from inside one of its
    // callbacks: the notification thread frees the client when the callback
    // has returned.
    bool destroyPending_ = false;
    // Held across the writes of one remote send (taken alone, or before the
    // state lock), so that two threads' messages never mix on the wire when a
    // write comes up short and is retried.
    plat::CLock sendLock_;

  private:
    // IRecordSink: one complete record from the assembler.
    void HandleRecord(const uint8_t* record, int32_t totalLength) override;
    void StampActivity() override;
};

// The client behind an interface pointer handed out by TarvikCreateClient.
inline CTarvikClient* ClientOf(ITarvikClient* client) {
    return static_cast<CTarvikClient*>(client);
}

}  // namespace tarvik
