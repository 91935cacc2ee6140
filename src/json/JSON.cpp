#include "json/JSON.h"

#include "json/detail/Tagging.h"
#include "platform/foundation/JSONSerialization.h"

namespace json {

Type detail::typeOf(const plat::Value& v) {
    switch (v.kind()) {
        case plat::Value::Kind::Bool:
            return Type::Bool;
        case plat::Value::Kind::Int:
        case plat::Value::Kind::UInt:
        case plat::Value::Kind::Double:
        case plat::Value::Kind::Decimal:
            return Type::Number;
        case plat::Value::Kind::String:
            return Type::String;
        case plat::Value::Kind::Null:
            return Type::Null;
        case plat::Value::Kind::Array:
            return Type::Array;
        case plat::Value::Kind::Dictionary:
            return Type::Dictionary;
        default:
            return Type::Unknown;
    }
}

namespace {

// Surrogates and values past U+10FFFF cannot be written as UTF-8; they become
// U+FFFD rather than bytes no reader accepts.
void appendUTF8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string oneCharacter(char32_t c) {
    std::string s;
    appendUTF8(s, c);
    return s;
}

}  // namespace

std::optional<Type> TypeFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 6)
        return std::nullopt;
    return static_cast<Type>(rawValue);
}

// Data is taken as JSON text and parsed, as the platform's JSON type does:
// there is no data kind to store it as. Text that does not parse leaves a
// null value without an error (the platform's behaviour, kept on purpose).
JSON::JSON(plat::Value object) {
    if (const plat::Data* data = object.asData()) {
        plat::Result<plat::Value> parsed = plat::JSONSerialization::JSONObjectWithData(*data);
        if (parsed.ok())
            assignTagged(parsed.value());
        return;
    }
    assignTagged(object);
}

JSON::JSON(std::optional<plat::Value> object) {
    if (object)
        *this = JSON(std::move(*object));
}

// A char is one Latin-1 code point, not a UTF-8 byte: 0xE9 becomes "é".
JSON::JSON(char c) : JSON(oneCharacter(static_cast<unsigned char>(c))) {}

JSON::JSON(char32_t c) : JSON(oneCharacter(c)) {}

JSON::JSON(const std::vector<JSON>& elements) {
    plat::Array list;
    list.reserve(elements.size());
    for (const JSON& e : elements)
        list.push_back(e.object());
    assignTagged(plat::Value(std::move(list)));
}

JSON::JSON(const std::map<std::string, JSON>& members) {
    plat::Dictionary map;
    for (const auto& [key, value] : members)
        map.set(key, value.object());
    assignTagged(plat::Value(std::move(map)));
}

JSON::JSON(Stored, const plat::Value& object) {
    if (object.isData()) {
        *this = JSON(object);
        return;
    }
    assignTagged(object);
}

JSON JSON::failure(JSONValueError e) {
    JSON j;
    j.error_ = e;
    return j;
}

JSON JSON::arrayLiteral(std::initializer_list<JSON> elements) {
    return JSON(std::vector<JSON>(elements.begin(), elements.end()));
}

JSON JSON::dictionaryLiteral(std::initializer_list<std::pair<std::string, JSON>> members) {
    plat::Dictionary map;
    for (const auto& [key, value] : members)
        map.set(key, value.object());
    return JSON(plat::Value(std::move(map)));
}

plat::Result<JSON> JSON::create(const plat::Data& data, unsigned readingOptions) {
    plat::Result<plat::Value> parsed = plat::JSONSerialization::JSONObjectWithData(data, readingOptions);
    if (!parsed.ok())
        return parsed.error();
    JSON j;
    j.assignTagged(parsed.value());
    return j;
}

JSON JSON::parseJSON(std::string_view text) {
    if (text.empty())
        return JSON();
    return JSON(plat::Value(plat::Data(text.data(), text.size())));
}

std::optional<JSON> JSON::fromRawValue(plat::Value rawValue) {
    JSON j(std::move(rawValue));
    if (j.type() == Type::Unknown)
        return std::nullopt;
    return j;
}

// Kinds JSON has no type for (dates, sets, objects) are not stored: the type
// becomes Unknown over a null object and remembers UnsupportedType, which
// subscripts on it then report instead of a plain wrong-type error.
void JSON::assignTagged(const plat::Value& object) {
    error_.reset();
    type_ = detail::typeOf(object);
    if (type_ == Type::Unknown) {
        error_ = JSONValueError::UnsupportedType;
        object_ = plat::Value();
    } else {
        object_ = object;
    }
}

void JSON::setObject(plat::Value object) {
    assignTagged(object);
}

void JSON::setObject(std::optional<plat::Value> object) {
    assignTagged(object ? *object : plat::Value());
}

std::optional<std::vector<JSON>> JSON::array() const {
    const plat::Array* list = arrayObject();
    if (!list)
        return std::nullopt;
    std::vector<JSON> out;
    out.reserve(list->size());
    for (const plat::Value& e : *list)
        out.push_back(JSON(Stored{}, e));
    return out;
}

std::vector<JSON> JSON::arrayValue() const {
    return array().value_or(std::vector<JSON>{});
}

const plat::Array* JSON::arrayObject() const {
    return type_ == Type::Array ? object_.asArray() : nullptr;
}

void JSON::setArrayObject(std::optional<plat::Array> list) {
    assignTagged(list ? plat::Value(std::move(*list)) : plat::Value());
}

std::optional<std::map<std::string, JSON>> JSON::dictionary() const {
    const plat::Dictionary* map = dictionaryObject();
    if (!map)
        return std::nullopt;
    std::map<std::string, JSON> out;
    for (const auto& [key, value] : *map)
        out.emplace(key, JSON(Stored{}, value));
    return out;
}

std::map<std::string, JSON> JSON::dictionaryValue() const {
    return dictionary().value_or(std::map<std::string, JSON>{});
}

const plat::Dictionary* JSON::dictionaryObject() const {
    return type_ == Type::Dictionary ? object_.asDictionary() : nullptr;
}

void JSON::setDictionaryObject(std::optional<plat::Dictionary> map) {
    assignTagged(map ? plat::Value(std::move(*map)) : plat::Value());
}

std::string JSON::description() const {
    return rawString(StringEncoding::UTF8, plat::JSONWritingPrettyPrinted).value_or("unknown");
}

}  // namespace json
