// The notification queue and the notification thread: the only thread that
// calls the application.
#include "client/allocator.h"
#include "client/client.h"

namespace tarvik {
namespace {
constexpr int32_t kNotifyWaitMs = 100;
}

int32_t CTarvikClient::PostStateChange(int32_t state) {
    NotifyEvent* event = NotifyEventCreate();
    if (event == nullptr) {
        return 0;  // the change is never reported
    }
    event->type = NOTIFY_STATE;
    event->count = state;
    QueueNotify(event);
    return 1;
}

void CTarvikClient::Post(PostState state) {
    if (state) {
        PostStateChange(*state);
    }
}

void CTarvikClient::QueueNotify(NotifyEvent* event) {
    {
        plat::CLockHold hold(stateLock_);
        notifyQueue_.Push(event);
    }
    notifyEvent_->Set();
}

uint32_t CTarvikClient::NotifyThreadProc(void* arg) {
    auto* client = static_cast<CTarvikClient*>(arg);
    client->RunNotifications();
    bool destroy = false;
    plat::Thread* self = nullptr;
    {
        plat::CLockHold hold(client->stateLock_);
        destroy = client->destroyPending_;
        if (destroy) {
            self = client->notifyThread_;
            client->notifyThread_ = nullptr;
        }
    }
    if (destroy) {
        // The application destroyed the client from inside a callback; the
        // rest of the stop ran then, and the client goes now that no callback
        // of it runs any more.
        plat::ThreadClose(self);
        client->~CTarvikClient();
        MemFree(client);
    }
    return 1;
}

void CTarvikClient::RunNotifications() {
    for (;;) {
        NotifyEvent* event = nullptr;
        {
            plat::CLockHold hold(stateLock_);
            if (!notifyRunning_ || destroyPending_) {
                return;
            }
            // Nothing is delivered while a connect is still storing the
            // workers' handles (it signals when done).
            if (!workersStarting_) {
                event = notifyQueue_.Pop();
            }
        }
        if (event == nullptr) {
            notifyEvent_->Wait(kNotifyWaitMs);  // auto-reset: a signal is consumed
            continue;
        }
        if (event->type == NOTIFY_STATE) {
            StateCallback callback = nullptr;
            TarvikUserData user = 0;
            {
                plat::CLockHold hold(stateLock_);
                callback = stateCallback_;
                user = static_cast<TarvikUserData>(userValue_);
            }
            const int32_t stored = GetState();
            if (event->count != stored) {
                if (callback != nullptr) {
                    callback(this, user, event->count);
                }
                // Stored only after the callback: during it, GetState still
                // reports the previous state. A stop that came meanwhile (from
                // another thread, or from the callback itself) has stored
                // CONN_CLOSED, which must stay.
                plat::CLockHold hold(stateLock_);
                if (notifyRunning_ && !destroyPending_) {
                    state_ = event->count;
                }
            }
        } else if (event->type == NOTIFY_DATA) {
            DeliverDataChange(*event);
        }
        NotifyEventFree(event);
    }
}

}  // namespace tarvik
