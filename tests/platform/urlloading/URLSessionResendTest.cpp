// What a request carries when it is sent again: a streamed body after a
// 307/308 redirect or an authentication challenge, and the caller's
// credentials and cookies after a redirect to another origin.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/urlloading/URLLoadingTestSupport.h"

using namespace urltest;
using testsupport::LoopbackServer;

namespace {

int64_t codeOf(const ErrorPtr& error) {
    return error ? error->code() : 0;
}

std::shared_ptr<InputStream> streamOf(const std::string& text) {
    return std::shared_ptr<InputStream>(InputStream::withData(Data::fromString(text)));
}

}  // namespace

TEST(StreamedBodySentAgain, ANewStreamIsAskedForAndAReadOneRefused) {
    LoopbackServer server;
    const std::string body = "the streamed body";
    struct Case {
        const char* name;
        std::string path;
        bool authenticate;
    };
    for (const Case& c :
         {Case{"307", "/redirect/0?status=307", false}, Case{"308", "/redirect/0?status=308", false},
          Case{"401", "/basic-auth/user/secret", true}}) {
        for (bool fresh : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (fresh ? " fresh stream" : " same stream"));
            auto delegate = std::make_shared<RecordingDelegate>();
            auto stream = streamOf(body);
            delegate->onNeedStream = [&] { return fresh ? streamOf(body) : stream; };
            if (c.authenticate) {
                delegate->onTaskChallenge = [](const URLAuthenticationChallenge&, ChallengeCompletion done) {
                    done(URLSessionAuthChallengeDisposition::UseCredential,
                         URLCredential::withUser("user", "secret", URLCredentialPersistence::None));
                };
            }
            auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
            URLRequest post(url(server.url(c.path)));
            post.httpMethod = "POST";
            auto before = server.requests().size();
            auto task = session->uploadTaskWithStreamedRequest(post);
            task->resume();
            auto r = delegate->waitFor(*task);
            auto sent = server.requests();
            ASSERT_EQ(sent.size(), before + (fresh ? 2 : 1));
            EXPECT_EQ(sent[before].body, body);
            if (fresh) {
                EXPECT_EQ(r.error, nullptr);
                EXPECT_EQ(sent.back().body, body);
                EXPECT_EQ(*echoOf(r.body).find("body")->asString(), body);
            } else {
                // Never a second request with less than the caller's body.
                EXPECT_EQ(codeOf(r.error), URLErrorRequestBodyStreamExhausted);
                ASSERT_TRUE(r.error);
                EXPECT_NE(r.error->localizedDescription().find("new stream"), std::string::npos);
            }
            int asked = 0;
            for (const auto& e : r.events)
                asked += e == "need-stream";
            EXPECT_EQ(asked, 2);
            session->invalidateAndCancel();
        }
    }
}

TEST(RedirectToAnotherOrigin, DropsTheCallersCookieAndAuthorizationHeaders) {
    LoopbackServer first;
    LoopbackServer other;  // another port: another origin
    LoopbackServer secure(LoopbackServer::Certificate::Valid);
    auto session = URLSession::sessionWithConfiguration(testConfiguration(secure));
    struct Case {
        std::string target;
        bool kept;
    };
    for (const Case& c : {Case{first.url("/echo"), true}, Case{other.url("/echo"), false},
                          Case{secure.url("/echo"), false}}) {
        SCOPED_TRACE(c.target);
        for (int status : {302, 307}) {
            URLRequest request(
                url(first.url("/redirect-to?status=" + std::to_string(status) + "&url=" + c.target)));
            request.setValue("Basic dXNlcjpzZWNyZXQ=", "Authorization");
            request.setValue("session=caller", "Cookie");
            request.setValue("kept", "X-Custom");
            Completion done;
            ASSERT_TRUE(done.run(*session, request));
            ASSERT_EQ(done.error, nullptr);
            auto echo = echoOf(done.body());
            EXPECT_EQ(echoHeader(echo, "Authorization"), c.kept ? "Basic dXNlcjpzZWNyZXQ=" : "<none>");
            EXPECT_EQ(echoHeader(echo, "Cookie"), c.kept ? "session=caller" : "<none>");
            EXPECT_EQ(echoHeader(echo, "X-Custom"), "kept");
        }
    }
    session->invalidateAndCancel();
}

TEST(CookieDomains, ACookieForAnAddressSuffixDoesNotReachAnotherAddress) {
    LoopbackServer server;  // 127.0.0.1
    auto config = testConfiguration(server);
    config.httpCookieStorage = std::make_shared<HTTPCookieStorage>();
    auto session = URLSession::sessionWithConfiguration(config);
    Completion set;
    ASSERT_TRUE(set.run(*session, server.url("/status/200?header=Set-Cookie:wide%3D1%3B%20Domain%3D1"
                                             "&header=Set-Cookie:own%3D2%3B%20Path%3D%2F")));
    ASSERT_EQ(set.error, nullptr);
    auto stored = config.httpCookieStorage->cookies();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].name, "own");
    // The server sees only its own cookie; another loopback address, none.
    Completion read;
    ASSERT_TRUE(read.run(*session, server.url("/cookies")));
    EXPECT_EQ(read.body(), "own=2");
    EXPECT_TRUE(config.httpCookieStorage->cookiesForURL(url("http://127.100.0.1/cookies")).empty());
    session->invalidateAndCancel();
}

TEST(AuthenticationRounds, AreCappedWhenTheDelegateKeepsAnsweringWrongly) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    std::atomic<int> asked{0};
    delegate->onTaskChallenge = [&](const URLAuthenticationChallenge&, ChallengeCompletion done) {
        asked++;
        done(URLSessionAuthChallengeDisposition::UseCredential,
             URLCredential::withUser("user", "wrong", URLCredentialPersistence::None));
    };
    delegate->onResponse = [](const HTTPURLResponsePtr&, ResponseCompletion done) {
        done(URLSessionResponseDisposition::Allow);
    };
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    auto task = session->dataTaskWithURL(url(server.url("/basic-auth/user/secret")));
    task->resume();
    auto r = delegate->waitFor(*task);
    // The last 401 is the response; the task does not fail.
    EXPECT_EQ(r.error, nullptr);
    EXPECT_EQ(task->response()->statusCode(), 401);
    EXPECT_EQ(r.body, "unauthorized");
    EXPECT_EQ(asked.load(), 3);
    EXPECT_EQ(server.requestCount("/basic-auth/user/secret"), 4u);
    session->invalidateAndCancel();
}

TEST(RequestRefusals, HaveTheirOwnClearErrors) {
    LoopbackServer server;
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));

    // A header that would inject another header line.
    URLRequest injected(url(server.url("/echo")));
    injected.setValue("x\r\nX-Injected: 1", "X-Note");
    Completion refused;
    ASSERT_TRUE(refused.run(*session, injected));
    EXPECT_EQ(codeOf(refused.error), URLErrorBadURL);
    ASSERT_TRUE(refused.error);
    EXPECT_NE(refused.error->localizedDescription().find("header field \"X-Note\""), std::string::npos)
        << refused.error->localizedDescription();
    EXPECT_EQ(refused.error->localizedDescription().find("unsupported URL"), std::string::npos);
    EXPECT_EQ(server.requestCount("/echo"), 0u);

    // A response header beyond what the layer reads.
    Completion huge;
    ASSERT_TRUE(huge.run(*session, server.url("/big-header/1048576")));
    EXPECT_EQ(codeOf(huge.error), URLErrorBadServerResponse);
    ASSERT_TRUE(huge.error);
    EXPECT_NE(huge.error->localizedDescription().find("header"), std::string::npos)
        << huge.error->localizedDescription();
    // One within bounds is read whole.
    Completion large;
    ASSERT_TRUE(large.run(*session, server.url("/big-header/60000")));
    EXPECT_EQ(large.error, nullptr);
    EXPECT_EQ(large.response->valueForHTTPHeaderField("X-Big")->size(), 60000u);
    session->invalidateAndCancel();
}

TEST(DecodedBodyLimit, BoundsBodiesCollectedInMemoryButNotStreamedOnes) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    config.maximumInMemoryBodyLength = 1 << 20;
    auto session = URLSession::sessionWithConfiguration(config);
    // 4 MB of zeros arrive as a few KB of gzip.
    Completion bomb;
    ASSERT_TRUE(bomb.run(*session, server.url("/gzip-zeros/4194304")));
    EXPECT_EQ(codeOf(bomb.error), URLErrorDataLengthExceedsMaximum);
    ASSERT_TRUE(bomb.error);
    EXPECT_NE(bomb.error->localizedDescription().find("maximumInMemoryBodyLength"), std::string::npos);
    EXPECT_FALSE(bomb.data);
    Completion within;
    ASSERT_TRUE(within.run(*session, server.url("/gzip-zeros/1048576")));
    EXPECT_EQ(within.error, nullptr);
    EXPECT_EQ(within.data->length(), 1048576u);
    session->invalidateAndCancel();

    // A delegate that takes the data as it arrives gets all of it.
    auto delegate = std::make_shared<RecordingDelegate>();
    auto streaming = URLSession::sessionWithConfiguration(config, delegate);
    auto task = streaming->dataTaskWithURL(url(server.url("/gzip-zeros/4194304")));
    task->resume();
    auto r = delegate->waitFor(*task);
    EXPECT_EQ(r.error, nullptr);
    EXPECT_EQ(r.body.size(), 4194304u);
    streaming->invalidateAndCancel();
}
