// SYNBaselineConsolidator: turns the baselines of the event store into one.
//
// Each machine that enlists with data makes a baseline of its store, and
// rebases make new ones; a full integration is only safe from a single
// baseline that holds every machine's objects. Consolidation deletes
// leftover baselines being consolidated (type 400), drops baselines whose
// revision set another baseline covers, and merges the rest into one: the
// store-wise maximum of their sets, their highest global count, per object
// one insert change, and an identifier made from theirs — so every machine
// that consolidates the same baselines makes the same one.
//
// Each insert of a baseline records the revision of the save that last set
// the object's values. An object one input holds is left out when another
// input, which has seen that save, no longer holds it (a later event
// deleted it); of two versions of an object, the one set by a save the
// other input has seen loses. Only versions those rules cannot order
// (concurrent saves, or inserts of baselines made before revisions were
// recorded) go by event order: the insert of the baseline last in it.
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
