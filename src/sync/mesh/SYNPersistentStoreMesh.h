// SYNPersistentStoreMesh: the front of the sync framework. One mesh per
// application store attaches it to the data of a cloud folder (enlist),
// and detaches it (delist), one activity at a time on a serial procedural
// queue; it announces what it does through the default notification centre
// and its delegate.
//
// Only one live mesh per store file and per event-store directory: a second
// one is refused (null) without touching the live mesh's data. dismantle()
// ends a mesh's life (once; the destructor calls it) and frees both.
//
// Activities complete once on the main thread. Begin and end notifications
// are posted on the main thread as the activity starts and ends; progress
// notifications on the main queue, in order.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNAsynchronousTaskQueue.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNMeshServices.h"
#include "sync/integration/SYNCloudManager.h"
#include "sync/integration/SYNEventIntegrator.h"
#include "sync/mesh/SYNProcedure.h"
#include "sync/mesh/SYNSaveMonitor.h"
#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"

class SYNPersistentStoreMesh;
class SYNRebaser;
class SYNBaselineConsolidator;

// What a merge asks of the event integrator, which replays the events of
// every store into the application's store.
class SYNMeshEventIntegration {
  public:
    virtual ~SYNMeshEventIntegration() = default;
    // From merge set-up to the end of the merge, an application save to the
    // store makes the merge fail (it would be lost in the merge event).
    virtual void startMonitoringSaves() = 0;
    virtual void stopMonitoringSaves() = 0;
    virtual uint64_t numberOfProgressUnits() const = 0;
    virtual void setProgressUnitsCompletionBlock(std::function<void(uint64_t units)> block) = 0;
    virtual void mergeEventsWithCompletion(SYNCompletion completion) = 0;
};

enum SYNMergeOptions : uint64_t {
    SYNMergeOptionNone = 0,
    SYNMergeOptionForceRebase = 1,
    SYNMergeOptionSkipRebase = 2,
    SYNMergeOptionImportsOnly = 4,
    SYNMergeOptionExportsOnly = 8,
    SYNMergeOptionSkipExport = 16,
};

inline constexpr const char* SYNPersistentStoreMeshDidBeginActivityNotification =
    "SYNPersistentStoreMeshDidBeginActivityNotification";
inline constexpr const char* SYNPersistentStoreMeshWillEndActivityNotification =
    "SYNPersistentStoreMeshWillEndActivityNotification";
inline constexpr const char* SYNPersistentStoreMeshDidMakeProgressWithActivityNotification =
    "SYNPersistentStoreMeshDidMakeProgressWithActivityNotification";
inline constexpr const char* SYNPersistentStoreMeshDidSaveMergeChangesNotification =
    "SYNPersistentStoreMeshDidSaveMergeChangesNotification";
inline constexpr const char* SYNMeshActivityKey = "SYNMeshActivityKey";
inline constexpr const char* SYNActivityErrorKey = "SYNActivityErrorKey";
inline constexpr const char* SYNProgressFractionKey = "SYNProgressFractionKey";
inline constexpr const char* SYNActivityPhaseKey = "SYNActivityPhaseKey";

enum SYNMeshActivity : uint64_t {
    SYNMeshActivityNone = 0,
    SYNMeshActivityEnlisting = 100,
    SYNMeshActivityDelisting = 200,
    SYNMeshActivityMerging = 300,
};

// Every member is optional: the defaults are what a delegate that does not
// implement the member gets.
class SYNPersistentStoreMeshDelegate {
  public:
    virtual ~SYNPersistentStoreMeshDelegate() = default;
    // Main thread, around the store import of an enlist.
    virtual void persistentStoreMeshWillImportStore(SYNPersistentStoreMesh&) {}
    virtual void persistentStoreMeshDidImportStore(SYNPersistentStoreMesh&) {}
    // Main thread, after a delist forced by the framework, with its cause.
    virtual void persistentStoreMeshDidDelistWithError(SYNPersistentStoreMesh&, const plat::ErrorPtr&) {}
    // Merged changes: asked before they are saved (false cancels the merge),
    // told after a failed save (true: repaired, try once more) and after a
    // save. These run on the integrator's thread.
    virtual bool persistentStoreMeshShouldSaveMergedChanges(SYNPersistentStoreMesh&,
                                                            plat::coredata::ManagedObjectContext&,
                                                            plat::coredata::ManagedObjectContext&) {
        return true;
    }
    virtual bool persistentStoreMeshDidFailToSaveMergedChanges(SYNPersistentStoreMesh&,
                                                               plat::coredata::ManagedObjectContext&,
                                                               const plat::ErrorPtr&,
                                                               plat::coredata::ManagedObjectContext&) {
        return false;
    }
    virtual void persistentStoreMeshDidSaveMergeChanges(SYNPersistentStoreMesh&, const plat::Notification&) {}
    // Around each entity of a merge; on the main thread.
    virtual void persistentStoreMeshWillMergeChangesForEntity(SYNPersistentStoreMesh&,
                                                              const plat::coredata::EntityDescription&) {}
    virtual void persistentStoreMeshDidMergeChangesForEntity(SYNPersistentStoreMesh&,
                                                             const plat::coredata::EntityDescription&) {}
    // One identifier per object in order (nullopt where none); empty for none.
    virtual std::vector<std::optional<std::string>> persistentStoreMeshGlobalIdentifiersForManagedObjects(
        SYNPersistentStoreMesh&, const std::vector<plat::coredata::ManagedObjectPtr>&) {
        return {};
    }
};

class SYNPersistentStoreMesh : public SYNEventIntegratorMesh,
                               public std::enable_shared_from_this<SYNPersistentStoreMesh> {
  public:
    struct Configuration {
        std::string meshIdentifier;
        std::string persistentStorePath;
        std::optional<plat::Dictionary> persistentStoreOptions;
        std::shared_ptr<plat::coredata::ManagedObjectModel> managedObjectModel;
        std::shared_ptr<SYNCloudFileSystem> cloudFileSystem;
        // nullopt: the event store's default root.
        std::optional<std::string> localDataRootDirectory;
        // Object-store type of the event store ("SQLite" normally).
        std::string eventStoreType = plat::coredata::SQLiteStoreType;
        // Makes the mesh's event integrator; unset: the real one
        // (tests put a recording one here).
        std::function<std::shared_ptr<SYNMeshEventIntegration>(
            const std::shared_ptr<SYNPersistentStoreMesh>&)>
            makeEventIntegration;
    };

    // Null when refused (another live mesh has the store or the directory)
    // or when the event store cannot be set up.
    static std::shared_ptr<SYNPersistentStoreMesh> create(Configuration configuration);
    ~SYNPersistentStoreMesh() override;
    SYNPersistentStoreMesh(const SYNPersistentStoreMesh&) = delete;
    SYNPersistentStoreMesh& operator=(const SYNPersistentStoreMesh&) = delete;

    const std::string& meshIdentifier() const { return config_.meshIdentifier; }
    const std::string& persistentStorePath() const { return config_.persistentStorePath; }
    const std::shared_ptr<plat::coredata::ManagedObjectModel>& managedObjectModel() const {
        return config_.managedObjectModel;
    }
    const std::shared_ptr<SYNCloudFileSystem>& cloudFileSystem() const { return config_.cloudFileSystem; }
    std::string localDataRootDirectory() const { return eventStore_->pathToEventDataRootDirectory(); }
    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }
    const std::shared_ptr<SYNCloudManager>& cloudManager() const { return cloudManager_; }
    const std::shared_ptr<SYNSaveMonitor>& saveMonitor() const { return saveMonitor_; }
    const std::shared_ptr<plat::dispatch::OperationQueue>& proceduralQueue() const {
        return proceduralQueue_;
    }

    std::weak_ptr<SYNPersistentStoreMeshDelegate> delegate;

    bool isEnlisted() const { return enlisted_; }
    bool isEnlisting() const { return enlisting_; }
    bool isDelisting() const { return delisting_; }
    bool isMerging() const { return merging_; }
    bool delistIsQueued() const { return delistIsQueued_; }
    uint64_t currentActivity() const { return currentActivity_; }
    float activityProgress() const { return activityProgress_; }
    bool compressModelHashes = false;

    // Seed policy 0 imports the store's objects into the first baseline;
    // any other value makes it empty.
    void enlistPersistentStoreWithCompletion(SYNCompletion completion);
    void enlistPersistentStoreWithSeedPolicy(uint64_t seedPolicy, SYNCompletion completion);
    void delistPersistentStoreWithCompletion(SYNCompletion completion);

    // Merges queue behind any running activity; the completion runs once on
    // the main thread. Cancelling ends every queued or running merge with
    // 101 (the running step finishes first), then calls its own completion.
    void mergeWithCompletion(SYNCompletion completion);
    void mergeWithOptions(uint64_t options, SYNCompletion completion);
    void cancelMergeWithCompletion(SYNCompletion completion);
    // Writes pending event-store changes to disk.
    void processPendingChangesWithCompletion(SYNCompletion completion);
    // Codes of events the last merge could not integrate.
    std::set<int64_t> nonCriticalErrorCodes() const EXCLUDES(errorCodesMutex_);
    void setNonCriticalErrorCodes(const std::set<int64_t>& codes) override EXCLUDES(errorCodesMutex_);
    const std::shared_ptr<SYNRebaser>& rebaser() const { return rebaser_; }
    bool rebaseCheckDone() const { return rebaseCheckDone_; }
    // How many merges of this mesh looked for freed memory to hand back to
    // the system after their integration.
    uint64_t numberOfFreedMemoryLooks() const { return freedMemoryLooks_; }
    static constexpr uint64_t FilesImportedBetweenFreedMemoryLooks = 8;
    static constexpr uint64_t BytesImportedBetweenFreedMemoryLooks = 8u << 20;

    // Delists because of the error, then tells the delegate. Main thread
    // only (asserted): the mesh's state belongs to it.
    void forceDelistDueToError(const plat::ErrorPtr& error);
    // The save monitor could not record a save of the store with that
    // identifier: forces a delist (203) while that store is the enlisted one.
    // Any thread.
    void delistAfterLostSaveEvent(const std::string& storeIdentifier);
    // Null when the check passes (on the main queue); the error after a
    // forced delist was queued when it fails (on the answering thread).
    void checkCloudFileSystemIdentityWithCompletion(SYNCompletion completion);
    void checkStoreRegistrationInCloudWithCompletion(SYNCompletion completion);

    // Stops the mesh for good; only the first call acts.
    void dismantle();

    // The mesh identifiers found in the root of the cloud folder; the
    // completion runs on the file system's thread.
    static void retrieveMeshIdentifiersFromCloudFileSystem(
        const std::shared_ptr<SYNCloudFileSystem>& fileSystem,
        std::function<void(plat::ErrorPtr, std::vector<std::string>)> completion);
    static void removeMeshWithIdentifier(const std::string& identifier,
                                         const std::shared_ptr<SYNCloudFileSystem>& fileSystem,
                                         SYNCompletion completion);
    // Calls the completion on the main queue later; a null one is skipped.
    static void dispatchCompletion(SYNCompletion completion, plat::ErrorPtr error);

    // SYNMeshServices
    plat::Value modelVersionHash() const override;
    std::optional<std::string> modelVersionIdentifier() const override;
    std::vector<std::optional<std::string>> globalIdentifiersForManagedObjects(
        const std::vector<plat::coredata::ManagedObjectPtr>& objects) const override;
    bool mayGiveGlobalIdentifiers() const override;

    // --- Side directories --------------------------------------------------
    // Every merge makes the local directory and the cloud directory (a name
    // under the mesh's remote "files" folder) hold the same file names:
    // files only in the cloud are downloaded, files only local uploaded.
    // Files on both sides are left alone; nothing is deleted by a merge.
    // Cloud names that could leave the local directory ("", ".", "..", with
    // "/" or NUL) and hidden names (leading ".") take no part on either side.
    using TransferProgress = std::function<void(plat::ErrorPtr error, float fraction, bool finished)>;
    void alwaysMergeFileContentInLocalDirectory(const std::string& localDirectory,
                                                const std::string& cloudDirectory)
        EXCLUDES(sideDirectoriesMutex_);
    std::vector<std::pair<std::string, std::string>> cloudDirectoriesByLocalDirectoriesForFileContentMerging()
        const EXCLUDES(sideDirectoriesMutex_);
    // The completion (may be null) runs once; on the main queue except after
    // a failed connect or prime (the file system's thread).
    void mergeFileContentOfLocalDirectory(const std::string& localDirectory,
                                          const std::string& cloudDirectory,
                                          const std::shared_ptr<plat::dispatch::OperationQueue>& queue,
                                          TransferProgress progress, SYNCompletion completion);
    // Removes the named files on both sides (names that are not plain file
    // names are refused with nothing removed).
    void deleteFiles(const std::vector<std::string>& names, const std::string& localDirectory,
                     const std::string& cloudDirectory, SYNCompletion completion);
    using BatchCompletion = std::function<void(plat::ErrorPtr error, std::size_t count)>;
    std::vector<SYNTask> downloadTasks(const std::string& localDirectory, const std::string& cloudPath,
                                       const std::vector<std::string>& names,
                                       BatchCompletion batchCompletion);
    std::vector<SYNTask> uploadTasks(const std::string& localDirectory, const std::string& cloudPath,
                                     const std::vector<std::string>& names, BatchCompletion batchCompletion);
    // How one direction of a side-directory transfer reaches the file system:
    // `many` moves a batch (remote paths, local paths), `one` a single file.
    struct Transfer {
        const char* what = "";
        bool batched = false;
        std::size_t batchSize = 0;
        std::function<void(const std::vector<std::string>&, const std::vector<std::string>&,
                           std::function<void(plat::ErrorPtr)>)>
            many;
        std::function<void(const std::string&, const std::string&, std::function<void(plat::ErrorPtr)>)> one;
    };
    std::vector<SYNTask> transferTasks(const std::string& localDirectory, const std::string& cloudPath,
                                       const std::vector<std::string>& names, Transfer transfer,
                                       BatchCompletion batchCompletion);
    const std::shared_ptr<plat::dispatch::OperationQueue>& workerQueue() const { return workerQueue_; }

    // Posting, used by the procedures.
    void postDidBeginActivity(uint64_t activity);
    void postWillEndActivity(uint64_t activity, const plat::ErrorPtr& error);
    void updateActivityProgress(float fraction, const plat::Value& phase);

  private:
    explicit SYNPersistentStoreMesh(Configuration configuration);
    bool setupEventStore();
    void performInitialChecks();
    void finishInitialChecks();
    std::shared_ptr<SYNMeshEventIntegration> makeEventIntegrator();
    bool checkIncompleteEvents();
    // 203 when a save of the enlisted store could not be recorded: nothing
    // may be merged into the store before it is delisted and enlisted again.
    [[nodiscard]] plat::ErrorPtr lostSaveEventError() const;
    std::shared_ptr<SYNPersistentStoreMeshDelegate> liveDelegate() const { return delegate.lock(); }
    std::shared_ptr<const void> selfObject() const;
    // Event data whose enlist ran to its end.
    bool hasCompleteEventData() const;

    SYNProcedureStep::Ptr newStep(double phase, double weight,
                                  std::function<void(const SYNProcedureStep::Ptr&, SYNCompletion)> body);
    SYNProcedure::Ptr newEnlistProcedure(uint64_t seedPolicy);
    SYNProcedure::Ptr newMergeProcedure(uint64_t options);
    using TransferStart = std::function<void(SYNCloudManager::Progress)>;
    SYNProcedureStep::Ptr newTransferStep(double phase, TransferStart start, bool resetOnError,
                                          std::function<void()> before = nullptr);
    SYNProcedureStep::Ptr newMergeFileContentsStep();
    // The step when it is made at all, else null; the body is wrapped only
    // for a step made.
    template <class Body>
    SYNProcedureStep::Ptr newStepIf(bool made, double phase, double weight, Body&& body) {
        return made ? newStep(phase, weight, std::forward<Body>(body)) : nullptr;
    }
    template <class Start>
    SYNProcedureStep::Ptr newTransferStepIf(bool made, double phase, Start&& start, bool resetOnError,
                                            std::function<void()> before = nullptr) {
        return made ? newTransferStep(phase, std::forward<Start>(start), resetOnError, std::move(before))
                    : nullptr;
    }
    void beginObservingSaveNotifications();
    void endObservingSaveNotifications();

    Configuration config_;
    std::shared_ptr<SYNEventStore> eventStore_;
    std::shared_ptr<SYNCloudManager> cloudManager_;
    std::shared_ptr<SYNSaveMonitor> saveMonitor_;
    std::shared_ptr<SYNMeshEventIntegration> integration_;
    std::shared_ptr<SYNRebaser> rebaser_;
    std::shared_ptr<SYNBaselineConsolidator> consolidator_;
    std::atomic<bool> rebaseCheckDone_{false};
    // A look for freed memory costs a walk of the allocator's free lists;
    // it is made only when a merge may have freed much: the first merge of
    // the mesh and the first after an enlist or a rebase, and a merge that
    // finds FilesImportedBetweenFreedMemoryLooks files, or files of
    // BytesImportedBetweenFreedMemoryLooks in all (one event file can hold a
    // whole store's changes), taken for import since the last look.
    bool takeFreedMemoryLook();
    std::atomic<bool> freedMemoryLookDue_{true};
    std::atomic<uint64_t> filesImportedAtFreedMemoryLook_{0};
    std::atomic<uint64_t> bytesImportedAtFreedMemoryLook_{0};
    std::atomic<uint64_t> freedMemoryLooks_{0};
    mutable plat::Mutex errorCodesMutex_;
    std::set<int64_t> nonCriticalErrorCodes_ GUARDED_BY(errorCodesMutex_);
    std::shared_ptr<plat::dispatch::OperationQueue> proceduralQueue_;
    std::shared_ptr<plat::dispatch::OperationQueue> workerQueue_;

    std::atomic<bool> enlisted_{false};
    std::atomic<bool> enlisting_{false};
    std::atomic<bool> delisting_{false};
    std::atomic<bool> merging_{false};
    std::atomic<bool> delistIsQueued_{false};
    std::atomic<uint64_t> currentActivity_{0};
    std::atomic<float> activityProgress_{0.0f};
    // Progress updates on their way to the main thread (to be posted there).
    std::atomic<uint64_t> progressPostsPending_{0};
    std::atomic<bool> saveOccurredDuringImport_{false};
    std::optional<plat::ObserverToken> importSaveObserver_;
    // The save tokens registered when the mesh was made.
    std::vector<std::string> tokensAtLaunch_;

    // Registry entries this mesh added, so that it removes only its own.
    bool registeredStorePath_ = false;
    std::string registeredDirectory_;
    std::atomic<bool> dismantled_{false};
    mutable plat::Mutex sideDirectoriesMutex_;
    std::vector<std::pair<std::string, std::string>> sideDirectories_ GUARDED_BY(sideDirectoriesMutex_);

    void listAndTransfer(const std::string& localDirectory, const std::string& cloudPath,
                         const std::shared_ptr<plat::dispatch::OperationQueue>& queue,
                         TransferProgress progress, SYNCompletion completion);
};
