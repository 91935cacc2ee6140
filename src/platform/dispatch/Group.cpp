#include "platform/dispatch/Group.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "platform/dispatch/DispatchException.h"

namespace plat::dispatch {

void Group::enter() {
    MutexLock lock(mutex_);
    ++count_;
}

void Group::leave() {
    std::vector<std::pair<Queue, Block>> due;
    {
        MutexLock lock(mutex_);
        if (count_ == 0) {
            throw DispatchException("Group::leave without a matching enter");
        }
        if (--count_ > 0) {
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
        if (count_ > 0) {
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
    queue.async([this, block = std::move(block)] {
        struct Leave {
            Group* group;
            ~Leave() { group->leave(); }
        } leave{this};
        block();
    });
}

void Group::wait() {
    MutexLock lock(mutex_);
    if (count_ == 0)
        return;
    detail::ThreadPool::BlockingScope blocking;
    while (count_ != 0)
        empty_.wait(mutex_);
}

bool Group::wait(double timeoutSeconds) {
    using namespace std::chrono;
    double timeout = timeoutSeconds > 0 ? std::min(timeoutSeconds, 1e7) : 0.0;
    const auto deadline =
        steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(timeout));
    MutexLock lock(mutex_);
    if (count_ == 0)
        return true;
    detail::ThreadPool::BlockingScope blocking;
    while (count_ != 0 && empty_.waitUntil(mutex_, deadline)) {
    }
    return count_ == 0;
}

}  // namespace plat::dispatch
