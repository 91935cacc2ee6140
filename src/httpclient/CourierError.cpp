#include "httpclient/CourierError.h"

namespace httpclient {

namespace {

using PE = CourierError::ParameterEncodingFailureReason;
using ME = CourierError::MultipartEncodingFailureReason;
using VE = CourierError::ResponseValidationFailureReason;
using SE = CourierError::ResponseSerializationFailureReason;

std::string urlText(const std::optional<plat::URL>& url) {
    return url ? url->absoluteString() : std::string();
}

std::string errorText(const plat::ErrorPtr& error) {
    return error ? error->description() : std::string("nil");
}

std::string localizedText(const plat::ErrorPtr& error) {
    return error ? error->localizedDescription() : std::string("nil");
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += ",";
        out += parts[i];
    }
    return out;
}

// The encoding's display name; for a charset no encoding is known by, that
// name as the response gave it.
std::string encodingText(const CourierError::Payload& p) {
    std::string name = plat::localizedNameOfStringEncoding(p.encoding);
    if (p.charsetName && (name.empty() || p.encoding == plat::InvalidStringEncoding))
        return "unknown charset \"" + *p.charsetName + "\"";
    return name.empty() ? "unknown encoding " + std::to_string(p.encoding) : name;
}

std::string describe(const CourierError::Payload& p) {
    using Case = CourierError::Case;
    switch (p.errorCase) {
        case Case::invalidURL:
            return "URL is not valid: " +
                   (p.urlConvertible ? p.urlConvertible->description() : std::string());
        case Case::parameterEncodingFailed:
            switch (static_cast<PE>(p.reason)) {
                case PE::missingURL:
                    return "URL request to encode was missing a URL";
                case PE::jsonEncodingFailed:
                    return "JSON could not be encoded because of error:\n" + localizedText(p.error);
                case PE::propertyListEncodingFailed:
                    return "PropertyList could not be encoded because of error:\n" + localizedText(p.error);
            }
            break;
        case Case::multipartEncodingFailed:
            switch (static_cast<ME>(p.reason)) {
                case ME::bodyPartURLInvalid:
                    return "The URL provided is not a file URL: " + urlText(p.url);
                case ME::bodyPartFilenameInvalid:
                    return "The URL provided does not have a valid filename: " + urlText(p.url);
                case ME::bodyPartFileNotReachable:
                    return "The URL provided is not reachable: " + urlText(p.url);
                case ME::bodyPartFileNotReachableWithError:
                    return "The system returned an error while checking the provided URL for "
                           "reachability.\nURL: " +
                           urlText(p.url) + "\nError: " + errorText(p.error);
                case ME::bodyPartFileIsDirectory:
                    return "The URL provided is a directory: " + urlText(p.url);
                case ME::bodyPartFileSizeNotAvailable:
                    return "Could not fetch the file size from the provided URL: " + urlText(p.url);
                case ME::bodyPartFileSizeQueryFailedWithError:
                    return "The system returned an error while attempting to fetch the file size from the "
                           "provided URL.\nURL: " +
                           urlText(p.url) + "\nError: " + errorText(p.error);
                case ME::bodyPartInputStreamCreationFailed:
                    return "Failed to create an InputStream for the provided URL: " + urlText(p.url);
                case ME::outputStreamCreationFailed:
                    return "Failed to create an OutputStream for URL: " + urlText(p.url);
                case ME::outputStreamFileAlreadyExists:
                    return "A file already exists at the provided URL: " + urlText(p.url);
                case ME::outputStreamURLInvalid:
                    return "The provided OutputStream URL is invalid: " + urlText(p.url);
                case ME::outputStreamWriteFailed:
                    return "OutputStream write failed with error: " + errorText(p.error);
                case ME::inputStreamReadFailed:
                    return "InputStream read failed with error: " + errorText(p.error);
            }
            break;
        case Case::responseValidationFailed:
            switch (static_cast<VE>(p.reason)) {
                case VE::dataFileNil:
                    return "Response could not be validated, data file was nil.";
                case VE::dataFileReadFailed:
                    return "Response could not be validated, data file could not be read: " + urlText(p.url) +
                           ".";
                case VE::missingContentType:
                    return "Response Content-Type was missing and acceptable content types (" +
                           joined(p.acceptable) + ") do not match \"*/*\".";
                case VE::unacceptableContentType:
                    return "Response Content-Type \"" + p.responseType +
                           "\" does not match any acceptable types: " + joined(p.acceptable) + ".";
                case VE::unacceptableStatusCode:
                    return "Response status code was unacceptable: " + std::to_string(p.code) + ".";
            }
            break;
        case Case::responseSerializationFailed:
            switch (static_cast<SE>(p.reason)) {
                case SE::inputDataNil:
                    return "Response could not be serialized, input data was nil.";
                case SE::inputDataNilOrZeroLength:
                    return "Response could not be serialized, input data was nil or zero length.";
                case SE::inputFileNil:
                    return "Response could not be serialized, input file was nil.";
                case SE::inputFileReadFailed:
                    return "Response could not be serialized, input file could not be read: " +
                           urlText(p.url) + ".";
                case SE::stringSerializationFailed:
                    return "String could not be serialized with encoding: " + encodingText(p) + ".";
                case SE::jsonSerializationFailed:
                    return "JSON could not be serialized because of error:\n" + localizedText(p.error);
                case SE::propertyListSerializationFailed:
                    return "PropertyList could not be serialized because of error:\n" +
                           localizedText(p.error);
            }
            break;
    }
    return {};
}

CourierError::Payload payload(CourierError::Case c, int reason) {
    CourierError::Payload p;
    p.errorCase = c;
    p.reason = reason;
    return p;
}

}  // namespace

CourierError::CourierError(Payload payload)
    : plat::Error(CourierErrorDomain, static_cast<int64_t>(payload.errorCase),
                  plat::Dictionary{{plat::LocalizedDescriptionKey, plat::Value(describe(payload))}}),
      p_(std::move(payload)) {}

CourierErrorPtr CourierError::make(Payload payload) {
    return std::make_shared<const CourierError>(std::move(payload));
}

CourierErrorPtr CourierError::invalidURL(URLConvertible url) {
    auto p = payload(Case::invalidURL, 0);
    p.urlConvertible = std::move(url);
    return make(std::move(p));
}

CourierErrorPtr CourierError::parameterEncodingFailed(ParameterEncodingFailureReason reason,
                                                      plat::ErrorPtr error) {
    auto p = payload(Case::parameterEncodingFailed, static_cast<int>(reason));
    if (reason != PE::missingURL)
        p.error = std::move(error);
    return make(std::move(p));
}

CourierErrorPtr CourierError::multipartEncodingFailed(MultipartEncodingFailureReason reason,
                                                      std::optional<plat::URL> url, plat::ErrorPtr error) {
    auto p = payload(Case::multipartEncodingFailed, static_cast<int>(reason));
    if (reason != ME::outputStreamWriteFailed && reason != ME::inputStreamReadFailed)
        p.url = std::move(url);
    if (reason == ME::bodyPartFileNotReachableWithError ||
        reason == ME::bodyPartFileSizeQueryFailedWithError || reason == ME::outputStreamWriteFailed ||
        reason == ME::inputStreamReadFailed)
        p.error = std::move(error);
    return make(std::move(p));
}

CourierErrorPtr CourierError::dataFileNil() {
    return make(payload(Case::responseValidationFailed, static_cast<int>(VE::dataFileNil)));
}

CourierErrorPtr CourierError::dataFileReadFailed(plat::URL at) {
    auto p = payload(Case::responseValidationFailed, static_cast<int>(VE::dataFileReadFailed));
    p.url = std::move(at);
    return make(std::move(p));
}

CourierErrorPtr CourierError::missingContentType(std::vector<std::string> acceptableContentTypes) {
    auto p = payload(Case::responseValidationFailed, static_cast<int>(VE::missingContentType));
    p.acceptable = std::move(acceptableContentTypes);
    return make(std::move(p));
}

CourierErrorPtr CourierError::unacceptableContentType(std::vector<std::string> acceptableContentTypes,
                                                      std::string responseContentType) {
    auto p = payload(Case::responseValidationFailed, static_cast<int>(VE::unacceptableContentType));
    p.acceptable = std::move(acceptableContentTypes);
    p.responseType = std::move(responseContentType);
    return make(std::move(p));
}

CourierErrorPtr CourierError::unacceptableStatusCode(int64_t code) {
    auto p = payload(Case::responseValidationFailed, static_cast<int>(VE::unacceptableStatusCode));
    p.code = code;
    return make(std::move(p));
}

CourierErrorPtr CourierError::responseSerializationFailed(ResponseSerializationFailureReason reason,
                                                          plat::ErrorPtr error) {
    auto p = payload(Case::responseSerializationFailed, static_cast<int>(reason));
    if (reason == SE::jsonSerializationFailed || reason == SE::propertyListSerializationFailed)
        p.error = std::move(error);
    return make(std::move(p));
}

CourierErrorPtr CourierError::inputFileReadFailed(plat::URL at) {
    auto p = payload(Case::responseSerializationFailed, static_cast<int>(SE::inputFileReadFailed));
    p.url = std::move(at);
    return make(std::move(p));
}

CourierErrorPtr CourierError::stringSerializationFailed(plat::StringEncoding encoding,
                                                        std::optional<std::string> charsetName) {
    auto p = payload(Case::responseSerializationFailed, static_cast<int>(SE::stringSerializationFailed));
    p.encoding = encoding;
    p.charsetName = std::move(charsetName);
    return make(std::move(p));
}

CourierErrorPtr CourierError::from(const plat::ErrorPtr& error) {
    return std::dynamic_pointer_cast<const CourierError>(error);
}

std::optional<CourierError::ParameterEncodingFailureReason> CourierError::parameterEncodingReason() const {
    if (p_.errorCase != Case::parameterEncodingFailed)
        return std::nullopt;
    return static_cast<PE>(p_.reason);
}

std::optional<CourierError::MultipartEncodingFailureReason> CourierError::multipartEncodingReason() const {
    if (p_.errorCase != Case::multipartEncodingFailed)
        return std::nullopt;
    return static_cast<ME>(p_.reason);
}

std::optional<CourierError::ResponseValidationFailureReason> CourierError::responseValidationReason() const {
    if (p_.errorCase != Case::responseValidationFailed)
        return std::nullopt;
    return static_cast<VE>(p_.reason);
}

std::optional<CourierError::ResponseSerializationFailureReason> CourierError::responseSerializationReason()
    const {
    if (p_.errorCase != Case::responseSerializationFailed)
        return std::nullopt;
    return static_cast<SE>(p_.reason);
}

std::optional<URLConvertible> CourierError::urlConvertible() const {
    return p_.urlConvertible;
}

std::optional<plat::URL> CourierError::url() const {
    if (p_.errorCase != Case::multipartEncodingFailed)
        return std::nullopt;
    return p_.url;
}

plat::ErrorPtr CourierError::underlyingError() const {
    if (p_.errorCase == Case::invalidURL || p_.errorCase == Case::responseValidationFailed)
        return nullptr;
    return p_.error;
}

std::optional<std::vector<std::string>> CourierError::acceptableContentTypes() const {
    auto r = responseValidationReason();
    if (r == VE::missingContentType || r == VE::unacceptableContentType)
        return p_.acceptable;
    return std::nullopt;
}

std::optional<std::string> CourierError::responseContentType() const {
    if (responseValidationReason() == VE::unacceptableContentType)
        return p_.responseType;
    return std::nullopt;
}

std::optional<int64_t> CourierError::responseCode() const {
    if (responseValidationReason() == VE::unacceptableStatusCode)
        return p_.code;
    return std::nullopt;
}

std::optional<plat::StringEncoding> CourierError::failedStringEncoding() const {
    if (responseSerializationReason() == SE::stringSerializationFailed)
        return p_.encoding;
    return std::nullopt;
}

AdaptError::AdaptError(plat::ErrorPtr error)
    : plat::Error(AdaptErrorDomain, 1,
                  plat::Dictionary{{plat::LocalizedDescriptionKey,
                                    plat::Value(error ? error->localizedDescription() : std::string())}}),
      error_(std::move(error)) {}

plat::ErrorPtr adaptErrorUnwrapped(const plat::ErrorPtr& error) {
    if (auto adapt = std::dynamic_pointer_cast<const AdaptError>(error))
        return adapt->error();
    return nullptr;
}

}  // namespace httpclient
