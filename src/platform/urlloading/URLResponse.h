// URLResponse: the status and headers of a response, and what follows from
// them (MIME type, text encoding, expected length, suggested file name).
//
// Immutable once made; shared between threads as shared_ptr<const>.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/urlloading/URLRequest.h"

namespace plat::urlloading {

inline constexpr int64_t URLResponseUnknownLength = -1;

class HTTPURLResponse : public Object {
  public:
    // `contentDecoded` says the body is delivered decoded (gzip, deflate), in
    // which case the expected length is unknown.
    HTTPURLResponse(URL url, int statusCode, HTTPHeaderFields headers, bool contentDecoded = false);

    const URL& url() const { return url_; }
    int statusCode() const { return statusCode_; }
    const HTTPHeaderFields& allHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(const std::string& name) const {
        return headers_.valueForHTTPHeaderField(name);
    }
    // Content-Type before ";", trimmed and lower-cased; absent without one.
    const std::optional<std::string>& MIMEType() const { return mimeType_; }
    // The charset parameter without quotes.
    const std::optional<std::string>& textEncodingName() const { return textEncoding_; }
    // Content-Length, or URLResponseUnknownLength.
    int64_t expectedContentLength() const { return expectedLength_; }
    // One safe file name: Content-Disposition's filename* or filename, else
    // the URL's last path component, else "Unknown"; see safeFileName.
    std::string suggestedFilename() const;

    std::string description() const override;
    std::string className() const override { return "NSHTTPURLResponse"; }

  private:
    URL url_;
    int statusCode_;
    HTTPHeaderFields headers_;
    std::optional<std::string> mimeType_;
    std::optional<std::string> textEncoding_;
    int64_t expectedLength_ = URLResponseUnknownLength;
};

using HTTPURLResponsePtr = std::shared_ptr<const HTTPURLResponse>;

// Reduces a name a server proposed to one safe file name: only its last
// component after "/" or "\", NULs and control characters removed, leading
// dots stripped, never empty, "." or ".."; `fallback` when nothing is left.
std::string safeFileName(std::string_view proposed, std::string_view fallback = "Unknown");

// The value of `name` in a header with parameters (`text/html; charset="x"`).
std::optional<std::string> headerParameter(std::string_view header, std::string_view name);

}  // namespace plat::urlloading
