// SYNUpdateStage: writes the property change values of object changes into
// the objects of the application's store: attributes (when updatesAttributes
// is on) and the relationships listed in relationshipsToUpdate (to-one,
// to-many and ordered to-many).
//
// Decisions that keep every machine's store the same whatever state the
// replay starts from:
// - A to-one change whose target is not in the store clears the
//   relationship: the target was deleted (targets that are merely not yet
//   integrated are never asked for: the integrator applies a relationship
//   only once its destination entity has been integrated).
// - An ordered to-many is sorted by the index the change gives each member;
//   members the change does not index (added by a concurrent change the
//   change's maker had not seen) follow. Ties, and the unindexed members, are
//   ordered by global identifier, so the order is strict and total and does
//   not depend on the order the replay started from.
//   Keeping a to-one's old target, or placing unindexed members by their
//   current positions, leaves two machines that merged the same concurrent
//   saves apart (SYNConcurrentRelationshipTest shows both).
// - An attribute value that cannot be read (a missing data file, a failing
//   transformer) is skipped with a level-1 log line, never written as nil.
// - An insert change holds the object's whole state: its to-many and ordered
//   to-many relationships get exactly the members it lists (those present),
//   others are removed. An insert of an object already here (a full
//   integration from a baseline into a store that had merged the events the
//   baseline folded) would otherwise keep members a folded event removed,
//   and that machine would hold them for good.
#pragma once
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sync/integration/SYNIntegrationStage.h"

class SYNUpdateStage : public SYNIntegrationStage {
  public:
    using SYNIntegrationStage::SYNIntegrationStage;

    bool updatesAttributes() const { return updatesAttributes_; }
    void setUpdatesAttributes(bool updates) { updatesAttributes_ = updates; }
    const std::optional<SYNRelationshipList>& relationshipsToUpdate() const { return relationshipsToUpdate_; }
    void setRelationshipsToUpdate(std::optional<SYNRelationshipList> relationships) {
        relationshipsToUpdate_ = std::move(relationships);
    }

    // Applies the changes (of the event store's context) to their objects.
    [[nodiscard]] plat::ErrorPtr applyObjectChanges(const SYNManagedObjects& changes);
    // The same from the changes' records.
    [[nodiscard]] plat::ErrorPtr applyChangeRecords(const SYNChangeRecords& changes);

    // The four appliers; called on the target context's queue.
    void applyAttributeChanges(const std::vector<const SYNPropertyChangeValue*>& values,
                               plat::coredata::ManagedObject& object);
    // With byKey (entities whose objects were looked up by key alone) and
    // ids (their IDs), a to-one whose destinations are all such entities is
    // set by ID (ManagedObject::setObjectIDForKey).
    void applyToOneRelationshipChanges(const std::vector<const SYNPropertyChangeValue*>& values,
                                       plat::coredata::ManagedObject& object,
                                       const SYNObjectsByIdentifierByEntityName& objects,
                                       const std::set<std::string>* byKey = nullptr,
                                       const SYNObjectIDsByIdentifierByEntityName* ids = nullptr);
    // exactMembers (an insert's values): members the values do not list are removed.
    void applyToManyRelationshipChanges(const std::vector<const SYNPropertyChangeValue*>& values,
                                        plat::coredata::ManagedObject& object,
                                        const SYNObjectsByIdentifierByEntityName& objects,
                                        bool exactMembers = false);
    void applyOrderedToManyRelationshipChanges(const std::vector<const SYNPropertyChangeValue*>& values,
                                               plat::coredata::ManagedObject& object,
                                               const SYNObjectsByIdentifierByEntityName& objects,
                                               const SYNIdentifiersByObjectByEntityName& identifiers,
                                               bool exactMembers = false);

  protected:
    [[nodiscard]] plat::ErrorPtr applyChangeIDs(const SYNManagedObjectIDs& changeIDs) override;

  private:
    // The entity names a relationship's members may have, made once per
    // relationship rather than once per change (cleared with every call of
    // applyChangeRecords, so it never outlives the model it points into).
    const std::vector<std::string>& candidatesOf(const plat::coredata::RelationshipDescription& relationship);
    // The destination entities of the changes' to-ones that may be set by ID
    // (ManagedObject::setsByID) and that nothing else in the changes needs
    // as objects: not the changes' own entity, not a destination of another
    // relationship value; none when a value reorders an ordered to-many.
    std::set<std::string> entitiesSetByKey(const SYNChangeRecords& changes,
                                           const std::set<std::string>& names);

    bool updatesAttributes_ = false;
    std::optional<SYNRelationshipList> relationshipsToUpdate_;
    std::unordered_map<const plat::coredata::RelationshipDescription*, std::vector<std::string>> candidates_;
};
