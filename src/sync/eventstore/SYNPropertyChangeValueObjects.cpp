// The parts of SYNPropertyChangeValue that read managed objects and attribute
// descriptions: taking changes from objects and reading values back.
#include <algorithm>
#include <unordered_set>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/ValueTransformer.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

using plat::Value;
using plat::coredata::AttributeDescription;
using plat::coredata::AttributeType;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::RelationshipDescription;

namespace {

using IDList = std::vector<ManagedObjectIDPtr>;
using IDSet =
    std::unordered_set<ManagedObjectIDPtr, plat::coredata::ObjectIDHash, plat::coredata::ObjectIDEqual>;

bool isIgnored(const plat::Dictionary& userInfo) {
    return plat::coredata::userInfoBool(userInfo, SYNIgnoredKey);
}

IDList idsOf(const std::vector<plat::coredata::ManagedObjectPtr>& objects) {
    IDList ids;
    ids.reserve(objects.size());
    for (const auto& object : objects) {
        ids.push_back(object->objectID());
    }
    return ids;
}

// The members of a to-many relationship as last saved. Objects do not expose
// them, so a scratch context over the same source (coordinator or parent)
// loads them; an object never saved has none.
IDList committedMembers(const ManagedObject& object, const RelationshipDescription& relationship) {
    if (object.isInserted() || object.objectID()->isTemporaryID()) {
        return {};
    }
    auto context = object.managedObjectContext();
    if (!context) {
        return {};
    }
    auto scratch = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    if (auto parent = context->parentContext()) {
        scratch->setParentContext(parent);
    } else {
        scratch->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
    }
    IDList members;
    try {
        members = idsOf(scratch->objectWithID(object.objectID())->objectsForKey(relationship.name()));
    } catch (const std::exception& exception) {
        SYN_LOG(SYNLoggingLevelWarning, "Could not load saved members: %@", std::string(exception.what()));
    }
    return members;
}

IDList difference(const IDList& from, const IDList& minus) {
    IDSet excluded(minus.begin(), minus.end());
    IDList result;
    for (const auto& id : from) {
        if (!excluded.count(id)) {
            result.push_back(id);
        }
    }
    return result;
}

// The change of one relationship, filled into `change` (made in place by the
// caller with the relationship's name and its type, relationshipChangeType).
int64_t relationshipChangeType(const RelationshipDescription& relationship) {
    if (!relationship.isToMany()) {
        return SYNPropertyChangeTypeToOneRelationship;
    }
    return relationship.isOrdered() ? SYNPropertyChangeTypeOrderedToManyRelationship
                                    : SYNPropertyChangeTypeToManyRelationship;
}

void fillRelationshipChange(SYNPropertyChangeValue& change, const ManagedObject& object,
                            const RelationshipDescription& relationship, bool isPreSave) {
    const std::string& name = relationship.name();
    if (!relationship.isToMany()) {
        auto target = object.objectForKey(name);
        change.setRelatedObjectIDs(target ? target->objectID() : nullptr, {}, {}, {});
        return;
    }
    const bool ordered = relationship.isOrdered();
    if (isPreSave && !ordered) {
        // The object keeps what its save will add and remove: loading the
        // current and the saved members to compare them would cost the size
        // of the other side.
        auto difference = object.toManyDifferenceForKey(name);
        change.setRelatedObjectIDs(nullptr, idsOf(difference.added), idsOf(difference.removed), {});
        return;
    }
    IDList current = idsOf(object.objectsForKey(name));
    IDList added = current;
    IDList removed;
    if (isPreSave) {
        IDList committed = committedMembers(object, relationship);
        added = difference(current, committed);
        removed = difference(committed, current);
    }
    std::map<int64_t, ManagedObjectIDPtr> moved;
    if (ordered) {
        for (std::size_t index = 0; index < current.size(); ++index) {
            moved[static_cast<int64_t>(index)] = current[index];
        }
    }
    change.setRelatedObjectIDs(nullptr, std::move(added), std::move(removed), std::move(moved));
}

std::optional<Value> readTransformable(const Value& raw, const AttributeDescription& attribute) {
    const plat::Data* data = raw.asData();
    if (data == nullptr) {
        return std::nullopt;
    }
    const std::string& name = attribute.valueTransformerName();
    if (name.empty()) {
        auto value = plat::coredata::decodeTransformable(*data, "");
        return value.ok() ? std::optional<Value>(*value) : std::nullopt;
    }
    auto transformer = plat::coredata::ValueTransformer::valueTransformerForName(name);
    if (!transformer) {
        SYN_LOG(SYNLoggingLevelError, "Failed to retrieve value transformer: %@", name);
        return std::nullopt;
    }
    auto value = transformer->reverseTransformedValue(*data);
    if (!value.ok()) {
        SYN_LOG(SYNLoggingLevelError, "Failed to retrieve value transformer: %@", value.error());
        return std::nullopt;
    }
    return *value;
}

}  // namespace

void SYNPropertyChangeValue::setRelatedObjectIDs(ManagedObjectIDPtr related, IDList added, IDList removed,
                                                 std::map<int64_t, ManagedObjectIDPtr> moved) {
    Rare& fields = mutableRare();
    fields.relatedObjectID = std::move(related);
    fields.addedObjectIDs = std::move(added);
    fields.removedObjectIDs = std::move(removed);
    fields.movedObjectIDs = std::move(moved);
    fields.unresolved = true;
}

std::vector<SYNPropertyChangeValue> SYNPropertyChangeValue::propertyChangesForObject(
    const ManagedObject& object, const std::shared_ptr<SYNEventStore>& eventStore,
    const std::vector<std::string>& propertyNames, bool isPreSave, bool storeValues) {
    // Each change is made in its place in the list, which has room for all.
    std::vector<SYNPropertyChangeValue> changes;
    changes.reserve(propertyNames.size());
    const auto* entity = object.entity();
    for (const auto& name : propertyNames) {
        const auto* property = entity->propertyNamed(name);
        if (property == nullptr || property->isTransient() || isIgnored(property->userInfo())) {
            continue;
        }
        if (property->isAttribute()) {
            std::optional<Value> stored;
            if (storeValues) {
                stored = storedAttributeValue(object.valueForKey(name),
                                              static_cast<const AttributeDescription&>(*property));
                if (!stored) {
                    SYN_LOG(SYNLoggingLevelError, "Could not store value of %@", name);
                    continue;
                }
            }
            auto& change = changes.emplace_back(SYNPropertyChangeTypeAttribute, name);
            if (storeValues) {
                change.setValue(std::move(stored));
            }
        } else {
            const auto& relationship = static_cast<const RelationshipDescription&>(*property);
            if (relationship.destinationEntity() && isIgnored(relationship.destinationEntity()->userInfo())) {
                continue;
            }
            fillRelationshipChange(changes.emplace_back(relationshipChangeType(relationship), name), object,
                                   relationship, isPreSave);
        }
        changes.back().setEventStore(eventStore);
        changes.back().setObjectID(object.objectID());
    }
    return changes;
}

std::optional<Value> SYNPropertyChangeValue::storedAttributeValue(const Value& value,
                                                                  const AttributeDescription& attribute) {
    if (value.isNull()) {
        return Value();
    }
    switch (attribute.attributeType()) {
        case AttributeType::Transformable: {
            auto data = plat::coredata::encodeTransformable(value, attribute.valueTransformerName());
            return data.ok() ? std::optional<Value>(Value(std::move(*data))) : std::nullopt;
        }
        case AttributeType::UUID:
            // UUID and URL objects cannot be archived: they travel as text.
            if (auto uuid = value.asObjectOf<plat::coredata::UUIDObject>()) {
                return Value(uuid->uuid().UUIDString());
            }
            return value;
        case AttributeType::URI:
            if (auto url = value.asObjectOf<plat::URLObject>()) {
                return Value(url->url().absoluteString());
            }
            return value;
        default:
            return value;
    }
}

std::optional<Value> SYNPropertyChangeValue::attributeValueForAttributeDescription(
    const AttributeDescription& attribute) const {
    Value raw;
    if (filename()) {
        auto store = eventStore();
        auto data = store ? store->dataForFile(*filename()) : std::nullopt;
        if (!data) {
            return std::nullopt;
        }
        raw = Value(std::move(*data));
    } else if (value_) {
        raw = *value_;
    }
    if (raw.isNull()) {
        return Value();
    }
    switch (attribute.attributeType()) {
        case AttributeType::Transformable:
            return readTransformable(raw, attribute);
        case AttributeType::UUID:
            if (raw.isString()) {
                auto uuid = plat::UUID::fromString(*raw.asString());
                return uuid ? std::optional<Value>(plat::coredata::UUIDObject::make(*uuid)) : std::nullopt;
            }
            break;
        case AttributeType::URI:
            if (raw.isString()) {
                auto url = plat::URL::URLWithString(*raw.asString());
                return url ? std::optional<Value>(Value(plat::URLObject::make(*url))) : std::nullopt;
            }
            break;
        default:
            break;
    }
    return plat::coredata::coerceValue(raw, attribute.attributeType());
}
