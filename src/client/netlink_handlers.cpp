// The two handlers the client gives the network connection object: bytes from
// the server go into the receive stream, and the loss of a link that was up is
// reported as CONN_BROKEN. Every event records its reason as the last error.
#include "client/allocator.h"
#include "client/client.h"

namespace tarvik {

void NETLINK_CALL CTarvikClient::NetDataCallback(INetLink* link, void* owner) {
    if (owner == nullptr || link == nullptr) {
        return;
    }
    GuardedVoid([&] {
        const int32_t n = link->GetAvailable();
        if (n <= 0) {
            return;
        }
        void* buffer = MemAlloc(static_cast<size_t>(n));
        if (buffer == nullptr) {
            return;  // the bytes stay with the object for its next call
        }
        const int32_t got = link->Receive(buffer, n);
        // Only what the object really handed over goes into the stream; a
        // short answer (the link closed meanwhile) must not add stale bytes.
        if (got > 0) {
            static_cast<CTarvikClient*>(owner)->OnTransportBytes(buffer, got < n ? got : n);
        }
        MemFree(buffer);
    });
}

void NETLINK_CALL CTarvikClient::NetEventCallback(INetLink* /*link*/, void* owner) {
    if (owner == nullptr) {
        return;
    }
    GuardedVoid([&] {
        auto* client = static_cast<CTarvikClient*>(owner);
        // Why the attempt failed or the link went: the component leaves it
        // as the thread's last error. It only adds a text; the state below
        // is what the application acts on.
        client->RecordError();
        if (client->IsLinkUp()) {
            client->PostStateChange(CONN_BROKEN);
        }
    });
}

}  // namespace tarvik
