// The framework's helpers on the object model: which entities take part in
// sync and in which order, the model's hashes that events carry, and the
// shapes of entities and relationships the merge engine walks.
//
// User-info keys of the application's model: "SYNMigrationPriorityKey"
// (entity, integer, higher first, default 0), "SYNMigrationBatchSizeKey"
// (entity, integer, 0 or missing: no batching) and "SYNIgnoredKey" (entity or
// property, boolean: left out of sync). Values may be numbers or strings.
//
// Pure functions over finalized models: any thread. Returned entity and
// relationship pointers live as long as the model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/Value.h"

inline constexpr const char* SYNMigrationPriorityKey = "SYNMigrationPriorityKey";
inline constexpr const char* SYNMigrationBatchSizeKey = "SYNMigrationBatchSizeKey";
inline constexpr const char* SYNIgnoredKey = "SYNIgnoredKey";

using SYNEntityList = std::vector<const plat::coredata::EntityDescription*>;

// Entities not marked ignored, by priority (descending), then by name
// ignoring ASCII case (names equal but for case: by exact name).
SYNEntityList syn_entitiesOrderedByMigrationPriority(const plat::coredata::ManagedObjectModel& model);

// "md5" followed by the MD5 (32 upper-case hex digits) of the entity version
// hashes joined in entity-name order.
std::string syn_compressedModelHash(const plat::coredata::ManagedObjectModel& model);

// A dictionary from entity name to its version hash (data).
plat::Value syn_entityHashesPropertyList(const plat::coredata::ManagedObjectModel& model);

// The entity's batch size; missing or negative gives 0.
int64_t syn_migrationBatchSize(const plat::coredata::EntityDescription& entity);

// All sub-entities, depth first: each direct sub-entity followed by its own
// descendants.
SYNEntityList syn_descendantEntities(const plat::coredata::EntityDescription& entity);

// The chain of super-entities, nearest first.
SYNEntityList syn_ancestorEntities(const plat::coredata::EntityDescription& entity);

// The entity's relationships (inherited ones included, in name order) whose
// destination is one of `entities` and that are neither ignored nor
// redundant. Of the two sides of a relationship pair exactly one is
// redundant, so that writing the other keeps the pair: the side that carries
// less (an unordered to-many < a to-one < an ordered to-many) is redundant;
// between equal sides, the one whose "Entity.relationship" name sorts later.
// A relationship without an inverse, or that is its own inverse, is never
// redundant.
std::vector<const plat::coredata::RelationshipDescription*> syn_nonRedundantRelationshipsDestinedForEntities(
    const plat::coredata::EntityDescription& entity, const SYNEntityList& entities);

// True when the relationship's side of its pair is the redundant one.
bool syn_isRedundantRelationship(const plat::coredata::RelationshipDescription& relationship);
