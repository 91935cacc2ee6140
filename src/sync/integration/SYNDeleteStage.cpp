#include "sync/integration/SYNDeleteStage.h"

#include <exception>

#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;

plat::ErrorPtr SYNDeleteStage::applyChangeIDs(const SYNManagedObjectIDs& changeIDs) {
    auto changes = loadRecords(changeIDs);
    if (!changes.ok()) {
        return changes.error();
    }
    auto tables = fetchObjectsByGlobalIdStringByEntityNameForChanges(*changes, nullptr);
    if (!tables.ok()) {
        return tables.error();
    }
    for (const auto& change : *changes) {
        auto table = tables->find(change.entityName);
        if (table == tables->end()) {
            return SYNMakeError(SYNErrorUnknown,
                                "The entity of a deleted object is not in the model: " + change.entityName);
        }
        if (!change.globalIdentifier) {
            continue;
        }
        auto found = table->second.find(*change.globalIdentifier);
        if (found == table->second.end()) {
            continue;
        }
        ManagedObjectPtr object = found->second;
        managedObjectContext()->performBlockAndWait([&] { nullifyRelationshipsAndDeleteObject(object); });
    }
    return nullptr;
}

void SYNDeleteStage::nullifyRelationshipsAndDeleteObject(const ManagedObjectPtr& object) {
    if (!object || object->isInvalidated() || object->isDeleted()) {
        return;
    }
    auto context = object->managedObjectContext();
    if (!context) {
        return;
    }
    for (const auto& [name, relationship] : object->entity()->relationshipsByName()) {
        try {
            if (relationship->isToMany()) {
                if (object->objectsForKey(name).empty()) {
                    continue;
                }
                auto proxy = relationship->isOrdered() ? object->mutableOrderedSetValueForKey(name)
                                                       : object->mutableSetValueForKey(name);
                proxy.removeAllObjects();
            } else {
                if (valueForKey(name, *object).isNull()) {
                    continue;
                }
                setValueForKey(Value(), name, *object);
            }
        } catch (const std::exception& exception) {
            SYN_LOG(1, "Exception while nullifying relationships: %@", exception.what());
        }
    }
    context->deleteObject(object);
}

void SYNDeleteStage::nullifyGlobalIdentifierStoreURIsForChangesWithIDs(
    const SYNManagedObjectIDs& changeIDs, plat::coredata::ManagedObjectContext& eventContext) {
    eventContext.performBlockAndWait([&] {
        plat::Array ids;
        for (const auto& id : changeIDs) {
            ids.push_back(Value(plat::ObjectPtr(id)));
        }
        FetchRequest request(SYNObjectChangeEntityName);
        request.predicate = Predicate::selfIn(Value(std::move(ids)));
        request.relationshipKeyPathsForPrefetching = {"globalIdentifier"};
        auto changes = eventContext.executeFetchRequest(request);
        if (!changes.ok()) {
            SYN_LOG(1, "Could not fetch changes to nullify store URIs after deletion: %@", changes.error());
            return;
        }
        for (const auto& change : *changes) {
            if (auto row = change->objectForKey("globalIdentifier")) {
                row->setValue(Value(), "storeURI");
            }
        }
    });
}
