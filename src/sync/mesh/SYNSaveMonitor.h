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
// A save whose event cannot be stored keeps its token registered and makes
// the mesh delist the store at once (code 203, as when a launch finds such a
// token): the enlist that follows imports the whole store, so the save is
// not lost, and no merge runs over the store meanwhile.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/coredata/ManagedObjectContext.h"
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

class SYNSaveMonitor : public std::enable_shared_from_this<SYNSaveMonitor> {
  public:
    // Starts observing at once.
    static std::shared_ptr<SYNSaveMonitor> create(std::string storePath,
                                                  std::shared_ptr<SYNEventStore> eventStore,
                                                  std::weak_ptr<SYNPersistentStoreMesh> mesh);
    ~SYNSaveMonitor();

    const std::string& storePath() const { return storePath_; }
    // Removes every observation; the mesh calls it when dismantled.
    void stopMonitoring();
    // Whether a save of the store with that identifier could not be recorded
    // as an event (the mesh then merges nothing more into that store).
    bool lostSaveEventOfStore(const std::optional<std::string>& storeIdentifier) const;

  private:
    SYNSaveMonitor(std::string storePath, std::shared_ptr<SYNEventStore> eventStore,
                   std::weak_ptr<SYNPersistentStoreMesh> mesh);
    bool isMonitored(const plat::coredata::ManagedObjectContext& context) const;
    std::shared_ptr<plat::coredata::PersistentStore> monitoredStore(
        const plat::coredata::ManagedObjectContext& context) const;
    SYNManagedObjects monitoredObjects(const plat::coredata::ManagedObjectContext& context,
                                       const SYNManagedObjects& objects) const;
    void contextWillSave(const plat::coredata::ManagedObjectContext& context);
    void contextDidSave(const plat::coredata::ManagedObjectContext& context, const plat::Dictionary& info);
    void complete(const std::shared_ptr<const void>& context, const std::string& token);
    void failed(const std::shared_ptr<const void>& context, const std::string& token,
                const std::string& storeIdentifier);
    void postWereStored(const std::shared_ptr<const void>& context, const std::string& token);
    plat::Dictionary userInfo(const std::optional<std::string>& token) const;

    std::string storePath_;
    std::string standardizedStorePath_;
    std::shared_ptr<SYNEventStore> eventStore_;
    std::weak_ptr<SYNPersistentStoreMesh> mesh_;
    std::vector<plat::ObserverToken> observers_;
    mutable std::mutex mutex_;
    std::set<std::string> storesWithLostSaveEvents_;
    std::unordered_map<const plat::coredata::ManagedObjectContext*, SYNPropertyChangeValuesByObjectID>
        changedValuesByContext_;
};
