#include "sync/mesh/SYNSaveMonitor.h"

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUID.h"
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

}  // namespace

std::shared_ptr<SYNSaveMonitor> SYNSaveMonitor::create(std::string storePath,
                                                       std::shared_ptr<SYNEventStore> eventStore,
                                                       std::weak_ptr<SYNPersistentStoreMesh> mesh) {
    std::shared_ptr<SYNSaveMonitor> monitor(
        new SYNSaveMonitor(std::move(storePath), std::move(eventStore), std::move(mesh)));
    std::weak_ptr<SYNSaveMonitor> weak = monitor;
    auto& center = plat::NotificationCenter::defaultCenter();
    monitor->observers_.push_back(center.addObserverForName(
        ManagedObjectContextWillSaveNotification, nullptr, [weak](const plat::Notification& note) {
            auto self = weak.lock();
            auto context = std::static_pointer_cast<const ManagedObjectContext>(note.object);
            if (self && context) {
                self->contextWillSave(*context);
            }
        }));
    monitor->observers_.push_back(center.addObserverForName(
        ManagedObjectContextDidSaveNotification, nullptr, [weak](const plat::Notification& note) {
            auto self = weak.lock();
            auto context = std::static_pointer_cast<const ManagedObjectContext>(note.object);
            if (self && context) {
                self->contextDidSave(*context, note.userInfo);
            }
        }));
    return monitor;
}

SYNSaveMonitor::SYNSaveMonitor(std::string storePath, std::shared_ptr<SYNEventStore> eventStore,
                               std::weak_ptr<SYNPersistentStoreMesh> mesh)
    : storePath_(std::move(storePath)),
      standardizedStorePath_(standardized(storePath_)),
      eventStore_(std::move(eventStore)),
      mesh_(std::move(mesh)) {}

SYNSaveMonitor::~SYNSaveMonitor() {
    stopMonitoring();
}

void SYNSaveMonitor::stopMonitoring() {
    std::vector<plat::ObserverToken> observers;
    {
        std::lock_guard lock(mutex_);
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
        if (store->URL() && store->URL()->URLByStandardizingPath().path() == standardizedStorePath_) {
            return store;
        }
    }
    return nullptr;
}

bool SYNSaveMonitor::isMonitored(const ManagedObjectContext& context) const {
    return eventStore_->containsEventData() && !isTrue(context.userInfo(), SYNBelongsToEventIntegratorKey) &&
           monitoredStore(context);
}

SYNManagedObjects SYNSaveMonitor::monitoredObjects(const ManagedObjectContext& context,
                                                   const SYNManagedObjects& objects) const {
    SYNManagedObjects kept;
    auto store = objects.empty() ? nullptr : monitoredStore(context);
    for (const auto& object : objects) {
        if (object->objectID()->persistentStore() == store &&
            !isTrue(object->entity()->userInfo(), SYNIgnoredKey)) {
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
    plat::Dictionary info{
        {SYNPersistentStoreMeshKey,
         plat::Value(plat::BoxedObject<SYNPersistentStoreMesh>::make(mesh, "SYNPersistentStoreMesh"))}};
    if (token) {
        info.set(SYNSaveTokenKey, plat::Value(*token));
    }
    return info;
}

void SYNSaveMonitor::contextWillSave(const ManagedObjectContext& context) {
    if (!isMonitored(context)) {
        return;
    }
    auto object = context.shared_from_this();
    plat::NotificationCenter::defaultCenter().postNotificationName(
        SYNMonitoredManagedObjectContextWillSaveNotification, object, userInfo(std::nullopt));
    auto updated = context.updatedObjects();
    SYNPropertyChangeValuesByObjectID values;
    if (!updated.empty()) {
        SYN_LOG(3, "Storing pre-save changes from updated objects");
        for (const auto& changed : monitoredObjects(context, updated)) {
            auto names = changed->changedPropertyNames();
            auto changes =
                SYNPropertyChangeValue::propertyChangesForObject(*changed, eventStore_, names, true, false);
            if (!changes.empty()) {
                values[changed->objectID()] = std::move(changes);
            }
        }
    }
    std::lock_guard lock(mutex_);
    // Also replaces what a failed save of this context left behind.
    changedValuesByContext_[&context] = std::move(values);
}

void SYNSaveMonitor::contextDidSave(const ManagedObjectContext& context, const plat::Dictionary& info) {
    if (!isMonitored(context)) {
        return;
    }
    SYN_LOG(3, "Storing changes post-save");
    std::shared_ptr<const void> object = context.shared_from_this();
    std::string token = plat::UUID::random().UUIDString();
    if (auto error = eventStore_->registerIncompleteMandatoryEventIdentifier(token)) {
        SYN_LOG(1, "Could not register save token: %@", error);
    }
    plat::NotificationCenter::defaultCenter().postNotificationName(
        SYNMonitoredManagedObjectContextDidSaveNotification, object, userInfo(token));
    SYNPropertyChangeValuesByObjectID preSave;
    {
        std::lock_guard lock(mutex_);
        auto found = changedValuesByContext_.find(&context);
        if (found != changedValuesByContext_.end()) {
            preSave = std::move(found->second);
            changedValuesByContext_.erase(found);
        }
    }
    auto inserted = monitoredObjects(context, objectsIn(info, InsertedObjectsKey));
    auto deleted = monitoredObjects(context, objectsIn(info, DeletedObjectsKey));
    auto updated = monitoredObjects(context, objectsIn(info, UpdatedObjectsKey));
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
    auto identifiers = builder->retrieveGlobalIdentifierStringsForManagedObjects(inserted, false);
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
    eventContext->performBlock([=, insertValues = std::move(insertValues),
                                preSave = std::move(preSave)]() mutable {
        // The first step that fails ends the storage: later steps would
        // work on an event that is gone or half made.
        auto succeeded = [&](const char* what, const plat::ErrorPtr& error) {
            if (error) {
                SYN_LOG(1, "%@: %@", what, error);
            }
            return !error;
        };
        auto save = [&] {
            return succeeded("Could not save and reset event builder", builder->saveAndReset());
        };
        eventContext->reset();
        auto revision = builder->makeNewEventOfType(SYNStoreModificationEventTypeSave, token);
        bool stored = succeeded("Could not make save event", revision.ok() ? nullptr : revision.error());
        if (stored) {
            auto globalIDs = builder->addGlobalIdentifiersForManagedObjectIDs(insertedIDs, identifiers);
            stored =
                succeeded("Could not add global identifiers", globalIDs.ok() ? nullptr : globalIDs.error()) &&
                succeeded("Could not add insert changes",
                          builder->addInsertChangesForPropertyChangeValueArrays(std::move(insertValues),
                                                                                *globalIDs));
        }
        stored =
            stored && save() &&
            succeeded("Could not add update changes",
                      builder->addUpdateChangesForObjectIDs(updatedIDs, preSave)) &&
            save() &&
            succeeded("Could not add delete changes", builder->addDeleteChangesForObjectIDs(deletedIDs)) &&
            save() && succeeded("Could not finalize save event", builder->finalizeNewEvent()) && save();
        if (!stored) {
            eventContext->reset();
            self->failed(object, token, storeIdentifier);
            return;
        }
        SYN_LOG(4, "Revision of saving peer %@: %lld", revision->persistentStoreIdentifier,
                static_cast<long long>(revision->revisionNumber));
        self->complete(object, token);
    });
}

bool SYNSaveMonitor::lostSaveEventOfStore(const std::optional<std::string>& storeIdentifier) const {
    std::lock_guard lock(mutex_);
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
        std::lock_guard lock(mutex_);
        storesWithLostSaveEvents_.insert(storeIdentifier);
    }
    if (auto mesh = mesh_.lock()) {
        mesh->delistAfterLostSaveEvent(storeIdentifier);
    }
    postWereStored(context, token);
}

void SYNSaveMonitor::complete(const std::shared_ptr<const void>& context, const std::string& token) {
    if (auto error = eventStore_->deregisterIncompleteMandatoryEventIdentifier(token)) {
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
