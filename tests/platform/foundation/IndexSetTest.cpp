#include "platform/foundation/IndexSet.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "platform/foundation/Error.h"

namespace plat {
namespace {

using Range = IndexSet::Range;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

std::vector<uint64_t> contents(const IndexSet& set) {
    return std::vector<uint64_t>(set.begin(), set.end());
}

TEST(IndexSetTest, AddingMergesOverlappingAndAdjacentRanges) {
    IndexSet set;
    set.addIndexesInRange({10, 5});  // 10-14
    set.addIndexesInRange({20, 2});  // 20-21
    set.addIndex(5);
    EXPECT_EQ(set.ranges(), (std::vector<Range>{{5, 1}, {10, 5}, {20, 2}}));
    set.addIndex(15);                // touches 10-14
    set.addIndexesInRange({16, 4});  // touches 15 and 20: all join
    EXPECT_EQ(set.ranges(), (std::vector<Range>{{5, 1}, {10, 12}}));
    set.addIndexesInRange({0, 100});  // swallows everything
    EXPECT_EQ(set.ranges(), (std::vector<Range>{{0, 100}}));
    set.addIndexesInRange({3, 0});
    EXPECT_EQ(set.count(), 100u);
    IndexSet other{200, 100, 101};
    set.addIndexes(other);
    EXPECT_EQ(set.ranges(), (std::vector<Range>{{0, 102}, {200, 1}}));
}

TEST(IndexSetTest, RemovingSplitsAndTrimsRanges) {
    IndexSet set = IndexSet::indexSetWithIndexesInRange({0, 20});
    set.removeIndex(5);
    EXPECT_EQ(set.ranges(), (std::vector<Range>{{0, 5}, {6, 14}}));
    set.removeIndexesInRange({3, 5});  // 3-7 spans the gap
    EXPECT_EQ(set.ranges(), (std::vector<Range>{{0, 3}, {8, 12}}));
    set.removeIndexesInRange({18, 100});
    set.removeIndex(0);
    set.removeIndex(50);
    EXPECT_EQ(set.ranges(), (std::vector<Range>{{1, 2}, {8, 10}}));
    set.removeIndexes(IndexSet{1, 2});
    EXPECT_EQ(contents(set), (std::vector<uint64_t>{8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
    set.removeAllIndexes();
    EXPECT_TRUE(set.empty());
}

TEST(IndexSetTest, MembershipAndNeighbourQueries) {
    IndexSet set{2, 3, 4, 10};
    EXPECT_TRUE(set.containsIndex(2));
    EXPECT_FALSE(set.containsIndex(5));
    EXPECT_TRUE(set.containsIndexesInRange({2, 3}));
    EXPECT_FALSE(set.containsIndexesInRange({2, 4}));
    EXPECT_TRUE(set.containsIndexesInRange({7, 0}));
    EXPECT_EQ(set.count(), 4u);
    EXPECT_EQ(set.firstIndex(), 2u);
    EXPECT_EQ(set.lastIndex(), 10u);
    EXPECT_EQ(set.indexGreaterThanIndex(4), 10u);
    EXPECT_EQ(set.indexGreaterThanIndex(2), 3u);
    EXPECT_EQ(set.indexGreaterThanIndex(10), std::nullopt);
    EXPECT_EQ(set.indexGreaterThanOrEqualToIndex(10), 10u);
    EXPECT_EQ(set.indexGreaterThanOrEqualToIndex(0), 2u);
    EXPECT_EQ(set.indexLessThanIndex(10), 4u);
    EXPECT_EQ(set.indexLessThanIndex(2), std::nullopt);
    EXPECT_EQ(set.indexLessThanOrEqualToIndex(7), 4u);
    EXPECT_EQ(set.indexLessThanOrEqualToIndex(kMax), 10u);
    EXPECT_EQ(set.indexGreaterThanIndex(kMax), std::nullopt);

    IndexSet empty;
    EXPECT_EQ(empty.firstIndex(), std::nullopt);
    EXPECT_EQ(empty.lastIndex(), std::nullopt);
    EXPECT_EQ(empty.begin(), empty.end());
}

TEST(IndexSetTest, EqualityIgnoresHowTheSetWasBuilt) {
    IndexSet a{1, 2, 3, 7};
    IndexSet b;
    b.addIndexesInRange({0, 8});
    b.removeIndexesInRange({4, 3});
    b.removeIndex(0);
    EXPECT_EQ(a, b);
    b.addIndex(9);
    EXPECT_NE(a, b);
}

TEST(IndexSetTest, RangesUpToTheLargestIndexWorkAndBeyondRaise) {
    IndexSet set;
    set.addIndexesInRange({kMax - 2, 2});
    EXPECT_EQ(set.lastIndex(), kMax - 1);
    EXPECT_EQ(contents(set), (std::vector<uint64_t>{kMax - 2, kMax - 1}));
    set.addIndexesInRange({0, kMax});
    EXPECT_EQ(set.count(), kMax);
    EXPECT_THROW(set.addIndexesInRange({kMax - 1, 2}), Exception);
    EXPECT_THROW(set.removeIndexesInRange({1, kMax}), Exception);
    EXPECT_EQ(set.count(), kMax);
}

}  // namespace
}  // namespace plat
