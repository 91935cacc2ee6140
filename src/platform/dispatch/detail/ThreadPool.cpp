#include "platform/dispatch/detail/ThreadPool.h"

#include <algorithm>
#include <thread>

namespace plat::dispatch::detail {

ThreadPool& ThreadPool::shared() {
    static ThreadPool* pool = new ThreadPool(std::max(2u, std::thread::hardware_concurrency()));
    return *pool;
}

ThreadPool::ThreadPool(std::size_t threads) : threads_(threads) {
    for (std::size_t i = 0; i < threads; ++i) {
        std::thread([this] { work(); }).detach();
    }
}

void ThreadPool::submit(int band, std::function<void()> job) {
    band = std::clamp(band, 0, kBandCount - 1);
    bool wake;
    {
        std::lock_guard lock(mutex_);
        bands_[band].push_back(std::move(job));
        wake = idle_ > 0;
    }
    if (wake) {
        ready_.notify_one();
    }
}

bool ThreadPool::hasWaitingWork(int band) {
    band = std::clamp(band, 0, kBandCount - 1);
    std::lock_guard lock(mutex_);
    return std::any_of(std::begin(bands_), std::begin(bands_) + band + 1, [](auto& b) { return !b.empty(); });
}

void ThreadPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        auto band = std::find_if(std::begin(bands_), std::end(bands_), [](auto& b) { return !b.empty(); });
        if (band == std::end(bands_)) {
            ++idle_;
            ready_.wait(lock);
            --idle_;
            continue;
        }
        auto job = std::move(band->front());
        band->pop_front();
        lock.unlock();
        job();
        job = nullptr;  // release captures before taking the lock again
        lock.lock();
    }
}

}  // namespace plat::dispatch::detail
