#include "beacon/core/BEACDevice.h"

#include <array>
#include <utility>

#include "beacon/core/BEACLogger.h"

using beac::detail::encodeNumber;
using beac::detail::encodeString;
using beac::detail::setIfPresent;

namespace {

using WrapperField = std::optional<std::string> BEACWrapperSdk::*;
constexpr std::array<std::pair<const char*, WrapperField>, 6> kWrapperFields{{
    {"wrapperSdkVersion", &BEACWrapperSdk::wrapperSdkVersion},
    {"wrapperSdkName", &BEACWrapperSdk::wrapperSdkName},
    {"wrapperRuntimeVersion", &BEACWrapperSdk::wrapperRuntimeVersion},
    {"liveUpdateReleaseLabel", &BEACWrapperSdk::liveUpdateReleaseLabel},
    {"liveUpdateDeploymentKey", &BEACWrapperSdk::liveUpdateDeploymentKey},
    {"liveUpdatePackageHash", &BEACWrapperSdk::liveUpdatePackageHash},
}};

// Device fields in declaration order: a string member or a number member.
struct DeviceField {
    const char* key;
    std::optional<std::string> BEACDevice::*text;
    std::optional<int64_t> BEACDevice::*number;
};
const std::array<DeviceField, 16> kDeviceFields{{
    {"sdkName", &BEACDevice::sdkName, nullptr},
    {"sdkVersion", &BEACDevice::sdkVersion, nullptr},
    {"model", &BEACDevice::model, nullptr},
    {"oemName", &BEACDevice::oemName, nullptr},
    {"osName", &BEACDevice::osName, nullptr},
    {"osVersion", &BEACDevice::osVersion, nullptr},
    {"osBuild", &BEACDevice::osBuild, nullptr},
    {"osApiLevel", nullptr, &BEACDevice::osApiLevel},
    {"locale", &BEACDevice::locale, nullptr},
    {"timeZoneOffset", nullptr, &BEACDevice::timeZoneOffset},
    {"screenSize", &BEACDevice::screenSize, nullptr},
    {"appVersion", &BEACDevice::appVersion, nullptr},
    {"carrierName", &BEACDevice::carrierName, nullptr},
    {"carrierCountry", &BEACDevice::carrierCountry, nullptr},
    {"appBuild", &BEACDevice::appBuild, nullptr},
    {"appNamespace", &BEACDevice::appNamespace, nullptr},
}};

}  // namespace

BEACWrapperSdk::BEACWrapperSdk(std::optional<std::string> version, std::optional<std::string> name,
                               std::optional<std::string> runtimeVersion,
                               std::optional<std::string> releaseLabel,
                               std::optional<std::string> deploymentKey,
                               std::optional<std::string> packageHash)
    : wrapperSdkVersion(std::move(version)),
      wrapperSdkName(std::move(name)),
      wrapperRuntimeVersion(std::move(runtimeVersion)),
      liveUpdateReleaseLabel(std::move(releaseLabel)),
      liveUpdateDeploymentKey(std::move(deploymentKey)),
      liveUpdatePackageHash(std::move(packageHash)) {}

plat::Dictionary BEACWrapperSdk::serializeToDictionary() const {
    plat::Dictionary dict;
    for (const auto& [key, field] : kWrapperFields)
        setIfPresent(dict, key, this->*field);
    return dict;
}

bool BEACWrapperSdk::isEqual(const plat::Object& other) const {
    const auto* wrapper = dynamic_cast<const BEACWrapperSdk*>(&other);
    if (!wrapper)
        return false;
    for (const auto& [key, field] : kWrapperFields) {
        if (this->*field != wrapper->*field)
            return false;
    }
    return true;
}

void BEACWrapperSdk::encodeWithCoder(plat::KeyedArchiver& coder) const {
    for (const auto& [key, field] : kWrapperFields)
        encodeString(coder, this->*field, key);
}

void BEACWrapperSdk::initWithCoder(plat::KeyedUnarchiver& coder) {
    for (const auto& [key, field] : kWrapperFields)
        this->*field = coder.decodeString(key);
}

void BEACWrapperSdk::copyWrapperFieldsFrom(const BEACWrapperSdk& other) {
    for (const auto& [key, field] : kWrapperFields)
        this->*field = other.*field;
}

plat::Dictionary BEACDevice::serializeToDictionary() const {
    plat::Dictionary dict = BEACWrapperSdk::serializeToDictionary();
    for (const auto& field : kDeviceFields) {
        if (field.text)
            setIfPresent(dict, field.key, this->*field.text);
        else if (this->*field.number)
            dict.set(field.key, plat::Value(*(this->*field.number)));
    }
    return dict;
}

bool BEACDevice::isValid() const {
    if (!BEACWrapperSdk::isValid())
        return false;
    const std::array<std::pair<const char*, bool>, 8> required{{
        {"sdkName", sdkName.has_value()},
        {"sdkVersion", sdkVersion.has_value()},
        {"osName", osName.has_value()},
        {"osVersion", osVersion.has_value()},
        {"locale", locale.has_value()},
        {"timeZoneOffset", timeZoneOffset.has_value()},
        {"appVersion", appVersion.has_value()},
        {"appBuild", appBuild.has_value()},
    }};
    for (const auto& field : required) {
        if (!field.second) {
            BEACLogVerbose(kBEACLogTag, "%@: \"%@\" is not valid.", className(), field.first);
            return false;
        }
    }
    return true;
}

bool BEACDevice::isEqual(const plat::Object& other) const {
    const auto* device = dynamic_cast<const BEACDevice*>(&other);
    if (!device || !BEACWrapperSdk::isEqual(other))
        return false;
    for (const auto& field : kDeviceFields) {
        if (field.text ? this->*field.text != device->*field.text
                       : this->*field.number != device->*field.number)
            return false;
    }
    return true;
}

void BEACDevice::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACWrapperSdk::encodeWithCoder(coder);
    for (const auto& field : kDeviceFields) {
        if (field.text)
            encodeString(coder, this->*field.text, field.key);
        else
            encodeNumber(coder, this->*field.number, field.key);
    }
}

void BEACDevice::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACWrapperSdk::initWithCoder(coder);
    for (const auto& field : kDeviceFields) {
        if (field.text)
            this->*field.text = coder.decodeString(field.key);
        else
            this->*field.number = beac::detail::decodeNumber(coder, field.key);
    }
}
