#include "httpclient/URLConvertible.h"

#include "httpclient/CourierError.h"

namespace httpclient {

const char* rawValue(HTTPMethod method) {
    switch (method) {
        case HTTPMethod::options:
            return "OPTIONS";
        case HTTPMethod::get:
            return "GET";
        case HTTPMethod::head:
            return "HEAD";
        case HTTPMethod::post:
            return "POST";
        case HTTPMethod::put:
            return "PUT";
        case HTTPMethod::patch:
            return "PATCH";
        case HTTPMethod::delete_:
            return "DELETE";
        case HTTPMethod::trace:
            return "TRACE";
        case HTTPMethod::connect:
            return "CONNECT";
    }
    return "GET";
}

std::optional<HTTPMethod> httpMethodFromRawValue(std::string_view text) {
    for (auto m : {HTTPMethod::options, HTTPMethod::get, HTTPMethod::head, HTTPMethod::post, HTTPMethod::put,
                   HTTPMethod::patch, HTTPMethod::delete_, HTTPMethod::trace, HTTPMethod::connect}) {
        if (text == rawValue(m))
            return m;
    }
    return std::nullopt;
}

plat::Result<plat::URL> URLConvertible::asURL() const {
    if (auto* url = std::get_if<plat::URL>(&value_))
        return *url;
    if (auto* text = std::get_if<std::string>(&value_)) {
        // The platform's parser refuses empty text and text with blanks.
        if (!text->empty() && text->find_first_of(" \t\r\n") == std::string::npos) {
            if (auto url = plat::URL::URLWithString(*text))
                return *url;
        }
        return plat::ErrorPtr(CourierError::invalidURL(*this));
    }
    if (auto url = std::get<plat::URLComponents>(value_).url())
        return *url;
    return plat::ErrorPtr(CourierError::invalidURL(*this));
}

std::string URLConvertible::description() const {
    if (auto* url = std::get_if<plat::URL>(&value_))
        return url->absoluteString();
    if (auto* text = std::get_if<std::string>(&value_))
        return *text;
    return std::get<plat::URLComponents>(value_).string().value_or("");
}

plat::Result<URLRequest> URLRequestConvertible::asURLRequest() const {
    if (request_)
        return *request_;
    if (!converter_)
        return URLRequest();
    return converter_();
}

std::optional<URLRequest> URLRequestConvertible::urlRequest() const {
    auto r = asURLRequest();
    if (!r)
        return std::nullopt;
    return std::move(r).value();
}

plat::Result<URLRequest> makeURLRequest(const URLConvertible& url, HTTPMethod method,
                                        const std::optional<HTTPHeaders>& headers) {
    auto converted = url.asURL();
    if (!converted)
        return converted.error();
    URLRequest request(std::move(converted).value(), 60.0);
    request.cachePolicy = plat::urlloading::URLRequestCachePolicy::UseProtocolCachePolicy;
    request.httpMethod = rawValue(method);
    if (headers) {
        for (const auto& [name, value] : *headers)
            request.setValue(value, name);
    }
    return request;
}

void asyncAfter(const plat::dispatch::Queue& queue, double delay, plat::dispatch::Block block) {
    if (delay <= 0)
        queue.async(std::move(block));
    else
        queue.after(delay, std::move(block));
}

}  // namespace httpclient
