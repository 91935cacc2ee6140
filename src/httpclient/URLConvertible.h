// URL conversion: anything that can become a URL (text, URL, URL components)
// and anything that can become a URL request, the URLRequest constructor
// from URL, method and headers, and delayed execution on a queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/URLComponents.h"
#include "platform/urlloading/URLRequest.h"

namespace httpclient {

using plat::urlloading::URLRequest;

// Header field name to value, in the order given.
using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

enum class HTTPMethod { options, get, head, post, put, patch, delete_, trace, connect };
const char* rawValue(HTTPMethod method);
// Exact (case-sensitive) match of a raw value.
std::optional<HTTPMethod> httpMethodFromRawValue(std::string_view text);

class URLConvertible {
  public:
    URLConvertible(std::string text) : value_(std::move(text)) {}
    URLConvertible(const char* text) : value_(std::string(text)) {}
    URLConvertible(plat::URL url) : value_(std::move(url)) {}
    URLConvertible(plat::URLComponents components) : value_(std::move(components)) {}

    // The URL, or an invalidURL error carrying this value.
    plat::Result<plat::URL> asURL() const;
    // The value as string interpolation shows it: text as itself, a URL by
    // its absolute string, components by their string.
    std::string description() const;
    const std::variant<std::string, plat::URL, plat::URLComponents>& value() const { return value_; }

  private:
    std::variant<std::string, plat::URL, plat::URLComponents> value_;
};

// Anything that gives a URL request: a URLRequest itself, or a callback that
// may fail.
class URLRequestConvertible {
  public:
    using Converter = std::function<plat::Result<URLRequest>()>;
    URLRequestConvertible(URLRequest request) : request_(std::move(request)) {}
    URLRequestConvertible(Converter converter) : converter_(std::move(converter)) {}

    plat::Result<URLRequest> asURLRequest() const;
    // asURLRequest's request, or absent when it fails.
    std::optional<URLRequest> urlRequest() const;

  private:
    std::optional<URLRequest> request_;
    Converter converter_;
};

// A request for `url` with the protocol's cache policy, a 60-second time-out,
// the method and the headers (each set once, replacing a value present).
plat::Result<URLRequest> makeURLRequest(const URLConvertible& url, HTTPMethod method,
                                        const std::optional<HTTPHeaders>& headers = std::nullopt);

// Runs `block` on `queue` after `delay` seconds.
void asyncAfter(const plat::dispatch::Queue& queue, double delay, plat::dispatch::Block block);

}  // namespace httpclient
