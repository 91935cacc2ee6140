// SYNBaselineConsolidator: turns the baselines of the event store into one.
//
// Each machine that enlists with data makes a baseline of its store, and
// rebases make new ones; a full integration is only safe from a single
// baseline that holds every machine's objects. Consolidation deletes
// leftover baselines being consolidated (type 400), drops baselines whose
// revision set another baseline covers, and merges the rest into one: the
// store-wise maximum of their sets, their highest global count, per object
// the insert change of the baseline last in event order, and an identifier
// made from theirs — so every machine that consolidates the same baselines
// makes the same one.
//
// The work runs on the event store's context; the completion (nil or an
// error) is called once, on the main queue. The mesh is held weakly.
#pragma once

#include <functional>
#include <memory>

#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNMeshServices.h"

class SYNBaselineConsolidator {
  public:
    SYNBaselineConsolidator(std::shared_ptr<SYNEventStore> eventStore, std::weak_ptr<SYNMeshServices> mesh);

    void consolidateBaselineWithCompletion(std::function<void(plat::ErrorPtr)> completion);

  private:
    std::shared_ptr<SYNEventStore> store_;
    std::weak_ptr<SYNMeshServices> mesh_;
};
