// The queue that holds a task delegate's work back until its task ends:
// order, where blocks run (the draining thread, never the one that added or
// released them outside a scope), owners kept alive, nothing lost.
#include <atomic>
#include <stdexcept>
#include <thread>

#include "HttpClientTestSupport.h"
#include "httpclient/HoldBackQueue.h"
#include "platform/dispatch/MainLoop.h"

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

TEST(HoldBackQueueTest, ReleasedInsideAScopeRunsOnThatThreadWhenTheScopeEnds) {
    auto first = std::make_shared<Owner>();
    auto second = std::make_shared<Owner>();
    auto empty = std::make_shared<Owner>();
    std::vector<Ran> ran;  // written only by the scope's thread
    std::atomic<bool> ranBeforeScopeEnd{false};
    std::thread::id scopeThread;
    first->queue.addOperationWithBlock([&] { ran.push_back({1, std::this_thread::get_id()}); });
    second->queue.addOperationWithBlock([&] { ran.push_back({2, std::this_thread::get_id()}); });
    second->queue.addOperationWithBlock([&] { ran.push_back({3, std::this_thread::get_id()}); });

    std::thread([&] {
        scopeThread = std::this_thread::get_id();
        {
            HoldBackQueue::DrainScope scope;
            second->queue.release();
            first->queue.release();
            empty->queue.release();
            // The owners may go while the scope still holds their work.
            second.reset();
            first.reset();
            ranBeforeScopeEnd = !ran.empty();
        }
    }).join();

    EXPECT_FALSE(ranBeforeScopeEnd);
    ASSERT_EQ(ran.size(), 3u);
    // In the order released; each queue's blocks in the order added.
    EXPECT_EQ(ran[0].index, 2);
    EXPECT_EQ(ran[1].index, 3);
    EXPECT_EQ(ran[2].index, 1);
    for (const auto& r : ran)
        EXPECT_EQ(r.thread, scopeThread);

    // Released empty inside the scope: later blocks still run elsewhere.
    Waiter<std::thread::id> late;
    empty->queue.addOperationWithBlock([&] { late.set(std::this_thread::get_id()); });
    EXPECT_NE(late.wait(), std::this_thread::get_id());
}

TEST(HoldBackQueueTest, AScopeOnTheMainThreadLeavesTheWorkToAWorker) {
    // Tests run on the initial thread, which is the main thread while no
    // main loop is bound elsewhere.
    ASSERT_TRUE(plat::dispatch::MainLoop::isMainThread());
    auto owner = std::make_shared<Owner>();
    Waiter<std::thread::id> ran;
    owner->queue.addOperationWithBlock([&] { ran.set(std::this_thread::get_id()); });
    {
        HoldBackQueue::DrainScope scope;
        owner->queue.release();
    }
    EXPECT_NE(ran.wait(), std::this_thread::get_id());
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
