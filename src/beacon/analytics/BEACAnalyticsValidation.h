// The rules event and page logs meet before they are stored: a name of 1 to
// 256 characters (longer ones cut), string properties within the SDK-wide
// limits, and for typed event properties at most 20 entries with keys and
// string values of at most 125 characters. Lengths count UTF-16 units and a
// cut never splits a character. Messages carry the tag "BeaconAnalytics".
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "beacon/analytics/BEACAnalyticsLogs.h"
#include "beacon/analytics/BEACEventProperties.h"
#include "beacon/core/BEACChannelProtocols.h"

class BEACAnalyticsValidation {
  public:
    static constexpr std::size_t kMaxNameLength = 256;
    static constexpr std::size_t kMaxTypedProperties = 20;
    static constexpr std::size_t kMaxTypedPropertyLength = 125;

    // True drops the log: only event and page logs are checked.
    static bool shouldFilterLog(const BEACLogPtr& log);
    // Fixes the log's name and properties in place; false when it must be dropped.
    static bool validateLog(BEACLogWithNameAndProperties& log);
    static std::optional<std::string> validateEventName(const std::optional<std::string>& name,
                                                        const std::string& logType);
    static std::shared_ptr<BEACEventProperties> validateBeaconEventProperties(
        const BEACEventProperties& properties);
    static std::shared_ptr<BEACTypedProperty> validateBeaconTypedProperty(const BEACTypedProperty& property);
    static std::string validateBeaconPropertyName(const std::string& key);
    static std::string validateBeaconStringTypedPropertyValue(const std::string& value);
};
