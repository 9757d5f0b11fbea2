// The assembler. It keeps at most one incomplete record, always at the front
// of its buffer, and compacts the unconsumed tail with one move per call.
// A record handed to the sink points into that buffer, so the sink must not
// call back into the assembler while it handles one.
#include "session/assembler.h"

#include <algorithm>
#include <cstring>

#include "client/allocator.h"
#include "session/message.h"

namespace tarvik {

CAssembler::~CAssembler() {
    Reset();
}

void CAssembler::Reset() {
    MemFree(data_);
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    pendingLength_ = 0;
    markerFound_ = 0;
    stampFlag_ = 0;
}

bool CAssembler::AssembleMessages(const uint8_t* bytes, int32_t n, IRecordSink& sink) {
    if (bytes == nullptr || n <= 0) {
        return true;
    }
    if (!CByteStream::Reserve(&data_, &capacity_, length_, n)) {
        // The bytes are lost, so any record in progress cannot be
        // completed: start over and look for the next marker.
        Reset();
        return false;
    }
    std::memcpy(data_ + length_, bytes, static_cast<size_t>(n));
    length_ += n;

    // p never exceeds length_: every advance is checked against what remains.
    int32_t p = 0;
    for (;;) {
        if (markerFound_ == 0) {
            if (length_ - p < static_cast<int32_t>(kMarkerSize)) {
                break;
            }
            if (!IsMarkerSignature(data_ + p)) {
                ++p;
                continue;
            }
            pendingLength_ = LoadI32(data_ + p + 8);
            stampFlag_ = LoadI32(data_ + p + 12) == MARKER_MESSAGE ? 1 : 0;
            markerFound_ = 1;
            if (pendingLength_ > kMaxRecord || pendingLength_ < kMinRecord) {
                // A false marker: skip it whole and scan on behind it.
                p += static_cast<int32_t>(kMarkerSize);
                pendingLength_ = 0;
                markerFound_ = 0;
                stampFlag_ = 0;
                continue;
            }
        }
        if (pendingLength_ > length_ - p) {
            break;  // incomplete: the marker's state waits for the next call
        }
        sink.HandleRecord(data_ + p, pendingLength_);
        if (stampFlag_ != 0) {
            sink.StampActivity();
        }
        p += pendingLength_;
        pendingLength_ = 0;
        markerFound_ = 0;
        stampFlag_ = 0;
    }

    if (p > 0) {
        std::memmove(data_, data_ + p, static_cast<size_t>(length_ - p));
        length_ -= p;
    }
    if (length_ == 0 && capacity_ > kKeepCapacity) {
        MemFree(data_);
        data_ = nullptr;
        capacity_ = 0;
    }
    if (stampFlag_ != 0) {
        sink.StampActivity();  // a message is on its way
    }
    return true;
}

}  // namespace tarvik
