#include "platform/dispatch/OperationQueue.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>

#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/detail/QueueImpl.h"

namespace plat::dispatch {

struct OperationQueue::State final : detail::OperationOwner, std::enable_shared_from_this<State> {
    // An operation, or a plain block (addBlock): no operation object, the
    // block kept here until it starts, and the queue's state held by the
    // entry until the block has run (the job that runs it names the state
    // by a plain pointer).
    struct Entry {
        std::shared_ptr<Operation> operation;  // null for a plain block, and once finished
        Block block;
        std::shared_ptr<State> hold;
        bool started = false;
        bool finished = false;
    };

    explicit State(std::string name, bool main = false) : name(std::move(name)), isMain(main) {}

    // Lock order: this mutex, then an operation's (pump asks operations
    // whether they are ready while holding it). Operations never call their
    // queue with their own lock held: they copy their owner pointer first.
    mutable Mutex mutex;
    ConditionVariable empty;
    // In the order added, from `head` on; a finished operation's entry is
    // cleared where it stands and dropped once it reaches the head (they
    // mostly finish in order), and the vector is emptied, keeping its room,
    // whenever no operation is left. One vector for the queue's life
    // instead of a list node per operation.
    std::vector<Entry> entries GUARDED_BY(mutex);
    // Entries are numbered in the order added; this is the number of
    // entries[0] (a plain block's job finds its entry by number).
    std::uint64_t firstNumber GUARDED_BY(mutex) = 0;
    std::size_t head GUARDED_BY(mutex) = 0;
    std::size_t count GUARDED_BY(mutex) = 0;  // entries not yet finished
    int executing GUARDED_BY(mutex) = 0;
    int maxCount GUARDED_BY(mutex) = DefaultMaxConcurrentOperationCount;
    bool suspended GUARDED_BY(mutex) = false;
    QualityOfService qos GUARDED_BY(mutex) = QualityOfService::Default;
    std::string name GUARDED_BY(mutex);
    const bool isMain;

    // The main queue and the global queues live for the whole process, so
    // a plain pointer to one stays valid.
    detail::QueueImpl* queueFor(bool onMainThread, QualityOfService qos) const REQUIRES(mutex) {
        if (isMain || onMainThread) {
            return detail::mainQueueImpl().get();
        }
        return Queue::global(qos == QualityOfService::Unspecified ? this->qos : qos).impl().get();
    }

    void add(Entry entry) EXCLUDES(mutex) {
        MutexLock lock(mutex);
        if (entries.capacity() == 0)
            entries.reserve(8);
        entries.push_back(std::move(entry));
        ++count;
    }

    // Starts ready operations, in order, while slots are free.
    void pump() EXCLUDES(mutex) {
        struct Due {
            Operation* operation;  // null for a plain block
            detail::QueueImpl* target;
            std::uint64_t number;
        };
        // Usually one or none: the first few need no allocation.
        constexpr std::size_t kInline = 8;
        Due inlineDue[kInline];
        std::size_t inlineCount = 0;
        std::vector<Due> moreDue;
        {
            MutexLock lock(mutex);
            int limit = isMain ? 1 : (maxCount < 0 ? INT_MAX : maxCount);
            for (std::size_t i = head; i < entries.size(); ++i) {
                if (suspended || executing >= limit) {
                    break;
                }
                Entry& entry = entries[i];
                QualityOfService operationQos = QualityOfService::Unspecified;
                if (entry.finished || entry.started ||
                    (entry.operation && !entry.operation->readyForQueue(operationQos))) {
                    continue;
                }
                entry.started = true;
                ++executing;
                // Only this pump posts the operation's start (entry.started
                // is set once, under the mutex); the job takes the hold.
                if (entry.operation)
                    entry.operation->startHold_ = entry.operation;
                const bool onMainThread = entry.operation && entry.operation->startsOnMainThread();
                const Due due{entry.operation.get(), queueFor(onMainThread, operationQos), firstNumber + i};
                if (inlineCount < kInline)
                    inlineDue[inlineCount++] = due;
                else
                    moreDue.push_back(due);
            }
        }
        auto post = [this](const Due& due) {
            // Captures of two pointers at most: the job needs no allocation.
            if (!due.operation) {
                due.target->async([state = this, number = due.number] { state->runBlock(number); });
                return;
            }
            due.target->async([operation = due.operation] {
                auto self = std::move(operation->startHold_);
                self->start();
            });
        };
        for (std::size_t i = 0; i < inlineCount; ++i)
            post(inlineDue[i]);
        for (const auto& due : moreDue)
            post(due);
    }

    void operationReadinessChanged() override { pump(); }

    void operationFinished(const Operation* operation) override EXCLUDES(mutex) {
        {
            MutexLock lock(mutex);
            std::size_t i = head;
            while (i < entries.size() && (entries[i].finished || entries[i].operation.get() != operation))
                ++i;
            if (i == entries.size()) {
                return;
            }
            entries[i].operation.reset();
            if (!entryFinished(i))
                return;  // nothing left to start
        }
        pump();
    }

    // A plain block's job: the block runs as an operation's main() would,
    // and its entry finishes however it ends (an exception then goes on to
    // the queue that ran the job, as it does out of an operation's start()).
    void runBlock(std::uint64_t number) EXCLUDES(mutex) {
        Block block;
        {
            MutexLock lock(mutex);
            block = std::move(entries[number - firstNumber].block);
        }
        struct Finish {
            State* state;
            std::uint64_t number;
            ~Finish() { state->blockFinished(number); }
        } finish{this, number};
        block();
    }

    void blockFinished(std::uint64_t number) EXCLUDES(mutex) {
        // The entry's hold may be the state's last owner: it goes last, after
        // the lock and the pump.
        std::shared_ptr<State> hold;
        {
            MutexLock lock(mutex);
            hold = std::move(entries[number - firstNumber].hold);
            if (!entryFinished(number - firstNumber))
                return;  // nothing left to start
        }
        pump();
    }

    // Marks entries[i] finished; false when no entry is left.
    bool entryFinished(std::size_t i) REQUIRES(mutex) {
        if (entries[i].started) {
            --executing;
        }
        entries[i].finished = true;
        --count;
        if (count == 0) {
            firstNumber += entries.size();
            entries.clear();
            head = 0;
            empty.notifyAll();
            return false;
        }
        while (entries[head].finished)
            ++head;
        // Finished entries in front are dropped in bulk, so that a
        // long-lived busy queue does not grow for ever.
        if (head >= 64 && head * 2 >= entries.size()) {
            entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(head));
            firstNumber += head;
            head = 0;
        }
        return true;
    }
};

OperationQueue::OperationQueue() : OperationQueue(std::string()) {}

OperationQueue::OperationQueue(std::string name) : state_(std::make_shared<State>(std::move(name))) {}

OperationQueue::OperationQueue(std::shared_ptr<State> state) : state_(std::move(state)) {}

// With no handle left nobody could resume a suspended queue: its operations
// would never run, finish or be freed (each holds the state that holds it).
OperationQueue::~OperationQueue() {
    setSuspended(false);
}

const std::shared_ptr<OperationQueue>& OperationQueue::mainQueue() {
    static const auto* queue = new std::shared_ptr<OperationQueue>(
        new OperationQueue(std::make_shared<State>("main", /*main=*/true)));
    return *queue;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    if (!operation) {
        throw std::invalid_argument("OperationQueue::addOperation: null operation");
    }
    if (!operation->claimForQueue(state_)) {
        throw DispatchException(
            "OperationQueue::addOperation: the operation is already in a queue, "
            "executing or finished");
    }
    // The operation holds the state until it finishes: a queue dropped by
    // its owner still sees its operations through.
    state_->add(State::Entry{std::move(operation), nullptr, nullptr});
    state_->pump();
}

void OperationQueue::addOperationWithBlock(Block block) {
    addOperation(BlockOperation::create(std::move(block)));
}

void OperationQueue::addBlock(Block block) {
    if (!block) {
        throw std::invalid_argument("OperationQueue::addBlock: empty block");
    }
    state_->add(State::Entry{nullptr, std::move(block), state_});
    state_->pump();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
    MutexLock lock(state_->mutex);
    std::vector<std::shared_ptr<Operation>> result;
    result.reserve(state_->count);
    for (std::size_t i = state_->head; i < state_->entries.size(); ++i) {
        if (state_->entries[i].operation)
            result.push_back(state_->entries[i].operation);
    }
    return result;
}

std::size_t OperationQueue::operationCount() const {
    MutexLock lock(state_->mutex);
    return state_->count;
}

void OperationQueue::cancelAllOperations() {
    for (const auto& operation : operations()) {
        operation->cancel();
    }
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    if (state_->isMain && MainLoop::isMainThread()) {
        while (!MainLoop::runUntil([this] { return operationCount() == 0; }, 3600)) {
        }
        return;
    }
    MutexLock lock(state_->mutex);
    if (state_->count == 0)
        return;
    detail::ThreadPool::BlockingScope blocking;
    while (state_->count != 0)
        state_->empty.wait(state_->mutex);
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    {
        MutexLock lock(state_->mutex);
        state_->maxCount = count < 0 ? DefaultMaxConcurrentOperationCount : count;
    }
    state_->pump();
}

int OperationQueue::maxConcurrentOperationCount() const {
    MutexLock lock(state_->mutex);
    return state_->isMain ? 1 : state_->maxCount;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        MutexLock lock(state_->mutex);
        state_->suspended = suspended;
    }
    state_->pump();
}

bool OperationQueue::isSuspended() const {
    MutexLock lock(state_->mutex);
    return state_->suspended;
}

void OperationQueue::setQualityOfService(QualityOfService qos) {
    MutexLock lock(state_->mutex);
    state_->qos = qos;
}

QualityOfService OperationQueue::qualityOfService() const {
    MutexLock lock(state_->mutex);
    return state_->qos;
}

void OperationQueue::setName(std::string name) {
    MutexLock lock(state_->mutex);
    state_->name = std::move(name);
}

std::string OperationQueue::name() const {
    MutexLock lock(state_->mutex);
    return state_->name;
}

}  // namespace plat::dispatch
