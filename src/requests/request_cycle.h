// Helpers of the request cycle shared by the eight synchronous requests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/allocator.h"
#include "client/client.h"

namespace tarvik {

// The largest payload a request may carry: its record, marker and header
// included, must stay within the stream's record limit.
constexpr size_t kMaxRequestPayload = 20000000 - 16 - 64;

// A reply taken from the mailbox: its header fields and its payload.
struct Reply {
    CBlock block;
    int16_t param = 0;
    const uint8_t* payload = nullptr;
    size_t payloadLength = 0;
};

template <typename F>
int32_t CTarvikClient::InRequest(int32_t failure, F&& body) {
    return Guarded<int32_t>(failure, [&]() -> int32_t {
        plat::CLockHold request(requestLock_);
        return BeginRequest() ? body() : failure;
    });
}

}  // namespace tarvik
