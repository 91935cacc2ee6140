// The queue that holds a task delegate's work back until its task ends:
// order, where blocks run (never on the thread that added or released them),
// owners kept alive, nothing lost.
#include <future>
#include <stdexcept>
#include <thread>

#include "HttpClientTestSupport.h"
#include "httpclient/HoldBackQueue.h"

using namespace httpclienttest;

namespace {

// Owns a queue the way a task delegate does.
struct Owner : std::enable_shared_from_this<Owner> {
    HoldBackQueue queue{[this] { return std::shared_ptr<void>(weak_from_this().lock()); }};
};

struct Ran {
    int index;
    std::thread::id thread;
};

}  // namespace

TEST(HoldBackQueueTest, HoldsBackThenRunsInOrderAddedOffTheReleasingThread) {
    auto owner = std::make_shared<Owner>();
    Waiter<Ran> ran;
    for (int i = 0; i < 3; ++i)
        owner->queue.addOperationWithBlock([&ran, i] { ran.set({i, std::this_thread::get_id()}); });
    EXPECT_TRUE(owner->queue.isSuspended());
    EXPECT_EQ(owner->queue.operationCount(), 3u);

    owner->queue.release();
    owner->queue.release();  // a second release changes nothing
    // Added after release: runs in its turn, also off this thread.
    owner->queue.addOperationWithBlock([&ran] { ran.set({3, std::this_thread::get_id()}); });
    auto all = ran.all(4);
    ASSERT_EQ(all.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(all[i].index, i);
        EXPECT_NE(all[i].thread, std::this_thread::get_id());
    }
    EXPECT_FALSE(owner->queue.isSuspended());
}

TEST(HoldBackQueueTest, AThrowingBlockDoesNotStopTheOnesBehindIt) {
    auto owner = std::make_shared<Owner>();
    Waiter<int> ran;
    owner->queue.addOperationWithBlock([] { throw std::runtime_error("serializer failed"); });
    owner->queue.addOperationWithBlock([&] { ran.set(1); });
    owner->queue.release();
    EXPECT_TRUE(ran.wait());
    // Not stuck as running: a later block runs too.
    owner->queue.addOperationWithBlock([&] { ran.set(2); });
    EXPECT_EQ(ran.all(2).at(1), 2);
}

TEST(HoldBackQueueTest, BlocksOfAQueueDestroyedUnreleasedStillRun) {
    Waiter<int> ran;
    {
        auto owner = std::make_shared<Owner>();
        owner->queue.addOperationWithBlock([&] { ran.set(1); });
        owner->queue.addOperationWithBlock([&] { ran.set(2); });
    }
    auto all = ran.all(2);
    EXPECT_EQ(all, (std::vector<int>{1, 2}));
}

// Blocks added while the first one runs wait behind it, keep their order,
// and are counted until they have run.
TEST(HoldBackQueueTest, BlocksAddedWhileOneRunsKeepTheirOrderAndCount) {
    auto owner = std::make_shared<Owner>();
    std::promise<void> started, goOn;
    Waiter<int> ran;
    owner->queue.addOperationWithBlock([&] {
        started.set_value();
        goOn.get_future().wait();
        ran.set(0);
    });
    owner->queue.release();
    started.get_future().wait();
    for (int i = 1; i <= 3; ++i)
        owner->queue.addOperationWithBlock([&ran, i] { ran.set(i); });
    EXPECT_EQ(owner->queue.operationCount(), 4u);  // the running one and three waiting
    goOn.set_value();
    EXPECT_EQ(ran.all(4), (std::vector<int>{0, 1, 2, 3}));
    // Added once all have run: runs too.
    owner->queue.addOperationWithBlock([&ran] { ran.set(4); });
    EXPECT_EQ(ran.all(5).back(), 4);
}

TEST(HoldBackQueueTest, AQueueDestroyedUnreleasedRunsEveryBlockInOrder) {
    Waiter<int> ran;
    {
        auto owner = std::make_shared<Owner>();
        for (int i = 0; i < 4; ++i)
            owner->queue.addOperationWithBlock([&ran, i] { ran.set(i); });
        EXPECT_EQ(owner->queue.operationCount(), 4u);
    }
    EXPECT_EQ(ran.all(4), (std::vector<int>{0, 1, 2, 3}));
}
