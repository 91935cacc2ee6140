// The bookkeeping of a ManagedObjectContext, shared by its source files.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/FlatHashTable.h"

namespace plat::coredata {
namespace detail {

inline std::size_t pointerHash(const void* p) {
    return static_cast<std::size_t>(reinterpret_cast<uintptr_t>(p));
}

// Positions of objects in an ObjectSet's vector, by object.
struct PositionSlot {
    const ManagedObject* object = nullptr;
    std::size_t position = 0;
};
struct PositionTraits {
    static bool used(const PositionSlot& s) { return s.object != nullptr; }
    static std::size_t hash(const PositionSlot& s) { return pointerHash(s.object); }
    static bool matches(const PositionSlot& s, const ManagedObject* key, std::size_t) {
        return s.object == key;
    }
};
using PositionTable = FlatHashTable<PositionSlot, PositionTraits>;

// Registered objects by ID. The key is the object's own ID (so a slot needs
// no second reference to it); the hash is kept in the slot, so probing
// compares IDs only when their hashes are equal.
struct RegistrySlot {
    ManagedObjectPtr object;
    std::size_t hash = 0;
};
struct RegistryTraits {
    static bool used(const RegistrySlot& s) { return s.object != nullptr; }
    static std::size_t hash(const RegistrySlot& s) { return s.hash; }
    static bool matches(const RegistrySlot& s, const ManagedObjectID& key, std::size_t hash);
};

class Registry {
  public:
    std::size_t size() const { return table_.size(); }
    ManagedObjectPtr find(const ManagedObjectID& id) const {
        const RegistrySlot* s = table_.find(id, id.hash());
        return s ? s->object : nullptr;
    }
    // Registers object under its ID; false (and nothing changes) when that
    // ID is registered already. An object's ID changes only while it is not
    // registered.
    bool insert(ManagedObjectPtr object) {
        const ManagedObjectID& id = *object->id_;
        std::size_t hash = id.hash();
        return table_.insert(id, hash, RegistrySlot{std::move(object), hash}).second;
    }
    // Removes id's entry; with `only`, just when it holds that object.
    void erase(const ManagedObjectID& id, const ManagedObject* only = nullptr) {
        RegistrySlot* s = table_.find(id, id.hash());
        if (s && (!only || s->object.get() == only))
            table_.erase(s);
    }
    template <typename F>
    void forEach(F&& f) const {
        table_.forEach([&](const RegistrySlot& s) { f(s.object); });
    }
    void clear() { table_.clear(); }
    // Empties the registry, handing over its objects in no particular order.
    std::vector<ManagedObjectPtr> takeAll() {
        std::vector<ManagedObjectPtr> out;
        out.reserve(table_.size());
        table_.forEachMutable([&](RegistrySlot& s) { out.push_back(std::move(s.object)); });
        table_.release();
        return out;
    }

  private:
    FlatHashTable<RegistrySlot, RegistryTraits> table_;
};

inline bool RegistryTraits::matches(const RegistrySlot& s, const ManagedObjectID& key, std::size_t hash) {
    if (s.hash != hash)
        return false;
    const ManagedObjectID& id = *s.object->id_;
    return &id == &key || id.isEqualID(key);
}

}  // namespace detail

// Objects in insertion order with O(1) membership; erasing moves the last
// object into the gap. The index is brought up to date when membership is
// asked, so a run of new objects (insertNew) costs no hashing at all: most
// sets are filled and cleared without a single look-up.
class ManagedObjectContext::ObjectSet {
  public:
    bool insert(const ManagedObjectPtr& o) {
        if (contains(o.get()))
            return false;
        items_.push_back(o);
        return true;
    }
    // For an object known not to be in the set (one just made).
    void insertNew(const ManagedObjectPtr& o) { items_.push_back(o); }
    bool erase(const ManagedObject* o) {
        catchUp();
        detail::PositionSlot* slot = index_.find(o, detail::pointerHash(o));
        if (!slot)
            return false;
        std::size_t at = slot->position;
        index_.erase(slot);
        if (at + 1 != items_.size()) {
            items_[at] = std::move(items_.back());
            const ManagedObject* moved = items_[at].get();
            index_.find(moved, detail::pointerHash(moved))->position = at;
        }
        items_.pop_back();
        indexed_ = items_.size();
        return true;
    }
    bool contains(const ManagedObject* o) const {
        catchUp();
        return index_.find(o, detail::pointerHash(o)) != nullptr;
    }
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    const std::vector<ManagedObjectPtr>& items() const { return items_; }
    void clear() {
        items_.clear();
        index_.clear();
        indexed_ = 0;
    }

  private:
    void catchUp() const {
        for (; indexed_ < items_.size(); ++indexed_) {
            const ManagedObject* key = items_[indexed_].get();
            index_.insertNew(detail::pointerHash(key), detail::PositionSlot{key, indexed_});
        }
    }
    std::vector<ManagedObjectPtr> items_;
    mutable detail::PositionTable index_;
    mutable std::size_t indexed_ = 0;  // items_[0, indexed_) are in index_
};

struct ManagedObjectContext::Impl {
    detail::Registry registered;
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
