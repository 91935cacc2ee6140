// Automatic page views: once activated, every view controller about to appear
// (the application stand-in's appearance hooks) reports a page view named
// after its class while automatic page tracking is on. A page view that
// happens while the analytics service is not available is remembered as the
// missed page view (the last one only) and sent when the service is next
// enabled from an application.
//
// Threads: appearance hooks run on the main thread; the missed name has its
// own lock all the same, so a hook on another thread is harmless.
#pragma once

#include <optional>
#include <string>

class BEACAnalyticsCategory {
  public:
    // Installs the appearance hook, once per process.
    static void activateCategory();
    static std::optional<std::string> missedPageViewName();
    // The hook: after the controller's own appearance work.
    static void viewWillAppear(const std::string& className);
    // "Module.SettingsViewController" gives "Settings"; a class named exactly
    // "ViewController" keeps its name.
    static std::string pageNameFromClassName(const std::string& className);
    // Tracks the missed page view when there is one; the name is kept until
    // a page view is tracked directly.
    static void sendMissedPageView();
    // Forgets the missed page view (tests).
    static void resetMissedPageView();
};
