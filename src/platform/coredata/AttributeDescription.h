// AttributeDescription: a typed value property of an entity, and the coercion
// of values to an attribute's type.
//
// Values of each type are held in a Value as: integers of 16, 32 and 64 bits
// as signed integers (with the matching NumberType), double and float as
// doubles (NumberType Double / Float), boolean as bool, string as string,
// date as date, binary data as data, decimal as decimal, UUID as a
// UUIDObject, URI as a URLObject; a transformable attribute holds any Value.
// null stands for nil in every type.
#pragma once

#include <optional>
#include <string>

#include "platform/coredata/PropertyDescription.h"

namespace plat::coredata {

// Raw values are the platform's, so numbers found in stored models convert
// with a cast.
enum class AttributeType : int {
    Undefined = 0,
    Integer16 = 100,
    Integer32 = 200,
    Integer64 = 300,
    Decimal = 400,
    Double = 500,
    Float = 600,
    String = 700,
    Boolean = 800,
    Date = 900,
    BinaryData = 1000,
    UUID = 1100,
    URI = 1200,
    Transformable = 1800,
};

// "integer16", "integer32", "integer64", "decimal", "double", "float",
// "string", "boolean", "date", "binary", "uuid", "uri", "transformable",
// "undefined": the names used in model files.
const char* attributeTypeName(AttributeType type);
std::optional<AttributeType> attributeTypeFromName(std::string_view name);

// Converts value to the representation of type (see the file comment), or
// nullopt when it cannot: integers, reals, booleans and decimals interchange
// when the value fits the target (integers must be whole and in range); any
// other mismatch fails. null stays null. Transformable accepts anything.
std::optional<Value> coerceValue(const Value& value, AttributeType type);

class AttributeDescription : public PropertyDescription {
  public:
    AttributeType attributeType() const { return type_; }
    // The value a newly inserted object starts with; nullopt means nil.
    const std::optional<Value>& defaultValue() const { return defaultValue_; }
    // Transformable only: the registered transformer that stores the value;
    // empty means keyed archiving.
    const std::string& valueTransformerName() const { return transformerName_; }

    AttributeDescription& setAttributeType(AttributeType type);
    // Throws ModelException when the value cannot be coerced to the type.
    AttributeDescription& setDefaultValue(std::optional<Value> value);
    AttributeDescription& setValueTransformerName(std::string name);

    // Chaining forms of the common setters.
    AttributeDescription& optional(bool v) { return static_cast<AttributeDescription&>(setOptional(v)); }
    AttributeDescription& transient(bool v) { return static_cast<AttributeDescription&>(setTransient(v)); }
    AttributeDescription& indexed(bool v) { return static_cast<AttributeDescription&>(setIndexed(v)); }

    // The value coerced to this attribute's type; throws ModelException (naming
    // the entity and key) when it cannot be.
    Value coerce(const Value& value) const;

  private:
    friend class EntityDescription;
    AttributeDescription(EntityDescription* entity, std::string name, AttributeType type)
        : PropertyDescription(Kind::Attribute, entity, std::move(name)), type_(type) {}

    AttributeType type_;
    std::optional<Value> defaultValue_;
    std::string transformerName_;
};

}  // namespace plat::coredata
