// The SDK's one error domain and its codes.
#pragma once

#include <cstdint>

#include "platform/foundation/Error.h"

inline constexpr const char* kBEACErrorDomain = "org.kestrel.beacon.ErrorDomain";

inline constexpr int64_t kBEACLogInvalidContainerErrorCode = 1;
inline constexpr int64_t kBEACCanceledErrorCode = 2;
inline constexpr int64_t kBEACDisabledErrorCode = 3;
inline constexpr int64_t kBEACConnectionPausedErrorCode = 100;

inline constexpr const char* kBEACLogInvalidContainerErrorDesc = "Invalid log container.";
inline constexpr const char* kBEACCanceledErrorDesc = "The operation was canceled.";
inline constexpr const char* kBEACDisabledErrorDesc = "The service is disabled.";
inline constexpr const char* kBEACConnectionPausedErrorDesc =
    "Canceled, connection paused with log deletion.";

[[nodiscard]] inline plat::ErrorPtr BEACMakeError(int64_t code, const char* description) {
    return plat::Error::withDescription(kBEACErrorDomain, code, description);
}
