#include "platform/coredata/ManagedObjectContext.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/detail/ContextImpl.h"

namespace plat::coredata {

std::shared_ptr<ManagedObjectContext> ManagedObjectContext::create(ConcurrencyType type) {
    return std::shared_ptr<ManagedObjectContext>(new ManagedObjectContext(type));
}

ManagedObjectContext::ManagedObjectContext(ConcurrencyType type)
    : type_(type), impl_(std::make_unique<Impl>()) {
    if (type == ConcurrencyType::PrivateQueue)
        queue_ = dispatch::Queue::serial("plat.coredata.context");
    else if (type == ConcurrencyType::MainQueue)
        queue_ = dispatch::Queue::main();
}

ManagedObjectContext::~ManagedObjectContext() {
    invalidateAll();
}

void ManagedObjectContext::setPersistentStoreCoordinator(
    std::shared_ptr<PersistentStoreCoordinator> coordinator) {
    coordinator_ = std::move(coordinator);
    parent_.reset();
}

void ManagedObjectContext::setParentContext(std::shared_ptr<ManagedObjectContext> parent) {
    for (auto* c = parent.get(); c; c = c->parent_.get()) {
        if (c == this)
            throw ModelException("A context can't be its own ancestor.");
    }
    parent_ = std::move(parent);
    coordinator_.reset();
}

std::shared_ptr<PersistentStoreCoordinator> ManagedObjectContext::persistentStoreCoordinator() const {
    return parent_ ? parent_->persistentStoreCoordinator() : coordinator_;
}

const ManagedObjectModel& ManagedObjectContext::model() const {
    auto coordinator = persistentStoreCoordinator();
    if (!coordinator)
        throw ModelException("The context has neither a coordinator nor a parent context.",
                             InternalInconsistencyException);
    return *coordinator->managedObjectModel();
}

Dictionary ManagedObjectContext::userInfo() const {
    plat::MutexLock lock(userInfoMutex_);
    return userInfo_;
}

void ManagedObjectContext::setUserInfo(Dictionary userInfo) {
    plat::MutexLock lock(userInfoMutex_);
    userInfo_ = std::move(userInfo);
}

// Queues

void ManagedObjectContext::performBlock(std::function<void()> block) {
    if (type_ == ConcurrencyType::Confinement)
        throw ModelException("performBlock needs a private-queue or main-queue context.");
    auto self = shared_from_this();
    queue_.async([self, block = std::move(block)] {
        block();
        self->processPendingChanges();
    });
}

// Runs the block on the calling thread once it is the queue's turn (sync),
// not on the queue's own thread, so nested waits across contexts cannot
// deadlock; on the context's own queue it runs at once (re-entrant).
void ManagedObjectContext::performBlockAndWait(const std::function<void()>& block) {
    if (type_ == ConcurrencyType::Confinement || queue_.isCurrent()) {
        block();
        return;
    }
    queue_.sync([&] {
        block();
        processPendingChanges();
    });
}

// Registration

ManagedObjectPtr ManagedObjectContext::registerObject(const ManagedObjectIDPtr& id, std::size_t room,
                                                      bool idInRoom) {
    auto object = ManagedObject::makeWithRoom(this, id, room, idInRoom);
    impl_->registered.insert(object);
    return object;
}

ManagedObjectIDPtr ManagedObjectContext::localID(const ManagedObjectIDPtr& id) const {
    if (!id)
        throw ModelException("An object ID can't be nil.");
    if (id->isTemporaryID()) {
        if (auto permanent = aliasFor(*id))
            return permanent;
    }
    if (id->entity()->managedObjectModel() == &model())
        return id;
    // An ID of another coordinator: the same row in ours, when we have its store.
    ManagedObjectIDPtr local =
        id->isTemporaryID()
            ? nullptr
            : persistentStoreCoordinator()->managedObjectIDForURIRepresentation(id->URIRepresentation());
    if (!local)
        throw ModelException("The object ID " + id->description() +
                             " does not belong to this context's stores.");
    return local;
}

ManagedObjectPtr ManagedObjectContext::objectRegisteredForID(const ManagedObjectIDPtr& id) const {
    return id ? impl_->registered.find(*id) : nullptr;
}

ManagedObjectPtr ManagedObjectContext::objectWithID(const ManagedObjectIDPtr& id) {
    ManagedObjectIDPtr local = localID(id);
    if (auto object = objectRegisteredForID(local))
        return object;
    noteBorrowed(local);
    return registerObject(local);
}

Result<std::vector<bool>> ManagedObjectContext::existingObjectIDs(
    const std::vector<ManagedObjectIDPtr>& ids) {
    std::vector<bool> result(ids.size(), false);
    std::vector<ManagedObjectIDPtr> asked;
    std::vector<std::size_t> askedAt;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (!ids[i])
            continue;
        ManagedObjectIDPtr id = localID(ids[i]);
        // What this context holds answers for it (a fetch would give it so);
        // a fault without changes is asked of the store, as filling it would.
        if (auto held = objectRegisteredForID(id); held && (!held->isFault() || held->hasChanges())) {
            result[i] = !held->isDeleted() && !held->isInvalidated();
            continue;
        }
        if (id->isTemporaryID() && !parent_)
            continue;
        asked.push_back(std::move(id));
        askedAt.push_back(i);
    }
    if (asked.empty())
        return result;
    std::optional<Result<std::vector<bool>>> found;
    if (parent_)
        inParent([&] { found.emplace(parent_->existingObjectIDs(asked)); });
    else
        found.emplace(coordinator_->rowsExist(asked));
    if (!*found)
        return found->error();
    for (std::size_t n = 0; n < askedAt.size() && n < (*found)->size(); ++n)
        result[askedAt[n]] = (**found)[n];
    return result;
}

Result<ManagedObjectPtr> ManagedObjectContext::existingObjectWithID(const ManagedObjectIDPtr& id) {
    ManagedObjectIDPtr local = localID(id);
    auto object = objectRegisteredForID(local);
    if (object && !object->isFault())
        return object;
    auto missing = [&] {
        Dictionary info;
        info.set("NSAffectedObjectsErrorKey", Value(ObjectPtr(local)));
        return makeError(ManagedObjectReferentialIntegrityError,
                         "The object " + local->description() + " does not exist.", std::move(info));
    };
    if (local->isTemporaryID())
        return missing();
    auto row = sourceRow(local);
    if (!row)
        return row.error();
    if (!*row)
        return missing();
    if (!object)
        object = registerObject(local);
    object->setRow(std::move(*row));
    object->state_ = ManagedObject::State::Filled;
    return object;
}

std::vector<ManagedObjectPtr> ManagedObjectContext::registeredObjects() const {
    std::vector<ManagedObjectPtr> out;
    out.reserve(impl_->registered.size());
    impl_->registered.forEach([&](const ManagedObjectPtr& object) { out.push_back(object); });
    return out;
}

std::size_t ManagedObjectContext::registeredObjectCount() const {
    return impl_->registered.size();
}

ManagedObjectPtr ManagedObjectContext::insertNewObjectForEntityForName(std::string_view entityName) {
    const ManagedObjectModel& m = model();
    const EntityDescription* entity = m.entityNamed(entityName);
    if (!entity || entity->isAbstract())
        return nullptr;
    auto& records = impl_->temporaryRecords;
    if (records.size() <= entity->indexInModel())
        records.resize(entity->indexInModel() + 1);
    auto& record = records[entity->indexInModel()];
    if (!record || record->entity.get() != entity)
        record = ManagedObjectID::temporaryRecord(m.share(entity));
    auto object = registerObject(ManagedObjectID::makeTemporary(record));
    object->state_ = ManagedObject::State::Filled;
    object->inserted_ = true;
    const auto& properties = entity->properties();
    auto changes = makeRow<ManagedObject::Changes>(properties.size());
    changes->changed.reset(properties.size());
    for (const PropertyDescription* p : properties) {
        if (!p->isAttribute())
            continue;
        if (const auto& value = static_cast<const AttributeDescription*>(p)->defaultValue()) {
            changes->values[p->index()] = *value;
            changes->changed.set(p->index());
        }
    }
    object->mutableChanges() = std::move(changes);
    impl_->inserted.insertNew(object);
    impl_->pendingInserted.insertNew(object);
    return object;
}

void ManagedObjectContext::deleteObject(const ManagedObjectPtr& object) {
    if (!object)
        return;
    if (object->context_ != this)
        throw ModelException("An object can only be deleted by its own context.");
    if (object->deleted_)
        return;
    object->deleted_ = true;
    if (object->inserted_) {
        impl_->inserted.erase(object.get());
        impl_->pendingInserted.erase(object.get());
    } else {
        impl_->updated.erase(object.get());
        impl_->pendingUpdated.erase(object.get());
        impl_->deleted.insert(object);
        impl_->pendingDeleted.insert(object);
    }
    impl_->toPropagate.push_back(object);
}

void ManagedObjectContext::objectDidChange(ManagedObject& object) {
    // An object already updated since the last save may have been reported
    // by an earlier objects-did-change: it belongs in the next one again.
    if (object.updated_) {
        if (!impl_->pendingUpdated.contains(&object))
            impl_->pendingUpdated.insert(object.shared_from_this());
        return;
    }
    object.updated_ = true;
    auto shared = object.shared_from_this();
    impl_->updated.insert(shared);
    impl_->pendingUpdated.insert(shared);
}

bool ManagedObjectContext::hasChanges() const {
    return !impl_->inserted.empty() || !impl_->updated.empty() || !impl_->deleted.empty() ||
           !impl_->toPropagate.empty();
}

std::vector<ManagedObjectPtr> ManagedObjectContext::insertedObjects() const {
    return impl_->inserted.items();
}
std::vector<ManagedObjectPtr> ManagedObjectContext::updatedObjects() const {
    return impl_->updated.items();
}
std::vector<ManagedObjectPtr> ManagedObjectContext::deletedObjects() const {
    return impl_->deleted.items();
}

// Faults and sources

void ManagedObjectContext::fulfillFault(ManagedObject& object) {
    auto row = sourceRow(object.objectID());
    if (!row)
        throw ModelException("Could not fulfill a fault for " + object.objectID()->description() + ": " +
                                 row.error()->localizedDescription(),
                             InternalInconsistencyException);
    if (!*row)
        throw ModelException(
            "Could not fulfill a fault for " + object.objectID()->description() + ": the object is gone.",
            InternalInconsistencyException);
    object.setRow(std::move(*row));
    object.state_ = ManagedObject::State::Filled;
}

std::vector<ManagedObjectPtr> ManagedObjectContext::loadMembers(const ManagedObject& object,
                                                                const RelationshipDescription& r) {
    auto ids = sourceMembers(object.objectID(), r);
    if (!ids)
        throw ModelException("Could not load the relationship \"" + r.name() + "\" of " +
                                 object.objectID()->description() + ": " +
                                 ids.error()->localizedDescription(),
                             InternalInconsistencyException);
    std::vector<ManagedObjectPtr> members;
    members.reserve(ids->size());
    for (const auto& id : *ids)
        members.push_back(objectWithID(id));
    return members;
}

Result<std::vector<SnapshotPtr>> ManagedObjectContext::sourceFetch(const FetchRequest& request,
                                                                   const EntityDescription& entity) {
    if (!parent_)
        return coordinator_->fetchRows(request, entity);
    std::optional<Result<std::vector<SnapshotPtr>>> result;
    inParent([&] { result.emplace(parent_->snapshotsForChild(request, entity)); });
    return std::move(*result);
}

Result<SnapshotPtr> ManagedObjectContext::sourceRow(const ManagedObjectIDPtr& id) {
    if (!parent_)
        return coordinator_->rowForID(*id);
    std::optional<Result<SnapshotPtr>> result;
    inParent([&] { result.emplace(parent_->snapshotForChild(id)); });
    return std::move(*result);
}

Result<std::vector<ManagedObjectIDPtr>> ManagedObjectContext::sourceMembers(
    const ManagedObjectIDPtr& id, const RelationshipDescription& r) {
    if (!parent_)
        return coordinator_->membersOf(*id, r);
    std::optional<Result<std::vector<ManagedObjectIDPtr>>> result;
    inParent([&] { result.emplace(parent_->membersForChild(id, r)); });
    return std::move(*result);
}

Result<std::vector<SnapshotPtr>> ManagedObjectContext::snapshotsForChild(const FetchRequest& request,
                                                                         const EntityDescription& entity) {
    auto objects = fetchObjects(request);
    if (!objects)
        return objects.error();
    (void)entity;
    std::vector<SnapshotPtr> rows;
    rows.reserve(objects->size());
    // An unchanged object's row, as read, is what a new snapshot would copy
    // (unless it keeps transient values): the child shares it.
    const EntityDescription* plain = nullptr;
    for (const auto& o : *objects) {
        if (!o->changes() && o->snapshot() && o->state_ == ManagedObject::State::Filled) {
            if (o->entity() != plain) {
                const auto& properties = o->entity()->properties();
                const bool transient =
                    std::any_of(properties.begin(), properties.end(),
                                [](const PropertyDescription* p) { return p->isTransient(); });
                plain = transient ? nullptr : o->entity();
            }
            if (plain) {
                rows.push_back(o->snapshot());
                continue;
            }
        }
        rows.push_back(o->makeSnapshot(o->rowVersion()));
    }
    return rows;
}

Result<SnapshotPtr> ManagedObjectContext::snapshotForChild(const ManagedObjectIDPtr& id) {
    auto alias = id->isTemporaryID() ? aliasFor(*id) : nullptr;
    auto object = objectRegisteredForID(alias ? alias : id);
    if (!object)
        return sourceRow(id);
    if (object->deleted_)
        return SnapshotPtr();
    try {
        return object->makeSnapshot(object->rowVersion());
    } catch (const ModelException&) {
        return SnapshotPtr();  // a fault whose row is gone
    }
}

Result<std::vector<ManagedObjectIDPtr>> ManagedObjectContext::membersForChild(
    const ManagedObjectIDPtr& id, const RelationshipDescription& r) {
    auto alias = id->isTemporaryID() ? aliasFor(*id) : nullptr;
    auto object = objectRegisteredForID(alias ? alias : id);
    if (!object)
        return sourceMembers(id, r);
    std::vector<ManagedObjectIDPtr> ids;
    for (const auto& o : object->toMany(r).items)
        ids.push_back(o->objectID());
    return ids;
}

// Fetching

const EntityDescription& ManagedObjectContext::fetchEntity(const FetchRequest& request) const {
    const EntityDescription* entity = model().entityNamed(request.entityName);
    if (!entity)
        throw ModelException("executeFetchRequest: no entity named \"" + request.entityName +
                             "\" in the model.");
    return *entity;
}

bool ManagedObjectContext::matches(const FetchRequest& request, const EntityDescription& entity,
                                   const ManagedObject& object) const {
    bool kind =
        request.includesSubentities ? object.entity()->isKindOfEntity(&entity) : object.entity() == &entity;
    if (!kind)
        return false;
    if (!request.predicate)
        return true;
    return request.predicate->evaluateWithObject(Value(ObjectPtr(object.shared_from_this())));
}

ManagedObjectPtr ManagedObjectContext::objectForSnapshot(const SnapshotPtr& row, bool fill) {
    auto object = objectRegisteredForID(row->objectID);
    // A row only the caller holds (read for this fetch, as the SQLite store
    // reads them) is copied into its new object's own block; the row's block
    // goes with the fetch's list.
    const bool own =
        fill && row.use_count() == 1 && row->values.size() == row->objectID->entity()->properties().size();
    if (!object) {
        noteBorrowed(row->objectID);
        // An object made with room for the row keeps its ID there too.
        object = own ? registerObject(row->objectID, ManagedObject::roomFor(row->values), true)
                     : registerObject(row->objectID);
    }
    if (object->state_ == ManagedObject::State::Fault) {
        if (fill) {
            if (own && object->rowFitsRoom(*row))
                object->copyRowIn(*row);
            else
                object->setRow(row);
            object->state_ = ManagedObject::State::Filled;
        }
    } else if (!object->hasChanges() && object->hasRow() && row->version > object->rowVersion()) {
        // Newer data saved elsewhere: take it, relationships included.
        object->adoptRow(row);
        object->toMany_.clear();
    }
    return object;
}

namespace {

// Whether every sort key is a stored attribute of the fetched entity itself:
// then an object's place in the order depends on its own values only, and
// objects this context has not changed keep the order the store gives them.
bool sortsOnOwnAttributes(const FetchRequest& request, const EntityDescription& entity) {
    for (const SortDescriptor& d : request.sortDescriptors) {
        if (d.keyPathComponents().size() != 1)
            return false;
        const PropertyDescription* p = entity.propertyNamed(d.key());
        if (!p || p->isRelationship() || p->isTransient())
            return false;
    }
    return true;
}

// Whether an unsaved insert, update or deletion is of entity or one of its
// sub-entities.
template <class Set>
bool changesOfEntity(const Set& inserted, const Set& updated, const Set& deleted,
                     const EntityDescription& entity) {
    for (const auto* set : {&inserted, &updated, &deleted}) {
        for (const auto& object : set->items()) {
            if (object->entity()->isKindOfEntity(&entity))
                return true;
        }
    }
    return false;
}

// Orders a dirty context's fetch result by the sort descriptors; with
// ordersByKey, objects equal under them come in primary-key order (as the
// store orders its rows, and as it will once the changes are saved), unsaved
// inserts after the saved objects in the order listed.
void orderFetched(std::vector<ManagedObjectPtr>& objects, const FetchRequest& request) {
    if (objects.size() < 2 || (request.sortDescriptors.empty() && !request.ordersByKey))
        return;
    const auto& descriptors = request.sortDescriptors;
    std::vector<std::vector<Value>> keys(objects.size());
    std::vector<Value> self(objects.size());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        self[i] = Value(ObjectPtr(objects[i]));
        keys[i].reserve(descriptors.size());
        for (const auto& d : descriptors)
            keys[i].push_back(valueForKeyPath(self[i], d.keyPathComponents()));
    }
    std::vector<std::size_t> order(objects.size());
    std::iota(order.begin(), order.end(), 0);
    const bool byKey = request.ordersByKey;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        for (std::size_t d = 0; d < descriptors.size(); ++d) {
            int c = descriptors[d].compareValues(keys[x][d], keys[y][d]);
            if (c)
                return c < 0;
        }
        if (!byKey)
            return false;
        const ManagedObjectID& a = *objects[x]->objectID();
        const ManagedObjectID& b = *objects[y]->objectID();
        if (a.isTemporaryID() || b.isTemporaryID())
            return !a.isTemporaryID() && b.isTemporaryID();
        return a.primaryKey() < b.primaryKey();
    });
    std::vector<ManagedObjectPtr> sorted;
    sorted.reserve(objects.size());
    for (std::size_t i : order)
        sorted.push_back(std::move(objects[i]));
    objects = std::move(sorted);
}

}  // namespace

Result<std::vector<ManagedObjectPtr>> ManagedObjectContext::fetchObjects(const FetchRequest& request) {
    const EntityDescription& entity = fetchEntity(request);
    processPendingChanges();
    // With unsaved changes the store's window would count rows this context
    // has deleted or changed: filter those, add the unsaved inserts and the
    // changed objects that match now, then order and window here. Changes
    // none of which is of the fetched entity (or a sub-entity) leave the
    // source's answer as it is when the order is on the entity's own
    // attributes: the rows are of objects this context has not changed,
    // which the pass below takes as read, in the order read, and no object
    // is added; the context's changes are then not scanned per fetch.
    // Rows of several stores come store by store: order and window them here.
    const bool severalStores = !parent_ && coordinator_->persistentStoreCount() > 1;
    const bool dirty =
        hasChanges() && (severalStores || !sortsOnOwnAttributes(request, entity) ||
                         changesOfEntity(impl_->inserted, impl_->updated, impl_->deleted, entity));
    const bool inMemoryOrder = dirty || severalStores;
    FetchRequest storeRequest = request;
    if (inMemoryOrder) {
        storeRequest.fetchLimit = 0;
        storeRequest.fetchOffset = 0;
    }
    // A dirty context asks the store (or its parent, which answers in the
    // same order) for a bounded window: offset + limit rows, plus one per
    // object of the entity this context has changed or deleted. Objects it
    // has not changed keep their order, and at most that many rows of the
    // store's window are changed ones, so the window holds every unchanged
    // object the answer can contain; every changed object is considered from
    // this context's own sets below.
    if (dirty && !severalStores && request.fetchLimit && sortsOnOwnAttributes(request, entity)) {
        std::size_t changed = 0;
        for (const auto* set : {&impl_->updated, &impl_->deleted}) {
            for (const auto& object : set->items())
                changed += object->entity()->isKindOfEntity(&entity) ? 1 : 0;
        }
        storeRequest.fetchLimit = request.fetchOffset + request.fetchLimit + changed;
    }
    auto rows = sourceFetch(storeRequest, entity);
    if (!rows)
        return rows.error();
    std::vector<ManagedObjectPtr> objects;
    objects.reserve(rows->size());
    std::unordered_set<const ManagedObject*> seen;
    impl_->registered.expectInserts(rows->size());
    struct ExpectationEnd {
        detail::Registry& registry;
        ~ExpectationEnd() { registry.expectInserts(0); }
    } expectationEnd{impl_->registered};
    for (const auto& row : *rows) {
        auto object = objectForSnapshot(row, request.includesPropertyValues);
        if (dirty && (object->deleted_ || (object->updated_ && !matches(request, entity, *object))))
            continue;
        if (dirty)
            seen.insert(object.get());
        objects.push_back(std::move(object));
    }
    if (!inMemoryOrder)
        return objects;
    // Unsaved inserts and changes that now match.
    for (const auto* set : {&impl_->inserted, &impl_->updated}) {
        for (const auto& object : set->items()) {
            if (!seen.count(object.get()) && !object->deleted_ && matches(request, entity, *object))
                objects.push_back(object);
        }
    }
    if (dirty) {
        orderFetched(objects, request);
    } else {
        std::vector<Value> values;
        values.reserve(objects.size());
        for (auto& o : objects)
            values.push_back(Value(ObjectPtr(o)));
        sortObjects(values, request.sortDescriptors);
        for (std::size_t i = 0; i < values.size(); ++i)
            objects[i] = ManagedObject::fromValue(values[i]);
    }
    std::size_t end = request.fetchLimit ? request.fetchOffset + request.fetchLimit : objects.size();
    std::vector<ManagedObjectPtr> windowed;
    for (std::size_t i = request.fetchOffset; i < objects.size() && i < end; ++i)
        windowed.push_back(std::move(objects[i]));
    return windowed;
}

Result<std::vector<ManagedObjectPtr>> ManagedObjectContext::executeFetchRequest(const FetchRequest& request) {
    auto objects = fetchObjects(request);
    if (!objects || request.relationshipKeyPathsForPrefetching.empty())
        return objects;
    const EntityDescription& entity = fetchEntity(request);
    for (const auto& keyPath : request.relationshipKeyPathsForPrefetching) {
        if (auto error = prefetch(*objects, entity, keyPath))
            return error;
    }
    return objects;
}

namespace {

// The relationship `name` of entity, or else of its first sub-entity that
// has one.
const RelationshipDescription* relationshipInFamily(const EntityDescription& entity,
                                                    const std::string& name) {
    for (const EntityDescription* e : entity.selfAndDescendants()) {
        auto found = e->relationshipsByName().find(name);
        if (found != e->relationshipsByName().end())
            return found->second;
    }
    return nullptr;
}

// The object's own relationship `name`, when it is `r`.
bool hasRelationship(const ManagedObject& o, const RelationshipDescription& r) {
    auto found = o.entity()->relationshipsByName().find(r.name());
    return found != o.entity()->relationshipsByName().end() && found->second == &r;
}

}  // namespace

ErrorPtr ManagedObjectContext::prefetch(const std::vector<ManagedObjectPtr>& objects,
                                        const EntityDescription& entity, const std::string& keyPath) {
    std::vector<ManagedObjectPtr> level = objects;
    const EntityDescription* levelEntity = &entity;
    for (const std::string& name : splitKeyPath(keyPath)) {
        const RelationshipDescription* r = relationshipInFamily(*levelEntity, name);
        if (!r)
            throw ModelException("The key path \"" + keyPath + "\" to prefetch: " + levelEntity->name() +
                                 " has no relationship \"" + name + "\".");
        const EntityDescription& destination = *r->destinationEntity();
        std::vector<ManagedObjectPtr> next;
        std::vector<ManagedObject*> owners;  // to-many owners whose members are read here
        Array wanted;                        // IDs of the rows to read
        std::unordered_set<ManagedObjectIDPtr, ObjectIDHash, ObjectIDEqual> asked;
        for (const auto& o : level) {
            if (o->isInvalidated() || !hasRelationship(*o, *r))
                continue;
            if (!r->isToMany()) {
                // Only loaded objects know their destination without a read.
                if (o->isFault())
                    continue;
                Value v = o->slotValue(r->index());
                if (auto d = ManagedObject::fromValue(v)) {
                    next.push_back(std::move(d));
                } else if (auto id = ManagedObjectID::fromValue(v)) {
                    auto d = objectRegisteredForID(id);
                    if (d && !d->isFault())
                        next.push_back(std::move(d));
                    else if (asked.insert(id).second)
                        wanted.push_back(Value(ObjectPtr(id)));
                }
                continue;
            }
            const auto& slots = o->toMany_;
            if (slots.size() > r->toManyIndex() && slots[r->toManyIndex()] &&
                slots[r->toManyIndex()]->complete) {
                const auto& items = slots[r->toManyIndex()]->items;
                next.insert(next.end(), items.begin(), items.end());
                continue;
            }
            // Members are read through their to-one inverse, all owners at
            // once; the rest keep loading when first used.
            const RelationshipDescription* inverse = r->inverseRelationship();
            if (o->isFault() || o->inserted_ || r->isOrdered() || r->isTransient() || !inverse ||
                inverse->isToMany() || inverse->isTransient())
                continue;
            owners.push_back(o.get());
            wanted.push_back(Value(ObjectPtr(o->objectID())));
        }
        if (!wanted.empty()) {
            FetchRequest request(destination.name());
            request.predicate = r->isToMany() ? Predicate::in(r->inverseRelationship()->name(), Value(wanted))
                                              : Predicate::selfIn(Value(wanted));
            auto rows = sourceFetch(request, destination);
            if (!rows)
                return rows.error();
            std::unordered_map<ManagedObjectIDPtr, std::vector<ManagedObjectPtr>, ObjectIDHash, ObjectIDEqual>
                byOwner;
            for (const auto& row : *rows) {
                auto d = objectForSnapshot(row, true);
                if (r->isToMany()) {
                    Value owner = row->values[r->inverseRelationship()->index()];
                    byOwner[ManagedObjectID::fromValue(owner)].push_back(d);
                }
                next.push_back(std::move(d));
            }
            for (ManagedObject* o : owners) {
                if (o->toMany_.size() < o->entity()->toManyCount())
                    o->toMany_.resize(o->entity()->toManyCount());
                auto& slot = o->toMany_[r->toManyIndex()];
                auto found = byOwner.find(o->objectID());
                if (slot) {
                    // Changed before it was loaded: the changes go over the stored members.
                    slot->completeWith(found != byOwner.end() ? std::move(found->second)
                                                              : std::vector<ManagedObjectPtr>());
                    next.insert(next.end(), slot->items.begin(), slot->items.end());
                    continue;
                }
                auto loaded = std::make_unique<ManagedObject::ToMany>();
                if (found != byOwner.end())
                    loaded->items = std::move(found->second);
                loaded->members.reserve(loaded->items.size());
                for (const auto& m : loaded->items)
                    loaded->members.insert(m.get());
                slot = std::move(loaded);
            }
        }
        // Each object once, for the next step of the path.
        std::unordered_set<const ManagedObject*> seen;
        std::erase_if(next, [&](const ManagedObjectPtr& d) { return !seen.insert(d.get()).second; });
        level = std::move(next);
        levelEntity = &destination;
    }
    return nullptr;
}

Result<std::vector<ManagedObjectIDPtr>> ManagedObjectContext::fetchObjectIDs(const FetchRequest& request) {
    auto objects = fetchObjects(request);
    if (!objects)
        return objects.error();
    std::vector<ManagedObjectIDPtr> ids;
    ids.reserve(objects->size());
    for (const auto& o : *objects)
        ids.push_back(o->objectID());
    return ids;
}

Result<std::size_t> ManagedObjectContext::countForFetchRequest(const FetchRequest& request) {
    // Without unsaved changes to lay over the stored rows, the stores count
    // by themselves (the SQLite store without loading a row).
    // Changes none of which is of the fetched entity (or a sub-entity)
    // leave the count as stored (see fetchObjects).
    const EntityDescription& entity = fetchEntity(request);
    processPendingChanges();
    if (!parent_ &&
        (!hasChanges() || !changesOfEntity(impl_->inserted, impl_->updated, impl_->deleted, entity)))
        return coordinator_->countRows(request, entity);
    auto objects = fetchObjects(request);
    if (!objects)
        return objects.error();
    return objects->size();
}

std::optional<Result<std::vector<Dictionary>>> ManagedObjectContext::storeDictionaries(
    const FetchRequest& request, const EntityDescription& entity) {
    // Registered objects hold nothing the store does not: a root context
    // asked for attributes, to-ones and IDs, whose unsaved changes (if any)
    // touch no object of the fetched entity or its sub-entities. A change on
    // the other side of a relationship marks this side's object changed too
    // (inverses are kept), and orders on the entity's own attributes cannot
    // move for changes elsewhere.
    if (parent_)
        return std::nullopt;
    if (hasChanges()) {
        if (!sortsOnOwnAttributes(request, entity))
            return std::nullopt;
        for (const auto* set : {&impl_->inserted, &impl_->updated, &impl_->deleted}) {
            for (const auto& object : set->items()) {
                if (object->entity()->isKindOfEntity(&entity))
                    return std::nullopt;
            }
        }
    }
    std::vector<std::string> names;
    for (const auto& [name, keyPath] : request.propertiesToFetch) {
        if (keyPath == "objectID")
            continue;
        const PropertyDescription* p = entity.propertyNamed(keyPath);
        if (!p || (p->isRelationship() && static_cast<const RelationshipDescription*>(p)->isToMany()))
            return std::nullopt;  // key paths and to-manys read objects
        names.push_back(keyPath);
    }
    const bool allAttributes = request.propertiesToFetch.empty();
    if (allAttributes) {
        for (const EntityDescription* e : entity.selfAndDescendants()) {
            for (const auto& [name, attribute] : e->attributesByName())
                names.push_back(name);
        }
    }
    auto rows = coordinator_->fetchRowsReading(request, entity, names);
    if (!rows)
        return Result<std::vector<Dictionary>>(rows.error());
    std::vector<Dictionary> out;
    out.reserve(rows->size());
    for (const auto& row : *rows) {
        const EntityDescription* rowEntity = row->objectID->entity();
        Dictionary d;
        d.reserve((allAttributes ? rowEntity->attributesByName().size() : 0) +
                  request.propertiesToFetch.size());
        auto add = [&](const std::string& key, const PropertyDescription& p) {
            const Value& v = row->values[p.index()];
            if (!v.isNull() && !p.isTransient())
                d.set(key, v);
        };
        if (allAttributes) {
            for (const auto& [name, attribute] : rowEntity->attributesByName())
                add(name, *attribute);
        }
        for (const auto& [key, keyPath] : request.propertiesToFetch) {
            if (keyPath == "objectID")
                d.set(key, Value(ObjectPtr(row->objectID)));
            else
                add(key, *rowEntity->propertyNamed(keyPath));
        }
        out.push_back(std::move(d));
    }
    return Result<std::vector<Dictionary>>(std::move(out));
}

Result<std::vector<Dictionary>> ManagedObjectContext::fetchDictionaries(const FetchRequest& request) {
    {
        const EntityDescription& entity = fetchEntity(request);
        processPendingChanges();
        if (auto direct = storeDictionaries(request, entity))
            return std::move(*direct);
    }
    auto objects = fetchObjects(request);
    if (!objects)
        return objects.error();
    std::vector<Dictionary> rows;
    rows.reserve(objects->size());
    for (const auto& o : *objects) {
        Dictionary row;
        auto add = [&](const std::string& name, const std::string& keyPath) {
            Value v = keyPath == "objectID" ? Value(ObjectPtr(o->objectID()))
                                            : valueForKeyPath(Value(ObjectPtr(o)), keyPath);
            if (auto related = ManagedObject::fromValue(v))
                v = Value(ObjectPtr(related->objectID()));
            if (!v.isNull())
                row.set(name, std::move(v));
        };
        if (request.propertiesToFetch.empty()) {
            for (const auto& [name, attribute] : o->entity()->attributesByName())
                add(name, name);
        }
        for (const auto& [name, keyPath] : request.propertiesToFetch)
            add(name, keyPath);
        rows.push_back(std::move(row));
    }
    return rows;
}

Result<Array> ManagedObjectContext::executeFetchRequestValues(const FetchRequest& request) {
    Array out;
    switch (request.resultType) {
        case FetchRequestResultType::Count: {
            auto count = countForFetchRequest(request);
            if (!count)
                return count.error();
            out.push_back(Value(static_cast<uint64_t>(*count)));
            return out;
        }
        case FetchRequestResultType::Dictionary: {
            auto rows = fetchDictionaries(request);
            if (!rows)
                return rows.error();
            for (auto& row : *rows)
                out.push_back(Value(std::move(row)));
            return out;
        }
        case FetchRequestResultType::ManagedObjectID: {
            auto ids = fetchObjectIDs(request);
            if (!ids)
                return ids.error();
            for (auto& id : *ids)
                out.push_back(Value(ObjectPtr(id)));
            return out;
        }
        case FetchRequestResultType::ManagedObject:
            break;
    }
    auto objects = executeFetchRequest(request);
    if (!objects)
        return objects.error();
    for (auto& o : *objects)
        out.push_back(Value(ObjectPtr(o)));
    return out;
}

// Permanent IDs

void ManagedObjectContext::reKey(ManagedObject& object, ManagedObjectIDPtr id) {
    auto shared = object.shared_from_this();
    ManagedObjectIDPtr old = object.objectID();
    impl_->registered.erase(*old, &object);
    object.setID(std::move(id));
    comparisonIdentitiesChanged();
    // A temporary ID nobody else holds can never be looked up again: no alias.
    if (old->isTemporaryID() && !object.objectID()->isTemporaryID() && old.use_count() > 1)
        recordAlias(old, object.objectID());
    impl_->registered.insert(std::move(shared));
}

void ManagedObjectContext::recordAlias(const ManagedObjectIDPtr& temporary,
                                       const ManagedObjectIDPtr& permanent) {
    auto& aliases = impl_->aliases;
    aliases[temporary->primaryKey()] = Impl::Alias{temporary, permanent};
    // Sweeping when the map has doubled keeps it small at O(1) amortised cost:
    // most temporary IDs die with the re-keying that made the alias.
    if (aliases.size() > 2 * impl_->aliasesAfterSweep + 64) {
        std::erase_if(aliases, [](const auto& entry) { return entry.second.temporary.expired(); });
        impl_->aliasesAfterSweep = aliases.size();
    }
}

ManagedObjectIDPtr ManagedObjectContext::aliasFor(const ManagedObjectID& temporary) const {
    auto it = impl_->aliases.find(temporary.primaryKey());
    return it == impl_->aliases.end() ? nullptr : it->second.permanent;
}

void ManagedObjectContext::noteBorrowed(const ManagedObjectIDPtr& id) {
    if (parent_ && id->isTemporaryID())
        impl_->borrowedTemporaries.push_back(id);
}

void ManagedObjectContext::inParent(const std::function<void()>& work) {
    std::vector<ManagedObjectIDPtr> borrowed;
    for (const auto& id : impl_->borrowedTemporaries) {
        auto object = objectRegisteredForID(id);
        if (object && !object->inserted_)
            borrowed.push_back(id);
    }
    std::vector<ManagedObjectIDPtr> permanent;
    parent_->performBlockAndWait([&] {
        if (!borrowed.empty())
            permanent = parent_->permanentIDsForChild(borrowed);
        work();
    });
    impl_->borrowedTemporaries.clear();
    for (std::size_t i = 0; i < borrowed.size(); ++i) {
        auto object = objectRegisteredForID(borrowed[i]);
        if (!object)
            continue;
        if (!permanent[i])
            impl_->borrowedTemporaries.push_back(borrowed[i]);
        else if (!objectRegisteredForID(permanent[i]))
            reKey(*object, permanent[i]);
        // Otherwise the row is registered here under both IDs; the parent
        // still maps the temporary one when this context saves.
    }
}

std::vector<ManagedObjectIDPtr> ManagedObjectContext::permanentIDsForChild(
    const std::vector<ManagedObjectIDPtr>& ids) {
    if (parent_ && !impl_->borrowedTemporaries.empty())
        inParent([] {});  // our own borrowed objects first, for grandchildren
    std::vector<ManagedObjectIDPtr> permanent;
    permanent.reserve(ids.size());
    for (const auto& id : ids)
        permanent.push_back(aliasFor(*id));
    return permanent;
}

ErrorPtr ManagedObjectContext::obtainPermanentIDsForObjects(const std::vector<ManagedObjectPtr>& objects) {
    std::vector<ManagedObject*> own;
    own.reserve(objects.size());
    for (const auto& o : objects) {
        if (!o || o->context_ != this)
            throw ModelException("obtainPermanentIDsForObjects: an object of another context.");
        own.push_back(o.get());
    }
    return obtainPermanentIDs(std::move(own));
}

ErrorPtr ManagedObjectContext::obtainPermanentIDs(std::vector<ManagedObject*> objects) {
    std::erase_if(objects, [](const ManagedObject* o) { return !o->hasTemporaryID(); });
    if (objects.empty())
        return nullptr;
    // Entity by entity, in the order of the entities' addresses, each
    // entity's objects in the order given; a save's inserts are mostly of
    // one entity, already in that order.
    std::vector<const EntityDescription*> entities;
    for (const ManagedObject* o : objects) {
        if (std::find(entities.begin(), entities.end(), o->entity()) == entities.end()) {
            entities.push_back(o->entity());
            if (entities.size() > 8)
                break;  // many entities: sorted below
        }
    }
    if (entities.size() > 8) {
        std::stable_sort(objects.begin(), objects.end(), [](const ManagedObject* a, const ManagedObject* b) {
            return std::less<const EntityDescription*>()(a->entity(), b->entity());
        });
    } else if (entities.size() > 1) {
        // A few entities (a save's usual mix): one pass per entity.
        std::sort(entities.begin(), entities.end(), std::less<const EntityDescription*>());
        std::vector<ManagedObject*> grouped;
        grouped.reserve(objects.size());
        for (const EntityDescription* entity : entities) {
            for (ManagedObject* o : objects) {
                if (o->entity() == entity)
                    grouped.push_back(o);
            }
        }
        objects = std::move(grouped);
    }
    // Every entity's keys in one reservation (one commit for a store that
    // writes it); keys of a save that fails later are lost, never reused.
    std::vector<PersistentStore::KeyRequest> requests;
    for (std::size_t i = 0; i < objects.size();) {
        const EntityDescription* entity = objects[i]->entity();
        std::size_t end = i + 1;
        while (end < objects.size() && objects[end]->entity() == entity)
            ++end;
        requests.emplace_back(entity, end - i);
        i = end;
    }
    auto reserved = persistentStoreCoordinator()->reserveNewObjectKeys(requests);
    if (!reserved)
        return reserved.error();
    const auto& store = reserved->first;
    std::size_t first = 0;
    for (std::size_t request = 0; request < requests.size(); ++request) {
        const EntityDescription* entity = requests[request].first;
        const std::vector<int64_t>& keys = reserved->second[request];
        for (std::size_t i = 0; i < requests[request].second; ++i) {
            ManagedObject& o = *objects[first + i];
            const int64_t key = keys[i];
            // (A temporary ID is never kept in the room: id_ holds it.)
            if (o.id_.use_count() != 1) {
                reKey(o, store->objectIDFor(entity, key));
                continue;
            }
            // Nobody else holds the temporary ID, so nobody can look it up
            // again: it becomes the permanent one in place, with no new ID
            // and no alias.
            auto shared = o.shared_from_this();
            impl_->registered.erase(*o.id_, &o);
            const_cast<ManagedObjectID&>(*o.id_).becomePermanent(store, key);
            impl_->registered.insert(std::move(shared));
        }
        first += requests[request].second;
        comparisonIdentitiesChanged();
    }
    return nullptr;
}

// Forgetting

void ManagedObjectContext::unregister(ManagedObject& object) {
    impl_->registered.erase(*object.idRef(), &object);
    object.context_ = nullptr;
    object.state_ = ManagedObject::State::Invalidated;
}

namespace {
// The most objects whose list a reset keeps for the next (1 MB).
constexpr std::size_t kKeptResetList = 65536;
}  // namespace

void ManagedObjectContext::invalidateAll() {
    // Clearing breaks the reference cycles between related objects. Objects
    // go in address order: objects made one after another lie side by side,
    // and the allocator frees them far faster in that order than in the
    // registry's hash order (a million inserted objects: about 2 s less).
    // The list is moved out while in use, should an object's release reset
    // this context again.
    std::vector<ManagedObjectPtr> objects = std::move(impl_->takenAtReset);
    objects.clear();
    impl_->registered.takeAll(objects);
    std::sort(objects.begin(), objects.end(),
              [](const ManagedObjectPtr& a, const ManagedObjectPtr& b) { return a.get() < b.get(); });
    for (auto& object : objects) {
        object->clearState();
        object->context_ = nullptr;
        object->state_ = ManagedObject::State::Invalidated;
        object.reset();
    }
    // A list far larger than a batch (a reset after a large load) is not kept.
    if (objects.capacity() <= kKeptResetList) {
        objects.clear();
        impl_->takenAtReset = std::move(objects);
    }
    for (auto* set : {&impl_->inserted, &impl_->updated, &impl_->deleted, &impl_->pendingInserted,
                      &impl_->pendingUpdated, &impl_->pendingDeleted})
        set->clear();
    impl_->toPropagate.clear();
    impl_->aliases.clear();
    impl_->aliasesAfterSweep = 0;
    impl_->borrowedTemporaries.clear();
    impl_->linksByID.clear();
    impl_->linkedOwners.clear();
}

void ManagedObjectContext::reset() {
    invalidateAll();
}

void ManagedObjectContext::rollback() {
    auto inserted = impl_->inserted.items();
    for (auto* set : {&impl_->updated, &impl_->deleted}) {
        for (const auto& object : set->items()) {
            object->clearState();
            object->state_ = ManagedObject::State::Fault;
            object->updated_ = object->deleted_ = false;
        }
    }
    // Objects deleted right after being inserted are still registered.
    for (const auto& object : impl_->toPropagate) {
        if (object->inserted_)
            inserted.push_back(object);
    }
    for (const auto& object : inserted) {
        object->clearState();
        unregister(*object);
    }
    for (auto* set : {&impl_->inserted, &impl_->updated, &impl_->deleted, &impl_->pendingInserted,
                      &impl_->pendingUpdated, &impl_->pendingDeleted})
        set->clear();
    impl_->toPropagate.clear();
    impl_->linksByID.clear();
}

void ManagedObjectContext::refreshObject(const ManagedObjectPtr& object, bool mergeChanges) {
    if (!object || object->context_ != this || object->inserted_)
        return;
    if (object->deleted_) {
        // The deletion stands; it only needs the row's current version, or
        // saving it would report a conflict with the change merged here.
        if (mergeChanges && object->hasRow()) {
            if (auto row = sourceRow(object->objectID()); row && *row)
                object->adoptRow(*row);
        }
        return;
    }
    if (!mergeChanges) {
        object->clearState();
        object->state_ = ManagedObject::State::Fault;
        if (object->updated_) {
            object->updated_ = false;
            impl_->updated.erase(object.get());
            impl_->pendingUpdated.erase(object.get());
        }
        return;
    }
    if (object->isFault())
        return;
    auto row = sourceRow(object->objectID());
    if (!row || !*row)
        return;
    if (const auto& changes = object->changes()) {
        for (const PropertyDescription* p : object->entity()->properties()) {
            std::size_t i = p->index();
            if (!changes->changed[i] && !p->isTransient())
                changes->values[i] = (*row)->values[i];
        }
    }
    object->adoptRow(*row);
    for (auto& tm : object->toMany_) {
        if (tm && !tm->changed)
            tm.reset();
    }
}

}  // namespace plat::coredata
