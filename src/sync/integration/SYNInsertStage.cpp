#include "sync/integration/SYNInsertStage.h"

#include <unordered_map>

#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNStoreURIs.h"

using plat::Value;
using plat::coredata::EntityDescription;
using plat::coredata::FetchRequest;
using plat::coredata::FetchRequestResultType;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;

plat::ErrorPtr SYNInsertStage::applyChangeIDs(const SYNManagedObjectIDs& changeIDs) {
    if (changeIDs.empty()) {
        return nullptr;
    }
    auto last = loadRecords({changeIDs.back()}, false);
    if (!last.ok()) {
        return last.error();
    }
    if (last->empty()) {
        return SYNMakeError(SYNErrorUnknown, "An insert change of the batch no longer exists");
    }
    const std::string& entityName = last->front().entityName;
    const auto& model = *managedObjectContext()->persistentStoreCoordinator()->managedObjectModel();
    auto entity = entityName.empty() ? nullptr : model.entityForName(entityName);
    if (!entity) {
        return SYNMakeError(SYNErrorUnknown,
                            "The entity of inserted objects is not in the model: " + entityName);
    }
    return insertObjectsForEntity(*entity, changeIDs);
}

plat::Result<SYNManagedObjects> SYNInsertStage::globalIdentifierRows(const SYNChangeRecords& changes) {
    plat::Array ids;
    for (const auto& change : changes) {
        if (change.globalIdentifierID) {
            ids.push_back(Value(plat::ObjectPtr(change.globalIdentifierID)));
        }
    }
    SYNManagedObjects rows(changes.size());
    if (ids.empty()) {
        return rows;
    }
    FetchRequest request(SYNGlobalIdentifierEntityName);
    request.predicate = Predicate::selfIn(Value(std::move(ids)));
    auto fetched = eventContext().executeFetchRequest(request);
    if (!fetched.ok()) {
        return fetched.error();
    }
    std::unordered_map<ManagedObjectIDPtr, ManagedObjectPtr, plat::coredata::ObjectIDHash,
                       plat::coredata::ObjectIDEqual>
        byID;
    for (const auto& row : *fetched) {
        byID.emplace(row->objectID(), row);
    }
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (changes[i].globalIdentifierID) {
            auto found = byID.find(changes[i].globalIdentifierID);
            if (found != byID.end()) {
                rows[i] = found->second;
            }
        }
    }
    return rows;
}

plat::ErrorPtr SYNInsertStage::insertObjectsForEntity(const EntityDescription& entity,
                                                      const SYNManagedObjectIDs& objectChangeIDs) {
    // 1. The store URI of every change's global identifier.
    std::vector<std::optional<std::string>> storeURIs;
    storeURIs.reserve(objectChangeIDs.size());
    auto error = enumerateChangeRecords(
        objectChangeIDs,
        [&](const SYNChangeRecords& changes) -> plat::ErrorPtr {
            for (const auto& change : changes) {
                storeURIs.push_back(change.storeURI);
            }
            return nullptr;
        },
        false);
    if (error) {
        return error;
    }
    if (storeURIs.size() != objectChangeIDs.size()) {
        return SYNMakeError(SYNErrorUnknown, "An insert change of the batch no longer exists");
    }

    // 2. Which of those objects exist.
    auto context = managedObjectContext();
    SYNObjectIDSet inserted;
    std::vector<std::size_t> missing;
    context->performBlockAndWait([&] {
        auto coordinator = context->persistentStoreCoordinator();
        std::vector<ManagedObjectIDPtr> ids(storeURIs.size());
        plat::Array candidates;
        for (std::size_t i = 0; i < storeURIs.size(); ++i) {
            if (storeURIs[i]) {
                ids[i] = changeRecordCache()
                             ? changeRecordCache()->objectIDForStoreURI(*storeURIs[i], *coordinator)
                             : coordinator->managedObjectIDForURIRepresentation(*storeURIs[i]);
                if (ids[i]) {
                    candidates.push_back(Value(plat::ObjectPtr(ids[i])));
                }
            }
        }
        SYNObjectIDSet existing;
        if (!candidates.empty()) {
            std::vector<ManagedObjectIDPtr> known;
            for (const auto& id : ids) {
                if (id) {
                    known.push_back(id);
                }
            }
            auto found = existingObjectsForIDs(known, entity, true);
            if (!found.ok()) {
                error = found.error();
                return;
            }
            for (const auto& [id, object] : *found) {
                existing.insert(id);
            }
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (ids[i] && existing.count(ids[i])) {
                inserted.insert(ids[i]);
            } else {
                missing.push_back(i);
            }
        }
    });
    if (error) {
        return error;
    }

    // 3. New objects for the missing ones, with permanent IDs.
    std::vector<std::string> newURIs;
    context->performBlockAndWait([&] {
        std::vector<ManagedObjectPtr> created;
        created.reserve(missing.size());
        try {
            for (std::size_t i = 0; i < missing.size(); ++i) {
                auto object = context->insertNewObjectForEntityForName(entity.name());
                if (!object) {
                    error = SYNMakeError(SYNErrorUnknown, "Could not insert an object of " + entity.name());
                    return;
                }
                created.push_back(std::move(object));
            }
        } catch (const std::exception& exception) {
            error = SYNMakeError(SYNErrorUnknown, exception.what());
            return;
        }
        if (created.empty()) {
            return;
        }
        if (auto failed = context->obtainPermanentIDsForObjects(created)) {
            error = failed;
            return;
        }
        newURIs.reserve(created.size());
        SYNStoreURIWriter writer;
        for (const auto& object : created) {
            inserted.insert(object->objectID());
            newURIs.push_back(writer.storeURIForObjectID(*object->objectID()));
        }
    });
    if (error) {
        return error;
    }

    // 4. Record the new objects' URIs: the n-th missing change gets the n-th.
    // Unbatched, the rows written so far are saved every kStoreURIsPerSave:
    // the event store's context would otherwise hold every identifier row of
    // the entity until the entity's save (a join writes one per object).
    // Rows saved early name objects whose keys are reserved but not yet
    // saved, as after the entity's save: a merge after a crash finds those
    // objects missing and makes them again.
    SYNManagedObjectIDs missingIDs;
    missingIDs.reserve(missing.size());
    for (std::size_t index : missing) {
        missingIDs.push_back(objectChangeIDs[index]);
    }
    std::size_t next = 0;
    std::size_t unsaved = 0;
    auto storedForm = SYNStoreURIs::forContext(eventContext());
    error = enumerateChangeRecords(
        missingIDs,
        [&](const SYNChangeRecords& changes) -> plat::ErrorPtr {
            auto rows = globalIdentifierRows(changes);
            if (!rows.ok()) {
                return rows.error();
            }
            for (std::size_t i = 0; i < changes.size(); ++i, ++next) {
                const auto& row = (*rows)[i];
                if (row && next < newURIs.size()) {
                    row->setValue(Value(storedForm->encode(newURIs[next])), "storeURI");
                    if (changeRecordCache()) {
                        changeRecordCache()->setStoreURI(row->objectID(), newURIs[next]);
                    }
                    ++unsaved;
                }
            }
            if (batchSize() == 0 && unsaved >= kStoreURIsPerSave) {
                unsaved = 0;
                return eventBuilder()->saveAndReset();
            }
            return nullptr;
        },
        false);
    if (error) {
        return error;
    }
    if (batchSize() != 0) {
        if (auto saveError = eventBuilder()->saveAndReset()) {
            return saveError;
        }
    }
    insertedObjectIDs_ = std::move(inserted);
    return nullptr;
}
