#include "platform/dispatch/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch {
namespace {

using testing::DispatchTest;
using testing::kLongWait;

class ClockTest : public DispatchTest {};

TEST_F(ClockTest, ManualClockFiresDueEntriesInDeadlineThenOrderOrder) {
    ManualClock clock;
    std::vector<std::string> fired;
    std::vector<double> seenNow;
    auto record = [&](std::string name) {
        return [&, name] {
            fired.push_back(name);
            seenNow.push_back(clock.now());
        };
    };
    clock.schedule(3, 1, record("c"));
    clock.schedule(1, 9, record("b"));
    clock.schedule(1, 2, record("a"));
    auto dropped = clock.schedule(2, 1, record("dropped"));
    clock.schedule(7, 1, record("late"));
    EXPECT_TRUE(clock.cancel(dropped));
    EXPECT_FALSE(clock.cancel(dropped));

    clock.advance(5);
    EXPECT_EQ(fired, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(seenNow, (std::vector<double>{1, 1, 3}));  // time steps through the deadlines
    EXPECT_EQ(clock.now(), 5);
    EXPECT_EQ(clock.pendingCount(), 1u);

    EXPECT_THROW(clock.advance(-1), std::invalid_argument);
    EXPECT_THROW(clock.advance(std::nan("")), std::invalid_argument);
    EXPECT_THROW(clock.schedule(std::nan(""), 0, [] {}), std::invalid_argument);
    EXPECT_EQ(clock.now(), 5);
}

TEST_F(ClockTest, EntriesScheduledWhileFiringFireInTheSameAdvanceWhenDue) {
    ManualClock clock;
    std::vector<double> ticks;
    std::function<void()> tick = [&] {
        ticks.push_back(clock.now());
        clock.schedule(clock.now() + 1, 0, tick);
    };
    clock.schedule(1, 0, tick);
    clock.advance(3.5);
    EXPECT_EQ(ticks, (std::vector<double>{1, 2, 3}));
    clock.advance(0.5);
    EXPECT_EQ(ticks, (std::vector<double>{1, 2, 3, 4}));
}

TEST_F(ClockTest, SystemClockFiresInOrderAndCancelsPendingEntries) {
    SystemClock clock;
    double start = clock.now();
    EXPECT_GE(clock.now(), start);
    std::vector<int> fired;  // written on the clock thread, read after the semaphore
    Semaphore done;
    auto never = clock.schedule(start + 3600, 0, [&] { fired.push_back(-1); });
    clock.schedule(start + 0.002, 2, [&] { fired.push_back(2); });
    clock.schedule(start + 0.002, 1, [&] { fired.push_back(1); });
    clock.schedule(start + 0.004, 0, [&] {
        fired.push_back(3);
        done.signal();
    });
    ASSERT_TRUE(done.wait(kLongWait));
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(clock.cancel(never));
    EXPECT_FALSE(clock.cancel(never));
    EXPECT_FALSE(clock.cancel(12345));
}

TEST_F(ClockTest, SystemClockStillFiresAfterManyCancellations) {
    SystemClock clock;
    std::vector<Clock::Token> tokens;
    for (int i = 0; i < 500; ++i) {
        tokens.push_back(
            clock.schedule(clock.now() + 3600 - i, 0, [] { ADD_FAILURE() << "cancelled entry fired"; }));
    }
    Semaphore fired;
    clock.schedule(clock.now() + 0.001, 0, [&] { fired.signal(); });
    for (auto token : tokens) {
        EXPECT_TRUE(clock.cancel(token));
    }
    ASSERT_TRUE(fired.wait(kLongWait));
    EXPECT_FALSE(clock.cancel(tokens.front()));
}

TEST_F(ClockTest, DefaultClockCanBeReplacedAndRestored) {
    auto system = defaultClock();
    ASSERT_TRUE(system);
    EXPECT_EQ(defaultClock(), system);
    auto manual = installManualClock();
    EXPECT_EQ(defaultClock(), manual);
    setDefaultClock(nullptr);
    EXPECT_EQ(defaultClock(), system);
    auto first = Clock::nextOrder();
    EXPECT_LT(first, Clock::nextOrder());
}

}  // namespace
}  // namespace plat::dispatch
