// CourierError texts and accessors, Result, Timeline and URL conversion.
#include <gtest/gtest.h>

#include "httpclient/CourierError.h"
#include "httpclient/Response.h"
#include "httpclient/Result.h"
#include "httpclient/Timeline.h"
#include "httpclient/URLConvertible.h"

using namespace httpclient;
using ME = CourierError::MultipartEncodingFailureReason;
using SE = CourierError::ResponseSerializationFailureReason;
using PE = CourierError::ParameterEncodingFailureReason;

namespace {

plat::URL fileURL() {
    return plat::URL::fileURLWithPath("/tmp/a.txt");
}

plat::ErrorPtr underlying() {
    return plat::Error::withDescription("Domain", 7, "went wrong");
}

}  // namespace

TEST(CourierErrorTest, DescriptionsAreExact) {
    const std::string url = fileURL().absoluteString();
    const std::string e = underlying()->description();
    struct Case {
        plat::ErrorPtr error;
        std::string text;
    } cases[] = {
        {CourierError::invalidURL("not a url"), "URL is not valid: not a url"},
        {CourierError::parameterEncodingFailed(PE::missingURL), "URL request to encode was missing a URL"},
        {CourierError::parameterEncodingFailed(PE::jsonEncodingFailed, underlying()),
         "JSON could not be encoded because of error:\nwent wrong"},
        {CourierError::parameterEncodingFailed(PE::propertyListEncodingFailed, underlying()),
         "PropertyList could not be encoded because of error:\nwent wrong"},
        {CourierError::multipartEncodingFailed(ME::bodyPartURLInvalid, fileURL()),
         "The URL provided is not a file URL: " + url},
        {CourierError::multipartEncodingFailed(ME::bodyPartFilenameInvalid, fileURL()),
         "The URL provided does not have a valid filename: " + url},
        {CourierError::multipartEncodingFailed(ME::bodyPartFileNotReachable, fileURL()),
         "The URL provided is not reachable: " + url},
        {CourierError::multipartEncodingFailed(ME::bodyPartFileNotReachableWithError, fileURL(),
                                               underlying()),
         "The system returned an error while checking the provided URL for reachability.\nURL: " + url +
             "\nError: " + e},
        {CourierError::multipartEncodingFailed(ME::bodyPartFileIsDirectory, fileURL()),
         "The URL provided is a directory: " + url},
        {CourierError::multipartEncodingFailed(ME::bodyPartFileSizeNotAvailable, fileURL()),
         "Could not fetch the file size from the provided URL: " + url},
        {CourierError::multipartEncodingFailed(ME::bodyPartFileSizeQueryFailedWithError, fileURL(),
                                               underlying()),
         "The system returned an error while attempting to fetch the file size from the provided "
         "URL.\nURL: " +
             url + "\nError: " + e},
        {CourierError::multipartEncodingFailed(ME::bodyPartInputStreamCreationFailed, fileURL()),
         "Failed to create an InputStream for the provided URL: " + url},
        {CourierError::multipartEncodingFailed(ME::outputStreamCreationFailed, fileURL()),
         "Failed to create an OutputStream for URL: " + url},
        {CourierError::multipartEncodingFailed(ME::outputStreamFileAlreadyExists, fileURL()),
         "A file already exists at the provided URL: " + url},
        {CourierError::multipartEncodingFailed(ME::outputStreamURLInvalid, fileURL()),
         "The provided OutputStream URL is invalid: " + url},
        {CourierError::multipartEncodingFailed(ME::outputStreamWriteFailed, std::nullopt, underlying()),
         "OutputStream write failed with error: " + e},
        {CourierError::multipartEncodingFailed(ME::inputStreamReadFailed, std::nullopt, underlying()),
         "InputStream read failed with error: " + e},
        {CourierError::dataFileNil(), "Response could not be validated, data file was nil."},
        {CourierError::dataFileReadFailed(fileURL()),
         "Response could not be validated, data file could not be read: " + url + "."},
        {CourierError::missingContentType({"a/b", "c/d"}),
         "Response Content-Type was missing and acceptable content types (a/b,c/d) do not match \"*/*\"."},
        {CourierError::missingContentType({}),
         "Response Content-Type was missing and acceptable content types () do not match \"*/*\"."},
        {CourierError::unacceptableContentType({"a/b", "c/d"}, "text/html"),
         "Response Content-Type \"text/html\" does not match any acceptable types: a/b,c/d."},
        {CourierError::unacceptableStatusCode(404), "Response status code was unacceptable: 404."},
        {CourierError::responseSerializationFailed(SE::inputDataNil),
         "Response could not be serialized, input data was nil."},
        {CourierError::responseSerializationFailed(SE::inputDataNilOrZeroLength),
         "Response could not be serialized, input data was nil or zero length."},
        {CourierError::responseSerializationFailed(SE::inputFileNil),
         "Response could not be serialized, input file was nil."},
        {CourierError::inputFileReadFailed(fileURL()),
         "Response could not be serialized, input file could not be read: " + url + "."},
        {CourierError::stringSerializationFailed(plat::UTF8StringEncoding),
         "String could not be serialized with encoding: " +
             plat::localizedNameOfStringEncoding(plat::UTF8StringEncoding) + "."},
        {CourierError::responseSerializationFailed(SE::jsonSerializationFailed, underlying()),
         "JSON could not be serialized because of error:\nwent wrong"},
        {CourierError::responseSerializationFailed(SE::propertyListSerializationFailed, underlying()),
         "PropertyList could not be serialized because of error:\nwent wrong"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error->localizedDescription(), c.text);
        EXPECT_EQ(CourierError::from(c.error)->errorDescription(), c.text);
    }
}

TEST(CourierErrorTest, AccessorsAnswerOnlyForTheirCases) {
    auto write = CourierError::multipartEncodingFailed(ME::outputStreamWriteFailed, fileURL(), underlying());
    EXPECT_TRUE(write->isMultipartEncodingError());
    EXPECT_FALSE(write->url());
    EXPECT_EQ(write->underlyingError(), write->underlyingError());
    EXPECT_TRUE(write->underlyingError());
    auto dir = CourierError::multipartEncodingFailed(ME::bodyPartFileIsDirectory, fileURL());
    EXPECT_EQ(dir->url(), fileURL());
    EXPECT_FALSE(dir->underlyingError());

    auto missing = CourierError::missingContentType({"a/b"});
    EXPECT_EQ(missing->acceptableContentTypes(), std::vector<std::string>{"a/b"});
    EXPECT_FALSE(missing->responseContentType());
    EXPECT_FALSE(missing->underlyingError());
    auto unacceptable = CourierError::unacceptableContentType({"a/b"}, "c/d");
    EXPECT_EQ(unacceptable->responseContentType(), "c/d");
    EXPECT_TRUE(unacceptable->acceptableContentTypes());
    EXPECT_EQ(CourierError::unacceptableStatusCode(404)->responseCode(), 404);
    EXPECT_FALSE(missing->responseCode());
    EXPECT_EQ(CourierError::stringSerializationFailed(plat::ISOLatin1StringEncoding)->failedStringEncoding(),
              plat::ISOLatin1StringEncoding);

    auto invalid = CourierError::invalidURL("x y");
    EXPECT_TRUE(invalid->isInvalidURLError());
    EXPECT_EQ(invalid->urlConvertible()->description(), "x y");
    EXPECT_FALSE(invalid->url());
    EXPECT_FALSE(CourierError::from(underlying()));

    auto adapterError = underlying();
    auto wrapped = AdaptError::make(adapterError);
    EXPECT_EQ(adaptErrorUnwrapped(wrapped), adapterError);
    EXPECT_FALSE(adaptErrorUnwrapped(adapterError));
}

TEST(ResultTest, QueriesTextsAndCombinators) {
    auto ok = Result<int>::success(42);
    EXPECT_EQ(ok.description(), "SUCCESS");
    EXPECT_EQ(ok.debugDescription(), "SUCCESS: 42");
    EXPECT_FALSE(ok.error());
    auto bad = Result<int>::failure(underlying());
    EXPECT_FALSE(bad.value());
    EXPECT_EQ(bad.debugDescription().rfind("FAILURE: ", 0), 0u);

    int calls = 0;
    EXPECT_TRUE(bad.withValue([&](int) { ++calls; }).isFailure());
    EXPECT_EQ(calls, 0);
    ok.ifSuccess([&] { ++calls; }).ifFailure([&] { calls += 10; });
    EXPECT_EQ(calls, 1);

    EXPECT_EQ(ok.map([](int v) { return std::to_string(v); }).value(), "42");
    auto thrown = plat::Error::withDescription("X", 1, "thrown");
    auto flat = ok.flatMap([&](int) -> int { throw ErrorThrown{thrown}; });
    EXPECT_EQ(flat.error(), thrown);  // exactly the thrown error, not a CourierError
    auto mapped = bad.mapError([&](const plat::ErrorPtr&) { return thrown; });
    EXPECT_EQ(mapped.error(), thrown);
    EXPECT_EQ(Result<int>::from([] { return 7; }).value(), 7);
    EXPECT_THROW(bad.unwrap(), ErrorThrown);
}

TEST(ResultTest, AValueReadInPlaceIsTheResultsOwnAndATemporaryHandsItOver) {
    const auto body = plat::Data::fromString(std::string(300, 'x'));
    auto ok = Result<plat::Data>::success(body);
    // Every look at a kept result sees the same bytes, not a copy of them.
    const uint8_t* held = ok.value()->bytes();
    EXPECT_EQ(ok.value()->bytes(), held);
    EXPECT_EQ(&ok.value(), &ok.value());
    EXPECT_EQ(*ok.value(), body);
    // A copy of the result owns bytes of its own.
    const auto copied = ok;
    EXPECT_NE(copied.value()->bytes(), held);
    EXPECT_EQ(*copied.value(), body);
    // A temporary hands its bytes over.
    const std::optional<plat::Data> taken = std::move(ok).value();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->bytes(), held);
    EXPECT_EQ(*taken, body);

    // Failures: no value, the error as given (even a null one), and the
    // value of a result whose value type is itself an error is not its error.
    auto bad = Result<plat::Data>::failure(underlying());
    EXPECT_TRUE(bad.isFailure());
    EXPECT_FALSE(bad.value());
    EXPECT_EQ(bad.error()->description(), underlying()->description());
    auto nullFailure = Result<plat::Data>::failure(nullptr);
    EXPECT_TRUE(nullFailure.isFailure());
    EXPECT_FALSE(nullFailure.value());
    EXPECT_FALSE(nullFailure.error());
    auto errorValue = Result<plat::ErrorPtr>::success(underlying());
    EXPECT_TRUE(errorValue.isSuccess());
    EXPECT_FALSE(errorValue.error());
    ASSERT_TRUE(errorValue.value());
    EXPECT_EQ((*errorValue.value())->code(), 7);
    auto errorFailure = Result<plat::ErrorPtr>::failure(underlying());
    EXPECT_TRUE(errorFailure.isFailure());
    EXPECT_FALSE(errorFailure.value());
    EXPECT_EQ(errorFailure.error()->code(), 7);
}

TEST(ResultTest, ARecordsValueIsItsResultsOwnAndATemporaryRecordHandsItOver) {
    const auto body = plat::Data::fromString(std::string(300, 'y'));
    DataResponse<plat::Data> record(std::nullopt, nullptr, body, Result<plat::Data>::success(body));
    const uint8_t* held = record.result.value()->bytes();
    EXPECT_EQ(record.value()->bytes(), held);
    EXPECT_EQ(&record.value(), &record.result.value());
    EXPECT_EQ(*record.value(), body);
    // The record's own bytes are a separate copy, untouched by the looks.
    ASSERT_TRUE(record.data);
    EXPECT_NE(record.data->bytes(), held);
    const std::optional<plat::Data> taken = std::move(record).value();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->bytes(), held);
    EXPECT_EQ(*taken, body);

    DataResponse<plat::Data> failed(std::nullopt, nullptr, std::nullopt,
                                    Result<plat::Data>::failure(underlying()));
    EXPECT_FALSE(failed.value());
    EXPECT_EQ(failed.error()->code(), 7);
    // A transformed record carries a value of its own.
    auto mapped = DataResponse<plat::Data>(std::nullopt, nullptr, body, Result<plat::Data>::success(body))
                      .map([](const plat::Data& d) { return static_cast<int>(d.length()); });
    EXPECT_EQ(mapped.value(), 300);
}

TEST(TimelineTest, DurationsAndTexts) {
    Timeline t(10.0, 10.5, 12.0, 12.25);
    EXPECT_DOUBLE_EQ(t.latency, 0.5);
    EXPECT_DOUBLE_EQ(t.requestDuration, 2.0);
    EXPECT_DOUBLE_EQ(t.serializationDuration, 0.25);
    EXPECT_DOUBLE_EQ(t.totalDuration, 2.25);
    EXPECT_EQ(
        t.description(),
        "Timeline: { \"Latency\": 0.500 secs, \"Request Duration\": 2.000 secs, \"Serialization Duration\": "
        "0.250 secs, \"Total Duration\": 2.250 secs }");
    EXPECT_EQ(
        t.debugDescription(),
        "Timeline: { \"Request Start Time\": 10.000, \"Initial Response Time\": 10.500, \"Request Completed "
        "Time\": 12.000, \"Serialization Completed Time\": 12.250, \"Latency\": 0.500 secs, \"Request "
        "Duration\": 2.000 secs, \"Serialization Duration\": 0.250 secs, \"Total Duration\": 2.250 secs }");
    EXPECT_NE(Timeline(5, 4, 4, 4).description().find("\"Latency\": -1.000 secs"), std::string::npos);
}

TEST(URLConversionTest, ConvertsOrFailsWithInvalidURL) {
    for (const char* bad : {"", "has space"}) {
        auto r = URLConvertible(bad).asURL();
        ASSERT_FALSE(r);
        auto error = CourierError::from(r.error());
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->isInvalidURLError());
        EXPECT_EQ(error->urlConvertible()->description(), bad);
    }
    EXPECT_TRUE(URLConvertible("http://a.test/x").asURL());

    auto request = makeURLRequest("http://a.test/x", HTTPMethod::put, HTTPHeaders{{"A", "1"}, {"a", "2"}});
    ASSERT_TRUE(request);
    EXPECT_EQ(request->timeoutInterval, 60.0);
    EXPECT_EQ(request->httpMethod, "PUT");
    EXPECT_EQ(request->allHTTPHeaderFields.size(), 1u);
    EXPECT_EQ(request->valueForHTTPHeaderField("A"), "2");
    EXPECT_TRUE(makeURLRequest("http://a.test/x", HTTPMethod::get)->allHTTPHeaderFields.empty());
    EXPECT_FALSE(URLRequestConvertible([]() -> plat::Result<URLRequest> {
                     return plat::Error::withDescription("X", 1, "no");
                 }).urlRequest());
    EXPECT_EQ(httpMethodFromRawValue("get"), std::nullopt);
    EXPECT_EQ(httpMethodFromRawValue("DELETE"), HTTPMethod::delete_);
}
