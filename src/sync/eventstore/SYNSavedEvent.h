// SYNSavedEvent: the changes of the last event a builder saved new (a save
// event, or a merge event at its first save), kept in memory for the export
// that writes the event's file moments later, so that it need not read back
// and decode the rows just written.
//
// What is kept is what the rows hold when the event's first save commits:
// per change its key, type, entity name, global identifier text (and the
// record's key), its data file (at most one), its values revision and its
// values as saved. Only small events whose values read back from their
// stored form exactly as kept are kept (see valuesReadBackAlike); anything
// else keeps nothing and the export reads the rows.
//
// The kept changes stand for the rows while no save has written them: every
// root save on the coordinator is watched (did-save). A change added to the
// event, a kept change updated or deleted, an identifier record of a kept
// change updated or deleted, any data file written while a kept change has
// one, the event deleted, a save too large to walk, a save whose objects
// cannot be told, or a save of another coordinator on the same store file
// forgets them. The event's header (counts, type, revisions) is always read
// from the rows. A crash loses only this memory: the rows stay the truth.
//
// Threads: every member may be called from any thread; the observer runs
// on the saving thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"
#include "sync/eventstore/SYNRevision.h"

class SYNSavedEvent {
  public:
    // Events of more changes are not kept; saves of more objects are not
    // walked (they forget what is kept).
    static constexpr std::size_t kMaximumChanges = 512;
    static constexpr std::size_t kMaximumFollowedObjects = 512;

    struct Change {
        int64_t key = 0;
        int64_t recordKey = 0;  // 0: no identifier record
        int16_t type = 0;
        std::string entityName;
        std::optional<std::string> globalIdentifier;
        std::optional<std::string> dataFile;
        std::optional<SYNRevision> valuesRevision;
        // The "propertyChangeValues" array as saved (shared, not copied).
        plat::Value values;
    };
    // Orders changes by entity name (and finds an entity's among them).
    struct EntityOrder {
        bool operator()(const Change& a, const std::string& b) const { return a.entityName < b; }
        bool operator()(const std::string& a, const Change& b) const { return a < b.entityName; }
    };
    struct Event {
        plat::coredata::ManagedObjectIDPtr eventID;
        SYNRevision revision;
        std::vector<Change> changes;  // in no particular order
    };

    // Follows the root saves on the coordinator of `context` (the event
    // store's) until stop().
    static std::shared_ptr<SYNSavedEvent> start(
        const std::shared_ptr<plat::coredata::ManagedObjectContext>& context);
    void stop() EXCLUDES(mutex_);
    ~SYNSavedEvent();
    SYNSavedEvent(const SYNSavedEvent&) = delete;
    SYNSavedEvent& operator=(const SYNSavedEvent&) = delete;

    // The context whose saves may keep an event.
    const plat::coredata::ManagedObjectContext* context() const { return context_; }
    // The count of root saves seen that may write the store file (of its
    // coordinator or another on the same file); taken before the save that
    // writes the event.
    uint64_t saves() const EXCLUDES(mutex_);
    // Keeps the event (replacing what was kept) when exactly one save was
    // seen since `savesBefore` (the one that wrote it); otherwise forgets.
    void keep(uint64_t savesBefore, Event event) EXCLUDES(mutex_);
    // Forgets what is kept.
    void forget() EXCLUDES(mutex_);
    // The kept changes of the event, taken (forgotten here), when they still
    // stand for its rows and it holds that revision; nullopt otherwise
    // (then what is kept stays for an export of the event it is for).
    std::optional<std::vector<Change>> take(const plat::coredata::ManagedObjectID& eventID,
                                            const SYNRevision& revision) EXCLUDES(mutex_);
    // Whether a change's stored values ("propertyChangeValues", an array of
    // SYNPropertyChangeValue) read back from the store exactly as they are:
    // every string valid UTF-8, every attribute value of a kind the store's
    // archive writes as itself (none, null, boolean, integer, real, text,
    // date, data). None (a null value) reads back as none. `namesFiles` is
    // set when a value names a data file.
    static bool valuesReadBackAlike(const plat::Value& values, bool& namesFiles);
    // Whether the changes of that event are kept.
    bool keeps(const plat::coredata::ManagedObjectID& eventID) const EXCLUDES(mutex_);

  private:
    SYNSavedEvent() = default;
    void observe(const plat::Notification& notification) EXCLUDES(mutex_);
    // Whether the save's objects leave the kept changes standing.
    bool leavesKeptAlone(const plat::Dictionary& info) const REQUIRES(mutex_);
    void forgetLocked() REQUIRES(mutex_);

    // Set before the observer starts, never changed after.
    const plat::coredata::ManagedObjectContext* context_ = nullptr;
    const plat::coredata::PersistentStoreCoordinator* coordinatorAddress_ = nullptr;
    std::string storeURL_;

    mutable plat::Mutex mutex_;
    plat::ObserverToken observer_ GUARDED_BY(mutex_);
    uint64_t saves_ GUARDED_BY(mutex_) = 0;
    std::optional<Event> kept_ GUARDED_BY(mutex_);
    // The keys of the kept changes and of their identifier records, sorted.
    std::vector<int64_t> changeKeys_ GUARDED_BY(mutex_);
    std::vector<int64_t> recordKeys_ GUARDED_BY(mutex_);
    bool keptDataFiles_ GUARDED_BY(mutex_) = false;
};
