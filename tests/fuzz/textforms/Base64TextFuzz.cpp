// Base64 text, strict and lenient: what decodes must encode (with and without
// line breaks) to text that decodes to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/Data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using plat::Data;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (unsigned options :
         {unsigned{Data::Base64DecodingNone}, unsigned{Data::Base64DecodingIgnoreUnknownCharacters}}) {
        auto decoded = Data::fromBase64(text, options);
        if (!decoded)
            continue;
        if (Data::fromBase64(decoded->base64EncodedString()) != decoded)
            std::abort();
        const std::string lines = decoded->base64EncodedString(Data::Base64Encoding64CharacterLineLength);
        if (Data::fromBase64(lines, Data::Base64DecodingIgnoreUnknownCharacters) != decoded)
            std::abort();
    }
    // Hexadecimal text, the other byte text of the platform.
    if (auto hex = Data::fromHex(text)) {
        if (Data::fromHex(hex->hexString()) != hex)
            std::abort();
    }
    return 0;
}
