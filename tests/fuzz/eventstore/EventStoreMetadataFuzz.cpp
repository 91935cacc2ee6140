// Opens an event store whose "store.plist" holds arbitrary bytes. Whatever
// the file holds, opening must not crash, and the metadata read from it must
// write back and read again the same way.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzTempDir.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/Log.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNLogging.h"

namespace {

const std::filesystem::path& root() {
    return fuzzsupport::scratchFolder("event_store_metadata_fuzz");
}

struct Seen {
    std::optional<std::string> storeIdentifier;
    std::vector<std::string> incomplete;
    bool needsFullIntegration;
    bool verifies;
    std::optional<std::string> baseline;
    bool operator==(const Seen&) const = default;
};

Seen seen(const SYNEventStore& store) {
    return {store.persistentStoreIdentifier(), store.incompleteMandatoryEventIdentifiers(),
            store.needsFullIntegration(), store.verifiesStoreRegistrationInCloud(),
            store.identifierOfBaselineUsedToConstructStore()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (plat::setLogSink([](std::string_view) {}), SYNSetLoggingLevel(0), true);
    (void)quiet;
    const std::filesystem::path mesh = root() / "mesh";
    std::filesystem::remove_all(mesh);
    std::filesystem::create_directories(mesh);
    {
        std::ofstream out(mesh / "store.plist", std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    auto store = SYNEventStore::create("mesh", root().string(), plat::coredata::InMemoryStoreType);
    if (!store)
        return 0;
    const Seen first = seen(*store);
    (void)store->cloudFileSystemIdentityToken();
    // A store that opened writes its metadata back unchanged when asked to.
    store->setNeedsFullIntegration(first.needsFullIntegration);
    store->dismantle();
    store.reset();
    auto reopened = SYNEventStore::create("mesh", root().string(), plat::coredata::InMemoryStoreType);
    if (reopened && first.storeIdentifier && seen(*reopened) != first)
        std::abort();
    return 0;
}
