// The value types and pure helpers of URL loading: header fields, responses,
// safe file names, cookies, HTTP authentication, error mapping, resume data.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/urlloading/HTTPCookieStorage.h"
#include "platform/urlloading/URLError.h"
#include "platform/urlloading/URLResponse.h"
#include "platform/urlloading/detail/CurlErrors.h"
#include "platform/urlloading/detail/HTTPAuthentication.h"
#include "platform/urlloading/detail/ResumeData.h"

using namespace plat::urlloading;
using plat::URL;

namespace {
URL url(const std::string& text) {
    return *URL::URLWithString(text);
}
}  // namespace

TEST(HTTPHeaderFields, ReplaceAndLookUpIgnoreCaseAndKeepOrder) {
    HTTPHeaderFields h;
    h.setValue("1", "Accept");
    h.setValue("2", "X-Two");
    h.setValue("3", "accept");
    h.addValue("4", "X-TWO");
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h.fields()[0], (HTTPHeaderFields::Field{"accept", "3"}));
    EXPECT_EQ(h.valueForHTTPHeaderField("x-two"), "2, 4");
    h.setValue(std::nullopt, "ACCEPT");
    EXPECT_FALSE(h.contains("Accept"));
}

// A field's own name and value given back to it (views into the field
// itself) join as copies would: nothing is read after it was replaced.
TEST(HTTPHeaderFields, AddingAFieldsOwnTextJoinsItUnharmed) {
    HTTPHeaderFields h;
    const std::string value = "a value longer than a short string holds";
    h.addValue(value, "X-Long-Field-Name-Here");
    h.addValue(h.fields()[0].second, h.fields()[0].first);
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h.fields()[0], (HTTPHeaderFields::Field{"X-Long-Field-Name-Here", value + ", " + value}));
}

// Field names are ASCII: only ASCII letters fold, whatever the locale says of
// other bytes, and names of other lengths never match.
TEST(HTTPHeaderFields, CaseFoldingIsASCIIOnly) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"Content-Type", "cONTENT-tYPE", true},
        {"X-1", "x-1", true},
        {"\xC9tag", "\xE9tag", false},
        {"ETag", "ETag ", false},
        {"", "", true},
        {"[", "{", false},
        {"@", "`", false},
        {"Set-Cookie", "set-cookie", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(equalsIgnoringCase(c.a, c.b), c.equal) << c.a << " / " << c.b;

    HTTPHeaderFields h;
    h.addValue("a=1", "Set-Cookie");
    h.addValue("b=2", "set-cookie");
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h.fields()[0], (HTTPHeaderFields::Field{"set-cookie", "a=1, b=2"}));
    EXPECT_TRUE(h.contains("SET-COOKIE"));
    EXPECT_FALSE(h.contains("Set-Cookie2"));
}

TEST(HTTPURLResponse, DerivesMIMETypeEncodingLengthAndFileName) {
    HTTPHeaderFields h;
    h.setValue(" Text/Plain ; Charset=\"ISO-8859-1\"", "Content-Type");
    h.setValue("42", "Content-Length");
    HTTPURLResponse r(url("http://h/a/report%20one.txt?x=1"), 200, h);
    EXPECT_EQ(r.MIMEType(), "text/plain");
    EXPECT_EQ(r.textEncodingName(), "ISO-8859-1");
    EXPECT_EQ(r.expectedContentLength(), 42);
    EXPECT_EQ(r.suggestedFilename(), "report one.txt");
    EXPECT_EQ(HTTPURLResponse(url("http://h/x"), 200, h, true).expectedContentLength(),
              URLResponseUnknownLength);
    EXPECT_EQ(HTTPURLResponse(url("http://h/"), 204, {}).MIMEType(), std::nullopt);
    EXPECT_EQ(HTTPURLResponse(url("http://h/"), 204, {}).suggestedFilename(), "Unknown");

    struct Case {
        const char* disposition;
        const char* name;
    };
    for (auto c :
         {Case{"attachment; filename=\"../../x\"", "x"}, Case{"attachment; filename=..", "Unknown"},
          Case{"attachment; filename*=UTF-8''a%2Fb%00c.txt", "bc.txt"},
          Case{"attachment; filename=\"..\\\\evil\"", "evil"}, Case{"inline; filename=\".hidden\"", "hidden"},
          Case{"attachment; filename=\"a\\\"b\"", "a\"b"}}) {
        HTTPHeaderFields d;
        d.setValue(c.disposition, "Content-Disposition");
        EXPECT_EQ(HTTPURLResponse(url("http://h/p"), 200, d).suggestedFilename(), c.name) << c.disposition;
    }
}

// Content-Length: plain digits are read without strtoll, anything else by
// it; both must give what strtoll alone gives for the whole text.
TEST(HTTPURLResponse, ExpectedLengthIsWhatStrtollReadsOfTheWholeValue) {
    auto reference = [](const std::string& text) -> int64_t {
        char* end = nullptr;
        long long n = std::strtoll(text.c_str(), &end, 10);
        return end && *end == '\0' && n >= 0 ? n : URLResponseUnknownLength;
    };
    for (std::string text : std::vector<std::string>{"64",
                                                     "0",
                                                     "000123",
                                                     "",
                                                     " 12",
                                                     "12 ",
                                                     "+5",
                                                     "-5",
                                                     "-0",
                                                     "12a",
                                                     "0x10",
                                                     "1 2",
                                                     "123456789012345678",
                                                     "999999999999999999",
                                                     "1234567890123456789",
                                                     "9223372036854775807",
                                                     "9223372036854775808",
                                                     "99999999999999999999",
                                                     std::string("12\0"
                                                                 "3",
                                                                 4),
                                                     "\t7"}) {
        HTTPHeaderFields h;
        h.setValue(text, "Content-Length");
        EXPECT_EQ(HTTPURLResponse(url("http://h/"), 200, h).expectedContentLength(), reference(text))
            << "\"" << text << "\"";
    }
    HTTPHeaderFields h;
    h.setValue("64", "Content-Length");
    EXPECT_EQ(HTTPURLResponse(url("http://h/"), 200, h, true).expectedContentLength(),
              URLResponseUnknownLength);
}

// The MIME type is trimmed of the "C" locale's blanks (space, tab, line
// feed, vertical tab, form feed, carriage return) and no other byte.
TEST(HTTPURLResponse, MIMETypeIsTrimmedOfTheCLocalesBlanksOnly) {
    auto reference = [](const std::string& value) -> std::optional<std::string> {
        std::string_view t(value);
        t = t.substr(0, t.find(';'));
        size_t b = 0, e = t.size();
        while (b < e && std::isspace(static_cast<unsigned char>(t[b])))
            ++b;
        while (e > b && std::isspace(static_cast<unsigned char>(t[e - 1])))
            --e;
        std::string mime(t.substr(b, e - b));
        for (auto& c : mime)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (mime.empty())
            return std::nullopt;
        return mime;
    };
    for (std::string value :
         {"text/html", " \t\v\f\r\nText/HTML \t\v\f\r\n; charset=x", "\x85text/plain\xa0",
          "\x1ftext/plain\x0e", "   ", "; charset=utf-8", "Application/JSON", "\x7ftext\x7f", "a b"}) {
        HTTPHeaderFields h;
        h.setValue(value, "Content-Type");
        EXPECT_EQ(HTTPURLResponse(url("http://h/"), 200, h).MIMEType(), reference(value))
            << "\"" << value << "\"";
    }
}

TEST(SafeFileName, NeverLeavesTheFolder) {
    struct Case {
        std::string in, out;
    };
    for (const auto& c : std::vector<Case>{{"a/b/c", "c"},
                                           {"..", "Unknown"},
                                           {".", "Unknown"},
                                           {"", "Unknown"},
                                           {std::string("x\0y", 3), "xy"},
                                           {"dir\\file", "file"},
                                           {"a\r\nb", "ab"},
                                           {"...", "Unknown"},
                                           {"/", "Unknown"},
                                           {"ok.txt", "ok.txt"}}) {
        std::string out = safeFileName(c.in);
        EXPECT_EQ(out, c.out) << c.in;
        EXPECT_EQ(out.find('/'), std::string::npos);
        EXPECT_EQ(out.find('\0'), std::string::npos);
    }
}

TEST(HTTPCookie, ParsesAttributesAndRefusesForeignDomains) {
    const double now = 1'700'000'000;
    auto from = url("http://www.example.com/shop/cart");
    auto c = HTTPCookie::parse("id=7; Domain=.example.com; Path=/; Secure; HttpOnly; Max-Age=60", from, now);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->domain, "example.com");
    EXPECT_FALSE(c->hostOnly);
    EXPECT_TRUE(c->secure && c->httpOnly);
    EXPECT_EQ(c->expiresAt, now + 60);
    EXPECT_TRUE(c->matches(url("https://api.example.com/x"), now));
    EXPECT_FALSE(c->matches(url("http://api.example.com/x"), now));  // secure
    EXPECT_FALSE(c->matches(url("https://api.example.com/x"), now + 61));
    EXPECT_FALSE(HTTPCookie::parse("id=7; Domain=evil.com", from, now));
    EXPECT_FALSE(HTTPCookie::parse("=7", from, now));
    EXPECT_FALSE(HTTPCookie::parse("novalue", from, now));
    auto hostOnly = HTTPCookie::parse("a=b", from, now);
    EXPECT_EQ(hostOnly->path, "/shop");
    EXPECT_TRUE(hostOnly->matches(url("http://www.example.com/shop/x"), now));
    EXPECT_FALSE(hostOnly->matches(url("http://www.example.com/shopping"), now));
    EXPECT_FALSE(hostOnly->matches(url("http://sub.www.example.com/shop"), now));
    auto expires = HTTPCookie::parse("e=1; Expires=Wed, 21 Oct 2015 07:28:00 GMT", from, now);
    EXPECT_EQ(expires->expiresAt, 1445412480.0);

    HTTPCookieStorage storage;
    storage.setCookiesFromResponse({"a=1; Path=/", "b=2; Path=/shop", "a=3; Path=/"}, from);
    EXPECT_EQ(HTTPCookieStorage::headerValue(storage.cookiesForURL(url("http://www.example.com/shop/x"))),
              "b=2; a=3");
    storage.setCookiesFromResponse({"a=gone; Path=/; Max-Age=0"}, from);
    EXPECT_EQ(HTTPCookieStorage::headerValue(storage.cookiesForURL(from)), "b=2");
    storage.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::Never);
    storage.setCookiesFromResponse({"c=3"}, from);
    EXPECT_EQ(storage.cookies().size(), 1u);
}

TEST(HTTPCookie, RefusesPublicSuffixDomainsAndDomainsOnAddresses) {
    const double now = 1'700'000'000;
    struct Case {
        const char* from;
        const char* setCookie;
        bool stored;
        const char* domain;  // when stored
        bool hostOnly;
    };
    const Case cases[] = {
        {"http://www.example.com/", "a=1; Domain=com", false, "", false},
        {"http://www.example.com/", "a=1; Domain=.com", false, "", false},
        {"http://shop.example.co.uk/", "a=1; Domain=co.uk", false, "", false},
        {"http://shop.example.co.uk/", "a=1; Domain=example.co.uk", true, "example.co.uk", false},
        {"http://intranet.corp/", "a=1; Domain=corp", false, "", false},  // an unknown top-level domain
        {"http://127.0.0.1/", "a=1; Domain=1", false, "", false},
        {"http://127.0.0.1/", "a=1; Domain=0.0.1", false, "", false},
        {"http://127.0.0.1/", "a=1; Domain=127.0.0.1", true, "127.0.0.1", true},
        {"http://[::1]/", "a=1; Domain=1", false, "", false},
        {"http://localhost/", "a=1; Domain=localhost", true, "localhost", true},
        {"http://www.example.com/", "a=1; Domain=example.com", true, "example.com", false},
    };
    for (const auto& c : cases) {
        auto cookie = HTTPCookie::parse(c.setCookie, url(c.from), now);
        EXPECT_EQ(cookie.has_value(), c.stored) << c.from << " " << c.setCookie;
        if (cookie && c.stored) {
            EXPECT_EQ(cookie->domain, c.domain) << c.setCookie;
            EXPECT_EQ(cookie->hostOnly, c.hostOnly) << c.setCookie;
        }
    }
    // An address matches only itself, even for a cookie stored by hand.
    HTTPCookie handMade;
    handMade.name = "a";
    handMade.domain = "0.0.1";
    handMade.hostOnly = false;
    EXPECT_FALSE(handMade.matches(url("http://127.0.0.1/"), now));
}

TEST(HTTPAuthentication, DigestMatchesTheKnownAnswerAndBasicIsBase64) {
    auto c = detail::parseWWWAuthenticate(
        "Basic realm=\"b\", Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
        "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->scheme, "digest");
    std::string header =
        detail::digestAuthorization(*c, "GET", "/dir/index.html", "Mufasa", "Circle Of Life", "0a4f113b", 1);
    EXPECT_NE(header.find("response=\"6629fae49393a05397450978507c4ef1\""), std::string::npos) << header;
    EXPECT_NE(header.find("nc=00000001"), std::string::npos);
    EXPECT_EQ(detail::basicAuthorization("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(detail::parseWWWAuthenticate("Basic realm=\"r\"")->realm(), "r");
    EXPECT_FALSE(detail::parseWWWAuthenticate("Negotiate abc"));
    EXPECT_FALSE(detail::parseWWWAuthenticate("Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256"));
}

TEST(CurlErrors, MapToThePlatformCodes) {
    struct Case {
        int curl;
        long os;
        int64_t code;
    };
    for (auto c : {Case{CURLE_COULDNT_CONNECT, ECONNREFUSED, URLErrorCannotConnectToHost},
                   Case{CURLE_COULDNT_CONNECT, ENETUNREACH, URLErrorNotConnectedToInternet},
                   Case{CURLE_COULDNT_RESOLVE_HOST, 0, URLErrorCannotFindHost},
                   Case{CURLE_OPERATION_TIMEDOUT, 0, URLErrorTimedOut},
                   Case{CURLE_PARTIAL_FILE, 0, URLErrorNetworkConnectionLost},
                   Case{CURLE_GOT_NOTHING, 0, URLErrorNetworkConnectionLost},
                   Case{CURLE_RECV_ERROR, 0, URLErrorNetworkConnectionLost},
                   Case{CURLE_SSL_CONNECT_ERROR, 0, URLErrorSecureConnectionFailed},
                   Case{CURLE_PEER_FAILED_VERIFICATION, 0, URLErrorServerCertificateUntrusted},
                   Case{CURLE_UNSUPPORTED_PROTOCOL, 0, URLErrorUnsupportedURL},
                   Case{CURLE_WEIRD_SERVER_REPLY, 0, URLErrorBadServerResponse},
                   Case{CURLE_TOO_MANY_REDIRECTS, 0, URLErrorHTTPTooManyRedirects},
                   Case{CURLE_BAD_CONTENT_ENCODING, 0, URLErrorCannotDecodeContentData},
                   Case{CURLE_OUT_OF_MEMORY, 0, URLErrorUnknown}}) {
        EXPECT_EQ(detail::urlErrorCodeForCurlResult(c.curl, c.os), c.code) << c.curl;
    }
    EXPECT_EQ(detail::urlErrorCodeForVerifyResult(X509_V_ERR_CERT_HAS_EXPIRED),
              URLErrorServerCertificateHasBadDate);
    EXPECT_EQ(detail::urlErrorCodeForVerifyResult(X509_V_ERR_CERT_NOT_YET_VALID),
              URLErrorServerCertificateNotYetValid);
    EXPECT_EQ(detail::urlErrorCodeForVerifyResult(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY),
              URLErrorServerCertificateHasUnknownRoot);
    EXPECT_EQ(detail::urlErrorCodeForVerifyResult(X509_V_ERR_HOSTNAME_MISMATCH),
              URLErrorServerCertificateUntrusted);

    auto error = makeURLError(URLErrorTimedOut, url("http://h/x"), "detail", plat::Data::fromString("r"));
    EXPECT_EQ(error->domain(), URLErrorDomain);
    EXPECT_EQ(error->localizedDescription(), "The request timed out.");
    EXPECT_EQ(*error->userInfo().find(URLErrorFailingURLStringErrorKey)->asString(), "http://h/x");
    EXPECT_TRUE(error->userInfo().find(URLSessionDownloadTaskResumeData)->isData());
}

TEST(ResumeData, RoundTripsAndRefusesOtherVersionsOrMissingValidators) {
    detail::ResumeInfo info;
    info.request = URLRequest(url("http://h/file"));
    info.request.setValue("v", "X-Header");
    info.partialFilePath = "/dl/download-abc";
    info.bytesReceived = 10;
    info.entityTag = "\"e\"";
    info.expectedTotal = 20;
    auto back = detail::decodeResumeData(detail::encodeResumeData(info), "/dl");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->request.url->absoluteString(), "http://h/file");
    EXPECT_EQ(back->request.valueForHTTPHeaderField("x-header"), "v");
    EXPECT_EQ(back->bytesReceived, 10);
    EXPECT_EQ(back->entityTag, "\"e\"");
    EXPECT_EQ(back->expectedTotal, 20);
    info.entityTag.reset();
    EXPECT_FALSE(detail::decodeResumeData(detail::encodeResumeData(info), "/dl"));
    EXPECT_FALSE(detail::decodeResumeData(plat::Data::fromString("{\"version\":2}"), "/dl"));
    EXPECT_FALSE(detail::decodeResumeData(plat::Data::fromString("\x01\x02"), "/dl"));
}
