// Error: the platform's error object (domain, integer code, user info), and the
// named exception type raised for misuse.
//
// Errors travel as ErrorPtr (std::shared_ptr<const Error>): null means
// success. An Error is an Object, so it can sit inside a Value (the "errors"
// list of a combined error, an underlying error in user info). Errors are
// immutable and may be shared between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat {

// User-info keys, with the texts the platform uses for them.
inline constexpr const char* LocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* LocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* LocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr const char* UnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* FilePathErrorKey = "NSFilePath";
inline constexpr const char* URLErrorKey = "NSURL";
inline constexpr const char* DebugDescriptionErrorKey = "NSDebugDescription";

// Domains.
inline constexpr const char* CocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* POSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* OSStatusErrorDomain = "NSOSStatusErrorDomain";

class Error;
using ErrorPtr = std::shared_ptr<const Error>;

class Error : public Object {
  public:
    Error(std::string domain, int64_t code, Dictionary userInfo = {});
    [[nodiscard]] static ErrorPtr make(std::string domain, int64_t code, Dictionary userInfo = {}) {
        return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
    }
    // An error whose user info holds only a localized description.
    [[nodiscard]] static ErrorPtr withDescription(std::string domain, int64_t code, std::string description);

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const Dictionary& userInfo() const { return userInfo_; }

    // The user info's localized description when it is a string; otherwise the
    // platform's generic text "The operation couldn’t be completed. (<domain>
    // error <code>.)".
    std::string localizedDescription() const;
    // The user info's failure reason, or an empty optional.
    std::optional<std::string> localizedFailureReason() const;
    // The error under UnderlyingErrorKey, or null.
    [[nodiscard]] ErrorPtr underlyingError() const;

    // "Error Domain=<domain> Code=<code> \"<localized description>\"" followed by
    // " UserInfo={key=value, ...}" when there is user info, as the platform
    // prints errors; an error in user info prints as "0x<address> {<its
    // description>}".
    std::string description() const override;
    // Same domain, code and user info.
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    std::string className() const override { return "NSError"; }

  private:
    std::string domain_;
    int64_t code_;
    Dictionary userInfo_;
};

// A named exception (the platform's NSException): raised for programming
// errors such as an invalid argument, never for failures a caller must expect.
class Exception : public std::runtime_error {
  public:
    Exception(std::string name, std::string reason, Dictionary userInfo = {})
        : std::runtime_error(reason),
          name_(std::move(name)),
          reason_(std::move(reason)),
          userInfo_(std::move(userInfo)) {}
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Dictionary& userInfo() const { return userInfo_; }

  private:
    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
};

// Names of the platform's generic exceptions.
inline constexpr const char* InvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* InternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* RangeException = "NSRangeException";
inline constexpr const char* GenericException = "NSGenericException";

}  // namespace plat
