// The C API's client: the library's client and what the C API keeps beside it
// (the application's callbacks, which it calls with the C API's own client
// pointer, and what tarvik_wait_ready waits for).
#ifndef TARVIK_CAPI_CAPI_CLIENT_H
#define TARVIK_CAPI_CAPI_CLIENT_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "tarvik/tarvik.h"
#include "tarvik/tarvik_c.h"

struct tarvik_client {
    explicit tarvik_client(ITarvikClient* c) : iface(c) {}

    ITarvikClient* const iface;
    std::atomic<tarvik_state_callback> stateCallback{nullptr};
    std::atomic<tarvik_data_callback> dataCallback{nullptr};

    // Whether the last state the notification thread delivered is
    // CONN_READY. Cleared when a connect or a disconnect ends the session
    // (those change the state without a callback).
    std::mutex readyMutex;
    std::condition_variable readyChanged;
    bool readySeen = false;

    // Set (on the notification thread) by tarvik_destroy called from one of
    // this client's callbacks: the callback's wrapper frees the object.
    bool destroyPending = false;
};

namespace tarvik {
namespace capi {

// Forgets what tarvik_wait_ready saw: the session it belonged to is gone.
void ClearReady(tarvik_client* client);

}  // namespace capi
}  // namespace tarvik

#endif  // TARVIK_CAPI_CAPI_CLIENT_H
