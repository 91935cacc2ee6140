// Feeds arbitrary bytes to the model file reader. A model it accepts must
// write back out and read back in with the same entity version hashes.
#include <cstdint>
#include <cstdlib>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/JSONSerialization.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plat;
    using namespace plat::coredata;
    auto json = JSONSerialization::JSONObjectWithData(Data(data, size));
    if (!json)
        return 0;
    auto model = ManagedObjectModel::modelFromJSON(*json);
    if (!model)
        return 0;
    auto again = ManagedObjectModel::modelFromJSON((*model)->JSONRepresentation());
    if (!again || (*again)->entityVersionHashesByName() != (*model)->entityVersionHashesByName())
        std::abort();
    return 0;
}
