#include "platform/dispatch/Semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"

namespace plat::dispatch {
namespace {

using testing::kLongWait;

TEST(SemaphoreTest, CountsSignalsAndTimesOutWhenNoneIsLeft) {
    Semaphore semaphore(2);
    EXPECT_TRUE(semaphore.wait(0));
    EXPECT_TRUE(semaphore.wait(0));
    EXPECT_FALSE(semaphore.wait(0));
    EXPECT_FALSE(semaphore.wait(0.01));
    EXPECT_FALSE(semaphore.signal());  // nobody waits
    semaphore.wait();
    EXPECT_THROW(Semaphore(-1), std::invalid_argument);
}

TEST(SemaphoreTest, EverySignalReleasesExactlyOneWaiter) {
    Semaphore semaphore;
    constexpr int kWaiters = 8;
    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            if (semaphore.wait(kLongWait)) {
                through.fetch_add(1);
            }
        });
    }
    for (int i = 0; i < kWaiters; ++i) {
        semaphore.signal();
    }
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(through.load(), kWaiters);
    EXPECT_FALSE(semaphore.wait(0)) << "no signal may be counted twice";
}

}  // namespace
}  // namespace plat::dispatch
