// The message frame: the 64-byte MsgHeader, the command codes, the 16-byte
// stream marker, and building and checking messages.
//
// All wire integers are little-endian and every structure is packed. The
// header and marker are read and written field by field through
// the loads and stores of common/le.h, never by casting a received buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/le.h"

namespace tarvik {

// ---- Command codes ----------------------------------------------------------

enum : int16_t {
    CMD_LOGIN = 5,
    CMD_HEARTBEAT = 7,
    CMD_READ_HISTORY = 12,
    CMD_WRITE_HISTORY = 13,
    CMD_LOGOUT = 15,
    CMD_WRITE_VALUES = 16,
    CMD_READ_VALUES = 17,
    CMD_SUBSCRIBE = 18,
    CMD_UNSUBSCRIBE = 19,
    CMD_HEARTBEAT_DATA = 20,
    CMD_RESUBSCRIBE = 21,
    CMD_UNSUBSCRIBE_ALL = 22,
    CMD_READ_HISTORY_RAW = 23,
};

constexpr int16_t MSG_MAGIC = 1047;
// clientId of every login request.
constexpr int16_t LOGIN_CLIENT_ID = 16;
// Status values carried in clientId of replies.
constexpr int16_t STATUS_VOID = 0;
constexpr int16_t STATUS_REFUSED = -2001;
constexpr int16_t STATUS_LOGIN_REFUSED = -3;

// ---- MsgHeader --------------------------------------------------------------

#pragma pack(push, 1)
struct MsgHeader {
    int32_t routeWindow;
    uint8_t zero4[2];
    int16_t clientId;
    int32_t senderWindow;
    uint8_t zero12[4];
    int32_t reservedA;
    int16_t reservedB;
    int16_t reservedC;
    uint8_t zero24[2];
    int16_t magic;
    int32_t payloadLength;
    int16_t command;
    int16_t param;
    uint8_t zero36[18];
    int32_t requestId;
    int32_t sequence;
    uint8_t zero62[2];
};
#pragma pack(pop)

static_assert(sizeof(MsgHeader) == 64, "MsgHeader is 64 bytes");
static_assert(offsetof(MsgHeader, routeWindow) == 0, "routeWindow");
static_assert(offsetof(MsgHeader, clientId) == 6, "clientId");
static_assert(offsetof(MsgHeader, senderWindow) == 8, "senderWindow");
static_assert(offsetof(MsgHeader, reservedA) == 16, "reservedA");
static_assert(offsetof(MsgHeader, reservedB) == 20, "reservedB");
static_assert(offsetof(MsgHeader, reservedC) == 22, "reservedC");
static_assert(offsetof(MsgHeader, magic) == 26, "magic");
static_assert(offsetof(MsgHeader, payloadLength) == 28, "payloadLength");
static_assert(offsetof(MsgHeader, command) == 32, "command");
static_assert(offsetof(MsgHeader, param) == 34, "param");
static_assert(offsetof(MsgHeader, requestId) == 54, "requestId");
static_assert(offsetof(MsgHeader, sequence) == 58, "sequence");

constexpr size_t kHeaderSize = sizeof(MsgHeader);

// Byte offsets of the header fields, for field-wise access to raw buffers.
namespace hdr {
constexpr size_t kRouteWindow = offsetof(MsgHeader, routeWindow);
constexpr size_t kClientId = offsetof(MsgHeader, clientId);
constexpr size_t kSenderWindow = offsetof(MsgHeader, senderWindow);
constexpr size_t kReservedA = offsetof(MsgHeader, reservedA);
constexpr size_t kReservedB = offsetof(MsgHeader, reservedB);
constexpr size_t kReservedC = offsetof(MsgHeader, reservedC);
constexpr size_t kMagic = offsetof(MsgHeader, magic);
constexpr size_t kPayloadLength = offsetof(MsgHeader, payloadLength);
constexpr size_t kCommand = offsetof(MsgHeader, command);
constexpr size_t kParam = offsetof(MsgHeader, param);
constexpr size_t kRequestId = offsetof(MsgHeader, requestId);
constexpr size_t kSequence = offsetof(MsgHeader, sequence);
}  // namespace hdr

// The header fields of a received message, decoded.
struct HeaderView {
    int16_t clientId;
    int32_t senderWindow;
    int16_t magic;
    int32_t payloadLength;
    int16_t command;
    int16_t param;
    int32_t requestId;
    int32_t sequence;
};

// Decodes the header of `message` (at least kHeaderSize bytes).
HeaderView ReadHeader(const uint8_t* message);

// true when `message` of `length` bytes is a well-formed message: at least a
// header long (checked before any field is read), magic 1047, and exactly
// 64 + payloadLength bytes.
bool IsValidMessage(const uint8_t* message, size_t length);

// ---- MARKER_RECORD ----------------------------------------------------------

#pragma pack(push, 1)
struct MarkerRecord {
    uint32_t signature[2];
    int32_t totalLength;
    int32_t kind;
};
#pragma pack(pop)
static_assert(sizeof(MarkerRecord) == 16, "MarkerRecord is 16 bytes");
static_assert(offsetof(MarkerRecord, totalLength) == 8, "totalLength");
static_assert(offsetof(MarkerRecord, kind) == 12, "kind");

constexpr size_t kMarkerSize = sizeof(MarkerRecord);
constexpr uint32_t MARKER_SIGNATURE = 0x88888888u;
constexpr int32_t MARKER_MESSAGE = 0;
constexpr int32_t MARKER_PROBE = 2;
// A probe: a marker of kind 2 and four zero bytes.
constexpr int32_t kProbeLength = 20;

// Writes a marker with the given total length and kind into out[16].
void WriteMarker(uint8_t* out, int32_t totalLength, int32_t kind);
// true when the 8 bytes at p are the marker signature.
inline bool IsMarkerSignature(const uint8_t* p) {
    return LoadU32(p) == MARKER_SIGNATURE && LoadU32(p + 4) == MARKER_SIGNATURE;
}

// ---- BuildMessage -------------------------------------------------------------

// Allocates one block of 64 + payloadLength bytes (library allocator) holding
// the header and a copy of the payload; the caller frees it with MemFree.
// false when the block cannot be allocated.
bool BuildMessage(int16_t command, int16_t param, int16_t clientId, int32_t requestId,
                  int32_t sequence, const void* payload, uint32_t payloadLength, uint8_t** block,
                  size_t* size);

}  // namespace tarvik
