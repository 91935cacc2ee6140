// Helpers shared by the dispatch tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch::testing {

// A hang guard for waits on other threads; tests never rely on it running out.
inline constexpr double kLongWait = 30.0;

// Runs `work` on its own thread; false when it has not returned within
// kLongWait (the thread is then left behind, stuck, instead of hanging the
// test). `work` must own what it uses.
inline bool returnsInTime(std::function<void()> work) {
    auto done = std::make_shared<Semaphore>();
    std::thread([work = std::move(work), done] {
        work();
        done->signal();
    }).detach();
    return done->wait(kLongWait);
}

// Binds the test's thread as main, empties the main queue between tests and
// restores the default clock.
class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainLoop::bindToCurrentThread();
        MainLoop::drain();
    }
    void TearDown() override {
        MainLoop::drain();
        setDefaultClock(nullptr);
    }
    std::shared_ptr<ManualClock> installManualClock() {
        auto clock = std::make_shared<ManualClock>();
        setDefaultClock(clock);
        return clock;
    }
};

}  // namespace plat::dispatch::testing
