// The bookkeeping of a ManagedObjectContext, shared by its source files.
#pragma once

#include <unordered_map>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"

namespace plat::coredata {

// Objects in insertion order with O(1) membership; erasing moves the last
// object into the gap.
class ManagedObjectContext::ObjectSet {
  public:
    bool insert(const ManagedObjectPtr& o) {
        if (!index_.emplace(o.get(), items_.size()).second)
            return false;
        items_.push_back(o);
        return true;
    }
    bool erase(const ManagedObject* o) {
        auto it = index_.find(o);
        if (it == index_.end())
            return false;
        std::size_t at = it->second;
        index_.erase(it);
        if (at + 1 != items_.size()) {
            items_[at] = std::move(items_.back());
            index_[items_[at].get()] = at;
        }
        items_.pop_back();
        return true;
    }
    bool contains(const ManagedObject* o) const { return index_.count(o) != 0; }
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    const std::vector<ManagedObjectPtr>& items() const { return items_; }
    void clear() {
        items_.clear();
        index_.clear();
    }

  private:
    std::vector<ManagedObjectPtr> items_;
    std::unordered_map<const ManagedObject*, std::size_t> index_;
};

struct ManagedObjectContext::Impl {
    std::unordered_map<ManagedObjectIDPtr, ManagedObjectPtr, ObjectIDHash, ObjectIDEqual> registered;
    ObjectSet inserted, updated, deleted;
    // Changes since the last objects-did-change notification.
    ObjectSet pendingInserted, pendingUpdated, pendingDeleted;
    // Deleted objects whose delete rules have not run yet.
    std::vector<ManagedObjectPtr> toPropagate;

    // Temporary IDs of objects that became permanent here, by temporary key,
    // so that a temporary ID still held elsewhere (by a child context, or a
    // snapshot) finds its object. Entries whose temporary ID nobody holds any
    // more are swept as the map grows.
    struct Alias {
        std::weak_ptr<const ManagedObjectID> temporary;
        ManagedObjectIDPtr permanent;
    };
    std::unordered_map<int64_t, Alias> aliases;
    std::size_t aliasesAfterSweep = 0;
    // Child contexts: objects registered under a temporary ID of an ancestor's
    // unsaved insert; they take the permanent ID once the ancestor has saved.
    std::vector<ManagedObjectIDPtr> borrowedTemporaries;
};

}  // namespace plat::coredata
