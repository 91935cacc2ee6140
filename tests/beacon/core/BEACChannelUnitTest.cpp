#include "beacon/core/BEACChannelUnitDefault.h"

#include <gtest/gtest.h>

#include "PipelineTestSupport.h"
#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACSharedSchemaLog.h"

using namespace beactest;

namespace {

class ChannelUnitTest : public PipelineFixture {
  protected:
    void enqueueMany(const std::shared_ptr<BEACChannelUnitDefault>& unit, int n,
                     const std::string& prefix = "l") {
        for (int i = 0; i < n; ++i)
            unit->enqueueItem(makeTestLog(prefix + std::to_string(i)), BEACFlagsNormal);
        barrier();
    }
    // Every log has heard exactly one outcome.
    void expectOneOutcomeEach(const std::vector<std::string>& sids) {
        for (const auto& sid : sids) {
            auto kinds = delegate->kindsFor(sid);
            auto outcomes = std::count(kinds.begin(), kinds.end(), "didSucceed") +
                            std::count(kinds.begin(), kinds.end(), "didFail");
            EXPECT_EQ(outcomes, 1) << sid;
        }
    }
};

}  // namespace

TEST_F(ChannelUnitTest, DefaultConfigurationSendsAfterQuietIntervalOrAtBatchSize) {
    auto unit = addUnit(BEACChannelUnitConfiguration::defaultConfiguration("Beacon"));
    enqueueMany(unit, 49);
    advance(2.9);
    EXPECT_EQ(ingestion->callCount(), 0u);
    enqueue(unit, "late");  // the 50th log sends at once
    ASSERT_EQ(ingestion->callCount(), 1u);
    EXPECT_EQ(ingestion->sidsOfCall(0).size(), 50u);

    // Each log within the interval re-arms the timer.
    enqueue(unit, "a");
    advance(2);
    enqueue(unit, "b");
    advance(2);
    EXPECT_EQ(ingestion->callCount(), 1u);
    advance(1);
    ASSERT_EQ(ingestion->callCount(), 2u);
    EXPECT_EQ(ingestion->sidsOfCall(1), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ChannelUnitTest, SmallBatchesAreBoundedByPendingLimit) {
    auto unit = addUnit(BEACChannelUnitConfiguration("Crashes", 2, 1, 1, 3));
    enqueueMany(unit, 5);
    EXPECT_EQ(ingestion->callCount(), 0u);  // batch size reached, still waits for the interval
    advance(1);
    ASSERT_EQ(ingestion->callCount(), 3u);
    complete(1, 503);  // a failed completion loads nothing more
    EXPECT_EQ(ingestion->callCount(), 3u);
    complete(0, 200);  // a success loads what the free slots allow at once
    ASSERT_EQ(ingestion->callCount(), 5u);
    EXPECT_EQ(ingestion->sidsOfCall(3), std::vector<std::string>{"l3"});
    EXPECT_EQ(ingestion->sidsOfCall(4), std::vector<std::string>{"l4"});
    EXPECT_EQ(delegate->kindsFor("l0"), (std::vector<std::string>{"prepare", "didPrepare", "filter?",
                                                                  "didComplete", "willSend", "didSucceed"}));
    EXPECT_EQ(delegate->kindsFor("l1").back(), "didFail");
    EXPECT_TRUE(unit->isEnabled());
}

TEST_F(ChannelUnitTest, LongIntervalStartSurvivesRelaunch) {
    auto config = BEACChannelUnitConfiguration("Analytics", 1, 60, 50, 3);
    auto unit = addUnit(config);
    std::string key = unit->oldestPendingLogTimestampKey();
    EXPECT_EQ(key, "ChannelStartTimer:Analytics");
    plat::Date start = now.now();
    enqueue(unit, "first");
    EXPECT_EQ(BEACBeaconUserDefaults::shared()->objectForKey(key)->asDate(), start);
    advance(20);
    enqueue(unit, "second");  // arms for the remaining 40 s, not 60
    advance(39);
    EXPECT_EQ(ingestion->callCount(), 0u);
    advance(1);
    ASSERT_EQ(ingestion->callCount(), 1u);
    EXPECT_FALSE(BEACBeaconUserDefaults::shared()->objectForKey(key));
    complete(0, 200);

    // Quit before the timer fires; relaunch 70 s after the start: the first log sends at once.
    enqueue(unit, "third");
    ASSERT_TRUE(BEACBeaconUserDefaults::shared()->objectForKey(key));
    relaunch();
    now.advance(70);
    unit = addUnit(config);
    enqueue(unit, "fourth");
    ASSERT_EQ(ingestion->callCount(), 1u);
    EXPECT_EQ(ingestion->sidsOfCall(0), (std::vector<std::string>{"third", "fourth"}));
    EXPECT_FALSE(BEACBeaconUserDefaults::shared()->objectForKey(key));

    // A start in the future is replaced by now and the full interval applies.
    BEACBeaconUserDefaults::shared()->setObject(
        plat::Value(plat::Date(now.now().timeIntervalSinceReferenceDate() + 500)), key);
    enqueue(unit, "fifth");
    EXPECT_EQ(BEACBeaconUserDefaults::shared()->objectForKey(key)->asDate(), now.now());
    advance(59);
    EXPECT_EQ(ingestion->callCount(), 1u);
    advance(1);
    EXPECT_EQ(ingestion->callCount(), 2u);
}

TEST_F(ChannelUnitTest, ZeroIntervalSendsEveryLog) {
    auto unit = addUnit(BEACChannelUnitConfiguration("Now", 1, 0, 50, 3));
    enqueue(unit, "a");
    enqueue(unit, "b");
    EXPECT_EQ(ingestion->callCount(), 2u);
}

TEST_F(ChannelUnitTest, UnrecoverableStatusDisablesAndDeletesWithOneOutcomePerLog) {
    auto unit = addUnit(BEACChannelUnitConfiguration("Crashes", 2, 1, 1, 3));
    enqueueMany(unit, 5);
    advance(1);
    ASSERT_EQ(ingestion->callCount(), 3u);
    CapturingLog log;
    complete(0, 401);
    EXPECT_FALSE(unit->isEnabled());
    EXPECT_TRUE(unit->discardLogs());
    EXPECT_TRUE(unit->pendingBatchIds().empty());
    EXPECT_EQ(log.count("Fatal error encountered; shutting down channel unit with group ID Crashes"), 1u);
    // l0 failed with the server's error; l3 and l4 were never sent: they fail with code 100.
    // l1 and l2 were in flight: their batches are dropped without callbacks now.
    for (const char* sid : {"l3", "l4"}) {
        auto kinds = delegate->kindsFor(sid);
        EXPECT_EQ(std::vector<std::string>(kinds.end() - 2, kinds.end()),
                  (std::vector<std::string>{"willSend", "didFail"}));
    }
    for (const auto& e : delegate->events()) {
        if (e.kind == "didFail" && (e.sid == "l3" || e.sid == "l4")) {
            EXPECT_EQ(e.errorCode, kBEACConnectionPausedErrorCode);
        }
    }
    complete(1, 200);  // late completion of a dropped batch
    EXPECT_TRUE(log.containsPrefix("Batch Id ", BEACLogLevelWarning));
    EXPECT_EQ(delegate->kindsFor("l1").back(), "willSend");  // no outcome from a dropped batch

    // Later logs fail at once and are not stored.
    enqueue(unit, "after");
    EXPECT_EQ(delegate->kindsFor("after"), (std::vector<std::string>{"prepare", "didPrepare", "filter?",
                                                                     "willSend", "didFail", "didComplete"}));
    EXPECT_EQ(group->storage()->countLogs(), 0u);
    expectOneOutcomeEach({"l0", "l3", "l4", "after"});

    // An enable request leaves the discarding mode.
    unit->setEnabled(true, false);
    enqueue(unit, "again");
    EXPECT_EQ(group->storage()->countLogs(), 1u);
}

TEST_F(ChannelUnitTest, RecoverableStatusKeepsLogsForNextLaunch) {
    for (int64_t status : {0, 408, 429, 503}) {
        SCOPED_TRACE(status);
        auto config = BEACChannelUnitConfiguration("Retry" + std::to_string(status), 1, 3, 2, 3);
        auto unit = addUnit(config);
        enqueueMany(unit, 2);
        ASSERT_EQ(ingestion->callCount(), 1u);
        complete(0, status);
        EXPECT_TRUE(unit->isEnabled());
        EXPECT_EQ(delegate->count("didFail"), 2u);
        enqueueMany(unit, 2, "m");  // the failed logs stay reserved in this run
        ASSERT_EQ(ingestion->callCount(), 2u);
        EXPECT_EQ(ingestion->sidsOfCall(1), (std::vector<std::string>{"m0", "m1"}));
        complete(1, 200);

        relaunch();
        unit = addUnit(config);
        enqueue(unit, "n");  // one flush sends both batches
        advance(3);
        ASSERT_EQ(ingestion->callCount(), 2u);
        EXPECT_EQ(ingestion->sidsOfCall(0), (std::vector<std::string>{"l0", "l1"}));
        EXPECT_EQ(ingestion->sidsOfCall(1), std::vector<std::string>{"n"});
        complete(0, 200);
        complete(1, 200);
        relaunch();
    }
}

TEST_F(ChannelUnitTest, PauseLanesAndDisableWithoutDeletion) {
    auto unit = addUnit(BEACChannelUnitConfiguration("P", 1, 0, 50, 3));
    auto a = std::make_shared<const plat::Object>();
    auto b = std::make_shared<const plat::Object>();
    unit->pauseWithIdentifyingObject(a);
    unit->pauseWithIdentifyingObject(a);
    enqueue(unit, "x");
    EXPECT_EQ(ingestion->callCount(), 0u);
    unit->resumeWithIdentifyingObject(a);  // the same pauser twice needs one resume
    barrier();
    EXPECT_FALSE(unit->isPaused());
    unit->pauseWithIdentifyingObject(a);
    unit->pauseWithIdentifyingObject(b);
    unit->resumeWithIdentifyingObject(a);
    barrier();
    EXPECT_TRUE(unit->isPaused());
    unit->resumeWithIdentifyingObject(b);
    barrier();
    EXPECT_FALSE(unit->isPaused());
    EXPECT_EQ(delegate->count("didPause"), 4u);
    EXPECT_EQ(delegate->count("didResume"), 3u);

    // Disabled without deletion: logs are stored and sent after enabling.
    unit->setEnabled(false, false);
    enqueue(unit, "y");
    size_t before = ingestion->callCount();
    unit->setEnabled(true, false);
    barrier();
    EXPECT_EQ(ingestion->callCount(), before + 1);
}

TEST_F(ChannelUnitTest, PerTargetPauseKeepsTargetLogsOut) {
    auto unit = addUnit(BEACChannelUnitConfiguration("T", 1, 0, 50, 3));
    auto schemaLog = [](const std::string& sid, const std::string& token) {
        auto log = std::make_shared<BEACSharedSchemaLog>();
        log->sid = sid;
        log->type = "common";
        log->ver = "3.0";
        log->name = "event";
        log->addTransmissionTargetToken(token);
        return log;
    };
    unit->pauseSendingLogsWithToken("token-1");
    unit->enqueueItem(schemaLog("tok", "token-1"), BEACFlagsNormal);
    unit->enqueueItem(schemaLog("plain", "other-2"), BEACFlagsNormal);
    barrier();
    ASSERT_GE(ingestion->callCount(), 1u);
    for (std::size_t i = 0; i < ingestion->callCount(); ++i) {
        for (const auto& sid : ingestion->sidsOfCall(i))
            EXPECT_NE(sid, "tok");
    }
    unit->resumeSendingLogsWithToken("token-1");
    barrier();
    EXPECT_EQ(ingestion->sidsOfCall(ingestion->callCount() - 1), std::vector<std::string>{"tok"});
}

TEST_F(ChannelUnitTest, CallbackThreadsAndDroppedLogs) {
    auto unit = addUnit(BEACChannelUnitConfiguration("C", 1, 0, 50, 3));
    enqueue(unit, "one");
    complete(0, 200);
    auto events = delegate->events();
    for (const auto& e : events) {
        if (e.sid != "one")
            continue;
        bool callerThread = e.kind == "prepare" || e.kind == "didPrepare";
        EXPECT_EQ(e.thread == std::this_thread::get_id(), callerThread) << e.kind;
    }
    EXPECT_EQ(group->storage()->countLogs(), 0u);

    // Invalid logs get no callback; filtered and not-ready logs only didComplete.
    CapturingLog log;
    unit->enqueueItem(nullptr, 1);
    auto invalid = std::make_shared<BEACLogWithProperties>();  // no type
    invalid->sid = "invalid";
    unit->enqueueItem(invalid, 1);
    barrier();
    EXPECT_EQ(log.count("Log is not valid."), 2u);
    EXPECT_TRUE(delegate->kindsFor("invalid").empty());
    delegate->filter = true;
    enqueue(unit, "filtered");
    delegate->filter = false;
    ingestion->setAppSecret(std::nullopt);
    enqueue(unit, "unready");
    EXPECT_EQ(delegate->kindsFor("filtered"),
              (std::vector<std::string>{"prepare", "didPrepare", "filter?", "didComplete"}));
    EXPECT_EQ(delegate->kindsFor("unready"),
              (std::vector<std::string>{"prepare", "didPrepare", "filter?", "didComplete"}));
    EXPECT_EQ(group->storage()->countLogs(), 0u);
}

TEST_F(ChannelUnitTest, OfflineLogsSurviveRestart) {
    auto config = BEACChannelUnitConfiguration::defaultConfiguration("Beacon");
    auto unit = addUnit(config);
    ingestion->setNetworkAllowed(false);
    enqueueMany(unit, 3);
    advance(3);
    EXPECT_EQ(ingestion->callCount(), 0u);
    EXPECT_EQ(group->storage()->countLogs(), 3u);
    relaunch();
    unit = addUnit(config);
    enqueue(unit, "new");
    advance(3);
    ASSERT_EQ(ingestion->callCount(), 1u);
    EXPECT_EQ(ingestion->sidsOfCall(0), (std::vector<std::string>{"l0", "l1", "l2", "new"}));
    complete(0, 200);
    EXPECT_EQ(group->storage()->countLogs(), 0u);
    expectOneOutcomeEach({"l0", "l1", "l2", "new"});
}

// The unit's state belongs to its queue: checking for pending logs there is
// quiet, checking from any other thread stops the process naming the queue.
// The queue is read and replaced under its own lock.
TEST_F(ChannelUnitTest, PendingLogsAreCheckedOnlyOnTheUnitsQueue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto unit = addUnit(BEACChannelUnitConfiguration("Checked", 50, 3, 3, 3));
    ASSERT_EQ(unit->logsDispatchQueue().label(), group->queue().label());
    group->queue().sync([&] { unit->checkPendingLogs(); });
    EXPECT_DEATH(unit->checkPendingLogs(), "called off the queue");

    auto other = plat::dispatch::Queue::serial("test.channel.other");
    unit->setLogsDispatchQueue(other);
    EXPECT_EQ(unit->logsDispatchQueue().label(), "test.channel.other");
    other.sync([&] { unit->checkPendingLogs(); });
    unit->setLogsDispatchQueue(group->queue());
}
