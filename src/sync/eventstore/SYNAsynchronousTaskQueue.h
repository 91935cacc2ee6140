// SYNAsynchronousTaskQueue: runs asynchronous task blocks one after another
// on the main thread, as one operation that stays executing until its
// completion has run, so a serial operation queue runs nothing else
// meanwhile.
//
// Each task is called on the main thread with a `next` block that it must
// call exactly once, from any thread, with its error (null for success) and a
// stop flag; later calls of the same `next` are ignored. The next task always
// starts on the main thread, never inside the previous task's call to `next`.
// A task that throws counts as having failed with SYNErrorUnknown (the
// exception's text as failure reason).
//
// After a task the queue goes on, unless the stop flag was set, when:
//   SYNTaskQueueTerminationPolicyStopOnError (0): the task succeeded;
//   SYNTaskQueueTerminationPolicyStopOnSuccess (1): the task failed;
//   SYNTaskQueueTerminationPolicyCompleteAll (2): always.
// The completion is called exactly once, on the main thread, before the
// operation is marked finished, with:
//   SYNErrorCancelled without user info when the queue was cancelled
//   (tested before each task and at the end);
//   policy 0: the error of the last task run (null when it succeeded);
//   policy 1: null when the last task succeeded, else the combined errors;
//   policy 2: null when no task failed, else the combined errors.
// Combined errors are the one result itself when one task ran, else
// SYNErrorMultipleErrors with user info "errors": an array with one entry per
// task run, the error or null for a success. An empty task list completes with
// null as soon as the queue starts.
//
// Create with std::make_shared, then add it to an operation queue or call
// start() from any thread. Constructors throw SYNException ("Invalid policy")
// for an unknown policy.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNAsynchronousOperation.h"

enum SYNTaskQueueTerminationPolicy : int {
    SYNTaskQueueTerminationPolicyStopOnError = 0,
    SYNTaskQueueTerminationPolicyStopOnSuccess = 1,
    SYNTaskQueueTerminationPolicyCompleteAll = 2,
};

using SYNTaskCompletion = std::function<void(plat::ErrorPtr error, bool stop)>;
using SYNTask = std::function<void(SYNTaskCompletion next)>;
using SYNCompletion = std::function<void(plat::ErrorPtr error)>;

class SYNAsynchronousTaskQueue : public SYNAsynchronousOperation {
  public:
    SYNAsynchronousTaskQueue(std::vector<SYNTask> tasks, int terminationPolicy, SYNCompletion completion);
    SYNAsynchronousTaskQueue(std::vector<SYNTask> tasks, SYNCompletion completion);
    SYNAsynchronousTaskQueue(SYNTask task, SYNCompletion completion);

    int terminationPolicy() const { return policy_; }
    std::size_t numberOfTasks() const { return taskCount_; }

    // A free tag for the owner; any thread.
    plat::Value info() const;
    void setInfo(plat::Value info);

  protected:
    void beginAsynchronousTask() override;

  private:
    void runTask(std::size_t index);
    void taskFinished(std::size_t index, plat::ErrorPtr error, bool stop);
    bool shouldContinue(const plat::ErrorPtr& error, bool stop) const;
    [[nodiscard]] plat::ErrorPtr result() const;
    [[nodiscard]] plat::ErrorPtr combinedErrors() const;
    void complete(plat::ErrorPtr error);

    // Shared with the task that runs; dropped once the queue completes.
    std::shared_ptr<const std::vector<SYNTask>> tasks_;
    const std::size_t taskCount_;
    const int policy_;
    SYNCompletion completion_;
    // Touched only on the main thread (running and finishing a task assert it).
    std::vector<plat::ErrorPtr> results_;
    bool completed_ = false;

    mutable plat::Mutex infoMutex_;
    plat::Value info_ GUARDED_BY(infoMutex_);
};
