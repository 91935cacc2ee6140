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
        MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
    return live_;
}

void ThreadPool::submit(int band, std::function<void()> job) {
    band = std::clamp(band, 0, kBandCount - 1);
    bool wake, grow;
    {
        MutexLock lock(mutex_);
        bands_[band].push_back(std::move(job));
        ++queued_;
        wake = idle_ > 0;
        grow = shouldGrowLocked();
    }
    if (wake)
        ready_.notifyOne();
    if (grow)
        startWorker(true);
}

bool ThreadPool::hasWaitingWork(int band) {
    band = std::clamp(band, 0, kBandCount - 1);
    MutexLock lock(mutex_);
    for (int b = 0; b <= band; ++b) {
        if (!bands_[b].empty())
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

void ThreadPool::work(bool extra) {
    currentPool = this;
    MutexLock lock(mutex_);
    for (;;) {
        std::deque<std::function<void()>>* band = nullptr;
        for (auto& b : bands_) {
            if (!b.empty()) {
                band = &b;
                break;
            }
        }
        if (band == nullptr) {
            ++idle_;
            if (extra) {
                const auto deadline = std::chrono::steady_clock::now() + kExtraLinger;
                while (queued_ == 0 && ready_.waitUntil(mutex_, deadline)) {
                }
                --idle_;
                if (queued_ == 0) {
                    --live_;
                    return;
                }
            } else {
                ready_.wait(mutex_);
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
