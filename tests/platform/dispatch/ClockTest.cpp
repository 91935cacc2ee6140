#include "platform/dispatch/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch {
namespace {

using testing::DispatchTest;
using testing::kLongWait;
using testing::returnsInTime;

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
    // An endless step would never return while a repeating entry is pending.
    EXPECT_THROW(clock.advance(INFINITY), std::invalid_argument);
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

// Captures of a clock callback may call into the clock when they are destroyed
// (a queue holding its own clock, dropped while an `after` is pending, ends
// that clock from the callback). The clock must not hold its lock then.
struct CallsClockWhenDestroyed {
    Clock* clock;
    std::shared_ptr<Semaphore> destroyed;
    ~CallsClockWhenDestroyed() {
        clock->cancel(0);
        destroyed->signal();
    }
};

std::function<void()> callbackThatCallsClockWhenDestroyed(Clock* clock,
                                                          std::shared_ptr<Semaphore> destroyed) {
    auto guard =
        std::make_shared<CallsClockWhenDestroyed>(CallsClockWhenDestroyed{clock, std::move(destroyed)});
    return [guard] {};
}

TEST_F(ClockTest, CallbacksAreDestroyedWithoutTheClockLockHeld) {
    auto* system = new SystemClock;  // leaked on failure: its thread would be stuck
    auto firedGone = std::make_shared<Semaphore>();
    system->schedule(system->now(), 0, callbackThatCallsClockWhenDestroyed(system, firedGone));
    ASSERT_TRUE(firedGone->wait(kLongWait)) << "fired callback destroyed under the lock";
    auto cancelledGone = std::make_shared<Semaphore>();
    auto token =
        system->schedule(system->now() + 3600, 0, callbackThatCallsClockWhenDestroyed(system, cancelledGone));
    ASSERT_TRUE(returnsInTime([=] { system->cancel(token); }))
        << "cancelled callback destroyed under the lock";
    delete system;

    auto manual = std::make_shared<ManualClock>();
    auto gone = std::make_shared<Semaphore>();
    manual->schedule(1, 0, callbackThatCallsClockWhenDestroyed(manual.get(), gone));
    manual->schedule(2, 0, callbackThatCallsClockWhenDestroyed(manual.get(), gone));
    auto dropped = manual->schedule(3, 0, callbackThatCallsClockWhenDestroyed(manual.get(), gone));
    ASSERT_TRUE(returnsInTime([=] { manual->cancel(dropped); }));
    ASSERT_TRUE(returnsInTime([=] { manual->advance(5); }));
    EXPECT_TRUE(gone->wait(0) && gone->wait(0) && gone->wait(0));
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
