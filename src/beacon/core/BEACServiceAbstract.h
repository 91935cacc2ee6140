// The base of every SDK service (analytics, crash reporting): what the
// facade hands it at start, its default channel unit, its enabled state kept
// in the settings under "<group id>IsEnabled", and the class-level switch
// that applications use.
//
// A service "class" is a BEACServiceClass: a name and the accessor of its one
// instance. An entry without an accessor stands for a value that is not a
// service.
//
// Locks: the class-level switch reads the facade's state before it takes the
// service's own lock, and the facade takes its lock before calling the
// class-level switch, so the two locks are always taken facade first.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

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
    bool isEnabled() const;
    // Applies, then stores, a changed value; the same value does nothing.
    // A service that passes its state on to objects of its own (analytics
    // targets) does so after this, once the state is stored.
    virtual void setEnabled(bool isEnabled);
    virtual void applyEnabledState(bool isEnabled);
    bool canBeUsed() const;
    bool isAvailable() const { return isEnabled() && isStarted(); }
    bool isStartedFromApplication() const;
    bool isStarted() const;

    virtual void startWithChannelGroup(const std::shared_ptr<BEACChannelGroupDefault>& channelGroup,
                                       const std::optional<std::string>& appSecret,
                                       const std::optional<std::string>& transmissionTargetToken,
                                       bool fromApplication);
    virtual void updateConfiguration(const std::optional<std::string>& appSecret,
                                     const std::optional<std::string>& transmissionTargetToken);

    // The class-level switch of the service (applications call it through the
    // concrete class's static setEnabled / isEnabled).
    void classSetEnabled(bool isEnabled);
    bool classIsEnabled();

    std::shared_ptr<BEACChannelGroupDefault> channelGroup() const;
    std::shared_ptr<BEACChannelUnitProtocol> channelUnit() const;
    std::optional<std::string> appSecret() const;
    std::optional<std::string> defaultTransmissionTargetToken() const;
    // "<group id>IsEnabled" (stored with the settings' prefix).
    std::string isEnabledKey() const { return groupId() + "IsEnabled"; }
    // The class name less its "BEAC" prefix: "Analytics", "Crashes".
    std::string displayName() const;

  protected:
    mutable std::recursive_mutex mutex_;

  private:
    bool startedFromApplication_ = false;
    bool started_ = false;
    std::shared_ptr<BEACChannelGroupDefault> channelGroup_;
    std::shared_ptr<BEACChannelUnitProtocol> channelUnit_;
    std::optional<std::string> appSecret_;
    std::optional<std::string> defaultTransmissionTargetToken_;
    // Serialises the class-level switch.
    plat::Mutex classMutex_;
};
