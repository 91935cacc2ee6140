// An open-addressing hash table with linear probing and backward-shift
// deletion (no tombstones), for containers that keep their own elements and
// want an index over them, or small maps of plain slots.
//
// Slot is a small default-constructible struct; a default Slot is an empty
// slot. Traits supply, as static functions:
//   bool used(const Slot&)            whether the slot holds an entry
//   std::size_t hash(const Slot&)     the entry's hash (kept in the slot or
//                                     computed from it: growing rehashes)
//   bool matches(const Slot&, const Key&, std::size_t hash)
//                                     only for find(key, hash) / insert(key, ...)
// Slots are placed by Fibonacci hashing of the hash (the top bits of its
// product with 2^64/phi), so nearby pointers and consecutive keys do not
// cluster; the table is kept at most 3/4 full. Lookups touch one run of
// contiguous slots instead of chasing list nodes.
//
// Not thread-safe for writers; concurrent const lookups are safe (nothing is
// built or moved lazily).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace plat {

template <typename Slot, typename Traits>
class FlatHashTable {
  public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Whether the table has storage (after an insert or reserve, until release).
    bool allocated() const { return !slots_.empty(); }

    // The first slot with this hash for which pred(slot) is true, or null.
    template <typename Pred>
    Slot* findIf(std::size_t hash, Pred&& pred) {
        if (size_ == 0)
            return nullptr;
        for (std::size_t i = home(hash);; i = (i + 1) & mask()) {
            Slot& s = slots_[i];
            if (!Traits::used(s))
                return nullptr;
            if (pred(static_cast<const Slot&>(s)))
                return &s;
        }
    }
    template <typename Pred>
    const Slot* findIf(std::size_t hash, Pred&& pred) const {
        return const_cast<FlatHashTable*>(this)->findIf(hash, std::forward<Pred>(pred));
    }
    // The slot holding `key` (Traits::matches), or null.
    template <typename Key>
    Slot* find(const Key& key, std::size_t hash) {
        return findIf(hash, [&](const Slot& s) { return Traits::matches(s, key, hash); });
    }
    template <typename Key>
    const Slot* find(const Key& key, std::size_t hash) const {
        return const_cast<FlatHashTable*>(this)->find(key, hash);
    }

    // Inserts slot unless its key is present; returns the slot holding the key
    // and whether it was inserted.
    template <typename Key>
    std::pair<Slot*, bool> insert(const Key& key, std::size_t hash, Slot&& slot) {
        if (Slot* s = find(key, hash))
            return {s, false};
        return {insertNew(hash, std::move(slot)), true};
    }
    // Inserts slot without looking for an equal key (the caller knows there is
    // none, or keeps several entries per hash); returns where it went.
    Slot* insertNew(std::size_t hash, Slot&& slot) {
        if ((size_ + 1) * 4 > slots_.size() * 3)
            resize(std::max<std::size_t>(16, slots_.size() * 2));
        std::size_t i = home(hash);
        while (Traits::used(slots_[i]))
            i = (i + 1) & mask();
        slots_[i] = std::move(slot);
        ++size_;
        return &slots_[i];
    }

    // Removes the slot (which must be one of this table's), moving later
    // members of its run back so that every entry stays reachable.
    void erase(Slot* slot) {
        std::size_t hole = static_cast<std::size_t>(slot - slots_.data());
        for (std::size_t i = (hole + 1) & mask(); Traits::used(slots_[i]); i = (i + 1) & mask()) {
            const std::size_t want = home(Traits::hash(slots_[i]));
            // Movable into the hole when its home is not in (hole, i].
            if (((i - want) & mask()) >= ((i - hole) & mask())) {
                slots_[hole] = std::move(slots_[i]);
                hole = i;
            }
        }
        slots_[hole] = Slot();
        --size_;
    }

    // Calls f on every used slot, in table order. The mutable form may change
    // what a slot holds but not its hash.
    template <typename F>
    void forEach(F&& f) const {
        for (const Slot& s : slots_) {
            if (Traits::used(s))
                f(s);
        }
    }
    template <typename F>
    void forEachMutable(F&& f) {
        for (Slot& s : slots_) {
            if (Traits::used(s))
                f(s);
        }
    }

    // Makes room for `count` entries without growing.
    void reserve(std::size_t count) {
        std::size_t capacity = 16;
        while (capacity < count * 2)
            capacity <<= 1;
        if (capacity > slots_.size())
            resize(capacity);
    }
    // Empties the table; large tables give their memory back, so a burst of
    // changes does not make every later clear costly.
    void clear() {
        if (slots_.size() > 1024)
            release();
        else if (size_ != 0)
            std::fill(slots_.begin(), slots_.end(), Slot());
        size_ = 0;
    }
    // Empties the table and frees its storage.
    void release() {
        slots_ = std::vector<Slot>();
        size_ = 0;
        shift_ = 64;
    }

  private:
    std::size_t mask() const { return slots_.size() - 1; }
    // Only called with storage allocated, so shift_ < 64.
    std::size_t home(std::size_t hash) const {
        return static_cast<std::size_t>((static_cast<uint64_t>(hash) * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    void resize(std::size_t capacity) {
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

    std::vector<Slot> slots_;  // power-of-two size
    std::size_t size_ = 0;
    int shift_ = 64;
};

}  // namespace plat
