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
//
// Beside the three answers, the facts a merge's checks read (see
// SYNRevisionManager): every complete save and merge event's own revision,
// the baseline's identifier and revision set. Once read (keepFacts) they are
// brought along by the same saves: an event's row is set again from the
// event whenever a save names it or a revision record linked to it, and a
// deletion removes exactly what it takes away. Whatever cannot be read from
// the saved objects (a fault, a revision record linked to an event the
// facts do not hold), anything that touches a baseline or saves an event
// as one (or as one being consolidated), and everything that
// makes the three answers unknown for good (another context's save, a save
// too large to walk, another local store) forgets the facts.
//
// And, for the latest few events a followed save inserted, their revisions
// of other stores (revisionsOfOtherStores), kept until a save may change
// them.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

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
    // The tallies when they may answer for what `context` reads: they exist
    // and the context holds no unsaved events or revision records (their
    // answers are those of the saved store); null otherwise.
    static std::shared_ptr<SYNEventTallies> answeringFor(std::shared_ptr<SYNEventTallies> tallies,
                                                         const plat::coredata::ManagedObjectContext& context);

    // Of each store, the own revision numbers of its complete (save and
    // merge) events, with the count of events that carry each.
    using PresentRevisions = std::map<std::string, std::map<int64_t, uint32_t>, std::less<>>;
    struct BaselineFacts {
        plat::coredata::ManagedObjectIDPtr event;
        std::string uniqueIdentifier;
        SYNRevisionSet revisions;  // its own revision included
        // Its revision records (own and of other stores).
        std::vector<plat::coredata::ManagedObjectIDPtr> records;
    };
    // One complete event as read from the store: its own revision record
    // (null: none) and that record's store and number.
    struct EventFacts {
        plat::coredata::ManagedObjectIDPtr event;
        int16_t type = 0;
        plat::coredata::ManagedObjectIDPtr ownRevision;
        std::string store;
        int64_t number = 0;
    };
    // What the checks read: the baseline (nullopt: none) and every complete
    // event (with or without an own revision).
    struct GatheredFacts {
        std::optional<BaselineFacts> baseline;
        std::vector<EventFacts> events;
        // No event but the baseline is a baseline or being consolidated:
        // a consolidation would find nothing to do.
        bool soleBaseline = false;
    };
    // The kept facts, as the checks use them.
    struct Facts {
        std::shared_ptr<const PresentRevisions> present;
        std::optional<BaselineFacts> baseline;
        // As gathered; kept true only while no saved event becomes a
        // baseline or one being consolidated (such a save forgets the facts).
        bool soleBaseline = false;
        // The local store's complete merge events numbered highest (one,
        // unless numbers repeat), and that number.
        std::vector<plat::coredata::ManagedObjectIDPtr> latestLocalMerges;
        int64_t latestLocalMergeNumber = 0;
        // Takes a complete merge event of the local store into
        // latestLocalMerges when its number is the highest so far.
        void offerLocalMerge(const plat::coredata::ManagedObjectIDPtr& event, int64_t number);
    };
    // The facts of the local store's view, nullopt while unknown; the
    // generation counts changes to the facts (what keepFacts and the
    // look-ups below compare).
    Kept<Facts> facts(const std::string& localStore) const EXCLUDES(mutex_);
    // What the checks read when factsGeneration() was `generation`, from the
    // saved store: kept unless a save came in between. When kept, the
    // gathered facts are moved from and the kept ones returned.
    std::optional<Kept<Facts>> keepFacts(const std::string& localStore, GatheredFacts& gathered,
                                         uint64_t generation) EXCLUDES(mutex_);
    uint64_t factsGeneration() const EXCLUDES(mutex_);
    // The complete events whose own revision's store is bounded and whose
    // number lies above the bound (any number for a bound of nullopt), and,
    // when asked, the complete events without an own revision; nullopt
    // unless the facts are those of `generation`.
    std::optional<std::vector<plat::coredata::ManagedObjectIDPtr>> completeEventsAbove(
        const std::map<std::string, std::optional<int64_t>>& bounds, bool includingEventsWithoutRevision,
        uint64_t generation) const EXCLUDES(mutex_);

    // The revisions of other stores of `event` as its records of them hold
    // them, without reading the store: known for an event that a followed
    // save inserted (the records linked to it by that save are all it has,
    // a record's link being written on the record's row) until a later save
    // may change them, and for the kept latest local merge once its
    // revisions are kept. nullopt otherwise. Like every answer, that of the
    // saved store.
    std::optional<SYNRevisionSet> revisionsOfOtherStores(const plat::coredata::ManagedObjectID& event) const
        EXCLUDES(mutex_);

  private:
    // A save is walked by its objects' entities, a few nanoseconds each:
    // only a save of more objects than this (a large batch of an enlisting)
    // is not, and makes every answer unknown.
    static constexpr std::size_t kMaximumWalkedObjects = 16384;
    // Past this many events and revision records (an import of hundreds of
    // events) a save is not followed either: asking the store again then
    // costs less than following each of them.
    static constexpr std::size_t kMaximumFollowedObjects = 512;
    // The latest events inserted whose revisions of other stores are kept.
    static constexpr std::size_t kMaximumInsertedEventsKept = 8;
    SYNEventTallies() = default;
    void observe(const plat::Notification& notification) EXCLUDES(mutex_);
    void forgetLocked() REQUIRES(mutex_);
    void forgetMergeLocked() REQUIRES(mutex_);

    void setStoreLocked(const std::string& localStore) REQUIRES(mutex_);
    void forgetAnswersLocked() REQUIRES(mutex_);
    void forgetFactsLocked() REQUIRES(mutex_);
    // An event or revision record a save names, in the list it is in (0
    // inserted, 1 updated, 2 deleted); the save's notification holds it.
    struct SavedObject {
        const plat::coredata::ManagedObject* object = nullptr;
        uint8_t list = 0;
        bool event = false;
        // Read once for every follower, of an object inserted or updated
        // that is not a fault: an event's type and own revision record
        // (`revision`: the record's, when it is loaded); a revision record's
        // revision and the events it is linked to.
        int16_t type = 0;
        plat::coredata::ManagedObjectPtr own;
        plat::coredata::ManagedObjectPtr owner;
        plat::coredata::ManagedObjectPtr otherOwner;
        std::optional<SYNRevision> revision;
    };
    using SavedObjects = std::vector<SavedObject>;
    // Follow the three answers and the facts through a save's inserted,
    // updated and deleted events and revision records, in that order.
    void followAnswersLocked(const SavedObjects& objects) REQUIRES(mutex_);
    void followEventLocked(const SavedObject& event, bool inserted) REQUIRES(mutex_);
    void followRevisionLocked(const SavedObject& record, bool inserted) REQUIRES(mutex_);
    void followFactsLocked(const SavedObjects& objects) REQUIRES(mutex_);
    // Keeps the revisions of other stores of the events a save inserted,
    // and drops those a save may have changed.
    void followInsertedEventsLocked(const SavedObjects& objects) REQUIRES(mutex_);

    // An event as the facts hold it: its type and own revision record (key
    // 0: none), whatever its type.
    struct EventRow {
        plat::coredata::ManagedObjectIDPtr event;
        int16_t type = 0;
        int64_t ownRevision = 0;
        std::string store;
        int64_t number = 0;
    };
    struct FactsState {
        // By the event's key: every complete event, and every other event a
        // followed save named.
        std::unordered_map<int64_t, EventRow> events;
        // Own revision record's key -> its event's key.
        std::unordered_map<int64_t, int64_t> ownRevisions;
        // Shared with the checks that took it: copied before a change while
        // they hold it.
        std::shared_ptr<PresentRevisions> present;
        std::optional<BaselineFacts> baseline;
        bool soleBaseline = false;
    };
    void setEventRowLocked(int64_t key, std::optional<EventRow> row) REQUIRES(mutex_);
    Facts factsLocked(const std::string& localStore) const REQUIRES(mutex_);

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
    std::optional<FactsState> facts_ GUARDED_BY(mutex_);
    // Bumped whenever the facts change or are forgotten.
    uint64_t factsGeneration_ GUARDED_BY(mutex_) = 0;
    // Events followed saves inserted, by key, with their revisions of other
    // stores; the latest last.
    struct InsertedEvent {
        int64_t key = 0;
        SYNRevisionSet others;
    };
    std::vector<InsertedEvent> insertedEvents_ GUARDED_BY(mutex_);
};
