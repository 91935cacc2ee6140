// The base of every log the SDK stores and sends.
//
// JSON keys and archive keys equal the field names ("timestamp" is ISO 8601
// text in JSON, a date in the archive); absent fields are left out of both.
// `tag` (a service's own reference) and the target-token set are neither
// written nor archived; `tag` takes part in equality, the tokens do not.
//
// Threads: fields are set by the thread that builds the log before it is
// enqueued and read afterwards on the channel group's queue. Only the
// target-token set is guarded (by the log's own lock); a set once handed out
// is never changed, so a caller may iterate it without the lock.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "beacon/core/BEACDevice.h"
#include "beacon/core/BEACSerializableObject.h"
#include "platform/foundation/Date.h"

class BEACAbstractLog : public BEACSerializableObject {
  public:
    BEACAbstractLog() = default;
    BEACAbstractLog(const BEACAbstractLog&) = delete;
    BEACAbstractLog& operator=(const BEACAbstractLog&) = delete;

    std::optional<std::string> type;
    std::optional<plat::Date> timestamp;
    std::optional<std::string> sid;
    std::optional<std::string> distributionGroupId;
    std::optional<std::string> userId;
    std::shared_ptr<BEACDevice> device;
    plat::ObjectPtr tag;

    // Requires type, timestamp and a valid device; the first that fails is
    // logged (verbose).
    virtual bool isValid() const;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACAbstractLog"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;

    // The JSON text with "/" written plainly; nullopt when JSON writing fails.
    std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;

    // Null until the first token is added.
    std::shared_ptr<const std::set<std::string>> transmissionTargetTokens() const;
    void addTransmissionTargetToken(const std::string& token);

  protected:
    bool logValidityFailure(const char* field) const;

  private:
    mutable std::mutex tokensMutex_;
    std::shared_ptr<const std::set<std::string>> tokens_;
};

// A log with string properties (already validated by the caller).
class BEACLogWithProperties : public BEACAbstractLog {
  public:
    std::optional<plat::Dictionary> properties;

    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACLogWithProperties"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};
