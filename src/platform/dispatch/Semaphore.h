// Semaphore: a counting semaphore. signal() adds one and wakes one waiter;
// wait() takes one, blocking while the count is zero. Any thread. Waiters
// are woken in no particular order.
#pragma once

#include "platform/foundation/Mutex.h"

namespace plat::dispatch {

class Semaphore {
  public:
    // Throws std::invalid_argument for a negative count.
    explicit Semaphore(long initial = 0);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Returns true when a thread was waiting.
    bool signal() EXCLUDES(mutex_);
    void wait() EXCLUDES(mutex_);
    // Waits at most `timeoutSeconds` of real time; false when it ran out
    // without taking one. Zero or less only tries.
    bool wait(double timeoutSeconds) EXCLUDES(mutex_);

  private:
    Mutex mutex_;
    ConditionVariable available_;
    long count_ GUARDED_BY(mutex_);
    long waiters_ GUARDED_BY(mutex_) = 0;
};

}  // namespace plat::dispatch
