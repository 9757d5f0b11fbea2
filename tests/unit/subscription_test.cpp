// The subscription table: handles, subscribing and growth, removal and
// compaction, the nine queries and their markers, last values and their text
// blocks, and all-or-nothing subscribing when memory runs out.
#include "directory/subscription_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "client/shared_registry.h"
#include "client/var_value.h"
#include "platform/platform.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace {

struct Item {
    uint32_t point;
    uint32_t field;
};

VarValue Long(int32_t v) {
    VarValue value = VarNone();
    VarSetLong(&value, v);
    return value;
}

// Everything a caller can observe of the table, as text.
std::string Describe(const CSubscriptionTable& table) {
    std::string out = "items " + std::to_string(table.ItemCount()) + ":";
    for (int32_t i = 0; i < table.ItemCount(); ++i) {
        const AdviseItem* item = table.ItemAt(i);
        out += " [" + std::to_string(item->Key) + " v" + std::to_string(item->Value.tag);
        if (item->Value.tag == VAL_LONG) {
            out += "=" + std::to_string(VarLong(item->Value));
        } else if (item->Value.tag == VAL_STRING) {
            out += "=" + std::string(VarText(item->Value));
        }
        for (int32_t k = 0; k < item->PairCount; ++k) {
            out += " " + std::to_string(item->Pairs[k].Handle) + "/" +
                   std::to_string(item->Pairs[k].UserValue);
        }
        int32_t at = -1;
        if (table.FindByKey(item->Key, &at) != item || at != i) {
            out += " KEY-MISMATCH";
        }
        for (int32_t k = 0; k < item->PairCount; ++k) {
            if (table.FindByHandle(item->Pairs[k].Handle) != item) {
                out += " HANDLE-MISMATCH";
            }
        }
        out += "]";
    }
    out += " handles " + std::to_string(table.HandleCount()) + ":";
    std::vector<int32_t> handles(static_cast<size_t>(table.HandleCount()) + 1);
    std::vector<int32_t> users(handles.size());
    const int32_t n =
        table.EnumAdviseHandles(static_cast<int32_t>(handles.size()), handles.data(), users.data());
    for (int32_t i = 0; i < n; ++i) {
        out += " " + std::to_string(handles[i]) + "/" + std::to_string(users[i]);
    }
    return out;
}

class SubscriptionTableTest : public ::testing::Test {
  protected:
    void TearDown() override { testing::FailNthAllocation(0); }

    // Subscribes the items in one call; values and user values optional.
    std::vector<int32_t> Add(const std::vector<Item>& items, const std::vector<int32_t>& users = {},
                             const std::vector<VarValue>& values = {}, int32_t pointCount = 10) {
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        for (const Item& it : items) {
            points.push_back(it.point);
            fields.push_back(it.field);
        }
        std::vector<int32_t> handles(items.size(), -7);
        const uint32_t n = static_cast<uint32_t>(items.size());
        const int32_t fresh = table_.CountNewKeys(n, points.data(), fields.data());
        const bool ok = table_.AddAdvise(
            fresh, n, points.data(), fields.data(), users.empty() ? nullptr : users.data(),
            values.empty() ? nullptr : values.data(), handles.data(), pointCount, &counter_);
        EXPECT_TRUE(ok);
        return handles;
    }

    static uint32_t Key(uint32_t point, uint32_t field) { return point | (field << 24); }

    CSubscriptionTable table_;
    int32_t counter_ = 0;
};

TEST_F(SubscriptionTableTest, EmptyTableFindsNothing) {
    EXPECT_EQ(table_.ItemCount(), 0);
    EXPECT_EQ(table_.HandleCount(), 0);

    const int32_t points[2] = {1, 2};
    const int32_t fields[2] = {0, 0};
    int32_t counts[2] = {9, 9};
    EXPECT_EQ(table_.GetAdviseCounts(2, points, fields, counts), 0);
    EXPECT_EQ(counts[0], -1);
    EXPECT_EQ(counts[1], -1);

    const int32_t handles[2] = {1, 0};
    VarValue values[2] = {Long(3), Long(4)};
    EXPECT_EQ(table_.GetValuesByHandle(2, handles, values), 0);
    EXPECT_EQ(values[0].tag, VAL_NONE);
    EXPECT_EQ(values[1].tag, VAL_NONE);

    int32_t outPoints[2] = {9, 9}, outFields[2] = {9, 9}, outUsers[2] = {9, 9};
    EXPECT_EQ(table_.GetAdviseInfoByHandle(2, handles, outPoints, outFields, outUsers), 0);
    EXPECT_EQ(outPoints[1], -1);
    EXPECT_EQ(outFields[1], -1);
    EXPECT_EQ(outUsers[1], 0);

    EXPECT_EQ(table_.GetAdviseHandles(1, 0, 2, outPoints, outUsers), -1);
    EXPECT_EQ(table_.EnumAdviseItems(2, outPoints, outFields), 0);
    EXPECT_EQ(outPoints[0], -1);
    EXPECT_EQ(table_.EnumAdviseHandles(2, outPoints, outUsers), 0);

    // Without a key map table every item is new, a repeated one twice.
    const uint32_t upoints[3] = {1, 1, 2};
    const uint32_t ufields[3] = {0, 0, 0};
    EXPECT_EQ(table_.CountNewKeys(3, upoints, ufields), 3);
}

TEST_F(SubscriptionTableTest, HandlesStartAtOneAndNeverAreZero) {
    EXPECT_EQ(Add({{1, 0}})[0], 1);

    int32_t counter = -1;
    EXPECT_EQ(table_.NextHandle(&counter), 2);  // 0 skipped, and 1 is live
    EXPECT_EQ(counter, 2);

    CSubscriptionTable fresh;
    counter = -1;
    EXPECT_EQ(fresh.NextHandle(&counter), 1);
    counter = INT32_MAX;
    EXPECT_EQ(fresh.NextHandle(&counter), INT32_MIN);
}

TEST_F(SubscriptionTableTest, OneItemSubscribedTwice) {
    counter_ = 4;
    const std::vector<int32_t> h5 = Add({{7, 3}}, {50}, {Long(1)});
    const std::vector<int32_t> h6 = Add({{7, 3}}, {60}, {Long(2)});
    ASSERT_EQ(h5[0], 5);
    ASSERT_EQ(h6[0], 6);
    EXPECT_EQ(table_.ItemCount(), 1);
    EXPECT_EQ(table_.HandleCount(), 2);
    EXPECT_EQ(table_.FindByKey(Key(7, 3))->PairCount, 2);
    EXPECT_EQ(VarLong(table_.FindByKey(Key(7, 3))->Value), 2);  // the newer reply's value

    int32_t handles[3] = {9, 9, 9}, users[3] = {9, 9, 9};
    EXPECT_EQ(table_.GetAdviseHandles(7, 3, 3, handles, users), 2);
    EXPECT_EQ(std::vector<int32_t>(handles, handles + 3), (std::vector<int32_t>{5, 6, -1}));
    EXPECT_EQ(std::vector<int32_t>(users, users + 3), (std::vector<int32_t>{50, 60, 0}));

    // Each handle reports its own subscription's user value.
    const int32_t asked[3] = {6, 5, 99};
    int32_t points[3], fields[3];
    EXPECT_EQ(table_.GetAdviseInfoByHandle(3, asked, points, fields, users), 2);
    EXPECT_EQ(std::vector<int32_t>(points, points + 3), (std::vector<int32_t>{7, 7, -1}));
    EXPECT_EQ(std::vector<int32_t>(fields, fields + 3), (std::vector<int32_t>{3, 3, -1}));
    EXPECT_EQ(std::vector<int32_t>(users, users + 3), (std::vector<int32_t>{60, 50, 0}));
    EXPECT_EQ(table_.EnumAdviseHandles(3, handles, users), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(users[i], handles[i] * 10);
    }

    const int32_t qp[2] = {7, 7}, qf[2] = {3, 4};
    int32_t counts[2];
    EXPECT_EQ(table_.GetAdviseCounts(2, qp, qf, counts), 1);
    EXPECT_EQ(counts[0], 2);
    EXPECT_EQ(counts[1], -1);

    // Twice in one call: one item, consecutive handles, null user values are 0.
    const std::vector<int32_t> twice = Add({{8, 0}, {8, 0}});
    EXPECT_EQ(twice, (std::vector<int32_t>{7, 8}));
    EXPECT_EQ(table_.ItemCount(), 2);
    EXPECT_EQ(table_.GetAdviseHandles(8, 0, 2, handles, users), 2);
    EXPECT_EQ(users[0], 0);
    EXPECT_EQ(users[1], 0);
}

TEST_F(SubscriptionTableTest, OutOfRangeItemsNameNothing) {
    Add({{5, 1}});
    // 0x1000005 with field 0 would alias point 5 field 1.
    const int32_t points[3] = {0x1000005, 5, -1};
    const int32_t fields[3] = {0, 256, 0};
    int32_t counts[3];
    EXPECT_EQ(table_.GetAdviseCounts(3, points, fields, counts), 0);
    EXPECT_EQ(table_.GetAdviseHandles(0x1000005, 0, 1, counts, nullptr), -1);

    const uint32_t bad[1] = {0x1000005};
    const uint32_t field[1] = {0};
    int32_t handle = -7;
    EXPECT_FALSE(table_.AddAdvise(1, 1, bad, field, nullptr, nullptr, &handle, 10, &counter_));
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(table_.ItemCount(), 1);
}

TEST_F(SubscriptionTableTest, ValueQueriesCopyAndReleaseTextBlocks) {
    VarValue text = VarNone();
    ASSERT_TRUE(VarSetText(&text, "running", 7));
    const std::vector<int32_t> h = Add({{1, 0}, {2, 0}}, {}, {text, VarNone()});
    VarEmpty(&text);

    const int32_t points[3] = {1, 2, 3};
    const int32_t fields[3] = {0, 0, 0};
    VarValue values[3] = {VarNone(), Long(5), VarNone()};
    // An item with no value yet counts, and comes back empty.
    EXPECT_EQ(table_.GetValuesByItem(3, points, fields, values), 2);
    ASSERT_EQ(values[0].tag, VAL_STRING);
    EXPECT_STREQ(VarText(values[0]), "running");
    EXPECT_EQ(values[1].tag, VAL_NONE);
    EXPECT_EQ(values[2].tag, VAL_NONE);
    EXPECT_NE(VarText(values[0]), VarText(table_.FindByKey(Key(1, 0))->Value));

    // The same array again: the first result's block is released first.
    const int64_t live = testing::LiveBlocks();
    EXPECT_EQ(table_.GetValuesByItem(3, points, fields, values), 2);
    EXPECT_EQ(testing::LiveBlocks(), live);
    const int32_t handles[2] = {h[0], 99};
    EXPECT_EQ(table_.GetValuesByHandle(2, handles, values), 1);
    EXPECT_EQ(testing::LiveBlocks(), live);
    EXPECT_STREQ(VarText(values[0]), "running");
    EXPECT_EQ(values[1].tag, VAL_NONE);
    VarEmpty(&values[0]);
    EXPECT_EQ(testing::LiveBlocks(), live - 1);

    // A text copy that cannot be made leaves the entry empty and uncounted.
    testing::FailNthAllocation(1);
    EXPECT_EQ(table_.GetValuesByHandle(1, handles, values), 0);
    EXPECT_EQ(values[0].tag, VAL_NONE);
}

TEST_F(SubscriptionTableTest, EnumAdviseItemsFillsTheTail) {
    Add({{4, 1}, {9, 2}});
    int32_t points[4] = {7, 7, 7, 7}, fields[4] = {7, 7, 7, 7};
    EXPECT_EQ(table_.EnumAdviseItems(4, points, fields), 2);
    EXPECT_EQ(std::vector<int32_t>(points, points + 4), (std::vector<int32_t>{4, 9, -1, -1}));
    EXPECT_EQ(std::vector<int32_t>(fields, fields + 4), (std::vector<int32_t>{1, 2, -1, -1}));
}

TEST_F(SubscriptionTableTest, FirstSubscriptionSizesArrayAndMaps) {
    Add({{1, 0}}, {}, {}, /*pointCount=*/40);
    EXPECT_EQ(table_.ItemCapacity(), 201);
    EXPECT_EQ(table_.KeyMap().GetHashTableSize(), 41u);
    EXPECT_EQ(table_.HandleMap().GetHashTableSize(), 41u);
    EXPECT_EQ(table_.FindByKey(Key(1, 0))->PairCapacity, 4);
}

TEST_F(SubscriptionTableTest, PairArraysGrowByFour) {
    Add({{1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}});
    const AdviseItem* item = table_.FindByKey(Key(1, 0));
    EXPECT_EQ(item->PairCount, 5);
    EXPECT_EQ(item->PairCapacity, 8);
    for (int32_t k = 0; k < 5; ++k) {
        EXPECT_EQ(item->Pairs[k].Handle, k + 1);
    }
}

TEST_F(SubscriptionTableTest, GrowthKeepsEveryLookup) {
    std::vector<Item> items;
    std::vector<VarValue> values;
    std::vector<int32_t> users;
    for (uint32_t p = 0; p < 201; ++p) {
        items.push_back({p, p % 3});
        users.push_back(static_cast<int32_t>(p) + 1000);
        VarValue v = VarNone();
        if (p % 2 == 0) {
            const std::string text = "t" + std::to_string(p);
            VarSetText(&v, text.c_str(), text.size());
        } else {
            VarSetLong(&v, static_cast<int32_t>(p));
        }
        values.push_back(v);
    }
    Add({items[0]}, {users[0]}, {values[0]});
    Add({items[0]}, {7}, {values[0]});  // a second pair on item 0
    Add(std::vector<Item>(items.begin() + 1, items.end()),
        std::vector<int32_t>(users.begin() + 1, users.end()),
        std::vector<VarValue>(values.begin() + 1, values.end()));
    ASSERT_EQ(table_.ItemCount(), 201);
    ASSERT_EQ(table_.ItemCapacity(), 201);
    const std::string before = Describe(table_);

    Add({{500, 0}}, {}, {}, 600);
    EXPECT_EQ(table_.ItemCapacity(), 402);
    EXPECT_EQ(table_.KeyMap().GetHashTableSize(), 11u);  // sized by the first call only
    EXPECT_EQ(Describe(table_).find("MISMATCH"), std::string::npos);
    // The items part of the old description leads the new one unchanged.
    const std::string after = Describe(table_);
    const auto itemsOf = [](const std::string& d) {
        return d.substr(d.find(':'), d.find(" handles") - d.find(':'));
    };
    EXPECT_EQ(itemsOf(after).rfind(itemsOf(before), 0), 0u);
    for (uint32_t p = 0; p < 201; ++p) {
        int32_t at = -1;
        const AdviseItem* item = table_.FindByKey(Key(p, p % 3), &at);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(at, static_cast<int32_t>(p));
        if (p % 2 == 0) {
            EXPECT_EQ(std::string(VarText(item->Value)), "t" + std::to_string(p));
        } else {
            EXPECT_EQ(VarLong(item->Value), static_cast<int32_t>(p));
        }
        EXPECT_EQ(item->Pairs[0].UserValue, static_cast<int32_t>(p) + 1000);
        EXPECT_EQ(table_.FindByHandle(item->Pairs[0].Handle), item);
    }
    EXPECT_EQ(table_.FindByKey(Key(0, 0))->PairCount, 2);
    EXPECT_EQ(table_.FindByKey(Key(0, 0))->Pairs[1].UserValue, 7);
    for (VarValue& v : values) {
        VarEmpty(&v);
    }
}

TEST_F(SubscriptionTableTest, RemovalMovesTheLastItemIntoTheHole) {
    VarValue text = VarNone();
    VarSetText(&text, "last", 4);
    const std::vector<int32_t> h = Add({{10, 0}, {11, 0}, {12, 5}, {12, 5}}, {1, 2, 3, 4},
                                       {Long(10), Long(11), VarNone(), text});
    VarEmpty(&text);
    const int64_t live = testing::LiveBlocks();

    ASSERT_TRUE(table_.RemoveLastSubscription(h[0]));
    EXPECT_EQ(table_.ItemCount(), 2);
    EXPECT_EQ(table_.HandleCount(), 3);
    EXPECT_EQ(table_.FindByKey(Key(10, 0)), nullptr);
    EXPECT_EQ(table_.FindByHandle(h[0]), nullptr);
    int32_t at = -1;
    const AdviseItem* moved = table_.FindByKey(Key(12, 5), &at);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(at, 0);
    EXPECT_EQ(table_.FindByHandle(h[2]), moved);
    EXPECT_EQ(table_.FindByHandle(h[3]), moved);
    EXPECT_EQ(moved->PairCount, 2);
    EXPECT_EQ(moved->Pairs[0].UserValue, 3);
    EXPECT_EQ(moved->Pairs[1].UserValue, 4);
    EXPECT_STREQ(VarText(moved->Value), "last");
    EXPECT_EQ(Describe(table_),
              "items 2: [83886092 v4=last 3/3 4/4] [11 v1=11 2/2] handles 3: 4/4 3/3 2/2");
    EXPECT_EQ(testing::LiveBlocks(), live);  // the text moved, no copy made

    // The same handle again: already gone.
    EXPECT_FALSE(table_.RemoveLastSubscription(h[0]));
    // Removing the item at the last position moves nothing.
    ASSERT_TRUE(table_.RemoveLastSubscription(h[1]));
    EXPECT_EQ(Describe(table_), "items 1: [83886092 v4=last 3/3 4/4] handles 2: 4/4 3/3");
    // A freed position is reused by the next new item.
    Add({{13, 0}}, {9});
    EXPECT_EQ(Describe(table_),
              "items 2: [83886092 v4=last 3/3 4/4] [13 v0 5/9] handles 3: 5/9 4/4 3/3");
}

// A push looks its keys up in one batch and comes back to the positions it
// found; an item that moved meanwhile is looked up again.
TEST_F(SubscriptionTableTest, BatchLookupAgreesWithOneByOneAndSurvivesMoves) {
    std::vector<Item> items;
    for (uint32_t p = 0; p < 3000; ++p) {
        items.push_back({p, p % 7});
    }
    const std::vector<int32_t> h = Add(items, {}, {}, 3000);
    std::vector<uint32_t> keys;
    for (uint32_t p = 0; p < 3000; p += 3) {
        keys.push_back(Key(p, p % 7));
        keys.push_back(Key(p, 9));  // never subscribed
    }
    std::vector<int32_t> positions(keys.size(), -7);
    table_.FindPositions(keys.data(), static_cast<int32_t>(keys.size()), positions.data());
    for (size_t j = 0; j < keys.size(); ++j) {
        int32_t at = -1;
        table_.FindByKey(keys[j], &at);
        ASSERT_EQ(positions[j], at) << "key " << keys[j];
    }

    // Item 0 goes: the last item moves into position 0.
    ASSERT_TRUE(table_.RemoveLastSubscription(h[0]));
    EXPECT_EQ(table_.FindByKeyAt(keys[0], positions[0]), nullptr);
    const uint32_t lastKey = Key(2999, 2999 % 7);
    EXPECT_EQ(table_.FindByKeyAt(lastKey, 2999), table_.ItemAt(0));
    EXPECT_EQ(table_.FindByKeyAt(keys[2], positions[2]), table_.ItemAt(3));
}

TEST_F(SubscriptionTableTest, ReleasingHandlesOneByOne) {
    const std::vector<int32_t> h = Add({{3, 0}, {3, 0}, {3, 0}, {4, 0}}, {30, 31, 32, 40});
    uint32_t key = 0;
    EXPECT_EQ(table_.ReleaseHandle(h[0], &key), CSubscriptionTable::Release::kDropped);
    const AdviseItem* item = table_.FindByKey(Key(3, 0));
    ASSERT_EQ(item->PairCount, 2);
    EXPECT_EQ(item->Pairs[0].Handle, h[2]);  // the last pair took the hole
    EXPECT_EQ(item->Pairs[1].Handle, h[1]);
    EXPECT_EQ(item->Pairs[2].Handle, 0);
    EXPECT_EQ(item->Pairs[2].UserValue, 0);
    EXPECT_EQ(table_.FindByHandle(h[0]), nullptr);
    EXPECT_EQ(table_.ReleaseHandle(h[0], &key), CSubscriptionTable::Release::kUnknown);

    EXPECT_EQ(table_.ReleaseHandle(h[2], &key), CSubscriptionTable::Release::kDropped);
    // Now h[1] is the item's last subscription: reported, nothing changed.
    key = 0;
    EXPECT_EQ(table_.ReleaseHandle(h[1], &key), CSubscriptionTable::Release::kLastSubscription);
    EXPECT_EQ(key, Key(3, 0));
    EXPECT_FALSE(table_.DropSharedHandle(h[1]));
    EXPECT_EQ(table_.FindByHandle(h[1])->PairCount, 1);
    EXPECT_EQ(table_.HandleCount(), 2);
}

TEST_F(SubscriptionTableTest, RemoveAllForgetsEverythingButTheCounter) {
    VarValue text = VarNone();
    VarSetText(&text, "x", 1);
    const int64_t live = testing::LiveBlocks();
    const std::vector<int32_t> h = Add({{1, 0}, {2, 0}, {2, 0}}, {}, {text, text, text});
    table_.RemoveAll();
    EXPECT_EQ(testing::LiveBlocks(), live);
    EXPECT_EQ(table_.ItemCount(), 0);
    EXPECT_EQ(table_.ItemCapacity(), 0);
    EXPECT_EQ(table_.HandleCount(), 0);
    EXPECT_FALSE(table_.KeyMap().HasTable());
    for (int32_t handle : h) {
        EXPECT_EQ(table_.FindByHandle(handle), nullptr);
        EXPECT_EQ(table_.ReleaseHandle(handle, nullptr), CSubscriptionTable::Release::kUnknown);
    }
    EXPECT_EQ(table_.GetAdviseHandles(1, 0, 0, nullptr, nullptr), -1);
    EXPECT_EQ(Add({{1, 0}}, {}, {}, 5)[0], 4);
    EXPECT_EQ(table_.ItemCapacity(), 201);
    EXPECT_EQ(table_.KeyMap().GetHashTableSize(), 6u);
    VarEmpty(&text);
}

TEST_F(SubscriptionTableTest, HandleWalkFollowsTheBucketRule) {
    // pointCount 2: three buckets; bucket = (handle / 16) % 3.
    counter_ = 0;
    Add({{1, 0}, {2, 0}}, {101, 102}, {}, 2);  // handles 1, 2: bucket 0
    counter_ = 15;
    Add({{3, 0}, {4, 0}}, {116, 117}, {}, 2);  // 16, 17: bucket 1
    counter_ = 47;
    Add({{5, 0}}, {148}, {}, 2);  // 48: bucket 0, at its head
    int32_t handles[6], users[6];
    EXPECT_EQ(table_.EnumAdviseHandles(6, handles, users), 5);
    EXPECT_EQ(std::vector<int32_t>(handles, handles + 5), (std::vector<int32_t>{48, 2, 1, 17, 16}));
    EXPECT_EQ(std::vector<int32_t>(users, users + 5),
              (std::vector<int32_t>{148, 102, 101, 117, 116}));
    EXPECT_EQ(table_.EnumAdviseHandles(2, handles, nullptr), 2);
}

TEST_F(SubscriptionTableTest, OutOfMemoryLeavesTheTableAsItWas) {
    // A first call that fails leaves the maps at their initial size.
    {
        const uint32_t p[1] = {1}, f[1] = {0};
        int32_t handle = -7;
        testing::FailNthAllocation(1);
        EXPECT_FALSE(table_.AddAdvise(1, 1, p, f, nullptr, nullptr, &handle, 50, &counter_));
        EXPECT_EQ(table_.ItemCapacity(), 0);
        EXPECT_EQ(table_.KeyMap().GetHashTableSize(), 17u);
        EXPECT_EQ(handle, -7);
    }

    // A full table of 201 items, some with text values.
    std::vector<Item> items;
    std::vector<VarValue> values;
    for (uint32_t p = 0; p < 201; ++p) {
        items.push_back({p, 0});
        VarValue v = VarNone();
        if (p % 50 == 0) {
            VarSetText(&v, "old", 3);
        }
        values.push_back(v);
    }
    Add({items[0]}, {}, {values[0]});
    Add(std::vector<Item>(items.begin() + 1, items.end()), {},
        std::vector<VarValue>(values.begin() + 1, values.end()));
    for (VarValue& v : values) {
        VarEmpty(&v);
    }
    ASSERT_EQ(table_.ItemCapacity(), 201);

    // One call: an existing item with a new text, a new shared item twice, a new item.
    VarValue text = VarNone();
    VarSetText(&text, "new", 3);
    const uint32_t points[4] = {50, 300, 300, 301};
    const uint32_t fields[4] = {0, 1, 1, 1};
    const int32_t users[4] = {1, 2, 3, 4};
    const VarValue in[4] = {text, Long(2), Long(3), text};
    const std::string before = Describe(table_);
    const int32_t counterBefore = counter_;
    const int64_t live = testing::LiveBlocks();

    int failures = 0;
    bool done = false;
    for (int64_t n = 1; n < 400 && !done; ++n) {
        int32_t handles[4] = {-7, -7, -7, -7};
        testing::FailNthAllocation(n);
        done = table_.AddAdvise(3, 4, points, fields, users, in, handles, 10, &counter_);
        testing::FailNthAllocation(0);
        if (!done) {
            ++failures;
            ASSERT_EQ(Describe(table_), before) << "failing allocation " << n;
            ASSERT_EQ(table_.ItemCapacity(), 201);
            ASSERT_EQ(counter_, counterBefore);
            ASSERT_EQ(testing::LiveBlocks(), live);
            ASSERT_EQ(handles[0], -7);
        } else {
            EXPECT_EQ(handles[0], counterBefore + 1);
            EXPECT_EQ(handles[3], counterBefore + 4);
        }
    }
    ASSERT_TRUE(done);
    // The array, the value copies, item copies with their pairs and texts,
    // new pair arrays and map nodes can each run out.
    EXPECT_GT(failures, 5);
    EXPECT_EQ(table_.ItemCapacity(), 201 + 3 + 200);  // the repeated new item counts twice
    EXPECT_EQ(table_.ItemCount(), 203);
    EXPECT_STREQ(VarText(table_.FindByKey(Key(50, 0))->Value), "new");
    EXPECT_EQ(table_.FindByKey(Key(300, 1))->PairCount, 2);
    EXPECT_EQ(Describe(table_).find("MISMATCH"), std::string::npos);
    VarEmpty(&text);
}

TEST_F(SubscriptionTableTest, OneAtATimeGrowthKeepsItemsInPlaceAndFailsCleanly) {
    // 4,020 items one call each: the array grows every 200 items and its
    // storage passes many chunk and chunk-list boundaries.
    const int64_t empty = testing::LiveBlocks();
    const AdviseItem* first = nullptr;
    for (uint32_t p = 0; p < 4020; ++p) {
        const int32_t before = table_.ItemCapacity();
        Add({{p, 1}}, {static_cast<int32_t>(p)}, {Long(static_cast<int32_t>(p))}, 3000);
        EXPECT_EQ(table_.ItemCapacity(),
                  before > static_cast<int32_t>(p) ? before : static_cast<int32_t>(p) + 1 + 200);
        first = first != nullptr ? first : table_.ItemAt(0);
    }
    EXPECT_EQ(table_.ItemAt(0), first);  // growth moved nothing
    ASSERT_EQ(table_.ItemCapacity(), 4020);
    const std::string full = Describe(table_);
    EXPECT_EQ(full.find("MISMATCH"), std::string::npos);

    // A growth that runs out of memory at any step leaves everything as it
    // was (the maps keep their node blocks pooled).
    bool done = false;
    for (int64_t n = 1; n < 20 && !done; ++n) {
        const uint32_t p[1] = {4020}, f[1] = {1};
        int32_t handle = -7;
        testing::FailNthAllocation(n);
        done = table_.AddAdvise(1, 1, p, f, nullptr, nullptr, &handle, 3000, &counter_);
        testing::FailNthAllocation(0);
        if (!done) {
            ASSERT_EQ(Describe(table_), full);
            ASSERT_EQ(table_.ItemCapacity(), 4020);
        }
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(table_.ItemCapacity(), 4221);

    // Removing from the first chunk moves the last item, from the last chunk.
    const int32_t h0 = table_.ItemAt(0)->Pairs[0].Handle;
    const int32_t hLast = table_.ItemAt(4020)->Pairs[0].Handle;
    EXPECT_TRUE(table_.RemoveLastSubscription(h0));
    int32_t at = -1;
    EXPECT_EQ(table_.FindByHandle(hLast, &at), table_.ItemAt(0));
    EXPECT_EQ(at, 0);
    EXPECT_EQ(table_.ItemAt(0)->Key, Key(4020, 1));
    EXPECT_EQ(Describe(table_).find("MISMATCH"), std::string::npos);
    table_.RemoveAll();
    EXPECT_EQ(testing::LiveBlocks(), empty);  // nothing that a failure dropped was lost
}

TEST_F(SubscriptionTableTest, ClearValuesKeepsItemsAndFreesTexts) {
    VarValue text = VarNone();
    VarSetText(&text, "abc", 3);
    const std::vector<int32_t> h = Add({{1, 0}, {2, 0}, {3, 0}}, {}, {text, Long(4), text});
    VarEmpty(&text);
    const int64_t live = testing::LiveBlocks();
    table_.ClearValues();
    EXPECT_EQ(testing::LiveBlocks(), live - 2);
    EXPECT_EQ(table_.ItemCount(), 3);
    EXPECT_EQ(table_.HandleCount(), 3);
    for (int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(table_.ItemAt(i)->Value.tag, VAL_NONE);
        EXPECT_EQ(table_.FindByHandle(h[i]), table_.ItemAt(i));
    }
}

TEST_F(SubscriptionTableTest, FreeReleasesEveryBlock) {
    const int64_t live = testing::LiveBlocks();
    {
        CSubscriptionTable table;
        VarValue text = VarNone();
        VarSetText(&text, "abc", 3);
        std::vector<uint32_t> points(300), fields(300, 2);
        std::vector<VarValue> values(300, text);
        for (uint32_t i = 0; i < 300; ++i) {
            points[i] = i % 250;
        }
        std::vector<int32_t> handles(300);
        int32_t counter = 0;
        ASSERT_TRUE(table.AddAdvise(250, 300, points.data(), fields.data(), nullptr, values.data(),
                                    handles.data(), 250, &counter));
        // An item that holds more than the confirmed handle keeps the others.
        ASSERT_TRUE(table.RemoveLastSubscription(handles[299]));
        EXPECT_EQ(table.ItemCount(), 250);
        EXPECT_EQ(table.FindByHandle(handles[49])->PairCount, 1);
        ASSERT_TRUE(table.RemoveLastSubscription(handles[249]));
        EXPECT_EQ(table.ItemCount(), 249);
        VarEmpty(&text);
    }
    EXPECT_EQ(testing::LiveBlocks(), live);
}

// The client's queries, before any session: -1 with nothing written.
TEST(SubscriptionQueriesTest, FailBeforeLogin) {
    ITarvikClient* iface = TarvikCreateClient(0);
    ASSERT_NE(iface, nullptr);
    CTarvikClient* client = ClientOf(iface);
    int32_t a[2] = {7, 7}, b[2] = {7, 7}, c[2] = {7, 7};
    const int32_t in[2] = {1, 2};
    VarValue values[2] = {Long(3), Long(4)};
    EXPECT_EQ(client->GetAdviseItemCount(), -1);
    EXPECT_EQ(client->GetAdviseInfoByHandle(2, in, a, b, c), -1);
    EXPECT_EQ(client->EnumAdviseItems(2, a, b), -1);
    EXPECT_EQ(client->GetAdviseHandleCount(), -1);
    EXPECT_EQ(client->EnumAdviseHandles(2, a, b), -1);
    EXPECT_EQ(client->GetAdviseCounts(2, in, in, a), -1);
    EXPECT_EQ(client->GetAdviseHandles(1, 0, 2, a, b), -1);
    EXPECT_EQ(client->GetValuesByHandle(2, in, values), -1);
    EXPECT_EQ(client->GetValuesByItem(2, in, in, values), -1);
    EXPECT_EQ(a[0] + a[1] + b[0] + b[1] + c[0] + c[1], 42);
    EXPECT_EQ(VarLong(values[0]), 3);
    EXPECT_EQ(VarLong(values[1]), 4);

    TarvikDestroyClient(iface);
    plat::MappingRemove(CSharedRegistry::kMappingName);
}

}  // namespace
}  // namespace tarvik
