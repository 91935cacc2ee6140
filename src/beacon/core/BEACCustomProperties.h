// Custom properties an application attaches to its installation, and the log
// that carries them. Keys are an ASCII letter followed by ASCII letters and
// digits, at most 128 characters, at most 60 keys; values are strings of at
// most 128 characters, finite numbers, booleans or dates; null clears a key.
//
// Threads: a properties object may be filled from several threads (its own
// lock); the log is built on one thread and then read on the pipeline's queue.
#pragma once

#include <optional>
#include <string>

#include "beacon/core/BEACAbstractLog.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

class BEACCustomProperties {
  public:
    static constexpr std::size_t kMaxKeyLength = 128;
    static constexpr std::size_t kMaxStringLength = 128;
    static constexpr std::size_t kMaxCount = 60;
    static constexpr const char* kKeyPattern = "^[a-zA-Z][a-zA-Z0-9]*$";

    BEACCustomProperties& setString(const std::optional<std::string>& value,
                                    const std::optional<std::string>& key);
    BEACCustomProperties& setNumber(double value, const std::optional<std::string>& key);
    BEACCustomProperties& setInteger(int64_t value, const std::optional<std::string>& key);
    BEACCustomProperties& setBool(bool value, const std::optional<std::string>& key);
    BEACCustomProperties& setDate(const plat::Date& value, const std::optional<std::string>& key);
    // nullopt stands for a missing value (refused).
    BEACCustomProperties& setObject(const std::optional<plat::Value>& value,
                                    const std::optional<std::string>& key) EXCLUDES(mutex_);
    BEACCustomProperties& clearPropertyForKey(const std::optional<std::string>& key) EXCLUDES(mutex_);

    plat::Dictionary propertiesImmutableCopy() const EXCLUDES(mutex_);

  private:
    bool isValidKey(const std::optional<std::string>& key) const REQUIRES(mutex_);
    static bool isValidValue(const std::optional<plat::Value>& value);

    mutable plat::Mutex mutex_;
    plat::Dictionary properties_ GUARDED_BY(mutex_);
};

class BEACCustomPropertiesLog : public BEACAbstractLog {
  public:
    BEACCustomPropertiesLog() { type = "customProperties"; }

    // Key to value; a null value means the key was cleared.
    std::optional<plat::Dictionary> properties;

    bool isValid() const override;
    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACCustomPropertiesLog"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;

    // The JSON object of one value without its name; nullopt when the value
    // has no JSON form.
    static std::optional<plat::Dictionary> serializeProperty(const plat::Value& value);
};
