#include "platform/dispatch/detail/ThreadPool.h"

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
        std::lock_guard lock(mutex_);
        --live_;
    }
}

bool ThreadPool::shouldGrowLocked() {
    if (queued_ == 0 || idle_ > 0 || live_ >= base_ + kMaxExtraThreads)
        return false;
    if (live_ - blocked_ >= base_)
        return false;
    ++live_;
    return true;
}

std::size_t ThreadPool::liveThreadCount() {
    std::lock_guard lock(mutex_);
    return live_;
}

void ThreadPool::submit(int band, std::function<void()> job) {
    band = std::clamp(band, 0, kBandCount - 1);
    bool wake, grow;
    {
        std::lock_guard lock(mutex_);
        bands_[band].push_back(std::move(job));
        ++queued_;
        wake = idle_ > 0;
        grow = shouldGrowLocked();
    }
    if (wake)
        ready_.notify_one();
    if (grow)
        startWorker(true);
}

bool ThreadPool::hasWaitingWork(int band) {
    band = std::clamp(band, 0, kBandCount - 1);
    std::lock_guard lock(mutex_);
    return std::any_of(std::begin(bands_), std::begin(bands_) + band + 1, [](auto& b) { return !b.empty(); });
}

ThreadPool::BlockingScope::BlockingScope() : pool_(currentPool) {
    if (!pool_)
        return;
    bool grow;
    {
        std::lock_guard lock(pool_->mutex_);
        ++pool_->blocked_;
        grow = pool_->shouldGrowLocked();
    }
    if (grow)
        pool_->startWorker(true);
}

ThreadPool::BlockingScope::~BlockingScope() {
    if (!pool_)
        return;
    std::lock_guard lock(pool_->mutex_);
    --pool_->blocked_;
}

void ThreadPool::work(bool extra) {
    currentPool = this;
    std::unique_lock lock(mutex_);
    for (;;) {
        auto band = std::find_if(std::begin(bands_), std::end(bands_), [](auto& b) { return !b.empty(); });
        if (band == std::end(bands_)) {
            ++idle_;
            if (extra) {
                bool woken = ready_.wait_for(lock, kExtraLinger, [&] { return queued_ > 0; });
                --idle_;
                if (!woken) {
                    --live_;
                    return;
                }
            } else {
                ready_.wait(lock);
                --idle_;
            }
            continue;
        }
        auto job = std::move(band->front());
        band->pop_front();
        --queued_;
        lock.unlock();
        job();
        job = nullptr;  // release captures before taking the lock again
        lock.lock();
    }
}

}  // namespace plat::dispatch::detail
