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
}  // namespace

ThreadPool& ThreadPool::shared() {
    static ThreadPool* pool = new ThreadPool(std::max(2u, std::thread::hardware_concurrency()));
    return *pool;
}

ThreadPool::ThreadPool(std::size_t threads) : base_(threads) {
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

bool ThreadPool::shouldGrowLocked() {
    if (queued_ == 0 || idle_ > 0 || spinning_ > 0 || live_ >= base_ + kMaxExtraThreads)
        return false;
    if (live_ - blocked_ >= base_)
        return false;
    ++live_;
    return true;
}

bool ThreadPool::shouldWakeLocked() {
    if (queued_ == 0 || spinning_ > 0 || wakesPending_ > 0 || idle_ == 0)
        return false;
    ++wakesPending_;
    return true;
}

std::size_t ThreadPool::liveThreadCount() {
    MutexLock lock(mutex_);
    return live_;
}

void ThreadPool::submit(int band, Job job) {
    band = std::clamp(band, 0, kBandCount - 1);
    bool wake, grow;
    {
        MutexLock lock(mutex_);
        bands_[band].push_back(std::move(job));
        nonEmptyBands_.fetch_or(1u << band, std::memory_order_relaxed);
        queuedHint_.store(++queued_, std::memory_order_relaxed);
        wake = shouldWakeLocked();
        grow = shouldGrowLocked();
    }
    if (wake)
        ready_.notifyOne();
    if (grow)
        startWorker(true);
}

bool ThreadPool::hasWaitingWork(int band) {
    band = std::clamp(band, 0, kBandCount - 1);
    // Read without the lock: a hint for yielding, asked after every batch.
    return (nonEmptyBands_.load(std::memory_order_relaxed) & ((2u << band) - 1)) != 0;
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

bool ThreadPool::takeLocked(Job& job) {
    for (int b = 0; b < kBandCount; ++b) {
        auto& band = bands_[b];
        if (band.empty())
            continue;
        job = std::move(band.front());
        band.pop_front();
        if (band.empty())
            nonEmptyBands_.fetch_and(~(1u << b), std::memory_order_relaxed);
        queuedHint_.store(--queued_, std::memory_order_relaxed);
        return true;
    }
    return false;
}

bool ThreadPool::spinForWork() {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (unsigned i = 0;; ++i) {
        if (queuedHint_.load(std::memory_order_relaxed) != 0)
            return true;
        if (i % 64 == 63) {
            if (std::chrono::steady_clock::now() >= until)
                return false;
            std::this_thread::yield();
        }
    }
}

void ThreadPool::work(bool extra) {
    currentPool = this;
    Job job;
    MutexLock lock(mutex_);
    for (;;) {
        if (!takeLocked(job)) {
            if (spinning_ == 0) {
                ++spinning_;
                lock.unlock();
                spinForWork();
                lock.lock();
                --spinning_;
                if (queued_ > 0)
                    continue;
            }
            ++idle_;
            if (extra) {
                const auto deadline = std::chrono::steady_clock::now() + kExtraLinger;
                while (queued_ == 0 && ready_.waitUntil(mutex_, deadline)) {
                }
                --idle_;
                if (wakesPending_ > 0)
                    --wakesPending_;
                if (queued_ == 0) {
                    --live_;
                    return;
                }
            } else {
                ready_.wait(mutex_);
                --idle_;
                if (wakesPending_ > 0)
                    --wakesPending_;
            }
            continue;
        }
        // More work waiting: hand it to another worker.
        const bool wake = shouldWakeLocked();
        lock.unlock();
        if (wake)
            ready_.notifyOne();
        if (job.queue) {
            Frame frame(job.queue);
            job.run();
        } else {
            job.run();
        }
        job.run = nullptr;  // release captures before the group learns the job is done
        if (job.group)
            job.group->leave();
        job = Job{};
        lock.lock();
    }
}

}  // namespace plat::dispatch::detail
