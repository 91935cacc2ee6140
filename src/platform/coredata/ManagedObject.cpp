#include "platform/coredata/ManagedObject.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <typeinfo>
#include <utility>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/Mutex.h"

namespace plat::coredata {

// Resident objects are many: an object, its shared count and the least room
// (the shared row's and the changes' pointers) fit one 128-byte heap block;
// a packed row of seven values (a six-attribute entity and a to-one) takes
// 80 bytes of room and its short strings' bytes.
static_assert(sizeof(ManagedObject) <= 64, "a managed object should stay within a 128-byte block");

ManagedObjectPtr ManagedObject::fromValue(const Value& value) {
    if (!value.isObject())
        return nullptr;
    ObjectPtr object = value.asObject();
    // Contexts make objects of this exact type: told apart by it without a
    // walk of the class hierarchy (the same answer dynamic_cast gives).
    const Object& held = *object;
    if (typeid(held) == typeid(ManagedObject))
        return std::const_pointer_cast<ManagedObject>(
            std::static_pointer_cast<const ManagedObject>(std::move(object)));
    if (typeid(held) == typeid(ManagedObjectID))  // a to-one's slot holds IDs as often as objects
        return nullptr;
    return std::const_pointer_cast<ManagedObject>(
        std::dynamic_pointer_cast<const ManagedObject>(std::move(object)));
}

ManagedObject::ManagedObject(ManagedObjectContext* context, ManagedObjectIDPtr id)
    : context_(context), id_(std::move(id)) {}

const SnapshotPtr ManagedObject::kNoRow;
const std::shared_ptr<ManagedObject::Changes> ManagedObject::kNoChanges;

ManagedObject::~ManagedObject() {
    dropInlineRow();
    if (roomWords_ & kIDInRoom) {
        // The room's counted reference to the ID's record.
        const uintptr_t word = roomID()->record.load(std::memory_order_relaxed) & ~kSharedIDMade;
        detail::ObjectIDStoreRef::adopt(reinterpret_cast<const detail::ObjectIDStore*>(word));
        std::destroy_at(roomID());
    }
    if (hasRoom_) {
        std::destroy_at(changesSlot());
        std::destroy_at(sharedRowSlot());
    }
}

namespace {

// Strings up to this length keep their bytes in a packed row; longer ones
// keep their shared payload (copying them out on every read would cost more
// than the payload's block saves).
constexpr std::size_t kPackedStringMax = 255;
// The tag of a string whose bytes lie in the room; its word holds their
// offset (high half) and length (low half).
constexpr uint8_t kPackedStringTag = Value::kPackedFreeKind;

bool packedHere(uint8_t tag) {
    return (tag & 0x0fu) == kPackedStringTag;
}

bool packedAsBytes(const Value& v) {
    const std::string* s = v.asString();
    return s && s->size() <= kPackedStringMax;
}

std::size_t roundUp8(std::size_t n) {
    return (n + 7) / 8 * 8;
}

}  // namespace

std::size_t ManagedObject::roomFor(const RowValues& values) {
    std::size_t bytes = 0;
    for (const Value& v : values) {
        if (packedAsBytes(v))
            bytes += v.asString()->size();
        else if (!Value::packable(v))
            return SIZE_MAX;
    }
    return sizeof(uint64_t) + roundUp8(values.size() * sizeof(uint8_t)) + values.size() * sizeof(uint64_t) +
           roundUp8(bytes);
}

ManagedObjectPtr ManagedObject::makeWithRoom(ManagedObjectContext* context, ManagedObjectIDPtr id,
                                             std::size_t room, bool idInRoom) {
    // A row that large (or that cannot be packed) stays a shared row.
    room = room / 8 >= kIDInRoom ? kLeastRoom : roundUp8(std::max(room, kLeastRoom));
    idInRoom = idInRoom && id && !id->isTemporaryID();
    // The shared count's block, as makeRow makes a row's: the room after it.
    detail::rowBlockValues = nullptr;
    ManagedObjectPtr object = std::allocate_shared<ManagedObject>(
        detail::RowBlockAllocator<ManagedObject>(room + (idInRoom ? sizeof(RoomID) : 0)), context,
        std::move(id));
    // The object ends its shared count's block, so the room lies right after
    // it; should a library lay the block out otherwise, the room goes unused.
    if (reinterpret_cast<char*>(detail::rowBlockValues) == reinterpret_cast<char*>(object->inlineVersion())) {
        new (object->sharedRowSlot()) SnapshotPtr();
        new (object->changesSlot()) std::shared_ptr<Changes>();
        object->hasRoom_ = true;
        object->roomWords_ = static_cast<uint16_t>(room / 8);
        if (idInRoom) {
            // The ID's record and key move to the room; the shared ID goes
            // (with the row that brought it, unless someone else holds it).
            detail::ObjectIDStoreRef record = object->id_->record();
            RoomID* kept = new (object->roomID()) RoomID{};
            kept->key = object->id_->primaryKey();
            kept->record.store(reinterpret_cast<uintptr_t>(record.release()), std::memory_order_relaxed);
            object->id_.reset();
            object->roomWords_ |= kIDInRoom;
        }
    }
    return object;
}

namespace {

// Making a shared ID from a room's record and key may happen on any thread
// at once: the objects share a few locks by address.
plat::Mutex& sharedIDLock(const void* object) {
    static plat::Mutex locks[16];
    return locks[(reinterpret_cast<uintptr_t>(object) >> 6) % 16];
}

}  // namespace

const ManagedObjectIDPtr& ManagedObject::makeSharedID() const {
    RoomID* kept = roomID();
    plat::MutexLock lock(sharedIDLock(this));
    const uintptr_t word = kept->record.load(std::memory_order_relaxed);
    if (!(word & kSharedIDMade)) {
        // The room keeps its reference to the record: the ID takes another.
        id_ = std::allocate_shared<const ManagedObjectID>(
            plat::SmallBlockAllocator<ManagedObjectID>(),
            detail::ObjectIDStoreRef(reinterpret_cast<const detail::ObjectIDStore*>(word)), kept->key);
        kept->record.store(word | kSharedIDMade, std::memory_order_release);
    }
    return id_;
}

void ManagedObject::setID(ManagedObjectIDPtr id) {
    // From now on id_ holds the ID (the room's record is only released).
    if (roomIDRecord())
        makeSharedID();
    id_ = std::move(id);
}

Value ManagedObject::packedValue(std::size_t index) const {
    const std::size_t count = entity()->properties().size();
    const uint8_t tag = inlineTags()[index];
    const uint64_t word = inlineWords(count)[index];
    if (packedHere(tag))
        return Value(std::string_view(inlineBytes(count) + (word >> 32), word & 0xffffffffu));
    return Value::sharePacked(word, tag);
}

SnapshotPtr ManagedObject::sharedRow() const {
    if (!rowInline_)
        return snapshot();
    const std::size_t count = entity()->properties().size();
    auto row = makeRow(count);
    row->objectID = sharedID();
    row->version = *inlineVersion();
    for (std::size_t i = 0; i < count; ++i)
        row->values[i] = packedValue(i);
    return row;
}

void ManagedObject::copyRowValues(RowValues& values) const {
    if (rowInline_) {
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = packedValue(i);
    } else if (const SnapshotPtr& row = snapshot()) {
        values = row->values;
    }
}

bool ManagedObject::rowFitsRoom(const StoreSnapshot& row) const {
    return hasRoom_ && !changes() && row.values.size() == entity()->properties().size() &&
           roomFor(row.values) <= rowRoomWords() * 8;
}

std::shared_ptr<ManagedObject::Changes>& ManagedObject::mutableChanges() const {
    unpackRow();
    auto& self = const_cast<ManagedObject&>(*this);
    return hasRoom_ ? *changesSlot() : self.toMany_.mutableChanges();
}

void ManagedObject::dropChanges() {
    if (changes())
        mutableChanges().reset();
}

void ManagedObject::unpackRow() const {
    if (!rowInline_)
        return;
    auto& self = const_cast<ManagedObject&>(*this);
    SnapshotPtr row = sharedRow();
    self.dropInlineRow();
    self.setSnapshot(std::move(row));
}

void ManagedObject::setSnapshot(SnapshotPtr row) {
    if (hasRoom_)
        *sharedRowSlot() = std::move(row);
    else
        toMany_.setSnapshot(std::move(row));
}

void ManagedObject::setRow(SnapshotPtr row) {
    if (row && row.use_count() == 1 && rowFitsRoom(*row)) {
        // Nobody else holds the row: its values move here and its block goes.
        copyRowIn(*row, true);
        return;
    }
    dropInlineRow();
    setSnapshot(std::move(row));
}

void ManagedObject::copyRowIn(const StoreSnapshot& row, bool take) {
    // The shared row (which may be `row`) goes once the values are packed.
    dropInlineRow();
    SnapshotPtr held = std::move(*sharedRowSlot());
    std::destroy_at(changesSlot());  // null: see rowFitsRoom
    std::destroy_at(sharedRowSlot());
    packRow(row, take);
}

void ManagedObject::packRow(const StoreSnapshot& row, bool take) {
    const std::size_t count = row.values.size();
    uint8_t* tags = inlineTags();
    uint64_t* words = inlineWords(count);
    char* bytes = inlineBytes(count);
    uint64_t used = 0;
    for (std::size_t i = 0; i < count; ++i) {
        // A row taken is its only holder's, about to be dropped.
        Value& v = const_cast<Value&>(row.values[i]);
        if (packedAsBytes(v)) {
            const std::string* s = v.asString();
            std::memcpy(bytes + used, s->data(), s->size());
            words[i] = used << 32 | s->size();
            tags[i] = kPackedStringTag;
            used += s->size();
        } else {
            tags[i] = Value::pack(take ? std::move(v) : Value(v), words[i]);
        }
    }
    *inlineVersion() = row.version;
    rowInline_ = true;
}

void ManagedObject::dropInlineRow() noexcept {
    if (!rowInline_)
        return;
    const std::size_t count = entity()->properties().size();
    const uint8_t* tags = inlineTags();
    const uint64_t* words = inlineWords(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!packedHere(tags[i]))
            Value::releasePacked(words[i], tags[i]);
    }
    rowInline_ = false;
    new (sharedRowSlot()) SnapshotPtr();
    new (changesSlot()) std::shared_ptr<Changes>();
}

std::shared_ptr<ManagedObjectContext> ManagedObject::managedObjectContext() const {
    return context_ ? context_->weak_from_this().lock() : nullptr;
}

std::string ManagedObject::description() const {
    std::string state =
        state_ == State::Invalidated ? "invalidated" : (state_ == State::Fault ? "<fault>" : "data");
    return "<" + entity()->name() + ": " + idRef()->description() + "; " + state + ">";
}

void ManagedObject::checkUsable() const {
    if (state_ == State::Invalidated || !context_)
        throw ObjectInaccessibleException("The object " + idRef()->description() +
                                          " has been invalidated (its context was reset, "
                                          "destroyed, or its deletion was saved).");
}

void ManagedObject::fireFault() const {
    checkUsable();
    if (state_ == State::Fault)
        context_->fulfillFault(const_cast<ManagedObject&>(*this));
}

const PropertyDescription& ManagedObject::property(std::string_view key) const {
    const PropertyDescription* p = entity()->propertyNamed(key);
    if (!p)
        throw ModelException("The entity " + entity()->name() +
                             " is not key value coding-compliant for the key \"" + std::string(key) + "\".");
    return *p;
}

const RelationshipDescription& ManagedObject::relationship(std::string_view key, bool toMany) const {
    const PropertyDescription& p = property(key);
    auto* r = p.isRelationship() ? static_cast<const RelationshipDescription*>(&p) : nullptr;
    if (!r || r->isToMany() != toMany)
        throw ModelException("\"" + std::string(key) + "\" of entity " + entity()->name() + " is not a " +
                             (toMany ? "to-many" : "to-one") + " relationship.");
    return *r;
}

Value ManagedObject::slotValue(std::size_t index) const {
    fireFault();
    if (changes())
        return changes()->values[index];
    return hasRow() ? rowValue(index) : Value();
}

namespace {

// A to-one slot holds an object (changed) or an ID (as loaded).
ManagedObjectPtr objectInSlot(ManagedObjectContext& context, const Value& v) {
    if (v.isNull())
        return nullptr;
    if (auto object = ManagedObject::fromValue(v))
        return object;
    return context.objectWithID(ManagedObjectID::fromValue(v));
}

}  // namespace

void ManagedObject::setSlot(const PropertyDescription& p, Value value) {
    fireFault();
    if (!changes()) {
        mutableChanges() = makeRow<Changes>(entity()->properties().size());
        copyRowValues(changes()->values);
        changes()->changed.reset(entity()->properties().size());
    }
    changes()->values[p.index()] = std::move(value);
    changes()->changed.set(p.index());
    markChanged(p);
}

void ManagedObject::markChanged(const PropertyDescription&) {
    if (!inserted_ && !deleted_ && context_)
        context_->objectDidChange(*this);
}

ManagedObject::ToMany& ManagedObject::toMany(const RelationshipDescription& r) const {
    fireFault();
    if (toMany_.size() < entity()->toManyCount())
        toMany_.resize(entity()->toManyCount());
    auto& slot = toMany_[r.toManyIndex()];
    if (!slot) {
        auto loaded = std::make_unique<ToMany>();
        if (!inserted_)
            loaded->items = context_->loadMembers(*this, r);
        loaded->members.reserve(loaded->items.size());
        for (const auto& o : loaded->items)
            loaded->members.insert(o.get());
        slot = std::move(loaded);
    } else if (!slot->complete) {
        slot->completeWith(context_->loadMembers(*this, r));
    }
    return *slot;
}

void ManagedObject::ToMany::completeWith(std::vector<ManagedObjectPtr> stored) {
    std::unordered_set<const ManagedObject*> inStore;
    inStore.reserve(stored.size());
    std::vector<ManagedObjectPtr> merged;
    merged.reserve(stored.size() + items.size());
    members.reserve(stored.size() + items.size());
    for (auto& m : stored) {
        if (!inStore.insert(m.get()).second || removed.count(m.get()))
            continue;
        if (members.count(m.get())) {
            added.erase(m.get());  // stored already: not an addition
            continue;
        }
        members.insert(m.get());
        merged.push_back(std::move(m));
    }
    // Removing what was never stored changes nothing.
    removed.eraseIf([&](const auto& entry) { return !inStore.count(entry.first); });
    merged.insert(merged.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    items = std::move(merged);
    complete = true;
}

ManagedObject::ToMany* ManagedObject::deferredToMany(const RelationshipDescription& r) const {
    if (r.isOrdered() || r.isTransient() || inserted_)
        return nullptr;
    // The row is read all the same: a save needs the version it was read at.
    fireFault();
    if (toMany_.size() < entity()->toManyCount())
        toMany_.resize(entity()->toManyCount());
    auto& slot = toMany_[r.toManyIndex()];
    if (slot && slot->complete)
        return nullptr;
    if (!slot) {
        slot = std::make_unique<ToMany>();
        slot->complete = false;
    }
    return slot.get();
}

bool ManagedObject::toManyContains(const RelationshipDescription& r, const ManagedObject* o) const {
    return toMany(r).members.count(o) != 0;
}

void ManagedObject::toManyAdd(const RelationshipDescription& r, const ManagedObjectPtr& o,
                              std::size_t index) {
    ToMany& tm = toMany(r);
    if (!tm.members.insert(o.get()).second)
        return;
    tm.items.insert(tm.items.begin() + static_cast<std::ptrdiff_t>(std::min(index, tm.items.size())), o);
    if (!tm.removed.erase(o.get()))
        tm.added.emplace(o.get(), o);
    tm.changed = true;
    markChanged(r);
}

void ManagedObject::toManyRemove(const RelationshipDescription& r, const ManagedObjectPtr& o) {
    ToMany& tm = toMany(r);
    if (!tm.members.erase(o.get()))
        return;
    std::erase_if(tm.items, [&](const ManagedObjectPtr& item) { return item.get() == o.get(); });
    if (!tm.added.erase(o.get()))
        tm.removed.emplace(o.get(), o);
    tm.changed = true;
    markChanged(r);
}

void ManagedObject::toManyAddDeferred(const RelationshipDescription& r, const ManagedObjectPtr& o) {
    ToMany* tm = deferredToMany(r);
    if (!tm) {
        toManyAdd(r, o);
        return;
    }
    if (!tm->removed.erase(o.get())) {
        if (!tm->members.insert(o.get()).second)
            return;
        tm->items.push_back(o);
        tm->added.emplace(o.get(), o);
    }
    tm->changed = true;
    markChanged(r);
}

void ManagedObject::toManyRemoveDeferred(const RelationshipDescription& r, const ManagedObjectPtr& o) {
    ToMany* tm = deferredToMany(r);
    if (!tm) {
        toManyRemove(r, o);
        return;
    }
    if (tm->members.erase(o.get())) {
        std::erase_if(tm->items, [&](const ManagedObjectPtr& item) { return item.get() == o.get(); });
        tm->added.erase(o.get());
    } else {
        tm->removed.emplace(o.get(), o);
    }
    tm->changed = true;
    markChanged(r);
}

void ManagedObject::checkDestination(const RelationshipDescription& r, const ManagedObjectPtr& o) const {
    if (!o)
        return;
    if (!o->entity()->isKindOfEntity(r.destinationEntity()) &&
        o->entity()->name() != r.destinationEntityName())
        throw ModelException("Unacceptable type of value for to-one relationship: property = \"" + r.name() +
                             "\"; desired type = " + r.destinationEntityName() +
                             "; given type = " + o->entity()->name() + ".");
    if (o->context_ != context_ || o->isInvalidated())
        throw ModelException("Illegal attempt to establish a relationship \"" + r.name() +
                             "\" between objects in different contexts.");
}

// Observers

uint64_t ManagedObject::addObserver(std::string key, Observer observer) {
    static std::atomic<uint64_t> next{1};
    uint64_t token = next.fetch_add(1);
    toMany_.addObservers().push_back({token, {std::move(key), std::move(observer)}});
    return token;
}

void ManagedObject::removeObserver(uint64_t token) {
    if (Observers* observers = toMany_.observers())
        std::erase_if(*observers, [&](const auto& entry) { return entry.first == token; });
}

void ManagedObject::didChangeValueForKey(std::string_view key) {
    notifyObservers(key);
}

void ManagedObject::notifyObservers(std::string_view key) {
    if (!toMany_.observers() || toMany_.observers()->empty())
        return;
    // Copy: an observer may add or remove observers.
    auto observers = *toMany_.observers();
    for (const auto& [token, entry] : observers) {
        if (entry.first == key)
            entry.second(*this, key);
    }
}

// Reading

Value ManagedObject::valueForKey(std::string_view key) const {
    checkUsable();
    const PropertyDescription& p = property(key);
    if (p.isAttribute())
        return slotValue(p.index());
    const auto& r = static_cast<const RelationshipDescription&>(p);
    if (!r.isToMany()) {
        auto object = objectInSlot(*context_, slotValue(p.index()));
        return object ? Value(ObjectPtr(object)) : Value();
    }
    const ToMany& tm = toMany(r);
    if (r.isOrdered()) {
        Array items;
        items.reserve(tm.items.size());
        for (const auto& o : tm.items)
            items.push_back(Value(ObjectPtr(o)));
        return Value(std::move(items));
    }
    Set set;
    for (const auto& o : tm.items)
        set.insert(Value(ObjectPtr(o)));
    return Value(std::move(set));
}

Value ManagedObject::primitiveValueForKey(std::string_view key) const {
    return valueForKey(key);
}

ManagedObjectPtr ManagedObject::objectForKey(std::string_view key) const {
    checkUsable();
    const auto& r = relationship(key, false);
    return objectInSlot(*context_, slotValue(r.index()));
}

std::vector<ManagedObjectPtr> ManagedObject::objectsForKey(std::string_view key) const {
    checkUsable();
    return toMany(relationship(key, true)).items;
}

// Writing

namespace {

std::vector<ManagedObjectPtr> objectsIn(const Value& value, const std::string& key) {
    std::vector<ManagedObjectPtr> objects;
    if (value.isNull())
        return objects;
    const Array* members =
        value.asArray() ? value.asArray() : (value.asSet() ? &value.asSet()->values() : nullptr);
    if (!members)
        throw ModelException("The to-many relationship \"" + key + "\" takes an array or set of objects.");
    for (const Value& m : *members) {
        auto o = ManagedObject::fromValue(m);
        if (!o)
            throw ModelException("The to-many relationship \"" + key + "\" takes only managed objects.");
        objects.push_back(std::move(o));
    }
    return objects;
}

ManagedObjectPtr objectIn(const Value& value, const std::string& key) {
    if (value.isNull())
        return nullptr;
    auto o = ManagedObject::fromValue(value);
    if (!o)
        throw ModelException("The to-one relationship \"" + key + "\" takes a managed object or nil.");
    return o;
}

}  // namespace

void ManagedObject::setValue(const Value& value, std::string_view key) {
    checkUsable();
    const PropertyDescription& p = property(key);
    if (p.isAttribute()) {
        Value coerced = static_cast<const AttributeDescription&>(p).coerce(value);
        willChangeValueForKey(key);
        setSlot(p, std::move(coerced));
        didChangeValueForKey(key);
        return;
    }
    const auto& r = static_cast<const RelationshipDescription&>(p);
    if (r.isToMany())
        replaceToMany(r, objectsIn(value, r.name()));
    else
        setToOne(r, objectIn(value, r.name()), &value);
}

void ManagedObject::setPrimitiveValue(const Value& value, std::string_view key) {
    checkUsable();
    const PropertyDescription& p = property(key);
    if (p.isAttribute()) {
        setSlot(p, static_cast<const AttributeDescription&>(p).coerce(value));
        return;
    }
    const auto& r = static_cast<const RelationshipDescription&>(p);
    if (!r.isToMany()) {
        auto o = objectIn(value, r.name());
        checkDestination(r, o);
        // The caller's Value holds the object: shared, not boxed again.
        setSlot(r, o ? value : Value());
    } else {
        auto objects = objectsIn(value, r.name());
        for (const auto& o : objects)
            checkDestination(r, o);
        auto current = toMany(r).items;
        for (const auto& o : current) {
            if (std::find(objects.begin(), objects.end(), o) == objects.end())
                toManyRemove(r, o);
        }
        for (const auto& o : objects)
            toManyAdd(r, o);
    }
}

void ManagedObject::setObject(const ManagedObjectPtr& object, std::string_view key) {
    checkUsable();
    setToOne(relationship(key, false), object);
}

bool ManagedObject::setsByID(const RelationshipDescription& r) {
    const RelationshipDescription* inverse = r.inverseRelationship();
    return !r.isToMany() && !r.isTransient() && inverse && inverse->isToMany() && !inverse->isOrdered() &&
           !inverse->isTransient() && inverse->isOptional() && inverse->minCount() == 0 &&
           inverse->maxCount() == 0;
}

bool ManagedObject::setObjectIDForKey(const ManagedObjectIDPtr& id, std::string_view key) {
    checkUsable();
    const RelationshipDescription& r = relationship(key, false);
    auto throughObjects = [&] {
        setToOne(r, id ? context_->objectWithID(id) : nullptr);
        return false;
    };
    if (!setsByID(r) || context_->parent_ || !context_->coordinator_ || deleted_)
        return throughObjects();
    if (id && (id->isTemporaryID() || (!id->entity()->isKindOfEntity(r.destinationEntity()) &&
                                       id->entity()->name() != r.destinationEntityName())))
        return throughObjects();
    // A destination this context holds with its inverse to-many read or
    // changed keeps it in step through the object path, as does one inserted
    // or deleted here. One that is only filled (or changed otherwise) keeps
    // nothing the link changes: its row does not move for a membership.
    const RelationshipDescription& inverse = *r.inverseRelationship();
    auto held = [&](const ManagedObjectIDPtr& destination) {
        if (!destination)
            return false;
        auto object = context_->objectRegisteredForID(destination);
        if (!object || object->isFault())
            return object && object->hasChanges();
        return object->inserted_ || object->deleted_ ||
               (object->toMany_.size() > inverse.toManyIndex() && object->toMany_[inverse.toManyIndex()]);
    };
    const Value current = slotValue(r.index());
    if (ManagedObject::fromValue(current))
        return throughObjects();  // set as an object since the save: its inverse is kept that way
    ManagedObjectIDPtr old = ManagedObjectID::fromValue(current);
    if (old ? (id && old->isEqualID(*id)) : !id)
        return true;
    if (held(old) || held(id))
        return throughObjects();
    const bool again = changes() && changes()->changed[r.index()];
    willChangeValueForKey(r.name());
    setSlot(r, id ? Value(ObjectPtr(id)) : Value());
    context_->noteLinkByID(*this, r, std::move(old), id, again);
    didChangeValueForKey(r.name());
    return true;
}

void ManagedObject::setToOne(const RelationshipDescription& r, const ManagedObjectPtr& o,
                             const Value* holding) {
    checkDestination(r, o);
    ManagedObjectPtr old = objectInSlot(*context_, slotValue(r.index()));
    if (old == o)
        return;
    willChangeValueForKey(r.name());
    setSlot(r, o ? (holding ? *holding : Value(ObjectPtr(o))) : Value());
    // This object's note first, then the inverses' (the old destination's,
    // the new one's, and the new one's previous partner's): room for all in
    // one allocation.
    ManagedObjectPtr self = shared_from_this();
    PendingNotes notes;
    notes.reserve(4);
    notes.emplace_back(self, r.name());
    if (const RelationshipDescription* inverse = r.inverseRelationship()) {
        if (old)
            old->unlinkInverse(*inverse, self, &notes);
        if (o)
            o->linkInverse(*inverse, self, &notes);
    }
    deliver(notes);
}

void ManagedObject::deliver(const PendingNotes& notes) {
    for (const auto& [object, key] : notes)
        object->didChangeValueForKey(key);
}

void ManagedObject::addToMany(const RelationshipDescription& r, const ManagedObjectPtr& o,
                              std::size_t index) {
    checkDestination(r, o);
    if (!o || toManyContains(r, o.get()))
        return;
    willChangeValueForKey(r.name());
    toManyAdd(r, o, index);
    PendingNotes notes{{shared_from_this(), r.name()}};
    if (const RelationshipDescription* inverse = r.inverseRelationship())
        o->linkInverse(*inverse, shared_from_this(), &notes);
    deliver(notes);
}

void ManagedObject::removeToMany(const RelationshipDescription& r, const ManagedObjectPtr& o) {
    if (!o || !toManyContains(r, o.get()))
        return;
    willChangeValueForKey(r.name());
    toManyRemove(r, o);
    PendingNotes notes{{shared_from_this(), r.name()}};
    if (const RelationshipDescription* inverse = r.inverseRelationship())
        o->unlinkInverse(*inverse, shared_from_this(), &notes);
    deliver(notes);
}

void ManagedObject::replaceToMany(const RelationshipDescription& r,
                                  const std::vector<ManagedObjectPtr>& objects) {
    for (const auto& o : objects)
        checkDestination(r, o);
    std::unordered_set<const ManagedObject*> wanted;
    for (const auto& o : objects)
        wanted.insert(o.get());
    auto current = toMany(r).items;
    for (const auto& o : current) {
        if (!wanted.count(o.get()))
            removeToMany(r, o);
    }
    for (const auto& o : objects)
        addToMany(r, o);
    if (r.isOrdered()) {
        ToMany& tm = toMany(r);
        std::vector<ManagedObjectPtr> ordered;
        std::unordered_set<const ManagedObject*> seen;
        for (const auto& o : objects) {
            if (seen.insert(o.get()).second)
                ordered.push_back(o);
        }
        if (ordered != tm.items) {
            tm.items = std::move(ordered);
            tm.changed = true;
            markChanged(r);
        }
    }
}

void ManagedObject::linkInverse(const RelationshipDescription& r, const ManagedObjectPtr& other,
                                PendingNotes* notes) {
    PendingNotes local;
    PendingNotes& out = notes ? *notes : local;
    if (r.isToMany()) {
        toManyAddDeferred(r, other);
    } else {
        ManagedObjectPtr previous = objectInSlot(*context_, slotValue(r.index()));
        if (previous == other)
            return;
        // The previous partner loses its link to this object.
        if (previous && r.inverseRelationship())
            previous->unlinkInverse(*r.inverseRelationship(), shared_from_this(), &out);
        setSlot(r, Value(ObjectPtr(other)));
    }
    out.emplace_back(shared_from_this(), r.name());
    if (!notes)
        deliver(local);
}

void ManagedObject::unlinkInverse(const RelationshipDescription& r, const ManagedObjectPtr& other,
                                  PendingNotes* notes) {
    if (r.isToMany()) {
        toManyRemoveDeferred(r, other);
    } else {
        if (objectInSlot(*context_, slotValue(r.index())) != other)
            return;
        setSlot(r, Value());
    }
    if (notes)
        notes->emplace_back(shared_from_this(), r.name());
    else
        notifyObservers(r.name());
}

// Relationship proxies

RelationshipProxy ManagedObject::mutableSetValueForKey(std::string_view key) {
    checkUsable();
    relationship(key, true);
    return RelationshipProxy(shared_from_this(), std::string(key));
}

RelationshipProxy ManagedObject::mutableOrderedSetValueForKey(std::string_view key) {
    checkUsable();
    if (!relationship(key, true).isOrdered())
        throw ModelException("\"" + std::string(key) + "\" is not an ordered relationship.");
    return RelationshipProxy(shared_from_this(), std::string(key));
}

std::size_t RelationshipProxy::count() const {
    return owner_->objectsForKey(key_).size();
}

bool RelationshipProxy::contains(const ManagedObjectPtr& object) const {
    owner_->checkUsable();
    return object && owner_->toManyContains(owner_->relationship(key_, true), object.get());
}

std::vector<ManagedObjectPtr> RelationshipProxy::objects() const {
    return owner_->objectsForKey(key_);
}

void RelationshipProxy::addObject(const ManagedObjectPtr& object) {
    owner_->checkUsable();
    if (!object)
        throw ModelException("Can't add nil to the relationship \"" + key_ + "\".");
    owner_->addToMany(owner_->relationship(key_, true), object);
}

void RelationshipProxy::removeObject(const ManagedObjectPtr& object) {
    owner_->checkUsable();
    owner_->removeToMany(owner_->relationship(key_, true), object);
}

void RelationshipProxy::removeAllObjects() {
    owner_->checkUsable();
    const auto& r = owner_->relationship(key_, true);
    for (const auto& o : owner_->objectsForKey(key_))
        owner_->removeToMany(r, o);
}

void RelationshipProxy::insertObject(const ManagedObjectPtr& object, std::size_t index) {
    owner_->checkUsable();
    const auto& r = owner_->relationship(key_, true);
    if (!r.isOrdered())
        throw ModelException("\"" + key_ + "\" is not an ordered relationship.");
    if (!object)
        throw ModelException("Can't insert nil into the relationship \"" + key_ + "\".");
    if (owner_->toManyContains(r, object.get()))
        owner_->removeToMany(r, object);
    owner_->addToMany(r, object, index);
}

// Changes

Dictionary ManagedObject::changedValues() const {
    Dictionary out;
    if (state_ != State::Filled)
        return out;
    for (const PropertyDescription* p : entity()->properties()) {
        auto* r = p->isRelationship() ? static_cast<const RelationshipDescription*>(p) : nullptr;
        if (r && r->isToMany()) {
            bool changed = toMany_.size() > r->toManyIndex() && toMany_[r->toManyIndex()] &&
                           toMany_[r->toManyIndex()]->changed;
            if (changed)
                out.set(p->name(), valueForKey(p->name()));
        } else if (changes() && changes()->changed[p->index()]) {
            out.set(p->name(), valueForKey(p->name()));
        }
    }
    return out;
}

std::vector<std::string> ManagedObject::changedPropertyNames() const {
    std::vector<std::string> names;
    if (state_ != State::Filled)
        return names;
    for (const PropertyDescription* p : entity()->properties()) {
        auto* r = p->isRelationship() ? static_cast<const RelationshipDescription*>(p) : nullptr;
        bool changed = r && r->isToMany() ? toMany_.size() > r->toManyIndex() && toMany_[r->toManyIndex()] &&
                                                toMany_[r->toManyIndex()]->changed
                                          : changes() && changes()->changed[p->index()];
        if (changed)
            names.push_back(p->name());
    }
    return names;
}

ManagedObject::ToManyDifference ManagedObject::toManyDifferenceForKey(std::string_view key) const {
    checkUsable();
    const auto& r = relationship(key, true);
    ToManyDifference difference;
    if (toMany_.size() <= r.toManyIndex() || !toMany_[r.toManyIndex()])
        return difference;
    const ToMany& tm = *toMany_[r.toManyIndex()];
    // In the order the members were added (the maps have none).
    for (const auto& o : tm.items) {
        if (tm.added.count(o.get()))
            difference.added.push_back(o);
    }
    for (const auto& [ptr, o] : tm.removed)
        difference.removed.push_back(o);
    return difference;
}

Dictionary ManagedObject::committedValuesForKeys(const std::vector<std::string>& keys) const {
    checkUsable();
    Dictionary out;
    if (inserted_)
        return out;
    fireFault();
    auto add = [&](const PropertyDescription& p) {
        if (p.isTransient() ||
            (p.isRelationship() && static_cast<const RelationshipDescription&>(p).isToMany()))
            return;
        Value v = hasRow() ? rowValue(p.index()) : Value();
        if (p.isRelationship()) {
            auto o = objectInSlot(*context_, v);
            v = o ? Value(ObjectPtr(o)) : Value();
        }
        out.set(p.name(), std::move(v));
    };
    if (keys.empty()) {
        for (const PropertyDescription* p : entity()->properties())
            add(*p);
    } else {
        for (const auto& key : keys)
            add(property(key));
    }
    return out;
}

namespace {

// True when a row of entity holds any value (a persistent attribute or to-one).
bool rowHoldsValues(const EntityDescription& entity) {
    for (const PropertyDescription* p : entity.properties()) {
        if (!p->isTransient() &&
            (p->isAttribute() || !static_cast<const RelationshipDescription*>(p)->isToMany()))
            return true;
    }
    return false;
}

}  // namespace

SnapshotPtr ManagedObject::makeSnapshot(uint64_t version) const {
    // A row without values needs nothing loaded (and a missing row is no error).
    if (state_ != State::Filled && rowHoldsValues(*entity()))
        fireFault();
    auto snapshot = makeRow(entity()->properties().size());
    snapshot->objectID = sharedID();
    snapshot->version = version;
    if (changes())
        snapshot->values = changes()->values;
    else
        copyRowValues(snapshot->values);
    toStoreForm(snapshot->values);
    return snapshot;
}

SnapshotPtr ManagedObject::lendRow(std::vector<LentValue>& replaced, std::vector<LentLink>& links) {
    changes()->objectID = sharedID();
    changes()->version = 0;
    // As toStoreForm, noting each value it replaces.
    for (const PropertyDescription* p : entity()->properties()) {
        if (!p->isTransient() && p->isAttribute())
            continue;
        Value& v = changes()->values[p->index()];
        if (v.isNull())
            continue;
        Value stored;
        if (!p->isTransient() && !static_cast<const RelationshipDescription*>(p)->isToMany()) {
            auto o = ManagedObject::fromValue(v);
            if (!o)
                continue;  // an ID already
            // The rows of a save link the same object one after another (the
            // changes of one event): its ID's Value is made once. The
            // replaced values keep every linked object, so no other object
            // takes the address of one noted here while the save runs.
            if (links.size() <= p->index())
                links.resize(p->index() + 1);
            LentLink& last = links[p->index()];
            if (last.object != o.get())
                last = LentLink{o.get(), Value(ObjectPtr(o->objectID()))};
            stored = last.id;
        }
        replaced.push_back({p->index(), std::exchange(v, std::move(stored))});
    }
    return changes();
}

void ManagedObject::adoptLentRow(const SnapshotPtr& row, LentValue* replaced, std::size_t count) {
    std::shared_ptr<StoreSnapshot> committed;
    if (row.use_count() == 2) {
        // Held by the caller and by the changes only (the store copied what it
        // keeps): the row becomes the snapshot itself.
        changes()->changed.reset(0);
        committed = std::move(mutableChanges());
    } else {
        committed = std::make_shared<StoreSnapshot>(*row);
    }
    committed->version = 1;
    for (std::size_t i = 0; i < count; ++i) {
        if (entity()->properties()[replaced[i].index]->isTransient())
            committed->values[replaced[i].index] = std::move(replaced[i].value);
    }
    dropChanges();
    setRow(std::move(committed));
}

void ManagedObject::returnLentRow(const SnapshotPtr& row, LentValue* replaced, std::size_t count) {
    if (row.use_count() != 2) {
        // The store kept the row: it must not change under it.
        auto copy = makeRow<Changes>(row->values.size());
        copy->values = row->values;
        copy->changed = std::move(changes()->changed);
        mutableChanges() = std::move(copy);
    }
    changes()->objectID = nullptr;
    for (std::size_t i = 0; i < count; ++i)
        changes()->values[replaced[i].index] = std::move(replaced[i].value);
}

void ManagedObject::toStoreForm(RowValues& values, bool keepTransient) const {
    for (const PropertyDescription* p : entity()->properties()) {
        if (p->isTransient() ? keepTransient : p->isAttribute())
            continue;
        Value& v = values[p->index()];
        if (p->isTransient() || static_cast<const RelationshipDescription*>(p)->isToMany())
            v = Value();
        else if (auto o = ManagedObject::fromValue(v))
            v = Value(ObjectPtr(o->objectID()));
    }
}

bool ManagedObject::keepsRowAsSaved(uint64_t version) {
    // An object saved for its to-manys alone (the other side of a moved
    // member) has no changed value: its loaded row is already what a copy
    // in store form would be (rows hold IDs, no to-many values, and the
    // transient values the object keeps). Only the version may differ: a
    // row packed in the room is the object's own and takes the new one in
    // place; a shared row may be held elsewhere and is copied instead.
    if (state_ != State::Filled)
        return false;
    if (rowInline_) {
        *inlineVersion() = version;
        return true;
    }
    const SnapshotPtr& row = snapshot();
    return row && row->version == version && row->objectID && row->objectID->isEqualID(*idRef());
}

void ManagedObject::commitSaved(uint64_t version) {
    // The current values become the row as they are: moved, not copied.
    // Transient values are never stored, but a save does not drop them.
    if (changes() && changes().use_count() == 1) {
        // Nobody else holds the changes (no store kept them as a row): they
        // become the snapshot where they lie.
        changes()->objectID = sharedID();
        changes()->version = version;
        changes()->changed.reset(0);
        toStoreForm(changes()->values, true);
        setRow(std::move(mutableChanges()));
        return;
    }
    if (!changes() && keepsRowAsSaved(version))
        return;
    auto snapshot = makeRow(entity()->properties().size());
    snapshot->objectID = sharedID();
    snapshot->version = version;
    if (changes()) {
        snapshot->values = changes()->values;
        dropChanges();
    } else {
        if (state_ != State::Filled && rowHoldsValues(*entity()))
            fireFault();
        copyRowValues(snapshot->values);
    }
    toStoreForm(snapshot->values, true);
    setRow(std::move(snapshot));
}

void ManagedObject::adoptRow(SnapshotPtr row) {
    if (row && hasRow() && !changes()) {
        std::shared_ptr<StoreSnapshot> copy;
        for (const PropertyDescription* p : entity()->properties()) {
            const Value& kept = rowValue(p->index());
            if (!p->isTransient() || kept.isNull())
                continue;
            if (!copy)
                copy = std::make_shared<StoreSnapshot>(*row);
            copy->values[p->index()] = kept;
        }
        if (copy)
            row = std::move(copy);
    }
    setRow(std::move(row));
}

void ManagedObject::clearState() {
    dropChanges();
    toMany_.clear();
    dropInlineRow();
    setSnapshot(nullptr);
}

}  // namespace plat::coredata
