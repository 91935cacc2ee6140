// Reads arbitrary bytes as the data file of a change value (the file that
// holds a value too large to keep inline), as an attribute of every type.
// Nothing may crash; a value read back is either a value, null or
// unavailable, never an exception.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "fuzz/FuzzTempDir.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/Log.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

namespace {

using plat::coredata::AttributeDescription;
using plat::coredata::AttributeType;

struct Setup {
    std::shared_ptr<plat::coredata::ManagedObjectModel> model;
    std::vector<const AttributeDescription*> attributes;
    std::shared_ptr<SYNEventStore> store;
};

Setup& setup() {
    static Setup s = [] {
        plat::setLogSink([](std::string_view) {});
        SYNSetLoggingLevel(0);
        Setup made;
        made.model = plat::coredata::ManagedObjectModel::create();
        auto& entity = made.model->addEntity("Item");
        const AttributeType types[] = {
            AttributeType::Integer16,    AttributeType::Integer32, AttributeType::Integer64,
            AttributeType::Decimal,      AttributeType::Double,    AttributeType::Float,
            AttributeType::String,       AttributeType::Boolean,   AttributeType::Date,
            AttributeType::BinaryData,   AttributeType::UUID,      AttributeType::URI,
            AttributeType::Transformable};
        int n = 0;
        for (AttributeType type : types)
            made.attributes.push_back(&entity.addAttribute("a" + std::to_string(n++), type));
        // Change values inside a value: the event store's own transformer.
        made.attributes.push_back(&entity.addAttribute("changes", AttributeType::Transformable)
                                       .setValueTransformerName(SYNPropertyChangeValuesTransformerName));
        SYNRegisterPropertyChangeValuesTransformer();
        made.store =
            SYNEventStore::create("mesh", fuzzsupport::scratchFolder("event_data_file_fuzz").string(),
                                  plat::coredata::InMemoryStoreType);
        if (!made.store || made.store->prepareNewEventStore())
            std::abort();
        return made;
    }();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup& s = setup();
    auto name = s.store->storeDataFile(plat::Data(data, size));
    if (!name)
        std::abort();
    SYNPropertyChangeValue value(SYNPropertyChangeTypeAttribute, "a0");
    value.setEventStore(s.store);
    value.setFilename(*name);
    for (const AttributeDescription* attribute : s.attributes)
        (void)value.attributeValueForAttributeDescription(*attribute);
    std::filesystem::remove(std::filesystem::path(s.store->pathToEventStoreRootDirectory()) / "data" / *name);
    return 0;
}
