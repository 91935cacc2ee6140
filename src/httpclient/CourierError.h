// CourierError: every failure the HTTP client library detects itself, as one
// error value (a plat::Error, so it travels as ErrorPtr next to transport
// errors) with a case, a reason and the reason's values. AdaptError wraps
// what a request adapter threw.
//
// Find the typed error behind an ErrorPtr with CourierError::from(error).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "httpclient/URLConvertible.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/StringEncoding.h"
#include "platform/foundation/URL.h"

namespace httpclient {

inline constexpr const char* CourierErrorDomain = "httpclient.CourierError";
inline constexpr const char* AdaptErrorDomain = "httpclient.AdaptError";

class CourierError;
using CourierErrorPtr = std::shared_ptr<const CourierError>;

class CourierError : public plat::Error {
  public:
    enum class Case {
        invalidURL = 1,
        parameterEncodingFailed,
        multipartEncodingFailed,
        responseValidationFailed,
        responseSerializationFailed,
    };
    enum class ParameterEncodingFailureReason { jsonEncodingFailed, propertyListEncodingFailed, missingURL };
    enum class MultipartEncodingFailureReason {
        bodyPartURLInvalid,
        bodyPartFilenameInvalid,
        bodyPartFileNotReachable,
        bodyPartFileNotReachableWithError,
        bodyPartFileIsDirectory,
        bodyPartFileSizeNotAvailable,
        bodyPartFileSizeQueryFailedWithError,
        bodyPartInputStreamCreationFailed,
        outputStreamCreationFailed,
        outputStreamFileAlreadyExists,
        outputStreamURLInvalid,
        outputStreamWriteFailed,
        inputStreamReadFailed,
    };
    enum class ResponseValidationFailureReason {
        dataFileNil,
        dataFileReadFailed,
        missingContentType,
        unacceptableContentType,
        unacceptableStatusCode,
    };
    enum class ResponseSerializationFailureReason {
        inputDataNil,
        inputDataNilOrZeroLength,
        inputFileNil,
        inputFileReadFailed,
        stringSerializationFailed,
        jsonSerializationFailed,
        propertyListSerializationFailed,
    };

    // The cases, each with its reason's values.
    static CourierErrorPtr invalidURL(URLConvertible url);
    static CourierErrorPtr parameterEncodingFailed(ParameterEncodingFailureReason reason,
                                                   plat::ErrorPtr error = nullptr);
    // `url` for the reasons that carry one, `error` for those that carry one.
    static CourierErrorPtr multipartEncodingFailed(MultipartEncodingFailureReason reason,
                                                   std::optional<plat::URL> url,
                                                   plat::ErrorPtr error = nullptr);
    static CourierErrorPtr dataFileNil();
    static CourierErrorPtr dataFileReadFailed(plat::URL at);
    static CourierErrorPtr missingContentType(std::vector<std::string> acceptableContentTypes);
    static CourierErrorPtr unacceptableContentType(std::vector<std::string> acceptableContentTypes,
                                                   std::string responseContentType);
    static CourierErrorPtr unacceptableStatusCode(int64_t code);
    static CourierErrorPtr responseSerializationFailed(ResponseSerializationFailureReason reason,
                                                       plat::ErrorPtr error = nullptr);
    static CourierErrorPtr inputFileReadFailed(plat::URL at);
    // `charsetName`: the response's charset when no encoding is known by
    // that name (InvalidStringEncoding), so that the text can name it.
    static CourierErrorPtr stringSerializationFailed(plat::StringEncoding encoding,
                                                     std::optional<std::string> charsetName = std::nullopt);

    // The CourierError behind an error, or null.
    static CourierErrorPtr from(const plat::ErrorPtr& error);

    Case errorCase() const { return p_.errorCase; }
    std::optional<ParameterEncodingFailureReason> parameterEncodingReason() const;
    std::optional<MultipartEncodingFailureReason> multipartEncodingReason() const;
    std::optional<ResponseValidationFailureReason> responseValidationReason() const;
    std::optional<ResponseSerializationFailureReason> responseSerializationReason() const;

    bool isInvalidURLError() const { return p_.errorCase == Case::invalidURL; }
    bool isParameterEncodingError() const { return p_.errorCase == Case::parameterEncodingFailed; }
    bool isMultipartEncodingError() const { return p_.errorCase == Case::multipartEncodingFailed; }
    bool isResponseValidationError() const { return p_.errorCase == Case::responseValidationFailed; }
    bool isResponseSerializationError() const { return p_.errorCase == Case::responseSerializationFailed; }

    std::optional<URLConvertible> urlConvertible() const;
    // The file URL of a multipart reason that carries one.
    std::optional<plat::URL> url() const;
    [[nodiscard]] plat::ErrorPtr underlyingError() const;
    std::optional<std::vector<std::string>> acceptableContentTypes() const;
    std::optional<std::string> responseContentType() const;
    std::optional<int64_t> responseCode() const;
    std::optional<plat::StringEncoding> failedStringEncoding() const;

    // The text of the case; also the error's localized description.
    std::string errorDescription() const { return localizedDescription(); }

    struct Payload {
        Case errorCase = Case::invalidURL;
        int reason = 0;
        std::optional<URLConvertible> urlConvertible;
        std::optional<plat::URL> url;
        plat::ErrorPtr error;
        std::vector<std::string> acceptable;
        std::string responseType;
        int64_t code = 0;
        plat::StringEncoding encoding = 0;
        std::optional<std::string> charsetName;
    };
    explicit CourierError(Payload payload);

  private:
    static CourierErrorPtr make(Payload payload);
    Payload p_;
};

// What a request adapter threw, wrapped so that the session manager can tell
// adapter failures from the others.
class AdaptError : public plat::Error {
  public:
    explicit AdaptError(plat::ErrorPtr error);
    [[nodiscard]] static plat::ErrorPtr make(plat::ErrorPtr error) {
        return std::make_shared<const AdaptError>(std::move(error));
    }
    const plat::ErrorPtr& error() const { return error_; }

  private:
    plat::ErrorPtr error_;
};

// The adapter's own error when `error` is an AdaptError; null otherwise.
[[nodiscard]] plat::ErrorPtr adaptErrorUnwrapped(const plat::ErrorPtr& error);

}  // namespace httpclient
