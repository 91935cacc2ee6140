#include "platform/coredata/Migration.h"

#include "platform/coredata/CoreDataErrors.h"

namespace plat::coredata {
namespace {

ErrorPtr refuse(const std::string& what) {
    return makeError(InferredMappingModelError, "Can't infer a mapping model: " + what + ".");
}

// The inverse as finalize linked it: an inverse named on one side only links
// both, so the other side's name alone does not tell. A to-many whose inverse
// appears, disappears or changes cardinality changes where its contents are
// stored (the members' rows or a join table).
std::string inverseOf(const RelationshipDescription& r) {
    const RelationshipDescription* inverse = r.inverseRelationship();
    if (!inverse)
        return {};
    return inverse->name() + (inverse->isToMany() ? "*" : "") + (inverse->isTransient() ? "~" : "");
}

// Empty when the two descriptions store the same thing the same way.
std::string difference(const PropertyDescription& from, const PropertyDescription& to) {
    if (from.kind() != to.kind())
        return "changes between attribute and relationship";
    if (from.isAttribute()) {
        auto& a = static_cast<const AttributeDescription&>(from);
        auto& b = static_cast<const AttributeDescription&>(to);
        if (a.attributeType() != b.attributeType())
            return std::string("changes its type from ") + attributeTypeName(a.attributeType()) + " to " +
                   attributeTypeName(b.attributeType());
        if (a.valueTransformerName() != b.valueTransformerName())
            return "changes its value transformer";
        return {};
    }
    auto& a = static_cast<const RelationshipDescription&>(from);
    auto& b = static_cast<const RelationshipDescription&>(to);
    if (a.destinationEntityName() != b.destinationEntityName() || inverseOf(a) != inverseOf(b) ||
        a.isToMany() != b.isToMany() || a.isOrdered() != b.isOrdered())
        return "changes its destination, inverse or cardinality";
    return {};
}

ErrorPtr checkAdded(const EntityDescription& entity, const PropertyDescription& p) {
    if (p.isOptional())
        return nullptr;
    if (p.isAttribute() && static_cast<const AttributeDescription&>(p).defaultValue())
        return nullptr;
    if (p.isRelationship() && static_cast<const RelationshipDescription&>(p).isToMany())
        return nullptr;
    return refuse("the added property " + entity.name() + "." + p.name() +
                  " is required and has no default value");
}

}  // namespace

Result<MappingModel> MappingModel::inferredMappingModel(const ManagedObjectModel& source,
                                                        const ManagedObjectModel& destination) {
    MappingModel mapping;
    for (const auto& to : destination.entities()) {
        const EntityDescription* from = source.entityNamed(to->name());
        if (!from)
            continue;  // added
        if (from->superentityName() != to->superentityName())
            return refuse("the entity " + to->name() + " changes its super-entity");
        mapping.entities_[to.get()] = from;
        for (const PropertyDescription* p : to->ownProperties()) {
            if (p->isTransient())
                continue;
            const PropertyDescription* old = from->propertyNamed(p->name());
            if (!old || old->isTransient() || old->entity() != from) {
                if (old && !old->isTransient())
                    return refuse("the property " + to->name() + "." + p->name() +
                                  " moves to another entity");
                if (auto error = checkAdded(*to, *p))
                    return error;
                continue;
            }
            std::string change = difference(*old, *p);
            if (!change.empty())
                return refuse("the property " + to->name() + "." + p->name() + " " + change);
            mapping.properties_[p] = old;
        }
    }
    return mapping;
}

const EntityDescription* MappingModel::sourceEntityFor(const EntityDescription& destination) const {
    auto it = entities_.find(&destination);
    return it == entities_.end() ? nullptr : it->second;
}

const PropertyDescription* MappingModel::sourcePropertyFor(const PropertyDescription& destination) const {
    auto it = properties_.find(&destination);
    return it == properties_.end() ? nullptr : it->second;
}

}  // namespace plat::coredata
