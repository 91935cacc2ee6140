#include "beacon/core/BEACCustomProperties.h"

#include <cmath>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Text.h"

namespace {

bool matchesKeyPattern(const std::string& key) {
    auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (key.empty() || !isLetter(key[0]))
        return false;
    for (char c : key) {
        if (!isLetter(c) && !(c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

}  // namespace

BEACCustomProperties& BEACCustomProperties::setString(const std::optional<std::string>& value,
                                                      const std::optional<std::string>& key) {
    return setObject(value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt, key);
}
BEACCustomProperties& BEACCustomProperties::setNumber(double value, const std::optional<std::string>& key) {
    return setObject(plat::Value(value), key);
}
BEACCustomProperties& BEACCustomProperties::setInteger(int64_t value, const std::optional<std::string>& key) {
    return setObject(plat::Value(value), key);
}
BEACCustomProperties& BEACCustomProperties::setBool(bool value, const std::optional<std::string>& key) {
    return setObject(plat::Value(value), key);
}
BEACCustomProperties& BEACCustomProperties::setDate(const plat::Date& value,
                                                    const std::optional<std::string>& key) {
    return setObject(plat::Value(value), key);
}

BEACCustomProperties& BEACCustomProperties::setObject(const std::optional<plat::Value>& value,
                                                      const std::optional<std::string>& key) {
    plat::MutexLock lock(mutex_);
    if (isValidKey(key) && isValidValue(value))
        properties_.set(*key, *value);
    return *this;
}

BEACCustomProperties& BEACCustomProperties::clearPropertyForKey(const std::optional<std::string>& key) {
    plat::MutexLock lock(mutex_);
    if (isValidKey(key))
        properties_.set(*key, plat::Value());
    return *this;
}

plat::Dictionary BEACCustomProperties::propertiesImmutableCopy() const {
    plat::MutexLock lock(mutex_);
    return properties_;
}

bool BEACCustomProperties::isValidKey(const std::optional<std::string>& key) const {
    if (!key || !matchesKeyPattern(*key)) {
        BEACLogError(kBEACLogTag, "Custom property \"%@\" must match \"%@\"", key.value_or("(null)"),
                     kKeyPattern);
        return false;
    }
    if (key->size() > kMaxKeyLength) {
        BEACLogError(kBEACLogTag, "Custom property \"%@\" length cannot be longer than \"%d\" characters.",
                     *key, static_cast<int>(kMaxKeyLength));
        return false;
    }
    if (properties_.find(*key)) {
        BEACLogWarning(kBEACLogTag,
                       "Custom property \"%@\" is already set or cleared and will be overridden.", *key);
        return true;
    }
    if (properties_.size() >= kMaxCount) {
        BEACLogError(kBEACLogTag, "Custom properties cannot contain more than \"%d\" items.",
                     static_cast<int>(kMaxCount));
        return false;
    }
    return true;
}

bool BEACCustomProperties::isValidValue(const std::optional<plat::Value>& value) {
    if (!value || value->isNull()) {
        BEACLogError(kBEACLogTag, "Custom property value cannot be null, did you mean to call clear?");
        return false;
    }
    if (value->isString() && plat::text::utf16Length(*value->asString()) > kMaxStringLength) {
        BEACLogError(kBEACLogTag, "Custom property value length cannot be longer than \"%d\" characters.",
                     static_cast<int>(kMaxStringLength));
        return false;
    }
    if (value->isNumber() && !value->isBool() && !std::isfinite(value->doubleValue())) {
        BEACLogError(kBEACLogTag, "Custom property value cannot be NaN or infinite.");
        return false;
    }
    return true;
}

std::optional<plat::Dictionary> BEACCustomPropertiesLog::serializeProperty(const plat::Value& value) {
    plat::Dictionary entry;
    if (value.isNull()) {
        entry.set("type", plat::Value("clear"));
    } else if (value.isBool()) {
        entry.set("type", plat::Value("boolean"));
        entry.set("value", value);
    } else if (value.isNumber()) {
        entry.set("type", plat::Value("number"));
        entry.set("value", value);
    } else if (value.isDate()) {
        entry.set("type", plat::Value("dateTime"));
        entry.set("value", plat::Value(BEACUtility::dateToISO8601(*value.asDate())));
    } else if (value.isString()) {
        entry.set("type", plat::Value("string"));
        entry.set("value", value);
    } else {
        return std::nullopt;
    }
    return entry;
}

bool BEACCustomPropertiesLog::isValid() const {
    if (!BEACAbstractLog::isValid())
        return false;
    if (!properties || properties->empty())
        return logValidityFailure("properties");
    return true;
}

plat::Dictionary BEACCustomPropertiesLog::serializeToDictionary() const {
    plat::Dictionary dict = BEACAbstractLog::serializeToDictionary();
    if (properties) {
        plat::Array list;
        for (const auto& [name, value] : *properties) {
            auto entry = serializeProperty(value);
            if (!entry)
                continue;
            plat::Dictionary named;
            named.set("name", plat::Value(name));
            for (const auto& [k, v] : *entry)
                named.set(k, v);
            list.push_back(plat::Value(std::move(named)));
        }
        dict.set("properties", plat::Value(std::move(list)));
    }
    return dict;
}

bool BEACCustomPropertiesLog::isEqual(const plat::Object& other) const {
    auto* log = dynamic_cast<const BEACCustomPropertiesLog*>(&other);
    return log && BEACAbstractLog::isEqual(other) && properties == log->properties;
}

void BEACCustomPropertiesLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACAbstractLog::encodeWithCoder(coder);
    coder.encodeObject(type ? std::optional<plat::Value>(plat::Value(*type)) : std::nullopt,
                       "customProperties");
    if (properties)
        coder.encodeDictionary(*properties, "properties");
    else
        coder.encodeObject(std::nullopt, "properties");
}

void BEACCustomPropertiesLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACAbstractLog::initWithCoder(coder);
    type = coder.decodeString("customProperties");
    properties = coder.decodeDictionary("properties");
}
