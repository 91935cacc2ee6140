#include "platform/dispatch/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch {
namespace {

using testing::DispatchTest;
using testing::kLongWait;

class MainLoopTest : public DispatchTest {};

TEST_F(MainLoopTest, BlocksFromManyThreadsRunOnMainInPostingOrderPerThread) {
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<bool> offMain{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                mainQueue().async([&, t, i] {
                    if (!isMainThread()) {
                        offMain = true;
                    }
                    seen[t].push_back(i);
                });
            }
        });
    }
    for (auto& p : posters) {
        p.join();
    }
    EXPECT_EQ(MainLoop::pendingCount(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(MainLoop::drain(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_FALSE(offMain);
    for (int t = 0; t < kThreads; ++t) {
        std::vector<int> expected(kPerThread);
        for (int i = 0; i < kPerThread; ++i)
            expected[i] = i;
        EXPECT_EQ(seen[t], expected);
    }
}

TEST_F(MainLoopTest, SyncOnMainFromMainRunsInlineAndAsyncNeverDoes) {
    std::vector<int> order;
    mainQueue().async([&] { order.push_back(1); });
    mainQueue().sync([&] {
        order.push_back(0);
        mainQueue().sync([&] { order.push_back(-1); });  // nested: still inline
        mainQueue().async([&] { order.push_back(2); });
        EXPECT_TRUE(mainQueue().isCurrent());
    });
    EXPECT_EQ(order, (std::vector<int>{0, -1}));
    EXPECT_EQ(MainLoop::drain(), 2u);
    EXPECT_EQ(order, (std::vector<int>{0, -1, 1, 2}));
}

TEST_F(MainLoopTest, SyncFromAnotherThreadRunsOnMainWhileItPumps) {
    std::atomic<bool> done{false};
    std::atomic<bool> ranOnMain{false};
    std::atomic<int> value{0};
    std::atomic<bool> sawError{false};
    std::thread worker([&] {
        EXPECT_FALSE(isMainThread());
        EXPECT_FALSE(mainQueue().isCurrent());
        value = mainQueue().sync([&] {
            ranOnMain = isMainThread();
            return 7;
        });
        try {
            mainQueue().sync([] { throw std::runtime_error("from main"); });
        } catch (const std::runtime_error&) {
            sawError = true;
        }
        done = true;
    });
    EXPECT_TRUE(MainLoop::runUntil([&] { return done.load(); }, kLongWait));
    worker.join();
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(value.load(), 7);
    EXPECT_TRUE(sawError);
}

TEST_F(MainLoopTest, RunUntilReportsTimeOutAndWatchesOtherThreads) {
    EXPECT_FALSE(MainLoop::runUntil([] { return false; }, 0.01));
    EXPECT_FALSE(MainLoop::runUntil([] { return false; }, -1));
    EXPECT_TRUE(MainLoop::runUntil([] { return true; }, 0));

    // The predicate turns true without anything being posted to main.
    std::atomic<bool> flag{false};
    std::thread setter([&] { flag = true; });
    EXPECT_TRUE(MainLoop::runUntil([&] { return flag.load(); }, kLongWait));
    setter.join();
}

// With nothing posted, runUntil looks at its predicate after 2 ms and then at
// intervals doubling up to 16 ms: some 23 looks in 0.3 s (every 2 ms it made
// 150). A loaded machine only sleeps longer, so the bound holds however slow.
TEST_F(MainLoopTest, RunUntilLooksLessOftenTheLongerNothingComes) {
    int looks = 0;
    EXPECT_FALSE(MainLoop::runUntil(
        [&] {
            ++looks;
            return false;
        },
        0.3));
    EXPECT_GE(looks, 2);  // at the start and at the time-out at least
    EXPECT_LE(looks, 35);
}

// Once the loop looks seldom, what is posted to main still runs at once, and
// a change made on another thread without a post is still seen.
TEST_F(MainLoopTest, RunUntilThatLooksSeldomStillSeesPostsAndOtherThreads) {
    int looks = 0;
    bool posted = false;
    std::thread poster;
    EXPECT_TRUE(MainLoop::runUntil(
        [&] {
            if (++looks == 6)  // the interval has grown to 16 ms by now
                poster = std::thread([&] { mainQueue().async([&] { posted = true; }); });
            return posted;
        },
        kLongWait));
    poster.join();

    looks = 0;
    std::atomic<bool> flag{false};
    std::thread setter;
    EXPECT_TRUE(MainLoop::runUntil(
        [&] {
            if (++looks == 6)
                setter = std::thread([&] { flag = true; });
            return flag.load();
        },
        kLongWait));
    setter.join();
}

TEST_F(MainLoopTest, DrainRunsWhatBlocksPostUntilEmpty) {
    int depth = 0;
    std::function<void()> chain = [&] {
        if (++depth < 5) {
            mainQueue().async(chain);
        }
    };
    mainQueue().async(chain);
    EXPECT_EQ(MainLoop::drain(), 5u);
    EXPECT_EQ(depth, 5);
    EXPECT_EQ(MainLoop::drain(), 0u);
}

TEST_F(MainLoopTest, RunReturnsAfterStopFromABlockOrAnotherThread) {
    std::vector<int> order;
    mainQueue().async([&] { order.push_back(1); });
    mainQueue().async([&] {
        order.push_back(2);
        MainLoop::stop();
    });
    mainQueue().async([&] { order.push_back(3); });
    MainLoop::run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));  // the third waits for the next pump
    EXPECT_EQ(MainLoop::drain(), 1u);

    std::thread stopper([] { mainQueue().async([] { MainLoop::stop(); }); });
    MainLoop::run();
    stopper.join();
}

// run() has no poll to fall back on: a post that finds the loop asleep, or
// about to sleep, must wake it, or the loop never sees the block. Each block
// here is posted only once the one before has run, so the loop goes idle
// between nearly all of them; a stop left behind would end a hang.
TEST_F(MainLoopTest, RunIsWokenForEachBlockPostedWhileItIdles) {
    constexpr int kBlocks = 3000;
    auto ran = std::make_shared<std::atomic<int>>(0);
    auto turn = std::make_shared<Semaphore>();
    std::thread poster([ran, turn] {
        for (int i = 0; i < kBlocks; ++i) {
            mainQueue().async([ran, turn] {
                ++*ran;
                turn->signal();
            });
            if (!turn->wait(kLongWait))
                break;
        }
        mainQueue().async([] { MainLoop::stop(); });
    });
    MainLoop::run();
    poster.join();
    EXPECT_EQ(ran->load(), kBlocks);
}

TEST_F(MainLoopTest, OnlyTheMainThreadMayPumpAndBindingMoves) {
    EXPECT_TRUE(isMainThread());
    std::thread other([] {
        EXPECT_FALSE(isMainThread());
        EXPECT_THROW(MainLoop::drain(), DispatchException);
        EXPECT_THROW(MainLoop::runUntil([] { return true; }, 0), DispatchException);
        MainLoop::bindToCurrentThread();
        EXPECT_TRUE(isMainThread());
        int ran = 0;
        mainQueue().async([&] { ran = 1; });
        EXPECT_EQ(MainLoop::drain(), 1u);
        EXPECT_EQ(ran, 1);
    });
    other.join();
    EXPECT_FALSE(isMainThread());
    MainLoop::bindToCurrentThread();
    EXPECT_TRUE(isMainThread());
}

TEST_F(MainLoopTest, ExceptionFromABlockLeavesTheLoopUsable) {
    int after = 0;
    mainQueue().async([] { throw std::runtime_error("block failed"); });
    mainQueue().async([&] { after = 1; });
    EXPECT_THROW(MainLoop::drain(), std::runtime_error);
    EXPECT_EQ(MainLoop::drain(), 1u);
    EXPECT_EQ(after, 1);
}

}  // namespace
}  // namespace plat::dispatch
