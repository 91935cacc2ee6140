// The telemetry SDK's settings: the application's user defaults, every key
// stored with the prefix "BCBeacon", plus the one-time move of values kept
// under the key names of earlier SDK generations (once per service).
//
// Threads: every member may be called from any thread (the user defaults are
// thread-safe; the shared instance is created under a lock).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/Value.h"

// Stands in a migration table for every old key that begins with the prefix.
class BEACUserDefaultsPrefixKey {
  public:
    explicit BEACUserDefaultsPrefixKey(std::string prefix) : keyPrefix(std::move(prefix)) {}
    std::string keyPrefix;
};

// New key (in full, with its "BCBeacon" prefix) to the old key it replaces.
using BEACMigrationTable =
    std::vector<std::pair<std::string, std::variant<std::string, BEACUserDefaultsPrefixKey>>>;

class BEACBeaconUserDefaults {
  public:
    static std::shared_ptr<BEACBeaconUserDefaults> shared();
    // Drops the shared instance; the next one uses `store` (the standard user
    // defaults when null).
    static void resetSharedInstance(std::shared_ptr<plat::UserDefaults> store = nullptr);

    explicit BEACBeaconUserDefaults(std::shared_ptr<plat::UserDefaults> store);

    std::optional<plat::Value> objectForKey(const std::string& key) const;
    void setObject(const std::optional<plat::Value>& object, const std::string& key);
    void removeObjectForKey(const std::string& key);
    void migrateKeys(const BEACMigrationTable& table, const std::string& serviceName);
    void swapKeys(const std::string& oldKey, const std::string& newKey,
                  const std::optional<plat::Value>& value);
    static std::string getBeaconKeyFrom(const std::string& key) { return "BCBeacon" + key; }

    const std::shared_ptr<plat::UserDefaults>& store() const { return store_; }

  private:
    std::shared_ptr<plat::UserDefaults> store_;
};
