// The shared application object that desktop services hook into, fed by the
// Linux application (or a test): its delegate, whether it is hidden, the
// application state, and the activation notifications posted on the default
// notification centre.
//
// The application object and its delegate are Responders, so every message
// (the delegate's methods, "setDelegate:", "reportException:", "sendEvent:")
// goes through the interception table and can be wrapped there.
//
// Threads: every member may be called from any thread; notifications are
// posted on the calling thread (the application calls them on the main
// thread).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/appkit/Interception.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"

namespace plat::appkit {

inline constexpr const char* ApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* ApplicationWillBecomeActiveNotification =
    "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* ApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";
inline constexpr const char* ApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";
inline constexpr const char* ApplicationDidUnhideNotification = "NSApplicationDidUnhideNotification";

// The delegate's selectors for the notifications.
inline constexpr const char* kDidFinishLaunchingSelector = "applicationDidFinishLaunching:";
inline constexpr const char* kWillBecomeActiveSelector = "applicationWillBecomeActive:";
inline constexpr const char* kDidResignActiveSelector = "applicationDidResignActive:";
inline constexpr const char* kWillTerminateSelector = "applicationWillTerminate:";
inline constexpr const char* kDidUnhideSelector = "applicationDidUnhide:";

enum ApplicationState : int64_t {
    ApplicationStateActive = 0,
    ApplicationStateInactive = 1,
    ApplicationStateBackground = 2,
    ApplicationStateUnknown = 3,
};

// An event handed to sendEvent:.
class Event : public Object {
  public:
    explicit Event(std::string type) : type_(std::move(type)) {}
    const std::string& type() const { return type_; }
    std::string className() const override { return "NSEvent"; }

  private:
    std::string type_;
};

// An exception handed to reportException:.
class ExceptionObject : public Object {
  public:
    explicit ExceptionObject(Exception exception) : exception_(std::move(exception)) {}
    const Exception& exception() const { return exception_; }
    std::string className() const override { return "NSException"; }

  private:
    Exception exception_;
};

class Application : public Responder {
  public:
    static Application& shared();

    std::string className() const override { return "NSApplication"; }
    std::set<std::string> ownSelectors() const override;
    Value perform(const std::string& selector, const Arguments& arguments) override;

    // Sent as "setDelegate:" so that the setter can be wrapped.
    void setDelegate(std::shared_ptr<Responder> delegate);
    std::shared_ptr<Responder> delegate() const EXCLUDES(mutex_);

    bool isHidden() const { return hidden_.load(); }
    void setHidden(bool hidden) { hidden_.store(hidden); }

    // Off the main thread unknown (3); on it background (2) when hidden,
    // else active (0).
    int64_t applicationState() const;

    // Each posts its notification on the default centre, after sending the
    // matching message to the delegate.
    void finishLaunching();
    void becomeActive();
    void resignActive();
    void terminate();
    // The hidden application becomes visible again: clears the hidden flag,
    // then sends "applicationDidUnhide:" and posts its notification. Nothing
    // when the application was not hidden.
    void unhide();

    // Sent as "reportException:" / "sendEvent:". The application's own
    // implementations count reported exceptions and events.
    void reportException(const Exception& exception);
    void sendEvent(const std::string& type);
    uint64_t reportedExceptionCount() const { return reportedExceptions_.load(); }
    uint64_t sentEventCount() const { return sentEvents_.load(); }

    // Forgets the delegate and the hidden state (tests).
    void reset() EXCLUDES(mutex_);

  private:
    void post(const char* selector, const char* name);

    mutable Mutex mutex_;
    std::shared_ptr<Responder> delegate_ GUARDED_BY(mutex_);
    std::atomic<bool> hidden_{false};
    std::atomic<uint64_t> reportedExceptions_{0};
    std::atomic<uint64_t> sentEvents_{0};
};

}  // namespace plat::appkit
