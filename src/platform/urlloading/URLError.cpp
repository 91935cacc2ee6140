#include "platform/urlloading/URLError.h"

namespace plat::urlloading {

std::string URLErrorDescription(int64_t code) {
    switch (code) {
        case URLErrorCancelled:
            return "cancelled";
        case URLErrorBadURL:
            return "bad URL";
        case URLErrorTimedOut:
            return "The request timed out.";
        case URLErrorUnsupportedURL:
            return "unsupported URL";
        case URLErrorCannotFindHost:
            return "A server with the specified hostname could not be found.";
        case URLErrorCannotConnectToHost:
            return "Could not connect to the server.";
        case URLErrorNetworkConnectionLost:
            return "The network connection was lost.";
        case URLErrorResourceUnavailable:
            return "The requested resource couldn't be retrieved.";
        case URLErrorHTTPTooManyRedirects:
            return "too many HTTP redirects";
        case URLErrorNotConnectedToInternet:
            return "The Internet connection appears to be offline.";
        case URLErrorBadServerResponse:
            return "The server returned a bad response.";
        case URLErrorUserCancelledAuthentication:
            return "The user cancelled authentication.";
        case URLErrorCannotDecodeContentData:
            return "cannot decode content data";
        case URLErrorRequestBodyStreamExhausted:
            return "request body stream exhausted";
        case URLErrorFileDoesNotExist:
            return "The requested URL was not found on this server.";
        case URLErrorDataLengthExceedsMaximum:
            return "resource exceeds maximum size";
        case URLErrorSecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case URLErrorServerCertificateHasBadDate:
            return "The certificate for this server has expired.";
        case URLErrorServerCertificateUntrusted:
        case URLErrorServerCertificateHasUnknownRoot:
            return "The certificate for this server is invalid.";
        case URLErrorServerCertificateNotYetValid:
            return "The certificate for this server is not yet valid.";
        case URLErrorCannotCreateFile:
            return "cannot create file";
        case URLErrorCannotOpenFile:
            return "cannot open file";
        case URLErrorCannotWriteToFile:
            return "cannot write file";
        case URLErrorCannotMoveFile:
            return "cannot move file";
        default:
            return "unknown error";
    }
}

namespace {

ErrorPtr make(int64_t code, const std::optional<URL>& failingURL, const std::string& description,
              const std::string& detail, const std::optional<Data>& resumeData) {
    Dictionary info;
    info.set(LocalizedDescriptionKey, Value(description));
    if (failingURL) {
        info.set(URLErrorFailingURLErrorKey, Value(URLObject::make(*failingURL)));
        info.set(URLErrorFailingURLStringErrorKey, Value(failingURL->absoluteString()));
    }
    if (!detail.empty())
        info.set(DebugDescriptionErrorKey, Value(detail));
    if (resumeData)
        info.set(URLSessionDownloadTaskResumeData, Value(*resumeData));
    return Error::make(URLErrorDomain, code, std::move(info));
}

}  // namespace

ErrorPtr makeURLError(int64_t code, const std::optional<URL>& failingURL, const std::string& detail,
                      const std::optional<Data>& resumeData) {
    return make(code, failingURL, URLErrorDescription(code), detail, resumeData);
}

ErrorPtr makeURLErrorWithReason(int64_t code, const std::optional<URL>& failingURL, const std::string& reason,
                                const std::optional<Data>& resumeData) {
    std::string description = URLErrorDescription(code);
    if (!reason.empty())
        description += " (" + reason + ")";
    return make(code, failingURL, description, reason, resumeData);
}

std::string bodyTooLargeReason(int64_t limit) {
    return "the decoded response body is larger than the " + std::to_string(limit) +
           " bytes a body collected in memory may have (URLSessionConfiguration::maximumInMemoryBodyLength); "
           "use a download task or take the data as it arrives";
}

}  // namespace plat::urlloading
