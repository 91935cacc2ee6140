// PersistentStoreCoordinator: the model and the stores contexts read from and
// save to.
//
// Every member may be called from any thread: the coordinator serialises
// access to its stores with one (recursive) lock, which performBlockAndWait
// also takes so that callers can group several calls. Several coordinators
// may open the same store file; each sees the others' saves when it reads.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/coredata/PersistentStore.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/ThreadAnnotations.h"

namespace plat::coredata {

class PersistentStoreCoordinator : public std::enable_shared_from_this<PersistentStoreCoordinator> {
  public:
    // Finalizes the model; throws ModelException when it is not valid.
    static std::shared_ptr<PersistentStoreCoordinator> create(std::shared_ptr<ManagedObjectModel> model);
    ~PersistentStoreCoordinator();

    const std::shared_ptr<const ManagedObjectModel>& managedObjectModel() const { return model_; }

    // Opens (creating when needed) a store of type at url (none for the
    // in-memory store). Built-in types: SQLiteStoreType, InMemoryStoreType,
    // BinaryStoreType. Options: MigratePersistentStoresAutomaticallyOption
    // together with InferMappingModelAutomaticallyOption migrate a store
    // written with another model when only entities or properties were added
    // or removed; ReadOnlyPersistentStoreOption. Errors: 134000 for an unknown
    // type; those of the store (unreadable file 259, another store type 134010,
    // model mismatch 134100, no mapping 134140 / 134190, ...).
    Result<std::shared_ptr<PersistentStore>> addPersistentStore(const std::string& type,
                                                                const std::string& configuration,
                                                                const std::optional<URL>& url,
                                                                const Dictionary& options = {});
    [[nodiscard]] ErrorPtr removePersistentStore(const std::shared_ptr<PersistentStore>& store);
    std::vector<std::shared_ptr<PersistentStore>> persistentStores() const;
    // The number of stores, without copying the list.
    std::size_t persistentStoreCount() const;
    std::shared_ptr<PersistentStore> persistentStoreForURL(const URL& url) const;
    std::shared_ptr<PersistentStore> persistentStoreForIdentifier(const std::string& identifier) const;

    // The ID a URI names, when its store is one of this coordinator's and its
    // entity is in the model; null otherwise (also for malformed URIs and
    // temporary IDs). The row need not exist.
    ManagedObjectIDPtr managedObjectIDForURIRepresentation(const URL& uri) const;
    ManagedObjectIDPtr managedObjectIDForURIRepresentation(std::string_view uriString) const;

    // The metadata of the store file at url, without adding the store. The
    // type is found from the file itself (SQLite's header or the binary
    // store's magic); a non-empty type that differs from the file's is an
    // error (134010). Errors: 260 for a missing file, 259 for a file that is
    // no store. Any thread.
    static Result<Dictionary> metadataForPersistentStoreOfType(const std::string& type, const URL& url,
                                                               const Dictionary& options = {});
    // Replaces the metadata of the store file at url (the store's own keys
    // are kept). Only SQLite files can be changed in place; for a store that
    // is added, use the instance method. Any thread.
    [[nodiscard]] static ErrorPtr setMetadata(const Dictionary& metadata, const std::string& type,
                                              const URL& url);
    // The metadata of one of this coordinator's stores.
    Dictionary metadataForPersistentStore(const std::shared_ptr<PersistentStore>& store) const;
    // Replaces the metadata of one of this coordinator's stores (its own keys
    // are kept). A SQLite store writes it at once; other stores with their
    // next save.
    [[nodiscard]] ErrorPtr setMetadata(const Dictionary& metadata,
                                       const std::shared_ptr<PersistentStore>& store);
    // Changes the metadata of one of this coordinator's stores in place
    // (PersistentStore::updateMetadata) and writes it as setMetadata does.
    [[nodiscard]] ErrorPtr updateMetadata(const std::shared_ptr<PersistentStore>& store,
                                          const std::function<void(Dictionary&)>& update);

    // Runs block on the calling thread with the coordinator's lock held; the
    // block may call the coordinator again (the lock is re-entered).
    void performBlockAndWait(const std::function<void()>& block);

    // --- For contexts ----------------------------------------------------------
    // With one store, its rows in the request's order and window. With several,
    // the stores' rows one store after another, not ordered across stores:
    // the caller orders and windows them (the context asks without a window).
    Result<std::vector<SnapshotPtr>> fetchRows(const FetchRequest& request, const EntityDescription& entity);
    // As fetchRows; the rows need only hold the named properties' values
    // (see PersistentStore::fetchRowsReading).
    Result<std::vector<SnapshotPtr>> fetchRowsReading(const FetchRequest& request,
                                                      const EntityDescription& entity,
                                                      const std::vector<std::string>& propertyNames);
    // The number of rows fetchRows would return, counted by the stores.
    Result<std::size_t> countRows(const FetchRequest& request, const EntityDescription& entity);
    Result<SnapshotPtr> rowForID(const ManagedObjectID& id);
    // Whether the rows of ids exist (false for IDs of no store here).
    Result<std::vector<bool>> rowsExist(const std::vector<ManagedObjectIDPtr>& ids);
    Result<std::vector<ManagedObjectIDPtr>> membersOf(const ManagedObjectID& id,
                                                      const RelationshipDescription& r);
    // Permanent IDs for new objects of entity, in the first store.
    Result<std::vector<ManagedObjectIDPtr>> newObjectIDs(const EntityDescription& entity, std::size_t count);
    // The same as keys, with the store they belong to.
    struct ReservedKeys {
        std::shared_ptr<PersistentStore> store;
        std::vector<int64_t> keys;
    };
    Result<ReservedKeys> reserveNewObjectKeys(const EntityDescription& entity, std::size_t count);
    // Keys for several entities at once, in the first store (one durable step
    // where the store writes one); the keys of each request, in order.
    Result<std::pair<std::shared_ptr<PersistentStore>, std::vector<std::vector<int64_t>>>>
    reserveNewObjectKeys(const std::vector<PersistentStore::KeyRequest>& requests);
    // Hands each store its part of changes. PersistentStoreSaveError (134030),
    // with nothing written, when a change belongs to no store of the
    // coordinator; with several stores, each part is its own transaction.
    [[nodiscard]] ErrorPtr save(const StoreChanges& changes);

    // Registers a store type: make builds an unloaded store. The built-in
    // types need no registering; registering one of them replaces its factory.
    using StoreFactory = std::function<std::shared_ptr<PersistentStore>(
        const std::optional<URL>& url, const std::string& configuration, const Dictionary& options)>;
    static void registerStoreType(const std::string& type, StoreFactory make);

  private:
    // The coordinator's lock. The thread that holds it may take it again: a
    // performBlockAndWait block calls the coordinator's public members, which
    // lock it themselves. Within the coordinator no member relocks it (the
    // shared work lives in the *Locked functions), so the analysis sees each
    // entry point take it once.
    // Built on a plat::Mutex; lock() and unlock() are the capability's own
    // implementation, which the analysis cannot follow (they keep the inner
    // mutex held across calls, and the owner re-enters without it).
    class CAPABILITY("mutex") ReentrantMutex {
      public:
        void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
            if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
                ++depth_;
                return;
            }
            mutex_.lock();
            owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
            depth_ = 1;
        }
        void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
            if (--depth_ > 0)
                return;
            owner_.store(std::thread::id(), std::memory_order_relaxed);
            mutex_.unlock();
        }

      private:
        Mutex mutex_;
        // Only the holder writes these; another thread reading owner_ can
        // never see its own id there.
        std::atomic<std::thread::id> owner_{};
        int depth_ = 0;
    };
    class SCOPED_CAPABILITY Lock {
      public:
        explicit Lock(ReentrantMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
        ~Lock() RELEASE() { mutex_.unlock(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        ReentrantMutex& mutex_;
    };

    explicit PersistentStoreCoordinator(std::shared_ptr<const ManagedObjectModel> model)
        : model_(std::move(model)) {}
    std::shared_ptr<PersistentStore> storeFor(const ManagedObjectID& id) const REQUIRES(mutex_);
    std::shared_ptr<PersistentStore> storeForURLLocked(const URL& url) const REQUIRES(mutex_);
    Result<std::vector<SnapshotPtr>> fetchRowsLocked(const FetchRequest& request,
                                                     const EntityDescription& entity) REQUIRES(mutex_);

    std::shared_ptr<const ManagedObjectModel> model_;
    mutable ReentrantMutex mutex_;
    std::vector<std::shared_ptr<PersistentStore>> stores_ GUARDED_BY(mutex_);
};

}  // namespace plat::coredata
