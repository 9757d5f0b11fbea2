// Cache hints for walks whose misses would otherwise queue one behind the
// other: fetch what a later step will read or write. Only hints; nothing
// happens where the compiler has none.
#pragma once

namespace tarvik {

inline void PrefetchForRead(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p, 0);
#else
    (void)p;
#endif
}

inline void PrefetchForWrite(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p, 1);
#else
    (void)p;
#endif
}

}  // namespace tarvik
