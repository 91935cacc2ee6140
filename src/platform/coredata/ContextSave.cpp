// ManagedObjectContext: delete rules, validation, saving (to the store or the
// parent context), notifications and merging.
#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/detail/ContextImpl.h"

#include <unordered_set>

namespace plat::coredata {
namespace {

// In the versions given to commitSaved: the object has adopted its saved row.
constexpr uint64_t kCommittedAlready = UINT64_MAX;

Value objectSet(const std::vector<ManagedObjectPtr>& objects) {
    Set set;
    set.reserve(objects.size());
    for (const auto& o : objects)
        set.insert(Value(ObjectPtr(o)));
    return Value(std::move(set));
}

ErrorPtr validationError(int64_t code, const ManagedObject& object, const std::string& key,
                         const std::string& text) {
    Dictionary info;
    info.set(ValidationObjectErrorKey, Value(ObjectPtr(object.shared_from_this())));
    info.set(ValidationKeyErrorKey, Value(key));
    return makeError(code, text, std::move(info));
}

}  // namespace

Dictionary ManagedObjectContext::changeSets(const std::vector<ManagedObjectPtr>& inserted,
                                            const std::vector<ManagedObjectPtr>& updated,
                                            const std::vector<ManagedObjectPtr>& deleted) const {
    Dictionary info;
    info.set(InsertedObjectsKey, objectSet(inserted));
    info.set(UpdatedObjectsKey, objectSet(updated));
    info.set(DeletedObjectsKey, objectSet(deleted));
    return info;
}

void ManagedObjectContext::postSaveNotification(const char* name, Dictionary info) {
    NotificationCenter::defaultCenter().postNotificationName(name, shared_from_this(), std::move(info));
}

bool ManagedObjectContext::observed(const char* name) const {
    return NotificationCenter::defaultCenter().hasObserver(name, this);
}

// Delete rules

void ManagedObjectContext::propagateDeletes() {
    while (!impl_->toPropagate.empty()) {
        ManagedObjectPtr object = impl_->toPropagate.back();
        impl_->toPropagate.pop_back();
        for (const auto& [name, r] : object->entity()->relationshipsByName()) {
            if (r->deleteRule() == DeleteRule::NoAction || r->deleteRule() == DeleteRule::Deny)
                continue;
            std::vector<ManagedObjectPtr> members;
            try {
                if (r->isToMany())
                    members = object->toMany(*r).items;
                else if (auto o = object->objectForKey(name))
                    members.push_back(o);
            } catch (const ModelException&) {
                continue;  // a fault whose row is gone: nothing to follow
            }
            for (const auto& m : members) {
                if (m->isInvalidated())
                    continue;
                if (const RelationshipDescription* inverse = r->inverseRelationship()) {
                    try {
                        m->unlinkInverse(*inverse, object);
                    } catch (const ModelException&) {
                        // A fault whose row is gone: no inverse left to unlink.
                    }
                }
                if (r->deleteRule() == DeleteRule::Cascade)
                    deleteObject(m);
            }
        }
        if (object->inserted_) {
            // Inserted and deleted before any save: it never existed.
            object->clearState();
            unregister(*object);
        }
    }
}

void ManagedObjectContext::processPendingChanges() {
    propagateDeletes();
    if (impl_->pendingInserted.empty() && impl_->pendingUpdated.empty() && impl_->pendingDeleted.empty())
        return;
    // Sets of many objects are costly to build: only for someone to read.
    const bool notify = observed(ManagedObjectContextObjectsDidChangeNotification);
    Dictionary info = notify ? changeSets(impl_->pendingInserted.items(), impl_->pendingUpdated.items(),
                                          impl_->pendingDeleted.items())
                             : Dictionary();
    impl_->pendingInserted.clear();
    impl_->pendingUpdated.clear();
    impl_->pendingDeleted.clear();
    if (notify)
        postSaveNotification(ManagedObjectContextObjectsDidChangeNotification, std::move(info));
}

// Validation

ErrorPtr ManagedObjectContext::validate() const {
    std::vector<ErrorPtr> errors;
    auto check = [&](const ManagedObject& o) {
        // The properties that can fail a check (most entities have few or
        // none), listed by the entity once its model is finalized.
        for (const PropertyDescription* p : o.entity()->validatedProperties()) {
            auto* r = p->isRelationship() ? static_cast<const RelationshipDescription*>(p) : nullptr;
            if (r && r->isToMany()) {
                bool known =
                    o.inserted_ || (o.toMany_.size() > r->toManyIndex() && o.toMany_[r->toManyIndex()]);
                if (!known)
                    continue;
                std::size_t count = o.toMany(*r).items.size();
                std::size_t min = std::max<std::size_t>(r->minCount(), r->isOptional() ? 0 : 1);
                if (count < min)
                    errors.push_back(validationError(ValidationRelationshipLacksMinimumCountError, o,
                                                     p->name(), p->name() + " does not have enough items."));
                else if (r->maxCount() && count > r->maxCount())
                    errors.push_back(validationError(ValidationRelationshipExceedsMaximumCountError, o,
                                                     p->name(), p->name() + " has too many items."));
            } else if (!p->isOptional() && o.slotValue(p->index()).isNull()) {
                errors.push_back(validationError(ValidationMissingMandatoryPropertyError, o, p->name(),
                                                 p->name() + " is a required value."));
            }
        }
    };
    for (const auto* set : {&impl_->inserted, &impl_->updated}) {
        for (const auto& o : set->items()) {
            if (!o->deleted_)
                check(*o);
        }
    }
    for (const auto& o : impl_->deleted.items()) {
        for (const auto& [name, r] : o->entity()->relationshipsByName()) {
            if (r->deleteRule() != DeleteRule::Deny)
                continue;
            bool empty = r->isToMany() ? o->toMany(*r).items.empty() : !o->objectForKey(name);
            if (!empty)
                errors.push_back(
                    validationError(ValidationRelationshipDeniedDeleteError, *o, name,
                                    "The object can't be deleted while " + name + " is not empty."));
        }
    }
    if (errors.empty())
        return nullptr;
    if (errors.size() == 1)
        return errors[0];
    Array detailed;
    for (const auto& e : errors)
        detailed.push_back(Value(ObjectPtr(e)));
    Dictionary info;
    info.set(DetailedErrorsKey, Value(std::move(detailed)));
    return makeError(ValidationMultipleErrorsError, "Multiple validation errors occurred.", std::move(info));
}

// Saving

ErrorPtr ManagedObjectContext::save() {
    if (!hasChanges())
        return nullptr;
    postSaveNotification(ManagedObjectContextWillSaveNotification, Dictionary());
    // Pending changes may cancel out (an object inserted and deleted again):
    // ask again after processing them, so such a save writes nothing.
    processPendingChanges();
    if (!hasChanges())
        return nullptr;
    if (auto error = validate())
        return error;
    // The sets as they are now, for did-save; kept only when someone
    // observes it (copying a million objects' references is not free).
    const bool notify = observed(ManagedObjectContextDidSaveNotification);
    std::vector<ManagedObjectPtr> inserted, updated, deleted;
    if (notify) {
        inserted = impl_->inserted.items();
        updated = impl_->updated.items();
        deleted = impl_->deleted.items();
    }
    // A child's inserts keep their temporary IDs: the parent takes them as
    // they are, and they become permanent when the root context saves.
    if (!parent_) {
        std::vector<ManagedObject*> temporaries;
        temporaries.reserve(impl_->inserted.size());
        for (const auto& o : impl_->inserted.items()) {
            if (o->hasTemporaryID())
                temporaries.push_back(o.get());
        }
        if (auto error = obtainPermanentIDs(std::move(temporaries)))
            return error;
    }
    if (auto error = parent_ ? saveToParent() : saveToStore())
        return error;
    if (notify) {
        Dictionary info = changeSets(inserted, updated, deleted);
        if (!impl_->linkedOwners.empty()) {
            // The destinations of links set by ID, by ID (none was
            // registered for them), so that contexts merging the save
            // refresh those they hold; one held here and saved as an
            // object is named once.
            Set named =
                info.find(UpdatedObjectsKey)->asSet() ? *info.find(UpdatedObjectsKey)->asSet() : Set();
            for (const auto& [id, r] : impl_->linkedOwners) {
                auto held = objectRegisteredForID(id);
                if (held && std::find(updated.begin(), updated.end(), held) != updated.end())
                    continue;
                named.insert(Value(ObjectPtr(id)));
            }
            info.set(UpdatedObjectsKey, Value(std::move(named)));
        }
        impl_->linkedOwners.clear();
        postSaveNotification(ManagedObjectContextDidSaveNotification, std::move(info));
    }
    impl_->linkedOwners.clear();
    return nullptr;
}

void ManagedObjectContext::noteLinkByID(ManagedObject& source, const RelationshipDescription& r,
                                        ManagedObjectIDPtr from, ManagedObjectIDPtr to, bool again) {
    auto& links = impl_->linksByID;
    if (again) {
        // Set before since the save: by ID (the entry keeps the destination
        // of the save, `from`), or cleared as an object (no entry: the
        // object path unlinked the saved destination already).
        for (auto it = links.rbegin(); it != links.rend(); ++it) {
            if (it->source.get() == &source && it->relationship == &r) {
                it->to = std::move(to);
                return;
            }
        }
    }
    links.push_back({source.shared_from_this(), &r, std::move(from), std::move(to)});
}

// Each link set by ID gives its saved destination the removal of the source
// and its last destination (while the source still holds it by ID) the
// addition: the differences the object path would have made in the
// destinations' unloaded to-manys. They go before the objects' own to-many
// changes, which were made after them (an object path set that followed
// removes the source from the link's destination there).
void ManagedObjectContext::collectLinksByID(StoreChanges& changes) {
    impl_->linkedOwners.clear();
    if (impl_->linksByID.empty())
        return;
    std::vector<StoreChanges::ToMany> byID;
    // A save links few owners (a merge moving items between a dozen
    // folders): searched in place; a hash table by owner past that.
    constexpr std::size_t kOwnersSearchedInPlace = 16;
    std::unordered_map<ManagedObjectIDPtr, std::size_t, ObjectIDHash, ObjectIDEqual> at;
    auto entry = [&](const ManagedObjectIDPtr& owner, const RelationshipDescription* inverse) -> auto& {
        if (byID.size() <= kOwnersSearchedInPlace) {
            for (auto& change : byID) {
                if (change.relationship == inverse && change.owner->isEqualID(*owner))
                    return change;
            }
        } else {
            if (at.empty()) {
                for (std::size_t i = 0; i < byID.size(); ++i)
                    at.try_emplace(byID[i].owner, i);
            }
            auto [found, added] = at.try_emplace(owner, byID.size());
            if (!added && byID[found->second].relationship == inverse)
                return byID[found->second];
            if (!added) {
                // The same owner through another relationship (rare): searched.
                for (auto& change : byID) {
                    if (change.relationship == inverse && change.owner->isEqualID(*owner))
                        return change;
                }
            }
        }
        byID.push_back(StoreChanges::ToMany{owner, inverse, {}, {}, {}});
        impl_->linkedOwners.emplace_back(owner, inverse);
        return byID.back();
    };
    for (const auto& link : impl_->linksByID) {
        ManagedObject& source = *link.source;
        if (source.isInvalidated() || !(source.inserted_ || source.updated_ || source.deleted_))
            continue;  // refreshed or rolled back since: its row keeps the saved destination
        const bool deleted = source.deleted_;
        const Value held = source.changes() ? source.changes()->values[link.relationship->index()] : Value();
        const auto heldObject = ManagedObject::fromValue(held);
        ManagedObjectIDPtr current;
        if (!deleted)
            current = heldObject ? heldObject->objectID() : ManagedObjectID::fromValue(held);
        const RelationshipDescription* inverse = link.relationship->inverseRelationship();
        ManagedObjectIDPtr sourceID = source.objectID();
        if (link.from && !(current && current->isEqualID(*link.from)))
            entry(link.from, inverse).removed.push_back(sourceID);
        const bool holdsTo = link.to && !heldObject && current && current->isEqualID(*link.to);
        if (holdsTo && !(link.from && link.from->isEqualID(*link.to))) {
            auto& change = entry(link.to, inverse);
            change.added.push_back(std::move(sourceID));
            change.ownerUnread = true;
        }
    }
    changes.toMany.insert(changes.toMany.begin(), std::make_move_iterator(byID.begin()),
                          std::make_move_iterator(byID.end()));
}

// True when the object's own row changes, not only memberships that the
// destinations' rows already record.
bool ManagedObjectContext::rowChanged(const ManagedObject& o) const {
    if (o.changes()) {
        for (const PropertyDescription* p : o.entity()->properties()) {
            if (o.changes()->changed[p->index()] && !p->isTransient())
                return true;
        }
    }
    for (const RelationshipDescription* r : o.entity()->storedToManys()) {
        const ManagedObject::ToMany* tm =
            o.toMany_.size() > r->toManyIndex() ? o.toMany_[r->toManyIndex()].get() : nullptr;
        // An unordered to-many whose inverse is a to-one is stored in the
        // members' rows only: changing it leaves this row as it was.
        bool derived = r->inverseRelationship() && !r->inverseRelationship()->isToMany() && !r->isOrdered();
        if (tm && tm->changed && !derived)
            return true;
    }
    return false;
}

struct ManagedObjectContext::LentRows {
    std::vector<ManagedObject::LentValue> replaced;
    // The lent rows' positions in StoreChanges::inserted, and where each
    // one's replaced values start (one more entry: the end).
    std::vector<std::size_t> rows;
    std::vector<std::size_t> starts;
    std::vector<ManagedObject::LentLink> links;
};

StoreChanges ManagedObjectContext::collectStoreChanges(
    std::vector<std::pair<ManagedObject*, uint64_t>>& versions, LentRows* lent) {
    StoreChanges changes;
    changes.inserted.reserve(impl_->inserted.size());
    changes.updated.reserve(impl_->updated.size());
    changes.updatedFrom.reserve(impl_->updated.size());
    versions.reserve(impl_->inserted.size() + impl_->updated.size());
    if (lent && !impl_->inserted.items().empty()) {
        lent->rows.reserve(impl_->inserted.size());
        lent->starts.reserve(impl_->inserted.size() + 1);
        lent->starts.push_back(0);
    }
    for (const auto& o : impl_->inserted.items()) {
        if (lent && o->changes() && o->state_ == ManagedObject::State::Filled) {
            lent->rows.push_back(changes.inserted.size());
            changes.inserted.push_back(o->lendRow(lent->replaced, lent->links));
            lent->starts.push_back(lent->replaced.size());
            continue;
        }
        changes.inserted.push_back(o->makeSnapshot(0));
        versions.emplace_back(o.get(), 1);
    }
    for (const auto& o : impl_->updated.items()) {
        uint64_t version = o->rowVersion();
        if (rowChanged(*o)) {
            changes.updated.push_back(o->makeSnapshot(version));
            changes.updatedFrom.push_back(o->sharedRow());
            ++version;
        }
        versions.emplace_back(o.get(), version);
    }
    for (const auto& o : impl_->deleted.items()) {
        // A deleted fault has not read its row's version yet; the store
        // checks it. A row gone already fails the check, as it should.
        if (!o->hasRow()) {
            try {
                o->fireFault();
            } catch (const ModelException&) {
                // Its row is gone: the store's check below reports it.
            }
        }
        auto gone = std::make_shared<StoreSnapshot>();
        gone->objectID = o->objectID();
        gone->version = o->rowVersion();
        changes.deleted.push_back(std::move(gone));
    }
    for (const auto* set : {&impl_->inserted, &impl_->updated}) {
        for (const auto& o : set->items()) {
            if (o->toMany_.size() == 0)
                continue;  // no to-many loaded or changed
            for (const RelationshipDescription* r : o->entity()->storedToManys()) {
                if (o->toMany_.size() <= r->toManyIndex())
                    continue;
                const auto& tm = o->toMany_[r->toManyIndex()];
                if (!tm || !tm->changed)
                    continue;
                StoreChanges::ToMany change{o->objectID(), r, {}, {}, {}};
                // Stores replace an ordered to-many by its whole contents and
                // apply an unordered one's difference: only the former needs
                // every member (a set of 100,000 costs as much as its change).
                if (r->isOrdered()) {
                    change.members.reserve(tm->items.size());
                    for (const auto& m : tm->items)
                        change.members.push_back(m->objectID());
                }
                for (const auto& [ptr, m] : tm->added)
                    change.added.push_back(m->objectID());
                for (const auto& [ptr, m] : tm->removed)
                    change.removed.push_back(m->objectID());
                changes.toMany.push_back(std::move(change));
            }
        }
    }
    collectLinksByID(changes);
    return changes;
}

void ManagedObjectContext::commitSaved(const std::vector<std::pair<ManagedObject*, uint64_t>>& versions) {
    for (const auto& [o, version] : versions) {
        if (version != kCommittedAlready)
            o->commitSaved(version);
        for (auto& tm : o->toMany_) {
            if (tm && !tm->complete) {
                tm.reset();  // saved: nothing is known of it but the store's members
                continue;
            }
            if (!tm)
                continue;
            tm->added.clear();
            tm->removed.clear();
            tm->changed = false;
        }
        o->inserted_ = o->updated_ = false;
    }
    // Deleted objects keep only their identity; dropping their values also
    // drops references that could keep other objects alive.
    for (const auto& o : impl_->deleted.items()) {
        o->clearState();
        unregister(*o);
    }
    for (auto* set : {&impl_->inserted, &impl_->updated, &impl_->deleted})
        set->clear();
}

ErrorPtr ManagedObjectContext::saveToStore() {
    std::vector<std::pair<ManagedObject*, uint64_t>> versions;
    // Inserted objects lend their values to their rows instead of copying
    // them, and adopt the rows once saved.
    LentRows lent;
    StoreChanges changes = collectStoreChanges(versions, &lent);
    const auto& inserted = impl_->inserted.items();
    auto forEachLent = [&](auto&& f) {
        for (std::size_t n = 0; n < lent.rows.size(); ++n) {
            const std::size_t i = lent.rows[n];
            f(*inserted[i], changes.inserted[i], lent.replaced.data() + lent.starts[n],
              lent.starts[n + 1] - lent.starts[n]);
        }
    };
    // Nothing in the context changes until the store has taken the save: a
    // refused save leaves every object as it was, to be saved again.
    auto giveBack = [&] {
        forEachLent([](ManagedObject& o, const SnapshotPtr& row, ManagedObject::LentValue* replaced,
                       std::size_t count) { o.returnLentRow(row, replaced, count); });
    };
    ErrorPtr error;
    try {
        error = coordinator_->save(changes);
    } catch (...) {
        giveBack();  // a store that throws must not leave objects without values
        throw;
    }
    if (error) {
        giveBack();
        return error;
    }
    forEachLent(
        [&](ManagedObject& o, SnapshotPtr& row, ManagedObject::LentValue* replaced, std::size_t count) {
            SnapshotPtr taken = std::move(row);  // the only holder, unless the store kept it
            o.adoptLentRow(taken, replaced, count);
            versions.emplace_back(&o, kCommittedAlready);
        });
    commitSaved(versions);
    impl_->linksByID.clear();
    // A destination of a link set by ID that was registered here since, with
    // its to-many read from the store before the save, reads it again.
    for (const auto& [id, inverse] : impl_->linkedOwners) {
        auto owner = objectRegisteredForID(id);
        if (!owner || owner->isFault() || owner->toMany_.size() <= inverse->toManyIndex())
            continue;
        auto& contents = owner->toMany_[inverse->toManyIndex()];
        if (contents && !contents->changed)
            contents.reset();
    }
    return nullptr;
}

ErrorPtr ManagedObjectContext::saveToParent() {
    std::optional<ModelException> failure;
    inParent([&] {
        try {
            parent_->applyChildChanges(*this);
        } catch (const ModelException& e) {
            failure.emplace(e);
        }
    });
    if (failure)
        return makeError(CoreDataError, "The parent context refused the changes: " + failure->reason());
    std::vector<std::pair<ManagedObject*, uint64_t>> versions;
    for (const auto* set : {&impl_->inserted, &impl_->updated}) {
        for (const auto& o : set->items())
            versions.emplace_back(o.get(), o->rowVersion());
    }
    commitSaved(versions);
    return nullptr;
}

// Copies the changed values of a child's object into this context's object;
// to-ones arrive as IDs of this context's objects. Both sides of every
// relationship change are in the child's changes, so no inverse upkeep runs.
void ManagedObjectContext::applyChildValues(const ManagedObject& source, ManagedObject& target, bool all) {
    for (const PropertyDescription* p : source.entity()->properties()) {
        auto* r = p->isRelationship() ? static_cast<const RelationshipDescription*>(p) : nullptr;
        if (r && r->isToMany()) {
            const ManagedObject::ToMany* tm =
                source.toMany_.size() > r->toManyIndex() ? source.toMany_[r->toManyIndex()].get() : nullptr;
            if (!tm || (!tm->changed && !all))
                continue;
            if (!r->isOrdered()) {
                // Only the difference: a saved object's set that is not
                // loaded here takes it without being loaded (see
                // ManagedObject::ToMany), as the inverse of a to-one would.
                for (const auto& [ptr, m] : tm->removed)
                    target.toManyRemoveDeferred(*r, objectWithID(m->objectID()));
                for (const auto& [ptr, m] : tm->added)
                    target.toManyAddDeferred(*r, objectWithID(m->objectID()));
                continue;
            }
            for (const auto& [ptr, m] : tm->removed)
                target.toManyRemove(*r, objectWithID(m->objectID()));
            for (const auto& [ptr, m] : tm->added)
                target.toManyAdd(*r, objectWithID(m->objectID()));
            // A new order alone is a change too: mark it, or the parent's
            // save would not write it.
            auto& targetMany = target.toMany(*r);
            std::vector<ManagedObjectPtr> items;
            items.reserve(tm->items.size());
            for (const auto& m : tm->items)
                items.push_back(objectWithID(m->objectID()));
            if (items != targetMany.items) {
                targetMany.items = std::move(items);
                targetMany.changed = true;
                target.markChanged(*r);
            }
            continue;
        }
        if (!all && !(source.changes() && source.changes()->changed[p->index()]))
            continue;
        Value v = source.slotValue(p->index());
        if (r) {
            auto linked = ManagedObject::fromValue(v);
            ManagedObjectIDPtr id = linked ? linked->objectID() : ManagedObjectID::fromValue(v);
            v = id ? Value(ObjectPtr(objectWithID(id))) : Value();
        }
        target.setSlot(*p, std::move(v));
    }
}

// A temporary ID in the child's changes must still name an object here (an
// unsaved insert, or one saved since, through its alias) or be one of the
// objects the child inserts now.
void ManagedObjectContext::checkChildReferences(const ManagedObjectContext& child,
                                                const ManagedObject& source, bool all) const {
    auto check = [&](const ManagedObjectIDPtr& id) {
        if (!id || !id->isTemporaryID() || objectRegisteredForID(localID(id)))
            return;
        auto own = child.objectRegisteredForID(id);
        if (!own || !own->isInserted())
            throw ModelException("The object " + id->description() +
                                 " is no longer known to the parent context.");
    };
    for (const PropertyDescription* p : source.entity()->properties()) {
        if (!p->isRelationship())
            continue;
        auto* r = static_cast<const RelationshipDescription*>(p);
        if (r->isToMany()) {
            const ManagedObject::ToMany* tm =
                source.toMany_.size() > r->toManyIndex() ? source.toMany_[r->toManyIndex()].get() : nullptr;
            if (!tm || (!tm->changed && !all))
                continue;
            // What the parent will be given: an ordered to-many's whole
            // order, an unordered one's difference.
            if (r->isOrdered()) {
                for (const auto& m : tm->items)
                    check(m->objectID());
            } else {
                for (const auto& [ptr, m] : tm->added)
                    check(m->objectID());
            }
            for (const auto& [ptr, m] : tm->removed)
                check(m->objectID());
        } else if (all || (source.changes() && source.changes()->changed[p->index()])) {
            Value v = source.slotValue(p->index());
            auto object = ManagedObject::fromValue(v);
            check(object ? object->objectID() : ManagedObjectID::fromValue(v));
        }
    }
}

void ManagedObjectContext::prepareChildChanges(ManagedObjectContext& child) {
    for (const auto& o : child.impl_->inserted.items())
        checkChildReferences(child, *o, true);
    for (const auto& o : child.impl_->updated.items()) {
        checkChildReferences(child, *o, false);
        if (o->hasTemporaryID() && !objectRegisteredForID(localID(o->objectID())))
            throw ModelException("The object " + o->objectID()->description() +
                                 " is no longer known to the parent context.");
        // Fill the object and load the ordered relationships the child
        // changed (their new order replaces the whole contents), and the
        // transient ones (never left unloaded). Unordered ones take the
        // child's difference without being loaded.
        auto target = objectWithID(o->objectID());
        target->fireFault();
        for (const auto& [name, r] : o->entity()->relationshipsByName()) {
            if (r->isToMany() && (r->isOrdered() || r->isTransient()) &&
                o->toMany_.size() > r->toManyIndex() && o->toMany_[r->toManyIndex()] &&
                o->toMany_[r->toManyIndex()]->changed)
                target->toMany(*r);
        }
    }
}

void ManagedObjectContext::applyChildChanges(ManagedObjectContext& child) {
    prepareChildChanges(child);
    // New objects first, so that values can point at them.
    for (const auto& o : child.impl_->inserted.items()) {
        auto object = registerObject(o->objectID());
        object->state_ = ManagedObject::State::Filled;
        object->inserted_ = true;
        impl_->inserted.insert(object);
        impl_->pendingInserted.insert(object);
    }
    for (const auto& o : child.impl_->inserted.items())
        applyChildValues(*o, *objectWithID(o->objectID()), true);
    for (const auto& o : child.impl_->updated.items())
        applyChildValues(*o, *objectWithID(o->objectID()), false);
    for (const auto& o : child.impl_->deleted.items()) {
        if (o->hasTemporaryID() && !objectRegisteredForID(localID(o->objectID())))
            continue;  // an unsaved insert this context dropped already
        deleteObject(objectWithID(o->objectID()));
    }
}

// Merging another context's save

void ManagedObjectContext::forget(const std::vector<ManagedObjectPtr>& objects) {
    if (objects.empty())
        return;
    std::unordered_set<const ManagedObject*> gone;
    for (const auto& object : objects) {
        gone.insert(object.get());
        for (auto* set : {&impl_->inserted, &impl_->updated, &impl_->deleted, &impl_->pendingInserted,
                          &impl_->pendingUpdated, &impl_->pendingDeleted})
            set->erase(object.get());
    }
    std::erase_if(impl_->toPropagate, [&](const ManagedObjectPtr& o) { return gone.count(o.get()) != 0; });
    // One pass over the other objects drops every reference to the forgotten
    // ones, so that no later save writes a link to a deleted row.
    impl_->registered.forEach([&](const ManagedObjectPtr& other) {
        if (gone.count(other.get()))
            return;
        for (auto& tm : other->toMany_) {
            if (!tm)
                continue;
            std::erase_if(tm->items, [&](const ManagedObjectPtr& item) {
                if (!gone.count(item.get()))
                    return false;
                tm->members.erase(item.get());
                tm->added.erase(item.get());
                return true;
            });
            tm->removed.eraseIf([&](const auto& entry) { return gone.count(entry.first) != 0; });
        }
        if (other->changes()) {
            for (const auto& [name, r] : other->entity()->relationshipsByName()) {
                Value& v = other->changes()->values[r->index()];
                if (!r->isToMany() && v.isObject() && gone.count(ManagedObject::fromValue(v).get()))
                    v = Value();
            }
        }
    });
    for (const auto& object : objects) {
        object->clearState();
        unregister(*object);
    }
}

void ManagedObjectContext::mergeChangesFromContextDidSaveNotification(const Notification& notification) {
    // The sets hold objects, and IDs of objects the saving context did not
    // register (the destinations of links set by ID).
    auto localObject = [&](const Value& v) -> ManagedObjectPtr {
        auto foreign = ManagedObject::fromValue(v);
        ManagedObjectIDPtr id = foreign ? foreign->objectID() : ManagedObjectID::fromValue(v);
        if (!id)
            return nullptr;
        try {
            return objectRegisteredForID(localID(id));
        } catch (const ModelException&) {
            return nullptr;  // a store this context does not have
        }
    };
    auto members = [&](const char* key) -> const Array& {
        static const Array none;
        const Value* v = notification.userInfo.find(key);
        return v && v->asSet() ? v->asSet()->values() : none;
    };
    std::vector<ManagedObjectPtr> refreshed, deleted;
    for (const Value& v : members(UpdatedObjectsKey)) {
        if (auto local = localObject(v); local && !local->isFault()) {
            refreshObject(local, true);
            refreshed.push_back(local);
        }
    }
    for (const Value& v : members(DeletedObjectsKey)) {
        if (auto local = localObject(v))
            deleted.push_back(local);
    }
    forget(deleted);
    std::vector<ManagedObjectPtr> inserted = mergeInsertedObjects(members(InsertedObjectsKey), refreshed);
    if ((refreshed.empty() && deleted.empty() && inserted.empty()) ||
        !observed(ManagedObjectContextObjectsDidChangeNotification))
        return;
    Dictionary info;
    info.set(InsertedObjectsKey, objectSet(inserted));
    info.set(RefreshedObjectsKey, objectSet(refreshed));
    info.set(DeletedObjectsKey, objectSet(deleted));
    postSaveNotification(ManagedObjectContextObjectsDidChangeNotification, std::move(info));
}

// The saved inserts of another context become faults here. Loaded to-many
// contents here that the new objects join through their to-one (written on
// that side only, the owner need not be among the updated objects) are
// dropped, to be read again with the new members.
std::vector<ManagedObjectPtr> ManagedObjectContext::mergeInsertedObjects(
    const Array& objects, std::vector<ManagedObjectPtr>& refreshed) {
    std::vector<ManagedObjectPtr> inserted;
    std::unordered_set<const RelationshipDescription*> loaded;
    impl_->registered.forEach([&](const ManagedObjectPtr& o) {
        if (o->isFault())
            return;
        for (const auto& [name, r] : o->entity()->relationshipsByName()) {
            if (r->isToMany() && o->toMany_.size() > r->toManyIndex() && o->toMany_[r->toManyIndex()])
                loaded.insert(r);
        }
    });
    for (const Value& v : objects) {
        auto foreign = ManagedObject::fromValue(v);
        if (!foreign || foreign->objectID()->isTemporaryID())
            continue;  // a child context's insert is not in the store yet
        ManagedObjectIDPtr id;
        try {
            id = localID(foreign->objectID());
        } catch (const ModelException&) {
            continue;  // a store this context does not have
        }
        if (objectRegisteredForID(id))
            continue;
        auto local = objectWithID(id);
        inserted.push_back(local);
        for (const auto& [name, r] : local->entity()->relationshipsByName()) {
            const RelationshipDescription* inverse = r->inverseRelationship();
            if (r->isToMany() || !inverse || !loaded.count(inverse))
                continue;
            local->fireFault();
            Value target = local->slotValue(r->index());
            auto targetObject = ManagedObject::fromValue(target);
            auto targetID = targetObject ? targetObject->objectID() : ManagedObjectID::fromValue(target);
            auto owner = targetID ? objectRegisteredForID(targetID) : nullptr;
            if (!owner || owner->isFault() || owner->toMany_.size() <= inverse->toManyIndex())
                continue;
            auto& contents = owner->toMany_[inverse->toManyIndex()];
            if (contents && !contents->changed && !contents->members.count(local.get())) {
                contents.reset();
                refreshed.push_back(owner);
            }
        }
    }
    return inserted;
}

}  // namespace plat::coredata
