// The SDK started against a loopback ingestion endpoint: real HTTP client,
// real Beacon ingestion, real SQLite store; flush and retry timers on a
// manual clock.
#include <gtest/gtest.h>

#include "AlwaysReachable.h"
#include "FakeServices.h"
#include "IngestionServer.h"
#include "PipelineTestSupport.h"
#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACHttpIngestion.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACUserIdContext.h"
#include "platform/foundation/JSONSerialization.h"
#include "support/WaitUntil.h"

using namespace beactest;

namespace {

constexpr const char* kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BEACBeacon::resetSharedInstance();
        FakeCrashes::reset();
        FakeAnalytics::reset();
        BEACSessionContext::resetSharedInstance();
        BEACUserIdContext::resetSharedInstance();
        BEACDependencyConfiguration::setClock(clock);
        BEACDependencyConfiguration::setIngestionFactory(
            [this](const std::string& installId, const std::string& url) {
                BEACHttpClient::Options options;
                options.reachability = beactest::AlwaysReachable::make();
                options.clock = clock;
                options.configure = [](auto& configuration) {
                    configuration.connectionProxyFromEnvironment = false;
                };
                client = BEACHttpClient::make(options);
                return BEACBeaconIngestion::make(client, url, installId);
            });
        BEACBeacon::setLogUrl(server.url());
    }
    void TearDown() override {
        drain();
        BEACDependencyConfiguration::setIngestionFactory(nullptr);
        BEACDependencyConfiguration::setClock(nullptr);
        BEACBeacon::resetSharedInstance();
        FakeCrashes::reset();
        FakeAnalytics::reset();
        BEACSessionContext::resetSharedInstance();
        BEACUserIdContext::resetSharedInstance();
        client.reset();
        BEACLogger::setCurrentLogLevel(BEACLogLevelAssert);
    }
    void drain() {
        if (auto group = BEACBeacon::sharedInstance()->channelGroup())
            group->queue().sync([] {});
    }
    void advance(double seconds) {
        drain();
        now.advance(seconds);
        clock->advance(seconds);
        drain();
    }
    // Completions arrive on the session's queue; the store empties after them.
    bool waitUntilStoreEmpty() {
        auto storage = BEACBeacon::sharedInstance()->channelGroup()->storage();
        for (int i = 0; i < 4000; ++i) {
            drain();
            if (storage->countLogs() == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    static plat::Dictionary parse(const std::string& body) {
        auto value = plat::JSONSerialization::JSONObjectWithData(plat::Data::fromString(body));
        EXPECT_TRUE(value.ok());
        return value.ok() && value->isDictionary() ? *value->asDictionary() : plat::Dictionary();
    }
    static std::vector<std::string> typesOf(const plat::Dictionary& batch) {
        std::vector<std::string> types;
        for (const auto& log : *batch.find("logs")->asArray())
            types.push_back(*log.asDictionary()->find("type")->asString());
        return types;
    }

    TestBundle bundle;
    SandboxedSDK sdk;
    ManualNow now;
    CapturingLog log;
    IngestionServer server;
    std::shared_ptr<plat::dispatch::ManualClock> clock = std::make_shared<plat::dispatch::ManualClock>();
    std::shared_ptr<BEACHttpClient> client;
};

}  // namespace

TEST_F(EndToEndTest, RequestsAreExactAndLargeBatchesGzipped) {
    BEACBeacon::setLogLevel(BEACLogLevelVerbose);
    BEACBeacon::start(std::string(kSecret), std::vector<BEACServiceClass>{FakeAnalytics::serviceClass()});
    BEACCustomProperties properties;
    properties.setString(std::string("blue"), std::string("color")).setInteger(3, std::string("level"));
    BEACBeacon::setCustomProperties(&properties);
    advance(3);
    ASSERT_TRUE(server.waitForRequests(1));
    auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.query, (std::multimap<std::string, std::string>{{"api-version", "1.0.0"}}));
    EXPECT_EQ(request.header("app-secret"), kSecret);
    EXPECT_EQ(request.header("install-id"), BEACBeacon::installId().UUIDString());
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("content-encoding"), "");  // a small batch
    auto batch = parse(request.body);
    EXPECT_EQ(typesOf(batch), (std::vector<std::string>{"startService", "customProperties"}));
    const auto& first = *batch.find("logs")->asArray()->at(0).asDictionary();
    EXPECT_EQ(first.find("services")->asArray()->at(0), plat::Value("Analytics"));
    EXPECT_TRUE(first.find("timestamp")->isString());
    EXPECT_TRUE(first.find("device")->isDictionary());
    EXPECT_EQ(request.body.find("\\/"), std::string::npos);
    // The secret is hidden in the verbose header trace.
    EXPECT_TRUE(log.containsPrefix("Headers: ", BEACLogLevelVerbose));
    for (const auto& line : log.lines())
        EXPECT_EQ(line.message.find(kSecret), std::string::npos) << line.message;

    // A batch of 1400 bytes or more goes gzipped.
    for (int i = 0; i < 6; ++i) {
        BEACCustomProperties big;
        big.setString(std::string(120, static_cast<char>('a' + i)), std::string("payload"));
        BEACBeacon::setCustomProperties(&big);
    }
    advance(3);
    ASSERT_TRUE(server.waitForRequests(2));
    auto large = server.requests().at(1);
    EXPECT_EQ(large.header("content-encoding"), "gzip");
    EXPECT_GE(large.body.size(), 1400u);
    EXPECT_EQ(typesOf(parse(large.body)).size(), 6u);
    EXPECT_TRUE(waitUntilStoreEmpty());
}

TEST_F(EndToEndTest, ServiceUnavailableThenSuccessDeliversTheSameLogsOnce) {
    server.script({{503, {}}, {200, {}}});
    auto observer = std::make_shared<RecordingDelegate>();
    BEACBeacon::start(std::string(kSecret), std::vector<BEACServiceClass>{FakeAnalytics::serviceClass()});
    BEACBeacon::sharedInstance()->channelGroup()->addDelegate(observer);
    advance(3);
    ASSERT_TRUE(server.waitForRequests(1));
    // The retry waits 5 to 10 s on the manual clock.
    ASSERT_TRUE(testsupport::waitUntil([&] { return clock->pendingCount() > 0; }));
    advance(4.9);
    EXPECT_EQ(server.requests().size(), 1u);
    advance(5.2);
    ASSERT_TRUE(server.waitForRequests(2));
    auto requests = server.requests();
    EXPECT_EQ(requests[0].body, requests[1].body);
    EXPECT_TRUE(testsupport::waitUntil([&] { return observer->count("didSucceed") > 0; }));
    drain();
    EXPECT_EQ(observer->count("didSucceed"), 1u);
    EXPECT_EQ(observer->count("didFail"), 0u);
    EXPECT_TRUE(waitUntilStoreEmpty());
    advance(20);
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(EndToEndTest, UnauthorizedAnswerDisablesUnitAndDeletesItsLogs) {
    server.script({{401, {}}});
    auto observer = std::make_shared<RecordingDelegate>();
    BEACBeacon::start(std::string(kSecret), std::nullopt);
    BEACBeacon::sharedInstance()->channelGroup()->addDelegate(observer);
    BEACCustomProperties properties;
    properties.setBool(true, std::string("beta"));
    BEACBeacon::setCustomProperties(&properties);
    advance(3);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_TRUE(testsupport::waitUntil([&] { return observer->count("didFail") > 0; }));
    drain();
    drain();
    EXPECT_EQ(observer->count("didFail"), 1u);
    EXPECT_TRUE(log.containsPrefix("Fatal error encountered; shutting down channel unit with group ID Beacon",
                                   BEACLogLevelError));
    EXPECT_TRUE(waitUntilStoreEmpty());
}
