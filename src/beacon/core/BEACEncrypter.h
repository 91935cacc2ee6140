// Encrypts short strings (transmission target tokens) for storage on disk:
// AES-256-CBC with PKCS7 padding, a fresh random IV per message, and a
// self-describing layout "<tag>/AES/CBC/PKCS7/32" ":" IV cipher-text, as
// base64 text. Keys are 32 random bytes made on first use and kept in the
// keychain under two slots ("kBCEncryptionKeyTag" and
// "kBCEncryptionKeyTagAlternate"); new encryptions switch slot once a year, as
// recorded under the "EncryptionKeyMetadata" setting, and strings made with
// either slot stay readable. Data without a known metadata prefix is read as
// the legacy layout (original key, zero IV).
//
// Every failure gives nullopt: a missing or unreadable key, a failing random
// source, input too short or not a whole number of blocks, bad padding, or
// plaintext that is not UTF-8. A key is generated only when the keychain says
// the item does not exist; any other keychain failure leaves it untouched.
//
// Threads: any thread. Slot switching and key creation are serialised by
// process-wide locks, so two threads never switch twice or make two keys.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Mutex.h"

inline constexpr const char* kBEACEncryptionKeyTag = "kBCEncryptionKeyTag";
inline constexpr const char* kBEACEncryptionKeyTagAlternate = "kBCEncryptionKeyTagAlternate";
inline constexpr const char* kBEACEncryptionKeyMetadataKey = "EncryptionKeyMetadata";
inline constexpr double kBEACEncryptionKeyLifetime = 31536000;

class BEACEncrypter {
  public:
    std::optional<std::string> encryptString(const std::string& string);
    std::optional<std::string> decryptString(const std::string& string);
    std::optional<plat::Data> encryptData(const plat::Data& data);
    std::optional<plat::Data> decryptData(const plat::Data& data);
    // The 32-byte key of a known tag; nullopt for any other tag.
    std::optional<plat::Data> getKeyWithKeyTag(const std::string& tag);

    static std::string getCurrentKeyTag();
    static void rotateToNewKeyTag(const std::string& tag);
    static plat::Data getMetadataStringWithKeyTag(const std::string& tag);
    static std::optional<plat::Data> generateAndSaveKeyWithTag(const std::string& tag);
    static std::optional<plat::Data> generateInitializationVector();
    // operation 0 encrypts, 1 decrypts; no IV means sixteen zero bytes.
    static std::optional<plat::Data> performCryptoOperation(int operation, const plat::Data& input,
                                                            const std::optional<plat::Data>& iv,
                                                            const plat::Data& key);

  private:
    plat::Mutex cacheMutex_;
    std::optional<plat::Data> originalKeyData_ GUARDED_BY(cacheMutex_);
    std::optional<plat::Data> alternateKeyData_ GUARDED_BY(cacheMutex_);
};
