// Strings kept in the keychain stand-in as generic passwords: service
// (default: "<bundle identifier>.Beacon") and account (the caller's key),
// stored as UTF-8 bytes with the after-first-unlock, this-device-only rule.
// Class methods only; any thread (the keychain serialises its items).
#pragma once

#include <optional>
#include <string>

#include "platform/security/Keychain.h"

class BEACKeychainUtil {
  public:
    static std::string defaultServiceName();

    // Replaces an existing item (delete, then add again). true when stored.
    static bool storeString(const std::string& string, const std::string& key,
                            const std::string& serviceName);
    static bool storeString(const std::string& string, const std::string& key) {
        return storeString(string, key, defaultServiceName());
    }
    // The status (errSecItemNotFound when missing) goes to *statusCode.
    static std::optional<std::string> stringForKey(const std::string& key, const std::string& serviceName,
                                                   plat::security::OSStatus* statusCode = nullptr);
    static std::optional<std::string> stringForKey(const std::string& key,
                                                   plat::security::OSStatus* statusCode = nullptr) {
        return stringForKey(key, defaultServiceName(), statusCode);
    }
    // The deleted string, or nullopt.
    static std::optional<std::string> deleteStringForKey(const std::string& key,
                                                         const std::string& serviceName);
    static std::optional<std::string> deleteStringForKey(const std::string& key) {
        return deleteStringForKey(key, defaultServiceName());
    }
    // Deletes every item of the default service.
    static bool clear();
};
