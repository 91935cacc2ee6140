// Equality and ordering of JSON values.
#include "json/JSON.h"
#include "platform/foundation/Text.h"

namespace json {
namespace {

// -1, 0 or 1 for two numbers or two texts; nullopt for any other pair.
std::optional<int> order(const JSON& a, const JSON& b) {
    if (a.type() != b.type())
        return std::nullopt;
    if (a.type() == Type::Number) {
        std::optional<int> c = a.object().compare(b.object());
        if (c)
            return *c < 0 ? -1 : (*c > 0 ? 1 : 0);
        return std::nullopt;
    }
    if (a.type() == Type::String) {
        // Canonically equivalent texts are equal; otherwise NFC code point order.
        return plat::text::canonicalCompare(*a.object().asString(), *b.object().asString());
    }
    return std::nullopt;
}

// Equality of the kinds that are only ever equal or not: booleans, arrays,
// dictionaries and nulls. Nested values use plain object equality.
bool unorderedEqual(const JSON& a, const JSON& b) {
    if (a.type() != b.type())
        return false;
    switch (a.type()) {
        case Type::Bool:
            return a.object().rawBool() == b.object().rawBool();
        case Type::Array:
            return *a.arrayObject() == *b.arrayObject();
        case Type::Dictionary:
            return *a.dictionaryObject() == *b.dictionaryObject();
        case Type::Null:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool operator==(const JSON& a, const JSON& b) {
    if (std::optional<int> c = order(a, b))
        return *c == 0;
    return unorderedEqual(a, b);
}

bool operator<(const JSON& a, const JSON& b) {
    std::optional<int> c = order(a, b);
    return c && *c < 0;
}

bool operator<=(const JSON& a, const JSON& b) {
    if (std::optional<int> c = order(a, b))
        return *c <= 0;
    return unorderedEqual(a, b);
}

bool operator>=(const JSON& a, const JSON& b) {
    if (std::optional<int> c = order(a, b))
        return *c >= 0;
    return unorderedEqual(a, b);
}

bool operator>(const JSON& a, const JSON& b) {
    std::optional<int> c = order(a, b);
    return c && *c > 0;
}

}  // namespace json
