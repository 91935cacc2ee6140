#include "sync/eventstore/detail/SYNEventTallies.h"

#include "platform/coredata/PersistentStoreCoordinator.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"

using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;

std::shared_ptr<SYNEventTallies> SYNEventTallies::start(
    const std::shared_ptr<ManagedObjectContext>& context) {
    std::shared_ptr<SYNEventTallies> tallies(new SYNEventTallies());
    tallies->context_ = context.get();
    tallies->coordinator_ = context->persistentStoreCoordinator();
    // Every context's saves: those of other contexts over the same
    // coordinator write events this one does not see.
    std::weak_ptr<SYNEventTallies> weak = tallies;
    auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextDidSaveNotification, nullptr,
        [weak](const plat::Notification& notification) {
            if (auto strong = weak.lock()) {
                strong->observe(notification);
            }
        });
    plat::MutexLock lock(tallies->mutex_);
    tallies->observer_ = std::move(observer);
    return tallies;
}

void SYNEventTallies::stop() {
    plat::ObserverToken observer;
    {
        plat::MutexLock lock(mutex_);
        observer.swap(observer_);
        forgetLocked();
    }
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
}

SYNEventTallies::~SYNEventTallies() {
    plat::ObserverToken observer;
    {
        plat::MutexLock lock(mutex_);
        observer.swap(observer_);
    }
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
}

SYNEventTallies::Kept<int64_t> SYNEventTallies::highestRevision(const std::string& localStore) const {
    plat::MutexLock lock(mutex_);
    if (localStore != localStore_) {
        return {std::nullopt, generation_};
    }
    return {highestRevision_, generation_};
}

SYNEventTallies::Kept<int64_t> SYNEventTallies::highestGlobalCount() const {
    plat::MutexLock lock(mutex_);
    return {highestGlobalCount_, generation_};
}

SYNEventTallies::Kept<SYNEventTallies::LatestMerge> SYNEventTallies::latestMerge(
    const std::string& localStore) const {
    plat::MutexLock lock(mutex_);
    if (localStore != localStore_) {
        return {std::nullopt, generation_};
    }
    return {latestMerge_, generation_};
}

uint64_t SYNEventTallies::generation() const {
    plat::MutexLock lock(mutex_);
    return generation_;
}

void SYNEventTallies::setStoreLocked(const std::string& localStore) {
    if (localStore != localStore_) {
        forgetLocked();
        localStore_ = localStore;
    }
}

void SYNEventTallies::keepHighestRevision(const std::string& localStore, int64_t number,
                                          uint64_t generation) {
    plat::MutexLock lock(mutex_);
    if (generation != generation_) {
        return;
    }
    setStoreLocked(localStore);
    highestRevision_ = number;
    ++generation_;
}

void SYNEventTallies::keepHighestGlobalCount(int64_t count, uint64_t generation) {
    plat::MutexLock lock(mutex_);
    if (generation != generation_) {
        return;
    }
    highestGlobalCount_ = count;
    ++generation_;
}

void SYNEventTallies::keepLatestMerge(const std::string& localStore, LatestMerge merge, uint64_t generation) {
    plat::MutexLock lock(mutex_);
    if (generation != generation_ || (merge.event && merge.event->isTemporaryID())) {
        return;
    }
    setStoreLocked(localStore);
    latestMerge_ = std::move(merge);
    ++generation_;
}

void SYNEventTallies::keepLatestMergeOthers(const std::string& localStore,
                                            const plat::coredata::ManagedObjectID& event,
                                            SYNRevisionSet others, uint64_t generation) {
    plat::MutexLock lock(mutex_);
    if (generation != generation_ || localStore != localStore_ || !latestMerge_ || !latestMerge_->event ||
        !latestMerge_->event->isEqualID(event)) {
        return;
    }
    latestMerge_->others = std::move(others);
    ++generation_;
}

bool SYNEventTallies::holdsUnsavedEvents(const ManagedObjectContext& context) {
    if (!context.hasChanges()) {
        return false;
    }
    for (const auto& objects :
         {context.insertedObjects(), context.updatedObjects(), context.deletedObjects()}) {
        for (const auto& object : objects) {
            const std::string& name = object->entity()->name();
            if (name == SYNStoreModificationEventEntityName || name == SYNEventRevisionEntityName) {
                return true;
            }
        }
    }
    return false;
}

void SYNEventTallies::forgetLocked() {
    highestRevision_.reset();
    highestGlobalCount_.reset();
    latestMerge_.reset();
    ++generation_;
}

void SYNEventTallies::observe(const plat::Notification& notification) {
    auto saving = std::static_pointer_cast<const ManagedObjectContext>(notification.object);
    if (!saving) {
        return;
    }
    if (saving.get() != context_) {
        // A child context's save reaches its parent, not the store.
        if (saving->parentContext()) {
            return;
        }
        auto mine = coordinator_.lock();
        if (mine && saving->persistentStoreCoordinator() == mine) {
            plat::MutexLock lock(mutex_);
            forgetLocked();
        }
        return;
    }
    plat::MutexLock lock(mutex_);
    if (!highestRevision_ && !highestGlobalCount_ && !latestMerge_) {
        return;  // nothing known to follow
    }
    const char* const keys[] = {plat::coredata::InsertedObjectsKey, plat::coredata::UpdatedObjectsKey,
                                plat::coredata::DeletedObjectsKey};
    std::size_t saved = 0;
    for (const char* key : keys) {
        const plat::Value* objects = notification.userInfo.find(key);
        if (!objects || !objects->asSet()) {
            forgetLocked();
            return;
        }
        saved += objects->asSet()->size();
    }
    // Walking a large save (an import of many events) costs more than
    // asking the store again for the next event.
    if (saved > kMaximumFollowedObjects) {
        forgetLocked();
        return;
    }
    for (const char* key : keys) {
        const plat::Value* objects = notification.userInfo.find(key);
        const bool inserted = key == plat::coredata::InsertedObjectsKey;
        const bool deleted = key == plat::coredata::DeletedObjectsKey;
        for (const auto& value : objects->asSet()->values()) {
            const auto object = ManagedObject::fromValue(value);
            if (!object) {
                forgetLocked();
                return;
            }
            const std::string& entity = object->entity()->name();
            const bool event = entity == SYNStoreModificationEventEntityName;
            if (!event && entity != SYNEventRevisionEntityName) {
                continue;
            }
            if (object->objectID()->isTemporaryID()) {
                forgetLocked();
                return;
            }
            // What a deletion took away is not known: it may have been the
            // highest value or the merge.
            if (deleted) {
                forgetLocked();
                return;
            }
            if (event) {
                followEventLocked(*object, inserted);
            } else {
                followRevisionLocked(*object, inserted);
            }
        }
    }
}

void SYNEventTallies::forgetMergeLocked() {
    latestMerge_.reset();
    ++generation_;
}

void SYNEventTallies::followEventLocked(const ManagedObject& event, bool inserted) {
    if (event.isFault()) {
        highestGlobalCount_.reset();
        latestMerge_.reset();
        ++generation_;
        return;
    }
    if (highestGlobalCount_) {
        const int64_t count = SYNStoreModificationEvent::globalCount(event);
        if (count > *highestGlobalCount_) {
            highestGlobalCount_ = count;
            ++generation_;
        } else if (!inserted && count < *highestGlobalCount_) {
            // Its count may have been the highest.
            highestGlobalCount_.reset();
            ++generation_;
        }
    }
    if (!latestMerge_) {
        return;
    }
    const auto& id = event.objectID();
    const bool kept = latestMerge_->event && latestMerge_->event->isEqualID(*id);
    if (SYNStoreModificationEvent::type(event) != SYNStoreModificationEventTypeMerge) {
        if (kept) {
            forgetMergeLocked();
        }
        return;
    }
    const auto revision = event.objectForKey("eventRevision");
    if (!revision || revision->isFault()) {
        forgetMergeLocked();
        return;
    }
    const SYNRevision own = SYNEventRevision::revision(*revision);
    if (own.persistentStoreIdentifier != localStore_) {
        if (kept) {
            forgetMergeLocked();
        }
        return;
    }
    if (kept) {
        if (own.revisionNumber != latestMerge_->number) {
            forgetMergeLocked();
        }
        return;
    }
    // Of equal numbers the first made, which has the lower key.
    if (!latestMerge_->event || own.revisionNumber > latestMerge_->number ||
        (own.revisionNumber == latestMerge_->number &&
         id->primaryKey() < latestMerge_->event->primaryKey())) {
        latestMerge_ = LatestMerge{id, own.revisionNumber, std::nullopt};
        ++generation_;
    }
}

void SYNEventTallies::followRevisionLocked(const ManagedObject& record, bool inserted) {
    if (record.isFault()) {
        highestRevision_.reset();
        latestMerge_.reset();
        ++generation_;
        return;
    }
    if (!inserted && latestMerge_) {
        // It may be the own revision of a merge, renumbered.
        forgetMergeLocked();
    } else if (inserted && latestMerge_ && latestMerge_->others && latestMerge_->event) {
        // A revision added to the latest merge's revisions of other stores.
        const auto owner = record.objectForKey("storeModificationEventForOtherStores");
        if (owner && owner->objectID()->isEqualID(*latestMerge_->event)) {
            latestMerge_->others.reset();
            ++generation_;
        }
    }
    if (!highestRevision_) {
        return;
    }
    const SYNRevision revision = SYNEventRevision::revision(record);
    const bool local = revision.persistentStoreIdentifier == localStore_;
    if (local && (*highestRevision_ == kNoRevision || revision.revisionNumber > *highestRevision_)) {
        highestRevision_ = revision.revisionNumber;
        ++generation_;
    } else if (!inserted && (!local || revision.revisionNumber < *highestRevision_)) {
        // Its number may have been the highest.
        highestRevision_.reset();
        ++generation_;
    }
}
