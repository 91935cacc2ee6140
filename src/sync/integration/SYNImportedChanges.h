// SYNImportedChanges: the records of the changes a batch import has just
// stored in the event store, kept in memory for the integration that follows
// in the same merge, so that it need not read and decode the same rows again.
//
// One per event store coordinator, made (and watching its saves) for the
// integrator that will take the records, and kept while it holds it: an
// import finds none, and keeps nothing, where no integrator claimed the
// coordinator. A drop forgets the records. The stored rows stay the truth: the
// records are handed over only while they are what the stored rows hold.
// Every save of a root context on the coordinator is watched (did-save):
// identifier, entity name and store URI written into an identifier row the
// records name are carried into them (the integration's inserts write store
// URIs as they go); any other write of the rows the records stand for (a
// change row updated or deleted, a change added to one of their events, an
// identifier row or event deleted, a save of another coordinator on the same
// store file, a save whose objects cannot be told) makes them unusable until
// the next drop. At most maximumChanges() changes are kept: more leaves
// nothing kept until the next drop. A crash loses only this memory.
//
// Threads: every member may be called from any thread; the records are read
// inside the event store's context, where the saves that write them are made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/integration/SYNIntegrationStage.h"

class SYNImportedChanges : public std::enable_shared_from_this<SYNImportedChanges> {
  public:
    // The integration reads its changes with their values while the events
    // hold at most this many; more are not worth keeping.
    static constexpr std::size_t kMaximumChanges = 4000;
    // kMaximumChanges, unless a test lowered it: the paths past the bound
    // are then reached with tens of changes instead of thousands.
    static std::size_t maximumChanges();
    // Sets the bound for the whole process; 0 restores kMaximumChanges.
    static void setMaximumChangesForTesting(std::size_t maximum);
    // The most identifier rows kept for which storeURIsOf answers.
    static constexpr std::size_t kRowsAnswered = 128;
    // Up to this many identifiers times rows, storeURIsOf searches the kept
    // rows for each identifier instead of indexing them.
    static constexpr std::size_t kRowsSearchedInPlace = 512;

    template <class T>
    using IDMap = std::unordered_map<plat::coredata::ManagedObjectIDPtr, T, plat::coredata::ObjectIDHash,
                                     plat::coredata::ObjectIDEqual>;
    using IDSet = std::unordered_set<plat::coredata::ManagedObjectIDPtr, plat::coredata::ObjectIDHash,
                                     plat::coredata::ObjectIDEqual>;

    // The stored changes of one event: records as SYNChangeRecord::fetchStoredChanges
    // gives them (the identifier rows' strings left empty).
    struct Event {
        plat::coredata::ManagedObjectIDPtr eventID;
        std::vector<SYNChangeRecord> changes;
    };
    // What an identifier row holds, and how many kept records name it.
    struct Row {
        std::optional<std::string> identifier;
        std::string entityName;
        std::optional<std::string> storeURI;
        std::size_t records = 0;
    };

    // The hand-off of the coordinator, made (and watching its saves) when it
    // has none; it lasts while someone holds it (the integrator).
    static std::shared_ptr<SYNImportedChanges> forCoordinator(
        const std::shared_ptr<plat::coredata::PersistentStoreCoordinator>& coordinator);
    // The hand-off of the coordinator, or null.
    static std::shared_ptr<SYNImportedChanges> find(
        const plat::coredata::PersistentStoreCoordinator& coordinator);
    // Forgets the records kept for the coordinator; imports under way when
    // it drops keep nothing.
    static void drop(const plat::coredata::PersistentStoreCoordinator& coordinator);

    ~SYNImportedChanges();
    SYNImportedChanges(const SYNImportedChanges&) = delete;
    SYNImportedChanges& operator=(const SYNImportedChanges&) = delete;

    // --- For the import ------------------------------------------------------
    // Counts the saves that wrote change, identifier or event rows other than
    // by adding them. Taken before the import looks up its identifier rows.
    uint64_t generation() const EXCLUDES(mutex_);
    // Whether records of `count` more changes can be kept; when not (too
    // many, or unusable), nothing is kept until the next drop.
    bool hasRoomFor(std::size_t count) EXCLUDES(mutex_);
    // Keeps the records of the events the import stored, with the identifier
    // rows they name (by key), unless rows may have been written since `generation`
    // (then nothing is kept until the next drop) or there is no room.
    void offer(uint64_t generation, std::vector<Event> events, std::unordered_map<int64_t, Row> rows)
        EXCLUDES(mutex_);

    // --- For the integration -------------------------------------------------
    // Whether records are kept and stand for the stored rows.
    bool usable() const EXCLUDES(mutex_);
    // The number of changes of the events that records are kept for; the
    // other events are appended to `missing`. Zero, with every event
    // missing, when unusable.
    std::size_t count(const std::vector<plat::coredata::ManagedObjectIDPtr>& eventIDs,
                      std::vector<plat::coredata::ManagedObjectIDPtr>& missing) const EXCLUDES(mutex_);
    // Hands the records of the events kept to `take` (to move from), with
    // the ID of each one's event, and forgets them; the other events are
    // appended to `missing` (every event when unusable).
    using Take =
        std::function<void(SYNChangeRecord& record, const plat::coredata::ManagedObjectIDPtr& eventID)>;
    void takeChanges(const std::vector<plat::coredata::ManagedObjectIDPtr>& eventIDs, const Take& take,
                     std::vector<plat::coredata::ManagedObjectIDPtr>& missing) EXCLUDES(mutex_);
    // Fills in the strings of the records' identifier rows as the stored rows
    // hold them now; false, with the records untouched, when unusable or a
    // row is not kept. Each taken record's rows are read once: beyond
    // kRowsAnswered rows, the last record of a row takes its strings.
    bool readIdentifierRows(std::vector<SYNChangeRecord>& records) EXCLUDES(mutex_);
    // The store URIs (nullopt for none) of the identifier rows of entityName
    // for these identifiers, read from the kept rows instead of the store:
    // what SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings
    // finds through `context` (the first made row of each identifier and
    // entity). False, with storeURIs untouched, unless the records are
    // usable, context is a root context of this coordinator without unsaved
    // changes, at most kRowsAnswered rows are kept, and every identifier has
    // a kept row of that entity. Serves the look-up of the objects a small
    // merge's changes relate to, which are mostly objects the same events
    // changed; for more rows, keeping their strings and finding them costs
    // about what the look-up does.
    bool storeURIsOf(const std::string& entityName, const std::vector<std::string>& identifiers,
                     const plat::coredata::ManagedObjectContext& context,
                     std::vector<std::optional<std::string>>& storeURIs) EXCLUDES(mutex_);

    // True when none of the events has a data-file record: each is an event
    // whose records were kept since the last drop (so a save this hand-off
    // watched stored it), the records are usable, and no save since the
    // hand-off was made wrote a data-file row or could have without being
    // seen (a save whose objects could not be told, a save of another
    // coordinator on the store file). False says nothing: ask the store.
    // Call with nothing unsaved in the context that asks.
    bool eventsHaveNoDataFiles(const std::vector<plat::coredata::ManagedObjectIDPtr>& eventIDs) const
        EXCLUDES(mutex_);

  private:
    explicit SYNImportedChanges(
        const std::shared_ptr<plat::coredata::PersistentStoreCoordinator>& coordinator);
    void watch();
    void saved(const plat::Notification& notification) EXCLUDES(mutex_);
    // Reads the inserted, updated and deleted objects of a save; `wrote` is
    // set when it wrote rows other than by adding them.
    void scan(const plat::Dictionary& info, bool& wrote) REQUIRES(mutex_);
    void makeUnusable() REQUIRES(mutex_);
    void forget() REQUIRES(mutex_);

    std::weak_ptr<plat::coredata::PersistentStoreCoordinator> coordinator_;
    const plat::coredata::PersistentStoreCoordinator* coordinatorAddress_ = nullptr;
    std::string storeURL_;  // of the coordinator's store, to tell other coordinators on it
    const plat::coredata::EntityDescription* changeEntity_ = nullptr;
    const plat::coredata::EntityDescription* rowEntity_ = nullptr;
    const plat::coredata::EntityDescription* eventEntity_ = nullptr;
    const plat::coredata::EntityDescription* fileEntity_ = nullptr;
    plat::ObserverToken observer_;

    mutable plat::Mutex mutex_;
    uint64_t generation_ GUARDED_BY(mutex_) = 0;
    // Set once the records may no longer stand for the rows, or did not fit.
    bool unusable_ GUARDED_BY(mutex_) = false;
    std::size_t held_ GUARDED_BY(mutex_) = 0;
    IDMap<std::vector<SYNChangeRecord>> events_ GUARDED_BY(mutex_);
    // The rows by key (they are all of one entity and store).
    std::unordered_map<int64_t, Row> rows_ GUARDED_BY(mutex_);
    // The rows by entity name and identifier, the first made of each; views
    // of the rows' strings, made at the first look-up after rows_ changed
    // and dropped whenever they change.
    std::unordered_map<std::string_view, std::unordered_map<std::string_view, std::pair<int64_t, const Row*>>>
        rowsByIdentifier_ GUARDED_BY(mutex_);
    bool rowsIndexed_ GUARDED_BY(mutex_) = false;
    // The keys of every change ever kept (also once taken), to watch their
    // rows; sorted when changesSorted_.
    mutable std::vector<int64_t> changes_ GUARDED_BY(mutex_);
    mutable bool changesSorted_ GUARDED_BY(mutex_) = true;
    // Every event ever kept.
    IDSet eventIDs_ GUARDED_BY(mutex_);
    // Set, for the hand-off's life (a drop keeps it), once a watched save
    // wrote a data-file row or may have.
    bool dataFilesWritten_ GUARDED_BY(mutex_) = false;
    bool keptChange(int64_t key) const REQUIRES(mutex_);
};
