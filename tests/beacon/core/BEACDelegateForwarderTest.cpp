#include "beacon/core/BEACDelegateForwarder.h"

#include <gtest/gtest.h>

#include "BeaconTestSupport.h"
#include "beacon/core/BEACBeacon.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/Bundle.h"

using namespace beactest;
using plat::appkit::Arguments;
using plat::appkit::Responder;

namespace {

class AppDelegate : public Responder {
  public:
    std::string className() const override { return "ForwarderTestAppDelegate"; }
    std::set<std::string> ownSelectors() const override { return {"application:openURL:returnedValue:"}; }
    plat::Value perform(const std::string&, const Arguments&) override {
        ++calls;
        return plat::Value(1);
    }
    int calls = 0;
};

class CustomDelegate : public Responder {
  public:
    explicit CustomDelegate(int64_t add) : add(add) {}
    std::string className() const override { return "ForwarderTestCustomDelegate"; }
    std::set<std::string> ownSelectors() const override { return {"application:openURL:returnedValue:"}; }
    plat::Value perform(const std::string&, const Arguments& arguments) override {
        return plat::Value(arguments.back().longLongValue() + add);
    }
    int64_t add;
};

class ForwarderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BEACDelegateForwarder::resetTraceBuffer();
        plat::appkit::InterceptionTable::shared().reset();
        plat::appkit::Application::shared().reset();
    }
    void TearDown() override {
        BEACLogger::setCurrentLogLevel(BEACLogLevelAssert);
        plat::Bundle::mainBundle().setInfoDictionary(std::nullopt);
        BEACAppDelegateForwarder::resetSharedInstance();
        plat::appkit::InterceptionTable::shared().reset();
        plat::appkit::Application::shared().reset();
    }
};

}  // namespace

TEST_F(ForwarderTest, SwitchFromInfoDictionaryAndBufferedTraces) {
    CapturingLog log;
    plat::Bundle::mainBundle().setInfoDictionary(plat::Dictionary{{"CFBundleIdentifier", plat::Value("t")}});
    BEACAppDelegateForwarder::resetSharedInstance();
    EXPECT_TRUE(BEACBeacon::isAppDelegateForwarderEnabled());
    plat::Bundle::mainBundle().setInfoDictionary(
        plat::Dictionary{{"BeaconAppDelegateForwarderEnabled", plat::Value(false)}});
    BEACAppDelegateForwarder::resetSharedInstance();
    auto forwarder = BEACAppDelegateForwarder::sharedInstance();
    EXPECT_FALSE(forwarder->isEnabled());
    forwarder->addDelegate(std::make_shared<CustomDelegate>(1));
    EXPECT_EQ(forwarder->delegateCount(), 0u);
    EXPECT_TRUE(log.lines().empty());  // traces wait for a log level

    BEACBeacon::setLogLevel(BEACLogLevelVerbose);
    std::vector<std::string> messages;
    for (const auto& line : log.lines())
        messages.push_back(line.message);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages.front(), "Start buffering traces.");
    EXPECT_EQ(messages[1],
              "Delegate forwarder for info.plist key 'BeaconAppDelegateForwarderEnabled' enabled. It may use "
              "swizzling.");
    EXPECT_EQ(messages[2],
              "Delegate forwarder for info.plist key 'BeaconAppDelegateForwarderEnabled' disabled. It "
              "won't use swizzling.");
    EXPECT_EQ(messages.back(), "Stop buffering traces, flushed.");
    BEACDelegateForwarder::flushTraceBuffer();  // later flushes do nothing
    EXPECT_EQ(log.lines().size(), 4u);
}

TEST_F(ForwarderTest, ChainedCallPassesEachResultOn) {
    BEACBeacon::setLogLevel(BEACLogLevelWarning);
    auto forwarder = BEACAppDelegateForwarder::sharedInstance();
    forwarder->setEnabled(true);
    auto first = std::make_shared<CustomDelegate>(10);
    auto second = std::make_shared<CustomDelegate>(100);
    forwarder->addDelegate(first);
    forwarder->addDelegate(second);
    forwarder->addDelegateSelectorToSwizzle("application:openURL:returnedValue:");
    forwarder->addDelegateSelectorToSwizzle("applicationDidResignActive:");

    auto appDelegate = std::make_shared<AppDelegate>();
    plat::appkit::Application::shared().setDelegate(appDelegate);  // wrapped setter wraps the delegate
    EXPECT_EQ(plat::appkit::Application::shared().delegate(), appDelegate);

    auto result = plat::appkit::InterceptionTable::shared().send(
        *appDelegate,
        "application:openURL:returnedValue:", {plat::Value("app"), plat::Value("url"), plat::Value(0)});
    ASSERT_TRUE(result);
    EXPECT_EQ(appDelegate->calls, 1);      // the delegate's own implementation ran
    EXPECT_EQ(*result, plat::Value(111));  // 1 from the delegate, +10, +100

    // A selector the delegate lacks was added to its class.
    EXPECT_TRUE(
        plat::appkit::InterceptionTable::shared().responds(*appDelegate, "applicationDidResignActive:"));
    forwarder->removeDelegate(second);
    result = plat::appkit::InterceptionTable::shared().send(
        *appDelegate,
        "application:openURL:returnedValue:", {plat::Value("app"), plat::Value("url"), plat::Value(0)});
    EXPECT_EQ(*result, plat::Value(11));
}

// The process keeps one shared forwarder, but a test (or a second run of one
// in the same process) starts again from a fresh forwarder and fresh
// interceptions: the fresh forwarder wraps the application's setter again.
TEST_F(ForwarderTest, AFreshSharedForwarderWrapsTheSetterAgain) {
    BEACBeacon::setLogLevel(BEACLogLevelWarning);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        BEACAppDelegateForwarder::resetSharedInstance();
        plat::appkit::InterceptionTable::shared().reset();
        plat::appkit::Application::shared().reset();
        auto forwarder = BEACAppDelegateForwarder::sharedInstance();
        forwarder->setEnabled(true);
        auto custom = std::make_shared<CustomDelegate>(10);
        forwarder->addDelegate(custom);
        forwarder->addDelegateSelectorToSwizzle("application:openURL:returnedValue:");
        auto appDelegate = std::make_shared<AppDelegate>();
        plat::appkit::Application::shared().setDelegate(appDelegate);
        auto result = plat::appkit::InterceptionTable::shared().send(
            *appDelegate,
            "application:openURL:returnedValue:", {plat::Value("app"), plat::Value("url"), plat::Value(0)});
        ASSERT_TRUE(result);
        EXPECT_EQ(*result, plat::Value(11));  // 1 from the delegate, +10
    }
}

// A forwarded delegate that makes the application send a forwarded message
// again (under a lock held across forwarding, this waited for itself).
TEST_F(ForwarderTest, ADelegateMayCauseAnotherForwardedMessage) {
    struct Reentering : Responder {
        std::string className() const override { return "ForwarderTestReenteringDelegate"; }
        std::set<std::string> ownSelectors() const override { return {"application:openURL:returnedValue:"}; }
        plat::Value perform(const std::string& selector, const Arguments& arguments) override {
            if (++depth == 1 && appDelegate)
                plat::appkit::InterceptionTable::shared().send(
                    *appDelegate, selector, {plat::Value("app"), plat::Value("inner"), plat::Value(0)});
            return plat::Value(arguments.back().longLongValue() + 1);
        }
        std::shared_ptr<Responder> appDelegate;
        int depth = 0;
    };
    BEACBeacon::setLogLevel(BEACLogLevelWarning);
    auto forwarder = BEACAppDelegateForwarder::sharedInstance();
    forwarder->setEnabled(true);
    auto reentering = std::make_shared<Reentering>();
    forwarder->addDelegate(reentering);
    forwarder->addDelegateSelectorToSwizzle("application:openURL:returnedValue:");
    auto appDelegate = std::make_shared<AppDelegate>();
    plat::appkit::Application::shared().setDelegate(appDelegate);
    reentering->appDelegate = appDelegate;
    auto result = plat::appkit::InterceptionTable::shared().send(
        *appDelegate,
        "application:openURL:returnedValue:", {plat::Value("app"), plat::Value("url"), plat::Value(0)});
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, plat::Value(2));
    EXPECT_EQ(reentering->depth, 2);
    EXPECT_EQ(appDelegate->calls, 2);
}
