// The entity class operations of object changes and global identifiers:
// prefetching changes, counting them, their event order, their property
// change values, and finding global-identifier records by identifier string
// or by the application object they stand for.
//
// Call inside the context the objects belong to. Fetch failures are errors
// (logged with the messages callers know), never empty results.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"

class SYNStoreIdentifiers;

using SYNManagedObjectIDs = std::vector<plat::coredata::ManagedObjectIDPtr>;

class SYNObjectChange {
  public:
    // The changes with those IDs (those that still exist), their global
    // identifiers and data files loaded with them.
    static plat::Result<SYNManagedObjects> prefetchObjectChangesForObjectIDs(
        const SYNManagedObjectIDs& changeIDs, plat::coredata::ManagedObjectContext& context);
    // Loads the global identifiers and data files of the changes; errors are
    // ignored (a later read loads what is missing).
    static void prefetchRelatedObjectsForObjectChanges(const SYNManagedObjects& changes);
    // The number of changes of the events.
    static plat::Result<std::size_t> countOfObjectChangesInStoreModificationEvents(
        const SYNManagedObjects& events, plat::coredata::ManagedObjectContext& context);
    // Whether the events have any change (stops at the first one found).
    static plat::Result<bool> storeModificationEventsHaveObjectChanges(
        const SYNManagedObjects& events, plat::coredata::ManagedObjectContext& context);
    // The event order of changes, by their events.
    static std::vector<plat::coredata::SortDescriptor> sortDescriptorsForEventOrder();

    static int16_t type(const plat::coredata::ManagedObject& change);
    // The stored values; empty when there are none or they cannot be read.
    static std::vector<SYNPropertyChangeValue> propertyChangeValues(
        const plat::coredata::ManagedObject& change);
    static void setPropertyChangeValues(plat::coredata::ManagedObject& change,
                                        const std::vector<SYNPropertyChangeValue>& values);
    // The same, taking the values over instead of copying them.
    static void setPropertyChangeValues(plat::coredata::ManagedObject& change,
                                        std::vector<SYNPropertyChangeValue>&& values);
    // Of an insert held by a baseline: the revision of the save (or, for an
    // object no save touched since, the enlist baseline) that last set the
    // object's values. Nullopt when unrecorded: baselines made before it was
    // kept, and changes of other events, whose own revision it is.
    //
    // Stored as "valuesRevisionStore" (in the form of SYNStoreIdentifiers of
    // the change's event store) and "valuesRevisionNumber". Without
    // `identifiers`, the codec of the change's store is looked up per call;
    // loops over many changes take it once and pass it.
    static std::optional<SYNRevision> valuesRevision(const plat::coredata::ManagedObject& change);
    static std::optional<SYNRevision> valuesRevision(const plat::coredata::ManagedObject& change,
                                                     const SYNStoreIdentifiers& identifiers);
    static void setValuesRevision(plat::coredata::ManagedObject& change,
                                  const std::optional<SYNRevision>& revision);
    static void setValuesRevision(plat::coredata::ManagedObject& change,
                                  const std::optional<SYNRevision>& revision,
                                  SYNStoreIdentifiers& identifiers);
    // The same with the revision's two values made once (valuesRevisionValues)
    // for many changes: their text is then shared, not copied per change.
    struct RevisionValues {
        plat::Value store;
        plat::Value number;
    };
    static RevisionValues valuesRevisionValues(const std::optional<SYNRevision>& revision,
                                               SYNStoreIdentifiers& identifiers);
    static void setValuesRevision(plat::coredata::ManagedObject& change, const RevisionValues& values);
    // The identifier string of the change's global identifier; nullopt when
    // it has none.
    static std::optional<std::string> globalIdentifierString(const plat::coredata::ManagedObject& change);
};

class SYNGlobalIdentifier {
  public:
    // Parallel to the strings: the record of that identifier and entity, or
    // null.
    static plat::Result<SYNManagedObjects> fetchGlobalIdentifiersForIdentifierStrings(
        const std::vector<std::string>& identifiers, const std::string& entityName,
        plat::coredata::ManagedObjectContext& context);
    // Parallel to the application's object IDs: the record whose store URI is
    // the ID's URI, or null.
    static plat::Result<SYNManagedObjects> fetchGlobalIdentifiersForObjectIDs(
        const SYNManagedObjectIDs& objectIDs, plat::coredata::ManagedObjectContext& context);
    // The same by the objects' store URIs (storeURIForObjectID), for callers
    // that need the URIs themselves too.
    static plat::Result<SYNManagedObjects> fetchGlobalIdentifiersForStoreURIs(
        const std::vector<std::string>& storeURIs, plat::coredata::ManagedObjectContext& context);
    // The same for URIs held as string values: the look-up's list shares
    // them instead of copying each. A value that is not a string finds no
    // record.
    static plat::Result<SYNManagedObjects> fetchGlobalIdentifiersForStoreURIs(
        const std::vector<plat::Value>& storeURIs, plat::coredata::ManagedObjectContext& context);
    // The same by the URIs' texts as the event store keeps them
    // (SYNStoreURIs::encode), for callers that have those already.
    static plat::Result<SYNManagedObjects> fetchGlobalIdentifiersForStoredURIs(
        const std::vector<plat::Value>& storedURIs, plat::coredata::ManagedObjectContext& context);
    // Parallel to the application's object IDs: the identifier string of the
    // record whose store URI is the ID's URI, or nullopt. Read as
    // dictionaries (unsaved records included): no record is registered in
    // the context, for callers that need the strings alone.
    static plat::Result<std::vector<std::optional<std::string>>> fetchGlobalIdentifierStringsForObjectIDs(
        const SYNManagedObjectIDs& objectIDs, plat::coredata::ManagedObjectContext& context);
    // The URI of an application object's ID, as the identifier records name
    // it (an event store keeps it in the form of SYNStoreURIs).
    static std::string storeURIForObjectID(const plat::coredata::ManagedObjectID& objectID);
};
