// TimerSource: a one-shot or repeating timer whose event handler runs on a
// queue, timed by a Clock (the queue's clock unless one is given).
//
// A timer is created suspended: configure it with setTimer() and
// setEventHandler(), then resume() it. Repeating timers keep their period
// from the start time, not from when a handler ran; firings that come while
// the previous firing's handler has not started yet are merged into it, so
// a slow queue sees one handler call rather than a backlog.
//
// cancel() never blocks and may be called from any thread, including from
// the event handler. Once it returns no handler call begins; a call already
// begun (it may not have reached your code yet) runs to its end. Call cancel()
// on the timer's own serial queue to rule even that out. The cancel handler
// runs once on the queue, after the last event handler call has returned.
//
// Ownership: posted handler calls hold the timer; the clock does not. Dropping
// the last reference cancels the timer (its cancel handler still runs).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Mutex.h"

namespace plat::dispatch {

class TimerSource : public std::enable_shared_from_this<TimerSource> {
  public:
    // The interval of a one-shot timer.
    static constexpr double Forever = std::numeric_limits<double>::infinity();

    // `clock` null means queue.clock() at creation. Throws DispatchException
    // for an empty queue.
    static std::shared_ptr<TimerSource> create(Queue queue, std::shared_ptr<Clock> clock = nullptr);
    ~TimerSource();

    // First firing `start` seconds from now on the clock (negative counts as
    // 0), then every `interval` seconds; Forever, zero or a negative interval
    // makes a one-shot timer. `leeway` is how late a firing may be allowed
    // to come; the clocks here fire as early as they can. Re-arming replaces
    // the previous schedule, including a firing not yet delivered. NaN
    // throws std::invalid_argument. Ignored after cancel().
    void setTimer(double start, double interval = Forever, double leeway = 0);

    void setEventHandler(Block handler) EXCLUDES(mutex_);
    void setCancelHandler(Block handler) EXCLUDES(mutex_);

    // Starts delivering firings. Calling it again does nothing.
    void resume() EXCLUDES(mutex_);
    void cancel() EXCLUDES(mutex_);
    bool isCancelled() const EXCLUDES(mutex_);

    const Queue& queue() const { return queue_; }
    double leeway() const EXCLUDES(mutex_);

  private:
    TimerSource(Queue queue, std::shared_ptr<Clock> clock);
    void armLocked() REQUIRES(mutex_);
    void onFire(std::uint64_t generation) EXCLUDES(mutex_);
    void deliver(std::uint64_t generation) EXCLUDES(mutex_);
    void postCancelHandlerLocked() REQUIRES(mutex_);

    const Queue queue_;
    const std::shared_ptr<Clock> clock_;
    const std::uint64_t order_;

    mutable Mutex mutex_;
    Block handler_ GUARDED_BY(mutex_);
    Block cancelHandler_ GUARDED_BY(mutex_);
    bool configured_ GUARDED_BY(mutex_) = false;
    bool resumed_ GUARDED_BY(mutex_) = false;
    bool cancelled_ GUARDED_BY(mutex_) = false;
    bool firingPending_ GUARDED_BY(mutex_) = false;
    int running_ GUARDED_BY(mutex_) = 0;
    double deadline_ GUARDED_BY(mutex_) = 0;
    double interval_ GUARDED_BY(mutex_) = Forever;
    double leeway_ GUARDED_BY(mutex_) = 0;
    std::uint64_t generation_ GUARDED_BY(mutex_) = 0;
    Clock::Token token_ GUARDED_BY(mutex_) = 0;
};

}  // namespace plat::dispatch
