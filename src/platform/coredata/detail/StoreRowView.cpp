#include "platform/coredata/detail/StoreRowView.h"

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/EntityDescription.h"
#include "platform/coredata/RelationshipDescription.h"

namespace plat::coredata::detail {

Value StoreRowView::make(PersistentStore* store, const ManagedObjectIDPtr& id) {
    auto row = store->rowForID(*id);
    if (!row || !*row)
        return Value();
    return Value(std::make_shared<const StoreRowView>(store, *row));
}

Value StoreRowView::valueForKey(std::string_view key) const {
    const EntityDescription* entity = snapshot_->objectID->entity();
    const PropertyDescription* p = entity->propertyNamed(key);
    if (!p)
        throw ModelException("The entity " + entity->name() +
                             " is not key value coding-compliant for the key \"" + std::string(key) + "\".");
    if (p->isAttribute())
        return snapshot_->values[p->index()];
    auto* r = static_cast<const RelationshipDescription*>(p);
    if (!r->isToMany()) {
        auto id = ManagedObjectID::fromValue(snapshot_->values[p->index()]);
        return id ? make(store_, id) : Value();
    }
    auto members = store_->membersOf(*snapshot_->objectID, *r);
    Array out;
    if (members) {
        for (const auto& id : *members)
            out.push_back(make(store_, id));
    }
    if (r->isOrdered())
        return Value(std::move(out));
    Set set;
    for (auto& v : out)
        set.insert(std::move(v));
    return Value(std::move(set));
}

}  // namespace plat::coredata::detail
