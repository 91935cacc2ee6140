#include "beacon/analytics/BEACAnalyticsValidation.h"

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Text.h"

namespace {

std::string cut(const std::string& text, std::size_t length) {
    return plat::text::utf16Substring(text, 0, length);
}

template <class T>
std::shared_ptr<BEACTypedProperty> copyOf(const T& property, const std::string& name) {
    auto copy = std::make_shared<T>();
    copy->name = name;
    copy->value = property.value;
    return copy;
}

}  // namespace

bool BEACAnalyticsValidation::shouldFilterLog(const BEACLogPtr& log) {
    auto* named = dynamic_cast<BEACLogWithNameAndProperties*>(log.get());
    if (!named || !(dynamic_cast<BEACEventLog*>(named) || dynamic_cast<BEACPageLog*>(named)))
        return false;
    return !validateLog(*named);
}

bool BEACAnalyticsValidation::validateLog(BEACLogWithNameAndProperties& log) {
    auto name = validateEventName(log.name, log.type.value_or(""));
    if (!name)
        return false;
    log.name = name;
    if (log.properties)
        log.properties = BEACUtility::validateProperties(*log.properties, *name, log.type.value_or(""));
    return true;
}

std::optional<std::string> BEACAnalyticsValidation::validateEventName(const std::optional<std::string>& name,
                                                                      const std::string& logType) {
    if (!name || name->empty()) {
        BEACLogError(kBEACAnalyticsLogTag, "%@ name cannot be null or empty", logType);
        return std::nullopt;
    }
    if (plat::text::utf16Length(*name) > kMaxNameLength) {
        BEACLogWarning(kBEACAnalyticsLogTag,
                       "%@ '%@' : name length cannot be longer than %d characters. Name will be truncated.",
                       logType, *name, static_cast<int>(kMaxNameLength));
        return cut(*name, kMaxNameLength);
    }
    return name;
}

std::shared_ptr<BEACEventProperties> BEACAnalyticsValidation::validateBeaconEventProperties(
    const BEACEventProperties& properties) {
    auto result = std::make_shared<BEACEventProperties>();
    for (const auto& [key, property] : properties.properties()) {
        if (result->count() == kMaxTypedProperties) {
            BEACLogWarning(kBEACAnalyticsLogTag,
                           "Typed properties cannot contain more than %d items. Skipping other properties.",
                           static_cast<int>(kMaxTypedProperties));
            break;
        }
        if (auto valid = property ? validateBeaconTypedProperty(*property) : nullptr)
            result->setTypedProperty(*valid->name, valid);
    }
    return result;
}

std::shared_ptr<BEACTypedProperty> BEACAnalyticsValidation::validateBeaconTypedProperty(
    const BEACTypedProperty& property) {
    std::string name = validateBeaconPropertyName(property.name.value_or(""));
    if (const auto* p = dynamic_cast<const BEACStringTypedProperty*>(&property)) {
        auto copy = std::make_shared<BEACStringTypedProperty>();
        copy->name = name;
        if (p->value)
            copy->value = validateBeaconStringTypedPropertyValue(*p->value);
        return copy;
    }
    if (const auto* p = dynamic_cast<const BEACBooleanTypedProperty*>(&property))
        return copyOf(*p, name);
    if (const auto* p = dynamic_cast<const BEACLongTypedProperty*>(&property))
        return copyOf(*p, name);
    if (const auto* p = dynamic_cast<const BEACDoubleTypedProperty*>(&property))
        return copyOf(*p, name);
    if (const auto* p = dynamic_cast<const BEACDateTimeTypedProperty*>(&property))
        return copyOf(*p, name);
    return nullptr;
}

std::string BEACAnalyticsValidation::validateBeaconPropertyName(const std::string& key) {
    if (plat::text::utf16Length(key) <= kMaxTypedPropertyLength)
        return key;
    BEACLogWarning(
        kBEACAnalyticsLogTag,
        "Typed property '%@': key length cannot exceed %d characters. Property value will be truncated.", key,
        static_cast<int>(kMaxTypedPropertyLength));
    return cut(key, kMaxTypedPropertyLength);
}

std::string BEACAnalyticsValidation::validateBeaconStringTypedPropertyValue(const std::string& value) {
    if (plat::text::utf16Length(value) <= kMaxTypedPropertyLength)
        return value;
    BEACLogWarning(
        kBEACAnalyticsLogTag,
        "Typed property value length cannot exceed %d characters. Property value will be truncated.",
        static_cast<int>(kMaxTypedPropertyLength));
    return cut(value, kMaxTypedPropertyLength);
}
