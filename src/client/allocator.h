// The library's block allocator: the one behind TarvikAlloc / TarvikFree.
//
// Every block that crosses the library boundary (text blocks of VarValue,
// arrays handed to the application) and every raw heap block of the core
// (messages, payloads, byte-stream buffers) comes from here, so that a test
// can make the n-th allocation fail and count the blocks still alive.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik {

// n bytes, or null when n is 0 or memory is short (or a test said so).
void* MemAlloc(size_t n);
// Zero-filled n bytes.
void* MemAllocZero(size_t n);
// Releases a block from MemAlloc; null does nothing.
void MemFree(void* block);

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

namespace testing {
// The n-th MemAlloc from now (1 = the next one) returns null; 0 disarms.
// Allocations on threads exempt from failure injection (platform/inject.h)
// are not counted.
void FailNthAllocation(int64_t n);
// Blocks allocated and not yet freed, over the whole process.
int64_t LiveBlocks();
// MemAlloc calls with a size so far, exempt threads' not counted.
int64_t Allocations();
}  // namespace testing

}  // namespace tarvik
