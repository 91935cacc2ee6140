#include "platform/appkit/Application.h"

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"

namespace plat::appkit {

Application& Application::shared() {
    static Application* application = new Application;
    return *application;
}

std::set<std::string> Application::ownSelectors() const {
    return {"setDelegate:", "reportException:", "sendEvent:"};
}

Value Application::perform(const std::string& selector, const Arguments& arguments) {
    if (selector == "setDelegate:") {
        auto object = arguments.empty() ? nullptr : arguments[0].asObjectOf<Responder>();
        MutexLock lock(mutex_);
        delegate_ = std::const_pointer_cast<Responder>(object);
    } else if (selector == "reportException:") {
        ++reportedExceptions_;
    } else if (selector == "sendEvent:") {
        ++sentEvents_;
    }
    return Value();
}

void Application::setDelegate(std::shared_ptr<Responder> delegate) {
    InterceptionTable::shared().send(*this, "setDelegate:", {Value(ObjectPtr(std::move(delegate)))});
}

std::shared_ptr<Responder> Application::delegate() const {
    MutexLock lock(mutex_);
    return delegate_;
}

int64_t Application::applicationState() const {
    if (!dispatch::isMainThread())
        return ApplicationStateUnknown;
    return isHidden() ? ApplicationStateBackground : ApplicationStateActive;
}

void Application::post(const char* selector, const char* name) {
    auto notification = std::make_shared<const Notification>(name);
    if (auto target = delegate())
        InterceptionTable::shared().send(*target, selector, {Value(ObjectPtr(notification))});
    NotificationCenter::defaultCenter().postNotification(*notification);
}

void Application::finishLaunching() {
    post(kDidFinishLaunchingSelector, ApplicationDidFinishLaunchingNotification);
}
void Application::becomeActive() {
    post(kWillBecomeActiveSelector, ApplicationWillBecomeActiveNotification);
}
void Application::resignActive() {
    post(kDidResignActiveSelector, ApplicationDidResignActiveNotification);
}
void Application::terminate() {
    post(kWillTerminateSelector, ApplicationWillTerminateNotification);
}
void Application::unhide() {
    if (hidden_.exchange(false))
        post(kDidUnhideSelector, ApplicationDidUnhideNotification);
}

void Application::reportException(const Exception& exception) {
    InterceptionTable::shared().send(
        *this, "reportException:", {Value(ObjectPtr(std::make_shared<const ExceptionObject>(exception)))});
}

void Application::sendEvent(const std::string& type) {
    InterceptionTable::shared().send(*this,
                                     "sendEvent:", {Value(ObjectPtr(std::make_shared<const Event>(type)))});
}

void Application::reset() {
    MutexLock lock(mutex_);
    delegate_.reset();
    hidden_.store(false);
}

}  // namespace plat::appkit
