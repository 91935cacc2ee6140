#include "sync/eventstore/SYNMapTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/foundation/Error.h"

namespace {

TEST(SYNMapTableTest, ValueKeysCompareByEqualityAcrossNumberKinds) {
    auto table = SYNMapTable<plat::Value, std::string>::syn_strongToStrongObjectsMapTable();
    EXPECT_EQ(table.count(), 0u);
    table.setObject("one", plat::Value(1));
    table.setObject("one again", plat::Value(1.0));
    table.setObject("text", plat::Value("1"));
    EXPECT_EQ(table.count(), 2u);
    ASSERT_NE(table.objectForKey(plat::Value(true)), nullptr);
    EXPECT_EQ(*table.objectForKey(plat::Value(1)), "one again");
    EXPECT_EQ(table.objectForKey(plat::Value(2)), nullptr);
    table.removeObjectForKey(plat::Value(int64_t{1}));
    EXPECT_EQ(table.count(), 1u);
}

TEST(SYNMapTableTest, ObjectKeysCompareByIsEqualAndEntriesCopyAcross) {
    using Key = std::shared_ptr<const plat::Error>;
    SYNMapTable<Key, int> first;
    first.setObject(1, plat::Error::make("A", 1));
    first.setObject(2, plat::Error::make("A", 1));  // equal error, same key
    first.setObject(3, nullptr);
    EXPECT_EQ(first.count(), 2u);
    EXPECT_EQ(*first.objectForKey(plat::Error::make("A", 1)), 2);
    EXPECT_EQ(*first.objectForKey(nullptr), 3);

    SYNMapTable<Key, int> second;
    second.setObject(10, plat::Error::make("A", 1));
    second.setObject(20, plat::Error::make("B", 2));
    first.syn_addEntriesFromMapTable(second);
    EXPECT_EQ(first.count(), 3u);
    EXPECT_EQ(*first.objectForKey(plat::Error::make("A", 1)), 10);

    auto keys = first.syn_allKeys();
    EXPECT_EQ(keys.size(), 3u);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), nullptr), 1);
    EXPECT_EQ(second.count(), 2u);
}

}  // namespace
