// EntityDescription: a kind of managed object — its name, its attributes and
// relationships (its own and those inherited from its super-entity), its
// sub-entities, user info and version hash.
//
// Built mutable through its model (ManagedObjectModel::addEntity) and frozen
// when the model is finalized; the by-name maps, sub-entities, indexes and
// version hash are only available after that. A frozen entity may be read from
// any thread. Raw pointers it returns (super-entity, properties) stay valid as
// long as the model lives.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/coredata/AttributeDescription.h"
#include "platform/coredata/RelationshipDescription.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/FlatHashTable.h"

namespace plat::coredata {

class ManagedObjectModel;

class EntityDescription {
  public:
    EntityDescription(const EntityDescription&) = delete;
    EntityDescription& operator=(const EntityDescription&) = delete;

    const std::string& name() const { return name_; }
    // std::hash of the name, kept for object IDs' hashes.
    std::size_t nameHash() const { return nameHash_; }
    bool isAbstract() const { return abstract_; }
    const Dictionary& userInfo() const { return userInfo_; }
    const std::string& superentityName() const { return superName_; }
    const std::string& versionHashModifier() const { return versionHashModifier_; }
    const ManagedObjectModel* managedObjectModel() const { return model_; }
    // The entity's position in its model (the order entities were added).
    std::size_t indexInModel() const { return indexInModel_; }

    // Null for a root entity.
    const EntityDescription* superentity() const { return super_; }
    // Direct sub-entities, by name.
    const std::vector<const EntityDescription*>& subentities() const { return subentities_; }
    // This entity and every entity below it, this one first.
    const std::vector<const EntityDescription*>& selfAndDescendants() const { return family_; }
    // The topmost super-entity (this one for a root entity).
    const EntityDescription* rootEntity() const;
    // True when this entity is `other` or one of its descendants.
    bool isKindOfEntity(const EntityDescription* other) const;

    // Inherited and own properties; inherited ones first, each in declaration
    // order; property->index() is the position in this vector.
    const std::vector<const PropertyDescription*>& properties() const { return properties_; }
    const std::map<std::string, const PropertyDescription*>& propertiesByName() const { return byName_; }
    const std::map<std::string, const AttributeDescription*>& attributesByName() const { return attributes_; }
    const std::map<std::string, const RelationshipDescription*>& relationshipsByName() const {
        return relationships_;
    }
    // Null when the entity has no such property.
    const PropertyDescription* propertyNamed(std::string_view name) const;
    const AttributeDescription* attributeNamed(std::string_view name) const;
    const RelationshipDescription* relationshipNamed(std::string_view name) const;
    // Number of to-many relationships (their toManyIndex() ranges over it).
    std::size_t toManyCount() const { return toManyCount_; }
    // The stored (not transient) to-many relationships, in name order: what a
    // save walks for changed memberships, without the whole by-name map.
    const std::vector<const RelationshipDescription*>& storedToManys() const { return storedToManys_; }
    // The properties a save's validation checks, in property order: stored
    // ones that are not optional, and stored to-manys with a count limit.
    const std::vector<const PropertyDescription*>& validatedProperties() const { return validated_; }

    // SHA-256 over the entity's canonical description (see versionHashInput).
    const Data& versionHash() const { return versionHash_; }
    // The text the version hash is computed over: name, abstract flag,
    // super-entity, hash modifier, then every persistent (non-transient)
    // property, own and inherited, in name order with its name, kind, type,
    // optionality, hash modifier and, for relationships, destination, inverse,
    // to-many, ordered and counts. User info, indexes, default values and
    // delete rules do not change how objects are stored and are left out.
    // Every text is written as <byte length>:<bytes>, so no two entities
    // share an input.
    std::string versionHashInput() const;

    EntityDescription& setAbstract(bool v);
    EntityDescription& setUserInfo(Dictionary v);
    EntityDescription& setSuperentityName(std::string name);
    EntityDescription& setVersionHashModifier(std::string v);
    // Adds an own property; throws ModelException when the name is taken or
    // the model is frozen.
    AttributeDescription& addAttribute(std::string name, AttributeType type);
    RelationshipDescription& addRelationship(std::string name, std::string destinationEntityName);

    // The properties this entity declares itself, in declaration order.
    std::vector<const PropertyDescription*> ownProperties() const;

    // An index over several attributes or to-one relationships (their key
    // columns) this entity declares, in that column order: a look-up by the
    // first and a range of the second reads only the matching rows. Like
    // isIndexed, it changes neither the version hash nor the stored rows, so
    // stores made without it still open (and get it). Throws ModelException
    // for fewer than two names or a name that is not (yet) an own attribute
    // or to-one relationship.
    EntityDescription& addCompoundIndex(std::vector<std::string> attributeNames);
    const std::vector<std::vector<std::string>>& compoundIndexes() const { return compoundIndexes_; }

    bool isFrozen() const;

  private:
    friend class ManagedObjectModel;
    EntityDescription(ManagedObjectModel* model, std::string name, std::size_t indexInModel)
        : model_(model),
          name_(std::move(name)),
          nameHash_(std::hash<std::string>()(name_)),
          indexInModel_(indexInModel) {}
    void checkMutable() const;
    void checkNewName(const std::string& name) const;
    // Finalization steps, called by the model in order.
    void buildProperties();
    void computeVersionHash();

    ManagedObjectModel* model_;
    std::string name_;
    std::size_t nameHash_;
    std::size_t indexInModel_;
    bool abstract_ = false;
    Dictionary userInfo_;
    std::string superName_;
    std::string versionHashModifier_;
    std::vector<std::unique_ptr<PropertyDescription>> own_;
    std::vector<std::vector<std::string>> compoundIndexes_;

    const EntityDescription* super_ = nullptr;
    std::vector<const EntityDescription*> subentities_;
    std::vector<const EntityDescription*> family_;
    std::vector<const PropertyDescription*> properties_;
    std::map<std::string, const PropertyDescription*> byName_;
    std::map<std::string, const AttributeDescription*> attributes_;
    std::map<std::string, const RelationshipDescription*> relationships_;
    // propertyNamed's table: every property by name (the last of a repeated
    // name); a null property marks an empty slot. A name is looked up on
    // every key-value access, so its hash reads its length and the bytes at
    // its ends rather than all of them.
    struct NameEntry {
        const char* data = nullptr;
        std::size_t size = 0;
        std::size_t hash = 0;
        const PropertyDescription* property = nullptr;
        std::string_view view() const { return {data, size}; }
    };
    struct NameTraits {
        static bool used(const NameEntry& e) { return e.property != nullptr; }
        static std::size_t hash(const NameEntry& e) { return e.hash; }
    };
    FlatHashTable<NameEntry, NameTraits> lookup_;
    std::size_t toManyCount_ = 0;
    std::vector<const RelationshipDescription*> storedToManys_;
    std::vector<const PropertyDescription*> validated_;
    Data versionHash_;
};

}  // namespace plat::coredata
