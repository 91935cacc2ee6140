// The word the pool's idle workers and the idle main loop sleep on: a wait
// returns at once when the word changed before it, ends on its deadline, and
// a change followed by a wake reaches every sleeper.
#include "platform/dispatch/detail/Futex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>

#include "DispatchTestSupport.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch {
namespace {

using detail::futexWait;
using detail::futexWake;
using SteadyClock = std::chrono::steady_clock;

TEST(FutexTest, AWaitReturnsAtOnceForAChangedWordAndFalseOnlyOnItsDeadline) {
    std::atomic<std::uint32_t> word{1};
    EXPECT_TRUE(futexWait(word, 0));  // no deadline: would sleep for ever
    const auto future = SteadyClock::now() + std::chrono::hours(1);
    EXPECT_TRUE(futexWait(word, 0, &future));

    const auto past = SteadyClock::now() - std::chrono::milliseconds(1);
    EXPECT_FALSE(futexWait(word, 1, &past));
    const auto epoch = SteadyClock::time_point{};
    EXPECT_FALSE(futexWait(word, 1, &epoch));

    const auto soon = SteadyClock::now() + std::chrono::milliseconds(2);
    bool woken = true;
    // A spurious return may come first; the deadline ends the wait.
    while (woken && SteadyClock::now() < soon)
        woken = futexWait(word, 1, &soon);
    EXPECT_FALSE(woken);
    EXPECT_GE(SteadyClock::now(), soon);
}

TEST(FutexTest, AChangeThenAWakeReachesEverySleeper) {
    constexpr int kSleepers = 4;
    for (int round = 0; round < 50; ++round) {
        // Owned by the threads too: a sleeper never woken is left behind.
        auto word = std::make_shared<std::atomic<std::uint32_t>>(0);
        auto started = std::make_shared<std::atomic<int>>(0);
        auto done = std::make_shared<Semaphore>();
        for (int i = 0; i < kSleepers; ++i) {
            std::thread([word, started, done] {
                ++*started;
                while (word->load() == 0)
                    (void)futexWait(*word, 0);
                done->signal();
            }).detach();
        }
        while (started->load() < kSleepers)
            std::this_thread::yield();
        // Whether each sleeps already or is about to: the word has changed.
        word->store(1);
        futexWake(*word, INT_MAX);
        for (int i = 0; i < kSleepers; ++i)
            ASSERT_TRUE(done->wait(testing::kLongWait)) << "round " << round;
    }
}

}  // namespace
}  // namespace plat::dispatch
