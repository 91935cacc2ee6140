// PersistentStore: one store a coordinator reads and writes — a file of a
// store type (SQLite, binary) or memory — with its identifier (a UUID kept in
// the store's metadata), URL, options and metadata.
//
// Callers get stores from PersistentStoreCoordinator::addPersistentStore and
// use the public part (type, URL, identifier, metadata). The rest is the
// interface between the coordinator and the store implementations: the
// coordinator calls it under its own lock, one call at a time, so stores need
// no locking of their own for it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/coredata/FetchRequest.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/SmallBlockCache.h"

namespace plat::coredata {

// Store types.
inline constexpr const char* SQLiteStoreType = "SQLite";
inline constexpr const char* BinaryStoreType = "Binary";
inline constexpr const char* InMemoryStoreType = "InMemory";

// Metadata keys and store options.
inline constexpr const char* StoreTypeKey = "NSStoreType";
inline constexpr const char* StoreUUIDKey = "NSStoreUUID";
inline constexpr const char* StoreModelVersionHashesKey = "NSStoreModelVersionHashes";
inline constexpr const char* StoreModelVersionIdentifiersKey = "NSStoreModelVersionIdentifiers";
inline constexpr const char* MigratePersistentStoresAutomaticallyOption =
    "NSMigratePersistentStoresAutomaticallyOption";
inline constexpr const char* InferMappingModelAutomaticallyOption = "NSInferMappingModelAutomaticallyOption";
inline constexpr const char* ReadOnlyPersistentStoreOption = "NSReadOnlyPersistentStoreOption";

struct StoreSnapshot;
// A row (StoreSnapshot or a type derived from it) whose count values, all
// null, lie in the row's own block, after its shared count.
template <class Row = StoreSnapshot>
std::shared_ptr<Row> makeRow(std::size_t count);

// The values of one row by property index: a fixed-size array, two words
// where a vector takes three (a row's header then fits a 64-byte block).
// The array is either its own allocation or lies in the block of the row
// that holds it (makeRow), which saves an allocation per row; moving out of
// such a row's values allocates (a failure there ends the program, as in any
// noexcept move that must allocate).
class RowValues {
  public:
    RowValues() = default;
    explicit RowValues(std::size_t count)
        : values_(count ? new Value[count] : nullptr),
          size_(static_cast<uint32_t>(count)),
          owned_(count != 0) {}
    RowValues(const RowValues& other) : RowValues(other.size_) {
        std::copy(other.begin(), other.end(), begin());
    }
    RowValues(RowValues&& other) noexcept { take(other); }
    RowValues& operator=(const RowValues& other) {
        if (this == &other)
            return *this;
        if (size_ == other.size_)
            std::copy(other.begin(), other.end(), begin());
        else
            *this = RowValues(other);
        return *this;
    }
    RowValues& operator=(RowValues&& other) noexcept {
        if (this == &other)
            return *this;
        if (!owned_ && size_ != 0 && size_ == other.size_) {
            // Keep the values in this row's own block.
            std::move(other.begin(), other.end(), begin());
            other.release();
            return *this;
        }
        release();
        take(other);
        return *this;
    }
    ~RowValues() { release(); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Value& operator[](std::size_t i) { return values_[i]; }
    const Value& operator[](std::size_t i) const { return values_[i]; }
    Value* begin() { return values_; }
    Value* end() { return values_ + size_; }
    const Value* begin() const { return values_; }
    const Value* end() const { return values_ + size_; }
    // Keeps the first values, adds nulls or drops the rest.
    void resize(std::size_t count) {
        RowValues resized(count);
        std::move(begin(), begin() + std::min<std::size_t>(count, size_), resized.begin());
        *this = std::move(resized);
    }
    void clear() { release(); }

  private:
    template <class Row>
    friend std::shared_ptr<Row> makeRow(std::size_t count);
    // Empties this, destroying its values.
    void release() noexcept {
        if (owned_)
            delete[] values_;
        else
            std::destroy_n(values_, size_);
        values_ = nullptr;
        size_ = 0;
        owned_ = false;
    }
    // Takes other's values, which must be empty here; other ends empty.
    void take(RowValues& other) noexcept {
        if (other.owned_ || other.size_ == 0) {
            values_ = std::exchange(other.values_, nullptr);
            size_ = std::exchange(other.size_, 0);
            owned_ = std::exchange(other.owned_, false);
            return;
        }
        values_ = new Value[other.size_];  // std::terminate when this fails
        size_ = other.size_;
        owned_ = true;
        std::move(other.begin(), other.end(), values_);
        other.release();
    }

    Value* values_ = nullptr;
    uint32_t size_ = 0;
    bool owned_ = false;
};

// A row as a store holds it: values by property index of the row's entity;
// to-one relationships hold the destination's ManagedObjectID (or null);
// to-many relationships and transient properties hold null.
struct StoreSnapshot {
    ManagedObjectIDPtr objectID;
    uint64_t version = 0;  // bumped by every saved change of the row
    RowValues values;
};
using SnapshotPtr = std::shared_ptr<const StoreSnapshot>;

namespace detail {

// The row block's allocator for allocate_shared: room for `extra` bytes of
// values after the shared count and the row, in a block of the thread's
// small-block cache (rows are made and dropped by the hundred in a round of
// fetches and saves). The extra size travels with the allocator (the shared
// count keeps a copy, to free the block with its size); the values' address
// goes out through a per-thread variable that allocate() sets.
inline thread_local Value* rowBlockValues = nullptr;

template <class T>
struct RowBlockAllocator {
    using value_type = T;
    explicit RowBlockAllocator(std::size_t extraBytes) noexcept : extra(extraBytes) {}
    template <class U>
    RowBlockAllocator(const RowBlockAllocator<U>& other) noexcept : extra(other.extra) {}
    static constexpr std::size_t head(std::size_t n) {
        return (sizeof(T) * n + alignof(Value) - 1) / alignof(Value) * alignof(Value);
    }
    T* allocate(std::size_t n) {
        char* p = static_cast<char*>(plat::SmallBlockCache::allocate(head(n) + extra));
        rowBlockValues = reinterpret_cast<Value*>(p + head(n));
        return reinterpret_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept { plat::SmallBlockCache::deallocate(p, head(n) + extra); }
    template <class U>
    bool operator==(const RowBlockAllocator<U>& other) const noexcept {
        return extra == other.extra;
    }
    std::size_t extra;
};

}  // namespace detail

template <class Row>
std::shared_ptr<Row> makeRow(std::size_t count) {
    static_assert(alignof(Row) <= alignof(std::max_align_t));
    if (count == 0)
        return std::allocate_shared<Row>(plat::SmallBlockAllocator<Row>());
    detail::rowBlockValues = nullptr;
    std::shared_ptr<Row> row =
        std::allocate_shared<Row>(detail::RowBlockAllocator<Row>(count * sizeof(Value)));
    Value* storage = detail::rowBlockValues;
    std::uninitialized_default_construct_n(storage, count);  // Value() does not throw
    RowValues& values = row->values;
    values.values_ = storage;
    values.size_ = static_cast<uint32_t>(count);
    values.owned_ = false;
    return row;
}

// Everything one save writes, applied as a whole or not at all.
struct StoreChanges {
    // A to-many relationship whose contents changed. Unordered ones are
    // applied as a difference, so that members another coordinator added in
    // the meantime survive; ordered ones are replaced by `members`.
    struct ToMany {
        ManagedObjectIDPtr owner;
        const RelationshipDescription* relationship = nullptr;
        std::vector<ManagedObjectIDPtr> members;  // ordered ones: the whole new contents, in order
        std::vector<ManagedObjectIDPtr> added;
        std::vector<ManagedObjectIDPtr> removed;
        // The owner was not read for this change (a member's to-one set by
        // ID): its row must still exist when the save is written, or the
        // store refuses the save with 133020 (conflictList: the owner).
        bool ownerUnread = false;
    };
    // New rows (version 0 in the snapshot; stored as version 1).
    std::vector<SnapshotPtr> inserted;
    // Changed rows, with the version they were read at; stored as version + 1
    // after checking that the stored version is still the one read.
    std::vector<SnapshotPtr> updated;
    // The rows of `updated` as they were read (same order; null or missing
    // where unknown): a store may then write only the values that differ.
    std::vector<SnapshotPtr> updatedFrom;
    // Rows to remove; only objectID and version are used (checked as above).
    std::vector<SnapshotPtr> deleted;
    std::vector<ToMany> toMany;
};

class PersistentStore : public std::enable_shared_from_this<PersistentStore> {
  public:
    virtual ~PersistentStore() = default;
    PersistentStore(const PersistentStore&) = delete;
    PersistentStore& operator=(const PersistentStore&) = delete;

    virtual std::string type() const = 0;
    const std::optional<plat::URL>& URL() const { return url_; }
    const std::string& identifier() const { return identifier_; }
    const Dictionary& options() const { return options_; }
    const std::string& configurationName() const { return configuration_; }
    bool isReadOnly() const;
    // The stored metadata (StoreTypeKey, StoreUUIDKey, the model's hashes and
    // whatever callers added).
    Dictionary metadata() const EXCLUDES(metadataMutex_);
    // Replaces the metadata except the store's own keys; written with the next
    // save.
    void setMetadata(Dictionary metadata) EXCLUDES(metadataMutex_);
    // Changes the metadata in place under its lock (the store's own keys are
    // kept as setMetadata keeps them); written with the next save. Callers on
    // several threads that each add to a value lose none of the additions, as
    // a read followed by setMetadata could. update must not call back into
    // the store.
    void updateMetadata(const std::function<void(Dictionary&)>& update) EXCLUDES(metadataMutex_);

    // --- The coordinator's interface ---------------------------------------

    // Opens or creates the store for model. Called once, before anything else.
    [[nodiscard]] virtual ErrorPtr load(const std::shared_ptr<const ManagedObjectModel>& model) = 0;
    // Rows of request's entity (and sub-entities when asked) that match its
    // predicate, in its order, within its window. Exact: what a store cannot
    // translate into its own queries it evaluates itself.
    virtual Result<std::vector<SnapshotPtr>> fetchRows(const FetchRequest& request,
                                                       const EntityDescription& entity) = 0;
    // The number of rows fetchRows would return; stores that can count
    // without loading the rows override it.
    virtual Result<std::size_t> countRows(const FetchRequest& request, const EntityDescription& entity) {
        auto rows = fetchRows(request, entity);
        if (!rows)
            return rows.error();
        return rows->size();
    }
    // As fetchRows, for callers that read only the named properties of the
    // rows (attributes and to-ones, by name): a store may leave the other
    // values null, and then need not read them. Such rows are never an
    // object's snapshot.
    virtual Result<std::vector<SnapshotPtr>> fetchRowsReading(const FetchRequest& request,
                                                              const EntityDescription& entity,
                                                              const std::vector<std::string>& propertyNames) {
        (void)propertyNames;
        return fetchRows(request, entity);
    }
    // The row of id; null when there is none.
    virtual Result<SnapshotPtr> rowForID(const ManagedObjectID& id) = 0;
    // Whether the rows of ids (all of this store) exist, in their order;
    // stores that can tell by key alone override it.
    virtual Result<std::vector<bool>> rowsExist(const std::vector<ManagedObjectIDPtr>& ids);
    // The destinations of a to-many relationship of id, in order.
    virtual Result<std::vector<ManagedObjectIDPtr>> membersOf(
        const ManagedObjectID& id, const RelationshipDescription& relationship) = 0;
    // Reserves count new primary keys for entity, durably: a key is never
    // handed out twice, even when the save that would have used it fails.
    virtual Result<std::vector<int64_t>> reservePrimaryKeys(const EntityDescription& entity,
                                                            std::size_t count) = 0;
    // The same for several entities at once (the keys of each request, in
    // order). A store that writes its reservations durably writes these in
    // one step; by default each entity is reserved on its own.
    using KeyRequest = std::pair<const EntityDescription*, std::size_t>;
    virtual Result<std::vector<std::vector<int64_t>>> reservePrimaryKeys(
        const std::vector<KeyRequest>& requests);
    // Applies changes in one transaction. ManagedObjectMergeError (133020)
    // when a row's version differs from the one read; nothing is written then.
    [[nodiscard]] virtual ErrorPtr save(const StoreChanges& changes) = 0;
    // Writes the metadata now, for stores that can write it apart from their
    // rows; the others write it with their next save.
    [[nodiscard]] virtual ErrorPtr writeMetadata() { return nullptr; }
    // Closes files. Nothing may be called after it.
    virtual void unload() {}

    // The model the store was loaded with.
    const std::shared_ptr<const ManagedObjectModel>& model() const { return model_; }
    // The ID of a row of this store.
    ManagedObjectIDPtr objectIDFor(const EntityDescription* entity, int64_t primaryKey);

  protected:
    PersistentStore(std::optional<plat::URL> url, std::string configuration, Dictionary options);
    void setIdentifier(std::string identifier);
    void setModel(std::shared_ptr<const ManagedObjectModel> model);
    // Metadata as stored; setMetadata keeps the store's own keys.
    mutable plat::Mutex metadataMutex_;
    Dictionary metadata_ GUARDED_BY(metadataMutex_);
    // Counts the replacements of metadata_ (every assignment adds one), so
    // that a store can tell it unchanged since it last looked without
    // copying and comparing it.
    uint64_t metadataChanges_ GUARDED_BY(metadataMutex_) = 0;
    // The metadata, or nothing when metadataChanges_ is still `seen`; `now`
    // receives the count the answer belongs to.
    std::optional<Dictionary> metadataChangedSince(uint64_t seen, uint64_t& now) const
        EXCLUDES(metadataMutex_);

  private:
    friend class ManagedObjectID;
    // The record every permanent ID of entity in this store shares; made at
    // the first such ID and again after the identifier changed. (An entity
    // of another model gets a record of its own.)
    detail::ObjectIDStoreRef objectIDStore(const std::shared_ptr<const EntityDescription>& entity);
    detail::ObjectIDStoreRef objectIDStore(const EntityDescription* entity);

    std::optional<plat::URL> url_;
    std::string configuration_;
    Dictionary options_;
    std::string identifier_;
    std::shared_ptr<const ManagedObjectModel> model_;
    // The current records by the entity's index in the model (each holding
    // one reference), read without the lock. Records replaced after an
    // identifier change are kept until the store goes, so that a reader
    // that has just loaded a pointer stays safe.
    std::unique_ptr<std::atomic<const detail::ObjectIDStore*>[]> idRecords_;
    std::size_t idRecordCount_ = 0;
    plat::Mutex idStoreMutex_;
    std::vector<detail::ObjectIDStoreRef> idStores_ GUARDED_BY(idStoreMutex_);
};

}  // namespace plat::coredata
