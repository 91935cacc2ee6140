#include "beacon/analytics/BEACEventProperties.h"

#include <cmath>

#include "beacon/core/BEACLogger.h"
#include "platform/foundation/Mutex.h"

BEACEventProperties::BEACEventProperties(const std::vector<std::pair<std::string, std::string>>& strings) {
    for (const auto& [key, value] : strings) {
        auto property = std::make_shared<BEACStringTypedProperty>();
        property->name = key;
        property->value = value;
        store(key, property);
    }
}

BEACEventProperties::BEACEventProperties(const BEACEventProperties& other) : entries_(other.properties()) {}

bool BEACEventProperties::validateKey(const std::optional<std::string>& key) {
    if (!key) {
        BEACLogError(kBEACAnalyticsLogTag, "Key cannot be null. Property will not be added.");
        return false;
    }
    return true;
}

namespace {

bool validateValuePresent(bool present) {
    if (!present)
        BEACLogError(kBEACAnalyticsLogTag, "Value cannot be null. Property will not be added.");
    return present;
}

template <class T, class V>
std::shared_ptr<T> make(const std::string& key, V value) {
    auto property = std::make_shared<T>();
    property->name = key;
    property->value = std::move(value);
    return property;
}

}  // namespace

void BEACEventProperties::store(const std::string& key, std::shared_ptr<BEACTypedProperty> property) {
    plat::MutexLock lock(mutex_);
    for (auto& entry : entries_)
        if (entry.first == key) {
            entry.second = std::move(property);
            return;
        }
    entries_.emplace_back(key, std::move(property));
}

BEACEventProperties& BEACEventProperties::setString(const std::optional<std::string>& value,
                                                    const std::optional<std::string>& key) {
    if (validateKey(key) && validateValuePresent(value.has_value()))
        store(*key, make<BEACStringTypedProperty>(*key, *value));
    return *this;
}

BEACEventProperties& BEACEventProperties::setDouble(double value, const std::optional<std::string>& key) {
    if (!validateKey(key))
        return *this;
    if (!std::isfinite(value)) {
        BEACLogError(kBEACAnalyticsLogTag,
                     "Double value for property '%@' must be finite (cannot be INFINITY or NAN).", *key);
        return *this;
    }
    store(*key, make<BEACDoubleTypedProperty>(*key, value));
    return *this;
}

BEACEventProperties& BEACEventProperties::setInt64(int64_t value, const std::optional<std::string>& key) {
    if (validateKey(key))
        store(*key, make<BEACLongTypedProperty>(*key, value));
    return *this;
}

BEACEventProperties& BEACEventProperties::setBool(bool value, const std::optional<std::string>& key) {
    if (validateKey(key))
        store(*key, make<BEACBooleanTypedProperty>(*key, value));
    return *this;
}

BEACEventProperties& BEACEventProperties::setDate(const std::optional<plat::Date>& value,
                                                  const std::optional<std::string>& key) {
    if (validateKey(key) && validateValuePresent(value.has_value()))
        store(*key, make<BEACDateTimeTypedProperty>(*key, value));
    return *this;
}

std::vector<BEACEventProperties::Entry> BEACEventProperties::properties() const {
    plat::MutexLock lock(mutex_);
    return entries_;
}

bool BEACEventProperties::remove(const std::string& key) {
    plat::MutexLock lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->first == key) {
            entries_.erase(it);
            return true;
        }
    return false;
}

plat::Array BEACEventProperties::serializeToArray() const {
    plat::Array array;
    for (const auto& entry : properties())
        array.push_back(plat::Value(entry.second->serializeToDictionary()));
    return array;
}

std::size_t BEACEventProperties::count() const {
    plat::MutexLock lock(mutex_);
    return entries_.size();
}

bool BEACEventProperties::isEmpty() const {
    plat::MutexLock lock(mutex_);
    return entries_.empty();
}

void BEACEventProperties::mergeEventProperties(const BEACEventProperties& other) {
    if (&other == this)
        return;
    for (const auto& [key, property] : other.properties())
        store(key, property);
}

bool BEACEventProperties::isEqual(const plat::Object& other) const {
    const auto* bag = dynamic_cast<const BEACEventProperties*>(&other);
    if (!bag)
        return false;
    auto mine = properties();
    auto theirs = bag->properties();
    if (mine.size() != theirs.size())
        return false;
    // Same names with equal properties, in any order.
    for (const auto& [key, property] : mine) {
        bool found = false;
        for (const auto& [otherKey, otherProperty] : theirs)
            if (otherKey == key) {
                found = property->isEqual(*otherProperty) && property->name == otherProperty->name;
                break;
            }
        if (!found)
            return false;
    }
    return true;
}

// One unkeyed array of the typed properties, in order (each knows its name).
void BEACEventProperties::encodeWithCoder(plat::KeyedArchiver& coder) const {
    plat::Array array;
    for (const auto& entry : properties())
        array.push_back(plat::Value(std::static_pointer_cast<const plat::Object>(entry.second)));
    coder.encodeObject(plat::Value(std::move(array)));
}

void BEACEventProperties::initWithCoder(plat::KeyedUnarchiver& coder) {
    std::vector<Entry> decoded;
    if (auto value = coder.decodeObject(); value && value->asArray())
        for (const auto& item : *value->asArray()) {
            auto property = item.asObjectOf<BEACTypedProperty>();
            if (property && property->name)
                decoded.emplace_back(*property->name, std::const_pointer_cast<BEACTypedProperty>(property));
        }
    plat::MutexLock lock(mutex_);
    entries_ = std::move(decoded);
}
