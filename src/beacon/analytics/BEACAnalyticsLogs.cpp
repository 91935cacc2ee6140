#include "beacon/analytics/BEACAnalyticsLogs.h"

#include <algorithm>
#include <mutex>
#include <variant>
#include <vector>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"

namespace {

void setIfPresent(plat::Dictionary& dict, const char* key, const std::optional<std::string>& value) {
    if (value)
        dict.set(key, plat::Value(*value));
}

bool hasPrefix(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// An insertion-ordered tree of values, turned into a dictionary at the end.
struct Node {
    using Child = std::variant<plat::Value, std::unique_ptr<Node>>;
    std::vector<std::pair<std::string, Child>> entries;

    Child* find(const std::string& key) {
        for (auto& [name, child] : entries)
            if (name == key)
                return &child;
        return nullptr;
    }
    Node* childNode(const std::string& key) {
        Child* child = find(key);
        if (!child) {
            entries.emplace_back(key, std::make_unique<Node>());
            return std::get<std::unique_ptr<Node>>(entries.back().second).get();
        }
        auto* node = std::get_if<std::unique_ptr<Node>>(child);
        return node ? node->get() : nullptr;
    }
    void erase(const std::string& key) {
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if (it->first == key) {
                entries.erase(it);
                return;
            }
    }
    plat::Dictionary toDictionary() const {
        plat::Dictionary dict;
        for (const auto& [name, child] : entries) {
            if (const auto* value = std::get_if<plat::Value>(&child))
                dict.set(name, *value);
            else
                dict.set(name, plat::Value(std::get<std::unique_ptr<Node>>(child)->toDictionary()));
        }
        return dict;
    }
};

std::vector<std::string> split(const std::string& name) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        auto dot = name.find('.', start);
        parts.push_back(name.substr(start, dot - start));
        if (dot == std::string::npos)
            return parts;
        start = dot + 1;
    }
}

std::optional<plat::Value> valueOf(const BEACTypedProperty& property) {
    if (const auto* p = dynamic_cast<const BEACStringTypedProperty*>(&property))
        return p->value ? std::optional<plat::Value>(plat::Value(*p->value)) : std::nullopt;
    if (const auto* p = dynamic_cast<const BEACBooleanTypedProperty*>(&property))
        return plat::Value(p->value);
    if (const auto* p = dynamic_cast<const BEACLongTypedProperty*>(&property))
        return plat::Value(p->value);
    if (const auto* p = dynamic_cast<const BEACDoubleTypedProperty*>(&property))
        return plat::Value(p->value);
    if (const auto* p = dynamic_cast<const BEACDateTimeTypedProperty*>(&property))
        return p->value ? std::optional<plat::Value>(plat::Value(BEACUtility::dateToISO8601(*p->value)))
                        : std::nullopt;
    return std::nullopt;
}

void addTypedProperty(const BEACTypedProperty& property, const std::map<std::string, int64_t>& typeIds,
                      Node& metadata, Node& properties) {
    std::optional<int64_t> typeId;
    if (property.type)
        if (auto it = typeIds.find(*property.type); it != typeIds.end())
            typeId = it->second;
    auto parts = split(property.name.value_or(""));
    Node* propertyLevel = &properties;
    Node* metadataLevel = &metadata;
    Node* madeFAt = nullptr;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (propertyLevel) {
            // A plain value under the part blocks the path.
            propertyLevel = propertyLevel->childNode(parts[i]);
        }
        if (!propertyLevel)
            break;
        if (typeId) {
            if (!metadataLevel->find("f") && !madeFAt)
                madeFAt = metadataLevel;
            Node* f = metadataLevel->childNode("f");
            metadataLevel = f ? f->childNode(parts[i]) : nullptr;
            if (!metadataLevel) {
                // Only a value recorded under the same path can be in the way,
                // and it blocks the property path as well.
                propertyLevel = nullptr;
                break;
            }
        }
    }
    const std::string& key = parts.back();
    auto value = valueOf(property);
    bool added = false;
    if (propertyLevel && !propertyLevel->find(key) && value) {
        propertyLevel->entries.emplace_back(key, *value);
        added = true;
    } else if (!propertyLevel || propertyLevel->find(key)) {
        BEACLogWarning(kBEACAnalyticsLogTag, "Property key '%@' already has a value, choosing one.", key);
    }
    Node* f = typeId && added ? metadataLevel->childNode("f") : nullptr;
    if (f)
        f->entries.emplace_back(key, plat::Value(*typeId));
    else if (madeFAt)
        madeFAt->erase("f");
}

std::once_flag registerOnce;

}  // namespace

bool BEACLogWithNameAndProperties::isValid() const {
    if (!BEACLogWithProperties::isValid())
        return false;
    if (!name)
        return logValidityFailure("name");
    return true;
}

plat::Dictionary BEACLogWithNameAndProperties::serializeToDictionary() const {
    plat::Dictionary dict = BEACLogWithProperties::serializeToDictionary();
    setIfPresent(dict, "name", name);
    return dict;
}

bool BEACLogWithNameAndProperties::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACLogWithNameAndProperties*>(&other);
    return log && BEACLogWithProperties::isEqual(other) && name == log->name;
}

void BEACLogWithNameAndProperties::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACLogWithProperties::encodeWithCoder(coder);
    coder.encodeObject(name ? std::optional<plat::Value>(plat::Value(*name)) : std::nullopt, "name");
}

void BEACLogWithNameAndProperties::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACLogWithProperties::initWithCoder(coder);
    name = coder.decodeString("name");
}

bool BEACPageLog::isEqual(const plat::Object& other) const {
    return dynamic_cast<const BEACPageLog*>(&other) && BEACLogWithNameAndProperties::isEqual(other);
}

BEACEventLog::BEACEventLog() : metadataTypeIdMapping{{"long", 4}, {"double", 6}, {"dateTime", 9}} {
    type = "event";
}

bool BEACEventLog::isValid() const {
    if (!BEACLogWithNameAndProperties::isValid())
        return false;
    if (!eventId)
        return logValidityFailure("eventId");
    return true;
}

plat::Dictionary BEACEventLog::serializeToDictionary() const {
    plat::Dictionary dict = BEACLogWithNameAndProperties::serializeToDictionary();
    setIfPresent(dict, "id", eventId);
    if (typedProperties)
        dict.set("typedProperties", plat::Value(typedProperties->serializeToArray()));
    return dict;
}

bool BEACEventLog::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACEventLog*>(&other);
    return log && BEACLogWithNameAndProperties::isEqual(other) && eventId == log->eventId;
}

void BEACEventLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACLogWithNameAndProperties::encodeWithCoder(coder);
    coder.encodeObject(eventId ? std::optional<plat::Value>(plat::Value(*eventId)) : std::nullopt, "id");
    coder.encodeObject(typedProperties, "typedProperties");
}

void BEACEventLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACLogWithNameAndProperties::initWithCoder(coder);
    eventId = coder.decodeString("id");
    auto bag = coder.decodeObjectOfClass<BEACEventProperties>("typedProperties");
    typedProperties = bag ? std::make_shared<BEACEventProperties>(*bag) : nullptr;
    // A decoded log never had its mapping set up.
    metadataTypeIdMapping.clear();
}

std::shared_ptr<BEACSharedSchemaLog> BEACEventLog::toSharedSchemaLogForTargetToken(const std::string& token,
                                                                                   int64_t flags) const {
    auto csLog = BEACLogWithNameAndProperties::toSharedSchemaLogForTargetToken(token, flags);
    csLog->name = name;
    setPropertiesAndMetadataForCSLog(*csLog);
    csLog->tag = tag;
    return csLog;
}

void BEACEventLog::setPropertiesAndMetadataForCSLog(BEACSharedSchemaLog& csLog) const {
    if (!typedProperties)
        return;
    auto entries = typedProperties->properties();
    auto baseType =
        std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.first == "baseType"; });
    bool baseTypeIsString =
        baseType != entries.end() && dynamic_cast<const BEACStringTypedProperty*>(baseType->second.get());
    if (baseTypeIsString) {
        bool anyBaseData = std::any_of(entries.begin(), entries.end(),
                                       [](const auto& e) { return hasPrefix(e.first, "baseData."); });
        if (!anyBaseData) {
            BEACLogWarning(kBEACAnalyticsLogTag, "baseType was set but baseData is missing.");
            typedProperties->remove("baseType");
        }
    } else {
        bool removed = false;
        for (const auto& entry : entries)
            if (hasPrefix(entry.first, "baseData."))
                removed = typedProperties->remove(entry.first) || removed;
        if (removed)
            BEACLogWarning(kBEACAnalyticsLogTag, "baseData was set but baseType is missing or invalid.");
        typedProperties->remove("baseType");
    }

    Node properties;
    Node metadata;
    for (const auto& [key, property] : typedProperties->properties()) {
        if (hasPrefix(key, "baseType.")) {
            BEACLogWarning(kBEACAnalyticsLogTag, "baseType must not be an object.");
            continue;
        }
        if (key == "baseData") {
            BEACLogWarning(kBEACAnalyticsLogTag, "baseData must be an object.");
            continue;
        }
        addTypedProperty(*property, metadataTypeIdMapping, metadata, properties);
    }
    if (!properties.entries.empty()) {
        csLog.data = std::make_shared<BEACCSData>();
        csLog.data->properties = properties.toDictionary();
    }
    if (!metadata.entries.empty()) {
        if (!csLog.ext)
            csLog.ext = std::make_shared<BEACCSExtensions>();
        csLog.ext->metadataExt = std::make_shared<BEACMetadataExtension>();
        csLog.ext->metadataExt->metadata = metadata.toDictionary();
    }
}

bool BEACStartSessionLog::isEqual(const plat::Object& other) const {
    return dynamic_cast<const BEACStartSessionLog*>(&other) && BEACAbstractLog::isEqual(other);
}

void beac::analytics::registerCodableClasses() {
    std::call_once(registerOnce, [] {
        beac::detail::registerCodable<BEACEventProperties>("BEACEventProperties");
        beac::detail::registerCodable<BEACLogWithNameAndProperties>("BEACLogWithNameAndProperties");
        beac::detail::registerCodable<BEACPageLog>("BEACPageLog");
        beac::detail::registerCodable<BEACEventLog>("BEACEventLog");
        beac::detail::registerCodable<BEACStartSessionLog>("BEACStartSessionLog");
    });
}
