#include "beacon/core/BEACBeaconUserDefaults.h"

#include <mutex>

#include "beacon/core/BEACLogger.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Text.h"

namespace {
plat::Mutex sharedMutex;
std::shared_ptr<BEACBeaconUserDefaults> sharedDefaults GUARDED_BY(sharedMutex);
std::shared_ptr<plat::UserDefaults> sharedStore GUARDED_BY(sharedMutex);
}  // namespace

std::shared_ptr<BEACBeaconUserDefaults> BEACBeaconUserDefaults::shared() {
    plat::MutexLock lock(sharedMutex);
    if (!sharedDefaults)
        sharedDefaults = std::make_shared<BEACBeaconUserDefaults>(
            sharedStore ? sharedStore : plat::UserDefaults::standardUserDefaults());
    return sharedDefaults;
}

void BEACBeaconUserDefaults::resetSharedInstance(std::shared_ptr<plat::UserDefaults> store) {
    plat::MutexLock lock(sharedMutex);
    sharedDefaults.reset();
    sharedStore = std::move(store);
}

BEACBeaconUserDefaults::BEACBeaconUserDefaults(std::shared_ptr<plat::UserDefaults> store)
    : store_(std::move(store)) {}

std::optional<plat::Value> BEACBeaconUserDefaults::objectForKey(const std::string& key) const {
    return store_->objectForKey(getBeaconKeyFrom(key));
}

void BEACBeaconUserDefaults::setObject(const std::optional<plat::Value>& object, const std::string& key) {
    if (!store_->setObject(object, getBeaconKeyFrom(key)))
        BEACLogError(kBEACLogTag,
                     "Couldn't store the setting \"%@\": a value or key the settings do not take.", key);
}

void BEACBeaconUserDefaults::removeObjectForKey(const std::string& key) {
    store_->removeObjectForKey(getBeaconKeyFrom(key));
}

void BEACBeaconUserDefaults::migrateKeys(const BEACMigrationTable& table, const std::string& serviceName) {
    std::string marker = plat::format("310%@UserDefaultsMigratedKey", serviceName);
    if (objectForKey(marker))
        return;
    BEACLogVerbose(kBEACLogTag, "Migrating the old NSDefaults keys to new ones.");
    for (const auto& [newKey, oldKey] : table) {
        if (const auto* plain = std::get_if<std::string>(&oldKey)) {
            swapKeys(*plain, newKey, store_->objectForKey(*plain));
            continue;
        }
        const std::string& prefix = std::get<BEACUserDefaultsPrefixKey>(oldKey).keyPrefix;
        plat::Dictionary all = store_->dictionaryRepresentation();
        for (const auto& entry : all) {
            if (plat::text::hasPrefix(entry.first, prefix))
                swapKeys(entry.first, newKey + entry.first.substr(prefix.size()), entry.second);
        }
    }
    setObject(plat::Value(true), marker);
}

void BEACBeaconUserDefaults::swapKeys(const std::string& oldKey, const std::string& newKey,
                                      const std::optional<plat::Value>& value) {
    if (!value)
        return;
    // The old key goes only once the new one holds the value.
    if (!store_->setObject(value, newKey)) {
        BEACLogError(kBEACLogTag, "Couldn't migrate key %@ -> %@; the old key is kept.", oldKey, newKey);
        return;
    }
    store_->removeObjectForKey(oldKey);
    BEACLogVerbose(kBEACLogTag, "Migrating key %@ -> %@", oldKey, newKey);
}
