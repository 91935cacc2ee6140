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
// Threads: any thread. Tracking, pause, resume and everything the targets and
// property configurators change take the service's lock (the base's
// recursive mutex). The units and the delegate sit behind a leaf lock of
// their own, so that the session tracker (which calls back under its own
// lock) and the channel group's queue never wait for the service's lock.
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

    // True when started (with the SDK configured) and enabled; takes no lock
    // but the service's own, so targets may ask while holding it.
    bool isUsableAndEnabled() const;
    // The lock that tracking, targets and property configurators share.
    std::recursive_mutex& serviceMutex() const { return mutex_; }
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
    void sendLog(const BEACLogPtr& log, uint64_t flags);
    std::shared_ptr<BEACAnalyticsDelegate> delegate() const;
    std::shared_ptr<BEACChannelDelegate> selfAsChannelDelegate();
    void sendMissedPageView();

    const std::shared_ptr<BEACSessionTracker> sessionTracker_;
    // The identity under which pause and resume act on the units.
    const std::shared_ptr<plat::Object> pauser_ = std::make_shared<plat::Object>();
    // Guarded by the service's lock (mutex_).
    bool autoPageTrackingEnabled_ = false;
    uint64_t flushInterval_ = kDefaultFlushInterval;
    std::map<std::string, std::shared_ptr<BEACAnalyticsTransmissionTarget>> transmissionTargets_;
    std::shared_ptr<BEACAnalyticsTransmissionTarget> defaultTransmissionTarget_;
    std::shared_ptr<BEACChannelUnitProtocol> eventCollectorChannelUnit_;
    std::shared_ptr<BEACChannelUnitProtocol> eventCollectorCriticalChannelUnit_;

    // Leaf lock: the units logs go to and the application's delegate.
    mutable plat::Mutex unitsMutex_;
    std::shared_ptr<BEACChannelUnitProtocol> mainUnit_ GUARDED_BY(unitsMutex_);
    std::shared_ptr<BEACChannelUnitProtocol> criticalChannelUnit_ GUARDED_BY(unitsMutex_);
    std::shared_ptr<BEACAnalyticsDelegate> delegate_ GUARDED_BY(unitsMutex_);
};
