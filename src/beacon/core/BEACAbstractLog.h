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
#include <vector>

#include "beacon/core/BEACDevice.h"
#include "beacon/core/BEACSerializableObject.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Mutex.h"

class BEACSharedSchemaLog;

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

    // Conversion to Shared Schema (BEACAbstractLog+SharedSchema.cpp): one
    // log per target token, or nullopt when that would be empty. A subclass
    // extends the per-token conversion by calling the base version first.
    virtual bool supportsSharedSchemaConversion() const { return true; }
    std::optional<std::vector<std::shared_ptr<BEACSharedSchemaLog>>> toSharedSchemaLogsWithFlags(
        int64_t flags) const;
    virtual std::shared_ptr<BEACSharedSchemaLog> toSharedSchemaLogForTargetToken(const std::string& token,
                                                                                 int64_t flags) const;
    static std::optional<std::string> combineOsVersion(const std::optional<std::string>& version,
                                                       const std::optional<std::string>& build);
    static std::optional<std::string> combineSDKLibVer(const std::optional<std::string>& name,
                                                       const std::optional<std::string>& version);
    static std::string convertTimeZoneOffsetToISO8601(int64_t offsetMinutes);

  protected:
    bool logValidityFailure(const char* field) const;

  private:
    mutable plat::Mutex tokensMutex_;
    std::shared_ptr<const std::set<std::string>> tokens_ GUARDED_BY(tokensMutex_);
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
