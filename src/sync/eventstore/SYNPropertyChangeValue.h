// SYNPropertyChangeValue: the recorded change of one property of one object,
// kept in an object change's list of property change values.
//
// An attribute change holds the new value (or, for a large value, the name of
// the data file that holds it); a to-one change the global identifier of the
// new target; a to-many change the identifiers added and removed; an ordered
// to-many change also the index of members by identifier.
//
// Every persistent field can be set and read by name (setValueForKey /
// valueForKey), which is how event files are read. The stored form is a keyed
// archive of an array of values (SYNArchivePropertyChangeValues); the event
// store and object ID are working fields and are never stored.
//
// A value is a plain, copyable object: safe to read from several threads,
// changed by one thread at a time. Inside a plat::Value it is shared and must
// no longer be changed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coredata/AttributeDescription.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

class SYNEventStore;

enum SYNPropertyChangeType : int64_t {
    SYNPropertyChangeTypeAttribute = 0,
    SYNPropertyChangeTypeToOneRelationship = 1,
    SYNPropertyChangeTypeToManyRelationship = 2,
    SYNPropertyChangeTypeOrderedToManyRelationship = 3,
};

class SYNPropertyChangeValue final : public plat::Coding {
  public:
    // Every field other than type and name starts empty.
    SYNPropertyChangeValue(int64_t type, std::string propertyName);
    SYNPropertyChangeValue(const SYNPropertyChangeValue& other);
    SYNPropertyChangeValue& operator=(const SYNPropertyChangeValue& other);
    SYNPropertyChangeValue(SYNPropertyChangeValue&& other) noexcept = default;
    SYNPropertyChangeValue& operator=(SYNPropertyChangeValue&& other) noexcept = default;
    ~SYNPropertyChangeValue() override;

    int64_t type() const { return type_; }
    void setType(int64_t type) { type_ = type; }
    const std::string& propertyName() const { return propertyName_; }
    void setPropertyName(std::string name) { propertyName_ = std::move(name); }

    // The attribute value: nullopt for nil, a null Value for the null object.
    const std::optional<plat::Value>& value() const { return value_; }
    void setValue(std::optional<plat::Value> value) { value_ = std::move(value); }
    // The data file holding a large attribute value.
    const std::optional<std::string>& filename() const { return rare().filename; }
    void setFilename(std::optional<std::string> name) {
        if (name || rare_) {
            mutableRare().filename = std::move(name);
        }
    }

    // The to-one target's global identifier; nullopt for an empty relationship
    // (null and nil are read alike).
    const std::optional<std::string>& relatedIdentifier() const { return rare().relatedIdentifier; }
    void setRelatedIdentifier(std::optional<std::string> identifier) {
        if (identifier || rare_) {
            mutableRare().relatedIdentifier = std::move(identifier);
        }
    }
    const std::set<std::string>& addedIdentifiers() const { return rare().added; }
    void setAddedIdentifiers(std::set<std::string> identifiers) {
        if (!identifiers.empty() || rare_) {
            mutableRare().added = std::move(identifiers);
        }
    }
    const std::set<std::string>& removedIdentifiers() const { return rare().removed; }
    void setRemovedIdentifiers(std::set<std::string> identifiers) {
        if (!identifiers.empty() || rare_) {
            mutableRare().removed = std::move(identifiers);
        }
    }
    // Ordered to-many: the index of each member named, in ascending index.
    const std::map<int64_t, std::string>& movedIdentifiersByIndex() const { return rare().moved; }
    void setMovedIdentifiersByIndex(std::map<int64_t, std::string> moved) {
        if (!moved.empty() || rare_) {
            mutableRare().moved = std::move(moved);
        }
    }

    // Working fields, never stored: the store whose data files hold large
    // values, and the object the change was made for.
    std::shared_ptr<SYNEventStore> eventStore() const { return eventStore_.lock(); }
    void setEventStore(const std::shared_ptr<SYNEventStore>& store) { eventStore_ = store; }
    const plat::ObjectPtr& objectID() const { return objectID_; }
    void setObjectID(plat::ObjectPtr objectID) { objectID_ = std::move(objectID); }

    // Working fields of relationship changes taken from objects, never
    // stored: the related objects' IDs, which the event builder turns into
    // global identifiers inside the event store (resolveRelatedObjectIDs).
    const plat::coredata::ManagedObjectIDPtr& relatedObjectID() const { return rare().relatedObjectID; }
    const std::vector<plat::coredata::ManagedObjectIDPtr>& addedObjectIDs() const {
        return rare().addedObjectIDs;
    }
    const std::vector<plat::coredata::ManagedObjectIDPtr>& removedObjectIDs() const {
        return rare().removedObjectIDs;
    }
    const std::map<int64_t, plat::coredata::ManagedObjectIDPtr>& movedObjectIDsByIndex() const {
        return rare().movedObjectIDs;
    }
    bool hasUnresolvedObjectIDs() const { return rare_ && rare_->unresolved; }
    void setRelatedObjectIDs(plat::coredata::ManagedObjectIDPtr related,
                             std::vector<plat::coredata::ManagedObjectIDPtr> added,
                             std::vector<plat::coredata::ManagedObjectIDPtr> removed,
                             std::map<int64_t, plat::coredata::ManagedObjectIDPtr> moved);
    // Fills the identifier fields from the IDs through identifierFor and
    // clears the working IDs. An ID without identifier is left out (a to-one
    // becomes empty).
    template <class IdentifierFor>
    void resolveRelatedObjectIDs(IdentifierFor&& identifierFor) {
        if (!hasUnresolvedObjectIDs()) {
            return;
        }
        Rare& rare = *rare_;
        rare.relatedIdentifier = rare.relatedObjectID ? identifierFor(rare.relatedObjectID) : std::nullopt;
        for (const auto& id : rare.addedObjectIDs) {
            if (auto identifier = identifierFor(id)) {
                rare.added.insert(std::move(*identifier));
            }
        }
        for (const auto& id : rare.removedObjectIDs) {
            if (auto identifier = identifierFor(id)) {
                rare.removed.insert(std::move(*identifier));
            }
        }
        for (const auto& [index, id] : rare.movedObjectIDs) {
            if (auto identifier = identifierFor(id)) {
                rare.moved[index] = std::move(*identifier);
            }
        }
        rare.relatedObjectID = nullptr;
        rare.addedObjectIDs.clear();
        rare.removedObjectIDs.clear();
        rare.movedObjectIDs.clear();
        rare.unresolved = false;
    }

    // The property change values of the named properties of an object (in
    // the object's context). Unknown, transient and ignored ("SYNIgnoredKey")
    // properties and relationships to ignored entities are left out.
    // Attribute values are taken when storeValues is set (in their stored
    // form: transformables as data, UUIDs and URIs as text). To-many changes
    // hold the members added and removed since the last save when isPreSave
    // is set, else every member as added; ordered ones also the index of
    // every member. Relationship targets are held as object IDs until the
    // builder resolves them.
    static std::vector<SYNPropertyChangeValue> propertyChangesForObject(
        const plat::coredata::ManagedObject& object, const std::shared_ptr<SYNEventStore>& eventStore,
        const std::vector<std::string>& propertyNames, bool isPreSave, bool storeValues);
    // The stored form of an attribute's value; nullopt when it cannot be
    // stored (a transformer fails).
    static std::optional<plat::Value> storedAttributeValue(
        const plat::Value& value, const plat::coredata::AttributeDescription& attribute);
    // The value to write into an attribute: a value, a null Value (the
    // recorded nil: clears the attribute), or nullopt when the value is
    // unavailable (data file missing or its name refused, transformer missing
    // or failing, damaged archive, value of the wrong type). Unavailable
    // values must be skipped, never written.
    std::optional<plat::Value> attributeValueForAttributeDescription(
        const plat::coredata::AttributeDescription& attribute) const;

    // Key-value access by field name ("type", "propertyName", "value",
    // "filename", "relatedIdentifier", "addedIdentifiers", "removedIdentifiers",
    // "movedIdentifiersByIndex", "objectID"). Identifier sets are read from
    // sets or arrays of strings; the index map from a dictionary whose keys are
    // decimal indexes. Returns false, leaving the field as it was, for an
    // unknown key or a value of the wrong kind. nullopt is nil.
    bool setValueForKey(const std::optional<plat::Value>& value, std::string_view key);
    // nullopt for an unknown key or an empty field. Sets come back as sets, the
    // index map as a dictionary with decimal keys.
    std::optional<plat::Value> valueForKey(std::string_view key) const;

    // Keyed archiving under the class name "SYNPropertyChangeValue".
    std::string className() const override { return "SYNPropertyChangeValue"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    // Null (failing the decode) when a stored field has the wrong kind.
    static std::shared_ptr<const SYNPropertyChangeValue> decode(plat::KeyedUnarchiver& coder);
    // Registers the class with the unarchiver; idempotent, any thread.
    static void registerClass();

    // Equal when every stored field is equal.
    bool isEqual(const plat::Object& other) const override;
    std::size_t hash() const override;
    std::string description() const override;

  private:
    // The fields only relationship changes and large values fill, kept in an
    // allocation of their own so that the many plain attribute changes an
    // event holds stay small. Absent while every one of them is empty.
    struct Rare {
        std::optional<std::string> filename;
        std::optional<std::string> relatedIdentifier;
        std::set<std::string> added;
        std::set<std::string> removed;
        std::map<int64_t, std::string> moved;
        plat::coredata::ManagedObjectIDPtr relatedObjectID;
        std::vector<plat::coredata::ManagedObjectIDPtr> addedObjectIDs;
        std::vector<plat::coredata::ManagedObjectIDPtr> removedObjectIDs;
        std::map<int64_t, plat::coredata::ManagedObjectIDPtr> movedObjectIDs;
        bool unresolved = false;
    };
    // The rare fields, or a shared empty set of them when absent.
    const Rare& rare() const { return rare_ ? *rare_ : emptyRare(); }
    Rare& mutableRare() {
        if (!rare_) {
            rare_ = std::make_unique<Rare>();
        }
        return *rare_;
    }
    static const Rare& emptyRare();

    int64_t type_;
    std::string propertyName_;
    std::optional<plat::Value> value_;
    std::weak_ptr<SYNEventStore> eventStore_;
    plat::ObjectPtr objectID_;
    std::unique_ptr<Rare> rare_;
};

// The stored form of a change's values: a keyed archive whose root is an
// array of SYNPropertyChangeValue. Fails when a value cannot be archived.
plat::Result<plat::Data> SYNArchivePropertyChangeValues(const std::vector<SYNPropertyChangeValue>& values);
// The same archive of an array of values holding SYNPropertyChangeValue
// objects (the stored attribute's value), each archived as a copy of its own.
plat::Result<plat::Data> SYNArchivePropertyChangeValueItems(const plat::Array& items);
// The quick writing both of the above try first: the archive of values of
// the plain shapes (ASCII text throughout; values that are nil, null, text,
// numbers, data or dates; no ordered indexes), written straight into its
// bytes, which are exactly those of the general archiver; nullopt for any
// other, which the general archiver writes instead.
std::optional<plat::Data> SYNWritePlainPropertyChangeValues(
    const std::vector<SYNPropertyChangeValue>& values);
std::optional<plat::Data> SYNWritePlainPropertyChangeValues(const plat::Array& items);
// Fails for damaged data or a root that is not such an array. Also reads the
// compact form.
plat::Result<std::vector<SYNPropertyChangeValue>> SYNUnarchivePropertyChangeValues(const plat::Data& data);
// The same, as the decoded array itself (its items shared, not copied).
plat::Result<plat::Value> SYNUnarchiveSharedPropertyChangeValues(const plat::Data& data);
// The quick reading SYNUnarchiveSharedPropertyChangeValues tries first: the
// values of an archive in the plain form attribute changes store (property
// names, types and values that are nil, text, numbers or data), read straight
// from its bytes; nullopt for any other archive, which the general
// unarchiver reads instead.
std::optional<plat::Value> SYNReadPlainPropertyChangeValues(const plat::Data& data);
std::optional<plat::Value> SYNReadPlainPropertyChangeValues(std::string_view bytes);
// The event store's own compact stored form of a change's values (see
// SYNPropertyChangeValueArchive.cpp), which other machines never see: any
// text, values that are nil, null, text, numbers, booleans, data or dates,
// types 0 to 3, ordered indexes from 0. nullopt for a list it cannot hold
// (or that the keyed archiver would refuse), which keeps the keyed archive.
// Reading it gives exactly what reading the keyed archive of the same list
// gives.
std::optional<plat::Data> SYNWriteCompactPropertyChangeValues(
    const std::vector<SYNPropertyChangeValue>& values);
std::optional<plat::Data> SYNWriteCompactPropertyChangeValues(const plat::Array& items);
// Whether stored bytes are in the compact form (a keyed archive never is).
bool SYNIsCompactPropertyChangeValues(std::string_view bytes);
// Fails for damaged or truncated bytes.
plat::Result<plat::Value> SYNReadCompactPropertyChangeValues(std::string_view bytes);
// The same values as a list of their own, without the array of values that
// holds them (never kept as bytes: see SYNCompactStoredValuesKeptScope).
plat::Result<std::vector<std::shared_ptr<const SYNPropertyChangeValue>>>
SYNReadCompactPropertyChangeValueList(std::string_view bytes);
// The event store's stored form of the values of an attribute holding
// SYNPropertyChangeValue objects: the compact form, else their keyed
// archive (SYNArchivePropertyChangeValueItems). The unarchiving functions
// above and below read both.
plat::Result<plat::Data> SYNStorePropertyChangeValueItems(const plat::Array& items);
// While one lives, SYNStorePropertyChangeValueItems writes keyed archives on
// its thread: a store other machines read (a binary event file) is saved
// inside one, so that its values keep the form every version reads.
class SYNKeyedArchivedStoredValuesScope {
  public:
    SYNKeyedArchivedStoredValuesScope();
    ~SYNKeyedArchivedStoredValuesScope();
    SYNKeyedArchivedStoredValuesScope(const SYNKeyedArchivedStoredValuesScope&) = delete;
    SYNKeyedArchivedStoredValuesScope& operator=(const SYNKeyedArchivedStoredValuesScope&) = delete;
    static bool isActive();
};
// While one lives, SYNReadCompactPropertyChangeValues gives the bytes it is
// handed back as a data value on its thread instead of the values they hold:
// a reader that decodes the values later, a stretch at a time, keeps them in
// their stored form, a fraction of the size of the decoded values.
class SYNCompactStoredValuesKeptScope {
  public:
    SYNCompactStoredValuesKeptScope();
    ~SYNCompactStoredValuesKeptScope();
    SYNCompactStoredValuesKeptScope(const SYNCompactStoredValuesKeptScope&) = delete;
    SYNCompactStoredValuesKeptScope& operator=(const SYNCompactStoredValuesKeptScope&) = delete;
    static bool isActive();
};
// SYNUnarchiveSharedPropertyChangeValues of bytes only read during the call
// (copied only when the general unarchiver has to read them).
plat::Result<plat::Value> SYNUnarchiveSharedPropertyChangeValues(std::string_view bytes);
