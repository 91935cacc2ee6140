#include "sync/eventstore/SYNPropertyChangeValue.h"

#include <charconv>
#include <functional>
#include <mutex>

#include "platform/foundation/Format.h"

namespace {

constexpr const char* kClassName = "SYNPropertyChangeValue";
constexpr const char* kRootFailure = "The archive does not hold a list of property change values.";

bool isNil(const std::optional<plat::Value>& value) {
    return !value || value->isNull();
}

std::optional<std::set<std::string>> identifierSet(const std::optional<plat::Value>& value) {
    std::set<std::string> identifiers;
    if (isNil(value)) {
        return identifiers;
    }
    const plat::Array* members = value->isSet() ? &value->asSet()->values() : value->asArray();
    if (members == nullptr) {
        return std::nullopt;
    }
    for (const auto& member : *members) {
        const std::string* text = member.asString();
        if (text == nullptr) {
            return std::nullopt;
        }
        identifiers.insert(*text);
    }
    return identifiers;
}

std::optional<int64_t> parseIndex(std::string_view text) {
    int64_t index = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || index < 0) {
        return std::nullopt;
    }
    return index;
}

std::optional<std::map<int64_t, std::string>> indexMap(const std::optional<plat::Value>& value) {
    std::map<int64_t, std::string> moved;
    if (isNil(value)) {
        return moved;
    }
    const plat::Dictionary* entries = value->asDictionary();
    if (entries == nullptr) {
        return std::nullopt;
    }
    for (const auto& [key, identifier] : *entries) {
        auto index = parseIndex(key);
        if (!index || !identifier.isString()) {
            return std::nullopt;
        }
        moved[*index] = *identifier.asString();
    }
    return moved;
}

// nullopt when the value is neither nil nor a string.
std::optional<std::optional<std::string>> optionalString(const std::optional<plat::Value>& value) {
    if (isNil(value)) {
        return std::optional<std::string>();
    }
    if (!value->isString()) {
        return std::nullopt;
    }
    return std::optional<std::string>(*value->asString());
}

plat::Value identifierSetValue(const std::set<std::string>& identifiers) {
    plat::Set set;
    for (const auto& identifier : identifiers) {
        set.insert(plat::Value(identifier));
    }
    return plat::Value(std::move(set));
}

plat::Value mapValue(const std::map<int64_t, std::string>& moved) {
    plat::Dictionary dictionary;
    for (const auto& [index, identifier] : moved) {
        dictionary.set(std::to_string(index), plat::Value(identifier));
    }
    return plat::Value(std::move(dictionary));
}

}  // namespace

SYNPropertyChangeValue::SYNPropertyChangeValue(int64_t type, std::string propertyName)
    : type_(type), propertyName_(std::move(propertyName)) {}

bool SYNPropertyChangeValue::setValueForKey(const std::optional<plat::Value>& value, std::string_view key) {
    if (key == "type") {
        if (!value || !value->isNumber()) {
            return false;
        }
        type_ = value->integerValue();
    } else if (key == "propertyName") {
        if (!value || !value->isString()) {
            return false;
        }
        propertyName_ = *value->asString();
    } else if (key == "value") {
        value_ = value;
    } else if (key == "filename" || key == "relatedIdentifier") {
        auto text = optionalString(value);
        if (!text) {
            return false;
        }
        (key == "filename" ? filename_ : relatedIdentifier_) = std::move(*text);
    } else if (key == "addedIdentifiers" || key == "removedIdentifiers") {
        auto identifiers = identifierSet(value);
        if (!identifiers) {
            return false;
        }
        (key == "addedIdentifiers" ? added_ : removed_) = std::move(*identifiers);
    } else if (key == "movedIdentifiersByIndex") {
        auto moved = indexMap(value);
        if (!moved) {
            return false;
        }
        moved_ = std::move(*moved);
    } else if (key == "objectID") {
        if (!isNil(value) && !value->isObject()) {
            return false;
        }
        objectID_ = isNil(value) ? nullptr : value->asObject();
    } else {
        return false;
    }
    return true;
}

std::optional<plat::Value> SYNPropertyChangeValue::valueForKey(std::string_view key) const {
    if (key == "type") {
        return plat::Value(type_);
    }
    if (key == "propertyName") {
        return plat::Value(propertyName_);
    }
    if (key == "value") {
        return value_;
    }
    if (key == "filename" || key == "relatedIdentifier") {
        const auto& text = key == "filename" ? filename_ : relatedIdentifier_;
        return text ? std::optional<plat::Value>(plat::Value(*text)) : std::nullopt;
    }
    if (key == "addedIdentifiers" || key == "removedIdentifiers") {
        return identifierSetValue(key == "addedIdentifiers" ? added_ : removed_);
    }
    if (key == "movedIdentifiersByIndex") {
        return mapValue(moved_);
    }
    if (key == "objectID" && objectID_) {
        return plat::Value(objectID_);
    }
    return std::nullopt;
}

void SYNPropertyChangeValue::encodeWithCoder(plat::KeyedArchiver& coder) const {
    coder.encodeInt64(type_, "type");
    coder.encodeObject(plat::Value(propertyName_), "propertyName");
    coder.encodeObject(value_, "value");
    if (filename_) {
        coder.encodeObject(plat::Value(*filename_), "filename");
    }
    if (relatedIdentifier_) {
        coder.encodeObject(plat::Value(*relatedIdentifier_), "relatedIdentifier");
    }
    if (!added_.empty()) {
        coder.encodeObject(identifierSetValue(added_), "addedIdentifiers");
    }
    if (!removed_.empty()) {
        coder.encodeObject(identifierSetValue(removed_), "removedIdentifiers");
    }
    if (!moved_.empty()) {
        coder.encodeObject(mapValue(moved_), "movedIdentifiersByIndex");
    }
}

std::shared_ptr<const SYNPropertyChangeValue> SYNPropertyChangeValue::decode(plat::KeyedUnarchiver& coder) {
    auto name = coder.decodeString("propertyName");
    if (!name) {
        return nullptr;
    }
    auto result = std::make_shared<SYNPropertyChangeValue>(coder.decodeInt64("type"), std::move(*name));
    const bool hasValue = coder.containsValueForKey("value");
    if (hasValue) {
        result->value_ = coder.decodeObject("value");
    }
    // Most values store no optional field: when the class, the name, the
    // type and the value are all the fields there are, none is looked for.
    const std::size_t found = 2 + (coder.containsValueForKey("type") ? 1 : 0) + (hasValue ? 1 : 0);
    if (coder.fieldCount() <= found) {
        return coder.error() ? nullptr : result;
    }
    for (std::string_view key : {std::string_view("filename"), std::string_view("relatedIdentifier"),
                                 std::string_view("addedIdentifiers"), std::string_view("removedIdentifiers"),
                                 std::string_view("movedIdentifiersByIndex")}) {
        if (coder.containsValueForKey(key) && !result->setValueForKey(coder.decodeObject(key), key)) {
            return nullptr;
        }
    }
    return coder.error() ? nullptr : result;
}

void SYNPropertyChangeValue::registerClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        plat::KeyedUnarchiver::registerClass<SYNPropertyChangeValue>(kClassName,
                                                                     &SYNPropertyChangeValue::decode);
    });
}

bool SYNPropertyChangeValue::isEqual(const plat::Object& other) const {
    const auto* that = dynamic_cast<const SYNPropertyChangeValue*>(&other);
    return that != nullptr && type_ == that->type_ && propertyName_ == that->propertyName_ &&
           value_ == that->value_ && filename_ == that->filename_ &&
           relatedIdentifier_ == that->relatedIdentifier_ && added_ == that->added_ &&
           removed_ == that->removed_ && moved_ == that->moved_;
}

std::size_t SYNPropertyChangeValue::hash() const {
    return std::hash<std::string>()(propertyName_) ^ static_cast<std::size_t>(type_);
}

std::string SYNPropertyChangeValue::description() const {
    std::string text = plat::format("<SYNPropertyChangeValue: type %lld, property %@",
                                    static_cast<long long>(type_), propertyName_);
    if (value_) {
        text += plat::format(", value %@", *value_);
    }
    if (filename_) {
        text += plat::format(", file %@", *filename_);
    }
    if (relatedIdentifier_) {
        text += plat::format(", related %@", *relatedIdentifier_);
    }
    if (!added_.empty() || !removed_.empty() || !moved_.empty()) {
        text += plat::format(
            ", %lu added, %lu removed, %lu indexed", static_cast<unsigned long>(added_.size()),
            static_cast<unsigned long>(removed_.size()), static_cast<unsigned long>(moved_.size()));
    }
    return text + ">";
}

plat::Result<plat::Data> SYNArchivePropertyChangeValues(const std::vector<SYNPropertyChangeValue>& values) {
    plat::Array items;
    items.reserve(values.size());
    for (const auto& value : values) {
        items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(value));
    }
    return plat::KeyedArchiver::archivedDataWithRootObject(plat::Value(std::move(items)));
}

plat::Result<plat::Value> SYNUnarchiveSharedPropertyChangeValues(const plat::Data& data) {
    SYNPropertyChangeValue::registerClass();
    auto root = plat::KeyedUnarchiver::unarchivedObjectWithData(data);
    if (!root.ok()) {
        return root.error();
    }
    const plat::Array* items = root.value() ? root.value()->asArray() : nullptr;
    if (items == nullptr) {
        return plat::Error::withDescription(plat::CocoaErrorDomain, plat::CoderReadCorruptError,
                                            kRootFailure);
    }
    for (const auto& item : *items) {
        if (!item.asObjectOf<SYNPropertyChangeValue>()) {
            return plat::Error::withDescription(plat::CocoaErrorDomain, plat::CoderReadCorruptError,
                                                kRootFailure);
        }
    }
    return std::move(*root.value());
}

plat::Result<std::vector<SYNPropertyChangeValue>> SYNUnarchivePropertyChangeValues(const plat::Data& data) {
    auto shared = SYNUnarchiveSharedPropertyChangeValues(data);
    if (!shared.ok()) {
        return shared.error();
    }
    std::vector<SYNPropertyChangeValue> values;
    values.reserve(shared->asArray()->size());
    for (const auto& item : *shared->asArray()) {
        values.push_back(*item.asObjectOf<SYNPropertyChangeValue>());
    }
    return values;
}
