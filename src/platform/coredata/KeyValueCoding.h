// KeyValueCoding: objects whose properties can be read by name, so that
// predicates and sort descriptors can evaluate key paths against them.
//
// valueForKeyPath walks "a.b.c" one key at a time: through objects that
// implement KeyValueCoding, through dictionaries (a missing key gives null),
// and through arrays and sets, whose members each answer the rest of the path
// (the results are collected into an array, or a set for sets). null answers
// null for any key. A key an object does not have throws ModelException.
//
// It is an Object itself (such objects travel in Values), so that an
// implementer has one chain of bases and one virtual table pointer: managed
// objects are many, and a second pointer would cost each of them 8 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat::coredata {

class KeyValueCoding : public Object {
  public:
    // The value of one key; throws ModelException when there is no such key.
    virtual Value valueForKey(std::string_view key) const = 0;
    // What stands for this object when predicates compare it with other
    // values; the object itself when null. Managed objects answer their
    // object ID, so that "relationship = object" and "SELF IN ids" match
    // objects and IDs alike.
    virtual ObjectPtr comparisonIdentity() const { return nullptr; }
};

// Splits "a.b.c" at the dots.
std::vector<std::string> splitKeyPath(std::string_view keyPath);

Value valueForKeyPath(const Value& root, const std::vector<std::string>& components);
inline Value valueForKeyPath(const Value& root, std::string_view keyPath) {
    return valueForKeyPath(root, splitKeyPath(keyPath));
}

// The value predicates compare: an object's comparisonIdentity() when it has
// one, otherwise the value unchanged.
Value comparisonValue(const Value& v);

// A process-wide count of changes of comparison identities (a saved object
// trading its temporary ID for a permanent one). Predicates that hash the
// identities of the objects in their lists rebuild the hash when it moved.
uint64_t comparisonIdentityGeneration();
void comparisonIdentitiesChanged();

}  // namespace plat::coredata
