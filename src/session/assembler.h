// The assembler: cuts whole records out of a byte stream that arrives in
// fragments split anywhere.
//
// Every record starts with a 16-byte marker (signature, total length, kind).
// Bytes that are not a marker are skipped one at a time; a marker whose total
// length is below 16 or above kMaxRecord is skipped whole. An incomplete
// record is kept at the front of the buffer for the next call. The assembler
// does no I/O: it hands each complete record to its sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/byte_stream.h"

namespace tarvik {

class IRecordSink {
  public:
    // One complete record, marker included: `record` holds totalLength bytes.
    virtual void HandleRecord(const uint8_t* record, int32_t totalLength) = 0;
    // A message marker was seen (a complete message record, or the marker of
    // one still incomplete): the server is talking. Stamps the last-send time.
    virtual void StampActivity() = 0;

  protected:
    ~IRecordSink() = default;
};

class CAssembler {
  public:
    CAssembler() = default;
    ~CAssembler();
    CAssembler(const CAssembler&) = delete;
    CAssembler& operator=(const CAssembler&) = delete;

    // Appends n bytes and hands every complete record to sink, in order.
    // false when the buffer cannot grow (the bytes are dropped, the state is
    // reset so scanning resumes at the next marker).
    // When nothing is held, the records are cut out of `bytes` where they
    // lie and only an incomplete tail is copied.
    bool AssembleMessages(const uint8_t* bytes, int32_t n, IRecordSink& sink);
    // Room for n more bytes behind those held, for a transport to receive
    // into; null when memory is short (nothing changes then).
    uint8_t* Room(int32_t n);
    // The n bytes written into Room are added, and every complete record is
    // handed to sink, in order.
    void Commit(int32_t n, IRecordSink& sink);
    // Releases the buffer and forgets any incomplete record.
    void Reset();

    // Limits of the stream format.
    static constexpr int32_t kMaxRecord = 20000000;
    static constexpr int32_t kMinRecord = 16;
    // An empty buffer larger than this is released.
    static constexpr int32_t kKeepCapacity = 128000;
    // Growth beyond the needed size: the byte stream's.
    static constexpr int32_t kGrowth = CByteStream::kGrowth;

    // State, readable by tests.
    int32_t length() const { return length_; }
    int32_t capacity() const { return capacity_; }
    bool markerFound() const { return markerFound_ != 0; }
    int32_t pendingLength() const { return pendingLength_; }

  private:
    // Hands every complete record of base[0..length) to sink; returns how
    // many bytes were consumed.
    int32_t Scan(const uint8_t* base, int32_t length, IRecordSink& sink);
    // After a scan of the buffer held: drops the consumed bytes.
    void Compact(int32_t consumed, IRecordSink& sink);

    uint8_t* data_ = nullptr;
    int32_t length_ = 0;
    int32_t capacity_ = 0;
    int32_t pendingLength_ = 0;
    int32_t markerFound_ = 0;
    int32_t stampFlag_ = 0;
};

}  // namespace tarvik
