// SYNPersistentStoreImporter: turns the whole content of the application's
// store into one baseline event of the event store, at enlist.
//
// The store is opened on a private context of its own (read only in
// effect), entities are walked in migration-priority order in batches (the
// entity's batch size, 500 when it has none), each entity by itself without
// its sub-entities. A first pass gives every object a global identifier, a
// second an insert change with all its values; the event store is saved and
// both contexts reset after each batch, so memory stays bounded. Into an
// event store holding no identifier record (an enlist), the first pass reads
// the objects' IDs alone when the mesh gives no identifiers, and only plans
// the identifiers (new ones, in ascending order): each record is made and
// saved with its object's change. Each pass reports one progress unit per
// entity.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNAsynchronousTaskQueue.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNMeshServices.h"

class SYNPersistentStoreImporter : public std::enable_shared_from_this<SYNPersistentStoreImporter> {
  public:
    SYNPersistentStoreImporter(std::string persistentStorePath,
                               std::shared_ptr<plat::coredata::ManagedObjectModel> model,
                               std::shared_ptr<SYNEventStore> eventStore);

    const std::string& persistentStorePath() const { return storePath_; }
    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }

    // Model version and global identifiers of the baseline come from here.
    std::weak_ptr<SYNMeshServices> mesh;
    // Options for opening the store; automatic migration when unset.
    std::optional<plat::Dictionary> persistentStoreOptions;
    // False makes an empty baseline without opening the store.
    bool importPersistentStoreData = true;

    // 2 x the number of entities that take part in sync.
    uint64_t numberOfProgressUnits() const;
    // Called on the import context's queue with the units just completed.
    std::function<void(uint64_t units)> progressUnitsCompletionBlock;

    // The completion runs once, on the main queue.
    void importWithCompletion(SYNCompletion completion);

    // The builder of the baseline: type baseline, global count 0 until it is
    // finalised, a timestamp of the distant past (older than any event).
    plat::Result<std::shared_ptr<SYNEventBuilder>> makeEventBuilder();

    [[nodiscard]] plat::ErrorPtr addGlobalIdentifiers(SYNEventBuilder& builder,
                                                      plat::coredata::ManagedObjectContext& context);
    [[nodiscard]] plat::ErrorPtr addObjectChanges(SYNEventBuilder& builder,
                                                  plat::coredata::ManagedObjectContext& context);

  private:
    using BatchWork = std::function<plat::ErrorPtr(const SYNManagedObjects& batch, std::size_t remaining,
                                                   const plat::coredata::EntityDescription& entity)>;
    // Batches of the entity's migration batch size times batchScale.
    [[nodiscard]] plat::ErrorPtr walkEntities(SYNEventBuilder& builder,
                                              plat::coredata::ManagedObjectContext& context,
                                              const BatchWork& work, std::size_t batchScale = 1);
    // The identifier pass when the mesh gives no identifiers: the objects'
    // IDs are read, not the objects.
    [[nodiscard]] plat::ErrorPtr addGlobalIdentifiersByObjectIDs(
        SYNEventBuilder& builder, plat::coredata::ManagedObjectContext& context);
    void finish(const SYNCompletion& completion, plat::ErrorPtr error);
    // Keeps what the changes' pass needs of the entity's objects the
    // identifier pass read (see walkedIDs_).
    void keepWalkedObjects(const plat::coredata::EntityDescription& entity, const SYNManagedObjectIDs& ids);
    // The objects the passes walk (every entity taking part, without sub-entities).
    std::size_t countObjects(plat::coredata::ManagedObjectContext& context);
    // Whether the event store holds no identifier record at all.
    plat::Result<bool> eventStoreHoldsNoIdentifierRecords(SYNEventBuilder& builder);

    // Set for an import into an event store holding no identifier record:
    // the identifier pass over IDs plans the identifiers, and the changes'
    // pass makes their records (setRemembersIdentifiers is on).
    bool planIdentifiers_ = false;
    // The objects the identifier pass read of each entity, while it plans the
    // identifiers: the changes' pass walks the same objects in the same order
    // (the import fails on a save of the store meanwhile), so it takes them
    // from here instead of reading them again. Kept as their keys (an ID per
    // object held from one pass to the next would cost several times that);
    // each entity's are dropped once walked.
    struct WalkedObjects {
        std::shared_ptr<plat::coredata::PersistentStore> store;
        const plat::coredata::EntityDescription* entity = nullptr;
        std::vector<int64_t> keys;
    };
    std::unordered_map<const plat::coredata::EntityDescription*, WalkedObjects> walkedIDs_;
    std::string storePath_;
    std::shared_ptr<plat::coredata::ManagedObjectModel> model_;
    std::shared_ptr<SYNEventStore> eventStore_;
};
