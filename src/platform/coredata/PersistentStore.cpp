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
    ++metadataChanges_;
}

void PersistentStore::updateMetadata(const std::function<void(Dictionary&)>& update) {
    plat::MutexLock lock(metadataMutex_);
    Dictionary metadata = metadata_;
    update(metadata);
    for (const char* key :
         {StoreTypeKey, StoreUUIDKey, StoreModelVersionHashesKey, StoreModelVersionIdentifiersKey}) {
        if (const Value* own = metadata_.find(key))
            metadata.set(key, *own);
    }
    metadata_ = std::move(metadata);
    ++metadataChanges_;
}

std::optional<Dictionary> PersistentStore::metadataChangedSince(uint64_t seen, uint64_t& now) const {
    plat::MutexLock lock(metadataMutex_);
    now = metadataChanges_;
    if (seen == metadataChanges_)
        return std::nullopt;
    return metadata_;
}

Result<std::vector<bool>> PersistentStore::rowsExist(const std::vector<ManagedObjectIDPtr>& ids) {
    std::vector<bool> result;
    result.reserve(ids.size());
    for (const auto& id : ids) {
        auto row = rowForID(*id);
        if (!row)
            return row.error();
        result.push_back(*row != nullptr);
    }
    return result;
}

Result<std::vector<std::vector<int64_t>>> PersistentStore::reservePrimaryKeys(
    const std::vector<KeyRequest>& requests) {
    std::vector<std::vector<int64_t>> keys;
    keys.reserve(requests.size());
    for (const auto& [entity, count] : requests) {
        auto reserved = reservePrimaryKeys(*entity, count);
        if (!reserved)
            return reserved.error();
        keys.push_back(std::move(*reserved));
    }
    return keys;
}

void PersistentStore::setModel(std::shared_ptr<const ManagedObjectModel> model) {
    plat::MutexLock lock(idStoreMutex_);
    model_ = std::move(model);
    idRecordCount_ = model_ ? model_->entityCount() : 0;
    idRecords_ = std::make_unique<std::atomic<const detail::ObjectIDStore*>[]>(idRecordCount_);
    for (std::size_t i = 0; i < idRecordCount_; ++i)
        idRecords_[i].store(nullptr, std::memory_order_relaxed);
}

void PersistentStore::setIdentifier(std::string identifier) {
    plat::MutexLock lock(idStoreMutex_);
    identifier_ = std::move(identifier);
    for (std::size_t i = 0; i < idRecordCount_; ++i)
        idRecords_[i].store(nullptr, std::memory_order_release);
}

detail::ObjectIDStoreRef PersistentStore::objectIDStore(const EntityDescription* entity) {
    const bool ours =
        model_ && entity->managedObjectModel() == model_.get() && entity->indexInModel() < idRecordCount_;
    if (ours) {
        if (const auto* record = idRecords_[entity->indexInModel()].load(std::memory_order_acquire))
            return detail::ObjectIDStoreRef(record);
        return objectIDStore(model_->share(entity));
    }
    return objectIDStore(entity->managedObjectModel() == model_.get()
                             ? model_->share(entity)
                             : entity->managedObjectModel()->share(entity));
}

detail::ObjectIDStoreRef PersistentStore::objectIDStore(
    const std::shared_ptr<const EntityDescription>& entity) {
    const EntityDescription* e = entity.get();
    const bool ours = model_ && e->managedObjectModel() == model_.get() && e->indexInModel() < idRecordCount_;
    if (ours) {
        if (const auto* record = idRecords_[e->indexInModel()].load(std::memory_order_acquire))
            return detail::ObjectIDStoreRef(record);
    }
    plat::MutexLock lock(idStoreMutex_);
    if (!ours)
        return detail::ObjectIDStoreRef(
            new detail::ObjectIDStore(entity, identifier_, weak_from_this(), false));
    auto& slot = idRecords_[e->indexInModel()];
    if (const auto* record = slot.load(std::memory_order_acquire))
        return detail::ObjectIDStoreRef(record);
    detail::ObjectIDStoreRef record(new detail::ObjectIDStore(entity, identifier_, weak_from_this(), false));
    idStores_.push_back(record);
    slot.store(record.get(), std::memory_order_release);
    return record;
}

ManagedObjectIDPtr PersistentStore::objectIDFor(const EntityDescription* entity, int64_t primaryKey) {
    // (Straight from the entity's record: neither a counted reference to the
    // store nor one to the model is taken and dropped for each ID.)
    return std::allocate_shared<const ManagedObjectID>(plat::SmallBlockAllocator<ManagedObjectID>(),
                                                       objectIDStore(entity), primaryKey);
}

}  // namespace plat::coredata
