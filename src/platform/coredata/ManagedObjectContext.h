// ManagedObjectContext: a scratch pad of managed objects — it fetches them
// from its coordinator's stores (or from its parent context), tracks their
// changes, applies delete rules and saves everything in one go.
//
// Concurrency types:
//   PrivateQueue  the context owns a serial dispatch queue. performBlock runs
//                 blocks on it in FIFO order; performBlockAndWait waits its
//                 turn behind them and then runs the block on the calling
//                 thread, inline when the caller already runs inside the
//                 context (re-entrant, also through other contexts' blocks).
//   MainQueue     the same on the main queue, except that performBlockAndWait
//                 from another thread runs the block on the main thread (the
//                 main loop must be running) and waits for it.
//   Confinement   no queue: used only by the thread that owns it;
//                 performBlockAndWait runs inline, performBlock throws.
// Every other member must be called inside the context (one of its blocks,
// or the confining thread). After each outermost block the context processes
// pending changes.
//
// Notifications (posted on NotificationCenter::defaultCenter(), synchronously
// on the thread doing the work, with the context as object):
//   ManagedObjectContextObjectsDidChangeNotification  on processPendingChanges
//   ManagedObjectContextWillSaveNotification          before a save's work
//   ManagedObjectContextDidSaveNotification           after a successful save
// with sets of managed objects under InsertedObjectsKey, UpdatedObjectsKey
// and DeletedObjectsKey. A save without changes succeeds and posts nothing; a
// failed save posts no did-save.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/coredata/FetchRequest.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"

namespace plat::coredata {

enum class ConcurrencyType { Confinement, PrivateQueue, MainQueue };

inline constexpr const char* ManagedObjectContextWillSaveNotification =
    "NSManagedObjectContextWillSaveNotification";
inline constexpr const char* ManagedObjectContextDidSaveNotification =
    "NSManagedObjectContextDidSaveNotification";
inline constexpr const char* ManagedObjectContextObjectsDidChangeNotification =
    "NSManagedObjectContextObjectsDidChangeNotification";
inline constexpr const char* InsertedObjectsKey = "inserted";
inline constexpr const char* UpdatedObjectsKey = "updated";
inline constexpr const char* DeletedObjectsKey = "deleted";
inline constexpr const char* RefreshedObjectsKey = "refreshed";
inline constexpr const char* InvalidatedObjectsKey = "invalidated";
// Validation error user info.
inline constexpr const char* ValidationObjectErrorKey = "NSValidationErrorObject";
inline constexpr const char* ValidationKeyErrorKey = "NSValidationErrorKey";
inline constexpr const char* DetailedErrorsKey = "NSDetailedErrors";

class ManagedObjectContext : public std::enable_shared_from_this<ManagedObjectContext> {
  public:
    static std::shared_ptr<ManagedObjectContext> create(ConcurrencyType type);
    ~ManagedObjectContext();
    ManagedObjectContext(const ManagedObjectContext&) = delete;
    ManagedObjectContext& operator=(const ManagedObjectContext&) = delete;

    ConcurrencyType concurrencyType() const { return type_; }
    // Set one of the two before use; setting one clears the other.
    void setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator);
    void setParentContext(std::shared_ptr<ManagedObjectContext> parent);
    // The coordinator, also for child contexts (their root's).
    std::shared_ptr<PersistentStoreCoordinator> persistentStoreCoordinator() const;
    std::shared_ptr<ManagedObjectContext> parentContext() const { return parent_; }
    // Free for callers; the context never reads it. Any thread.
    Dictionary userInfo() const;
    void setUserInfo(Dictionary userInfo);
    void setUndoManager(std::nullptr_t) {}

    void performBlock(std::function<void()> block);
    void performBlockAndWait(const std::function<void()>& block);

    // A new object of the entity, inserted; null for an unknown or abstract
    // entity. Attributes start at their defaults.
    ManagedObjectPtr insertNewObjectForEntityForName(std::string_view entityName);
    // Marks the object deleted; delete rules apply at processPendingChanges.
    // ModelException for an object of another context.
    void deleteObject(const ManagedObjectPtr& object);
    // The registered object for id, or a fault for it (which may fail to fill
    // later). ModelException for an ID of another model.
    ManagedObjectPtr objectWithID(const ManagedObjectIDPtr& id);
    // The object, filled, when it exists (registered or stored); an error
    // (code 133000) otherwise.
    Result<ManagedObjectPtr> existingObjectWithID(const ManagedObjectIDPtr& id);
    // The registered object for id, or null.
    ManagedObjectPtr objectRegisteredForID(const ManagedObjectIDPtr& id) const;
    std::vector<ManagedObjectPtr> registeredObjects() const;
    // How many objects are registered, without listing them.
    std::size_t registeredObjectCount() const;

    // Objects; with relationshipKeyPathsForPrefetching, the objects those
    // key paths reach are loaded too, one query per relationship of a path
    // (ordered to-manys and to-manys without a to-one inverse are still read
    // per object when first used). A key path naming no relationship throws
    // ModelException.
    Result<std::vector<ManagedObjectPtr>> executeFetchRequest(const FetchRequest& request);
    Result<std::vector<ManagedObjectIDPtr>> fetchObjectIDs(const FetchRequest& request);
    Result<std::size_t> countForFetchRequest(const FetchRequest& request);
    // Dictionary results (see FetchRequest::propertiesToFetch; all attributes
    // when it is empty). Without unsaved changes in a root context, the rows
    // come from the store, reading only the properties asked for, and no
    // object is registered.
    Result<std::vector<Dictionary>> fetchDictionaries(const FetchRequest& request);
    // The result type's form: objects, IDs, dictionaries, or one count.
    Result<Array> executeFetchRequestValues(const FetchRequest& request);

    // Which of the IDs name an object that exists: one registered here and
    // neither deleted nor invalidated, else a row of the store (or of the
    // parent context). Reads keys only: no row is decoded and no object
    // registered. Answers in the order of the IDs; temporary IDs not
    // registered here, and IDs of other stores, do not exist.
    Result<std::vector<bool>> existingObjectIDs(const std::vector<ManagedObjectIDPtr>& ids);

    // Gives the objects permanent IDs now (reserved in the store, never reused).
    [[nodiscard]] ErrorPtr obtainPermanentIDsForObjects(const std::vector<ManagedObjectPtr>& objects);

    bool hasChanges() const;
    std::vector<ManagedObjectPtr> insertedObjects() const;
    std::vector<ManagedObjectPtr> updatedObjects() const;
    std::vector<ManagedObjectPtr> deletedObjects() const;

    void processPendingChanges();
    // Validates and writes every change: to the store in one transaction, or
    // into the parent context for a child. On failure nothing is written and
    // the objects keep their changes.
    [[nodiscard]] ErrorPtr save();
    // Forgets every object: held objects become invalidated.
    void reset();
    // Discards every unsaved change.
    void rollback();
    // Turns the object back into a fault (mergeChanges false: dropping its
    // changes), or reloads it keeping its changes (mergeChanges true).
    void refreshObject(const ManagedObjectPtr& object, bool mergeChanges);
    // Brings in the changes of another context's did-save notification, also
    // from another coordinator on the same store: changed objects are
    // reloaded, deleted ones forgotten.
    void mergeChangesFromContextDidSaveNotification(const Notification& notification);

  private:
    friend class ManagedObject;
    friend class RelationshipProxy;
    class ObjectSet;
    struct Impl;

    explicit ManagedObjectContext(ConcurrencyType type);

    // Used by managed objects.
    void fulfillFault(ManagedObject& object);
    std::vector<ManagedObjectPtr> loadMembers(const ManagedObject& object, const RelationshipDescription& r);
    void objectDidChange(ManagedObject& object);
    // A to-one of source set by ID (ManagedObject::setObjectIDForKey);
    // `again`: the relationship was already changed since the save.
    void noteLinkByID(ManagedObject& source, const RelationshipDescription& r, ManagedObjectIDPtr from,
                      ManagedObjectIDPtr to, bool again);
    // The inverse to-manys' differences of the links set by ID, for the save.
    void collectLinksByID(StoreChanges& changes);
    // room: bytes of room for a packed row in the object's block (a fetched
    // row's, see ManagedObject::roomFor), 0 for none; idInRoom: a permanent
    // ID is kept there too (ManagedObject::RoomID).
    ManagedObjectPtr registerObject(const ManagedObjectIDPtr& id, std::size_t room = 0,
                                    bool idInRoom = false);
    const ManagedObjectModel& model() const;

    // Reading from the coordinator or the parent.
    Result<std::vector<SnapshotPtr>> sourceFetch(const FetchRequest& request,
                                                 const EntityDescription& entity);
    Result<SnapshotPtr> sourceRow(const ManagedObjectIDPtr& id);
    Result<std::vector<ManagedObjectIDPtr>> sourceMembers(const ManagedObjectIDPtr& id,
                                                          const RelationshipDescription& r);
    // What a child sees of this context.
    Result<std::vector<SnapshotPtr>> snapshotsForChild(const FetchRequest& request,
                                                       const EntityDescription& entity);
    Result<SnapshotPtr> snapshotForChild(const ManagedObjectIDPtr& id);
    Result<std::vector<ManagedObjectIDPtr>> membersForChild(const ManagedObjectIDPtr& id,
                                                            const RelationshipDescription& r);

    Result<std::vector<ManagedObjectPtr>> fetchObjects(const FetchRequest& request);
    // Dictionary results read from the store's rows, registering no object;
    // nullopt when the request needs objects (unsaved changes to lay over the
    // rows, a child context, key paths through relationships).
    std::optional<Result<std::vector<Dictionary>>> storeDictionaries(const FetchRequest& request,
                                                                     const EntityDescription& entity);
    // Loads what keyPath reaches from objects (of entity or its sub-entities).
    [[nodiscard]] ErrorPtr prefetch(const std::vector<ManagedObjectPtr>& objects,
                                    const EntityDescription& entity, const std::string& keyPath);
    const EntityDescription& fetchEntity(const FetchRequest& request) const;
    ManagedObjectPtr objectForSnapshot(const SnapshotPtr& snapshot, bool fill);
    bool matches(const FetchRequest& request, const EntityDescription& entity,
                 const ManagedObject& object) const;

    void propagateDeletes();
    [[nodiscard]] ErrorPtr validate() const;
    [[nodiscard]] ErrorPtr saveToStore();
    [[nodiscard]] ErrorPtr saveToParent();
    // obtainPermanentIDsForObjects for objects known to be this context's.
    [[nodiscard]] ErrorPtr obtainPermanentIDs(std::vector<ManagedObject*> objects);
    void commitSaved(const std::vector<std::pair<ManagedObject*, uint64_t>>& versions);
    void postSaveNotification(const char* name, Dictionary info);
    // Whether a notification of this name from this context would reach an
    // observer (its sets of objects are built only then).
    bool observed(const char* name) const;
    Dictionary changeSets(const std::vector<ManagedObjectPtr>& inserted,
                          const std::vector<ManagedObjectPtr>& updated,
                          const std::vector<ManagedObjectPtr>& deleted) const;
    void unregister(ManagedObject& object);
    void invalidateAll();
    // Runs in the parent, while the child waits: takes over the child's
    // inserted, updated and deleted objects.
    void applyChildChanges(ManagedObjectContext& child);
    void applyChildValues(const ManagedObject& source, ManagedObject& target, bool all);
    bool rowChanged(const ManagedObject& object) const;
    // With `lent`, inserted objects lend their values to their rows
    // (ManagedObject::lendRow); the rows' replaced values go there, and the
    // objects are left out of `versions`.
    struct LentRows;
    StoreChanges collectStoreChanges(std::vector<std::pair<ManagedObject*, uint64_t>>& versions,
                                     LentRows* lent = nullptr);
    ManagedObjectIDPtr localID(const ManagedObjectIDPtr& id) const;
    // Unregisters objects deleted elsewhere and drops every local link to them.
    void forget(const std::vector<ManagedObjectPtr>& objects);
    void reKey(ManagedObject& object, ManagedObjectIDPtr id);
    // Temporary-to-permanent aliases (see detail/ContextImpl.h).
    void recordAlias(const ManagedObjectIDPtr& temporary, const ManagedObjectIDPtr& permanent);
    ManagedObjectIDPtr aliasFor(const ManagedObjectID& temporary) const;
    void noteBorrowed(const ManagedObjectIDPtr& id);
    // Runs work inside the parent context; on the way, objects borrowed under
    // the parent's temporary IDs take the permanent IDs the parent gave them.
    void inParent(const std::function<void()>& work);
    // Runs in the parent: the permanent ID of each temporary ID (null while
    // it is still temporary here).
    std::vector<ManagedObjectIDPtr> permanentIDsForChild(const std::vector<ManagedObjectIDPtr>& ids);
    // Runs in the parent before applyChildChanges: every look-up that may
    // fail, so that a refused child save changes nothing here.
    void prepareChildChanges(ManagedObjectContext& child);
    std::vector<ManagedObjectPtr> mergeInsertedObjects(const Array& objects,
                                                       std::vector<ManagedObjectPtr>& refreshed);
    void checkChildReferences(const ManagedObjectContext& child, const ManagedObject& source, bool all) const;

    ConcurrencyType type_;
    dispatch::Queue queue_;
    std::shared_ptr<PersistentStoreCoordinator> coordinator_;
    std::shared_ptr<ManagedObjectContext> parent_;
    mutable plat::Mutex userInfoMutex_;
    Dictionary userInfo_ GUARDED_BY(userInfoMutex_);
    std::unique_ptr<Impl> impl_;
};

}  // namespace plat::coredata
