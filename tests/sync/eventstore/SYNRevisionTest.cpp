#include "sync/eventstore/SYNRevision.h"

#include <gtest/gtest.h>

namespace {

SYNRevisionSet set(std::initializer_list<std::pair<const char*, int64_t>> entries) {
    SYNRevisionSet result;
    for (const auto& [store, number] : entries) {
        result.addRevision({store, number});
    }
    return result;
}

TEST(SYNRevisionSetTest, CoversComparesAndCombinesStoreByStore) {
    SYNRevisionSet a = set({{"A", 3}, {"B", 1}});
    a.addRevision({"A", 2});  // lower numbers never lower a store's entry
    EXPECT_EQ(a.revisionNumberForStore("A"), 3);
    EXPECT_TRUE(a.covers("A", 3));
    EXPECT_TRUE(a.covers({"B", 0}));
    EXPECT_FALSE(a.covers("A", 4));
    EXPECT_FALSE(a.covers("C", 0));

    const SYNRevisionSet b = set({{"A", 5}, {"C", 0}});
    EXPECT_EQ(a.revisionSetByTakingStorewiseMaximumWithRevisionSet(b), set({{"A", 5}, {"B", 1}, {"C", 0}}));
    EXPECT_EQ(a.revisionSetByTakingStorewiseMinimumWithRevisionSet(b), set({{"A", 3}}));
    EXPECT_FALSE(a.isLessThanOrEqualTo(b));  // b has seen nothing of B
    EXPECT_TRUE(set({{"A", 1}}).isLessThanOrEqualTo(b));
    EXPECT_TRUE(SYNRevisionSet().isLessThanOrEqualTo(a));
    EXPECT_TRUE(a.isLessThanOrEqualTo(a));

    a.setRevisionNumber("A", 0);
    a.removeStore("B");
    EXPECT_EQ(a, set({{"A", 0}}));
    EXPECT_EQ(set({{"B", 2}, {"A", 1}}).description(), "{A: 1, B: 2}");
}

}  // namespace
