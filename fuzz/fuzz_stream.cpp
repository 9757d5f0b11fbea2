// Feeds arbitrary bytes, split into arbitrary fragments, through the assembler
// and decodes whatever comes out as the session would: the message check, then
// the payload as value records and as keyed value records.
//
// Input: byte 0 gives the count c (1..8) of fragment-size bytes that follow;
// fragment i of the stream is (size byte i mod c) + 1 bytes long. The rest of
// the input is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/allocator.h"
#include "client/var_value.h"
#include "session/assembler.h"
#include "session/message.h"
#include "session/value_record.h"

namespace {

using namespace tarvik;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void DecodePayload(const uint8_t* payload, size_t size) {
    VarValue v = VarNone();
    size_t pos = 0;
    while (pos < size) {
        const size_t before = pos;
        if (!DecodeValueRecord(payload, size, &pos, &v)) {
            Check(pos == before && v.tag == VAL_NONE);
            break;
        }
        Check(pos > before && pos <= size);
        if (v.tag == VAL_STRING) {
            Check(std::strlen(VarText(v)) <= TARVIK_TEXT_MAX);
        }
    }
    pos = 0;
    uint32_t key = 0;
    while (pos < size) {
        const size_t before = pos;
        if (!DecodeKeyedValueRecord(payload, size, &pos, &key, &v)) {
            Check(pos == before);
            break;
        }
        Check(pos >= before + 5 && pos <= size);
    }
    VarEmpty(&v);
}

class FuzzSink : public IRecordSink {
  public:
    void HandleRecord(const uint8_t* record, int32_t totalLength) override {
        Check(totalLength >= CAssembler::kMinRecord && totalLength <= CAssembler::kMaxRecord);
        Check(IsMarkerSignature(record));
        Check(LoadI32(record + 8) == totalLength);
        if (LoadI32(record + 12) != MARKER_MESSAGE) {
            return;
        }
        // A copy of exactly the message's size, so that a read past its end
        // is caught even though the assembler's buffer has room behind it.
        const size_t length = static_cast<size_t>(totalLength) - kMarkerSize;
        std::vector<uint8_t> message(record + kMarkerSize, record + kMarkerSize + length);
        const uint8_t* m = message.empty() ? nullptr : message.data();
        if (!IsValidMessage(m, length)) {
            return;
        }
        const HeaderView h = ReadHeader(m);
        Check(static_cast<size_t>(h.payloadLength) + kHeaderSize == length);
        DecodePayload(m + kHeaderSize, length - kHeaderSize);
    }
    void StampActivity() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t count = (data[0] & 7u) + 1;
    if (size < 1 + count) {
        return 0;
    }
    const uint8_t* sizes = data + 1;
    const uint8_t* stream = data + 1 + count;
    const size_t streamSize = size - 1 - count;

    const int64_t live = testing::LiveBlocks();
    {
        CAssembler assembler;
        FuzzSink sink;
        size_t offset = 0;
        for (size_t i = 0; offset < streamSize; ++i) {
            size_t n = static_cast<size_t>(sizes[i % count]) + 1;
            if (n > streamSize - offset) {
                n = streamSize - offset;
            }
            Check(assembler.AssembleMessages(stream + offset, static_cast<int32_t>(n), sink));
            offset += n;
            Check(assembler.length() >= 0 && assembler.length() <= assembler.capacity());
            if (assembler.markerFound()) {
                Check(assembler.pendingLength() >= CAssembler::kMinRecord &&
                      assembler.pendingLength() <= CAssembler::kMaxRecord &&
                      assembler.pendingLength() > assembler.length());
            } else {
                Check(assembler.length() < static_cast<int32_t>(kMarkerSize));
            }
        }
    }
    Check(testing::LiveBlocks() == live);
    return 0;
}
