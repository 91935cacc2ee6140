#include "platform/dispatch/TimerSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch {
namespace {

using testing::DispatchTest;
using testing::kLongWait;
using testing::returnsInTime;

class TimerSourceTest : public DispatchTest {
  protected:
    // Moves the clock on, then runs what that posted to the main queue.
    void step(double seconds) {
        clock->advance(seconds);
        MainLoop::drain();
    }
    std::shared_ptr<ManualClock> clock = installManualClock();
};

TEST_F(TimerSourceTest, OneShotFiresOnceAtItsDeadlineOnItsQueue) {
    auto timer = TimerSource::create(mainQueue());
    int fired = 0;
    timer->setEventHandler([&] {
        EXPECT_TRUE(isMainThread());
        ++fired;
    });
    timer->setTimer(2.0, TimerSource::Forever, 0.5);
    EXPECT_EQ(timer->leeway(), 0.5);
    step(5);
    EXPECT_EQ(fired, 0) << "a timer is created suspended";

    timer->resume();
    timer->resume();  // a second resume changes nothing
    step(0);          // the deadline (set at 2 s from t=0) has passed: fires now
    EXPECT_EQ(fired, 1);
    step(100);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(clock->pendingCount(), 0u);
}

TEST_F(TimerSourceTest, RepeatingTimerKeepsItsPeriodAndMergesUndeliveredFirings) {
    auto timer = TimerSource::create(mainQueue());
    std::vector<double> at;
    timer->setEventHandler([&] { at.push_back(clock->now()); });
    timer->setTimer(1.0, 1.0);
    timer->resume();
    for (int i = 0; i < 3; ++i) {
        step(1.0);
    }
    EXPECT_EQ(at, (std::vector<double>{1, 2, 3}));

    // Three periods pass before main pumps: one handler call, not three.
    clock->advance(3.0);
    EXPECT_EQ(MainLoop::drain(), 1u);
    EXPECT_EQ(at.size(), 4u);
    // The period is still anchored at the start.
    step(0.5);
    EXPECT_EQ(at.size(), 4u);
    step(0.5);
    EXPECT_EQ(at.size(), 5u);
    timer->cancel();
}

TEST_F(TimerSourceTest, RearmingReplacesTheScheduleIncludingAnUndeliveredFiring) {
    auto timer = TimerSource::create(mainQueue());
    int fired = 0;
    timer->setEventHandler([&] { ++fired; });
    timer->setTimer(1.0);
    timer->resume();
    clock->advance(1.0);   // posted, not yet run
    timer->setTimer(5.0);  // replaces it
    MainLoop::drain();
    EXPECT_EQ(fired, 0);
    step(4.9);
    EXPECT_EQ(fired, 0);
    step(0.1);
    EXPECT_EQ(fired, 1);
    EXPECT_THROW(timer->setTimer(std::nan("")), std::invalid_argument);
}

TEST_F(TimerSourceTest, IntervalBelowTheClockResolutionStillMovesTimeOn) {
    // 1 + 1e-300 == 1: without care the timer re-arms at the instant it fired
    // and advance() never returns (a system clock would fire it forever).
    auto timer = TimerSource::create(mainQueue());
    auto fired = std::make_shared<std::atomic<int>>(0);
    timer->setEventHandler([fired] { fired->fetch_add(1); });
    timer->setTimer(1.0, 1e-300);
    timer->resume();
    ASSERT_TRUE(returnsInTime([clock = clock] { clock->advance(1.0); }));
    MainLoop::drain();
    EXPECT_EQ(fired->load(), 1);
    timer->cancel();
}

TEST_F(TimerSourceTest, CancelStopsFiringsAndRunsTheCancelHandlerOnce) {
    auto timer = TimerSource::create(mainQueue());
    int fired = 0, cancelled = 0;
    timer->setEventHandler([&] { ++fired; });
    timer->setCancelHandler([&] {
        EXPECT_TRUE(isMainThread());
        ++cancelled;
    });
    timer->setTimer(1.0, 1.0);
    timer->resume();
    clock->advance(1.0);  // a firing is posted...
    timer->cancel();      // ...and cancelled before it starts
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    step(10);
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(cancelled, 1);
    EXPECT_EQ(clock->pendingCount(), 0u);
    // A cancelled timer ignores new configuration.
    timer->setTimer(1.0);
    timer->resume();
    step(5);
    EXPECT_EQ(fired, 0);
}

TEST_F(TimerSourceTest, HandlerMayCancelItsOwnTimer) {
    auto timer = TimerSource::create(mainQueue());
    int fired = 0;
    std::vector<std::string> order;
    std::weak_ptr<TimerSource> weak = timer;
    timer->setEventHandler([&, weak] {
        order.push_back("fire");
        if (++fired == 2) {
            weak.lock()->cancel();
            order.push_back("after cancel");
        }
    });
    timer->setCancelHandler([&] { order.push_back("cancel handler"); });
    timer->setTimer(1.0, 1.0);
    timer->resume();
    for (int i = 0; i < 5; ++i) {
        step(1.0);
    }
    EXPECT_EQ(fired, 2);
    EXPECT_EQ(order, (std::vector<std::string>{"fire", "fire", "after cancel", "cancel handler"}));
}

TEST_F(TimerSourceTest, DroppingTheLastReferenceCancelsTheTimer) {
    int fired = 0, cancelled = 0;
    {
        auto timer = TimerSource::create(mainQueue());
        timer->setEventHandler([&] { ++fired; });
        timer->setCancelHandler([&] { ++cancelled; });
        timer->setTimer(1.0, 1.0);
        timer->resume();
    }
    step(3);
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(cancelled, 1);
    EXPECT_EQ(clock->pendingCount(), 0u);
    EXPECT_THROW(TimerSource::create(Queue()), DispatchException);
}

TEST_F(TimerSourceTest, TimerOnItsOwnClockIgnoresTheDefaultOne) {
    auto own = std::make_shared<ManualClock>();
    auto timer = TimerSource::create(mainQueue(), own);
    int fired = 0;
    timer->setEventHandler([&] { ++fired; });
    timer->setTimer(1.0);
    timer->resume();
    step(10);
    EXPECT_EQ(fired, 0);
    own->advance(1);
    MainLoop::drain();
    EXPECT_EQ(fired, 1);
}

// Cancel from the timer's own serial queue while another thread advances the
// clock: no handler may start after cancel() returned.
TEST_F(TimerSourceTest, CancelOnTheTimersQueueRacingFiringsNeverLetsAHandlerStartLater) {
    auto queue = Queue::serial("test.timer.race");
    for (int round = 0; round < 200; ++round) {
        auto timer = TimerSource::create(queue);
        std::atomic<bool> cancelReturned{false};
        std::atomic<int> late{0}, cancelHandlers{0};
        timer->setEventHandler([&] {
            if (cancelReturned) {
                late.fetch_add(1);
            }
        });
        timer->setCancelHandler([&] { cancelHandlers.fetch_add(1); });
        timer->setTimer(0.001, 0.001);
        timer->resume();
        std::thread advancer([&] {
            for (int i = 0; i < 20; ++i) {
                clock->advance(0.001);
            }
        });
        queue.async([&] {
            timer->cancel();
            cancelReturned = true;
        });
        advancer.join();
        queue.sync([] {});  // the cancel block and every firing posted before it have run...
        queue.sync([] {});  // ...and so has the cancel handler it posted
        EXPECT_EQ(late.load(), 0) << "round " << round;
        EXPECT_EQ(cancelHandlers.load(), 1) << "round " << round;
    }
}

// Cancel from another thread while the timer fires on a global queue: nothing
// stays scheduled, and the cancel handler comes once, after every handler
// call has returned.
TEST_F(TimerSourceTest, CancelFromAnotherThreadRacingFiringsOnAGlobalQueue) {
    for (int round = 0; round < 200; ++round) {
        auto timer = TimerSource::create(Queue::global());
        std::atomic<int> calls{0}, running{0};
        std::atomic<bool> handlerAfterCancelHandler{false};
        std::atomic<int> cancelHandlers{0};
        Semaphore cancelHandlerRan;
        timer->setEventHandler([&] {
            running.fetch_add(1);
            calls.fetch_add(1);
            if (cancelHandlers.load() > 0) {
                handlerAfterCancelHandler = true;
            }
            running.fetch_sub(1);
        });
        timer->setCancelHandler([&] {
            if (running.load() != 0) {
                handlerAfterCancelHandler = true;
            }
            cancelHandlers.fetch_add(1);
            cancelHandlerRan.signal();
        });
        timer->setTimer(0.001, 0.001);
        timer->resume();
        std::thread advancer([&] {
            for (int i = 0; i < 20; ++i) {
                clock->advance(0.001);
            }
        });
        std::this_thread::yield();
        timer->cancel();
        advancer.join();
        EXPECT_EQ(clock->pendingCount(), 0u) << "round " << round;
        ASSERT_TRUE(cancelHandlerRan.wait(kLongWait));
        int atCancelHandler = calls.load();
        clock->advance(1);
        EXPECT_EQ(calls.load(), atCancelHandler);
        EXPECT_FALSE(handlerAfterCancelHandler) << "round " << round;
        EXPECT_EQ(cancelHandlers.load(), 1);
    }
}

TEST_F(TimerSourceTest, SystemClockTimerFiresForReal) {
    setDefaultClock(nullptr);
    auto timer = TimerSource::create(Queue::serial("test.timer.real"));
    Semaphore fired;
    std::atomic<int> count{0};
    timer->setEventHandler([&] {
        if (count.fetch_add(1) == 2) {
            fired.signal();
        }
    });
    timer->setTimer(0.001, 0.001);
    timer->resume();
    ASSERT_TRUE(fired.wait(kLongWait));
    timer->cancel();
}

}  // namespace
}  // namespace plat::dispatch
