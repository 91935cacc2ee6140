// Base class of every reference object that can travel inside a plat::Value:
// errors, URLs, library values and anything else a caller wants to put in a
// user-info dictionary or a collection. Objects are immutable once shared and
// held by std::shared_ptr<const Object>.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace plat {

class Object {
  public:
    virtual ~Object() = default;

    // The text the platform prints for the object ("%@" in formats). The default
    // is "<ClassName: 0x...>" with the object's address.
    virtual std::string description() const;

    // Equality as the platform's isEqual:. The default is identity.
    virtual bool isEqual(const Object& other) const { return this == &other; }

    // Must agree with isEqual: equal objects hash equally. The default hashes
    // the address.
    virtual std::size_t hash() const;

    // The class name used by the default description and by keyed archiving.
    virtual std::string className() const { return "NSObject"; }
};

using ObjectPtr = std::shared_ptr<const Object>;

}  // namespace plat
