#include "platform/coredata/PersistentStoreCoordinator.h"

#include <algorithm>
#include <map>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/detail/StoreRegistry.h"

namespace plat::coredata {

void PersistentStoreCoordinator::registerStoreType(const std::string& type, StoreFactory make) {
    registry::registerStoreType(type, std::move(make));
}

std::shared_ptr<PersistentStoreCoordinator> PersistentStoreCoordinator::create(
    std::shared_ptr<ManagedObjectModel> model) {
    if (!model)
        throw ModelException("A coordinator needs a model.");
    if (auto error = model->finalize())
        throw ModelException(error->localizedDescription());
    return std::shared_ptr<PersistentStoreCoordinator>(new PersistentStoreCoordinator(std::move(model)));
}

PersistentStoreCoordinator::~PersistentStoreCoordinator() {
    for (auto& store : stores_)
        store->unload();
}

Result<std::shared_ptr<PersistentStore>> PersistentStoreCoordinator::addPersistentStore(
    const std::string& type, const std::string& configuration, const std::optional<URL>& url,
    const Dictionary& options) {
    auto storeType = registry::storeTypeNamed(type);
    StoreFactory make = storeType ? storeType->make : nullptr;
    if (!make)
        return makeError(PersistentStoreInvalidTypeError, "Unknown store type \"" + type + "\".");
    Lock lock(mutex_);
    if (url && storeForURLLocked(*url))
        return makeError(PersistentStoreOpenError,
                         "The store at " + url->absoluteString() + " is already added.");
    auto store = make(url, configuration, options);
    if (auto error = store->load(model_))
        return error;
    stores_.push_back(store);
    return store;
}

ErrorPtr PersistentStoreCoordinator::removePersistentStore(const std::shared_ptr<PersistentStore>& store) {
    Lock lock(mutex_);
    for (auto it = stores_.begin(); it != stores_.end(); ++it) {
        if (*it == store) {
            store->unload();
            stores_.erase(it);
            return nullptr;
        }
    }
    return makeError(PersistentStoreOperationError, "The store is not one of the coordinator's stores.");
}

std::vector<std::shared_ptr<PersistentStore>> PersistentStoreCoordinator::persistentStores() const {
    Lock lock(mutex_);
    return stores_;
}

std::size_t PersistentStoreCoordinator::persistentStoreCount() const {
    Lock lock(mutex_);
    return stores_.size();
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::persistentStoreForURL(const URL& url) const {
    Lock lock(mutex_);
    return storeForURLLocked(url);
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::storeForURLLocked(const URL& url) const {
    URL wanted = url.URLByStandardizingPath();
    for (const auto& store : stores_) {
        if (store->URL() && store->URL()->URLByStandardizingPath() == wanted)
            return store;
    }
    return nullptr;
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::persistentStoreForIdentifier(
    const std::string& identifier) const {
    Lock lock(mutex_);
    for (const auto& store : stores_) {
        if (store->identifier() == identifier)
            return store;
    }
    return nullptr;
}

ManagedObjectIDPtr PersistentStoreCoordinator::managedObjectIDForURIRepresentation(const URL& uri) const {
    auto parts = parseObjectIDURI(uri);
    if (!parts || parts->temporary)
        return nullptr;
    auto store = persistentStoreForIdentifier(parts->storeIdentifier);
    const EntityDescription* entity = model_->entityNamed(parts->entityName);
    if (!store || !entity)
        return nullptr;
    return store->objectIDFor(entity, parts->key);
}

ManagedObjectIDPtr PersistentStoreCoordinator::managedObjectIDForURIRepresentation(
    std::string_view uriString) const {
    auto uri = URL::URLWithString(uriString);
    return uri ? managedObjectIDForURIRepresentation(*uri) : nullptr;
}

void PersistentStoreCoordinator::performBlockAndWait(const std::function<void()>& block) {
    Lock lock(mutex_);
    block();
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::storeFor(const ManagedObjectID& id) const {
    if (id.isTemporaryID())
        return nullptr;
    for (const auto& store : stores_) {
        if (store->identifier() == id.storeIdentifier())
            return store;
    }
    return nullptr;
}

Result<std::vector<SnapshotPtr>> PersistentStoreCoordinator::fetchRows(const FetchRequest& request,
                                                                       const EntityDescription& entity) {
    Lock lock(mutex_);
    return fetchRowsLocked(request, entity);
}

Result<std::vector<SnapshotPtr>> PersistentStoreCoordinator::fetchRowsLocked(
    const FetchRequest& request, const EntityDescription& entity) {
    if (stores_.size() == 1)
        return stores_[0]->fetchRows(request, entity);
    // Several stores: gather everything; the window applies to the rows as
    // gathered, so callers that order ask without one.
    FetchRequest unwindowed = request;
    unwindowed.fetchLimit = 0;
    unwindowed.fetchOffset = 0;
    std::vector<SnapshotPtr> rows;
    for (const auto& store : stores_) {
        auto part = store->fetchRows(unwindowed, entity);
        if (!part)
            return part.error();
        rows.insert(rows.end(), part->begin(), part->end());
    }
    if (request.fetchOffset >= rows.size())
        return std::vector<SnapshotPtr>();
    rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(request.fetchOffset));
    if (request.fetchLimit && rows.size() > request.fetchLimit)
        rows.resize(request.fetchLimit);
    return rows;
}

Result<std::vector<SnapshotPtr>> PersistentStoreCoordinator::fetchRowsReading(
    const FetchRequest& request, const EntityDescription& entity,
    const std::vector<std::string>& propertyNames) {
    Lock lock(mutex_);
    if (stores_.size() == 1)
        return stores_[0]->fetchRowsReading(request, entity, propertyNames);
    return fetchRowsLocked(request, entity);
}

Result<std::size_t> PersistentStoreCoordinator::countRows(const FetchRequest& request,
                                                          const EntityDescription& entity) {
    Lock lock(mutex_);
    // With several stores the window applies to the gathered rows, which no
    // single store can count: fetch and count them here.
    if (stores_.size() == 1)
        return stores_[0]->countRows(request, entity);
    auto rows = fetchRowsLocked(request, entity);
    if (!rows)
        return rows.error();
    return rows->size();
}

Result<Dictionary> PersistentStoreCoordinator::metadataForPersistentStoreOfType(const std::string& type,
                                                                                const URL& url,
                                                                                const Dictionary& options) {
    (void)options;
    if (!url.isFileURL())
        return makeError(PersistentStoreOpenError, "Store metadata can only be read from a file URL.");
    const std::string path = url.path();
    auto found = registry::storeTypeOfFile(path);
    // No type claims the file: the default type's reader says whether it is
    // missing or foreign.
    if (!found)
        return registry::defaultFileType().readMetadata(path);
    Result<Dictionary> metadata = found->readMetadata(path);
    if (metadata && !type.empty() && type != found->name)
        return makeError(PersistentStoreTypeMismatchError,
                         "The store at " + path + " is of type " + found->name + ", not " + type + ".");
    return metadata;
}

ErrorPtr PersistentStoreCoordinator::setMetadata(const Dictionary& metadata, const std::string& type,
                                                 const URL& url) {
    if (!url.isFileURL())
        return makeError(PersistentStoreOpenError, "Store metadata can only be written to a file URL.");
    auto storeType = type.empty() ? registry::defaultFileType() : registry::storeTypeNamed(type);
    if (!storeType || !storeType->writeMetadata)
        return makeError(PersistentStoreOperationError,
                         "Only SQLite store files can have their metadata changed in place.");
    return storeType->writeMetadata(metadata, url.path());
}

Dictionary PersistentStoreCoordinator::metadataForPersistentStore(
    const std::shared_ptr<PersistentStore>& store) const {
    return store ? store->metadata() : Dictionary();
}

ErrorPtr PersistentStoreCoordinator::setMetadata(const Dictionary& metadata,
                                                 const std::shared_ptr<PersistentStore>& store) {
    Lock lock(mutex_);
    if (std::find(stores_.begin(), stores_.end(), store) == stores_.end())
        return makeError(PersistentStoreOperationError, "The store is not one of the coordinator's stores.");
    store->setMetadata(metadata);
    return store->writeMetadata();
}

ErrorPtr PersistentStoreCoordinator::updateMetadata(const std::shared_ptr<PersistentStore>& store,
                                                    const std::function<void(Dictionary&)>& update) {
    Lock lock(mutex_);
    if (std::find(stores_.begin(), stores_.end(), store) == stores_.end())
        return makeError(PersistentStoreOperationError, "The store is not one of the coordinator's stores.");
    store->updateMetadata(update);
    return store->writeMetadata();
}

Result<SnapshotPtr> PersistentStoreCoordinator::rowForID(const ManagedObjectID& id) {
    Lock lock(mutex_);
    auto store = storeFor(id);
    if (!store)
        return SnapshotPtr();
    return store->rowForID(id);
}

Result<std::vector<bool>> PersistentStoreCoordinator::rowsExist(const std::vector<ManagedObjectIDPtr>& ids) {
    Lock lock(mutex_);
    std::vector<bool> result(ids.size(), false);
    // Each store is asked once, for its IDs in their order.
    std::vector<std::pair<std::shared_ptr<PersistentStore>, std::vector<std::size_t>>> byStore;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (!ids[i] || ids[i]->isTemporaryID())
            continue;
        auto store = storeFor(*ids[i]);
        if (!store)
            continue;
        auto it = std::find_if(byStore.begin(), byStore.end(),
                               [&](const auto& entry) { return entry.first == store; });
        if (it == byStore.end()) {
            byStore.emplace_back(std::move(store), std::vector<std::size_t>());
            it = byStore.end() - 1;
        }
        it->second.push_back(i);
    }
    for (const auto& [store, positions] : byStore) {
        std::vector<ManagedObjectIDPtr> asked;
        asked.reserve(positions.size());
        for (std::size_t i : positions)
            asked.push_back(ids[i]);
        auto found = store->rowsExist(asked);
        if (!found)
            return found.error();
        for (std::size_t n = 0; n < positions.size() && n < found->size(); ++n)
            result[positions[n]] = (*found)[n];
    }
    return result;
}

Result<std::vector<ManagedObjectIDPtr>> PersistentStoreCoordinator::membersOf(
    const ManagedObjectID& id, const RelationshipDescription& r) {
    Lock lock(mutex_);
    auto store = storeFor(id);
    if (!store)
        return std::vector<ManagedObjectIDPtr>();
    return store->membersOf(id, r);
}

Result<std::vector<ManagedObjectIDPtr>> PersistentStoreCoordinator::newObjectIDs(
    const EntityDescription& entity, std::size_t count) {
    auto reserved = reserveNewObjectKeys(entity, count);
    if (!reserved)
        return reserved.error();
    std::vector<ManagedObjectIDPtr> ids;
    ids.reserve(count);
    for (int64_t key : reserved->keys)
        ids.push_back(reserved->store->objectIDFor(&entity, key));
    return ids;
}

Result<PersistentStoreCoordinator::ReservedKeys> PersistentStoreCoordinator::reserveNewObjectKeys(
    const EntityDescription& entity, std::size_t count) {
    Lock lock(mutex_);
    if (stores_.empty())
        return makeError(PersistentStoreSaveError, "The coordinator has no persistent store.");
    auto& store = stores_[0];
    auto keys = store->reservePrimaryKeys(entity, count);
    if (!keys)
        return keys.error();
    return ReservedKeys{store, std::move(*keys)};
}

Result<std::pair<std::shared_ptr<PersistentStore>, std::vector<std::vector<int64_t>>>>
PersistentStoreCoordinator::reserveNewObjectKeys(const std::vector<PersistentStore::KeyRequest>& requests) {
    Lock lock(mutex_);
    if (stores_.empty())
        return makeError(PersistentStoreSaveError, "The coordinator has no persistent store.");
    auto& store = stores_[0];
    auto keys = store->reservePrimaryKeys(requests);
    if (!keys)
        return keys.error();
    return std::make_pair(store, std::move(*keys));
}

ErrorPtr PersistentStoreCoordinator::save(const StoreChanges& changes) {
    Lock lock(mutex_);
    // A change whose store is gone (removed since the object was saved or
    // fetched) fails the whole save before anything is written: dropping it
    // would report success for data that was never stored.
    auto noStore = [](const ManagedObjectID& id) {
        return makeError(PersistentStoreSaveError,
                         "The object " + id.description() + " belongs to no store of the coordinator.");
    };
    // With one store (the usual case) every change must be of that store:
    // its identifier is compared once per change, nothing is gathered.
    if (stores_.size() == 1) {
        PersistentStore& only = *stores_[0];
        const std::string& identifier = only.identifier();
        bool any = false;
        auto check = [&](const ManagedObjectID& id) {
            any = true;
            return !id.isTemporaryID() && id.storeIdentifier() == identifier;
        };
        for (const auto* list : {&changes.inserted, &changes.updated, &changes.deleted}) {
            for (const auto& s : *list) {
                if (!check(*s->objectID))
                    return noStore(*s->objectID);
            }
        }
        for (const auto& t : changes.toMany) {
            if (!check(*t.owner))
                return noStore(*t.owner);
        }
        return any ? only.save(changes) : nullptr;
    }
    std::vector<const ManagedObjectIDPtr*> owners;
    for (const auto* list : {&changes.inserted, &changes.updated, &changes.deleted})
        for (const auto& s : *list)
            owners.push_back(&s->objectID);
    for (const auto& t : changes.toMany)
        owners.push_back(&t.owner);
    std::vector<PersistentStore*> used;
    for (const ManagedObjectIDPtr* id : owners) {
        auto store = storeFor(**id);
        if (!store)
            return noStore(**id);
        if (std::find(used.begin(), used.end(), store.get()) == used.end())
            used.push_back(store.get());
    }
    if (used.size() <= 1)
        return used.empty() ? nullptr : used[0]->save(changes);
    // Split by store; each part is one transaction, so with several stores a
    // later store's failure does not undo an earlier store's commit.
    std::map<PersistentStore*, StoreChanges> parts;
    for (const auto& s : changes.inserted)
        parts[storeFor(*s->objectID).get()].inserted.push_back(s);
    for (std::size_t i = 0; i < changes.updated.size(); ++i) {
        StoreChanges& part = parts[storeFor(*changes.updated[i]->objectID).get()];
        part.updated.push_back(changes.updated[i]);
        part.updatedFrom.push_back(i < changes.updatedFrom.size() ? changes.updatedFrom[i] : nullptr);
    }
    for (const auto& s : changes.deleted)
        parts[storeFor(*s->objectID).get()].deleted.push_back(s);
    for (const auto& t : changes.toMany)
        parts[storeFor(*t.owner).get()].toMany.push_back(t);
    for (auto& [store, part] : parts) {
        if (auto error = store->save(part))
            return error;
    }
    return nullptr;
}

}  // namespace plat::coredata
