#include "platform/coredata/PropertyDescription.h"

#include <cmath>
#include <limits>

#include "platform/coredata/AttributeDescription.h"
#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/EntityDescription.h"
#include "platform/coredata/RelationshipDescription.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/foundation/URL.h"

namespace plat::coredata {

bool userInfoBool(const Dictionary& userInfo, std::string_view key, bool fallback) {
    const Value* v = userInfo.find(key);
    return v && !v->isNull() ? v->boolValue() : fallback;
}

int64_t userInfoInteger(const Dictionary& userInfo, std::string_view key, int64_t fallback) {
    const Value* v = userInfo.find(key);
    return v && !v->isNull() ? v->longLongValue() : fallback;
}

// PropertyDescription

void PropertyDescription::checkMutable() const {
    if (entity_ && entity_->isFrozen())
        throw ModelException("Can't modify property \"" + name_ + "\": its model is in use.",
                             InternalInconsistencyException);
}

PropertyDescription& PropertyDescription::setOptional(bool v) {
    checkMutable();
    optional_ = v;
    return *this;
}

PropertyDescription& PropertyDescription::setTransient(bool v) {
    checkMutable();
    transient_ = v;
    return *this;
}

PropertyDescription& PropertyDescription::setIndexed(bool v) {
    checkMutable();
    indexed_ = v;
    return *this;
}

PropertyDescription& PropertyDescription::setUserInfo(Dictionary v) {
    checkMutable();
    userInfo_ = std::move(v);
    return *this;
}

PropertyDescription& PropertyDescription::setVersionHashModifier(std::string v) {
    checkMutable();
    versionHashModifier_ = std::move(v);
    return *this;
}

// Attribute types and coercion

namespace {

struct TypeName {
    AttributeType type;
    const char* name;
};

constexpr TypeName kTypeNames[] = {
    {AttributeType::Undefined, "undefined"},
    {AttributeType::Integer16, "integer16"},
    {AttributeType::Integer32, "integer32"},
    {AttributeType::Integer64, "integer64"},
    {AttributeType::Decimal, "decimal"},
    {AttributeType::Double, "double"},
    {AttributeType::Float, "float"},
    {AttributeType::String, "string"},
    {AttributeType::Boolean, "boolean"},
    {AttributeType::Date, "date"},
    {AttributeType::BinaryData, "binary"},
    {AttributeType::UUID, "uuid"},
    {AttributeType::URI, "uri"},
    {AttributeType::Transformable, "transformable"},
};

// The whole number a numeric value stands for, or nullopt when it is not a
// whole number within [lo, hi].
std::optional<int64_t> wholeNumber(const Value& v, int64_t lo, int64_t hi) {
    int64_t n = 0;
    switch (v.kind()) {
        case Value::Kind::Bool:
            n = v.rawBool() ? 1 : 0;
            break;
        case Value::Kind::Int:
            n = v.rawInt();
            break;
        case Value::Kind::UInt:
            if (v.rawUInt() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                return std::nullopt;
            n = static_cast<int64_t>(v.rawUInt());
            break;
        case Value::Kind::Double: {
            double d = v.rawDouble();
            // 2^63 is the first double past int64's range.
            if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
                d >= 9223372036854775808.0)
                return std::nullopt;
            n = static_cast<int64_t>(d);
            break;
        }
        case Value::Kind::Decimal: {
            const Decimal& dec = *v.asDecimal();
            if (dec.isNaN() || !dec.isInteger() || dec.compare(Decimal::fromInt64(lo)) < 0 ||
                dec.compare(Decimal::fromInt64(hi)) > 0)
                return std::nullopt;
            n = dec.toInt64();
            break;
        }
        default:
            return std::nullopt;
    }
    if (n < lo || n > hi)
        return std::nullopt;
    return n;
}

std::optional<Value> coerceNumber(const Value& value, AttributeType type) {
    switch (type) {
        case AttributeType::Integer16:
            if (auto n = wholeNumber(value, INT16_MIN, INT16_MAX))
                return Value(static_cast<int16_t>(*n));
            return std::nullopt;
        case AttributeType::Integer32:
            if (auto n = wholeNumber(value, INT32_MIN, INT32_MAX))
                return Value(static_cast<int32_t>(*n));
            return std::nullopt;
        case AttributeType::Integer64:
            if (auto n = wholeNumber(value, INT64_MIN, INT64_MAX))
                return Value(*n);
            return std::nullopt;
        case AttributeType::Double:
            return Value(value.doubleValue());
        case AttributeType::Float:
            return Value(value.floatValue());
        case AttributeType::Boolean:
            if (value.isBool())
                return value;
            return Value(value.kind() == Value::Kind::Decimal ? !value.asDecimal()->isZero()
                                                              : value.doubleValue() != 0.0);
        case AttributeType::Decimal:
            switch (value.kind()) {
                case Value::Kind::Decimal:
                    return value;
                case Value::Kind::Int:
                    return Value(Decimal::fromInt64(value.rawInt()));
                case Value::Kind::UInt:
                    return Value(Decimal::fromUInt64(value.rawUInt()));
                case Value::Kind::Bool:
                    return Value(Decimal::fromInt64(value.rawBool() ? 1 : 0));
                default:
                    return Value(Decimal::fromDouble(value.rawDouble()));
            }
        default:
            return std::nullopt;
    }
}

bool isNumericType(AttributeType type) {
    switch (type) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
        case AttributeType::Double:
        case AttributeType::Float:
        case AttributeType::Boolean:
        case AttributeType::Decimal:
            return true;
        default:
            return false;
    }
}

}  // namespace

const char* attributeTypeName(AttributeType type) {
    for (const auto& entry : kTypeNames) {
        if (entry.type == type)
            return entry.name;
    }
    return "undefined";
}

std::optional<AttributeType> attributeTypeFromName(std::string_view name) {
    for (const auto& entry : kTypeNames) {
        if (name == entry.name)
            return entry.type;
    }
    return std::nullopt;
}

std::optional<Value> coerceValue(const Value& value, AttributeType type) {
    if (value.isNull() || type == AttributeType::Transformable || type == AttributeType::Undefined)
        return value;
    if (isNumericType(type))
        return value.isNumber() ? coerceNumber(value, type) : std::nullopt;
    bool ok = false;
    switch (type) {
        case AttributeType::String:
            ok = value.isString();
            break;
        case AttributeType::Date:
            ok = value.isDate();
            break;
        case AttributeType::BinaryData:
            ok = value.isData();
            break;
        case AttributeType::UUID:
            ok = value.asObjectOf<UUIDObject>() != nullptr;
            break;
        case AttributeType::URI:
            ok = value.asObjectOf<URLObject>() != nullptr;
            break;
        default:
            break;
    }
    return ok ? std::optional<Value>(value) : std::nullopt;
}

// AttributeDescription

AttributeDescription& AttributeDescription::setAttributeType(AttributeType type) {
    checkMutable();
    type_ = type;
    return *this;
}

AttributeDescription& AttributeDescription::setDefaultValue(std::optional<Value> value) {
    checkMutable();
    if (value && value->isNull())
        value.reset();
    defaultValue_ = value ? std::optional<Value>(coerce(*value)) : std::nullopt;
    return *this;
}

AttributeDescription& AttributeDescription::setValueTransformerName(std::string name) {
    checkMutable();
    transformerName_ = std::move(name);
    return *this;
}

Value AttributeDescription::coerce(const Value& value) const {
    if (auto coerced = coerceValue(value, type_))
        return std::move(*coerced);
    throw ModelException("Unacceptable type of value for attribute: property = \"" + name() +
                         "\"; desired type = " + attributeTypeName(type_) +
                         "; given type = " + value.kindName() + "; value = " + value.description() + ".");
}

// Relationships

namespace {

constexpr std::pair<DeleteRule, const char*> kRuleNames[] = {
    {DeleteRule::NoAction, "noAction"},
    {DeleteRule::Nullify, "nullify"},
    {DeleteRule::Cascade, "cascade"},
    {DeleteRule::Deny, "deny"},
};

}  // namespace

const char* deleteRuleName(DeleteRule rule) {
    for (const auto& [r, name] : kRuleNames) {
        if (r == rule)
            return name;
    }
    return "nullify";
}

std::optional<DeleteRule> deleteRuleFromName(std::string_view name) {
    for (const auto& [r, n] : kRuleNames) {
        if (name == n)
            return r;
    }
    return std::nullopt;
}

RelationshipDescription& RelationshipDescription::setDestinationEntityName(std::string name) {
    checkMutable();
    destinationName_ = std::move(name);
    return *this;
}

RelationshipDescription& RelationshipDescription::setInverseName(std::string name) {
    checkMutable();
    inverseName_ = std::move(name);
    return *this;
}

RelationshipDescription& RelationshipDescription::setToMany(bool v) {
    checkMutable();
    toMany_ = v;
    if (!v)
        ordered_ = false;
    return *this;
}

RelationshipDescription& RelationshipDescription::setOrdered(bool v) {
    checkMutable();
    ordered_ = v;
    if (v)
        toMany_ = true;
    return *this;
}

RelationshipDescription& RelationshipDescription::setDeleteRule(DeleteRule rule) {
    checkMutable();
    deleteRule_ = rule;
    return *this;
}

RelationshipDescription& RelationshipDescription::setMinCount(std::size_t n) {
    checkMutable();
    minCount_ = n;
    return *this;
}

RelationshipDescription& RelationshipDescription::setMaxCount(std::size_t n) {
    checkMutable();
    maxCount_ = n;
    return *this;
}

}  // namespace plat::coredata
