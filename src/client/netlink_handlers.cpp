// The two handlers the client gives the network connection object: bytes from
// the server go into the receive stream, and the loss of a link that was up is
// reported as CONN_BROKEN. Every event records its reason as the last error.
#include "client/allocator.h"
#include "client/client.h"

namespace tarvik {

namespace {

int32_t ReceiveFill(void* link, uint8_t* dst, int32_t n) {
    return static_cast<INetLink*>(link)->Receive(dst, n);
}

}  // namespace

void NETLINK_CALL CTarvikClient::NetDataCallback(INetLink* link, void* owner) {
    if (owner == nullptr || link == nullptr) {
        return;
    }
    GuardedVoid([&] {
        const int32_t n = link->GetAvailable();
        if (n <= 0) {
            return;
        }
        // Received straight into the assembler where it can be. Only what the
        // object really hands over is taken: a short answer (the link closed
        // meanwhile) adds no stale bytes. Without memory the bytes stay with
        // the object for its next call.
        static_cast<CTarvikClient*>(owner)->OnTransportFill(n, &ReceiveFill, link);
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
