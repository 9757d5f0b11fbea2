// What the server's files share: a TCP connection of the server, the time as
// it travels, and the bytes that scripted and random faults put before a reply.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <vector>

#include "netlink/socket.h"
#include "session/assembler.h"
#include "session/message.h"
#include "sim/sim_server.h"

namespace tarvik {
namespace sim {

struct CSimServer::Connection final : IRecordSink {
    CSimServer* server = nullptr;
    int id = 0;
    netsock::Handle socket = netsock::kInvalid;
    plat::Thread* thread = nullptr;
    plat::CLock writeLock;
    CAssembler assembler;
    std::atomic<bool> closed{false};
    // Probes this server sent and that are not back yet (server lock).
    int probesOutstanding = 0;
    int probesReturned = 0;

    void HandleRecord(const uint8_t* record, int32_t totalLength) override {
        server->OnTcpRecord(this, record, totalLength);
    }
    void StampActivity() override {}
};

// Seconds since 1970, the time of history records.
inline uint32_t NowSeconds() {
    return static_cast<uint32_t>(std::time(nullptr));
}

// Garbage that holds no 0x88 byte, so it can never look like a marker.
inline std::vector<uint8_t> Garbage(size_t n) {
    std::vector<uint8_t> g(n);
    for (size_t i = 0; i < n; ++i) {
        g[i] = static_cast<uint8_t>((i * 37 + 11) & 0x7F);
    }
    return g;
}

// A marker with an impossible total length: the receiver skips its 16 bytes.
inline std::vector<uint8_t> FalseMarker() {
    std::vector<uint8_t> m(kMarkerSize);
    WriteMarker(m.data(), 8, MARKER_MESSAGE);
    return m;
}

}  // namespace sim
}  // namespace tarvik
