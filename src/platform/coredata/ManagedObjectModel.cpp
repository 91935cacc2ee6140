#include "platform/coredata/ManagedObjectModel.h"

#include <algorithm>
#include <functional>

#include "platform/coredata/CoreDataErrors.h"

namespace plat::coredata {
namespace {

ErrorPtr modelError(const std::string& text) {
    return makeError(CoreDataError, "The model is not valid: " + text);
}

std::size_t depthOf(const EntityDescription* e) {
    std::size_t depth = 0;
    for (; e->superentity(); e = e->superentity())
        ++depth;
    return depth;
}

}  // namespace

std::shared_ptr<ManagedObjectModel> ManagedObjectModel::create() {
    return std::shared_ptr<ManagedObjectModel>(new ManagedObjectModel());
}

EntityDescription& ManagedObjectModel::addEntity(std::string name) {
    if (frozen_)
        throw ModelException("Can't add entity \"" + name + "\": the model is in use.",
                             InternalInconsistencyException);
    if (name.empty())
        throw ModelException("An entity needs a name.");
    if (entityNamed(name))
        throw ModelException("The model already has an entity \"" + name + "\".");
    entities_.emplace_back(new EntityDescription(this, std::move(name), entities_.size()));
    return *entities_.back();
}

void ManagedObjectModel::setVersionIdentifiers(std::set<std::string> identifiers) {
    if (frozen_)
        throw ModelException("Can't change the version identifiers of a model in use.",
                             InternalInconsistencyException);
    versionIdentifiers_ = std::move(identifiers);
}

const EntityDescription* ManagedObjectModel::entityNamed(std::string_view name) const {
    for (const auto& e : entities_) {
        if (e->name() == name)
            return e.get();
    }
    return nullptr;
}

std::shared_ptr<const EntityDescription> ManagedObjectModel::share(const EntityDescription* entity) const {
    if (!entity)
        return nullptr;
    return std::shared_ptr<const EntityDescription>(shared_from_this(), entity);
}

std::shared_ptr<const EntityDescription> ManagedObjectModel::entityForName(std::string_view name) const {
    return share(entityNamed(name));
}

std::vector<std::shared_ptr<const EntityDescription>> ManagedObjectModel::entities() const {
    std::vector<std::shared_ptr<const EntityDescription>> result;
    result.reserve(entities_.size());
    for (const auto& e : entities_)
        result.push_back(share(e.get()));
    return result;
}

std::map<std::string, Data> ManagedObjectModel::entityVersionHashesByName() const {
    std::map<std::string, Data> hashes;
    for (const auto& e : entities_)
        hashes[e->name()] = e->versionHash();
    return hashes;
}

// Links super- and sub-entities, refuses cycles, and numbers the properties
// from the roots down.
ErrorPtr ManagedObjectModel::resolveEntities() {
    for (auto& e : entities_) {
        e->super_ = nullptr;
        e->subentities_.clear();
        e->family_.clear();
        if (e->superName_.empty())
            continue;
        const EntityDescription* super = entityNamed(e->superName_);
        if (!super)
            return modelError("entity \"" + e->name() + "\" names an unknown super-entity \"" +
                              e->superName_ + "\".");
        e->super_ = super;
    }
    for (auto& e : entities_) {
        std::size_t steps = 0;
        for (const EntityDescription* s = e->super_; s; s = s->super_) {
            if (++steps > entities_.size())
                return modelError("the super-entities of \"" + e->name() + "\" form a cycle.");
        }
    }
    std::vector<EntityDescription*> order;
    for (auto& e : entities_)
        order.push_back(e.get());
    std::stable_sort(order.begin(), order.end(), [](auto* a, auto* b) { return depthOf(a) < depthOf(b); });
    for (EntityDescription* e : order) {
        if (e->super_) {
            for (const auto& p : e->own_) {
                if (e->super_->propertyNamed(p->name()))
                    return modelError("property \"" + p->name() + "\" of entity \"" + e->name() +
                                      "\" repeats an inherited property.");
            }
        }
        e->buildProperties();
    }
    for (auto& e : entities_) {
        if (e->super_)
            const_cast<EntityDescription*>(e->super_)->subentities_.push_back(e.get());
    }
    std::function<void(EntityDescription*, std::vector<const EntityDescription*>&)> collect =
        [&](EntityDescription* e, std::vector<const EntityDescription*>& out) {
            out.push_back(e);
            for (const EntityDescription* sub : e->subentities_)
                collect(const_cast<EntityDescription*>(sub), out);
        };
    for (auto& e : entities_) {
        std::sort(e->subentities_.begin(), e->subentities_.end(),
                  [](auto* a, auto* b) { return a->name() < b->name(); });
    }
    for (auto& e : entities_)
        collect(e.get(), e->family_);
    return nullptr;
}

ErrorPtr ManagedObjectModel::resolveRelationships() {
    for (auto& e : entities_) {
        for (auto& p : e->own_) {
            if (!p->isRelationship())
                continue;
            auto* r = static_cast<RelationshipDescription*>(p.get());
            const std::string where = "relationship \"" + r->name() + "\" of entity \"" + e->name() + "\"";
            r->destination_ = entityNamed(r->destinationName_);
            r->inverse_ = nullptr;
            if (!r->destination_)
                return modelError(where + " names an unknown destination \"" + r->destinationName_ + "\".");
            if (r->inverseName_.empty())
                continue;
            const RelationshipDescription* inverse = r->destination_->relationshipNamed(r->inverseName_);
            if (!inverse)
                return modelError(where + " names an unknown inverse \"" + r->inverseName_ + "\".");
            const EntityDescription* back = entityNamed(inverse->destinationName_);
            if (!back || !e->isKindOfEntity(back) ||
                (!inverse->inverseName_.empty() && inverse->inverseName_ != r->name()))
                return modelError(where + " has an inverse \"" + r->inverseName_ +
                                  "\" that does not point back.");
            r->inverse_ = inverse;
        }
    }
    // An inverse named on one side only links both sides.
    for (auto& e : entities_) {
        for (auto& p : e->own_) {
            if (!p->isRelationship())
                continue;
            auto* r = static_cast<RelationshipDescription*>(p.get());
            if (r->inverse_ && !r->inverse_->inverse_)
                const_cast<RelationshipDescription*>(r->inverse_)->inverse_ = r;
        }
    }
    return nullptr;
}

ErrorPtr ManagedObjectModel::finalize() {
    if (frozen_)
        return nullptr;
    if (auto error = resolveEntities())
        return error;
    if (auto error = resolveRelationships())
        return error;
    for (auto& e : entities_)
        e->computeVersionHash();
    frozen_ = true;
    return nullptr;
}

}  // namespace plat::coredata
