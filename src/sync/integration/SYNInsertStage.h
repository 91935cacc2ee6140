// SYNInsertStage: turns the insert changes of one entity into objects of the
// application's store. Each change adopts the object its global identifier's
// store URI names when that object exists (in the entity or a sub-entity),
// else a new, empty object is made and its URI recorded in the global
// identifier row, so that later stages and merges find it. Values are set by
// the update stage that the integrator runs over the same changes.
//
// A failed existence fetch fails the batch with its error and creates
// nothing: going on would duplicate every object that already exists. A
// batch whose entity the target model lacks fails with an error.
#pragma once
#include <unordered_set>
#include "sync/integration/SYNIntegrationStage.h"

using SYNObjectIDSet = std::unordered_set<plat::coredata::ManagedObjectIDPtr, plat::coredata::ObjectIDHash,
                                          plat::coredata::ObjectIDEqual>;

class SYNInsertStage : public SYNIntegrationStage {
  public:
    using SYNIntegrationStage::SYNIntegrationStage;

    // Unbatched, the identifier rows given store URIs are saved this many at
    // a time (see insertObjectsForEntity): bounded memory for a few commits.
    static constexpr std::size_t kStoreURIsPerSave = 10000;

    // The objects the last successful batch adopted or created; nullopt until
    // a batch succeeds.
    const std::optional<SYNObjectIDSet>& insertedObjectIDs() const { return insertedObjectIDs_; }

    // The work of one batch, for an entity of the target model.
    [[nodiscard]] plat::ErrorPtr insertObjectsForEntity(const plat::coredata::EntityDescription& entity,
                                                        const SYNManagedObjectIDs& objectChangeIDs);

  protected:
    [[nodiscard]] plat::ErrorPtr applyChangeIDs(const SYNManagedObjectIDs& changeIDs) override;

  private:
    // The identifier rows of the changes, parallel to them (null when gone).
    plat::Result<SYNManagedObjects> globalIdentifierRows(const SYNChangeRecords& changes);

    std::optional<SYNObjectIDSet> insertedObjectIDs_;
};
