#include "session/assembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/allocator.h"
#include "session/message.h"

namespace tarvik {
namespace {

using Bytes = std::vector<uint8_t>;

// Records what the assembler hands out, and the order of records and stamps.
class RecordingSink : public IRecordSink {
  public:
    void HandleRecord(const uint8_t* record, int32_t totalLength) override {
        records.emplace_back(record, record + totalLength);
        kinds.push_back(LoadI32(record + 12));
        log += "R";
    }
    void StampActivity() override {
        ++stamps;
        log += "S";
    }

    std::vector<Bytes> records;
    std::vector<int32_t> kinds;
    int stamps = 0;
    std::string log;
};

Bytes Marker(int32_t totalLength, int32_t kind) {
    Bytes m(kMarkerSize);
    WriteMarker(m.data(), totalLength, kind);
    return m;
}

// A marker of kind 0 and a message with `payloadLength` payload bytes.
Bytes MessageRecord(uint32_t payloadLength, int32_t sequence = 1) {
    Bytes payload(payloadLength);
    for (uint32_t i = 0; i < payloadLength; ++i) {
        payload[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    uint8_t* block = nullptr;
    size_t size = 0;
    EXPECT_TRUE(BuildMessage(CMD_HEARTBEAT, 0, 9, 0, sequence, payload.data(), payloadLength,
                             &block, &size));
    Bytes record = Marker(static_cast<int32_t>(kMarkerSize + size), MARKER_MESSAGE);
    record.insert(record.end(), block, block + size);
    MemFree(block);
    return record;
}

Bytes ProbeRecord() {
    Bytes record = Marker(kProbeLength, MARKER_PROBE);
    record.insert(record.end(), 4, 0);
    return record;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

bool Feed(CAssembler& a, const Bytes& bytes, size_t from, size_t n, RecordingSink& sink) {
    return a.AssembleMessages(bytes.data() + from, static_cast<int32_t>(n), sink);
}

TEST(AssemblerTest, GarbageBeforeMessageIsSkipped) {
    const Bytes message = MessageRecord(20);
    const Bytes stream = Concat({{0x88, 0x88, 0x01}, message});
    CAssembler a;
    RecordingSink sink;
    ASSERT_TRUE(Feed(a, stream, 0, stream.size(), sink));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0], message);
    EXPECT_TRUE(IsValidMessage(sink.records[0].data() + kMarkerSize, message.size() - kMarkerSize));
    EXPECT_EQ(sink.log, "RS");
    EXPECT_EQ(a.length(), 0);
    EXPECT_FALSE(a.markerFound());
}

TEST(AssemblerTest, RecordInThreeFragments) {
    const Bytes message = MessageRecord(20);  // 100 bytes
    CAssembler a;
    RecordingSink sink;

    ASSERT_TRUE(Feed(a, message, 0, 10, sink));  // no whole marker yet
    EXPECT_TRUE(sink.records.empty());
    EXPECT_EQ(sink.stamps, 0);
    EXPECT_FALSE(a.markerFound());
    EXPECT_EQ(a.length(), 10);

    ASSERT_TRUE(Feed(a, message, 10, 50, sink));  // marker found, record incomplete
    EXPECT_TRUE(sink.records.empty());
    EXPECT_EQ(sink.stamps, 1);
    EXPECT_TRUE(a.markerFound());
    EXPECT_EQ(a.pendingLength(), 100);
    EXPECT_EQ(a.length(), 60);

    ASSERT_TRUE(Feed(a, message, 60, message.size() - 60, sink));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0], message);
    EXPECT_EQ(sink.log, "SRS");
    EXPECT_FALSE(a.markerFound());
    EXPECT_EQ(a.length(), 0);
}

TEST(AssemblerTest, SeveralRecordsInOneArrivalInOrder) {
    const Bytes first = MessageRecord(3, 1);
    const Bytes probe = ProbeRecord();
    const Bytes second = MessageRecord(0, 2);
    const Bytes partial = MessageRecord(5, 3);
    const Bytes stream = Concat({first, probe, second, partial});
    CAssembler a;
    RecordingSink sink;
    // Everything but the last byte of the fourth record.
    ASSERT_TRUE(Feed(a, stream, 0, stream.size() - 1, sink));
    ASSERT_EQ(sink.records.size(), 3u);
    EXPECT_EQ(sink.records[0], first);
    EXPECT_EQ(sink.records[1], probe);
    EXPECT_EQ(sink.records[2], second);
    EXPECT_EQ(sink.kinds, (std::vector<int32_t>{MARKER_MESSAGE, MARKER_PROBE, MARKER_MESSAGE}));
    // A stamp per message record and one for the message still waiting.
    EXPECT_EQ(sink.log, "RSRRSS");
    EXPECT_EQ(a.length(), static_cast<int32_t>(partial.size() - 1));  // compacted to the front

    ASSERT_TRUE(Feed(a, stream, stream.size() - 1, 1, sink));
    ASSERT_EQ(sink.records.size(), 4u);
    EXPECT_EQ(sink.records[3], partial);
}

TEST(AssemblerTest, FalseMarkersAreSkippedWhole) {
    const Bytes message = MessageRecord(4);
    for (int32_t badLength : {8, 15, -1, CAssembler::kMaxRecord + 1}) {
        const Bytes stream = Concat({Marker(badLength, MARKER_MESSAGE), message});
        CAssembler a;
        RecordingSink sink;
        ASSERT_TRUE(Feed(a, stream, 0, stream.size(), sink));
        ASSERT_EQ(sink.records.size(), 1u) << badLength;
        EXPECT_EQ(sink.records[0], message);
        EXPECT_EQ(sink.log, "RS");
    }
    // A false marker that ends the buffer: the scan stops exactly at its end.
    CAssembler a;
    RecordingSink sink;
    const Bytes alone = Marker(8, MARKER_MESSAGE);
    ASSERT_TRUE(Feed(a, alone, 0, alone.size(), sink));
    EXPECT_TRUE(sink.records.empty());
    EXPECT_EQ(sink.stamps, 0);
    EXPECT_EQ(a.length(), 0);
}

TEST(AssemblerTest, SmallestAndLargestRecordLengths) {
    CAssembler a;
    RecordingSink sink;
    const Bytes empty = Marker(16, 5);  // a bare marker of an unknown kind
    ASSERT_TRUE(Feed(a, empty, 0, empty.size(), sink));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.kinds[0], 5);
    EXPECT_EQ(sink.stamps, 0);

    // The largest accepted length waits for its bytes instead of being skipped.
    const Bytes huge = Marker(CAssembler::kMaxRecord, MARKER_MESSAGE);
    ASSERT_TRUE(Feed(a, huge, 0, huge.size(), sink));
    EXPECT_TRUE(a.markerFound());
    EXPECT_EQ(a.pendingLength(), CAssembler::kMaxRecord);
    EXPECT_EQ(sink.stamps, 1);
}

TEST(AssemblerTest, MarkerSplitBeforeItsLastByte) {
    const Bytes message = MessageRecord(8);
    CAssembler a;
    RecordingSink sink;
    ASSERT_TRUE(Feed(a, message, 0, 15, sink));
    EXPECT_FALSE(a.markerFound());
    EXPECT_EQ(a.length(), 15);
    EXPECT_EQ(sink.log, "");
    ASSERT_TRUE(Feed(a, message, 15, 1, sink));
    EXPECT_TRUE(a.markerFound());
    EXPECT_EQ(sink.log, "S");
    ASSERT_TRUE(Feed(a, message, 16, message.size() - 16, sink));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0], message);
}

TEST(AssemblerTest, OtherKindsAreHandedOverWithoutStamp) {
    Bytes other = Marker(24, 1);
    other.insert(other.end(), 8, 0xAB);
    const Bytes message = MessageRecord(0);
    const Bytes stream = Concat({other, message});
    CAssembler a;
    RecordingSink sink;
    // A kind-1 record split in two: no stamp while it waits either.
    ASSERT_TRUE(Feed(a, stream, 0, 20, sink));
    EXPECT_EQ(sink.log, "");
    ASSERT_TRUE(Feed(a, stream, 20, stream.size() - 20, sink));
    ASSERT_EQ(sink.records.size(), 2u);
    EXPECT_EQ(sink.kinds[0], 1);
    EXPECT_EQ(sink.records[0], other);
    EXPECT_EQ(sink.records[1], message);
    EXPECT_EQ(sink.log, "RRS");
}

TEST(AssemblerTest, ResetInTheMiddleOfARecord) {
    const Bytes first = MessageRecord(40, 1);
    const Bytes next = MessageRecord(10, 2);
    const int64_t live = testing::LiveBlocks();
    CAssembler a;
    RecordingSink sink;
    ASSERT_TRUE(Feed(a, first, 0, 50, sink));
    EXPECT_TRUE(a.markerFound());
    a.Reset();
    EXPECT_FALSE(a.markerFound());
    EXPECT_EQ(a.length(), 0);
    EXPECT_EQ(a.capacity(), 0);
    EXPECT_EQ(testing::LiveBlocks(), live);

    ASSERT_TRUE(Feed(a, next, 0, next.size(), sink));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0], next);
}

TEST(AssemblerTest, LargeEmptyBufferIsReleasedSmallOneKept) {
    const int64_t live = testing::LiveBlocks();
    CAssembler a;
    RecordingSink sink;
    const Bytes small = MessageRecord(100);
    ASSERT_TRUE(Feed(a, small, 0, small.size(), sink));
    EXPECT_EQ(a.length(), 0);
    EXPECT_EQ(a.capacity(), static_cast<int32_t>(small.size()) + CAssembler::kGrowth);

    const Bytes large = MessageRecord(CAssembler::kKeepCapacity);
    ASSERT_TRUE(Feed(a, large, 0, large.size(), sink));
    ASSERT_EQ(sink.records.size(), 2u);
    EXPECT_EQ(sink.records[1], large);
    EXPECT_EQ(a.length(), 0);
    EXPECT_EQ(a.capacity(), 0);
    EXPECT_EQ(testing::LiveBlocks(), live);

    // Not released while a partial record is held.
    const Bytes stream = Concat({large, Bytes(small.begin(), small.begin() + 30)});
    ASSERT_TRUE(Feed(a, stream, 0, stream.size(), sink));
    EXPECT_EQ(a.length(), 30);
    EXPECT_GT(a.capacity(), CAssembler::kKeepCapacity);
}

TEST(AssemblerTest, ByteByByteStreamWithNoise) {
    Bytes stream;
    std::vector<Bytes> expected;
    for (int i = 0; i < 20; ++i) {
        // Noise that is not 0x88: signature bytes right before a marker would
        // shift it and make a false marker with a plausible length.
        stream.insert(stream.end(), static_cast<size_t>(i % 5), static_cast<uint8_t>(0x11));
        const Bytes record = (i % 3 == 2) ? ProbeRecord() : MessageRecord(i * 3, i);
        stream.insert(stream.end(), record.begin(), record.end());
        expected.push_back(record);
        if (i % 4 == 0) {
            const Bytes bad = Marker(3, 0);
            stream.insert(stream.end(), bad.begin(), bad.end());
        }
    }
    CAssembler a;
    RecordingSink sink;
    for (size_t i = 0; i < stream.size(); ++i) {
        ASSERT_TRUE(Feed(a, stream, i, 1, sink));
    }
    EXPECT_EQ(sink.records, expected);
    EXPECT_EQ(a.length(), 0);
}

TEST(AssemblerTest, AllocationFailureDropsAndRecovers) {
    const Bytes first = MessageRecord(10, 1);
    const Bytes next = MessageRecord(6, 2);
    CAssembler a;
    RecordingSink sink;
    testing::FailNthAllocation(1);
    EXPECT_FALSE(Feed(a, first, 0, 30, sink));
    testing::FailNthAllocation(0);
    EXPECT_EQ(a.length(), 0);
    EXPECT_FALSE(a.markerFound());
    // The rest of the lost record is noise now; the next record is found.
    const Bytes stream = Concat({Bytes(first.begin() + 30, first.end()), next});
    ASSERT_TRUE(Feed(a, stream, 0, stream.size(), sink));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0], next);
}

TEST(AssemblerTest, ReceivingIntoRoomMatchesAppending) {
    // Records whole, split and after noise, received into the assembler's own
    // buffer in pieces of every size: the same records, in order, once each.
    Bytes stream;
    std::vector<Bytes> expected;
    for (int i = 0; i < 12; ++i) {
        stream.insert(stream.end(), static_cast<size_t>(i % 3), static_cast<uint8_t>(0x11));
        const Bytes record = MessageRecord(i * 11, i);
        stream.insert(stream.end(), record.begin(), record.end());
        expected.push_back(record);
    }
    for (size_t piece : {size_t{1}, size_t{7}, size_t{80}, stream.size()}) {
        CAssembler a;
        RecordingSink sink;
        for (size_t at = 0; at < stream.size(); at += piece) {
            const size_t n = std::min(piece, stream.size() - at);
            uint8_t* room = a.Room(static_cast<int32_t>(n));
            ASSERT_NE(room, nullptr);
            std::copy(stream.begin() + at, stream.begin() + at + n, room);
            a.Commit(static_cast<int32_t>(n), sink);
        }
        EXPECT_EQ(sink.records, expected) << "pieces of " << piece;
        EXPECT_EQ(a.length(), 0);
    }

    // A whole record and the start of the next in one arrival: the first is
    // handed out where it lies, only the tail is kept.
    const Bytes next = MessageRecord(30, 99);
    const Bytes both = Concat({expected[3], Bytes(next.begin(), next.begin() + 20)});
    CAssembler a;
    RecordingSink sink;
    ASSERT_TRUE(a.AssembleMessages(both.data(), static_cast<int32_t>(both.size()), sink));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(a.length(), 20);
    EXPECT_TRUE(a.markerFound());
    ASSERT_TRUE(Feed(a, next, 20, next.size() - 20, sink));
    ASSERT_EQ(sink.records.size(), 2u);
    EXPECT_EQ(sink.records[1], next);
}

TEST(AssemblerTest, EmptyArrivalDoesNothing) {
    CAssembler a;
    RecordingSink sink;
    const Bytes message = MessageRecord(0);
    ASSERT_TRUE(Feed(a, message, 0, 20, sink));
    EXPECT_EQ(sink.stamps, 1);
    EXPECT_TRUE(a.AssembleMessages(nullptr, 10, sink));
    EXPECT_TRUE(a.AssembleMessages(message.data(), 0, sink));
    EXPECT_EQ(sink.stamps, 1);
    EXPECT_EQ(a.length(), 20);
}

}  // namespace
}  // namespace tarvik
