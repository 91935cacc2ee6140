// ManagedObjectID: the identity of a managed object — its entity, its store
// and its primary key (permanent IDs), or a process-unique key (temporary IDs
// of objects inserted and not yet saved).
//
// IDs are immutable and may be shared between threads, contexts and
// coordinators. Permanent IDs are equal when store identifier, entity name
// and primary key are equal, so the same row opened through two coordinators
// has equal IDs; temporary IDs are equal only to themselves (and copies).
//
// URI form (identical in every coordinator and process opening the store):
//   x-objectstore://<store UUID>/<entity name>/p<primary key>
//   x-objectstore:///<entity name>/t<temporary key>
// with the entity name percent-encoded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/coredata/EntityDescription.h"
#include "platform/foundation/URL.h"

namespace plat::coredata {

class PersistentStore;
class ManagedObjectID;
using ManagedObjectIDPtr = std::shared_ptr<const ManagedObjectID>;

namespace detail {

// The shared part of object IDs: the entity, the store's identifier, its
// hash and the store. Every ID of one entity in one store shares one record
// (kept by the store), and the new objects of one entity in one context
// share a temporary record, so that an ID holds one word for all of them
// instead of a reference to the entity and a copy of the identifier.
struct ObjectIDStore {
    ObjectIDStore(std::shared_ptr<const EntityDescription> entity, std::string identifier,
                  std::weak_ptr<PersistentStore> store, bool temporary);
    const std::shared_ptr<const EntityDescription> entity;  // keeps the model alive
    const std::string identifier;
    const std::size_t identifierHash;
    const std::weak_ptr<PersistentStore> store;
    const bool temporary;
    mutable std::atomic<std::size_t> references{0};
};

// A counted reference to a record (one word in each ID).
class ObjectIDStoreRef {
  public:
    ObjectIDStoreRef() = default;
    explicit ObjectIDStoreRef(const ObjectIDStore* record) : record_(record) { retain(); }
    ObjectIDStoreRef(const ObjectIDStoreRef& other) : record_(other.record_) { retain(); }
    ObjectIDStoreRef(ObjectIDStoreRef&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    ObjectIDStoreRef& operator=(ObjectIDStoreRef other) noexcept {
        std::swap(record_, other.record_);
        return *this;
    }
    ~ObjectIDStoreRef() {
        if (record_ && record_->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete record_;
    }
    // Takes over a reference counted by hand (release).
    static ObjectIDStoreRef adopt(const ObjectIDStore* record) {
        ObjectIDStoreRef ref;
        ref.record_ = record;
        return ref;
    }
    // Gives up the reference without dropping it: the caller counts it
    // (and hands it back to adopt).
    const ObjectIDStore* release() { return std::exchange(record_, nullptr); }
    const ObjectIDStore* get() const { return record_; }
    const ObjectIDStore* operator->() const { return record_; }
    explicit operator bool() const { return record_ != nullptr; }

  private:
    void retain() {
        if (record_)
            record_->references.fetch_add(1, std::memory_order_relaxed);
    }
    const ObjectIDStore* record_ = nullptr;
};

}  // namespace detail

// Final: a value holds an ID exactly when its object is of this class, which
// fromValue tells by one comparison of types.
class ManagedObjectID final : public Object {
  public:
    static constexpr const char* kURIScheme = "x-objectstore";

    // The ID a value holds, or null (what asObjectOf<ManagedObjectID> answers,
    // without dynamic_cast's walk of the class hierarchy).
    static ManagedObjectIDPtr fromValue(const Value& value);

    // A new temporary ID for entity.
    static ManagedObjectIDPtr makeTemporary(std::shared_ptr<const EntityDescription> entity);
    // A new temporary ID sharing a temporary record (temporaryRecord).
    static ManagedObjectIDPtr makeTemporary(detail::ObjectIDStoreRef record);
    // A record for the temporary IDs of entity.
    static detail::ObjectIDStoreRef temporaryRecord(std::shared_ptr<const EntityDescription> entity);
    static ManagedObjectIDPtr makePermanent(std::shared_ptr<const EntityDescription> entity,
                                            const std::shared_ptr<PersistentStore>& store,
                                            int64_t primaryKey);

    const EntityDescription* entity() const { return store_->entity.get(); }
    const std::shared_ptr<const EntityDescription>& sharedEntity() const { return store_->entity; }
    bool isTemporaryID() const { return store_->temporary; }
    // The store the object lives in; null for temporary IDs or when the store
    // has been removed from its coordinator and released.
    std::shared_ptr<PersistentStore> persistentStore() const { return store_->store.lock(); }
    // The store's UUID ("" for temporary IDs).
    const std::string& storeIdentifier() const;
    // The row's primary key, or the temporary key.
    int64_t primaryKey() const { return key_; }

    URL URIRepresentation() const;

    std::string description() const override;
    bool isEqual(const Object& other) const override;
    // isEqual between two IDs, without the type check.
    bool isEqualID(const ManagedObjectID& other) const;
    std::size_t hash() const override;
    // isEqualID and hash for an ID given by its record and key (kept apart
    // from any ID, as a managed object may keep them).
    static bool isEqualID(const detail::ObjectIDStore& record, int64_t key, const ManagedObjectID& other);
    static std::size_t hash(const detail::ObjectIDStore& record, int64_t key);
    // The record this ID shares.
    const detail::ObjectIDStoreRef& record() const { return store_; }
    std::string className() const override { return "NSManagedObjectID"; }

    ManagedObjectID(std::shared_ptr<const EntityDescription> entity, std::weak_ptr<PersistentStore> store,
                    std::string storeIdentifier, int64_t key, bool temporary);
    // An ID sharing a record (of a store, or of temporary IDs).
    ManagedObjectID(detail::ObjectIDStoreRef record, int64_t key);

  private:
    friend class ManagedObjectContext;
    // Turns a temporary ID into the permanent ID of a row of store, in
    // place: for an ID only its object holds, so that nobody sees it change.
    void becomePermanent(const std::shared_ptr<PersistentStore>& store, int64_t primaryKey);

    // Kept to 24 bytes, so that an ID and its count take one 48-byte block.
    detail::ObjectIDStoreRef store_;  // never null
    int64_t key_;
};

// Hash and equality through the pointer, for containers keyed by ID.
struct ObjectIDHash {
    std::size_t operator()(const ManagedObjectIDPtr& id) const { return id ? id->hash() : 0; }
};
struct ObjectIDEqual {
    bool operator()(const ManagedObjectIDPtr& a, const ManagedObjectIDPtr& b) const {
        return a == b || (a && b && a->isEqualID(*b));
    }
};

// The parts of an object-ID URI; nullopt when the text is not such a URI.
struct ObjectIDURIParts {
    std::string storeIdentifier;  // empty for temporary IDs
    std::string entityName;
    int64_t key = 0;
    bool temporary = false;
};
std::optional<ObjectIDURIParts> parseObjectIDURI(const URL& uri);

// Whether a store identifier can stand as the authority of object-ID URIs:
// 1 to 255 letters, digits, "-", ".", "_" or "~" (a UUID string is one).
// Stores refuse files whose identifier is not.
bool isValidStoreIdentifier(std::string_view identifier);

}  // namespace plat::coredata
