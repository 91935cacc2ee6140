// AES-256 in CBC mode with PKCS7 padding, and secure random bytes, over
// OpenSSL's libcrypto (the platform's common-crypto and secure-random calls).
//
// Pure functions: any thread. Failures are values (nullopt), never exceptions;
// OpenSSL's error queue is cleared before returning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/foundation/Data.h"

namespace plat::security {

inline constexpr std::size_t AES256KeyLength = 32;
inline constexpr std::size_t AESBlockLength = 16;

// Cipher text of `plain` (always a whole number of blocks, at least one).
// nullopt when the key is not 32 bytes or the IV not 16 bytes.
std::optional<Data> aes256CBCEncrypt(const Data& key, const Data& iv, const Data& plain);

// Plain text of `cipher`. nullopt when the key or IV has the wrong length,
// when the input is empty or not a whole number of blocks, or when the
// padding of the last block is not valid PKCS7 (a wrong key almost always
// ends here).
std::optional<Data> aes256CBCDecrypt(const Data& key, const Data& iv, const Data& cipher);

// `count` bytes from the operating system's secure random source; nullopt
// when the source fails (the caller must not go on with predictable bytes).
std::optional<Data> randomBytes(std::size_t count);

}  // namespace plat::security
