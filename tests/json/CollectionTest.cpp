#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JSONTestSupport.h"
#include "json/JSON.h"
#include "platform/foundation/Date.h"

namespace json {
namespace {

using jsontest::parse;

std::vector<std::string> keysOf(const JSON& j) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : j)
        keys.push_back(key);
    return keys;
}

TEST(CollectionTest, NonContainersAreEmpty) {
    for (const JSON& j : {JSON("s"), JSON(1), JSON(true), JSON(nullptr), JSON(plat::Value(plat::Date(0)))}) {
        EXPECT_EQ(j.startIndex(), Index::null());
        EXPECT_EQ(j.endIndex(), Index::null());
        EXPECT_TRUE(j.isEmpty());
        EXPECT_EQ(j.count(), 0u);
        EXPECT_EQ(j.underestimatedCount(), 0u);
        EXPECT_TRUE(keysOf(j).empty());
        EXPECT_EQ(j.indexAfter(Index::null()), Index::null());
        auto [key, value] = j[Index::null()];
        EXPECT_EQ(key, "");
        EXPECT_EQ(value.type(), Type::Null);
        EXPECT_FALSE(value.error());
    }
}

TEST(CollectionTest, ArraysYieldTheirPositionsAsKeys) {
    JSON list = parse("[10,20,30]");
    EXPECT_EQ(keysOf(list), (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(list.startIndex(), Index::array(0));
    EXPECT_EQ(list.endIndex(), Index::array(3));
    EXPECT_EQ(list.count(), 3u);
    EXPECT_EQ(list[Index::array(2)].second.integerValue(), 30);
    EXPECT_EQ(list.indexAfter(Index::array(1)), Index::array(2));
    EXPECT_EQ(list.indexAfter(list.endIndex()), list.endIndex());  // never past the end
    EXPECT_EQ(list[Index::array(3)].second.type(), Type::Null);    // outside: ("", null)

    JSON empty = parse("[]");
    EXPECT_EQ(empty.startIndex(), Index::array(0));
    EXPECT_EQ(empty.startIndex(), empty.endIndex());
    EXPECT_TRUE(empty.isEmpty());
}

TEST(CollectionTest, DictionariesYieldMembersInTheirOwnOrder) {
    JSON map = parse(R"({"b":1,"a":[2]})");
    EXPECT_EQ(keysOf(map), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(map.count(), 2u);
    EXPECT_FALSE(map.isEmpty());
    Index i = map.startIndex();
    EXPECT_EQ(map[i].first, "b");
    map.formIndexAfter(i);
    EXPECT_EQ(map[i].second.type(), Type::Array);
    map.formIndexAfter(i);
    EXPECT_EQ(i, map.endIndex());
    // A position of another value's kind leads to the end.
    EXPECT_EQ(map.indexAfter(Index::array(0)), map.endIndex());
    EXPECT_TRUE(parse("{}").isEmpty());
}

TEST(CollectionTest, ElementsAreWrappedAfreshOnEachAccess) {
    JSON list(plat::Value(plat::Array{plat::Value(plat::Data::fromString("[1]")),
                                      plat::Value(plat::Data::fromString("junk")), plat::Value(3)}));
    std::vector<JSON> values;
    for (auto [key, value] : list) {
        values.push_back(value);
        value.setIntegerValue(99);  // changes the copy only
    }
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].type(), Type::Array);
    EXPECT_EQ(values[1].type(), Type::Null);
    EXPECT_FALSE(values[1].error());
    EXPECT_EQ(list[2].integerValue(), 3);
}

TEST(CollectionTest, IndexOrderingIsDerivedFromLessThan) {
    EXPECT_TRUE(Index::array(2) < Index::array(5));
    EXPECT_TRUE(Index::array(5) == Index::array(5));
    EXPECT_TRUE(Index::array(5) > Index::array(2));
    EXPECT_TRUE(Index::dictionary(1) < Index::dictionary(2));
    EXPECT_TRUE(Index::null() == Index::null());
    EXPECT_FALSE(Index::null() < Index::null());
    EXPECT_TRUE(Index::null() <= Index::null());
    // Different cases: neither equal nor less, yet both <= and >=.
    EXPECT_FALSE(Index::array(0) == Index::null());
    EXPECT_FALSE(Index::array(0) < Index::null());
    EXPECT_FALSE(Index::array(0) > Index::null());
    EXPECT_TRUE(Index::array(0) <= Index::null());
    EXPECT_TRUE(Index::array(0) >= Index::null());
    EXPECT_FALSE(Index::array(1) == Index::dictionary(1));
}

TEST(CollectionTest, IndicesAndSlices) {
    JSON list = parse("[1,2,3,4]");
    std::vector<Index> positions;
    for (Index i : list.indices())
        positions.push_back(i);
    EXPECT_EQ(positions.size(), 4u);
    EXPECT_EQ(positions.back(), Index::array(3));

    std::vector<std::string> keys;
    for (const auto& [key, value] : list.slice(Index::array(1), Index::array(3)))
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"1", "2"}));
    // Bounds outside the collection are clamped to it.
    keys.clear();
    for (const auto& [key, value] : list.slice(Index::array(-4), Index::array(40)))
        keys.push_back(key);
    EXPECT_EQ(keys.size(), 4u);
    EXPECT_EQ(list.slice(Index::array(3), Index::array(1)).startIndex(), Index::array(1));
}

}  // namespace
}  // namespace json
