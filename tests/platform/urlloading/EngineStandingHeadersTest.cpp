// A request with nothing of its own to add sends a header list the engine
// keeps for the session: checked on the loopback server's record.
#include <gtest/gtest.h>

#include "platform/urlloading/URLLoadingTestSupport.h"

using namespace urltest;
using testsupport::LoopbackServer;
using testsupport::RecordedRequest;

namespace {

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
