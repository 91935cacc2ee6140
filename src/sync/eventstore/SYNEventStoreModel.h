// The event store's object model, built in code: five entities that record
// events (SYNStoreModificationEvent), their revisions (SYNEventRevision), the
// object changes they hold (SYNObjectChange), the objects' global identifiers
// (SYNGlobalIdentifier) and the data files that hold large values
// (SYNDataFile), with inverses and delete rules.
//
// Deleting an event deletes its revisions, changes and data-file records.
// Properties marked "excludeFromMigration" are not copied into binary event
// files. The change's property change values are stored through the value
// transformer named SYNPropertyChangeValuesTransformerName, registered by
// SYNEventStoreModel().
//
// The model is made once, finalized and shared; any thread.
#pragma once

#include <memory>

#include "platform/coredata/ManagedObjectModel.h"

inline constexpr const char* SYNStoreModificationEventEntityName = "SYNStoreModificationEvent";
inline constexpr const char* SYNEventRevisionEntityName = "SYNEventRevision";
inline constexpr const char* SYNObjectChangeEntityName = "SYNObjectChange";
inline constexpr const char* SYNGlobalIdentifierEntityName = "SYNGlobalIdentifier";
inline constexpr const char* SYNDataFileEntityName = "SYNDataFile";

inline constexpr const char* SYNExcludeFromMigrationKey = "excludeFromMigration";
inline constexpr const char* SYNPropertyChangeValuesTransformerName = "SYNPropertyChangeValuesTransformer";

// Event types and object change types.
enum SYNStoreModificationEventType : int16_t {
    SYNStoreModificationEventTypeIncomplete = 0,
    SYNStoreModificationEventTypeBaseline = 100,
    SYNStoreModificationEventTypeSave = 200,
    SYNStoreModificationEventTypeMerge = 300,
    SYNStoreModificationEventTypeBaselineConsolidating = 400,
};

enum SYNObjectChangeType : int16_t {
    SYNObjectChangeTypeInsert = 100,
    SYNObjectChangeTypeUpdate = 200,
    SYNObjectChangeTypeDelete = 300,
};

// The shared, finalized model.
std::shared_ptr<const plat::coredata::ManagedObjectModel> SYNEventStoreModel();

// The model of event stores and binary event files written before changes
// recorded the revision of their values ("valuesRevisionStore" and
// "valuesRevisionNumber" of SYNObjectChange). Such stores are migrated when
// they open and such files are read through an inferred mapping; the model
// is kept so that both can still be made and their reading tested.
std::shared_ptr<const plat::coredata::ManagedObjectModel> SYNEventStoreModelWithoutValuesRevisions();

// Registers the transformer of property change values (idempotent).
void SYNRegisterPropertyChangeValuesTransformer();
