#include "beacon/core/BEACTypedProperty.h"

#include "beacon/core/BEACUtility.h"

using beac::detail::encodeString;
using beac::detail::setIfPresent;

plat::Dictionary BEACTypedProperty::serializeToDictionary() const {
    plat::Dictionary dict;
    setIfPresent(dict, "type", type);
    setIfPresent(dict, "name", name);
    return dict;
}

bool BEACTypedProperty::isEqual(const plat::Object& other) const {
    const auto* property = dynamic_cast<const BEACTypedProperty*>(&other);
    return property && type == property->type;
}

void BEACTypedProperty::encodeWithCoder(plat::KeyedArchiver& coder) const {
    encodeString(coder, type, "type");
    encodeString(coder, name, "name");
}

void BEACTypedProperty::initWithCoder(plat::KeyedUnarchiver& coder) {
    type = coder.decodeString("type");
    name = coder.decodeString("name");
}

// Each concrete class: the base's work, then its value.
#define BEAC_TYPED_PROPERTY_EQUALITY(Class, sameValue)                       \
    bool Class::isEqual(const plat::Object& other) const {                   \
        const auto* property = dynamic_cast<const Class*>(&other);           \
        return property && BEACTypedProperty::isEqual(other) && (sameValue); \
    }

BEAC_TYPED_PROPERTY_EQUALITY(BEACStringTypedProperty, value == property->value)
BEAC_TYPED_PROPERTY_EQUALITY(BEACLongTypedProperty, value == property->value)
BEAC_TYPED_PROPERTY_EQUALITY(BEACDoubleTypedProperty, value == property->value)
BEAC_TYPED_PROPERTY_EQUALITY(BEACBooleanTypedProperty, value == property->value)
BEAC_TYPED_PROPERTY_EQUALITY(BEACDateTimeTypedProperty, value == property->value)
#undef BEAC_TYPED_PROPERTY_EQUALITY

plat::Dictionary BEACStringTypedProperty::serializeToDictionary() const {
    plat::Dictionary dict = BEACTypedProperty::serializeToDictionary();
    setIfPresent(dict, "value", value);
    return dict;
}
void BEACStringTypedProperty::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACTypedProperty::encodeWithCoder(coder);
    encodeString(coder, value, "value");
}
void BEACStringTypedProperty::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACTypedProperty::initWithCoder(coder);
    value = coder.decodeString("value");
}

plat::Dictionary BEACLongTypedProperty::serializeToDictionary() const {
    plat::Dictionary dict = BEACTypedProperty::serializeToDictionary();
    dict.set("value", plat::Value(value));
    return dict;
}
void BEACLongTypedProperty::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACTypedProperty::encodeWithCoder(coder);
    coder.encodeInt64(value, "value");
}
void BEACLongTypedProperty::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACTypedProperty::initWithCoder(coder);
    value = coder.decodeInt64("value");
}

plat::Dictionary BEACDoubleTypedProperty::serializeToDictionary() const {
    plat::Dictionary dict = BEACTypedProperty::serializeToDictionary();
    dict.set("value", plat::Value(value));
    return dict;
}
void BEACDoubleTypedProperty::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACTypedProperty::encodeWithCoder(coder);
    coder.encodeDouble(value, "value");
}
void BEACDoubleTypedProperty::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACTypedProperty::initWithCoder(coder);
    value = coder.decodeDouble("value");
}

plat::Dictionary BEACBooleanTypedProperty::serializeToDictionary() const {
    plat::Dictionary dict = BEACTypedProperty::serializeToDictionary();
    dict.set("value", plat::Value(value));
    return dict;
}
void BEACBooleanTypedProperty::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACTypedProperty::encodeWithCoder(coder);
    coder.encodeBool(value, "value");
}
void BEACBooleanTypedProperty::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACTypedProperty::initWithCoder(coder);
    value = coder.decodeBool("value");
}

plat::Dictionary BEACDateTimeTypedProperty::serializeToDictionary() const {
    plat::Dictionary dict = BEACTypedProperty::serializeToDictionary();
    if (value)
        dict.set("value", plat::Value(BEACUtility::dateToISO8601(*value)));
    return dict;
}
void BEACDateTimeTypedProperty::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACTypedProperty::encodeWithCoder(coder);
    coder.encodeObject(value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt, "value");
}
void BEACDateTimeTypedProperty::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACTypedProperty::initWithCoder(coder);
    value = coder.decodeDate("value");
}
