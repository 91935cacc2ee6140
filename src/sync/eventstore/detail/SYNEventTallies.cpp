#include "sync/eventstore/detail/SYNEventTallies.h"

#include <algorithm>
#include <string_view>

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

std::shared_ptr<SYNEventTallies> SYNEventTallies::answeringFor(std::shared_ptr<SYNEventTallies> tallies,
                                                               const ManagedObjectContext& context) {
    return tallies && !holdsUnsavedEvents(context) ? std::move(tallies) : nullptr;
}

void SYNEventTallies::forgetAnswersLocked() {
    highestRevision_.reset();
    highestGlobalCount_.reset();
    latestMerge_.reset();
    ++generation_;
}

void SYNEventTallies::forgetFactsLocked() {
    facts_.reset();
    ++factsGeneration_;
}

void SYNEventTallies::forgetLocked() {
    forgetAnswersLocked();
    forgetFactsLocked();
    insertedEvents_.clear();
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
    const bool answers = highestRevision_ || highestGlobalCount_ || latestMerge_;
    const plat::Value* objects[3] = {notification.userInfo.find(plat::coredata::InsertedObjectsKey),
                                     notification.userInfo.find(plat::coredata::UpdatedObjectsKey),
                                     notification.userInfo.find(plat::coredata::DeletedObjectsKey)};
    std::size_t saved = 0;
    for (const plat::Value* list : objects) {
        if (!list || !list->asSet()) {
            forgetLocked();
            return;
        }
        saved += list->asSet()->size();
    }
    // An import's save names its events' changes and identifier records
    // too, thousands of them: they are passed over by their entity, and its
    // events and revision records are followed. Forgetting instead would
    // have the next merge read the facts of every event again.
    if (saved > kMaximumWalkedObjects) {
        forgetLocked();
        return;
    }
    // The save's events and revision records, found once for every
    // follower: most of a save's objects are neither.
    const std::string_view eventEntity = SYNStoreModificationEventEntityName;
    const std::string_view revisionEntity = SYNEventRevisionEntityName;
    SavedObjects named;
    for (uint8_t list = 0; list < 3; ++list) {
        for (const auto& value : objects[list]->asSet()->values()) {
            const ManagedObject* object = ManagedObject::fromValue(value).get();
            if (!object) {
                forgetLocked();
                return;
            }
            const std::string& entity = object->entity()->name();
            const bool event = entity == eventEntity;
            if (!event && entity != revisionEntity) {
                continue;
            }
            if (named.size() == kMaximumFollowedObjects) {
                forgetLocked();
                return;
            }
            SavedObject& saved = named.emplace_back();
            saved.object = object;
            saved.list = list;
            saved.event = event;
            if (list == 2 || object->isFault()) {
                continue;
            }
            if (event) {
                saved.type = SYNStoreModificationEvent::type(*object);
                saved.own = object->objectForKey("eventRevision");
                if (saved.own && !saved.own->isFault()) {
                    saved.revision = SYNEventRevision::revision(*saved.own);
                }
            } else {
                saved.revision = SYNEventRevision::revision(*object);
                saved.owner = object->objectForKey("storeModificationEvent");
                saved.otherOwner = object->objectForKey("storeModificationEventForOtherStores");
            }
        }
    }
    if (named.empty()) {
        return;
    }
    followInsertedEventsLocked(named);
    if (answers) {
        followAnswersLocked(named);
    }
    if (facts_) {
        followFactsLocked(named);
    }
}

void SYNEventTallies::followAnswersLocked(const SavedObjects& objects) {
    for (const auto& saved : objects) {
        const bool inserted = saved.list == 0;
        const bool deleted = saved.list == 2;
        if (saved.object->objectID()->isTemporaryID()) {
            forgetAnswersLocked();
            return;
        }
        // What a deletion took away is not known: it may have been the
        // highest value or the merge.
        if (deleted) {
            forgetAnswersLocked();
            return;
        }
        if (saved.event) {
            followEventLocked(saved, inserted);
        } else {
            followRevisionLocked(saved, inserted);
        }
    }
}

void SYNEventTallies::forgetMergeLocked() {
    latestMerge_.reset();
    ++generation_;
}

void SYNEventTallies::followEventLocked(const SavedObject& saved, bool inserted) {
    const ManagedObject& event = *saved.object;
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
    if (saved.type != SYNStoreModificationEventTypeMerge) {
        if (kept) {
            forgetMergeLocked();
        }
        return;
    }
    if (!saved.own || !saved.revision) {  // none, or not loaded
        forgetMergeLocked();
        return;
    }
    const SYNRevision& own = *saved.revision;
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

void SYNEventTallies::followRevisionLocked(const SavedObject& saved, bool inserted) {
    if (saved.object->isFault()) {
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
        const auto& owner = saved.otherOwner;
        if (owner && owner->objectID()->isEqualID(*latestMerge_->event)) {
            latestMerge_->others.reset();
            ++generation_;
        }
    }
    if (!highestRevision_) {
        return;
    }
    const SYNRevision& revision = *saved.revision;
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

// --- The checks' facts ---------------------------------------------------------

namespace {

bool isComplete(int16_t type) {
    return type == SYNStoreModificationEventTypeSave || type == SYNStoreModificationEventTypeMerge;
}

}  // namespace

SYNEventTallies::Kept<SYNEventTallies::Facts> SYNEventTallies::facts(const std::string& localStore) const {
    plat::MutexLock lock(mutex_);
    if (!facts_ || localStore != localStore_) {
        return {std::nullopt, factsGeneration_};
    }
    return {factsLocked(localStore), factsGeneration_};
}

SYNEventTallies::Facts SYNEventTallies::factsLocked(const std::string& localStore) const {
    Facts facts;
    facts.present = facts_->present;
    facts.baseline = facts_->baseline;
    facts.soleBaseline = facts_->soleBaseline;
    for (const auto& [key, row] : facts_->events) {
        if (row.type == SYNStoreModificationEventTypeMerge && row.ownRevision && row.store == localStore) {
            facts.offerLocalMerge(row.event, row.number);
        }
    }
    return facts;
}

void SYNEventTallies::Facts::offerLocalMerge(const plat::coredata::ManagedObjectIDPtr& event,
                                             int64_t number) {
    if (!latestLocalMerges.empty() && number > latestLocalMergeNumber) {
        latestLocalMerges.clear();
    }
    if (latestLocalMerges.empty() || number == latestLocalMergeNumber) {
        latestLocalMerges.push_back(event);
        latestLocalMergeNumber = number;
    }
}

uint64_t SYNEventTallies::factsGeneration() const {
    plat::MutexLock lock(mutex_);
    return factsGeneration_;
}

std::optional<SYNEventTallies::Kept<SYNEventTallies::Facts>> SYNEventTallies::keepFacts(
    const std::string& localStore, GatheredFacts& gathered, uint64_t generation) {
    plat::MutexLock lock(mutex_);
    if (generation != factsGeneration_ || !observer_) {
        return std::nullopt;
    }
    if (gathered.baseline && (!gathered.baseline->event || gathered.baseline->event->isTemporaryID())) {
        return std::nullopt;
    }
    std::vector<int64_t> keys;
    keys.reserve(gathered.events.size());
    for (const auto& event : gathered.events) {
        if (!event.event || event.event->isTemporaryID() || !isComplete(event.type) ||
            (event.ownRevision && event.ownRevision->isTemporaryID())) {
            return std::nullopt;
        }
        keys.push_back(event.event->primaryKey());
    }
    // One event read twice (two records naming it as theirs) is not a view
    // the saves can follow.
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) {
        return std::nullopt;
    }
    setStoreLocked(localStore);
    FactsState state;
    state.present = std::make_shared<PresentRevisions>();
    state.baseline = std::move(gathered.baseline);
    state.soleBaseline = gathered.soleBaseline;
    state.events.reserve(gathered.events.size());
    state.ownRevisions.reserve(gathered.events.size());
    facts_ = std::move(state);
    for (auto& event : gathered.events) {
        const int64_t key = event.event->primaryKey();
        const int64_t ownRevision = event.ownRevision ? event.ownRevision->primaryKey() : 0;
        setEventRowLocked(key, EventRow{std::move(event.event), event.type, ownRevision,
                                        std::move(event.store), event.number});
    }
    ++factsGeneration_;
    return Kept<Facts>{factsLocked(localStore), factsGeneration_};
}

std::optional<std::vector<plat::coredata::ManagedObjectIDPtr>> SYNEventTallies::completeEventsAbove(
    const std::map<std::string, std::optional<int64_t>>& bounds, bool includingEventsWithoutRevision,
    uint64_t generation) const {
    plat::MutexLock lock(mutex_);
    if (!facts_ || generation != factsGeneration_) {
        return std::nullopt;
    }
    std::vector<plat::coredata::ManagedObjectIDPtr> found;
    for (const auto& [key, row] : facts_->events) {
        if (!isComplete(row.type)) {
            continue;
        }
        if (!row.ownRevision) {
            if (includingEventsWithoutRevision) {
                found.push_back(row.event);
            }
            continue;
        }
        auto bound = bounds.find(row.store);
        if (bound != bounds.end() && (!bound->second || row.number > *bound->second)) {
            found.push_back(row.event);
        }
    }
    return found;
}

void SYNEventTallies::setEventRowLocked(int64_t key, std::optional<EventRow> row) {
    FactsState& facts = *facts_;
    auto present = [&facts]() -> PresentRevisions& {
        if (facts.present.use_count() > 1) {
            // The checks that took the present revisions keep theirs.
            facts.present = std::make_shared<PresentRevisions>(*facts.present);
        }
        return *facts.present;
    };
    auto old = facts.events.find(key);
    if (old != facts.events.end()) {
        const EventRow& was = old->second;
        if (was.ownRevision) {
            auto link = facts.ownRevisions.find(was.ownRevision);
            if (link != facts.ownRevisions.end() && link->second == key) {
                facts.ownRevisions.erase(link);
            }
            if (isComplete(was.type)) {
                PresentRevisions& revisions = present();
                auto store = revisions.find(was.store);
                if (store != revisions.end()) {
                    auto number = store->second.find(was.number);
                    if (number != store->second.end() && --number->second == 0) {
                        store->second.erase(number);
                        if (store->second.empty()) {
                            revisions.erase(store);
                        }
                    }
                }
            }
        }
        facts.events.erase(old);
    }
    if (!row) {
        return;
    }
    if (row->ownRevision) {
        facts.ownRevisions[row->ownRevision] = key;
        if (isComplete(row->type)) {
            PresentRevisions& revisions = present();
            auto store = revisions.find(row->store);
            if (store == revisions.end()) {
                store = revisions.emplace(row->store, std::map<int64_t, uint32_t>()).first;
            }
            ++store->second[row->number];
        }
    }
    facts.events.emplace(key, std::move(*row));
}

void SYNEventTallies::followFactsLocked(const SavedObjects& objects) {
    const std::optional<BaselineFacts>& baseline = facts_->baseline;
    // The kept baseline's key (keys start at 1).
    const int64_t baselineKey = baseline ? baseline->event->primaryKey() : 0;
    auto isBaselineRecord = [&baseline](const plat::coredata::ManagedObjectID& id) {
        if (!baseline) {
            return false;
        }
        for (const auto& record : baseline->records) {
            if (record->isEqualID(id)) {
                return true;
            }
        }
        return false;
    };
    // The events the save names (inserted or updated), the events whose own
    // revision a saved record may have changed, and the own revision each
    // saved record now gives its event.
    // (Lists sorted by key once filled and searched by halves: a save names
    // few events, and a hash table costs a node each.)
    using ByKey = std::vector<std::pair<int64_t, const SavedObject*>>;
    auto byKey = [](const auto& entry, int64_t key) { return entry.first < key; };
    auto findKey = [&byKey](const ByKey& list, int64_t key) {
        auto found = std::lower_bound(list.begin(), list.end(), key, byKey);
        return found != list.end() && found->first == key ? found : list.end();
    };
    ByKey savedEvents;
    std::vector<int64_t> deletedEvents;
    std::vector<int64_t> touched;
    ByKey ownLinks;
    std::vector<int64_t> savedRevisions;
    bool changed = false;
    for (const auto& saved : objects) {
        const ManagedObject* object = saved.object;
        const bool deleted = saved.list == 2;
        const auto& id = object->objectID();
        if (id->isTemporaryID()) {
            forgetFactsLocked();
            return;
        }
        changed = true;
        const int64_t key = id->primaryKey();
        if (saved.event) {
            if (baseline && key == baselineKey) {
                forgetFactsLocked();  // the baseline changed or went
                return;
            }
            if (deleted) {
                deletedEvents.push_back(key);
                continue;
            }
            if (object->isFault()) {
                forgetFactsLocked();
                return;
            }
            // A new baseline may come after the one kept, or be the
            // first; one being consolidated is one a consolidation
            // must find.
            const int16_t type = saved.type;
            if (type == SYNStoreModificationEventTypeBaseline ||
                type == SYNStoreModificationEventTypeBaselineConsolidating) {
                forgetFactsLocked();
                return;
            }
            savedEvents.emplace_back(key, &saved);
            touched.push_back(key);
            continue;
        }
        if (isBaselineRecord(*id)) {
            forgetFactsLocked();
            return;
        }
        savedRevisions.push_back(key);
        auto link = facts_->ownRevisions.find(key);
        if (link != facts_->ownRevisions.end()) {
            touched.push_back(link->second);
        }
        if (deleted) {
            continue;
        }
        if (object->isFault()) {
            forgetFactsLocked();
            return;
        }
        if (const auto& owner = saved.owner) {
            const int64_t ownerKey = owner->objectID()->primaryKey();
            if (owner->objectID()->isTemporaryID() || (baseline && ownerKey == baselineKey)) {
                forgetFactsLocked();
                return;
            }
            ownLinks.emplace_back(ownerKey, &saved);
            touched.push_back(ownerKey);
        } else if (baseline) {
            // A revision of another store added to the baseline.
            const auto& other = saved.otherOwner;
            if (other && other->objectID()->primaryKey() == baselineKey) {
                forgetFactsLocked();
                return;
            }
        }
    }
    if (!changed) {
        return;
    }
    const auto keyOrder = [](const auto& a, const auto& b) { return a.first < b.first; };
    const auto sameKey = [](const auto& a, const auto& b) { return a.first == b.first; };
    // An event saved twice in one list is the same object: the first is kept.
    std::stable_sort(savedEvents.begin(), savedEvents.end(), keyOrder);
    savedEvents.erase(std::unique(savedEvents.begin(), savedEvents.end(), sameKey), savedEvents.end());
    // Two saved records naming one event as their own revision.
    std::sort(ownLinks.begin(), ownLinks.end(), keyOrder);
    if (std::adjacent_find(ownLinks.begin(), ownLinks.end(), sameKey) != ownLinks.end()) {
        forgetFactsLocked();
        return;
    }
    for (int64_t key : deletedEvents) {
        setEventRowLocked(key, std::nullopt);
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (int64_t key : touched) {
        if (std::find(deletedEvents.begin(), deletedEvents.end(), key) != deletedEvents.end()) {
            continue;
        }
        EventRow row;
        auto saved = findKey(savedEvents, key);
        auto kept = facts_->events.find(key);
        if (saved != savedEvents.end()) {
            const SavedObject& event = *saved->second;
            row.event = event.object->objectID();
            row.type = event.type;
            if (const auto& own = event.own) {
                const auto& ownID = own->objectID();
                if (ownID->isTemporaryID()) {
                    forgetFactsLocked();
                    return;
                }
                row.ownRevision = ownID->primaryKey();
                if (event.revision) {
                    row.store = event.revision->persistentStoreIdentifier;
                    row.number = event.revision->revisionNumber;
                } else if (kept != facts_->events.end() && kept->second.ownRevision == row.ownRevision &&
                           std::find(savedRevisions.begin(), savedRevisions.end(), row.ownRevision) ==
                               savedRevisions.end()) {
                    // Not loaded, and untouched by the save: as it was.
                    row.store = kept->second.store;
                    row.number = kept->second.number;
                } else {
                    forgetFactsLocked();
                    return;
                }
            }
        } else {
            // Named only by a revision record: the event kept its type.
            auto link = findKey(ownLinks, key);
            if (kept == facts_->events.end() || link == ownLinks.end()) {
                forgetFactsLocked();
                return;
            }
            const SavedObject& record = *link->second;
            row = EventRow{kept->second.event, kept->second.type, record.object->objectID()->primaryKey(),
                           record.revision->persistentStoreIdentifier, record.revision->revisionNumber};
        }
        setEventRowLocked(key, std::move(row));
    }
    ++factsGeneration_;
}

// --- Revisions of other stores of inserted events ---------------------------------

std::optional<SYNRevisionSet> SYNEventTallies::revisionsOfOtherStores(
    const plat::coredata::ManagedObjectID& event) const {
    if (event.isTemporaryID()) {
        return std::nullopt;
    }
    plat::MutexLock lock(mutex_);
    const int64_t key = event.primaryKey();
    for (const auto& inserted : insertedEvents_) {
        if (inserted.key == key) {
            return inserted.others;
        }
    }
    if (latestMerge_ && latestMerge_->event && latestMerge_->others &&
        latestMerge_->event->isEqualID(event)) {
        return latestMerge_->others;
    }
    return std::nullopt;
}

void SYNEventTallies::followInsertedEventsLocked(const SavedObjects& objects) {
    // The events this save inserted, with the records of other stores it
    // linked to them, and the events records of other stores were added to.
    std::vector<InsertedEvent> inserted;
    std::vector<std::pair<int64_t, SYNRevision>> linked;
    std::vector<int64_t> deletedEvents;
    for (const auto& saved : objects) {
        const ManagedObject* object = saved.object;
        const bool event = saved.event;
        if (saved.list > 0) {
            // A record updated or deleted: the event it was linked to
            // is not known.
            if (!event) {
                insertedEvents_.clear();
                return;
            }
            // An event updated keeps its records (their links are
            // written on their rows); one deleted goes.
            if (saved.list == 2) {
                deletedEvents.push_back(object->objectID()->primaryKey());
            }
            continue;
        }
        const auto& id = object->objectID();
        if (id->isTemporaryID() || object->isFault()) {
            insertedEvents_.clear();
            return;
        }
        if (event) {
            inserted.push_back(InsertedEvent{id->primaryKey(), SYNRevisionSet()});
            continue;
        }
        const auto& owner = saved.otherOwner;
        if (!owner) {
            continue;  // an own revision, or no event's
        }
        if (owner->objectID()->isTemporaryID()) {
            insertedEvents_.clear();
            return;
        }
        linked.emplace_back(owner->objectID()->primaryKey(), *saved.revision);
    }
    // (The list is handed in: the lock's analysis does not see into a
    // lambda that reaches the member.)
    auto drop = [](std::vector<InsertedEvent>& events, int64_t key) {
        events.erase(std::remove_if(events.begin(), events.end(),
                                    [key](const InsertedEvent& event) { return event.key == key; }),
                     events.end());
    };
    for (int64_t key : deletedEvents) {
        drop(insertedEvents_, key);
    }
    for (const auto& [owner, revision] : linked) {
        auto found = std::find_if(inserted.begin(), inserted.end(),
                                  [owner = owner](const InsertedEvent& event) { return event.key == owner; });
        if (found != inserted.end()) {
            found->others.addRevision(revision);
        } else {
            drop(insertedEvents_, owner);  // a record added to an event saved before
        }
    }
    for (auto& event : inserted) {
        drop(insertedEvents_, event.key);
        insertedEvents_.push_back(std::move(event));
    }
    if (insertedEvents_.size() > kMaximumInsertedEventsKept) {
        insertedEvents_.erase(
            insertedEvents_.begin(),
            insertedEvents_.end() - static_cast<std::ptrdiff_t>(kMaximumInsertedEventsKept));
    }
}
