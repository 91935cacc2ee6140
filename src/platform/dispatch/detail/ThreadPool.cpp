#include "platform/dispatch/detail/ThreadPool.h"

#include "platform/dispatch/Group.h"
#include "platform/dispatch/detail/QueueImpl.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

namespace plat::dispatch::detail {

namespace {
// The pool the calling thread works for, if any.
thread_local ThreadPool* currentPool = nullptr;
// How long an extra worker waits for work before it retires.
constexpr std::chrono::seconds kExtraLinger{2};
// How long a worker out of work looks for more before it sleeps.
constexpr std::chrono::microseconds kSpin{50};
// Jobs a band holds in its ring before more wait in its overflow list.
constexpr std::size_t kBandRing = 8192;
}  // namespace

ThreadPool& ThreadPool::shared() {
    static ThreadPool* pool = new ThreadPool(std::max(2u, std::thread::hardware_concurrency()));
    return *pool;
}

ThreadPool::ThreadPool(std::size_t threads) : base_(threads) {
    for (auto& band : bands_)
        band = std::make_unique<JobQueue>(kBandRing);
    live_ = threads;
    for (std::size_t i = 0; i < threads; ++i)
        startWorker(false);
}

void ThreadPool::startWorker(bool extra) {
    try {
        std::thread([this, extra] { work(extra); }).detach();
    } catch (const std::system_error&) {
        // No thread now: the queued work waits for a running worker.
        MutexLock lock(mutex_);
        --live_;
    }
}

bool ThreadPool::hasWork() const {
    for (const auto& band : bands_) {
        if (band->looksNonEmpty())
            return true;
    }
    return false;
}

bool ThreadPool::shouldGrowLocked() {
    if (idle_ > 0 || spinning_ > 0 || live_ >= base_ + kMaxExtraThreads)
        return false;
    if (live_ - blocked_ >= base_ || !hasWork())
        return false;
    ++live_;
    return true;
}

bool ThreadPool::shouldWakeLocked() {
    if (spinning_ > 0 || wakesPending_ > 0 || idle_ == 0 || !hasWork())
        return false;
    ++wakesPending_;
    return true;
}

void ThreadPool::wakeIfNeeded() {
    // Most calls find a worker awake or a wake under way: no lock for those.
    if (idle_.load(std::memory_order_relaxed) == 0 || spinning_.load(std::memory_order_relaxed) > 0 ||
        wakesPending_.load(std::memory_order_relaxed) > 0)
        return;
    bool wake;
    {
        MutexLock lock(mutex_);
        wake = shouldWakeLocked();
    }
    if (wake)
        ready_.notifyOne();
}

std::size_t ThreadPool::liveThreadCount() {
    MutexLock lock(mutex_);
    return live_;
}

void ThreadPool::submit(int band, Job job) {
    band = std::clamp(band, 0, kBandCount - 1);
    bands_[band]->push(std::move(job));
    // Pairs with the fence of a worker that counts itself idle (see work()).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    wakeIfNeeded();
    if (live_.load(std::memory_order_relaxed) - blocked_.load(std::memory_order_relaxed) < base_) {
        bool grow;
        {
            MutexLock lock(mutex_);
            grow = shouldGrowLocked();
        }
        if (grow)
            startWorker(true);
    }
}

bool ThreadPool::hasWaitingWork(int band) {
    band = std::clamp(band, 0, kBandCount - 1);
    // A hint for yielding, asked after every batch.
    for (int b = 0; b <= band; ++b) {
        if (bands_[b]->looksNonEmpty())
            return true;
    }
    return false;
}

ThreadPool::BlockingScope::BlockingScope() : pool_(currentPool) {
    if (!pool_)
        return;
    bool grow;
    {
        MutexLock lock(pool_->mutex_);
        ++pool_->blocked_;
        grow = pool_->shouldGrowLocked();
    }
    if (grow)
        pool_->startWorker(true);
}

ThreadPool::BlockingScope::~BlockingScope() {
    if (!pool_)
        return;
    MutexLock lock(pool_->mutex_);
    --pool_->blocked_;
}

namespace {
// A worker's leaves of one group not yet counted.
struct PendingLeaves {
    Group* group = nullptr;
    long count = 0;
    void flush() {
        if (count > 0)
            group->leave(count);
        group = nullptr;
        count = 0;
    }
};
// Leaves counted by one atomic step at most.
constexpr long kLeaveBatch = 64;
}  // namespace

bool ThreadPool::take(Job& job) {
    for (auto& band : bands_) {
        if (band->pop(job))
            return true;
    }
    return false;
}

bool ThreadPool::spinForWork() {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (unsigned i = 0;; ++i) {
        if (hasWork())
            return true;
        if (i % 64 == 63) {
            if (std::chrono::steady_clock::now() >= until)
                return false;
            std::this_thread::yield();
        }
    }
}

bool ThreadPool::waitForJob(Job& job, bool extra) {
    for (;;) {
        std::size_t none = 0;
        if (spinning_.compare_exchange_strong(none, 1)) {
            spinForWork();
            --spinning_;
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (take(job))
                return true;
        }
        MutexLock lock(mutex_);
        ++idle_;
        // Pairs with the fence after a submit's push: either this take sees
        // the job, or the submit sees this worker idle and wakes it. Taking
        // rather than asking whether work is queued keeps workers that lose
        // the race for it asleep instead of looping.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (take(job)) {
            --idle_;
            return true;
        }
        if (extra) {
            const auto deadline = std::chrono::steady_clock::now() + kExtraLinger;
            while (!hasWork() && ready_.waitUntil(mutex_, deadline)) {
            }
            --idle_;
            if (wakesPending_ > 0)
                --wakesPending_;
            --live_;
            // Pairs with a submit's fence: it sees one worker fewer and
            // starts another, or this sees its job and stays.
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (!hasWork())
                return false;
            ++live_;
        } else {
            ready_.wait(mutex_);
            --idle_;
            if (wakesPending_ > 0)
                --wakesPending_;
        }
        lock.unlock();
        if (take(job))
            return true;
    }
}

void ThreadPool::work(bool extra) {
    currentPool = this;
    Job job;
    PendingLeaves pending;
    for (;;) {
        if (!take(job)) {
            pending.flush();
            if (!waitForJob(job, extra))
                return;
        }
        // More work waiting: hand it to another worker.
        wakeIfNeeded();
        // Leaves are counted up while this worker runs jobs of one group and
        // handed over at once: the group cannot empty while one of its jobs
        // runs anyway, and one atomic step per batch keeps its count from
        // bouncing between the workers for every job.
        if (job.group != pending.group)
            pending.flush();
        if (job.queue) {
            Frame frame(job.queue);
            job.run();
        } else {
            job.run();
        }
        job.run = nullptr;  // release captures before the group learns the job is done
        if (job.group) {
            pending.group = job.group;
            if (++pending.count == kLeaveBatch)
                pending.flush();
        }
        job = Job{};
    }
}

}  // namespace plat::dispatch::detail
