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

void PersistentStore::setIdentifier(std::string identifier) {
    identifier_ = std::move(identifier);
    idStore_.store(nullptr, std::memory_order_release);
}

detail::ObjectIDStoreRef PersistentStore::objectIDStore() {
    if (const auto* record = idStore_.load(std::memory_order_acquire))
        return detail::ObjectIDStoreRef(record);
    plat::MutexLock lock(idStoreMutex_);
    if (const auto* record = idStore_.load(std::memory_order_acquire))
        return detail::ObjectIDStoreRef(record);
    detail::ObjectIDStoreRef record(new detail::ObjectIDStore(identifier_, weak_from_this(), false));
    idStores_.push_back(record);
    idStore_.store(record.get(), std::memory_order_release);
    return record;
}

ManagedObjectIDPtr PersistentStore::objectIDFor(const EntityDescription* entity, int64_t primaryKey) {
    // (Straight from the store's identity record: no counted reference to
    // the store is taken and dropped for each ID.)
    return std::make_shared<const ManagedObjectID>(model_->share(entity), objectIDStore(), primaryKey);
}

}  // namespace plat::coredata
