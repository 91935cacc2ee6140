// Lookup and update by index, key and path.
#include "json/JSON.h"
#include "json/detail/Tagging.h"

namespace json {
namespace {

// Small maps are searched by scanning their entries, which lie side by side
// in memory: cheaper than a hash probe that touches separate cache lines.
constexpr std::size_t kScanLimit = 16;

const plat::Value* findMember(const plat::Dictionary& map, std::string_view key) {
    if (map.size() > kScanLimit)
        return map.find(key);
    for (const auto& [k, v] : map) {
        // Most entries differ in length or first byte; skip them without a call.
        if (k.size() == key.size() && (key.empty() || k[0] == key[0]) && k == key)
            return &v;
    }
    return nullptr;
}

}  // namespace

JSON JSON::readStep(const JSONKey& step) const {
    if (step.isIndex()) {
        const plat::Array* list = arrayObject();
        if (!list)
            return failure(error_.value_or(JSONValueError::WrongType));
        int64_t i = step.indexValue();
        if (i < 0 || static_cast<uint64_t>(i) >= list->size())
            return failure(JSONValueError::IndexOutOfBounds);
        return JSON(Stored{}, (*list)[static_cast<std::size_t>(i)]);
    }
    const plat::Dictionary* map = dictionaryObject();
    if (!map)
        return failure(error_.value_or(JSONValueError::WrongType));
    const plat::Value* member = findMember(*map, step.keyValue());
    if (!member)
        return failure(JSONValueError::NotExist);
    return JSON(Stored{}, *member);
}

// Walks the stored tree by pointer so that a long path wraps only its final
// value; only an element that is data (JSON text to parse) needs a full
// JSON in between. A failed step ends the walk: every later step on the null
// value it gives would pass the same error on.
JSON JSON::readPath(const JSONKey* first, const JSONKey* last) const {
    if (first == last)
        return *this;
    const plat::Value* current = &object_;
    Type type = type_;
    std::optional<JSONValueError> error = error_;
    for (const JSONKey* step = first; step != last; ++step) {
        const plat::Value* next = nullptr;
        if (step->isIndex()) {
            if (type != Type::Array)
                return failure(error.value_or(JSONValueError::WrongType));
            const plat::Array& list = *current->asArray();
            int64_t i = step->indexValue();
            if (i < 0 || static_cast<uint64_t>(i) >= list.size())
                return failure(JSONValueError::IndexOutOfBounds);
            next = &list[static_cast<std::size_t>(i)];
        } else {
            if (type != Type::Dictionary)
                return failure(error.value_or(JSONValueError::WrongType));
            next = findMember(*current->asDictionary(), step->keyValue());
            if (!next)
                return failure(JSONValueError::NotExist);
        }
        if (next->isData())
            return JSON(Stored{}, *next).readPath(step + 1, last);
        current = next;
        type = detail::typeOf(*current);
        error = type == Type::Unknown ? std::optional(JSONValueError::UnsupportedType) : std::nullopt;
    }
    return JSON(Stored{}, *current);
}

JSON JSON::operator[](const JSONKey& step) const {
    return readStep(step);
}

JSON JSON::operator[](std::initializer_list<JSONKey> path) const {
    return readPath(path.begin(), path.end());
}

JSON JSON::operator[](const JSONPath& path) const {
    return readPath(path.data(), path.data() + path.size());
}

// Stores newValue's object at one step when it fits: the step matches the
// container, an index lies inside the array, and newValue carries no error.
bool JSON::writeStep(const JSONKey& step, const JSON& newValue) {
    if (newValue.error_)
        return false;
    if (step.isIndex()) {
        const plat::Array* list = arrayObject();
        int64_t i = step.indexValue();
        if (!list || i < 0 || static_cast<uint64_t>(i) >= list->size())
            return false;
        plat::Array copy = *list;
        copy[static_cast<std::size_t>(i)] = newValue.object();
        assignTagged(plat::Value(std::move(copy)));
        return true;
    }
    const plat::Dictionary* map = dictionaryObject();
    if (!map)
        return false;
    plat::Dictionary copy = *map;
    copy.set(step.keyValue(), newValue.object());
    assignTagged(plat::Value(std::move(copy)));
    return true;
}

void JSON::writePath(const JSONKey* first, const JSONKey* last, const JSON& newValue) {
    if (first == last)
        return;
    JSON next = readStep(*first);
    if (first + 1 == last) {
        // The stored object is newValue's, whatever newValue's own error.
        next.setObject(newValue.object());
    } else {
        next.writePath(first + 1, last, newValue);
    }
    // A next read through a missing key, a bad index or a wrong type still
    // carries that error here, so nothing is stored.
    writeStep(*first, next);
}

void JSON::set(const JSONKey& step, const JSON& newValue) {
    writePath(&step, &step + 1, newValue);
}

void JSON::set(std::initializer_list<JSONKey> path, const JSON& newValue) {
    writePath(path.begin(), path.end(), newValue);
}

void JSON::set(const JSONPath& path, const JSON& newValue) {
    writePath(path.data(), path.data() + path.size(), newValue);
}

void JSON::modify(const JSONPath& path, const std::function<void(JSON&)>& change) {
    JSON value = (*this)[path];
    change(value);
    set(path, value);
}

}  // namespace json
