#include "beacon/core/BEACEncrypter.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACKeychainUtil.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Text.h"
#include "platform/security/AES.h"

namespace {

// Both serialise state kept outside memory, so nothing here is GUARDED_BY
// them: the key metadata in the settings (read, rotated and written as one
// step) and the keychain item of a key tag (looked up again and made once).
// Neither is held while anything but the settings or the keychain is called.
plat::Mutex metadataMutex;
plat::Mutex keyMutex;

constexpr std::size_t kIVLength = plat::security::AESBlockLength;
// What follows the key tag in the metadata of the current layout.
constexpr const char* kMetadataSuffix = "/AES/CBC/PKCS7/32";

bool isKnownTag(std::string_view tag) {
    return tag == kBEACEncryptionKeyTag || tag == kBEACEncryptionKeyTagAlternate;
}

std::optional<plat::Data> decodeKey(const std::string& base64) {
    auto key = plat::Data::fromBase64(base64);
    if (!key || key->length() != plat::security::AES256KeyLength)
        return std::nullopt;
    return key;
}

}  // namespace

std::optional<std::string> BEACEncrypter::encryptString(const std::string& string) {
    auto encrypted = encryptData(plat::Data::fromString(string));
    if (!encrypted)
        return std::nullopt;
    return encrypted->base64EncodedString();
}

std::optional<std::string> BEACEncrypter::decryptString(const std::string& string) {
    auto data = plat::Data::fromBase64(string);
    if (!data) {
        BEACLogWarning(kBEACLogTag, "Conversion of encrypted string to NSData failed.");
        return std::nullopt;
    }
    auto plain = decryptData(*data);
    if (!plain || !plat::text::isValidUTF8(plain->view())) {
        BEACLogWarning(kBEACLogTag, "Converting decrypted NSData to NSString failed.");
        return std::nullopt;
    }
    return plain->toString();
}

std::optional<plat::Data> BEACEncrypter::encryptData(const plat::Data& data) {
    std::string tag = getCurrentKeyTag();
    auto key = getKeyWithKeyTag(tag);
    auto iv = generateInitializationVector();
    if (!key || !iv)
        return std::nullopt;
    auto cipher = performCryptoOperation(0, data, iv, *key);
    if (!cipher)
        return std::nullopt;
    // Built in one buffer of its final size: metadata, ":", IV, cipher text.
    plat::Data result;
    result.mutableVector().reserve(tag.size() + std::strlen(kMetadataSuffix) + 1 + iv->length() +
                                   cipher->length());
    result.append(tag.data(), tag.size());
    result.append(kMetadataSuffix, std::strlen(kMetadataSuffix));
    result.append(":", 1);
    result.append(*iv);
    result.append(*cipher);
    return result;
}

// The layout is recognised only by a metadata prefix naming a known slot;
// anything else is legacy cipher text, so a damaged or foreign prefix never
// reaches the keychain.
std::optional<plat::Data> BEACEncrypter::decryptData(const plat::Data& data) {
    const uint8_t* begin = data.bytes();
    const void* colon = data.empty() ? nullptr : std::memchr(begin, ':', data.length());
    if (colon) {
        std::size_t metadataLength = static_cast<std::size_t>(static_cast<const uint8_t*>(colon) - begin);
        std::string_view metadata(reinterpret_cast<const char*>(begin), metadataLength);
        std::string_view tag = metadata.substr(0, metadata.find('/'));
        if (plat::text::isValidUTF8(metadata) && isKnownTag(tag)) {
            std::size_t ivStart = metadataLength + 1;
            if (data.length() < ivStart + kIVLength) {
                BEACLogError(kBEACLogTag, "Error performing encryption or decryption.");
                return std::nullopt;
            }
            auto key = getKeyWithKeyTag(std::string(tag));
            if (!key)
                return std::nullopt;
            plat::Data iv(begin + ivStart, kIVLength);
            plat::Data cipher(begin + ivStart + kIVLength, data.length() - ivStart - kIVLength);
            return performCryptoOperation(1, cipher, iv, *key);
        }
    }
    auto key = getKeyWithKeyTag(kBEACEncryptionKeyTag);
    if (!key)
        return std::nullopt;
    return performCryptoOperation(1, data, std::nullopt, *key);
}

std::optional<plat::Data> BEACEncrypter::getKeyWithKeyTag(const std::string& tag) {
    if (!isKnownTag(tag))
        return std::nullopt;
    const bool original = tag == kBEACEncryptionKeyTag;
    {
        plat::MutexLock lock(cacheMutex_);
        auto& slot = original ? originalKeyData_ : alternateKeyData_;
        if (slot)
            return slot;
    }
    plat::security::OSStatus status = 0;
    std::optional<plat::Data> key;
    if (auto stored = BEACKeychainUtil::stringForKey(tag, &status)) {
        key = decodeKey(*stored);
    } else if (status == plat::security::errSecItemNotFound) {
        plat::MutexLock lock(keyMutex);
        if (auto again = BEACKeychainUtil::stringForKey(tag, &status))
            key = decodeKey(*again);
        else if (status == plat::security::errSecItemNotFound)
            key = generateAndSaveKeyWithTag(tag);
    }
    if (!key)
        return std::nullopt;
    // Keys are never replaced once stored, so caching what was read is safe.
    plat::MutexLock lock(cacheMutex_);
    (original ? originalKeyData_ : alternateKeyData_) = key;
    return key;
}

std::string BEACEncrypter::getCurrentKeyTag() {
    plat::MutexLock lock(metadataMutex);
    auto value = BEACBeaconUserDefaults::shared()->objectForKey(kBEACEncryptionKeyMetadataKey);
    if (!value || !value->isString()) {
        rotateToNewKeyTag(kBEACEncryptionKeyTagAlternate);
        return kBEACEncryptionKeyTagAlternate;
    }
    const std::string& metadata = *value->asString();
    // The metadata changes once per key lifetime: its expiry is read again
    // only when the text differs from the last one read.
    static std::string lastMetadata;
    static std::optional<plat::Date> lastExpiry;
    std::size_t slash = metadata.find('/');
    std::string tag = metadata.substr(0, slash);
    if (metadata != lastMetadata || lastMetadata.empty()) {
        lastExpiry = slash != std::string::npos
                         ? BEACUtility::dateFromISO8601(std::string_view(metadata).substr(slash + 1))
                         : std::nullopt;
        lastMetadata = metadata;
    }
    std::optional<plat::Date> expiry = lastExpiry;
    if (expiry && *expiry >= plat::Date::now() && isKnownTag(tag))
        return tag;
    std::string next = tag == kBEACEncryptionKeyTag ? kBEACEncryptionKeyTagAlternate : kBEACEncryptionKeyTag;
    rotateToNewKeyTag(next);
    return next;
}

void BEACEncrypter::rotateToNewKeyTag(const std::string& tag) {
    plat::Date expiry = plat::Date::now().byAddingTimeInterval(kBEACEncryptionKeyLifetime);
    BEACBeaconUserDefaults::shared()->setObject(plat::Value(tag + "/" + BEACUtility::dateToISO8601(expiry)),
                                                kBEACEncryptionKeyMetadataKey);
}

plat::Data BEACEncrypter::getMetadataStringWithKeyTag(const std::string& tag) {
    return plat::Data::fromString(tag + kMetadataSuffix);
}

std::optional<plat::Data> BEACEncrypter::generateAndSaveKeyWithTag(const std::string& tag) {
    auto key = plat::security::randomBytes(plat::security::AES256KeyLength);
    if (!key) {
        BEACLogError(kBEACLogTag, "Error generating encryption key. Error code: %d", -1);
        return std::nullopt;
    }
    // The key still serves this process; what it encrypts cannot be read
    // after a relaunch, which is said here rather than found out then.
    if (!BEACKeychainUtil::storeString(key->base64EncodedString(), tag))
        BEACLogError(
            kBEACLogTag,
            "Couldn't store the encryption key \"%@\" in the keychain; target tokens stored from now on "
            "cannot be read after the application restarts.",
            tag);
    return key;
}

namespace {

// Initialisation vectors are cut from a pool of random bytes drawn 1 KB at a
// time: a draw from the generator for every log costs more than encrypting
// the token. Bytes are handed out once; a forked child drops what its parent
// drew, so that the two processes never use the same vectors.
class RandomPool {
  public:
    std::optional<plat::Data> take(std::size_t count) {
        plat::MutexLock lock(mutex_);
        const pid_t pid = getpid();
        if (pid != pid_ || used_ + count > bytes_.size()) {
            auto fresh = plat::security::randomBytes(std::max(kPoolSize, count));
            if (!fresh)
                return std::nullopt;
            bytes_ = fresh->vector();
            used_ = 0;
            pid_ = pid;
        }
        plat::Data out(bytes_.data() + used_, count);
        std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(used_), count, uint8_t{0});
        used_ += count;
        return out;
    }

  private:
    static constexpr std::size_t kPoolSize = 1024;
    plat::Mutex mutex_;
    std::vector<uint8_t> bytes_ GUARDED_BY(mutex_);
    std::size_t used_ GUARDED_BY(mutex_) = 0;
    pid_t pid_ GUARDED_BY(mutex_) = 0;
};

RandomPool& ivPool() {
    static RandomPool* pool = new RandomPool();  // never destroyed: may be used during exit
    return *pool;
}

}  // namespace

std::optional<plat::Data> BEACEncrypter::generateInitializationVector() {
    auto iv = ivPool().take(kIVLength);
    if (!iv)
        BEACLogError(kBEACLogTag, "Error generating initialization vector. Error code: %d", -1);
    return iv;
}

std::optional<plat::Data> BEACEncrypter::performCryptoOperation(int operation, const plat::Data& input,
                                                                const std::optional<plat::Data>& iv,
                                                                const plat::Data& key) {
    static const plat::Data zeroIV(std::vector<uint8_t>(kIVLength, 0));
    const plat::Data& vector = iv ? *iv : zeroIV;
    auto output = operation == 0 ? plat::security::aes256CBCEncrypt(key, vector, input)
                                 : plat::security::aes256CBCDecrypt(key, vector, input);
    if (!output)
        BEACLogError(kBEACLogTag, "Error performing encryption or decryption.");
    return output;
}
