// The merge of SYNPersistentStoreMesh: one procedure of 21 steps that brings
// the local event store and the cloud folder into step and replays every
// store's changes into the application's store.
#include <cmath>
#ifdef __GLIBC__
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#endif

#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"
#include "sync/eventstore/SYNBaselineConsolidator.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNRebaser.h"
#include "sync/mesh/SYNMergeSteps.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"

namespace {

// Below this much memory free in the allocator's arenas a trim gives back
// little, and costs a walk of every arena and a madvise call per free
// stretch: an incremental merge frees a few megabytes at most.
constexpr std::size_t kTrimThresholdBytes = 32u << 20;

#ifdef __GLIBC__
// The process's resident memory in bytes; 0 when it cannot be read.
std::size_t residentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    if (!statm) {
        return 0;
    }
    unsigned long long size = 0, resident = 0;
    const bool read = std::fscanf(statm, "%llu %llu", &size, &resident) == 2;
    std::fclose(statm);
    const long page = ::sysconf(_SC_PAGESIZE);
    return read && page > 0 ? static_cast<std::size_t>(resident) * static_cast<std::size_t>(page) : 0;
}

// What the process held, and what lay free in the arenas, right after the
// last trim (0 before any).
std::atomic<std::size_t> residentAfterTrim{0};
std::atomic<std::size_t> freeAfterTrim{0};
// What the process held when the free memory was last counted, and the
// merges since then.
std::atomic<std::size_t> residentAtCount{0};
std::atomic<int> mergesSinceCount{0};
#endif

// Counting what lies free walks every free chunk of every arena: after a few
// large merges that is tens of thousands of chunks, a millisecond a merge.
// So it is counted only when the process came to hold the threshold more
// since the last count, or once in this many merges.
constexpr int kMergesPerCount = 8;

// A trim hands the pages of free chunks back, but the chunks stay free and
// are counted as such: after one large merge the arenas keep showing tens of
// megabytes free, and trimming at every merge handed the same pages back
// again each time (hundreds of madvise calls a merge, and as many pages
// faulted in afresh when the chunks were reused). So a trim is made only
// when, since the last one, the process came to hold at least the threshold
// more (the free pages were used again, or the arenas grew) or that much
// more memory was freed (memory in use then is free now).
void releaseFreedMemory() {
#ifdef __GLIBC__
    const std::size_t resident = residentBytes();
    const bool grew = resident == 0 || resident >= residentAtCount.load() + kTrimThresholdBytes;
    if (!grew && mergesSinceCount.fetch_add(1) + 1 < kMergesPerCount) {
        return;
    }
    mergesSinceCount.store(0);
    residentAtCount.store(resident);
    const std::size_t free = mallinfo2().fordblks;
    if (free < kTrimThresholdBytes) {
        return;
    }
    const std::size_t residentAfter = residentAfterTrim.load();
    if (resident != 0 && residentAfter != 0 && resident < residentAfter + kTrimThresholdBytes &&
        free < freeAfterTrim.load() + kTrimThresholdBytes) {
        return;
    }
    malloc_trim(0);
    residentAfterTrim.store(residentBytes());
    residentAtCount.store(residentAfterTrim.load());
    freeAfterTrim.store(mallinfo2().fordblks);
#endif
}

constexpr const char* kMergeTag = "Merge";

enum MergePhase : int64_t {
    kPhaseSetup = 1,
    kPhaseImportDataFiles = 2,
    kPhaseImportBaselines = 3,
    kPhaseImportEvents = 4,
    kPhaseMergeBaselines = 5,
    kPhaseRebase = 6,
    kPhaseMergeEvents = 7,
    kPhaseExportDataFiles = 8,
    kPhaseExportBaselines = 9,
    kPhaseExportEvents = 10,
    kPhaseRemoveRemoteFiles = 11,
    kPhaseMergeFileContents = 12,
};

// units = total x fraction, with the fraction held to [0, 1] (NaN is 0).
uint64_t unitsFor(uint64_t total, float fraction) {
    if (!(fraction > 0.0f)) {
        return 0;
    }
    return static_cast<uint64_t>(static_cast<double>(total) * std::min(1.0, static_cast<double>(fraction)));
}

}  // namespace

std::set<int64_t> SYNPersistentStoreMesh::nonCriticalErrorCodes() const {
    plat::MutexLock lock(errorCodesMutex_);
    return nonCriticalErrorCodes_;
}

void SYNPersistentStoreMesh::setNonCriticalErrorCodes(const std::set<int64_t>& codes) {
    plat::MutexLock lock(errorCodesMutex_);
    nonCriticalErrorCodes_ = codes;
}

namespace {

// The event integrator, as the merge uses it.
class IntegratorAdapter : public SYNMeshEventIntegration {
  public:
    explicit IntegratorAdapter(std::shared_ptr<SYNEventIntegrator> integrator)
        : integrator_(std::move(integrator)) {}
    void startMonitoringSaves() override { integrator_->startMonitoringSaves(); }
    void stopMonitoringSaves() override { integrator_->stopMonitoringSaves(); }
    uint64_t numberOfProgressUnits() const override { return integrator_->numberOfProgressUnits(); }
    void setProgressUnitsCompletionBlock(std::function<void(uint64_t)> block) override {
        integrator_->setProgressUnitsCompletionBlock(std::move(block));
    }
    void mergeEventsWithCompletion(SYNCompletion completion) override {
        integrator_->mergeEventsWithCompletion(std::move(completion));
    }

  private:
    std::shared_ptr<SYNEventIntegrator> integrator_;
};

}  // namespace

std::shared_ptr<SYNMeshEventIntegration> SYNPersistentStoreMesh::makeEventIntegrator() {
    auto integrator = SYNEventIntegrator::create(plat::URL::fileURLWithPath(persistentStorePath()),
                                                 config_.managedObjectModel, eventStore_);
    if (!integrator) {
        return nullptr;
    }
    std::weak_ptr<SYNPersistentStoreMesh> weak = weak_from_this();
    integrator->setMesh(std::static_pointer_cast<SYNEventIntegratorMesh>(shared_from_this()));
    if (config_.persistentStoreOptions) {
        integrator->setPersistentStoreOptions(*config_.persistentStoreOptions);
    }
    integrator->setShouldSaveBlock([weak](auto& context, auto& reparation) {
        auto self = weak.lock();
        if (!self)
            return false;
        auto delegate = self->liveDelegate();
        return delegate ? delegate->persistentStoreMeshShouldSaveMergedChanges(*self, context, reparation)
                        : true;
    });
    integrator->setFailedSaveBlock([weak](auto& context, const plat::ErrorPtr& error, auto& reparation) {
        auto self = weak.lock();
        if (!self)
            return false;
        auto delegate = self->liveDelegate();
        return delegate ? delegate->persistentStoreMeshDidFailToSaveMergedChanges(*self, context, error,
                                                                                  reparation)
                        : false;
    });
    integrator->setDidSaveBlock([weak](auto& context, const plat::Dictionary& info) {
        auto self = weak.lock();
        if (!self)
            return;
        auto note = std::make_shared<plat::Notification>(
            plat::coredata::ManagedObjectContextDidSaveNotification, context.shared_from_this(), info);
        if (auto delegate = self->liveDelegate()) {
            delegate->persistentStoreMeshDidSaveMergeChanges(*self, *note);
        }
        plat::NotificationCenter::defaultCenter().postNotificationName(
            SYNPersistentStoreMeshDidSaveMergeChangesNotification, self,
            plat::Dictionary{{"managedObjectContextSaveNotification", plat::Value(plat::ObjectPtr(note))}});
    });
    auto entityBlock = [weak](bool will) {
        return [weak, will](const plat::coredata::EntityDescription& entity) {
            auto self = weak.lock();
            auto delegate = self ? self->liveDelegate() : nullptr;
            if (!delegate)
                return;
            // The integrator never calls from the main thread, so this cannot wait on itself.
            plat::dispatch::Queue::main().sync([&] {
                if (will) {
                    delegate->persistentStoreMeshWillMergeChangesForEntity(*self, entity);
                } else {
                    delegate->persistentStoreMeshDidMergeChangesForEntity(*self, entity);
                }
            });
        };
    };
    integrator->setWillBeginMergingEntityBlock(entityBlock(true));
    integrator->setDidFinishMergingEntityBlock(entityBlock(false));
    return std::make_shared<IntegratorAdapter>(integrator);
}

SYNProcedureStep::Ptr SYNPersistentStoreMesh::newTransferStep(double phase, TransferStart start,
                                                              bool resetOnError,
                                                              std::function<void()> before) {
    auto self = shared_from_this();
    // What the transfer's progress calls hold, in one allocation: the
    // cloud manager hands the progress block on and copies it several times
    // a transfer, each copy then one reference more.
    struct Transfer {
        std::shared_ptr<SYNPersistentStoreMesh> mesh;
        std::weak_ptr<SYNProcedureStep> step;
        SYNCompletion done;
        bool resetOnError = false;
        std::atomic<bool> finished{false};
    };
    auto step =
        newStep(phase, 20.0,
                [self, start, resetOnError, before](const SYNProcedureStep::Ptr& step, SYNCompletion done) {
                    if (before) {
                        before();
                    }
                    auto transfer = std::make_shared<Transfer>();
                    transfer->mesh = self;
                    transfer->step = step;
                    transfer->done = std::move(done);
                    transfer->resetOnError = resetOnError;
                    start([transfer](plat::ErrorPtr error, float fraction, bool isFinal) {
                        if (transfer->finished.load()) {
                            return;
                        }
                        if (error) {
                            if (transfer->finished.exchange(true)) {
                                return;
                            }
                            if (transfer->resetOnError) {
                                // The next merge starts the transfers afresh.
                                transfer->mesh->cloudManager_->setup();
                            }
                            transfer->done(error);
                            return;
                        }
                        if (auto step = transfer->step.lock()) {
                            step->setNumberOfUnitsCompleted(unitsFor(step->totalUnitCount(), fraction));
                        }
                        if (isFinal && !transfer->finished.exchange(true)) {
                            transfer->done(nullptr);
                        }
                    });
                });
    step->setTotalUnitCount(100);
    return step;
}

SYNProcedureStep::Ptr SYNPersistentStoreMesh::newMergeFileContentsStep() {
    auto self = shared_from_this();
    auto pairs = cloudDirectoriesByLocalDirectoriesForFileContentMerging();
    auto step =
        newStep(kPhaseMergeFileContents, 50.0, [self](const SYNProcedureStep::Ptr& step, SYNCompletion done) {
            auto counter = std::make_shared<std::atomic<uint64_t>>(0);
            std::weak_ptr<SYNProcedureStep> weakStep = step;
            std::vector<SYNTask> tasks;
            for (const auto& pair : self->cloudDirectoriesByLocalDirectoriesForFileContentMerging()) {
                tasks.push_back([self, local = pair.first, cloud = pair.second, counter,
                                 weakStep](SYNTaskCompletion next) {
                    self->mergeFileContentOfLocalDirectory(
                        local, cloud, self->workerQueue_,
                        [counter, weakStep](plat::ErrorPtr, float fraction, bool) {
                            if (auto step = weakStep.lock()) {
                                step->setNumberOfUnitsCompleted(unitsFor(100, fraction) +
                                                                counter->load() * 100);
                            }
                        },
                        [counter, next](plat::ErrorPtr error) {
                            ++*counter;
                            next(error, false);
                        });
                });
            }
            self->workerQueue_->addOperation(std::make_shared<SYNAsynchronousTaskQueue>(
                std::move(tasks), SYNTaskQueueTerminationPolicyStopOnError, done));
        });
    step->setTotalUnitCount(pairs.empty() ? 1 : 100 * pairs.size());
    return step;
}

bool SYNPersistentStoreMesh::takeFreedMemoryLook() {
    const uint64_t imported = cloudManager_ ? cloudManager_->numberOfFilesTakenForImport() : 0;
    const uint64_t bytes = cloudManager_ ? cloudManager_->numberOfBytesTakenForImport() : 0;
    const uint64_t atLook = filesImportedAtFreedMemoryLook_.load();
    const uint64_t bytesAtLook = bytesImportedAtFreedMemoryLook_.load();
    // A count below the last one is a new cloud manager's: looked at anew.
    const bool manyImported =
        imported < atLook || imported - atLook >= FilesImportedBetweenFreedMemoryLooks ||
        bytes < bytesAtLook || bytes - bytesAtLook >= BytesImportedBetweenFreedMemoryLooks;
    if (!freedMemoryLookDue_.exchange(false) && !manyImported) {
        return false;
    }
    filesImportedAtFreedMemoryLook_ = imported;
    bytesImportedAtFreedMemoryLook_ = bytes;
    ++freedMemoryLooks_;
    return true;
}

SYNProcedure::Ptr SYNPersistentStoreMesh::newMergeProcedure(uint64_t options) {
    auto self = shared_from_this();
    auto fs = config_.cloudFileSystem;
    auto cm = cloudManager_;
    auto procedure = SYNProcedure::create();
    procedure->taskQueueInfo = plat::Value(kMergeTag);

    // Only the steps that run are made (SYNMergeSteps.h); those they depend
    // on run with them. Priming and repairing are steps only for a file
    // system that does them: otherwise each would be a task run, a hop to
    // the main thread and a progress update doing nothing, every merge.
    SYNMergeStepFacts facts;
    facts.primes = fs->respondsToMember(SYNCloudFileSystem::OptionalMember::PrimeForActivity);
    facts.repairs = fs->respondsToMember(SYNCloudFileSystem::OptionalMember::RepairMeshDirectory);
    facts.rebaseDue = rebaser_->forceRebase() || !rebaseCheckDone_;
    facts.mergesFileContents = !cloudDirectoriesByLocalDirectoriesForFileContentMerging().empty();
    const SYNMergeStepSet runs = SYNMergeStepsToRun(options, facts);
    if (options & SYNMergeOptionForceRebase) {
        rebaser_->setForceRebase(true);
    }

    auto mergeSetup =
        newStepIf(runs[SYNMergeStepSetup], kPhaseSetup, 1.0, [self](const auto&, SYNCompletion done) {
            SYN_LOG(3, "Beginning merge");
            self->setNonCriticalErrorCodes({});
            if (!self->isEnlisted()) {
                done(SYNMakeError(SYNErrorEnlistState, "Attempt to merge a store that is not enlisted."));
                return;
            }
            if (!plat::FileManager::defaultManager().fileExistsAtPath(self->persistentStorePath())) {
                done(SYNMakeError(SYNErrorMissingPersistentStore));
                return;
            }
            self->merging_ = true;
            self->currentActivity_ = SYNMeshActivityMerging;
            self->postDidBeginActivity(SYNMeshActivityMerging);
            if (self->integration_) {
                self->integration_->startMonitoringSaves();
            }
            done(nullptr);
        });
    auto prime = newStepIf(runs[SYNMergeStepPrime], kPhaseSetup, 1.0, [fs](const auto&, SYNCompletion done) {
        if (fs->respondsToMember(SYNCloudFileSystem::OptionalMember::PrimeForActivity)) {
            fs->primeForActivityWithCompletion(done);
        } else {
            done(nullptr);
        }
    });
    auto repair =
        newStepIf(runs[SYNMergeStepRepair], kPhaseSetup, 1.0, [fs, cm](const auto&, SYNCompletion done) {
            if (fs->respondsToMember(SYNCloudFileSystem::OptionalMember::RepairMeshDirectory)) {
                fs->repairMeshDirectory(cm->remoteMeshDirectory(), done);
            } else {
                done(nullptr);
            }
        });
    auto checkIdentity = newStepIf(
        runs[SYNMergeStepCheckIdentity], kPhaseSetup, 1.0,
        [self](const auto&, SYNCompletion done) { self->checkCloudFileSystemIdentityWithCompletion(done); });
    auto checkRegistration = newStepIf(
        runs[SYNMergeStepCheckRegistration], kPhaseSetup, 1.0,
        [self](const auto&, SYNCompletion done) { self->checkStoreRegistrationInCloudWithCompletion(done); });
    // The flush runs after the storage of every save made before it, so a
    // save that could not be recorded is known once it completes.
    auto processChanges = newStepIf(
        runs[SYNMergeStepProcessChanges], kPhaseSetup, 1.0, [self](const auto&, SYNCompletion done) {
            self->eventStore_->flushWithCompletion([self, done = std::move(done)](plat::ErrorPtr error) {
                done(error ? error : self->lostSaveEventError());
            });
        });
    auto snapshot =
        newStepIf(runs[SYNMergeStepSnapshot], kPhaseSetup, 5.0, [cm](const auto&, SYNCompletion done) {
            cm->snapshotRemoteFilesWithCompletion([cm, done = std::move(done)](plat::ErrorPtr error) {
                if (!error) {
                    done(nullptr);
                    return;
                }
                // So that the next merge finds the remote folders.
                cm->createRemoteDirectoryStructureWithCompletion(
                    [done, error](plat::ErrorPtr) { done(error); });
            });
        });
    auto removeIncomplete = newStepIf(
        runs[SYNMergeStepRemoveIncomplete], kPhaseSetup, 1.0,
        [cm](const auto&, SYNCompletion done) { cm->removeLocallyProducedIncompleteRemoteFileSets(done); });
    auto removeOutOfDate =
        newStepIf(runs[SYNMergeStepRemoveOutOfDate], kPhaseSetup, 1.0,
                  [cm](const auto&, SYNCompletion done) { done(cm->removeOutOfDateNewlyImportedFiles()); });
    auto importDataFiles = newTransferStepIf(
        runs[SYNMergeStepImportDataFiles], kPhaseImportDataFiles,
        [cm](auto progress) { cm->importNewDataFilesWithProgress(std::move(progress)); }, true);
    auto importBaselines = newTransferStepIf(
        runs[SYNMergeStepImportBaselines], kPhaseImportBaselines,
        [cm](auto progress) { cm->importNewBaselineEventsWithProgress(std::move(progress)); }, true);
    auto mergeBaselines = newStepIf(runs[SYNMergeStepMergeBaselines], kPhaseMergeBaselines, 20.0,
                                    [self](const auto&, SYNCompletion done) {
                                        self->consolidator_->consolidateBaselineWithCompletion(done);
                                    });
    auto importEvents = newTransferStepIf(
        runs[SYNMergeStepImportEvents], kPhaseImportEvents,
        [cm](auto progress) { cm->importNewRemoteNonBaselineEventsWithProgress(std::move(progress)); }, true);
    // Both steps delete events, so a deregistration whose write was left for
    // later is written first: a restart must never find the token of a
    // stored save whose event is gone (it would record the save again).
    auto removeOutdated = newStepIf(runs[SYNMergeStepRemoveOutdated], kPhaseImportEvents, 5.0,
                                    [self](const auto&, SYNCompletion done) {
                                        if (auto error = self->eventStore_->writeDeferredMetadata()) {
                                            done(error);
                                            return;
                                        }
                                        self->rebaser_->deleteEventsPreceedingBaselineWithCompletion(done);
                                    });
    auto rebase =
        newStepIf(runs[SYNMergeStepRebase], kPhaseRebase, 20.0, [self](const auto&, SYNCompletion done) {
            if (auto error = self->eventStore_->writeDeferredMetadata()) {
                done(error);
                return;
            }
            self->rebaser_->shouldRebaseWithCompletion([self, done](bool should) {
                if (!should) {
                    self->rebaseCheckDone_ = true;
                    done(nullptr);
                    return;
                }
                self->rebaser_->rebaseWithCompletion([self, done](plat::ErrorPtr error) {
                    self->rebaseCheckDone_ = true;
                    self->freedMemoryLookDue_ = true;  // the store's events were rewritten
                    done(error);
                });
            });
        });
    // The integrator's progress goes to this step only once the step runs:
    // a merge queued behind another must not take the running one's progress.
    auto mergeEvents = newStepIf(
        runs[SYNMergeStepMergeEvents], kPhaseMergeEvents, 100.0,
        [self](const SYNProcedureStep::Ptr& step, SYNCompletion done) {
            if (!self->integration_) {
                done(nullptr);
                return;
            }
            if (auto lost = self->lostSaveEventError()) {
                done(lost);
                return;
            }
            std::weak_ptr<SYNProcedureStep> weakStep = step;
            step->setTotalUnitCount(self->integration_->numberOfProgressUnits());
            self->integration_->setProgressUnitsCompletionBlock([weakStep](uint64_t units) {
                if (auto step = weakStep.lock()) {
                    step->addUnitsCompleted(units);
                }
            });
            self->integration_->mergeEventsWithCompletion(
                [self, done = std::move(done)](plat::ErrorPtr error) {
                    self->integration_->setProgressUnitsCompletionBlock(nullptr);
                    // A full integration frees hundreds of megabytes on the
                    // integrator's thread; the exports that follow run on other
                    // threads, whose allocator arenas would not reuse them, so
                    // they are given back first (a machine joining a cloud of
                    // 100,000 objects peaked at 770 MB, now 570 MB).
                    if (self->takeFreedMemoryLook()) {
                        releaseFreedMemory();
                    }
                    if (!error) {
                        // Most merges keep the baseline: the metadata is then
                        // not encoded again only to find it unchanged. The cloud
                        // manager's look at the local baselines names it without
                        // a read of its own when the store holds one at most
                        // (the export of baselines looks next, and takes it).
                        std::optional<std::string> baseline;
                        if (!self->cloudManager_ || !self->cloudManager_->soleBaselineIdentifier(baseline)) {
                            baseline = self->eventStore_->currentBaselineIdentifier();
                        }
                        if (baseline != self->eventStore_->identifierOfBaselineUsedToConstructStore()) {
                            self->eventStore_->setIdentifierOfBaselineUsedToConstructStore(baseline);
                        }
                    }
                    done(error);
                });
        });
    if (mergeEvents) {
        mergeEvents->setTotalUnitCount(
            integration_ ? std::max<uint64_t>(integration_->numberOfProgressUnits(), 1) : 1);
    }
    auto store = eventStore_;
    auto exportDataFiles = newTransferStepIf(
        runs[SYNMergeStepExportDataFiles], kPhaseExportDataFiles,
        [cm](auto progress) { cm->exportDataFilesWithProgress(std::move(progress)); }, false,
        [store] { store->removeUnreferencedDataFiles(); });
    auto exportBaselines = newTransferStepIf(
        runs[SYNMergeStepExportBaselines], kPhaseExportBaselines,
        [cm](auto progress) { cm->exportNewLocalBaselineWithProgress(std::move(progress)); }, false);
    auto exportEvents = newTransferStepIf(
        runs[SYNMergeStepExportEvents], kPhaseExportEvents,
        [cm](auto progress) { cm->exportNewLocalNonBaselineEventsWithProgress(std::move(progress)); }, false);
    auto removeRemote = newStepIf(
        runs[SYNMergeStepRemoveRemote], kPhaseRemoveRemoteFiles, 5.0,
        [cm](const auto&, SYNCompletion done) { cm->removeOutdatedRemoteFilesWithCompletion(done); });
    auto mergeFileContents = runs[SYNMergeStepMergeFileContents] ? newMergeFileContentsStep() : nullptr;

    for (const auto& step :
         {mergeSetup,       prime,           repair,           checkIdentity,   checkRegistration,
          processChanges,   snapshot,        removeIncomplete, removeOutOfDate, importDataFiles,
          importBaselines,  mergeBaselines,  importEvents,     removeOutdated,  rebase,
          mergeEvents,      exportDataFiles, exportBaselines,  exportEvents,    removeRemote,
          mergeFileContents}) {
        if (step) {
            procedure->addProcedureStep(step);
        }
    }
    // No dependency links: every step made runs, those it depends on among
    // them (SYNMergeStepsToRun).
    return procedure;
}

void SYNPersistentStoreMesh::mergeWithCompletion(SYNCompletion completion) {
    mergeWithOptions(SYNMergeOptionNone, std::move(completion));
}

void SYNPersistentStoreMesh::mergeWithOptions(uint64_t options, SYNCompletion completion) {
    SYN_LOG(3, "Enqueuing merge");
    auto self = shared_from_this();
    auto procedure = newMergeProcedure(options);
    std::weak_ptr<SYNProcedure> weakProcedure = procedure;
    procedure->setProgressUpdateBlock([weak = weak_from_this(), weakProcedure] {
        auto self = weak.lock();
        auto procedure = weakProcedure.lock();
        if (!self || !procedure) {
            return;
        }
        auto step = procedure->currentProcedureStep();
        self->updateActivityProgress(static_cast<float>(procedure->progress()),
                                     step ? step->representedObject : plat::Value());
    });
    procedure->proceedInOperationQueue(proceduralQueue_, [self, completion](plat::ErrorPtr error) {
        // Only a merge that began (set-up ran) announces its end.
        if (self->merging_) {
            self->postWillEndActivity(SYNMeshActivityMerging, error);
        }
        if (self->integration_) {
            self->integration_->stopMonitoringSaves();
        }
        self->merging_ = false;
        self->currentActivity_ = SYNMeshActivityNone;
        if (completion) {
            completion(error);
        }
        SYN_LOG(3, "Completing Merge");
    });
}

void SYNPersistentStoreMesh::cancelMergeWithCompletion(SYNCompletion completion) {
    SYN_LOG(3, "Cancelling Merge");
    for (const auto& operation : proceduralQueue_->operations()) {
        auto queue = std::dynamic_pointer_cast<SYNAsynchronousTaskQueue>(operation);
        if (queue && queue->info() == plat::Value(kMergeTag)) {
            queue->cancel();
        }
    }
    proceduralQueue_->addOperationWithBlock([completion] { dispatchCompletion(completion, nullptr); });
}

void SYNPersistentStoreMesh::processPendingChangesWithCompletion(SYNCompletion completion) {
    SYN_LOG(3, "Processing pending changes in mesh");
    if (!isEnlisted()) {
        dispatchCompletion(completion, nullptr);
        return;
    }
    auto store = eventStore_;
    proceduralQueue_->addOperationWithBlock([store, completion] {
        store->flushWithCompletion(
            [completion](plat::ErrorPtr error) { dispatchCompletion(completion, error); });
    });
}
