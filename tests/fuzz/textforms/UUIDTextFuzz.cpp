// UUID text: what reads must write back as 36 upper-case characters that
// read as the same UUID.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/UUID.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto uuid = plat::UUID::fromString(text);
    if (!uuid)
        return 0;
    const std::string written = uuid->UUIDString();
    if (written.size() != 36 || plat::UUID::fromString(written) != uuid)
        std::abort();
    return 0;
}
