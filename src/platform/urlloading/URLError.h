// The URL-loading error domain, its codes and user-info keys.
//
// Every failed task completes with an Error in URLErrorDomain whose user info
// holds a description, the failing URL (as a URLObject under
// URLErrorFailingURLErrorKey and as text under
// URLErrorFailingURLStringErrorKey) and, for a download that can be resumed,
// the resume data under URLSessionDownloadTaskResumeData.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

namespace plat::urlloading {

inline constexpr const char* URLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* URLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* URLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr const char* URLSessionDownloadTaskResumeData = "NSURLSessionDownloadTaskResumeData";

enum URLErrorCode : int64_t {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorResourceUnavailable = -1008,
    URLErrorHTTPTooManyRedirects = -1007,
    URLErrorNotConnectedToInternet = -1009,
    URLErrorBadServerResponse = -1011,
    URLErrorUserCancelledAuthentication = -1012,
    URLErrorCannotDecodeContentData = -1016,
    URLErrorRequestBodyStreamExhausted = -1021,
    URLErrorFileDoesNotExist = -1100,
    URLErrorDataLengthExceedsMaximum = -1103,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateHasBadDate = -1201,
    URLErrorServerCertificateUntrusted = -1202,
    URLErrorServerCertificateHasUnknownRoot = -1203,
    URLErrorServerCertificateNotYetValid = -1204,
    URLErrorClientCertificateRejected = -1205,
    URLErrorClientCertificateRequired = -1206,
    URLErrorCannotCreateFile = -3000,
    URLErrorCannotOpenFile = -3001,
    URLErrorCannotWriteToFile = -3003,
    URLErrorCannotMoveFile = -3005,
    URLErrorCannotDecodeRawData = -1015,
};

// The platform's English description for a code ("The request timed out.").
std::string URLErrorDescription(int64_t code);

// An error of URLErrorDomain with the description, the failing URL when
// given, `detail` (when not empty) under DebugDescriptionErrorKey and resume
// data when given.
[[nodiscard]] ErrorPtr makeURLError(int64_t code, const std::optional<URL>& failingURL,
                                    const std::string& detail = {},
                                    const std::optional<Data>& resumeData = std::nullopt);
// As makeURLError, with `reason` (not empty) also appended to the description
// ("<description> (<reason>)"): for failures the user can act on, such as a
// missing CA bundle. The reason is the debug description as well.
[[nodiscard]] ErrorPtr makeURLErrorWithReason(int64_t code, const std::optional<URL>& failingURL,
                                              const std::string& reason,
                                              const std::optional<Data>& resumeData = std::nullopt);

// The reason given with URLErrorDataLengthExceedsMaximum for a body larger
// than `limit` bytes collected in memory.
std::string bodyTooLargeReason(int64_t limit);

}  // namespace plat::urlloading
