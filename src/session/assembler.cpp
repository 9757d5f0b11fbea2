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
    // The buffer grows as if the bytes were appended, so that it is kept or
    // released by the same rule whichever way they are read.
    uint8_t* room = Room(n);
    if (room == nullptr) {
        // The bytes are lost, so any record in progress cannot be
        // completed: start over and look for the next marker.
        Reset();
        return false;
    }
    if (length_ == 0) {
        // Nothing waits: the records are handled where they lie, and only
        // what is left of an incomplete one is copied.
        const int32_t p = Scan(bytes, n, sink);
        std::memcpy(data_, bytes + p, static_cast<size_t>(n - p));
        length_ = n - p;
        Compact(0, sink);
        return true;
    }
    std::memcpy(room, bytes, static_cast<size_t>(n));
    Commit(n, sink);
    return true;
}

uint8_t* CAssembler::Room(int32_t n) {
    if (n <= 0) {
        return nullptr;
    }
    // A record whose length its marker gave gets room for all of it at once:
    // a login reply of megabytes is not copied at each growth while it
    // arrives (the pages are touched only as its bytes come).
    int32_t want = n;
    if (markerFound_ != 0 && pendingLength_ - length_ > n) {
        want = pendingLength_ - length_;
    }
    if (!CByteStream::Reserve(&data_, &capacity_, length_, want)) {
        return nullptr;
    }
    return data_ + length_;
}

void CAssembler::Commit(int32_t n, IRecordSink& sink) {
    if (n > 0 && n <= capacity_ - length_) {
        length_ += n;
    }
    Compact(Scan(data_, length_, sink), sink);
}

int32_t CAssembler::Scan(const uint8_t* base, int32_t length, IRecordSink& sink) {
    // p never exceeds length: every advance is checked against what remains.
    int32_t p = 0;
    for (;;) {
        if (markerFound_ == 0) {
            if (length - p < static_cast<int32_t>(kMarkerSize)) {
                break;
            }
            if (!IsMarkerSignature(base + p)) {
                ++p;
                continue;
            }
            pendingLength_ = LoadI32(base + p + 8);
            stampFlag_ = LoadI32(base + p + 12) == MARKER_MESSAGE ? 1 : 0;
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
        if (pendingLength_ > length - p) {
            break;  // incomplete: the marker's state waits for the next call
        }
        sink.HandleRecord(base + p, pendingLength_);
        if (stampFlag_ != 0) {
            sink.StampActivity();
        }
        p += pendingLength_;
        pendingLength_ = 0;
        markerFound_ = 0;
        stampFlag_ = 0;
    }
    return p;
}

void CAssembler::Compact(int32_t consumed, IRecordSink& sink) {
    if (consumed > 0) {
        std::memmove(data_, data_ + consumed, static_cast<size_t>(length_ - consumed));
        length_ -= consumed;
    }
    if (length_ == 0 && capacity_ > kKeepCapacity) {
        MemFree(data_);
        data_ = nullptr;
        capacity_ = 0;
    }
    if (stampFlag_ != 0) {
        sink.StampActivity();  // a message is on its way
    }
}

}  // namespace tarvik
