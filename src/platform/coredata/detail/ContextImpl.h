// The bookkeeping of a ManagedObjectContext, shared by its source files.
#pragma once

#include <bit>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"

namespace plat::coredata {
namespace detail {

// Spreads a hash over the high bits; tables take their slot from the top bits
// (Fibonacci hashing), so nearby pointers and consecutive keys do not cluster.
inline std::size_t spreadHash(std::size_t h, int shift) {
    return static_cast<std::size_t>((static_cast<uint64_t>(h) * 0x9E3779B97F4A7C15ULL) >> shift);
}

// An open-addressing table with linear probing and backward-shift deletion
// (no tombstones). Slot is a small struct; Traits say whether a slot is in
// use, its key's hash, and whether it holds a key. Kept at most 3/4 full.
// Lookups touch one run of contiguous slots instead of chasing list nodes,
// which is what registering and indexing many objects spends its time on.
template <typename Slot, typename Traits>
class FlatTable {
  public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    template <typename Key>
    Slot* find(const Key& key, std::size_t hash) {
        if (size_ == 0)
            return nullptr;
        for (std::size_t i = home(hash);; i = (i + 1) & mask()) {
            Slot& s = slots_[i];
            if (!Traits::used(s))
                return nullptr;
            if (Traits::matches(s, key, hash))
                return &s;
        }
    }
    template <typename Key>
    const Slot* find(const Key& key, std::size_t hash) const {
        return const_cast<FlatTable*>(this)->find(key, hash);
    }
    // Inserts slot unless its key is present; returns the slot holding the key
    // and whether it was inserted.
    template <typename Key>
    std::pair<Slot*, bool> insert(const Key& key, std::size_t hash, Slot&& slot) {
        if (Slot* s = find(key, hash))
            return {s, false};
        if ((size_ + 1) * 4 > slots_.size() * 3)
            grow();
        std::size_t i = home(hash);
        while (Traits::used(slots_[i]))
            i = (i + 1) & mask();
        slots_[i] = std::move(slot);
        ++size_;
        return {&slots_[i], true};
    }
    // Removes the slot (which must be one of this table's), moving later
    // members of its run back so that every key stays reachable.
    void erase(Slot* slot) {
        std::size_t hole = static_cast<std::size_t>(slot - slots_.data());
        for (std::size_t i = (hole + 1) & mask(); Traits::used(slots_[i]); i = (i + 1) & mask()) {
            std::size_t want = home(Traits::hash(slots_[i]));
            // Movable into the hole when its home is not in (hole, i].
            if (((i - want) & mask()) >= ((i - hole) & mask())) {
                slots_[hole] = std::move(slots_[i]);
                hole = i;
            }
        }
        slots_[hole] = Slot();
        --size_;
    }
    template <typename F>
    void forEach(F&& f) const {
        for (const Slot& s : slots_) {
            if (Traits::used(s))
                f(s);
        }
    }
    // Empties the table; large tables give their memory back, so a burst of
    // changes does not make every later clear costly.
    void clear() {
        if (slots_.size() > 1024)
            slots_ = std::vector<Slot>();
        else if (size_ != 0)
            std::fill(slots_.begin(), slots_.end(), Slot());
        size_ = 0;
    }

  private:
    std::size_t mask() const { return slots_.size() - 1; }
    std::size_t home(std::size_t hash) const { return spreadHash(hash, shift_); }
    void grow() {
        std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
        shift_ = 64 - std::countr_zero(capacity);
        for (Slot& s : old) {
            if (!Traits::used(s))
                continue;
            std::size_t i = home(Traits::hash(s));
            while (Traits::used(slots_[i]))
                i = (i + 1) & mask();
            slots_[i] = std::move(s);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    int shift_ = 64;
};

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
using PositionTable = FlatTable<PositionSlot, PositionTraits>;

// Registered objects by ID. The hash is kept in the slot, so probing compares
// IDs only when their hashes are equal.
struct RegistrySlot {
    ManagedObjectIDPtr id;
    ManagedObjectPtr object;
    std::size_t hash = 0;
};
struct RegistryTraits {
    static bool used(const RegistrySlot& s) { return s.object != nullptr; }
    static std::size_t hash(const RegistrySlot& s) { return s.hash; }
    static bool matches(const RegistrySlot& s, const ManagedObjectID& key, std::size_t hash) {
        return s.hash == hash && (s.id.get() == &key || s.id->isEqualID(key));
    }
};

class Registry {
  public:
    std::size_t size() const { return table_.size(); }
    ManagedObjectPtr find(const ManagedObjectID& id) const {
        const RegistrySlot* s = table_.find(id, id.hash());
        return s ? s->object : nullptr;
    }
    // False (and nothing changes) when id is registered already.
    bool insert(const ManagedObjectIDPtr& id, ManagedObjectPtr object) {
        std::size_t hash = id->hash();
        return table_.insert(*id, hash, RegistrySlot{id, std::move(object), hash}).second;
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

  private:
    FlatTable<RegistrySlot, RegistryTraits> table_;
};

}  // namespace detail

// Objects in insertion order with O(1) membership; erasing moves the last
// object into the gap.
class ManagedObjectContext::ObjectSet {
  public:
    bool insert(const ManagedObjectPtr& o) {
        const ManagedObject* key = o.get();
        if (!index_.insert(key, detail::pointerHash(key), detail::PositionSlot{key, items_.size()}).second)
            return false;
        items_.push_back(o);
        return true;
    }
    bool erase(const ManagedObject* o) {
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
        return true;
    }
    bool contains(const ManagedObject* o) const { return index_.find(o, detail::pointerHash(o)) != nullptr; }
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    const std::vector<ManagedObjectPtr>& items() const { return items_; }
    void clear() {
        items_.clear();
        index_.clear();
    }

  private:
    std::vector<ManagedObjectPtr> items_;
    detail::PositionTable index_;
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
