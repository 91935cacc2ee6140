#include "platform/dispatch/Group.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "platform/dispatch/DispatchException.h"

namespace plat::dispatch {

void Group::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void Group::leave() {
    std::vector<std::pair<Queue, Block>> due;
    {
        std::lock_guard lock(mutex_);
        if (count_ == 0) {
            throw DispatchException("Group::leave without a matching enter");
        }
        if (--count_ > 0) {
            return;
        }
        due.swap(notifications_);
        empty_.notify_all();
    }
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
        std::lock_guard lock(mutex_);
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
    std::unique_lock lock(mutex_);
    if (count_ == 0)
        return;
    detail::ThreadPool::BlockingScope blocking;
    empty_.wait(lock, [&] { return count_ == 0; });
}

bool Group::wait(double timeoutSeconds) {
    using namespace std::chrono;
    double timeout = timeoutSeconds > 0 ? std::min(timeoutSeconds, 1e7) : 0.0;
    std::unique_lock lock(mutex_);
    if (count_ == 0)
        return true;
    detail::ThreadPool::BlockingScope blocking;
    return empty_.wait_for(lock, duration<double>(timeout), [&] { return count_ == 0; });
}

}  // namespace plat::dispatch
