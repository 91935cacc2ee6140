// The process-wide worker pool behind the global queues and serial queues.
// Internal to the dispatch layer.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

#include "platform/dispatch/detail/JobQueue.h"
#include "platform/foundation/Mutex.h"

namespace plat::dispatch::detail {

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
// it takes a job wakes the next one. Submitting and taking a job take no
// lock (each band is a JobQueue); the mutex guards sleeping, waking and
// growing only. The counters below are written under it and read without it
// by the fast paths, which pair a sequentially consistent fence after their
// push with the one a worker makes after counting itself idle, so that
// either the worker sees the job or the submitter sees the sleeper.
//
// With a long backlog (more than two jobs per worker) a worker takes a share
// of it, up to 16 jobs, in one step and runs them in order; if one of them
// blocks in a layer wait, the others go back to the pool ahead of the band,
// so no job waits on a worker that waits for it. Group leaves are counted per
// worker and handed over in batches.
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
    // Takes the first job of the most urgent non-empty band.
    bool take(Job& job);
    // Whether any band has a job queued (or being pushed).
    bool hasWork() const;
    // Wakes a sleeping worker when one should be woken for queued work.
    void wakeIfNeeded() EXCLUDES(mutex_);
    // Whether a sleeping worker should be woken for queued work (and counts
    // the wake as on its way).
    bool shouldWakeLocked() REQUIRES(mutex_);
    // Waits for a job once none is queued: spinning briefly (one worker at
    // a time), then asleep. False when an extra worker should retire.
    bool waitForJob(Job& job, bool extra) EXCLUDES(mutex_);
    // Spins briefly for work to arrive; true when some did.
    bool spinForWork();

    std::unique_ptr<JobQueue> bands_[kBandCount];
    // Jobs a worker took in a batch and handed back unstarted when it began
    // to wait: older than anything in the band, so taken first.
    std::unique_ptr<JobQueue> returned_[kBandCount];
    std::atomic<std::size_t> returnedJobs_{0};
    // Written under mutex_ (spinning_ also by a compare-and-swap without it).
    alignas(64) std::atomic<std::size_t> idle_{0};
    std::atomic<std::size_t> spinning_{0};
    std::atomic<std::size_t> wakesPending_{0};
    // Read by every submit: kept off the line the counters above share.
    alignas(64) std::atomic<std::size_t> live_{0};
    std::atomic<std::size_t> blocked_{0};
    const std::size_t base_;
};

}  // namespace plat::dispatch::detail
