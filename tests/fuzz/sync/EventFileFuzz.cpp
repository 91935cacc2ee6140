// Feeds arbitrary bytes to the JSON event file reader, as the first file of an
// event and as a later file after a valid first one. The import must succeed
// or fail cleanly: after a failure the event store holds no event at all (no
// partial event left behind), and it never crashes.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kpfuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::abort();
        }
        static std::string remove = pattern;
        std::atexit([] { std::filesystem::remove_all(remove); });
        return pattern;
    }();
    return folder;
}

std::shared_ptr<SYNEventStore> eventStore() {
    static auto store = [] {
        SYNSetLogFunction([](std::string_view, std::span<const plat::FormatArg>) {});
        auto store = SYNEventStore::create("fuzz", scratchFolder(), plat::coredata::InMemoryStoreType);
        if (!store || store->prepareNewEventStore()) {
            std::abort();
        }
        return store;
    }();
    return store;
}

std::size_t eventCount(SYNEventStore& store) {
    std::size_t count = 0;
    auto context = store.managedObjectContext();
    context->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::nullopt, std::nullopt, *context);
        count = events.ok() ? events->size() : 0;
    });
    return count;
}

// Deletes every event, so that each input starts from an empty store.
void removeEvents(SYNEventStore& store) {
    auto context = store.managedObjectContext();
    context->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::nullopt, std::nullopt, *context);
        if (events.ok()) {
            for (const auto& event : *events) {
                context->deleteObject(event);
            }
        }
        (void)context->save();
        context->reset();
    });
}

void import(const std::shared_ptr<SYNEventStore>& store, std::vector<std::string> paths) {
    auto operation = std::make_shared<SYNJSONEventImport>(store, std::move(paths));
    operation->start();
    if (operation->error() && eventCount(*store) != 0) {
        std::abort();  // a failed import left an event behind
    }
    removeEvents(*store);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto store = eventStore();
    static const std::string path = scratchFolder() + "/input";
    static const std::string first = [] {
        const std::string path = scratchFolder() + "/first";
        std::ofstream(path) << R"({"globalCount":3,"type":200,"timestamp":"1.5","uniqueIdentifier":"U",)"
                               R"("storeIdentifier":"S","revisionsByStoreIdentifier":{"S":2},)"
                               R"("changesByEntity":{"Person":[]}})";
        return path;
    }();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    import(store, {path});
    import(store, {first, path});
    return 0;
}
