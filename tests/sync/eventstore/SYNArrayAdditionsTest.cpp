#include "sync/eventstore/SYNArrayAdditions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Batches as "a,b|c" with the batches still to come after each.
struct BatchLog {
    std::vector<std::vector<int>> batches;
    std::vector<std::size_t> remaining;
};

BatchLog batchesOf(const std::vector<int>& items, std::size_t size, std::size_t stopAfter = SIZE_MAX) {
    BatchLog log;
    syn_enumerateObjectsInBatchesWithBatchSize(items, size,
                                               [&](std::span<const int> batch, std::size_t left, bool& stop) {
                                                   log.batches.emplace_back(batch.begin(), batch.end());
                                                   log.remaining.push_back(left);
                                                   stop = log.batches.size() >= stopAfter;
                                               });
    return log;
}

TEST(SYNArrayAdditionsTest, BatchesAreConsecutiveInOrderAndCountDownTheBatchesToCome) {
    auto log = batchesOf({1, 2, 3, 4, 5}, 2);
    EXPECT_EQ(log.batches, (std::vector<std::vector<int>>{{1, 2}, {3, 4}, {5}}));
    EXPECT_EQ(log.remaining, (std::vector<std::size_t>{2, 1, 0}));

    log = batchesOf({1, 2, 3, 4}, 2);
    EXPECT_EQ(log.batches, (std::vector<std::vector<int>>{{1, 2}, {3, 4}}));
    EXPECT_EQ(log.remaining, (std::vector<std::size_t>{1, 0}));

    log = batchesOf({1, 2, 3}, 10);
    EXPECT_EQ(log.batches, (std::vector<std::vector<int>>{{1, 2, 3}}));
    EXPECT_EQ(log.remaining, (std::vector<std::size_t>{0}));

    // Size 0 would never end a batch: everything comes as one.
    log = batchesOf({1, 2, 3}, 0);
    EXPECT_EQ(log.batches, (std::vector<std::vector<int>>{{1, 2, 3}}));

    EXPECT_TRUE(batchesOf({}, 2).batches.empty());
    EXPECT_TRUE(batchesOf({}, 0).batches.empty());

    log = batchesOf({1, 2, 3, 4, 5}, 2, 1);
    EXPECT_EQ(log.batches, (std::vector<std::vector<int>>{{1, 2}}));
}

TEST(SYNArrayAdditionsTest, EnumerationVisitsInOrderWithIndexesUntilStopped) {
    const std::vector<std::string> items = {"a", "b", "c", "d"};
    std::vector<std::string> seen;
    std::vector<std::size_t> indexes;
    syn_enumerateObjectsDrainingEveryIterations(items, 2,
                                                [&](const std::string& item, std::size_t index, bool& stop) {
                                                    seen.push_back(item);
                                                    indexes.push_back(index);
                                                    stop = item == "c";
                                                });
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(indexes, (std::vector<std::size_t>{0, 1, 2}));

    int calls = 0;
    syn_enumerateObjectsDrainingEveryIterations(std::vector<int>{}, 0,
                                                [&](int, std::size_t, bool&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST(SYNArrayAdditionsTest, TransformingAndFilteringKeepTheOrder) {
    const std::vector<int> items = {3, 1, 4, 1, 5, 9, 2, 6};
    auto texts = syn_arrayByTransformingObjectsWithBlock(items, [](int v) { return std::to_string(v * 10); });
    EXPECT_EQ(texts, (std::vector<std::string>{"30", "10", "40", "10", "50", "90", "20", "60"}));
    auto odd = syn_arrayByFilteringWithBlock(items, [](int v) { return v % 2 == 1; });
    EXPECT_EQ(odd, (std::vector<int>{3, 1, 1, 5, 9}));
    EXPECT_TRUE(syn_arrayByFilteringWithBlock(items, [](int) { return false; }).empty());
    EXPECT_TRUE(syn_arrayByTransformingObjectsWithBlock(std::vector<int>{}, [](int v) { return v; }).empty());
}

}  // namespace
