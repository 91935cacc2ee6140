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
    FetchRequest idRequest = request;
    idRequest.resultType = FetchRequestResultType::ManagedObjectID;
    auto ids = context.fetchObjectIDs(idRequest);
    if (!ids.ok()) {
        SYN_LOG(SYNLoggingLevelError, "Could not fetch object ids: %@", ids.error());
        if (error) {
            *error = ids.error();
        }
        return false;
    }
    if (ids->empty()) {
        return true;
    }
    const std::size_t size = batchSize == 0 ? ids->size() : batchSize;
    const std::size_t batches = (ids->size() + size - 1) / size;
    for (std::size_t batch = 0; batch < batches; ++batch) {
        const std::size_t first = batch * size;
        const std::size_t count = std::min(size, ids->size() - first);
        plat::Array members;
        members.reserve(count);
        for (std::size_t i = first; i < first + count; ++i) {
            members.emplace_back(plat::ObjectPtr((*ids)[i]));
        }
        FetchRequest objectRequest = request;
        objectRequest.resultType = FetchRequestResultType::ManagedObject;
        objectRequest.fetchLimit = 0;
        objectRequest.fetchOffset = 0;
        auto inBatch = Predicate::selfIn(plat::Value(std::move(members)));
        objectRequest.predicate =
            request.predicate ? Predicate::andPredicate({inBatch, request.predicate}) : inBatch;
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
