#include "crashcapture/KCRAsyncSafeList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace kcr::async;

namespace {
int gReleased = 0;
void countRelease(int&) {
    ++gReleased;
}

std::vector<int> walk(async_safe_list<int>& list) {
    std::vector<int> values;
    list.set_reading(true);
    for (auto* node = list.next(nullptr); node != nullptr; node = list.next(node))
        values.push_back(node->value);
    list.set_reading(false);
    return values;
}
}  // namespace

TEST(AsyncSafeList, KeepsOrderAndParksNodesRemovedUnderReaders) {
    gReleased = 0;
    {
        async_safe_list<int> list(countRelease);
        list.append(2);
        list.append(3);
        list.prepend(1);
        EXPECT_EQ(walk(list), (std::vector<int>{1, 2, 3}));
        EXPECT_TRUE(list.remove(2));
        EXPECT_FALSE(list.remove(42));
        EXPECT_EQ(gReleased, 1);  // no reader: freed at once
        EXPECT_EQ(walk(list), (std::vector<int>{1, 3}));

        // A reader standing on the node can go on after it is removed.
        list.set_reading(true);
        auto* first = list.next(nullptr);
        EXPECT_TRUE(list.remove(1));
        EXPECT_EQ(list.parked_count(), 1);
        EXPECT_EQ(gReleased, 1);
        EXPECT_EQ(first->value, 1);
        ASSERT_NE(list.next(first), nullptr);
        EXPECT_EQ(list.next(first)->value, 3);
        // While the count is held, appends do not recycle the parked node.
        list.append(4);
        EXPECT_EQ(list.parked_count(), 1);
        list.set_reading(false);
        // The next append reuses it, releasing its old value.
        list.append(5);
        EXPECT_EQ(list.parked_count(), 0);
        EXPECT_EQ(gReleased, 2);
        EXPECT_EQ(walk(list), (std::vector<int>{3, 4, 5}));
        EXPECT_TRUE(list.remove(3));
        EXPECT_TRUE(list.remove(5));
        EXPECT_EQ(walk(list), (std::vector<int>{4}));
        EXPECT_TRUE(list.remove(4));
        EXPECT_TRUE(walk(list).empty());
        list.append(6);
        EXPECT_EQ(walk(list), (std::vector<int>{6}));
    }
    EXPECT_EQ(gReleased, 6);
}

TEST(AsyncSafeListConcurrent, ReadersWalkWhileWritersAppendAndRemove) {
    async_safe_list<int> list;
    for (int i = 0; i < 8; ++i)
        list.append(1000 + i);
    std::atomic<bool> stop{false};
    std::atomic<long> walks{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                list.set_reading(true);
                int seen = 0;
                for (auto* node = list.next(nullptr); node != nullptr && seen < 10000;
                     node = list.next(node)) {
                    EXPECT_GE(node->value, 0);
                    ++seen;
                }
                list.set_reading(false);
                walks++;
            }
        });
    }
    for (int i = 0; i < 5000; ++i) {
        list.append(i);
        if (i % 2 == 0)
            list.prepend(i);
        list.remove(i);  // the prepended copy of an even value, else the appended one
    }
    stop = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_GT(walks.load(), 0);
    EXPECT_EQ(walk(list).size(), 8u + 2500u);
}
