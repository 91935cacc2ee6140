#include "platform/dispatch/OperationQueue.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <algorithm>
#include <climits>
#include <list>
#include <stdexcept>

#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/MainLoop.h"

namespace plat::dispatch {

struct OperationQueue::State : std::enable_shared_from_this<State> {
    struct Entry {
        std::shared_ptr<Operation> operation;
        bool started = false;
    };

    explicit State(std::string name, bool main = false) : name(std::move(name)), isMain(main) {}

    // Lock order: this mutex, then an operation's (pump asks operations
    // whether they are ready while holding it). Operations never call their
    // queue with their own lock held: they copy the readiness hook first.
    mutable Mutex mutex;
    ConditionVariable empty;
    std::list<Entry> entries GUARDED_BY(mutex);  // in the order added
    int executing GUARDED_BY(mutex) = 0;
    int maxCount GUARDED_BY(mutex) = DefaultMaxConcurrentOperationCount;
    bool suspended GUARDED_BY(mutex) = false;
    QualityOfService qos GUARDED_BY(mutex) = QualityOfService::Default;
    std::string name GUARDED_BY(mutex);
    const bool isMain;

    Queue queueFor(const Operation& operation) const REQUIRES(mutex) {
        if (isMain || operation.startsOnMainThread()) {
            return Queue::main();
        }
        auto qos = operation.qualityOfService();
        return Queue::global(qos == QualityOfService::Unspecified ? this->qos : qos);
    }

    // Starts ready operations, in order, while slots are free.
    void pump() EXCLUDES(mutex) {
        std::vector<std::shared_ptr<Operation>> due;
        std::vector<Queue> targets;
        {
            MutexLock lock(mutex);
            int limit = isMain ? 1 : (maxCount < 0 ? INT_MAX : maxCount);
            for (auto& entry : entries) {
                if (suspended || executing >= limit) {
                    break;
                }
                if (entry.started || !entry.operation->isReady()) {
                    continue;
                }
                entry.started = true;
                ++executing;
                due.push_back(entry.operation);
                targets.push_back(queueFor(*entry.operation));
            }
        }
        for (std::size_t i = 0; i < due.size(); ++i) {
            targets[i].async([operation = due[i]] { operation->start(); });
        }
    }

    void finished(const Operation* operation) EXCLUDES(mutex) {
        {
            MutexLock lock(mutex);
            auto found = entries.begin();
            while (found != entries.end() && found->operation.get() != operation)
                ++found;
            if (found == entries.end()) {
                return;
            }
            if (found->started) {
                --executing;
            }
            entries.erase(found);
            if (entries.empty()) {
                empty.notifyAll();
            }
        }
        pump();
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
    std::weak_ptr<State> weak = state_;
    if (!operation->claimForQueue([weak] {
            if (auto state = weak.lock()) {
                state->pump();
            }
        })) {
        throw DispatchException(
            "OperationQueue::addOperation: the operation is already in a queue, "
            "executing or finished");
    }
    // The observer holds the state: a queue dropped by its owner still sees
    // its operations through.
    operation->addFinishObserver([state = state_, raw = operation.get()] { state->finished(raw); });
    {
        MutexLock lock(state_->mutex);
        state_->entries.push_back(State::Entry{std::move(operation)});
    }
    state_->pump();
}

void OperationQueue::addOperationWithBlock(Block block) {
    addOperation(BlockOperation::create(std::move(block)));
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
    MutexLock lock(state_->mutex);
    std::vector<std::shared_ptr<Operation>> result;
    result.reserve(state_->entries.size());
    for (const auto& entry : state_->entries) {
        result.push_back(entry.operation);
    }
    return result;
}

std::size_t OperationQueue::operationCount() const {
    MutexLock lock(state_->mutex);
    return state_->entries.size();
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
    if (state_->entries.empty())
        return;
    detail::ThreadPool::BlockingScope blocking;
    while (!state_->entries.empty())
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
