// The receive path: the receive stream is drained into the assembler, and each
// complete record is acted on by its kind. The transport thread that appended
// the bytes drains them when no other thread is draining; the session thread
// drains what is left on its pass.
#include <cstring>

#include "client/allocator.h"
#include "client/client.h"
#include "session/message.h"

namespace tarvik {
namespace {
// Set while a transport thread drains inside its own handler.
thread_local bool t_inTransportHandler = false;
}  // namespace

namespace {

int32_t CopyFill(void* bytes, uint8_t* dst, int32_t n) {
    std::memcpy(dst, bytes, static_cast<size_t>(n));
    return n;
}

}  // namespace

bool CTarvikClient::OnTransportBytes(const void* bytes, int32_t n) {
    if (bytes == nullptr || n <= 0) {
        return true;
    }
    return OnTransportFill(n, &CopyFill, const_cast<void*>(bytes));
}

// The thread that brought the bytes cuts out and dispatches what is complete
// itself, so that a reply reaches its requester with one hand-off. It does so
// only while the session runs (a stopping client leaves the bytes for the
// stop to clear) and when no other thread is draining; otherwise the bytes go
// into the receive stream and the session thread is woken to drain them.
// Draining with nothing left in the stream, the transport writes the bytes
// straight into the assembler's buffer and the records are cut out there:
// one copy from the transport to the dispatcher, however large the message.
bool CTarvikClient::OnTransportFill(int32_t n, TransportFill fill, void* context) {
    if (n <= 0 || fill == nullptr) {
        return true;
    }
    bool running = false;
    {
        plat::CLockHold hold(stateLock_);
        running = sessionRunning_ && sessionThread_ != nullptr;
    }
    bool taken = true;
    bool drained = false;
    bool idle = false;
    if (running && draining_.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
        t_inTransportHandler = true;
        bool direct = false;
        if (receiveStream_.GetLength() == 0) {
            uint8_t* room = assembler_.Room(n);
            if (room != nullptr) {
                const int32_t got = fill(context, room, n);
                assembler_.Commit(got > 0 ? (got < n ? got : n) : 0, *this);
                direct = true;
            }
        }
        if (!direct) {
            taken = AppendFilled(n, fill, context);
        }
        DrainHeld();
        t_inTransportHandler = false;
        draining_.store(false, std::memory_order_release);
        drained = true;
    } else {
        taken = AppendFilled(n, fill, context);
    }
    bool dropWanted = false;
    {
        plat::CLockHold hold(stateLock_);
        dropWanted = linkDropWanted_;
    }
    if (!drained || dropWanted || session_.WantsPass(plat::TickCount())) {
        dataArrivedEvent_->Set();
    }
    return taken;
}

bool CTarvikClient::AppendFilled(int32_t n, TransportFill fill, void* context) {
    if (fill == &CopyFill) {
        return receiveStream_.Append(context, n);
    }
    auto* buffer = static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(n)));
    if (buffer == nullptr) {
        return false;  // not received: the bytes stay with the transport
    }
    const int32_t got = fill(context, buffer, n);
    // Only what the transport really handed over goes into the stream.
    const bool taken = got <= 0 || receiveStream_.Append(buffer, got < n ? got : n);
    MemFree(buffer);
    return taken;
}

int32_t CTarvikClient::DrainReceiveStream() {
    bool idle = false;
    if (!draining_.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
        return -1;
    }
    const int32_t drained = DrainHeld();
    draining_.store(false, std::memory_order_release);
    return drained;
}

int32_t CTarvikClient::DrainHeld() {
    int32_t drained = 0;
    for (;;) {
        // The stream's buffer is taken whole: no copy, and the stream's lock
        // is not held while the records are dispatched.
        uint8_t* bytes = nullptr;
        const int32_t n = receiveStream_.Take(&bytes);
        if (n <= 0) {
            break;
        }
        AssembleMessages(bytes, n);
        MemFree(bytes);
        ++drained;
    }
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
