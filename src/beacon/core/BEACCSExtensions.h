// The parts of a Shared Schema log: its nine extensions (BEACCSExtensions,
// "ext") and its data ("data"). Each writes only the keys whose fields are
// set and answers nullopt from jsonDictionary() when it has nothing to write;
// archive keys equal the JSON keys. Plain values: built on one thread, then
// read on the channel group's queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACSerializableObject.h"
#include "platform/foundation/UUID.h"

// An extension or data object: its JSON dictionary, nullopt when empty.
class BEACCSPart : public BEACSerializableObject {
  public:
    virtual std::optional<plat::Dictionary> jsonDictionary() const = 0;
    plat::Dictionary serializeToDictionary() const override {
        return jsonDictionary().value_or(plat::Dictionary());
    }
    virtual bool isValid() const { return true; }
};

class BEACProtocolExtension : public BEACCSPart {
  public:
    std::optional<std::vector<std::string>> ticketKeys;
    std::optional<std::string> devMake;
    std::optional<std::string> devModel;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACProtocolExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACUserExtension : public BEACCSPart {
  public:
    std::optional<std::string> localId;
    std::optional<std::string> locale;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACUserExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACDeviceExtension : public BEACCSPart {
  public:
    std::optional<std::string> localId;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACDeviceExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACOSExtension : public BEACCSPart {
  public:
    std::optional<std::string> name;
    std::optional<std::string> ver;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACOSExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACAppExtension : public BEACCSPart {
  public:
    std::optional<std::string> appId;  // "id"
    std::optional<std::string> ver;
    std::optional<std::string> name;
    std::optional<std::string> locale;
    std::optional<std::string> userId;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACAppExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACNetExtension : public BEACCSPart {
  public:
    std::optional<std::string> provider;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACNetExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACSDKExtension : public BEACCSPart {
  public:
    std::optional<std::string> libVer;
    std::optional<std::string> epoch;
    int64_t seq = 0;  // written only when not 0
    std::optional<plat::UUID> installId;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACSDKExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACLocExtension : public BEACCSPart {
  public:
    std::optional<std::string> tz;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACLocExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

// The metadata dictionary is archived as the coder's single unkeyed object.
class BEACMetadataExtension : public BEACCSPart {
  public:
    std::optional<plat::Dictionary> metadata;
    std::optional<plat::Dictionary> jsonDictionary() const override { return metadata; }
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACMetadataExtension"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

// "baseType" first, "baseData" next, then the other properties in order.
class BEACCSData : public BEACCSPart {
  public:
    std::optional<plat::Dictionary> properties;
    std::optional<plat::Dictionary> jsonDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACCSData"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACCSExtensions : public BEACSerializableObject {
  public:
    std::shared_ptr<BEACMetadataExtension> metadataExt;
    std::shared_ptr<BEACProtocolExtension> protocolExt;
    std::shared_ptr<BEACUserExtension> userExt;
    std::shared_ptr<BEACDeviceExtension> deviceExt;
    std::shared_ptr<BEACOSExtension> osExt;
    std::shared_ptr<BEACAppExtension> appExt;
    std::shared_ptr<BEACNetExtension> netExt;
    std::shared_ptr<BEACSDKExtension> sdkExt;
    std::shared_ptr<BEACLocExtension> locExt;

    plat::Dictionary serializeToDictionary() const override;
    bool isValid() const;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACCSExtensions"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
