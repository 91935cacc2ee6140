// HoldBackQueue: the work of one task delegate that waits for the end of its
// task (the response handlers, clean-up). Blocks run one at a time, in the
// order added, none before release(); a block added after release runs in
// its turn.
//
// Where the blocks run: as jobs of the global utility queue, never inside
// the call that added or released them (and so never as part of a block of
// the caller's queue or an operation of the session's delegate queue): a
// slow or waiting serializer holds up neither.
//
// The queue lives inside its owner (no allocation of its own); `retain`
// gives a strong reference to that owner, held while blocks run on another
// thread or wait in a scope. Blocks still held back when the queue is
// destroyed are not dropped: they run on the global utility queue.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

#include <utility>
#include <vector>
#include "platform/foundation/Mutex.h"

namespace httpclient {

class HoldBackQueue {
  public:
    using Block = std::function<void()>;
    using Retain = std::function<std::shared_ptr<void>()>;

    explicit HoldBackQueue(Retain retain);
    ~HoldBackQueue();
    HoldBackQueue(const HoldBackQueue&) = delete;
    HoldBackQueue& operator=(const HoldBackQueue&) = delete;

    void addOperationWithBlock(Block block);
    // Lets the blocks run, for good; later calls do nothing.
    void release();
    bool isSuspended() const;
    // Blocks added and not yet finished.
    std::size_t operationCount() const;

  private:
    // Runs blocks until none is left; the caller has set running_ and put
    // a reference to the owner in drainOwner_, which drain holds until it
    // returns.
    void drain();
    void drainElsewhere();

    const Retain retain_;
    mutable plat::Mutex mutex_;
    // The first block waiting, kept in place (most queues only ever hold
    // one); those behind it wait in blocks_.
    Block head_ GUARDED_BY(mutex_);
    std::vector<Block> blocks_ GUARDED_BY(mutex_);
    bool suspended_ GUARDED_BY(mutex_) = true;
    bool running_ GUARDED_BY(mutex_) = false;
    std::size_t inFlight_ GUARDED_BY(mutex_) = 0;  // taken from blocks_, not yet finished
    // The owner, held for the drain job from when it is queued until it
    // runs (a job whose closure held it would be one allocation per drain:
    // std::function keeps only trivially copyable closures in place).
    std::shared_ptr<void> drainOwner_ GUARDED_BY(mutex_);
};

}  // namespace httpclient
