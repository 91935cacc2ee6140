// The framework's helper on contexts: walking the objects a fetch request
// matches batch by batch, so that memory stays bounded by the batch size.
//
// Call inside the context. The object IDs are fetched first (read alone from
// the store when the context is a root context without unsaved changes);
// each batch is then fetched as objects with "SELF IN <batch>" and the
// request's own predicate and order.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/coredata/ManagedObjectContext.h"

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
