// CByteStream: a locked, growable first-in first-out byte queue.
//
// The client has two: the receive stream (transports append, the session
// thread drains) and the reply mailbox (the session thread fills it, a waiting
// request reads it). Every operation holds the stream's own lock, and no other
// lock is taken inside.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tarvik {

class CByteStream {
  public:
    CByteStream();
    ~CByteStream();
    CByteStream(const CByteStream&) = delete;
    CByteStream& operator=(const CByteStream&) = delete;

    // Adds n bytes at the end; nothing for null bytes or n <= 0. Growth is to
    // the needed size plus 64000 bytes, or plus the capacity held when that
    // is more. false when memory is short (nothing is added then).
    bool Append(const void* bytes, int32_t n);
    // Zero-fills dst[0..n), then moves up to n bytes from the front into it;
    // returns the count moved. Reading everything releases the buffer.
    int32_t Read(void* dst, int32_t n);
    int32_t GetLength();
    // Hands the whole buffer over (the caller frees it with MemFree) and
    // returns the count it holds; the stream is empty and owns no buffer.
    // A drain takes everything without copying it.
    int32_t Take(uint8_t** data);
    // Releases the buffer; the stream is empty.
    void Clear();

    // Growth beyond the needed size, in bytes.
    static constexpr int32_t kGrowth = 64000;

    // Makes room for n more bytes after the `length` bytes at the front of a
    // MemAlloc buffer, growing as Append does, so that a large message
    // arriving in many pieces is not copied once per piece. false when memory
    // is short or the size would pass INT32_MAX (the buffer is untouched then).
    static bool Reserve(uint8_t** data, int32_t* capacity, int32_t length, int32_t n);

  private:
    plat::CLock lock_;
    uint8_t* data_ = nullptr;
    int32_t length_ = 0;
    int32_t capacity_ = 0;
};

}  // namespace tarvik
