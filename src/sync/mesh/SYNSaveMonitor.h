// SYNSaveMonitor: turns every save of the application's store into a save
// event of the local event store, so that the next merge exports it.
//
// It watches the will-save and did-save notifications of every context of
// the process and keeps the saves that reach the monitored store file
// directly (not through a parent context), that are not the event
// integrator's (context user info "belongsToEventIntegrator"), and only
// while the event store holds event data. Before a save it records the
// pre-save values of updated objects; after it, the event is built on the
// event store's context, in the order of the saves. Each save gets a token:
// the save event's unique identifier, registered with the event store as an
// incomplete mandatory event until the event is stored, so that an
// interrupted save is found at the next launch.
//
// Notifications, with the saving context as object and user info
// "persistentStoreMesh" (the mesh, boxed) and, after the save, "saveToken":
// will-save and did-save synchronously on the saving thread,
// will-be-stored there when the save has something to record, were-stored
// on the main queue once storage ended (always, also after failures).
//
// The token is registered before the store commits, and the save's intent
// (the IDs of the objects it inserts and deletes with the global
// identifiers the application gives the inserted ones, the names of the
// properties it updates and the to-many members it adds and removes) goes
// into the store's metadata, which the store writes in the same transaction
// as the save's rows. A process killed between the commit and the stored
// event leaves both behind; the next launch makes the event again from the
// intent and the objects as committed (recordInterruptedSaves), so the save
// reaches the other machines once, as it would have. A token without an
// intent in the store names a save that never committed: it is dropped.
//
// A save whose event cannot be stored keeps its token registered and makes
// the mesh delist the store at once (code 203, as when a launch finds such a
// token that it cannot record): the enlist that follows imports the whole
// store, so the save is not lost, and no merge runs over the store meanwhile.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/integration/SYNEventIntegrator.h"

class SYNPersistentStoreMesh;

inline constexpr const char* SYNMonitoredManagedObjectContextWillSaveNotification =
    "SYNMonitoredManagedObjectContextWillSaveNotification";
inline constexpr const char* SYNMonitoredManagedObjectContextDidSaveNotification =
    "SYNMonitoredManagedObjectContextDidSaveNotification";
inline constexpr const char* SYNMonitoredManagedObjectContextSaveChangesWillBeStoredNotification =
    "SYNMonitoredManagedObjectContextSaveChangesWillBeStoredNotification";
inline constexpr const char* SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification =
    "SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification";
inline constexpr const char* SYNPersistentStoreMeshKey = "persistentStoreMesh";
inline constexpr const char* SYNSaveTokenKey = "saveToken";
// Store metadata key of the intents of saves whose events may not be stored.
inline constexpr const char* SYNSaveIntentsMetadataKey = "SYNSaveIntents";

class SYNSaveMonitor : public std::enable_shared_from_this<SYNSaveMonitor> {
  public:
    // Starts observing at once.
    static std::shared_ptr<SYNSaveMonitor> create(std::string storePath,
                                                  std::shared_ptr<SYNEventStore> eventStore,
                                                  std::weak_ptr<SYNPersistentStoreMesh> mesh);
    ~SYNSaveMonitor();

    const std::string& storePath() const { return storePath_; }
    // Removes every observation; the mesh calls it when dismantled.
    void stopMonitoring() EXCLUDES(mutex_);
    // Whether a save of the store with that identifier could not be recorded
    // as an event (the mesh then merges nothing more into that store).
    bool lostSaveEventOfStore(const std::optional<std::string>& storeIdentifier) const EXCLUDES(mutex_);
    // Makes the events of the saves that committed with an intent and whose
    // events were not stored (a killed process), from the intents and the
    // store as it is; drops the tokens of saves that never committed. The
    // mesh calls it as it is made, before the application can save or merge.
    // Only the given tokens (those registered before this process saved) are
    // looked at; those it could not settle stay registered, and the error
    // says why.
    [[nodiscard]] plat::ErrorPtr recordInterruptedSaves(
        const std::vector<std::string>& tokensAtLaunch,
        const std::shared_ptr<plat::coredata::ManagedObjectModel>& model,
        const std::optional<plat::Dictionary>& storeOptions);
    // Merges refuse the store from now on (a save of it is known lost).
    void noteLostSaveEventOfStore(const std::string& storeIdentifier) EXCLUDES(mutex_);

  private:
    SYNSaveMonitor(std::string storePath, std::shared_ptr<SYNEventStore> eventStore,
                   std::weak_ptr<SYNPersistentStoreMesh> mesh);
    // The monitored store when the context's saves are recorded (null for
    // every other context, and while the event store holds no event data).
    std::shared_ptr<plat::coredata::PersistentStore> monitoredStoreOfSave(
        const plat::coredata::ManagedObjectContext& context) const;
    std::shared_ptr<plat::coredata::PersistentStore> monitoredStore(
        const plat::coredata::ManagedObjectContext& context) const;
    bool isMonitoredFile(const std::shared_ptr<plat::coredata::PersistentStore>& store) const
        EXCLUDES(storeMatchesMutex_);
    // Those of `objects` in `store` whose entities are not ignored.
    SYNManagedObjects monitoredObjects(const std::shared_ptr<plat::coredata::PersistentStore>& store,
                                       const SYNManagedObjects& objects) const;
    void contextWillSave(const plat::coredata::ManagedObjectContext& context) EXCLUDES(mutex_);
    void contextDidSave(const plat::coredata::ManagedObjectContext& context, const plat::Dictionary& info)
        EXCLUDES(mutex_);
    // The global identifiers the mesh gave objects a save inserts, by ID
    // (nullopt where it gave none).
    using GivenIdentifiers =
        std::unordered_map<plat::coredata::ManagedObjectIDPtr, std::optional<std::string>,
                           plat::coredata::ObjectIDHash, plat::coredata::ObjectIDEqual>;
    // Registers the save's token and puts its intent into the store's
    // metadata; empty when there is nothing to record or it cannot be done.
    // `given` receives the identifiers the intent holds for inserted objects.
    std::string recordIntent(const plat::coredata::ManagedObjectContext& context,
                             const std::shared_ptr<plat::coredata::PersistentStore>& store,
                             const SYNPropertyChangeValuesByObjectID& preSave, GivenIdentifiers& given)
        EXCLUDES(intentsMutex_);
    // Builds and stores the save event; inside the event store's context.
    bool storeSaveEvent(SYNEventBuilder& builder, const std::string& token,
                        const SYNManagedObjectIDs& insertedIDs,
                        const std::vector<std::optional<std::string>>& identifiers,
                        SYNPropertyChangeValueArrays insertValues, const SYNManagedObjectIDs& updatedIDs,
                        SYNPropertyChangeValuesByObjectID preSave, const SYNManagedObjectIDs& deletedIDs);
    [[nodiscard]] plat::ErrorPtr recordInterruptedSave(const std::string& token,
                                                       const plat::Dictionary* intent,
                                                       plat::coredata::ManagedObjectContext& context);
    // Deregisters the token (eventStored: its event is committed, so the
    // metadata write may wait) and posts that the changes were stored.
    void complete(const std::shared_ptr<const void>& context, const std::string& token,
                  bool eventStored = false);
    void failed(const std::shared_ptr<const void>& context, const std::string& token,
                const std::string& storeIdentifier) EXCLUDES(mutex_);
    void postWereStored(const std::shared_ptr<const void>& context, const std::string& token);
    plat::Dictionary userInfo(const std::optional<std::string>& token) const;

    std::string storePath_;
    std::string standardizedStorePath_;
    // The event stores' shared model (it lives as long as the process): a
    // context whose coordinator has it saves an event store.
    const plat::coredata::ManagedObjectModel* eventStoreModel_;
    std::shared_ptr<SYNEventStore> eventStore_;
    std::weak_ptr<SYNPersistentStoreMesh> mesh_;
    // Whether each store seen (by identity; gone ones are dropped) is the
    // monitored file.
    mutable plat::Mutex storeMatchesMutex_;
    mutable std::map<std::weak_ptr<plat::coredata::PersistentStore>, bool,
                     std::owner_less<std::weak_ptr<plat::coredata::PersistentStore>>>
        storeMatches_ GUARDED_BY(storeMatchesMutex_);
    // Held across the read, change and write of the store's intent list,
    // so that two contexts saving at once keep each other's intents. The
    // store's metadata accessors take only the store's own lock.
    plat::Mutex intentsMutex_;
    mutable plat::Mutex mutex_;
    std::vector<plat::ObserverToken> observers_ GUARDED_BY(mutex_);
    std::set<std::string> storesWithLostSaveEvents_ GUARDED_BY(mutex_);
    struct PendingSave {
        std::string token;
        SYNPropertyChangeValuesByObjectID values;
        // What the intent recorded: the event takes the same identifiers
        // without asking the mesh's delegate a second time.
        GivenIdentifiers identifiers;
    };
    std::unordered_map<const plat::coredata::ManagedObjectContext*, PendingSave> changedValuesByContext_
        GUARDED_BY(mutex_);
};
