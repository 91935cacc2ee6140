// A mutex, its scoped lock and a condition variable that clang's thread-safety
// analysis understands (see ThreadAnnotations.h). Members a mutex protects are
// declared GUARDED_BY(mutex_); functions that expect it held, REQUIRES(mutex_).
//
//   plat::Mutex mutex_;
//   plat::ConditionVariable changed_;
//   int count_ GUARDED_BY(mutex_) = 0;
//
//   void add() EXCLUDES(mutex_) {
//       plat::MutexLock lock(mutex_);
//       ++count_;
//       changed_.notifyAll();
//   }
//   void waitForSome() EXCLUDES(mutex_) {
//       plat::MutexLock lock(mutex_);
//       while (count_ == 0) changed_.wait(mutex_);
//   }
//
// Waits take the mutex itself, held by the caller, so that the analysis knows
// it is held again when they return; test the condition in a loop around the
// wait (a predicate lambda would be analysed as a function holding nothing).
// Not recursive: locking a mutex the thread holds deadlocks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/foundation/ThreadAnnotations.h"

namespace plat {

class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool tryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

    // Tells the analysis that the caller holds this mutex where it cannot see
    // it (a callback run under a lock taken elsewhere). Checks nothing at run
    // time: std::mutex cannot say who holds it.
    void assertHeld() const ASSERT_CAPABILITY(this) {}

  private:
    friend class ConditionVariable;
    std::mutex mutex_;
};

// Holds a Mutex from construction to destruction; unlock() and lock() let a
// scope drop it for a while (to call out without the lock held).
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() {
        if (locked_)
            mutex_.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() {
        mutex_.unlock();
        locked_ = false;
    }
    void lock() ACQUIRE() {
        mutex_.lock();
        locked_ = true;
    }

  private:
    Mutex& mutex_;
    bool locked_ = true;
};

// A condition variable waited on with a plat::Mutex held. Spurious wake-ups
// happen: every wait belongs in a loop that tests the condition.
class ConditionVariable {
  public:
    ConditionVariable() = default;
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    // Releases `mutex` while waiting; holds it again on return.
    void wait(Mutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cv_.wait(lock);
        lock.release();
    }

    // As wait(), giving up at `deadline`; returns false when the deadline passed.
    template <class Clock, class Duration>
    bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        const bool notified = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return notified;
    }

    // As wait(), giving up after `timeout`; returns false when it ran out.
    template <class Rep, class Period>
    bool waitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex) {
        return waitUntil(mutex, std::chrono::steady_clock::now() + timeout);
    }

    void notifyOne() { cv_.notify_one(); }
    void notifyAll() { cv_.notify_all(); }

  private:
    std::condition_variable cv_;
};

}  // namespace plat
