// PersistentStoreCoordinator: the model and the stores contexts read from and
// save to.
//
// Every member may be called from any thread: the coordinator serialises
// access to its stores with one (recursive) lock, which performBlockAndWait
// also takes so that callers can group several calls. Several coordinators
// may open the same store file; each sees the others' saves when it reads.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coredata/PersistentStore.h"

namespace plat::coredata {

class PersistentStoreCoordinator : public std::enable_shared_from_this<PersistentStoreCoordinator> {
  public:
    // Finalizes the model; throws ModelException when it is not valid.
    static std::shared_ptr<PersistentStoreCoordinator> create(std::shared_ptr<ManagedObjectModel> model);
    ~PersistentStoreCoordinator();

    const std::shared_ptr<const ManagedObjectModel>& managedObjectModel() const { return model_; }

    // Opens (creating when needed) a store of type at url (none for the
    // in-memory store). Errors: 134000 for an unknown type; those of the
    // store (unreadable file, model mismatch, ...).
    Result<std::shared_ptr<PersistentStore>> addPersistentStore(const std::string& type,
                                                                const std::string& configuration,
                                                                const std::optional<URL>& url,
                                                                const Dictionary& options = {});
    ErrorPtr removePersistentStore(const std::shared_ptr<PersistentStore>& store);
    std::vector<std::shared_ptr<PersistentStore>> persistentStores() const;
    std::shared_ptr<PersistentStore> persistentStoreForURL(const URL& url) const;
    std::shared_ptr<PersistentStore> persistentStoreForIdentifier(const std::string& identifier) const;

    // The ID a URI names, when its store is one of this coordinator's and its
    // entity is in the model; null otherwise (also for malformed URIs and
    // temporary IDs). The row need not exist.
    ManagedObjectIDPtr managedObjectIDForURIRepresentation(const URL& uri) const;
    ManagedObjectIDPtr managedObjectIDForURIRepresentation(std::string_view uriString) const;

    void performBlockAndWait(const std::function<void()>& block);

    // --- For contexts ----------------------------------------------------------
    Result<std::vector<SnapshotPtr>> fetchRows(const FetchRequest& request, const EntityDescription& entity);
    Result<SnapshotPtr> rowForID(const ManagedObjectID& id);
    Result<std::vector<ManagedObjectIDPtr>> membersOf(const ManagedObjectID& id,
                                                      const RelationshipDescription& r);
    // Permanent IDs for new objects of entity, in the first store.
    Result<std::vector<ManagedObjectIDPtr>> newObjectIDs(const EntityDescription& entity, std::size_t count);
    ErrorPtr save(const StoreChanges& changes);

    // Registers a store type: make builds an unloaded store.
    using StoreFactory = std::function<std::shared_ptr<PersistentStore>(
        const std::optional<URL>& url, const std::string& configuration, const Dictionary& options)>;
    static void registerStoreType(const std::string& type, StoreFactory make);

  private:
    explicit PersistentStoreCoordinator(std::shared_ptr<const ManagedObjectModel> model)
        : model_(std::move(model)) {}
    std::shared_ptr<PersistentStore> storeFor(const ManagedObjectID& id) const;

    std::shared_ptr<const ManagedObjectModel> model_;
    mutable std::recursive_mutex mutex_;
    std::vector<std::shared_ptr<PersistentStore>> stores_;
};

}  // namespace plat::coredata
