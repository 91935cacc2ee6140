// A request with no header field, cookie, credential, range or body of its
// own sends the configuration's fields and the decodable encodings; the
// engine keeps that list for the whole session. Each case checks, on the
// loopback server's record, that the kept list is sent only when nothing of
// the request's own would be added to it, and that it never carries
// anything of another request.
#include <gtest/gtest.h>

#include "platform/urlloading/URLLoadingTestSupport.h"

using namespace urltest;
using testsupport::LoopbackServer;
using testsupport::RecordedRequest;

namespace {

RecordedRequest lastRequest(const LoopbackServer& server) {
    auto all = server.requests();
    return all.empty() ? RecordedRequest{} : all.back();
}

// Sends `request`, which must succeed, and returns what the server saw.
RecordedRequest sent(URLSession& session, const LoopbackServer& server, const URLRequest& request) {
    Completion done;
    EXPECT_TRUE(done.run(session, request));
    EXPECT_EQ(done.error, nullptr);
    EXPECT_EQ(done.response ? done.response->statusCode() : 0, 200);
    return lastRequest(server);
}

URLRequest plain(const LoopbackServer& server, const char* path = "/echo") {
    return URLRequest(url(server.url(path)));
}

}  // namespace

TEST(EngineStandingHeaders, PlainRequestsSendTheConfigurationsFieldsAndOnlyTheCookiesStoredForThem) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    config.httpAdditionalHeaders.setValue("from-config", "X-Config");
    auto session = URLSession::sessionWithConfiguration(config);

    auto first = sent(*session, server, plain(server));
    EXPECT_EQ(first.header("x-config"), "from-config");
    EXPECT_NE(first.header("accept-encoding").find("gzip"), std::string::npos);
    EXPECT_EQ(first.header("cookie"), "");

    // A field of the request's own goes with it, beside the configuration's,
    // and not with the plain request after it.
    URLRequest own = plain(server);
    own.setValue("mine", "X-Own");
    auto withOwn = sent(*session, server, own);
    EXPECT_EQ(withOwn.header("x-own"), "mine");
    EXPECT_EQ(withOwn.header("x-config"), "from-config");
    auto after = sent(*session, server, plain(server));
    EXPECT_EQ(after.header("x-own"), "");
    EXPECT_EQ(after.header("x-config"), "from-config");
    EXPECT_EQ(after.header("accept-encoding"), first.header("accept-encoding"));

    // A cookie stored since: the next plain request carries it, and the
    // configuration's fields as well.
    sent(*session, server, plain(server, "/cookies/set?flavour=oat"));
    auto withCookie = sent(*session, server, plain(server));
    EXPECT_EQ(withCookie.header("cookie"), "flavour=oat");
    EXPECT_EQ(withCookie.header("x-config"), "from-config");

    // A request that handles no cookies goes without them.
    URLRequest noCookies = plain(server);
    noCookies.httpShouldHandleCookies = false;
    auto without = sent(*session, server, noCookies);
    EXPECT_EQ(without.header("cookie"), "");
    EXPECT_EQ(without.header("x-config"), "from-config");
    session->invalidateAndCancel();
}

TEST(EngineStandingHeaders, ACookieFieldOfTheConfigurationTakesThePlaceOfStoredCookies) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    config.httpAdditionalHeaders.setValue("fixed=1", "Cookie");
    auto session = URLSession::sessionWithConfiguration(config);
    sent(*session, server, plain(server, "/cookies/set?stored=2"));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(sent(*session, server, plain(server)).header("cookie"), "fixed=1");
    session->invalidateAndCancel();
}

TEST(EngineStandingHeaders, AnUnsendableConfigurationFieldFailsEveryRequestUnsent) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    config.httpAdditionalHeaders.setValue("a\r\nX-Injected: 1", "X-Bad");
    auto session = URLSession::sessionWithConfiguration(config);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        Completion refused;
        ASSERT_TRUE(refused.run(*session, plain(server)));
        ASSERT_NE(refused.error, nullptr);
        EXPECT_EQ(refused.error->code(), URLErrorBadURL);
    }
    EXPECT_TRUE(server.requests().empty());
    session->invalidateAndCancel();
}
