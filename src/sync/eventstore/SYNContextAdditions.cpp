#include "sync/eventstore/SYNContextAdditions.h"

#include <algorithm>

#include "sync/eventstore/SYNLogging.h"

using plat::coredata::FetchRequest;
using plat::coredata::FetchRequestResultType;
using plat::coredata::Predicate;

bool syn_enumerateObjectsForFetchRequest(
    plat::coredata::ManagedObjectContext& context, const FetchRequest& request, std::size_t batchSize,
    const std::function<void(const std::vector<plat::coredata::ManagedObjectPtr>&, std::size_t, bool&)>&
        block,
    plat::ErrorPtr* error) {
    // The IDs as dictionaries: a clean root context reads them alone from the
    // store, where a fetch of IDs would build (and register) every matching
    // object with all its values first.
    FetchRequest idRequest = request;
    idRequest.resultType = FetchRequestResultType::Dictionary;
    idRequest.propertiesToFetch = {{"objectID", "objectID"}};
    auto rows = context.fetchDictionaries(idRequest);
    if (!rows.ok()) {
        SYN_LOG(SYNLoggingLevelError, "Could not fetch object ids: %@", rows.error());
        if (error) {
            *error = rows.error();
        }
        return false;
    }
    std::vector<plat::coredata::ManagedObjectIDPtr> ids;
    ids.reserve(rows->size());
    for (const auto& row : *rows) {
        const plat::Value* id = row.find("objectID");
        if (auto objectID = id ? id->asObjectOf<plat::coredata::ManagedObjectID>() : nullptr) {
            ids.push_back(std::move(objectID));
        }
    }
    rows->clear();
    return syn_enumerateObjectsWithIDs(
        context, request, ids.size(), [&ids](std::size_t i) { return ids[i]; }, batchSize, block, error);
}

bool syn_enumerateObjectsWithIDs(
    plat::coredata::ManagedObjectContext& context, const FetchRequest& request, std::size_t count,
    const std::function<plat::coredata::ManagedObjectIDPtr(std::size_t)>& idAt, std::size_t batchSize,
    const std::function<void(const std::vector<plat::coredata::ManagedObjectPtr>&, std::size_t, bool&)>&
        block,
    plat::ErrorPtr* error) {
    if (count == 0) {
        return true;
    }
    const std::size_t size = batchSize == 0 ? count : batchSize;
    const std::size_t batches = (count + size - 1) / size;
    for (std::size_t batch = 0; batch < batches; ++batch) {
        const std::size_t first = batch * size;
        const std::size_t inBatch = std::min(size, count - first);
        plat::Array members;
        members.reserve(inBatch);
        for (std::size_t i = first; i < first + inBatch; ++i) {
            members.emplace_back(plat::ObjectPtr(idAt(i)));
        }
        FetchRequest objectRequest = request;
        objectRequest.resultType = FetchRequestResultType::ManagedObject;
        objectRequest.fetchLimit = 0;
        objectRequest.fetchOffset = 0;
        auto batchMembers = Predicate::selfIn(plat::Value(std::move(members)));
        objectRequest.predicate =
            request.predicate ? Predicate::andPredicate({batchMembers, request.predicate}) : batchMembers;
        auto objects = context.executeFetchRequest(objectRequest);
        if (!objects.ok()) {
            SYN_LOG(SYNLoggingLevelError, "Could not get objects: %@", objects.error());
            if (error) {
                *error = objects.error();
            }
            return false;
        }
        bool stop = false;
        block(*objects, batches - batch - 1, stop);
        if (stop) {
            return false;
        }
    }
    return true;
}

std::shared_ptr<plat::coredata::PersistentStoreCoordinator> syn_coordinatorOfStoreSave(
    const plat::Notification& didSave) {
    const auto* context = static_cast<const plat::coredata::ManagedObjectContext*>(didSave.object.get());
    if (!context || context->parentContext()) {
        return nullptr;
    }
    return context->persistentStoreCoordinator();
}

std::string syn_storeFileURLOf(const plat::coredata::PersistentStoreCoordinator& coordinator) {
    for (const auto& store : coordinator.persistentStores()) {
        if (store->URL()) {
            return store->URL()->absoluteString();
        }
    }
    return std::string();
}
