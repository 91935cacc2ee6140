// SmallPtrMap: a map keyed by pointers (or a set of pointers, SmallPtrSet)
// that keeps up to N entries in itself, looked up by a linear scan, and moves
// them into a std::unordered_map when it outgrows them.
//
// For maps that are mostly empty or hold a handful of entries (a to-many
// relationship's changes between saves, the records of one save), where a
// hash table's first entry costs two allocations (its node and its bucket
// array) and a hash per look-up: inline, an entry costs neither. A map that
// outgrows its inline room (or is told to expect more with reserve()) is a
// standard hash map from then on, until clear(), so large maps cost what the
// standard map costs. Pick N by the usual size: each inline slot is
// sizeof(std::pair<const K, V>) bytes of the map itself.
//
// The interface is that of std::unordered_map in the parts used by small
// maps: emplace and insert report whether the key was new (and do not
// replace the value of a key that is there), operator[] makes a default
// value for a new key, erase returns the count erased, iteration yields
// std::pair<const K, V>& in no particular order. Unlike the standard map:
// find() returns a pointer to the value (null when missing), eraseIf()
// erases by predicate, and erasing an inline entry moves the last inline
// entry into its place. Any insertion or erasure invalidates iterators and
// pointers into the map. Not copyable or movable (entries may live inside).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace plat {

// The value of a set's entries.
struct SmallPtrSetUnit {};

template <class K, class V, std::size_t N = 4>
class SmallPtrMap {
    static_assert(std::is_pointer_v<K>, "SmallPtrMap is keyed by pointers");
    static_assert(N > 0);

  public:
    using key_type = K;
    using mapped_type = V;
    using value_type = std::pair<const K, V>;
    using Map = std::unordered_map<K, V>;
    static constexpr std::size_t kInline = N;

    SmallPtrMap() = default;
    SmallPtrMap(const SmallPtrMap&) = delete;
    SmallPtrMap& operator=(const SmallPtrMap&) = delete;
    ~SmallPtrMap() { clear(); }

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
        friend class SmallPtrMap;
        value_type* p_ = nullptr;
        typename Map::iterator it_{};
        bool map_ = false;
    };

    iterator begin() const { return map_ ? mapIterator(map_->begin()) : inlineIterator(0); }
    iterator end() const { return map_ ? mapIterator(map_->end()) : inlineIterator(size_); }

    std::size_t size() const { return map_ ? map_->size() : size_; }
    bool empty() const { return size() == 0; }
    // Whether the entries are in the hash map rather than inline.
    bool hashed() const { return map_ != nullptr; }

    std::size_t count(K key) const {
        if (map_)
            return map_->count(key);
        return findInline(key) < size_ ? 1 : 0;
    }
    bool contains(K key) const { return count(key) != 0; }
    V* find(K key) {
        if (map_) {
            auto it = map_->find(key);
            return it == map_->end() ? nullptr : &it->second;
        }
        const std::size_t i = findInline(key);
        return i < size_ ? &slot(i)->second : nullptr;
    }
    const V* find(K key) const { return const_cast<SmallPtrMap*>(this)->find(key); }

    // Adds key with a value made of args unless key is there (then args are
    // not used); true when it was added.
    template <class... Args>
    std::pair<iterator, bool> emplace(K key, Args&&... args) {
        if (map_) {
            auto [it, added] = map_->try_emplace(key, std::forward<Args>(args)...);
            return {mapIterator(it), added};
        }
        if (const std::size_t i = findInline(key); i < size_)
            return {inlineIterator(i), false};
        if (size_ == N) {
            spill(N * 2);
            auto [it, added] = map_->try_emplace(key, std::forward<Args>(args)...);
            return {mapIterator(it), added};
        }
        ::new (static_cast<void*>(slot(size_)))
            value_type(std::piecewise_construct, std::forward_as_tuple(key),
                       std::forward_as_tuple(std::forward<Args>(args)...));
        return {inlineIterator(size_++), true};
    }
    std::pair<iterator, bool> insert(K key) { return emplace(key); }
    // The value for key, default-made when key is new.
    V& operator[](K key) { return emplace(key).first->second; }

    std::size_t erase(K key) {
        if (map_)
            return map_->erase(key);
        const std::size_t i = findInline(key);
        if (i >= size_)
            return 0;
        removeInline(i);
        return 1;
    }
    // Erases the entries for which pred(entry) is true; returns how many.
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
    // Empties the map; a hash map it had moved into is freed, and entries
    // are kept inline again.
    void clear() {
        map_.reset();
        for (std::size_t i = 0; i < size_; ++i)
            slot(i)->~value_type();
        size_ = 0;
    }
    // Room for n entries: a hash map with room for them when they do not fit
    // inline.
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
            ::new (static_cast<void*>(slot(i)))
                value_type(slot(size_)->first, std::move(slot(size_)->second));
            slot(size_)->~value_type();
        }
    }
    // Moves the inline entries into a hash map with room for `room`.
    void spill(std::size_t room) {
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

// A set of pointers kept the same way; iteration yields pairs whose first is
// the member.
template <class K, std::size_t N = 4>
using SmallPtrSet = SmallPtrMap<K, SmallPtrSetUnit, N>;

}  // namespace plat
