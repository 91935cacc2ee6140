#include "platform/foundation/Mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace plat {
namespace {

// A counter written the way annotated code is meant to be written, so that the
// clang build checks the annotations as well as running them.
class Counter {
  public:
    void add() EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        ++count_;
        changed_.notifyAll();
    }

    int waitForAtLeast(int wanted) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        while (count_ < wanted)
            changed_.wait(mutex_);
        return count_;
    }

    bool waitBriefly(int wanted) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return count_ >= wanted || changed_.waitFor(mutex_, std::chrono::milliseconds(1));
    }

    int value() EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return valueLocked();
    }

    Mutex& mutex() RETURN_CAPABILITY(mutex_) { return mutex_; }

  private:
    int valueLocked() REQUIRES(mutex_) { return count_; }

    Mutex mutex_;
    ConditionVariable changed_;
    int count_ GUARDED_BY(mutex_) = 0;
};

TEST(MutexTest, LockSerialisesWritersAcrossThreads) {
    Counter counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                counter.add();
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter.value(), 4000);
}

TEST(MutexTest, WaitReturnsOnceAnotherThreadHasChangedTheState) {
    Counter counter;
    std::thread producer([&] {
        for (int i = 0; i < 3; ++i)
            counter.add();
    });
    EXPECT_GE(counter.waitForAtLeast(3), 3);
    producer.join();
}

TEST(MutexTest, TimedWaitsReportThatNothingCame) {
    Counter counter;
    EXPECT_FALSE(counter.waitBriefly(1));
    counter.add();
    EXPECT_TRUE(counter.waitBriefly(1));

    Mutex mutex;
    ConditionVariable never;
    MutexLock lock(mutex);
    EXPECT_FALSE(never.waitUntil(mutex, std::chrono::steady_clock::now() - std::chrono::seconds(1)));
}

// Whether another thread can take the mutex right now.
bool freeForAnotherThread(Mutex& mutex) {
    bool acquired = false;
    std::thread([&] {
        if (mutex.tryLock()) {
            acquired = true;
            mutex.unlock();
        }
    }).join();
    return acquired;
}

TEST(MutexTest, TryLockFailsWhileHeldAndScopedLockCanDropAndRetake) {
    Counter counter;
    MutexLock lock(counter.mutex());
    EXPECT_FALSE(freeForAnotherThread(counter.mutex()));

    lock.unlock();
    EXPECT_TRUE(freeForAnotherThread(counter.mutex()));
    std::thread([&] { counter.add(); }).join();
    lock.lock();
    counter.mutex().assertHeld();
    EXPECT_FALSE(freeForAnotherThread(counter.mutex()));
}

}  // namespace
}  // namespace plat
