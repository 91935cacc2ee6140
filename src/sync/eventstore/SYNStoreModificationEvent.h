// The entity class operations of events and revisions: fetches of events by
// type, store, revision and identifier, the baseline, and typed access to an
// event's fields and revision set.
//
// Events are plain managed objects of the entity "SYNStoreModificationEvent"
// (see SYNEventStoreModel.h). Every function here must be called inside the
// context the objects belong to (one of its perform blocks). Fetch failures
// are returned as errors, never as "no events", so a failed fetch cannot be
// taken for an empty store; "none found" is a null object.
//
// Event order: ascending global count, then timestamp, then the store
// identifier of the event's own revision.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNRevision.h"

using SYNManagedObjects = std::vector<plat::coredata::ManagedObjectPtr>;

class SYNStoreModificationEvent {
  public:
    // Events with one of the types (nullopt: any) of the store (nullopt: any
    // store), in no particular order.
    static plat::Result<SYNManagedObjects> fetchStoreModificationEventsWithTypes(
        const std::optional<std::vector<int16_t>>& types, const std::optional<std::string>& storeIdentifier,
        plat::coredata::ManagedObjectContext& context);
    // The event of that store and revision with one of the types; null when
    // none. Several: logged, the last in event order.
    static plat::Result<plat::coredata::ManagedObjectPtr> fetchStoreModificationEventWithAllowedTypes(
        const std::vector<int16_t>& types, const std::string& storeIdentifier, int64_t revisionNumber,
        plat::coredata::ManagedObjectContext& context);
    // The event with that identifier and global count whose store identifier
    // begins with the prefix; null when none. Several: as above.
    static plat::Result<plat::coredata::ManagedObjectPtr> fetchStoreModificationEventWithUniqueIdentifier(
        const std::string& uniqueIdentifier, int64_t globalCount, const std::string& storePrefix,
        plat::coredata::ManagedObjectContext& context);
    static plat::Result<plat::coredata::ManagedObjectPtr> fetchStoreModificationEventWithUniqueIdentifier(
        const std::string& uniqueIdentifier, plat::coredata::ManagedObjectContext& context);
    // Every complete save and merge event (types 200 and 300), in event order.
    // withRevisions also loads their revision records (their own and those of
    // other stores), a fetch for each kind rather than one per event.
    static plat::Result<SYNManagedObjects> fetchNonBaselineEventsInManagedObjectContext(
        plat::coredata::ManagedObjectContext& context, bool withRevisions = false);
    // Look-ups that read only what they return, through the index on
    // (persistentStoreIdentifier, revisionNumber) of the revision records.
    //
    // The store identifiers of every revision record (own revisions and those
    // of other stores), saved or not: one indexed step per store.
    static plat::Result<std::set<std::string>> fetchStoreIdentifiersOfRevisions(
        plat::coredata::ManagedObjectContext& context);
    // Every complete save and merge event whose own revision is of a store
    // in the map and numbered above that store's bound (nullopt: any
    // number), plus, when asked, those without an own revision; in event
    // order (as fetchNonBaselineEventsInManagedObjectContext orders them),
    // their revision records loaded. Stores not in the map are not looked at.
    static plat::Result<SYNManagedObjects> fetchNonBaselineEventsAboveRevisions(
        const std::map<std::string, std::optional<int64_t>>& bounds, bool includingEventsWithoutRevision,
        plat::coredata::ManagedObjectContext& context);
    // The merge event of the store with the highest own revision number
    // (the first in event order of several); null when there is none.
    static plat::Result<plat::coredata::ManagedObjectPtr> fetchLatestMergeEventOfStore(
        const std::string& storeIdentifier, plat::coredata::ManagedObjectContext& context);

    // The last baseline (type 100) in event order; null when there is none.
    static plat::Result<plat::coredata::ManagedObjectPtr> fetchBaselineEventInManagedObjectContext(
        plat::coredata::ManagedObjectContext& context);

    // globalCount, timestamp, eventRevision.persistentStoreIdentifier.
    static std::vector<plat::coredata::SortDescriptor> sortDescriptorsForEventOrder();
    // Sorts loaded events in event order (stable).
    static void sortInEventOrder(SYNManagedObjects& events);
    // a before b in event order.
    static bool precedesInEventOrder(const plat::coredata::ManagedObject& a,
                                     const plat::coredata::ManagedObject& b);

    // Typed fields. An event without an own revision gives nullopt.
    static int16_t type(const plat::coredata::ManagedObject& event);
    static int64_t globalCount(const plat::coredata::ManagedObject& event);
    static double timestamp(const plat::coredata::ManagedObject& event);
    static std::string uniqueIdentifier(const plat::coredata::ManagedObject& event);
    static std::optional<SYNRevision> revision(const plat::coredata::ManagedObject& event);
    static std::string storeIdentifier(const plat::coredata::ManagedObject& event);
    // Own revision plus the other stores' revisions.
    static SYNRevisionSet revisionSet(const plat::coredata::ManagedObject& event);
    static SYNRevisionSet revisionSetOfOtherStores(const plat::coredata::ManagedObject& event);
    // Replaces the other stores' revisions by the set's (inserting new rows).
    static void setRevisionSetOfOtherStores(plat::coredata::ManagedObject& event, const SYNRevisionSet& set);
};

class SYNEventRevision {
  public:
    // Inserts and returns a new revision record with those values.
    static plat::coredata::ManagedObjectPtr makeEventRevisionForPersistentStoreIdentifier(
        const std::string& storeIdentifier, int64_t revisionNumber,
        plat::coredata::ManagedObjectContext& context);
    static SYNRevision revision(const plat::coredata::ManagedObject& record);
};
