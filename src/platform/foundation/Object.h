// Base class of every reference object that can travel inside a plat::Value:
// errors, URLs, library values and anything else a caller wants to put in a
// user-info dictionary or a collection. Objects are immutable once shared and
// held by std::shared_ptr<const Object>.
#pragma once

#include <cstddef>
#include <functional>
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

// Puts any shared object of the system that is not itself an Object (a mesh,
// a task) into a Value, for user info and collections. The box holds the
// object as given, so a receiver gets it back unchanged (mutable when it was
// put in mutable). Boxes are equal when they hold the same object.
//
//   info.set("persistentStoreMesh", BoxedObject<Mesh>::make(mesh));
//   std::shared_ptr<Mesh> mesh = BoxedObject<Mesh>::unbox(*info.find("persistentStoreMesh"));
template <class T>
class BoxedObject final : public Object {
  public:
    BoxedObject(std::shared_ptr<T> object, std::string className)
        : object_(std::move(object)), className_(std::move(className)) {}

    // A null object gives a null pointer, which a Value holds as null.
    static std::shared_ptr<const BoxedObject> make(std::shared_ptr<T> object,
                                                   std::string className = "NSObject") {
        if (!object)
            return nullptr;
        return std::make_shared<const BoxedObject>(std::move(object), std::move(className));
    }
    // The object inside `value` when it holds a BoxedObject<T>; null otherwise.
    template <class V>
    static std::shared_ptr<T> unbox(const V& value) {
        auto box = value.template asObjectOf<BoxedObject>();
        return box ? box->object_ : nullptr;
    }

    const std::shared_ptr<T>& object() const { return object_; }
    bool isEqual(const Object& other) const override {
        auto* box = dynamic_cast<const BoxedObject*>(&other);
        return box && box->object_ == object_;
    }
    std::size_t hash() const override { return std::hash<const void*>()(object_.get()); }
    std::string className() const override { return className_; }

  private:
    std::shared_ptr<T> object_;
    std::string className_;
};

}  // namespace plat
