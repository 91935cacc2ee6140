// Feeds arbitrary bytes to the property-list reader (both forms). Whatever it
// accepts must write back out in binary and read back in.
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/PropertyListSerialization.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using plat::PropertyListSerialization;
    auto value = PropertyListSerialization::propertyListWithData(plat::Data(data, size));
    if (!value)
        return 0;
    auto binary =
        PropertyListSerialization::dataWithPropertyList(*value, PropertyListSerialization::Format::Binary);
    if (!binary || !PropertyListSerialization::propertyListWithData(*binary))
        std::abort();
    (void)PropertyListSerialization::dataWithPropertyList(*value, PropertyListSerialization::Format::XML);
    return 0;
}
