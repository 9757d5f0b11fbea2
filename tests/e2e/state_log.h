// What the tests that drive whole sessions share: the client's settings,
// waiting with deadlines, and StateLog, the client's callbacks recorded (every
// state in order, the number of data callbacks and whether each value handed
// over was a valid VarValue). The client's user data names the log in a
// process-wide table, so a log outlives nothing it does not own.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "checks.h"
#include "tarvik/tarvik.h"
#include "wait_until.h"

namespace tarvik {
namespace testlog {

using Clock = std::chrono::steady_clock;

// Short enough that a test sees reply timeouts and missed heartbeats well
// within its time limit.
constexpr int32_t kReplyTimeoutMs = 300;
constexpr int32_t kHeartbeatMs = 50;

inline Clock::time_point After(int milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

inline int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

using testwait::WaitUntil;

// Frees the text a client handed over and leaves the value empty.
inline void FreeVar(VarValue* v) {
    if (v->tag == VAL_STRING) {
        TarvikFree(v->u.strVal);
    }
    std::memset(v, 0, sizeof *v);
}

struct ClientDeleter {
    void operator()(ITarvikClient* c) const { TarvikDestroyClient(c); }
};
using ClientPtr = std::unique_ptr<ITarvikClient, ClientDeleter>;

class StateLog {
  public:
    // Runs inside the state callback, after the state was recorded.
    using Hook = std::function<void(ITarvikClient*, int32_t)>;
    // Runs inside the data callback with its arguments, before the call is
    // counted (so that a waiter on the count finds what the hook kept).
    using DataHook = std::function<void(int32_t count, const int32_t* handles,
                                        const int32_t* userValues, const VarValue* values)>;

    StateLog() {
        std::lock_guard<std::mutex> lock(TableMutex());
        id_ = ++NextId();
        Table()[id_] = this;
    }
    ~StateLog() {
        std::lock_guard<std::mutex> lock(TableMutex());
        Table().erase(id_);
    }
    StateLog(const StateLog&) = delete;
    StateLog& operator=(const StateLog&) = delete;

    void Attach(ITarvikClient* client) {
        client->SetUserData(id_);
        client->SetStateCallback(&OnState);
        client->SetDataCallback(&OnData);
    }
    void SetHook(Hook hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }
    void SetDataHook(DataHook hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        dataHook_ = std::move(hook);
    }
    // While held, every state callback records its state and then waits
    // (inside the callback) until the hold is released.
    void Hold(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = on;
        changed_.notify_all();
    }
    bool WaitUntilHeld(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return inHold_; });
    }

    size_t Mark() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_.size();
    }
    std::vector<int32_t> States(size_t from = 0) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::vector<int32_t>(states_.begin() + static_cast<std::ptrdiff_t>(from),
                                    states_.end());
    }
    size_t Count(int32_t state, size_t from = 0) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (size_t i = from; i < states_.size(); ++i) {
            n += states_[i] == state ? 1 : 0;
        }
        return n;
    }
    // Waits for `state` at a position >= from.
    bool WaitForState(int32_t state, Clock::time_point deadline, size_t from = 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] {
            return std::find(states_.begin() + static_cast<std::ptrdiff_t>(from), states_.end(),
                             state) != states_.end();
        });
    }
    // Waits until `count` states of `state` were recorded from `from` on.
    bool WaitForCount(int32_t state, size_t count, Clock::time_point deadline, size_t from = 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] {
            return static_cast<size_t>(
                       std::count(states_.begin() + static_cast<std::ptrdiff_t>(from),
                                  states_.end(), state)) >= count;
        });
    }
    size_t DataCalls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dataCalls_;
    }
    bool WaitForData(size_t count, Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return dataCalls_ >= count; });
    }
    // States outside the CONN_ set, and values that were not valid VarValues.
    size_t Invalid() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return invalid_;
    }

  private:
    static std::mutex& TableMutex() {
        static std::mutex m;
        return m;
    }
    static std::map<int32_t, StateLog*>& Table() {
        static std::map<int32_t, StateLog*> t;
        return t;
    }
    static int32_t& NextId() {
        static int32_t id = 0;
        return id;
    }
    static StateLog* Find(TarvikUserData user) {
        std::lock_guard<std::mutex> lock(TableMutex());
        auto it = Table().find(static_cast<int32_t>(user));
        return it == Table().end() ? nullptr : it->second;
    }
    static void TARVIK_CALL OnState(ITarvikClient* client, TarvikUserData user, int32_t state) {
        StateLog* self = Find(user);
        if (self == nullptr) {
            return;
        }
        Hook hook;
        {
            std::unique_lock<std::mutex> lock(self->mutex_);
            self->states_.push_back(state);
            if (state < CONN_READY || state > CONN_REJECTED) {
                ++self->invalid_;
            }
            self->changed_.notify_all();
            if (self->hold_) {
                self->inHold_ = true;
                self->changed_.notify_all();
                self->changed_.wait(lock, [&] { return !self->hold_; });
                self->inHold_ = false;
            }
            hook = self->hook_;
        }
        if (hook) {
            hook(client, state);
        }
    }

    static void TARVIK_CALL OnData(ITarvikClient*, TarvikUserData user, int32_t count,
                                   const int32_t* handles, const int32_t* userValues,
                                   const VarValue* values) {
        StateLog* self = Find(user);
        if (self == nullptr) {
            return;
        }
        const bool usable =
            count >= 0 &&
            (count == 0 || (handles != nullptr && userValues != nullptr && values != nullptr));
        size_t bad = usable ? 0 : 1;
        for (int32_t i = 0; bad == 0 && i < count; ++i) {
            bad += checks::ValidValue(values[i]) ? 0 : 1;
        }
        DataHook hook;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            hook = self->dataHook_;
        }
        if (hook && usable) {
            hook(count, handles, userValues, values);
        }
        // Notified under the lock: a waiter that sees the count knows this
        // call has left the log (a callback may have destroyed its client).
        std::lock_guard<std::mutex> lock(self->mutex_);
        ++self->dataCalls_;
        self->invalid_ += bad;
        self->changed_.notify_all();
    }

    int32_t id_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int32_t> states_;
    size_t dataCalls_ = 0;
    size_t invalid_ = 0;
    bool hold_ = false;
    bool inHold_ = false;
    Hook hook_;
    DataHook dataHook_;
};

}  // namespace testlog
}  // namespace tarvik
