#include "sync/integration/SYNIntegrationStage.h"

#include <algorithm>
#include <exception>

#include "platform/coredata/CoreDataErrors.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"

using plat::Value;
using plat::coredata::EntityDescription;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;
using plat::coredata::RelationshipDescription;

namespace {

// Keeps IN lists within what any store translates into one query.
constexpr std::size_t kFetchChunk = 2000;
// Up to this many objects are looked up one by one rather than fetched.
constexpr std::size_t kLookUpLimit = 64;

bool isLargeData(const Value& value) {
    return value.isData() && value.asData()->length() > SYNMaximumInlineDataLength;
}

// The same payload, not merely an equal one.
bool isIdentical(const Value& a, const Value& b) {
    if (a.isData() && b.isData()) {
        return a.asData() == b.asData();
    }
    if (a.isObject() && b.isObject()) {
        return a.asObjectOf<plat::Object>() == b.asObjectOf<plat::Object>();
    }
    if (a.isNull() && b.isNull()) {
        return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> SYNCandidateEntityNames(const RelationshipDescription& relationship) {
    std::vector<std::string> names;
    const EntityDescription* destination = relationship.destinationEntity();
    if (!destination) {
        return names;
    }
    for (const EntityDescription* descendant : syn_descendantEntities(*destination)) {
        names.push_back(descendant->name());
    }
    names.push_back(destination->name());
    return names;
}

SYNIntegrationStage::SYNIntegrationStage(std::shared_ptr<SYNEventBuilder> eventBuilder,
                                         SYNManagedObjectIDs objectChangeIDs,
                                         std::shared_ptr<ManagedObjectContext> managedObjectContext,
                                         uint64_t batchSize)
    : context_(std::move(managedObjectContext)),
      batchSize_(batchSize),
      objectChangeIDs_(std::move(objectChangeIDs)),
      eventBuilder_(std::move(eventBuilder)) {
    eventStore_ = eventBuilder_->eventStore();
    eventContext_ = eventStore_->managedObjectContext();
    const uint64_t count = objectChangeIDs_.size();
    maximumBatchSize_ = batchSize_ != 0 ? batchSize_ : count;
    totalNumberOfBatches_ = maximumBatchSize_ == 0 ? 0 : (count + maximumBatchSize_ - 1) / maximumBatchSize_;
    numberOfBatchesRemaining_ = totalNumberOfBatches_;
    updateBatchProperties();
}

void SYNIntegrationStage::updateBatchProperties() {
    if (numberOfBatchesRemaining_ == 0) {
        numberOfChangesInNextBatch_ = 0;
        firstIndexOfNextBatch_ = NotFound;
        return;
    }
    numberOfChangesInNextBatch_ = maximumBatchSize_;
    firstIndexOfNextBatch_ = (totalNumberOfBatches_ - numberOfBatchesRemaining_) * maximumBatchSize_;
    const uint64_t remainder = objectChangeIDs_.size() % maximumBatchSize_;
    if (numberOfBatchesRemaining_ == 1 && remainder != 0) {
        numberOfChangesInNextBatch_ = remainder;
    }
}

void SYNIntegrationStage::incrementBatch() {
    if (numberOfBatchesRemaining_ > 0) {
        --numberOfBatchesRemaining_;
    }
    updateBatchProperties();
}

std::optional<SYNManagedObjectIDs> SYNIntegrationStage::nextBatchChangeIDs() const {
    if (firstIndexOfNextBatch_ == NotFound) {
        return std::nullopt;
    }
    auto first = objectChangeIDs_.begin() + static_cast<std::ptrdiff_t>(firstIndexOfNextBatch_);
    return SYNManagedObjectIDs(first, first + static_cast<std::ptrdiff_t>(numberOfChangesInNextBatch_));
}

plat::ErrorPtr SYNIntegrationStage::applyNextBatchOfChanges() {
    auto batch = nextBatchChangeIDs();
    if (!batch || batch->empty()) {
        return nullptr;
    }
    if (!eventContext_) {
        return SYNMakeError(SYNErrorEnlistState, "The event store is not open");
    }
    plat::ErrorPtr error;
    eventContext_->performBlockAndWait([&] { error = applyChangeIDs(*batch); });
    if (error) {
        return error;
    }
    incrementBatch();
    return nullptr;
}

Value SYNIntegrationStage::valueForKey(std::string_view key, const ManagedObject& object) {
    object.willAccessValueForKey(key);
    Value value = object.primitiveValueForKey(key);
    object.didAccessValueForKey(key);
    return value;
}

void SYNIntegrationStage::setValueForKey(const Value& value, std::string_view key, ManagedObject& object) {
    try {
        Value old = valueForKey(key, object);
        if (isIdentical(old, value)) {
            return;
        }
        if (!isLargeData(old) && !isLargeData(value) && old == value) {
            return;
        }
        const auto* relationship = object.entity()->relationshipNamed(key);
        // Both writes notify the property's observers once.
        if (relationship && relationship->inverseRelationship()) {
            object.setValue(value, key);
        } else {
            object.setPrimitiveValue(value, key);
        }
    } catch (const std::exception& exception) {
        SYN_LOG(1, "Exception thrown setting value during integration. Possibly DB corruption. Ignoring: %@",
                exception.what());
    }
}

plat::Result<SYNManagedObjects> SYNIntegrationStage::loadChanges(const SYNManagedObjectIDs& changeIDs) {
    auto fetched = SYNObjectChange::prefetchObjectChangesForObjectIDs(changeIDs, *eventContext_);
    if (!fetched.ok()) {
        return fetched.error();
    }
    std::unordered_map<ManagedObjectIDPtr, ManagedObjectPtr, plat::coredata::ObjectIDHash,
                       plat::coredata::ObjectIDEqual>
        byID;
    for (const auto& change : *fetched) {
        byID.emplace(change->objectID(), change);
    }
    SYNManagedObjects ordered;
    ordered.reserve(changeIDs.size());
    for (const auto& id : changeIDs) {
        auto found = byID.find(id);
        if (found != byID.end()) {
            ordered.push_back(found->second);
        }
    }
    return ordered;
}

plat::ErrorPtr SYNIntegrationStage::enumerateObjectChangeIDs(
    const SYNManagedObjectIDs& changeIDs,
    const std::function<plat::ErrorPtr(const SYNManagedObjects&)>& block) {
    if (changeIDs.empty()) {
        return nullptr;
    }
    const std::size_t step = batchSize_ != 0 ? batchSize_ : changeIDs.size();
    for (std::size_t first = 0; first < changeIDs.size(); first += step) {
        const std::size_t count = std::min(step, changeIDs.size() - first);
        SYNManagedObjectIDs sub(changeIDs.begin() + static_cast<std::ptrdiff_t>(first),
                                changeIDs.begin() + static_cast<std::ptrdiff_t>(first + count));
        auto changes = loadChanges(sub);
        if (!changes.ok()) {
            return changes.error();
        }
        if (auto error = block(*changes)) {
            return error;
        }
        // Saving bounds memory when the caller batches; unbatched, the
        // integrator saves the event store once per entity batch (a save per
        // stage would cost a synchronous disk write per event).
        if (batchSize_ != 0) {
            if (auto error = eventBuilder_->saveAndReset()) {
                return error;
            }
        }
    }
    return nullptr;
}

std::map<std::string, std::set<std::string>>
SYNIntegrationStage::globalIdentifierStringsByEntityNameInObjectChanges(
    const SYNManagedObjects& changes, const SYNRelationshipList* relationshipsToInclude) const {
    std::map<std::string, std::set<std::string>> result;
    const auto& model = *context_->persistentStoreCoordinator()->managedObjectModel();
    std::set<std::string> filter;
    if (relationshipsToInclude) {
        for (const auto* relationship : *relationshipsToInclude) {
            filter.insert(relationship->name());
        }
    }
    std::map<std::string, std::vector<std::string>> candidatesByDestination;
    for (const auto& change : changes) {
        const std::string entityName = change->valueForKey("nameOfEntity").asString()
                                           ? *change->valueForKey("nameOfEntity").asString()
                                           : std::string();
        const EntityDescription* entity = model.entityForName(entityName).get();
        if (!entity) {
            SYN_LOG(2, "Did not find entity in model: %@", entityName);
            continue;
        }
        if (auto identifier = SYNObjectChange::globalIdentifierString(*change)) {
            result[entityName].insert(*identifier);
        }
        for (const auto& value : SYNObjectChange::propertyChangeValues(*change)) {
            if (value.type() == SYNPropertyChangeTypeAttribute) {
                continue;
            }
            if (relationshipsToInclude && !filter.count(value.propertyName())) {
                continue;
            }
            const RelationshipDescription* relationship = entity->relationshipNamed(value.propertyName());
            if (!relationship) {
                SYN_LOG(4, "Did not find relationship property in model: %@", value.propertyName());
                continue;
            }
            auto& candidates = candidatesByDestination[relationship->destinationEntityName()];
            if (candidates.empty()) {
                candidates = SYNCandidateEntityNames(*relationship);
            }
            for (const auto& candidate : candidates) {
                auto& identifiers = result[candidate];
                if (value.relatedIdentifier()) {
                    identifiers.insert(*value.relatedIdentifier());
                }
                identifiers.insert(value.addedIdentifiers().begin(), value.addedIdentifiers().end());
                identifiers.insert(value.removedIdentifiers().begin(), value.removedIdentifiers().end());
                for (const auto& [index, identifier] : value.movedIdentifiersByIndex()) {
                    identifiers.insert(identifier);
                }
            }
        }
    }
    return result;
}

plat::Result<SYNIntegrationStage::ObjectsByID> SYNIntegrationStage::existingObjectsForIDs(
    const std::vector<ManagedObjectIDPtr>& ids, const EntityDescription& entity, bool includesSubentities) {
    ObjectsByID result;
    auto fits = [&](const ManagedObject& object) {
        return !object.isDeleted() && !object.isInvalidated() &&
               (includesSubentities ? object.entity()->isKindOfEntity(&entity) : object.entity() == &entity);
    };
    std::vector<ManagedObjectIDPtr> unknown;
    for (const auto& id : ids) {
        auto object = context_->objectRegisteredForID(id);
        if (object && !object->isFault()) {
            if (fits(*object)) {
                result.emplace(id, object);
            }
        } else {
            unknown.push_back(id);
        }
    }
    // A fetch also re-checks every unsaved object of the context against
    // the list, which costs more than looking the objects up one by one.
    if (unknown.size() <= kLookUpLimit || context_->hasChanges()) {
        for (const auto& id : unknown) {
            auto object = context_->existingObjectWithID(id);
            if (!object.ok()) {
                if (object.error()->code() == plat::coredata::ManagedObjectReferentialIntegrityError) {
                    continue;
                }
                return object.error();
            }
            if (fits(**object)) {
                result.emplace(id, *object);
            }
        }
        return result;
    }
    for (std::size_t first = 0; first < unknown.size(); first += kFetchChunk) {
        const std::size_t count = std::min(kFetchChunk, unknown.size() - first);
        plat::Array list;
        list.reserve(count);
        for (std::size_t i = first; i < first + count; ++i) {
            list.push_back(Value(plat::ObjectPtr(unknown[i])));
        }
        FetchRequest request(entity.name());
        request.predicate = Predicate::selfIn(Value(std::move(list)));
        request.includesSubentities = includesSubentities;
        auto fetched = context_->executeFetchRequest(request);
        if (!fetched.ok()) {
            return fetched.error();
        }
        for (const auto& object : *fetched) {
            result.emplace(object->objectID(), object);
        }
    }
    return result;
}

plat::Result<std::unordered_map<const ManagedObject*, ManagedObjectPtr>>
SYNIntegrationStage::fetchObjectsByGlobalIdentifierForEntityName(const std::string& entityName,
                                                                 const SYNManagedObjects& rows) {
    auto coordinator = context_->persistentStoreCoordinator();
    std::vector<std::pair<const ManagedObject*, ManagedObjectIDPtr>> idsByRow;
    for (const auto& row : rows) {
        Value uri = row->valueForKey("storeURI");
        if (!uri.asString()) {
            continue;
        }
        ManagedObjectIDPtr id = coordinator->managedObjectIDForURIRepresentation(*uri.asString());
        if (!id) {
            SYN_LOG(2, "Was unable to fetch object with URI: %@", *uri.asString());
            continue;
        }
        idsByRow.emplace_back(row.get(), std::move(id));
    }
    std::unordered_map<const ManagedObject*, ManagedObjectPtr> result;
    if (idsByRow.empty()) {
        return result;
    }
    auto entity = coordinator->managedObjectModel()->entityForName(entityName);
    if (!entity) {
        return result;
    }
    std::vector<ManagedObjectIDPtr> ids;
    ids.reserve(idsByRow.size());
    for (const auto& entry : idsByRow) {
        ids.push_back(entry.second);
    }
    plat::ErrorPtr error;
    ObjectsByID objectsByID;
    context_->performBlockAndWait([&] {
        auto found = existingObjectsForIDs(ids, *entity, false);
        if (!found.ok()) {
            error = found.error();
            return;
        }
        objectsByID = std::move(*found);
    });
    if (error) {
        return error;
    }
    for (const auto& [row, id] : idsByRow) {
        auto found = objectsByID.find(id);
        if (found != objectsByID.end()) {
            result.emplace(row, found->second);
        }
    }
    return result;
}

plat::Result<SYNObjectsByIdentifierByEntityName>
SYNIntegrationStage::fetchCurrentMembersOfReorderedRelationships(const SYNManagedObjects& changes) {
    // (entity, identifier row) -> names of the ordered relationships reordered.
    std::map<std::string, std::vector<std::pair<ManagedObjectPtr, std::set<std::string>>>> noted;
    for (const auto& change : changes) {
        std::set<std::string> names;
        for (const auto& value : SYNObjectChange::propertyChangeValues(*change)) {
            if (!value.movedIdentifiersByIndex().empty()) {
                names.insert(value.propertyName());
            }
        }
        auto row = change->objectForKey("globalIdentifier");
        Value entityName = change->valueForKey("nameOfEntity");
        if (!names.empty() && row && entityName.asString()) {
            noted[*entityName.asString()].emplace_back(row, std::move(names));
        }
    }
    SYNObjectsByIdentifierByEntityName result;
    if (noted.empty()) {
        return result;
    }
    std::map<std::string, std::vector<ManagedObjectPtr>> membersByDestination;
    for (const auto& entry : noted) {
        const std::string& entityName = entry.first;
        const auto& entries = entry.second;  // a plain reference: lambdas below use it
        SYNManagedObjects rows;
        for (const auto& item : entries) {
            rows.push_back(item.first);
        }
        auto objects = fetchObjectsByGlobalIdentifierForEntityName(entityName, rows);
        if (!objects.ok()) {
            return objects.error();
        }
        plat::ErrorPtr error;
        context_->performBlockAndWait([&] {
            try {
                for (const auto& [row, names] : entries) {
                    auto found = objects->find(row.get());
                    for (const auto& name : names) {
                        const RelationshipDescription* relationship =
                            found == objects->end() ? nullptr
                                                    : found->second->entity()->relationshipNamed(name);
                        if (!relationship || !relationship->isToMany()) {
                            SYN_LOG(4, "Did not find relationship property in model: %@", name);
                            continue;
                        }
                        auto& members = membersByDestination[relationship->destinationEntityName()];
                        for (const auto& member : found->second->objectsForKey(name)) {
                            members.push_back(member);
                        }
                    }
                }
            } catch (const std::exception& exception) {
                error = SYNMakeError(SYNErrorUnknown, exception.what());
            }
        });
        if (error) {
            return error;
        }
    }
    for (auto& [destination, members] : membersByDestination) {
        SYNManagedObjectIDs ids;
        ids.reserve(members.size());
        for (const auto& member : members) {
            ids.push_back(member->objectID());
        }
        auto rows = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(ids, *eventContext_);
        if (!rows.ok()) {
            return rows.error();
        }
        auto& table = result[destination];
        for (std::size_t i = 0; i < members.size() && i < rows->size(); ++i) {
            const auto& row = (*rows)[i];
            Value identifier = row ? row->valueForKey("globalIdentifier") : Value();
            if (!identifier.asString()) {
                SYN_LOG(1, "A global identifier was not found for an ordered-relationship object");
                continue;
            }
            table.emplace(*identifier.asString(), members[i]);
        }
    }
    return result;
}

plat::Result<SYNObjectsByIdentifierByEntityName>
SYNIntegrationStage::fetchObjectsByGlobalIdStringByEntityNameForChanges(
    const SYNManagedObjects& changes, const SYNRelationshipList* relationshipsToInclude) {
    SYNObjectsByIdentifierByEntityName result;
    for (const auto& [entityName, identifierSet] :
         globalIdentifierStringsByEntityNameInObjectChanges(changes, relationshipsToInclude)) {
        std::vector<std::string> identifiers(identifierSet.begin(), identifierSet.end());
        auto rows = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings(identifiers, entityName,
                                                                                    *eventContext_);
        if (!rows.ok()) {
            SYN_LOG(1, "Error fetching ids: %@", rows.error()->description());
            return rows.error();
        }
        SYNManagedObjects present;
        for (const auto& row : *rows) {
            if (row) {
                present.push_back(row);
            }
        }
        auto objects = fetchObjectsByGlobalIdentifierForEntityName(entityName, present);
        if (!objects.ok()) {
            return objects.error();
        }
        auto& table = result[entityName];
        for (const auto& row : present) {
            auto found = objects->find(row.get());
            if (found != objects->end()) {
                table.emplace(*row->valueForKey("globalIdentifier").asString(), found->second);
            }
        }
    }
    auto members = fetchCurrentMembersOfReorderedRelationships(changes);
    if (!members.ok()) {
        return members.error();
    }
    for (auto& [entityName, table] : *members) {
        auto target = result.find(entityName);
        if (target == result.end()) {
            continue;
        }
        target->second.insert(table.begin(), table.end());
    }
    return result;
}
