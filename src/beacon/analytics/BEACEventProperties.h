// The typed properties of an event: a bag from name to typed property, in the
// order names were first set (setting a name again replaces its value in
// place). Invalid keys and values are logged and not stored.
//
// Threads: setters, serializeToArray and archiving take the bag's lock.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "beacon/core/BEACSerializableObject.h"
#include "beacon/core/BEACTypedProperty.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Mutex.h"

inline constexpr const char* kBEACAnalyticsLogTag = "BeaconAnalytics";

class BEACEventProperties : public BEACSerializableObject {
  public:
    using Entry = std::pair<std::string, std::shared_ptr<BEACTypedProperty>>;

    BEACEventProperties() = default;
    explicit BEACEventProperties(const std::vector<std::pair<std::string, std::string>>& strings);
    BEACEventProperties(const BEACEventProperties& other);

    BEACEventProperties& setString(const std::optional<std::string>& value,
                                   const std::optional<std::string>& key);
    BEACEventProperties& setDouble(double value, const std::optional<std::string>& key);
    BEACEventProperties& setInt64(int64_t value, const std::optional<std::string>& key);
    BEACEventProperties& setBool(bool value, const std::optional<std::string>& key);
    BEACEventProperties& setDate(const std::optional<plat::Date>& value,
                                 const std::optional<std::string>& key);

    // Stores an already validated property (replacing one of the same name).
    void setTypedProperty(const std::string& key, std::shared_ptr<BEACTypedProperty> property) {
        store(key, std::move(property));
    }
    std::size_t count() const;
    // A snapshot of the entries, in order.
    std::vector<Entry> properties() const;
    bool remove(const std::string& key);
    plat::Array serializeToArray() const;
    bool isEmpty() const;
    // The other bag wins on equal names.
    void mergeEventProperties(const BEACEventProperties& other);

    plat::Dictionary serializeToDictionary() const override { return {}; }
    bool isEqual(const plat::Object& other) const override;
    std::string className() const override { return "BEACEventProperties"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;

    static bool validateKey(const std::optional<std::string>& key);

  private:
    void store(const std::string& key, std::shared_ptr<BEACTypedProperty> property);

    mutable plat::Mutex mutex_;
    std::vector<Entry> entries_ GUARDED_BY(mutex_);
};
