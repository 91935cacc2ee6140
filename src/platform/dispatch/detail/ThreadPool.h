// The process-wide worker pool behind the global queues and serial queues.
// Internal to the dispatch layer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/dispatch/detail/JobQueue.h"
#include "platform/foundation/Mutex.h"

namespace plat::dispatch::detail {

// Tells the core that the thread is spinning (fewer wasted cycles, and the
// sibling hardware thread runs on), without giving it up as a yield does.
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// A lock for a few instructions' worth of work (a hand-off slot's ring):
// cheaper than a mutex when, as here, it is almost never contended. A
// waiter that finds it held spins, yielding now and then in case the holder
// has lost its processor.
class CAPABILITY("mutex") SpinLock {
  public:
    void lock() ACQUIRE() {
        for (unsigned i = 0; held_.exchange(true, std::memory_order_acquire); ++i) {
            while (held_.load(std::memory_order_relaxed)) {
                if (++i % 64 == 0)
                    std::this_thread::yield();
            }
        }
    }
    void unlock() RELEASE() { held_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> held_{false};
};

class SCOPED_CAPABILITY SpinLockGuard {
  public:
    explicit SpinLockGuard(SpinLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~SpinLockGuard() RELEASE() { lock_.unlock(); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

  private:
    SpinLock& lock_;
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
// A job submitted by a worker while it runs another goes, when nothing of its
// priority or a more urgent one is queued, to that worker's hand-off slot: the
// worker runs it as soon as the current job returns, so a chain of steps
// (a serial queue's block posting to another queue, which posts to a third)
// stays on one awake thread instead of waking another for each step. A slot
// holds a few jobs, run in the order they came: a job that hands off several
// steps (one for each of a batch of finished requests, say) keeps them all
// on its thread, where each costs far less than the wake-up of another. The
// slot is no private queue: the submit wakes a sleeper exactly as for a
// queued job, and any worker looking for work takes a slot's oldest job as
// it takes a queued one (slots of a band before the band's own queue, since
// they hold the older jobs), so a job whose worker is held up still runs.
// A worker about to block in a layer wait hands its slot's jobs back to the
// pool first, in order, ahead of the band.
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
    // Base workers asleep now, waiting for a wake (for tests).
    std::size_t sleepingThreadCount() EXCLUDES(mutex_);

    // True when the calling thread is a worker holding a job in its
    // hand-off slot, or a thread hosting a chain (see runChainHere): it
    // should return to the pool soon rather than linger.
    static bool hasLocalWork();

    // See plat::dispatch::runChainHere.
    bool runChainHere(const std::function<void()>& work, const std::function<bool()>& onBlock);
    // How many times a chain's start woke the chain watchdog from its sleep
    // (for tests: a watchdog already looking is not woken).
    static std::uint64_t chainWatchdogWakeUps();
    // How many looks the chain watchdog has made (for tests).
    static std::uint64_t chainWatchdogLooks();
    // Hands every job of a hosting thread's slot back to the pool, in order
    // (the chain has been handed over, so none joins it any more).
    void returnHostedJobs(void* hostSlot, std::atomic<std::size_t>& uncounted);

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

    // How many of a chain's jobs a thread outside the pool runs before it
    // gives the rest back to the workers (a job that keeps posting its
    // successor must not keep that thread for ever).
    static constexpr int kHostedJobs = 64;

  private:
    // A worker's hand-off slot: a short FIFO. Only its worker adds to it;
    // whoever takes a job (its worker or another) takes the oldest.
    struct alignas(64) Slot {
        static constexpr std::size_t kCapacity = 8;
        SpinLock lock;
        // Jobs held, and the band of the oldest: read without the lock to
        // look for work, written under it.
        std::atomic<std::size_t> count{0};
        std::atomic<int> frontBand{0};
        std::size_t head GUARDED_BY(lock) = 0;
        Job jobs[kCapacity] GUARDED_BY(lock);
        int bands[kCapacity] GUARDED_BY(lock) = {};
        // The slot's worker sleeps on this word when idle (see sleepers_).
        std::atomic<std::uint32_t> wakeWord{0};
        // Whether the worker is on the sleepers' stack, and the one below
        // it there (written under the pool's mutex_).
        bool asleep = false;
        Slot* below = nullptr;
    };

    explicit ThreadPool(std::size_t threads);
    void work(Slot* slot) EXCLUDES(mutex_);
    // Puts `job` in the calling worker's slot when that overtakes nothing.
    bool trySlot(int band, Job& job);
    // Takes the oldest job of `slot` (only when it is of `band`, unless
    // that is negative); `taken` says its band.
    static bool takeSlot(Slot& slot, Job& job, std::atomic<std::size_t>& slotted, int band = -1,
                         int* taken = nullptr);
    // Hands every job of `slot` back to the pool, in order, ahead of its
    // band; true when there was one.
    bool returnSlotJobs(Slot& slot, std::atomic<std::size_t>& slotted);
    // Takes the job of any worker's slot holding one of `band`.
    bool stealSlot(int band, Job& job);
    // Whether one more worker should start now (and counts it as started).
    bool shouldGrowLocked() REQUIRES(mutex_);
    void startWorker(Slot* slot) EXCLUDES(mutex_);

    Mutex mutex_;
    // Idle extra workers sleep on this word (see Futex.h); a wake changes
    // it. Base workers sleep on their slot's word instead.
    std::atomic<std::uint32_t> wakeWord_{0};
    // Base workers asleep, the one that went to sleep last on top: a wake
    // goes to it. The thread that ran jobs most recently runs the next one,
    // with its caches (the C library's per-thread free lists, the
    // SmallBlockCache, the processor's) still holding what those jobs
    // freed, and the blocks a job allocates are mostly freed on the thread
    // that allocated them. (The kernel wakes the sleeper of a shared word
    // that waited longest: jobs went round every worker in turn.)
    Slot* sleepers_ GUARDED_BY(mutex_) = nullptr;
    std::size_t sleeperCount_ GUARDED_BY(mutex_) = 0;
    // Takes the first job of the most urgent non-empty band.
    bool take(Job& job);
    // Whether any band has a job queued (or being pushed), or, with `slots`,
    // a worker's slot holds one.
    bool hasWork(bool slots = true) const;
    // Wakes a sleeping worker when one should be woken for queued work.
    void wakeIfNeeded() EXCLUDES(mutex_);
    // Whether a sleeping worker should be woken for queued work (and counts
    // the wake as on its way).
    bool shouldWakeLocked() REQUIRES(mutex_);
    // Waits for a job once none is queued: spinning briefly (one worker at
    // a time), then asleep. False when an extra worker should retire.
    bool waitForJob(Job& job, bool extra) EXCLUDES(mutex_);
    // Sleeps, with the mutex let go, until woken or until `deadline` when
    // given (false then). The caller counted itself idle under the mutex;
    // `slot` is its own (null for an extra worker).
    bool sleep(Slot* slot, const std::chrono::steady_clock::time_point* deadline) REQUIRES(mutex_);
    // Takes `slot` off the sleepers' stack.
    void removeSleeperLocked(Slot* slot) REQUIRES(mutex_);
    // Spins briefly for work to arrive; true when some did.
    bool spinForWork();

    std::unique_ptr<JobQueue> bands_[kBandCount];
    // Jobs a worker took in a batch and handed back unstarted when it began
    // to wait: older than anything in the band, so taken first.
    std::unique_ptr<JobQueue> returned_[kBandCount];
    std::atomic<std::size_t> returnedJobs_{0};
    // One slot per base worker; slotted_ counts the jobs they hold.
    std::unique_ptr<Slot[]> slots_;
    std::atomic<std::size_t> slotted_{0};
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
