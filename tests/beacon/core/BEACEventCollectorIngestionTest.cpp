// The Event Collector ingestion end to end against an ingestion endpoint on
// 127.0.0.1: newline-delimited body, tokens, upload time and tickets in
// headers, and the starring of tokens and tickets in verbose logs.
#include "beacon/core/BEACEventCollectorIngestion.h"

#include <gtest/gtest.h>

#include <future>

#include "BeaconTestSupport.h"
#include "IngestionServer.h"
#include "PipelineTestSupport.h"
#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACErrors.h"
#include "beacon/core/BEACLogContainer.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "beacon/core/BEACTicketCache.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/JSONSerialization.h"
#include "support/WaitUntil.h"

using namespace beactest;

namespace {

std::shared_ptr<BEACSharedSchemaLog> csLog(
    const std::string& name, const std::string& token,
    std::optional<std::vector<std::string>> ticketKeys = std::nullopt) {
    auto log = std::make_shared<BEACSharedSchemaLog>();
    log->ver = "3.0";
    log->name = name;
    log->timestamp = plat::Date(1000.0);
    log->iKey = BEACUtility::iKeyFromTargetToken(token);
    log->addTransmissionTargetToken(token);
    if (ticketKeys) {
        log->ext = std::make_shared<BEACCSExtensions>();
        log->ext->protocolExt = std::make_shared<BEACProtocolExtension>();
        log->ext->protocolExt->ticketKeys = ticketKeys;
    }
    return log;
}

class EventCollectorIngestionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BEACHttpClient::Options options;
        options.configure = [](plat::urlloading::URLSessionConfiguration& c) {
            c.connectionProxyFromEnvironment = false;
        };
        ingestion = BEACEventCollectorIngestion::make(BEACHttpClient::make(options), server.url());
        BEACTicketCache::sharedInstance()->clearCache();
    }
    void TearDown() override { BEACTicketCache::sharedInstance()->clearCache(); }
    // The id and status (or error code) of the call; an empty id and -2,
    // and a failure, when the call never completed.
    std::pair<std::string, int64_t> send(const BEACLogContainerPtr& container) {
        auto promise = std::make_shared<std::promise<std::pair<std::string, int64_t>>>();
        ingestion->sendAsync(container, [promise](const std::string& id, const BEACHttpResponsePtr& response,
                                                  const auto&, const plat::ErrorPtr& error) {
            promise->set_value({id, error      ? error->code()
                                    : response ? int64_t(response->statusCode)
                                               : int64_t(-1)});
        });
        auto future = promise->get_future();
        if (future.wait_for(std::chrono::duration<double>(testsupport::kHangSeconds)) !=
            std::future_status::ready) {
            ADD_FAILURE() << "the call never completed";
            return {std::string(), -2};
        }
        return future.get();
    }

    CapturingLog log;
    TestBundle bundle;
    SandboxedSDK sdk;
    IngestionServer server;
    std::shared_ptr<BEACEventCollectorIngestion> ingestion;
};

TEST_F(EventCollectorIngestionTest, BatchIsOneLinePerLogWithTokensAndTicketsInHeaders) {
    BEACTicketCache::sharedInstance()->setTicket("p:secret-ticket", "key1");
    auto first = csLog("first.event", "tokenA-1", std::vector<std::string>{"key1", "unknown"});
    auto second = csLog("second", "tokenB-2");
    auto third = csLog("third", "tokenA-1");
    auto container =
        std::make_shared<const BEACLogContainer>("batch-7", std::vector<BEACLogPtr>{first, second, third});
    double before = BEACUtility::nowInMilliseconds();
    EXPECT_EQ(send(container), std::make_pair(std::string("batch-7"), int64_t(200)));
    double after = BEACUtility::nowInMilliseconds();

    ASSERT_EQ(server.requests().size(), 1u);
    auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/EventCollector/1.0");
    EXPECT_TRUE(request.query.empty());
    EXPECT_EQ(request.header("content-type"), "application/x-json-stream; charset=utf-8");
    EXPECT_EQ(request.header("client-version"), "ACS-iOS-ObjectiveC-no-" + BEACUtility::sdkVersion() + "-no");
    // Each distinct token once.
    EXPECT_EQ(request.header("apikey"), "tokenA-1,tokenB-2");
    long long uploadTime = std::stoll(request.header("upload-time"));
    EXPECT_GE(uploadTime, static_cast<long long>(before));
    EXPECT_LE(uploadTime, static_cast<long long>(after));
    EXPECT_EQ(request.header("tickets"), R"({"key1":"p:secret-ticket"})");
    // One line per log, fixed key order, no enclosing array.
    std::string expected;
    for (const auto& l : {first, second, third})
        expected += *l->serializeLogWithPrettyPrinting(false) + "\n";
    EXPECT_EQ(request.body, expected);
    EXPECT_EQ(request.body.rfind("{\"ver\":\"3.0\",\"name\":\"first.event\",\"time\":", 0), 0u)
        << request.body;
}

TEST_F(EventCollectorIngestionTest, NoTicketHeaderWithoutKnownTicketsAndLargeBatchesGzipped) {
    std::vector<BEACLogPtr> logs;
    for (int i = 0; i < 40; ++i)
        logs.push_back(csLog("event" + std::to_string(i), "token-x", std::vector<std::string>{"missing"}));
    auto container = std::make_shared<const BEACLogContainer>("big", logs);
    EXPECT_EQ(send(container).second, 200);
    ASSERT_EQ(server.requests().size(), 1u);
    auto request = server.requests()[0];
    EXPECT_EQ(request.headers.count("tickets"), 0u);
    EXPECT_EQ(request.header("content-encoding"), "gzip");
    EXPECT_LT(request.wireLength, request.body.size());
    EXPECT_EQ(std::count(request.body.begin(), request.body.end(), '\n'), 40);
}

TEST_F(EventCollectorIngestionTest, InvalidContainersAreRefusedWithTheirBatchId) {
    EXPECT_EQ(send(nullptr), std::make_pair(std::string(), kBEACLogInvalidContainerErrorCode));
    EXPECT_EQ(send(std::make_shared<const BEACLogContainer>("empty", std::vector<BEACLogPtr>{})),
              std::make_pair(std::string("empty"), kBEACLogInvalidContainerErrorCode));
    EXPECT_TRUE(log.containsPrefix("Invalid log container.", BEACLogLevelError));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(EventCollectorIngestionTest, VerboseLogsStarTokensAndTickets) {
    auto previousLevel = BEACLogger::currentLogLevel();
    BEACBeacon::setLogLevel(BEACLogLevelVerbose);
    BEACTicketCache::sharedInstance()->setTicket("d:ticket-value", "k");
    auto container = std::make_shared<const BEACLogContainer>(
        "b", std::vector<BEACLogPtr>{csLog("one1", "aaaaaaaa-1234567890", std::vector<std::string>{"k"}),
                                     csLog("two2", "short")});
    EXPECT_EQ(send(container).second, 200);
    bool sawHeaders = false;
    for (const auto& line : log.lines()) {
        if (line.message.rfind("Headers: ", 0) != 0)
            continue;
        sawHeaders = true;
        EXPECT_NE(line.message.find("apikey = ***********34567890,*****"), std::string::npos) << line.message;
        EXPECT_NE(line.message.find(R"(Tickets = {"k":"d:***"})"), std::string::npos) << line.message;
        EXPECT_EQ(line.message.find("ticket-value"), std::string::npos);
    }
    EXPECT_TRUE(sawHeaders);
    BEACLogger::setCurrentLogLevel(previousLevel);

    EXPECT_EQ(BEACEventCollectorIngestion::obfuscateTargetTokens("1234567890,abc"), "**34567890,***");
    EXPECT_EQ(BEACEventCollectorIngestion::obfuscateTickets(R"({"a":"p:xyz","b":"d:q"})"),
              R"({"a":"p:***","b":"d:***"})");
}

}  // namespace
