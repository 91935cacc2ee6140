// Errors of the cloud database stand-in: the platform's domain and integer
// codes, the per-item dictionary of partial failures and the retry-after hint.
#pragma once

#include <map>
#include <optional>

#include "platform/cloudkit/Types.h"
#include "platform/foundation/Error.h"

namespace plat::cloudkit {

inline constexpr const char* ErrorDomain = "CKErrorDomain";
// User-info key of a partial failure: a PartialErrors object.
inline constexpr const char* PartialErrorsByItemIDKey = "CKPartialErrors";
// User-info key: seconds to wait before retrying (a number).
inline constexpr const char* ErrorRetryAfterKey = "CKRetryAfter";

enum class ErrorCode : int64_t {
    InternalError = 1,
    PartialFailure = 2,
    NetworkUnavailable = 3,
    NetworkFailure = 4,
    ServiceUnavailable = 6,
    RequestRateLimited = 7,
    NotAuthenticated = 9,
    PermissionFailure = 10,
    UnknownItem = 11,
    InvalidArguments = 12,
    ServerRecordChanged = 14,
    AssetFileNotFound = 16,
    OperationCancelled = 20,
    ChangeTokenExpired = 21,
    BatchRequestFailed = 22,
    ZoneBusy = 23,
    QuotaExceeded = 25,
    ZoneNotFound = 26,
    LimitExceeded = 27,
    UserDeletedZone = 28,
    AssetNotAvailable = 35,
};

struct ItemIDLess {
    bool operator()(const ItemID& a, const ItemID& b) const { return a < b; }
};
using ItemErrors = std::map<ItemID, ErrorPtr, ItemIDLess>;

// The per-item dictionary of a partial failure, as an Object for user info.
class PartialErrors final : public Object {
  public:
    explicit PartialErrors(ItemErrors errors) : errors_(std::move(errors)) {}
    const ItemErrors& errors() const { return errors_; }
    [[nodiscard]] ErrorPtr errorFor(const ItemID& id) const {
        auto it = errors_.find(id);
        return it == errors_.end() ? nullptr : it->second;
    }
    std::string className() const override { return "NSDictionary"; }
    std::string description() const override;

  private:
    ItemErrors errors_;
};

[[nodiscard]] ErrorPtr makeError(ErrorCode code, std::string description = {});
// Code 7 (or another) with a retry-after hint in seconds.
[[nodiscard]] ErrorPtr makeRetryError(ErrorCode code, double retryAfterSeconds);
// Code 2 with the per-item dictionary.
[[nodiscard]] ErrorPtr makePartialError(ItemErrors errors);

// The per-item errors of a code-2 error; null for anything else.
const PartialErrors* partialErrors(const ErrorPtr& error);
// True when `error` is code `code`.
bool hasCode(const ErrorPtr& error, ErrorCode code);
// The retry-after hint, when the error carries one.
std::optional<double> retryAfterSeconds(const ErrorPtr& error);

}  // namespace plat::cloudkit
