// SYNEventTallies: three answers every new event needs from the event store,
// kept between the store's saves so that making an event does not ask the
// store again each time:
//  - the highest revision number that any revision record gives the local
//    store (the next event takes one above it);
//  - the highest global count of any event (a finished event counts one
//    above it);
//  - the local store's merge event of the highest own revision number, of
//    equal numbers the first made (the lowest key), or that there is none
//    (a new event starts from that merge's revisions of the other stores),
//    and, once read, those revisions.
//
// An answer is known only once a look-up in the store gave it (keep), and is
// then brought along by every save of the store's context, from the objects
// the save names: what a save adds can only raise a highest value, which is
// followed; whatever could lower one or move the merge (a deletion, a value
// lowered by an update, a record whose values the save did not hold loaded)
// makes the answer unknown again, and the next event asks the store, as does
// a save too large to walk for less than a look-up costs; a revision record
// added to the kept merge makes its revisions unknown. Saves
// of any other context over the same coordinator, and a change of the local
// store's identifier, make every answer unknown. Nothing is written: a
// process starts with every answer unknown.
//
// The answers are those of the saved store: a caller that holds unsaved
// events or revision records must ask the store (see holdsUnsavedEvents).
// Thread-safe; the observer runs on the saving thread.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/eventstore/SYNRevision.h"

class SYNEventTallies {
  public:
    // highestRevision when no revision record names the local store.
    static constexpr int64_t kNoRevision = std::numeric_limits<int64_t>::min();
    struct LatestMerge {
        plat::coredata::ManagedObjectIDPtr event;  // null: the local store has no merge event
        int64_t number = 0;
        // The event's revisions of other stores as its records give them
        // (the local store's included); nullopt until read.
        std::optional<SYNRevisionSet> others;
    };
    // An answer known for the local store, and the count of the changes to
    // the answers when it was read (what keep* compares).
    template <typename T>
    struct Kept {
        std::optional<T> value;
        uint64_t generation = 0;
    };

    // Follows the saves of `context` (a root context: the event store's)
    // until stop().
    static std::shared_ptr<SYNEventTallies> start(
        const std::shared_ptr<plat::coredata::ManagedObjectContext>& context);
    void stop();
    ~SYNEventTallies();

    // nullopt value while unknown (or kept for another local store).
    Kept<int64_t> highestRevision(const std::string& localStore) const EXCLUDES(mutex_);
    Kept<int64_t> highestGlobalCount() const EXCLUDES(mutex_);
    Kept<LatestMerge> latestMerge(const std::string& localStore) const EXCLUDES(mutex_);
    uint64_t generation() const EXCLUDES(mutex_);

    // What the store answered, read when generation() was `generation`:
    // kept unless an answer changed since.
    void keepHighestRevision(const std::string& localStore, int64_t number, uint64_t generation)
        EXCLUDES(mutex_);
    void keepHighestGlobalCount(int64_t count, uint64_t generation) EXCLUDES(mutex_);
    void keepLatestMerge(const std::string& localStore, LatestMerge merge, uint64_t generation)
        EXCLUDES(mutex_);
    // The revisions of other stores of the kept latest merge `event`, read
    // when generation() was `generation`.
    void keepLatestMergeOthers(const std::string& localStore, const plat::coredata::ManagedObjectID& event,
                               SYNRevisionSet others, uint64_t generation) EXCLUDES(mutex_);

    // Whether the context holds unsaved events or revision records.
    static bool holdsUnsavedEvents(const plat::coredata::ManagedObjectContext& context);

  private:
    // Saves of more objects than this are not walked: they make every
    // answer unknown.
    static constexpr std::size_t kMaximumFollowedObjects = 512;
    SYNEventTallies() = default;
    void observe(const plat::Notification& notification) EXCLUDES(mutex_);
    void forgetLocked() REQUIRES(mutex_);
    void forgetMergeLocked() REQUIRES(mutex_);
    void followEventLocked(const plat::coredata::ManagedObject& event, bool inserted) REQUIRES(mutex_);
    void followRevisionLocked(const plat::coredata::ManagedObject& record, bool inserted) REQUIRES(mutex_);
    void setStoreLocked(const std::string& localStore) REQUIRES(mutex_);

    mutable plat::Mutex mutex_;
    // Set before the observer starts, never changed after.
    const plat::coredata::ManagedObjectContext* context_ = nullptr;
    std::weak_ptr<plat::coredata::PersistentStoreCoordinator> coordinator_;
    plat::ObserverToken observer_ GUARDED_BY(mutex_);
    // The local store the revision answers are for.
    std::string localStore_ GUARDED_BY(mutex_);
    std::optional<int64_t> highestRevision_ GUARDED_BY(mutex_);
    std::optional<int64_t> highestGlobalCount_ GUARDED_BY(mutex_);
    std::optional<LatestMerge> latestMerge_ GUARDED_BY(mutex_);
    // Bumped whenever an answer changes or is forgotten.
    uint64_t generation_ GUARDED_BY(mutex_) = 0;
};
