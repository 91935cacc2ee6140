// An event with typed properties and a target token, enqueued on a real
// channel group with the Event Collector delegate and the session tracker,
// arrives at an Event Collector endpoint on 127.0.0.1 as one Shared Schema
// line with nested data and type metadata; its Beacon form is never sent.
#include <gtest/gtest.h>

#include "../core/IngestionServer.h"
#include "../core/PipelineTestSupport.h"
#include "beacon/analytics/BEACAnalyticsLogs.h"
#include "beacon/analytics/BEACAnalyticsValidation.h"
#include "beacon/analytics/BEACSessionTracker.h"
#include "beacon/core/BEACEventCollectorChannelDelegate.h"

using namespace beactest;

namespace {

class AnalyticsValidationDelegate : public BEACChannelDelegate {
  public:
    bool channelUnitShouldFilterLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) override {
        return BEACAnalyticsValidation::shouldFilterLog(log);
    }
};

class EventToCollectorTest : public PipelineFixture {};

TEST_F(EventToCollectorTest, EventArrivesAsOneSharedSchemaLine) {
    IngestionServer server;
    BEACHttpClient::Options options;
    options.configure = [](plat::urlloading::URLSessionConfiguration& c) {
        c.connectionProxyFromEnvironment = false;
    };
    auto collector = std::make_shared<BEACEventCollectorChannelDelegate>(BEACHttpClient::make(options),
                                                                         plat::UUID(), server.url());
    auto validation = std::make_shared<AnalyticsValidationDelegate>();
    group->addDelegate(collector);
    group->addDelegate(validation);
    auto unit = addUnit(BEACChannelUnitConfiguration::defaultConfiguration("Analytics", 3));

    auto event = std::make_shared<BEACEventLog>();
    event->name = "checkout.done";
    event->eventId = "E1";
    event->userId = "alice";
    event->typedProperties = std::make_shared<BEACEventProperties>();
    event->typedProperties->setInt64(3, "cart.items")
        .setDouble(9.5, "cart.total")
        .setString("web", "channel");
    event->addTransmissionTargetToken("tenant-secret");
    unit->enqueueItem(event, BEACFlagsNormal);
    barrier();
    advance(3);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(ingestion->callCount(), 0u);

    auto request = server.requests()[0];
    EXPECT_EQ(request.header("apikey"), "tenant-secret");
    ASSERT_EQ(std::count(request.body.begin(), request.body.end(), '\n'), 1);
    // Keys in the fixed order: ver, name, time, iKey, flags, ext, data.
    const std::string& line = request.body;
    std::vector<std::size_t> positions;
    for (const char* key :
         {"\"ver\":", "\"name\":", "\"time\":", "\"iKey\":", "\"flags\":", "\"ext\":", "\"data\":"})
        positions.push_back(line.find(key));
    for (std::size_t i = 0; i < positions.size(); ++i) {
        ASSERT_NE(positions[i], std::string::npos) << i;
        if (i) {
            EXPECT_LT(positions[i - 1], positions[i]);
        }
    }
    EXPECT_EQ(line.rfind("{\"ver\":\"3.0\",\"name\":\"checkout.done\",", 0), 0u) << line;
    EXPECT_NE(line.find("\"iKey\":\"o:tenant\""), std::string::npos);
    EXPECT_NE(line.find("\"localId\":\"c:alice\""), std::string::npos);
    EXPECT_NE(line.find("\"data\":{\"cart\":{\"items\":3,\"total\":9.5},\"channel\":\"web\"}"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"metadata\":{\"f\":{\"cart\":{\"f\":{\"items\":4,\"total\":6}}}}"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"seq\":1"), std::string::npos);
}

}  // namespace
