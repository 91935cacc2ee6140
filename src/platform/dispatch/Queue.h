// Queue: a dispatch queue handle. Copies share one queue; handles compare
// equal when they name the same queue. Three kinds exist:
//
//   * serial queues (Queue::serial): blocks run one at a time, in the order
//     posted, on the shared worker pool (no thread of their own, so a program
//     may create many). A busy serial queue gives its worker back after each
//     batch of blocks when other work of its priority waits, so that it cannot
//     starve the other queues;
//   * global concurrent queues (Queue::global): blocks are taken in FIFO
//     order and may run at the same time on the pool, whose size is the
//     number of hardware threads (at least 2). While more than two blocks per
//     worker wait, a worker takes several at once and starts each when the
//     one before it is done (so a block must wait for another global-queue
//     block only through this layer's waits: semaphores, groups, sync).
//     Higher qualities of service are served first;
//   * the main queue (Queue::main, see MainLoop.h): blocks run on the main
//     thread when it pumps the main loop.
//
// All operations may be called from any thread. Dropping the last handle to a
// serial queue never drops work: blocks already posted (and pending `after`
// blocks) keep the queue alive until they have run. A block that throws out of
// `async` ends the process (std::terminate), as any uncaught exception on a
// thread would; an exception thrown out of a `sync` block reaches the caller.
//
// Deadlocks to avoid: the pool is bounded, so blocks that wait (on a
// Semaphore, a Group, an OperationQueue, or a main-queue `sync`) occupy a
// worker while they wait; when every worker waits for work that needs a
// worker, nothing moves. Wait on the pool only for work that can finish
// without it. `sync` onto a serial queue runs the block on the calling
// thread, so it needs no worker of its own (it still waits for the blocks
// posted before it).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace plat::dispatch {

class Clock;
namespace detail {
class QueueImpl;
}

using Block = std::function<void()>;

// Raw values are the platform's, so that numbers found in stored settings or
// given by callers (25 for user-initiated, 17 for utility) convert with a
// cast. Values between classes count as the class below; -1, the operation
// layer's "default", counts as Default.
enum class QualityOfService : int {
    UserInteractive = 0x21,
    UserInitiated = 0x19,
    Default = 0x15,
    Utility = 0x11,
    Background = 0x09,
    Unspecified = 0,
};

// The older priority names of the global queues.
enum class Priority { High, Default, Low, Background };

class Queue {
  public:
    // An empty handle: every operation on it throws DispatchException.
    Queue() = default;

    static Queue serial(std::string label, QualityOfService qos = QualityOfService::Default);
    static Queue global(QualityOfService qos = QualityOfService::Default);
    static Queue global(Priority priority);
    static Queue main();

    // Runs `block` later, exactly once. Never runs it inline, even on the
    // main queue from the main thread. Here and in sync() and after(), an
    // empty block throws std::invalid_argument.
    void async(Block block) const;

    // Runs `block` and returns when it has finished. Serial queues: after the
    // blocks posted before it, on the calling thread. Global queues: at once
    // on the calling thread. Main queue: inline on the main thread, else on
    // the main thread when it next pumps. Throws DispatchException instead of
    // deadlocking when the caller is itself running on this serial queue
    // (directly or through nested sync calls).
    void sync(const Block& block) const;

    // sync() for a block that returns a value.
    template <class F>
    requires(!std::is_void_v<std::invoke_result_t<F&>>) std::invoke_result_t<F&> sync(F&& f)
    const {
        std::optional<std::invoke_result_t<F&>> result;
        sync(Block([&] { result.emplace(f()); }));
        return std::move(*result);
    }

    // Posts `block` once `seconds` have passed on this queue's clock. A
    // negative or zero delay posts it as soon as the clock next fires; NaN
    // throws std::invalid_argument. Not cancellable: use a TimerSource.
    void after(double seconds, Block block) const;

    // The clock for `after` and for timers made on this queue without a
    // clock of their own. Null (the default) means defaultClock() at the
    // time of scheduling.
    void setClock(std::shared_ptr<Clock> clock) const;
    std::shared_ptr<Clock> clock() const;  // never null

    const std::string& label() const;
    QualityOfService qualityOfService() const;
    bool isMain() const;

    // True when the calling thread is running a block of this queue, directly
    // or inside a sync() it made from one. For the main queue: isMainThread().
    bool isCurrent() const;

    // Checked thread rules, for state only this queue's blocks may touch
    // ("queue only", "main thread only" on the main queue) and for code that
    // would deadlock on it: unless the calling thread is running a block of
    // this queue (assertCurrent) or is not (assertNotCurrent), the process
    // ends (std::abort) after naming the queue and the rule on stderr. A
    // broken thread rule is a bug to stop at, not an error to handle.
    void assertCurrent() const;
    void assertNotCurrent() const;

    // Values attached to the queue under a key (an address the caller owns).
    // A null value removes the key.
    void setSpecific(const void* key, std::shared_ptr<void> value) const;
    std::shared_ptr<void> getSpecific(const void* key) const;
    // The value under `key` of the innermost queue the calling thread runs
    // a block of that has one; null when none has.
    static std::shared_ptr<void> currentSpecific(const void* key);

    explicit operator bool() const { return impl_ != nullptr; }
    bool operator==(const Queue& other) const { return impl_ == other.impl_; }

    // For the dispatch layer itself.
    explicit Queue(std::shared_ptr<detail::QueueImpl> impl) : impl_(std::move(impl)) {}
    friend class Group;
    const std::shared_ptr<detail::QueueImpl>& impl() const;

  private:
    std::shared_ptr<detail::QueueImpl> impl_;
};

// The main queue, the same as Queue::main().
Queue mainQueue();

// Runs `work` on the calling thread, one outside the worker pool, and then,
// here as well, the jobs it hands on that a worker would run next itself (a
// block for an idle serial queue, say, which posts to another): a chain of
// short steps started by a thread outside the pool then costs no worker's
// wake-up. Jobs left after a few dozen go to the workers.
//
// Should the chain be held up, `onBlock` is called, once: on this thread
// when one of its steps is about to block in one of this layer's waits, or
// on a watchdog thread when the chain has run for 1 to about 11 ms without
// ending (a step waiting for something else, or computing). The
// jobs queued behind the step, and everything submitted by the chain from
// then on, go to the workers; `onBlock` hands the caller's own duties to
// another thread and says whether it did. Exactly one of the chain's end and
// that hand-over decides: runChainHere returns true when the caller keeps
// its duties (no hand-over, or one that failed), false when they moved. On
// a worker it runs `work` as any other block (onBlock is never called).
bool runChainHere(const std::function<void()>& work, const std::function<bool()>& onBlock);

}  // namespace plat::dispatch
