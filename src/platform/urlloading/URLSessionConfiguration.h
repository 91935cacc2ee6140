// URLSessionConfiguration: what a session copies when it is made. A value:
// change a copy, then hand it to URLSession.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/urlloading/HTTPCookieStorage.h"
#include "platform/urlloading/URLCache.h"
#include "platform/urlloading/URLCredential.h"
#include "platform/urlloading/URLRequest.h"

namespace plat::urlloading {

struct URLSessionConfiguration {
    // Shared cookie and credential storages.
    static URLSessionConfiguration defaultSessionConfiguration();
    // A cookie storage and a credential storage of its own, never shared.
    static URLSessionConfiguration ephemeralSessionConfiguration();

    // Kept for callers that route work by it; sessions run in process either way.
    std::optional<std::string> identifier;
    // Seconds without a byte moving before a task fails with timed out
    // (a request's own timeoutInterval wins when positive).
    double timeoutIntervalForRequest = 60;
    // Seconds a task may take in all.
    double timeoutIntervalForResource = 7 * 24 * 3600;
    // Sent with every request unless the request sets the same field.
    HTTPHeaderFields httpAdditionalHeaders;
    int httpMaximumConnectionsPerHost = 6;
    bool httpShouldSetCookies = true;
    HTTPCookieAcceptPolicy httpCookieAcceptPolicy = HTTPCookieAcceptPolicy::Always;
    std::shared_ptr<HTTPCookieStorage> httpCookieStorage;        // may be null
    std::shared_ptr<URLCredentialStorage> urlCredentialStorage;  // may be null
    // Where responses are kept for later requests (see URLCache); null:
    // nothing is cached. Requests made with the default policy take this one.
    std::shared_ptr<URLCache> urlCache;
    URLRequestCachePolicy requestCachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;

    // The largest response body, after content decoding (gzip, deflate,
    // br), that is collected in memory: by the session for a data task with
    // a completion handler, and by clients that collect what didReceiveData
    // delivers (the HTTP client library's data requests). A larger body
    // fails the task with URLErrorDataLengthExceedsMaximum. Bodies streamed
    // to a delegate as they arrive, and downloads (written to a file), have
    // no limit. 0: no limit.
    int64_t maximumInMemoryBodyLength = 128ll * 1024 * 1024;

    // PEM file of roots trusted besides the system's (tests, private CAs).
    std::optional<std::string> trustedCertificatesFile;
    // False ignores http_proxy and friends (loopback tests must not be proxied).
    bool connectionProxyFromEnvironment = true;
};

}  // namespace plat::urlloading
