// A FIFO of pool jobs that many threads push to and pop from without a
// common lock. Internal to the dispatch layer.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>

#include "platform/foundation/Mutex.h"

namespace plat::dispatch {
class Group;
}

namespace plat::dispatch::detail {

class QueueImpl;

// One unit of pool work: the function, and optionally the queue it runs as
// (a frame of it is open while it runs) and the group it leaves when done.
// Carrying these here rather than in wrapping closures keeps a grouped block
// on a global queue down to the block itself.
struct Job {
    std::function<void()> run;
    const QueueImpl* queue = nullptr;
    Group* group = nullptr;
};

// A bounded ring of slots, each with a sequence number that says whether it
// is free for the push of a given position or holds the job of one: a push
// claims the tail position and a pop the head position with one
// compare-and-swap each, so the submitting thread and the workers touch
// different cache lines except for the slot they hand over. When the ring is
// full, jobs wait in an overflow list under a mutex; while that list is not
// empty every push goes there, and a pop that finds the ring empty moves a
// batch of it into the ring, so jobs still leave in the order they came.
class JobQueue {
  public:
    // `capacity` is rounded up to a power of two (at least 2).
    explicit JobQueue(std::size_t capacity);
    JobQueue(const JobQueue&) = delete;
    JobQueue& operator=(const JobQueue&) = delete;

    void push(Job job) EXCLUDES(overflowMutex_);
    // Takes the oldest job; false when none is ready (a push in progress
    // counts as not ready yet).
    bool pop(Job& job) EXCLUDES(overflowMutex_);
    // Takes up to `max` of the oldest jobs at once (one atomic step for all
    // of them) into `jobs`; returns how many.
    std::size_t popBatch(Job* jobs, std::size_t max) EXCLUDES(overflowMutex_);
    // About how many jobs are queued.
    std::size_t backlog() const;
    // Whether a job is queued or being pushed. A hint when read alone; read
    // after a sequentially consistent fence that follows a push's end on
    // another thread, it sees that push.
    // Inline: an idle worker's spin asks it of every band on each look.
    bool looksNonEmpty() const {
        return tail_.load(std::memory_order_relaxed) != head_.load(std::memory_order_relaxed) ||
               overflowCount_.load(std::memory_order_relaxed) != 0;
    }

  private:
    struct alignas(64) Slot {
        std::atomic<std::size_t> sequence{0};
        Job job;
    };

    bool tryPushRing(Job& job);
    bool tryPopRing(Job& job);
    std::size_t tryPopRingBatch(Job* jobs, std::size_t max);
    // Moves jobs from the overflow list into the ring; false when none moved.
    bool refill() EXCLUDES(overflowMutex_);

    const std::size_t mask_;
    std::unique_ptr<Slot[]> slots_;
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> overflowCount_{0};
    Mutex overflowMutex_;
    std::deque<Job> overflow_ GUARDED_BY(overflowMutex_);
};

}  // namespace plat::dispatch::detail
