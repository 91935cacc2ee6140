// Clock: the time base of `after` and of timer sources, in seconds as a
// double. Production uses SystemClock (the monotonic steady clock, so a change
// of the wall clock never fires or delays timers); tests install a ManualClock
// and move time forward themselves instead of sleeping.
//
// A clock only calls `fire` callbacks; the callers (Queue::after,
// TimerSource) turn a firing into a block posted to their queue. So a clock
// never runs user code, and `fire` must be short and must not block. A clock
// runs and destroys callbacks without holding its lock, so their captures may
// call back into it (a queue owning its clock may die with its last `after`).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/foundation/Mutex.h"

namespace plat::dispatch {

class Clock {
  public:
    using Token = std::uint64_t;

    virtual ~Clock() = default;

    // Seconds since an arbitrary origin fixed for the clock's life. Never
    // goes backwards. Any thread.
    virtual double now() const = 0;

    // Calls `fire` once when now() reaches `deadline`. Entries due at the same
    // time fire in ascending `order` (pass nextOrder() taken when the timer
    // was made, so equal deadlines fire in creation order). Returns a token
    // for cancel(); never 0. Any thread.
    virtual Token schedule(double deadline, std::uint64_t order, std::function<void()> fire) = 0;

    // Removes a pending entry. Returns false when it has already fired, is
    // firing, or never existed. Never waits for a firing entry. Any thread.
    virtual bool cancel(Token token) = 0;

    // A process-wide increasing sequence for the `order` of schedule().
    static std::uint64_t nextOrder();
};

// The steady clock, with one background thread that sleeps until the earliest
// deadline and then fires everything due, in deadline then `order` order.
class SystemClock final : public Clock {
  public:
    SystemClock();
    ~SystemClock() override;  // Joins its thread; entries not yet fired are dropped.
    SystemClock(const SystemClock&) = delete;
    SystemClock& operator=(const SystemClock&) = delete;

    double now() const override;
    Token schedule(double deadline, std::uint64_t order, std::function<void()> fire) override;
    bool cancel(Token token) override;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// A clock that stands still until advance() moves it. Starts at 0.
//
// advance(seconds) fires, on the calling thread, every entry whose deadline
// is at or before now() + seconds, in deadline order then `order` order,
// setting now() to each entry's deadline while it fires, and finally sets
// now() to the target. Entries scheduled by a firing (a repeating timer's
// next period) fire in the same call when they fall due before the target.
// For Queue::after and TimerSource "fire" means "post the handler to its
// queue": when advance() returns, every due handler has been posted, in that
// order, but may not have run yet. Wait for it as for any posted block:
// MainLoop::drain() for the main queue, an empty Queue::sync as a barrier for
// a serial queue, a Group or Semaphore for global queues.
class ManualClock final : public Clock {
  public:
    ManualClock() = default;

    double now() const override;
    Token schedule(double deadline, std::uint64_t order, std::function<void()> fire) override;
    bool cancel(Token token) override;

    // Throws std::invalid_argument for a negative, infinite or NaN step (an
    // endless step never returns while a repeating timer is armed). Concurrent
    // calls are serialised.
    void advance(double seconds) EXCLUDES(advanceMutex_);
    // Number of entries waiting to fire.
    std::size_t pendingCount() const;

  private:
    struct Entry {
        double deadline;
        std::uint64_t order;
        Token token;
        std::function<void()> fire;
    };
    bool popDue(double target, Entry& out) EXCLUDES(mutex_);

    // advanceMutex_ serialises advance() and is held while handlers fire;
    // mutex_ guards the entries and is never held while anything fires, so
    // a handler may schedule, cancel or read now().
    Mutex advanceMutex_ ACQUIRED_BEFORE(mutex_);
    mutable Mutex mutex_;
    double now_ GUARDED_BY(mutex_) = 0;
    Token nextToken_ GUARDED_BY(mutex_) = 1;
    std::vector<Entry> entries_ GUARDED_BY(mutex_);  // unsorted; advance() picks the earliest
};

// The clock used by queues and timers that were given none. Starts as a
// process-wide SystemClock; tests may install a ManualClock and restore the
// default with setDefaultClock(nullptr). Queues and timers read the default
// when they schedule, so install it before creating the timers under test.
std::shared_ptr<Clock> defaultClock();
void setDefaultClock(std::shared_ptr<Clock> clock);

}  // namespace plat::dispatch
