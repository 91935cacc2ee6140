// SmallPtrTable: a map from pointers to values (or a set of pointers, with
// Unit values) that keeps its first few entries in the table itself and
// moves to a hash table only when it outgrows them.
//
// A to-many relationship's member set and its added and removed maps are
// mostly empty or hold a handful of objects between saves (a member moved to
// another owner, one object inserted); the hash tables they were cost two
// allocations each (a node and the bucket array) on the first entry. Kept
// inline, such a change costs none. Large tables (a loaded relationship of
// thousands of members) are the standard hash containers as before.
//
// The interface is the part of std::unordered_map the relationship code
// uses: insert/emplace report whether the key was new, erase returns the
// count erased, iteration yields std::pair<const K, V>& in no particular
// order. Erasing moves the last inline entry into the gap, so iteration
// order is not insertion order.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>

namespace plat::coredata::detail {

struct Unit {};

template <class K, class V, std::size_t N = 4>
class SmallPtrTable {
  public:
    using value_type = std::pair<const K, V>;
    using Map = std::unordered_map<K, V>;

    SmallPtrTable() = default;
    SmallPtrTable(const SmallPtrTable&) = delete;
    SmallPtrTable& operator=(const SmallPtrTable&) = delete;
    ~SmallPtrTable() { clear(); }

    class iterator {
      public:
        value_type& operator*() const { return map_ ? *it_ : *p_; }
        value_type* operator->() const { return &**this; }
        iterator& operator++() {
            if (map_)
                ++it_;
            else
                ++p_;
            return *this;
        }
        bool operator==(const iterator& o) const { return map_ ? it_ == o.it_ : p_ == o.p_; }
        bool operator!=(const iterator& o) const { return !(*this == o); }

      private:
        friend class SmallPtrTable;
        value_type* p_ = nullptr;
        typename Map::iterator it_{};
        bool map_ = false;
    };

    iterator begin() const { return map_ ? mapIterator(map_->begin()) : inlineIterator(0); }
    iterator end() const { return map_ ? mapIterator(map_->end()) : inlineIterator(size_); }

    std::size_t size() const { return map_ ? map_->size() : size_; }
    bool empty() const { return size() == 0; }

    std::size_t count(K key) const {
        if (map_)
            return map_->count(key);
        return findInline(key) < size_ ? 1 : 0;
    }
    V* find(K key) {
        if (map_) {
            auto it = map_->find(key);
            return it == map_->end() ? nullptr : &it->second;
        }
        const std::size_t i = findInline(key);
        return i < size_ ? &slot(i)->second : nullptr;
    }

    // Adds key with value unless key is there; true when it was added.
    template <class... Args>
    std::pair<iterator, bool> emplace(K key, Args&&... args) {
        if (map_) {
            auto [it, added] = map_->try_emplace(key, std::forward<Args>(args)...);
            return {mapIterator(it), added};
        }
        if (const std::size_t i = findInline(key); i < size_)
            return {inlineIterator(i), false};
        if (size_ == N) {
            spill();
            auto [it, added] = map_->try_emplace(key, std::forward<Args>(args)...);
            return {mapIterator(it), added};
        }
        ::new (static_cast<void*>(slot(size_))) value_type(key, V(std::forward<Args>(args)...));
        return {inlineIterator(size_++), true};
    }
    std::pair<iterator, bool> insert(K key) { return emplace(key); }

    std::size_t erase(K key) {
        if (map_)
            return map_->erase(key);
        const std::size_t i = findInline(key);
        if (i >= size_)
            return 0;
        removeInline(i);
        return 1;
    }
    template <class Pred>
    std::size_t eraseIf(Pred pred) {
        if (map_)
            return std::erase_if(*map_, pred);
        std::size_t erased = 0;
        for (std::size_t i = 0; i < size_;) {
            if (pred(*slot(i))) {
                removeInline(i);
                ++erased;
            } else {
                ++i;
            }
        }
        return erased;
    }
    // Empties the table; a hash table it had grown into is freed.
    void clear() {
        map_.reset();
        for (std::size_t i = 0; i < size_; ++i)
            slot(i)->~value_type();
        size_ = 0;
    }
    // Room for n entries (a hash table when they do not fit inline).
    void reserve(std::size_t n) {
        if (n <= N)
            return;
        if (!map_)
            spill(n);
        else
            map_->reserve(n);
    }

  private:
    value_type* slot(std::size_t i) const {
        return std::launder(reinterpret_cast<value_type*>(const_cast<unsigned char*>(storage_)) + i);
    }
    std::size_t findInline(K key) const {
        std::size_t i = 0;
        while (i < size_ && slot(i)->first != key)
            ++i;
        return i;
    }
    void removeInline(std::size_t i) {
        slot(i)->~value_type();
        --size_;
        if (i != size_) {
            ::new (static_cast<void*>(slot(i))) value_type(std::move(*slot(size_)));
            slot(size_)->~value_type();
        }
    }
    // Moves the inline entries into a hash table with room for `room`.
    void spill(std::size_t room = N * 2) {
        auto map = std::make_unique<Map>();
        map->reserve(room);
        for (std::size_t i = 0; i < size_; ++i)
            map->emplace(slot(i)->first, std::move(slot(i)->second));
        clear();
        map_ = std::move(map);
    }
    iterator inlineIterator(std::size_t i) const {
        iterator it;
        it.p_ = slot(i);
        return it;
    }
    iterator mapIterator(typename Map::iterator i) const {
        iterator it;
        it.it_ = i;
        it.map_ = true;
        return it;
    }

    std::unique_ptr<Map> map_;
    std::size_t size_ = 0;
    alignas(value_type) unsigned char storage_[N * sizeof(value_type)];
};

// A set of pointers in the same way.
template <class K, std::size_t N = 4>
using SmallPtrSet = SmallPtrTable<K, Unit, N>;

}  // namespace plat::coredata::detail
