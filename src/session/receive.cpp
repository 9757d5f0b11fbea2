// The receive path on the session thread: the receive stream is drained into
// the assembler, and each complete record is acted on by its kind.
#include "client/allocator.h"
#include "client/client.h"
#include "session/message.h"

namespace tarvik {

bool CTarvikClient::OnTransportBytes(const void* bytes, int32_t n) {
    const bool taken = receiveStream_.Append(bytes, n);
    dataArrivedEvent_->Set();
    return taken;
}

void CTarvikClient::DrainReceiveStream() {
    const int32_t n = receiveStream_.GetLength();
    if (n <= 0) {
        return;
    }
    auto* bytes = static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(n)));
    if (bytes == nullptr) {
        return;  // the bytes stay in the stream for the next pass
    }
    const int32_t got = receiveStream_.Read(bytes, n);
    AssembleMessages(bytes, got);
    MemFree(bytes);
}

bool CTarvikClient::AssembleMessages(const uint8_t* bytes, int32_t n) {
    return assembler_.AssembleMessages(bytes, n, *this);
}

void CTarvikClient::ResetAssembler() {
    assembler_.Reset();
}

void CTarvikClient::HandleRecord(const uint8_t* record, int32_t totalLength) {
    const int32_t kind = LoadI32(record + 12);
    if (kind == MARKER_MESSAGE) {
        DispatchMessage(record + kMarkerSize, static_cast<size_t>(totalLength) - kMarkerSize);
    } else if (kind == MARKER_PROBE) {
        if (!SendRemote(nullptr, 4)) {
            DropRemoteLink();
        }
    }
    // Any other kind is consumed without effect.
}

void CTarvikClient::StampActivity() {
    session_.Activity(plat::TickCount());
}

}  // namespace tarvik
