#include "platform/coredata/PersistentStore.h"

namespace plat::coredata {

PersistentStore::PersistentStore(std::optional<plat::URL> url, std::string configuration, Dictionary options)
    : url_(std::move(url)), configuration_(std::move(configuration)), options_(std::move(options)) {}

bool PersistentStore::isReadOnly() const {
    const Value* v = options_.find(ReadOnlyPersistentStoreOption);
    return v && v->boolValue();
}

Dictionary PersistentStore::metadata() const {
    plat::MutexLock lock(metadataMutex_);
    return metadata_;
}

void PersistentStore::setMetadata(Dictionary metadata) {
    plat::MutexLock lock(metadataMutex_);
    for (const char* key :
         {StoreTypeKey, StoreUUIDKey, StoreModelVersionHashesKey, StoreModelVersionIdentifiersKey}) {
        if (const Value* own = metadata_.find(key))
            metadata.set(key, *own);
    }
    metadata_ = std::move(metadata);
}

ManagedObjectIDPtr PersistentStore::objectIDFor(const EntityDescription* entity, int64_t primaryKey) {
    return ManagedObjectID::makePermanent(model_->share(entity), shared_from_this(), primaryKey);
}

}  // namespace plat::coredata
