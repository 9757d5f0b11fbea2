// Building and checking messages. Every field is written and read through the
// little-endian helpers, so the code is the same on any host and never depends
// on the alignment of a received buffer.
#include "session/message.h"

#include <cstring>

#include "client/allocator.h"

namespace tarvik {

HeaderView ReadHeader(const uint8_t* message) {
    HeaderView h{};
    h.clientId = LoadI16(message + hdr::kClientId);
    h.senderWindow = LoadI32(message + hdr::kSenderWindow);
    h.magic = LoadI16(message + hdr::kMagic);
    h.payloadLength = LoadI32(message + hdr::kPayloadLength);
    h.command = LoadI16(message + hdr::kCommand);
    h.param = LoadI16(message + hdr::kParam);
    h.requestId = LoadI32(message + hdr::kRequestId);
    h.sequence = LoadI32(message + hdr::kSequence);
    return h;
}

bool IsValidMessage(const uint8_t* message, size_t length) {
    // The length comes first: a short block must not be read as a header.
    if (message == nullptr || length < kHeaderSize) {
        return false;
    }
    if (LoadI16(message + hdr::kMagic) != MSG_MAGIC) {
        return false;
    }
    const int32_t payloadLength = LoadI32(message + hdr::kPayloadLength);
    if (payloadLength < 0) {
        return false;
    }
    return static_cast<uint64_t>(length) ==
           static_cast<uint64_t>(kHeaderSize) + static_cast<uint64_t>(payloadLength);
}

void WriteMarker(uint8_t* out, int32_t totalLength, int32_t kind) {
    StoreU32(out, MARKER_SIGNATURE);
    StoreU32(out + 4, MARKER_SIGNATURE);
    StoreI32(out + 8, totalLength);
    StoreI32(out + 12, kind);
}

bool BuildMessage(int16_t command, int16_t param, int16_t clientId, int32_t requestId,
                  int32_t sequence, const void* payload, uint32_t payloadLength, uint8_t** block,
                  size_t* size) {
    if (block == nullptr || size == nullptr) {
        return false;
    }
    *block = nullptr;
    *size = 0;
    // The header states the payload length as an int32: a longer payload
    // cannot be described, and the receiver would reject the message anyway.
    if (payloadLength > static_cast<uint32_t>(INT32_MAX)) {
        return false;
    }
    // At most 2^31 + 63 bytes, which a size_t holds even on 32-bit hosts.
    const size_t total = kHeaderSize + static_cast<size_t>(payloadLength);
    auto* m = static_cast<uint8_t*>(MemAlloc(total));
    if (m == nullptr) {
        return false;
    }
    std::memset(m, 0, kHeaderSize);
    StoreI16(m + hdr::kMagic, MSG_MAGIC);
    StoreI16(m + hdr::kCommand, command);
    StoreI16(m + hdr::kParam, param);
    StoreI16(m + hdr::kClientId, clientId);
    StoreI32(m + hdr::kRequestId, requestId);
    StoreI32(m + hdr::kSequence, sequence);
    StoreI32(m + hdr::kReservedA, 1);
    StoreI16(m + hdr::kReservedB, 2);
    StoreI16(m + hdr::kReservedC, 0);
    StoreI32(m + hdr::kPayloadLength, static_cast<int32_t>(payloadLength));
    if (payloadLength > 0) {
        if (payload != nullptr) {
            std::memcpy(m + kHeaderSize, payload, payloadLength);
        } else {
            // No payload given: send zeros rather than whatever the heap held.
            std::memset(m + kHeaderSize, 0, payloadLength);
        }
    }
    *block = m;
    *size = total;
    return true;
}

}  // namespace tarvik
