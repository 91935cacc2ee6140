// Transmission targets address events to the Event Collector under a tenant
// token. Targets form a tree: one top-level target per token (made by the
// analytics service) and child targets per token under any target. Each has
// an enabled state kept in the settings under "AnalyticsIsEnabled/<target
// key>" (targets whose tokens share a target key share it), can be paused
// and resumed, and owns a property configurator.
//
// The property configurator fills the Shared Schema fields of its target's
// logs (application version, name and locale and the user id, each inherited
// from the nearest target up the tree that has one; the device id, never
// inherited) and supplies default typed event properties, nearer targets
// winning over farther ones and the track call over all.
//
// Both are channel delegates of the group: they finish the Shared Schema
// logs that the Event Collector delegate makes from events with their token.
//
// A parent holds its children; a child refers to its parent without owning
// it (the service holds the top-level targets for the process's life).
//
// Threads: any thread (logs are prepared on the enqueuing thread). Changes of
// enabled state are serialised by one lock shared by all targets, which is
// never held while a target calls out (resuming its units goes through the
// service after it is released); the enabled state itself is read without
// it. Each target's children and the configurator's plain fields sit behind
// leaf locks of their own; the configured event properties behind the bag's.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/analytics/BEACAnalyticsAuthenticationProvider.h"
#include "beacon/analytics/BEACEventProperties.h"
#include "beacon/core/BEACChannelGroupDefault.h"
#include "platform/foundation/Mutex.h"

class BEACAnalyticsTransmissionTarget;

class BEACPropertyConfigurator : public BEACChannelDelegate {
  public:
    explicit BEACPropertyConfigurator(std::weak_ptr<BEACAnalyticsTransmissionTarget> target);

    std::optional<std::string> appVersion() const;
    void setAppVersion(const std::optional<std::string>& appVersion);
    std::optional<std::string> appName() const;
    void setAppName(const std::optional<std::string>& appName);
    std::optional<std::string> appLocale() const;
    void setAppLocale(const std::optional<std::string>& appLocale);
    // Stored with its "c:" prefix; an id the Event Collector does not accept
    // (a prefix other than "c") changes nothing.
    std::optional<std::string> userId() const;
    void setUserId(const std::optional<std::string>& userId);
    std::optional<std::string> deviceId() const;
    // deviceId = getDeviceIdentifier().
    void collectDeviceId();
    // "u:" and this machine's platform UUID; nullopt when it cannot be read.
    static std::optional<std::string> getDeviceIdentifier();

    // Default typed properties of this target's events.
    void setEventPropertyString(const std::optional<std::string>& value,
                                const std::optional<std::string>& key);
    void setEventPropertyDouble(double value, const std::optional<std::string>& key);
    void setEventPropertyInt64(int64_t value, const std::optional<std::string>& key);
    void setEventPropertyBool(bool value, const std::optional<std::string>& key);
    void setEventPropertyDate(const std::optional<plat::Date>& value, const std::optional<std::string>& key);
    void removeEventPropertyForKey(const std::optional<std::string>& key);
    // Adds to `properties` every configured property whose name it lacks.
    void mergeTypedPropertiesWith(BEACEventProperties& properties) const;

    // BEACChannelDelegate
    void channelPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;

  private:
    const std::weak_ptr<BEACAnalyticsTransmissionTarget> transmissionTarget_;
    // Thread-safe on its own.
    const std::shared_ptr<BEACEventProperties> eventProperties_ = std::make_shared<BEACEventProperties>();
    mutable plat::Mutex mutex_;
    std::optional<std::string> appVersion_ GUARDED_BY(mutex_);
    std::optional<std::string> appName_ GUARDED_BY(mutex_);
    std::optional<std::string> appLocale_ GUARDED_BY(mutex_);
    std::optional<std::string> userId_ GUARDED_BY(mutex_);
    std::optional<std::string> deviceId_ GUARDED_BY(mutex_);
};

class BEACAnalyticsTransmissionTarget : public plat::Object,
                                        public BEACChannelDelegate,
                                        public std::enable_shared_from_this<BEACAnalyticsTransmissionTarget> {
  public:
    // A target (top-level when `parent` is null) registered, with its
    // configurator, as a delegate of the group. Born disabled under a
    // disabled parent (or service).
    static std::shared_ptr<BEACAnalyticsTransmissionTarget> make(
        const std::string& token, const std::shared_ptr<BEACAnalyticsTransmissionTarget>& parent,
        const std::shared_ptr<BEACChannelGroupDefault>& channelGroup);

    const std::string& transmissionTargetToken() const { return token_; }
    // Null for a top-level target (or when the parent is gone).
    std::shared_ptr<BEACAnalyticsTransmissionTarget> parentTarget() const { return parent_.lock(); }
    const std::string& isEnabledKey() const { return isEnabledKey_; }
    const std::shared_ptr<BEACPropertyConfigurator>& propertyConfigurator() const { return configurator_; }

    void trackEvent(const std::string& name, const std::optional<plat::Dictionary>& properties = std::nullopt,
                    uint64_t flags = BEACFlagsNormal);
    void trackEvent(const std::string& name, const std::shared_ptr<BEACEventProperties>& properties,
                    uint64_t flags = BEACFlagsNormal);
    // The child of this token, made on first request.
    std::shared_ptr<BEACAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token)
        EXCLUDES(childrenMutex_);

    // The stored state, true when absent; takes no lock.
    bool isEnabled() const;
    // Refused (warned) when enabling under a disabled parent; passed on to
    // every child either way.
    void setEnabled(bool isEnabled) EXCLUDES(enabledMutex_, childrenMutex_);
    void pause();
    void resume();
    // The parent's state, or the analytics service's for a top-level target.
    bool isImmediateParent() const;

    // The one authentication provider of all targets.
    static void addAuthenticationProvider(
        const std::shared_ptr<BEACAnalyticsAuthenticationProvider>& provider);
    static std::shared_ptr<BEACAnalyticsAuthenticationProvider> authenticationProvider();
    static void setAuthenticationProvider(std::shared_ptr<BEACAnalyticsAuthenticationProvider> provider);

    // BEACChannelDelegate: names the provider's ticket key in this target's logs.
    void channelPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;

    std::string className() const override { return "BEACAnalyticsTransmissionTarget"; }

  private:
    BEACAnalyticsTransmissionTarget(const std::string& token,
                                    const std::shared_ptr<BEACAnalyticsTransmissionTarget>& parent,
                                    std::shared_ptr<BEACChannelGroupDefault> channelGroup);
    using Targets = std::vector<std::shared_ptr<BEACAnalyticsTransmissionTarget>>;
    // Stores the state of this target and its children; the targets to
    // resume, and the number of refusals, go to the caller.
    void setEnabledLocked(bool isEnabled, Targets& resumed, int& refused) REQUIRES(enabledMutex_)
        EXCLUDES(childrenMutex_);
    Targets children() const EXCLUDES(childrenMutex_);

    // Serialises changes of enabled state across all targets.
    static plat::Mutex enabledMutex_;

    const std::string token_;
    const bool hasParent_;
    // Weak: the parent's child table holds this target.
    const std::weak_ptr<BEACAnalyticsTransmissionTarget> parent_;
    const std::shared_ptr<BEACChannelGroupDefault> channelGroup_;
    const std::string isEnabledKey_;
    // Set by make() before the target is shared.
    std::shared_ptr<BEACPropertyConfigurator> configurator_;
    mutable plat::Mutex childrenMutex_;
    std::map<std::string, std::shared_ptr<BEACAnalyticsTransmissionTarget>> childTransmissionTargets_
        GUARDED_BY(childrenMutex_);
};
