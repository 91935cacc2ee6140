#include "platform/dispatch/Queue.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/detail/ThreadPool.h"

namespace plat::dispatch {
namespace {

using testing::DispatchTest;
using testing::kLongWait;

class QueueTest : public DispatchTest {};

TEST_F(QueueTest, SerialQueueRunsBlocksOneAtATimeInPostingOrderPerProducer) {
    auto queue = Queue::serial("test.order");
    constexpr int kProducers = 4, kPerProducer = 2000;
    std::vector<std::vector<int>> seen(kProducers);  // only touched on the queue
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                queue.async([&, p, i] {
                    if (inside.fetch_add(1) != 0) {
                        overlapped = true;
                    }
                    seen[p].push_back(i);
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : producers) {
        t.join();
    }
    queue.sync([] {});  // a barrier: runs after everything posted before it
    EXPECT_FALSE(overlapped);
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<size_t>(kPerProducer));
        for (int i = 0; i < kPerProducer; ++i) {
            ASSERT_EQ(seen[p][i], i);
        }
    }
}

// Profilers and debuggers show the pool's threads by name.
TEST_F(QueueTest, BlocksRunOnNamedPoolThreads) {
    auto name = std::make_shared<std::promise<std::string>>();
    Queue::global().async([name] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name->set_value(buffer);
    });
    auto got = name->get_future();
    ASSERT_EQ(got.wait_for(std::chrono::duration<double>(kLongWait)), std::future_status::ready);
    const std::string value = got.get();
    EXPECT_TRUE(value == "dispatch-worker" || value == "dispatch-extra") << value;
}

TEST_F(QueueTest, SyncRunsOnCallerAfterEarlierBlocksAndReturnsValue) {
    auto queue = Queue::serial("test.sync");
    std::vector<int> order;
    Semaphore release;
    queue.async([&] {
        release.wait();
        order.push_back(1);
    });
    queue.async([&] { order.push_back(2); });
    std::thread releaser([&] { release.signal(); });
    auto caller = std::this_thread::get_id();
    int value = queue.sync([&] {
        order.push_back(3);
        EXPECT_EQ(std::this_thread::get_id(), caller);
        EXPECT_TRUE(queue.isCurrent());
        return 42;
    });
    releaser.join();
    EXPECT_EQ(value, 42);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(queue.isCurrent());
}

// The checked thread rules: quiet where they hold, the end of the process
// (naming the queue) where they do not.
TEST_F(QueueTest, ThreadRuleAssertionsStopTheProcessOnlyWhenBroken) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto queue = Queue::serial("test.rules");
    queue.sync([&] { queue.assertCurrent(); });
    queue.assertNotCurrent();
    EXPECT_DEATH(queue.assertCurrent(), "called off the queue \"test.rules\"");
    EXPECT_DEATH(queue.sync([&] { queue.assertNotCurrent(); }), "called on the queue \"test.rules\"");
    Queue::main().assertCurrent();  // the test's thread is the main thread
    EXPECT_DEATH(std::thread([] { Queue::main().assertCurrent(); }).join(), "called off the queue \"main\"");
}

TEST_F(QueueTest, SyncOntoTheQueueOneRunsOnIsRefusedInsteadOfDeadlocking) {
    auto outer = Queue::serial("test.outer");
    auto inner = Queue::serial("test.inner");
    bool direct = false, nested = false, globalReentry = false;
    outer.sync([&] {
        try {
            outer.sync([] {});
        } catch (const DispatchException& e) {
            direct = std::string(e.what()).find("test.outer") != std::string::npos;
        }
        inner.sync([&] {
            EXPECT_TRUE(outer.isCurrent());  // still held by this thread
            EXPECT_THROW(outer.sync([] {}), DispatchException);
            nested = true;
        });
    });
    // Global queues are concurrent: re-entering one is fine.
    Queue::global().sync([&] { Queue::global().sync([&] { globalReentry = true; }); });
    EXPECT_TRUE(direct);
    EXPECT_TRUE(nested);
    EXPECT_TRUE(globalReentry);
    // The refusal left both queues usable.
    EXPECT_EQ(outer.sync([] { return 1; }), 1);
}

// sync() runs on the caller's thread, so handing a serial queue from one sync
// caller to the next must not need a pool worker: here every worker is busy
// waiting for the test.
TEST_F(QueueTest, SyncCallersTakeTurnsWhileEveryWorkerIsBusy) {
    const auto workers = detail::ThreadPool::shared().threadCount();
    Semaphore workersIn, releaseWorkers;
    Group workersOut;
    for (std::size_t i = 0; i < workers; ++i) {
        workersOut.async(Queue::global(), [&] {
            workersIn.signal();
            releaseWorkers.wait();
        });
    }
    for (std::size_t i = 0; i < workers; ++i) {
        ASSERT_TRUE(workersIn.wait(kLongWait));
    }
    auto queue = Queue::serial("test.sync.handover");
    Semaphore firstInside, secondAboutToSync, secondRan;
    std::thread first([&] {
        queue.sync([&] {
            firstInside.signal();
            secondAboutToSync.wait();
            // Give the second caller time to queue up behind this block; the
            // test passes either way when it does not.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        });
    });
    ASSERT_TRUE(firstInside.wait(kLongWait));
    std::thread second([&] {
        secondAboutToSync.signal();
        queue.sync([&] { secondRan.signal(); });
    });
    bool handedOver = secondRan.wait(kLongWait);
    for (std::size_t i = 0; i < workers; ++i) {
        releaseWorkers.signal();
    }
    first.join();
    second.join();
    ASSERT_TRUE(workersOut.wait(kLongWait));
    EXPECT_TRUE(handedOver);
}

TEST_F(QueueTest, ExceptionFromSyncBlockReachesCallerAndFreesTheQueue) {
    auto queue = Queue::serial("test.throw");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    std::atomic<bool> ran{false};
    queue.async([&] { ran = true; });
    queue.sync([] {});
    EXPECT_TRUE(ran);
}

TEST_F(QueueTest, ManySerialQueuesShareThePoolAndAllFinish) {
    constexpr int kQueues = 300;
    Group group;
    std::atomic<int> total{0};
    {
        std::vector<Queue> queues;
        for (int i = 0; i < kQueues; ++i) {
            queues.push_back(Queue::serial("test.many." + std::to_string(i)));
        }
        for (auto& q : queues) {
            for (int j = 0; j < 10; ++j) {
                group.async(q, [&] { total.fetch_add(1); });
            }
        }
    }  // every handle dropped with work pending: the work still runs
    ASSERT_TRUE(group.wait(kLongWait));
    EXPECT_EQ(total.load(), kQueues * 10);
}

TEST_F(QueueTest, BusySerialQueuesDoNotStarveAQueuePostedLater) {
    // More endlessly busy queues than the pool has workers: the late queue
    // only runs if busy ones hand their worker back between batches.
    const unsigned busyCount = 2 * std::max(2u, std::thread::hardware_concurrency());
    std::atomic<bool> stop{false};
    Group chains;
    std::vector<Queue> busy;
    std::vector<std::function<void()>> steps(busyCount);
    for (unsigned i = 0; i < busyCount; ++i) {
        busy.push_back(Queue::serial("test.busy." + std::to_string(i)));
    }
    for (unsigned i = 0; i < busyCount; ++i) {
        steps[i] = [&, i] {
            if (stop) {
                chains.leave();
            } else {
                busy[i].async(steps[i]);
            }
        };
        chains.enter();
        busy[i].async(steps[i]);
    }
    std::atomic<bool> lateRan{false};
    Queue::serial("test.late").async([&] { lateRan = true; });
    EXPECT_TRUE(MainLoop::runUntil([&] { return lateRan.load(); }, kLongWait));
    stop = true;
    ASSERT_TRUE(chains.wait(kLongWait));
}

TEST_F(QueueTest, GlobalQueueRunsBlocksConcurrently) {
    // Each block waits for the other: only concurrent execution lets both finish.
    Semaphore a, b;
    Group group;
    std::atomic<bool> aSawB{false}, bSawA{false};
    group.async(Queue::global(Priority::High), [&] {
        a.signal();
        aSawB = b.wait(kLongWait);
    });
    group.async(Queue::global(Priority::High), [&] {
        b.signal();
        bSawA = a.wait(kLongWait);
    });
    ASSERT_TRUE(group.wait(kLongWait));
    EXPECT_TRUE(aSawB);
    EXPECT_TRUE(bSawA);
}

TEST_F(QueueTest, SpecificsAnswerWhichQueueCodeRunsOn) {
    static const int key = 0;
    auto a = Queue::serial("test.a");
    auto b = Queue::serial("test.b");
    a.setSpecific(&key, std::make_shared<int>(1));
    b.setSpecific(&key, std::make_shared<int>(2));
    auto read = [] {
        auto v = Queue::currentSpecific(&key);
        return v ? *std::static_pointer_cast<int>(v) : 0;
    };
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(a.sync(read), 1);
    EXPECT_EQ(a.sync([&] { return b.sync(read); }), 2);  // innermost queue wins
    EXPECT_EQ(*std::static_pointer_cast<int>(a.getSpecific(&key)), 1);
    a.setSpecific(&key, nullptr);
    EXPECT_EQ(a.sync(read), 0);
    EXPECT_EQ(Queue::global(Priority::Low).sync(read), 0);
}

TEST_F(QueueTest, HandlesCompareByIdentityAndDescribeTheirQueue) {
    auto q = Queue::serial("test.label", QualityOfService::Utility);
    Queue copy = q;
    EXPECT_TRUE(copy == q);
    EXPECT_FALSE(Queue::serial("test.label") == q);
    EXPECT_EQ(q.label(), "test.label");
    EXPECT_EQ(q.qualityOfService(), QualityOfService::Utility);
    EXPECT_FALSE(q.isMain());
    EXPECT_TRUE(Queue::main().isMain());
    EXPECT_TRUE(Queue::main() == mainQueue());
    EXPECT_TRUE(Queue::global(Priority::High) == Queue::global(QualityOfService::UserInitiated));
    EXPECT_TRUE(Queue::global(static_cast<QualityOfService>(25)) ==
                Queue::global(QualityOfService::UserInitiated));
    EXPECT_TRUE(Queue::global(static_cast<QualityOfService>(-1)) == Queue::global());

    Queue empty;
    EXPECT_FALSE(empty);
    EXPECT_THROW(empty.async([] {}), DispatchException);
    EXPECT_THROW(empty.sync([] {}), DispatchException);
    EXPECT_THROW((void)empty.label(), DispatchException);
    // An empty block is refused where it is posted, not found later on a worker.
    EXPECT_THROW(q.async(Block()), std::invalid_argument);
    EXPECT_THROW(q.sync(Block()), std::invalid_argument);
    EXPECT_THROW(q.after(1, Block()), std::invalid_argument);
}

TEST_F(QueueTest, AfterPostsOnceTheQueueClockReachesTheDelay) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = Queue::serial("test.after");
    queue.setClock(clock);
    EXPECT_EQ(queue.clock(), clock);
    std::vector<int> fired;
    queue.after(2.0, [&] { fired.push_back(2); });
    queue.after(1.0, [&] { fired.push_back(1); });
    queue.after(-5.0, [&] { fired.push_back(0); });  // past delays fire at the next advance
    queue.after(1.0, [&] { fired.push_back(11); });  // same deadline: creation order
    EXPECT_THROW(queue.after(std::nan(""), [] {}), std::invalid_argument);

    clock->advance(0.5);
    queue.sync([] {});
    EXPECT_EQ(fired, (std::vector<int>{0}));
    clock->advance(1.5);
    queue.sync([] {});
    EXPECT_EQ(fired, (std::vector<int>{0, 1, 11, 2}));
    EXPECT_EQ(clock->pendingCount(), 0u);
}

TEST_F(QueueTest, AfterUsesTheDefaultClockWhenTheQueueHasNone) {
    auto clock = installManualClock();
    int fired = 0;
    Queue::main().after(10.0, [&] { ++fired; });
    clock->advance(9.999);
    MainLoop::drain();
    EXPECT_EQ(fired, 0);
    clock->advance(0.001);
    MainLoop::drain();
    EXPECT_EQ(fired, 1);
}

// A serial queue whose last handle is dropped runs what was posted and is
// then freed: what keeps it alive while a drain is on its way is let go
// once the drain has run, drain after drain.
TEST_F(QueueTest, ADroppedSerialQueueRunsItsBlocksAndIsFreed) {
    for (int round = 0; round < 20; ++round) {
        std::weak_ptr<detail::QueueImpl> weak;
        auto ran = std::make_shared<std::atomic<int>>(0);
        {
            auto queue = Queue::serial("test.dropped");
            weak = queue.impl();
            for (int i = 0; i < 5; ++i)
                queue.async([ran] { ran->fetch_add(1); });
            if (round % 2 == 1)
                queue.sync([] {});  // a sync caller takes the queue over in between
            queue.async([ran] { ran->fetch_add(1); });
        }
        ASSERT_TRUE(MainLoop::runUntil([&] { return ran->load() == 6 && weak.expired(); }, kLongWait))
            << "round " << round << ": ran " << ran->load();
    }
}

// Callers that post and sync onto a queue that keeps going idle race for it
// (an idle queue is taken without its lock): blocks still never overlap,
// each caller's blocks run in the order it made them, a sync runs after
// every block its caller posted before it, and no block is left behind
// when the queue goes idle as another is posted.
TEST_F(QueueTest, CallersRacingForAnIdleQueueKeepItSerialAndLeaveNoBlockBehind) {
    constexpr int kCallers = 4, kRounds = 1500;
    struct Shared {
        Queue queue = Queue::serial("test.race");
        std::vector<std::vector<int>> seen = std::vector<std::vector<int>>(kCallers);  // queue only
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        std::atomic<int> syncsBehind{0};  // syncs that found an earlier block of their caller not run
    };
    auto shared = std::make_shared<Shared>();
    auto enter = [shared] {
        if (shared->inside.fetch_add(1) != 0)
            shared->overlapped = true;
    };
    auto leave = [shared] { shared->inside.fetch_sub(1); };
    ASSERT_TRUE(testing::returnsInTime([shared, enter, leave] {
        std::vector<std::thread> callers;
        for (int c = 0; c < kCallers; ++c) {
            callers.emplace_back([shared, enter, leave, c] {
                int posted = 0;
                for (int round = 0; round < kRounds; ++round) {
                    // Mostly one block then a sync, so that the queue goes
                    // idle (and is taken without a lock) again and again.
                    const int blocks = round % 3 == 0 ? 0 : round % 3;
                    for (int b = 0; b < blocks; ++b) {
                        const int value = posted++;
                        shared->queue.async([shared, enter, leave, c, value] {
                            enter();
                            shared->seen[c].push_back(value);
                            leave();
                        });
                    }
                    shared->queue.sync([&] {
                        enter();
                        if (shared->seen[c].size() != static_cast<std::size_t>(posted))
                            shared->syncsBehind.fetch_add(1);
                        leave();
                    });
                }
            });
        }
        for (auto& caller : callers)
            caller.join();
    }));
    EXPECT_FALSE(shared->overlapped);
    EXPECT_EQ(shared->syncsBehind.load(), 0);
    shared->queue.sync([&] {
        for (int c = 0; c < kCallers; ++c) {
            const auto& seen = shared->seen[c];
            ASSERT_EQ(seen.size(), static_cast<std::size_t>(kRounds));  // 0 + 1 + 2 per three rounds
            for (std::size_t i = 0; i < seen.size(); ++i)
                ASSERT_EQ(seen[i], static_cast<int>(i)) << "caller " << c;
        }
    });
}

// A sync onto an idle serial queue takes it at once: from a chain hosted on
// a thread outside the pool it is no wait, so the chain is not handed over.
TEST_F(QueueTest, ASyncOntoAnIdleQueueIsNoWaitForAHostedChain) {
    auto queue = Queue::serial("test.idle.sync");
    int handOvers = 0, ran = 0;
    const bool kept = runChainHere(
        [&] {
            for (int i = 0; i < 10; ++i)
                queue.sync([&] { ++ran; });
        },
        [&] {
            ++handOvers;
            return false;
        });
    EXPECT_TRUE(kept);
    EXPECT_EQ(ran, 10);
    EXPECT_EQ(handOvers, 0);
}

// What a block captured is let go once it has run, before the next block of
// the drain runs (the vector the drain takes blocks into outlives it).
TEST_F(QueueTest, ABlocksCapturesAreReleasedBeforeTheNextBlockRuns) {
    auto queue = Queue::serial("test.captures");
    for (int round = 0; round < 50; ++round) {
        auto held = std::make_shared<int>(round);
        std::weak_ptr<int> weak = held;
        Semaphore gate;
        std::atomic<bool> releasedInTime{false};
        // Held back until both are queued, so that one drain takes both.
        queue.async([&gate] { gate.wait(); });
        queue.async([held = std::move(held)] { (void)*held; });
        queue.async([&] { releasedInTime = weak.expired(); });
        gate.signal();
        queue.sync([] {});
        EXPECT_TRUE(releasedInTime) << "round " << round;
        EXPECT_TRUE(weak.expired());
    }
}

// Handles of the queues that live for the process (the global ones, main)
// own nothing: copying and dropping them counts no references, and any
// number of copies made and dropped leaves the queue itself untouched.
TEST_F(QueueTest, HandlesOfTheProcessQueuesOwnNothingAndStayUsable) {
    const QualityOfService classes[] = {QualityOfService::UserInteractive, QualityOfService::UserInitiated,
                                        QualityOfService::Default, QualityOfService::Utility,
                                        QualityOfService::Background};
    for (const auto qos : classes) {
        const auto* impl = Queue::global(qos).impl().get();
        {
            std::vector<Queue> copies(100, Queue::global(qos));
            for (const auto& copy : copies) {
                EXPECT_EQ(copy.impl().use_count(), 0);
                EXPECT_TRUE(copy == Queue::global(qos));
            }
        }
        EXPECT_EQ(Queue::global(qos).impl().get(), impl);
        Semaphore ran;
        Queue::global(qos).async([&] {
            EXPECT_TRUE(Queue::global(qos).isCurrent());
            ran.signal();
        });
        ASSERT_TRUE(ran.wait(kLongWait));
    }
    {
        std::vector<Queue> copies(100, Queue::main());
        EXPECT_EQ(copies.back().impl().use_count(), 0);
        EXPECT_TRUE(copies.back() == mainQueue());
    }
    bool ran = false;
    Queue::main().async([&] { ran = Queue::main().isCurrent(); });
    ASSERT_TRUE(MainLoop::runUntil([&] { return ran; }, kLongWait));
    // A serial queue's handles still own it.
    auto serial = Queue::serial("test.owned");
    EXPECT_EQ(serial.impl().use_count(), 1);
}

}  // namespace
}  // namespace plat::dispatch
