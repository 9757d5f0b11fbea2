// The shared payload layouts: item keys and item lists, whose readers must
// refuse a count the payload cannot hold.
#include "session/payloads.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tarvik {
namespace {

TEST(PayloadsTest, ItemKeyPacksTwentyFourAndEightBitsAndRefusesWiderParts) {
    uint32_t key = 0;
    ASSERT_TRUE(PackItemKey(0xFFFFFFu, 0xFFu, &key));
    EXPECT_EQ(key, 0xFFFFFFFFu);
    ASSERT_TRUE(PackItemKey(0x010203u, 7, &key));
    EXPECT_EQ(key, 0x07010203u);
    EXPECT_EQ(KeyPointIndex(key), 0x010203u);
    EXPECT_EQ(KeyFieldNo(key), 7u);
    key = 42;
    EXPECT_FALSE(PackItemKey(0x1000000u, 0, &key));
    EXPECT_FALSE(PackItemKey(0, 256, &key));
    EXPECT_EQ(key, 42u);
}

TEST(PayloadsTest, ItemListWrittenAndReadBackAndShortListsRefused) {
    std::vector<uint8_t> list(ItemListSize(2));
    CItemListWriter writer(list.data());
    writer.Add(1, 0x0A);
    writer.Add(0x010203, 0xFF);
    EXPECT_EQ(writer.Finish(), list.size());
    const std::vector<uint8_t> expected = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                                           0x00, 0x0A, 0x00, 0x00, 0x00, 0x03, 0x02,
                                           0x01, 0x00, 0xFF, 0x00, 0x00, 0x00};
    EXPECT_EQ(list, expected);

    CItemListReader reader;
    ASSERT_TRUE(reader.Open(list.data(), list.size()));
    ASSERT_EQ(reader.count(), 2u);
    uint32_t point = 0;
    uint32_t field = 0;
    reader.At(1, &point, &field);
    EXPECT_EQ(point, 0x010203u);
    EXPECT_EQ(field, 0xFFu);

    EXPECT_FALSE(reader.Open(list.data(), 3));                // no whole count
    EXPECT_FALSE(reader.Open(list.data(), list.size() - 1));  // last item cut
    const uint8_t huge[12] = {0xFF, 0xFF, 0xFF, 0xFF};        // a count no payload holds
    EXPECT_FALSE(reader.Open(huge, sizeof huge));
    EXPECT_FALSE(reader.Open(nullptr, 0));
}

}  // namespace
}  // namespace tarvik
