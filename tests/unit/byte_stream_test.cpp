#include "session/byte_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "client/allocator.h"

namespace tarvik {
namespace {

TEST(ByteStreamTest, FirstInFirstOut) {
    CByteStream s;
    EXPECT_TRUE(s.Append("abc", 3));
    EXPECT_TRUE(s.Append("defg", 4));
    EXPECT_EQ(s.GetLength(), 7);
    char out[4];
    EXPECT_EQ(s.Read(out, 2), 2);
    EXPECT_EQ(0, std::memcmp(out, "ab", 2));
    EXPECT_EQ(s.GetLength(), 5);
    EXPECT_EQ(s.Read(out, 4), 4);
    EXPECT_EQ(0, std::memcmp(out, "cdef", 4));
    EXPECT_EQ(s.GetLength(), 1);

    // Taking hands the bytes held over whole and leaves the stream empty.
    EXPECT_TRUE(s.Append("hi", 2));
    uint8_t* taken = nullptr;
    ASSERT_EQ(s.Take(&taken), 3);
    EXPECT_EQ(0, std::memcmp(taken, "ghi", 3));
    MemFree(taken);
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(s.Take(&taken), 0);
    EXPECT_EQ(taken, nullptr);
}

TEST(ByteStreamTest, ReadMoreThanHeldZeroFillsAndReleases) {
    const int64_t live = testing::LiveBlocks();
    CByteStream s;
    ASSERT_TRUE(s.Append("xyz", 3));
    EXPECT_EQ(testing::LiveBlocks(), live + 1);
    uint8_t out[10];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(s.Read(out, 10), 3);
    EXPECT_EQ(0, std::memcmp(out, "xyz", 3));
    for (int i = 3; i < 10; ++i) {
        EXPECT_EQ(out[i], 0) << i;
    }
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(testing::LiveBlocks(), live);  // the buffer is gone

    // An empty stream still zero-fills.
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(s.Read(out, 10), 0);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[9], 0);
}

TEST(ByteStreamTest, ReadingExactlyWhatIsHeldReleases) {
    const int64_t live = testing::LiveBlocks();
    CByteStream s;
    ASSERT_TRUE(s.Append("12345", 5));
    char out[5];
    EXPECT_EQ(s.Read(out, 5), 5);
    EXPECT_EQ(testing::LiveBlocks(), live);
}

TEST(ByteStreamTest, EmptyAppendChangesNothing) {
    const int64_t live = testing::LiveBlocks();
    CByteStream s;
    EXPECT_TRUE(s.Append(nullptr, 5));
    EXPECT_TRUE(s.Append("a", 0));
    EXPECT_TRUE(s.Append("a", -1));
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(testing::LiveBlocks(), live);  // no buffer was allocated
}

TEST(ByteStreamTest, AllocationFailureLeavesStreamUnchanged) {
    CByteStream s;
    ASSERT_TRUE(s.Append("hello", 5));
    // Force a growth: more than the 64000 spare bytes of the first buffer.
    std::vector<uint8_t> big(CByteStream::kGrowth + 10, 0x42);
    const int64_t live = testing::LiveBlocks();
    testing::FailNthAllocation(1);
    EXPECT_FALSE(s.Append(big.data(), static_cast<int32_t>(big.size())));
    testing::FailNthAllocation(0);
    EXPECT_EQ(testing::LiveBlocks(), live);
    EXPECT_EQ(s.GetLength(), 5);
    char out[6] = {};
    EXPECT_EQ(s.Read(out, 6), 5);
    EXPECT_STREQ(out, "hello");

    // The first allocation of an empty stream failing leaves it empty.
    testing::FailNthAllocation(1);
    EXPECT_FALSE(s.Append("a", 1));
    testing::FailNthAllocation(0);
    EXPECT_EQ(s.GetLength(), 0);
}

TEST(ByteStreamTest, GrowthKeepsBytesAndClearReleases) {
    const int64_t live = testing::LiveBlocks();
    CByteStream s;
    std::vector<uint8_t> expected;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> chunk(1000, static_cast<uint8_t>(i));
        ASSERT_TRUE(s.Append(chunk.data(), static_cast<int32_t>(chunk.size())));
        expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
    ASSERT_EQ(s.GetLength(), 300000);
    std::vector<uint8_t> out(1000);
    ASSERT_EQ(s.Read(out.data(), 1000), 1000);
    EXPECT_EQ(out[999], 0);
    ASSERT_EQ(s.Read(out.data(), 1000), 1000);
    EXPECT_EQ(out[0], 1);
    s.Clear();
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(testing::LiveBlocks(), live);
}

TEST(ByteStreamTest, ConcurrentWriterAndReaderLoseNothing) {
    CByteStream s;
    constexpr int kChunks = 2000;
    std::thread writer([&] {
        for (int i = 0; i < kChunks; ++i) {
            const uint8_t chunk[3] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x5A};
            ASSERT_TRUE(s.Append(chunk, 3));
        }
    });
    std::vector<uint8_t> got;
    uint8_t buf[64];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.size() < 3u * kChunks && std::chrono::steady_clock::now() < deadline) {
        const int32_t n = s.Read(buf, sizeof buf);
        got.insert(got.end(), buf, buf + n);
        if (n == 0) {
            std::this_thread::yield();
        }
    }
    writer.join();
    ASSERT_EQ(got.size(), 3u * kChunks);
    for (int i = 0; i < kChunks; ++i) {
        ASSERT_EQ(got[3 * i], static_cast<uint8_t>(i));
        ASSERT_EQ(got[3 * i + 1], static_cast<uint8_t>(i >> 8));
        ASSERT_EQ(got[3 * i + 2], 0x5A);
    }
}

}  // namespace
}  // namespace tarvik
