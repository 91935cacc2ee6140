#include "platform/security/Digest.h"

#include <openssl/evp.h>

#include <new>

#include "platform/foundation/Text.h"

namespace plat::security {
namespace {

Data digest(const EVP_MD* type, std::span<const uint8_t> bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // EVP_Digest only fails when the library cannot allocate its context.
    if (EVP_Digest(bytes.data(), bytes.size(), out, &length, type, nullptr) != 1) {
        throw std::bad_alloc();
    }
    return Data(out, length);
}

}  // namespace

Data md5(std::span<const uint8_t> bytes) {
    return digest(EVP_md5(), bytes);
}

Data sha256(std::span<const uint8_t> bytes) {
    return digest(EVP_sha256(), bytes);
}

std::string hexDigest(const Data& digest, bool upperCase) {
    std::string digits = digest.hexString();
    return upperCase ? text::uppercaseString(digits) : digits;
}

}  // namespace plat::security
