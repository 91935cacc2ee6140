// What every model object of the telemetry SDK does: write itself as a JSON
// dictionary, archive itself by key, and read its fields back from a keyed
// unarchiver (the platform's initWithCoder:, run on a default-constructed
// object by the factory registered for its class name).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"

class BEACSerializableObject : public plat::Coding {
  public:
    virtual plat::Dictionary serializeToDictionary() const = 0;
    virtual void initWithCoder(plat::KeyedUnarchiver& coder) = 0;
};

namespace beac::detail {

// Registers T under `name` with the keyed unarchiver.
template <class T>
void registerCodable(const std::string& name) {
    plat::KeyedUnarchiver::registerClass<T>(name,
                                            [](plat::KeyedUnarchiver& coder) -> std::shared_ptr<const T> {
                                                auto object = std::make_shared<T>();
                                                object->initWithCoder(coder);
                                                return object;
                                            });
}

// Both absent, or both present and equal.
template <class T>
bool sameOptional(const std::optional<T>& a, const std::optional<T>& b) {
    return a == b;
}

// Both null, or both set and equal by isEqual.
template <class T>
bool sameObject(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
    if (!a || !b)
        return !a && !b;
    return a->isEqual(*b);
}

inline void setIfPresent(plat::Dictionary& dict, const char* key, const std::optional<std::string>& value) {
    if (value)
        dict.set(key, plat::Value(*value));
}

inline void encodeString(plat::KeyedArchiver& coder, const std::optional<std::string>& value,
                         const char* key) {
    if (value)
        coder.encodeString(*value, key);
    else
        coder.encodeObject(std::nullopt, key);  // stored as nil, as a missing value always was
}

inline std::optional<int64_t> decodeNumber(plat::KeyedUnarchiver& coder, const char* key) {
    auto value = coder.decodeObject(key);
    if (!value || !value->isNumber())
        return std::nullopt;
    return value->longLongValue();
}

inline void encodeNumber(plat::KeyedArchiver& coder, const std::optional<int64_t>& value, const char* key) {
    if (value)
        coder.encodeObject(plat::Value(*value), key);
}

}  // namespace beac::detail
