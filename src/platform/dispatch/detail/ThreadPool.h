// The process-wide worker pool behind the global queues and serial queues.
// Internal to the dispatch layer.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

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

// Priority bands, highest first.
inline constexpr int kBandCount = 5;

// Worker threads (hardware concurrency, at least 2) that take jobs from the
// highest non-empty band, FIFO within a band. Jobs must not throw. Never
// destroyed: work may still be running while the process exits.
//
// Waking a thread costs far more than a tiny job, so the pool wakes as few as
// it can: a worker that runs out of work spins for a moment before it sleeps
// (one at a time), a submit wakes a sleeper only when no worker is spinning
// and no wake is on its way, and a worker that leaves more work queued when
// it takes a job wakes the next one.
//
// A worker that blocks in one of the layer's own waits (semaphores, groups,
// sync calls, operation waits) says so through BlockingScope. While work is
// queued and fewer than the base number of workers are free to run it, the
// pool starts an extra worker, up to kMaxExtraThreads of them; an extra worker
// that finds nothing to do for a while retires. Work therefore keeps running
// when every worker waits for something queued behind it.
class ThreadPool {
  public:
    static constexpr std::size_t kMaxExtraThreads = 64;

    static ThreadPool& shared();

    void submit(int band, std::function<void()> job) EXCLUDES(mutex_) { submit(band, Job{std::move(job)}); }
    void submit(int band, Job job) EXCLUDES(mutex_);
    // True when a job of `band` or a more urgent one waits for a worker; a
    // long-running job uses it to decide whether to give its worker back.
    bool hasWaitingWork(int band);
    // The base number of workers.
    std::size_t threadCount() const { return base_; }
    // Workers alive now, extras included.
    std::size_t liveThreadCount() EXCLUDES(mutex_);

    // Marks the calling thread, when it is one of the pool's workers, as
    // blocked for its lifetime. Construct it just before a wait that really
    // blocks.
    class BlockingScope {
      public:
        BlockingScope();
        ~BlockingScope();
        BlockingScope(const BlockingScope&) = delete;
        BlockingScope& operator=(const BlockingScope&) = delete;

      private:
        ThreadPool* pool_;
    };

  private:
    explicit ThreadPool(std::size_t threads);
    void work(bool extra) EXCLUDES(mutex_);
    // Whether one more worker should start now (and counts it as started).
    bool shouldGrowLocked() REQUIRES(mutex_);
    void startWorker(bool extra) EXCLUDES(mutex_);

    Mutex mutex_;
    ConditionVariable ready_;
    // Takes the first job of the most urgent non-empty band; false when
    // every band is empty.
    bool takeLocked(Job& job) REQUIRES(mutex_);
    // Whether a sleeping worker should be woken for queued work (and counts
    // the wake as on its way).
    bool shouldWakeLocked() REQUIRES(mutex_);
    // Spins briefly for work to arrive; true when some did.
    bool spinForWork() EXCLUDES(mutex_);

    std::deque<Job> bands_[kBandCount] GUARDED_BY(mutex_);
    std::size_t queued_ GUARDED_BY(mutex_) = 0;
    // queued_, for spinning workers that read it without the lock.
    std::atomic<std::size_t> queuedHint_{0};
    // Bit b set while bands_[b] is not empty (written under the lock).
    std::atomic<unsigned> nonEmptyBands_{0};
    std::size_t idle_ GUARDED_BY(mutex_) = 0;
    std::size_t spinning_ GUARDED_BY(mutex_) = 0;
    std::size_t wakesPending_ GUARDED_BY(mutex_) = 0;
    std::size_t live_ GUARDED_BY(mutex_) = 0;
    std::size_t blocked_ GUARDED_BY(mutex_) = 0;
    const std::size_t base_;
};

}  // namespace plat::dispatch::detail
