// SYNDeleteStage: applies delete changes: finds each deleted object in the
// application's store, empties its relationships and deletes it. Its class
// operation nullifyRelationshipsAndDeleteObject is also how the integrator
// removes objects that no event mentions after a full integration.
//
// A batch whose objects cannot be resolved (their entity is not in the model,
// or a fetch failed) fails with an error, never silently.
#pragma once
#include "sync/integration/SYNIntegrationStage.h"

class SYNDeleteStage : public SYNIntegrationStage {
  public:
    using SYNIntegrationStage::SYNIntegrationStage;

    // Empties every relationship of the object (each under its own exception
    // guard), then deletes it. Nothing for a null, deleted or context-less
    // object. Call on the object's context queue.
    static void nullifyRelationshipsAndDeleteObject(const plat::coredata::ManagedObjectPtr& object);

    // Clears the store URIs of the global identifiers of those changes (in
    // the event store's context, which is not saved).
    static void nullifyGlobalIdentifierStoreURIsForChangesWithIDs(
        const SYNManagedObjectIDs& changeIDs, plat::coredata::ManagedObjectContext& eventContext);

  protected:
    [[nodiscard]] plat::ErrorPtr applyChangeIDs(const SYNManagedObjectIDs& changeIDs) override;
};
