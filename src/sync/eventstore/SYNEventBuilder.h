// SYNEventBuilder: builds one event of the event store — a save event from a
// save of the application's store, a merge event during a merge, or a
// baseline from a whole store — and its object changes.
//
// Life of an event: makeNewEventOfType inserts it as type 0 (incomplete)
// with its revisions; changes are added, saveAndReset saves as often as the
// caller likes; finalizeNewEvent gives it its global count and final type;
// a last saveAndReset makes it complete. An event interrupted before then
// stays type 0, which no merge ever reads, and is deleted when the store
// next opens (unless registered as an incomplete mandatory event).
//
// One change per global identifier and event: a change added for an object
// that already has one is folded into it (insert + update: insert with the
// new values; update + update: later values win, to-many differences
// combine; anything + delete: delete).
//
// Threads: every operation on event-store records runs synchronously inside
// the event store's context (performBlockAndWait, re-entrant). Operations
// that take application objects must be called inside those objects'
// context. The builder itself is used by one thread at a time. Records
// fetched before saveAndReset are stale afterwards; the builder refetches
// its event by ID, and fails with SYNErrorMissingEvent once it has vanished
// (another block reset the context before the event was saved).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/UUID.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNMeshServices.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNRevision.h"

using SYNPropertyChangeValueArrays = std::vector<std::vector<SYNPropertyChangeValue>>;
using SYNPropertyChangeValuesByObjectID =
    std::unordered_map<plat::coredata::ManagedObjectIDPtr, std::vector<SYNPropertyChangeValue>,
                       plat::coredata::ObjectIDHash, plat::coredata::ObjectIDEqual>;

// Options of updatePropertyChangeValuesForUpdatedObjects.
enum SYNUpdateOptions : unsigned {
    // Retake the values as before a save, without attribute values.
    SYNUpdateOptionPreSave = 2,
    // Retake the values as before a save, with attribute values.
    SYNUpdateOptionPreSaveWithStoredValues = 4,
    // Complete values taken before a save with the saved attribute values,
    // to-one targets and orders; to-many differences are kept, with the
    // temporary IDs of objects the save inserted turned into their permanent
    // IDs (the ones their insert changes are recorded under).
    SYNUpdateOptionStoreSavedValues = 8,
};

// What the builder knew of a change it made: its entity name, its record and
// the record's identifier string (null when not read), kept for the save's
// gathering of the new event, so that it need not read them back.
struct SYNEventBuilderChangeTexts {
    const plat::coredata::ManagedObject* record = nullptr;
    plat::Value entityName;
    plat::Value identifier;
};

// Inserted objects per batch of addChangesForInsertedObjects.
inline constexpr std::size_t SYNInsertBatchSize = 500;

class SYNEventBuilder {
  public:
    explicit SYNEventBuilder(std::shared_ptr<SYNEventStore> eventStore);

    const std::shared_ptr<SYNEventStore>& eventStore() const { return store_; }
    std::shared_ptr<SYNMeshServices> mesh() const { return mesh_.lock(); }
    void setMesh(std::weak_ptr<SYNMeshServices> mesh) { mesh_ = std::move(mesh); }

    // The event being built (call inside the event store's context); null
    // when none was made or it has vanished.
    plat::coredata::ManagedObjectPtr event() const;
    // The revision of the event being built.
    const std::optional<SYNRevision>& revision() const { return revision_; }
    // Runs the block in the event store's context.
    void performBlockAndWait(const std::function<void()>& block);

    // Inserts a new event of type 0 holding the final type until
    // finalizeNewEvent, with a new unique identifier when none is given. Its
    // own revision is one above every revision of the local store recorded
    // anywhere in the store; its other stores' revisions are those of the
    // local store's latest merge event, else those of the baseline.
    plat::Result<SYNRevision> makeNewEventOfType(
        int16_t type, const std::optional<std::string>& uniqueIdentifier = std::nullopt);
    // Global count = 1 + the highest in the store; then the final type.
    [[nodiscard]] plat::ErrorPtr finalizeNewEvent();
    // Saves and resets the context, then refetches the event. The context is
    // reset also when the save fails.
    [[nodiscard]] plat::ErrorPtr saveAndReset();
    // The same for the event's last save, after which the builder is done
    // with it: the event is not read again.
    [[nodiscard]] plat::ErrorPtr saveAndResetLast();
    // Other stores' revisions := the store-wise maximum of what they were and
    // of the revision sets of those events, without the local store.
    [[nodiscard]] plat::ErrorPtr updateEventRevisionsAccountingForMergeOfEventIDs(
        const SYNManagedObjectIDs& eventIDs);
    // SYNErrorDuplicateGlobalIdentifiers (211) when a change has no global
    // identifier or two changes share one.
    [[nodiscard]] plat::ErrorPtr checkUniquenessOfGlobalIdentifiers();

    // One identifier per object (nullopt where none): from the event store's
    // records (by store URI), or from the mesh.
    std::vector<std::optional<std::string>> retrieveGlobalIdentifierStringsForManagedObjects(
        const SYNManagedObjects& objects, bool storedInEventStore);
    // The IDs of the global-identifier records for the objects: the record of
    // the given identifier (made when missing), else the record found by
    // store URI, else a new one with a new UUID. Each gets the object's URI.
    plat::Result<SYNManagedObjectIDs> addGlobalIdentifiersForManagedObjectIDs(
        const SYNManagedObjectIDs& objectIDs,
        const std::vector<std::optional<std::string>>& identifierStrings);

    // Per object (in their context), the values of all its properties.
    SYNPropertyChangeValueArrays propertyChangeValueArraysForInsertedObjects(
        const SYNManagedObjects& objects, bool objectsAreSaved,
        plat::coredata::ManagedObjectContext& context);
    void updatePropertyChangeValuesForUpdatedObjects(
        const SYNManagedObjects& objects, plat::coredata::ManagedObjectContext& context, unsigned options,
        SYNPropertyChangeValuesByObjectID& propertyChangeValuesByObjectID);

    [[nodiscard]] plat::ErrorPtr addInsertChangesForPropertyChangeValueArrays(
        SYNPropertyChangeValueArrays propertyChangeValueArrays,
        const SYNManagedObjectIDs& globalIdentifierObjectIDs);
    // Objects without values are skipped. The second form takes the values
    // over instead of copying them.
    [[nodiscard]] plat::ErrorPtr addUpdateChangesForObjectIDs(
        const SYNManagedObjectIDs& objectIDs,
        const SYNPropertyChangeValuesByObjectID& propertyChangeValuesByObjectID);
    [[nodiscard]] plat::ErrorPtr addUpdateChangesForObjectIDs(
        const SYNManagedObjectIDs& objectIDs,
        SYNPropertyChangeValuesByObjectID&& propertyChangeValuesByObjectID);
    // Objects without a global-identifier record are skipped (nobody else
    // knows them).
    [[nodiscard]] plat::ErrorPtr addDeleteChangesForObjectIDs(const SYNManagedObjectIDs& objectIDs);

    // Insert changes with every value of each object (called inside the
    // objects' context). More than SYNInsertBatchSize objects are added and
    // saved (the event still incomplete) a batch at a time, each in a context
    // of its own that is then dropped, so memory follows the batch, not the
    // whole save; the event store's context is saved first and its objects
    // are read again afterwards.
    [[nodiscard]] plat::ErrorPtr addChangesForInsertedObjects(const SYNManagedObjects& objects,
                                                              bool objectsAreSaved,
                                                              bool useGlobalIdentifiersInEventStore,
                                                              plat::coredata::ManagedObjectContext& context);
    // Insert, update and delete changes for the unsaved changes of the
    // context (called inside it). Inserted objects get permanent IDs first,
    // so that their store URIs stay valid once the context is saved.
    [[nodiscard]] plat::ErrorPtr addChangesForUnsavedManagedObjectContext(
        plat::coredata::ManagedObjectContext& context);

    // While on, the identifier string and record key of every record this
    // builder makes or finds for a saved object are kept once the record is
    // saved, so that links to those objects need no look-up in the store and
    // their inserts take the records by key. For an import of a whole store,
    // where this builder alone writes identifier records; about 24 bytes and
    // the string per object, in a few large blocks.
    void setRemembersIdentifiers(bool remembers);
    // While on, the objects given to addGlobalIdentifiersForManagedObjectIDs
    // have no identifier record yet (the first pass of an import into an
    // event store that holds none): their records are made without looking
    // for existing ones by store URI. An object listed twice in one call
    // still gets one record.
    void setObjectsHaveNoIdentifierRecords(bool none);
    // The next `count` new identifiers this builder hands out (records made
    // for objects that have none) are made now and handed out in ascending
    // order, each still a fresh random UUID: an import that makes a record
    // for every object of the store then adds its records at the end of the
    // index over identifiers, instead of all over it (each save rewriting
    // most of that index's pages). 0 drops the ones not handed out.
    void prepareNewIdentifiers(std::size_t count);
    // While identifiers are remembered: gives each object (saved, without an
    // identifier record, as in the first pass of an import into an event
    // store holding none) a new identifier now, its record to be made with
    // the object's insert change (addChangesForInsertedObjects taking
    // identifiers from the event store) in the same save. Links to the
    // objects name these identifiers meanwhile. Nothing is written here.
    void planIdentifiersForManagedObjectIDs(const SYNManagedObjectIDs& objectIDs);
    // While on, every object is given at most one change in this event (an
    // import of a whole store walks each object once), so adding changes
    // does not look for the event's existing changes of the objects; and,
    // the caller saving and resetting after each batch, a change made for
    // the event once it was saved links to it one way (as with
    // setLinksNewChangesOneWay: the change's row names the event as ever,
    // the event's list of changes in this context is left as it was).
    void setAddsEachObjectOnce(bool once);
    // While on, a change made for the event links one way to an identifier
    // record already saved and to the event while it was never saved: the
    // change's row names both as ever, but the record's and the event's lists
    // of changes in this context are left as they were (the builder keeps the
    // event's new changes itself). Such a record stays unchanged and takes no
    // part in the save (no validation, commit or notification of it), and no
    // list is kept in step link by link. For a caller that saves and resets
    // the context after adding its changes, reads neither list in between and
    // deletes no record or event before that save (a deletion would not
    // reach the changes linked one way). Records made in this context are
    // always linked both ways: the event store tells a new record without
    // changes by its list.
    void setLinksNewChangesOneWay(bool oneWay);

  private:
    struct ChangeSpec;
    [[nodiscard]] plat::ErrorPtr addChangesForInsertedBatch(const SYNManagedObjects& objects,
                                                            bool objectsAreSaved,
                                                            bool useGlobalIdentifiersInEventStore,
                                                            plat::coredata::ManagedObjectContext& context);
    [[nodiscard]] plat::ErrorPtr addChangesForInsertedObjectsInBatches(
        const SYNManagedObjects& objects, bool objectsAreSaved, bool useGlobalIdentifiersInEventStore,
        plat::coredata::ManagedObjectContext& context);
    [[nodiscard]] plat::ErrorPtr runInContext(
        const std::function<plat::ErrorPtr(plat::coredata::ManagedObjectContext&)>& work);
    [[nodiscard]] plat::ErrorPtr saveAndReset(bool readEventAgain);
    // `taken`: null, or `valuesByObjectID` itself, whose values are then
    // moved out instead of copied.
    [[nodiscard]] plat::ErrorPtr addUpdateChanges(const SYNManagedObjectIDs& objectIDs,
                                                  const SYNPropertyChangeValuesByObjectID& valuesByObjectID,
                                                  SYNPropertyChangeValuesByObjectID* taken);
    plat::Result<plat::coredata::ManagedObjectPtr> requireEvent(
        plat::coredata::ManagedObjectContext& context) const;
    plat::Result<int64_t> nextRevisionNumber(const std::string& store,
                                             plat::coredata::ManagedObjectContext& context);
    plat::Result<SYNRevisionSet> otherStoreRevisions(const std::string& store,
                                                     plat::coredata::ManagedObjectContext& context);
    // The highest global count of the events other than `event` (at least 0).
    plat::Result<int64_t> highestGlobalCountBesides(const plat::coredata::ManagedObject& event,
                                                    plat::coredata::ManagedObjectContext& context);
    // Identifier strings by the store URI of their objects.
    using IdentifiersByStoreURI = std::unordered_map<std::string, std::string>;
    // Identifier strings (string values, shared with the records' own) by
    // their objects' IDs.
    using IdentifiersByObjectID =
        std::unordered_map<plat::coredata::ManagedObjectIDPtr, plat::Value, plat::coredata::ObjectIDHash,
                           plat::coredata::ObjectIDEqual>;
    // Turns the object IDs the values link to into identifier strings: those
    // remembered or in `knownByID` or `known` as they are, the others looked
    // up (and given records when they have none).
    [[nodiscard]] plat::ErrorPtr resolveRelatedObjectIDs(std::vector<SYNPropertyChangeValue*>& values,
                                                         const IdentifiersByStoreURI& known,
                                                         const IdentifiersByObjectID& knownByID,
                                                         plat::coredata::ManagedObjectContext& context);
    // The body of addGlobalIdentifiersForManagedObjectIDs, inside the
    // context: the records themselves, parallel to the objects.
    plat::Result<SYNManagedObjects> globalIdentifierRecords(
        const SYNManagedObjectIDs& objectIDs,
        const std::vector<std::optional<std::string>>& identifierStrings,
        plat::coredata::ManagedObjectContext& context);
    [[nodiscard]] plat::ErrorPtr addChanges(std::vector<ChangeSpec>& specs,
                                            plat::coredata::ManagedObjectContext& context);
    [[nodiscard]] plat::ErrorPtr moveLargeValuesToDataFiles(std::vector<SYNPropertyChangeValue>& values);
    // Sets a new change's record and event (see setLinksNewChangesOneWay);
    // `entityName` (the change's) and `identifier` (the record's, or null)
    // are kept with a change linked one way to the event.
    void linkNewChange(const plat::coredata::ManagedObjectPtr& change,
                       const plat::coredata::ManagedObjectPtr& record,
                       const plat::coredata::ManagedObjectPtr& event, const plat::Value& entityName,
                       const plat::Value& identifier);

    std::shared_ptr<SYNEventStore> store_;
    std::weak_ptr<SYNMeshServices> mesh_;
    plat::coredata::ManagedObjectIDPtr eventID_;
    // While a batch of inserts is built: the context the builder works in
    // instead of the event store's (used inside the latter's blocks).
    std::shared_ptr<plat::coredata::ManagedObjectContext> batchContext_;
    int16_t finalType_ = SYNStoreModificationEventTypeIncomplete;
    std::optional<SYNRevision> revision_;

    // See setRemembersIdentifiers: per entity, the objects' keys in
    // ascending order with the place of their strings in one pool (no
    // allocation per object: a long-lived small block per object slowed the
    // batches' allocations more than the look-ups saved).
    class RememberedIdentifiers {
      public:
        // `recordKey`: the primary key of the identifier record in the event
        // store; kPlanned for an identifier whose record is still to be made.
        static constexpr int64_t kPlanned = 0;
        void add(const plat::coredata::ManagedObjectID& id, const std::string& identifier, int64_t recordKey);
        std::optional<std::string> find(const plat::coredata::ManagedObjectID& id);
        std::optional<int64_t> findRecordKey(const plat::coredata::ManagedObjectID& id);
        void clear();

      private:
        struct Entry {
            int64_t key;
            int64_t recordKey;
            uint32_t offset;
            uint32_t length;
        };
        const Entry* entryOf(const plat::coredata::ManagedObjectID& id);
        // The objects of one entity of one store (as their store URIs name them).
        struct Entity {
            std::string store;
            std::string name;
            std::vector<Entry> entries;
            bool sorted = true;
        };
        Entity* entityOf(const plat::coredata::ManagedObjectID& id, bool make);
        std::vector<Entity> entities_;
        std::string pool_;
    };
    void settleRememberedIdentifiers(bool saved);
    bool remembersIdentifiers_ = false;
    bool addsEachObjectOnce_ = false;
    // See setLinksNewChangesOneWay; the changes linked one way to the event
    // being built, until its save.
    bool linksOneWay_ = false;
    std::vector<plat::coredata::ManagedObjectPtr> oneWayEventChanges_;
    // Parallel to oneWayEventChanges_.
    std::vector<SYNEventBuilderChangeTexts> oneWayEventChangeTexts_;
    bool objectsHaveNoIdentifierRecords_ = false;
    RememberedIdentifiers remembered_;
    // See prepareNewIdentifiers: in ascending order (of their bytes, and so
    // of their text), handed out from `nextPrepared_`.
    std::vector<plat::UUID> preparedIdentifiers_;
    std::size_t nextPrepared_ = 0;
    // The store and entity of the remembered identifier records, whose IDs
    // are made again from their keys.
    std::weak_ptr<plat::coredata::PersistentStore> rememberedRecordStore_;
    std::shared_ptr<const plat::coredata::EntityDescription> rememberedRecordEntity_;
    // The IDs of the remembered records of those objects (null where none is).
    SYNManagedObjectIDs rememberedRecordIDs(const SYNManagedObjectIDs& objectIDs);
    // Records named since the last save, kept once saved if they still name
    // the object (a rollback or a later change in between drops them).
    struct UnsavedIdentifier {
        plat::coredata::ManagedObjectIDPtr objectID;
        std::string storeURI;  // as stored (SYNStoreURIs)
        plat::coredata::ManagedObjectPtr record;
    };
    std::vector<UnsavedIdentifier> unsavedIdentifiers_;
};
