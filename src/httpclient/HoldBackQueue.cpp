#include "httpclient/HoldBackQueue.h"

#include <exception>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Log.h"

namespace httpclient {

namespace {

plat::dispatch::Queue utilityQueue() {
    return plat::dispatch::Queue::global(plat::dispatch::QualityOfService::Utility);
}

// A throwing block must not stop the ones behind it, nor leave the queue
// marked as running for good.
void runGuarded(HoldBackQueue::Block& block) {
    try {
        block();
    } catch (const std::exception& e) {
        plat::Log(std::string("HTTP client: a held-back block threw: ") + e.what());
    } catch (...) {
        plat::Log("HTTP client: a held-back block threw");
    }
}

}  // namespace

HoldBackQueue::HoldBackQueue(Retain retain) : retain_(std::move(retain)) {}

HoldBackQueue::~HoldBackQueue() {
    // Only a queue never released (or whose owner went away with blocks
    // still waiting) gets here with blocks: nobody can release it now.
    if (!head_)
        return;
    blocks_.insert(blocks_.begin(), std::move(head_));
    utilityQueue().async([blocks = std::move(blocks_)]() mutable {
        for (auto& block : blocks) {
            runGuarded(block);
            block = nullptr;
        }
    });
}

void HoldBackQueue::addOperationWithBlock(Block block) {
    if (!block)
        return;
    {
        plat::MutexLock lock(mutex_);
        if (head_)
            blocks_.push_back(std::move(block));
        else
            head_ = std::move(block);
        if (suspended_ || running_)
            return;
        running_ = true;
    }
    // (Blocks added after the release are few: one more lock for them.)
    auto owner = retain_();
    {
        plat::MutexLock lock(mutex_);
        drainOwner_ = std::move(owner);
    }
    drainElsewhere();
}

void HoldBackQueue::release() {
    // Taken before the lock, given to the drain job under it.
    auto owner = retain_();
    {
        plat::MutexLock lock(mutex_);
        if (!suspended_)
            return;
        suspended_ = false;
        if (!head_)
            return;
        running_ = true;
        drainOwner_ = std::move(owner);
    }
    drainElsewhere();
}

bool HoldBackQueue::isSuspended() const {
    plat::MutexLock lock(mutex_);
    return suspended_;
}

std::size_t HoldBackQueue::operationCount() const {
    plat::MutexLock lock(mutex_);
    return (head_ ? 1 : 0) + blocks_.size() + inFlight_;
}

void HoldBackQueue::drainElsewhere() {
    utilityQueue().async([this] { drain(); });
}

void HoldBackQueue::drain() {
    // Let go of last, once nothing here is touched any more: it may be the
    // owner's last reference, and the queue lives inside the owner.
    std::shared_ptr<void> owner;
    Block head;
    std::vector<Block> batch;
    for (;;) {
        {
            plat::MutexLock lock(mutex_);
            if (drainOwner_)
                owner = std::move(drainOwner_);
            inFlight_ = 0;
            if (!head_) {
                running_ = false;
                return;
            }
            head = std::move(head_);
            head_ = nullptr;
            batch.swap(blocks_);
            inFlight_ = 1 + batch.size();
        }
        // The count of the batch's last block drops with the next look at
        // the queue (one lock fewer for the usual single block).
        runGuarded(head);
        head = nullptr;  // what it holds goes now, in the order added
        for (auto& block : batch) {
            {
                plat::MutexLock lock(mutex_);
                --inFlight_;
            }
            runGuarded(block);
            block = nullptr;
        }
        batch.clear();
    }
}

}  // namespace httpclient
