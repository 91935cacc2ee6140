#include "platform/coredata/detail/StoreRegistry.h"

#include <vector>

#include "platform/coredata/BinaryStore.h"
#include "platform/coredata/InMemoryStore.h"
#include "platform/coredata/SQLiteStore.h"
#include "platform/foundation/Mutex.h"

namespace plat::coredata::registry {
namespace {

template <class Store>
PersistentStoreCoordinator::StoreFactory factoryOf() {
    return [](const std::optional<URL>& url, const std::string& configuration, const Dictionary& options) {
        return std::make_shared<Store>(url, configuration, options);
    };
}

// The built-in store types. The first file type is the default one: the
// SQLite reader words the errors for missing and foreign files.
std::vector<StoreType> builtInTypes() {
    return {
        {SQLiteStoreType, factoryOf<SQLiteStore>(), SQLiteStore::isSQLiteStoreFile,
         SQLiteStore::metadataForStoreAtPath, SQLiteStore::setMetadataForStoreAtPath},
        {BinaryStoreType, factoryOf<BinaryStore>(), BinaryStore::isBinaryStoreFile,
         BinaryStore::metadataForStoreAtPath, nullptr},
        {InMemoryStoreType, factoryOf<InMemoryStore>(), nullptr, nullptr, nullptr},
    };
}

struct Registry {
    plat::Mutex mutex;
    std::vector<StoreType> types GUARDED_BY(mutex) = builtInTypes();
};

Registry& shared() {
    static auto* registry = new Registry;  // never destroyed: usable during exit
    return *registry;
}

}  // namespace

std::optional<StoreType> storeTypeNamed(const std::string& name) {
    Registry& r = shared();
    plat::MutexLock lock(r.mutex);
    for (const auto& type : r.types) {
        if (type.name == name)
            return type;
    }
    return std::nullopt;
}

std::optional<StoreType> storeTypeOfFile(const std::string& path) {
    std::vector<StoreType> types;
    {
        Registry& r = shared();
        plat::MutexLock lock(r.mutex);
        types = r.types;
    }
    // Recognisers read the file: run them without the lock.
    for (const auto& type : types) {
        if (type.recognisesFile && type.readMetadata && type.recognisesFile(path))
            return type;
    }
    return std::nullopt;
}

StoreType defaultFileType() {
    return builtInTypes().front();
}

void registerStoreType(const std::string& name, PersistentStoreCoordinator::StoreFactory make) {
    Registry& r = shared();
    plat::MutexLock lock(r.mutex);
    for (auto& type : r.types) {
        if (type.name == name) {
            type.make = std::move(make);
            return;
        }
    }
    r.types.push_back(StoreType{name, std::move(make), nullptr, nullptr, nullptr});
}

}  // namespace plat::coredata::registry
