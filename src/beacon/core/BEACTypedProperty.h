// Typed event properties: a name and a string, 64-bit integer, double,
// boolean or date value, each with its "type" word. JSON holds "type", "name"
// and "value" (absent values left out; dates as ISO 8601 text). Equality
// compares type and value, never the name. Plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "beacon/core/BEACSerializableObject.h"
#include "platform/foundation/Date.h"

class BEACTypedProperty : public BEACSerializableObject {
  public:
    std::optional<std::string> type;
    std::optional<std::string> name;

    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACTypedProperty"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACStringTypedProperty : public BEACTypedProperty {
  public:
    BEACStringTypedProperty() { type = "string"; }
    std::optional<std::string> value;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACStringTypedProperty"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACLongTypedProperty : public BEACTypedProperty {
  public:
    BEACLongTypedProperty() { type = "long"; }
    int64_t value = 0;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACLongTypedProperty"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACDoubleTypedProperty : public BEACTypedProperty {
  public:
    BEACDoubleTypedProperty() { type = "double"; }
    double value = 0;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACDoubleTypedProperty"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACBooleanTypedProperty : public BEACTypedProperty {
  public:
    BEACBooleanTypedProperty() { type = "boolean"; }
    bool value = false;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACBooleanTypedProperty"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACDateTimeTypedProperty : public BEACTypedProperty {
  public:
    BEACDateTimeTypedProperty() { type = "dateTime"; }
    std::optional<plat::Date> value;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACDateTimeTypedProperty"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
