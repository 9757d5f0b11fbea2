// Connection control: connecting and disconnecting, the worker threads' start
// and stop, the link mode and the small shared state.
#include <cstring>

#include "client/client.h"
#include "client/window_transport.h"

namespace tarvik {
namespace {

constexpr int32_t kStopWaitMs = 30000;
constexpr int32_t kTerminateWaitMs = 10000;
constexpr int32_t kQuitRetryMs = 50;
// ConnectLocal waits up to 10 s for the window thread's window, looking every
// few milliseconds so that a connect returns as soon as the window exists.
constexpr int32_t kWindowPollMs = 5;

// Copies a host text: at most 254 characters, always terminated, the rest of
// the 255 bytes zero.
void CopyHost(char (&dst)[255], const char* src) {
    std::memset(dst, 0, sizeof dst);
    if (src != nullptr) {
        size_t n = 0;
        while (n < sizeof dst - 1 && src[n] != '\0') {
            ++n;
        }
        std::memcpy(dst, src, n);
    }
}

// Waits for a worker thread to end; a thread that does not end in time is
// reported with `message` and ended by force where the system can do that
// safely. Where it cannot (POSIX), the wait goes on: freeing what a running
// thread uses would be worse than waiting.
void StopThread(plat::Thread*& thread, const char* message) {
    if (!plat::ThreadWait(thread, kStopWaitMs)) {
        plat::DebugOutput(message);
        if (plat::ThreadTerminate(thread, 0)) {
            plat::ThreadWait(thread, kTerminateWaitMs);
        } else if (!plat::ThreadWait(thread, kTerminateWaitMs)) {
            plat::ThreadWait(thread, -1);
        }
    }
    plat::ThreadClose(thread);
    thread = nullptr;
}

}  // namespace

// ---- Connect ------------------------------------------------------------------

// Runs a connect; one that fails by an exception (memory short) says so.
template <typename F>
bool CTarvikClient::GuardedConnect(F&& connect) {
    try {
        return connect();
    } catch (...) {
        GuardedVoid(
            [&] { RecordErrorText(kErrorNotEnoughMemory, "not enough memory to connect"); });
        return false;
    }
}

// A callback runs on the notification thread, which a connect would have to
// stop and start again: it would stop itself and never call back again.
constexpr const char* kConnectInCallback =
    "connect called from inside a callback of this client: refused";

bool CTarvikClient::ConnectLocal() {
    return GuardedConnect([&] {
        if (IsNotificationThread()) {
            RecordErrorText(kErrorInvalidOperation, kConnectInCallback);
            return false;
        }
        Disconnect();
        {
            plat::CLockHold hold(stateLock_);
            windowGivenUp_ = false;
        }
        plat::Thread* thread =
            StartThread(&CTarvikClient::WindowThreadProc, &windowThread_, &windowThreadId_);
        if (thread == nullptr) {
            return false;
        }
        bool haveWindow = false;
        const int32_t polls = WindowWaitMs() / kWindowPollMs;
        for (int32_t poll = 0; poll < polls && !haveWindow; ++poll) {
            plat::SleepMs(kWindowPollMs);
            uint32_t code = 0;
            if (plat::ThreadExitCode(thread, &code) && code != plat::kStillActive) {
                // The thread ended without a window; the next Disconnect
                // closes its handle.
                return false;
            }
            plat::CLockHold hold(stateLock_);
            haveWindow = ownWindow_ != 0;
        }
        if (!haveWindow) {
            GiveUpWindowThread(thread);
            return false;
        }
        // The session thread must find the new link mode and a clean session
        // when it first runs, so all of it is set before the threads start.
        PrepareSession(MODE_LOCAL);
        if (!StartWorkers()) {
            SetLinkMode(MODE_NONE);
            return false;
        }
        return true;
    });
}

bool CTarvikClient::ConnectRemote(int32_t port, const char* host, const char* backupHost,
                                  int32_t backupPort) {
    return GuardedConnect([&] {
        if (IsNotificationThread()) {
            RecordErrorText(kErrorInvalidOperation, kConnectInCallback);
            return false;
        }
        Disconnect();
        INetLink* link = CreateNetLink();
        if (link == nullptr) {
            RecordErrorText(kErrorNotEnoughMemory, "no memory for the network connection object");
            return false;
        }
        link->SetOwner(this);
        link->SetReceiveHandler(&CTarvikClient::NetDataCallback);
        link->SetEventHandler(&CTarvikClient::NetEventCallback);
        {
            plat::CLockHold hold(stateLock_);
            netLink_ = link;
            CopyHost(primaryHost_, host);
            primaryPort_ = port;
            if (backupHost != nullptr) {
                CopyHost(backupHost_, backupHost);
            } else {
                std::memset(backupHost_, 0, sizeof backupHost_);
            }
            backupPort_ = backupPort;
        }
        PrepareSession(MODE_REMOTE);
        if (!StartWorkers()) {
            SetLinkMode(MODE_NONE);
            return false;
        }
        return true;
    });
}

void CTarvikClient::GiveUpWindowThread(plat::Thread* thread) {
    // A slow window thread goes on and makes its window after all: from now
    // on it destroys such a window itself and ends. One made between the
    // last look and now gets the quit message, as at a disconnect. Nothing
    // is forced, so no window or registry entry is left behind.
    WindowHandle late = 0;
    {
        plat::CLockHold hold(stateLock_);
        windowGivenUp_ = true;
        late = ownWindow_;
        ownWindow_ = 0;
    }
    if (late != 0 && !plat::WindowPostMessage(late, WM_TARVIK_QUIT, 0, 0)) {
        plat::CLockHold hold(stateLock_);
        ownWindow_ = late;  // the next Disconnect posts it again
    }
    RecordErrorText(kErrorTimeout, "the window thread made no window in time");
    if (plat::ThreadWait(thread, kTerminateWaitMs)) {
        plat::ThreadClose(thread);
        ForgetThread(&windowThread_, &windowThreadId_);
    }
    // Otherwise the handle stays: the next Disconnect collects the thread,
    // which ends as soon as its window exists.
}

void CTarvikClient::PrepareSession(LinkMode mode) {
    plat::CLockHold hold(stateLock_);
    linkMode_ = mode;
    state_ = CONN_CLOSED;
    session_.Prepare();
}

// ---- Workers ---------------------------------------------------------------------

bool CTarvikClient::StartWorkers() {
    bool needNotify = false;
    bool needSession = false;
    {
        plat::CLockHold hold(stateLock_);
        needNotify = notifyThread_ == nullptr;
        needSession = sessionThread_ == nullptr;
        // The run flags are set before the threads exist, so that a stop
        // right after a start is never lost.
        if (needNotify) {
            notifyRunning_ = true;
        }
        if (needSession) {
            sessionRunning_ = true;
        }
        workersStarting_ = true;
    }
    const bool started =
        (!needNotify || StartThread(&CTarvikClient::NotifyThreadProc, &notifyThread_,
                                    &notifyThreadId_) != nullptr) &&
        (!needSession || StartThread(&CTarvikClient::SessionThreadProc, &sessionThread_,
                                     &sessionThreadId_) != nullptr);
    plat::CLockHold hold(stateLock_);
    workersStarting_ = false;
    // Signalled under the lock: once the notification thread can see the
    // flag clear, a callback may destroy the client, event included.
    notifyEvent_->Set();
    return started;
}

plat::Thread* CTarvikClient::StartThread(plat::ThreadProc proc, plat::Thread** thread,
                                         uint32_t* id) {
    uint32_t threadId = 0;
    plat::Thread* made = plat::ThreadCreate(proc, this, &threadId);
    if (made == nullptr) {
        RecordError();
        return nullptr;
    }
    plat::CLockHold hold(stateLock_);
    *thread = made;
    *id = threadId;
    return made;
}

void CTarvikClient::ForgetThread(plat::Thread** thread, uint32_t* id) {
    plat::CLockHold hold(stateLock_);
    *thread = nullptr;
    *id = 0;
}

void CTarvikClient::StopWorkers() {
    SetLinkMode(MODE_NONE);
    session_.Stopped();
    SetState(CONN_CLOSED);

    const bool onNotifyThread = IsNotificationThread();
    plat::Thread* notify = nullptr;
    {
        plat::CLockHold hold(stateLock_);
        // Stored again together with the cleared run flag: the notification
        // thread stores a delivered state only while the flag is set, so no
        // state from a callback still running can replace CONN_CLOSED.
        state_ = CONN_CLOSED;
        notifyRunning_ = false;
        // A stop asked for from inside an application callback cannot wait
        // for the thread it runs on: that thread ends when the callback
        // returns, and the next stop from another thread collects it.
        if (!onNotifyThread) {
            notify = notifyThread_;
        }
    }
    if (notify != nullptr) {
        notifyEvent_->Set();
        StopThread(notify, "Tarvik Client Close Deal TimeOut\r\n");
        ForgetThread(&notifyThread_, &notifyThreadId_);
    }

    plat::Thread* session = nullptr;
    INetLink* link = nullptr;
    {
        plat::CLockHold hold(stateLock_);
        session = sessionThread_;
        link = netLink_;
        sessionRunning_ = false;
    }
    if (session != nullptr) {
        if (link != nullptr) {
            link->Shutdown();
        }
        dataArrivedEvent_->Set();
        StopThread(session, "Tarvik Client Close Read TimeOut\r\n");
        ForgetThread(&sessionThread_, &sessionThreadId_);
    }
}

bool CTarvikClient::IsNotificationThread() {
    plat::CLockHold hold(stateLock_);
    return notifyThread_ != nullptr && notifyThreadId_ == plat::CurrentThreadId();
}

// ---- Disconnect ---------------------------------------------------------------------

void CTarvikClient::Disconnect() {
    GuardedVoid([&] {
        Logout();
        StopWorkers();
        // A request still waiting for its reply wakes now (it finds no reply)
        // instead of after its ten-fold wait: no session thread will end it.
        replyEvent_->Set();

        WindowHandle own = 0;
        plat::Thread* windowThread = nullptr;
        {
            plat::CLockHold hold(stateLock_);
            own = ownWindow_;
            ownWindow_ = 0;
            serverWindow_ = 0;
            windowThread = windowThread_;
        }
        bool posted = own == 0 || plat::WindowPostMessage(own, WM_TARVIK_QUIT, 0, 0);
        if (windowThread != nullptr) {
            // A quit message that could not be posted (a full queue, for a
            // moment) is posted again while the thread is waited for: a
            // thread that never gets it never ends.
            for (int32_t waited = 0; !posted && waited < kStopWaitMs; waited += kQuitRetryMs) {
                if (plat::ThreadWait(windowThread, kQuitRetryMs)) {
                    break;
                }
                posted = plat::WindowPostMessage(own, WM_TARVIK_QUIT, 0, 0);
            }
            StopThread(windowThread, "Tarvik Client Close Msg TimeOut\r\n");
            ForgetThread(&windowThread_, &windowThreadId_);
        }

        {
            // Under the request lock no request is inside the send path, which
            // uses the network object outside the state lock.
            plat::CLockHold request(requestLock_);
            INetLink* link = nullptr;
            {
                plat::CLockHold hold(stateLock_);
                link = netLink_;
                netLink_ = nullptr;
            }
            if (link != nullptr) {
                link->Close();
                DestroyNetLink(link);
            }
        }

        {
            plat::CLockHold hold(stateLock_);
            notifyQueue_.FreeAll();
        }
        // The assembler belongs to the session thread; when a stop could not
        // collect that thread it is still reset, since the thread has left
        // its loop by the time StopThread returns.
        ResetAssembler();
        {
            plat::CLockHold hold(stateLock_);
            advise_.ClearValues();
        }
        receiveStream_.Clear();
    });
}

// ---- Link state ------------------------------------------------------------------------

bool CTarvikClient::IsLinkUp() {
    return Guarded(false, [&] {
        plat::CLockHold hold(stateLock_);
        switch (linkMode_) {
            case MODE_LOCAL:
                return serverWindow_ != 0 && plat::WindowIsWindow(serverWindow_);
            case MODE_REMOTE:
                return netLink_ != nullptr && netLink_->IsConnected();
            default:
                return false;
        }
    });
}

bool CTarvikClient::TestFlags(int32_t query) {
    switch (query) {
        case FLAGS_IS_READY:
            return session_.IsReady();
        case FLAGS_IS_LOGGED_IN:
            return session_.IsLoggedIn();
        default:
            return false;
    }
}

bool CTarvikClient::DeferDestroy() {
    if (!IsNotificationThread()) {
        return false;
    }
    plat::CLockHold hold(stateLock_);
    destroyPending_ = true;
    return true;
}

bool CTarvikClient::AdoptWindow(WindowHandle window) {
    plat::CLockHold hold(stateLock_);
    if (windowGivenUp_) {
        return false;
    }
    ownWindow_ = window;
    return true;
}

void CTarvikClient::SetLinkMode(LinkMode mode) {
    plat::LockedSet(stateLock_, linkMode_, mode);
}

LinkMode CTarvikClient::GetLinkMode() {
    return static_cast<LinkMode>(plat::LockedGet(stateLock_, linkMode_));
}

}  // namespace tarvik
