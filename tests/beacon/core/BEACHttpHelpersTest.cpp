// The HTTP layer's less used members: secrets hidden inside a text,
// reachability of a host name, a client with a per-host connection limit,
// the short send with the default retry schedule, and entity tags.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/un.h>

#include <future>

#include "AlwaysReachable.h"
#include "BeaconTestSupport.h"
#include "IngestionServer.h"
#include "PipelineTestSupport.h"
#include "beacon/core/BEACHttpClient.h"
#include "beacon/core/BEACHttpIngestion.h"
#include "beacon/core/BEACHttpUtil.h"
#include "platform/dispatch/Clock.h"
#include "platform/network/RouteSource.h"
#include "support/WaitUntil.h"

using namespace beactest;

namespace {

class FixedRouteSource : public plat::network::RouteSource {
  public:
    explicit FixedRouteSource(std::optional<plat::network::RouteTable> table) : table_(std::move(table)) {}
    std::optional<plat::network::RouteTable> read() override { return table_; }
    bool watch(std::function<void()>) override { return false; }
    void stopWatching() override {}

  private:
    std::optional<plat::network::RouteTable> table_;
};

// Interface 2 is up and running; the default route leaves through `link`.
std::shared_ptr<FixedRouteSource> defaultRouteThrough(int link) {
    plat::network::Route route;
    route.outputInterface = link;
    return std::make_shared<FixedRouteSource>(plat::network::RouteTable{
        {{1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK}, {2, IFF_UP | IFF_RUNNING}}, {route}});
}

TEST(HttpHelpersTest, SecretsAreHiddenWhereverTheyAppearInAText) {
    const std::string secret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";
    const std::string hidden = std::string(28, '*') + "56137d85";
    EXPECT_EQ(BEACHttpUtil::hideSecretInString("App-Secret = " + secret + ", again " + secret + ".", secret),
              "App-Secret = " + hidden + ", again " + hidden + ".");
    EXPECT_EQ(BEACHttpUtil::hideSecretInString("key=abc;", "abc"), "key=***;");
    EXPECT_EQ(BEACHttpUtil::hideSecretInString("nothing here", secret), "nothing here");
    EXPECT_EQ(BEACHttpUtil::hideSecretInString("unchanged", ""), "unchanged");
}

TEST(HttpHelpersTest, AHostNameIsReachableWhenADefaultRouteLeavesThroughALiveInterface) {
    auto online =
        BEAC_Reachability::reachabilityWithHostName("ingestion.example.com", defaultRouteThrough(2));
    ASSERT_TRUE(online);
    EXPECT_EQ(online->currentReachabilityStatus(), BEAC_Reachability::Reachable);
    EXPECT_FALSE(online->connectionRequired());  // Linux routes never need one set up

    auto loopbackOnly =
        BEAC_Reachability::reachabilityWithHostName("ingestion.example.com", defaultRouteThrough(1));
    ASSERT_TRUE(loopbackOnly);
    EXPECT_EQ(loopbackOnly->currentReachabilityStatus(), BEAC_Reachability::NotReachable);
    EXPECT_FALSE(loopbackOnly->connectionRequired());

    EXPECT_FALSE(BEAC_Reachability::reachabilityWithHostName(""));
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    EXPECT_FALSE(BEAC_Reachability::reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&local)));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.7", &address.sin_addr);
    auto byAddress = BEAC_Reachability::reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&address),
                                                                defaultRouteThrough(2));
    ASSERT_TRUE(byAddress);
    EXPECT_EQ(byAddress->currentReachabilityStatus(), BEAC_Reachability::Reachable);
}

TEST(HttpHelpersTest, AClientCanLimitItsConnectionsPerHost) {
    auto limited = BEACHttpClient::makeWithMaxHttpConnectionsPerHost(2);
    EXPECT_EQ(limited->maxHttpConnectionsPerHost(), 2);
    BEACHttpClient::Options options;
    options.reachability = AlwaysReachable::make();
    EXPECT_EQ(BEACHttpClient::make(options)->maxHttpConnectionsPerHost(),
              plat::urlloading::URLSessionConfiguration::defaultSessionConfiguration()
                  .httpMaximumConnectionsPerHost);
}

class HttpSendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BEACHttpClient::Options options;
        options.reachability = AlwaysReachable::make();
        options.clock = clock;
        options.configure = [](plat::urlloading::URLSessionConfiguration& c) {
            c.connectionProxyFromEnvironment = false;
        };
        client = BEACHttpClient::make(options);
    }

    CapturingLog log;
    IngestionServer server;
    std::shared_ptr<plat::dispatch::ManualClock> clock = std::make_shared<plat::dispatch::ManualClock>();
    std::shared_ptr<BEACHttpClient> client;
};

// The short send compresses and retries on the standard schedule.
TEST_F(HttpSendTest, TheShortSendCompressesAndRetriesOnTheStandardSchedule) {
    server.script({{503, {}}, {200, {}}});
    std::promise<int64_t> status;
    client->sendAsync(*plat::URL::URLWithString(server.url() + "/logs"), "POST", {},
                      plat::Data::fromString(std::string(1400, 'x')),
                      [&](const auto&, const plat::urlloading::HTTPURLResponsePtr& response, const auto&) {
                          status.set_value(response ? response->statusCode() : -1);
                      });
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(testsupport::waitUntil([&] { return clock->pendingCount() >= 1; }));
    ASSERT_EQ(clock->pendingCount(), 1u);
    // The first retry comes between 5 and 10 s (half of 10 s plus up to as much again).
    clock->advance(4.9);
    EXPECT_EQ(server.requests().size(), 1u);
    clock->advance(5.2);
    auto future = status.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(future.get(), 200);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("content-encoding"), "gzip");
    EXPECT_EQ(requests[0].body, std::string(1400, 'x'));
}

// An entity tag given to a send changes nothing in the request of an
// endpoint that does not answer conditional requests; the tag of a response
// is read from its header whatever its case.
TEST_F(HttpSendTest, ASendWithAnEntityTagAndTheTagOfAResponse) {
    TestBundle bundle;
    SandboxedSDK sdk;
    auto ingestion = BEACBeaconIngestion::make(client, server.url(), "INSTALL");
    ingestion->setAppSecret(std::string("secret"));
    auto entry = makeTestLog("s");
    entry->timestamp = plat::Date(1);
    entry->device = BEACDeviceTracker::sharedInstance()->device();
    auto container = std::make_shared<const BEACLogContainer>("batch-1", std::vector<BEACLogPtr>{entry});
    server.script({{200, {{"etag", "\"v1\""}}}, {200, {}}});

    auto send = [&](const std::optional<std::string>& eTag) {
        std::promise<std::pair<std::string, BEACHttpResponsePtr>> done;
        auto handler = [&](const std::string& id, const BEACHttpResponsePtr& response, const auto&,
                           const auto&) {
            done.set_value({id, response});
        };
        if (eTag)
            ingestion->sendAsync(container, *eTag, handler);
        else
            ingestion->sendAsync(container, handler);
        auto future = done.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        return future.get();
    };
    auto tagged = send(std::string("\"v0\""));
    EXPECT_EQ(tagged.first, "batch-1");
    EXPECT_EQ(BEACHttpIngestion::eTagFromResponse(tagged.second), "\"v1\"");
    auto plain = send(std::nullopt);
    EXPECT_EQ(BEACHttpIngestion::eTagFromResponse(plain.second), std::nullopt);
    EXPECT_EQ(BEACHttpIngestion::eTagFromResponse(nullptr), std::nullopt);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, requests[1].path);
    EXPECT_EQ(requests[0].body, requests[1].body);
    EXPECT_EQ(requests[0].header("app-secret"), "secret");
    EXPECT_EQ(requests[0].header("if-none-match"), "");

    auto mixed = std::make_shared<BEACHttpResponse>();
    mixed->headers.set("Content-Type", plat::Value("application/json"));
    mixed->headers.set("ETag", plat::Value("W/\"7\""));
    EXPECT_EQ(BEACHttpIngestion::eTagFromResponse(mixed), "W/\"7\"");
}

}  // namespace
