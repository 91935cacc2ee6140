// Operation: a unit of work for an OperationQueue, or to start() directly.
//
// A synchronous operation (the default) does its work in main() and is
// finished when start() returns. An asynchronous operation (isAsynchronous()
// true) stays executing after main() returns, until it calls finish() from
// any thread; a queue keeps its slot taken until then.
//
// States move Pending -> Executing -> Finished, or Pending -> Finished for an
// operation that was cancelled before it started: start() on a cancelled
// operation finishes it at once without calling main(). Subclasses that
// override start() must do the same. An exception out of main() finishes the
// operation (asynchronous ones too, so a queue gets its slot back) and then
// reaches the caller of start(). cancel() only sets a flag that the work
// should test; it never interrupts running work.
//
// The completion block runs exactly once, on the thread that finishes the
// operation, after the owning queue has taken the operation off its list. A
// completion block set after the operation finished is not called.
//
// Operations are owned through std::shared_ptr (create them with
// std::make_shared); all members may be called from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Mutex.h"

namespace plat::dispatch {

class OperationQueue;
class Operation;

namespace detail {
// The queue an operation was added to, as the operation sees it: told when
// the operation may have become ready and when it has finished. The
// operation holds it from the add until it finishes, so a queue whose last
// handle is gone still sees its operations through.
class OperationOwner {
  public:
    virtual void operationReadinessChanged() = 0;
    virtual void operationFinished(const Operation* operation) = 0;

  protected:
    ~OperationOwner() = default;
};
}  // namespace detail

class Operation : public std::enable_shared_from_this<Operation> {
  public:
    Operation() = default;
    virtual ~Operation() = default;
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Throws DispatchException when the operation already started.
    virtual void start();
    virtual void main() {}
    virtual bool isAsynchronous() const { return false; }
    // True for an operation whose start() moves to the main thread anyway:
    // an operation queue then starts it there, not on a worker that would
    // only hand it on (a wake-up of each thread spared).
    virtual bool startsOnMainThread() const { return false; }

    // Subclasses that override it must call Operation::cancel().
    virtual void cancel();
    bool isCancelled() const { return cancelled_.load(); }
    bool isExecuting() const EXCLUDES(mutex_);
    bool isFinished() const EXCLUDES(mutex_);
    // True when every dependency has finished, or the operation is cancelled
    // (a cancelled operation ignores its dependencies so that it can finish).
    bool isReady() const EXCLUDES(mutex_);

    void setCompletionBlock(Block block) EXCLUDES(mutex_);

    // The operation becomes ready only once `other` has finished, whichever
    // queue runs it. Throws std::invalid_argument for null or itself.
    void addDependency(const std::shared_ptr<Operation>& other) EXCLUDES(mutex_);
    void removeDependency(const std::shared_ptr<Operation>& other) EXCLUDES(mutex_);
    std::vector<std::shared_ptr<Operation>> dependencies() const EXCLUDES(mutex_);

    // Unspecified means the queue's.
    void setQualityOfService(QualityOfService qos) EXCLUDES(mutex_);
    QualityOfService qualityOfService() const EXCLUDES(mutex_);
    void setName(std::string name) EXCLUDES(mutex_);
    std::string name() const EXCLUDES(mutex_);

    // Blocks until finished. Never call it from the work it waits for.
    void waitUntilFinished() EXCLUDES(mutex_);

  protected:
    // For asynchronous operations that override start().
    void markExecuting() EXCLUDES(mutex_);
    // Marks the operation finished (and no longer executing), then tells its
    // queue and dependents and runs the completion block. Later calls do
    // nothing.
    void finish() EXCLUDES(mutex_);

  private:
    friend class OperationQueue;
    enum class State { Pending, Executing, Finished };

    // The queue's hook: false when the operation is already in a queue or no
    // longer pending.
    bool claimForQueue(std::shared_ptr<detail::OperationOwner> owner) EXCLUDES(mutex_);
    // Calls `observer` when the operation finishes; false (and no call) when
    // it has already finished.
    bool addFinishObserver(std::function<void()> observer) EXCLUDES(mutex_);
    void readinessChanged() EXCLUDES(mutex_);
    // isReady(), and the operation's own quality of service, with one lock
    // for an operation without dependencies.
    bool readyForQueue(QualityOfService& qos) const EXCLUDES(mutex_);

    mutable Mutex mutex_;
    ConditionVariable finished_;
    State state_ GUARDED_BY(mutex_) = State::Pending;
    std::atomic<bool> cancelled_{false};
    bool claimed_ GUARDED_BY(mutex_) = false;
    bool started_ GUARDED_BY(mutex_) = false;
    Block completion_ GUARDED_BY(mutex_);
    // The queue that claimed the operation, until it finishes (told first).
    std::shared_ptr<detail::OperationOwner> owner_ GUARDED_BY(mutex_);
    // Set by the queue when it posts the start and taken by the posted job:
    // the operation stays alive until the job has run, whatever else lets
    // go of it meanwhile.
    std::shared_ptr<Operation> startHold_;
    std::vector<std::function<void()>> finishObservers_ GUARDED_BY(mutex_);
    std::vector<std::shared_ptr<Operation>> dependencies_ GUARDED_BY(mutex_);
    QualityOfService qos_ GUARDED_BY(mutex_) = QualityOfService::Unspecified;
    std::string name_ GUARDED_BY(mutex_);
};

// An operation that runs one block.
class BlockOperation : public Operation {
  public:
    explicit BlockOperation(Block block) : block_(std::move(block)) {}
    static std::shared_ptr<BlockOperation> create(Block block) {
        return std::make_shared<BlockOperation>(std::move(block));
    }
    void main() override {
        if (block_) {
            block_();
        }
    }

  private:
    Block block_;
};

}  // namespace plat::dispatch
