// FetchRequest: what to fetch — an entity (with or without its
// sub-entities), a predicate, an order, a window (offset, limit), and the
// form of the result. A plain value: copy it freely; it is read, never
// changed, by the fetch.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/coredata/Predicate.h"
#include "platform/coredata/SortDescriptor.h"

namespace plat::coredata {

enum class FetchRequestResultType {
    ManagedObject,    // managed objects of the context
    ManagedObjectID,  // their IDs
    Dictionary,       // one dictionary per object holding propertiesToFetch
    Count,            // executeFetchRequest answers one number
};

struct FetchRequest {
    FetchRequest() = default;
    explicit FetchRequest(std::string entity) : entityName(std::move(entity)) {}

    std::string entityName;
    PredicatePtr predicate;  // null: every object
    std::vector<SortDescriptor> sortDescriptors;
    bool includesSubentities = true;
    std::size_t fetchLimit = 0;  // 0: no limit
    std::size_t fetchOffset = 0;
    std::size_t fetchBatchSize = 0;  // a hint; results are always complete
    FetchRequestResultType resultType = FetchRequestResultType::ManagedObject;
    // Objects come back with their values (true) or as faults (false).
    bool includesPropertyValues = true;
    bool returnsObjectsAsFaults = true;  // a hint; values are loaded either way when included
    // Without sort descriptors results come in primary-key order; false lets
    // a store return them in any order, sparing it a sort of whole rows (a
    // window then takes any of them: a limit of 1 asks whether one exists).
    bool ordersByKey = true;
    // Dictionary results: (result key, key path) pairs; a key path of
    // "objectID" gives the object's ID, a to-one relationship gives the
    // destination's ID.
    std::vector<std::pair<std::string, std::string>> propertiesToFetch;
    // Relationships to load with the objects (a hint).
    std::vector<std::string> relationshipKeyPathsForPrefetching;

    void addPropertyToFetch(std::string keyPath) { propertiesToFetch.emplace_back(keyPath, keyPath); }
};

}  // namespace plat::coredata
