// The usage analytics service: a process-wide service of the telemetry core
// with two units of its own, "Analytics" and "Analytics_critical" (flags whose
// low byte is 2 go to the critical one), a session tracker, the transmission
// targets that route events to the Event Collector, and the tracking
// operations that build event and page logs and enqueue them.
//
// Started from an application and enabled, it also resumes its units, starts
// the session tracker and registers the tracker and itself as channel-group
// delegates: it filters invalid event and page logs before they are stored
// and tells the application's BEACAnalyticsDelegate what became of them.
//
// Failures are log messages (tag "BeaconAnalytics") and silent returns.
//
// Threads: any thread. The service's settings, targets and Event Collector
// units sit behind the service's lock; the units logs go to and the delegate
// behind a second one. Both are leaves: neither is held while the service
// calls out (units, targets, the group, the delegate), so a log enqueued or a
// target made from any callback never waits for them. Targets keep their own
// locks (see BEACAnalyticsTransmissionTarget.h).
// Delegate callbacks arrive on the channel group's queue.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "beacon/analytics/BEACAnalyticsLogs.h"
#include "beacon/analytics/BEACEventProperties.h"
#include "beacon/analytics/BEACSessionTracker.h"
#include "beacon/core/BEACServiceAbstract.h"
#include "platform/foundation/Mutex.h"

class BEACAnalytics;
class BEACAnalyticsTransmissionTarget;

// What the application hears about its event and page logs. Every member is
// optional; called on the channel group's queue.
class BEACAnalyticsDelegate {
  public:
    virtual ~BEACAnalyticsDelegate() = default;
    virtual void analyticsWillSendEventLog(BEACAnalytics& /*analytics*/, const BEACEventLog& /*log*/) {}
    virtual void analyticsDidSucceedSendingEventLog(BEACAnalytics& /*analytics*/,
                                                    const BEACEventLog& /*log*/) {}
    virtual void analyticsDidFailSendingEventLog(BEACAnalytics& /*analytics*/, const BEACEventLog& /*log*/,
                                                 const plat::ErrorPtr& /*error*/) {}
    virtual void analyticsWillSendPageLog(BEACAnalytics& /*analytics*/, const BEACPageLog& /*log*/) {}
    virtual void analyticsDidSucceedSendingPageLog(BEACAnalytics& /*analytics*/, const BEACPageLog& /*log*/) {
    }
    virtual void analyticsDidFailSendingPageLog(BEACAnalytics& /*analytics*/, const BEACPageLog& /*log*/,
                                                const plat::ErrorPtr& /*error*/) {}
};

class BEACAnalytics : public BEACServiceAbstract,
                      public BEACChannelDelegate,
                      public BEACSessionTrackerDelegate {
  public:
    static constexpr uint64_t kDefaultFlushInterval = 3;
    static constexpr uint64_t kMinFlushInterval = 3;
    static constexpr uint64_t kMaxFlushInterval = 86400;

    static std::shared_ptr<BEACAnalytics> sharedInstance();
    // Stops the current instance's session tracker and drops it; the next
    // sharedInstance() makes a fresh one.
    static void resetSharedInstance();
    // The entry the facade's start takes.
    static BEACServiceClass serviceClass();

    // Class-level operations, on the shared instance. Flags: only the low
    // byte counts, 1 normal and 2 critical (anything else: normal, warned).
    static void trackEvent(const std::string& name);
    static void trackEvent(const std::string& name, const std::optional<plat::Dictionary>& properties,
                           uint64_t flags = BEACFlagsNormal);
    static void trackEvent(const std::string& name, const std::shared_ptr<BEACEventProperties>& properties,
                           uint64_t flags = BEACFlagsNormal);
    static void trackEvent(const std::string& name, const std::optional<plat::Dictionary>& properties,
                           const std::shared_ptr<BEACAnalyticsTransmissionTarget>& target, uint64_t flags);
    static void trackEvent(const std::string& name, const std::shared_ptr<BEACEventProperties>& properties,
                           const std::shared_ptr<BEACAnalyticsTransmissionTarget>& target, uint64_t flags);
    static void trackPage(const std::string& name,
                          const std::optional<plat::Dictionary>& properties = std::nullopt);
    static void pause();
    static void resume();
    // The class-level switch (the base's instance setEnabled is what it ends at).
    static void setServiceEnabled(bool isEnabled);
    static bool isServiceEnabled();
    static void setAutoPageTrackingEnabled(bool isEnabled);
    static bool isAutoPageTrackingEnabled();
    static uint64_t transmissionInterval();
    // Only before start, and only 3 to 86400 seconds.
    static void setTransmissionInterval(uint64_t seconds);
    static std::shared_ptr<BEACAnalyticsTransmissionTarget> transmissionTargetForToken(
        const std::string& token);
    static void pauseTransmissionTargetForToken(const std::string& token);
    static void resumeTransmissionTargetForToken(const std::string& token);
    static void setDelegate(std::shared_ptr<BEACAnalyticsDelegate> delegate);

    // Service identity.
    std::string serviceName() const override { return "Analytics"; }
    std::string logTag() const override { return "BeaconAnalytics"; }
    std::string groupId() const override { return "Analytics"; }
    std::string className() const override { return "BEACAnalytics"; }
    bool isAppSecretRequired() const override { return false; }
    std::optional<BEACChannelUnitConfiguration> channelUnitConfiguration() const override;
    static std::string criticalGroupId() { return "Analytics_critical"; }

    // Overrides of the service base.
    void startWithChannelGroup(const std::shared_ptr<BEACChannelGroupDefault>& channelGroup,
                               const std::optional<std::string>& appSecret,
                               const std::optional<std::string>& transmissionTargetToken,
                               bool fromApplication) override;
    void updateConfiguration(const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken) override;
    void applyEnabledState(bool isEnabled) override;
    // The base's switch, then the same value on every target (changed or not).
    void setEnabled(bool isEnabled) override;

    // Instance operations behind the class-level ones.
    void trackEventWithTypedProperties(const std::string& name,
                                       std::shared_ptr<BEACEventProperties> properties,
                                       const std::shared_ptr<BEACAnalyticsTransmissionTarget>& target,
                                       uint64_t flags);
    void trackEventWithProperties(const std::string& name, const std::optional<plat::Dictionary>& properties,
                                  const std::shared_ptr<BEACAnalyticsTransmissionTarget>& target,
                                  uint64_t flags);
    void trackPageWithProperties(const std::string& name, const std::optional<plat::Dictionary>& properties);
    void pauseService();
    void resumeService();
    void setTransmissionIntervalSeconds(uint64_t seconds);
    uint64_t flushInterval() const;
    bool autoPageTrackingEnabled() const;
    void setAutoPageTracking(bool isEnabled);
    void setAnalyticsDelegate(std::shared_ptr<BEACAnalyticsDelegate> delegate);

    // Targets.
    std::shared_ptr<BEACAnalyticsTransmissionTarget> targetForToken(const std::string& token);
    std::shared_ptr<BEACAnalyticsTransmissionTarget> createTransmissionTargetForToken(
        const std::string& token);
    std::shared_ptr<BEACAnalyticsTransmissionTarget> defaultTransmissionTarget() const;
    void pauseTargetForToken(const std::string& token);
    void resumeTargetForToken(const std::string& token);
    std::shared_ptr<BEACChannelUnitProtocol> eventCollectorChannelUnit();
    std::shared_ptr<BEACChannelUnitProtocol> eventCollectorCriticalChannelUnit();
    std::shared_ptr<BEACChannelUnitProtocol> criticalChannelUnit() const;

    // True when started (with the SDK configured) and enabled; takes only
    // the base's leaf lock.
    bool isUsableAndEnabled() const;
    const std::shared_ptr<BEACSessionTracker>& sessionTracker() const { return sessionTracker_; }

    // Keeps the entries whose value is a string; others go silently.
    static plat::Dictionary removeInvalidProperties(const std::optional<plat::Dictionary>& properties);
    // The low byte when it is 1 or 2; otherwise 1, with a warning.
    static uint64_t validateFlags(uint64_t flags);

    // BEACChannelDelegate
    bool channelUnitShouldFilterLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelWillSendLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelDidSucceedSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelDidFailSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                  const plat::ErrorPtr& error) override;

    // BEACSessionTrackerDelegate
    void sessionTrackerProcessLog(BEACSessionTracker& tracker, const BEACLogPtr& log) override;

    BEACAnalytics();

  private:
    void sendLog(const BEACLogPtr& log, uint64_t flags) EXCLUDES(unitsMutex_);
    // The Event Collector twin of the main or critical unit, once it exists.
    std::shared_ptr<BEACChannelUnitProtocol> eventCollectorUnit(bool critical) EXCLUDES(serviceMutex_);
    // Makes the default target of `token` unless there is one.
    void adoptDefaultTarget(const std::optional<std::string>& token) EXCLUDES(serviceMutex_);
    std::shared_ptr<BEACAnalyticsDelegate> delegate() const;
    std::shared_ptr<BEACChannelDelegate> selfAsChannelDelegate();
    void sendMissedPageView();

    const std::shared_ptr<BEACSessionTracker> sessionTracker_;
    // The identity under which pause and resume act on the units.
    const std::shared_ptr<plat::Object> pauser_ = std::make_shared<plat::Object>();
    // Leaf lock of the service's own state.
    mutable plat::Mutex serviceMutex_;
    bool autoPageTrackingEnabled_ GUARDED_BY(serviceMutex_) = false;
    uint64_t flushInterval_ GUARDED_BY(serviceMutex_) = kDefaultFlushInterval;
    std::map<std::string, std::shared_ptr<BEACAnalyticsTransmissionTarget>> transmissionTargets_
        GUARDED_BY(serviceMutex_);
    std::shared_ptr<BEACAnalyticsTransmissionTarget> defaultTransmissionTarget_ GUARDED_BY(serviceMutex_);
    std::shared_ptr<BEACChannelUnitProtocol> eventCollectorChannelUnit_ GUARDED_BY(serviceMutex_);
    std::shared_ptr<BEACChannelUnitProtocol> eventCollectorCriticalChannelUnit_ GUARDED_BY(serviceMutex_);

    // Leaf lock: the units logs go to and the application's delegate.
    mutable plat::Mutex unitsMutex_;
    std::shared_ptr<BEACChannelUnitProtocol> mainUnit_ GUARDED_BY(unitsMutex_);
    std::shared_ptr<BEACChannelUnitProtocol> criticalChannelUnit_ GUARDED_BY(unitsMutex_);
    std::shared_ptr<BEACAnalyticsDelegate> delegate_ GUARDED_BY(unitsMutex_);
};
