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

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/coredata/EntityDescription.h"
#include "platform/foundation/URL.h"

namespace plat::coredata {

class PersistentStore;
class ManagedObjectID;
using ManagedObjectIDPtr = std::shared_ptr<const ManagedObjectID>;

class ManagedObjectID : public Object {
  public:
    static constexpr const char* kURIScheme = "x-objectstore";

    // A new temporary ID for entity.
    static ManagedObjectIDPtr makeTemporary(std::shared_ptr<const EntityDescription> entity);
    static ManagedObjectIDPtr makePermanent(std::shared_ptr<const EntityDescription> entity,
                                            const std::shared_ptr<PersistentStore>& store,
                                            int64_t primaryKey);

    const EntityDescription* entity() const { return entity_.get(); }
    const std::shared_ptr<const EntityDescription>& sharedEntity() const { return entity_; }
    bool isTemporaryID() const { return temporary_; }
    // The store the object lives in; null for temporary IDs or when the store
    // has been removed from its coordinator and released.
    std::shared_ptr<PersistentStore> persistentStore() const { return store_.lock(); }
    // The store's UUID ("" for temporary IDs).
    const std::string& storeIdentifier() const { return storeIdentifier_; }
    // The row's primary key, or the temporary key.
    int64_t primaryKey() const { return key_; }

    URL URIRepresentation() const;

    std::string description() const override;
    bool isEqual(const Object& other) const override;
    // isEqual between two IDs, without the type check.
    bool isEqualID(const ManagedObjectID& other) const;
    std::size_t hash() const override { return hash_; }
    std::string className() const override { return "NSManagedObjectID"; }

    ManagedObjectID(std::shared_ptr<const EntityDescription> entity, std::weak_ptr<PersistentStore> store,
                    std::string storeIdentifier, int64_t key, bool temporary);

  private:
    std::shared_ptr<const EntityDescription> entity_;
    std::weak_ptr<PersistentStore> store_;
    std::string storeIdentifier_;
    int64_t key_;
    bool temporary_;
    std::size_t hash_;
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
