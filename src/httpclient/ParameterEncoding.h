// Parameter encoding: writing a dictionary of parameters into a URL request,
// as a query string or form body (URLEncoding), a JSON body (JSONEncoding) or
// a property-list body (PropertyListEncoding).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/URLConvertible.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace httpclient {

using Parameters = plat::Dictionary;

class ParameterEncoding {
  public:
    virtual ~ParameterEncoding() = default;
    virtual plat::Result<URLRequest> encode(const URLRequestConvertible& request,
                                            const std::optional<Parameters>& parameters) const = 0;
};

class URLEncoding : public ParameterEncoding {
  public:
    enum class Destination { methodDependent, queryString, httpBody };
    enum class ArrayEncoding { brackets, noBrackets };
    enum class BoolEncoding { numeric, literal };

    explicit URLEncoding(Destination destination = Destination::methodDependent,
                         ArrayEncoding arrayEncoding = ArrayEncoding::brackets,
                         BoolEncoding boolEncoding = BoolEncoding::numeric)
        : destination(destination), arrayEncoding(arrayEncoding), boolEncoding(boolEncoding) {}

    static const URLEncoding& default_();
    static const URLEncoding& methodDependent();
    static const URLEncoding& queryString();
    static const URLEncoding& httpBody();

    plat::Result<URLRequest> encode(const URLRequestConvertible& request,
                                    const std::optional<Parameters>& parameters) const override;

    // The escaped (key, value) pairs of one parameter, nested values flattened.
    std::vector<std::pair<std::string, std::string>> queryComponents(const std::string& key,
                                                                     const plat::Value& value) const;
    // Percent-escaping for query components: everything outside the
    // URL-query-allowed set less ":#[]@!$&'()*+,;=" is encoded, byte by byte
    // over UTF-8 (never fails, whatever the bytes).
    static std::string escape(std::string_view text);
    // The sorted, escaped query text of a parameter dictionary.
    std::string query(const Parameters& parameters) const;

    Destination destination;
    ArrayEncoding arrayEncoding;
    BoolEncoding boolEncoding;
};

class JSONEncoding : public ParameterEncoding {
  public:
    explicit JSONEncoding(unsigned options = 0) : options(options) {}
    static const JSONEncoding& default_();
    static const JSONEncoding& prettyPrinted();

    plat::Result<URLRequest> encode(const URLRequestConvertible& request,
                                    const std::optional<Parameters>& parameters) const override;
    // The same for any JSON object, for instance a top-level array. Values JSON
    // cannot hold (NaN, infinities, bytes, dates, ...) fail with
    // jsonEncodingFailed instead of being written.
    plat::Result<URLRequest> encodeJSONObject(const URLRequestConvertible& request,
                                              const std::optional<plat::Value>& jsonObject) const;

    unsigned options;
};

class PropertyListEncoding : public ParameterEncoding {
  public:
    using Format = plat::PropertyListSerialization::Format;
    explicit PropertyListEncoding(Format format = Format::XML, int64_t options = 0)
        : format(format), options(options) {}
    static const PropertyListEncoding& default_();
    static const PropertyListEncoding& xml();
    static const PropertyListEncoding& binary();

    plat::Result<URLRequest> encode(const URLRequestConvertible& request,
                                    const std::optional<Parameters>& parameters) const override;

    Format format;
    int64_t options;
};

}  // namespace httpclient
