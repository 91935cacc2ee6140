// The shared worker pool adds workers while its own ones are blocked in the
// layer's waits, so that work queued behind them still runs; the extra
// workers are bounded and retire when idle.
#include "platform/dispatch/detail/ThreadPool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"

namespace plat::dispatch {
namespace {

using detail::ThreadPool;
using testing::kLongWait;

// Polls until `done` holds; false after kLongWait.
bool eventually(const std::function<bool()>& done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(kLongWait);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Occupies `count` pool workers, each blocked on the gate until released.
struct Blockers {
    explicit Blockers(std::size_t count) : count(count) {
        for (std::size_t i = 0; i < count; ++i) {
            group.async(Queue::global(), [this] {
                ++started;
                gate.wait();
            });
        }
    }
    ~Blockers() {
        release();
        EXPECT_TRUE(group.wait(kLongWait));
    }
    void release() {
        for (std::size_t i = released; i < count; ++i)
            gate.signal();
        released = count;
    }
    std::size_t count, released = 0;
    std::atomic<std::size_t> started{0};
    Semaphore gate;
    Group group;
};

using ThreadPoolTest = testing::DispatchTest;

TEST_F(ThreadPoolTest, SerialQueuesAndOperationsRunWhileEveryWorkerIsBlocked) {
    ThreadPool& pool = ThreadPool::shared();
    Blockers blockers(pool.threadCount() + 2);
    ASSERT_TRUE(eventually([&] { return blockers.started == blockers.count; }));

    Semaphore serialRan, operationRan, nestedRan;
    Queue::serial("blocked-pool").async([&] { serialRan.signal(); });
    OperationQueue operations("blocked-pool-ops");
    operations.setMaxConcurrentOperationCount(1);
    operations.addOperationWithBlock([&] {
        // A wait inside work that itself needs another worker.
        Queue::serial("nested").sync([&] { nestedRan.signal(); });
        operationRan.signal();
    });
    EXPECT_TRUE(serialRan.wait(kLongWait));
    EXPECT_TRUE(operationRan.wait(kLongWait));
    EXPECT_TRUE(nestedRan.wait(kLongWait));
}

TEST_F(ThreadPoolTest, ExtraWorkersAreBoundedAndRetireWhenIdle) {
    ThreadPool& pool = ThreadPool::shared();
    const std::size_t cap = pool.threadCount() + ThreadPool::kMaxExtraThreads;
    std::atomic<std::size_t> finished{0};
    {
        Blockers blockers(cap + 8);
        ASSERT_TRUE(eventually([&] { return blockers.started == cap; }));
        EXPECT_LE(pool.liveThreadCount(), cap);
        // Work queued beyond the cap waits for a worker, and runs once the
        // blocked ones go on.
        Group tail;
        for (int i = 0; i < 4; ++i)
            tail.async(Queue::global(), [&] { ++finished; });
        EXPECT_EQ(blockers.started, cap);
        blockers.release();
        EXPECT_TRUE(tail.wait(kLongWait));
    }
    EXPECT_EQ(finished, 4u);
    EXPECT_TRUE(eventually([&] { return pool.liveThreadCount() == pool.threadCount(); }));
}

// Idle workers sleep on a word, not a condition variable: a job submitted
// while every worker sleeps, or is about to, must wake one. One job at a
// time from outside the pool, each waited for, lets the workers run out of
// work (and sleep) between nearly all of them; with grouped jobs too.
TEST_F(ThreadPoolTest, SleepingWorkersAreWokenForEachJobSubmittedFromOutside) {
    constexpr int kJobs = 3000;
    std::atomic<int> ran{0};
    Semaphore turn;
    for (int i = 0; i < kJobs; ++i) {
        Queue::global().async([&] {
            ++ran;
            turn.signal();
        });
        ASSERT_TRUE(turn.wait(kLongWait)) << "job " << i;
        if (i % 100 == 99) {
            Group group;
            group.async(Queue::global(QualityOfService::Utility), [&] { ++ran; });
            ASSERT_TRUE(group.wait(kLongWait)) << "job " << i;
        }
    }
    EXPECT_EQ(ran, kJobs + kJobs / 100);
}

// A job submitted while every worker sleeps wakes the one that went to
// sleep last, which is the one that ran the job before: one job at a time
// stays on one thread (the kernel's own order, the longest sleeper first,
// sent each job to another worker in turn).
TEST_F(ThreadPoolTest, AJobSubmittedToSleepingWorkersWakesTheOneThatSleptLast) {
    ThreadPool& pool = ThreadPool::shared();
    constexpr int kJobs = 30;
    std::vector<std::thread::id> ranOn;
    Semaphore done;
    for (int i = 0; i < kJobs; ++i) {
        // Every base worker asleep (none spinning, which would take it).
        ASSERT_TRUE(eventually([&] { return pool.sleepingThreadCount() == pool.threadCount(); })) << i;
        std::thread::id id;
        Queue::global().async([&] {
            id = std::this_thread::get_id();
            done.signal();
        });
        ASSERT_TRUE(done.wait(kLongWait)) << i;
        ranOn.push_back(id);
    }
    int moves = 0;
    for (int i = 1; i < kJobs; ++i)
        moves += ranOn[i] != ranOn[i - 1] ? 1 : 0;
    // A worker back from a spurious wake-up sleeps on top again: allow a few.
    EXPECT_LE(moves, 3);
}

// As many jobs as there are workers, each waiting (outside the layer's
// waits) until all of them run: every sleeping worker must be woken, the
// most recent sleeper first and the rest after it, several times over.
TEST_F(ThreadPoolTest, EverySleepingWorkerIsWokenWhenAllAreNeededAtOnce) {
    ThreadPool& pool = ThreadPool::shared();
    const std::size_t workers = pool.threadCount();
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(eventually([&] { return pool.sleepingThreadCount() == workers; })) << round;
        std::mutex mutex;
        std::condition_variable allIn;
        std::size_t arrived = 0;
        std::atomic<std::size_t> sawAll{0};
        Group group;
        for (std::size_t i = 0; i < workers; ++i) {
            group.async(Queue::global(), [&] {
                std::unique_lock lock(mutex);
                if (++arrived == workers)
                    allIn.notify_all();
                if (allIn.wait_for(lock, std::chrono::duration<double>(kLongWait),
                                   [&] { return arrived == workers; }))
                    ++sawAll;
            });
        }
        ASSERT_TRUE(group.wait(2 * kLongWait)) << round;
        EXPECT_EQ(sawAll.load(), workers) << round;
    }
}

TEST_F(ThreadPoolTest, WaitsOutsideThePoolAddNoWorkers) {
    ThreadPool& pool = ThreadPool::shared();
    ASSERT_TRUE(eventually([&] { return pool.liveThreadCount() == pool.threadCount(); }));
    Semaphore never;
    EXPECT_FALSE(never.wait(0.01));  // the test's own thread is no worker
    Group idle;
    EXPECT_TRUE(idle.wait(0.0));
    EXPECT_EQ(pool.liveThreadCount(), pool.threadCount());
}

// With a long backlog a worker takes several jobs at once. A job that waits
// in one of the layer's waits for a job taken along with it must not wait
// forever: the jobs not yet started go back to the pool.
TEST_F(ThreadPoolTest, JobsTakenTogetherStillRunWhileAnEarlierOneWaitsForThem) {
    ThreadPool& pool = ThreadPool::shared();
    // Hold every base worker outside the layer's waits (no extras start), so
    // that the pairs below pile up and are then taken in batches.
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    Group holders;
    std::atomic<std::size_t> held{0};
    for (std::size_t i = 0; i < pool.threadCount(); ++i) {
        holders.async(Queue::global(), [&held, gate] {
            ++held;
            gate.wait();
        });
    }
    ASSERT_TRUE(eventually([&] { return held.load() == pool.threadCount(); }));
    constexpr int kPairs = 500;
    std::vector<std::unique_ptr<Semaphore>> signals;
    for (int i = 0; i < kPairs; ++i)
        signals.push_back(std::make_unique<Semaphore>());
    Group pairs;
    for (int i = 0; i < kPairs; ++i) {
        Semaphore* signal = signals[i].get();
        pairs.async(Queue::global(), [signal] { signal->wait(); });
        pairs.async(Queue::global(), [signal] { signal->signal(); });
    }
    open.set_value();
    EXPECT_TRUE(pairs.wait(kLongWait));
    EXPECT_TRUE(holders.wait(kLongWait));
}

// Holds `count` base workers outside the layer's waits (so no extra worker
// starts for them) until released.
struct Holders {
    explicit Holders(std::size_t count) : count(count), gate(open.get_future().share()) {
        // Extra workers left by earlier tests retire first: then the workers
        // not held are exactly the others.
        EXPECT_TRUE(eventually([] {
            ThreadPool& pool = ThreadPool::shared();
            return pool.liveThreadCount() == pool.threadCount();
        }));
        for (std::size_t i = 0; i < count; ++i) {
            group.async(Queue::global(), [this, gate = gate] {
                ++held;
                gate.wait();
            });
        }
    }
    ~Holders() {
        release();
        EXPECT_TRUE(group.wait(kLongWait));
    }
    bool allHeld() {
        return eventually([&] { return held.load() == count; });
    }
    void release() {
        if (!released)
            open.set_value();
        released = true;
    }
    std::size_t count;
    std::promise<void> open;
    std::shared_future<void> gate;
    std::atomic<std::size_t> held{0};
    bool released = false;
    Group group;
};

// A job that a worker submits while running another is handed to that same
// worker (its next step, run as soon as the current job returns). It must
// still run however the submitting job goes on.
TEST_F(ThreadPoolTest, AJobHandedToItsWorkerRunsWhileThatWorkerWaitsInTheLayer) {
    ThreadPool& pool = ThreadPool::shared();
    // Only one base worker is free: the job below runs on it, and its
    // follow-up can run only if the worker gives it back when it waits.
    Holders holders(pool.threadCount() - 1);
    ASSERT_TRUE(holders.allHeld());
    Semaphore finished;
    std::atomic<bool> followUpRan{false};
    Queue::global().async([&] {
        Semaphore done;
        Queue::global().async([&] {
            followUpRan = true;
            done.signal();
        });
        EXPECT_TRUE(done.wait(kLongWait));
        finished.signal();
    });
    EXPECT_TRUE(finished.wait(kLongWait));
    EXPECT_TRUE(followUpRan);
}

TEST_F(ThreadPoolTest, AJobHandedToItsWorkerIsRunByAnotherWhileThatWorkerIsHeldUp) {
    // The submitting job waits outside the layer (the pool cannot see it):
    // another worker, woken or already awake, runs the follow-up.
    for (int round = 0; round < 50; ++round) {
        Semaphore finished;
        std::atomic<bool> ranElsewhere{false};
        Queue::global().async([&] {
            std::promise<void> done;
            const auto self = std::this_thread::get_id();
            Queue::global().async([&, self] {
                ranElsewhere = std::this_thread::get_id() != self;
                done.set_value();
            });
            EXPECT_EQ(done.get_future().wait_for(std::chrono::duration<double>(kLongWait)),
                      std::future_status::ready);
            finished.signal();
        });
        ASSERT_TRUE(finished.wait(kLongWait));
        EXPECT_TRUE(ranElsewhere);
    }
}

// The job a worker hands itself overtakes nothing: a job of the same band
// queued before it was submitted runs first.
TEST_F(ThreadPoolTest, AJobHandedToItsWorkerDoesNotOvertakeQueuedWork) {
    ThreadPool& pool = ThreadPool::shared();
    Holders holders(pool.threadCount() - 1);
    ASSERT_TRUE(holders.allHeld());
    plat::Mutex mutex;
    std::vector<std::string> order;
    auto record = [&](const char* name) {
        plat::MutexLock lock(mutex);
        order.emplace_back(name);
    };
    std::atomic<bool> queued{false};
    Group all;
    all.async(Queue::global(), [&] {
        // The only free worker runs this; the main thread queues "before"
        // meanwhile, which has to wait for this worker.
        while (!queued.load())
            std::this_thread::yield();
        all.async(Queue::global(), [&] { record("after"); });
        all.async(Queue::global(), [&] { record("later"); });
        record("first");
    });
    all.async(Queue::global(), [&] { record("before"); });
    queued = true;
    ASSERT_TRUE(all.wait(kLongWait));
    EXPECT_EQ(order, (std::vector<std::string>{"first", "before", "after", "later"}));
}

// A worker keeps several jobs handed to it (the steps of a batch of finished
// requests, say). With no other worker free they run on it in the order
// handed over, after the job that handed them over.
TEST_F(ThreadPoolTest, JobsHandedToOneWorkerRunInTheOrderHandedOver) {
    ThreadPool& pool = ThreadPool::shared();
    Holders holders(pool.threadCount() - 1);
    ASSERT_TRUE(holders.allHeld());
    plat::Mutex mutex;
    std::vector<int> order;
    Group all;
    all.async(Queue::global(), [&] {
        for (int i = 1; i <= 6; ++i) {
            all.async(Queue::global(), [&, i] {
                plat::MutexLock lock(mutex);
                order.push_back(i);
            });
        }
        plat::MutexLock lock(mutex);
        order.push_back(0);
    });
    ASSERT_TRUE(all.wait(kLongWait));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
}

// Every job handed to a worker runs, and in order, when that worker then
// waits in the layer for them: they go back to the pool ahead of the band.
TEST_F(ThreadPoolTest, JobsHandedToAWorkerThatWaitsInTheLayerRunInOrderElsewhere) {
    ThreadPool& pool = ThreadPool::shared();
    Holders holders(pool.threadCount() - 1);
    ASSERT_TRUE(holders.allHeld());
    plat::Mutex mutex;
    std::vector<int> order;
    Semaphore finished;
    Queue::global().async([&] {
        Group steps;
        for (int i = 1; i <= 5; ++i) {
            steps.async(Queue::global(), [&, i] {
                plat::MutexLock lock(mutex);
                order.push_back(i);
            });
        }
        EXPECT_TRUE(steps.wait(kLongWait));
        finished.signal();
    });
    ASSERT_TRUE(finished.wait(kLongWait));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

// A worker that hands over several jobs and then waits outside the layer
// (for all of them) does not hold them up: other workers take each one.
TEST_F(ThreadPoolTest, EveryJobHandedToAWorkerHeldUpRunsElsewhere) {
    static constexpr int kSteps = 5;
    for (int round = 0; round < 20; ++round) {
        Semaphore finished;
        auto ranElsewhere = std::make_shared<std::atomic<int>>(0);
        Queue::global().async([&finished, ranElsewhere] {
            // Shared with the steps: the last one may still be inside
            // set_value when this job has seen the result and returned.
            auto done = std::make_shared<std::promise<void>>();
            auto left = std::make_shared<std::atomic<int>>(kSteps);
            const auto self = std::this_thread::get_id();
            for (int i = 0; i < kSteps; ++i) {
                Queue::global().async([done, left, ranElsewhere, self] {
                    *ranElsewhere += std::this_thread::get_id() != self;
                    if (--*left == 0)
                        done->set_value();
                });
            }
            EXPECT_EQ(done->get_future().wait_for(std::chrono::duration<double>(kLongWait)),
                      std::future_status::ready);
            finished.signal();
        });
        ASSERT_TRUE(finished.wait(kLongWait));
        EXPECT_EQ(ranElsewhere->load(), kSteps);
    }
}

// Steps that each post the next (across global and serial queues, as a
// request's completion travels) all run: none is lost between a worker's
// slot, the bands and sleeping workers.
TEST_F(ThreadPoolTest, ChainsOfStepsPostedFromWorkersAllRun) {
    constexpr int kSteps = 20000;
    Queue first = Queue::serial("chain.first");
    Queue second = Queue::serial("chain.second");
    Queue global = Queue::global(QualityOfService::Utility);
    std::atomic<int> steps{0};
    Semaphore done;
    std::function<void()> step = [&] {
        const int n = ++steps;
        if (n == kSteps) {
            done.signal();
            return;
        }
        const Queue& next = n % 3 == 0 ? first : n % 3 == 1 ? second : global;
        next.async(step);
    };
    // Several chains at once, as requests in flight.
    constexpr int kChains = 4;
    std::atomic<int> chainSteps[kChains] = {};
    std::vector<std::function<void()>> chains(kChains);
    std::vector<Queue> own;
    Semaphore chainsDone;
    for (int c = 0; c < kChains; ++c)
        own.push_back(Queue::serial("chain.own"));
    for (int c = 0; c < kChains; ++c) {
        chains[c] = [&, c] {
            if (++chainSteps[c] == kSteps / 4) {
                chainsDone.signal();
                return;
            }
            (c % 2 ? global : own[c]).async(chains[c]);
        };
    }
    for (int c = 0; c < kChains; ++c)
        global.async(chains[c]);
    first.async(step);
    EXPECT_TRUE(done.wait(kLongWait));
    for (int c = 0; c < kChains; ++c)
        EXPECT_TRUE(chainsDone.wait(kLongWait));
    EXPECT_EQ(steps.load(), kSteps);
}

// A thread outside the pool running a chain: the steps it hands on to idle
// queues run on it, in order, before runChainHere returns.
TEST_F(ThreadPoolTest, AChainRunHereKeepsItsStepsOnTheCallingThreadInOrder) {
    const auto first = Queue::serial("chain.first");
    const auto second = Queue::serial("chain.second");
    std::vector<std::string> steps;  // written by one thread at a time: the chain's
    std::vector<std::thread::id> threads;
    std::thread host([&] {
        const bool kept = runChainHere(
            [&] {
                steps.push_back("work");
                threads.push_back(std::this_thread::get_id());
                first.async([&] {
                    EXPECT_TRUE(first.isCurrent());
                    steps.push_back("first");
                    threads.push_back(std::this_thread::get_id());
                    second.async([&] {
                        EXPECT_TRUE(second.isCurrent());
                        steps.push_back("second");
                        threads.push_back(std::this_thread::get_id());
                    });
                });
                Queue::global().async([&] {
                    steps.push_back("global");
                    threads.push_back(std::this_thread::get_id());
                });
            },
            // A slow machine may keep the chain from ending for a while: the
            // watchdog's offer to hand it over is refused, so it stays here.
            [] { return false; });
        EXPECT_TRUE(kept);
        EXPECT_EQ(steps, (std::vector<std::string>{"work", "first", "global", "second"}));
        for (const auto& id : threads)
            EXPECT_EQ(id, std::this_thread::get_id());
    });
    host.join();
}

// A step about to wait in the layer: the host hears of it first (on its own
// thread, once), and the steps queued behind it run on workers, or the wait
// would never end.
TEST_F(ThreadPoolTest, AChainStepThatWaitsHandsTheRestOfTheChainToTheWorkers) {
    const auto first = Queue::serial("chain.waits");
    const auto second = Queue::serial("chain.signals");
    std::atomic<int> blocks{0};
    std::thread::id hostId, blockedOn, signalledOn;
    Semaphore finished;
    bool kept = true;
    std::thread host([&] {
        hostId = std::this_thread::get_id();
        kept = runChainHere(
            [&] {
                first.async([&] {
                    Semaphore done;
                    second.async([&] {
                        signalledOn = std::this_thread::get_id();
                        done.signal();
                    });
                    EXPECT_TRUE(done.wait(kLongWait));
                    // A second wait in the same chain tells nobody again.
                    Semaphore again;
                    second.async([&] { again.signal(); });
                    EXPECT_TRUE(again.wait(kLongWait));
                    finished.signal();
                });
            },
            [&] {
                // On the host, or on the watchdog's thread should the host be
                // slow to reach the wait.
                blockedOn = std::this_thread::get_id();
                ++blocks;
                return true;
            });
    });
    EXPECT_TRUE(finished.wait(kLongWait));
    host.join();
    EXPECT_FALSE(kept);
    EXPECT_EQ(blocks.load(), 1);
    EXPECT_NE(blockedOn, std::thread::id());
    EXPECT_NE(signalledOn, hostId);
}

// On a worker the work runs as any block, its steps go to the worker's own
// slot, and a wait there is the pool's business, not the caller's.
TEST_F(ThreadPoolTest, AChainRunOnAWorkerIsAnOrdinaryBlock) {
    Semaphore finished;
    bool blocked = false;
    Queue::global().async([&] {
        runChainHere(
            [&] {
                Semaphore done;
                Queue::global().async([&] { done.signal(); });
                EXPECT_TRUE(done.wait(kLongWait));
            },
            [&] {
                blocked = true;
                return true;
            });
        finished.signal();
    });
    EXPECT_TRUE(finished.wait(kLongWait));
    EXPECT_FALSE(blocked);
}

// Steps that keep posting their successor (to the other of two queues, so
// that each is a job of its own) do not keep the host for ever: after a
// bounded number the rest of the chain runs on the workers.
TEST_F(ThreadPoolTest, AChainThatNeverEndsLeavesItsHost) {
    constexpr int kSteps = 500;
    const Queue queues[] = {Queue::serial("chain.ping"), Queue::serial("chain.pong")};
    std::atomic<int> steps{0}, onHost{0};
    Semaphore finished;
    std::thread::id hostId;
    std::function<void()> step = [&] {
        if (std::this_thread::get_id() == hostId)
            ++onHost;
        const int done = ++steps;
        if (done == kSteps)
            finished.signal();
        else
            queues[done % 2].async(step);
    };
    std::thread host([&] {
        hostId = std::this_thread::get_id();
        runChainHere([&] { queues[0].async(step); }, [] { return false; });
    });
    host.join();
    EXPECT_TRUE(finished.wait(kLongWait));
    EXPECT_GT(onHost.load(), 0);
    EXPECT_LT(onHost.load(), kSteps);
}

// A step held up outside the layer's waits (here a std::future whose value
// a step queued behind it sets): the watchdog hands the chain over, once,
// from its own thread, and the steps behind the held-up one run on workers.
TEST_F(ThreadPoolTest, AChainHeldUpOutsideTheLayerIsHandedOverByTheWatchdog) {
    const auto waits = Queue::serial("chain.future.waits");
    const auto sets = Queue::serial("chain.future.sets");
    std::promise<std::thread::id> set;
    std::future<std::thread::id> setOn = set.get_future();
    std::atomic<int> handOvers{0};
    std::thread::id hostId, handedOverOn, setterThread;
    bool answered = false, kept = true;
    std::thread host([&] {
        hostId = std::this_thread::get_id();
        kept = runChainHere(
            [&] {
                waits.async([&] {
                    // Bounded, so that a missing hand-over fails the test.
                    answered =
                        setOn.wait_for(std::chrono::duration<double>(kLongWait)) == std::future_status::ready;
                    if (answered)
                        setterThread = setOn.get();
                });
                sets.async([&] { set.set_value(std::this_thread::get_id()); });
            },
            [&] {
                handedOverOn = std::this_thread::get_id();
                ++handOvers;
                return true;
            });
    });
    host.join();
    EXPECT_TRUE(answered);
    EXPECT_FALSE(kept);
    EXPECT_EQ(handOvers.load(), 1);
    EXPECT_NE(handedOverOn, hostId);
    EXPECT_NE(setterThread, hostId);
}

// The watchdog is woken by a chain's start only while it sleeps: from its
// first chain on, in a fresh process (a death test's child), it is looking,
// and the chains that follow one another wake it not once each. (It goes
// to sleep only after some 200 ms without a chain, so a stall of the test's
// thread may cost a wake-up or two, not one a chain.)
TEST_F(ThreadPoolTest, ChainsStartedWhileTheWatchdogLooksDoNotWakeIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            constexpr int kChains = 200;
            const auto queue = Queue::serial("chain.watchdog.looking");
            std::atomic<int> ran{0};
            std::thread host([&] {
                for (int i = 0; i < kChains; ++i)
                    (void)runChainHere([&] { queue.async([&] { ++ran; }); }, [] { return false; });
            });
            host.join();
            const bool allRan = eventually([&] { return ran.load() == kChains; });
            const auto wakeUps = ThreadPool::chainWatchdogWakeUps();
            std::_Exit(allRan && wakeUps < kChains / 4 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// While chains are hosted but none is running, the watchdog looks every
// 10 ms, not every millisecond: over the looks that follow the last chain
// (it goes on looking for 200 ms after it) no more than one look per 10 ms
// passed. Sleeps only get longer on a loaded machine, so the bound holds
// however slow the machine is. In a death test's child: a fresh watchdog.
TEST_F(ThreadPoolTest, TheWatchdogLooksSeldomWhileNoChainRuns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const auto queue = Queue::serial("chain.watchdog.idle");
            std::atomic<int> ran{0};
            std::thread host(
                [&] { (void)runChainHere([&] { queue.async([&] { ++ran; }); }, [] { return false; }); });
            host.join();
            // The look that saw the chain end, then looks with none running.
            const auto first = ThreadPool::chainWatchdogLooks();
            if (!eventually([&] { return ThreadPool::chainWatchdogLooks() >= first + 2; }))
                std::_Exit(2);
            const auto from = ThreadPool::chainWatchdogLooks();
            const auto start = std::chrono::steady_clock::now();
            if (!eventually([&] { return ThreadPool::chainWatchdogLooks() >= from + 6; }))
                std::_Exit(3);
            const auto looks = ThreadPool::chainWatchdogLooks() - from;
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            // Looks every millisecond would make about `elapsed` of them.
            std::_Exit(ran.load() == 1 && looks >= 6 && static_cast<long>(looks) <= elapsed / 10 + 2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A host that refuses the hand-over (it could not pass its duties on) keeps
// the chain: once the held-up step goes on, the steps behind it still run
// on the host, in order.
TEST_F(ThreadPoolTest, AChainWhoseHandOverIsRefusedStaysWithItsHost) {
    const auto waits = Queue::serial("chain.refused.waits");
    const auto next = Queue::serial("chain.refused.next");
    std::mutex mutex;
    std::condition_variable offered;
    int offers = 0;  // under mutex
    std::vector<std::string> steps;
    std::vector<std::thread::id> threads;
    bool kept = false, sawOffer = false;
    std::thread host([&] {
        kept = runChainHere(
            [&] {
                waits.async([&] {
                    std::unique_lock lock(mutex);
                    sawOffer = offered.wait_for(lock, std::chrono::duration<double>(kLongWait),
                                                [&] { return offers > 0; });
                    steps.push_back("waited");
                    threads.push_back(std::this_thread::get_id());
                });
                next.async([&] {
                    steps.push_back("next");
                    threads.push_back(std::this_thread::get_id());
                });
            },
            [&] {
                std::lock_guard lock(mutex);
                ++offers;
                offered.notify_all();
                return false;
            });
        EXPECT_EQ(steps, (std::vector<std::string>{"waited", "next"}));
        for (const auto& id : threads)
            EXPECT_EQ(id, std::this_thread::get_id());
    });
    host.join();
    EXPECT_TRUE(sawOffer);
    EXPECT_TRUE(kept);
}

}  // namespace
}  // namespace plat::dispatch
