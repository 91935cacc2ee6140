// The shared worker pool adds workers while its own ones are blocked in the
// layer's waits, so that work queued behind them still runs; the extra
// workers are bounded and retire when idle.
#include "platform/dispatch/detail/ThreadPool.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
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

}  // namespace
}  // namespace plat::dispatch
