#include "platform/coredata/InMemoryStore.h"

#include <set>

#include <algorithm>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/KeyValueCoding.h"
#include "platform/coredata/detail/StoreRowView.h"
#include "platform/foundation/UUID.h"

namespace plat::coredata {

InMemoryStore::InMemoryStore(std::optional<plat::URL> url, std::string configuration, Dictionary options)
    : PersistentStore(std::move(url), std::move(configuration), std::move(options)) {}

ErrorPtr InMemoryStore::load(const std::shared_ptr<const ManagedObjectModel>& model) {
    setModel(model);
    if (identifier().empty())
        setIdentifier(UUID().UUIDString());
    plat::MutexLock lock(metadataMutex_);
    metadata_.set(StoreTypeKey, Value(type()));
    metadata_.set(StoreUUIDKey, Value(identifier()));
    Dictionary hashes;
    for (const auto& [name, hash] : model->entityVersionHashesByName())
        hashes.set(name, Value(hash));
    metadata_.set(StoreModelVersionHashesKey, Value(std::move(hashes)));
    ++metadataChanges_;
    return nullptr;
}

InMemoryStore::Table& InMemoryStore::tableFor(const EntityDescription& entity) {
    return tables_[entity.rootEntity()->name()];
}

InMemoryStore::Row* InMemoryStore::findRow(const ManagedObjectID& id) {
    if (id.isTemporaryID() || id.storeIdentifier() != identifier())
        return nullptr;
    const EntityDescription* entity = model()->entityNamed(id.entity()->name());
    if (!entity)
        return nullptr;
    auto table = tables_.find(entity->rootEntity()->name());
    if (table == tables_.end())
        return nullptr;
    auto row = table->second.rows.find(id.primaryKey());
    if (row == table->second.rows.end() ||
        row->second.snapshot->objectID->entity()->name() != id.entity()->name())
        return nullptr;
    return &row->second;
}

Result<std::vector<SnapshotPtr>> InMemoryStore::fetchRows(const FetchRequest& request,
                                                          const EntityDescription& entity) {
    std::vector<Value> matches;
    for (const auto& [key, row] : tableFor(entity).rows) {
        const EntityDescription* rowEntity = row.snapshot->objectID->entity();
        bool wanted = request.includesSubentities ? rowEntity->isKindOfEntity(&entity) : rowEntity == &entity;
        if (!wanted)
            continue;
        Value view(std::make_shared<const detail::StoreRowView>(this, row.snapshot));
        if (!request.predicate || request.predicate->evaluateWithObject(view))
            matches.push_back(std::move(view));
    }
    sortObjects(matches, request.sortDescriptors);
    std::vector<SnapshotPtr> rows;
    std::size_t end = request.fetchLimit ? request.fetchOffset + request.fetchLimit : matches.size();
    for (std::size_t i = request.fetchOffset; i < matches.size() && i < end; ++i)
        rows.push_back(matches[i].asObjectOf<detail::StoreRowView>()->snapshot());
    return rows;
}

Result<SnapshotPtr> InMemoryStore::rowForID(const ManagedObjectID& id) {
    Row* row = findRow(id);
    return row ? row->snapshot : SnapshotPtr();
}

Result<std::vector<ManagedObjectIDPtr>> InMemoryStore::membersOf(
    const ManagedObjectID& id, const RelationshipDescription& relationship) {
    Row* row = findRow(id);
    if (!row || relationship.toManyIndex() >= row->toMany.size())
        return std::vector<ManagedObjectIDPtr>();
    return row->toMany[relationship.toManyIndex()];
}

Result<std::vector<int64_t>> InMemoryStore::reservePrimaryKeys(const EntityDescription& entity,
                                                               std::size_t count) {
    Table& table = tableFor(entity);
    std::vector<int64_t> keys(count);
    for (auto& key : keys)
        key = ++table.lastKey;
    return keys;
}

ErrorPtr InMemoryStore::checkVersions(const StoreChanges& changes) {
    for (const auto* list : {&changes.updated, &changes.deleted}) {
        for (const auto& snapshot : *list) {
            Row* row = findRow(*snapshot->objectID);
            if (!row || row->snapshot->version != snapshot->version)
                return makeError(ManagedObjectMergeError, "Could not merge changes.");
        }
    }
    // Owners of to-manys whose members' to-ones were set by ID were not
    // read: their rows must still be here.
    for (const auto& change : changes.toMany) {
        if (change.ownerUnread && !findRow(*change.owner)) {
            Dictionary info;
            info.set("conflictList", Value(Array{Value(ObjectPtr(change.owner))}));
            return makeError(ManagedObjectMergeError, "Could not merge changes.", std::move(info));
        }
    }
    return nullptr;
}

void InMemoryStore::applyToMany(const StoreChanges::ToMany& change) {
    Row* row = findRow(*change.owner);
    if (!row)
        return;
    auto& members = row->toMany[change.relationship->toManyIndex()];
    if (change.relationship->isOrdered()) {
        members = change.members;
        return;
    }
    ObjectIDEqual equal;
    for (const auto& gone : change.removed)
        std::erase_if(members, [&](const auto& m) { return equal(m, gone); });
    for (const auto& added : change.added) {
        if (std::none_of(members.begin(), members.end(), [&](const auto& m) { return equal(m, added); }))
            members.push_back(added);
    }
}

ErrorPtr InMemoryStore::save(const StoreChanges& changes) {
    if (isReadOnly())
        return makeError(PersistentStoreSaveError, "The store is read-only.");
    if (auto error = checkVersions(changes))
        return error;
    for (const auto& snapshot : changes.inserted) {
        auto stored = std::make_shared<StoreSnapshot>(*snapshot);
        stored->version = 1;
        Row row{stored,
                std::vector<std::vector<ManagedObjectIDPtr>>(snapshot->objectID->entity()->toManyCount())};
        tableFor(*snapshot->objectID->entity()).rows[snapshot->objectID->primaryKey()] = std::move(row);
    }
    for (const auto& snapshot : changes.updated) {
        auto stored = std::make_shared<StoreSnapshot>(*snapshot);
        stored->version = snapshot->version + 1;
        findRow(*snapshot->objectID)->snapshot = std::move(stored);
    }
    for (const auto& snapshot : changes.deleted)
        tableFor(*snapshot->objectID->entity()).rows.erase(snapshot->objectID->primaryKey());
    for (const auto& change : changes.toMany)
        applyToMany(change);
    forgetDeletedMembers(changes);
    return nullptr;
}

// A deleted row leaves the to-manys without inverse that held it (those with
// an inverse lose it through the context's delete rules): drop it there, as
// the SQLite store drops its join-table rows. Members of other stores stay.
void InMemoryStore::forgetDeletedMembers(const StoreChanges& changes) {
    if (changes.deleted.empty())
        return;
    std::set<std::pair<std::string, int64_t>> deleted;
    for (const auto& row : changes.deleted)
        deleted.emplace(row->objectID->entity()->rootEntity()->name(), row->objectID->primaryKey());
    for (auto& [root, table] : tables_) {
        for (auto& [key, row] : table.rows) {
            for (auto& members : row.toMany)
                std::erase_if(members, [&](const ManagedObjectIDPtr& m) {
                    return m->storeIdentifier() == identifier() &&
                           deleted.count({m->entity()->rootEntity()->name(), m->primaryKey()});
                });
        }
    }
}

}  // namespace plat::coredata
