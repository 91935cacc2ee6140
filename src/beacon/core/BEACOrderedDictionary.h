// A dictionary that remembers the order in which keys were first inserted,
// for JSON that must come out in a fixed key order. Replacing the value of a
// key keeps its place. Not thread-safe: one thread at a time.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

class BEACOrderedDictionary {
  public:
    BEACOrderedDictionary() = default;
    explicit BEACOrderedDictionary(std::size_t capacity) { dictionary_.reserve(capacity); }

    void setObject(plat::Value object, std::string key) {
        dictionary_.set(std::move(key), std::move(object));
    }
    const plat::Value* objectForKey(std::string_view key) const { return dictionary_.find(key); }
    std::size_t count() const { return dictionary_.size(); }
    // Keys in insertion order.
    std::vector<std::string> keys() const { return dictionary_.keys(); }
    void removeAllObjects() { dictionary_.clear(); }
    // The same entries in the same order.
    bool isEqualToDictionary(const BEACOrderedDictionary& other) const {
        return keys() == other.keys() && dictionary_ == other.dictionary_;
    }
    // The entries as a value; the JSON writer keeps their order.
    const plat::Dictionary& dictionary() const { return dictionary_; }
    plat::Value toValue() const { return plat::Value(dictionary_); }

  private:
    plat::Dictionary dictionary_;
};
