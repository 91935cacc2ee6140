// SYNIntegrationStage: the common base of the stages that replay one kind of
// object change from the event store into the application's store
// (SYNInsertStage, SYNUpdateStage, SYNDeleteStage).
//
// A stage cuts its list of object changes into batches and applies one batch
// per applyNextBatchOfChanges call, inside the event store's context; it turns
// global identifiers into objects of the target context (the context on the
// application's store), and gives its subclasses a property setter that
// tolerates exceptions raised by the application's model.
//
// Stages never save the target context; the event store's context is saved
// only through the event builder. Every failure comes back as an error (a
// stage never fails silently), so the integrator can never take a failed
// batch for success.
//
// Threads: a stage is used by one thread at a time; it enters the event
// store's context and the target context with performBlockAndWait.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/Mutex.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreURIs.h"

// Objects of the target context by global identifier string.
using SYNObjectsByIdentifier = std::unordered_map<std::string, plat::coredata::ManagedObjectPtr>;
// ... by entity name.
using SYNObjectsByIdentifierByEntityName = std::map<std::string, SYNObjectsByIdentifier>;
// IDs of existing objects of the target context by global identifier string,
// by entity name: destinations looked up by key alone, set by ID.
using SYNObjectIDsByIdentifier = std::unordered_map<std::string, plat::coredata::ManagedObjectIDPtr>;
using SYNObjectIDsByIdentifierByEntityName = std::map<std::string, SYNObjectIDsByIdentifier>;
// Identifier strings by object (the inverse tables), by entity name.
using SYNIdentifiersByObject = std::unordered_map<const plat::coredata::ManagedObject*, std::string>;
using SYNIdentifiersByObjectByEntityName = std::map<std::string, SYNIdentifiersByObject>;
using SYNRelationshipList = std::vector<const plat::coredata::RelationshipDescription*>;

// What the stages need of one object change, read from the event store
// once: the change's own values are decoded a single time however many
// stages replay it.
struct SYNChangeRecord {
    plat::coredata::ManagedObjectIDPtr changeID;
    int16_t type = 0;
    std::string entityName;
    // The change's global-identifier row, its identifier string, the entity
    // the row names and the store URI of the object it stands for.
    plat::coredata::ManagedObjectIDPtr globalIdentifierID;
    std::optional<std::string> globalIdentifier;
    std::string globalIdentifierEntityName;
    std::optional<std::string> storeURI;
    // The decoded values, shared with the change's stored ones. A record
    // read without them (valuesRead false) has them read when it is loaded
    // for a stage (see readStoredValues).
    std::vector<std::shared_ptr<const SYNPropertyChangeValue>> values;
    bool valuesRead = true;
    // Of a record read without its values: their stored bytes (a data
    // value) where the read kept them, decoded when the values are read;
    // null where the values are read from the store then.
    plat::Value storedValues;

    // Reads a change of the event store's context (call inside it), its
    // identifier row's URI decoded by storeURIs (the codec of that store).
    static SYNChangeRecord fromChange(const plat::coredata::ManagedObject& change,
                                      const SYNStoreURIs& storeURIs);
    // Records of changes, their identifier rows loaded first with one fetch
    // (rather than one query per row).
    static plat::Result<std::vector<SYNChangeRecord>> fromChanges(
        const SYNManagedObjects& changes, plat::coredata::ManagedObjectContext& context);
    // The records of the changes `request` selects (on the object-change
    // entity), read from the stored rows without registering any object in
    // context (so that nothing is built, and nothing has to be freed, beyond
    // the records), with the ID of each change's event in `eventIDs`
    // (parallel, when given). Only where the stored rows are what the
    // context shows: a context on a coordinator with no unsaved change of
    // an object change or identifier row; nullopt otherwise. Call inside
    // the context.
    // Without `readValues`, the records leave their values undecoded: those
    // stored in the compact form keep its bytes (storedValues), up to
    // kKeptValueBytes in all; the others are read again from the store by
    // readStoredValues.
    static plat::Result<std::optional<std::vector<SYNChangeRecord>>> fetchStored(
        const plat::coredata::FetchRequest& request, plat::coredata::ManagedObjectContext& context,
        std::vector<plat::coredata::ManagedObjectIDPtr>* eventIDs = nullptr, bool readValues = true);
    // The first half of fetchStored: the records of the stored changes
    // without their identifier rows' strings (globalIdentifier,
    // globalIdentifierEntityName, storeURI), which readStoredIdentifierRows
    // fills in. nullopt where fetchStored declines. Call inside the context.
    // The most bytes of stored values one read keeps (see fetchStored).
    static constexpr std::size_t kKeptValueBytes = std::size_t{16} << 20;
    static plat::Result<std::optional<std::vector<SYNChangeRecord>>> fetchStoredChanges(
        const plat::coredata::FetchRequest& request, plat::coredata::ManagedObjectContext& context,
        std::vector<plat::coredata::ManagedObjectIDPtr>* eventIDs = nullptr, bool readValues = true);
    // The second half: fills in the strings of each record's identifier row
    // from the stored rows, as they are now. False, with the records
    // untouched, where the stored rows are not what the context shows (see
    // fetchStored). Call inside the context.
    static plat::Result<bool> readStoredIdentifierRows(std::vector<SYNChangeRecord>& records,
                                                       plat::coredata::ManagedObjectContext& context);
    // Whether the stored change and identifier rows are what the context
    // shows: a context on a coordinator (not a child) with no unsaved change
    // of either. Call inside the context.
    static bool storedRowsAreShown(plat::coredata::ManagedObjectContext& context);
    // Reads the values of the records read without them: from the bytes
    // they kept, else from the stored rows where fetchStored could, else
    // from the changes loaded as objects of context. Call inside the
    // context.
    [[nodiscard]] static plat::ErrorPtr readStoredValues(std::vector<SYNChangeRecord>& records,
                                                         plat::coredata::ManagedObjectContext& context);
};
using SYNChangeRecords = std::vector<SYNChangeRecord>;

// The store identifier and entity name that the part of a store URI before
// the key ("<scheme>://<store>/<entity>") stands for, as the full parse of a
// URI of that form found them: kept beyond one change cache (and one
// coordinator), so that a later cache finds the store and entity of a known
// form by name in its coordinator instead of parsing a URI again.
// Thread-safe.
class SYNStoreURIForms {
  public:
    struct Form {
        std::string storeIdentifier;
        std::string entityName;
    };
    std::optional<Form> find(std::string_view prefix) const EXCLUDES(mutex_);
    void add(std::string_view prefix, Form form) EXCLUDES(mutex_);

  private:
    // Forms are few (stores times entities); past this many no more are kept.
    static constexpr std::size_t kMaximumForms = 256;
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    mutable plat::Mutex mutex_;
    std::unordered_map<std::string, Form, TextHash, std::equal_to<>> forms_ GUARDED_BY(mutex_);
};

// The records of the changes a merge is replaying, by change ID. The
// integrator fills it from the fetch that finds the changes, so the stages
// need not load and decode them again; a stage asked for a change the cache
// lacks loads its batch from the event store as usual. Store URIs written by
// the insert stage are written through; whoever else may rewrite identifier
// rows (a repair) clears the cache. Used by one thread at a time.
class SYNChangeRecordCache {
  public:
    SYNChangeRecordCache() = default;
    // A cache that takes the URI forms it resolves from, and adds those it
    // parses to, `forms`.
    explicit SYNChangeRecordCache(std::shared_ptr<SYNStoreURIForms> forms) : uriForms_(std::move(forms)) {}
    void add(SYNChangeRecord&& record);
    const SYNChangeRecord* find(const plat::coredata::ManagedObjectIDPtr& changeID) const;
    // Records the store URI now held by an identifier row.
    void setStoreURI(const plat::coredata::ManagedObjectIDPtr& globalIdentifierID,
                     const std::optional<std::string>& storeURI);
    bool empty() const { return records_.empty(); }
    // Counts the clears: while it stays the same, no record has left.
    uint64_t generation() const { return generation_; }
    // Room for that many more records.
    void reserve(std::size_t count);
    void clear();
    // The object ID a store URI names in coordinator (null when none). The
    // URIs of one store and entity differ only in their key, so the part
    // before it is resolved once and only the key read after that.
    plat::coredata::ManagedObjectIDPtr objectIDForStoreURI(
        const std::string& storeURI, const plat::coredata::PersistentStoreCoordinator& coordinator);

  private:
    template <class T>
    using IDMap = std::unordered_map<plat::coredata::ManagedObjectIDPtr, T, plat::coredata::ObjectIDHash,
                                     plat::coredata::ObjectIDEqual>;
    IDMap<SYNChangeRecord> records_;
    uint64_t generation_ = 0;
    // The changes of each identifier row (mostly one: held without a list).
    struct RowChanges {
        plat::coredata::ManagedObjectIDPtr first;
        std::vector<plat::coredata::ManagedObjectIDPtr> more;
    };
    IDMap<RowChanges> changesByRow_;
    // The store and entity of the store URIs seen, by the part before the
    // key ("<scheme>://<store>/<entity>").
    struct URIPrefix {
        std::shared_ptr<plat::coredata::PersistentStore> store;
        const plat::coredata::EntityDescription* entity = nullptr;
    };
    const plat::coredata::PersistentStoreCoordinator* uriCoordinator_ = nullptr;
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    std::unordered_map<std::string, URIPrefix, TextHash, std::equal_to<>> uriPrefixes_;
    const std::pair<const std::string, URIPrefix>* lastPrefix_ = nullptr;  // an entry of uriPrefixes_
    std::shared_ptr<SYNStoreURIForms> uriForms_;
};

// Writes the store URIs of many objects, as
// SYNGlobalIdentifier::storeURIForObjectID does: the URIs of permanent IDs
// of one store and entity differ only in their key, so the part before it is
// written once (through the full form) and reused for the next IDs of that
// store and entity.
class SYNStoreURIWriter {
  public:
    std::string storeURIForObjectID(const plat::coredata::ManagedObjectID& objectID);

  private:
    const plat::coredata::EntityDescription* entity_ = nullptr;
    std::string store_;
    std::string prefix_;  // "<scheme>://<store>/<entity>/p"; empty when none
};

class SYNIntegrationStage {
  public:
    static constexpr uint64_t NotFound = UINT64_MAX;

    // The stage over the change IDs (in the caller's order), with its first
    // batch prepared. A batch size of 0 puts every change into one batch.
    SYNIntegrationStage(std::shared_ptr<SYNEventBuilder> eventBuilder, SYNManagedObjectIDs objectChangeIDs,
                        std::shared_ptr<plat::coredata::ManagedObjectContext> managedObjectContext,
                        uint64_t batchSize);
    virtual ~SYNIntegrationStage() = default;
    SYNIntegrationStage(const SYNIntegrationStage&) = delete;
    SYNIntegrationStage& operator=(const SYNIntegrationStage&) = delete;

    const std::shared_ptr<plat::coredata::ManagedObjectContext>& managedObjectContext() const {
        return context_;
    }
    uint64_t batchSize() const { return batchSize_; }
    uint64_t numberOfBatchesRemaining() const { return numberOfBatchesRemaining_; }
    uint64_t numberOfChangesInNextBatch() const { return numberOfChangesInNextBatch_; }
    uint64_t firstIndexOfNextBatch() const { return firstIndexOfNextBatch_; }
    const SYNManagedObjectIDs& objectChangeIDs() const { return objectChangeIDs_; }
    const std::shared_ptr<SYNEventBuilder>& eventBuilder() const { return eventBuilder_; }
    const std::shared_ptr<SYNEventStore>& eventStore() const { return eventStore_; }
    // Records to take changes from instead of loading them (optional).
    void setChangeRecordCache(std::shared_ptr<SYNChangeRecordCache> cache) { cache_ = std::move(cache); }
    const std::shared_ptr<SYNChangeRecordCache>& changeRecordCache() const { return cache_; }

    // Applies the next batch inside the event store's context and moves to
    // the following one. Null on success (also when no batch is left); on
    // failure the error, and the stage stays on the same batch.
    [[nodiscard]] plat::ErrorPtr applyNextBatchOfChanges();

    // The next batch's change IDs; nullopt when none is left.
    std::optional<SYNManagedObjectIDs> nextBatchChangeIDs() const;
    void incrementBatch();

    // Reads a property of an object of the target context.
    static plat::Value valueForKey(std::string_view key, const plat::coredata::ManagedObject& object);
    // Writes a property unless nothing changes: the identical value, or an
    // equal one that is not data over SYNMaximumInlineDataLength bytes, is
    // not written. Relationships are written with their inverse kept (a
    // one-sided write would leave the inverse naming a link that the store
    // no longer holds, and a later delete would then miss it). An exception
    // from the model is logged and dropped.
    static void setValueForKey(const plat::Value& value, std::string_view key,
                               plat::coredata::ManagedObject& object);

  protected:
    // The work of one batch, called inside the event store's context.
    [[nodiscard]] virtual plat::ErrorPtr applyChangeIDs(const SYNManagedObjectIDs& changeIDs) = 0;

    plat::coredata::ManagedObjectContext& eventContext() const { return *eventContext_; }

    // Change records loaded and handled together where a stage walks many.
    static constexpr std::size_t kRecordsAtATime = 2000;

    // The changes with those IDs from the event store's context, in the
    // order of the IDs; changes that no longer exist are left out.
    plat::Result<SYNManagedObjects> loadChanges(const SYNManagedObjectIDs& changeIDs);
    // The records of those changes, in the order of the IDs: from the cache
    // when it holds all of them, else loaded (changes that no longer exist
    // are left out). Without `withValues`, records from the cache may come
    // without their values (valuesRead false), for stages that need none.
    plat::Result<SYNChangeRecords> loadRecords(const SYNManagedObjectIDs& changeIDs, bool withValues = true);

    // Walks the change IDs in sub-batches of batchSize (all at once for 0):
    // loads each sub-batch, calls the block with its changes, then, when
    // batching, saves and resets the event store's context through the
    // builder (changes handed to the block are then stale). Unbatched, the
    // caller saves. Stops at the first error.
    [[nodiscard]] plat::ErrorPtr enumerateObjectChangeIDs(
        const SYNManagedObjectIDs& changeIDs,
        const std::function<plat::ErrorPtr(const SYNManagedObjects&)>& block);
    // The same over records (see loadRecords), handed to the block
    // kRecordsAtATime at a time.
    [[nodiscard]] plat::ErrorPtr enumerateChangeRecords(
        const SYNManagedObjectIDs& changeIDs,
        const std::function<plat::ErrorPtr(const SYNChangeRecords&)>& block, bool withValues = true);
    // The sub-batch walk both share: `batch` loads and handles one sub-batch.
    [[nodiscard]] plat::ErrorPtr enumerateSubBatches(
        const SYNManagedObjectIDs& changeIDs,
        const std::function<plat::ErrorPtr(const SYNManagedObjectIDs&)>& batch);

    // Entity name -> identifier strings the changes name: each change's own
    // and, for its relationship values (those in the filter, when given), the
    // related identifiers under the destination entity and every descendant.
    // Each list names an identifier once, in first-named order; the views
    // point into the changes.
    std::map<std::string, std::vector<std::string_view>> globalIdentifierStringsByEntityNameInObjectChanges(
        const SYNChangeRecords& changes, const SYNRelationshipList* relationshipsToInclude) const;

    // Objects of the target context of one entity for store URIs, parallel
    // to them (a missing URI, or an object that is gone, gives null).
    plat::Result<std::vector<plat::coredata::ManagedObjectPtr>> fetchObjectsForStoreURIs(
        const std::string& entityName, const std::vector<const std::string*>& storeURIs);
    // The same as IDs of the objects that exist (those the fetch would
    // give: of the entity itself, neither deleted nor gone), found by key
    // alone: no row is decoded and no object registered.
    plat::Result<std::vector<plat::coredata::ManagedObjectIDPtr>> existingObjectIDsForStoreURIs(
        const std::string& entityName, const std::vector<const std::string*>& storeURIs);

    // Everything the changes name, by entity name and identifier string,
    // including the current members of ordered relationships they reorder
    // (filed under the relationship's destination entity). The first fetch
    // error fails the whole look-up; objects that are not found are simply
    // absent.
    // The changes' own identifiers are resolved through the store URIs their
    // records carry; only related identifiers are looked up in the event store.
    // Entities named in `byKey` are looked up by key instead
    // (existingObjectIDsForStoreURIs) and filed in `ids`.
    plat::Result<SYNObjectsByIdentifierByEntityName> fetchObjectsByGlobalIdStringByEntityNameForChanges(
        const SYNChangeRecords& changes, const SYNRelationshipList* relationshipsToInclude,
        const std::set<std::string>* byKey = nullptr, SYNObjectIDsByIdentifierByEntityName* ids = nullptr);

    // The objects of the changes themselves, parallel to them (null where
    // none is found), when every change is an attribute change of one entity
    // whose identifier row names that entity, and no identifier text stands
    // for two rows: then they are what the tables of
    // fetchObjectsByGlobalIdStringByEntityNameForChanges would give each
    // change, found without building those tables. nullopt otherwise.
    plat::Result<std::optional<std::vector<plat::coredata::ManagedObjectPtr>>> ownObjectsOfAttributeChanges(
        const SYNChangeRecords& changes);

    using ObjectsByID =
        std::unordered_map<plat::coredata::ManagedObjectIDPtr, plat::coredata::ManagedObjectPtr,
                           plat::coredata::ObjectIDHash, plat::coredata::ObjectIDEqual>;
    // The existing, undeleted objects of the target context for those IDs,
    // of the entity (and, when asked, its sub-entities); call inside the
    // target context. Objects the context holds filled are taken as they
    // are; the others are fetched at once (see fetchesUnknownObjects), else
    // looked up one by one.
    plat::Result<ObjectsByID> existingObjectsForIDs(
        const std::vector<plat::coredata::ManagedObjectIDPtr>& ids,
        const plat::coredata::EntityDescription& entity, bool includesSubentities);
    // Whether existingObjectsForIDs fetches that many objects the context
    // does not hold with one query rather than reading each by its key: from
    // two on while the context holds few objects (unsaved changes or not),
    // else more than 64 while it has no unsaved change.
    bool fetchesUnknownObjects(std::size_t count) const;

  private:
    void updateBatchProperties();
    plat::Result<SYNObjectsByIdentifierByEntityName> fetchCurrentMembersOfReorderedRelationships(
        const SYNChangeRecords& changes);

    uint64_t totalNumberOfBatches_ = 0;
    uint64_t maximumBatchSize_ = 0;
    std::shared_ptr<plat::coredata::ManagedObjectContext> context_;
    uint64_t batchSize_ = 0;
    uint64_t numberOfBatchesRemaining_ = 0;
    uint64_t numberOfChangesInNextBatch_ = 0;
    uint64_t firstIndexOfNextBatch_ = NotFound;
    SYNManagedObjectIDs objectChangeIDs_;
    std::shared_ptr<SYNEventBuilder> eventBuilder_;
    std::shared_ptr<SYNEventStore> eventStore_;
    std::shared_ptr<plat::coredata::ManagedObjectContext> eventContext_;
    std::shared_ptr<SYNChangeRecordCache> cache_;
};

// The candidate entities of a relationship's targets: the descendants of its
// destination, then the destination itself.
std::vector<std::string> SYNCandidateEntityNames(const plat::coredata::RelationshipDescription& relationship);
