#include "httpclient/ResponseSerialization.h"

#include "httpclient/CourierError.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace httpclient {

using SE = CourierError::ResponseSerializationFailureReason;

const std::set<int>& emptyDataStatusCodes() {
    static const std::set<int>& codes = *new std::set<int>{204, 205};  // read until exit
    return codes;
}

namespace {
bool isEmptyResponse(const plat::urlloading::HTTPURLResponsePtr& response) {
    return response && emptyDataStatusCodes().count(response->statusCode());
}
}  // namespace

Result<plat::Data> serializeResponseData(const plat::urlloading::HTTPURLResponsePtr& response,
                                         const std::optional<plat::Data>& data, const plat::ErrorPtr& error) {
    if (error)
        return Result<plat::Data>::failure(error);
    if (isEmptyResponse(response))
        return Result<plat::Data>::success(plat::Data());
    if (data)
        return Result<plat::Data>::success(*data);
    return Result<plat::Data>::failure(CourierError::responseSerializationFailed(SE::inputDataNil));
}

Result<std::string> serializeResponseString(std::optional<plat::StringEncoding> encoding,
                                            const plat::urlloading::HTTPURLResponsePtr& response,
                                            const std::optional<plat::Data>& data,
                                            const plat::ErrorPtr& error) {
    using R = Result<std::string>;
    if (error)
        return R::failure(error);
    if (isEmptyResponse(response))
        return R::success(std::string());
    if (!data)
        return R::failure(CourierError::responseSerializationFailed(SE::inputDataNil));
    plat::StringEncoding chosen = plat::ISOLatin1StringEncoding;
    std::optional<std::string> charset;
    if (encoding) {
        chosen = *encoding;
    } else if (response && response->textEncodingName()) {
        charset = response->textEncodingName();
        chosen = plat::stringEncodingForIANACharsetName(*charset);
    }
    if (auto text = plat::stringFromData(*data, chosen))
        return R::success(std::move(*text));
    return R::failure(CourierError::stringSerializationFailed(chosen, std::move(charset)));
}

Result<plat::Value> serializeResponseJSON(unsigned options,
                                          const plat::urlloading::HTTPURLResponsePtr& response,
                                          const std::optional<plat::Data>& data,
                                          const plat::ErrorPtr& error) {
    using R = Result<plat::Value>;
    if (error)
        return R::failure(error);
    if (isEmptyResponse(response))
        return R::success(plat::Value());
    if (!data || data->empty())
        return R::failure(CourierError::responseSerializationFailed(SE::inputDataNilOrZeroLength));
    auto parsed = plat::JSONSerialization::JSONObjectWithData(*data, options);
    if (!parsed)
        return R::failure(
            CourierError::responseSerializationFailed(SE::jsonSerializationFailed, parsed.error()));
    return R::success(std::move(parsed).value());
}

Result<plat::Value> serializeResponsePropertyList(const plat::urlloading::HTTPURLResponsePtr& response,
                                                  const std::optional<plat::Data>& data,
                                                  const plat::ErrorPtr& error) {
    return serializeResponsePropertyList(PropertyListImmutable, response, data, error);
}

Result<plat::Value> serializeResponsePropertyList(unsigned options,
                                                  const plat::urlloading::HTTPURLResponsePtr& response,
                                                  const std::optional<plat::Data>& data,
                                                  const plat::ErrorPtr& error) {
    using R = Result<plat::Value>;
    if (error)
        return R::failure(error);
    if (options > PropertyListMutableContainersAndLeaves) {
        return R::failure(CourierError::responseSerializationFailed(
            SE::propertyListSerializationFailed,
            plat::Error::withDescription(
                plat::CocoaErrorDomain, 3840,
                "unknown property-list reading options " + std::to_string(options))));
    }
    if (isEmptyResponse(response))
        return R::success(plat::Value());
    if (!data || data->empty())
        return R::failure(CourierError::responseSerializationFailed(SE::inputDataNilOrZeroLength));
    auto parsed = plat::PropertyListSerialization::propertyListWithData(*data);
    if (!parsed)
        return R::failure(
            CourierError::responseSerializationFailed(SE::propertyListSerializationFailed, parsed.error()));
    return R::success(std::move(parsed).value());
}

namespace detail {

std::optional<plat::Data> readFile(const plat::URL& url) {
    auto data = plat::FileManager::defaultManager().dataWithContentsOfFile(url.path());
    if (!data)
        return std::nullopt;
    return std::move(data).value();
}

plat::ErrorPtr inputFileNil() {
    return CourierError::responseSerializationFailed(SE::inputFileNil);
}

plat::ErrorPtr inputFileReadFailed(const plat::URL& url) {
    return CourierError::inputFileReadFailed(url);
}

}  // namespace detail

}  // namespace httpclient
