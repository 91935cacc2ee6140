#include "platform/dispatch/Group.h"

#include "platform/dispatch/detail/QueueImpl.h"
#include "platform/dispatch/detail/ThreadPool.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "platform/dispatch/DispatchException.h"

namespace plat::dispatch {

void Group::enter() {
    count_.fetch_add(1, std::memory_order_relaxed);
}

// The count is atomic so that work leaving a busy group takes no lock; only
// the leave that empties it takes the lock, to post notifications and wake
// waiters (who check the count under the lock, so none misses the wake).
void Group::leave() {
    long count = count_.load(std::memory_order_relaxed);
    do {
        if (count == 0) {
            throw DispatchException("Group::leave without a matching enter");
        }
    } while (!count_.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
    if (count > 1) {
        return;
    }
    std::vector<std::pair<Queue, Block>> due;
    {
        MutexLock lock(mutex_);
        // Work entered again since: the leave that empties it next posts.
        if (count_.load(std::memory_order_acquire) != 0) {
            return;
        }
        due.swap(notifications_);
        empty_.notifyAll();
    }
    // Posted after the lock is released: async onto a queue may run the block
    // at once on another thread, and the block may enter the group again.
    for (auto& [queue, block] : due) {
        queue.async(std::move(block));
    }
}

void Group::notify(const Queue& queue, Block block) {
    if (!queue) {
        throw DispatchException("Group::notify: empty queue");
    }
    if (!block) {
        throw std::invalid_argument("Group::notify: empty block");
    }
    {
        MutexLock lock(mutex_);
        if (count_.load(std::memory_order_acquire) > 0) {
            notifications_.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue.async(std::move(block));
}

void Group::async(const Queue& queue, Block block) {
    if (!queue) {
        throw DispatchException("Group::async: empty queue");
    }
    if (!block) {
        throw std::invalid_argument("Group::async: empty block");
    }
    enter();
    queue.impl_->asyncInGroup(std::move(block), this);
}

void Group::wait() {
    MutexLock lock(mutex_);
    if (count_.load(std::memory_order_acquire) == 0)
        return;
    detail::ThreadPool::BlockingScope blocking;
    while (count_.load(std::memory_order_acquire) != 0)
        empty_.wait(mutex_);
}

bool Group::wait(double timeoutSeconds) {
    using namespace std::chrono;
    double timeout = timeoutSeconds > 0 ? std::min(timeoutSeconds, 1e7) : 0.0;
    const auto deadline =
        steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(timeout));
    MutexLock lock(mutex_);
    if (count_.load(std::memory_order_acquire) == 0)
        return true;
    detail::ThreadPool::BlockingScope blocking;
    while (count_.load(std::memory_order_acquire) != 0 && empty_.waitUntil(mutex_, deadline)) {
    }
    return count_.load(std::memory_order_acquire) == 0;
}

}  // namespace plat::dispatch
