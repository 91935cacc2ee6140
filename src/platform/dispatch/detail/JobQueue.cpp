#include "platform/dispatch/detail/JobQueue.h"

#include <algorithm>
#include <cstdint>

namespace plat::dispatch::detail {

namespace {
std::size_t roundUpToPowerOfTwo(std::size_t n) {
    std::size_t size = 2;
    while (size < n)
        size <<= 1;
    return size;
}
}  // namespace

JobQueue::JobQueue(std::size_t capacity)
    : mask_(roundUpToPowerOfTwo(capacity) - 1), slots_(std::make_unique<Slot[]>(mask_ + 1)) {
    for (std::size_t i = 0; i <= mask_; ++i)
        slots_[i].sequence.store(i, std::memory_order_relaxed);
}

bool JobQueue::tryPushRing(Job& job) {
    std::size_t position = tail_.load(std::memory_order_relaxed);
    Slot* slot;
    for (;;) {
        slot = &slots_[position & mask_];
        const std::size_t sequence = slot->sequence.load(std::memory_order_acquire);
        const auto diff = static_cast<std::intptr_t>(sequence) - static_cast<std::intptr_t>(position);
        if (diff == 0) {
            if (tail_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                break;
        } else if (diff < 0) {
            return false;  // full: the slot still holds the job of a lap ago
        } else {
            position = tail_.load(std::memory_order_relaxed);
        }
    }
    slot->job = std::move(job);
    slot->sequence.store(position + 1, std::memory_order_release);
    return true;
}

bool JobQueue::tryPopRing(Job& job) {
    std::size_t position = head_.load(std::memory_order_relaxed);
    Slot* slot;
    for (;;) {
        slot = &slots_[position & mask_];
        const std::size_t sequence = slot->sequence.load(std::memory_order_acquire);
        const auto diff = static_cast<std::intptr_t>(sequence) - static_cast<std::intptr_t>(position + 1);
        if (diff == 0) {
            if (head_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                break;
        } else if (diff < 0) {
            return false;  // empty, or the push of this position has not finished
        } else {
            position = head_.load(std::memory_order_relaxed);
        }
    }
    job = std::move(slot->job);
    slot->job.run = nullptr;  // (the pointers are rewritten by the next push)
    slot->sequence.store(position + mask_ + 1, std::memory_order_release);
    return true;
}

std::size_t JobQueue::tryPopRingBatch(Job* jobs, std::size_t max) {
    std::size_t position = head_.load(std::memory_order_relaxed);
    for (;;) {
        // Counts the published jobs from the head on; a slot can only be
        // claimed by moving the head past it, so once the head moves from
        // `position` to `position + n` they are this caller's.
        std::size_t n = 0;
        while (n < max &&
               slots_[(position + n) & mask_].sequence.load(std::memory_order_acquire) == position + n + 1)
            ++n;
        if (n == 0) {
            const std::size_t head = head_.load(std::memory_order_relaxed);
            if (head == position)
                return 0;
            position = head;
            continue;
        }
        if (head_.compare_exchange_weak(position, position + n, std::memory_order_relaxed)) {
            for (std::size_t i = 0; i < n; ++i) {
                Slot& slot = slots_[(position + i) & mask_];
                jobs[i] = std::move(slot.job);
                slot.job.run = nullptr;
                slot.sequence.store(position + i + mask_ + 1, std::memory_order_release);
            }
            return n;
        }
    }
}

std::size_t JobQueue::popBatch(Job* jobs, std::size_t max) {
    for (;;) {
        if (const std::size_t n = tryPopRingBatch(jobs, max))
            return n;
        if (overflowCount_.load(std::memory_order_acquire) == 0 || !refill())
            return 0;
    }
}

std::size_t JobQueue::backlog() const {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    return (tail > head ? tail - head : 0) + overflowCount_.load(std::memory_order_relaxed);
}

void JobQueue::push(Job job) {
    // Once a job waits in the overflow list, later ones queue behind it.
    if (overflowCount_.load(std::memory_order_acquire) == 0 && tryPushRing(job))
        return;
    MutexLock lock(overflowMutex_);
    overflow_.push_back(std::move(job));
    overflowCount_.fetch_add(1, std::memory_order_release);
}

bool JobQueue::refill() {
    MutexLock lock(overflowMutex_);
    std::size_t moved = 0;
    const std::size_t limit = std::min<std::size_t>((mask_ + 1) / 2, 1024);
    while (!overflow_.empty() && moved < limit && tryPushRing(overflow_.front())) {
        overflow_.pop_front();
        ++moved;
    }
    // Counted down only once the jobs are in the ring: a push that then sees
    // the list empty goes into the ring behind them.
    if (moved > 0)
        overflowCount_.fetch_sub(moved, std::memory_order_release);
    return moved > 0;
}

bool JobQueue::pop(Job& job) {
    for (;;) {
        if (tryPopRing(job))
            return true;
        if (overflowCount_.load(std::memory_order_acquire) == 0 || !refill())
            return false;
    }
}

}  // namespace plat::dispatch::detail
