// Clients of the C API: creation and destruction, the callbacks, and waiting
// for the ready session.
//
// The library calls its callbacks with its own client pointer; the C API
// installs a wrapper of each on every client and calls the application's
// callbacks with the C API's client.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

#include "capi/capi_client.h"
#include "tarvik/tarvik.hpp"
#include "tarvik/tarvik_version.h"

namespace {

using Clock = std::chrono::steady_clock;

// The C API's client of each of the library's clients: the callbacks receive
// only the latter. Never destroyed, so that a callback running while the
// process exits still finds it.
std::mutex& RegistryMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::unordered_map<ITarvikClient*, tarvik_client*>& Registry() {
    static auto* map = new std::unordered_map<ITarvikClient*, tarvik_client*>;
    return *map;
}

tarvik_client* Lookup(ITarvikClient* iface) {
    try {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        const auto it = Registry().find(iface);
        return it == Registry().end() ? nullptr : it->second;
    } catch (...) {
        return nullptr;
    }
}

void Forget(ITarvikClient* iface) {
    try {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().erase(iface);
    } catch (...) {
    }
}

// The client whose callback this thread is running, if any: tarvik_destroy
// of that client must leave the object to the callback's wrapper.
thread_local tarvik_client* t_inCallback = nullptr;

class CallbackScope {
  public:
    explicit CallbackScope(tarvik_client* client) : client_(client), saved_(t_inCallback) {
        t_inCallback = client;
    }
    ~CallbackScope() {
        t_inCallback = saved_;
        if (client_->destroyPending) {
            delete client_;
        }
    }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

  private:
    tarvik_client* client_;
    tarvik_client* saved_;
};

// Runs call(client) for the C client behind `iface`, inside its callback
// scope; an exception from a C++ application stops here, outside the library.
template <typename Call>
void Deliver(ITarvikClient* iface, Call&& call) {
    tarvik_client* client = Lookup(iface);
    if (client == nullptr) {
        return;
    }
    CallbackScope scope(client);
    try {
        call(client);
    } catch (...) {
    }
}

void TARVIK_CALL OnState(ITarvikClient* iface, TarvikUserData userData, int32_t newState) {
    Deliver(iface, [&](tarvik_client* client) {
        if (tarvik_state_callback callback = client->stateCallback.load()) {
            callback(client, userData, newState);
        }
    });
}

void TARVIK_CALL OnData(ITarvikClient* iface, TarvikUserData userData, int32_t count,
                        const int32_t* handles, const int32_t* userValues, const VarValue* values) {
    Deliver(iface, [&](tarvik_client* client) {
        if (tarvik_data_callback callback = client->dataCallback.load()) {
            callback(client, userData, count, handles, userValues, values);
        }
    });
}

}  // namespace

extern "C" {

TARVIK_C_API tarvik_client* TARVIK_C_CALL tarvik_create(int32_t clientParameter) {
    ITarvikClient* iface = TarvikCreateClient(clientParameter);
    if (iface == nullptr) {
        return nullptr;
    }
    tarvik_client* client = new (std::nothrow) tarvik_client(iface);
    if (client == nullptr) {
        TarvikDestroyClient(iface);
        return nullptr;
    }
    try {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry()[iface] = client;
    } catch (...) {
        delete client;
        TarvikDestroyClient(iface);
        return nullptr;
    }
    iface->SetStateCallback(&OnState);
    iface->SetDataCallback(&OnData);
    return client;
}

TARVIK_C_API void TARVIK_C_CALL tarvik_destroy(tarvik_client* client) {
    if (client == nullptr) {
        return;
    }
    ITarvikClient* iface = client->iface;
    const bool fromOwnCallback = t_inCallback == client;
    // Stops every thread of the client (from one of its own callbacks the
    // library finishes that once the callback has returned).
    TarvikDestroyClient(iface);
    Forget(iface);
    if (fromOwnCallback) {
        client->destroyPending = true;  // the callback's scope frees it
        return;
    }
    delete client;
}

TARVIK_C_API void* TARVIK_C_CALL tarvik_alloc(int32_t n) {
    return TarvikAlloc(n);
}

TARVIK_C_API void TARVIK_C_CALL tarvik_free(void* block) {
    TarvikFree(block);
}

TARVIK_C_API const char* TARVIK_C_CALL tarvik_version(void) {
    return TARVIK_VERSION_STRING;
}

TARVIK_C_API const char* TARVIK_C_CALL tarvik_state_name(int32_t state) {
    return tarvik::stateName(state);
}

TARVIK_C_API void TARVIK_C_CALL tarvik_set_state_callback(tarvik_client* client,
                                                          tarvik_state_callback callback) {
    if (client != nullptr) {
        client->stateCallback.store(callback);
    }
}

TARVIK_C_API void TARVIK_C_CALL tarvik_set_data_callback(tarvik_client* client,
                                                         tarvik_data_callback callback) {
    if (client != nullptr) {
        client->dataCallback.store(callback);
    }
}

TARVIK_C_API bool TARVIK_C_CALL tarvik_wait_ready(tarvik_client* client, int32_t timeoutMs) {
    if (client == nullptr) {
        return false;
    }
    // GetState is the state: it reports CONN_READY once the state callback
    // (the application's, if any) has returned, so that every operation the
    // caller makes next sees the ready session. Asked every two milliseconds.
    constexpr auto kPoll = std::chrono::milliseconds(2);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        if (client->iface->GetState() == CONN_READY) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kPoll, deadline - now));
    }
}

}  // extern "C"
