// SYNMapTable: a map from objects to objects that holds both strongly and
// compares keys by equality (isEqual: for platform objects and values), as
// the framework's strong-to-strong map tables do.
//
// Keys that are std::shared_ptr to a plat::Object compare and hash by the
// object's isEqual/hash (null keys are allowed and equal each other);
// plat::Value keys by Value equality; anything else by std::hash and ==.
// The order of syn_allKeys is unspecified. Not thread-safe: one thread at a
// time, as with any container.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace syn_detail {

template <class Key>
struct KeyTraits {
    using Hash = std::hash<Key>;
    using Equal = std::equal_to<Key>;
};

template <class T>
requires std::is_base_of_v<plat::Object, T>
struct KeyTraits<std::shared_ptr<T>> {
    struct Hash {
        std::size_t operator()(const std::shared_ptr<T>& key) const { return key ? key->hash() : 0; }
    };
    struct Equal {
        bool operator()(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) const {
            return a == b || (a && b && a->isEqual(*b));
        }
    };
};

template <>
struct KeyTraits<plat::Value> {
    using Hash = plat::ValueHash;
    using Equal = std::equal_to<plat::Value>;
};

}  // namespace syn_detail

template <class Key, class Object>
class SYNMapTable {
  public:
    static SYNMapTable syn_strongToStrongObjectsMapTable() { return SYNMapTable(); }

    // Null when the key is missing.
    const Object* objectForKey(const Key& key) const {
        auto found = entries_.find(key);
        return found == entries_.end() ? nullptr : &found->second;
    }
    void setObject(Object object, const Key& key) { entries_.insert_or_assign(key, std::move(object)); }
    void removeObjectForKey(const Key& key) { entries_.erase(key); }
    void removeAllObjects() { entries_.clear(); }
    std::size_t count() const { return entries_.size(); }

    // Copies every entry of other, replacing the objects of keys present here.
    void syn_addEntriesFromMapTable(const SYNMapTable& other) {
        for (const auto& [key, object] : other.entries_) {
            entries_.insert_or_assign(key, object);
        }
    }
    std::vector<Key> syn_allKeys() const {
        std::vector<Key> keys;
        keys.reserve(entries_.size());
        for (const auto& entry : entries_) {
            keys.push_back(entry.first);
        }
        return keys;
    }

    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

  private:
    using Traits = syn_detail::KeyTraits<Key>;
    std::unordered_map<Key, Object, typename Traits::Hash, typename Traits::Equal> entries_;
};
