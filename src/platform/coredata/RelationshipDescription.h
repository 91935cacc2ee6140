// RelationshipDescription: a reference from the objects of one entity to
// objects of another: to-one, to-many, or ordered to-many, with an inverse
// that the store keeps in step, a delete rule and count limits.
//
// Destination and inverse are named while the model is built and resolved
// when it is finalized; destinationEntity() and inverseRelationship() are
// null before that (and the inverse stays null when none is named).
#pragma once

#include <cstddef>
#include <string>

#include "platform/coredata/PropertyDescription.h"

namespace plat::coredata {

enum class DeleteRule : int {
    NoAction = 0,  // leave the destination alone (it may point at a deleted object)
    Nullify = 1,   // remove the deleted object from the destination's inverse
    Cascade = 2,   // delete the destination objects too
    Deny = 3,      // refuse the save while the relationship is not empty
};

// "noAction", "nullify", "cascade", "deny": the names used in model files.
const char* deleteRuleName(DeleteRule rule);
std::optional<DeleteRule> deleteRuleFromName(std::string_view name);

class RelationshipDescription : public PropertyDescription {
  public:
    const std::string& destinationEntityName() const { return destinationName_; }
    const EntityDescription* destinationEntity() const { return destination_; }
    const std::string& inverseName() const { return inverseName_; }
    const RelationshipDescription* inverseRelationship() const { return inverse_; }
    bool isToMany() const { return toMany_; }
    bool isOrdered() const { return ordered_; }
    DeleteRule deleteRule() const { return deleteRule_; }
    // 0 means no limit.
    std::size_t minCount() const { return minCount_; }
    std::size_t maxCount() const { return maxCount_; }
    // For to-many relationships: the position of the relationship among its
    // entity's to-many relationships (inherited ones first).
    std::size_t toManyIndex() const { return toManyIndex_; }

    RelationshipDescription& setDestinationEntityName(std::string name);
    RelationshipDescription& setInverseName(std::string name);
    RelationshipDescription& setToMany(bool v);
    // Ordered implies to-many.
    RelationshipDescription& setOrdered(bool v);
    RelationshipDescription& setDeleteRule(DeleteRule rule);
    RelationshipDescription& setMinCount(std::size_t n);
    RelationshipDescription& setMaxCount(std::size_t n);

    RelationshipDescription& inverse(std::string name) { return setInverseName(std::move(name)); }
    RelationshipDescription& toMany(bool v = true) { return setToMany(v); }
    RelationshipDescription& ordered(bool v = true) { return setOrdered(v); }
    RelationshipDescription& deleteRule(DeleteRule rule) { return setDeleteRule(rule); }
    RelationshipDescription& optional(bool v) {
        return static_cast<RelationshipDescription&>(setOptional(v));
    }
    RelationshipDescription& transient(bool v) {
        return static_cast<RelationshipDescription&>(setTransient(v));
    }

  private:
    friend class EntityDescription;
    friend class ManagedObjectModel;
    RelationshipDescription(EntityDescription* entity, std::string name, std::string destination)
        : PropertyDescription(Kind::Relationship, entity, std::move(name)),
          destinationName_(std::move(destination)) {}

    std::string destinationName_;
    std::string inverseName_;
    const EntityDescription* destination_ = nullptr;
    const RelationshipDescription* inverse_ = nullptr;
    bool toMany_ = false;
    bool ordered_ = false;
    DeleteRule deleteRule_ = DeleteRule::Nullify;
    std::size_t minCount_ = 0;
    std::size_t maxCount_ = 0;
    std::size_t toManyIndex_ = 0;
};

}  // namespace plat::coredata
