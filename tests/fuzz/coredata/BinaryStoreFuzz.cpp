// Feeds arbitrary bytes to the binary store as its file: reading the metadata
// alone and opening the store (with the migration options, so that files of
// other model versions are mapped too) must refuse or load, never crash, and
// whatever loads must be readable throughout.
#include <cstdint>

#include "FuzzStoreSupport.h"
#include "platform/coredata/BinaryStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kpfuzz;
    static const std::string path = scratchFolder() + "/store.bin";
    writeFile(path, data, size);
    (void)BinaryStore::metadataForStoreAtPath(path);
    Dictionary options;
    options.set(MigratePersistentStoresAutomaticallyOption, Value(true));
    options.set(InferMappingModelAutomaticallyOption, Value(true));
    options.set(ReadOnlyPersistentStoreOption, Value(true));  // never rewrite the input
    auto coordinator = PersistentStoreCoordinator::create(makeFuzzModel());
    if (coordinator->addPersistentStore(BinaryStoreType, "", URL::fileURLWithPath(path), options))
        readEverything(coordinator);
    return 0;
}
