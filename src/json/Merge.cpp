// Recursive merge: maps key by key, lists concatenated, everything else
// replaced by the other value.
#include "json/JSON.h"

namespace json {
namespace {

// An element as JSON(element) would store it (data parsed, unsupported kinds
// as the null object).
plat::Value normalisedElement(const plat::Value& element) {
    return JSON(element).object();
}

}  // namespace

plat::ErrorPtr JSON::mergeWith(const JSON& other, bool typeCheck) {
    if (type_ != other.type_) {
        if (typeCheck)
            return makeError(JSONValueError::WrongType);
        *this = other;
        return nullptr;
    }
    if (type_ == Type::Dictionary) {
        plat::Dictionary result = *dictionaryObject();
        for (const auto& [key, theirs] : *other.dictionaryObject()) {
            // A missing key reads as a null carrying NotExist: merged with the
            // other member it simply becomes that member.
            JSON mine = readStep(key);
            (void)mine.mergeWith(JSON(Stored{}, theirs), false);  // cannot fail without the type check
            result.set(key, mine.object());
        }
        assignTagged(plat::Value(std::move(result)));
        return nullptr;
    }
    if (type_ == Type::Array) {
        const plat::Array& mine = *arrayObject();
        const plat::Array& theirs = *other.arrayObject();
        plat::Array result;
        result.reserve(mine.size() + theirs.size());
        for (const plat::Value& e : mine)
            result.push_back(normalisedElement(e));
        for (const plat::Value& e : theirs)
            result.push_back(normalisedElement(e));
        assignTagged(plat::Value(std::move(result)));
        return nullptr;
    }
    *this = other;
    return nullptr;
}

plat::ErrorPtr JSON::merge(const JSON& other) {
    return mergeWith(other, true);
}

plat::Result<JSON> JSON::merged(const JSON& other) const {
    JSON copy = *this;
    if (plat::ErrorPtr error = copy.merge(other))
        return error;
    return copy;
}

}  // namespace json
