#include "platform/appkit/Application.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/appkit/MemoryPressure.h"
#include "platform/appkit/ViewAppearance.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"

using namespace plat;
using namespace plat::appkit;

namespace {

class RecordingDelegate : public Responder {
  public:
    std::string className() const override { return "TestAppDelegate"; }
    std::set<std::string> ownSelectors() const override {
        return {kDidFinishLaunchingSelector, kWillTerminateSelector};
    }
    Value perform(const std::string& selector, const Arguments&) override {
        calls.push_back(selector);
        return Value(static_cast<int64_t>(calls.size()));
    }
    std::vector<std::string> calls;
};

class AppKitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dispatch::MainLoop::bindToCurrentThread();
        InterceptionTable::shared().reset();
        Application::shared().reset();
    }
    void TearDown() override {
        InterceptionTable::shared().reset();
        Application::shared().reset();
    }
};

}  // namespace

TEST_F(AppKitTest, ApplicationStateFollowsThreadAndHiddenFlag) {
    auto& app = Application::shared();
    EXPECT_EQ(app.applicationState(), ApplicationStateActive);
    app.setHidden(true);
    EXPECT_EQ(app.applicationState(), ApplicationStateBackground);
    int64_t offMain = -1;
    std::thread([&] { offMain = app.applicationState(); }).join();
    EXPECT_EQ(offMain, ApplicationStateUnknown);
}

TEST_F(AppKitTest, NotificationsReachDelegateAndCentre) {
    auto delegate = std::make_shared<RecordingDelegate>();
    Application::shared().setDelegate(delegate);
    EXPECT_EQ(Application::shared().delegate(), delegate);
    std::vector<std::string> posted;
    auto token = NotificationCenter::defaultCenter().addObserverForName(
        ApplicationWillTerminateNotification, nullptr,
        [&](const Notification& n) { posted.push_back(n.name); });
    Application::shared().finishLaunching();
    Application::shared().becomeActive();  // the delegate does not answer it
    Application::shared().terminate();
    NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(delegate->calls,
              (std::vector<std::string>{kDidFinishLaunchingSelector, kWillTerminateSelector}));
    EXPECT_EQ(posted, std::vector<std::string>{ApplicationWillTerminateNotification});
}

// Unhiding is told once, after the state is visible again; an application
// that is not hidden tells nothing.
TEST_F(AppKitTest, UnhidingTellsDelegateAndCentreOnce) {
    auto delegate = std::make_shared<RecordingDelegate>();
    Application::shared().setDelegate(delegate);
    std::vector<int64_t> statesSeen;
    auto token = NotificationCenter::defaultCenter().addObserverForName(
        ApplicationDidUnhideNotification, nullptr,
        [&](const Notification&) { statesSeen.push_back(Application::shared().applicationState()); });
    Application::shared().unhide();
    Application::shared().setHidden(true);
    Application::shared().unhide();
    Application::shared().unhide();
    NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(statesSeen, std::vector<int64_t>{ApplicationStateActive});
    EXPECT_TRUE(delegate->calls.empty());  // it does not answer the message
}

TEST_F(AppKitTest, WrapperCallsKeptImplementationWithSameReceiverAndArguments) {
    auto delegate = std::make_shared<RecordingDelegate>();
    Responder* seenReceiver = nullptr;
    Arguments seenArguments;
    Implementation kept;
    auto wrap = [&](Responder& receiver, const Arguments& arguments) {
        seenReceiver = &receiver;
        seenArguments = arguments;
        return kept(receiver, arguments);
    };
    auto first =
        InterceptionTable::shared().install(*delegate, kDidFinishLaunchingSelector, "observer", wrap);
    ASSERT_TRUE(first.installed);
    ASSERT_FALSE(first.added);
    kept = first.kept;
    auto second =
        InterceptionTable::shared().install(*delegate, kDidFinishLaunchingSelector, "observer", wrap);
    EXPECT_FALSE(second.installed);  // installing twice installs once

    Application::shared().setDelegate(delegate);
    Application::shared().finishLaunching();
    EXPECT_EQ(seenReceiver, delegate.get());
    ASSERT_EQ(seenArguments.size(), 1u);
    EXPECT_EQ(seenArguments[0].asObjectOf<Notification>()->name, ApplicationDidFinishLaunchingNotification);
    EXPECT_EQ(delegate->calls.size(), 1u);  // once, not twice

    // A selector the class lacks is added and has no kept implementation.
    auto added = InterceptionTable::shared().install(*delegate, kDidResignActiveSelector, "observer",
                                                     [](Responder&, const Arguments&) { return Value(7); });
    EXPECT_TRUE(added.added);
    EXPECT_FALSE(added.kept);
    EXPECT_TRUE(InterceptionTable::shared().responds(*delegate, kDidResignActiveSelector));
}

TEST_F(AppKitTest, ApplicationMessagesCanBeWrapped) {
    auto& app = Application::shared();
    uint64_t exceptionsBefore = app.reportedExceptionCount();
    uint64_t eventsBefore = app.sentEventCount();
    std::vector<std::string> seen;
    Implementation keptReport, keptEvent, keptSetDelegate;
    keptReport = InterceptionTable::shared()
                     .install(app, "reportException:", "t",
                              [&](Responder& r, const Arguments& a) {
                                  seen.push_back(a[0].asObjectOf<ExceptionObject>()->exception().reason());
                                  return keptReport(r, a);
                              })
                     .kept;
    keptEvent = InterceptionTable::shared()
                    .install(app, "sendEvent:", "t",
                             [&](Responder& r, const Arguments& a) {
                                 seen.push_back(a[0].asObjectOf<Event>()->type());
                                 return keptEvent(r, a);
                             })
                    .kept;
    keptSetDelegate = InterceptionTable::shared()
                          .install(app, "setDelegate:", "t",
                                   [&](Responder& r, const Arguments& a) {
                                       seen.push_back("setDelegate");
                                       return keptSetDelegate(r, a);
                                   })
                          .kept;
    app.reportException(Exception("NSGenericException", "boom"));
    app.sendEvent("keyDown");
    auto delegate = std::make_shared<RecordingDelegate>();
    app.setDelegate(delegate);
    EXPECT_EQ(seen, (std::vector<std::string>{"boom", "keyDown", "setDelegate"}));
    EXPECT_EQ(app.reportedExceptionCount(), exceptionsBefore + 1);
    EXPECT_EQ(app.sentEventCount(), eventsBefore + 1);
    EXPECT_EQ(app.delegate(), delegate);
}

TEST_F(AppKitTest, ViewAppearanceObserversSeeClassNames) {
    std::vector<std::string> seen;
    auto token = ViewAppearance::addObserver([&](const std::string& name) { seen.push_back(name); });
    ViewAppearance::viewWillAppear("MyApp.MainController");
    ViewAppearance::removeObserver(token);
    ViewAppearance::viewWillAppear("Other");
    EXPECT_EQ(seen, std::vector<std::string>{"MyApp.MainController"});
}

TEST_F(AppKitTest, PressureTextLevels) {
    struct Case {
        const char* text;
        std::optional<MemoryPressureLevel> level;
    } cases[] = {
        {"some avg10=0.00 avg60=0.00 avg300=0.00 total=0\nfull avg10=0.00 avg60=0 avg300=0 total=0\n",
         MemoryPressureLevel::Normal},
        {"some avg10=12.50 avg60=0.00 avg300=0.00 total=9\nfull avg10=1.00 avg60=0 avg300=0 total=0\n",
         MemoryPressureLevel::Warning},
        {"some avg10=40.00 avg60=0 avg300=0 total=9\nfull avg10=10.00 avg60=0 avg300=0 total=9\n",
         MemoryPressureLevel::Critical},
        {"", std::nullopt},
        {"garbage", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MemoryPressureSource::levelFromPressureText(c.text), c.level) << c.text;
}

TEST_F(AppKitTest, SimulatedPressureReachesLiveSourcesOnTheirQueue) {
    std::vector<MemoryPressureLevel> seen;
    auto source = MemoryPressureSource::create(
        dispatch::Queue::main(), [&](MemoryPressureLevel level) { seen.push_back(level); }, 5.0,
        "/nonexistent");
    MemoryPressureSource::simulate(MemoryPressureLevel::Warning);
    EXPECT_TRUE(seen.empty());  // delivered on the queue, not inline
    dispatch::MainLoop::drain();
    EXPECT_EQ(seen, std::vector<MemoryPressureLevel>{MemoryPressureLevel::Warning});
    source->cancel();
    MemoryPressureSource::simulate(MemoryPressureLevel::Critical);
    dispatch::MainLoop::drain();
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(AppKitTest, OpenURLRunsOnMainLoop) {
    std::string opened;
    Workspace::setOpener([&](const std::string& url) {
        opened = url;
        return true;
    });
    std::optional<bool> result;
    Workspace::openURL("https://example.invalid/x", [&](bool ok) { result = ok; });
    EXPECT_FALSE(result);
    dispatch::MainLoop::drain();
    Workspace::setOpener(nullptr);
    EXPECT_EQ(opened, "https://example.invalid/x");
    EXPECT_EQ(result, true);
}
