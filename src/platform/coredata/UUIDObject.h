// UUIDObject: a UUID as an Object, so that a UUID attribute's value can travel
// inside a Value. It compares and hashes by the UUID and prints its
// upper-case text.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

namespace plat::coredata {

class UUIDObject : public Object {
  public:
    explicit UUIDObject(UUID uuid) : uuid_(uuid) {}
    static Value make(UUID uuid) { return Value(std::make_shared<const UUIDObject>(uuid)); }

    const UUID& uuid() const { return uuid_; }
    std::string description() const override { return uuid_.UUIDString(); }
    bool isEqual(const Object& other) const override {
        auto* o = dynamic_cast<const UUIDObject*>(&other);
        return o && o->uuid_ == uuid_;
    }
    std::size_t hash() const override { return uuid_.hash(); }
    std::string className() const override { return "NSUUID"; }

  private:
    UUID uuid_;
};

}  // namespace plat::coredata
