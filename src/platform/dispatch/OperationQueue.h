// OperationQueue: runs Operations, at most maxConcurrentOperationCount at a
// time, starting ready operations in the order they were added. A slot stays
// taken until its operation finishes (for an asynchronous operation, until it
// calls finish(), not when start() returns). A cancelled operation that has
// not started is still started in its turn, so that it finishes at once.
//
// Operations run on the global queue of their quality of service (the
// queue's when they have none); the main operation queue runs them on the
// main loop, one at a time.
//
// All members may be called from any thread. Destroying the queue object
// does not drop work: operations already added still run and finish (their
// bookkeeping keeps the queue's state alive), a suspended queue being resumed
// for them. Call cancelAllOperations() first to have them finish without
// doing their work.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Operation.h"
#include "platform/dispatch/Queue.h"

namespace plat::dispatch {

class OperationQueue {
  public:
    // As many operations at once as the worker pool runs.
    static constexpr int DefaultMaxConcurrentOperationCount = -1;

    OperationQueue();
    explicit OperationQueue(std::string name);
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // The queue that runs operations on the main thread, one at a time.
    static const std::shared_ptr<OperationQueue>& mainQueue();

    // Throws std::invalid_argument for null and DispatchException for an
    // operation that is already in a queue, executing or finished.
    void addOperation(std::shared_ptr<Operation> operation);
    void addOperationWithBlock(Block block);
    // Runs `block` in its turn as an operation added now would run, with no
    // operation object made for it: it waits while the queue is suspended,
    // takes a slot of maxConcurrentOperationCount until it returns, counts
    // in operationCount() and is waited for by
    // waitUntilAllOperationsAreFinished(). Not being an operation, it is not
    // in operations() and cancelAllOperations() does not reach it: it always
    // runs. Throws std::invalid_argument for an empty block.
    void addBlock(Block block);

    // Operations added and not yet finished, in the order added (plain
    // blocks are none).
    std::vector<std::shared_ptr<Operation>> operations() const;
    std::size_t operationCount() const;
    void cancelAllOperations();

    // Blocks until every operation added so far, and any added meanwhile, has
    // finished. On the main thread for the main operation queue it pumps the
    // main loop while it waits. A suspended queue with pending operations
    // never becomes empty; never call it from an operation of this queue.
    void waitUntilAllOperationsAreFinished();

    // A negative count means DefaultMaxConcurrentOperationCount; 0 starts
    // nothing. Always 1 for the main operation queue.
    void setMaxConcurrentOperationCount(int count);
    int maxConcurrentOperationCount() const;

    // A suspended queue starts no operation; those running go on.
    void setSuspended(bool suspended);
    bool isSuspended() const;

    void setQualityOfService(QualityOfService qos);
    QualityOfService qualityOfService() const;
    void setName(std::string name);
    std::string name() const;

    struct State;

  private:
    explicit OperationQueue(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace plat::dispatch
