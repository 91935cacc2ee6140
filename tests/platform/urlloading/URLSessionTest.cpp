#include "platform/urlloading/URLSession.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <fstream>
#include <set>

#include "platform/urlloading/URLLoadingTestSupport.h"
#include "platform/urlloading/detail/ResumeData.h"
#include "support/TempDir.h"

using namespace urltest;
using testsupport::LoopbackServer;

namespace {

int64_t codeOf(const ErrorPtr& error) {
    return error ? error->code() : 0;
}

// Every task kind over HTTP and HTTPS.
class TaskKinds : public ::testing::TestWithParam<bool> {
  protected:
    TaskKinds()
        : owned(GetParam() ? std::make_unique<LoopbackServer>(LoopbackServer::Certificate::Valid)
                           : std::make_unique<LoopbackServer>()),
          server(*owned) {}
    std::unique_ptr<LoopbackServer> owned;
    LoopbackServer& server;
};

}  // namespace

TEST_P(TaskKinds, EveryTaskKindDeliversItsEventsInOrder) {
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->onResponse = [](const HTTPURLResponsePtr&, ResponseCompletion done) {
        done(URLSessionResponseDisposition::Allow);
    };
    delegate->onNeedStream = [] {
        return std::shared_ptr<InputStream>(InputStream::withData(Data::fromString("streamed body")));
    };
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);

    auto data = session->dataTaskWithURL(url(server.url("/bytes/70000")));
    URLRequest post(url(server.url("/echo")));
    post.httpMethod = "POST";
    auto upload = session->uploadTaskWithRequest(post, Data::fromString("uploaded body"));
    testsupport::TempDir dir;
    std::ofstream(dir / "body.txt") << "file body";
    auto fileUpload = session->uploadTaskWithRequest(post, URL::fileURLWithPath((dir / "body.txt").string()));
    auto streamUpload = session->uploadTaskWithStreamedRequest(post);
    auto download = session->downloadTaskWithRequest(URLRequest(url(server.url("/bytes/100000"))));
    EXPECT_EQ(data->state(), URLSessionTaskState::Suspended);
    std::set<uint64_t> ids;
    for (auto task :
         std::vector<std::shared_ptr<URLSessionTask>>{data, upload, fileUpload, streamUpload, download}) {
        ids.insert(task->taskIdentifier());
        task->resume();
    }
    EXPECT_EQ(ids.size(), 5u);

    auto d = delegate->waitFor(*data);
    EXPECT_EQ(d.error, nullptr);
    EXPECT_EQ(d.events, (std::vector<std::string>{"response 200", "data", "metrics", "complete"}));
    EXPECT_TRUE(d.body == LoopbackServer::bytesBody(70000)) << d.body.size();
    EXPECT_EQ(data->response()->expectedContentLength(), 70000);
    EXPECT_EQ(data->state(), URLSessionTaskState::Completed);
    ASSERT_TRUE(d.metrics);
    EXPECT_EQ(d.metrics->transactionMetrics.size(), 1u);

    auto u = delegate->waitFor(*upload);
    EXPECT_EQ(*echoOf(u.body).find("body")->asString(), "uploaded body");
    EXPECT_EQ(echoHeader(echoOf(u.body), "Expect"), "<none>");
    EXPECT_EQ(u.bytesSent, 13);
    EXPECT_EQ(*echoOf(delegate->waitFor(*fileUpload).body).find("body")->asString(), "file body");
    auto s = delegate->waitFor(*streamUpload);
    EXPECT_EQ(s.events.front(), "need-stream");
    EXPECT_EQ(*echoOf(s.body).find("body")->asString(), "streamed body");
    EXPECT_EQ(echoHeader(echoOf(s.body), "Transfer-Encoding"), "chunked");

    auto dl = delegate->waitFor(*download);
    EXPECT_EQ(dl.error, nullptr);
    EXPECT_EQ(dl.events, (std::vector<std::string>{"write", "finished-download", "metrics", "complete"}));
    EXPECT_TRUE(dl.downloaded == LoopbackServer::bytesBody(100000)) << dl.downloaded.size();
    EXPECT_EQ(dl.bytesWritten, 100000);
    session->finishTasksAndInvalidate();
    EXPECT_TRUE(delegate->waitForInvalid());
    EXPECT_EQ(session->delegate(), nullptr);
    // The file outlives the callback and goes with the task.
    struct stat st {};
    EXPECT_EQ(::stat(dl.downloadPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    download.reset();
    EXPECT_NE(::stat(dl.downloadPath.c_str(), &st), 0);
}

INSTANTIATE_TEST_SUITE_P(HTTPAndHTTPS, TaskKinds, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "HTTPS" : "HTTP"; });

TEST(URLSession, HeadersOnTheWireAreTheConfigurationsThenTheRequestsWithoutExpectOrDefaultContentType) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    config.httpAdditionalHeaders.setValue("from-config", "X-Config");
    config.httpAdditionalHeaders.setValue("config", "X-Both");
    auto session = URLSession::sessionWithConfiguration(config);
    URLRequest request(url(server.url("/echo")));
    request.httpMethod = "POST";
    request.setValue("request", "x-both");
    request.httpBody = Data(std::vector<uint8_t>(1400, 'z'));
    Completion done;
    ASSERT_TRUE(done.run(*session, request));
    auto echo = echoOf(done.body());
    EXPECT_EQ(echoHeader(echo, "X-Config"), "from-config");
    EXPECT_EQ(echoHeader(echo, "X-Both"), "request");
    EXPECT_EQ(echoHeader(echo, "Expect"), "<none>");
    EXPECT_EQ(echoHeader(echo, "Content-Type"), "<none>");
    EXPECT_EQ(echoHeader(echo, "Content-Length"), "1400");

    // A request without a body: the configuration's fields, nothing else of ours.
    Completion plain;
    ASSERT_TRUE(plain.run(*session, URLRequest(url(server.url("/echo")))));
    auto plainEcho = echoOf(plain.body());
    EXPECT_EQ(echoHeader(plainEcho, "X-Both"), "config");
    EXPECT_EQ(echoHeader(plainEcho, "Expect"), "<none>");
    EXPECT_EQ(echoHeader(plainEcho, "Content-Type"), "<none>");

    URLRequest injected(url(server.url("/echo")));
    injected.setValue("a\r\nX-Injected: 1", "X-Bad");
    Completion refused;
    ASSERT_TRUE(refused.run(*session, injected));
    EXPECT_EQ(codeOf(refused.error), URLErrorBadURL);
    session->invalidateAndCancel();
}

// Each completion starts the next request, as paging clients do: the
// network thread waits briefly for follow-up commands instead of sleeping
// (and they then wake nothing), and none of them may be missed. Starts come
// from the delegate queue (the session's own, or one the caller gave) and
// from another thread.
TEST(URLSession, RequestsStartedFromCompletionHandlersAllFinish) {
    LoopbackServer server;
    auto given = std::make_shared<plat::dispatch::OperationQueue>("given");
    given->setMaxConcurrentOperationCount(1);
    const auto other = plat::dispatch::Queue::serial("starts");
    for (int variant = 0; variant < 3; ++variant) {
        auto session = URLSession::sessionWithConfiguration(testConfiguration(server), nullptr,
                                                            variant == 1 ? given : nullptr);
        const auto address = url(server.url("/bytes/64"));
        constexpr int kTotal = 300, kInFlight = 4;
        std::mutex m;
        std::condition_variable cv;
        int started = 0, finished = 0, failed = 0;
        std::function<void()> startOne = [&] {
            session
                ->dataTaskWithRequest(URLRequest(address),
                                      [&](std::optional<Data> data, HTTPURLResponsePtr, ErrorPtr error) {
                                          const bool bad = error || !data || data->length() != 64;
                                          auto next = [&, bad] {
                                              std::lock_guard lock(m);
                                              failed += bad;
                                              finished++;
                                              if (started < kTotal) {
                                                  started++;
                                                  startOne();
                                              }
                                              cv.notify_all();
                                          };
                                          if (variant == 2)
                                              other.async(next);
                                          else
                                              next();
                                      })
                ->resume();
        };
        {
            std::lock_guard lock(m);
            for (; started < kInFlight; ++started)
                startOne();
        }
        std::unique_lock lock(m);
        EXPECT_TRUE(cv.wait_for(lock, kHangGuard, [&] { return finished == kTotal; }))
            << "variant " << variant << ": " << finished << " of " << kTotal;
        EXPECT_EQ(failed, 0) << "variant " << variant;
        lock.unlock();
        session->invalidateAndCancel();
    }
}

TEST(URLSession, ResponseFieldsComeFromTheFinalResponse) {
    LoopbackServer server;
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));
    Completion done;
    session->dataTaskWithURL(
        url(server.url("/status/201?header=X-A:1&type=Text/HTML%3B%20charset%3D%22utf-8%22&body=hi")));
    auto task =
        session->dataTaskWithRequest(URLRequest(url(server.url("/redirect/1?status=307"))), done.handler());
    task->resume();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.response->statusCode(), 200);
    EXPECT_EQ(done.response->url().absoluteString(), server.url("/echo"));
    EXPECT_EQ(done.response->MIMEType(), "application/json");

    Completion typed;
    ASSERT_TRUE(typed.run(
        *session, server.url("/status/201?header=X-A:1&type=Text/HTML%3B%20charset%3D%22utf-8%22&body=hi")));
    EXPECT_EQ(typed.response->statusCode(), 201);
    EXPECT_EQ(typed.response->MIMEType(), "text/html");
    EXPECT_EQ(typed.response->textEncodingName(), "utf-8");
    EXPECT_EQ(typed.response->valueForHTTPHeaderField("x-a"), "1");
    EXPECT_EQ(typed.body(), "hi");
    session->invalidateAndCancel();
}

TEST(URLSession, GzipBodiesAreDecodedAndTheirLengthIsUnknown) {
    LoopbackServer server;
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));
    Completion done;
    ASSERT_TRUE(done.run(*session, server.url("/gzip")));
    EXPECT_EQ(done.body(), LoopbackServer::gzipBodyText());
    EXPECT_EQ(done.response->expectedContentLength(), URLResponseUnknownLength);
    session->invalidateAndCancel();
}

TEST(URLSession, RedirectsAreFollowedChangedOrRefusedAndLoopsEnd) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    std::string mode = "follow";
    delegate->onRedirect = [&](const URLRequest& next, RedirectCompletion done) {
        if (mode == "follow")
            return done(next);
        if (mode == "refuse")
            return done(std::nullopt);
        URLRequest changed = next;
        changed.url = url(server.url("/status/204"));
        done(changed);
    };
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);

    auto followed = session->dataTaskWithURL(url(server.url("/redirect/3")));
    followed->resume();
    auto f = delegate->waitFor(*followed);
    // /redirect/3 -> 2 -> 1 -> 0 -> /echo
    EXPECT_EQ(f.events, (std::vector<std::string>{"redirect 302", "redirect 302", "redirect 302",
                                                  "redirect 302", "data", "metrics", "complete"}));
    EXPECT_EQ(f.metrics->redirectCount, 4);
    EXPECT_EQ(f.metrics->transactionMetrics.size(), 5u);

    mode = "refuse";
    auto refused = session->dataTaskWithURL(url(server.url("/redirect/2")));
    refused->resume();
    auto r = delegate->waitFor(*refused);
    EXPECT_EQ(r.error, nullptr);
    EXPECT_EQ(refused->response()->statusCode(), 302);
    EXPECT_EQ(r.body, "redirecting");

    mode = "change";
    auto changed = session->dataTaskWithURL(url(server.url("/redirect/2")));
    changed->resume();
    delegate->waitFor(*changed);
    EXPECT_EQ(changed->response()->statusCode(), 204);

    mode = "follow";
    auto loop = session->dataTaskWithURL(url(server.url("/loop")));
    loop->resume();
    EXPECT_EQ(codeOf(delegate->waitFor(*loop).error), URLErrorHTTPTooManyRedirects);
    EXPECT_EQ(server.requestCount("/loop"), 17u);
    session->invalidateAndCancel();
}

// A task's current request is its original one (same fields) until a
// redirect replaces it; the original stays as made.
TEST(URLSession, TheCurrentRequestIsTheOriginalUntilARedirectReplacesIt) {
    LoopbackServer server;
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));
    URLRequest request(url(server.url("/redirect/1")));
    request.setValue("kept", "X-Mark");

    Completion done;
    auto task = session->dataTaskWithRequest(request, done.handler());
    ASSERT_TRUE(task->currentRequest());
    EXPECT_EQ(task->currentRequest()->url->absoluteString(), server.url("/redirect/1"));
    EXPECT_EQ(task->currentRequest()->valueForHTTPHeaderField("X-Mark"), "kept");
    task->resume();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(task->currentRequest()->url->absoluteString(), server.url("/echo"));
    EXPECT_EQ(task->originalRequest()->url->absoluteString(), server.url("/redirect/1"));

    Completion direct;
    auto plain = session->dataTaskWithRequest(URLRequest(url(server.url("/bytes/8"))), direct.handler());
    plain->resume();
    ASSERT_TRUE(direct.wait());
    EXPECT_EQ(plain->currentRequest()->url->absoluteString(), server.url("/bytes/8"));
    session->invalidateAndCancel();
}

TEST(URLSession, SeeOtherTurnsAPostIntoAGetWithoutBody) {
    LoopbackServer server;
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));
    URLRequest request(url(server.url("/redirect/1?status=303")));
    request.httpMethod = "POST";
    request.httpBody = Data::fromString("payload");
    request.setValue("text/plain", "Content-Type");
    Completion done;
    auto task = session->dataTaskWithRequest(request, done.handler());
    // /redirect/1?status=303 points at /redirect/0?status=303, then /echo.
    task->resume();
    ASSERT_TRUE(done.wait());
    auto echo = echoOf(done.body());
    EXPECT_EQ(*echo.find("method")->asString(), "GET");
    EXPECT_EQ(*echo.find("body")->asString(), "");
    EXPECT_EQ(echoHeader(echo, "Content-Type"), "<none>");
    session->invalidateAndCancel();
}

TEST(URLSession, BasicAndDigestChallengesAreAnsweredFromTheHandlerOrTheStorage) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    std::vector<std::string> passwords;
    std::string method;
    delegate->onTaskChallenge = [&](const URLAuthenticationChallenge& c, ChallengeCompletion done) {
        method = c.protectionSpace.authenticationMethod;
        EXPECT_EQ(c.protectionSpace.realm, "test");
        if (static_cast<size_t>(c.previousFailureCount) >= passwords.size()) {
            return done(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
        }
        done(URLSessionAuthChallengeDisposition::UseCredential,
             URLCredential::withUser("user", passwords[c.previousFailureCount]));
    };
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);

    for (std::string kind : {"basic", "digest"}) {
        passwords = {"wrong", "secret"};
        auto task = session->dataTaskWithURL(url(server.url("/" + kind + "-auth/user/secret")));
        task->resume();
        auto r = delegate->waitFor(*task);
        EXPECT_EQ(r.error, nullptr) << kind;
        EXPECT_EQ(task->response()->statusCode(), 200) << kind;
        EXPECT_EQ(r.events[0], "challenge 0");
        EXPECT_EQ(r.events[1], "challenge 1");
        EXPECT_EQ(method,
                  kind == "basic" ? URLAuthenticationMethodHTTPBasic : URLAuthenticationMethodHTTPDigest);
    }

    passwords = {};
    auto cancelled = session->dataTaskWithURL(url(server.url("/basic-auth/user/secret")));
    cancelled->resume();
    EXPECT_EQ(codeOf(delegate->waitFor(*cancelled).error), URLErrorCancelled);
    session->invalidateAndCancel();

    // Default handling takes the storage's default credential, once.
    auto config = testConfiguration(server);
    URLProtectionSpace space{"127.0.0.1", server.port(), "http", "test", URLAuthenticationMethodHTTPDigest,
                             nullptr};
    config.urlCredentialStorage->setDefaultCredential(URLCredential::withUser("user", "secret"), space);
    auto plain = URLSession::sessionWithConfiguration(config);
    Completion stored;
    ASSERT_TRUE(stored.run(*plain, server.url("/digest-auth/user/secret")));
    EXPECT_EQ(stored.response->statusCode(), 200);
    Completion wrong;
    ASSERT_TRUE(wrong.run(*plain, server.url("/digest-auth/user/other")));
    EXPECT_EQ(wrong.error, nullptr);
    EXPECT_EQ(wrong.response->statusCode(), 401);
    EXPECT_EQ(wrong.body(), "unauthorized");
    plain->invalidateAndCancel();
}

TEST(URLSession, CookiesAreStoredAndSentBack) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    auto session = URLSession::sessionWithConfiguration(config);
    Completion set, get;
    session->dataTaskWithRequest(URLRequest(url(server.url("/cookies/set?flavour=oat"))), set.handler())
        ->resume();
    ASSERT_TRUE(set.wait());
    ASSERT_EQ(config.httpCookieStorage->cookies().size(), 1u);
    session->dataTaskWithRequest(URLRequest(url(server.url("/cookies"))), get.handler())->resume();
    ASSERT_TRUE(get.wait());
    EXPECT_EQ(get.body(), "flavour=oat");

    URLRequest without(url(server.url("/cookies")));
    without.httpShouldHandleCookies = false;
    Completion none;
    ASSERT_TRUE(none.run(*session, without));
    EXPECT_EQ(none.body(), "");
    session->invalidateAndCancel();
}

TEST(URLSession, ADroppedDownloadResumesFromItsResumeDataToTheRightBytes) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    const size_t size = 300000;
    auto first = session->downloadTaskWithRequest(URLRequest(url(server.url("/bytes/300000?drop=120000"))));
    first->resume();
    auto r = delegate->waitFor(*first);
    ASSERT_EQ(codeOf(r.error), URLErrorNetworkConnectionLost);
    EXPECT_EQ(r.error->userInfo().find(URLErrorFailingURLStringErrorKey)->asString()->find("/bytes/300000"),
              22u);
    const plat::Value* resume = r.error->userInfo().find(URLSessionDownloadTaskResumeData);
    ASSERT_TRUE(resume && resume->isData());
    first.reset();  // the partial file belongs to the resume data now
    auto info = detail::decodeResumeData(*resume->asData(), URLSession::downloadDirectory());
    ASSERT_TRUE(info);
    struct stat st {};
    ASSERT_EQ(::stat(info->partialFilePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 120000);

    auto second = session->downloadTaskWithResumeData(*resume->asData());
    second->resume();
    auto s = delegate->waitFor(*second);
    ASSERT_EQ(s.error, nullptr);
    EXPECT_EQ(s.events.front(), "resume-at 120000");
    EXPECT_EQ(second->response()->statusCode(), 206);
    EXPECT_EQ(s.downloaded.size(), size);
    EXPECT_TRUE(s.downloaded == LoopbackServer::bytesBody(size)) << s.downloaded.size();
    EXPECT_EQ(server.requests().back().header("if-range"), "\"bytes-300000\"");
    session->invalidateAndCancel();
}

TEST(URLSession, CancelByProducingResumeDataThenResumingGivesTheWholeFile) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    auto task = session->downloadTaskWithRequest(URLRequest(url(server.url("/bytes/90000?stall=40000"))));
    task->resume();
    ASSERT_TRUE(delegate->waitForBytesWritten(*task, 40000));
    std::optional<Data> resumeData;
    std::mutex m;
    task->cancelByProducingResumeData([&](std::optional<Data> d) {
        std::lock_guard lock(m);
        resumeData = std::move(d);
    });
    auto r = delegate->waitFor(*task);
    EXPECT_EQ(codeOf(r.error), URLErrorCancelled);
    EXPECT_EQ(r.completions, 1);
    std::lock_guard lock(m);
    ASSERT_TRUE(resumeData);
    server.releaseStalled();
    auto again = session->downloadTaskWithResumeData(*resumeData);
    again->resume();
    auto s = delegate->waitFor(*again);
    ASSERT_EQ(s.error, nullptr);
    EXPECT_TRUE(s.downloaded == LoopbackServer::bytesBody(90000)) << s.downloaded.size();
    session->invalidateAndCancel();
}

TEST(URLSession, ResumeDataCanOnlyPointIntoOurDownloadFolder) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration(
        URLSessionConfiguration::ephemeralSessionConfiguration(), delegate);
    testsupport::TempDir dir;
    std::ofstream(dir / "download-victim") << "keep me";
    const std::string ours = URLSession::downloadDirectory();
    ::symlink((dir / "download-victim").c_str(), (ours + "/download-planted-link").c_str());
    detail::ResumeInfo forged;
    forged.request = URLRequest(url("http://127.0.0.1:9/x"));
    forged.entityTag = "\"e\"";
    forged.bytesReceived = 3;
    std::vector<Data> blobs{Data::fromString("not resume data")};
    for (std::string path :
         {(dir / "download-victim").string(), ours + "/../download-x", std::string("/etc/passwd"),
          ours + "/download-planted-link", ours + "/other-name"}) {
        forged.partialFilePath = path;
        EXPECT_FALSE(detail::decodeResumeData(detail::encodeResumeData(forged), ours)) << path;
        blobs.push_back(detail::encodeResumeData(forged));
    }
    for (const auto& blob : blobs) {
        auto task = session->downloadTaskWithResumeData(blob);
        task->resume();
        EXPECT_EQ(codeOf(delegate->waitFor(*task).error), URLErrorCannotOpenFile);
    }
    ::unlink((ours + "/download-planted-link").c_str());
    std::ifstream in(dir / "download-victim");
    std::string contents;
    std::getline(in, contents);
    EXPECT_EQ(contents, "keep me");
    session->invalidateAndCancel();
}

TEST(URLSession, StreamedUploadsReadFoundationInputStreams) {
    LoopbackServer server;
    testsupport::TempDir dir;
    const std::string big = LoopbackServer::bytesBody(200000);
    std::ofstream(dir / "big.bin", std::ios::binary) << big;
    URLRequest put(url(server.url("/upload")));
    put.httpMethod = "PUT";
    struct Case {
        const char* name;
        std::function<std::shared_ptr<InputStream>()> stream;
        std::string expected;  // the body the server saw, or "" for a failure
    };
    const std::vector<Case> cases = {
        {"file stream, opened by the session",
         [&] {
             return std::shared_ptr<InputStream>(InputStream::withFileAtPath((dir / "big.bin").string()));
         },
         "{\"length\":200000}"},
        {"data stream the delegate opened and half read",
         [] {
             std::shared_ptr<InputStream> s = InputStream::withData(Data::fromString("skipped|rest"));
             s->open();
             uint8_t skip[8];
             s->read(skip, sizeof skip);
             return s;
         },
         "{\"length\":4}"},
        {"empty stream", [] { return std::shared_ptr<InputStream>(InputStream::withData(Data())); },
         "{\"length\":0}"},
        {"missing file",
         [&] { return std::shared_ptr<InputStream>(InputStream::withFileAtPath((dir / "none").string())); },
         ""},
        {"closed stream",
         [] {
             std::shared_ptr<InputStream> s = InputStream::withData(Data::fromString("x"));
             s->open();
             s->close();
             return s;
         },
         ""},
        {"no stream", [] { return std::shared_ptr<InputStream>(); }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto delegate = std::make_shared<RecordingDelegate>();
        delegate->onNeedStream = c.stream;
        auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
        auto task = session->uploadTaskWithStreamedRequest(put);
        task->resume();
        auto r = delegate->waitFor(*task);
        if (c.expected.empty()) {
            EXPECT_EQ(codeOf(r.error), URLErrorRequestBodyStreamExhausted);
        } else {
            EXPECT_EQ(r.error, nullptr);
            EXPECT_EQ(r.body, c.expected);
        }
        EXPECT_EQ(r.completions, 1);
        session->finishTasksAndInvalidate();
        EXPECT_TRUE(delegate->waitForInvalid());
    }
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST(URLSession, TransportFailuresMapToTheirURLErrors) {
    LoopbackServer server;
    const int refusedPort = testsupport::closedLoopbackPort();
    auto config = testConfiguration(server);
    auto session = URLSession::sessionWithConfiguration(config);
    struct Case {
        std::string url;
        double timeout;
        int64_t code;
    };
    std::vector<Case> cases{
        {"http://127.0.0.1:" + std::to_string(refusedPort) + "/", 0, URLErrorCannotConnectToHost},
        {server.url("/bytes/50000?drop=20000"), 0, URLErrorNetworkConnectionLost},
        {server.url("/stall"), 0.2, URLErrorTimedOut},
        {server.url("/bytes/50000?stall=1000"), 0.2, URLErrorTimedOut},
        {"ftp://127.0.0.1/file", 0, URLErrorUnsupportedURL},
        {"file:///etc/passwd", 0, URLErrorUnsupportedURL},
    };
    for (const auto& c : cases) {
        URLRequest request(url(c.url));
        request.timeoutInterval = c.timeout;
        Completion done;
        auto start = std::chrono::steady_clock::now();
        session->dataTaskWithRequest(request, done.handler())->resume();
        ASSERT_TRUE(done.wait()) << c.url;
        EXPECT_EQ(codeOf(done.error), c.code) << c.url;
        EXPECT_EQ(done.data, std::nullopt);
        if (c.timeout > 0) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
        }
        ASSERT_TRUE(done.error);
        EXPECT_EQ(*done.error->userInfo().find(URLErrorFailingURLStringErrorKey)->asString(), c.url);
    }
    session->invalidateAndCancel();
}

TEST(URLSession, ASuspendedTaskMovesNoBytesAndResumesToTheEnd) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    const size_t size = 8 << 20;
    auto task = session->downloadTaskWithRequest(URLRequest(url(server.url("/bytes/8388608"))));
    std::atomic<bool> suspended{false};
    delegate->onWrite = [&](URLSessionDownloadTask& t, int64_t) {
        if (!suspended.exchange(true)) {
            t.suspend();
            delegate->notify();  // waitUntil below reads `suspended`
        }
    };
    task->resume();
    ASSERT_TRUE(delegate->waitUntil([&] { return suspended.load(); }));
    // A full round trip through the network thread after the suspension.
    Completion other;
    ASSERT_TRUE(other.run(*session, server.url("/echo")));
    int64_t before = task->countOfBytesReceived();
    Completion again;
    ASSERT_TRUE(again.run(*session, server.url("/bytes/200000")));
    EXPECT_EQ(task->countOfBytesReceived(), before);
    EXPECT_LT(before, static_cast<int64_t>(size));
    EXPECT_EQ(task->state(), URLSessionTaskState::Suspended);
    task->resume();
    auto r = delegate->waitFor(*task);
    EXPECT_EQ(r.error, nullptr);
    EXPECT_EQ(r.downloaded.size(), size);
    session->invalidateAndCancel();
}

TEST(URLSession, EveryTaskCompletesExactlyOnceWhateverEndsIt) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->onResponse = [](const HTTPURLResponsePtr& r, ResponseCompletion done) {
        done(r->statusCode() == 202 ? URLSessionResponseDisposition::Cancel
                                    : URLSessionResponseDisposition::Allow);
    };
    delegate->onData = [](URLSessionTask& task, const Data&) {
        if (task.taskDescription() == "throws")
            throw std::runtime_error("delegate failure");
    };
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);

    auto cancelledTwice = session->dataTaskWithURL(url(server.url("/stall")));
    cancelledTwice->resume();
    cancelledTwice->cancel();
    cancelledTwice->cancel();
    auto neverResumed = session->dataTaskWithURL(url(server.url("/echo")));
    neverResumed->cancel();
    auto refusedResponse = session->dataTaskWithURL(url(server.url("/status/202?body=x")));
    refusedResponse->resume();
    auto throwing = session->dataTaskWithURL(url(server.url("/bytes/300000?stall=1000")));
    throwing->setTaskDescription("throws");
    throwing->resume();
    auto finished = session->dataTaskWithURL(url(server.url("/echo")));
    finished->resume();

    EXPECT_EQ(codeOf(delegate->waitFor(*cancelledTwice).error), URLErrorCancelled);
    EXPECT_EQ(codeOf(delegate->waitFor(*neverResumed).error), URLErrorCancelled);
    EXPECT_EQ(codeOf(delegate->waitFor(*refusedResponse).error), URLErrorCancelled);
    EXPECT_EQ(codeOf(delegate->waitFor(*throwing).error), URLErrorCancelled);
    EXPECT_EQ(delegate->waitFor(*finished).error, nullptr);
    finished->cancel();
    finished->resume();
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(delegate->waitForInvalid());
    for (auto task : {cancelledTwice, neverResumed, refusedResponse, throwing, finished}) {
        auto r = delegate->record(*task);
        EXPECT_EQ(r.completions, 1) << task->taskIdentifier();
        EXPECT_EQ(r.events.back(), "complete");
    }
    EXPECT_EQ(delegate->lateCalls(), 0);
}

TEST(URLSession, InvalidateAndCancelFromACallbackReturnsAndNothingFollowsTheInvalidation) {
    LoopbackServer server;
    auto delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<URLSession> session =
        URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    std::weak_ptr<URLSession> weak = session;
    delegate->onData = [weak](URLSessionTask&, const Data&) {
        if (auto s = weak.lock())
            s->invalidateAndCancel();
    };
    std::vector<std::shared_ptr<URLSessionTask>> tasks;
    for (int i = 0; i < 4; ++i)
        tasks.push_back(session->dataTaskWithURL(url(server.url("/bytes/2000000?stall=100000"))));
    tasks.push_back(session->downloadTaskWithRequest(URLRequest(url(server.url("/stall")))));
    auto suspended = session->dataTaskWithURL(url(server.url("/echo")));
    for (auto& t : tasks)
        t->resume();
    ASSERT_TRUE(delegate->waitForInvalid());
    tasks.push_back(suspended);
    for (auto& t : tasks) {
        auto r = delegate->record(*t);
        EXPECT_EQ(r.completions, 1);
        EXPECT_EQ(codeOf(r.error), URLErrorCancelled);
    }
    EXPECT_EQ(delegate->lateCalls(), 0);
    // Tasks made after invalidation complete at once, cancelled.
    Completion late;
    ASSERT_TRUE(late.run(*session, server.url("/echo")));
    EXPECT_EQ(codeOf(late.error), URLErrorCancelled);
    EXPECT_EQ(delegate->lateCalls(), 0);
}

// Cancelling the session ends every task it knows exactly once: those
// transferring, and those never resumed in the order they were made. Enough
// of them that the session's registers grow while they are in use.
TEST(URLSession, InvalidateAndCancelEndsEveryTaskOnceAndUnstartedOnesInTheOrderMade) {
    LoopbackServer server;
    class OrderingDelegate : public RecordingDelegate {
      public:
        void didCompleteWithError(URLSession& session, URLSessionTask& task, const ErrorPtr& error) override {
            {
                std::lock_guard lock(orderMutex);
                order.push_back(task.taskIdentifier());
            }
            RecordingDelegate::didCompleteWithError(session, task, error);
        }
        std::mutex orderMutex;
        std::vector<uint64_t> order;
    };
    auto delegate = std::make_shared<OrderingDelegate>();
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server), delegate);
    std::vector<std::shared_ptr<URLSessionTask>> running, unstarted;
    for (int i = 0; i < 6; ++i) {
        running.push_back(session->dataTaskWithURL(url(server.url("/stall"))));
        running.back()->resume();
    }
    for (int i = 0; i < 40; ++i) {
        unstarted.push_back(session->dataTaskWithURL(url(server.url("/echo"))));
        (void)session->dataTaskWithURL(url(server.url("/echo")));  // made and dropped: forgotten
    }
    session->invalidateAndCancel();
    ASSERT_TRUE(delegate->waitForInvalid());
    std::set<uint64_t> unstartedIds;
    for (const auto& group : {running, unstarted}) {
        for (const auto& task : group) {
            auto r = delegate->record(*task);
            EXPECT_EQ(r.completions, 1) << task->taskIdentifier();
            EXPECT_EQ(codeOf(r.error), URLErrorCancelled);
        }
    }
    for (const auto& task : unstarted)
        unstartedIds.insert(task->taskIdentifier());
    std::vector<uint64_t> unstartedOrder;
    {
        std::lock_guard lock(delegate->orderMutex);
        for (uint64_t id : delegate->order) {
            if (unstartedIds.count(id))
                unstartedOrder.push_back(id);
        }
    }
    EXPECT_EQ(unstartedOrder, std::vector<uint64_t>(unstartedIds.begin(), unstartedIds.end()));
    EXPECT_EQ(delegate->lateCalls(), 0);
}

TEST(URLSession, SuggestedFileNamesAreReducedToOneSafeName) {
    LoopbackServer server;
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));
    Completion done;
    ASSERT_TRUE(
        done.run(*session, URLRequest(url(server.url(
                               "/bytes/10?disposition=attachment%3B%20filename%3D%22../../etc/passwd%22")))));
    EXPECT_EQ(done.response->suggestedFilename(), "passwd");
    session->invalidateAndCancel();
}

// With one connection every request after the first runs on a transfer
// handle that an earlier request used: nothing of that request (method,
// body, fields, no-body mode) may reach the next one.
TEST(URLSession, ARequestCarriesNothingOverFromTheOneBeforeIt) {
    LoopbackServer server;
    auto config = testConfiguration(server);
    config.httpMaximumConnectionsPerHost = 1;
    auto session = URLSession::sessionWithConfiguration(config);
    auto send = [&](const URLRequest& request) {
        Completion done;
        EXPECT_TRUE(done.run(*session, request));
        EXPECT_FALSE(done.error) << request.method();
        return done.body();
    };
    auto made = [&](const char* method, const char* path, bool body) {
        URLRequest r(url(server.url(path)));
        r.httpMethod = method;
        r.setValue("once", "X-Once");
        if (body) {
            r.httpBody = Data(std::vector<uint8_t>(300, 'b'));
            r.setValue("text/plain", "Content-Type");
        }
        return r;
    };
    const URLRequest before[] = {made("POST", "/echo", true), made("PUT", "/echo", true),
                                 made("HEAD", "/bytes/64", false), made("DELETE", "/echo", false)};
    for (const auto& first : before) {
        send(first);
        auto echo = echoOf(send(URLRequest(url(server.url("/echo")))));
        EXPECT_EQ(echo.find("method")->stringValue(), "GET") << "after " << first.method();
        EXPECT_EQ(echo.find("body")->stringValue(), "") << "after " << first.method();
        EXPECT_EQ(echoHeader(echo, "X-Once"), "<none>") << "after " << first.method();
        EXPECT_EQ(echoHeader(echo, "Content-Type"), "<none>") << "after " << first.method();
        send(first);
        EXPECT_EQ(send(URLRequest(url(server.url("/bytes/64")))), LoopbackServer::bytesBody(64))
            << "after " << first.method();
    }
    session->invalidateAndCancel();
}

// Each completion handler starts the next request of its chain, as a client
// paging through results does. The network thread learns of those requests
// through batched wake-ups; one lost would leave its chain waiting for the
// thread's idle poll (a second each), past the hang guard for 40 links.
TEST(URLSession, CompletionHandlersThatStartTheNextRequestCarryEveryChainToItsEnd) {
    LoopbackServer server;
    auto session = URLSession::sessionWithConfiguration(testConfiguration(server));
    constexpr int kChains = 4, kLinks = 40;
    std::mutex m;
    std::condition_variable cv;
    int finished = 0;
    std::vector<std::string> failures;
    std::function<void(int)> start = [&](int left) {
        session
            ->dataTaskWithRequest(URLRequest(url(server.url("/bytes/64"))),
                                  [&, left](std::optional<Data> data, HTTPURLResponsePtr, ErrorPtr error) {
                                      std::lock_guard lock(m);
                                      if (error || !data || data->toString() != LoopbackServer::bytesBody(64))
                                          failures.push_back(error ? error->description() : "wrong body");
                                      finished++;
                                      if (left > 1)
                                          start(left - 1);
                                      cv.notify_all();
                                  })
            ->resume();
    };
    {
        std::lock_guard lock(m);
        for (int i = 0; i < kChains; ++i)
            start(kLinks);
    }
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, kHangGuard, [&] { return finished == kChains * kLinks; })) << finished;
    EXPECT_TRUE(failures.empty()) << failures.front();
    lock.unlock();
    session->invalidateAndCancel();
}
