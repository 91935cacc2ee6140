#include "sync/eventstore/SYNDataAdditions.h"

#include "platform/security/Digest.h"

std::string syn_base64EncodedString(const plat::Data& data) {
    return data.base64EncodedString(plat::Data::Base64Encoding64CharacterLineLength |
                                    plat::Data::Base64EncodingEndLineWithCarriageReturn |
                                    plat::Data::Base64EncodingEndLineWithLineFeed);
}

std::optional<plat::Data> syn_dataWithBase64EncodedString(std::string_view text) {
    return plat::Data::fromBase64(text, plat::Data::Base64DecodingIgnoreUnknownCharacters);
}

std::string syn_md5Checksum(const plat::Data& data) {
    return plat::security::hexDigest(plat::security::md5(data));
}
