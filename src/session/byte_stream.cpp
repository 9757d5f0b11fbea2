// CByteStream. The bytes held are always at the front of the buffer; the
// buffer exists only while the stream has capacity.
#include "session/byte_stream.h"

#include <algorithm>
#include <cstring>

#include "client/allocator.h"

namespace tarvik {

CByteStream::CByteStream() = default;

CByteStream::~CByteStream() {
    MemFree(data_);
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
}

bool CByteStream::Append(const void* bytes, int32_t n) {
    if (bytes == nullptr || n <= 0) {
        return true;
    }
    plat::CLockHold hold(lock_);
    if (!Reserve(&data_, &capacity_, length_, n)) {
        return false;
    }
    std::memcpy(data_ + length_, bytes, static_cast<size_t>(n));
    length_ += n;
    return true;
}

bool CByteStream::Reserve(uint8_t** data, int32_t* capacity, int32_t length, int32_t n) {
    // In 64 bits: length + n + growth may not fit an int32.
    const int64_t needed = static_cast<int64_t>(length) + n;
    if (needed <= *capacity) {
        return true;
    }
    int64_t grown = needed + std::max<int64_t>(kGrowth, *capacity);
    if (grown > INT32_MAX) {
        grown = needed + kGrowth;
    }
    if (grown > INT32_MAX) {
        return false;
    }
    auto* buffer = static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(grown)));
    if (buffer == nullptr) {
        return false;
    }
    if (length > 0) {
        std::memcpy(buffer, *data, static_cast<size_t>(length));
    }
    MemFree(*data);
    *data = buffer;
    *capacity = static_cast<int32_t>(grown);
    return true;
}

int32_t CByteStream::Read(void* dst, int32_t n) {
    if (dst == nullptr || n <= 0) {
        return 0;
    }
    // The caller's buffer is zeroed before the lock: no need to hold it for that.
    std::memset(dst, 0, static_cast<size_t>(n));
    plat::CLockHold hold(lock_);
    if (length_ == 0) {
        return 0;
    }
    if (n < length_) {
        std::memcpy(dst, data_, static_cast<size_t>(n));
        std::memmove(data_, data_ + n, static_cast<size_t>(length_ - n));
        length_ -= n;
        return n;
    }
    const int32_t moved = length_;
    std::memcpy(dst, data_, static_cast<size_t>(moved));
    MemFree(data_);
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    return moved;
}

int32_t CByteStream::Take(uint8_t** data) {
    plat::CLockHold hold(lock_);
    const int32_t held = length_;
    *data = held > 0 ? data_ : nullptr;
    if (held == 0) {
        MemFree(data_);
    }
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    return held;
}

int32_t CByteStream::GetLength() {
    plat::CLockHold hold(lock_);
    return length_;
}

void CByteStream::Clear() {
    plat::CLockHold hold(lock_);
    MemFree(data_);
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
}

}  // namespace tarvik
