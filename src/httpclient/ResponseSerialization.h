// Response serialisation: turning a finished request's bytes (or downloaded
// file) into a Result of a typed value, for raw bytes, text, JSON and
// property lists, and the serializer values callers may supply their own
// callbacks through.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>

#include "httpclient/Result.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/StringEncoding.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/urlloading/URLRequest.h"
#include "platform/urlloading/URLResponse.h"

namespace httpclient {

// Top-level scalars are accepted as the reader finds them.
inline constexpr unsigned kDefaultJSONReadingOptions = plat::JSONReadingFragmentsAllowed;

// Property-list reading options (the platform's mutability options). A
// serialised value is a tree of the caller's own, which it may change at
// will, so each of the three gives the same tree; any other value is refused
// (propertyListSerializationFailed naming it) rather than ignored.
enum PropertyListReadOptions : unsigned {
    PropertyListImmutable = 0,
    PropertyListMutableContainers = 1,
    PropertyListMutableContainersAndLeaves = 2,
};

// Status codes whose responses count as empty: 204 and 205.
const std::set<int>& emptyDataStatusCodes();

template <class T>
struct DataResponseSerializer {
    using SerializedObject = T;
    using Callback = std::function<Result<T>(const std::optional<plat::urlloading::URLRequest>&,
                                             const plat::urlloading::HTTPURLResponsePtr&,
                                             const std::optional<plat::Data>&, const plat::ErrorPtr&)>;
    explicit DataResponseSerializer(Callback callback) : serializeResponse(std::move(callback)) {}
    Callback serializeResponse;
};

template <class T>
struct DownloadResponseSerializer {
    using SerializedObject = T;
    using Callback = std::function<Result<T>(const std::optional<plat::urlloading::URLRequest>&,
                                             const plat::urlloading::HTTPURLResponsePtr&,
                                             const std::optional<plat::URL>&, const plat::ErrorPtr&)>;
    explicit DownloadResponseSerializer(Callback callback) : serializeResponse(std::move(callback)) {}
    Callback serializeResponse;
};

Result<plat::Data> serializeResponseData(const plat::urlloading::HTTPURLResponsePtr& response,
                                         const std::optional<plat::Data>& data, const plat::ErrorPtr& error);
// Without an encoding: the response's charset, else ISO Latin 1.
Result<std::string> serializeResponseString(std::optional<plat::StringEncoding> encoding,
                                            const plat::urlloading::HTTPURLResponsePtr& response,
                                            const std::optional<plat::Data>& data,
                                            const plat::ErrorPtr& error);
Result<plat::Value> serializeResponseJSON(unsigned options,
                                          const plat::urlloading::HTTPURLResponsePtr& response,
                                          const std::optional<plat::Data>& data, const plat::ErrorPtr& error);
Result<plat::Value> serializeResponsePropertyList(unsigned options,
                                                  const plat::urlloading::HTTPURLResponsePtr& response,
                                                  const std::optional<plat::Data>& data,
                                                  const plat::ErrorPtr& error);
// The same with PropertyListImmutable.
Result<plat::Value> serializeResponsePropertyList(const plat::urlloading::HTTPURLResponsePtr& response,
                                                  const std::optional<plat::Data>& data,
                                                  const plat::ErrorPtr& error);

// The download form of a data serialisation: the file's bytes (or the
// error for a missing or unreadable file) handed to `serialize`.
template <class T>
Result<T> serializeDownloadedFile(
    const plat::urlloading::HTTPURLResponsePtr& response, const std::optional<plat::URL>& fileURL,
    const plat::ErrorPtr& error,
    const std::function<Result<T>(const plat::urlloading::HTTPURLResponsePtr&,
                                  const std::optional<plat::Data>&)>& serialize);

namespace detail {
// Reads the whole file; absent when it cannot be read.
std::optional<plat::Data> readFile(const plat::URL& url);
[[nodiscard]] plat::ErrorPtr inputFileNil();
[[nodiscard]] plat::ErrorPtr inputFileReadFailed(const plat::URL& url);
}  // namespace detail

template <class T>
Result<T> serializeDownloadedFile(
    const plat::urlloading::HTTPURLResponsePtr& response, const std::optional<plat::URL>& fileURL,
    const plat::ErrorPtr& error,
    const std::function<Result<T>(const plat::urlloading::HTTPURLResponsePtr&,
                                  const std::optional<plat::Data>&)>& serialize) {
    if (error)
        return Result<T>::failure(error);
    if (!fileURL)
        return Result<T>::failure(detail::inputFileNil());
    auto data = detail::readFile(*fileURL);
    if (!data)
        return Result<T>::failure(detail::inputFileReadFailed(*fileURL));
    return serialize(response, data);
}

}  // namespace httpclient
