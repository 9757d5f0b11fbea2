// The C API's client: the library's client and the application's callbacks,
// which the C API calls with its own client pointer.
#ifndef TARVIK_CAPI_CAPI_CLIENT_H
#define TARVIK_CAPI_CAPI_CLIENT_H

#include <atomic>

#include "tarvik/tarvik.h"
#include "tarvik/tarvik_c.h"

struct tarvik_client {
    explicit tarvik_client(ITarvikClient* c) : iface(c) {}

    ITarvikClient* const iface;
    std::atomic<tarvik_state_callback> stateCallback{nullptr};
    std::atomic<tarvik_data_callback> dataCallback{nullptr};

    // Set (on the notification thread) by tarvik_destroy called from one of
    // this client's callbacks: the callback's wrapper frees the object.
    bool destroyPending = false;
};

#endif  // TARVIK_CAPI_CAPI_CLIENT_H
