// The walk shared by the per-entry queries of the point directory and the
// subscription table: output entry i always belongs to input entry i.
#pragma once

#include <cstdint>

namespace tarvik {

// 0 for no entries, -1 when an array the query needs is missing (nothing is
// written), otherwise `entry(i)` for each entry (true when it resolved) and
// the number of entries resolved.
template <typename Entry>
inline int32_t ForEachEntry(int32_t count, bool arraysGiven, Entry&& entry) {
    if (count <= 0) {
        return 0;
    }
    if (!arraysGiven) {
        return -1;
    }
    int32_t resolved = 0;
    for (int32_t i = 0; i < count; ++i) {
        resolved += entry(i) ? 1 : 0;
    }
    return resolved;
}

// Stores `value` as entry i of an array the caller may leave out (null).
template <typename T>
inline void PutOptional(T* out, int32_t i, T value) {
    if (out != nullptr) {
        out[i] = value;
    }
}

}  // namespace tarvik
