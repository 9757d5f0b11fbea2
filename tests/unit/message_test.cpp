#include "session/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "client/allocator.h"

namespace tarvik {
namespace {

std::vector<uint8_t> Build(int16_t command, int16_t param, int16_t clientId, int32_t requestId,
                           int32_t sequence, const void* payload, uint32_t payloadLength) {
    uint8_t* block = nullptr;
    size_t size = 0;
    EXPECT_TRUE(BuildMessage(command, param, clientId, requestId, sequence, payload, payloadLength,
                             &block, &size));
    std::vector<uint8_t> out(block, block + size);
    MemFree(block);
    return out;
}

TEST(MessageTest, LoginGoldenVector) {
    // The first login of a client with client parameter 3.
    const std::vector<uint8_t> m = Build(CMD_LOGIN, 3, LOGIN_CLIENT_ID, 0, 1, nullptr, 0);
    const uint8_t expected[64] = {
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,  // 0-7: clientId 16
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 8-15
        0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,  // 16-23: reservedA/B/C
        0x00, 0x00, 0x17, 0x04, 0x00, 0x00, 0x00, 0x00,  // 24-31: magic, payloadLength 0
        0x05, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,  // 32-39: command 5, param 3
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 40-47
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 48-55: requestId 0 at 54
        0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // 56-63: sequence 1 at 58
    };
    ASSERT_EQ(m.size(), 64u);
    EXPECT_EQ(0, std::memcmp(m.data(), expected, 64));
    EXPECT_TRUE(IsValidMessage(m.data(), m.size()));

    uint8_t marker[16];
    WriteMarker(marker, static_cast<int32_t>(kMarkerSize + m.size()), MARKER_MESSAGE);
    const uint8_t expectedMarker[16] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                                        0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(marker, expectedMarker, 16));
    EXPECT_TRUE(IsMarkerSignature(marker));
}

TEST(MessageTest, PayloadAndFieldsAtOddOffsets) {
    const uint8_t payload[3] = {0xAA, 0xBB, 0xCC};
    const std::vector<uint8_t> m =
        Build(CMD_READ_VALUES, 1, -2001, 0x01020304, 0x0A0B0C0D, payload, sizeof payload);
    ASSERT_EQ(m.size(), 67u);
    EXPECT_EQ(m[54], 0x04);
    EXPECT_EQ(m[57], 0x01);
    EXPECT_EQ(m[58], 0x0D);
    EXPECT_EQ(m[61], 0x0A);
    EXPECT_EQ(m[6], 0x2F);  // -2001 = 0xF82F
    EXPECT_EQ(m[7], 0xF8);
    EXPECT_EQ(m[28], 3);
    EXPECT_EQ(0, std::memcmp(m.data() + 64, payload, 3));

    const HeaderView h = ReadHeader(m.data());
    EXPECT_EQ(h.clientId, -2001);
    EXPECT_EQ(h.magic, MSG_MAGIC);
    EXPECT_EQ(h.payloadLength, 3);
    EXPECT_EQ(h.command, CMD_READ_VALUES);
    EXPECT_EQ(h.param, 1);
    EXPECT_EQ(h.requestId, 0x01020304);
    EXPECT_EQ(h.sequence, 0x0A0B0C0D);
    EXPECT_TRUE(IsValidMessage(m.data(), m.size()));
}

TEST(MessageTest, NullPayloadIsSentAsZeros) {
    const std::vector<uint8_t> m = Build(CMD_RESUBSCRIBE, 1, 7, 0, 2, nullptr, 8);
    ASSERT_EQ(m.size(), 72u);
    for (size_t i = 64; i < 72; ++i) {
        EXPECT_EQ(m[i], 0) << i;
    }
}

TEST(MessageTest, AllocationFailureReportsNothing) {
    uint8_t* block = reinterpret_cast<uint8_t*>(&block);
    size_t size = 99;
    const int64_t live = testing::LiveBlocks();
    testing::FailNthAllocation(1);
    EXPECT_FALSE(BuildMessage(CMD_LOGIN, 0, 16, 0, 1, nullptr, 0, &block, &size));
    testing::FailNthAllocation(0);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(testing::LiveBlocks(), live);
    // A payload length the int32 header field cannot state is refused.
    EXPECT_FALSE(BuildMessage(CMD_LOGIN, 0, 16, 0, 1, nullptr, 0x80000000u, &block, &size));
}

TEST(MessageTest, ValidationRejectsWrongLengthAndMagic) {
    const uint8_t payload[10] = {};
    std::vector<uint8_t> m = Build(CMD_HEARTBEAT, 0, 5, 0, 9, payload, sizeof payload);
    EXPECT_TRUE(IsValidMessage(m.data(), 74));
    EXPECT_FALSE(IsValidMessage(m.data(), 73));
    m.push_back(0);
    EXPECT_FALSE(IsValidMessage(m.data(), 75));
    m.pop_back();

    std::vector<uint8_t> bad = m;
    StoreI16(bad.data() + hdr::kMagic, 1046);
    EXPECT_FALSE(IsValidMessage(bad.data(), bad.size()));

    // A negative payload length never matches, however the sum wraps.
    bad = m;
    StoreI32(bad.data() + hdr::kPayloadLength, -64);
    EXPECT_FALSE(IsValidMessage(bad.data(), 0));
    EXPECT_FALSE(IsValidMessage(bad.data(), bad.size()));
    StoreI32(bad.data() + hdr::kPayloadLength, INT32_MIN);
    EXPECT_FALSE(IsValidMessage(bad.data(), bad.size()));
    EXPECT_FALSE(IsValidMessage(nullptr, 64));
}

TEST(MessageTest, ShortBlocksRejectedWithoutReadingBeyondThem) {
    // Each block is its own heap allocation of exactly n bytes, so a read past
    // its end is caught by the address sanitizer.
    for (size_t n = 0; n < kHeaderSize; ++n) {
        std::vector<uint8_t> block(n, 0);
        if (n > hdr::kMagic + 1) {
            StoreI16(block.data() + hdr::kMagic, MSG_MAGIC);
        }
        EXPECT_FALSE(IsValidMessage(n == 0 ? nullptr : block.data(), n)) << n;
    }
}

}  // namespace
}  // namespace tarvik
