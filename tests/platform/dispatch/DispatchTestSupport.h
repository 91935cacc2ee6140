// Helpers shared by the dispatch tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Names recorded from any thread, in the order they came (which work ran,
// or started, when).
class NameLog {
  public:
    void add(const std::string& name) {
        std::lock_guard lock(mutex_);
        names_.push_back(name);
    }
    std::vector<std::string> names() const {
        std::lock_guard lock(mutex_);
        return names_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> names_;
};

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
