// Group: counts work in flight so that a caller can wait for all of it, or
// be told when it is done.
//
// enter() before starting a unit of work, leave() when it is done; notify()
// posts its block to a queue once the count is back to zero (at once when it
// is zero already); wait() blocks until then. Any thread. The group must
// outlive the work entered into it (hold it in a std::shared_ptr that the
// work captures when in doubt); notify blocks do not refer to it. An empty
// queue throws DispatchException, an empty block std::invalid_argument.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include <atomic>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Mutex.h"

namespace plat::dispatch {

class Group {
  public:
    Group() = default;
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;

    void enter() EXCLUDES(mutex_);
    // Throws DispatchException when the group was not entered.
    void leave() EXCLUDES(mutex_) { leave(1); }
    // `count` leaves at once (the pool's workers count theirs in batches).
    // Throws DispatchException, leaving nothing, when the group was entered
    // fewer times.
    void leave(long count) EXCLUDES(mutex_);

    // Posts `block` to `queue` when all entered work has left. Blocks
    // registered while work is in flight are posted together, in
    // registration order, by the leave() that brings the count to zero.
    void notify(const Queue& queue, Block block) EXCLUDES(mutex_);

    // Runs `block` on `queue` as part of the group (enter, async, leave).
    void async(const Queue& queue, Block block) EXCLUDES(mutex_);

    // Blocks until the count is zero. With a time-out (seconds of real time),
    // returns false when it ran out first. Never call it from work the group
    // is waiting for.
    void wait() EXCLUDES(mutex_);
    bool wait(double timeoutSeconds) EXCLUDES(mutex_);

  private:
    Mutex mutex_;
    ConditionVariable empty_;
    std::atomic<long> count_{0};
    std::vector<std::pair<Queue, Block>> notifications_ GUARDED_BY(mutex_);
};

}  // namespace plat::dispatch
