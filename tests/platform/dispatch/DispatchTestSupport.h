// Helpers shared by the dispatch tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"

namespace plat::dispatch::testing {

// A hang guard for waits on other threads; tests never rely on it running out.
inline constexpr double kLongWait = 30.0;

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
