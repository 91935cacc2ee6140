// Typed accessors: optional reads that are absent when the value cannot be
// read as the type, defaulting reads, and writes through setObject().
#include <array>
#include <string_view>

#include "json/JSON.h"
#include "json/detail/NumberReading.h"
#include "platform/foundation/Text.h"

namespace json {
namespace {

bool textIsTrue(std::string_view s) {
    static constexpr std::array<std::string_view, 5> kTrueWords = {"true", "y", "t", "yes", "1"};
    for (std::string_view word : kTrueWords) {
        if (plat::text::caseInsensitiveCompare(s, word) == 0)
            return true;
    }
    return false;
}

bool numberIsTrue(const plat::Value& n) {
    switch (n.kind()) {
        case plat::Value::Kind::Bool:
            return n.rawBool();
        case plat::Value::Kind::Int:
            return n.rawInt() != 0;
        case plat::Value::Kind::UInt:
            return n.rawUInt() != 0;
        case plat::Value::Kind::Double:
            return n.rawDouble() != 0.0;
        case plat::Value::Kind::Decimal:
            return !n.asDecimal()->isZero();
        default:
            return false;
    }
}

bool hasPercentEscape(std::string_view s) {
    auto isHex = [](char c) { return plat::text::hexDigitValue(c) >= 0; };
    for (std::size_t i = 0; i + 2 < s.size(); ++i) {
        if (s[i] == '%' && isHex(s[i + 1]) && isHex(s[i + 2]))
            return true;
    }
    return false;
}

plat::Value nullOr(const std::optional<plat::Value>& v) {
    return v ? *v : plat::Value();
}

}  // namespace

std::optional<bool> JSON::optionalBool() const {
    if (type_ != Type::Bool)
        return std::nullopt;
    return object_.rawBool();
}

void JSON::setOptionalBool(std::optional<bool> v) {
    setObject(v ? plat::Value(*v) : plat::Value());
}

bool JSON::boolValue() const {
    switch (type_) {
        case Type::Number:
            return numberIsTrue(object_);
        case Type::String:
            return textIsTrue(*object_.asString());
        case Type::Bool:
            return object_.rawBool();
        default:
            return false;
    }
}

void JSON::setBoolValue(bool v) {
    setObject(plat::Value(v));
}

std::optional<std::string> JSON::optionalString() const {
    if (type_ != Type::String)
        return std::nullopt;
    return *object_.asString();
}

void JSON::setOptionalString(std::optional<std::string> v) {
    setObject(v ? plat::Value(std::move(*v)) : plat::Value());
}

std::string JSON::stringValue() const {
    switch (type_) {
        case Type::Number:
            return object_.stringValue();
        case Type::String:
            return *object_.asString();
        case Type::Bool:
            return object_.rawBool() ? "true" : "false";
        default:
            return "";
    }
}

void JSON::setStringValue(std::string v) {
    setObject(plat::Value(std::move(v)));
}

std::optional<plat::Value> JSON::optionalNumber() const {
    if (type_ == Type::Bool)
        return plat::Value(int64_t{object_.rawBool() ? 1 : 0});
    if (type_ == Type::Number)
        return object_;
    return std::nullopt;
}

void JSON::setOptionalNumber(std::optional<plat::Value> v) {
    setObject(nullOr(v));
}

plat::Value JSON::numberValue() const {
    switch (type_) {
        case Type::String: {
            plat::Decimal d = plat::Decimal::fromString(*object_.asString());
            return plat::Value(d.isNaN() ? plat::Decimal::zero() : d);
        }
        case Type::Number:
            return object_;
        case Type::Bool:
            return plat::Value(int64_t{object_.rawBool() ? 1 : 0});
        default:
            return plat::Value(0.0);
    }
}

void JSON::setNumberValue(plat::Value v) {
    setObject(std::move(v));
}

std::optional<plat::Value> JSON::nullObject() const {
    if (type_ != Type::Null)
        return std::nullopt;
    return plat::Value();
}

void JSON::setNullObject(std::optional<plat::Value>) {
    setObject(plat::Value());
}

std::optional<plat::URL> JSON::optionalURL() const {
    if (type_ != Type::String)
        return std::nullopt;
    const std::string& text = *object_.asString();
    // Text that already holds an escape is taken as encoded, as a whole.
    if (hasPercentEscape(text))
        return plat::URL::URLWithString(text);
    std::optional<std::string> encoded =
        plat::stringByAddingPercentEncodingWithAllowedCharacters(text, plat::CharacterSet::URLQueryAllowed());
    if (!encoded)
        return std::nullopt;
    return plat::URL::URLWithString(*encoded);
}

void JSON::setOptionalURL(const std::optional<plat::URL>& url) {
    setObject(url ? plat::Value(url->absoluteString()) : plat::Value());
}

// Each numeric pair: the optional read takes optionalNumber (numbers and
// booleans only), the defaulting read takes numberValue (numeric text parsed),
// and writes store a number object of the pair's own width.
#define KP_JSON_NUMERIC_PAIR(T, OPT, GET, SET_OPT, SET, MAKE) \
    std::optional<T> JSON::OPT() const {                      \
        std::optional<plat::Value> n = optionalNumber();      \
        if (!n)                                               \
            return std::nullopt;                              \
        return detail::readNumber<T>(*n);                     \
    }                                                         \
    T JSON::GET() const {                                     \
        return detail::readNumber<T>(numberValue());          \
    }                                                         \
    void JSON::SET_OPT(std::optional<T> v) {                  \
        setObject(v ? MAKE(*v) : plat::Value());              \
    }                                                         \
    void JSON::SET(T v) {                                     \
        setObject(MAKE(v));                                   \
    }

namespace {
plat::Value makeDouble(double v) {
    return plat::Value(v);
}
plat::Value makeFloat(float v) {
    return plat::Value(v);
}
plat::Value makeInteger(int64_t v) {
    return plat::Value(v);
}
plat::Value makeUnsignedInteger(uint64_t v) {
    return plat::Value(v);
}
// Stored through the word-size initialiser, sign-extended.
plat::Value makeInt8(int8_t v) {
    return plat::Value(int64_t{v});
}
plat::Value makeUint8(uint8_t v) {
    return plat::Value(v);
}
plat::Value makeInt16(int16_t v) {
    return plat::Value(v);
}
plat::Value makeUint16(uint16_t v) {
    return plat::Value(v);
}
plat::Value makeInt32(int32_t v) {
    return plat::Value(v);
}
plat::Value makeUint32(uint32_t v) {
    return plat::Value(v);
}
plat::Value makeInt64(int64_t v) {
    return plat::Value(v);
}
plat::Value makeUint64(uint64_t v) {
    return plat::Value(v);
}
}  // namespace

KP_JSON_NUMERIC_PAIR(double, optionalDouble, doubleValue, setOptionalDouble, setDoubleValue, makeDouble)
KP_JSON_NUMERIC_PAIR(float, optionalFloat, floatValue, setOptionalFloat, setFloatValue, makeFloat)
KP_JSON_NUMERIC_PAIR(int64_t, optionalInteger, integerValue, setOptionalInteger, setIntegerValue, makeInteger)
KP_JSON_NUMERIC_PAIR(uint64_t, optionalUnsignedInteger, unsignedIntegerValue, setOptionalUnsignedInteger,
                     setUnsignedIntegerValue, makeUnsignedInteger)
KP_JSON_NUMERIC_PAIR(int8_t, optionalInt8, int8Value, setOptionalInt8, setInt8Value, makeInt8)
KP_JSON_NUMERIC_PAIR(uint8_t, optionalUint8, uint8Value, setOptionalUint8, setUint8Value, makeUint8)
KP_JSON_NUMERIC_PAIR(int16_t, optionalInt16, int16Value, setOptionalInt16, setInt16Value, makeInt16)
KP_JSON_NUMERIC_PAIR(uint16_t, optionalUint16, uint16Value, setOptionalUint16, setUint16Value, makeUint16)
KP_JSON_NUMERIC_PAIR(int32_t, optionalInt32, int32Value, setOptionalInt32, setInt32Value, makeInt32)
KP_JSON_NUMERIC_PAIR(uint32_t, optionalUint32, uint32Value, setOptionalUint32, setUint32Value, makeUint32)
KP_JSON_NUMERIC_PAIR(int64_t, optionalInt64, int64Value, setOptionalInt64, setInt64Value, makeInt64)
KP_JSON_NUMERIC_PAIR(uint64_t, optionalUint64, uint64Value, setOptionalUint64, setUint64Value, makeUint64)

#undef KP_JSON_NUMERIC_PAIR

}  // namespace json
