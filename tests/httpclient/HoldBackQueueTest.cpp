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

namespace {

// An owner that tells when it goes.
struct TellingOwner : std::enable_shared_from_this<TellingOwner> {
    std::promise<void>* gone = nullptr;
    HoldBackQueue queue{[this] { return std::shared_ptr<void>(weak_from_this().lock()); }};
    ~TellingOwner() {
        if (gone)
            gone->set_value();
    }
};

// The owner's last outside reference dropped right after the call that
// starts a drain: the blocks still see it alive, and it goes once they have
// run (a drain that kept it would leave it for good; one that did not hold
// it would let the queue go under the running blocks).
void expectOwnerHeldThroughTheDrainOnly(bool addAfterRelease) {
    std::promise<void> gone;
    auto goneFuture = gone.get_future();
    std::promise<void> goOn;
    auto goOnFuture = goOn.get_future();
    Waiter<bool> alive;
    auto owner = std::make_shared<TellingOwner>();
    owner->gone = &gone;
    std::weak_ptr<TellingOwner> weak = owner;
    auto block = [&alive, &goOnFuture, weak] {
        goOnFuture.wait();
        alive.set(!weak.expired());
    };
    if (addAfterRelease) {
        owner->queue.release();
        owner->queue.addOperationWithBlock(block);
    } else {
        owner->queue.addOperationWithBlock(block);
        owner->queue.release();
    }
    owner->queue.addOperationWithBlock([&alive, weak] { alive.set(!weak.expired()); });
    owner.reset();
    // The drain holds it: not gone before the blocks are let run.
    EXPECT_FALSE(weak.expired());
    goOn.set_value();
    EXPECT_EQ(alive.all(2), (std::vector<bool>{true, true}));
    EXPECT_EQ(goneFuture.wait_for(kHangGuard), std::future_status::ready) << "the owner was kept";
}

}  // namespace

TEST(HoldBackQueueTest, ADrainStartedByReleaseHoldsTheOwnerUntilItsBlocksHaveRun) {
    expectOwnerHeldThroughTheDrainOnly(false);
}

TEST(HoldBackQueueTest, ADrainStartedByABlockAddedAfterReleaseHoldsTheOwnerUntilItHasRun) {
    expectOwnerHeldThroughTheDrainOnly(true);
}

// Many short drains one after another, each started while the one before
// may still be ending: each owner goes once its blocks have run.
TEST(HoldBackQueueTest, OwnersOfManyDrainsAllGo) {
    constexpr int kOwners = 200;
    std::vector<std::promise<void>> gone(kOwners);
    Waiter<int> ran;
    for (int i = 0; i < kOwners; ++i) {
        auto owner = std::make_shared<TellingOwner>();
        owner->gone = &gone[i];
        owner->queue.addOperationWithBlock([&ran, i] { ran.set(i); });
        owner->queue.release();
        if (i % 2)
            owner->queue.addOperationWithBlock([] {});
    }
    EXPECT_EQ(ran.all(kOwners).size(), static_cast<size_t>(kOwners));
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;  // one guard for all
    int kept = 0;
    for (int i = 0; i < kOwners; ++i)
        kept += gone[i].get_future().wait_until(deadline) != std::future_status::ready;
    EXPECT_EQ(kept, 0);
}
