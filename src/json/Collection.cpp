// The collection view: (key, value) pairs of arrays and dictionaries.
#include <algorithm>
#include <string>

#include "json/JSON.h"

namespace json {
namespace {

// The number of positions of a container (0 for other kinds).
int64_t sizeOf(const JSON& j) {
    if (const plat::Array* list = j.arrayObject())
        return static_cast<int64_t>(list->size());
    if (const plat::Dictionary* map = j.dictionaryObject())
        return static_cast<int64_t>(map->size());
    return 0;
}

}  // namespace

Index JSON::startIndex() const {
    if (type_ == Type::Array)
        return Index::array(0);
    if (type_ == Type::Dictionary)
        return Index::dictionary(0);
    return Index::null();
}

Index JSON::endIndex() const {
    if (type_ == Type::Array)
        return Index::array(sizeOf(*this));
    if (type_ == Type::Dictionary)
        return Index::dictionary(static_cast<std::size_t>(sizeOf(*this)));
    return Index::null();
}

Index JSON::indexAfter(const Index& i) const {
    Index end = endIndex();
    // A position of another value (wrong case) or at the end stays at the end.
    if (i.kind() != end.kind() || !(i < end))
        return end;
    int64_t next = std::max<int64_t>(i.position() + 1, 0);
    return i.kind() == Index::Case::Array ? Index::array(next)
                                          : Index::dictionary(static_cast<std::size_t>(next));
}

JSON::Element JSON::operator[](const Index& position) const {
    int64_t p = position.position();
    if (position.kind() == Index::Case::Array && type_ == Type::Array) {
        const plat::Array& list = *arrayObject();
        if (p >= 0 && p < static_cast<int64_t>(list.size()))
            return {std::to_string(p), JSON(Stored{}, list[static_cast<std::size_t>(p)])};
    } else if (position.kind() == Index::Case::Dictionary && type_ == Type::Dictionary) {
        const plat::Dictionary& map = *dictionaryObject();
        if (p >= 0 && p < static_cast<int64_t>(map.size())) {
            const auto& [key, value] = map.entryAt(static_cast<std::size_t>(p));
            return {key, JSON(Stored{}, value)};
        }
    }
    return {std::string(), JSON()};
}

std::size_t JSON::count() const {
    return static_cast<std::size_t>(sizeOf(*this));
}

JSON::const_iterator JSON::begin() const {
    return const_iterator(this, startIndex());
}

JSON::const_iterator JSON::end() const {
    return const_iterator(this, endIndex());
}

JSON::IndexRange JSON::indices() const {
    return IndexRange(*this, startIndex(), endIndex());
}

JSON::Slice JSON::slice(const Index& lower, const Index& upper) const {
    Index start = startIndex();
    Index end = endIndex();
    auto clamp = [&](const Index& i) {
        if (i.kind() != start.kind())
            return end;
        if (i < start)
            return start;
        if (end < i)
            return end;
        return i;
    };
    Index lo = clamp(lower);
    Index hi = clamp(upper);
    if (hi < lo)
        lo = hi;
    return Slice(*this, lo, hi);
}

}  // namespace json
