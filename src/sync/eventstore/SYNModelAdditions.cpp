#include "sync/eventstore/SYNModelAdditions.h"

#include <algorithm>

#include "platform/foundation/Text.h"
#include "sync/eventstore/SYNDataAdditions.h"

using plat::coredata::EntityDescription;
using plat::coredata::RelationshipDescription;
using plat::coredata::userInfoBool;
using plat::coredata::userInfoInteger;

namespace {

// What a side of a pair carries: the higher one keeps the link.
int carriedWeight(const RelationshipDescription& relationship) {
    if (!relationship.isToMany()) {
        return 1;
    }
    return relationship.isOrdered() ? 2 : 0;
}

std::string qualifiedName(const RelationshipDescription& relationship) {
    const EntityDescription* owner = relationship.entity();
    return (owner != nullptr ? owner->name() : std::string()) + "." + relationship.name();
}

void appendDescendants(const EntityDescription& entity, SYNEntityList& out) {
    for (const EntityDescription* sub : entity.subentities()) {
        out.push_back(sub);
        appendDescendants(*sub, out);
    }
}

}  // namespace

SYNEntityList syn_entitiesOrderedByMigrationPriority(const plat::coredata::ManagedObjectModel& model) {
    SYNEntityList entities;
    for (const auto& entity : model.entities()) {
        if (!userInfoBool(entity->userInfo(), SYNIgnoredKey)) {
            entities.push_back(model.entityNamed(entity->name()));
        }
    }
    std::sort(entities.begin(), entities.end(), [](const EntityDescription* a, const EntityDescription* b) {
        const int64_t pa = userInfoInteger(a->userInfo(), SYNMigrationPriorityKey);
        const int64_t pb = userInfoInteger(b->userInfo(), SYNMigrationPriorityKey);
        if (pa != pb) {
            return pa > pb;
        }
        const int byName = plat::text::caseInsensitiveCompare(a->name(), b->name());
        return byName != 0 ? byName < 0 : a->name() < b->name();
    });
    return entities;
}

std::string syn_compressedModelHash(const plat::coredata::ManagedObjectModel& model) {
    plat::Data joined;
    for (const auto& [name, hash] : model.entityVersionHashesByName()) {
        joined.append(hash);
    }
    return "md5" + syn_md5Checksum(joined);
}

plat::Value syn_entityHashesPropertyList(const plat::coredata::ManagedObjectModel& model) {
    plat::Dictionary hashes;
    for (const auto& [name, hash] : model.entityVersionHashesByName()) {
        hashes.set(name, plat::Value(hash));
    }
    return plat::Value(std::move(hashes));
}

int64_t syn_migrationBatchSize(const EntityDescription& entity) {
    return std::max<int64_t>(0, userInfoInteger(entity.userInfo(), SYNMigrationBatchSizeKey));
}

SYNEntityList syn_descendantEntities(const EntityDescription& entity) {
    SYNEntityList descendants;
    appendDescendants(entity, descendants);
    return descendants;
}

SYNEntityList syn_ancestorEntities(const EntityDescription& entity) {
    SYNEntityList ancestors;
    for (const EntityDescription* super = entity.superentity(); super != nullptr;
         super = super->superentity()) {
        ancestors.push_back(super);
    }
    return ancestors;
}

bool syn_isRedundantRelationship(const RelationshipDescription& relationship) {
    const RelationshipDescription* inverse = relationship.inverseRelationship();
    if (inverse == nullptr || inverse == &relationship) {
        return false;
    }
    const int mine = carriedWeight(relationship);
    const int theirs = carriedWeight(*inverse);
    if (mine != theirs) {
        return mine < theirs;
    }
    return qualifiedName(relationship) > qualifiedName(*inverse);
}

std::vector<const RelationshipDescription*> syn_nonRedundantRelationshipsDestinedForEntities(
    const EntityDescription& entity, const SYNEntityList& entities) {
    std::vector<const RelationshipDescription*> result;
    for (const auto& [name, relationship] : entity.relationshipsByName()) {
        const bool destined =
            std::find(entities.begin(), entities.end(), relationship->destinationEntity()) != entities.end();
        if (destined && !userInfoBool(relationship->userInfo(), SYNIgnoredKey) &&
            !syn_isRedundantRelationship(*relationship)) {
            result.push_back(relationship);
        }
    }
    return result;
}
