#include <gtest/gtest.h>

#include "BeaconTestSupport.h"
#include "beacon/core/BEACHistoryInfo.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACUserIdContext.h"

namespace {

class BEACContextsTest : public ::testing::Test {
  protected:
    beactest::CapturingLog log_;
    beactest::SandboxedSDK sdk_;
    beactest::ManualNow now_{1000.0};
};

TEST_F(BEACContextsTest, SessionHistoryAnswersExactlyAtTheBoundariesAcrossLaunches) {
    {
        BEACSessionContext launch1;
        now_.advance(10);  // t = 1010
        launch1.setSessionId("s1");
        now_.advance(10);             // t = 1020
        launch1.setSessionId("s1b");  // replaces this launch's record
        EXPECT_EQ(launch1.sessionHistory().size(), 1u);
    }
    now_.advance(10);  // t = 1030
    sdk_.relaunchDefaults();
    BEACSessionContext launch2;
    EXPECT_EQ(launch2.sessionHistory().size(), 2u);
    EXPECT_EQ(log_.count("1 session(s) in the history."), 1u);
    EXPECT_FALSE(launch2.sessionId());
    now_.advance(10);  // t = 1040
    launch2.setSessionId("s2");

    EXPECT_FALSE(launch2.sessionIdAt(plat::Date(1020)));  // strictly earlier only
    EXPECT_EQ(launch2.sessionIdAt(plat::Date(1020.001)), "s1b");
    EXPECT_EQ(launch2.sessionIdAt(plat::Date(1040)), "s1b");
    EXPECT_EQ(launch2.sessionIdAt(plat::Date(1040.5)), "s2");
    EXPECT_FALSE(launch2.sessionIdAt(plat::Date(0)));

    launch2.clearSessionHistoryAndKeepCurrentSession(true);
    EXPECT_EQ(launch2.sessionHistory().size(), 1u);
    launch2.clearSessionHistoryAndKeepCurrentSession(false);
    EXPECT_TRUE(launch2.sessionHistory().empty());
    EXPECT_EQ(log_.count("Cleared old sessions."), 2u);
}

class RecordingDelegate : public BEACUserIdContextDelegate {
  public:
    std::vector<std::optional<std::string>> seen;
    void userIdContextDidUpdateUserId(BEACUserIdContext&, const std::optional<std::string>& id) override {
        seen.push_back(id);
    }
};

TEST_F(BEACContextsTest, UserIdHistoryIsWrittenAtOnceAndDelegatesHearChanges) {
    {
        BEACUserIdContext launch1;
        EXPECT_TRUE(sdk_.defaults()->objectForKey("BCBeaconUserIdHistory"));
        auto delegate = std::make_shared<RecordingDelegate>();
        launch1.addDelegate(delegate);
        now_.advance(5);  // 1005
        launch1.setUserId("alice");
        launch1.setUserId("alice");  // unchanged: nothing happens
        EXPECT_EQ(delegate->seen, (std::vector<std::optional<std::string>>{"alice"}));
        launch1.removeDelegate(delegate);
        launch1.setUserId("bob");
        EXPECT_EQ(delegate->seen.size(), 1u);
    }
    now_.advance(5);  // 1010
    sdk_.relaunchDefaults();
    BEACUserIdContext launch2;
    EXPECT_EQ(launch2.userIdHistory().size(), 2u);
    EXPECT_EQ(launch2.userIdAt(plat::Date(1006)), "bob");
    EXPECT_FALSE(launch2.userIdAt(plat::Date(1005)));
    EXPECT_FALSE(launch2.userIdAt(plat::Date(1010.5)));  // this launch has no user yet
    launch2.clearUserIdHistory();
    EXPECT_EQ(launch2.userIdHistory().size(), 1u);
}

struct UserIdCase {
    std::optional<std::string> userId;
    bool beacon;
    bool eventCollector;
    std::optional<std::string> prefixed;
};

TEST_F(BEACContextsTest, UserIdValidationAndPrefixing) {
    const std::vector<UserIdCase> cases = {
        {std::nullopt, true, true, std::nullopt},
        {"", true, false, "c:"},
        {"alice", true, true, "c:alice"},
        {"c:alice", true, true, "c:alice"},
        {"c:", true, false, "c:"},
        {"x:alice", true, false, "x:alice"},
        {std::string(256, 'u'), true, true, "c:" + std::string(256, 'u')},
        {std::string(257, 'u'), false, true, "c:" + std::string(257, 'u')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BEACUserIdContext::isUserIdValidForBeacon(c.userId), c.beacon) << c.userId.value_or("nil");
        EXPECT_EQ(BEACUserIdContext::isUserIdValidForEventCollector(c.userId), c.eventCollector)
            << c.userId.value_or("nil");
        EXPECT_EQ(BEACUserIdContext::prefixedUserIdFromUserId(c.userId), c.prefixed);
    }
    EXPECT_EQ(log_.count("userId prefix must be 'c', 'x' is not supported."), 1u);
    EXPECT_EQ(log_.count("userId is limited to 256 characters."), 1u);
}

TEST_F(BEACContextsTest, TestSessionRecordsKeepTheirSessionThroughTheArchive) {
    auto record = std::make_shared<BEACTestSessionInfo>(plat::Date(1234.5), "test-session");
    auto archive =
        BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(record)));
    ASSERT_TRUE(archive);
    auto back = BEACUtility::unarchiveKeyedData(archive);
    ASSERT_TRUE(back);
    auto decoded = back->asObjectOf<BEACTestSessionInfo>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->timestamp, plat::Date(1234.5));
    EXPECT_EQ(decoded->sessionId, "test-session");
    // A record without a session id comes back without one.
    auto bare = BEACUtility::unarchiveKeyedData(BEACUtility::archiveKeyedData(
        plat::Value(std::static_pointer_cast<const plat::Object>(std::make_shared<BEACTestSessionInfo>()))));
    ASSERT_TRUE(bare && bare->asObjectOf<BEACTestSessionInfo>());
    EXPECT_FALSE(bare->asObjectOf<BEACTestSessionInfo>()->sessionId);
    EXPECT_FALSE(bare->asObjectOf<BEACTestSessionInfo>()->timestamp);
}

TEST_F(BEACContextsTest, UnreadableHistoryStartsEmpty) {
    sdk_.defaults()->setObject(plat::Value(plat::Data::fromString("garbage")), "BCBeaconSessionIdHistory");
    BEACSessionContext context;
    EXPECT_EQ(context.sessionHistory().size(), 1u);
}

}  // namespace
