#include "sync/eventstore/SYNAsynchronousTaskQueue.h"

#include <atomic>
#include <exception>
#include <memory>

#include "platform/dispatch/Queue.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"

namespace {

int checkedPolicy(int policy) {
    if (policy < SYNTaskQueueTerminationPolicyStopOnError ||
        policy > SYNTaskQueueTerminationPolicyCompleteAll) {
        throw SYNException("Invalid policy");
    }
    return policy;
}

plat::ErrorPtr errorForException(const std::exception& exception) {
    return plat::Error::make(SYNErrorDomain, SYNErrorUnknown,
                             {{plat::LocalizedFailureReasonErrorKey, plat::Value(exception.what())}});
}

}  // namespace

SYNAsynchronousTaskQueue::SYNAsynchronousTaskQueue(std::vector<SYNTask> tasks, int terminationPolicy,
                                                   SYNCompletion completion)
    : tasks_(std::make_shared<const std::vector<SYNTask>>(std::move(tasks))),
      taskCount_(tasks_->size()),
      policy_(checkedPolicy(terminationPolicy)),
      completion_(std::move(completion)) {}

SYNAsynchronousTaskQueue::SYNAsynchronousTaskQueue(std::vector<SYNTask> tasks, SYNCompletion completion)
    : SYNAsynchronousTaskQueue(std::move(tasks), SYNTaskQueueTerminationPolicyStopOnError,
                               std::move(completion)) {}

SYNAsynchronousTaskQueue::SYNAsynchronousTaskQueue(SYNTask task, SYNCompletion completion)
    : SYNAsynchronousTaskQueue(std::vector<SYNTask>{std::move(task)}, std::move(completion)) {}

plat::Value SYNAsynchronousTaskQueue::info() const {
    plat::MutexLock lock(infoMutex_);
    return info_;
}

void SYNAsynchronousTaskQueue::setInfo(plat::Value info) {
    plat::MutexLock lock(infoMutex_);
    info_ = std::move(info);
}

void SYNAsynchronousTaskQueue::beginAsynchronousTask() {
    results_.reserve(taskCount_);
    runTask(0);
}

void SYNAsynchronousTaskQueue::runTask(std::size_t index) {
    plat::dispatch::Queue::main().assertCurrent();
    if (isCancelled()) {
        complete(SYNMakeError(SYNErrorCancelled));
        return;
    }
    // Held, not copied: a task that pumps the main loop could see the queue
    // complete and drop its tasks while this one still runs.
    const std::shared_ptr<const std::vector<SYNTask>> tasks = tasks_;
    if (!tasks || index >= tasks->size()) {
        complete(result());
        return;
    }
    // What every `next` of this task shares. Only the first call counts, and
    // it always continues on main whatever thread the task finishes on: the
    // results are touched only there.
    struct Run {
        std::shared_ptr<SYNAsynchronousTaskQueue> queue;
        std::size_t index;
        std::atomic<bool> called{false};
    };
    auto run = std::make_shared<Run>();
    run->queue = std::static_pointer_cast<SYNAsynchronousTaskQueue>(shared_from_this());
    run->index = index;
    auto next = [run](plat::ErrorPtr error, bool stop) {
        if (run->called.exchange(true)) {
            SYN_LOG(SYNLoggingLevelError, "Task %lu of a task queue finished more than once",
                    static_cast<unsigned long>(run->index));
            return;
        }
        plat::dispatch::Queue::main().async([run, error = std::move(error), stop]() mutable {
            run->queue->taskFinished(run->index, std::move(error), stop);
        });
    };
    try {
        (*tasks)[index](SYNTaskCompletion(next));
    } catch (const std::exception& exception) {
        SYN_LOG(SYNLoggingLevelError, "Task %lu of a task queue raised an exception: %s",
                static_cast<unsigned long>(index), exception.what());
        next(errorForException(exception), false);
    }
}

void SYNAsynchronousTaskQueue::taskFinished(std::size_t index, plat::ErrorPtr error, bool stop) {
    plat::dispatch::Queue::main().assertCurrent();
    const bool goOn = shouldContinue(error, stop);
    results_.push_back(std::move(error));
    if (goOn) {
        runTask(index + 1);
        return;
    }
    complete(isCancelled() ? SYNMakeError(SYNErrorCancelled) : result());
}

bool SYNAsynchronousTaskQueue::shouldContinue(const plat::ErrorPtr& error, bool stop) const {
    if (stop) {
        return false;
    }
    switch (policy_) {
        case SYNTaskQueueTerminationPolicyStopOnError:
            return error == nullptr;
        case SYNTaskQueueTerminationPolicyStopOnSuccess:
            return error != nullptr;
        default:
            return true;
    }
}

plat::ErrorPtr SYNAsynchronousTaskQueue::result() const {
    if (results_.empty()) {
        return nullptr;
    }
    // Stop-on-error reports the last task's outcome; the other policies report
    // every task's outcome (nulls included, by position) once any failed.
    switch (policy_) {
        case SYNTaskQueueTerminationPolicyStopOnError:
            return results_.back();
        case SYNTaskQueueTerminationPolicyStopOnSuccess:
            return results_.back() ? combinedErrors() : nullptr;
        default:
            for (const auto& error : results_) {
                if (error) {
                    return combinedErrors();
                }
            }
            return nullptr;
    }
}

plat::ErrorPtr SYNAsynchronousTaskQueue::combinedErrors() const {
    if (results_.size() == 1) {
        return results_.front();
    }
    plat::Array errors;
    errors.reserve(results_.size());
    for (const auto& error : results_) {
        errors.push_back(error ? plat::Value(error) : plat::Value());
    }
    return plat::Error::make(SYNErrorDomain, SYNErrorMultipleErrors,
                             {{SYNErrorsKey, plat::Value(std::move(errors))}});
}

void SYNAsynchronousTaskQueue::complete(plat::ErrorPtr error) {
    if (completed_) {
        return;
    }
    completed_ = true;
    // Tasks and completions often hold their owner, which holds this queue:
    // drop them once done so that nothing keeps a cycle alive.
    auto completion = std::move(completion_);
    completion_ = nullptr;
    tasks_ = nullptr;
    // The operation ends after the completion ran, even when it throws: a
    // serial operation queue must not start the next one before.
    struct End {
        SYNAsynchronousTaskQueue* queue;
        ~End() { queue->endAsynchronousTask(); }
    } end{this};
    if (completion) {
        completion(std::move(error));
    }
}
