#include "sync/mesh/SYNSaveMonitor.h"

#include <algorithm>
#include <map>

#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUID.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"
#include "sync/eventstore/SYNRevision.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"

using namespace plat::coredata;

namespace {

std::string standardized(const std::string& path) {
    return plat::URL::fileURLWithPath(path).URLByStandardizingPath().path();
}

SYNManagedObjects objectsIn(const plat::Dictionary& info, const char* key) {
    SYNManagedObjects objects;
    auto found = info.find(key);
    if (!found || !found->asSet()) {
        return objects;
    }
    objects.reserve(found->asSet()->size());
    for (const auto& value : *found->asSet()) {
        if (auto object = value.asObjectOf<ManagedObject>()) {
            objects.push_back(std::const_pointer_cast<ManagedObject>(object));
        }
    }
    return objects;
}

bool isTrue(const plat::Dictionary& info, const char* key) {
    auto found = info.find(key);
    return found && found->boolValue();
}

// Object IDs as entity name -> primary keys: compact for large saves, and
// independent of the store's URI form.
// The entities come in the order of their names. A save names objects of a
// few entities: they are found by a scan, not a tree of their names.
// `empty` is the value an empty list takes: one empty dictionary shared by
// every empty list of an intent (a property list holds each occurrence of a
// dictionary alike, shared or not).
plat::Value encodedIDs(const std::vector<ManagedObjectIDPtr>& ids, const plat::Value& empty) {
    if (ids.empty()) {
        return empty;
    }
    // Most lists (a folder's members added or removed) name objects of one
    // entity: their keys go into one array, with no list of entities to
    // search and sort.
    const EntityDescription* only = nullptr;
    for (const auto& id : ids) {
        if (!id || id->isTemporaryID() || !id->entity()) {
            continue;
        }
        if (!only) {
            only = id->entity();
        } else if (id->entity() != only && id->entity()->name() != only->name()) {
            only = nullptr;
            break;
        }
    }
    if (only) {
        plat::Array list;
        list.reserve(ids.size());
        for (const auto& id : ids) {
            if (id && !id->isTemporaryID() && id->entity()) {
                list.push_back(plat::Value(id->primaryKey()));
            }
        }
        plat::Dictionary::Entries entries;
        entries.reserve(1);
        entries.emplace_back(only->name(), plat::Value(std::move(list)));
        return plat::Value(
            plat::Dictionary::fromEntries(std::move(entries), plat::Dictionary::KeysAre::Distinct));
    }
    std::vector<std::pair<const std::string*, plat::Array>> keys;
    for (const auto& id : ids) {
        if (!id || id->isTemporaryID() || !id->entity()) {
            continue;
        }
        const std::string& entity = id->entity()->name();
        auto it = std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return *k.first == entity; });
        if (it == keys.end()) {
            it = keys.emplace(keys.end(), &entity, plat::Array());
            it->second.reserve(ids.size());
        }
        it->second.push_back(plat::Value(id->primaryKey()));
    }
    std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return *a.first < *b.first; });
    plat::Dictionary::Entries entries;
    entries.reserve(keys.size());
    for (auto& [entity, list] : keys) {
        entries.emplace_back(*entity, plat::Value(std::move(list)));
    }
    return plat::Value(
        plat::Dictionary::fromEntries(std::move(entries), plat::Dictionary::KeysAre::Distinct));
}

// A dictionary of entries whose keys differ, made from the entries the
// caller filled (each value moved in: a braced list would copy every value,
// arrays and dictionaries whole; no second list to copy them from).
plat::Value distinctDictionary(plat::Dictionary::Entries entries) {
    return plat::Value(
        plat::Dictionary::fromEntries(std::move(entries), plat::Dictionary::KeysAre::Distinct));
}

std::vector<ManagedObjectIDPtr> decodedIDs(const plat::Value* encoded, PersistentStore& store) {
    std::vector<ManagedObjectIDPtr> ids;
    if (!encoded || !encoded->asDictionary() || !store.model()) {
        return ids;
    }
    for (const auto& [entityName, keys] : *encoded->asDictionary()) {
        const auto* entity = store.model()->entityNamed(entityName);
        if (!entity || !keys.asArray()) {
            continue;
        }
        for (const auto& key : *keys.asArray()) {
            if (key.isNumber()) {
                ids.push_back(store.objectIDFor(entity, key.longLongValue()));
            }
        }
    }
    return ids;
}

std::optional<std::string> stringIn(const plat::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    return found && found->asString() ? std::optional<std::string>(*found->asString()) : std::nullopt;
}

}  // namespace

std::shared_ptr<SYNSaveMonitor> SYNSaveMonitor::create(std::string storePath,
                                                       std::shared_ptr<SYNEventStore> eventStore,
                                                       std::weak_ptr<SYNPersistentStoreMesh> mesh) {
    std::shared_ptr<SYNSaveMonitor> monitor(
        new SYNSaveMonitor(std::move(storePath), std::move(eventStore), std::move(mesh)));
    std::weak_ptr<SYNSaveMonitor> weak = monitor;
    auto& center = plat::NotificationCenter::defaultCenter();
    std::vector<plat::ObserverToken> observers;
    observers.push_back(center.addObserverForName(
        ManagedObjectContextWillSaveNotification, nullptr, [weak](const plat::Notification& note) {
            auto self = weak.lock();
            auto context = std::static_pointer_cast<const ManagedObjectContext>(note.object);
            if (self && context) {
                self->contextWillSave(*context);
            }
        }));
    observers.push_back(center.addObserverForName(
        ManagedObjectContextDidSaveNotification, nullptr, [weak](const plat::Notification& note) {
            auto self = weak.lock();
            auto context = std::static_pointer_cast<const ManagedObjectContext>(note.object);
            if (self && context) {
                self->contextDidSave(*context, note.userInfo);
            }
        }));
    plat::MutexLock lock(monitor->mutex_);
    monitor->observers_ = std::move(observers);
    return monitor;
}

SYNSaveMonitor::SYNSaveMonitor(std::string storePath, std::shared_ptr<SYNEventStore> eventStore,
                               std::weak_ptr<SYNPersistentStoreMesh> mesh)
    : storePath_(std::move(storePath)),
      standardizedStorePath_(standardized(storePath_)),
      eventStoreModel_(SYNEventStoreModel().get()),
      eventStore_(std::move(eventStore)),
      mesh_(std::move(mesh)) {}

SYNSaveMonitor::~SYNSaveMonitor() {
    stopMonitoring();
}

void SYNSaveMonitor::stopMonitoring() {
    std::vector<plat::ObserverToken> observers;
    {
        plat::MutexLock lock(mutex_);
        observers.swap(observers_);
    }
    for (const auto& token : observers) {
        plat::NotificationCenter::defaultCenter().removeObserver(token);
    }
}

std::shared_ptr<PersistentStore> SYNSaveMonitor::monitoredStore(const ManagedObjectContext& context) const {
    if (context.parentContext()) {
        return nullptr;
    }
    auto coordinator = context.persistentStoreCoordinator();
    if (!coordinator) {
        return nullptr;
    }
    for (const auto& store : coordinator->persistentStores()) {
        if (isMonitoredFile(store)) {
            return store;
        }
    }
    return nullptr;
}

// A store's URL is fixed when it is made: whether it names the monitored file
// is found once per store (standardizing walks the path's symbolic links), not
// at every save of every context.
bool SYNSaveMonitor::isMonitoredFile(const std::shared_ptr<PersistentStore>& store) const {
    const std::weak_ptr<PersistentStore> key = store;
    {
        plat::MutexLock lock(storeMatchesMutex_);
        auto known = storeMatches_.find(key);
        if (known != storeMatches_.end()) {
            return known->second;
        }
    }
    const bool matches =
        store->URL() && store->URL()->URLByStandardizingPath().path() == standardizedStorePath_;
    plat::MutexLock lock(storeMatchesMutex_);
    std::erase_if(storeMatches_, [](const auto& entry) { return entry.first.expired(); });
    storeMatches_.emplace(key, matches);
    return matches;
}

// Every context's saves come here, the event store's own and those of
// other stores included: the checks that turn most of them away come first
// (the event stores' model, the integrator's flag, then the stores), the
// event store's state last.
std::shared_ptr<PersistentStore> SYNSaveMonitor::monitoredStoreOfSave(
    const ManagedObjectContext& context) const {
    // Most saves of a round are event stores' (the save event, the import,
    // the merge event's two saves), of every mesh of the process. Their
    // coordinators are made with the event store's shared model, which no
    // application store is opened with (a store file opens only with the
    // model it was written with): they are turned away before the context's
    // user info and its coordinator's stores are copied.
    if (auto coordinator = context.persistentStoreCoordinator();
        coordinator && coordinator->managedObjectModel().get() == eventStoreModel_) {
        return nullptr;
    }
    if (isTrue(context.userInfo(), SYNBelongsToEventIntegratorKey)) {
        return nullptr;
    }
    auto store = monitoredStore(context);
    return store && eventStore_->containsEventData() ? store : nullptr;
}

SYNManagedObjects SYNSaveMonitor::monitoredObjects(const std::shared_ptr<PersistentStore>& store,
                                                   const SYNManagedObjects& objects) const {
    SYNManagedObjects kept;
    // A save names objects of a few entities: whether each is ignored is
    // read once per entity.
    std::vector<std::pair<const EntityDescription*, bool>> ignored;
    for (const auto& object : objects) {
        if (object->objectID()->persistentStore() != store) {
            continue;
        }
        const EntityDescription* entity = object->entity();
        auto known = std::find_if(ignored.begin(), ignored.end(),
                                  [&](const auto& entry) { return entry.first == entity; });
        if (known == ignored.end()) {
            known = ignored.emplace(ignored.end(), entity, isTrue(entity->userInfo(), SYNIgnoredKey));
        }
        if (!known->second) {
            kept.push_back(object);
        }
    }
    return kept;
}

plat::Dictionary SYNSaveMonitor::userInfo(const std::optional<std::string>& token) const {
    auto mesh = mesh_.lock();
    if (!mesh) {
        return {};
    }
    // Entries made in place (a braced list is copied, the box and the key
    // with it); the two keys differ.
    plat::Dictionary::Entries entries;
    entries.reserve(token ? 2 : 1);
    entries.emplace_back(
        SYNPersistentStoreMeshKey,
        plat::Value(plat::BoxedObject<SYNPersistentStoreMesh>::make(mesh, "SYNPersistentStoreMesh")));
    if (token) {
        entries.emplace_back(SYNSaveTokenKey, plat::Value(*token));
    }
    return plat::Dictionary::fromEntries(std::move(entries), plat::Dictionary::KeysAre::Distinct);
}

void SYNSaveMonitor::contextWillSave(const ManagedObjectContext& context) {
    auto store = monitoredStoreOfSave(context);
    if (!store) {
        return;
    }
    auto object = context.shared_from_this();
    plat::NotificationCenter::defaultCenter().postNotificationName(
        SYNMonitoredManagedObjectContextWillSaveNotification, object, userInfo(std::nullopt));
    auto& mutableContext = const_cast<ManagedObjectContext&>(context);
    // Delete rules and inverse relationships apply now rather than inside
    // the save, so that what is recorded below is what the save writes.
    mutableContext.processPendingChanges();
    // Inserted objects belong to a store only once their IDs are permanent:
    // they get them now (the save keeps IDs that are already permanent), so
    // that the intent, and the members added to to-many relationships
    // below, name them.
    std::vector<ManagedObjectPtr> temporaries;
    for (const auto& object : context.insertedObjects()) {
        if (object->objectID()->isTemporaryID()) {
            temporaries.push_back(object);
        }
    }
    const bool permanent = !mutableContext.obtainPermanentIDsForObjects(temporaries);
    if (!permanent) {
        SYN_LOG(1, "Could not obtain permanent IDs to record a save's intent");
    }
    auto updated = context.updatedObjects();
    SYNPropertyChangeValuesByObjectID values;
    if (!updated.empty()) {
        SYN_LOG(3, "Storing pre-save changes from updated objects");
        auto monitored = monitoredObjects(store, updated);
        values.reserve(monitored.size());
        for (const auto& changed : monitored) {
            auto names = changed->changedPropertyNames();
            auto changes =
                SYNPropertyChangeValue::propertyChangesForObject(*changed, eventStore_, names, true, false);
            if (!changes.empty()) {
                values[changed->objectID()] = std::move(changes);
            }
        }
    }
    std::string stale;
    {
        plat::MutexLock lock(mutex_);
        auto found = changedValuesByContext_.find(&context);
        if (found != changedValuesByContext_.end()) {
            // The context's last save failed (no did-save came): it wrote nothing.
            stale = found->second.token;
            changedValuesByContext_.erase(found);
        }
    }
    if (!stale.empty()) {
        // A metadata write that fails is logged by the store.
        (void)eventStore_->deregisterIncompleteMandatoryEventIdentifier(stale);
    }
    GivenIdentifiers given;
    auto token = permanent ? recordIntent(context, store, values, given) : std::string();
    plat::MutexLock lock(mutex_);
    changedValuesByContext_[&context] = PendingSave{std::move(token), std::move(values), std::move(given)};
}

std::string SYNSaveMonitor::recordIntent(const ManagedObjectContext& context,
                                         const std::shared_ptr<PersistentStore>& store,
                                         const SYNPropertyChangeValuesByObjectID& preSave,
                                         GivenIdentifiers& given) {
    if (!store) {
        return {};
    }
    auto inserted = monitoredObjects(store, context.insertedObjects());
    auto deleted = monitoredObjects(store, context.deletedObjects());
    if (inserted.empty() && deleted.empty() && preSave.empty()) {
        return {};
    }
    std::vector<ManagedObjectIDPtr> insertedIDs, deletedIDs;
    for (const auto& o : inserted)
        insertedIDs.push_back(o->objectID());
    for (const auto& o : deleted)
        deletedIDs.push_back(o->objectID());
    plat::Array updates;
    updates.reserve(preSave.size());
    // The objects of a save are of a few entities and change a few
    // properties: each name becomes a value once, shared by every update
    // that names it.
    std::vector<std::pair<const std::string*, plat::Value>> entityNames;
    std::vector<plat::Value> propertyNames;
    // Updates that add or remove no member (most: an item moved names its
    // folder) share one empty dictionary.
    const plat::Value emptyDictionary{plat::Dictionary()};
    for (const auto& [id, changes] : preSave) {
        if (id->isTemporaryID() || !id->entity()) {
            continue;
        }
        const std::string& entity = id->entity()->name();
        auto entityName = std::find_if(entityNames.begin(), entityNames.end(),
                                       [&](const auto& known) { return known.first == &entity; });
        if (entityName == entityNames.end()) {
            entityName = entityNames.emplace(entityNames.end(), &entity, plat::Value(entity));
        }
        plat::Array names;
        names.reserve(changes.size());
        plat::Dictionary::Entries added, removed;
        for (const auto& change : changes) {
            const std::string& property = change.propertyName();
            auto name = std::find_if(propertyNames.begin(), propertyNames.end(),
                                     [&](const plat::Value& known) { return *known.asString() == property; });
            if (name == propertyNames.end()) {
                name = propertyNames.emplace(propertyNames.end(), property);
            }
            names.push_back(*name);
            if (change.type() == SYNPropertyChangeTypeToManyRelationship ||
                change.type() == SYNPropertyChangeTypeOrderedToManyRelationship) {
                added.emplace_back(property, encodedIDs(change.addedObjectIDs(), emptyDictionary));
                removed.emplace_back(property, encodedIDs(change.removedObjectIDs(), emptyDictionary));
            }
        }
        plat::Dictionary::Entries members;
        members.reserve(5);
        members.emplace_back("entity", entityName->second);
        members.emplace_back("key", plat::Value(id->primaryKey()));
        members.emplace_back("names", plat::Value(std::move(names)));
        // As set() member by member would make them (a property named
        // twice keeps its last members).
        members.emplace_back("added", added.empty()
                                          ? emptyDictionary
                                          : plat::Value(plat::Dictionary::fromEntries(std::move(added))));
        members.emplace_back("removed", removed.empty()
                                            ? emptyDictionary
                                            : plat::Value(plat::Dictionary::fromEntries(std::move(removed))));
        updates.push_back(distinctDictionary(std::move(members)));
    }
    // The global identifiers the application gives the inserted objects go
    // with the intent: a start records an interrupted save before the
    // application can have set the mesh's delegate.
    plat::Dictionary globalIdentifiers;
    if (auto mesh = mesh_.lock(); mesh && !inserted.empty()) {
        auto identifiers = mesh->globalIdentifiersForManagedObjects(inserted);
        // The event takes an answer only when it covers every object (as
        // SYNEventBuilder::retrieveGlobalIdentifierStringsForManagedObjects).
        const bool whole = identifiers.size() == inserted.size();
        for (std::size_t i = 0; i < inserted.size(); ++i) {
            const auto& id = inserted[i]->objectID();
            std::optional<std::string> identifier = i < identifiers.size() ? identifiers[i] : std::nullopt;
            if (identifier && id->entity()) {
                globalIdentifiers.set(id->entity()->name() + "/" + std::to_string(id->primaryKey()),
                                      plat::Value(*identifier));
            }
            given.emplace(id, whole ? std::move(identifier) : std::nullopt);
        }
    }
    // Registered durably before the application's save commits; most saves
    // take a registration an earlier write made for them (no write now).
    auto registered = eventStore_->registerNewIncompleteEventIdentifierWithRecordedIntent();
    if (!registered.ok()) {
        SYN_LOG(1, "Could not register save token: %@", registered.error());
        return {};
    }
    std::string token = std::move(*registered);
    plat::Dictionary::Entries members;
    members.reserve(6);
    members.emplace_back("token", plat::Value(token));
    members.emplace_back("store", plat::Value(eventStore_->persistentStoreIdentifier().value_or("")));
    members.emplace_back("inserted", encodedIDs(insertedIDs, emptyDictionary));
    members.emplace_back("deleted", encodedIDs(deletedIDs, emptyDictionary));
    members.emplace_back("updated", plat::Value(std::move(updates)));
    members.emplace_back("globalIdentifiers", plat::Value(std::move(globalIdentifiers)));
    plat::Value intent = distinctDictionary(std::move(members));
    // The intents kept are those of saves whose events are still not stored.
    auto pending = eventStore_->incompleteEventIdentifiersWithRecordedIntent();
    const std::set<std::string> open(pending.begin(), pending.end());
    plat::MutexLock lock(intentsMutex_);
    auto metadata = store->metadata();
    plat::Array intents;
    if (auto found = metadata.find(SYNSaveIntentsMetadataKey); found && found->asArray()) {
        for (const auto& entry : *found->asArray()) {
            auto entryToken = entry.asDictionary() ? stringIn(*entry.asDictionary(), "token") : std::nullopt;
            if (entryToken && open.count(*entryToken)) {
                intents.push_back(entry);
            }
        }
    }
    intents.push_back(std::move(intent));
    metadata.set(SYNSaveIntentsMetadataKey, plat::Value(std::move(intents)));
    store->setMetadata(std::move(metadata));
    return token;
}

void SYNSaveMonitor::contextDidSave(const ManagedObjectContext& context, const plat::Dictionary& info) {
    auto store = monitoredStoreOfSave(context);
    if (!store) {
        return;
    }
    SYN_LOG(3, "Storing changes post-save");
    std::shared_ptr<const void> object = context.shared_from_this();
    std::string token;
    SYNPropertyChangeValuesByObjectID preSave;
    GivenIdentifiers given;
    {
        plat::MutexLock lock(mutex_);
        auto found = changedValuesByContext_.find(&context);
        if (found != changedValuesByContext_.end()) {
            token = std::move(found->second.token);
            preSave = std::move(found->second.values);
            given = std::move(found->second.identifiers);
            changedValuesByContext_.erase(found);
        }
    }
    if (token.empty()) {
        // No intent was recorded: an interruption from here on is found by
        // the token alone.
        token = plat::UUID::random().UUIDString();
        if (auto error = eventStore_->registerIncompleteMandatoryEventIdentifier(token)) {
            SYN_LOG(1, "Could not register save token: %@", error);
        }
    }
    plat::NotificationCenter::defaultCenter().postNotificationName(
        SYNMonitoredManagedObjectContextDidSaveNotification, object, userInfo(token));
    auto inserted = monitoredObjects(store, objectsIn(info, InsertedObjectsKey));
    auto deleted = monitoredObjects(store, objectsIn(info, DeletedObjectsKey));
    auto updated = monitoredObjects(store, objectsIn(info, UpdatedObjectsKey));
    if (inserted.empty() && deleted.empty() && updated.empty()) {
        complete(object, token);
        return;
    }
    auto builder = std::make_shared<SYNEventBuilder>(eventStore_);
    builder->setMesh(std::static_pointer_cast<SYNMeshServices>(mesh_.lock()));
    auto& mutableContext = const_cast<ManagedObjectContext&>(context);

    SYNManagedObjectIDs insertedIDs, deletedIDs, updatedIDs;
    for (const auto& o : inserted)
        insertedIDs.push_back(o->objectID());
    for (const auto& o : deleted)
        deletedIDs.push_back(o->objectID());
    for (const auto& o : updated)
        updatedIDs.push_back(o->objectID());
    // The identifiers the intent recorded; the mesh is asked only about
    // objects it did not cover (an intent not recorded, an object inserted
    // after the monitor saw the will-save).
    std::vector<std::optional<std::string>> identifiers(inserted.size());
    SYNManagedObjects unasked;
    std::vector<std::size_t> unaskedAt;
    for (std::size_t i = 0; i < inserted.size(); ++i) {
        if (auto it = given.find(inserted[i]->objectID()); it != given.end()) {
            identifiers[i] = it->second;
        } else {
            unasked.push_back(inserted[i]);
            unaskedAt.push_back(i);
        }
    }
    if (!unasked.empty()) {
        auto asked = builder->retrieveGlobalIdentifierStringsForManagedObjects(unasked, false);
        for (std::size_t i = 0; i < asked.size() && i < unaskedAt.size(); ++i) {
            identifiers[unaskedAt[i]] = std::move(asked[i]);
        }
    }
    auto insertValues = builder->propertyChangeValueArraysForInsertedObjects(inserted, true, mutableContext);
    builder->updatePropertyChangeValuesForUpdatedObjects(updated, mutableContext, 8, preSave);
    if (inserted.empty() && preSave.empty() && deleted.empty()) {
        complete(object, token);
        return;
    }
    plat::NotificationCenter::defaultCenter().postNotificationName(
        SYNMonitoredManagedObjectContextSaveChangesWillBeStoredNotification, object, userInfo(token));

    auto self = shared_from_this();
    auto eventContext = eventStore_->managedObjectContext();
    const auto storeIdentifier = eventStore_->persistentStoreIdentifier().value_or("");
    eventContext->performBlock(
        [=, insertValues = std::move(insertValues), preSave = std::move(preSave)]() mutable {
            if (!self->storeSaveEvent(*builder, token, insertedIDs, identifiers, std::move(insertValues),
                                      updatedIDs, std::move(preSave), deletedIDs)) {
                self->failed(object, token, storeIdentifier);
                return;
            }
            self->complete(object, token, true);
        });
}

bool SYNSaveMonitor::storeSaveEvent(SYNEventBuilder& builder, const std::string& token,
                                    const SYNManagedObjectIDs& insertedIDs,
                                    const std::vector<std::optional<std::string>>& identifiers,
                                    SYNPropertyChangeValueArrays insertValues,
                                    const SYNManagedObjectIDs& updatedIDs,
                                    SYNPropertyChangeValuesByObjectID preSave,
                                    const SYNManagedObjectIDs& deletedIDs) {
    auto eventContext = eventStore_->managedObjectContext();
    if (!eventContext) {
        return false;
    }
    // The first step that fails ends the storage: later steps would
    // work on an event that is gone or half made.
    auto succeeded = [&](const char* what, const plat::ErrorPtr& error) {
        if (error) {
            SYN_LOG(1, "%@: %@", what, error);
        }
        return !error;
    };
    // The event's only save: nothing reads it after.
    auto save = [&] {
        return succeeded("Could not save and reset event builder", builder.saveAndResetLast());
    };
    eventContext->reset();
    // Between this reset and the save's, nothing reads the identifier
    // records' or the event's lists of changes, nor deletes a record or the
    // event: the new changes link to them one way, which keeps the saved
    // records out of the save.
    builder.setLinksNewChangesOneWay(true);
    auto revision = builder.makeNewEventOfType(SYNStoreModificationEventTypeSave, token);
    bool stored = succeeded("Could not make save event", revision.ok() ? nullptr : revision.error());
    if (stored) {
        auto globalIDs = builder.addGlobalIdentifiersForManagedObjectIDs(insertedIDs, identifiers);
        stored =
            succeeded("Could not add global identifiers", globalIDs.ok() ? nullptr : globalIDs.error()) &&
            succeeded("Could not add insert changes", builder.addInsertChangesForPropertyChangeValueArrays(
                                                          std::move(insertValues), *globalIDs));
    }
    // The event goes into the event store whole, with its final type, in
    // one commit (one sync of the store's file): a crash leaves all of it or
    // none. Each step finds what the steps before it added without a save
    // in between: the context's fetches take in its unsaved records (the
    // update changes link to the inserts' identifier records, the delete
    // changes find the records the update changes made for their links),
    // and an event not saved yet holds its changes in its own list. The
    // event is finalized before the save, so the global count it takes is
    // that of the events committed (it cannot count itself: it is still
    // unfinished, count 0).
    stored = stored &&
             (updatedIDs.empty() ||
              succeeded("Could not add update changes",
                        builder.addUpdateChangesForObjectIDs(updatedIDs, std::move(preSave)))) &&
             (deletedIDs.empty() ||
              succeeded("Could not add delete changes", builder.addDeleteChangesForObjectIDs(deletedIDs))) &&
             succeeded("Could not finalize save event", builder.finalizeNewEvent()) && save();
    if (!stored) {
        eventContext->reset();
        return false;
    }
    SYN_LOG(4, "Revision of saving peer %@: %lld", revision->persistentStoreIdentifier,
            static_cast<long long>(revision->revisionNumber));
    return true;
}

plat::ErrorPtr SYNSaveMonitor::recordInterruptedSaves(const std::vector<std::string>& tokensAtLaunch,
                                                      const std::shared_ptr<ManagedObjectModel>& model,
                                                      const std::optional<plat::Dictionary>& storeOptions) {
    const std::set<std::string> inherited(tokensAtLaunch.begin(), tokensAtLaunch.end());
    std::vector<std::string> tokens;
    for (const auto& token : eventStore_->incompleteEventIdentifiersWithRecordedIntent()) {
        if (inherited.count(token)) {
            tokens.push_back(token);
        }
    }
    auto eventContext = eventStore_->managedObjectContext();
    if (tokens.empty() || !eventContext) {
        return nullptr;
    }
    SYN_LOG(2, "Recording %lu interrupted saves", static_cast<unsigned long>(tokens.size()));
    const auto storeIdentifier = eventStore_->persistentStoreIdentifier().value_or("");
    const auto url = plat::URL::fileURLWithPath(storePath_);
    auto metadata = PersistentStoreCoordinator::metadataForPersistentStoreOfType(SQLiteStoreType, url);
    if (!metadata.ok()) {
        return metadata.error();
    }
    std::map<std::string, plat::Dictionary> intents;
    if (auto found = metadata->find(SYNSaveIntentsMetadataKey); found && found->asArray()) {
        for (const auto& entry : *found->asArray()) {
            const auto* intent = entry.asDictionary();
            auto token = intent ? stringIn(*intent, "token") : std::nullopt;
            if (token && stringIn(*intent, "store") == storeIdentifier) {
                intents[*token] = *intent;
            }
        }
    }
    // The objects as committed, read through a stack of this monitor's own,
    // opened only when a save has an intent to record: tokens without one
    // (saves that never committed, registrations no save took) need no store.
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    const bool recordsAny = std::any_of(tokens.begin(), tokens.end(),
                                        [&](const std::string& token) { return intents.count(token) > 0; });
    if (recordsAny) {
        auto coordinator = PersistentStoreCoordinator::create(model);
        plat::Dictionary options = storeOptions.value_or(
            plat::Dictionary{{MigratePersistentStoresAutomaticallyOption, plat::Value(true)},
                             {InferMappingModelAutomaticallyOption, plat::Value(true)}});
        auto added = coordinator->addPersistentStore(SQLiteStoreType, "", url, options);
        if (!added.ok()) {
            return added.error();
        }
        context->setPersistentStoreCoordinator(coordinator);
    }
    plat::ErrorPtr firstError;
    for (const auto& token : tokens) {
        auto found = intents.find(token);
        auto error =
            recordInterruptedSave(token, found == intents.end() ? nullptr : &found->second, *context);
        if (error) {
            SYN_LOG(1, "Could not record the interrupted save %@: %@", token, error);
            firstError = firstError ? firstError : error;
        } else {
            // A metadata write that fails is logged by the store.
            (void)eventStore_->deregisterIncompleteMandatoryEventIdentifier(token);
        }
        context->reset();
    }
    return firstError;
}

plat::ErrorPtr SYNSaveMonitor::recordInterruptedSave(const std::string& token, const plat::Dictionary* intent,
                                                     ManagedObjectContext& context) {
    auto eventContext = eventStore_->managedObjectContext();
    // An event that was stored whole (the kill came before its token was
    // deregistered) stands; a part-made one goes.
    bool recorded = false;
    plat::ErrorPtr error;
    eventContext->performBlockAndWait([&] {
        eventContext->reset();
        auto event =
            SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier(token, *eventContext);
        if (!event.ok()) {
            error = event.error();
            return;
        }
        if (!*event) {
            return;
        }
        if (SYNStoreModificationEvent::type(**event) != SYNStoreModificationEventTypeIncomplete) {
            recorded = true;
            return;
        }
        eventContext->deleteObject(*event);
        if ((error = eventContext->save())) {
            eventContext->rollback();
        }
    });
    if (error || recorded) {
        return error;
    }
    if (!intent) {
        // The save's transaction never committed: there is nothing to record.
        SYN_LOG(2, "The interrupted save %@ never committed", token);
        return nullptr;
    }
    auto store = context.persistentStoreCoordinator()->persistentStores().front();
    auto present = [&](const ManagedObjectIDPtr& id) -> ManagedObjectPtr {
        auto object = context.existingObjectWithID(id);
        return object.ok() ? *object : nullptr;
    };
    SYNManagedObjects inserted, updated;
    SYNManagedObjectIDs insertedIDs, updatedIDs, deletedIDs;
    for (const auto& id : decodedIDs(intent->find("inserted"), *store)) {
        if (auto object = present(id)) {
            inserted.push_back(object);
            insertedIDs.push_back(id);
        }
    }
    for (const auto& id : decodedIDs(intent->find("deleted"), *store)) {
        if (!present(id)) {
            deletedIDs.push_back(id);
        }
    }
    SYNPropertyChangeValuesByObjectID preSave;
    const auto* updates = intent->find("updated");
    for (const auto& entry : updates && updates->asArray() ? *updates->asArray() : plat::Array()) {
        const auto* update = entry.asDictionary();
        const auto* entity = update && store->model()
                                 ? store->model()->entityNamed(stringIn(*update, "entity").value_or(""))
                                 : nullptr;
        const auto* key = entity ? update->find("key") : nullptr;
        const auto* names = update ? update->find("names") : nullptr;
        if (!key || !names || !names->asArray()) {
            continue;
        }
        auto id = store->objectIDFor(entity, key->longLongValue());
        auto object = present(id);
        if (!object) {
            continue;
        }
        std::vector<std::string> propertyNames;
        for (const auto& name : *names->asArray()) {
            if (name.asString()) {
                propertyNames.push_back(*name.asString());
            }
        }
        auto changes = SYNPropertyChangeValue::propertyChangesForObject(*object, eventStore_, propertyNames,
                                                                        true, false);
        // To-many changes carry the members the save added and removed, as
        // the save itself would have recorded them.
        const auto* added = update->find("added");
        const auto* removed = update->find("removed");
        for (auto& change : changes) {
            if (change.type() != SYNPropertyChangeTypeToManyRelationship &&
                change.type() != SYNPropertyChangeTypeOrderedToManyRelationship) {
                continue;
            }
            auto membersOf = [&](const plat::Value* list) {
                const auto* byName = list && list->asDictionary()
                                         ? list->asDictionary()->find(change.propertyName())
                                         : nullptr;
                return decodedIDs(byName, *store);
            };
            change.setRelatedObjectIDs(nullptr, membersOf(added), membersOf(removed), {});
        }
        if (!changes.empty()) {
            updated.push_back(object);
            updatedIDs.push_back(id);
            preSave[id] = std::move(changes);
        }
    }
    SYN_LOG(2, "Recording the interrupted save %@: %lu inserted, %lu updated, %lu deleted", token,
            static_cast<unsigned long>(insertedIDs.size()), static_cast<unsigned long>(updatedIDs.size()),
            static_cast<unsigned long>(deletedIDs.size()));
    SYNEventBuilder builder(eventStore_);
    builder.setMesh(std::static_pointer_cast<SYNMeshServices>(mesh_.lock()));
    std::vector<std::optional<std::string>> identifiers;
    const auto* given = intent->find("globalIdentifiers");
    for (const auto& id : insertedIDs) {
        const auto* identifier =
            given && given->asDictionary()
                ? given->asDictionary()->find(id->entity()->name() + "/" + std::to_string(id->primaryKey()))
                : nullptr;
        identifiers.push_back(identifier && identifier->asString()
                                  ? std::optional<std::string>(*identifier->asString())
                                  : std::nullopt);
    }
    auto insertValues = builder.propertyChangeValueArraysForInsertedObjects(inserted, true, context);
    builder.updatePropertyChangeValuesForUpdatedObjects(updated, context, 8, preSave);
    bool stored = false;
    eventContext->performBlockAndWait([&] {
        stored = storeSaveEvent(builder, token, insertedIDs, identifiers, std::move(insertValues), updatedIDs,
                                std::move(preSave), deletedIDs);
    });
    return stored ? nullptr
                  : SYNMakeError(SYNErrorIncompleteEventData, "The interrupted save could not be recorded.");
}

void SYNSaveMonitor::noteLostSaveEventOfStore(const std::string& storeIdentifier) {
    plat::MutexLock lock(mutex_);
    storesWithLostSaveEvents_.insert(storeIdentifier);
}

bool SYNSaveMonitor::lostSaveEventOfStore(const std::optional<std::string>& storeIdentifier) const {
    plat::MutexLock lock(mutex_);
    return storeIdentifier && storesWithLostSaveEvents_.count(*storeIdentifier) > 0;
}

void SYNSaveMonitor::failed(const std::shared_ptr<const void>& context, const std::string& token,
                            const std::string& storeIdentifier) {
    // The save is in the application store and no event holds it. Its token
    // stays registered, so that a launch after this one still finds the
    // interrupted save; the store is delisted now, before a merge can
    // integrate without it (a full integration would delete what it
    // inserted), and the enlist that follows imports the store whole.
    SYN_LOG(1, "A save of the store could not be recorded: its store will be delisted");
    {
        plat::MutexLock lock(mutex_);
        storesWithLostSaveEvents_.insert(storeIdentifier);
    }
    if (auto mesh = mesh_.lock()) {
        mesh->delistAfterLostSaveEvent(storeIdentifier);
    }
    postWereStored(context, token);
}

void SYNSaveMonitor::complete(const std::shared_ptr<const void>& context, const std::string& token,
                              bool eventStored) {
    if (auto error = eventStore_->deregisterIncompleteMandatoryEventIdentifier(token, eventStored)) {
        SYN_LOG(1, "Could not deregister save token: %@", error);
    }
    postWereStored(context, token);
}

void SYNSaveMonitor::postWereStored(const std::shared_ptr<const void>& context, const std::string& token) {
    std::weak_ptr<SYNSaveMonitor> weak = weak_from_this();
    plat::dispatch::Queue::main().async([weak, context, token] {
        auto self = weak.lock();
        plat::NotificationCenter::defaultCenter().postNotificationName(
            SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification, context,
            self ? self->userInfo(token) : plat::Dictionary());
    });
}
