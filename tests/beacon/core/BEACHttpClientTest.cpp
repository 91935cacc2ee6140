#include "beacon/core/BEACHttpClient.h"

#include <gtest/gtest.h>

#include <future>

#include "BeaconTestSupport.h"
#include "IngestionServer.h"
#include "PipelineTestSupport.h"
#include "beacon/core/BEACErrors.h"
#include "beacon/core/BEACHttpIngestion.h"
#include "beacon/core/BEACHttpUtil.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Random.h"
#include "support/WaitUntil.h"

using namespace beactest;

namespace {

class FakeReachability : public BEAC_Reachability {
  public:
    static std::shared_ptr<FakeReachability> make() {
        return std::shared_ptr<FakeReachability>(new FakeReachability);
    }
    bool startNotifier() override { return true; }
    void stopNotifier() override {}
    NetworkStatus currentReachabilityStatus() const override { return status; }
    void set(NetworkStatus value) {
        status = value;
        postChanged();
    }
    std::atomic<NetworkStatus> status{Reachable};
};

struct Outcome {
    std::optional<plat::Data> data;
    plat::urlloading::HTTPURLResponsePtr response;
    plat::ErrorPtr error;
};

class HttpClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BEACHttpClient::Options options;
        options.reachability = reachability;
        options.clock = clock;
        options.configure = [](plat::urlloading::URLSessionConfiguration& c) {
            c.connectionProxyFromEnvironment = false;
        };
        client = BEACHttpClient::make(options);
    }
    // Sends one call; the returned future gets its one outcome.
    std::shared_future<Outcome> send(const std::string& body, BEACHttpHeaders headers = {},
                                     std::vector<double> intervals = {10, 300, 1200}) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto calls = std::make_shared<std::atomic<int>>(0);
        outcomes.push_back(calls);
        std::optional<plat::Data> data;
        if (!body.empty())
            data = plat::Data::fromString(body);
        client->sendAsync(*plat::URL::URLWithString(server.url() + "/logs"), "POST", headers, data, intervals,
                          true, [promise, calls](const auto& d, const auto& r, const auto& e) {
                              if (++*calls == 1)
                                  promise->set_value({d, r, e});
                          });
        return promise->get_future().share();
    }
    // The call's outcome; an empty one, and a failure, when none came.
    static Outcome wait(const std::shared_future<Outcome>& future) {
        if (future.wait_for(std::chrono::duration<double>(testsupport::kHangSeconds)) !=
            std::future_status::ready) {
            ADD_FAILURE() << "the call never completed";
            return {};
        }
        return future.get();
    }
    // Waits until the client has armed (or fired) `count` retry timers.
    void waitForTimers(std::size_t count) {
        EXPECT_TRUE(testsupport::waitUntil([&] { return clock->pendingCount() >= count; }));
        ASSERT_EQ(clock->pendingCount(), count);
    }

    CapturingLog log;
    IngestionServer server;
    std::shared_ptr<FakeReachability> reachability = FakeReachability::make();
    std::shared_ptr<plat::dispatch::ManualClock> clock = std::make_shared<plat::dispatch::ManualClock>();
    std::shared_ptr<BEACHttpClient> client;
    std::vector<std::shared_ptr<std::atomic<int>>> outcomes;
};

}  // namespace

TEST_F(HttpClientTest, BodiesFromThresholdGoGzippedAndContentTypeDefaults) {
    struct Case {
        std::size_t length;
        BEACHttpHeaders headers;
        const char* encoding;
        const char* contentType;
    } cases[] = {
        {1399, {}, "", "application/json"},
        {1400, {}, "gzip", "application/json"},
        {5000, {{"content-type", "text/plain"}}, "gzip", "text/plain"},
    };
    std::size_t index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::string body(c.length, 'a');
        for (std::size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<char>('a' + i % 26);
        auto outcome = wait(send(body, c.headers));
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->statusCode(), 200);
        auto request = server.requests().at(index++);
        EXPECT_EQ(request.header("content-encoding"), c.encoding);
        EXPECT_EQ(request.header("content-type"), c.contentType);
        EXPECT_EQ(request.body, body);  // inflated by the server
        if (std::string(c.encoding) == "gzip") {
            EXPECT_LT(request.wireLength, body.size());
        }
    }
}

TEST_F(HttpClientTest, FailedCompressionSendsTheBodyAsItIs) {
    BEACHttpCall::setCompressor([](const std::optional<plat::Data>&) { return std::optional<plat::Data>(); });
    std::string body(2000, 'z');
    auto outcome = wait(send(body));
    BEACHttpCall::setCompressor(nullptr);
    auto request = server.requests().at(0);
    EXPECT_EQ(request.header("content-encoding"), "");
    EXPECT_EQ(request.body, body);
    EXPECT_FALSE(outcome.error);
}

TEST_F(HttpClientTest, RetryAfterHeaderIsCheckedBeforeUse) {
    struct Case {
        const char* header;
        double notBefore;  // seconds that pass without a retry
        double by;         // seconds by which the retry has happened (0: never within 10 s)
    } cases[] = {
        {"2500", 2.49, 2.5}, {"2.7", 0.001, 0.002}, {"-1", 4.99, 10.0},
        {"abc", 4.99, 10.0}, {"1e12", 10.0, 0},
    };
    std::size_t expectedRequests = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        server.script({{503, {{"x-ms-retry-after-ms", c.header}}}, {200, {}}});
        auto future = send("x");
        ASSERT_TRUE(server.waitForRequests(++expectedRequests));
        waitForTimers(1);
        clock->advance(c.notBefore);
        EXPECT_EQ(clock->pendingCount(), 1u);
        if (c.by == 0) {
            client->setEnabled(false, true);  // cancels the waiting call
            EXPECT_EQ(wait(future).error->code(), kBEACCanceledErrorCode);
            client->setEnabled(true, false);
            server.script({});
            server.requests();
            // The 200 meant for the retry stays scripted; drop it with a plain call.
            wait(send("drain"));
            ++expectedRequests;
            continue;
        }
        clock->advance(c.by - c.notBefore);
        ASSERT_TRUE(server.waitForRequests(++expectedRequests));
        EXPECT_EQ(wait(future).response->statusCode(), 200);
    }
    EXPECT_TRUE(log.containsPrefix(
        "Call attempt #0 failed with status code: 503, it will be retried in 2500 ms.", BEACLogLevelWarning));
}

TEST_F(HttpClientTest, ExhaustedRetriesReportLastResponseAndPause) {
    server.script({{500, {}}, {500, {}}, {500, {}}, {501, {}}});
    auto future = send("x", {}, {0.01, 0.01, 0.01});
    for (std::size_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(server.waitForRequests(i));
        waitForTimers(1);
        clock->advance(0.01);
    }
    auto outcome = wait(future);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode(), 501);
    EXPECT_FALSE(outcome.error);
    EXPECT_TRUE(client->isPaused());

    // A new call waits until the network goes down and up again, then goes once.
    auto next = send("later");
    EXPECT_EQ(client->pendingCallCount(), 1u);
    reachability->set(BEAC_Reachability::NotReachable);
    reachability->set(BEAC_Reachability::Reachable);
    EXPECT_EQ(wait(next).response->statusCode(), 200);
    EXPECT_EQ(server.requests().size(), 5u);
    EXPECT_EQ(*outcomes.back(), 1);
}

TEST_F(HttpClientTest, UnrecoverableStatusDisablesClientAndCancelsOthersOnce) {
    server.script({{503, {}}});
    auto waiting = send("waiting");  // will sit on a retry timer
    ASSERT_TRUE(server.waitForRequests(1));
    waitForTimers(1);
    server.script({{400, {}}});
    auto refused = wait(send("refused"));
    ASSERT_TRUE(refused.response);
    EXPECT_EQ(refused.response->statusCode(), 400);
    EXPECT_FALSE(refused.error);
    EXPECT_FALSE(client->isEnabled());
    EXPECT_EQ(wait(waiting).error->code(), kBEACCanceledErrorCode);
    clock->advance(20);  // the cancelled retry never sends
    EXPECT_EQ(wait(send("after")).error->code(), kBEACDisabledErrorCode);
    EXPECT_EQ(server.requests().size(), 2u);
    for (const auto& count : outcomes) {
        EXPECT_EQ(*count, 1);
    }
}

TEST_F(HttpClientTest, StatusRulesSecretsAndBackOff) {
    for (int64_t code : {0, 408, 429, 500, 599})
        EXPECT_TRUE(BEACHttpUtil::isRecoverableError(code)) << code;
    for (int64_t code : {499, 404, -1, 200})
        EXPECT_FALSE(BEACHttpUtil::isRecoverableError(code)) << code;
    EXPECT_EQ(BEACHttpUtil::hideSecret("0dbca56b-b9ae-4d53-856a-7c2856137d85"),
              std::string(28, '*') + "56137d85");
    EXPECT_EQ(BEACHttpUtil::hideSecret("12345678"), "********");
    EXPECT_EQ(BEACHttpUtil::hideSecret("123456789"), "*23456789");
    struct FlagsCase {
        uint32_t flags;
        BEAC_Reachability::NetworkStatus status;
    } flags[] = {{0, BEAC_Reachability::NotReachable},
                 {2, BEAC_Reachability::Reachable},
                 {2 | 4, BEAC_Reachability::NotReachable},
                 {2 | 4 | 8, BEAC_Reachability::Reachable},
                 {2 | 4 | 8 | 16, BEAC_Reachability::NotReachable}};
    for (const auto& f : flags)
        EXPECT_EQ(BEAC_Reachability::networkStatusForFlags(f.flags), f.status) << f.flags;

    BEACHttpCall call(*plat::URL::URLWithString("http://127.0.0.1/"), "POST", {}, std::nullopt,
                      {10, 300, 1200, 0}, true, nullptr);
    for (int i = 0; i < 50; ++i) {
        auto d0 = call.delayForRetryCount(0), d1 = call.delayForRetryCount(1),
             d2 = call.delayForRetryCount(2);
        EXPECT_TRUE(d0 >= 5000 && d0 < 10000) << d0;
        EXPECT_TRUE(d1 >= 150000 && d1 < 300000) << d1;
        EXPECT_TRUE(d2 >= 600000 && d2 < 1200000) << d2;
    }
    EXPECT_EQ(call.delayForRetryCount(3), 0u);
    BEACHttpCall none(*plat::URL::URLWithString("http://127.0.0.1/"), "POST", {}, std::nullopt, {}, true,
                      nullptr);
    EXPECT_TRUE(none.hasReachedMaxRetries());
    EXPECT_TRUE(none.headers.empty());  // no body, no Content-Type
    EXPECT_FALSE(BEACCompression::compressData(plat::Data()));
}

TEST_F(HttpClientTest, BeaconIngestionUrlsAndRefusals) {
    TestBundle bundle;
    SandboxedSDK sdk;
    auto ingestion = BEACBeaconIngestion::make(client, server.url(), "INSTALL");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), server.url() + "/logs?api-version=1.0.0");
    ingestion->setBaseURL(server.url() + "/prefix");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), server.url() + "/prefix/logs?api-version=1.0.0");
    ingestion->setBaseURL("not a url");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), server.url() + "/prefix/logs?api-version=1.0.0");
    EXPECT_TRUE(log.containsPrefix("Failed to update HTTP URL ", BEACLogLevelInfo));
    EXPECT_EQ(ingestion->baseURL(), "not a url");

    auto logEntry = makeTestLog("s");
    logEntry->timestamp = plat::Date(1);
    logEntry->device = BEACDeviceTracker::sharedInstance()->device();
    auto container = std::make_shared<const BEACLogContainer>("batch-1", std::vector<BEACLogPtr>{logEntry});
    auto errorOf = [&](const BEACLogContainerPtr& c) {
        std::promise<std::pair<std::string, int64_t>> promise;
        ingestion->sendAsync(c, [&](const std::string& id, const BEACHttpResponsePtr&, const auto&,
                                    const plat::ErrorPtr& error) {
            promise.set_value({id, error ? error->code() : 0});
        });
        return promise.get_future().get();
    };
    // No secret: reported (not left hanging) as disabled.
    EXPECT_EQ(errorOf(container), std::make_pair(std::string("batch-1"), kBEACDisabledErrorCode));
    EXPECT_EQ(errorOf(std::make_shared<const BEACLogContainer>("batch-2", std::vector<BEACLogPtr>{})),
              std::make_pair(std::string("batch-2"), kBEACLogInvalidContainerErrorCode));
    ingestion->setAppSecret(std::string("secret"));
    ingestion->setEnabled(false, false);
    EXPECT_EQ(errorOf(container).second, kBEACDisabledErrorCode);
    EXPECT_TRUE(server.requests().empty());
}

// The client calls its delegate and every completion without its lock held,
// so each may call the client again (under a lock held there, each of these
// calls would wait for itself).
TEST_F(HttpClientTest, DelegateAndCompletionsMayCallTheClientAgain) {
    struct Delegate : BEACHttpClientDelegate {
        void willSendHTTPRequestToURL(const plat::URL&, const BEACHttpHeaders&) override {
            if (auto strong = client.lock())
                pendingSeen.push_back(strong->pendingCallCount());
        }
        std::weak_ptr<BEACHttpClient> client;
        std::vector<std::size_t> pendingSeen;
    };
    auto delegate = std::make_shared<Delegate>();
    delegate->client = client;
    client->setDelegate(delegate);

    server.script({{503, {}}});
    auto waiting = send("waiting");
    ASSERT_TRUE(server.waitForRequests(1));
    waitForTimers(1);

    // The refused call's completion and the cancelled call's completion both
    // run after the client disabled itself, and ask it again.
    server.script({{400, {}}});
    std::promise<bool> refusedSawEnabled;
    std::promise<int64_t> resentCode;
    auto url = *plat::URL::URLWithString(server.url() + "/logs");
    client->sendAsync(
        url, "POST", {}, plat::Data::fromString("refused"), {10}, true,
        [&](const auto&, const auto&, const auto&) { refusedSawEnabled.set_value(client->isEnabled()); });
    auto refused = refusedSawEnabled.get_future();
    ASSERT_EQ(refused.wait_for(std::chrono::duration<double>(testsupport::kHangSeconds)),
              std::future_status::ready);
    EXPECT_FALSE(refused.get());
    EXPECT_EQ(wait(waiting).error->code(), kBEACCanceledErrorCode);

    // A disabled client refuses on the caller's thread; the completion sends again.
    client->sendAsync(
        url, "POST", {}, std::nullopt, {10}, true, [&](const auto&, const auto&, const auto& error) {
            client->sendAsync(url, "POST", {}, std::nullopt, {10}, true,
                              [&, first = error->code()](const auto&, const auto&, const auto& again) {
                                  EXPECT_EQ(first, kBEACDisabledErrorCode);
                                  resentCode.set_value(again->code());
                              });
        });
    EXPECT_EQ(resentCode.get_future().get(), kBEACDisabledErrorCode);
    EXPECT_EQ(delegate->pendingSeen, (std::vector<std::size_t>{1, 2}));
}
