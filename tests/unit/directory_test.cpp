// The point directory: building it from a login reply body (layout, checks,
// tie-breaks, name cuts, memory failure) and the sixteen queries on it.
#include "directory/point_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "client/shared_registry.h"
#include "client_probe.h"
#include "platform/platform.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace {

// ---- A small writer of directory bodies --------------------------------------

struct TestField {
    uint8_t valueType;
    std::string name;  // raw bytes; 12 bytes means no terminator
    uint8_t fieldNo;
};
struct TestType {
    int32_t typeId;
    std::vector<TestField> fields;
};
struct TestPoint {
    int32_t aux;
    int32_t typeId;
    std::string name;  // raw bytes; 20 bytes means no terminator
};

void PutI32(std::vector<uint8_t>& b, int32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    }
}
void PutI16(std::vector<uint8_t>& b, int16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
}
void PutName(std::vector<uint8_t>& b, const std::string& name, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        b.push_back(i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
    }
}
void PatchI32(std::vector<uint8_t>& b, size_t at, int32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
    }
}

// The point count follows the type blocks after `gap` unread bytes.
std::vector<uint8_t> MakeBody(const std::vector<TestType>& types,
                              const std::vector<TestPoint>& points, size_t gap = 0) {
    std::vector<uint8_t> blocks;
    for (const TestType& t : types) {
        PutI32(blocks, t.typeId);
        PutI32(blocks, static_cast<int32_t>(t.fields.size()));
        for (const TestField& f : t.fields) {
            blocks.push_back(f.valueType);
            PutName(blocks, f.name, 12);
            blocks.push_back(f.fieldNo);
        }
    }
    std::vector<uint8_t> body;
    PutI32(body, static_cast<int32_t>(blocks.size() + gap) - 3);
    PutI16(body, static_cast<int16_t>(types.size()));
    body.insert(body.end(), blocks.begin(), blocks.end());
    body.insert(body.end(), gap, 0xEE);
    PutI32(body, static_cast<int32_t>(points.size()));
    for (const TestPoint& p : points) {
        PutI32(body, p.aux);
        PutI32(body, p.typeId);
        PutName(body, p.name, 20);
    }
    return body;
}

bool Build(CPointDirectory& dir, const std::vector<uint8_t>& body) {
    return dir.Build(body.data(), body.size());
}

// A plant: an analog type (PV, SP, B.C) and a digital type (PV only).
constexpr int32_t kAnalog = 100;
constexpr int32_t kDigital = 200;
std::vector<TestType> PlantTypes() {
    return {{kAnalog, {{VAL_DOUBLE, "PV", 0}, {VAL_DOUBLE, "SP", 1}, {VAL_STRING, "B.C", 7}}},
            {kDigital, {{VAL_LONG, "PV", 3}}}};
}
std::vector<TestPoint> PlantPoints() {
    return {
        {11, kAnalog, "Tank1"}, {22, kDigital, "Pump1"}, {33, kAnalog, "A"}, {44, 999, "Orphan"}};
}

class DirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Build(dir_, MakeBody(PlantTypes(), PlantPoints()))); }
    void TearDown() override { testing::FailNthAllocation(0); }

    // The plant is still the directory: what every rejected body must leave.
    void ExpectPlant() const {
        EXPECT_EQ(dir_.PointCount(), 4);
        EXPECT_EQ(dir_.TypeCount(), 2);
        EXPECT_EQ(dir_.FindPointByName("TANK1", 5), 0);
        ASSERT_NE(dir_.FindField(kAnalog, 1), nullptr);
        EXPECT_STREQ(dir_.FindField(kAnalog, 1)->name, "SP");
    }

    CPointDirectory dir_;
};

// ---- Building ------------------------------------------------------------------

TEST(DirectoryBuild, GoldenBody) {
    // One type 7 with field PV (double, number 3); one point Tank1 (aux 42).
    const std::vector<uint8_t> golden = {
        0x13, 0x00, 0x00, 0x00,                          // L = 19: count at 28
        0x01, 0x00,                                      // N = 1
        0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // TypeId 7, M = 1
        0x02, 'P',  'V',  0,    0,    0,    0,    0,     // ValueType 2, "PV"
        0,    0,    0,    0,    0,    0x03,              //   ... FieldNo 3
        0x01, 0x00, 0x00, 0x00,                          // d = 1
        0x2A, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,  // Aux 42, TypeId 7
        'T',  'a',  'n',  'k',  '1',  0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(golden.size(), 60u);
    EXPECT_EQ(MakeBody({{7, {{VAL_DOUBLE, "PV", 3}}}}, {{42, 7, "Tank1"}}), golden);

    CPointDirectory dir;
    ASSERT_TRUE(dir.Build(golden.data(), golden.size()));
    EXPECT_EQ(dir.PointCount(), 1);
    EXPECT_EQ(dir.TypeCount(), 1);
    const PointRecord* p = dir.FindPoint(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->aux, 42);
    EXPECT_EQ(p->typeId, 7);
    EXPECT_STREQ(p->name, "Tank1");
    EXPECT_EQ(p->index, 0);
    const FieldDef* f = dir.FindField(7, 3);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->valueType, VAL_DOUBLE);
    EXPECT_STREQ(f->name, "PV");
    EXPECT_EQ(f->fieldNo, 3);
    uint8_t vt = 0;
    EXPECT_TRUE(dir.IsValidItem(0, 3, &vt));
    EXPECT_EQ(vt, VAL_DOUBLE);
    EXPECT_FALSE(dir.IsValidItem(0, 2, &vt));
    EXPECT_FALSE(dir.IsValidItem(1, 3, &vt));
    EXPECT_FALSE(dir.IsValidItem(0, 259, &vt));  // 259 & 0xFF would be 3
    EXPECT_FALSE(dir.IsValidItem(0xFFFFFFFFu, 3, &vt));
}

TEST_F(DirectoryTest, ShortBodyKeepsDirectory) {
    std::vector<uint8_t> body(26, 0);
    PatchI32(body, 0, -3);
    EXPECT_FALSE(Build(dir_, body));
    EXPECT_FALSE(dir_.Build(nullptr, 100));
    ExpectPlant();
}

TEST_F(DirectoryTest, MinimalBodyEmptiesDirectory) {
    // L = -3, N = 0: the point count (0) stands at offset 6; the rest is unread.
    std::vector<uint8_t> body(27, 0xAB);
    PatchI32(body, 0, -3);
    body[4] = 0;
    body[5] = 0;
    PatchI32(body, 6, 0);
    ASSERT_TRUE(Build(dir_, body));
    EXPECT_EQ(dir_.PointCount(), 0);
    EXPECT_EQ(dir_.TypeCount(), 0);
    EXPECT_EQ(dir_.FindPoint(0), nullptr);
    EXPECT_EQ(dir_.FindPointByName("TANK1", 5), -1);
    EXPECT_EQ(dir_.FindType(kAnalog), nullptr);
    int32_t ids[2] = {5, 5};
    EXPECT_EQ(dir_.EnumTypes(2, ids, nullptr), 0);
    EXPECT_EQ(ids[0], 5);
}

TEST_F(DirectoryTest, GapBeforePointCountIsSkipped) {
    ASSERT_TRUE(Build(dir_, MakeBody(PlantTypes(), {{1, kDigital, "Valve9"}}, 13)));
    EXPECT_EQ(dir_.PointCount(), 1);
    EXPECT_EQ(dir_.FindPointByName("valve9", 6), 0);
}

TEST_F(DirectoryTest, BodiesRunningPastTheirEndAreRejected) {
    const std::vector<uint8_t> good = MakeBody(PlantTypes(), {{1, kAnalog, "New"}});
    const size_t typesEnd = good.size() - 4 - 28;  // offset of the point count
    struct Case {
        const char* what;
        std::vector<uint8_t> body;
    };
    std::vector<Case> cases;
    auto patched = [&](const char* what, size_t at, int32_t v) {
        std::vector<uint8_t> b = good;
        PatchI32(b, at, v);
        cases.push_back({what, b});
    };
    {
        std::vector<uint8_t> b = good;
        b[4] = 0xFF;
        b[5] = 0xFF;  // N = -1
        cases.push_back({"negative N", b});
        b[4] = 100;
        b[5] = 0;  // more type blocks than there are
        cases.push_back({"N past the end", b});
        b[4] = 0xFF;
        b[5] = 0x7F;  // N = 32767
        cases.push_back({"huge N", b});
    }
    patched("negative d", typesEnd, -1);
    patched("d one too many", typesEnd, 2);
    patched("huge d", typesEnd, 0x7FFFFFFF);
    patched("negative M", 6 + 4, -1);
    patched("M past the end", 6 + 4, 1000);
    patched("huge M", 6 + 4, 0x7FFFFFFF);
    patched("L before the body", 0, -10);
    patched("L past the body", 0, static_cast<int32_t>(good.size()));
    patched("huge L", 0, 0x7FFFFFFF);
    patched("most negative L", 0, INT32_MIN);
    cases.push_back({"cut in a point", std::vector<uint8_t>(good.begin(), good.end() - 1)});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(Build(dir_, c.body));
        ExpectPlant();
    }
    EXPECT_TRUE(Build(dir_, good));
    EXPECT_EQ(dir_.FindPointByName("NEW", 3), 0);
}

// Corrupted bodies (run under the address sanitizer): each one either builds
// or leaves the directory as it was; nothing is read outside the body.
TEST_F(DirectoryTest, CorruptedBodiesNeverReadOutside) {
    const std::vector<uint8_t> good = MakeBody(PlantTypes(), PlantPoints());
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> body = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            // Mostly the counts and offset, sometimes anywhere.
            const size_t at = rng() % 3 != 0 ? rng() % 12 : rng() % body.size();
            body[at] = static_cast<uint8_t>(rng());
        }
        body.resize(body.size() - rng() % 8);
        CPointDirectory dir;
        ASSERT_TRUE(Build(dir, good));
        if (!Build(dir, body)) {
            EXPECT_EQ(dir.FindPointByName("tank1", 5), 0);
        }
        int32_t ids[8];
        dir.EnumTypes(8, ids, nullptr);
    }
}

TEST_F(DirectoryTest, MemoryShortageKeepsDirectoryAndLeaksNothing) {
    const std::vector<uint8_t> next = MakeBody(PlantTypes(), {{1, kAnalog, "New"}});
    const int64_t live = testing::LiveBlocks();
    int n = 1;
    for (;; ++n) {
        testing::FailNthAllocation(n);
        const bool built = Build(dir_, next);
        testing::FailNthAllocation(0);
        if (built) {
            break;
        }
        SCOPED_TRACE(n);
        ExpectPlant();
        EXPECT_EQ(testing::LiveBlocks(), live);
    }
    EXPECT_GT(n, 3);
    EXPECT_EQ(dir_.FindPointByName("New", 3), 0);
    dir_.Free();
    EXPECT_EQ(dir_.PointCount(), 0);
    EXPECT_EQ(dir_.MemoryBytes(), 0u);
}

TEST_F(DirectoryTest, PointNamesIgnoreCaseAndKeepTheServersCase) {
    for (const char* name : {"TANK1", "tank1", "Tank1", "tAnK1"}) {
        EXPECT_EQ(dir_.FindPointByName(name, std::strlen(name)), 0) << name;
    }
    EXPECT_EQ(dir_.FindPointByName("Tank", 4), -1);
    EXPECT_EQ(dir_.FindPointByName("Tank12", 6), -1);
    EXPECT_STREQ(dir_.FindPoint(0)->name, "Tank1");
}

TEST_F(DirectoryTest, NamesDifferingOnlyInCase) {
    ASSERT_TRUE(Build(
        dir_, MakeBody(PlantTypes(),
                       {{1, kAnalog, "Mixer"}, {2, kAnalog, "Other"}, {3, kAnalog, "MIXER"}})));
    EXPECT_EQ(dir_.FindPointByName("mixer", 5), 2);  // the later one
    EXPECT_STREQ(dir_.FindPoint(0)->name, "Mixer");
    EXPECT_STREQ(dir_.FindPoint(2)->name, "MIXER");
}

TEST_F(DirectoryTest, FieldsByNumberAndByPosition) {
    ASSERT_TRUE(Build(
        dir_,
        MakeBody({{9, {{VAL_LONG, "F255", 255}, {VAL_DOUBLE, "F0", 0}, {VAL_STRING, "F5", 5}}}},
                 {})));
    const PointType* type = dir_.FindType(9);
    ASSERT_NE(type, nullptr);
    int defined = 0;
    for (uint32_t f = 0; f < 256; ++f) {
        defined += dir_.FieldByNo(*type, f) != nullptr ? 1 : 0;
    }
    EXPECT_EQ(defined, 3);
    ASSERT_EQ(type->fieldCount, 3);
    EXPECT_STREQ(dir_.FieldAt(*type, 0)->name, "F255");
    EXPECT_STREQ(dir_.FieldAt(*type, 1)->name, "F0");
    EXPECT_STREQ(dir_.FieldAt(*type, 2)->name, "F5");
    EXPECT_EQ(dir_.FieldAt(*type, 3), nullptr);
    EXPECT_EQ(dir_.FieldAt(*type, -1), nullptr);
    EXPECT_EQ(dir_.FindField(9, 255)->valueType, VAL_LONG);
    EXPECT_EQ(dir_.FindField(9, 256), nullptr);
}

TEST_F(DirectoryTest, LaterFieldWithSameNumberOverwritesItsSlot) {
    ASSERT_TRUE(Build(
        dir_, MakeBody({{9, {{VAL_LONG, "OLD", 4}, {VAL_DOUBLE, "X", 1}, {VAL_STRING, "NEW", 4}}}},
                       {{0, 9, "P"}})));
    EXPECT_STREQ(dir_.FindField(9, 4)->name, "NEW");
    int32_t nos[3], types[3];
    char names[3 * 12];
    EXPECT_EQ(dir_.EnumFields(9, 3, nos, types, names), 3);
    // Both by-position entries of number 4 show the same (later) slot.
    EXPECT_EQ(nos[0], 4);
    EXPECT_STREQ(names, "NEW");
    EXPECT_STREQ(names + 24, "NEW");
    EXPECT_EQ(types[0], VAL_STRING);
    // Both names still lead to number 4, whose slot now holds the later field.
    EXPECT_EQ(dir_.FindFieldByName(9, "old", 3), dir_.FindField(9, 4));
    EXPECT_EQ(dir_.FindFieldByName(9, "new", 3), dir_.FindField(9, 4));
}

TEST_F(DirectoryTest, TypeIdsCollideOnLow16BitsOnly) {
    ASSERT_TRUE(Build(dir_, MakeBody({{1, {{VAL_LONG, "A", 0}}}, {65537, {{VAL_DOUBLE, "B", 0}}}},
                                     {{0, 1, "P1"}, {0, 65537, "P2"}})));
    EXPECT_EQ(dir_.TypeCount(), 1);
    EXPECT_EQ(dir_.FindType(1), dir_.FindType(65537));
    EXPECT_EQ(dir_.FindType(1)->typeId, 65537);  // the later one wins
    EXPECT_STREQ(dir_.FindField(1, 0)->name, "B");
    // The field-name map keeps both types apart by their full id.
    EXPECT_STREQ(dir_.FindFieldByName(1, "a", 1)->name, "A");
    EXPECT_STREQ(dir_.FindFieldByName(65537, "b", 1)->name, "B");
    EXPECT_EQ(dir_.FindFieldByName(1, "B", 1), nullptr);
    EXPECT_EQ(dir_.FindFieldByName(65537, "A", 1), nullptr);
    int32_t ids[2] = {0, 0}, counts[2] = {0, 0};
    EXPECT_EQ(dir_.EnumTypes(2, ids, counts), 1);
    EXPECT_EQ(ids[0], 1);  // the low 16 bits
}

TEST_F(DirectoryTest, UnterminatedNamesAreCut) {
    ASSERT_TRUE(Build(
        dir_,
        MakeBody({{9, {{VAL_LONG, "ABCDEFGHIJKL", 0}, {VAL_LONG, std::string("PV\0junk", 7), 1}}}},
                 {{0, 9, "ABCDEFGHIJKLMNOPQRST"}, {0, 9, std::string("Short\0garbage", 13)}})));
    EXPECT_STREQ(dir_.FindPoint(0)->name, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(dir_.FindPointByName("abcdefghijklmnopqrs", 19), 0);
    EXPECT_EQ(dir_.FindPointByName("ABCDEFGHIJKLMNOPQRST", 20), -1);
    EXPECT_STREQ(dir_.FindPoint(1)->name, "Short");
    const char shortName[20] = "Short";  // the rest zero
    EXPECT_EQ(std::memcmp(dir_.FindPoint(1)->name, shortName, 20), 0);
    EXPECT_STREQ(dir_.FindField(9, 0)->name, "ABCDEFGHIJK");
    EXPECT_EQ(dir_.FindFieldByName(9, "abcdefghijk", 11), dir_.FindField(9, 0));
    EXPECT_STREQ(dir_.FindField(9, 1)->name, "PV");
    EXPECT_EQ(dir_.FindFieldByName(9, "PV", 2), dir_.FindField(9, 1));
}

// ---- Queries ---------------------------------------------------------------------

// Caller arrays of fixed-width name slots.
std::vector<char> Slots(const std::vector<std::string>& names, size_t width) {
    std::vector<char> out(names.size() * width, 0);
    for (size_t i = 0; i < names.size(); ++i) {
        std::memcpy(out.data() + i * width, names[i].data(), std::min(names[i].size(), width));
    }
    return out;
}

TEST_F(DirectoryTest, ResolveItemNames) {
    const std::vector<std::string> items = {
        "tank1",
        "TANK1.SP",
        "TANK1.",
        "nothere.PV",
        "A.B.C",
        "Pump1.sp",
        "Orphan.PV",
        "pump1.pv",
        std::string(20, 'X') + ".PV",
        "TANK1.ABCDEFGHIJKL",
        std::string(32, 'T'),
    };
    std::vector<char> names = Slots(items, 32);
    const std::vector<char> before = names;
    std::vector<int32_t> idx(items.size(), 77), nos(items.size(), 77);
    EXPECT_EQ(dir_.ResolveItemNames(static_cast<int32_t>(items.size()), names.data(), idx.data(),
                                    nos.data()),
              4);
    const std::vector<int32_t> wantIdx = {0, 0, 0, -1, 2, 1, 3, 1, -1, 0, -1};
    const std::vector<int32_t> wantNos = {0, 1, -1, -1, 7, -1, -1, 3, -1, -1, -1};
    EXPECT_EQ(idx, wantIdx);
    EXPECT_EQ(nos, wantNos);
    EXPECT_EQ(names, before);  // the caller's text is not changed

    std::vector<int32_t> vts(items.size(), 77);
    EXPECT_EQ(dir_.GetItemTypesByName(static_cast<int32_t>(items.size()), names.data(), vts.data()),
              4);
    const std::vector<int32_t> wantVts = {VAL_DOUBLE, VAL_DOUBLE, -1, -1, VAL_STRING, -1,
                                          -1,         VAL_LONG,   -1, -1, -1};
    EXPECT_EQ(vts, wantVts);
    EXPECT_EQ(names, before);
}

TEST_F(DirectoryTest, FormatItemNames) {
    const int32_t idx[] = {0, 0, 1, 3, -1, 4, 2};
    const int32_t nos[] = {1, 5, 3, 0, 0, 0, 256};
    std::vector<char> names(7 * 32, 'z');
    EXPECT_EQ(dir_.FormatItemNames(7, idx, nos, names.data()), 2);
    EXPECT_STREQ(names.data(), "Tank1.SP");
    EXPECT_STREQ(names.data() + 32, "");  // no field 5
    EXPECT_STREQ(names.data() + 64, "Pump1.PV");
    EXPECT_STREQ(names.data() + 96, "");   // type unknown
    EXPECT_STREQ(names.data() + 128, "");  // negative index
    EXPECT_STREQ(names.data() + 160, "");  // past the end
    EXPECT_STREQ(names.data() + 192, "");  // 256 is no FieldNo

    // The longest names fit their slot with the terminator.
    ASSERT_TRUE(Build(
        dir_, MakeBody({{9, {{VAL_LONG, "ABCDEFGHIJK", 0}}}}, {{0, 9, "ABCDEFGHIJKLMNOPQRS"}})));
    const int32_t zero = 0;
    char item[32];
    EXPECT_EQ(dir_.FormatItemNames(1, &zero, &zero, item), 1);
    EXPECT_STREQ(item, "ABCDEFGHIJKLMNOPQRS.ABCDEFGHIJK");
}

TEST_F(DirectoryTest, EnumPointsFillsTheTail) {
    int32_t idx[6], aux[6], types[6];
    char names[6 * 20];
    std::memset(names, 'z', sizeof(names));
    EXPECT_EQ(dir_.EnumPoints(6, idx, names, aux, types), 4);
    EXPECT_EQ(idx[3], 3);
    EXPECT_EQ(aux[1], 22);
    EXPECT_EQ(types[0], kAnalog);
    EXPECT_STREQ(names + 20, "Pump1");
    for (int i = 4; i < 6; ++i) {
        EXPECT_EQ(idx[i], -1);
        EXPECT_EQ(aux[i], -1);
        EXPECT_EQ(types[i], -1);
        EXPECT_STREQ(names + 20 * i, "");
    }
    // Every output is optional.
    EXPECT_EQ(dir_.EnumPoints(6, nullptr, nullptr, nullptr, nullptr), 4);
    EXPECT_EQ(dir_.EnumPoints(0, idx, names, aux, types), 0);
}

TEST_F(DirectoryTest, EnumTypesWalkOrder) {
    // Table size N + 1 = 5; bucket = (id / 16) % 5: 0x10 -> 1, 0x50 -> 0,
    // 0x30 -> 3, 0x05 -> 0. Ascending buckets, the latest insertion first.
    ASSERT_TRUE(Build(dir_, MakeBody({{0x10, {{1, "A", 0}}},
                                      {0x50, {{1, "A", 0}, {1, "B", 1}}},
                                      {0x30, {}},
                                      {0x05, {{1, "A", 0}, {1, "B", 1}, {1, "C", 2}}}},
                                     {})));
    int32_t ids[5] = {-9, -9, -9, -9, -9}, counts[5] = {-9, -9, -9, -9, -9};
    EXPECT_EQ(dir_.EnumTypes(5, ids, counts), 4);
    EXPECT_EQ(std::vector<int32_t>(ids, ids + 5),
              (std::vector<int32_t>{0x05, 0x50, 0x10, 0x30, -9}));
    EXPECT_EQ(std::vector<int32_t>(counts, counts + 5), (std::vector<int32_t>{3, 2, 1, 0, -9}));
    ids[0] = -9;
    EXPECT_EQ(dir_.EnumTypes(0, ids, counts), 0);
    EXPECT_EQ(ids[0], -9);
    EXPECT_EQ(dir_.EnumTypes(2, ids, nullptr), 2);
    EXPECT_EQ(ids[1], 0x50);

    // A negative TypeId is reported by its low 16 bits.
    ASSERT_TRUE(Build(dir_, MakeBody({{-1, {}}}, {}, 9)));
    EXPECT_EQ(dir_.EnumTypes(1, ids, nullptr), 1);
    EXPECT_EQ(ids[0], 0xFFFF);
}

TEST_F(DirectoryTest, FieldQueries) {
    const int32_t typeIds[] = {kDigital, 12345, kAnalog + 65536};
    int32_t counts[3];
    EXPECT_EQ(dir_.GetFieldCounts(3, typeIds, counts), 2);
    EXPECT_EQ(counts[0], 1);
    EXPECT_EQ(counts[1], -1);
    EXPECT_EQ(counts[2], 3);  // found by its low 16 bits

    // EnumFields: unknown type -1 and nothing written; tail of -1 / empty.
    int32_t nos[4] = {9, 9, 9, 9}, vts[4];
    char names[4 * 12];
    EXPECT_EQ(dir_.EnumFields(12345, 4, nos, vts, names), -1);
    EXPECT_EQ(nos[0], 9);
    EXPECT_EQ(dir_.EnumFields(kAnalog, 4, nos, vts, names), 3);
    EXPECT_EQ(nos[2], 7);
    EXPECT_EQ(vts[2], VAL_STRING);
    EXPECT_STREQ(names + 24, "B.C");
    EXPECT_EQ(nos[3], -1);
    EXPECT_EQ(vts[3], -1);
    EXPECT_STREQ(names + 36, "");

    // By number: 256 and -1 are no field numbers.
    const int32_t byNo[] = {1, 256, -1, 2};
    char fieldNames[4 * 12];
    std::memset(fieldNames, 'z', sizeof(fieldNames));
    EXPECT_EQ(dir_.GetFieldNamesByNo(kAnalog, 4, byNo, fieldNames), 1);
    EXPECT_STREQ(fieldNames, "SP");
    EXPECT_STREQ(fieldNames + 12, "");
    EXPECT_STREQ(fieldNames + 24, "");
    EXPECT_STREQ(fieldNames + 36, "");
    fieldNames[0] = 'z';
    EXPECT_EQ(dir_.GetFieldNamesByNo(12345, 4, byNo, fieldNames), -1);
    EXPECT_EQ(fieldNames[0], 'z');
    int32_t types[4];
    EXPECT_EQ(dir_.GetFieldTypesByNo(kAnalog, 4, byNo, types), 1);
    EXPECT_EQ(std::vector<int32_t>(types, types + 4),
              (std::vector<int32_t>{VAL_DOUBLE, -1, -1, -1}));
    EXPECT_EQ(dir_.GetFieldTypesByNo(12345, 4, byNo, types), -1);

    // By name: the caller's names stay as they were.
    std::vector<char> in = Slots({"pv", "Sp", "b.c", "nope", std::string(12, 'P')}, 12);
    const std::vector<char> before = in;
    int32_t found[5];
    EXPECT_EQ(dir_.GetFieldNosByName(kAnalog, 5, in.data(), found), 3);
    EXPECT_EQ(std::vector<int32_t>(found, found + 5), (std::vector<int32_t>{0, 1, 7, -1, -1}));
    EXPECT_EQ(in, before);
    // The full TypeId is the key: 100 + 65536 has no fields of its own.
    EXPECT_EQ(dir_.GetFieldNosByName(kAnalog + 65536, 1, in.data(), found), 0);
    EXPECT_EQ(found[0], -1);
}

TEST_F(DirectoryTest, PointQueries) {
    std::vector<char> in = Slots({"pump1", "TANK1", "none", std::string(20, 'A')}, 20);
    const std::vector<char> before = in;
    int32_t idx[4];
    EXPECT_EQ(dir_.GetPointIndexesByName(4, in.data(), idx), 2);
    EXPECT_EQ(std::vector<int32_t>(idx, idx + 4), (std::vector<int32_t>{1, 0, -1, -1}));
    EXPECT_EQ(in, before);

    const int32_t byIndex[] = {2, -1, 4, 0};
    char names[4 * 20];
    std::memset(names, 'z', sizeof(names));
    EXPECT_EQ(dir_.GetPointNamesByIndex(4, byIndex, names), 2);
    EXPECT_STREQ(names, "A");
    EXPECT_STREQ(names + 20, "");
    EXPECT_STREQ(names + 40, "");
    EXPECT_STREQ(names + 60, "Tank1");
    int32_t aux[4], types[4];
    EXPECT_EQ(dir_.GetPointAuxByIndex(4, byIndex, aux), 2);
    EXPECT_EQ(std::vector<int32_t>(aux, aux + 4), (std::vector<int32_t>{33, -1, -1, 11}));
    EXPECT_EQ(dir_.GetPointTypesByIndex(4, byIndex, types), 2);
    EXPECT_EQ(std::vector<int32_t>(types, types + 4),
              (std::vector<int32_t>{kAnalog, -1, -1, kAnalog}));
}

TEST_F(DirectoryTest, MissingRequiredArraysFailWithoutWriting) {
    int32_t out[2] = {5, 5};
    char names[64] = {};
    EXPECT_EQ(dir_.ResolveItemNames(1, names, out, nullptr), -1);
    EXPECT_EQ(dir_.ResolveItemNames(1, nullptr, out, out), -1);
    EXPECT_EQ(dir_.GetPointAuxByIndex(1, nullptr, out), -1);
    EXPECT_EQ(dir_.GetFieldCounts(1, out, nullptr), -1);
    EXPECT_EQ(dir_.GetFieldNosByName(kAnalog, 1, nullptr, out), -1);
    EXPECT_EQ(out[0], 5);
    // Nothing to do with count <= 0, whatever the arrays.
    EXPECT_EQ(dir_.ResolveItemNames(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dir_.GetPointNamesByIndex(-3, nullptr, nullptr), 0);
}

// ---- Client slots ------------------------------------------------------------------

TEST(DirectoryClient, EverySlotFailsBeforeLogin) {
    plat::MappingRemove(CSharedRegistry::kMappingName);
    ITarvikClient* client = TarvikCreateClient(0);
    ASSERT_NE(client, nullptr);
    // A directory in memory is not enough: the link must be up and the
    // session logged in.
    CTarvikClient* c = ClientOf(client);
    {
        plat::CLockHold hold(ClientProbe::StateLock(c));
        const std::vector<uint8_t> body = MakeBody(PlantTypes(), PlantPoints());
        ASSERT_TRUE(ClientProbe::Directory(c).Build(body.data(), body.size()));
    }
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        int32_t a[4] = {7, 7, 7, 7}, b[4] = {7, 7, 7, 7};
        char n[128];
        std::memset(n, 'q', sizeof(n));
        std::strcpy(n, "TANK1");
        char copy[128];
        std::memcpy(copy, n, sizeof(n));
        EXPECT_EQ(client->GetPointCount(), -1);
        EXPECT_EQ(client->EnumPoints(2, a, n, b, a), -1);
        EXPECT_EQ(client->GetTypeCount(), -1);
        EXPECT_EQ(client->EnumTypes(2, a, b), -1);
        EXPECT_EQ(client->GetFieldCounts(1, a, b), -1);
        EXPECT_EQ(client->EnumFields(kAnalog, 2, a, b, n), -1);
        EXPECT_EQ(client->GetFieldNosByName(kAnalog, 1, n, a), -1);
        EXPECT_EQ(client->GetFieldNamesByNo(kAnalog, 1, a, n), -1);
        EXPECT_EQ(client->GetFieldTypesByNo(kAnalog, 1, a, b), -1);
        EXPECT_EQ(client->GetPointIndexesByName(1, n, a), -1);
        EXPECT_EQ(client->GetPointNamesByIndex(1, a, n), -1);
        EXPECT_EQ(client->GetPointAuxByIndex(1, a, b), -1);
        EXPECT_EQ(client->GetPointTypesByIndex(1, a, b), -1);
        EXPECT_EQ(client->ResolveItemNames(1, n, a, b), -1);
        EXPECT_EQ(client->FormatItemNames(1, a, b, n), -1);
        EXPECT_EQ(client->GetItemTypesByName(1, n, a), -1);
        EXPECT_EQ(std::vector<int32_t>(a, a + 4), std::vector<int32_t>(4, 7));
        EXPECT_EQ(std::vector<int32_t>(b, b + 4), std::vector<int32_t>(4, 7));
        EXPECT_EQ(std::memcmp(n, copy, sizeof(n)), 0);
        // Logged in without a link is still not ready.
        ClientProbe::Flags(c) |= SF_LOGGED_IN;
    }
    TarvikDestroyClient(client);
    plat::MappingRemove(CSharedRegistry::kMappingName);
}

}  // namespace
}  // namespace tarvik
