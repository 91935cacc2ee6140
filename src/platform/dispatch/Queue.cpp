#include "platform/dispatch/Queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/detail/QueueImpl.h"
#include "platform/dispatch/detail/ThreadPool.h"

namespace plat::dispatch {
namespace detail {

// ---------------------------------------------------------------- QueueImpl

QueueImpl::QueueImpl(std::string label, QualityOfService qos) : label_(std::move(label)), qos_(qos) {}

void QueueImpl::asyncInGroup(Block block, Group* group) {
    async([group, block = std::move(block)] {
        struct Leave {
            Group* group;
            ~Leave() { group->leave(); }
        } leave{group};
        block();
    });
}

bool QueueImpl::isCurrent() const {
    return Frame::contains(this);
}

void QueueImpl::setClock(std::shared_ptr<Clock> clock) {
    MutexLock lock(mutex_);
    clock_ = std::move(clock);
}

std::shared_ptr<Clock> QueueImpl::clock() const {
    {
        MutexLock lock(mutex_);
        if (clock_) {
            return clock_;
        }
    }
    return defaultClock();
}

void QueueImpl::setSpecific(const void* key, std::shared_ptr<void> value) {
    MutexLock lock(mutex_);
    if (value) {
        specifics_[key] = std::move(value);
    } else {
        specifics_.erase(key);
    }
}

std::shared_ptr<void> QueueImpl::getSpecific(const void* key) const {
    MutexLock lock(mutex_);
    auto found = specifics_.find(key);
    return found == specifics_.end() ? nullptr : found->second;
}

// ---------------------------------------------------------------- Frame

namespace {
thread_local const Frame* currentFrame = nullptr;
}

Frame::Frame(const QueueImpl* queue) : queue(queue), previous(currentFrame) {
    currentFrame = this;
}

Frame::~Frame() {
    currentFrame = previous;
}

// Every frame up the chain counts, not only the innermost: a block that
// sync-ed from queue A onto B still holds A, so a sync back onto A from B
// would deadlock just the same.
bool Frame::contains(const QueueImpl* queue) {
    for (const Frame* frame = currentFrame; frame; frame = frame->previous) {
        if (frame->queue == queue) {
            return true;
        }
    }
    return false;
}

const Frame* Frame::top() {
    return currentFrame;
}

// Raw values between two named classes take the band of the lower class;
// Unspecified (0) and nonsense below it run at the default band.
int bandFor(QualityOfService qos) {
    int raw = static_cast<int>(qos);
    if (raw >= 0x21)
        return 0;
    if (raw >= 0x19)
        return 1;
    if (raw >= 0x15 || raw <= 0)
        return 2;
    if (raw >= 0x11)
        return 3;
    return 4;
}

namespace {

// ---------------------------------------------------------------- serial

// The vector a serial queue's drain takes its blocks into, one per thread
// (see SerialQueue::drain), and whether a drain on this thread uses it.
thread_local std::vector<std::function<void()>> threadBatch;
thread_local bool threadBatchInUse = false;

// Blocks wait in `items_`; `active_` says that someone owns the queue: a
// drain job on the pool or a thread inside sync(). Only the owner runs
// blocks, which is what makes the queue serial.
//
// Ownership is taken by a compare-and-swap of `active_` from false, so that
// a sync() onto an idle queue and its release take no lock: they are most
// of a sync's cost otherwise (two lock pairs). Whoever adds to `items_` does
// so under the mutex, publishes the count in `itemsHint_` and then tries to
// take ownership itself; an owner letting go clears `active_` and then looks
// at `itemsHint_`. Both sides are sequentially consistent, so at least one
// of them sees the other: an item added as the owner lets go is never left
// without an owner to run it (whoever wins the queue then hands it on: to
// a drain job, or to the sync caller in front).
class SerialQueue final : public QueueImpl {
  public:
    using QueueImpl::QueueImpl;

    void async(Block block) override {
        bool drain;
        {
            MutexLock lock(mutex_);
            items_.push_back(Item{std::move(block), nullptr});
            itemsHint_.store(items_.size(), std::memory_order_seq_cst);
            if (!tryOwn()) {
                return;  // the owner runs it, or hands it on when it lets go
            }
            drain = handOnLocked();
        }
        if (drain)
            schedule();
    }

    void sync(const Block& block) override {
        if (Frame::contains(this)) {
            throw DispatchException("sync onto the serial queue \"" + label() +
                                    "\" from a block running on it would deadlock");
        }
        acquire();
        struct Release {
            SerialQueue* queue;
            ~Release() { queue->release(); }
        } release{this};
        Frame frame(this);
        block();
    }

  private:
    // A sync caller waiting for its turn; the drain hands ownership over.
    // `granted` is read and written under the queue's mutex_ (a member of
    // a stack object, so it cannot be declared GUARDED_BY it).
    struct Waiter {
        ConditionVariable turn;
        bool granted = false;
    };
    struct Item {
        Block block;
        Waiter* waiter;
    };
    // Blocks run before a busy queue yields its worker to other work.
    static constexpr std::size_t kBatch = 64;
    static constexpr std::chrono::microseconds kLinger{20};

    // Called by whoever just became the owner; there is one owner at a
    // time, so at most one drain job is on its way and drainHold_ is free.
    // The hold keeps the queue alive until the job runs; the job's closure
    // is a plain pointer, which the function object stores without an
    // allocation.
    void schedule() {
        drainHold_ = std::static_pointer_cast<SerialQueue>(shared_from_this());
        ThreadPool::shared().submit(bandFor(qualityOfService()), [this] {
            const auto self = std::move(drainHold_);
            self->drain();
        });
    }

    // Runs blocks in batches taken under one lock. After each batch the
    // worker goes back to the pool if other work of this priority waits, so a
    // busy queue cannot starve its peers.
    void drain() {
        Frame frame(this);
        // The batch's vector is the thread's, kept with its room from drain
        // to drain: a drain usually finds one or two blocks, and a vector of
        // its own would cost it an allocation and its free. (A drain that
        // runs inside another one's block on the same thread has its own.)
        std::vector<Block> own;
        const bool shared = !threadBatchInUse;
        std::vector<Block>* const batch = shared ? &threadBatch : &own;
        threadBatchInUse = true;
        struct GiveBack {
            bool shared;
            ~GiveBack() {
                if (shared)
                    threadBatchInUse = false;
            }
        } giveBack{shared};
        for (;;) {
            if (!takeBatch(*batch)) {
                return;
            }
            for (auto& block : *batch) {
                block();
                block = nullptr;  // release captures in posting order
            }
            batch->clear();
            // A block handed this worker a job of its own (its next step,
            // often): that job waits for this drain to return.
            if (ThreadPool::hasLocalWork() ||
                ThreadPool::shared().hasWaitingWork(bandFor(qualityOfService()))) {
                release();
                return;
            }
            lingerForItems();
        }
    }

    // A queue posted to in a steady stream would otherwise give up its worker
    // and be scheduled again for nearly every block: the owner waits a moment
    // for more before it lets go. It pauses the core between looks and
    // yields only at every fourth clock check: the wait is bounded by its
    // time either way, and each yield is a system call (one per 16 looks was
    // a few dozen a drain); now and then one still lets a poster that needs
    // this very core run on a busy machine.
    void lingerForItems() {
        const auto until = std::chrono::steady_clock::now() + kLinger;
        for (unsigned i = 0; itemsHint_.load(std::memory_order_relaxed) == 0; ++i) {
            cpuRelax();
            if (i % 16 == 15) {
                if (ThreadPool::hasLocalWork() || std::chrono::steady_clock::now() >= until)
                    return;
                if (i % 64 == 63)
                    std::this_thread::yield();
            }
        }
    }

    // Moves up to kBatch blocks into `batch`. Returns false, having given up
    // ownership, when there is nothing left to run: the queue is empty, or a
    // sync caller is next and now owns the queue.
    bool takeBatch(std::vector<Block>& batch) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        while (!items_.empty() && batch.size() < kBatch) {
            auto& front = items_.front();
            if (front.waiter) {
                if (!batch.empty()) {
                    return true;  // run what was taken first; the waiter comes next
                }
                grantFrontWaiterLocked();
                return false;
            }
            batch.push_back(std::move(front.block));
            items_.pop_front();
        }
        itemsHint_.store(items_.size(), std::memory_order_relaxed);
        if (batch.empty()) {
            // Under the mutex, so nothing was added meanwhile; whatever is
            // added next takes the queue itself.
            active_.store(false, std::memory_order_seq_cst);
            return false;
        }
        return true;
    }

    // Hands ownership to the sync caller waiting at the front.
    void grantFrontWaiterLocked() REQUIRES(mutex_) {
        items_.front().waiter->granted = true;
        items_.front().waiter->turn.notifyOne();
        items_.pop_front();
        itemsHint_.store(items_.size(), std::memory_order_relaxed);
    }

    // Takes ownership when nobody has it; true when this call did.
    bool tryOwn() {
        bool expected = false;
        return active_.compare_exchange_strong(expected, true, std::memory_order_seq_cst);
    }

    // Hands on the ownership the caller holds: to the sync caller waiting in
    // front, or to a drain job for the blocks in front (true: the caller
    // schedules it once the mutex is let go), or to nobody when nothing
    // waits.
    bool handOnLocked() REQUIRES(mutex_) {
        if (items_.empty()) {
            active_.store(false, std::memory_order_seq_cst);
            return false;
        }
        if (items_.front().waiter) {
            grantFrontWaiterLocked();
            return false;
        }
        return true;
    }

    void acquire() EXCLUDES(mutex_) {
        // An idle queue with nothing queued: taken without the lock. With
        // blocks queued (this caller's own, say, posted just before, which
        // an owner letting go may be about to hand on) the caller queues up
        // behind them, as it must run after them.
        if (itemsHint_.load(std::memory_order_seq_cst) == 0 && tryOwn())
            return;
        Waiter waiter;
        bool drain = false;
        {
            MutexLock lock(mutex_);
            items_.push_back(Item{nullptr, &waiter});
            itemsHint_.store(items_.size(), std::memory_order_seq_cst);
            // The owner may have let go since the look above without seeing
            // this waiter: then this call hands the queue on itself (to its
            // own turn, when nothing was posted before it).
            if (tryOwn())
                drain = handOnLocked();
            if (!drain) {
                if (waiter.granted)
                    return;  // its own turn was next: no wait
                detail::ThreadPool::BlockingScope blocking;
                while (!waiter.granted)
                    waiter.turn.wait(mutex_);
                return;
            }
        }
        // Blocks posted before this call run first, on a drain job, which
        // then grants this waiter its turn.
        schedule();
        MutexLock lock(mutex_);
        detail::ThreadPool::BlockingScope blocking;
        while (!waiter.granted)
            waiter.turn.wait(mutex_);
    }

    // Gives up ownership: to the sync caller that is next, directly (it runs
    // on its own thread, so it must not wait for a pool worker), or to a new
    // drain job for the remaining blocks. With nothing queued it only clears
    // `active_`, without the lock; it then looks once more, since an item
    // added meanwhile found the queue still owned.
    void release() EXCLUDES(mutex_) {
        if (itemsHint_.load(std::memory_order_seq_cst) == 0) {
            active_.store(false, std::memory_order_seq_cst);
            if (itemsHint_.load(std::memory_order_seq_cst) == 0 || !tryOwn())
                return;
        }
        bool drain;
        {
            MutexLock lock(mutex_);
            drain = handOnLocked();
        }
        if (drain)
            schedule();
    }

    Mutex mutex_;
    std::deque<Item> items_ GUARDED_BY(mutex_);
    // items_.size(), for the owner lingering without the lock.
    std::atomic<std::size_t> itemsHint_{0};
    // Whether the queue has an owner (see above).
    std::atomic<bool> active_{false};
    // Set by schedule() and taken by the drain job it submits (the hand-over
    // through the pool orders the two).
    std::shared_ptr<SerialQueue> drainHold_;
};

// ---------------------------------------------------------------- global

class GlobalQueue final : public QueueImpl {
  public:
    using QueueImpl::QueueImpl;

    // Global queues live for the whole process, so jobs may hold `this`.
    void async(Block block) override {
        ThreadPool::shared().submit(bandFor(qualityOfService()), Job{std::move(block), this});
    }

    void asyncInGroup(Block block, Group* group) override {
        ThreadPool::shared().submit(bandFor(qualityOfService()), Job{std::move(block), this, group});
    }

    void sync(const Block& block) override {
        Frame frame(this);
        block();
    }
};

const std::shared_ptr<QueueImpl>& globalQueueForBand(int band) {
    static const auto* queues = new std::shared_ptr<QueueImpl>[kBandCount] {
        std::make_shared<GlobalQueue>("global.user-interactive", QualityOfService::UserInteractive),
            std::make_shared<GlobalQueue>("global.user-initiated", QualityOfService::UserInitiated),
            std::make_shared<GlobalQueue>("global.default", QualityOfService::Default),
            std::make_shared<GlobalQueue>("global.utility", QualityOfService::Utility),
            std::make_shared<GlobalQueue>("global.background", QualityOfService::Background),
    };
    return queues[band];
}

}  // namespace
}  // namespace detail

// ---------------------------------------------------------------- Queue

namespace {

const detail::QueueImpl& checked(const std::shared_ptr<detail::QueueImpl>& impl) {
    if (!impl) {
        throw DispatchException("operation on an empty Queue handle");
    }
    return *impl;
}

detail::QueueImpl& mutableChecked(const std::shared_ptr<detail::QueueImpl>& impl) {
    checked(impl);
    return *impl;
}

// An empty block would only fail later, on a worker where nobody can catch it.
void requireBlock(const Block& block, const char* operation) {
    if (!block) {
        throw std::invalid_argument(std::string(operation) + ": empty block");
    }
}

}  // namespace

Queue Queue::serial(std::string label, QualityOfService qos) {
    return Queue(std::make_shared<detail::SerialQueue>(std::move(label), qos));
}

namespace {

// The global queues and the main queue live for the whole process, so their
// handles need not own them: a handle made here shares no owner (an aliasing
// pointer with none), and copying or dropping it touches no reference count,
// a line that every thread handing such a queue around would otherwise write.
Queue unownedHandle(const std::shared_ptr<detail::QueueImpl>& impl) {
    return Queue(std::shared_ptr<detail::QueueImpl>(std::shared_ptr<detail::QueueImpl>(), impl.get()));
}

const Queue& globalHandle(int band) {
    static const auto* handles = new Queue[detail::kBandCount]{
        unownedHandle(detail::globalQueueForBand(0)), unownedHandle(detail::globalQueueForBand(1)),
        unownedHandle(detail::globalQueueForBand(2)), unownedHandle(detail::globalQueueForBand(3)),
        unownedHandle(detail::globalQueueForBand(4))};
    return handles[band];
}

}  // namespace

Queue Queue::global(QualityOfService qos) {
    return globalHandle(detail::bandFor(qos));
}

Queue Queue::global(Priority priority) {
    switch (priority) {
        case Priority::High:
            return global(QualityOfService::UserInitiated);
        case Priority::Low:
            return global(QualityOfService::Utility);
        case Priority::Background:
            return global(QualityOfService::Background);
        case Priority::Default:
            break;
    }
    return global(QualityOfService::Default);
}

Queue Queue::main() {
    static const auto* handle = new Queue(unownedHandle(detail::mainQueueImpl()));
    return *handle;
}

Queue mainQueue() {
    return Queue::main();
}

void Queue::async(Block block) const {
    requireBlock(block, "Queue::async");
    mutableChecked(impl_).async(std::move(block));
}

void Queue::sync(const Block& block) const {
    requireBlock(block, "Queue::sync");
    mutableChecked(impl_).sync(block);
}

void Queue::after(double seconds, Block block) const {
    if (std::isnan(seconds)) {
        throw std::invalid_argument("Queue::after: the delay is NaN");
    }
    requireBlock(block, "Queue::after");
    auto clock = checked(impl_).clock();
    double deadline = clock->now() + std::max(seconds, 0.0);
    clock->schedule(deadline, Clock::nextOrder(),
                    [impl = impl_, block = std::move(block)]() mutable { impl->async(std::move(block)); });
}

void Queue::setClock(std::shared_ptr<Clock> clock) const {
    mutableChecked(impl_).setClock(std::move(clock));
}

std::shared_ptr<Clock> Queue::clock() const {
    return checked(impl_).clock();
}

const std::string& Queue::label() const {
    return checked(impl_).label();
}

QualityOfService Queue::qualityOfService() const {
    return checked(impl_).qualityOfService();
}

bool Queue::isMain() const {
    return checked(impl_).isMain();
}

bool Queue::isCurrent() const {
    return checked(impl_).isCurrent();
}

namespace {

[[noreturn]] void threadRuleBroken(const Queue& queue, const char* rule) {
    // Standard error may be gone; the abort that follows says enough then.
    (void)std::fprintf(stderr, "dispatch: thread rule broken: %s queue \"%s\"\n", rule,
                       queue.label().c_str());
    std::abort();
}

}  // namespace

void Queue::assertCurrent() const {
    if (!isCurrent())
        threadRuleBroken(*this, "called off the");
}

void Queue::assertNotCurrent() const {
    if (isCurrent())
        threadRuleBroken(*this, "called on the");
}

void Queue::setSpecific(const void* key, std::shared_ptr<void> value) const {
    mutableChecked(impl_).setSpecific(key, std::move(value));
}

std::shared_ptr<void> Queue::getSpecific(const void* key) const {
    return checked(impl_).getSpecific(key);
}

std::shared_ptr<void> Queue::currentSpecific(const void* key) {
    for (const detail::Frame* frame = detail::Frame::top(); frame; frame = frame->previous) {
        if (auto value = frame->queue->getSpecific(key)) {
            return value;
        }
    }
    // The main thread counts as being on the main queue even between blocks.
    const auto& main = detail::mainQueueImpl();
    return main->isCurrent() ? main->getSpecific(key) : nullptr;
}

const std::shared_ptr<detail::QueueImpl>& Queue::impl() const {
    return impl_;
}

bool runChainHere(const std::function<void()>& work, const std::function<bool()>& onBlock) {
    return detail::ThreadPool::shared().runChainHere(work, onBlock);
}

}  // namespace plat::dispatch
