// The Event Collector delegate on a real channel group and log store: twins,
// conversion and routing, numbering, name checks, mirrored state, and the
// twin's batch arriving at an Event Collector endpoint on 127.0.0.1.
#include "beacon/core/BEACEventCollectorChannelDelegate.h"

#include <gtest/gtest.h>

#include "BeaconTestSupport.h"
#include "IngestionServer.h"
#include "PipelineTestSupport.h"
#include "platform/foundation/JSONSerialization.h"

using namespace beactest;

namespace {

// A log type whose conversion names the event, as event logs do.
class NamedLog : public BEACLogWithProperties {
  public:
    std::shared_ptr<BEACSharedSchemaLog> toSharedSchemaLogForTargetToken(const std::string& token,
                                                                         int64_t flags) const override {
        auto csLog = BEACLogWithProperties::toSharedSchemaLogForTargetToken(token, flags);
        csLog->name = name;
        return csLog;
    }
    std::string name;
};

std::shared_ptr<NamedLog> namedLog(const std::string& name, std::vector<std::string> tokens) {
    auto log = std::make_shared<NamedLog>();
    log->type = "event";
    log->sid = name;
    log->name = name;
    for (const auto& token : tokens)
        log->addTransmissionTargetToken(token);
    return log;
}

class EventCollectorDelegateTest : public PipelineFixture {
  protected:
    void SetUp() override {
        PipelineFixture::SetUp();
        BEACHttpClient::Options options;
        options.configure = [](plat::urlloading::URLSessionConfiguration& c) {
            c.connectionProxyFromEnvironment = false;
        };
        collector = std::make_shared<BEACEventCollectorChannelDelegate>(BEACHttpClient::make(options),
                                                                        installId, server.url());
        group->addDelegate(collector);
        unit = addUnit(BEACChannelUnitConfiguration::defaultConfiguration("Analytics", 3));
        twin =
            std::dynamic_pointer_cast<BEACChannelUnitDefault>(collector->eventCollectorChannel("Analytics"));
    }

    CapturingLog log;
    IngestionServer server;
    plat::UUID installId;
    std::shared_ptr<BEACEventCollectorChannelDelegate> collector;
    std::shared_ptr<BEACChannelUnitDefault> unit;
    std::shared_ptr<BEACChannelUnitDefault> twin;
};

TEST_F(EventCollectorDelegateTest, EveryOrdinaryUnitGetsOneTwin) {
    ASSERT_TRUE(twin);
    EXPECT_EQ(twin->configuration(), BEACChannelUnitConfiguration::defaultConfiguration("Analytics/one", 3));
    EXPECT_EQ(group->channelUnitForGroupId("Analytics/one"), twin);
    EXPECT_FALSE(collector->eventCollectorChannel("Analytics/one"));
    EXPECT_EQ(group->channels().size(), 2u);
    EXPECT_EQ(collector->baseUrl(), server.url());
    EXPECT_EQ(BEACEventCollectorChannelDelegate(BEACHttpClient::make(), installId, std::nullopt).baseUrl(),
              BEACEventCollectorChannelDelegate::defaultBaseUrl());
}

TEST_F(EventCollectorDelegateTest, TokenLogsTravelOnlyAsNumberedSharedSchemaLogsToTheCollector) {
    unit->enqueueItem(namedLog("first", {"tokenA-1", "tokenB-2"}), BEACFlagsNormal);
    unit->enqueueItem(namedLog("second", {"tokenA-1"}), BEACFlagsNormal);
    unit->enqueueItem(makeTestLog("plain"), BEACFlagsNormal);
    // Invalid names never reach the store.
    unit->enqueueItem(namedLog("no", {"tokenA-1"}), BEACFlagsNormal);
    barrier();
    EXPECT_TRUE(log.containsPrefix("Log validation failed. Name must match", BEACLogLevelError));
    advance(3);
    ASSERT_TRUE(server.waitForRequests(1));
    // The ordinary unit sent only the log without tokens.
    ASSERT_EQ(ingestion->callCount(), 1u);
    EXPECT_EQ(ingestion->sidsOfCall(0), std::vector<std::string>{"plain"});

    auto request = server.requests()[0];
    EXPECT_EQ(request.path, "/EventCollector/1.0");
    EXPECT_EQ(request.header("apikey"), "tokenA-1,tokenB-2");
    std::vector<plat::Dictionary> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = request.body.find('\n', start)) != std::string::npos; start = end + 1) {
        auto value = plat::JSONSerialization::JSONObjectWithData(
            plat::Data::fromString(request.body.substr(start, end - start)));
        ASSERT_TRUE(value.ok());
        lines.push_back(*value.value().asDictionary());
    }
    EXPECT_EQ(start, request.body.size());
    ASSERT_EQ(lines.size(), 3u);
    struct Expected {
        const char* name;
        const char* iKey;
        int64_t seq;
    };
    std::string epochA;
    for (std::size_t i = 0;
         const Expected& e : {Expected{"first", "o:tokenA", 1}, Expected{"first", "o:tokenB", 1},
                              Expected{"second", "o:tokenA", 2}}) {
        const auto& line = lines[i++];
        EXPECT_EQ(*line.find("name")->asString(), e.name);
        EXPECT_EQ(*line.find("iKey")->asString(), e.iKey);
        const auto& sdk = *line.find("ext")->asDictionary()->find("sdk")->asDictionary();
        EXPECT_EQ(sdk.find("seq")->integerValue(), e.seq);
        EXPECT_EQ(*sdk.find("installId")->asString(), installId.UUIDString());
        if (std::string(e.iKey) == "o:tokenA") {
            if (epochA.empty())
                epochA = *sdk.find("epoch")->asString();
            EXPECT_EQ(*sdk.find("epoch")->asString(), epochA);
        }
    }
    EXPECT_TRUE(plat::UUID::fromString(epochA));
}

TEST_F(EventCollectorDelegateTest, FilterRules) {
    auto csLog = std::make_shared<BEACSharedSchemaLog>();
    csLog->name = "valid.name";
    EXPECT_TRUE(collector->channelUnitShouldFilterLog(*unit, csLog));
    EXPECT_FALSE(collector->channelUnitShouldFilterLog(*twin, csLog));
    csLog->name.reset();
    EXPECT_TRUE(collector->channelUnitShouldFilterLog(*twin, csLog));
    EXPECT_TRUE(
        log.containsPrefix("Log validation failed. Name must not be nil or empty.", BEACLogLevelError));
    EXPECT_TRUE(collector->channelUnitShouldFilterLog(*unit, namedLog("abcd", {"t"})));
    EXPECT_FALSE(collector->channelUnitShouldFilterLog(*unit, makeTestLog("s")));
    EXPECT_FALSE(BEACEventCollectorChannelDelegate::shouldSendLogToEventCollector(csLog));

    struct Case {
        const char* name;
        bool valid;
    };
    for (const Case& c : std::vector<Case>{{"abcd", true},
                                           {"abc", false},
                                           {"a.b_c", true},
                                           {"_abc", false},
                                           {"ab..cd", false},
                                           {"abcd.", false},
                                           {"ab-cd", false},
                                           {"a\xC3\xA9"
                                            "cd",
                                            false}})
        EXPECT_EQ(BEACEventCollectorChannelDelegate::validateLogName(c.name), c.valid) << c.name;
    EXPECT_TRUE(BEACEventCollectorChannelDelegate::validateLogName(std::string(100, 'a')));
    EXPECT_FALSE(BEACEventCollectorChannelDelegate::validateLogName(std::string(101, 'a')));
}

TEST_F(EventCollectorDelegateTest, TwinFollowsItsUnitAndDeletionRestartsNumbering) {
    // The unit reports on the group's queue; the twin's change is queued after.
    unit->setEnabled(false, false);
    barrier();
    barrier();
    EXPECT_FALSE(twin->isEnabled());
    unit->setEnabled(true, false);
    barrier();
    barrier();
    EXPECT_TRUE(twin->isEnabled());

    auto pauser = std::make_shared<BEACSharedSchemaLog>();
    unit->pauseWithIdentifyingObject(pauser);
    barrier();
    barrier();
    EXPECT_TRUE(twin->isPaused());
    unit->resumeWithIdentifyingObject(pauser);
    barrier();
    barrier();
    EXPECT_FALSE(twin->isPaused());

    auto first = std::make_shared<BEACSharedSchemaLog>();
    collector->channelPrepareLog(*twin, first);
    auto epoch = first->ext->sdkExt->epoch;
    group->setEnabled(false, true);
    barrier();
    group->setEnabled(true, false);
    barrier();
    auto second = std::make_shared<BEACSharedSchemaLog>();
    collector->channelPrepareLog(*twin, second);
    EXPECT_EQ(second->ext->sdkExt->seq, 1);
    EXPECT_NE(second->ext->sdkExt->epoch, epoch);
}

}  // namespace
