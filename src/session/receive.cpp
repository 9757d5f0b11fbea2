// The receive path: the receive stream is drained into the assembler, and each
// complete record is acted on by its kind. The transport thread that appended
// the bytes drains them when no other thread is draining; the session thread
// drains what is left on its pass.
#include "client/allocator.h"
#include "client/client.h"
#include "session/message.h"

namespace tarvik {
namespace {
// Set while a transport thread drains inside its own handler.
thread_local bool t_inTransportHandler = false;
}  // namespace

bool CTarvikClient::OnTransportBytes(const void* bytes, int32_t n) {
    const bool taken = receiveStream_.Append(bytes, n);
    DrainOnArrival();
    return taken;
}

// The thread that brought the bytes cuts out and dispatches what is complete
// itself, so that a reply reaches its requester with one hand-off. It does so
// only while the session runs (a stopping client leaves the bytes for the
// stop to clear) and when no other thread is draining; otherwise the session
// thread is woken to drain them.
void CTarvikClient::DrainOnArrival() {
    bool running = false;
    {
        plat::CLockHold hold(stateLock_);
        running = sessionRunning_ && sessionThread_ != nullptr;
    }
    t_inTransportHandler = true;
    const bool drained = running && DrainReceiveStream() >= 0;
    t_inTransportHandler = false;
    bool dropWanted = false;
    {
        plat::CLockHold hold(stateLock_);
        dropWanted = linkDropWanted_;
    }
    if (!drained || dropWanted || session_.WantsPass(plat::TickCount())) {
        dataArrivedEvent_->Set();
    }
}

int32_t CTarvikClient::DrainReceiveStream() {
    bool idle = false;
    if (!draining_.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
        return -1;
    }
    int32_t drained = 0;
    for (;;) {
        const int32_t n = receiveStream_.GetLength();
        if (n <= 0) {
            break;
        }
        auto* bytes = static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(n)));
        if (bytes == nullptr) {
            break;  // the bytes stay in the stream for the next pass
        }
        const int32_t got = receiveStream_.Read(bytes, n);
        AssembleMessages(bytes, got);
        MemFree(bytes);
        ++drained;
    }
    draining_.store(false, std::memory_order_release);
    return drained;
}

bool CTarvikClient::AssembleMessages(const uint8_t* bytes, int32_t n) {
    return assembler_.AssembleMessages(bytes, n, *this);
}

void CTarvikClient::ResetAssembler() {
    assembler_.Reset();
}

void CTarvikClient::ForgetReceived() {
    // The drain flag makes this thread the assembler's only user. A transport
    // thread holding it only dispatches (or answers a probe) and lets go.
    bool idle = false;
    while (!draining_.compare_exchange_weak(idle, true, std::memory_order_acquire)) {
        idle = false;
        plat::SleepMs(0);
    }
    receiveStream_.Clear();
    assembler_.Reset();
    draining_.store(false, std::memory_order_release);
}

void CTarvikClient::HandleRecord(const uint8_t* record, int32_t totalLength) {
    const int32_t kind = LoadI32(record + 12);
    if (kind == MARKER_MESSAGE) {
        DispatchMessage(record + kMarkerSize, static_cast<size_t>(totalLength) - kMarkerSize);
    } else if (kind == MARKER_PROBE) {
        if (!SendRemote(nullptr, 4)) {
            // Only the session thread takes a link down: a transport thread
            // draining here runs inside the link's own handler.
            if (t_inTransportHandler) {
                plat::CLockHold hold(stateLock_);
                linkDropWanted_ = true;
            } else {
                DropRemoteLink();
            }
        }
    }
    // Any other kind is consumed without effect.
}

void CTarvikClient::StampActivity() {
    session_.Activity(plat::TickCount());
}

}  // namespace tarvik
