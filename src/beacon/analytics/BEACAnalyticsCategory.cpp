#include "beacon/analytics/BEACAnalyticsCategory.h"

#include <array>
#include <mutex>

#include "beacon/analytics/BEACAnalytics.h"
#include "platform/appkit/ViewAppearance.h"
#include "platform/foundation/Mutex.h"

namespace {

plat::Mutex missedMutex;
std::optional<std::string> missedPageView GUARDED_BY(missedMutex);

// Containers whose own appearance is no page of the application; their exact
// names only, not subclasses.
constexpr std::array<const char*, 3> kExcludedClassNames = {"NSTabViewController", "NSSplitViewController",
                                                            "NSPageController"};

}  // namespace

void BEACAnalyticsCategory::activateCategory() {
    static std::once_flag once;
    std::call_once(once,
                   [] { plat::appkit::ViewAppearance::addObserver(&BEACAnalyticsCategory::viewWillAppear); });
}

std::optional<std::string> BEACAnalyticsCategory::missedPageViewName() {
    plat::MutexLock lock(missedMutex);
    return missedPageView;
}

void BEACAnalyticsCategory::resetMissedPageView() {
    plat::MutexLock lock(missedMutex);
    missedPageView.reset();
}

std::string BEACAnalyticsCategory::pageNameFromClassName(const std::string& className) {
    static const std::string suffix = "ViewController";
    std::string name =
        className.substr(className.rfind('.') == std::string::npos ? 0 : className.rfind('.') + 1);
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    return name;
}

void BEACAnalyticsCategory::viewWillAppear(const std::string& className) {
    if (!BEACAnalytics::isAutoPageTrackingEnabled())
        return;
    for (const char* excluded : kExcludedClassNames) {
        if (className == excluded)
            return;
    }
    std::string pageName = pageNameFromClassName(className);
    if (BEACAnalytics::sharedInstance()->isAvailable()) {
        resetMissedPageView();
        BEACAnalytics::trackPage(pageName);
    } else {
        plat::MutexLock lock(missedMutex);
        missedPageView = pageName;
    }
}

void BEACAnalyticsCategory::sendMissedPageView() {
    auto name = missedPageViewName();
    if (name && !name->empty())
        BEACAnalytics::trackPage(*name);
}
