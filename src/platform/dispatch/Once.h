// Once: runs a block the first time call() is reached, and never again until
// reset(). Concurrent callers wait until the first has finished, so all of
// them see its effects. If the block throws, the exception reaches that
// caller and the next call() tries again. Calling call() from inside the
// block throws DispatchException instead of deadlocking.
//
// reset() is for tests and for singletons that must be rebuilt ("forget the
// token"); it must not race a call() in progress of the same Once, which it
// waits for.
#pragma once

#include <atomic>
#include <thread>

#include "platform/foundation/Mutex.h"

#include "platform/dispatch/Queue.h"

namespace plat::dispatch {

class Once {
  public:
    Once() = default;
    Once(const Once&) = delete;
    Once& operator=(const Once&) = delete;

    void call(const Block& block) EXCLUDES(mutex_);
    bool isDone() const { return done_.load(std::memory_order_acquire); }
    void reset() EXCLUDES(mutex_);

  private:
    // Held while the block runs, so that concurrent callers wait for it.
    Mutex mutex_;
    std::atomic<bool> done_{false};
    std::atomic<std::thread::id> runner_{};
};

}  // namespace plat::dispatch
