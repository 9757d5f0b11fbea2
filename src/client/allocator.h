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

namespace testing {
// The n-th MemAlloc from now (1 = the next one) returns null; 0 disarms.
// Allocations on threads exempt from failure injection (platform/inject.h)
// are not counted.
void FailNthAllocation(int64_t n);
// Blocks allocated and not yet freed, over the whole process.
int64_t LiveBlocks();
}  // namespace testing

}  // namespace tarvik
