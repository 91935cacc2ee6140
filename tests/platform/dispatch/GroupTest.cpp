#include "platform/dispatch/Group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch {
namespace {

using testing::DispatchTest;
using testing::kLongWait;

class GroupTest : public DispatchTest {};

TEST_F(GroupTest, NotifyRunsOnceAllWorkHasLeftInRegistrationOrder) {
    Group group;
    std::vector<int> order;
    group.enter();
    group.enter();
    group.notify(mainQueue(), [&] { order.push_back(1); });
    group.notify(mainQueue(), [&] { order.push_back(2); });
    group.leave();
    MainLoop::drain();
    EXPECT_TRUE(order.empty());
    std::thread leaver([&] { group.leave(); });
    leaver.join();
    MainLoop::drain();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    // An idle group notifies at once (still asynchronously).
    group.notify(mainQueue(), [&] { order.push_back(3); });
    EXPECT_EQ(order.size(), 2u);
    MainLoop::drain();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(GroupTest, WaitTimesOutWhileWorkIsOutAndReturnsOnceItLeaves) {
    Group group;
    EXPECT_TRUE(group.wait(0));
    group.enter();
    EXPECT_FALSE(group.wait(0.01));
    EXPECT_FALSE(group.wait(-1));
    Semaphore go;
    std::thread worker([&] {
        go.wait();
        group.leave();
    });
    go.signal();
    EXPECT_TRUE(group.wait(kLongWait));
    group.wait();
    worker.join();
}

TEST_F(GroupTest, AsyncCountsWorkOnAnyQueue) {
    Group group;
    std::atomic<int> done{0};
    auto serial = Queue::serial("test.group");
    for (int i = 0; i < 100; ++i) {
        group.async(i % 2 ? serial : Queue::global(Priority::Background), [&] { done.fetch_add(1); });
    }
    bool notified = false;
    group.notify(mainQueue(), [&] { notified = true; });
    EXPECT_TRUE(MainLoop::runUntil([&] { return notified; }, kLongWait));
    EXPECT_EQ(done.load(), 100);
}

TEST_F(GroupTest, UnbalancedLeaveAndEmptyQueueAreRefused) {
    Group group;
    EXPECT_THROW(group.leave(), DispatchException);
    group.enter();
    group.leave();
    EXPECT_THROW(group.leave(), DispatchException);
    EXPECT_THROW(group.notify(Queue(), [] {}), DispatchException);
    EXPECT_THROW(group.notify(mainQueue(), Block()), std::invalid_argument);
    EXPECT_THROW(group.async(mainQueue(), Block()), std::invalid_argument);
    EXPECT_TRUE(group.wait(0));
}

// Leaves counted in a batch: more than entered is refused whole, and only the
// batch that empties the group posts its notifications.
TEST_F(GroupTest, BatchedLeavesEmptyTheGroupOnlyWhenAllHaveLeft) {
    Group group;
    for (int i = 0; i < 5; ++i)
        group.enter();
    EXPECT_THROW(group.leave(6), DispatchException);
    bool notified = false;
    group.notify(mainQueue(), [&] { notified = true; });
    group.leave(4);
    EXPECT_FALSE(group.wait(0));
    MainLoop::drain();
    EXPECT_FALSE(notified);
    group.leave(1);
    EXPECT_TRUE(group.wait(0));
    EXPECT_TRUE(MainLoop::runUntil([&] { return notified; }, kLongWait));
}

// Jobs of several groups interleaved on the pool: each group empties exactly
// when its own jobs are done, although workers count leaves in batches.
TEST_F(GroupTest, InterleavedGroupsOnThePoolEachWaitForTheirOwnWork) {
    constexpr int kGroups = 4, kJobs = 5000;
    Group groups[kGroups];
    std::atomic<int> done[kGroups] = {};
    for (int i = 0; i < kJobs * kGroups; ++i) {
        const int g = i % kGroups;
        groups[g].async(Queue::global(), [&done, g] { done[g].fetch_add(1); });
    }
    for (int g = 0; g < kGroups; ++g) {
        ASSERT_TRUE(groups[g].wait(kLongWait));
        EXPECT_EQ(done[g].load(), kJobs);
    }
}

}  // namespace
}  // namespace plat::dispatch
