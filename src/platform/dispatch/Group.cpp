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

// The count is atomic so that work leaving a busy group takes no lock. The
// leave that empties it decrements under the lock: a waiter may return and
// destroy the group as soon as it sees the count reach zero, so nothing of
// the group may be touched after that except through the lock it waits on.
void Group::leave(long leaving) {
    long count = count_.load(std::memory_order_relaxed);
    for (;;) {
        if (count < leaving) {
            throw DispatchException("Group::leave without a matching enter");
        }
        if (count == leaving) {
            break;
        }
        if (count_.compare_exchange_weak(count, count - leaving, std::memory_order_acq_rel)) {
            return;
        }
    }
    std::vector<std::pair<Queue, Block>> due;
    {
        MutexLock lock(mutex_);
        count = count_.fetch_sub(leaving, std::memory_order_acq_rel);
        if (count < leaving) {
            count_.fetch_add(leaving, std::memory_order_relaxed);
            throw DispatchException("Group::leave without a matching enter");
        }
        // Work entered again meanwhile: the leave that empties it next posts.
        if (count != leaving) {
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
