// Feeds arbitrary bytes to the JSON reader. Whatever it accepts must write
// back out and read back in as an equal value, in both text forms.
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/JSONSerialization.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using plat::JSONSerialization;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto value = JSONSerialization::JSONObjectWithString(text, plat::JSONReadingFragmentsAllowed);
    if (!value)
        return 0;
    for (unsigned options : {0u, unsigned(plat::JSONWritingPrettyPrinted | plat::JSONWritingSortedKeys)}) {
        auto written =
            JSONSerialization::stringWithJSONObject(*value, options | plat::JSONWritingFragmentsAllowed);
        if (!written)
            std::abort();
        auto again = JSONSerialization::JSONObjectWithString(*written, plat::JSONReadingFragmentsAllowed);
        if (!again || !(*again == *value))
            std::abort();
    }
    return 0;
}
