#include "sync/integration/SYNUpdateStage.h"

#include <algorithm>
#include <exception>
#include <set>

#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNLogging.h"

using plat::Value;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::RelationshipDescription;

namespace {

ManagedObjectPtr findObject(const std::vector<std::string>& candidates,
                            const SYNObjectsByIdentifierByEntityName& objects,
                            const std::string& identifier) {
    for (const auto& candidate : candidates) {
        auto table = objects.find(candidate);
        if (table == objects.end()) {
            continue;
        }
        auto found = table->second.find(identifier);
        if (found != table->second.end()) {
            return found->second;
        }
    }
    return nullptr;
}

std::string relatedText(const SYNPropertyChangeValue& value) {
    return value.relatedIdentifier() ? *value.relatedIdentifier() : std::string("(null)");
}

}  // namespace

plat::ErrorPtr SYNUpdateStage::applyChangeIDs(const SYNManagedObjectIDs& changeIDs) {
    // A stretch at a time, in order: the records (and their decoded values)
    // of a whole unbatched entity need not be held at once. Each change
    // finds its objects by identifier in the context, so the stretches see
    // the same objects one call over all the changes would.
    for (std::size_t first = 0; first < changeIDs.size(); first += kRecordsAtATime) {
        const std::size_t count = std::min(kRecordsAtATime, changeIDs.size() - first);
        auto records = loadRecords(
            first == 0 && count == changeIDs.size()
                ? changeIDs
                : SYNManagedObjectIDs(changeIDs.begin() + static_cast<std::ptrdiff_t>(first),
                                      changeIDs.begin() + static_cast<std::ptrdiff_t>(first + count)));
        if (!records.ok()) {
            return records.error();
        }
        if (auto error = applyChangeRecords(*records)) {
            return error;
        }
    }
    return nullptr;
}

plat::ErrorPtr SYNUpdateStage::applyObjectChanges(const SYNManagedObjects& changes) {
    SYNChangeRecords records;
    records.reserve(changes.size());
    const auto storeURIs = SYNStoreURIs::forContext(eventContext());
    for (const auto& change : changes) {
        records.push_back(SYNChangeRecord::fromChange(*change, *storeURIs));
    }
    return applyChangeRecords(records);
}

plat::ErrorPtr SYNUpdateStage::applyChangeRecords(const SYNChangeRecords& changes) {
    if (changes.empty()) {
        return nullptr;
    }
    candidates_.clear();
    // Without relationships to update, no related object needs resolving.
    const SYNRelationshipList noRelationships;
    const SYNRelationshipList& relationships =
        relationshipsToUpdate_ ? *relationshipsToUpdate_ : noRelationships;
    struct Work {
        ManagedObjectPtr object;
        const std::vector<std::shared_ptr<const SYNPropertyChangeValue>>* values;
        bool insert;
    };
    std::vector<Work> work;
    work.reserve(changes.size());
    auto own = relationships.empty()
                   ? ownObjectsOfAttributeChanges(changes)
                   : plat::Result<std::optional<std::vector<ManagedObjectPtr>>>(std::nullopt);
    if (!own.ok()) {
        return own.error();
    }
    std::set<std::string> names;
    for (const auto* relationship : relationships) {
        names.insert(relationship->name());
    }
    plat::Result<SYNObjectsByIdentifierByEntityName> tables = SYNObjectsByIdentifierByEntityName();
    // Destinations set by ID, looked up by key alone.
    std::set<std::string> byKey;
    SYNObjectIDsByIdentifierByEntityName ids;
    if (*own) {
        for (std::size_t i = 0; i < changes.size(); ++i) {
            if ((**own)[i] && !changes[i].values.empty()) {
                work.push_back(
                    {(**own)[i], &changes[i].values, changes[i].type == SYNObjectChangeTypeInsert});
            }
        }
    } else {
        byKey = entitiesSetByKey(changes, names);
        tables = fetchObjectsByGlobalIdStringByEntityNameForChanges(changes, &relationships, &byKey, &ids);
    }
    if (!tables.ok()) {
        return tables.error();
    }
    // The identifiers by object, which only ordered relationships use.
    SYNIdentifiersByObjectByEntityName inverse;
    const bool reorders =
        !names.empty() && std::any_of(changes.begin(), changes.end(), [&](const auto& change) {
            return std::any_of(change.values.begin(), change.values.end(), [&](const auto& value) {
                return value->type() == SYNPropertyChangeTypeOrderedToManyRelationship &&
                       names.count(value->propertyName()) != 0;
            });
        });
    if (reorders) {
        for (const auto& [entityName, table] : *tables) {
            auto& byObject = inverse[entityName];
            for (const auto& [identifier, object] : table) {
                byObject.emplace(object.get(), identifier);
            }
        }
    }

    for (const auto& change : changes) {  // (the tables are empty when the objects were found above)
        if (change.entityName.empty() || !change.globalIdentifier) {
            continue;
        }
        auto table = tables->find(change.entityName);
        if (table == tables->end()) {
            continue;
        }
        auto found = table->second.find(*change.globalIdentifier);
        if (found == table->second.end()) {
            continue;
        }
        if (change.values.empty()) {
            continue;
        }
        work.push_back({found->second, &change.values, change.type == SYNObjectChangeTypeInsert});
    }

    plat::ErrorPtr error;
    managedObjectContext()->performBlockAndWait([&] {
        try {
            std::vector<const SYNPropertyChangeValue*> attributes, toOne, toMany, ordered;
            for (auto& item : work) {
                attributes.clear();
                toOne.clear();
                toMany.clear();
                ordered.clear();
                for (const auto& held : *item.values) {
                    const SYNPropertyChangeValue& value = *held;
                    switch (value.type()) {
                        case SYNPropertyChangeTypeAttribute:
                            attributes.push_back(&value);
                            break;
                        case SYNPropertyChangeTypeToOneRelationship:
                            if (names.count(value.propertyName())) {
                                toOne.push_back(&value);
                            }
                            break;
                        case SYNPropertyChangeTypeToManyRelationship:
                            if (names.count(value.propertyName())) {
                                toMany.push_back(&value);
                            }
                            break;
                        case SYNPropertyChangeTypeOrderedToManyRelationship:
                            if (names.count(value.propertyName())) {
                                ordered.push_back(&value);
                            }
                            break;
                        default:
                            break;
                    }
                }
                if (updatesAttributes_) {
                    applyAttributeChanges(attributes, *item.object);
                }
                applyToOneRelationshipChanges(toOne, *item.object, *tables, byKey.empty() ? nullptr : &byKey,
                                              &ids);
                applyToManyRelationshipChanges(toMany, *item.object, *tables, item.insert);
                applyOrderedToManyRelationshipChanges(ordered, *item.object, *tables, inverse, item.insert);
            }
        } catch (const std::exception& exception) {
            error = plat::Error::make(
                SYNErrorDomain, SYNErrorUnknown,
                plat::Dictionary{{plat::LocalizedFailureReasonErrorKey, Value(exception.what())}});
        }
    });
    return error;
}

const std::vector<std::string>& SYNUpdateStage::candidatesOf(const RelationshipDescription& relationship) {
    auto found = candidates_.find(&relationship);
    if (found == candidates_.end()) {
        found = candidates_.emplace(&relationship, SYNCandidateEntityNames(relationship)).first;
    }
    return found->second;
}

void SYNUpdateStage::applyAttributeChanges(const std::vector<const SYNPropertyChangeValue*>& values,
                                           ManagedObject& object) {
    for (const auto* change : values) {
        const auto* attribute = object.entity()->attributeNamed(change->propertyName());
        if (!attribute) {
            SYN_LOG(2, "Attribute from change value not in model: %@", change->propertyName());
            continue;
        }
        // Only a value kept in a data file needs the event store to be read.
        std::optional<Value> value;
        if (change->filename()) {
            SYNPropertyChangeValue reader = *change;
            reader.setEventStore(eventStore());
            value = reader.attributeValueForAttributeDescription(*attribute);
        } else {
            value = change->attributeValueForAttributeDescription(*attribute);
        }
        if (!value) {
            SYN_LOG(1, "Value of attribute %@ cannot be read; the current value is kept",
                    change->propertyName());
            continue;
        }
        setValueForKey(*value, change->propertyName(), object);
    }
}

std::set<std::string> SYNUpdateStage::entitiesSetByKey(const SYNChangeRecords& changes,
                                                       const std::set<std::string>& names) {
    std::set<std::string> byKey;
    std::set<std::string> byObject;
    const auto& model = *managedObjectContext()->persistentStoreCoordinator()->managedObjectModel();
    const std::string* lastName = nullptr;
    std::shared_ptr<const plat::coredata::EntityDescription> entity;
    // Each relationship's destinations are filed once, by how its values set them.
    std::vector<std::pair<const RelationshipDescription*, bool>> filed;
    for (const auto& change : changes) {
        if (!lastName || *lastName != change.entityName) {
            lastName = &change.entityName;
            entity = model.entityForName(change.entityName);
            byObject.insert(change.entityName);  // the changes' own objects
        }
        for (const auto& held : change.values) {
            const SYNPropertyChangeValue& value = *held;
            if (value.type() == SYNPropertyChangeTypeAttribute || !names.count(value.propertyName())) {
                continue;
            }
            const RelationshipDescription* relationship =
                entity ? entity->relationshipNamed(value.propertyName()) : nullptr;
            if (!relationship) {
                continue;
            }
            if (value.type() == SYNPropertyChangeTypeOrderedToManyRelationship) {
                return {};  // the reordered members are filed with the related objects
            }
            const bool byID = value.type() == SYNPropertyChangeTypeToOneRelationship &&
                              ManagedObject::setsByID(*relationship);
            if (std::find(filed.begin(), filed.end(), std::make_pair(relationship, byID)) != filed.end()) {
                continue;
            }
            filed.emplace_back(relationship, byID);
            for (const auto& candidate : candidatesOf(*relationship)) {
                (byID ? byKey : byObject).insert(candidate);
            }
        }
    }
    for (const auto& name : byObject) {
        byKey.erase(name);
    }
    return byKey;
}

void SYNUpdateStage::applyToOneRelationshipChanges(const std::vector<const SYNPropertyChangeValue*>& values,
                                                   ManagedObject& object,
                                                   const SYNObjectsByIdentifierByEntityName& objects,
                                                   const std::set<std::string>* byKey,
                                                   const SYNObjectIDsByIdentifierByEntityName* ids) {
    for (const auto* change : values) {
        const RelationshipDescription* relationship =
            object.entity()->relationshipNamed(change->propertyName());
        if (!relationship || relationship->isToMany()) {
            SYN_LOG(2,
                    "Could not find relationship in entity, or found a to-many relationship for a to-one "
                    "property "
                    "change. Skipping: %@ %@",
                    change->propertyName(), relatedText(*change));
            continue;
        }
        const auto& candidates = candidatesOf(*relationship);
        if (byKey && ids && ManagedObject::setsByID(*relationship) &&
            std::all_of(candidates.begin(), candidates.end(),
                        [&](const std::string& name) { return byKey->count(name) != 0; })) {
            // The destinations were looked up by key: the link is set by ID,
            // registering neither the old destination nor the new one.
            plat::coredata::ManagedObjectIDPtr targetID;
            if (change->relatedIdentifier()) {
                for (const auto& candidate : candidates) {
                    auto table = ids->find(candidate);
                    if (table == ids->end()) {
                        continue;
                    }
                    auto found = table->second.find(*change->relatedIdentifier());
                    if (found != table->second.end()) {
                        targetID = found->second;
                        break;
                    }
                }
                if (!targetID) {
                    SYN_LOG(4,
                            "Could not find object for identifier while setting to-one relationship. "
                            "Clearing: %@ in %@ for %@",
                            change->propertyName(), object.entity()->name(), *change->relatedIdentifier());
                }
            }
            try {
                object.setObjectIDForKey(targetID, change->propertyName());
            } catch (const std::exception& exception) {
                SYN_LOG(1,
                        "Exception thrown setting value during integration. Possibly DB corruption. "
                        "Ignoring: %@",
                        exception.what());
            }
            continue;
        }
        ManagedObjectPtr target;
        if (change->relatedIdentifier()) {
            target = findObject(candidates, objects, *change->relatedIdentifier());
            if (!target) {
                SYN_LOG(4,
                        "Could not find object for identifier while setting to-one relationship. Clearing: "
                        "%@ in %@ for %@",
                        change->propertyName(), object.entity()->name(), *change->relatedIdentifier());
            }
        }
        setValueForKey(target ? Value(plat::ObjectPtr(target)) : Value(), change->propertyName(), object);
    }
}

void SYNUpdateStage::applyToManyRelationshipChanges(const std::vector<const SYNPropertyChangeValue*>& values,
                                                    ManagedObject& object,
                                                    const SYNObjectsByIdentifierByEntityName& objects,
                                                    bool exactMembers) {
    for (const auto* change : values) {
        const RelationshipDescription* relationship =
            object.entity()->relationshipNamed(change->propertyName());
        if (!relationship || !relationship->isToMany()) {
            SYN_LOG(2,
                    "Could not find relationship in entity, or found a to-one relationship for a to-many "
                    "property "
                    "change. Skipping: %@ %@",
                    change->propertyName(), relatedText(*change));
            continue;
        }
        const auto& candidates = candidatesOf(*relationship);
        auto proxy = relationship->isOrdered() ? object.mutableOrderedSetValueForKey(change->propertyName())
                                               : object.mutableSetValueForKey(change->propertyName());
        std::set<const ManagedObject*> listed;
        for (const auto& identifier : change->addedIdentifiers()) {
            auto member = findObject(candidates, objects, identifier);
            if (member) {
                listed.insert(member.get());
            }
            if (member && !proxy.contains(member)) {
                proxy.addObject(member);
            }
        }
        if (exactMembers) {
            for (const auto& member : object.objectsForKey(change->propertyName())) {
                if (!listed.count(member.get())) {
                    proxy.removeObject(member);
                }
            }
        }
        for (const auto& identifier : change->removedIdentifiers()) {
            if (auto member = findObject(candidates, objects, identifier); member && proxy.contains(member)) {
                proxy.removeObject(member);
            }
        }
    }
}

void SYNUpdateStage::applyOrderedToManyRelationshipChanges(
    const std::vector<const SYNPropertyChangeValue*>& values, ManagedObject& object,
    const SYNObjectsByIdentifierByEntityName& objects, const SYNIdentifiersByObjectByEntityName& identifiers,
    bool exactMembers) {
    for (const auto* change : values) {
        const RelationshipDescription* relationship =
            object.entity()->relationshipNamed(change->propertyName());
        if (!relationship || !relationship->isToMany() || !relationship->isOrdered()) {
            SYN_LOG(2,
                    "Could not find relationship in entity, or found the wrong type of relationship. "
                    "Skipping: %@ %@",
                    change->propertyName(), relatedText(*change));
            continue;
        }
        const auto& candidates = candidatesOf(*relationship);
        std::vector<ManagedObjectPtr> members = object.objectsForKey(change->propertyName());
        auto position = [&](const ManagedObjectPtr& member) {
            return std::find(members.begin(), members.end(), member);
        };
        if (exactMembers) {
            std::set<const ManagedObject*> listed;
            for (const auto& identifier : change->addedIdentifiers()) {
                if (auto member = findObject(candidates, objects, identifier)) {
                    listed.insert(member.get());
                }
            }
            std::erase_if(members,
                          [&](const ManagedObjectPtr& member) { return !listed.count(member.get()); });
        }
        for (const auto& candidate : candidates) {
            auto table = objects.find(candidate);
            if (table == objects.end()) {
                continue;
            }
            for (const auto& identifier : change->addedIdentifiers()) {
                auto found = table->second.find(identifier);
                if (found != table->second.end() && position(found->second) == members.end()) {
                    members.push_back(found->second);
                }
            }
            for (const auto& identifier : change->removedIdentifiers()) {
                auto found = table->second.find(identifier);
                if (found != table->second.end()) {
                    if (auto at = position(found->second); at != members.end()) {
                        members.erase(at);
                    }
                }
            }
        }
        std::unordered_map<const ManagedObject*, int64_t> indexes;
        for (const auto& [index, identifier] : change->movedIdentifiersByIndex()) {
            if (auto member = findObject(candidates, objects, identifier)) {
                indexes[member.get()] = index;
            }
        }
        auto identifierOf = [&](const ManagedObject* member) -> const std::string* {
            for (const auto& candidate : candidates) {
                auto table = identifiers.find(candidate);
                if (table == identifiers.end()) {
                    continue;
                }
                auto found = table->second.find(member);
                if (found != table->second.end()) {
                    return &found->second;
                }
            }
            return nullptr;
        };
        struct Key {
            bool unindexed;
            int64_t index;
            bool unidentified;
            std::string identifier;
            std::size_t position;
            ManagedObjectPtr member;
        };
        std::vector<Key> keys;
        keys.reserve(members.size());
        for (std::size_t i = 0; i < members.size(); ++i) {
            auto index = indexes.find(members[i].get());
            const std::string* identifier = identifierOf(members[i].get());
            keys.push_back({index == indexes.end(), index == indexes.end() ? 0 : index->second,
                            identifier == nullptr, identifier ? *identifier : std::string(), i, members[i]});
        }
        std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
            if (a.unindexed != b.unindexed) {
                return !a.unindexed;
            }
            if (!a.unindexed && a.index != b.index) {
                return a.index < b.index;
            }
            if (a.unidentified != b.unidentified) {
                return !a.unidentified;
            }
            if (a.identifier != b.identifier) {
                return a.identifier < b.identifier;
            }
            return a.position < b.position;
        });
        plat::Array sorted;
        sorted.reserve(keys.size());
        for (const auto& key : keys) {
            sorted.push_back(Value(plat::ObjectPtr(key.member)));
        }
        setValueForKey(Value(std::move(sorted)), change->propertyName(), object);
    }
}
