// The process-wide worker pool behind the global queues and serial queues.
// Internal to the dispatch layer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace plat::dispatch::detail {

// Priority bands, highest first.
inline constexpr int kBandCount = 5;

// A fixed set of worker threads (hardware concurrency, at least 2) that take
// jobs from the highest non-empty band, FIFO within a band. Jobs must not
// throw. Never destroyed: work may still be running while the process exits.
class ThreadPool {
  public:
    static ThreadPool& shared();

    void submit(int band, std::function<void()> job);
    // True when a job of `band` or a more urgent one waits for a worker; a
    // long-running job uses it to decide whether to give its worker back.
    bool hasWaitingWork(int band);
    std::size_t threadCount() const { return threads_; }

  private:
    explicit ThreadPool(std::size_t threads);
    void work();

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> bands_[kBandCount];
    std::size_t idle_ = 0;
    std::size_t threads_;
};

}  // namespace plat::dispatch::detail
