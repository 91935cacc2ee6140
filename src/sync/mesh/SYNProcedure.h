// SYNProcedure: an ordered list of steps run one after another on the main
// thread through an asynchronous task queue, stopping at the first error,
// with a progress fraction weighted by step.
//
// A step is skipped when it is disabled, unless an enabled step depends on
// it: prepareToProceed enables the dependencies of enabled steps until
// nothing changes. Dependencies never change the order: steps run in list
// order.
//
// Progress = sum(weight x fraction) / sum(weight) over the enabled steps,
// where fraction = completed / total (a total of 0 counts as 1, fractions
// are capped at 1). It is recomputed whenever a step's unit counts change
// (setting a count to the value it has is no change),
// on the thread that changes them, and once when a run starts; the progress
// block is called after each update, so it must be safe on any thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNAsynchronousTaskQueue.h"

class SYNProcedure;

class SYNProcedureStep : public std::enable_shared_from_this<SYNProcedureStep> {
  public:
    using Ptr = std::shared_ptr<SYNProcedureStep>;
    // The work of the step: it must call the completion once, from any
    // thread, with its error or null. Later calls are ignored.
    using ExecutionBlock = std::function<void(const Ptr& step, SYNCompletion completion)>;

    static Ptr create() { return std::make_shared<SYNProcedureStep>(); }

    ExecutionBlock executionBlock;

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }

    uint64_t totalUnitCount() const { return totalUnitCount_; }
    void setTotalUnitCount(uint64_t count);
    uint64_t numberOfUnitsCompleted() const { return unitsCompleted_; }
    void setNumberOfUnitsCompleted(uint64_t count);
    // Adds to the completed units atomically (progress blocks of concurrent
    // work call it).
    void addUnitsCompleted(uint64_t count);

    double progressWeight() const { return progressWeight_; }
    void setProgressWeight(double weight) { progressWeight_ = weight; }

    // A tag: the mesh puts the phase number here.
    plat::Value representedObject;

    std::vector<Ptr> dependencies() const EXCLUDES(mutex_);
    // No duplicates: a repeated add moves the step to the end.
    void addDependency(const Ptr& step) EXCLUDES(mutex_);
    void removeDependency(const Ptr& step) EXCLUDES(mutex_);
    // An enabled step enables its dependencies.
    void prepareToProceed();

    // The fraction of the step done, 0 to 1.
    double fractionCompleted() const;

  private:
    friend class SYNProcedure;
    void countsChanged() EXCLUDES(mutex_);

    std::atomic<bool> enabled_{true};
    std::atomic<uint64_t> totalUnitCount_{1};
    std::atomic<uint64_t> unitsCompleted_{0};
    double progressWeight_ = 1.0;
    mutable plat::Mutex mutex_;
    std::vector<Ptr> dependencies_ GUARDED_BY(mutex_);
    // The procedures whose progress follows this step's unit counts.
    std::vector<std::weak_ptr<SYNProcedure>> observers_ GUARDED_BY(mutex_);
};

class SYNProcedure : public std::enable_shared_from_this<SYNProcedure> {
  public:
    using Ptr = std::shared_ptr<SYNProcedure>;
    static Ptr create() { return std::make_shared<SYNProcedure>(); }
    ~SYNProcedure();

    std::vector<SYNProcedureStep::Ptr> procedureSteps() const EXCLUDES(mutex_);
    std::vector<SYNProcedureStep::Ptr> enabledProcedureSteps() const;
    void addProcedureStep(const SYNProcedureStep::Ptr& step) EXCLUDES(mutex_);
    void removeProcedureStep(const SYNProcedureStep::Ptr& step) EXCLUDES(mutex_);
    // Null when the index is not below the count.
    SYNProcedureStep::Ptr procedureStepAtIndex(std::size_t index) const EXCLUDES(mutex_);
    std::vector<SYNProcedureStep::Ptr> procedureStepsForRepresentedObject(const plat::Value& object) const;
    void disableAllSteps();

    // Enables the dependencies of enabled steps until nothing changes.
    void prepareToProceed();
    void updateProgress() EXCLUDES(mutex_);
    double progress() const { return progress_; }

    // Called after every progress update, on the updating thread.
    void setProgressUpdateBlock(std::function<void()> block) EXCLUDES(mutex_);

    // The step that runs; null between runs.
    SYNProcedureStep::Ptr currentProcedureStep() const EXCLUDES(mutex_);
    std::shared_ptr<SYNAsynchronousTaskQueue> taskQueue() const EXCLUDES(mutex_);
    // Handed to the task queue's info when a run starts.
    plat::Value taskQueueInfo;

    // Runs the enabled steps on the queue (the main operation queue for
    // proceedWithCompletion). The completion runs once on the main thread
    // with the first step error, or SYNErrorCancelled when the task queue
    // was cancelled.
    void proceedInOperationQueue(const std::shared_ptr<plat::dispatch::OperationQueue>& queue,
                                 SYNCompletion completion) EXCLUDES(mutex_);
    void proceedWithCompletion(SYNCompletion completion);

  private:
    mutable plat::Mutex mutex_;
    std::vector<SYNProcedureStep::Ptr> steps_ GUARDED_BY(mutex_);
    // Shared, so that an update takes it without copying what it holds.
    std::shared_ptr<const std::function<void()>> progressBlock_ GUARDED_BY(mutex_);
    SYNProcedureStep::Ptr currentStep_ GUARDED_BY(mutex_);
    std::shared_ptr<SYNAsynchronousTaskQueue> taskQueue_ GUARDED_BY(mutex_);
    std::atomic<double> progress_{0.0};
};
