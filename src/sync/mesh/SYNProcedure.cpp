#include "sync/mesh/SYNProcedure.h"

#include <algorithm>

#include "sync/eventstore/SYNErrors.h"

// A count set to what it was changes no progress: a transfer reports its
// last fraction and its step is then marked done, which it already is.
void SYNProcedureStep::setTotalUnitCount(uint64_t count) {
    if (totalUnitCount_.exchange(count) != count) {
        countsChanged();
    }
}

void SYNProcedureStep::setNumberOfUnitsCompleted(uint64_t count) {
    if (unitsCompleted_.exchange(count) != count) {
        countsChanged();
    }
}

void SYNProcedureStep::addUnitsCompleted(uint64_t count) {
    if (count != 0) {
        unitsCompleted_ += count;
        countsChanged();
    }
}

double SYNProcedureStep::fractionCompleted() const {
    uint64_t total = totalUnitCount_;
    double fraction = static_cast<double>(unitsCompleted_) / static_cast<double>(total == 0 ? 1 : total);
    return std::min(fraction, 1.0);
}

std::vector<SYNProcedureStep::Ptr> SYNProcedureStep::dependencies() const {
    plat::MutexLock lock(mutex_);
    return dependencies_;
}

void SYNProcedureStep::addDependency(const Ptr& step) {
    plat::MutexLock lock(mutex_);
    std::erase(dependencies_, step);
    dependencies_.push_back(step);
}

void SYNProcedureStep::removeDependency(const Ptr& step) {
    plat::MutexLock lock(mutex_);
    std::erase(dependencies_, step);
}

void SYNProcedureStep::prepareToProceed() {
    if (!isEnabled()) {
        return;
    }
    for (const auto& dependency : dependencies()) {
        dependency->setEnabled(true);
    }
}

void SYNProcedureStep::countsChanged() {
    // A step nearly always belongs to one procedure: it is taken without a
    // list (counts change dozens of times a merge).
    std::shared_ptr<SYNProcedure> only;
    std::vector<std::shared_ptr<SYNProcedure>> more;
    {
        plat::MutexLock lock(mutex_);
        for (const auto& weak : observers_) {
            if (auto procedure = weak.lock()) {
                if (!only) {
                    only = std::move(procedure);
                } else {
                    more.push_back(std::move(procedure));
                }
            }
        }
    }
    if (only) {
        only->updateProgress();
    }
    for (const auto& procedure : more) {
        procedure->updateProgress();
    }
}

SYNProcedure::~SYNProcedure() {
    for (const auto& step : steps_) {
        plat::MutexLock lock(step->mutex_);
        std::erase_if(step->observers_, [this](const auto& weak) {
            auto locked = weak.lock();
            return !locked || locked.get() == this;
        });
    }
}

std::vector<SYNProcedureStep::Ptr> SYNProcedure::procedureSteps() const {
    plat::MutexLock lock(mutex_);
    return steps_;
}

std::vector<SYNProcedureStep::Ptr> SYNProcedure::enabledProcedureSteps() const {
    auto steps = procedureSteps();
    std::erase_if(steps, [](const auto& step) { return !step->isEnabled(); });
    return steps;
}

void SYNProcedure::addProcedureStep(const SYNProcedureStep::Ptr& step) {
    {
        plat::MutexLock lock(mutex_);
        steps_.push_back(step);
    }
    plat::MutexLock lock(step->mutex_);
    step->observers_.push_back(weak_from_this());
}

void SYNProcedure::removeProcedureStep(const SYNProcedureStep::Ptr& step) {
    {
        plat::MutexLock lock(step->mutex_);
        std::erase_if(step->observers_, [this](const auto& weak) {
            auto locked = weak.lock();
            return !locked || locked.get() == this;
        });
    }
    plat::MutexLock lock(mutex_);
    std::erase(steps_, step);
}

SYNProcedureStep::Ptr SYNProcedure::procedureStepAtIndex(std::size_t index) const {
    plat::MutexLock lock(mutex_);
    return index < steps_.size() ? steps_[index] : nullptr;
}

std::vector<SYNProcedureStep::Ptr> SYNProcedure::procedureStepsForRepresentedObject(
    const plat::Value& object) const {
    auto steps = procedureSteps();
    std::erase_if(steps, [&](const auto& step) { return !(step->representedObject == object); });
    return steps;
}

void SYNProcedure::disableAllSteps() {
    for (const auto& step : procedureSteps()) {
        step->setEnabled(false);
    }
}

void SYNProcedure::prepareToProceed() {
    const auto steps = procedureSteps();
    // Steps are only ever enabled here, so the passes end: the last one
    // enables nothing.
    bool enabledAny = true;
    while (enabledAny) {
        enabledAny = false;
        for (const auto& step : steps) {
            if (!step->isEnabled()) {
                continue;
            }
            plat::MutexLock lock(step->mutex_);
            for (const auto& dependency : step->dependencies_) {
                if (!dependency->isEnabled()) {
                    dependency->setEnabled(true);
                    enabledAny = true;
                }
            }
        }
    }
}

void SYNProcedure::updateProgress() {
    double weighted = 0.0;
    double weights = 0.0;
    std::shared_ptr<const std::function<void()>> block;
    {
        // The steps are read in place: only their atomics and weights.
        plat::MutexLock lock(mutex_);
        for (const auto& step : steps_) {
            if (step->isEnabled()) {
                weighted += step->progressWeight() * step->fractionCompleted();
                weights += step->progressWeight();
            }
        }
        block = progressBlock_;
    }
    progress_ = weighted / std::max(weights, 1e-10);
    if (block) {
        (*block)();
    }
}

void SYNProcedure::setProgressUpdateBlock(std::function<void()> block) {
    auto shared = block ? std::make_shared<const std::function<void()>>(std::move(block)) : nullptr;
    plat::MutexLock lock(mutex_);
    progressBlock_ = std::move(shared);
}

SYNProcedureStep::Ptr SYNProcedure::currentProcedureStep() const {
    plat::MutexLock lock(mutex_);
    return currentStep_;
}

std::shared_ptr<SYNAsynchronousTaskQueue> SYNProcedure::taskQueue() const {
    plat::MutexLock lock(mutex_);
    return taskQueue_;
}

void SYNProcedure::proceedInOperationQueue(const std::shared_ptr<plat::dispatch::OperationQueue>& queue,
                                           SYNCompletion completion) {
    prepareToProceed();
    updateProgress();
    // The tasks hold the procedure until the run ends.
    auto self = shared_from_this();
    // What a step's completion holds: the step, the task queue's `next`
    // (moved in, not copied) and whether it was called; one allocation.
    struct StepRun {
        SYNProcedureStep::Ptr step;
        SYNTaskCompletion next;
        std::atomic<bool> done{false};
    };
    const auto steps = enabledProcedureSteps();
    std::vector<SYNTask> tasks;
    tasks.reserve(steps.size());
    for (const auto& step : steps) {
        tasks.push_back([self, step](SYNTaskCompletion next) {
            {
                plat::MutexLock lock(self->mutex_);
                self->currentStep_ = step;
            }
            if (!step->executionBlock) {
                step->setNumberOfUnitsCompleted(step->totalUnitCount());
                next(nullptr, false);
                return;
            }
            auto run = std::make_shared<StepRun>();
            run->step = step;
            run->next = std::move(next);
            step->executionBlock(step, [run](plat::ErrorPtr error) {
                if (run->done.exchange(true)) {
                    return;
                }
                run->step->setNumberOfUnitsCompleted(run->step->totalUnitCount());
                run->next(std::move(error), false);
            });
        });
    }
    auto taskQueue = std::make_shared<SYNAsynchronousTaskQueue>(
        std::move(tasks), SYNTaskQueueTerminationPolicyStopOnError,
        [self, completion = std::move(completion)](plat::ErrorPtr error) {
            {
                plat::MutexLock lock(self->mutex_);
                self->currentStep_ = nullptr;
            }
            if (completion) {
                completion(error);
            }
            plat::MutexLock lock(self->mutex_);
            self->taskQueue_ = nullptr;
        });
    taskQueue->setInfo(taskQueueInfo);
    {
        plat::MutexLock lock(mutex_);
        taskQueue_ = taskQueue;
    }
    queue->addOperation(taskQueue);
}

void SYNProcedure::proceedWithCompletion(SYNCompletion completion) {
    proceedInOperationQueue(plat::dispatch::OperationQueue::mainQueue(), std::move(completion));
}
