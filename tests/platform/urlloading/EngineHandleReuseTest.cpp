// The engine keeps a transfer handle configured after a plain GET and hands
// it to the next hop; every other hop resets its handle. Requests sent one
// after another on a session reuse the same handle, so each case below
// sends a request with settings of its own and then a plain one, and checks
// that the second carries none of the first's: header fields, cookies,
// range, method, body, encoding, a failed transfer's state, TLS.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/urlloading/URLLoadingTestSupport.h"

using namespace urltest;
using testsupport::LoopbackServer;
using testsupport::RecordedRequest;

namespace {

// A plain GET of /echo that must succeed.
RecordedRequest plainGet(URLSession& session, const LoopbackServer& server) {
    Completion done;
    EXPECT_TRUE(done.run(session, server.url("/echo")));
    EXPECT_EQ(done.error, nullptr);
    EXPECT_EQ(done.response ? done.response->statusCode() : 0, 200);
    EXPECT_FALSE(done.body().empty());
    return lastRequest(server);
}

// The request's header fields (without the server's notes on addresses
// and ports).
std::map<std::string, std::string> fields(const RecordedRequest& request) {
    auto all = request.headers;
    for (const char* note : {"local_addr", "local_port", "remote_addr", "remote_port"})
        all.erase(note);
    return all;
}

// A one-shot HTTP peer on 127.0.0.1 that keeps the raw bytes of each
// request it answers (the loopback server's record folds repeated fields).
class RawPeer {
  public:
    explicit RawPeer(int connections) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 8), 0);
        EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                int fd = ::accept(listener_, nullptr, nullptr);
                if (fd < 0)
                    return;
                std::string request;
                char buffer[4096];
                while (request.find("\r\n\r\n") == std::string::npos) {
                    ssize_t n = ::read(fd, buffer, sizeof buffer);
                    if (n <= 0)
                        break;
                    request.append(buffer, static_cast<size_t>(n));
                }
                // Recorded before answering: once the client has its answer
                // the test may read the record at once.
                {
                    std::lock_guard lock(mutex_);
                    requests_.push_back(request);
                }
                static constexpr char kAnswer[] =
                    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
                [[maybe_unused]] auto written = ::write(fd, kAnswer, sizeof kAnswer - 1);
                ::close(fd);
            }
        });
    }
    ~RawPeer() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/raw"; }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

// How many lines of `request` name the field (any case).
int fieldLines(std::string request, const std::string& lowerCaseName) {
    std::transform(request.begin(), request.end(), request.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    int count = 0;
    for (size_t at = request.find("\r\n" + lowerCaseName + ":"); at != std::string::npos;
         at = request.find("\r\n" + lowerCaseName + ":", at + 1))
        ++count;
    return count;
}

class EngineHandleReuse : public ::testing::Test {
  protected:
    void SetUp() override {
        session = URLSession::sessionWithConfiguration(testConfiguration(server));
        // What a plain GET sends on a fresh handle.
        fresh = plainGet(*session, server);
    }
    void TearDown() override { session->invalidateAndCancel(); }

    // The plain GET after a request matches the one on a fresh handle.
    void expectPlainAfter(const char* what) {
        SCOPED_TRACE(what);
        auto plain = plainGet(*session, server);
        EXPECT_EQ(plain.method, "GET");
        EXPECT_EQ(plain.body, "");
        EXPECT_EQ(fields(plain), fields(fresh));
    }

    LoopbackServer server;
    std::shared_ptr<URLSession> session;
    RecordedRequest fresh;
};

}  // namespace

TEST_F(EngineHandleReuse, APlainGetSendsTheDecodableEncodingsOnce) {
    const auto encoding = fresh.header("accept-encoding");
    EXPECT_NE(encoding.find("gzip"), std::string::npos) << encoding;
    // Once: not libcurl's field as well as ours.
    EXPECT_EQ(encoding.find("gzip"), encoding.rfind("gzip")) << encoding;
    // A gzip answer is still decoded on a reused handle.
    for (int i = 0; i < 2; ++i) {
        Completion gz;
        ASSERT_TRUE(gz.run(*session, server.url("/gzip")));
        EXPECT_EQ(gz.body(), LoopbackServer::gzipBodyText());
    }
}

TEST(EngineHandleReuseWire, AcceptEncodingIsSentOnceWhetherTheCallersOrTheDefault) {
    RawPeer peer(2);
    auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.connectionProxyFromEnvironment = false;
    auto session = URLSession::sessionWithConfiguration(configuration);
    URLRequest own(url(peer.url()));
    own.setValue("gzip", "Accept-Encoding");
    Completion first;
    ASSERT_TRUE(first.run(*session, own));
    EXPECT_EQ(first.body(), "ok");
    Completion second;  // on the same handle
    ASSERT_TRUE(second.run(*session, peer.url()));
    EXPECT_EQ(second.body(), "ok");
    session->invalidateAndCancel();
    auto sent = peer.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(fieldLines(sent[0], "accept-encoding"), 1) << sent[0];
    EXPECT_NE(sent[0].find("Accept-Encoding: gzip\r\n"), std::string::npos) << sent[0];
    EXPECT_EQ(fieldLines(sent[1], "accept-encoding"), 1) << sent[1];
    EXPECT_EQ(sent[1].find("Accept-Encoding: gzip\r\n"), std::string::npos) << sent[1];
}

TEST_F(EngineHandleReuse, HeaderFieldsCookiesRangeAndEncodingOfAGetDoNotReachTheNext) {
    URLRequest first(url(server.url("/echo")));
    first.setValue("one", "X-First");
    first.setValue("a=b", "Cookie");
    first.setValue("bytes=0-3", "Range");
    first.setValue("gzip", "Accept-Encoding");
    first.setValue("Bearer secret", "Authorization");
    Completion done;
    ASSERT_TRUE(done.run(*session, first));
    auto sent = lastRequest(server);
    EXPECT_EQ(sent.header("x-first"), "one");
    EXPECT_EQ(sent.header("accept-encoding"), "gzip");
    EXPECT_EQ(sent.header("range"), "bytes=0-3");
    expectPlainAfter("custom header fields");
}

TEST_F(EngineHandleReuse, MethodAndBodyDoNotReachTheNextRequest) {
    URLRequest post(url(server.url("/echo")));
    post.httpMethod = "POST";
    post.httpBody = Data::fromString("payload");
    post.setValue("text/plain", "Content-Type");
    Completion posted;
    ASSERT_TRUE(posted.run(*session, post));
    EXPECT_EQ(lastRequest(server).body, "payload");
    expectPlainAfter("POST with a body");

    URLRequest head(url(server.url("/echo")));
    head.httpMethod = "HEAD";
    Completion headed;
    ASSERT_TRUE(headed.run(*session, head));
    EXPECT_EQ(lastRequest(server).method, "HEAD");
    expectPlainAfter("HEAD");

    URLRequest del(url(server.url("/echo")));
    del.httpMethod = "DELETE";
    Completion deleted;
    ASSERT_TRUE(deleted.run(*session, del));
    EXPECT_EQ(lastRequest(server).method, "DELETE");
    expectPlainAfter("DELETE");

    URLRequest put(url(server.url("/upload")));
    put.httpMethod = "PUT";
    put.httpBody = Data::fromString("uploaded");
    Completion uploaded;
    ASSERT_TRUE(uploaded.run(*session, put));
    EXPECT_EQ(lastRequest(server).method, "PUT");
    EXPECT_EQ(lastRequest(server).body, "uploaded");
    expectPlainAfter("PUT with a body");
}

// The method is compared and handed to libcurl without a copy: each goes out
// as written, with or without a body, and the plain GET after it is still
// plain.
TEST_F(EngineHandleReuse, EachMethodGoesOutAsWrittenAndTheNextGetIsPlain) {
    struct Case {
        const char* method;
        const char* body;  // null: none
    };
    for (auto c : {Case{"OPTIONS", nullptr}, Case{"PATCH", "patched"}, Case{"DELETE", "deleted"},
                   Case{"POST", "posted"}, Case{"OPTIONS", nullptr}}) {
        SCOPED_TRACE(c.method);
        URLRequest r(url(server.url("/echo")));
        r.httpMethod = c.method;
        EXPECT_EQ(r.methodView(), r.method());
        if (c.body)
            r.httpBody = Data::fromString(c.body);
        Completion done;
        ASSERT_TRUE(done.run(*session, r));
        auto sent = lastRequest(server);
        EXPECT_EQ(sent.method, c.method);
        EXPECT_EQ(sent.body, c.body ? c.body : "");
        expectPlainAfter(c.method);
    }
    URLRequest unset(url(server.url("/echo")));
    EXPECT_EQ(unset.methodView(), "GET");
    EXPECT_EQ(unset.methodView(), unset.method());
}

TEST_F(EngineHandleReuse, ADownloadOrAFailedTransferLeavesNothingBehind) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    session
        ->downloadTaskWithRequest(URLRequest(url(server.url("/bytes/100000"))),
                                  [&](std::optional<URL>, HTTPURLResponsePtr, ErrorPtr) {
                                      std::lock_guard lock(m);
                                      done = true;
                                      cv.notify_all();
                                  })
        ->resume();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, kHangGuard, [&] { return done; }));
    }
    expectPlainAfter("a download");

    // A GET that times out (its handle was configured for a plain GET).
    Completion stalled;
    ASSERT_TRUE(stalled.run(*session, URLRequest(url(server.url("/stall")), 0.5)));
    ASSERT_TRUE(stalled.error);
    EXPECT_EQ(stalled.error->code(), URLErrorTimedOut);
    server.releaseStalled();
    expectPlainAfter("a timed-out GET");

    Completion small;
    ASSERT_TRUE(small.run(*session, server.url("/bytes/64")));
    EXPECT_EQ(small.body(), LoopbackServer::bytesBody(64));
    EXPECT_EQ(lastRequest(server).header("range"), "");
}

TEST(EngineHandleReuseTLS, PlainAndSecureRequestsAlternateOnOneSession) {
    LoopbackServer secure(LoopbackServer::Certificate::Valid);
    LoopbackServer plain;
    auto session = URLSession::sessionWithConfiguration(testConfiguration(secure));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Completion overTLS;
        ASSERT_TRUE(overTLS.run(*session, secure.url("/bytes/64")));
        EXPECT_EQ(overTLS.error, nullptr);
        EXPECT_EQ(overTLS.body(), LoopbackServer::bytesBody(64));
        Completion overPlain;
        ASSERT_TRUE(overPlain.run(*session, plain.url("/bytes/64")));
        EXPECT_EQ(overPlain.error, nullptr);
        EXPECT_EQ(overPlain.body(), LoopbackServer::bytesBody(64));
    }
    EXPECT_EQ(secure.requestCount("/bytes/64"), 2u);
    EXPECT_EQ(plain.requestCount("/bytes/64"), 2u);
    session->invalidateAndCancel();

    // A server whose certificate is refused, after a plain request on the
    // same session: the kept handle still judges the chain.
    LoopbackServer expired(LoopbackServer::Certificate::Expired);
    auto strict = URLSession::sessionWithConfiguration(testConfiguration(expired));
    Completion first;
    ASSERT_TRUE(first.run(*strict, plain.url("/bytes/64")));
    EXPECT_EQ(first.error, nullptr);
    Completion refused;
    ASSERT_TRUE(refused.run(*strict, expired.url("/bytes/64")));
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(expired.requestCount("/bytes/64"), 0u);
    strict->invalidateAndCancel();
}

// A kept handle carries the URL of its last request: each request after it
// still goes to its own, on this server or another.
TEST_F(EngineHandleReuse, EachRequestOnAKeptHandleGoesToItsOwnURL) {
    LoopbackServer other;
    const std::vector<std::pair<const LoopbackServer*, std::string>> steps = {
        {&server, "/echo?step=1"}, {&server, "/echo?step=1"}, {&server, "/bytes/64"},
        {&other, "/bytes/64"},     {&server, "/bytes/64"},    {&server, "/echo?step=1"},
        {&other, "/echo?step=2"},  {&other, "/echo?step=2"},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const auto& [target, path] = steps[i];
        SCOPED_TRACE(i);
        Completion done;
        ASSERT_TRUE(done.run(*session, target->url(path)));
        ASSERT_EQ(done.error, nullptr);
        ASSERT_TRUE(done.response);
        EXPECT_EQ(done.response->url().absoluteString(), target->url(path));
        if (path == "/bytes/64")
            EXPECT_EQ(done.body(), LoopbackServer::bytesBody(64));
        else
            EXPECT_EQ(lastRequest(*target).path, path.substr(0, path.find('?')));
    }
    EXPECT_EQ(other.requestCount("/bytes/64"), 1u);
    EXPECT_EQ(server.requestCount("/bytes/64"), 2u);
}

namespace {

// A port on 127.0.0.1 that nothing listens on (bound, then let go).
int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

// libcurl's text of a failed hop is kept with the handle: a failure on a
// kept handle (after a plain GET) and one on a reset handle each report
// their own, and a request after them succeeds with no error.
TEST_F(EngineHandleReuse, EachFailedRequestReportsItsOwnReason) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const int port = closedPort();
        Completion refused;
        ASSERT_TRUE(refused.run(*session, "http://127.0.0.1:" + std::to_string(port) + "/x"));
        ASSERT_TRUE(refused.error);
        EXPECT_EQ(refused.error->code(), URLErrorCannotConnectToHost);
        const auto* detail = refused.error->userInfo().find(plat::DebugDescriptionErrorKey);
        ASSERT_TRUE(detail && detail->asString());
        EXPECT_NE(detail->asString()->find("port " + std::to_string(port)), std::string::npos)
            << *detail->asString();
    }
    expectPlainAfter("two refused connections");
}

// What goes on the wire for URLs whose text libcurl's parser rewrites: dot
// segments removed, percent escapes and the query kept as written, the
// fragment left out, the port in Host. The same on a fresh handle and on
// kept ones, each URL after a different one and after itself.
TEST(EngineHandleReuseWire, RequestLinesFollowEachURLAsLibcurlParsesIt) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/a/./b/../raw?x=1%202&y#part", "GET /a/raw?x=1%202&y HTTP/1.1\r\n"},
        {"/raw/%7Euser/z", "GET /raw/%7Euser/z HTTP/1.1\r\n"},
        {"/raw", "GET /raw HTTP/1.1\r\n"},
        {"/c/../raw?q=%2F#", "GET /raw?q=%2F HTTP/1.1\r\n"},
    };
    RawPeer peer(static_cast<int>(2 * cases.size()));
    const std::string origin = peer.url().substr(0, peer.url().rfind("/raw"));
    auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.connectionProxyFromEnvironment = false;
    auto session = URLSession::sessionWithConfiguration(configuration);
    for (int round = 0; round < 2; ++round) {
        for (const auto& [path, line] : cases) {
            Completion done;
            ASSERT_TRUE(done.run(*session, origin + path));
            EXPECT_EQ(done.error, nullptr) << path;
            EXPECT_EQ(done.body(), "ok") << path;
        }
    }
    session->invalidateAndCancel();
    const auto sent = peer.requests();
    ASSERT_EQ(sent.size(), 2 * cases.size());
    const std::string host = "\r\nHost: " + origin.substr(std::string("http://").size()) + "\r\n";
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(cases[i % cases.size()].first);
        EXPECT_EQ(sent[i].rfind(cases[i % cases.size()].second, 0), 0u) << sent[i];
        EXPECT_NE(sent[i].find(host), std::string::npos) << sent[i];
    }
}
