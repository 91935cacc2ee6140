#include "httpclient/ParameterEncoding.h"

#include <algorithm>

#include "httpclient/CourierError.h"
#include "platform/foundation/JSONSerialization.h"

namespace httpclient {

namespace {

constexpr plat::CharacterSet kQueryComponentAllowed =
    plat::CharacterSet::URLQueryAllowed().removing(":#[]@!$&'()*+,;=");

using PE = CourierError::ParameterEncodingFailureReason;

}  // namespace

const URLEncoding& URLEncoding::default_() {
    static const URLEncoding e;
    return e;
}
const URLEncoding& URLEncoding::methodDependent() {
    static const URLEncoding e;
    return e;
}
const URLEncoding& URLEncoding::queryString() {
    static const URLEncoding e(Destination::queryString);
    return e;
}
const URLEncoding& URLEncoding::httpBody() {
    static const URLEncoding e(Destination::httpBody);
    return e;
}

std::string URLEncoding::escape(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (kQueryComponentAllowed.contains(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> URLEncoding::queryComponents(
    const std::string& key, const plat::Value& value) const {
    std::vector<std::pair<std::string, std::string>> out;
    if (auto* dict = value.asDictionary()) {
        for (const auto& [nestedKey, nested] : *dict) {
            auto part = queryComponents(key + "[" + nestedKey + "]", nested);
            out.insert(out.end(), part.begin(), part.end());
        }
    } else if (auto* array = value.asArray()) {
        for (const auto& element : *array) {
            auto part = queryComponents(arrayEncoding == ArrayEncoding::brackets ? key + "[]" : key, element);
            out.insert(out.end(), part.begin(), part.end());
        }
    } else if (value.isBool()) {
        const bool b = value.boolValue();
        std::string text = boolEncoding == BoolEncoding::numeric ? (b ? "1" : "0") : (b ? "true" : "false");
        out.emplace_back(escape(key), escape(text));
    } else if (auto* s = value.asString()) {
        out.emplace_back(escape(key), escape(*s));
    } else {
        out.emplace_back(escape(key), escape(value.description()));
    }
    return out;
}

std::string URLEncoding::query(const Parameters& parameters) const {
    auto keys = parameters.keys();
    std::sort(keys.begin(), keys.end());
    std::string out;
    for (const auto& key : keys) {
        for (const auto& [k, v] : queryComponents(key, *parameters.find(key))) {
            if (!out.empty())
                out += '&';
            out += k;
            out += '=';
            out += v;
        }
    }
    return out;
}

plat::Result<URLRequest> URLEncoding::encode(const URLRequestConvertible& convertible,
                                             const std::optional<Parameters>& parameters) const {
    auto converted = convertible.asURLRequest();
    if (!converted)
        return converted.error();
    URLRequest request = std::move(converted).value();
    if (!parameters)
        return request;

    auto method = httpMethodFromRawValue(request.httpMethod.value_or("GET"));
    const bool intoURL =
        method &&
        (destination == Destination::queryString ||
         (destination == Destination::methodDependent &&
          (*method == HTTPMethod::get || *method == HTTPMethod::head || *method == HTTPMethod::delete_)));
    if (intoURL) {
        if (!request.url)
            return plat::ErrorPtr(CourierError::parameterEncodingFailed(PE::missingURL));
        if (parameters->empty())
            return request;
        plat::URLComponents components(*request.url);
        const auto& existing = components.percentEncodedQuery();
        std::string q = existing ? *existing + "&" : std::string();
        q += query(*parameters);
        components.setPercentEncodedQuery(q);
        request.url = components.url();
        return request;
    }
    if (!request.valueForHTTPHeaderField("Content-Type"))
        request.setValue("application/x-www-form-urlencoded; charset=utf-8", "Content-Type");
    request.httpBody = plat::Data::fromString(query(*parameters));
    return request;
}

const JSONEncoding& JSONEncoding::default_() {
    static const JSONEncoding e;
    return e;
}
const JSONEncoding& JSONEncoding::prettyPrinted() {
    static const JSONEncoding e(plat::JSONWritingPrettyPrinted);
    return e;
}

plat::Result<URLRequest> JSONEncoding::encode(const URLRequestConvertible& request,
                                              const std::optional<Parameters>& parameters) const {
    std::optional<plat::Value> object;
    if (parameters)
        object = plat::Value(*parameters);
    return encodeJSONObject(request, object);
}

plat::Result<URLRequest> JSONEncoding::encodeJSONObject(const URLRequestConvertible& convertible,
                                                        const std::optional<plat::Value>& jsonObject) const {
    auto converted = convertible.asURLRequest();
    if (!converted)
        return converted.error();
    URLRequest request = std::move(converted).value();
    if (!jsonObject)
        return request;
    // Check first: values that JSON cannot hold are refused, never written.
    const bool fragments = options & plat::JSONWritingFragmentsAllowed;
    auto data = plat::JSONSerialization::dataWithJSONObject(*jsonObject, options);
    plat::ErrorPtr failure = data ? nullptr : data.error();
    if (!failure && !fragments && !plat::JSONSerialization::isValidJSONObject(*jsonObject)) {
        failure = plat::Error::withDescription(plat::CocoaErrorDomain, plat::PropertyListWriteInvalidError,
                                               "Invalid top-level type in JSON write");
    }
    if (failure)
        return plat::ErrorPtr(CourierError::parameterEncodingFailed(PE::jsonEncodingFailed, failure));
    if (!request.valueForHTTPHeaderField("Content-Type"))
        request.setValue("application/json", "Content-Type");
    request.httpBody = std::move(data).value();
    return request;
}

const PropertyListEncoding& PropertyListEncoding::default_() {
    static const PropertyListEncoding e;
    return e;
}
const PropertyListEncoding& PropertyListEncoding::xml() {
    static const PropertyListEncoding e(Format::XML);
    return e;
}
const PropertyListEncoding& PropertyListEncoding::binary() {
    static const PropertyListEncoding e(Format::Binary);
    return e;
}

plat::Result<URLRequest> PropertyListEncoding::encode(const URLRequestConvertible& convertible,
                                                      const std::optional<Parameters>& parameters) const {
    auto converted = convertible.asURLRequest();
    if (!converted)
        return converted.error();
    URLRequest request = std::move(converted).value();
    if (!parameters)
        return request;
    auto data = plat::PropertyListSerialization::dataWithPropertyList(plat::Value(*parameters), format);
    if (!data)
        return plat::ErrorPtr(
            CourierError::parameterEncodingFailed(PE::propertyListEncodingFailed, data.error()));
    if (!request.valueForHTTPHeaderField("Content-Type"))
        request.setValue("application/x-plist", "Content-Type");
    request.httpBody = std::move(data).value();
    return request;
}

}  // namespace httpclient
