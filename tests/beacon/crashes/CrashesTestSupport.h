// Helpers for the crash service's tests: a valid device, archive round
// trips, and JSON text of a dictionary.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "../core/BeaconTestSupport.h"
#include "beacon/core/BEACDevice.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACCrashesClasses.h"
#include "platform/foundation/JSONSerialization.h"

namespace crashtest {

inline std::shared_ptr<BEACDevice> validDevice() {
    beac::crashes::registerCodableClasses();
    auto device = std::make_shared<BEACDevice>();
    device->sdkName = "beacon.linux";
    device->sdkVersion = "4.2.0";
    device->osName = "Linux";
    device->osVersion = "6.1.0";
    device->locale = "en_US";
    device->timeZoneOffset = 60;
    device->appVersion = "1.0";
    device->appBuild = "7";
    device->model = "Box";
    device->appNamespace = "com.example.app";
    return device;
}

inline std::optional<plat::Data> archive(const std::shared_ptr<const plat::Object>& object) {
    beac::crashes::registerCodableClasses();
    return BEACUtility::archiveKeyedData(plat::Value(object));
}

template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<const plat::Object>& object) {
    auto data = archive(object);
    EXPECT_TRUE(data);
    auto back = BEACUtility::unarchiveKeyedData(data);
    EXPECT_TRUE(back);
    auto typed = back ? back->asObjectOf<T>() : nullptr;
    return typed ? std::const_pointer_cast<T>(typed) : nullptr;
}

// Valid records log nothing; an invalid one logs exactly `message`, verbose,
// under the SDK's tag.
inline void expectValidity(const std::function<bool()>& isValid, const char* message) {
    beactest::CapturingLog log;
    EXPECT_EQ(isValid(), message == nullptr) << (message ? message : "valid");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), message ? 1u : 0u) << (message ? message : "valid");
    if (message) {
        EXPECT_EQ(lines[0].message, message);
        EXPECT_EQ(lines[0].tag, "Beacon");
        EXPECT_EQ(lines[0].level, BEACLogLevelVerbose);
    }
}

inline std::string jsonText(const plat::Dictionary& dict) {
    auto text = plat::JSONSerialization::stringWithJSONObject(plat::Value(dict),
                                                              plat::JSONWritingWithoutEscapingSlashes);
    EXPECT_TRUE(text.ok());
    return text.ok() ? text.value() : std::string();
}

}  // namespace crashtest
