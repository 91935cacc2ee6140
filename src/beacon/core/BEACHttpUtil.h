// Status-code rules of the pipeline, the response type ingestions report and
// secret hiding for logs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// What an HTTP exchange answered: the status and the response headers (names
// as the server sent them).
struct BEACHttpResponse {
    int64_t statusCode = 0;
    plat::Dictionary headers;
    std::string url;

    // The first header whose name equals `name` ignoring case.
    std::optional<std::string> header(const std::string& name) const;
};
using BEACHttpResponsePtr = std::shared_ptr<const BEACHttpResponse>;

class BEACHttpUtil {
  public:
    // 200 to 299.
    static bool isSuccessStatusCode(int64_t statusCode) { return statusCode >= 200 && statusCode < 300; }
    // 0 (no response), 408, 429 and 500 and above.
    static bool isRecoverableError(int64_t statusCode) {
        return statusCode >= 500 || statusCode == 408 || statusCode == 429 || statusCode == 0;
    }
    static int64_t statusOf(const BEACHttpResponsePtr& response) {
        return response ? response->statusCode : 0;
    }
    // Every character but the last 8 replaced by "*"; all of them for 8 or fewer.
    static std::string hideSecret(const std::string& secret);
    // The string with every occurrence of the secret hidden as above; an
    // empty secret changes nothing.
    static std::string hideSecretInString(const std::string& string, const std::string& secret);
};
