// The description of the device, operating system, application and SDK that
// produced a log (BEACDevice), and of an optional wrapper SDK that embeds this
// SDK (BEACWrapperSdk, its base class). Both write the JSON object "device"
// and archive by key, every key equal to the field's name; absent fields are
// left out of both. Plain values: built on one thread, then read anywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "beacon/core/BEACSerializableObject.h"

class BEACWrapperSdk : public BEACSerializableObject {
  public:
    BEACWrapperSdk() = default;
    BEACWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
                   std::optional<std::string> wrapperRuntimeVersion,
                   std::optional<std::string> liveUpdateReleaseLabel,
                   std::optional<std::string> liveUpdateDeploymentKey,
                   std::optional<std::string> liveUpdatePackageHash);

    std::optional<std::string> wrapperSdkVersion;
    std::optional<std::string> wrapperSdkName;
    std::optional<std::string> wrapperRuntimeVersion;
    std::optional<std::string> liveUpdateReleaseLabel;
    std::optional<std::string> liveUpdateDeploymentKey;
    std::optional<std::string> liveUpdatePackageHash;

    plat::Dictionary serializeToDictionary() const override;
    virtual bool isValid() const { return true; }
    // Any wrapper SDK or subclass with the same six fields.
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACWrapperSdk"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;

    void copyWrapperFieldsFrom(const BEACWrapperSdk& other);
};

class BEACDevice : public BEACWrapperSdk {
  public:
    std::optional<std::string> sdkName;
    std::optional<std::string> sdkVersion;
    std::optional<std::string> model;
    std::optional<std::string> oemName;
    std::optional<std::string> osName;
    std::optional<std::string> osVersion;
    std::optional<std::string> osBuild;
    std::optional<int64_t> osApiLevel;
    std::optional<std::string> locale;
    std::optional<int64_t> timeZoneOffset;  // minutes east of UTC
    std::optional<std::string> screenSize;
    std::optional<std::string> appVersion;
    std::optional<std::string> carrierName;
    std::optional<std::string> carrierCountry;
    std::optional<std::string> appBuild;
    std::optional<std::string> appNamespace;

    plat::Dictionary serializeToDictionary() const override;
    // The required fields in order; the first missing one is logged (verbose).
    bool isValid() const override;
    // Only a device (or subclass) with equal wrapper and device fields.
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACDevice"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
