// URL, JSON and property-list parameter encoding.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "httpclient/CourierError.h"
#include "httpclient/ParameterEncoding.h"

using namespace httpclient;
using plat::Value;

namespace {

URLRequest get(const std::string& url, const char* method = "GET") {
    URLRequest r(*plat::URL::URLWithString(url));
    r.httpMethod = method;
    return r;
}

std::string query(const Parameters& p, URLEncoding e = URLEncoding()) {
    auto r = e.encode(get("http://h.test/p"), p);
    EXPECT_TRUE(r);
    return r->url->query().value_or("");
}

}  // namespace

TEST(URLEncodingTest, QueryStringsTable) {
    using AE = URLEncoding::ArrayEncoding;
    using BE = URLEncoding::BoolEncoding;
    const URLEncoding literal(URLEncoding::Destination::methodDependent, AE::brackets, BE::literal);
    const URLEncoding noBrackets(URLEncoding::Destination::methodDependent, AE::noBrackets);
    struct Case {
        Parameters parameters;
        URLEncoding encoding;
        std::string expected;
    } cases[] = {
        {{{"b", Value(1)}, {"a", Value(2)}}, URLEncoding(), "a=2&b=1"},
        {{{"user", Value(plat::Dictionary{{"name", Value("x")}})}}, URLEncoding(), "user%5Bname%5D=x"},
        {{{"ids", Value(plat::Array{Value(1), Value(2)})}}, URLEncoding(), "ids%5B%5D=1&ids%5B%5D=2"},
        {{{"ids", Value(plat::Array{Value(1), Value(2)})}}, noBrackets, "ids=1&ids=2"},
        {{{"on", Value(true)}, {"n", Value(1)}}, URLEncoding(), "n=1&on=1"},
        {{{"on", Value(true)}, {"off", Value(false)}}, literal, "off=false&on=true"},
        {{{"v", Value("a b:@&=+/?")}}, URLEncoding(), "v=a%20b%3A%40%26%3D%2B/?"},
        {{{"k#", Value("é")}}, URLEncoding(), "k%23=%C3%A9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(query(c.parameters, c.encoding), c.expected);
}

TEST(URLEncodingTest, EscapingIsBytewiseAndNeverFallsBackToRawText) {
    // Invalid UTF-8 cannot make the escaper give up and pass "&" or "=" on.
    const std::string bad = std::string("\xff\xfe&x=1#", 7);
    EXPECT_EQ(URLEncoding::escape(bad), "%FF%FE%26x%3D1%23");
}

TEST(URLEncodingTest, DestinationByMethodAndExistingQuery) {
    auto r = URLEncoding().encode(get("http://h.test/p?x=1"), Parameters{{"y", Value(2)}});
    EXPECT_EQ(r->url->query(), "x=1&y=2");

    auto emptyGet = URLEncoding().encode(get("http://h.test/p"), Parameters{});
    EXPECT_EQ(emptyGet->url->absoluteString(), "http://h.test/p");
    EXPECT_FALSE(emptyGet->httpBody);

    auto emptyPost = URLEncoding().encode(get("http://h.test/p", "POST"), Parameters{});
    EXPECT_EQ(emptyPost->valueForHTTPHeaderField("Content-Type"),
              "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(emptyPost->httpBody, plat::Data());

    auto lower = URLEncoding().encode(get("http://h.test/p", "get"), Parameters{{"a", Value(1)}});
    EXPECT_EQ(lower->httpBody->toString(), "a=1");
    EXPECT_FALSE(lower->url->query());

    auto kept = get("http://h.test/p", "POST");
    kept.setValue("text/custom", "Content-Type");
    EXPECT_EQ(
        URLEncoding().encode(kept, Parameters{{"a", Value(1)}})->valueForHTTPHeaderField("Content-Type"),
        "text/custom");
    EXPECT_EQ(
        JSONEncoding().encode(kept, Parameters{{"a", Value(1)}})->valueForHTTPHeaderField("Content-Type"),
        "text/custom");

    URLRequest noURL;
    auto missing = URLEncoding::queryString().encode(noURL, Parameters{{"a", Value(1)}});
    ASSERT_FALSE(missing);
    EXPECT_EQ(CourierError::from(missing.error())->parameterEncodingReason(),
              CourierError::ParameterEncodingFailureReason::missingURL);
    EXPECT_TRUE(URLEncoding::httpBody().encode(noURL, Parameters{{"a", Value(1)}}));
}

TEST(JSONEncodingTest, WritesBodiesAndRefusesWhatJSONCannotHold) {
    auto r = JSONEncoding().encode(get("http://h.test/p", "POST"), Parameters{{"a", Value(1)}});
    EXPECT_EQ(r->httpBody->toString(), "{\"a\":1}");
    EXPECT_EQ(r->valueForHTTPHeaderField("Content-Type"), "application/json");
    auto pretty =
        JSONEncoding::prettyPrinted().encode(get("http://h.test/p", "POST"), Parameters{{"a", Value(1)}});
    EXPECT_NE(pretty->httpBody->toString().find("\" : "), std::string::npos);
    auto array = JSONEncoding().encodeJSONObject(get("http://h.test/p"),
                                                 std::optional<Value>(Value(plat::Array{Value(1)})));
    EXPECT_EQ(array->httpBody->toString(), "[1]");

    const Value invalid[] = {Value(std::nan("")), Value(std::numeric_limits<double>::infinity()),
                             Value(plat::Data::fromString("x")), Value(plat::Date(0))};
    for (const auto& v : invalid) {
        auto failed = JSONEncoding().encode(get("http://h.test/p"), Parameters{{"a", v}});
        ASSERT_FALSE(failed) << v.description();
        auto error = CourierError::from(failed.error());
        EXPECT_EQ(error->parameterEncodingReason(),
                  CourierError::ParameterEncodingFailureReason::jsonEncodingFailed);
        EXPECT_TRUE(error->underlyingError());
    }
    auto scalar = JSONEncoding().encodeJSONObject(get("http://h.test/p"), std::optional<Value>(Value(3)));
    EXPECT_FALSE(scalar);
}

TEST(PropertyListEncodingTest, WritesXMLAndReportsNull) {
    auto r = PropertyListEncoding::xml().encode(get("http://h.test/p", "POST"), Parameters{{"a", Value(1)}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->valueForHTTPHeaderField("Content-Type"), "application/x-plist");
    EXPECT_NE(r->httpBody->toString().find("<integer>1</integer>"), std::string::npos);
    auto failed = PropertyListEncoding().encode(get("http://h.test/p"), Parameters{{"a", Value()}});
    ASSERT_FALSE(failed);
    EXPECT_EQ(CourierError::from(failed.error())->parameterEncodingReason(),
              CourierError::ParameterEncodingFailureReason::propertyListEncodingFailed);
}
