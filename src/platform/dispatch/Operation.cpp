#include "platform/dispatch/Operation.h"

#include "platform/dispatch/detail/ThreadPool.h"

#include <algorithm>
#include <stdexcept>

#include "platform/dispatch/DispatchException.h"

namespace plat::dispatch {

void Operation::start() {
    bool cancelled;
    {
        MutexLock lock(mutex_);
        // Checked and marked in one step: of two racing start() calls only
        // one may run the work. Executing from here unless cancelled: the
        // same as markExecuting(), without a second lock.
        if (state_ != State::Pending || started_) {
            throw DispatchException("Operation::start: the operation \"" + name_ + "\" already started");
        }
        started_ = true;
        cancelled = isCancelled();
        if (!cancelled) {
            state_ = State::Executing;
        }
    }
    if (cancelled) {
        finish();
        return;
    }
    if (isAsynchronous()) {
        try {
            main();
        } catch (...) {
            finish();  // it can no longer say it has finished: free its slot
            throw;
        }
        return;
    }
    struct Finish {
        Operation* operation;
        ~Finish() { operation->finish(); }
    } finish{this};
    main();
}

void Operation::cancel() {
    if (cancelled_.exchange(true)) {
        return;
    }
    readinessChanged();
}

bool Operation::isExecuting() const {
    MutexLock lock(mutex_);
    return state_ == State::Executing;
}

bool Operation::isFinished() const {
    MutexLock lock(mutex_);
    return state_ == State::Finished;
}

bool Operation::isReady() const {
    if (isCancelled()) {
        return true;
    }
    {
        MutexLock lock(mutex_);
        if (dependencies_.empty())
            return true;
    }
    // Copy first: a dependency is checked without holding our lock, so that
    // even a (mistaken) dependency cycle cannot deadlock two threads.
    auto deps = dependencies();
    return std::all_of(deps.begin(), deps.end(), [](const auto& dep) { return dep->isFinished(); });
}

void Operation::setCompletionBlock(Block block) {
    MutexLock lock(mutex_);
    if (state_ != State::Finished) {
        completion_ = std::move(block);
    }
}

void Operation::addDependency(const std::shared_ptr<Operation>& other) {
    if (!other || other.get() == this) {
        throw std::invalid_argument("Operation::addDependency: null or self dependency");
    }
    {
        MutexLock lock(mutex_);
        dependencies_.push_back(other);
    }
    other->addFinishObserver([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->readinessChanged();
        }
    });
}

void Operation::removeDependency(const std::shared_ptr<Operation>& other) {
    {
        MutexLock lock(mutex_);
        std::erase(dependencies_, other);
    }
    readinessChanged();
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
    MutexLock lock(mutex_);
    return dependencies_;
}

void Operation::setQualityOfService(QualityOfService qos) {
    MutexLock lock(mutex_);
    qos_ = qos;
}

QualityOfService Operation::qualityOfService() const {
    MutexLock lock(mutex_);
    return qos_;
}

void Operation::setName(std::string name) {
    MutexLock lock(mutex_);
    name_ = std::move(name);
}

std::string Operation::name() const {
    MutexLock lock(mutex_);
    return name_;
}

void Operation::waitUntilFinished() {
    MutexLock lock(mutex_);
    if (state_ == State::Finished)
        return;
    detail::ThreadPool::BlockingScope blocking;
    while (state_ != State::Finished)
        finished_.wait(mutex_);
}

void Operation::markExecuting() {
    MutexLock lock(mutex_);
    if (state_ == State::Pending) {
        state_ = State::Executing;
    }
}

void Operation::finish() {
    auto keepAlive = weak_from_this().lock();  // observers may drop the last owner
    std::shared_ptr<detail::OperationOwner> owner;
    std::vector<std::function<void()>> observers;
    Block completion;
    {
        MutexLock lock(mutex_);
        if (state_ == State::Finished) {
            return;
        }
        state_ = State::Finished;
        owner.swap(owner_);
        observers.swap(finishObservers_);
        completion.swap(completion_);
        finished_.notifyAll();
    }
    // The queue first: it takes the operation off its list (and starts the
    // next) before dependents hear of it and before the completion block.
    if (owner) {
        owner->operationFinished(this);
    }
    for (auto& observer : observers) {
        observer();
    }
    if (completion) {
        completion();
    }
}

bool Operation::readyForQueue(QualityOfService& qos) const {
    {
        MutexLock lock(mutex_);
        qos = qos_;
        if (dependencies_.empty() || isCancelled())
            return true;
    }
    return isReady();
}

bool Operation::claimForQueue(std::shared_ptr<detail::OperationOwner> owner) {
    MutexLock lock(mutex_);
    if (claimed_ || started_ || state_ != State::Pending) {
        return false;
    }
    claimed_ = true;
    owner_ = std::move(owner);
    return true;
}

bool Operation::addFinishObserver(std::function<void()> observer) {
    MutexLock lock(mutex_);
    if (state_ == State::Finished) {
        return false;
    }
    finishObservers_.push_back(std::move(observer));
    return true;
}

void Operation::readinessChanged() {
    std::shared_ptr<detail::OperationOwner> owner;
    {
        MutexLock lock(mutex_);
        owner = owner_;
    }
    if (owner) {
        owner->operationReadinessChanged();
    }
}

}  // namespace plat::dispatch
