// The framework's helpers on contexts: walking the objects a fetch request
// matches batch by batch, so that memory stays bounded by the batch size;
// telling which coordinator and store file a context's save wrote.
//
// Call inside the context. The object IDs are fetched first (read alone from
// the store when the context is a root context without unsaved changes);
// each batch is then fetched as objects with "SELF IN <batch>" and the
// request's own predicate and order.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/NotificationCenter.h"

// block(batch, batchesStillToCome, stop). Returns false when a fetch fails
// (logged "Could not fetch object ids: %@" / "Could not get objects: %@"; the
// error goes to *error when given) or when the block sets stop; true
// otherwise, also when nothing matches. A batch size of 0 gives one batch.
bool syn_enumerateObjectsForFetchRequest(
    plat::coredata::ManagedObjectContext& context, const plat::coredata::FetchRequest& request,
    std::size_t batchSize,
    const std::function<void(const std::vector<plat::coredata::ManagedObjectPtr>& batch,
                             std::size_t batchesStillToCome, bool& stop)>& block,
    plat::ErrorPtr* error = nullptr);

// The same over `count` objects named by ID (`idAt(i)`, i below count) that
// `request` read already: the objects matching it in batches of `batchSize`,
// in the IDs' order (an ID whose object is gone or no longer matches is left
// out of its batch).
bool syn_enumerateObjectsWithIDs(
    plat::coredata::ManagedObjectContext& context, const plat::coredata::FetchRequest& request,
    std::size_t count, const std::function<plat::coredata::ManagedObjectIDPtr(std::size_t)>& idAt,
    std::size_t batchSize,
    const std::function<void(const std::vector<plat::coredata::ManagedObjectPtr>& batch,
                             std::size_t batchesStillToCome, bool& stop)>& block,
    plat::ErrorPtr* error = nullptr);

// The coordinator whose store a did-save notification's context wrote: null
// for a child context's save (it reaches its parent, not a store) and for a
// context without a coordinator.
std::shared_ptr<plat::coredata::PersistentStoreCoordinator> syn_coordinatorOfStoreSave(
    const plat::Notification& didSave);

// The URL text of the first of the coordinator's stores that has one, empty
// when none has (in-memory stores only): what tells two coordinators on one
// store file.
std::string syn_storeFileURLOf(const plat::coredata::PersistentStoreCoordinator& coordinator);
