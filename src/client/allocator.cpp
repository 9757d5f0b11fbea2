#include "client/allocator.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/inject.h"

namespace tarvik {
namespace {
std::atomic<int64_t> g_failCountdown{0};
std::atomic<int64_t> g_live{0};

bool ShouldFail() {
    if (inject::IsExempt()) {
        return false;  // a test's own server: only the client's allocations count
    }
    int64_t n = g_failCountdown.load(std::memory_order_relaxed);
    while (n > 0) {
        if (g_failCountdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
            return n == 1;
        }
    }
    return false;
}
}  // namespace

void* MemAlloc(size_t n) {
    if (n == 0 || ShouldFail()) {
        return nullptr;
    }
    void* p = std::malloc(n);
    if (p != nullptr) {
        g_live.fetch_add(1, std::memory_order_relaxed);
    }
    return p;
}

void* MemAllocZero(size_t n) {
    void* p = MemAlloc(n);
    if (p != nullptr) {
        std::memset(p, 0, n);
    }
    return p;
}

void MemFree(void* block) {
    if (block != nullptr) {
        g_live.fetch_sub(1, std::memory_order_relaxed);
        std::free(block);
    }
}

namespace testing {
void FailNthAllocation(int64_t n) {
    g_failCountdown.store(n < 0 ? 0 : n);
}
int64_t LiveBlocks() {
    return g_live.load();
}
}  // namespace testing

}  // namespace tarvik
