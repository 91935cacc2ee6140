// Timestamped history records of the contexts and the device tracker,
// archived by key ("timestampKey", then the subclass's own key).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "beacon/core/BEACDevice.h"
#include "beacon/core/BEACSerializableObject.h"
#include "platform/foundation/Date.h"

class BEACHistoryInfo : public BEACSerializableObject {
  public:
    BEACHistoryInfo() = default;
    explicit BEACHistoryInfo(std::optional<plat::Date> timestamp) : timestamp(timestamp) {}

    std::optional<plat::Date> timestamp;

    plat::Dictionary serializeToDictionary() const override;
    std::string className() const override { return "BEACHistoryInfo"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACSessionHistoryInfo : public BEACHistoryInfo {
  public:
    BEACSessionHistoryInfo() = default;
    BEACSessionHistoryInfo(std::optional<plat::Date> timestamp, std::optional<std::string> sessionId)
        : BEACHistoryInfo(timestamp), sessionId(std::move(sessionId)) {}

    std::optional<std::string> sessionId;

    std::string className() const override { return "BEACSessionHistoryInfo"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

// The session of a test run, with the time it began. Archived like a session
// record ("timestampKey", "sessionIdKey"), so that the id survives.
class BEACTestSessionInfo : public BEACHistoryInfo {
  public:
    BEACTestSessionInfo() = default;
    BEACTestSessionInfo(std::optional<plat::Date> timestamp, std::optional<std::string> sessionId)
        : BEACHistoryInfo(timestamp), sessionId(std::move(sessionId)) {}

    std::optional<std::string> sessionId;

    std::string className() const override { return "BEACTestSessionInfo"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACUserIdHistoryInfo : public BEACHistoryInfo {
  public:
    BEACUserIdHistoryInfo() = default;
    BEACUserIdHistoryInfo(std::optional<plat::Date> timestamp, std::optional<std::string> userId)
        : BEACHistoryInfo(timestamp), userId(std::move(userId)) {}

    std::optional<std::string> userId;

    std::string className() const override { return "BEACUserIdHistoryInfo"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

class BEACDeviceHistoryInfo : public BEACHistoryInfo {
  public:
    BEACDeviceHistoryInfo() = default;
    BEACDeviceHistoryInfo(std::optional<plat::Date> timestamp, std::shared_ptr<BEACDevice> device)
        : BEACHistoryInfo(timestamp), device(std::move(device)) {}

    std::shared_ptr<BEACDevice> device;

    std::string className() const override { return "BEACDeviceHistoryInfo"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
