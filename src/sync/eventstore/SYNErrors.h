// The sync framework's errors and its exception for misuse.
//
// Every error of the framework is a plat::Error in the domain
// "SYNErrorDomain" with one of the codes below. Errors without a description
// carry no user info at all (callers compare user info of cancellation and
// time-out errors). SYNException is raised only for programming errors, such
// as an unknown termination policy; failures a caller must expect are errors.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/Error.h"

inline constexpr const char* SYNErrorDomain = "SYNErrorDomain";
inline constexpr const char* SYNExceptionName = "SYNException";
// User-info key of SYNErrorMultipleErrors: one entry per task or step, null
// for a success.
inline constexpr const char* SYNErrorsKey = "errors";

enum SYNErrorCode : int64_t {
    // An exception, or a failure without an error of its own.
    SYNErrorUnknown = -1,
    SYNErrorCancelled = 101,
    SYNErrorMultipleErrors = 102,
    // Enlist of an enlisted store; delist or merge of a store that is not.
    SYNErrorEnlistState = 103,
    SYNErrorExceptionRaised = 104,
    SYNErrorRegistrationWriteFailed = 105,
    SYNErrorFileCoordinatorTimedOut = 106,
    SYNErrorFileAccessFailed = 107,
    SYNErrorDirectoryNotFound = 108,
    // An event made with a model version this machine does not know.
    SYNErrorUnknownModelVersion = 201,
    SYNErrorCloudIdentityChanged = 202,
    // Incomplete mandatory events at start-up; a binary event file that does
    // not hold exactly one event.
    SYNErrorIncompleteEventData = 203,
    // A gap in the revisions of one store.
    SYNErrorMissingRevisions = 204,
    SYNErrorStoreUnregistered = 205,
    SYNErrorSaveOccurredDuringEnlist = 206,
    SYNErrorSaveOccurredDuringMerge = 207,
    SYNErrorMissingSnapshot = 208,
    SYNErrorMissingPersistentStore = 209,
    // An event depends on revisions of another store that are not here.
    SYNErrorMissingDependencies = 210,
    SYNErrorDuplicateGlobalIdentifiers = 211,
    SYNErrorIncompleteBaseline = 212,
    SYNErrorForeignHardwareIdentifier = 213,
    // A data file that an event refers to is not here.
    SYNErrorMissingDataFiles = 214,
    // A file from the cloud whose content cannot be read as what its name
    // says (truncated, overwritten, of another kind); it is skipped.
    SYNErrorDamagedFile = 215,
    SYNErrorMissingEvent = 300,
    SYNErrorServerError = 1001,
    SYNErrorConnectionError = 1002,
    SYNErrorNotSignedIn = 1003,
    SYNErrorPathIsNotDirectory = 2001,
};

// An error of SYNErrorDomain; with a description, the user info holds it under
// the localized-description key, otherwise the user info is empty.
[[nodiscard]] plat::ErrorPtr SYNMakeError(int64_t code, const std::string& description = {});

// True when error is of SYNErrorDomain with that code.
bool SYNErrorHasCode(const plat::ErrorPtr& error, int64_t code);

// The platform exception named "SYNException".
class SYNException : public plat::Exception {
  public:
    explicit SYNException(std::string reason, plat::Dictionary userInfo = {})
        : plat::Exception(SYNExceptionName, std::move(reason), std::move(userInfo)) {}
};
