// The analytics service started through the facade: its units and their
// intervals, flags routing, what tracking builds, enabling and disabling
// (stored logs, sessions, delegates), library starts, the application's
// delegate and session ids across a session change on a hand-set clock.
#include "beacon/analytics/BEACAnalytics.h"

#include <thread>

#include "AnalyticsTestSupport.h"

using namespace beactest;

namespace {

class AnalyticsTest : public AnalyticsFixture {};

TEST_F(AnalyticsTest, StartAddsBothUnitsWithTheirTwinsAndTakesTheIntervalSetBeforeStart) {
    CapturingLog log;
    struct Case {
        uint64_t seconds;
        uint64_t expected;
    };
    // Only 3 to 86400 seconds are taken.
    for (Case c : {Case{2, 3}, Case{86401, 3}, Case{3, 3}, Case{86400, 86400}}) {
        BEACAnalytics::resetSharedInstance();
        BEACAnalytics::setTransmissionInterval(c.seconds);
        EXPECT_EQ(BEACAnalytics::transmissionInterval(), c.expected) << c.seconds;
    }
    EXPECT_EQ(log.count("The transmission interval is not valid, it should be between 3 second(s) and 86400 "
                        "second(s) (1 day)."),
              2u);
    start();
    for (const char* id : {"Analytics", "Analytics_critical", "Analytics/one", "Analytics_critical/one"})
        EXPECT_NE(group()->channelUnitForGroupId(id), nullptr) << id;
    EXPECT_EQ(group()->channelUnitForGroupId("Analytics")->configuration().flushInterval(), 86400u);
    EXPECT_EQ(analytics()->criticalChannelUnit()->configuration().flushInterval(), 3u);
    EXPECT_EQ(analytics()->initializationPriority(), 500);

    // After start the interval is fixed.
    BEACAnalytics::setTransmissionInterval(10);
    EXPECT_EQ(BEACAnalytics::transmissionInterval(), 86400u);
    EXPECT_EQ(
        log.count("The transmission interval should be set before the BEACAnalytics service is started."),
        1u);
}

TEST_F(AnalyticsTest, SettingsOfEarlierGenerationsMoveOnce) {
    BEACAnalytics::resetSharedInstance();
    sdk.defaults()->setBool(false, "kBCAnalyticsIsEnabledKey");
    sdk.defaults()->setInteger(7, "pastSessionsKey");
    start();
    EXPECT_FALSE(sdk.defaults()->objectForKey("kBCAnalyticsIsEnabledKey"));
    EXPECT_EQ(sdk.defaults()->objectForKey("BCBeaconAnalyticsIsEnabled"), plat::Value(false));
    EXPECT_FALSE(BEACAnalytics::isServiceEnabled());
    // The tracker forgets the old session list.
    EXPECT_FALSE(sdk.defaults()->objectForKey("BCBeaconPastSessions"));
    EXPECT_FALSE(analytics()->sessionTracker()->isStarted());
}

TEST_F(AnalyticsTest, FlagsLowByteChoosesTheUnit) {
    start();
    struct Case {
        uint64_t flags;
        const char* group;
        bool warned;
    };
    const Case cases[] = {{0, "Analytics", true},
                          {1, "Analytics", false},
                          {2, "Analytics_critical", false},
                          {3, "Analytics", true},
                          {258, "Analytics_critical", false},
                          {0x101, "Analytics", false}};
    for (const auto& c : cases) {
        CapturingLog log;
        prepared->clear();
        BEACAnalytics::trackEvent("flagged", std::optional<plat::Dictionary>(), c.flags);
        auto entries = prepared->entries();
        ASSERT_EQ(entries.size(), 1u) << c.flags;
        EXPECT_EQ(entries[0].groupId, c.group) << c.flags;
        // The unit gets the low byte; a bad one is replaced by normal.
        EXPECT_EQ(entries[0].flags, c.warned ? 1u : (c.flags & 0xff)) << c.flags;
        EXPECT_EQ(log.count("Invalid flags (" + std::to_string(c.flags & 0xff) +
                            ") received, using normal as a default."),
                  c.warned ? 1u : 0u);
    }
}

TEST_F(AnalyticsTest, TrackingBuildsEventAndPageLogs) {
    CapturingLog log;
    BEACAnalytics::trackEvent("before start");
    EXPECT_TRUE(log.containsPrefix("Analytics service hasn't been started.", BEACLogLevelError));
    start();

    // A number among string properties disappears without a message.
    log.clear();
    BEACAnalytics::trackEvent("purchase",
                              plat::Dictionary{{"item", plat::Value("book")}, {"count", plat::Value(2)}});
    auto events = prepared->of("Analytics", "event");
    ASSERT_EQ(events.size(), 1u);
    auto event = std::dynamic_pointer_cast<BEACEventLog>(events[0]);
    ASSERT_TRUE(event->typedProperties);
    ASSERT_EQ(event->typedProperties->count(), 1u);
    EXPECT_EQ(event->typedProperties->properties()[0].first, "item");
    EXPECT_TRUE(event->eventId && plat::UUID::fromString(*event->eventId));
    EXPECT_FALSE(event->transmissionTargetTokens());
    for (const auto& line : log.lines())
        EXPECT_NE(line.tag, kBEACAnalyticsLogTag) << line.message;

    // Events for the Beacon endpoint keep at most 20 typed properties.
    auto many = std::make_shared<BEACEventProperties>();
    for (int i = 0; i < 21; ++i)
        many->setInt64(i, "p" + std::to_string(i));
    BEACAnalytics::trackEvent("many", many);
    auto limited = std::dynamic_pointer_cast<BEACEventLog>(prepared->of("Analytics", "event").back());
    EXPECT_EQ(limited->typedProperties->count(), 20u);
    EXPECT_EQ(many->count(), 21u);  // the caller's bag is left alone

    // A page with an empty dictionary has no properties.
    BEACAnalytics::trackPage("Home", plat::Dictionary());
    BEACAnalytics::trackPage("Cart", plat::Dictionary{{"step", plat::Value("2")}, {"n", plat::Value(3)}});
    auto pages = prepared->of("Analytics", "page");
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_FALSE(std::dynamic_pointer_cast<BEACPageLog>(pages[0])->properties);
    EXPECT_EQ(*std::dynamic_pointer_cast<BEACPageLog>(pages[1])->properties,
              (plat::Dictionary{{"step", plat::Value("2")}}));

    // An empty name is dropped by the channel with the log type in the message.
    BEACAnalytics::trackPage("");
    drain();
    EXPECT_EQ(log.count("page name cannot be null or empty"), 1u);

    // Disabled: dropped without a message.
    BEACAnalytics::setServiceEnabled(false);
    prepared->clear();
    log.clear();
    BEACAnalytics::trackEvent("while disabled");
    BEACAnalytics::trackPage("while disabled");
    EXPECT_TRUE(prepared->entries().empty());
    EXPECT_FALSE(log.containsPrefix("Analytics service hasn't", BEACLogLevelError));
}

TEST_F(AnalyticsTest, DisablingDeletesLogsOfBothUnitsAndEndsSessionTracking) {
    start();
    auto session = BEACSessionContext::sharedInstance()->sessionId();
    ASSERT_TRUE(session);
    EXPECT_TRUE(analytics()->sessionTracker()->isStarted());
    BEACAnalytics::trackEvent("normal");
    BEACAnalytics::trackEvent("critical", std::optional<plat::Dictionary>(), BEACFlagsCritical);
    drain();

    BEACAnalytics::setServiceEnabled(false);
    drain();
    EXPECT_FALSE(BEACAnalytics::isServiceEnabled());
    EXPECT_EQ(stored("Analytics"), 0u);
    EXPECT_EQ(stored("Analytics_critical"), 0u);
    EXPECT_FALSE(analytics()->sessionTracker()->isStarted());
    EXPECT_FALSE(BEACSessionContext::sharedInstance()->sessionId());
    EXPECT_TRUE(BEACSessionContext::sharedInstance()->sessionHistory().empty());

    // Enabling again brings no log back and begins a new session.
    BEACAnalytics::setServiceEnabled(true);
    drain();
    EXPECT_EQ(stored("Analytics_critical"), 0u);
    auto renewed = BEACSessionContext::sharedInstance()->sessionId();
    ASSERT_TRUE(renewed);
    EXPECT_NE(*renewed, *session);
    EXPECT_EQ(prepared->of("Analytics", "startSession").size(), 1u);
}

TEST_F(AnalyticsTest, LibraryStartGetsSessionTrackingOnlyOnceAnApplicationStarts) {
    start(kSecret, false);
    EXPECT_FALSE(analytics()->sessionTracker()->isStarted());
    EXPECT_FALSE(BEACSessionContext::sharedInstance()->sessionId());
    // Not a channel delegate yet: an empty page name is not filtered here.
    BEACAnalytics::trackPage("");
    drain();

    BEACBeacon::start(kSecret, std::vector<BEACServiceClass>{BEACAnalytics::serviceClass()});
    drain();
    EXPECT_TRUE(analytics()->isStartedFromApplication());
    EXPECT_TRUE(analytics()->sessionTracker()->isStarted());
    EXPECT_TRUE(BEACSessionContext::sharedInstance()->sessionId());
    // One unit per group id, also after the second start.
    std::size_t count = 0;
    for (const auto& unit : group()->channels())
        count += unit->configuration().groupId() == "Analytics_critical";
    EXPECT_EQ(count, 1u);
}

class RecordingAnalyticsDelegate : public BEACAnalyticsDelegate {
  public:
    void analyticsWillSendEventLog(BEACAnalytics&, const BEACEventLog& log) override {
        add("willEvent", log);
    }
    void analyticsDidSucceedSendingEventLog(BEACAnalytics&, const BEACEventLog& log) override {
        add("didEvent", log);
    }
    void analyticsWillSendPageLog(BEACAnalytics&, const BEACPageLog& log) override { add("willPage", log); }
    void analyticsDidFailSendingPageLog(BEACAnalytics&, const BEACPageLog& log,
                                        const plat::ErrorPtr& error) override {
        add(error ? "failPage" : "failPage?", log);
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex);
        return seen;
    }

  private:
    void add(const std::string& kind, const BEACLogWithNameAndProperties& log) {
        std::lock_guard lock(mutex);
        seen.push_back(kind + ":" + log.name.value_or(""));
    }
    std::mutex mutex;
    std::vector<std::string> seen;
};

TEST_F(AnalyticsTest, DelegateHearsOfEventAndPageLogsOnly) {
    auto observer = std::make_shared<RecordingAnalyticsDelegate>();
    BEACAnalytics::setDelegate(observer);
    start();
    BEACAnalytics::trackEvent("bought");
    BEACAnalytics::trackPage("Basket");
    advance(3);
    // The Beacon unit's startService log goes in a batch of its own; the
    // startSession log travels with the event and the page.
    auto session = BEACSessionContext::sharedInstance()->sessionId();
    ASSERT_EQ(ingestion->callCount(), 2u);
    std::size_t index = ingestion->sidsOfCall(0).at(0) == *session ? 0 : 1;
    EXPECT_EQ(ingestion->sidsOfCall(index).size(), 3u);
    ingestion->complete(index, 200);
    drain();
    drain();
    // A variant the delegate does not implement (page success) is dropped.
    EXPECT_EQ(observer->calls(),
              (std::vector<std::string>{"willEvent:bought", "willPage:Basket", "didEvent:bought"}));
}

TEST_F(AnalyticsTest, EveryLogCarriesTheSessionCurrentAtItsTimestamp) {
    auto& application = plat::appkit::Application::shared();
    application.becomeActive();
    start();
    auto first = BEACSessionContext::sharedInstance()->sessionId();
    ASSERT_TRUE(first);
    application.resignActive();
    now.advance(5);
    BEACAnalytics::trackEvent("just before");
    // 20 s without a log and 25 s inactive: a new session.
    now.advance(20);
    application.becomeActive();
    auto second = BEACSessionContext::sharedInstance()->sessionId();
    ASSERT_TRUE(second);
    EXPECT_NE(*first, *second);
    now.advance(0.001);
    BEACAnalytics::trackEvent("just after");
    BEACAnalytics::trackPage("Page", std::nullopt);
    // Active again after 10 s: the same session.
    application.resignActive();
    now.advance(10);
    application.becomeActive();
    BEACAnalytics::trackEvent("still");
    drain();

    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& log : prepared->of("Analytics"))
        seen.emplace_back(log->type.value_or("") + ":" + nameOf(log), log->sid.value_or("none"));
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{{"event:just before", *first},
                                                                      {"startSession:", *second},
                                                                      {"event:just after", *second},
                                                                      {"page:Page", *second},
                                                                      {"event:still", *second}}));
}

TEST_F(AnalyticsTest, PauseAndResumeActOnBothUnits) {
    start();
    BEACAnalytics::pause();
    drain();
    auto main =
        std::dynamic_pointer_cast<BEACChannelUnitDefault>(group()->channelUnitForGroupId("Analytics"));
    auto critical = std::dynamic_pointer_cast<BEACChannelUnitDefault>(analytics()->criticalChannelUnit());
    EXPECT_TRUE(main->isPaused());
    EXPECT_TRUE(critical->isPaused());
    BEACAnalytics::trackEvent("held");
    advance(3);
    // Only the Beacon unit's batch went.
    EXPECT_EQ(ingestion->callCount(), 1u);
    BEACAnalytics::resume();
    drain();
    EXPECT_FALSE(main->isPaused());
    EXPECT_FALSE(critical->isPaused());
    advance(3);
    EXPECT_EQ(ingestion->callCount(), 2u);
}

// Tracking from several threads while the application changes state and a
// target is switched: nothing is lost or deadlocks, and every event carries a
// session id (run under ThreadSanitizer with the "concurrent" label).
TEST_F(AnalyticsTest, ConcurrentTrackingSessionChangesAndTargetSwitches) {
    start();
    auto target = BEACAnalytics::transmissionTargetForToken("busy-token");
    constexpr int kThreads = 4;
    constexpr int kEvents = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEvents; ++i)
                BEACAnalytics::trackEvent("thread" + std::to_string(t), std::optional<plat::Dictionary>(),
                                          i % 2 ? BEACFlagsCritical : BEACFlagsNormal);
        });
    for (int i = 0; i < 20; ++i) {
        plat::appkit::Application::shared().resignActive();
        now.advance(30);
        plat::appkit::Application::shared().becomeActive();
        target->setEnabled(i % 2 == 0);
        target->propertyConfigurator()->setAppName("name" + std::to_string(i));
    }
    for (auto& thread : threads)
        thread.join();
    drain();
    std::size_t events = 0;
    for (const auto& entry : prepared->entries()) {
        if (entry.log->type.value_or("") != "event")
            continue;
        ++events;
        EXPECT_TRUE(entry.log->sid) << nameOf(entry.log);
    }
    EXPECT_EQ(events, static_cast<std::size_t>(kThreads * kEvents));
}

}  // namespace
