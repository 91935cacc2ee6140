// The bookkeeping of a ManagedObjectContext, shared by its source files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/FlatHashTable.h"

namespace plat::coredata {
namespace detail {

inline std::size_t pointerHash(const void* p) {
    return static_cast<std::size_t>(reinterpret_cast<uintptr_t>(p));
}

// Positions of objects in an ObjectSet's vector, by object.
struct PositionSlot {
    const ManagedObject* object = nullptr;
    std::size_t position = 0;
};
struct PositionTraits {
    static bool used(const PositionSlot& s) { return s.object != nullptr; }
    static std::size_t hash(const PositionSlot& s) { return pointerHash(s.object); }
    static bool matches(const PositionSlot& s, const ManagedObject* key, std::size_t) {
        return s.object == key;
    }
};
using PositionTable = FlatHashTable<PositionSlot, PositionTraits>;

// Registered objects by ID. The key is the object's own ID (so a slot needs
// no second reference to it); the hash is kept in the slot, so probing
// compares IDs only when their hashes are equal.
struct RegistrySlot {
    ManagedObjectPtr object;
    std::size_t hash = 0;
};
struct RegistryTraits {
    static bool used(const RegistrySlot& s) { return s.object != nullptr; }
    static std::size_t hash(const RegistrySlot& s) { return s.hash; }
    static bool matches(const RegistrySlot& s, const ManagedObjectID& key, std::size_t hash);
};

// Objects with new temporary IDs (inserted here) are kept apart, in a vector
// in the order of their keys: inserting them costs no hashing, and an object
// finds its own entry through its position (ManagedObject::registrySlot_),
// so making a million inserts permanent touches the hash table once per
// object instead of three times. Temporary IDs that come out of order (an
// ancestor's inserts, borrowed by a child context) go to the hash table.
// Permanent IDs are kept the same way, in a section per store and root
// entity, as long as they come in key order (a save's inserts made
// permanent from one reservation of keys, rows fetched in key order): the
// hash table does not grow for a million saved or fetched objects either;
// the rest go to the table.
class Registry {
  public:
    std::size_t size() const { return table_.size() + recent_.size() - dead_ + sectionsLive_; }
    ManagedObjectPtr find(const ManagedObjectID& id) const {
        if (id.isTemporaryID()) {
            if (const Recent* r = findRecent(id))
                return r->object;
            if (temporariesInTable_ == 0)
                return nullptr;
        } else if (!sections_.empty()) {
            if (const ManagedObjectPtr* o = findInSections(id).second)
                return *o;
        }
        const RegistrySlot* s = table_.find(id, id.hash());
        return s ? s->object : nullptr;
    }
    // Registers object under its ID; false (and nothing changes) when that
    // ID is registered already. An object's ID changes only while it is not
    // registered.
    bool insert(ManagedObjectPtr object) {
        const ManagedObject::IDRef ref = object->idRef();
        const ManagedObjectID& id = *ref;
        const std::size_t expected = std::exchange(expected_, expected_ ? expected_ - 1 : 0);
        const bool temporary = id.isTemporaryID();
        if (temporary) {
            if ((recent_.empty() || id.primaryKey() > recent_.back().key) &&
                (temporariesInTable_ == 0 || !table_.find(id, id.hash()))) {
                object->registrySlot_ = static_cast<uint32_t>(recent_.size());
                recent_.push_back(Recent{id.primaryKey(), std::move(object)});
                return true;
            }
            if (findRecent(id))
                return false;
        } else {
            Section* section = sectionFor(id);
            if (!section) {
                sections_.push_back(Section{id.storeIdentifier(), id.entity()->rootEntity(), 0, {}, {}, 0});
                section = &sections_.back();
                if (!spareObjects_.empty()) {
                    section->objects = std::move(spareObjects_.back());
                    spareObjects_.pop_back();
                }
            }
            if (section->takes(id.primaryKey())) {
                // Past the section's last key: only the table could hold it.
                if (table_.size() != 0 && table_.find(id, id.hash()))
                    return false;
                section->append(id.primaryKey(), std::move(object), expected);
                ++sectionsLive_;
                return true;
            }
            if (findIn(*section, id))
                return false;
        }
        std::size_t hash = id.hash();
        if (!table_.insert(id, hash, RegistrySlot{std::move(object), hash}).second)
            return false;
        temporariesInTable_ += temporary ? 1 : 0;
        return true;
    }
    // Removes id's entry; with `only`, just when it holds that object.
    void erase(const ManagedObjectID& id, const ManagedObject* only = nullptr) {
        if (!id.isTemporaryID() && !sections_.empty()) {
            auto [section, entry] = findInSections(id);
            if (entry) {
                if (!only || entry->get() == only)
                    bury(*section, static_cast<std::size_t>(entry - section->objects.data()));
                return;
            }
        }
        if (id.isTemporaryID()) {
            // The holder's own position when it holds this ID, else a search.
            Recent* r = nullptr;
            if (only && only->registrySlot_ < recent_.size() &&
                recent_[only->registrySlot_].object.get() == only && only->hasID(id))
                r = &recent_[only->registrySlot_];
            else
                r = const_cast<Recent*>(findRecent(id));
            if (r) {
                if (!only || r->object.get() == only)
                    bury(*r);
                return;
            }
        }
        RegistrySlot* s = table_.find(id, id.hash());
        if (s && (!only || s->object.get() == only)) {
            temporariesInTable_ -= id.isTemporaryID() ? 1 : 0;
            table_.erase(s);
        }
    }
    template <typename F>
    void forEach(F&& f) const {
        table_.forEach([&](const RegistrySlot& s) { f(s.object); });
        for (const Recent& r : recent_) {
            if (r.object)
                f(r.object);
        }
        for (const Section& section : sections_) {
            for (const ManagedObjectPtr& o : section.objects) {
                if (o)
                    f(o);
            }
        }
    }
    // The number of objects about to be registered one after the other (a
    // fetch's rows), or 0 after them: a key-ordered section that must grow
    // then grows once to take them all, instead of doubling (a fetch of
    // 100 000 rows would otherwise leave room for 131 072).
    void expectInserts(std::size_t count) { expected_ = count; }
    // Room in the hash table for `count` entries, before many objects move
    // there (new temporary IDs made permanent), so it does not grow in steps.
    void reserve(std::size_t count) { table_.reserve(count); }
    void clear() {
        table_.clear();
        recent_.clear();
        dead_ = 0;
        temporariesInTable_ = 0;
        sections_.clear();
        sectionsLive_ = 0;
    }
    // Empties the registry, handing over its objects in no particular order.
    std::vector<ManagedObjectPtr> takeAll() {
        std::vector<ManagedObjectPtr> out;
        takeAll(out);
        return out;
    }
    // The same, moving the objects to the end of `out`.
    void takeAll(std::vector<ManagedObjectPtr>& out) {
        out.reserve(out.size() + size());
        table_.forEachMutable([&](RegistrySlot& s) { out.push_back(std::move(s.object)); });
        for (Recent& r : recent_) {
            if (r.object)
                out.push_back(std::move(r.object));
        }
        for (Section& section : sections_) {
            for (ManagedObjectPtr& o : section.objects) {
                if (o)
                    out.push_back(std::move(o));
            }
        }
        // A context reset after each save fills its registry again with
        // about as many objects: small tables and lists keep their storage
        // for them (the table and the lists are empty; a section's list goes
        // to the next new section); large ones give it back.
        table_.clear();
        if (recent_.capacity() > kKeptCapacity)
            recent_ = std::vector<Recent>();
        recent_.clear();
        dead_ = 0;
        temporariesInTable_ = 0;
        for (Section& section : sections_) {
            if (section.objects.capacity() <= kKeptCapacity && spareObjects_.size() < kSpareLists) {
                section.objects.clear();
                spareObjects_.push_back(std::move(section.objects));
            }
        }
        if (sections_.size() > kSpareLists)
            sections_ = std::vector<Section>();
        sections_.clear();
        sectionsLive_ = 0;
    }

  private:
    struct Recent {
        int64_t key;
        ManagedObjectPtr object;  // null once erased
    };
    // Objects with permanent IDs of one store (by identifier, as IDs
    // compare) and one root entity, in key order. The keys are not stored
    // beside the objects while they are consecutive (a reservation's, the
    // rows of a table without gaps, read in key order): an entry's key is
    // then the first key plus its position. The first gap adds each entry's
    // distance from the first key (four bytes; a key further away goes to
    // the hash table). Erased entries stay as nulls, keeping the positions.
    struct Section {
        std::string identifier;
        const EntityDescription* root;
        int64_t first = 0;
        std::vector<ManagedObjectPtr> objects;  // null once erased
        std::vector<uint32_t> offsets;          // key - first; empty while consecutive
        std::size_t dead = 0;

        int64_t keyAt(std::size_t i) const {
            return first + (offsets.empty() ? static_cast<int64_t>(i) : static_cast<int64_t>(offsets[i]));
        }
        // Whether key can be appended: past the last key, within reach.
        bool takes(int64_t key) const {
            if (objects.empty())
                return true;
            const int64_t last = keyAt(objects.size() - 1);
            return key > last && static_cast<uint64_t>(key) - static_cast<uint64_t>(first) <= UINT32_MAX;
        }
        // Appends an entry (takes(key)); `expected` entries are about to
        // come (Registry::expectInserts).
        void append(int64_t key, ManagedObjectPtr object, std::size_t expected) {
            if (objects.empty()) {
                first = key;
                offsets.clear();
            } else if (offsets.empty() && key != first + static_cast<int64_t>(objects.size())) {
                offsets.reserve(objects.capacity());
                for (std::size_t i = 0; i < objects.size(); ++i)
                    offsets.push_back(static_cast<uint32_t>(i));
            }
            if (objects.size() == objects.capacity() && expected > 1) {
                objects.reserve(objects.size() + expected);
                if (!offsets.empty())
                    offsets.reserve(objects.capacity());
            }
            objects.push_back(std::move(object));
            if (!offsets.empty())
                offsets.push_back(static_cast<uint32_t>(key - first));
        }
        // The position holding key, or SIZE_MAX.
        std::size_t positionOf(int64_t key) const {
            if (objects.empty() || key < first ||
                static_cast<uint64_t>(key) - static_cast<uint64_t>(first) > UINT32_MAX)
                return SIZE_MAX;
            const uint64_t offset = static_cast<uint64_t>(key) - static_cast<uint64_t>(first);
            if (offsets.empty())
                return offset < objects.size() ? static_cast<std::size_t>(offset) : SIZE_MAX;
            // Mostly consecutive: the entry is then at its distance from the
            // first, else found by halving.
            if (offset < offsets.size() && offsets[offset] == offset)
                return static_cast<std::size_t>(offset);
            auto it = std::lower_bound(offsets.begin(), offsets.end(), offset);
            if (it == offsets.end() || *it != offset)
                return SIZE_MAX;
            return static_cast<std::size_t>(it - offsets.begin());
        }
    };
    Section* sectionFor(const ManagedObjectID& id) {
        const EntityDescription* root = id.entity()->rootEntity();
        for (Section& s : sections_) {
            if ((s.root == root || s.root->name() == root->name()) && s.identifier == id.storeIdentifier())
                return &s;
        }
        return nullptr;
    }
    // The section and live entry of a permanent ID, or nulls.
    std::pair<Section*, const ManagedObjectPtr*> findInSections(const ManagedObjectID& id) const {
        Section* section = const_cast<Registry*>(this)->sectionFor(id);
        const ManagedObjectPtr* entry = section ? findIn(*section, id) : nullptr;
        return {entry ? section : nullptr, entry};
    }
    // id's live entry in section, or null.
    static const ManagedObjectPtr* findIn(const Section& section, const ManagedObjectID& id) {
        const std::size_t at = section.positionOf(id.primaryKey());
        if (at == SIZE_MAX)
            return nullptr;
        const ManagedObjectPtr& hit = section.objects[at];
        if (!hit || !hit->hasID(id))
            return nullptr;
        return &hit;
    }
    void bury(Section& section, std::size_t at) {
        section.objects[at].reset();
        --sectionsLive_;
        if (++section.dead == section.objects.size()) {
            section.objects.clear();
            section.offsets.clear();
            section.dead = 0;
        } else if (section.dead > 1024 && section.dead * 2 > section.objects.size()) {
            // Compacted, the keys are no longer first + position.
            std::vector<ManagedObjectPtr> objects;
            std::vector<uint32_t> offsets;
            objects.reserve(section.objects.size() - section.dead);
            offsets.reserve(objects.capacity());
            for (std::size_t i = 0; i < section.objects.size(); ++i) {
                if (section.objects[i]) {
                    offsets.push_back(static_cast<uint32_t>(section.keyAt(i) - section.first));
                    objects.push_back(std::move(section.objects[i]));
                }
            }
            section.objects = std::move(objects);
            section.offsets = std::move(offsets);
            section.dead = 0;
        }
    }
    // The live entry of a temporary ID in recent_ (keys ascend), or null.
    const Recent* findRecent(const ManagedObjectID& id) const {
        auto it = std::lower_bound(recent_.begin(), recent_.end(), id.primaryKey(),
                                   [](const Recent& r, int64_t key) { return r.key < key; });
        if (it == recent_.end() || it->key != id.primaryKey() || !it->object || !it->object->hasID(id))
            return nullptr;
        return &*it;
    }
    // Erases an entry, keeping the positions of the others; the vector is
    // emptied when nothing lives in it and compacted when mostly dead.
    void bury(Recent& r) {
        r.object.reset();
        if (++dead_ == recent_.size()) {
            recent_.clear();
            dead_ = 0;
        } else if (dead_ > 1024 && dead_ * 2 > recent_.size()) {
            std::erase_if(recent_, [](const Recent& e) { return !e.object; });
            for (std::size_t i = 0; i < recent_.size(); ++i)
                recent_[i].object->registrySlot_ = static_cast<uint32_t>(i);
            dead_ = 0;
        }
    }

    FlatHashTable<RegistrySlot, RegistryTraits> table_;
    std::vector<Recent> recent_;
    std::size_t dead_ = 0;
    std::size_t temporariesInTable_ = 0;
    std::vector<Section> sections_;
    std::size_t sectionsLive_ = 0;
    std::size_t expected_ = 0;  // see expectInserts
    // Emptied lists of sections dropped by takeAll, for sections made later.
    static constexpr std::size_t kKeptCapacity = 4096;
    static constexpr std::size_t kSpareLists = 8;
    std::vector<std::vector<ManagedObjectPtr>> spareObjects_;
};

inline bool RegistryTraits::matches(const RegistrySlot& s, const ManagedObjectID& key, std::size_t hash) {
    if (s.hash != hash)
        return false;
    return s.object->hasID(key);
}

}  // namespace detail

// Objects in insertion order with O(1) membership; erasing moves the last
// object into the gap. The index is brought up to date when membership is
// asked, so a run of new objects (insertNew) costs no hashing at all: most
// sets are filled and cleared without a single look-up.
class ManagedObjectContext::ObjectSet {
  public:
    bool insert(const ManagedObjectPtr& o) {
        if (contains(o.get()))
            return false;
        items_.push_back(o);
        return true;
    }
    // For an object known not to be in the set (one just made).
    void insertNew(const ManagedObjectPtr& o) { items_.push_back(o); }
    bool erase(const ManagedObject* o) {
        catchUp();
        detail::PositionSlot* slot = index_.find(o, detail::pointerHash(o));
        if (!slot)
            return false;
        std::size_t at = slot->position;
        index_.erase(slot);
        if (at + 1 != items_.size()) {
            items_[at] = std::move(items_.back());
            const ManagedObject* moved = items_[at].get();
            index_.find(moved, detail::pointerHash(moved))->position = at;
        }
        items_.pop_back();
        indexed_ = items_.size();
        return true;
    }
    bool contains(const ManagedObject* o) const {
        catchUp();
        return index_.find(o, detail::pointerHash(o)) != nullptr;
    }
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    const std::vector<ManagedObjectPtr>& items() const { return items_; }
    void clear() {
        items_.clear();
        index_.clear();
        indexed_ = 0;
    }

  private:
    void catchUp() const {
        for (; indexed_ < items_.size(); ++indexed_) {
            const ManagedObject* key = items_[indexed_].get();
            index_.insertNew(detail::pointerHash(key), detail::PositionSlot{key, indexed_});
        }
    }
    std::vector<ManagedObjectPtr> items_;
    mutable detail::PositionTable index_;
    mutable std::size_t indexed_ = 0;  // items_[0, indexed_) are in index_
};

struct ManagedObjectContext::Impl {
    detail::Registry registered;
    ObjectSet inserted, updated, deleted;
    // Changes since the last objects-did-change notification.
    ObjectSet pendingInserted, pendingUpdated, pendingDeleted;
    // Deleted objects whose delete rules have not run yet.
    std::vector<ManagedObjectPtr> toPropagate;
    // The records the temporary IDs of new objects share, by the entity's
    // index in the model.
    std::vector<detail::ObjectIDStoreRef> temporaryRecords;

    // Temporary IDs of objects that became permanent here, by temporary key,
    // so that a temporary ID still held elsewhere (by a child context, or a
    // snapshot) finds its object. Entries whose temporary ID nobody holds any
    // more are swept as the map grows.
    struct Alias {
        std::weak_ptr<const ManagedObjectID> temporary;
        ManagedObjectIDPtr permanent;
    };
    std::unordered_map<int64_t, Alias> aliases;
    std::size_t aliasesAfterSweep = 0;
    // Child contexts: objects registered under a temporary ID of an ancestor's
    // unsaved insert; they take the permanent ID once the ancestor has saved.
    std::vector<ManagedObjectIDPtr> borrowedTemporaries;
    // The list a reset takes the registered objects into, kept empty between
    // resets: a context reset after each save of a batch takes about as many
    // objects each time, and a fresh list that large cost the allocator a
    // sweep of its freed small blocks on every reset.
    std::vector<ManagedObjectPtr> takenAtReset;
    // To-ones set by ID since the last save (ManagedObject::setObjectIDForKey):
    // the source, the relationship, the destination before the first such set
    // and the one set last. The save gives the store the inverse to-manys'
    // differences from them; neither destination is registered for it.
    struct LinkByID {
        ManagedObjectPtr source;
        const RelationshipDescription* relationship = nullptr;
        ManagedObjectIDPtr from, to;
    };
    std::vector<LinkByID> linksByID;
    // The destinations of the links a save wrote, named (by ID) among its
    // did-save notification's updated objects.
    std::vector<std::pair<ManagedObjectIDPtr, const RelationshipDescription*>> linkedOwners;
};

}  // namespace plat::coredata
