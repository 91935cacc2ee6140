// The session tracker on a real channel group: sessions at start and after a
// long inactive spell without logs, session ids stamped on every log, all on
// a hand-set current date and the application stand-in's activation.
#include "beacon/analytics/BEACSessionTracker.h"

#include <gtest/gtest.h>

#include "../core/PipelineTestSupport.h"
#include "beacon/analytics/BEACAnalyticsLogs.h"
#include "beacon/core/BEACStartServiceLog.h"
#include "platform/appkit/Application.h"

using namespace beactest;

namespace {

class RecordingTrackerDelegate : public BEACSessionTrackerDelegate {
  public:
    void sessionTrackerProcessLog(BEACSessionTracker&, const BEACLogPtr& log) override {
        logs.push_back(log);
    }
    std::vector<BEACLogPtr> logs;
};

class SessionTrackerTest : public PipelineFixture {
  protected:
    void SetUp() override {
        PipelineFixture::SetUp();
        plat::appkit::Application::shared().reset();
        tracker = std::make_shared<BEACSessionTracker>();
        tracker->setDelegate(recorder);
        unit = addUnit(BEACChannelUnitConfiguration::defaultConfiguration("Analytics", 3));
    }
    void TearDown() override {
        tracker->stop();
        plat::appkit::Application::shared().reset();
        PipelineFixture::TearDown();
    }
    // Enqueues a log; returns the sid it was stored with.
    std::optional<std::string> logNow(BEACLogPtr log = makeTestLog("placeholder")) {
        unit->enqueueItem(log, BEACFlagsNormal);
        barrier();
        return log->sid;
    }
    void inactiveFor(double seconds) {
        plat::appkit::Application::shared().resignActive();
        now.advance(seconds);
        plat::appkit::Application::shared().becomeActive();
    }
    std::optional<std::string> current() const { return BEACSessionContext::sharedInstance()->sessionId(); }

    std::shared_ptr<RecordingTrackerDelegate> recorder = std::make_shared<RecordingTrackerDelegate>();
    std::shared_ptr<BEACSessionTracker> tracker;
    std::shared_ptr<BEACChannelUnitDefault> unit;
};

TEST_F(SessionTrackerTest, StartInFrontBeginsASessionAndLogsCarryIt) {
    CapturingLog log;
    tracker->start();
    group->addDelegate(tracker);
    ASSERT_EQ(recorder->logs.size(), 1u);
    auto first = current();
    ASSERT_TRUE(first);
    EXPECT_EQ(recorder->logs[0]->type, "startSession");
    EXPECT_EQ(recorder->logs[0]->sid, first);
    EXPECT_EQ(log.count("New session ID: " + *first), 1u);
    EXPECT_EQ(logNow(), first);
    // Idle but active: the session stays.
    now.advance(3600);
    EXPECT_EQ(logNow(), first);
    tracker->start();
    EXPECT_EQ(recorder->logs.size(), 1u);

    // Start-session and start-service logs keep their sid and do not count as activity.
    auto before = tracker->lastCreatedLogTime();
    now.advance(5);
    auto session = std::make_shared<BEACStartSessionLog>();
    session->sid = "own";
    tracker->channelPrepareLog(*unit, session);
    auto service = std::make_shared<BEACStartServiceLog>();
    tracker->channelPrepareLog(*unit, service);
    EXPECT_EQ(session->sid, "own");
    EXPECT_FALSE(service->sid);
    EXPECT_EQ(tracker->lastCreatedLogTime(), before);

    tracker->stop();
    EXPECT_FALSE(current());
    EXPECT_FALSE(tracker->isStarted());
    tracker->start();
    EXPECT_EQ(recorder->logs.size(), 2u);
    EXPECT_NE(current(), first);
}

TEST_F(SessionTrackerTest, InactiveSpellsAndRecentLogsDecide) {
    tracker->start();
    group->addDelegate(tracker);
    struct Step {
        const char* what;
        double logAgo;  // seconds before resigning that a log was made (<0: none since last step)
        double inactive;
        bool newSession;
    } steps[] = {
        {"short spell", 30, 10, false},
        {"long spell, old log", 30, 25, true},
        {"exactly the timeout", 30, 20, true},
        {"long spell, recent log", -1, 25, false},
    };
    for (const auto& step : steps) {
        auto before = current();
        if (step.logAgo >= 0) {
            logNow();
            now.advance(step.logAgo);
        }
        if (std::string(step.what) == "long spell, recent log") {
            // A log made 5 s before becoming active, by any service.
            plat::appkit::Application::shared().resignActive();
            now.advance(step.inactive - 5);
            logNow();
            now.advance(5);
            plat::appkit::Application::shared().becomeActive();
        } else {
            inactiveFor(step.inactive);
        }
        EXPECT_EQ(current() != before, step.newSession) << step.what;
        EXPECT_EQ(logNow(), current()) << step.what;
    }
    EXPECT_EQ(recorder->logs.size(), 3u);
}

TEST_F(SessionTrackerTest, HiddenAtStartWaitsForActivationAndMarkedLogsKeepTheirSid) {
    plat::appkit::Application::shared().setHidden(true);
    tracker->start();
    group->addDelegate(tracker);
    EXPECT_TRUE(recorder->logs.empty());
    EXPECT_FALSE(logNow());
    plat::appkit::Application::shared().setHidden(false);
    plat::appkit::Application::shared().becomeActive();
    ASSERT_EQ(recorder->logs.size(), 1u);
    EXPECT_EQ(logNow(), current());

    class MarkedLog : public BEACLogWithProperties, public BEACNoAutoAssignSessionIdLog {};
    auto marked = std::make_shared<MarkedLog>();
    marked->sid = "mine";
    auto before = tracker->lastCreatedLogTime();
    now.advance(1);
    tracker->channelPrepareLog(*unit, marked);
    EXPECT_EQ(marked->sid, "mine");
    EXPECT_NE(tracker->lastCreatedLogTime(), before);
}

}  // namespace

// The delegate is called without the tracker's field lock: it may ask the
// tracker anything and enqueue the start log through a unit the tracker
// prepares logs of. Preparing any other log from there would wait for the
// renewal lock the announcing thread holds, so it stops the process instead.
TEST_F(SessionTrackerTest, TheDelegateMayCallTheTrackerButNotPrepareOtherLogs) {
    struct Asking : BEACSessionTrackerDelegate {
        void sessionTrackerProcessLog(BEACSessionTracker& tracker, const BEACLogPtr& log) override {
            started = tracker.isStarted();
            timedOut = tracker.hasSessionTimedOut();
            tracker.setSessionTimeout(30);
            unit->enqueueItem(log, BEACFlagsNormal);
            if (alsoLog)
                unit->enqueueItem(makeTestLog("inside"), BEACFlagsNormal);
        }
        std::shared_ptr<BEACChannelUnitDefault> unit;
        bool alsoLog = false;
        bool started = false;
        bool timedOut = false;
    };
    auto asking = std::make_shared<Asking>();
    asking->unit = unit;
    tracker->setDelegate(asking);
    group->addDelegate(tracker);
    tracker->start();
    barrier();
    EXPECT_TRUE(asking->started);
    EXPECT_FALSE(asking->timedOut);  // never inactive
    ASSERT_TRUE(current());
    EXPECT_EQ(logNow(), current());

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            asking->alsoLog = true;
            tracker->stop();
            tracker->start();
        },
        "prepared by the session tracker's delegate while it announced a new session");
}
