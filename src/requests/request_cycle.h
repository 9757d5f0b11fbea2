// Helpers of the request cycle shared by the eight synchronous requests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/allocator.h"
#include "client/client.h"

namespace tarvik {

// One heap block from the library allocator, freed when it goes.
class CBlock {
  public:
    CBlock() = default;
    explicit CBlock(size_t size) : data_(static_cast<uint8_t*>(MemAlloc(size))), size_(size) {
        if (data_ == nullptr) {
            size_ = 0;
        }
    }
    ~CBlock() { MemFree(data_); }
    CBlock(const CBlock&) = delete;
    CBlock& operator=(const CBlock&) = delete;

    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool ok() const { return data_ != nullptr; }
    // Gives the block up without freeing it.
    uint8_t* Release() {
        uint8_t* data = data_;
        data_ = nullptr;
        size_ = 0;
        return data;
    }
    // Takes over a block of `size` bytes.
    void Reset(uint8_t* data, size_t size) {
        MemFree(data_);
        data_ = data;
        size_ = data != nullptr ? size : 0;
    }

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

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
