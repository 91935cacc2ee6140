#include "sync/integration/SYNBinaryEventFiles.h"

#include "platform/coredata/BinaryStore.h"
#include "platform/coredata/PropertyDescription.h"
#include "platform/coredata/RelationshipDescription.h"
#include "platform/foundation/URL.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;

namespace {

// Gives copy, made of change, change's values revision in the form of
// `copyForm`, read in the form of `changeForm` (nothing when change records
// none; unrecorded when `changeForm` cannot read it).
void copyValuesRevision(const plat::coredata::ManagedObject& change, const SYNStoreIdentifiers& changeForm,
                        plat::coredata::ManagedObject& copy, SYNStoreIdentifiers& copyForm) {
    if (change.valueForKey("valuesRevisionStore").isString()) {
        SYNObjectChange::setValuesRevision(copy, SYNObjectChange::valuesRevision(change, changeForm),
                                           copyForm);
    }
}

bool excluded(const plat::coredata::PropertyDescription& property) {
    return property.isTransient() ||
           plat::coredata::userInfoBool(property.userInfo(), SYNExcludeFromMigrationKey, false);
}

std::shared_ptr<ManagedObjectContext> makeFileContext() {
    plat::coredata::BinaryStore::registerStoreType();
    auto model = std::const_pointer_cast<plat::coredata::ManagedObjectModel>(SYNEventStoreModel());
    auto context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(plat::coredata::PersistentStoreCoordinator::create(model));
    return context;
}

plat::Result<std::vector<ManagedObjectPtr>> fetchAll(ManagedObjectContext& context, const char* entity) {
    return context.executeFetchRequest(FetchRequest(entity));
}

}  // namespace

// --- Object graph migrator ------------------------------------------------------

void SYNObjectGraphMigrator::copyAttributes(const plat::coredata::ManagedObject& from,
                                            plat::coredata::ManagedObject& to) {
    for (const auto& [name, attribute] : from.entity()->attributesByName()) {
        if (!excluded(*attribute)) {
            to.setValue(from.valueForKey(name), name);
        }
    }
}

ManagedObjectPtr SYNObjectGraphMigrator::migrateObject(const ManagedObjectPtr& object,
                                                       ManagedObjectContext& destination) {
    if (!object) {
        return nullptr;
    }
    if (auto* copy = copies_.objectForKey(object)) {
        return *copy;
    }
    auto copy = destination.insertNewObjectForEntityForName(object->entity()->name());
    copyAttributes(*object, *copy);
    copies_.setObject(copy, object);
    for (const auto& [name, relationship] : object->entity()->relationshipsByName()) {
        if (excluded(*relationship)) {
            continue;
        }
        if (relationship->isToMany()) {
            auto members = relationship->isOrdered() ? copy->mutableOrderedSetValueForKey(name)
                                                     : copy->mutableSetValueForKey(name);
            for (const auto& member : object->objectsForKey(name)) {
                members.addObject(migrateObject(member, destination));
            }
        } else {
            copy->setObject(migrateObject(object->objectForKey(name), destination), name);
        }
    }
    return copy;
}

void SYNObjectGraphMigrator::registerMigratedObject(const ManagedObjectPtr& copy,
                                                    const ManagedObjectPtr& original) {
    copies_.setObject(copy, original);
}

void SYNObjectGraphMigrator::registerMigratedObjects(const ObjectMap& copiesByOriginal) {
    copies_.syn_addEntriesFromMapTable(copiesByOriginal);
}

void SYNObjectGraphMigrator::clearRegisteredObjects() {
    copies_.removeAllObjects();
}

ManagedObjectPtr SYNObjectGraphMigrator::migrateEventAndRevisions(const ManagedObjectPtr& event,
                                                                  ManagedObjectContext& destination) {
    if (!event) {
        return nullptr;
    }
    auto copy = destination.insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
    copyAttributes(*event, *copy);
    if (auto own = event->objectForKey("eventRevision")) {
        auto revision = destination.insertNewObjectForEntityForName(SYNEventRevisionEntityName);
        copyAttributes(*own, *revision);
        revision->setObject(copy, "storeModificationEvent");
    }
    for (const auto& other : event->objectsForKey("eventRevisionsOfOtherStores")) {
        auto revision = destination.insertNewObjectForEntityForName(SYNEventRevisionEntityName);
        copyAttributes(*other, *revision);
        revision->setObject(copy, "storeModificationEventForOtherStores");
    }
    destination.processPendingChanges();
    return copy;
}

plat::Result<SYNObjectGraphMigrator::ObjectMap> SYNObjectGraphMigrator::migrateGlobalIdentifiers(
    ManagedObjectContext& source, ManagedObjectContext& destination) {
    auto sources = fetchAll(source, SYNGlobalIdentifierEntityName);
    if (!sources.ok()) {
        return sources.error();
    }
    plat::Array strings;
    for (const auto& record : *sources) {
        strings.push_back(record->valueForKey("globalIdentifier"));
    }
    FetchRequest request(SYNGlobalIdentifierEntityName);
    request.predicate = Predicate::in("globalIdentifier", Value(std::move(strings)));
    auto existing = destination.executeFetchRequest(request);
    if (!existing.ok()) {
        return existing.error();
    }
    auto keyOf = [](const plat::coredata::ManagedObject& record) {
        return record.valueForKey("nameOfEntity").description() + "__" +
               record.valueForKey("globalIdentifier").description() + "__";
    };
    std::map<std::string, ManagedObjectPtr> byKey;
    for (const auto& record : *existing) {
        byKey.emplace(keyOf(*record), record);
    }
    ObjectMap map;
    for (const auto& record : *sources) {
        auto& target = byKey[keyOf(*record)];
        if (!target) {
            target = destination.insertNewObjectForEntityForName(record->entity()->name());
            copyAttributes(*record, *target);
        }
        map.setObject(target, record);
    }
    return map;
}

// --- Export ---------------------------------------------------------------------

bool SYNPersistentStoreEventExport::openNewFile() {
    if (fileStore_) {
        fileContext_->reset();
        if (auto error = fileContext_->persistentStoreCoordinator()->removePersistentStore(fileStore_)) {
            setError(error);
            return false;
        }
        fileStore_ = nullptr;
    }
    const auto path = createTemporaryFilePath();
    auto store = fileContext_->persistentStoreCoordinator()->addPersistentStore(
        plat::coredata::BinaryStoreType, "", plat::URL::fileURLWithPath(path));
    if (!store.ok()) {
        setError(store.error());
        return false;
    }
    fileStore_ = *store;
    addFilePath(path);
    migratedEvent_ = SYNObjectGraphMigrator::migrateEventAndRevisions(event, *fileContext_);
    migrator_.clearRegisteredObjects();
    migrator_.registerMigratedObject(migratedEvent_, event);
    return migratedEvent_ != nullptr;
}

bool SYNPersistentStoreEventExport::prepareForExport() {
    fileContext_ = makeFileContext();
    if (!event) {
        setError(SYNMakeError(SYNErrorMissingEvent, "The event to export is gone."));
        return false;
    }
    return openNewFile();
}

bool SYNPersistentStoreEventExport::prepareForNewEntity(const plat::coredata::EntityDescription&) {
    migrator_.clearRegisteredObjects();
    migrator_.registerMigratedObject(migratedEvent_, event);
    return true;
}

bool SYNPersistentStoreEventExport::migrateObjectChanges(const std::vector<ManagedObjectPtr>& changes) {
    // The file is a store of its own, read by other machines: it carries
    // full identifiers, not the event store's numbers.
    const auto storeIdentifiers = SYNStoreIdentifiers::forContext(context());
    for (const auto& change : changes) {
        auto copy = migrator_.migrateObject(change, *fileContext_);
        if (copy && storeIdentifiers->isCompact()) {
            copyValuesRevision(*change, *storeIdentifiers, *copy, *SYNStoreIdentifiers::forStore(nullptr));
        }
    }
    return true;
}

namespace {

// The file goes to other machines: its change values are saved as the
// keyed archives every version reads, not in the event store's own form.
plat::ErrorPtr saveForOtherMachines(ManagedObjectContext& context) {
    SYNKeyedArchivedStoredValuesScope keyedArchives;
    return context.save();
}

}  // namespace

bool SYNPersistentStoreEventExport::prepareNewFile() {
    if (auto error = saveForOtherMachines(*fileContext_)) {
        setError(error);
        return false;
    }
    return openNewFile();
}

bool SYNPersistentStoreEventExport::completeMigrationSuccessfully(bool success) {
    if (!fileContext_) {
        return false;
    }
    plat::ErrorPtr saveError;
    if (success) {
        saveError = saveForOtherMachines(*fileContext_);
    }
    fileContext_->reset();
    // Only a failed save adds an error: an error stored earlier stays.
    if (saveError) {
        setError(saveError);
    }
    return success && !saveError;
}

// --- Import ---------------------------------------------------------------------

void SYNPersistentStoreEventImport::prepareToImport() {
    importContext_ = makeFileContext();
}

plat::ErrorPtr SYNPersistentStoreEventImport::addImportStore(const std::string& path) {
    const auto url = plat::URL::fileURLWithPath(path);
    auto metadata = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url);
    if (!metadata.ok()) {
        return metadata.error();
    }
    const Value* type = metadata->find(plat::coredata::StoreTypeKey);
    if (!type || !type->isString()) {
        return SYNMakeError(SYNErrorIncompleteEventData, "The event file names no store type.");
    }
    auto store = importContext_->persistentStoreCoordinator()->addPersistentStore(
        *type->asString(), "", url,
        plat::Dictionary{{plat::coredata::MigratePersistentStoresAutomaticallyOption, Value(true)},
                         {plat::coredata::InferMappingModelAutomaticallyOption, Value(true)},
                         {plat::coredata::ReadOnlyPersistentStoreOption, Value(true)}});
    if (!store.ok()) {
        return store.error();
    }
    fileStore_ = *store;
    return nullptr;
}

plat::ErrorPtr SYNPersistentStoreEventImport::removeImportStore() {
    importContext_->reset();
    auto store = std::move(fileStore_);
    return store ? importContext_->persistentStoreCoordinator()->removePersistentStore(store) : nullptr;
}

ManagedObjectPtr SYNPersistentStoreEventImport::migrateEventForFirstFile(plat::ErrorPtr* error) {
    auto events = fetchAll(*importContext_, SYNStoreModificationEventEntityName);
    if (!events.ok()) {
        *error = events.error();
        return nullptr;
    }
    if (events->size() != 1) {
        plat::Array found;
        for (const auto& event : *events) {
            found.push_back(Value(event->valueForKey("uniqueIdentifier")));
        }
        *error = SYNMakeError(SYNErrorIncompleteEventData,
                              "Wrong number of events found in file. Should be single event. Events found: " +
                                  Value(std::move(found)).description());
        return nullptr;
    }
    auto copy = SYNObjectGraphMigrator::migrateEventAndRevisions(events->front(), context());
    if (auto permanentError = context().obtainPermanentIDsForObjects({copy})) {
        *error = permanentError;
        return nullptr;
    }
    setEventID(copy->objectID());
    return copy;
}

bool SYNPersistentStoreEventImport::migrateObjectChanges(plat::ErrorPtr* error) {
    auto identifiers = SYNObjectGraphMigrator::migrateGlobalIdentifiers(*importContext_, context());
    if (!identifiers.ok()) {
        *error = identifiers.error();
        return false;
    }
    auto event = context().existingObjectWithID(eventID());
    if (!event.ok()) {
        *error = event.error();
        return false;
    }
    auto fileEvents = fetchAll(*importContext_, SYNStoreModificationEventEntityName);
    if (!fileEvents.ok()) {
        *error = fileEvents.error();
        return false;
    }
    if (fileEvents->size() != 1) {
        *error = SYNMakeError(SYNErrorIncompleteEventData, "Wrong number of event objects in file");
        return false;
    }
    try {
        SYNObjectGraphMigrator migrator;
        migrator.registerMigratedObjects(*identifiers);
        migrator.registerMigratedObject(*event, fileEvents->front());
        // The file's full identifiers take the event store's form.
        const auto storeIdentifiers = SYNStoreIdentifiers::forContext(context());
        const auto fileIdentifiers = SYNStoreIdentifiers::forObject(*fileEvents->front());
        for (const auto& change : fileEvents->front()->objectsForKey("objectChanges")) {
            auto copy = migrator.migrateObject(change, context());
            if (copy && storeIdentifiers->isCompact()) {
                copyValuesRevision(*change, *fileIdentifiers, *copy, *storeIdentifiers);
            }
        }
        return true;
    } catch (const std::exception& exception) {
        *error = plat::Error::make(
            SYNErrorDomain, SYNErrorUnknown,
            plat::Dictionary{{plat::LocalizedFailureReasonErrorKey, Value(exception.what())}});
        return false;
    }
}

ManagedObjectPtr SYNPersistentStoreEventImport::importFirstFile(const std::string& path,
                                                                plat::ErrorPtr* error) {
    if ((*error = addImportStore(path))) {
        return nullptr;
    }
    auto event = migrateEventForFirstFile(error);
    bool ok = event && migrateObjectChanges(error);
    auto removeError = removeImportStore();
    if (ok && removeError) {
        *error = removeError;
        ok = false;
    }
    return ok ? event : nullptr;
}

bool SYNPersistentStoreEventImport::importSubsequentFile(const std::string& path, plat::ErrorPtr* error) {
    if ((*error = addImportStore(path))) {
        return false;
    }
    bool ok = migrateObjectChanges(error);
    auto removeError = removeImportStore();
    if (ok && removeError) {
        *error = removeError;
        ok = false;
    }
    return ok;
}
