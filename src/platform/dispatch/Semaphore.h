// Semaphore: a counting semaphore. signal() adds one and wakes one waiter;
// wait() takes one, blocking while the count is zero. Any thread. Waiters
// are woken in no particular order.
#pragma once

#include <condition_variable>
#include <mutex>

namespace plat::dispatch {

class Semaphore {
  public:
    // Throws std::invalid_argument for a negative count.
    explicit Semaphore(long initial = 0);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Returns true when a thread was waiting.
    bool signal();
    void wait();
    // Waits at most `timeoutSeconds` of real time; false when it ran out
    // without taking one. Zero or less only tries.
    bool wait(double timeoutSeconds);

  private:
    std::mutex mutex_;
    std::condition_variable available_;
    long count_;
    long waiters_ = 0;
};

}  // namespace plat::dispatch
