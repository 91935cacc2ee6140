// Automatic page views over the application stand-in's appearance hooks:
// page names from class names, the excluded container classes, and the
// missed page view remembered while the service is unavailable.
#include "beacon/analytics/BEACAnalyticsCategory.h"

#include "AnalyticsTestSupport.h"
#include "platform/appkit/ViewAppearance.h"

using namespace beactest;

namespace {

TEST(AnalyticsCategoryNames, PageNameIsTheLastComponentLessTheControllerSuffix) {
    const std::pair<const char*, const char*> cases[] = {
        {"SettingsViewController", "Settings"},       {"Module.ListViewController", "List"},
        {"App.Module.ListViewController", "List"},    {"ViewController", "ViewController"},
        {"Module.ViewController", "ViewController"},  {"Main", "Main"},
        {"ViewControllerHost", "ViewControllerHost"}, {"Module.", ""},
    };
    for (const auto& [className, page] : cases)
        EXPECT_EQ(BEACAnalyticsCategory::pageNameFromClassName(className), page) << className;
}

class AnalyticsCategoryTest : public AnalyticsFixture {
  protected:
    void SetUp() override {
        AnalyticsFixture::SetUp();
        BEACAnalyticsCategory::activateCategory();
        BEACAnalyticsCategory::activateCategory();  // once only
    }
    // After the queue's validation, which may rewrite names.
    std::vector<std::string> pageNames() {
        drain();
        std::vector<std::string> names;
        for (const auto& log : prepared->of("Analytics", "page"))
            names.push_back(nameOf(log));
        return names;
    }
};

TEST_F(AnalyticsCategoryTest, AppearingControllersBecomePagesOnlyWhileTrackingIsOn) {
    start();
    plat::appkit::ViewAppearance::viewWillAppear("Module.ListViewController");
    EXPECT_TRUE(pageNames().empty());  // off by default

    BEACAnalytics::setAutoPageTrackingEnabled(true);
    for (const char* name : {"Module.ListViewController", "NSTabViewController", "NSSplitViewController",
                             "NSPageController", "MyTabViewController", "Module.NSTabViewController"})
        plat::appkit::ViewAppearance::viewWillAppear(name);
    // Only the exact container names are skipped, and each page is tracked once.
    EXPECT_EQ(pageNames(), (std::vector<std::string>{"List", "MyTab", "NSTab"}));
    BEACAnalytics::setAutoPageTrackingEnabled(false);
}

TEST_F(AnalyticsCategoryTest, MissedPageViewIsSentAtEveryEnablingUntilAPageIsTrackedDirectly) {
    BEACAnalytics::setAutoPageTrackingEnabled(true);
    // Before start and while disabled, only the last page is remembered.
    plat::appkit::ViewAppearance::viewWillAppear("EarlyViewController");
    start();
    plat::dispatch::MainLoop::drain();
    EXPECT_EQ(pageNames(), std::vector<std::string>{"Early"});
    BEACAnalytics::setServiceEnabled(false);
    plat::appkit::ViewAppearance::viewWillAppear("FirstViewController");
    plat::appkit::ViewAppearance::viewWillAppear("SecondViewController");
    EXPECT_EQ(BEACAnalyticsCategory::missedPageViewName(), "Second");

    BEACAnalytics::setServiceEnabled(true);
    EXPECT_EQ(pageNames().size(), 1u);  // sent from the main queue
    plat::dispatch::MainLoop::drain();
    EXPECT_EQ(pageNames(), (std::vector<std::string>{"Early", "Second"}));
    EXPECT_EQ(BEACAnalyticsCategory::missedPageViewName(), "Second");

    BEACAnalytics::setServiceEnabled(false);
    BEACAnalytics::setServiceEnabled(true);
    plat::dispatch::MainLoop::drain();
    EXPECT_EQ(pageNames(), (std::vector<std::string>{"Early", "Second", "Second"}));

    // A page tracked directly clears it.
    plat::appkit::ViewAppearance::viewWillAppear("ThirdViewController");
    EXPECT_FALSE(BEACAnalyticsCategory::missedPageViewName());
    BEACAnalytics::setServiceEnabled(false);
    BEACAnalytics::setServiceEnabled(true);
    plat::dispatch::MainLoop::drain();
    EXPECT_EQ(pageNames(), (std::vector<std::string>{"Early", "Second", "Second", "Third"}));
    BEACAnalytics::setAutoPageTrackingEnabled(false);
}

}  // namespace
