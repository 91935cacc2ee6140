// Message digests (MD5 and SHA-256) over byte ranges.
//
// MD5 is here for checksums and content names that peers compare, never for
// security. Each function returns the raw digest (16 or 32 bytes); hexDigest
// gives the digits. Pure functions: any thread.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"

namespace plat::security {

inline constexpr std::size_t MD5DigestLength = 16;
inline constexpr std::size_t SHA256DigestLength = 32;

Data md5(std::span<const uint8_t> bytes);
Data sha256(std::span<const uint8_t> bytes);

inline Data md5(const Data& data) {
    return md5(std::span<const uint8_t>(data.bytes(), data.length()));
}
inline Data md5(std::string_view text) {
    return md5(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}
inline Data sha256(const Data& data) {
    return sha256(std::span<const uint8_t>(data.bytes(), data.length()));
}
inline Data sha256(std::string_view text) {
    return sha256(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// Two hexadecimal digits per byte, upper case unless asked otherwise.
std::string hexDigest(const Data& digest, bool upperCase = true);

}  // namespace plat::security
