#include "session/value_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/allocator.h"
#include "client/var_value.h"

namespace tarvik {
namespace {

// A decoded value that frees its text block on scope exit.
struct Value {
    VarValue v = VarNone();
    ~Value() { VarEmpty(&v); }
};

bool Decode(const std::vector<uint8_t>& bytes, size_t* pos, Value* out) {
    return DecodeValueRecord(bytes.data(), bytes.size(), pos, &out->v);
}

TEST(ValueRecordTest, NoneTypesAreOneByte) {
    const std::vector<uint8_t> bytes = {3, 0, 1, 2, 0x05, 0x01, 0x7F};
    size_t pos = 0;
    Value v;
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_NONE);
    EXPECT_EQ(pos, 1u);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_NONE);
    EXPECT_EQ(pos, 2u);
    // The next record starts right after the lone type bytes.
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_LONG);
    EXPECT_EQ(VarLong(v.v), 261);
    EXPECT_EQ(pos, 6u);
    ASSERT_TRUE(Decode(bytes, &pos, &v));  // 0x7F: unknown type
    EXPECT_EQ(v.v.tag, VAL_NONE);
    EXPECT_EQ(pos, 7u);
    EXPECT_FALSE(Decode(bytes, &pos, &v));  // nothing left
    EXPECT_EQ(pos, 7u);
}

TEST(ValueRecordTest, ShortNumbersUseLowBytes) {
    const std::vector<uint8_t> bytes = {
        1, 0,                                            // long, no bytes: 0
        1, 4, 0xFF, 0xFF, 0xFF, 0xFF,                    // -1
        2, 0,                                            // double, no bytes: 0.0
        2, 8, 0,    0,    0,    0,    0, 0, 0xF0, 0x3F,  // 1.0
        2, 7, 0,    0,    0,    0,    0, 0, 0xF0,  // low 7 bytes of 1.0: a tiny positive number
    };
    size_t pos = 0;
    Value v;
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_LONG);
    EXPECT_EQ(VarLong(v.v), 0);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(VarLong(v.v), -1);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_DOUBLE);
    EXPECT_EQ(VarDouble(v.v), 0.0);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(VarDouble(v.v), 1.0);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    uint64_t bits = 0x00F0000000000000ull;
    double expected;
    std::memcpy(&expected, &bits, sizeof expected);
    EXPECT_EQ(VarDouble(v.v), expected);
    EXPECT_EQ(pos, bytes.size());
}

TEST(ValueRecordTest, Strings) {
    std::vector<uint8_t> bytes = {4, 1, 0};  // only the zero byte: empty text
    bytes.push_back(4);
    bytes.push_back(64);
    for (int i = 0; i < 64; ++i) {
        bytes.push_back(static_cast<uint8_t>('A' + i % 26));  // no zero byte
    }
    const uint8_t withZero[] = {4, 6, 'a', 'b', 0, 'c', 'd', 0};
    bytes.insert(bytes.end(), withZero, withZero + sizeof withZero);
    bytes.push_back(4);  // L = 0: nothing at all
    bytes.push_back(0);

    size_t pos = 0;
    Value v;
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_STRING);
    EXPECT_STREQ(VarText(v.v), "");
    EXPECT_EQ(pos, 3u);

    ASSERT_TRUE(Decode(bytes, &pos, &v));
    const std::string text(VarText(v.v));
    EXPECT_EQ(text.size(), 63u);
    EXPECT_EQ(text.substr(0, 3), "ABC");
    EXPECT_EQ(text[62], 'A' + 62 % 26);
    EXPECT_EQ(pos, 3u + 66u);

    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_STREQ(VarText(v.v), "ab");
    EXPECT_EQ(pos, 3u + 66u + 8u);  // all L bytes are consumed

    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_STRING);
    EXPECT_STREQ(VarText(v.v), "");
    EXPECT_EQ(pos, bytes.size());
}

TEST(ValueRecordTest, OverLongLengthsAreConsumedAndCut) {
    std::vector<uint8_t> bytes = {1, 6, 0x01, 0x02, 0x03, 0x04, 0xEE, 0xEE};  // long, L = 6
    const uint8_t d[] = {2, 10, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0x11, 0x22};    // double, L = 10
    bytes.insert(bytes.end(), d, d + sizeof d);
    bytes.push_back(4);  // text, L = 200, no zero
    bytes.push_back(200);
    bytes.insert(bytes.end(), 200, 'x');
    bytes.push_back(0);  // VAL_NONE behind them

    size_t pos = 0;
    Value v;
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(VarLong(v.v), 0x04030201);
    EXPECT_EQ(pos, 8u);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(VarDouble(v.v), 1.0);
    EXPECT_EQ(pos, 20u);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(std::string(VarText(v.v)), std::string(63, 'x'));
    EXPECT_EQ(pos, 222u);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_NONE);
    EXPECT_EQ(pos, bytes.size());
}

TEST(ValueRecordTest, TruncatedRecordsFailWithPositionKept) {
    const std::vector<std::vector<uint8_t>> cases = {
        {1},                    // length byte missing
        {1, 4, 1, 2, 3},        // one byte short
        {2, 8, 0, 0, 0, 0, 0},  // three bytes short
        {4, 5, 'a', 'b'},       // text runs past the end
        {4, 255},               // the largest length, nothing behind it
    };
    for (const auto& record : cases) {
        // Put the record behind a valid one so pos starts in the middle; the
        // vector's heap block ends where the record does (ASan checks reads).
        std::vector<uint8_t> bytes = {0};
        bytes.insert(bytes.end(), record.begin(), record.end());
        size_t pos = 1;
        Value v;
        VarSetLong(&v.v, 77);
        EXPECT_FALSE(Decode(bytes, &pos, &v)) << record.size();
        EXPECT_EQ(pos, 1u);
        EXPECT_EQ(v.v.tag, VAL_NONE);
    }
    size_t pos = 5;
    Value v;
    const std::vector<uint8_t> three = {0, 0, 0};
    EXPECT_FALSE(Decode(three, &pos, &v));  // pos beyond the end
    EXPECT_EQ(pos, 5u);
}

TEST(ValueRecordTest, TextAllocationFailureFails) {
    const std::vector<uint8_t> bytes = {4, 3, 'h', 'i', 0};
    size_t pos = 0;
    Value v;
    const int64_t live = testing::LiveBlocks();
    testing::FailNthAllocation(1);
    EXPECT_FALSE(Decode(bytes, &pos, &v));
    testing::FailNthAllocation(0);
    EXPECT_EQ(pos, 0u);
    EXPECT_EQ(v.v.tag, VAL_NONE);
    EXPECT_EQ(testing::LiveBlocks(), live);
}

TEST(ValueRecordTest, KeyedRecords) {
    const std::vector<uint8_t> bytes = {
        0x2A, 0x00, 0x00, 0x05, 1, 4, 0x10, 0, 0, 0,  // key: point 42, field 5; long 16
        0x01, 0x00, 0x00, 0x00, 0,                    // key 1, no value
        0x02, 0x00, 0x00, 0x00, 4, 9, 'a',            // key 2, text cut short
    };
    size_t pos = 0;
    uint32_t key = 0;
    Value v;
    ASSERT_TRUE(DecodeKeyedValueRecord(bytes.data(), bytes.size(), &pos, &key, &v.v));
    EXPECT_EQ(key, 0x0500002Au);
    EXPECT_EQ(VarLong(v.v), 16);
    EXPECT_EQ(pos, 10u);
    ASSERT_TRUE(DecodeKeyedValueRecord(bytes.data(), bytes.size(), &pos, &key, &v.v));
    EXPECT_EQ(key, 1u);
    EXPECT_EQ(v.v.tag, VAL_NONE);
    EXPECT_EQ(pos, 15u);
    EXPECT_FALSE(DecodeKeyedValueRecord(bytes.data(), bytes.size(), &pos, &key, &v.v));
    EXPECT_EQ(pos, 15u);
    // Fewer than four bytes for the key.
    pos = bytes.size() - 3;
    EXPECT_FALSE(DecodeKeyedValueRecord(bytes.data(), bytes.size(), &pos, &key, &v.v));
    EXPECT_EQ(pos, bytes.size() - 3);
}

TEST(ValueRecordTest, EncoderGoldenBytes) {
    uint8_t out[kMaxValueRecord];
    ASSERT_EQ(EncodeLongRecord(261, out), 6u);
    const uint8_t lng[] = {0x01, 0x04, 0x05, 0x01, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(out, lng, sizeof lng));

    ASSERT_EQ(EncodeLongRecord(-2, out), 6u);
    const uint8_t neg[] = {0x01, 0x04, 0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(out, neg, sizeof neg));

    ASSERT_EQ(EncodeDoubleRecord(-2.5, out), 10u);
    const uint8_t dbl[] = {0x02, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xC0};
    EXPECT_EQ(0, std::memcmp(out, dbl, sizeof dbl));

    ASSERT_EQ(EncodeTextRecord("ON", 2, out), 5u);
    const uint8_t txt[] = {0x04, 0x03, 'O', 'N', 0x00};
    EXPECT_EQ(0, std::memcmp(out, txt, sizeof txt));

    ASSERT_EQ(EncodeTextRecord(nullptr, 10, out), 3u);
    const uint8_t empty[] = {0x04, 0x01, 0x00};
    EXPECT_EQ(0, std::memcmp(out, empty, sizeof empty));

    const std::string longText(100, 'z');
    ASSERT_EQ(EncodeTextRecord(longText.data(), longText.size(), out), 66u);
    EXPECT_EQ(out[1], 64);
    EXPECT_EQ(out[64], 'z');
    EXPECT_EQ(out[65], 0);
}

TEST(ValueRecordTest, EncodeVarValueRoundTrips) {
    Value s;
    ASSERT_TRUE(VarSetText(&s.v, "pump 7", 6));
    Value l;
    VarSetLong(&l.v, 123456);
    Value d;
    VarSetDouble(&d.v, 3.25);
    VarValue other = VarNone();
    other.tag = 3;

    std::vector<uint8_t> bytes(4 * kMaxValueRecord);
    size_t n = 0;
    n += EncodeValueRecord(s.v, bytes.data() + n);
    n += EncodeValueRecord(l.v, bytes.data() + n);
    n += EncodeValueRecord(d.v, bytes.data() + n);
    const size_t before = n;
    n += EncodeValueRecord(other, bytes.data() + n);
    EXPECT_EQ(n - before, 1u);
    EXPECT_EQ(bytes[before], 0);
    bytes.resize(n);

    size_t pos = 0;
    Value v;
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_STREQ(VarText(v.v), "pump 7");
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(VarLong(v.v), 123456);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(VarDouble(v.v), 3.25);
    ASSERT_TRUE(Decode(bytes, &pos, &v));
    EXPECT_EQ(v.v.tag, VAL_NONE);
    EXPECT_EQ(pos, bytes.size());
}

}  // namespace
}  // namespace tarvik
