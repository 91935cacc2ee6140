// A stored row seen through key-value coding, so that the parts of a
// predicate or ordering a store evaluates in memory see committed data,
// relationships included (to-ones as views of their rows, to-manys as sets or
// ordered arrays of views). Reads go through the store interface; the view
// must not outlive its store.
#pragma once

#include "platform/coredata/KeyValueCoding.h"
#include "platform/coredata/PersistentStore.h"

namespace plat::coredata::detail {

class StoreRowView : public KeyValueCoding {
  public:
    StoreRowView(PersistentStore* store, SnapshotPtr snapshot)
        : store_(store), snapshot_(std::move(snapshot)) {}

    // The row of `id` as a view, or null when the store has no such row.
    static Value make(PersistentStore* store, const ManagedObjectIDPtr& id);

    Value valueForKey(std::string_view key) const override;
    ObjectPtr comparisonIdentity() const override { return snapshot_->objectID; }
    const SnapshotPtr& snapshot() const { return snapshot_; }

  private:
    PersistentStore* store_;
    SnapshotPtr snapshot_;
};

}  // namespace plat::coredata::detail
