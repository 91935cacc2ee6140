// The base of every SDK service (analytics, crash reporting): what the
// facade hands it at start, its default channel unit, its enabled state kept
// in the settings under "<group id>IsEnabled", and the class-level switch
// that applications use.
//
// A service "class" is a BEACServiceClass: a name and the accessor of its one
// instance. An entry without an accessor stands for a value that is not a
// service.
//
// Threads: any thread. The base's fields sit behind a leaf lock of its own:
// it is never held while the base calls out, so a concrete service may call
// the base's members under its own lock (taken before the base's). The
// class-level switch reads the facade's state before it takes its own lock.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "beacon/core/BEACChannelGroupDefault.h"
#include "platform/foundation/Mutex.h"

class BEACServiceAbstract;

struct BEACServiceClass {
    std::string className;
    std::function<std::shared_ptr<BEACServiceAbstract>()> sharedInstance;

    bool isValid() const { return static_cast<bool>(sharedInstance); }
};

class BEACServiceAbstract : public std::enable_shared_from_this<BEACServiceAbstract> {
  public:
    virtual ~BEACServiceAbstract() = default;

    // What a concrete service names.
    virtual std::string serviceName() const = 0;
    virtual std::string logTag() const = 0;
    virtual std::string groupId() const = 0;
    // "BEACAnalytics"; messages name the service by it less its prefix.
    virtual std::string className() const = 0;
    // A configuration makes the service's default unit at start.
    virtual std::optional<BEACChannelUnitConfiguration> channelUnitConfiguration() const {
        return std::nullopt;
    }
    virtual int64_t initializationPriority() const { return 500; }
    virtual bool isAppSecretRequired() const { return true; }

    // Enabled state in the settings, YES when absent.
    bool isEnabled() const;  // takes no lock
    // Applies, then stores, a changed value; the same value does nothing.
    // A service that passes its state on to objects of its own (analytics
    // targets) does so after this, once the state is stored.
    virtual void setEnabled(bool isEnabled);
    virtual void applyEnabledState(bool isEnabled);
    bool canBeUsed() const EXCLUDES(mutex_);
    bool isAvailable() const EXCLUDES(mutex_) { return isEnabled() && isStarted(); }
    bool isStartedFromApplication() const EXCLUDES(mutex_);
    bool isStarted() const EXCLUDES(mutex_);

    virtual void startWithChannelGroup(const std::shared_ptr<BEACChannelGroupDefault>& channelGroup,
                                       const std::optional<std::string>& appSecret,
                                       const std::optional<std::string>& transmissionTargetToken,
                                       bool fromApplication) EXCLUDES(mutex_);
    virtual void updateConfiguration(const std::optional<std::string>& appSecret,
                                     const std::optional<std::string>& transmissionTargetToken)
        EXCLUDES(mutex_);

    // The class-level switch of the service (applications call it through the
    // concrete class's static setEnabled / isEnabled).
    void classSetEnabled(bool isEnabled);
    bool classIsEnabled();

    std::shared_ptr<BEACChannelGroupDefault> channelGroup() const EXCLUDES(mutex_);
    std::shared_ptr<BEACChannelUnitProtocol> channelUnit() const EXCLUDES(mutex_);
    std::optional<std::string> appSecret() const EXCLUDES(mutex_);
    std::optional<std::string> defaultTransmissionTargetToken() const EXCLUDES(mutex_);
    // "<group id>IsEnabled" (stored with the settings' prefix).
    std::string isEnabledKey() const { return groupId() + "IsEnabled"; }
    // The class name less its "BEAC" prefix: "Analytics", "Crashes".
    std::string displayName() const;

  private:
    // Leaf lock: guards the fields below and is never held across a call.
    mutable plat::Mutex mutex_;
    bool startedFromApplication_ GUARDED_BY(mutex_) = false;
    bool started_ GUARDED_BY(mutex_) = false;
    std::shared_ptr<BEACChannelGroupDefault> channelGroup_ GUARDED_BY(mutex_);
    std::shared_ptr<BEACChannelUnitProtocol> channelUnit_ GUARDED_BY(mutex_);
    std::optional<std::string> appSecret_ GUARDED_BY(mutex_);
    std::optional<std::string> defaultTransmissionTargetToken_ GUARDED_BY(mutex_);
    // Serialises the class-level switch: held while setEnabled applies the
    // state (units, targets, the crash reporter), so it guards no field. A
    // service must not switch itself from inside its own switching (that
    // stops the process, naming the service).
    plat::Mutex classMutex_;
    std::atomic<std::thread::id> switchingThread_{};
    // Stops the process when the calling thread is switching this service.
    void checkNotSwitching(const char* what) const;
};
