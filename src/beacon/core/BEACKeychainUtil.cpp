#include "beacon/core/BEACKeychainUtil.h"

#include "beacon/core/BEACLogger.h"
#include "platform/foundation/Bundle.h"

using namespace plat::security;

std::string BEACKeychainUtil::defaultServiceName() {
    static const std::string name =
        plat::format("%@.%@", plat::Bundle::mainBundle().bundleIdentifier().value_or("kestrel"), "Beacon");
    return name;
}

bool BEACKeychainUtil::storeString(const std::string& string, const std::string& key,
                                   const std::string& serviceName) {
    auto keychain = Keychain::defaultKeychain();
    GenericPassword item{serviceName, key, plat::Data::fromString(string),
                         kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly};
    OSStatus status = keychain->add(item);
    if (status == errSecDuplicateItem) {
        keychain->deleteMatching({serviceName, key});
        status = keychain->add(item);
    }
    if (status == errSecSuccess) {
        BEACLogVerbose(kBEACLogTag, "Stored a string with key='%@', service='%@' to keychain.", key,
                       serviceName);
        return true;
    }
    BEACLogWarning(kBEACLogTag,
                   "Failed to store item with key='%@', service='%@' to keychain. OS Status code %i", key,
                   serviceName, status);
    return false;
}

std::optional<std::string> BEACKeychainUtil::stringForKey(const std::string& key,
                                                          const std::string& serviceName,
                                                          OSStatus* statusCode) {
    GenericPassword item;
    OSStatus status = Keychain::defaultKeychain()->copyMatching({serviceName, key}, &item);
    if (statusCode)
        *statusCode = status;
    if (status == errSecSuccess) {
        BEACLogVerbose(kBEACLogTag, "Retrieved a string with key='%@', service='%@' from keychain.", key,
                       serviceName);
        return item.data.toString();
    }
    BEACLogWarning(kBEACLogTag,
                   "Failed to retrieve item with key='%@', service='%@' from keychain. OS Status code %i",
                   key, serviceName, status);
    return std::nullopt;
}

std::optional<std::string> BEACKeychainUtil::deleteStringForKey(const std::string& key,
                                                                const std::string& serviceName) {
    auto string = stringForKey(key, serviceName);
    if (!string)
        return std::nullopt;
    OSStatus status = Keychain::defaultKeychain()->deleteMatching({serviceName, key});
    if (status == errSecSuccess) {
        BEACLogVerbose(kBEACLogTag, "Deleted a string with key='%@', service='%@' from keychain.", key,
                       serviceName);
        return string;
    }
    BEACLogWarning(kBEACLogTag,
                   "Failed to delete item with key='%@', service='%@' from keychain. OS Status code %i", key,
                   serviceName, status);
    return std::nullopt;
}

bool BEACKeychainUtil::clear() {
    return Keychain::defaultKeychain()->deleteMatching({defaultServiceName(), std::nullopt}) == errSecSuccess;
}
