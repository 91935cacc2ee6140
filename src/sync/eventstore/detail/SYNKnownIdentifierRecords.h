// SYNKnownIdentifierRecords: which identifier record a look-up by store URI
// finds in the event store, kept for URIs this process read or wrote, so
// that a save event can link its changes to the records it names without
// asking the store again.
//
// An entry says: the record of this key is, among the saved records holding
// this URI, the one a look-up takes (the first made, the lowest key), and it
// holds this identifier and entity name. Entries come from two places only:
// the records a look-up found (keep), and the records a builder made for URIs
// its look-up found no record for, once their save is announced (expect and
// settle). Both are taken only when nothing that touched identifier records
// was saved since the look-up (the generation, bumped by every save that
// inserts, updates or deletes one).
//
// Every save of any context over the same coordinator is followed: a deleted
// record drops its entry; an updated record keeps it only when its URI,
// identifier and entity name are those kept (a record loaded no further, a
// fault, drops it); a record inserted or updated with a URI kept for a record
// of a higher key drops that URI. A save whose lists cannot be read forgets
// everything. Nothing is written: a process starts knowing nothing.
//
// Thread-safe; the observer runs on the saving thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"

class SYNKnownIdentifierRecords {
  public:
    struct Known {
        int64_t recordKey = 0;
        std::string identifier;
        std::string entityName;
    };
    // Entries beyond this many are not taken (about 200 bytes each).
    static constexpr std::size_t kMaximumKept = std::size_t{1} << 17;

    // Follows the saves over `context`'s coordinator until stop().
    static std::shared_ptr<SYNKnownIdentifierRecords> start(
        const std::shared_ptr<plat::coredata::ManagedObjectContext>& context);
    void stop() EXCLUDES(mutex_);
    ~SYNKnownIdentifierRecords();

    uint64_t generation() const EXCLUDES(mutex_);
    std::size_t size() const EXCLUDES(mutex_);
    // Parallel to the URIs (string values; others are never known): the
    // kept record of each, or nullopt. `generation` is set to the generation
    // the answers are of.
    std::vector<std::optional<Known>> find(const std::vector<plat::Value>& uris, uint64_t& generation) const
        EXCLUDES(mutex_);
    // The ID of a kept record (null when no record was seen yet to make it from).
    plat::coredata::ManagedObjectIDPtr recordID(int64_t recordKey) const EXCLUDES(mutex_);
    // Records a look-up found, by the URI it looked for; taken only if the
    // generation is still `generation`. Records not saved, or whose values
    // cannot be read without loading them, are passed over.
    void keep(uint64_t generation,
              const std::vector<std::pair<std::string_view, plat::coredata::ManagedObjectPtr>>& found)
        EXCLUDES(mutex_);
    // The next save of `context` inserts these records, each made for the
    // URI beside it, which no record held at `generation`.
    void expect(const plat::coredata::ManagedObjectContext* context, uint64_t generation,
                std::vector<std::pair<plat::coredata::ManagedObjectPtr, std::string>> made) EXCLUDES(mutex_);
    // Withdraws what `context` expected; the generation after its save when
    // that save was announced and followed from `generation` on (so what the
    // context knew at `generation` still holds), else nullopt.
    std::optional<uint64_t> settle(const plat::coredata::ManagedObjectContext* context) EXCLUDES(mutex_);

  private:
    SYNKnownIdentifierRecords() = default;
    void observe(const plat::Notification& notification) EXCLUDES(mutex_);
    void forgetLocked() REQUIRES(mutex_);
    void dropKeyLocked(int64_t recordKey) REQUIRES(mutex_);
    void dropURILocked(const std::string& uri) REQUIRES(mutex_);
    bool addLocked(const std::string& uri, const plat::coredata::ManagedObject& record) REQUIRES(mutex_);
    void noteRecordShapeLocked(const plat::coredata::ManagedObject& record) REQUIRES(mutex_);

    struct Expected {
        const plat::coredata::ManagedObjectContext* context = nullptr;
        uint64_t generation = 0;
        std::vector<std::pair<plat::coredata::ManagedObjectPtr, std::string>> made;
        std::optional<uint64_t> settled;
    };

    mutable plat::Mutex mutex_;
    std::weak_ptr<plat::coredata::PersistentStoreCoordinator> coordinator_;
    plat::ObserverToken observer_ GUARDED_BY(mutex_);
    std::unordered_map<std::string, Known> byURI_ GUARDED_BY(mutex_);
    // The URI of each kept record, by its key (the map's own key text).
    std::unordered_map<int64_t, const std::string*> uriOfKey_ GUARDED_BY(mutex_);
    uint64_t generation_ GUARDED_BY(mutex_) = 0;
    std::vector<Expected> expected_ GUARDED_BY(mutex_);
    // The store and entity the records' IDs are made again with.
    std::weak_ptr<plat::coredata::PersistentStore> store_ GUARDED_BY(mutex_);
    std::shared_ptr<const plat::coredata::EntityDescription> entity_ GUARDED_BY(mutex_);
};
