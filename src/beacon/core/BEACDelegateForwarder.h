// The application delegate forwarder: lets SDK services observe calls made on
// the application's delegate. When a service registers a delegate selector,
// the application's "setDelegate:" is wrapped (once); when the delegate is
// set, the registered selectors of the delegate's class are wrapped so that
// each call runs the delegate's own implementation and is then forwarded to
// the registered custom delegates. A selector whose name ends with
// "returnedValue:" is chained: its last argument carries the value returned so
// far, and each custom delegate sees the previous one's result.
//
// Whether it may wrap is read from the main bundle's "BeaconAppDelegateForwarderEnabled"
// (YES when absent). Its traces wait in a process-wide buffer until the
// application has chosen a log level (flushTraceBuffer).
//
// Threads: any thread; wrapping runs on the thread that sets the delegate.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/appkit/Interception.h"
#include "platform/foundation/Mutex.h"

class BEACDelegateForwarder {
  public:
    static constexpr const char* kEnabledKey = "BeaconAppDelegateForwarderEnabled";

    virtual ~BEACDelegateForwarder() = default;

    void setEnabledFromPlistForKey(const std::string& key);
    void setEnabled(bool isEnabled);
    bool isEnabled() const;

    // Only while enabled.
    void addDelegate(const std::shared_ptr<plat::appkit::Responder>& delegate);
    void removeDelegate(const std::shared_ptr<plat::appkit::Responder>& delegate);
    std::size_t delegateCount() const;

    void addDelegateSelectorToSwizzle(const std::string& selector);
    void swizzleOriginalDelegate(const std::shared_ptr<plat::appkit::Responder>& originalDelegate);

    // Forwards one call to the custom delegates; `value` is what the
    // delegate's own implementation returned.
    plat::Value forward(const std::string& selector, const plat::appkit::Arguments& arguments,
                        plat::Value value);

    static void addTraceBlock(std::function<void()> block);
    static void flushTraceBuffer();
    // Tests: a fresh buffer, as at process start.
    static void resetTraceBuffer();

  protected:
    // The class whose "setDelegate:" is wrapped.
    virtual plat::appkit::Responder& originalClassForSetDelegate() = 0;
    virtual std::once_flag& swizzlingOnceToken() = 0;
    virtual void customSetDelegate(plat::appkit::Responder& receiver,
                                   const plat::appkit::Arguments& arguments);
    // Wraps `selector` of the class of `exemplar`; the kept implementation or
    // an empty one.
    plat::appkit::Implementation swizzleOriginalSelector(const std::string& selector,
                                                         plat::appkit::Responder& exemplar,
                                                         plat::appkit::Implementation replacement);

    mutable plat::Mutex mutex_;
    bool enabled_ GUARDED_BY(mutex_) = true;
    std::vector<std::weak_ptr<plat::appkit::Responder>> delegates_ GUARDED_BY(mutex_);
    plat::appkit::Implementation originalSetDelegateImp_ GUARDED_BY(mutex_);
    std::map<std::string, plat::appkit::Implementation> originalImplementations_ GUARDED_BY(mutex_);
    std::set<std::string> selectorsToSwizzle_ GUARDED_BY(mutex_);
    std::once_flag delegateOnce_;
};

class BEACAppDelegateForwarder : public BEACDelegateForwarder {
  public:
    // Made on first use, which reads the switch from the main bundle.
    static std::shared_ptr<BEACAppDelegateForwarder> sharedInstance();
    static void resetSharedInstance();

  protected:
    plat::appkit::Responder& originalClassForSetDelegate() override;
    std::once_flag& swizzlingOnceToken() override;

  private:
    // Once per forwarder: the process keeps one shared forwarder, and a new
    // one (resetSharedInstance) wraps the application's setter again.
    std::once_flag swizzlingOnce_;
};
