// SYNRebaser: keeps the event log short by folding the events every store
// has seen into a new baseline, and deletes events a baseline already holds.
//
// The cut is the store-wise minimum of the latest revision sets of the
// local store and of every store that has events: what every store has
// seen. A rebase folds the baseline and the longest run of events, from the
// start of the event order, that the cut covers and whose revisions follow on
// what is already held, into a new baseline whose set names exactly what it
// holds; it deletes what it folded, so that integrating the new baseline and
// the remaining events gives the same objects as the old baseline and all
// events, and an event that arrives later is never taken as held.
//
// Work runs on the event store's context; completions are called once, on
// the main queue. The mesh is held weakly.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNMeshServices.h"

// The size rule: rebase when the foldable events hold at least this many
// changes, or more changes than the baseline.
inline constexpr std::size_t SYNRebaseMinimumFoldableChanges = 1000;

class SYNRebaser {
  public:
    SYNRebaser(std::shared_ptr<SYNEventStore> eventStore, std::weak_ptr<SYNMeshServices> mesh);

    bool forceRebase() const { return forceRebase_; }
    void setForceRebase(bool force) { forceRebase_ = force; }

    // YES at once when forced, else the size rule.
    void shouldRebaseWithCompletion(std::function<void(bool)> completion);
    void rebaseWithCompletion(std::function<void(plat::ErrorPtr)> completion);
    // Deletes the save and merge events whose own revision the current
    // baseline covers.
    void deleteEventsPreceedingBaselineWithCompletion(std::function<void(plat::ErrorPtr)> completion);

  private:
    std::shared_ptr<SYNEventStore> store_;
    std::weak_ptr<SYNMeshServices> mesh_;
    std::atomic<bool> forceRebase_{false};
};
