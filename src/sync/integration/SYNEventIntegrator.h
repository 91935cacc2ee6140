// SYNEventIntegrator: merges the events of the local event store (this
// machine's saves and those imported from other machines) into the
// application's own store, and records the merge as one merge event.
//
// Road of a merge (mergeEventsWithCompletion):
//   1. choose the events: in a full integration the current baseline and
//      every complete save and merge event; otherwise the events the local
//      store has not merged yet, widened by every event concurrent with them;
//   2. keep those that can be integrated (the codes of those left out go to
//      the mesh);
//   3. make the merge event, then replay the events' object changes entity by
//      entity in migration-priority order (insert, update and delete stages),
//      with the repair, save and entity hooks;
//   4. commit the application store once, then complete and save the merge
//      event.
//
// All or nothing: the application store is written in one transaction at
// the end of the merge. Saves of batches go into a staging context above the
// integrator's context, not to the store; with a model whose entities are
// not saved in batches (no migration batch size), nothing is saved before
// the end, and the integrator's context is on the store itself and holds the
// merged changes until the commit. Either way a merge that fails or is
// cancelled at any point (a throwing hook, an unreadable value, a store
// error, cancel) leaves the application store as it was and deletes its
// partial merge event; the next merge integrates the same events again. A
// process killed in the middle leaves the merge event incomplete (type 0),
// which the event store deletes when it next opens, and the application
// store either untouched or fully merged; merging again gives the same
// result as an uninterrupted merge, because replaying events is idempotent
// (inserts adopt the objects their store URIs name).
//
// Completions are called exactly once, always asynchronously on the main
// queue. Hooks and progress blocks are called on the integrator's queue.
#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/URL.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNMeshServices.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNRevision.h"
#include "sync/integration/SYNInsertStage.h"

// The context user-info key that marks the integrator's own contexts.
inline constexpr const char* SYNBelongsToEventIntegratorKey = "belongsToEventIntegrator";

// Work measured in progress units.
class SYNRevisionManager;
class SYNImportedChanges;

class SYNProgression {
  public:
    using ProgressUnitsBlock = std::function<void(uint64_t units)>;
    virtual ~SYNProgression() = default;
    virtual uint64_t numberOfProgressUnits() const = 0;
    virtual const ProgressUnitsBlock& progressUnitsCompletionBlock() const = 0;
    virtual void setProgressUnitsCompletionBlock(ProgressUnitsBlock block) = 0;
};

// What the integrator asks of its mesh, beyond the builder's services.
class SYNEventIntegratorMesh : public SYNMeshServices {
  public:
    // The model versions events may come from (see SYNRevisionManager).
    virtual std::optional<plat::URL> managedObjectModelURL() const { return std::nullopt; }
    // Why events were left out of a merge (informative codes, not errors).
    virtual void setNonCriticalErrorCodes(const std::set<int64_t>& /*codes*/) {}
};

class SYNEventIntegrator : public SYNProgression, public std::enable_shared_from_this<SYNEventIntegrator> {
  public:
    using Completion = std::function<void(plat::ErrorPtr)>;
    using Context = plat::coredata::ManagedObjectContext;
    // Asked before merged changes are saved, with the integrator's context
    // and a reparation context (a child of it): false cancels the merge
    // (101). Changes made in the reparation context are recorded in the
    // merge event and pushed into the integrator's context.
    using ShouldSaveBlock = std::function<bool(Context& context, Context& reparationContext)>;
    // Told once the merged changes are in the application store, with the
    // did-save user info of that save.
    using DidSaveBlock = std::function<void(Context& context, const plat::Dictionary& saveInfo)>;
    // Told when a save failed; true when it repaired something in the
    // reparation context and the save should be tried once more.
    using FailedSaveBlock =
        std::function<bool(Context& context, const plat::ErrorPtr& error, Context& reparationContext)>;
    using EntityBlock = std::function<void(const plat::coredata::EntityDescription& entity)>;
    // Test hook, called at named points of a merge; an error returned fails
    // the merge there (a store failure that a real store cannot be made to
    // produce on demand).
    using TestHook = std::function<plat::ErrorPtr(std::string_view point)>;

    static std::shared_ptr<SYNEventIntegrator> create(
        const plat::URL& storeURL, std::shared_ptr<plat::coredata::ManagedObjectModel> model,
        std::shared_ptr<SYNEventStore> eventStore);
    ~SYNEventIntegrator() override;
    SYNEventIntegrator(const SYNEventIntegrator&) = delete;
    SYNEventIntegrator& operator=(const SYNEventIntegrator&) = delete;

    const plat::URL& storeURL() const { return storeURL_; }
    const std::shared_ptr<plat::coredata::ManagedObjectModel>& managedObjectModel() const { return model_; }
    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }
    // The integrator's context of the merge in progress; null before the
    // first merge and once a merge has ended (see releaseStore).
    std::shared_ptr<Context> managedObjectContext() const EXCLUDES(contextMutex_);

    void setMesh(std::weak_ptr<SYNEventIntegratorMesh> mesh) { mesh_ = std::move(mesh); }
    void setPersistentStoreOptions(plat::Dictionary options) { persistentStoreOptions_ = std::move(options); }
    void setShouldSaveBlock(ShouldSaveBlock block) { shouldSaveBlock_ = std::move(block); }
    void setDidSaveBlock(DidSaveBlock block) { didSaveBlock_ = std::move(block); }
    void setFailedSaveBlock(FailedSaveBlock block) { failedSaveBlock_ = std::move(block); }
    void setWillBeginMergingEntityBlock(EntityBlock block) {
        willBeginMergingEntityBlock_ = std::move(block);
    }
    void setDidFinishMergingEntityBlock(EntityBlock block) {
        didFinishMergingEntityBlock_ = std::move(block);
    }
    void setTestHook(TestHook hook) { testHook_ = std::move(hook); }

    // SYNProgression: two units per entity of the model.
    uint64_t numberOfProgressUnits() const override;
    const ProgressUnitsBlock& progressUnitsCompletionBlock() const override { return progressBlock_; }
    void setProgressUnitsCompletionBlock(ProgressUnitsBlock block) override {
        progressBlock_ = std::move(block);
    }

    // Watches every save of the application's store by another (root)
    // context; such a save during a merge fails the merge with 207.
    void startMonitoringSaves() EXCLUDES(monitorMutex_);
    void stopMonitoringSaves() EXCLUDES(monitorMutex_);
    bool saveOccurredDuringMerge() const { return saveOccurredDuringMerge_.load(); }

    // Merges; returns at once. The completion gets null on success.
    void mergeEventsWithCompletion(Completion completion) EXCLUDES(contextMutex_);
    // Makes the merge in progress fail with 101 at its next step.
    void cancelMerge() { cancelled_.store(true); }

    // Whether the next merge replays everything from the baseline.
    bool needsFullIntegration();

  private:
    struct EventSelection;
    SYNEventIntegrator(const plat::URL& storeURL, std::shared_ptr<plat::coredata::ManagedObjectModel> model,
                       std::shared_ptr<SYNEventStore> eventStore);

    void runMerge(const Completion& completion, const std::shared_ptr<Context>& mergeContext);
    // At the end of a merge, lets go of its contexts, and with them of its
    // coordinator and store, before the completion is called. The store's
    // connection goes back to the file's spares, as the file stays open in
    // the process (storeFileHolder_), and the next merge's store takes that
    // same connection, with its page cache still valid, instead of one let
    // go a merge earlier that the commits since have made stale. The
    // contexts a later merge has put in place are left alone.
    void releaseStore(const std::shared_ptr<Context>& mergeContext) EXCLUDES(contextMutex_);
    [[nodiscard]] plat::ErrorPtr mergeOperation(bool& nothingToDo);
    // The checks of one merge share one revision manager, so that they read
    // the events once.
    SYNRevisionManager revisionManagerForMerge();
    bool needsFullIntegration(SYNRevisionManager& manager);
    plat::Result<EventSelection> storeModificationEventIDsForIntegration(SYNRevisionManager& manager);
    plat::Result<SYNManagedObjectIDs> integrableEventIDsFromEventIDs(const SYNManagedObjectIDs& eventIDs,
                                                                     std::set<int64_t>& codes,
                                                                     SYNRevisionManager& manager);
    plat::Result<bool> integrationIsNeededForEventIDs(const SYNManagedObjectIDs& eventIDs, bool full);
    bool checkUniquenessOfEventWithRevision(const SYNRevision& revision);

    // Applying events.
    [[nodiscard]] plat::ErrorPtr integrateEventIDs(const SYNManagedObjectIDs& eventIDs, bool full);
    [[nodiscard]] plat::ErrorPtr integrateEventsOfEntities(const SYNManagedObjectIDs& eventIDs, bool full);
    [[nodiscard]] plat::ErrorPtr integrateEntity(const plat::coredata::EntityDescription& entity,
                                                 const SYNManagedObjectIDs& eventIDs, bool full,
                                                 SYNEntityList& integrated);
    // The phases of integrateEntity, in order.
    struct EntityMerge;
    struct EntityBatch;
    [[nodiscard]] plat::ErrorPtr beginEntity(EntityMerge& merge);
    [[nodiscard]] plat::ErrorPtr readChangesOfEntity(EntityMerge& merge);
    [[nodiscard]] plat::ErrorPtr applyBatchesOfEntity(EntityMerge& merge);
    [[nodiscard]] plat::ErrorPtr updateRelationshipsIntoEntity(EntityMerge& merge);
    [[nodiscard]] plat::ErrorPtr deleteObjectsNoEventInserted(EntityMerge& merge);
    [[nodiscard]] plat::ErrorPtr finishEntity(EntityMerge& merge);
    // The steps of one batch of applyBatchesOfEntity.
    [[nodiscard]] plat::ErrorPtr applyBatch(EntityMerge& merge, EntityBatch& batch);
    [[nodiscard]] plat::ErrorPtr makeInsertedObjectsOfBatch(EntityMerge& merge, const EntityBatch& batch);
    // Whether the batch holds only updates with nothing this pass sets (no
    // attribute, no relationship of the first pass), all their records cached
    // with their values.
    bool batchSetsNothing(const EntityMerge& merge, const EntityBatch& batch) const;
    [[nodiscard]] plat::ErrorPtr applyRunsOfBatch(EntityMerge& merge, const EntityBatch& batch);
    [[nodiscard]] plat::ErrorPtr applyRun(EntityMerge& merge);
    [[nodiscard]] plat::ErrorPtr applyStages(const std::vector<std::shared_ptr<SYNIntegrationStage>>& stages,
                                             uint64_t batchSize);
    [[nodiscard]] plat::ErrorPtr insertAndUpdateObjects(const SYNManagedObjectIDs& changeIDs,
                                                        const SYNRelationshipList& relationships,
                                                        uint64_t batchSize,
                                                        SYNObjectIDSet* insertedObjectIDs);
    [[nodiscard]] plat::ErrorPtr updateObjects(const SYNManagedObjectIDs& changeIDs,
                                               const SYNRelationshipList& relationships, uint64_t batchSize);
    [[nodiscard]] plat::ErrorPtr updateRelationships(const SYNRelationshipList& relationships,
                                                     const SYNManagedObjectIDs& changeIDs,
                                                     uint64_t batchSize);
    [[nodiscard]] plat::ErrorPtr deleteObjects(const SYNManagedObjectIDs& changeIDs, uint64_t batchSize);
    [[nodiscard]] plat::ErrorPtr deleteUnreferencedObjectsOfEntity(
        const plat::coredata::EntityDescription& entity, const SYNObjectIDSet& insertedObjectIDs);
    [[nodiscard]] plat::ErrorPtr saveAndResetBatchForEntity(const plat::coredata::EntityDescription& entity);
    // The event builder's save and reset of the event store's context, left
    // out while that context holds no unsaved change and few objects: there
    // is nothing to write, and the reset would only drop objects (the merge
    // event among them) that the next steps read again. A context holding
    // many objects is reset, to bound memory, as before.
    [[nodiscard]] plat::ErrorPtr saveAndResetEvents();
    // Forgets what the import handed over for this merge (SYNImportedChanges),
    // and claims the hand-off of the event store's coordinator for the next
    // merge's import.
    void dropImportedChanges();
    // Puts the records of those changes that it lacks into the change cache.
    [[nodiscard]] plat::ErrorPtr cacheChanges(const SYNManagedObjectIDs& changeIDs);
    // Loads the existing objects the changes name into the integrator's
    // context with one fetch while it has no unsaved changes, so that the
    // stages find them there instead of looking each one up; the caller
    // keeps them for the batch.
    plat::Result<SYNManagedObjects> preloadObjects(const plat::coredata::EntityDescription& entity,
                                                   const SYNManagedObjectIDs& changeIDs);

    // Saving.
    [[nodiscard]] plat::ErrorPtr saveAndResetManagedObjectContext();
    [[nodiscard]] plat::ErrorPtr repair();
    [[nodiscard]] plat::ErrorPtr commitToStaging();
    [[nodiscard]] plat::ErrorPtr commitToStore();
    [[nodiscard]] plat::ErrorPtr checkPoint(std::string_view point);
    std::shared_ptr<Context> makeReparationContext();
    // Records the reparation context's unsaved changes in the merge event.
    [[nodiscard]] plat::ErrorPtr addRepairsToEvent(Context& reparation);
    void contextSaving(const plat::Notification& notification);

    void failWithCompletion(const Completion& completion, plat::ErrorPtr error);
    void completeSuccessfullyWithCompletion(const Completion& completion, bool clearFullIntegration);
    void report(uint64_t units);

    plat::URL storeURL_;
    std::shared_ptr<plat::coredata::ManagedObjectModel> model_;
    std::shared_ptr<SYNEventStore> eventStore_;
    // Whether an entity of the model has a migration batch size (read when
    // the integrator is made), so that the merged changes are saved batch by
    // batch before the commit. Without, the only save before the commit is
    // the last one, and a staging context would only copy every changed
    // object once more: the integrator's context is then on the store and
    // keeps its changes for the commit.
    const bool savesBatches_;
    std::weak_ptr<SYNEventIntegratorMesh> mesh_;
    plat::Dictionary persistentStoreOptions_;
    ShouldSaveBlock shouldSaveBlock_;
    DidSaveBlock didSaveBlock_;
    FailedSaveBlock failedSaveBlock_;
    EntityBlock willBeginMergingEntityBlock_;
    EntityBlock didFinishMergingEntityBlock_;
    ProgressUnitsBlock progressBlock_;
    TestHook testHook_;

    std::shared_ptr<plat::dispatch::OperationQueue> queue_;
    mutable plat::Mutex contextMutex_;
    std::shared_ptr<Context> managedObjectContext_ GUARDED_BY(contextMutex_);
    // The root context on the application store that batches are saved into;
    // null when the model has no batch size (see savesBatches_).
    std::shared_ptr<Context> stagingContext_ GUARDED_BY(contextMutex_);
    // The integrator's context, on the store, holds the merge's changes,
    // repaired, for the commit (no staging context). Used on the merge queue.
    bool changesHeldForCommit_ = false;
    std::optional<std::string> newEventUniqueId_;
    // Whether a repair has recorded changes in the merge event of this merge
    // (the only way it gets any). Used on the merge queue.
    bool eventHoldsChanges_ = false;
    std::shared_ptr<SYNEventBuilder> eventBuilder_;
    // A coordinator with the application store open, opened at the end of
    // the first merge and kept, idle (it reads and writes nothing after its
    // open), for the integrator's life: while it has the file open, a
    // merge's store that closes leaves its connection for the next merge
    // (see releaseStore) rather than closing it, writing the log back and
    // removing it. Used on the merge queue.
    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> storeFileHolder_;
    plat::Dictionary saveInfoDictionary_;
    // The records of the changes of the entity being merged.
    std::shared_ptr<SYNChangeRecordCache> changeCache_;
    // The store URI forms the change caches have resolved, kept for the
    // integrator's life: each merge's store is on a coordinator of its own,
    // and its caches find the forms' stores and entities there by name.
    const std::shared_ptr<SYNStoreURIForms> storeURIForms_ = std::make_shared<SYNStoreURIForms>();
    // Whether the events being integrated hold few enough changes that each
    // entity's are read with their values (decided once per integration).
    std::optional<bool> changesReadWithValues_;
    // With few changes, the stored changes of every entity in the events,
    // read with one query when the first entity is read (see
    // readChangesOfEntity); each entity takes its own. Null when not read.
    struct StoredChanges;
    std::shared_ptr<StoredChanges> storedChanges_;
    // The hand-off this integrator takes the import's records from: held so
    // that imports keep records only for an integrator that will take them
    // (and drop them with it). Used on the merge queue.
    std::shared_ptr<SYNImportedChanges> importedChanges_;
    std::atomic<bool> saveOccurredDuringMerge_{false};
    std::atomic<bool> cancelled_{false};
    plat::Mutex monitorMutex_;
    std::vector<plat::ObserverToken> saveObservers_ GUARDED_BY(monitorMutex_);
    // A file, told apart from others by device and inode (links to it, of
    // either kind, name the same file).
    struct FileIdentity {
        uint64_t device = 0;
        uint64_t inode = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    // The file a file URL names now, links followed; nullopt when there is
    // none (or the URL is not a file URL).
    static std::optional<FileIdentity> fileAtURL(const plat::URL& url);
    // While saves are monitored: whether a saving context's store (at url)
    // writes the file this integrator's store URL names. That file is found
    // once per merge, at the first save seen. A store writes the file its
    // URL named when it was first seen here (a store keeps the file it
    // opened, whatever happens to its path later), so each store is looked
    // up once while it lives, not again in every merge. When either file
    // cannot be found, the paths are compared with their links resolved.
    bool storeWritesOurFile(const std::shared_ptr<plat::coredata::PersistentStore>& store,
                            const plat::URL& url) EXCLUDES(resolvedPathsMutex_);
    struct SeenStore {
        std::weak_ptr<plat::coredata::PersistentStore> store;
        std::string url;
        FileIdentity file;
    };
    plat::Mutex resolvedPathsMutex_;
    // The file of this integrator's store URL in the merge under way; reset
    // when monitoring starts (nullopt inside: none found).
    std::optional<std::optional<FileIdentity>> ourFile_ GUARDED_BY(resolvedPathsMutex_);
    // The stores seen saving, with their files; those gone are dropped as
    // new ones come.
    std::vector<SeenStore> seenStores_ GUARDED_BY(resolvedPathsMutex_);
};
