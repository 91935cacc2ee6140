// URLRequest and HTTPHeaderFields: the request a task sends.
//
// Header names keep the case they were set with; look-ups and replacement
// ignore case. Plain values: copy freely, no thread affinity.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/URL.h"

namespace plat::urlloading {

// Header fields in the order first set, names compared without case.
class HTTPHeaderFields {
  public:
    using Field = std::pair<std::string, std::string>;

    // Replaces an existing field of that name (keeping its position and the
    // new name's case) or appends one; a null value removes it.
    void setValue(const std::optional<std::string>& value, const std::string& name);
    // Joins with ", " as HTTP allows for repeated fields.
    void addValue(std::string_view value, std::string_view name);
    std::optional<std::string> valueForHTTPHeaderField(const std::string& name) const;
    // The value of the field, without a copy; null when there is none
    // (valid until the fields change).
    const std::string* find(std::string_view name) const {
        auto it = findField(name);
        return it == fields_.end() ? nullptr : &it->second;
    }
    bool contains(std::string_view name) const;

    const std::vector<Field>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }
    void reserve(std::size_t count) { fields_.reserve(count); }
    std::size_t size() const { return fields_.size(); }

  private:
    std::vector<Field>::const_iterator findField(std::string_view name) const;

    std::vector<Field> fields_;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b);

enum class URLRequestCachePolicy {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
};

struct URLRequest {
    URLRequest() = default;
    explicit URLRequest(URL u, double timeout = 60) : url(std::move(u)), timeoutInterval(timeout) {}

    std::optional<URL> url;
    std::optional<std::string> httpMethod;  // absent means "GET"
    HTTPHeaderFields allHTTPHeaderFields;
    std::optional<Data> httpBody;
    // Seconds without a byte moving before the task fails with timed out;
    // 0 or less means the session configuration's interval.
    double timeoutInterval = 0;
    URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
    bool httpShouldHandleCookies = true;

    std::string method() const { return httpMethod.value_or("GET"); }
    // The same without a copy (NUL-terminated at size(): it views the
    // request's own string or a literal); valid while the request is unchanged.
    std::string_view methodView() const {
        return httpMethod ? std::string_view(*httpMethod) : std::string_view("GET");
    }
    void setValue(const std::optional<std::string>& value, const std::string& name) {
        allHTTPHeaderFields.setValue(value, name);
    }
    std::optional<std::string> valueForHTTPHeaderField(const std::string& name) const {
        return allHTTPHeaderFields.valueForHTTPHeaderField(name);
    }
    // The absolute URL text, or "url: nil" without a URL.
    std::string description() const { return url ? url->absoluteString() : "url: nil"; }
};

}  // namespace plat::urlloading
