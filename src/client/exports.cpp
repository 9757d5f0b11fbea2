// The four exports of the library: create and destroy a client, and the
// allocator pair for blocks that cross the library boundary.
#include <new>

#include "client/allocator.h"
#include "client/client.h"
#include "tarvik/tarvik.h"

using tarvik::CTarvikClient;

extern "C" {

TARVIK_EXPORT ITarvikClient* TARVIK_CALL TarvikCreateClient(int32_t clientParameter) {
    void* memory = tarvik::MemAlloc(sizeof(CTarvikClient));
    if (memory == nullptr) {
        return nullptr;
    }
    CTarvikClient* client = nullptr;
    try {
        client = new (memory) CTarvikClient(clientParameter);
    } catch (...) {
        // No exception leaves the library: a construction that throws
        // releases the memory and yields null.
        tarvik::MemFree(memory);
        return nullptr;
    }
    if (!tarvik::Guarded(false, [client] { return client->Construct(); })) {
        client->~CTarvikClient();
        tarvik::MemFree(memory);
        return nullptr;
    }
    return client;
}

TARVIK_EXPORT void TARVIK_CALL TarvikDestroyClient(ITarvikClient* client) {
    if (client == nullptr) {
        return;
    }
    CTarvikClient* self = tarvik::ClientOf(client);
    tarvik::GuardedVoid([self] { self->Disconnect(); });
    if (self->DeferDestroy()) {
        return;
    }
    tarvik::GuardedVoid([self] { self->~CTarvikClient(); });
    tarvik::MemFree(self);
}

TARVIK_EXPORT void* TARVIK_CALL TarvikAlloc(int32_t n) {
    // 0 yields null without allocating; a negative count is no size at all.
    if (n <= 0) {
        return nullptr;
    }
    return tarvik::MemAlloc(static_cast<size_t>(n));
}

TARVIK_EXPORT void TARVIK_CALL TarvikFree(void* block) {
    tarvik::MemFree(block);
}

}  // extern "C"
