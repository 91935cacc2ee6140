// The SDK with the analytics service against one loopback server playing the
// Beacon and the Event Collector endpoints: real HTTP clients, real
// ingestions, real SQLite store; flush timers on a manual clock.
#include <gtest/gtest.h>

#include "../core/AlwaysReachable.h"
#include "AnalyticsTestSupport.h"
#include "beacon/core/BEACHttpIngestion.h"
#include "beacon/core/BEACTicketCache.h"
#include "platform/foundation/JSONSerialization.h"
#include "support/LoopbackServer.h"
#include "support/WaitUntil.h"

using namespace beactest;

namespace {

constexpr const char* kBeaconPath = "/accept/logs";
constexpr const char* kCollectorPath = "/accept/EventCollector/1.0";

class FixedToken : public BEACAnalyticsAuthenticationProviderDelegate {
  public:
    void authenticationProviderAcquireToken(BEACAnalyticsAuthenticationProvider&,
                                            const BEACAcquireTokenCompletionBlock& completion) override {
        completion(std::string("user-token"),
                   plat::Date(plat::Date::now().timeIntervalSinceReferenceDate() + 7200));
    }
};

class AnalyticsEndToEndTest : public AnalyticsFixture {
  protected:
    void SetUp() override {
        AnalyticsFixture::SetUp();
        BEACDependencyConfiguration::setIngestionFactory(
            [this](const std::string& installId, const std::string& url) {
                return BEACBeaconIngestion::make(makeClient(), url, installId);
            });
        BEACDependencyConfiguration::setEventCollectorHttpClientFactory([this] { return makeClient(); });
        BEACBeacon::setLogUrl(server.url("/accept"));
    }
    void TearDown() override {
        AnalyticsFixture::TearDown();
        BEACDependencyConfiguration::setEventCollectorHttpClientFactory(nullptr);
        BEACTicketCache::sharedInstance()->clearCache();
    }
    std::shared_ptr<BEACHttpClient> makeClient() {
        BEACHttpClient::Options options;
        options.reachability = beactest::AlwaysReachable::make();
        options.clock = clock;
        options.configure = [](auto& configuration) { configuration.connectionProxyFromEnvironment = false; };
        return BEACHttpClient::make(options);
    }
    void start() {
        AnalyticsFixture::start();
        BEACBeacon::sharedInstance()->eventCollectorDelegate()->setLogUrl(server.url("/accept"));
    }
    // Waits (bounded) until `count` requests reached the path with their
    // bodies; returns those. The server records a request as soon as its
    // headers arrive and adds the body once it has read it, so a request
    // only counted may still show an empty body.
    std::vector<testsupport::RecordedRequest> requestsTo(const std::string& path, std::size_t count) {
        std::vector<testsupport::RecordedRequest> out;
        auto arrived = [&] {
            out.clear();
            for (const auto& request : server.requests()) {
                const std::string length = request.header("content-length");
                const bool bodyIn = length.empty() || length == "0" || !request.body.empty();
                if (request.path == path && bodyIn)
                    out.push_back(request);
            }
            return out.size() >= count;
        };
        EXPECT_TRUE(testsupport::waitUntil(arrived)) << out.size() << " of " << count << " to " << path;
        return out;
    }
    static std::vector<std::string> lines(const std::string& body) {
        std::vector<std::string> out;
        std::size_t start = 0;
        for (std::size_t end; (end = body.find('\n', start)) != std::string::npos; start = end + 1)
            out.push_back(body.substr(start, end - start));
        EXPECT_EQ(start, body.size()) << "every line ends with a newline";
        return out;
    }
    static plat::Dictionary parse(const std::string& text) {
        auto value = plat::JSONSerialization::JSONObjectWithData(plat::Data::fromString(text));
        EXPECT_TRUE(value.ok()) << text;
        return value.ok() && value->isDictionary() ? *value->asDictionary() : plat::Dictionary();
    }

    testsupport::LoopbackServer server;
};

TEST_F(AnalyticsEndToEndTest, TargetEventsReachTheCollectorAndTheRestReachBeacon) {
    // The provider holds its token source weakly.
    auto tokenSource = std::make_shared<FixedToken>();
    auto provider = BEACAnalyticsAuthenticationProvider::make(0, std::string("ticket-key"), tokenSource);
    BEACAnalyticsTransmissionTarget::addAuthenticationProvider(provider);
    start();
    auto target = BEACAnalytics::transmissionTargetForToken("tenant1-secret");
    target->propertyConfigurator()->setAppVersion(std::string("7.1"));
    auto properties = std::make_shared<BEACEventProperties>();
    properties->setInt64(3, std::string("cart.items"))
        .setDouble(9.5, std::string("cart.total"))
        .setString(std::string("web"), std::string("channel"));
    target->trackEvent("checkout.done", properties);
    target->trackEvent("alarm.raised", std::optional<plat::Dictionary>(), BEACFlagsCritical);
    BEACAnalytics::trackPage("Home");
    BEACAnalytics::trackEvent("plainEvent");
    advance(3);

    // The Event Collector: one request per unit, Shared Schema lines.
    auto collector = requestsTo(kCollectorPath, 2);
    ASSERT_EQ(collector.size(), 2u);
    std::vector<std::string> names;
    for (const auto& request : collector) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.header("apikey"), "tenant1-secret");
        EXPECT_EQ(request.header("content-type"), "application/x-json-stream; charset=utf-8");
        EXPECT_FALSE(request.header("upload-time").empty());
        EXPECT_EQ(request.header("upload-time").find_first_not_of("0123456789"), std::string::npos);
        auto tickets = parse(request.header("tickets"));
        ASSERT_NE(tickets.find(*provider->ticketKeyHash()), nullptr);
        EXPECT_EQ(*tickets.find(*provider->ticketKeyHash())->asString(), "p:user-token");
        auto body = lines(request.body);
        ASSERT_EQ(body.size(), 1u);
        const std::string& line = body[0];
        std::size_t previous = 0;
        for (const char* key :
             {"\"ver\":", "\"name\":", "\"time\":", "\"iKey\":", "\"flags\":", "\"ext\":"}) {
            std::size_t at = line.find(key);
            ASSERT_NE(at, std::string::npos) << key << " in " << line;
            EXPECT_GE(at, previous) << key;
            previous = at;
        }
        auto log = parse(line);
        names.push_back(*log.find("name")->asString());
        EXPECT_EQ(*log.find("iKey")->asString(), "o:tenant1");
        const auto& ext = *log.find("ext")->asDictionary();
        EXPECT_EQ(*ext.find("app")->asDictionary()->find("ver")->asString(), "7.1");
        EXPECT_EQ(*ext.find("protocol")->asDictionary()->find("ticketKeys")->asArray(),
                  plat::Array{plat::Value(*provider->ticketKeyHash())});
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"alarm.raised", "checkout.done"}));
    for (const auto& request : collector) {
        if (request.body.find("checkout.done") != std::string::npos) {
            // Nested data, with type metadata for what is not a string.
            EXPECT_NE(
                request.body.find("\"data\":{\"cart\":{\"items\":3,\"total\":9.5},\"channel\":\"web\"}"),
                std::string::npos)
                << request.body;
            EXPECT_NE(request.body.find("\"metadata\":{\"f\":{\"cart\":{\"f\":{\"items\":4,\"total\":6}}}}"),
                      std::string::npos)
                << request.body;
            EXPECT_LT(request.body.find("\"ext\":"), request.body.find("\"data\":")) << "data comes last";
        }
    }

    // Beacon: the service start, the session, the page and the plain event,
    // every analytics log with the session id.
    auto beacon = requestsTo(kBeaconPath, 2);
    ASSERT_EQ(beacon.size(), 2u);
    auto session = BEACSessionContext::sharedInstance()->sessionId();
    ASSERT_TRUE(session);
    std::vector<std::string> types;
    for (const auto& request : beacon) {
        EXPECT_EQ(request.header("app-secret"), kSecret);
        auto batch = parse(request.body);
        for (const auto& entry : *batch.find("logs")->asArray()) {
            const auto& log = *entry.asDictionary();
            std::string type = *log.find("type")->asString();
            types.push_back(type);
            if (type != "startService") {
                EXPECT_EQ(*log.find("sid")->asString(), *session) << type;
            }
        }
    }
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<std::string>{"event", "page", "startService", "startSession"}));
    // Nothing of the targets' events went to Beacon.
    for (const auto& request : beacon)
        EXPECT_EQ(request.body.find("checkout.done"), std::string::npos);
}

TEST_F(AnalyticsEndToEndTest, PausedTargetIsHeldBackUntilResumed) {
    start();
    auto held = BEACAnalytics::transmissionTargetForToken("held-token");
    auto free = BEACAnalytics::transmissionTargetForToken("free-token");
    held->pause();
    held->trackEvent("held.event");
    free->trackEvent("free.event");
    advance(3);
    auto first = requestsTo(kCollectorPath, 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].header("apikey"), "free-token");
    EXPECT_EQ(first[0].body.find("held.event"), std::string::npos);

    held->resume();
    advance(3);
    auto second = requestsTo(kCollectorPath, 2);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[1].header("apikey"), "held-token");
    EXPECT_NE(second[1].body.find("held.event"), std::string::npos);
}

}  // namespace
