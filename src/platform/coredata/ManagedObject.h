// ManagedObject: one object of the object graph, living in one context.
//
// Values are read and written by key: attributes are coerced to their type on
// every write (ModelException when they cannot be); to-one relationships hold
// another object of the same context; to-many relationships are sets (or
// ordered lists) of objects. Writes through setValue and the relationship
// helpers keep inverse relationships in step; primitive writes change this
// side only. Every write records the change for the next save.
//
// An object fetched without values, or refreshed, is a fault: its first read
// loads it from its context's store (or parent context); a fault whose row is
// gone throws ModelException. After the context's reset or destruction, or
// once its deletion has been saved, an object is invalidated: it has no
// context, isInvalidated() is true, identity (entity, objectID) stays
// readable, and every read or write throws ObjectInaccessibleException.
//
// Threads: an object is used only where its context may be used (inside its
// perform blocks, or on the confining thread). Objects are held by
// std::shared_ptr; the context holds every object registered with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/KeyValueCoding.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/foundation/SmallBlockCache.h"
#include "platform/foundation/SmallPtrMap.h"

namespace plat::coredata {

class ManagedObjectContext;
class ManagedObject;
namespace detail {
struct RegistryTraits;
class Registry;
}  // namespace detail

inline constexpr const char* ObjectInaccessibleExceptionName = "NSObjectInaccessibleException";

// Use of an invalidated object: a programming error, not a data problem. It
// is a ModelException, so generic guards still catch it; a guard that must
// not hide such mistakes catches this type first and rethrows it.
class ObjectInaccessibleException : public ModelException {
  public:
    explicit ObjectInaccessibleException(std::string reason)
        : ModelException(std::move(reason), ObjectInaccessibleExceptionName) {}
};
using ManagedObjectPtr = std::shared_ptr<ManagedObject>;

// A live view of one to-many relationship of one object, for adding and
// removing members with inverse upkeep (the platform's mutable set and
// ordered set proxies). Valid as long as the object.
class RelationshipProxy {
  public:
    std::size_t count() const;
    bool contains(const ManagedObjectPtr& object) const;
    std::vector<ManagedObjectPtr> objects() const;
    void addObject(const ManagedObjectPtr& object);
    void removeObject(const ManagedObjectPtr& object);
    void removeAllObjects();
    // Ordered relationships only (ModelException otherwise); index is clamped
    // to the count.
    void insertObject(const ManagedObjectPtr& object, std::size_t index);

  private:
    friend class ManagedObject;
    RelationshipProxy(ManagedObjectPtr owner, std::string key)
        : owner_(std::move(owner)), key_(std::move(key)) {}
    ManagedObjectPtr owner_;
    std::string key_;
};

class ManagedObject : public KeyValueCoding, public std::enable_shared_from_this<ManagedObject> {
  public:
    using Observer = std::function<void(ManagedObject& object, std::string_view key)>;

    // The managed object inside a Value; null when it holds something else.
    static ManagedObjectPtr fromValue(const Value& value);

    const EntityDescription* entity() const {
        const detail::ObjectIDStore* record = roomIDRecord();
        return record ? record->entity.get() : id_->entity();
    }
    // Safe from any thread (an ID kept in the object's room is made into a
    // shared ID once, on the first call).
    ManagedObjectIDPtr objectID() const { return sharedID(); }
    // Null once invalidated.
    std::shared_ptr<ManagedObjectContext> managedObjectContext() const;
    bool isInserted() const { return inserted_; }
    bool isUpdated() const { return updated_; }
    bool isDeleted() const { return deleted_; }
    bool isFault() const { return state_ == State::Fault; }
    bool isInvalidated() const { return state_ == State::Invalidated; }
    bool hasChanges() const { return inserted_ || updated_ || deleted_; }

    // Attributes: their value (null for nil). To-one: the object, or null.
    // To-many: a Set of objects, or an Array for ordered relationships.
    Value valueForKey(std::string_view key) const override;
    // Coerces and sets with inverse upkeep; to-many keys take an Array or Set
    // of objects and replace the contents.
    void setValue(const Value& value, std::string_view key);
    // As above without inverse upkeep and without calling observers.
    Value primitiveValueForKey(std::string_view key) const;
    void setPrimitiveValue(const Value& value, std::string_view key);

    // Typed relationship access.
    ManagedObjectPtr objectForKey(std::string_view key) const;
    void setObject(const ManagedObjectPtr& object, std::string_view key);
    std::vector<ManagedObjectPtr> objectsForKey(std::string_view key) const;
    // Sets a to-one to the object of `id` (null clears it) without
    // registering the old or the new destination or filling either's fault:
    // only this object's row changes in the context, and its save hands the
    // store the inverse to-manys' differences (the store refuses the save
    // with 133020 when the new destination's row is gone by then) and names
    // both destinations, by ID, among the did-save notification's updated
    // objects. Taken when setsByID(relationship), in a context on a
    // coordinator (not a child), for a permanent ID, when this object's
    // current destination was not set as an object since the save and
    // neither destination is held here inserted, deleted or with its inverse
    // to-many read or changed. A destination held otherwise (filled, or with
    // other changes) does not show the link in its to-many until that is
    // first read after the save (the save drops such a to-many read since).
    // Otherwise the object of the ID is set as setObject would, and false is
    // returned; true when set by ID.
    bool setObjectIDForKey(const ManagedObjectIDPtr& id, std::string_view key);
    // Whether a to-one may be set by ID: stored, with a stored, unordered
    // to-many inverse that has no count rules (the object path would load
    // nothing to check and keep no order).
    static bool setsByID(const RelationshipDescription& relationship);
    RelationshipProxy mutableSetValueForKey(std::string_view key);
    RelationshipProxy mutableOrderedSetValueForKey(std::string_view key);

    // Keys changed since the last save (or fetch), with their new values.
    Dictionary changedValues() const;
    // The names of those keys, read without loading any to-many contents.
    std::vector<std::string> changedPropertyNames() const;
    // The members a to-many gained and lost since the last save (what the
    // next save writes), read without loading its contents. An inserted
    // object's members are all added.
    struct ToManyDifference {
        std::vector<ManagedObjectPtr> added;
        std::vector<ManagedObjectPtr> removed;
    };
    ToManyDifference toManyDifferenceForKey(std::string_view key) const;
    // The last saved values of keys (every persistent key when keys is
    // empty); to-one relationships give the destination object.
    Dictionary committedValuesForKeys(const std::vector<std::string>& keys = {}) const;

    // Observers of one key, called synchronously after each change of it
    // made through setValue or the relationship helpers, and by
    // didChangeValueForKey. A primitive write calls none: callers bracket it
    // with willChange/didChange, which then calls them once. An exception
    // thrown by an observer reaches the writer; the value is already changed
    // then, on both sides of a relationship (observers run only after the
    // inverse is in step).
    uint64_t addObserver(std::string key, Observer observer);
    void removeObserver(uint64_t token);
    // Access and change brackets. Reads and writes call them; they are public
    // so that callers doing primitive access can bracket it the same way.
    void willAccessValueForKey(std::string_view) const {}
    void didAccessValueForKey(std::string_view) const {}
    void willChangeValueForKey(std::string_view) {}
    void didChangeValueForKey(std::string_view key);

    ObjectPtr comparisonIdentity() const override { return sharedID(); }
    std::string description() const override;
    std::string className() const override { return "NSManagedObject"; }

    ManagedObject(ManagedObjectContext* context, ManagedObjectIDPtr id);
    ~ManagedObject() override;

  private:
    friend class ManagedObjectContext;
    friend class RelationshipProxy;
    friend struct detail::RegistryTraits;
    friend class detail::Registry;
    enum class State : uint8_t { Fault, Filled, Invalidated };

    // Which properties changed, by index: up to 64 in the object itself.
    class ChangedFlags {
      public:
        void reset(std::size_t count) {
            bits_ = 0;
            more_ = count > 64 ? std::make_unique<uint64_t[]>((count + 63) / 64) : nullptr;
        }
        bool operator[](std::size_t i) const { return ((more_ ? more_[i / 64] : bits_) >> (i % 64)) & 1; }
        void set(std::size_t i) { (more_ ? more_[i / 64] : bits_) |= uint64_t{1} << (i % 64); }

      private:
        uint64_t bits_ = 0;
        std::unique_ptr<uint64_t[]> more_;
    };
    // Current values of an object that changed since its snapshot
    // (`values`; to-one: the object once written, else the row's ID, or
    // null). A row itself, so that a save can hand it to the store as the
    // object's row and keep it as the snapshot, without copying or another
    // allocation; objectID and version are set only then.
    struct Changes : StoreSnapshot {
        ChangedFlags changed;
    };
    // One to-many relationship's loaded contents and its changes since the
    // last save. An unordered to-many changed only as the inverse of a
    // to-one (setting a member's owner) need not be loaded: it is then
    // incomplete, holding only the members added since the save (`items`,
    // `members`, `added`) and those removed (`removed`), and the first read
    // loads the stored members and lays these changes over them.
    struct ToMany {
        // The member set and the change maps keep a few entries inline:
        // most hold none or a handful between saves.
        std::vector<ManagedObjectPtr> items;
        plat::SmallPtrSet<const ManagedObject*> members;
        plat::SmallPtrMap<const ManagedObject*, ManagedObjectPtr, 2> added, removed;
        bool changed = false;
        bool complete = true;
        // Makes an incomplete to-many complete: the stored members, minus
        // those removed since, then those added since.
        void completeWith(std::vector<ManagedObjectPtr> stored);
        // Made and dropped with objects' changes, by the hundred in a
        // round of saves: from the thread's small-block cache.
        static void* operator new(std::size_t size) { return plat::SmallBlockCache::allocate(size); }
        static void operator delete(void* p, std::size_t size) noexcept {
            plat::SmallBlockCache::deallocate(p, size);
        }
    };
    using Observers = std::vector<std::pair<uint64_t, std::pair<std::string, Observer>>>;
    // The loaded to-many contents by toManyIndex(), as a vector would hold
    // them, and the observers: both rare, so they share one word, null
    // while there are none (most objects).
    class ToManySlots {
      public:
        std::size_t size() const { return rare_ ? rare_->slots.size() : 0; }
        std::unique_ptr<ToMany>& operator[](std::size_t i) const { return rare_->slots[i]; }
        void resize(std::size_t n) { rare().slots.resize(n); }
        // Drops the to-many contents; observers (and a shared row) stay.
        void clear() {
            if (rare_ && rare_->observers.empty() && !rare_->snapshot && !rare_->changes)
                rare_.reset();
            else if (rare_)
                rare_->slots.clear();
        }
        std::unique_ptr<ToMany>* begin() const { return rare_ ? rare_->slots.data() : nullptr; }
        std::unique_ptr<ToMany>* end() const {
            return rare_ ? rare_->slots.data() + rare_->slots.size() : nullptr;
        }
        Observers* observers() const { return rare_ ? &rare_->observers : nullptr; }
        Observers& addObservers() { return rare().observers; }
        // The shared row and the changes of an object made without room
        // for them.
        const SnapshotPtr* snapshot() const { return rare_ ? &rare_->snapshot : nullptr; }
        void setSnapshot(SnapshotPtr row) {
            if (row || rare_)
                rare().snapshot = std::move(row);
        }
        std::shared_ptr<Changes>* changes() const { return rare_ ? &rare_->changes : nullptr; }
        std::shared_ptr<Changes>& mutableChanges() { return rare().changes; }

      private:
        struct Rare {
            std::vector<std::unique_ptr<ToMany>> slots;
            Observers observers;
            SnapshotPtr snapshot;
            std::shared_ptr<Changes> changes;
            static void* operator new(std::size_t size) { return plat::SmallBlockCache::allocate(size); }
            static void operator delete(void* p, std::size_t size) noexcept {
                plat::SmallBlockCache::deallocate(p, size);
            }
        };
        Rare& rare() {
            if (!rare_)
                rare_ = std::make_unique<Rare>();
            return *rare_;
        }
        std::unique_ptr<Rare> rare_;
    };

    void checkUsable() const;
    void fireFault() const;
    const PropertyDescription& property(std::string_view key) const;
    const RelationshipDescription& relationship(std::string_view key, bool toMany) const;
    // Slot access; the object must be usable and filled.
    Value slotValue(std::size_t index) const;
    void setSlot(const PropertyDescription& p, Value value);
    ToMany& toMany(const RelationshipDescription& r) const;
    bool toManyContains(const RelationshipDescription& r, const ManagedObject* o) const;
    void toManyAdd(const RelationshipDescription& r, const ManagedObjectPtr& o, std::size_t index = SIZE_MAX);
    void toManyRemove(const RelationshipDescription& r, const ManagedObjectPtr& o);
    // As toManyAdd / toManyRemove, without loading an unordered to-many that
    // is not loaded yet (see ToMany).
    void toManyAddDeferred(const RelationshipDescription& r, const ManagedObjectPtr& o);
    void toManyRemoveDeferred(const RelationshipDescription& r, const ManagedObjectPtr& o);
    // The to-many's slot when it can take changes without being loaded
    // (unordered, the object saved, not loaded yet); null otherwise.
    ToMany* deferredToMany(const RelationshipDescription& r) const;
    void markChanged(const PropertyDescription& p);
    void checkDestination(const RelationshipDescription& r, const ManagedObjectPtr& o) const;
    void notifyObservers(std::string_view key);

    // Writes with inverse upkeep.
    // `holding`, when given, is a Value that holds `o` (kept rather than boxed again).
    void setToOne(const RelationshipDescription& r, const ManagedObjectPtr& o,
                  const Value* holding = nullptr);
    void addToMany(const RelationshipDescription& r, const ManagedObjectPtr& o, std::size_t index = SIZE_MAX);
    void removeToMany(const RelationshipDescription& r, const ManagedObjectPtr& o);
    void replaceToMany(const RelationshipDescription& r, const std::vector<ManagedObjectPtr>& objects);
    // Observer calls held back until every side of a change is made, so that
    // an observer that throws cannot leave a relationship half-updated. A
    // key is a relationship's name: its model lives as long as the object
    // held beside it (the object's ID keeps its entity's model alive).
    using PendingNotes = std::vector<std::pair<ManagedObjectPtr, std::string_view>>;
    static void deliver(const PendingNotes& notes);
    // The other side of a relationship change; with notes, observers are
    // called later through deliver().
    void linkInverse(const RelationshipDescription& r, const ManagedObjectPtr& other,
                     PendingNotes* notes = nullptr);
    void unlinkInverse(const RelationshipDescription& r, const ManagedObjectPtr& other,
                       PendingNotes* notes = nullptr);

    // The object's state as a store row (to-ones as IDs).
    SnapshotPtr makeSnapshot(uint64_t version) const;
    // A value store form replaced in a lent row (see lendRow).
    struct LentValue {
        std::size_t index;
        Value value;
    };
    // For a save to the store, without copying: an inserted object's current
    // values, as they lie, become its row (version 0) in store form; what
    // that replaced (to-one objects, transient values) goes to `replaced`.
    // Until the save ends the object's current values are that row: the
    // context then either adopts the row (adoptLentRow) or puts the
    // replaced values back (returnLentRow).
    // `links` (kept across the rows of one save) holds, per to-one, the
    // last object linked and the Value of its ID, shared by the next row
    // linking the same object.
    struct LentLink {
        const ManagedObject* object = nullptr;
        Value id;
    };
    SnapshotPtr lendRow(std::vector<LentValue>& replaced, std::vector<LentLink>& links);
    // After the store took the row: it becomes the committed state at
    // version 1, keeping transient values, as commitSaved does.
    void adoptLentRow(const SnapshotPtr& row, LentValue* replaced, std::size_t count);
    // After a failed save: the values as they were before lendRow.
    void returnLentRow(const SnapshotPtr& row, LentValue* replaced, std::size_t count);
    // Turns current values (by property index) into a row's: to-ones as IDs,
    // to-many and transient slots null (transient ones kept with keepTransient).
    void toStoreForm(RowValues& values, bool keepTransient = false) const;
    // Takes row as the committed state; transient values, which no row
    // holds, stay as they were.
    void adoptRow(SnapshotPtr row);
    // After a save: the current state becomes the snapshot at version and
    // the changes are dropped.
    void commitSaved(uint64_t version);
    // For an object without changes: true when its row stands as the saved
    // row of `version` (taking that version when the row is its own).
    bool keepsRowAsSaved(uint64_t version);
    // Forgets values and changes (refresh, rollback, invalidation).
    void clearState();

    // The committed row (the last saved or read state) is either a shared
    // row (snapshot()) or, for an object made with room for it (see
    // makeWithRoom), its version and values packed in the object's own
    // block: a fetched row that nobody else holds is copied there and freed,
    // which saves the row's separate block and header. Packed, a value takes
    // one word and a one-byte tag instead of a Value's sixteen bytes, and a
    // short string keeps its bytes in the room instead of a payload block of
    // its own (a read makes it a string Value again). While no row is
    // packed there, the room holds the shared row's pointer. These read and
    // set the row whichever way it is held.
    bool hasRow() const { return rowInline_ || snapshot(); }
    // The shared row; null when there is none or it lies packed in the room.
    const SnapshotPtr& snapshot() const {
        if (rowInline_)
            return kNoRow;
        if (hasRoom_)
            return *sharedRowSlot();
        const SnapshotPtr* held = toMany_.snapshot();
        return held ? *held : kNoRow;
    }
    // Holds row as the shared row; no row may be packed in the room.
    void setSnapshot(SnapshotPtr row);
    SnapshotPtr* sharedRowSlot() const { return reinterpret_cast<SnapshotPtr*>(inlineVersion()); }
    // The current values of a changed object (see Changes), null while it
    // has none. They lie in the room after the shared row's pointer: a
    // packed row leaves no room for them, and the object holds no changes
    // while its row is packed.
    const std::shared_ptr<Changes>& changes() const {
        if (rowInline_)
            return kNoChanges;
        if (hasRoom_)
            return *changesSlot();
        const std::shared_ptr<Changes>* held = toMany_.changes();
        return held ? *held : kNoChanges;
    }
    // The changes for writing; a packed row becomes a shared row first.
    std::shared_ptr<Changes>& mutableChanges() const;
    std::shared_ptr<Changes>* changesSlot() const {
        return reinterpret_cast<std::shared_ptr<Changes>*>(sharedRowSlot() + 1);
    }
    void dropChanges();
    // Makes a packed row a shared row, which leaves room for changes.
    void unpackRow() const;
    // The room an object has at least: the shared row's pointer and the
    // changes' pointer.
    static constexpr std::size_t kLeastRoom = sizeof(SnapshotPtr) + sizeof(std::shared_ptr<Changes>);
    // The row's value at a property index; the row must be there.
    Value rowValue(std::size_t index) const {
        return rowInline_ ? packedValue(index) : snapshot()->values[index];
    }
    // The row's version, 0 without a row.
    uint64_t rowVersion() const {
        if (rowInline_)
            return *inlineVersion();
        const SnapshotPtr& row = snapshot();
        return row ? row->version : 0;
    }
    // The row as a shared row (a copy when it lies in the object); null
    // without a row.
    SnapshotPtr sharedRow() const;
    // Copies the row's values into values, which has the entity's size;
    // nothing without a row.
    void copyRowValues(RowValues& values) const;
    // Takes row as the committed row (null: none). A row nobody else holds
    // moves into the object's room, when it fits there.
    void setRow(SnapshotPtr row);
    // Whether row fits the object's room (which it must not share with
    // changes).
    bool rowFitsRoom(const StoreSnapshot& row) const;
    // Copies row into the object's room (it must fit, see rowFitsRoom) as
    // the committed row: for a row about to be dropped by its only holder,
    // whose values it may take.
    void copyRowIn(const StoreSnapshot& row, bool take = false);
    void dropInlineRow() noexcept;
    // Packs row's values into the room, moving them out of the row when
    // `take`; the row must fit and the room must be empty (no packed row,
    // no shared row's pointer).
    void packRow(const StoreSnapshot& row, bool take);
    Value packedValue(std::size_t index) const;
    // The bytes of room a row with these values takes packed; SIZE_MAX
    // when one of them cannot be packed (a payload in an arena).
    static std::size_t roomFor(const RowValues& values);
    // An object whose block also has room for a packed row of `room` bytes
    // (roomFor), so that a row read for it needs no block of its own; the
    // room is at least kLeastRoom.
    // With idInRoom, a permanent ID is kept in the room as its record and
    // key (see RoomID), not as a shared ID.
    static ManagedObjectPtr makeWithRoom(ManagedObjectContext* context, ManagedObjectIDPtr id,
                                         std::size_t room, bool idInRoom = false);
    // The room after the object: the row's version, the values' tags, their
    // words, then the bytes of short strings.
    uint64_t* inlineVersion() const {
        return reinterpret_cast<uint64_t*>(const_cast<char*>(reinterpret_cast<const char*>(this)) +
                                           sizeof(ManagedObject));
    }
    uint8_t* inlineTags() const { return reinterpret_cast<uint8_t*>(inlineVersion() + 1); }
    uint64_t* inlineWords(std::size_t count) const { return inlineVersion() + 1 + (count + 7) / 8; }
    char* inlineBytes(std::size_t count) const { return reinterpret_cast<char*>(inlineWords(count) + count); }

    // The object's ID. A fetched object's block may keep the ID's record
    // and key in its room, after the row's room (makeWithRoom), instead of
    // a shared ID of its own: a resident object then costs no ID block.
    // The shared ID is made from them when first asked for (objectID, from
    // any thread: under a lock, published by a flag in the record's word)
    // and then kept in id_; until then id_ is null. Other uses read the
    // record and key where they lie (entity, hasID, idRef).
    struct RoomID {
        std::atomic<uintptr_t> record;  // the record, counted; kSharedIDMade once id_ holds the ID
        int64_t key;
    };
    static constexpr uintptr_t kSharedIDMade = 1;
    // In roomWords_: the room also holds a RoomID.
    static constexpr uint16_t kIDInRoom = 0x8000;
    std::size_t rowRoomWords() const { return roomWords_ & ~kIDInRoom; }
    RoomID* roomID() const { return reinterpret_cast<RoomID*>(inlineVersion() + rowRoomWords()); }
    // The record of the ID kept in the room while id_ does not hold the
    // ID yet; null otherwise (id_ holds the ID).
    const detail::ObjectIDStore* roomIDRecord() const {
        if (!(roomWords_ & kIDInRoom))
            return nullptr;
        const uintptr_t word = roomID()->record.load(std::memory_order_acquire);
        return word & kSharedIDMade ? nullptr : reinterpret_cast<const detail::ObjectIDStore*>(word);
    }
    // The shared ID, made when it is kept in the room.
    const ManagedObjectIDPtr& sharedID() const { return roomIDRecord() ? makeSharedID() : id_; }
    const ManagedObjectIDPtr& makeSharedID() const;
    // Whether the object's ID equals id, without making a shared ID.
    bool hasID(const ManagedObjectID& id) const {
        const detail::ObjectIDStore* record = roomIDRecord();
        if (!record)
            return id_.get() == &id || id_->isEqualID(id);
        return ManagedObjectID::isEqualID(*record, roomID()->key, id);
    }
    bool hasTemporaryID() const {
        const detail::ObjectIDStore* record = roomIDRecord();
        return record ? record->temporary : id_->isTemporaryID();
    }
    // The ID as a reference, without making a shared ID: the shared ID, or
    // one made on the stack from the room's record and key.
    class IDRef {
      public:
        explicit IDRef(const ManagedObject& object) {
            if (const detail::ObjectIDStore* record = object.roomIDRecord()) {
                view_.emplace(detail::ObjectIDStoreRef(record), object.roomID()->key);
                id_ = &*view_;
            } else {
                id_ = object.id_.get();
            }
        }
        const ManagedObjectID& operator*() const { return *id_; }
        const ManagedObjectID* operator->() const { return id_; }

      private:
        std::optional<ManagedObjectID> view_;
        const ManagedObjectID* id_;
    };
    IDRef idRef() const { return IDRef(*this); }
    // Gives the object another ID (replaceID), the room's kept or not.
    void setID(ManagedObjectIDPtr id);

    static const SnapshotPtr kNoRow;
    static const std::shared_ptr<Changes> kNoChanges;

    ManagedObjectContext* context_;
    mutable ManagedObjectIDPtr id_;  // see RoomID
    mutable State state_ = State::Fault;
    bool inserted_ : 1 = false;
    bool updated_ : 1 = false;
    bool deleted_ : 1 = false;
    // The object's block has room for its committed row (makeWithRoom), and
    // the row lies there now.
    bool hasRoom_ : 1 = false;
    bool rowInline_ : 1 = false;
    // The room's size in words for the row (makeWithRoom), and kIDInRoom.
    // Set before the object is shared, never changed after.
    uint16_t roomWords_ = 0;
    // Position in the context's registry of objects with new temporary IDs.
    uint32_t registrySlot_ = 0;
    mutable ToManySlots toMany_;  // and the observers
};

}  // namespace plat::coredata
