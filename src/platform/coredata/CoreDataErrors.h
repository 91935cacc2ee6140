// Error codes and the exception type of the object store.
//
// Failures a caller must expect (validation, conflicts, unreadable stores) are
// plat::Error values in CocoaErrorDomain with the platform's codes, so that
// callers testing a code (133020 for a merge conflict) work unchanged.
// Programming errors (an unknown key, a value of the wrong type, an object of
// another context) throw ModelException.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/Error.h"

namespace plat::coredata {

inline constexpr int64_t ManagedObjectValidationError = 1550;
inline constexpr int64_t ValidationMultipleErrorsError = 1560;
inline constexpr int64_t ValidationMissingMandatoryPropertyError = 1570;
inline constexpr int64_t ValidationRelationshipLacksMinimumCountError = 1580;
inline constexpr int64_t ValidationRelationshipExceedsMaximumCountError = 1590;
inline constexpr int64_t ValidationRelationshipDeniedDeleteError = 1600;
inline constexpr int64_t ManagedObjectContextLockingError = 132000;
inline constexpr int64_t PersistentStoreCoordinatorLockingError = 132010;
inline constexpr int64_t ManagedObjectReferentialIntegrityError = 133000;
inline constexpr int64_t ManagedObjectExternalRelationshipError = 133010;
inline constexpr int64_t ManagedObjectMergeError = 133020;
inline constexpr int64_t PersistentStoreInvalidTypeError = 134000;
inline constexpr int64_t PersistentStoreTypeMismatchError = 134010;
inline constexpr int64_t PersistentStoreIncompatibleSchemaError = 134020;
inline constexpr int64_t PersistentStoreSaveError = 134030;
inline constexpr int64_t PersistentStoreIncompleteSaveError = 134040;
inline constexpr int64_t PersistentStoreOperationError = 134070;
inline constexpr int64_t PersistentStoreOpenError = 134080;
inline constexpr int64_t PersistentStoreIncompatibleVersionHashError = 134100;
inline constexpr int64_t MigrationMissingMappingModelError = 134140;
inline constexpr int64_t CoreDataError = 134060;
inline constexpr int64_t FileReadCorruptFileError = 259;
inline constexpr int64_t FileReadNoSuchFileError = 260;

// Thrown for misuse of the object store: an unknown key or entity, a value
// that cannot be coerced to an attribute's type, an object of the wrong
// entity or of another context, a change to a model that is in use.
class ModelException : public plat::Exception {
  public:
    explicit ModelException(std::string reason, std::string name = plat::InvalidArgumentException)
        : plat::Exception(std::move(name), std::move(reason)) {}
};

// An error in CocoaErrorDomain with a localized description.
[[nodiscard]] inline ErrorPtr makeError(int64_t code, std::string description, Dictionary userInfo = {}) {
    userInfo.set(LocalizedDescriptionKey, Value(std::move(description)));
    return Error::make(CocoaErrorDomain, code, std::move(userInfo));
}

}  // namespace plat::coredata
