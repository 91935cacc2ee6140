// Internal helpers of the consolidator and the rebaser: making a baseline
// event with its revisions and changes, and running a job on the event
// store's context with its completion on the main queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNObjectChange.h"

namespace syn::detail {

struct BaselineFields {
    std::string uniqueIdentifier;
    int16_t type = SYNStoreModificationEventTypeBaseline;
    int64_t globalCount = 0;
    double timestamp = 0;
    plat::Value modelVersion;
    plat::Value modelVersionIdentifier;
    SYNRevision revision;
    SYNRevisionSet otherStores;
};

plat::coredata::ManagedObjectPtr makeBaseline(plat::coredata::ManagedObjectContext& context,
                                              const BaselineFields& fields);

// An insert change of the event for the global-identifier record, with
// data-file records for the values held in files and the revision of the
// save that last set the values (nullopt: unrecorded), stored through
// `identifiers`, the codec of the context's store.
void addInsertChange(plat::coredata::ManagedObjectContext& context,
                     const plat::coredata::ManagedObjectPtr& event,
                     const plat::coredata::ManagedObjectPtr& globalIdentifier,
                     const std::vector<SYNPropertyChangeValue>& values,
                     const std::optional<SYNRevision>& valuesRevision, SYNStoreIdentifiers& identifiers);

// Runs job inside the store's context, asynchronously; an exception becomes
// SYNErrorUnknown; a failed job rolls the context back. The completion (may
// be empty) gets the result on the main queue.
void runAsync(const std::shared_ptr<SYNEventStore>& store,
              std::function<plat::ErrorPtr(plat::coredata::ManagedObjectContext&)> job,
              std::function<void(plat::ErrorPtr)> completion);

}  // namespace syn::detail
