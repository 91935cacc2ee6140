#include "beacon/analytics/BEACAnalytics.h"

#include "beacon/analytics/BEACAnalyticsCategory.h"
#include "beacon/analytics/BEACAnalyticsTransmissionTarget.h"
#include "beacon/analytics/BEACAnalyticsValidation.h"
#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACUserIdContext.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/UUID.h"

namespace {

plat::Mutex sharedMutex;
std::shared_ptr<BEACAnalytics> sharedAnalytics GUARDED_BY(sharedMutex);

}  // namespace

// Class-level operations.

std::shared_ptr<BEACAnalytics> BEACAnalytics::sharedInstance() {
    plat::MutexLock lock(sharedMutex);
    if (!sharedAnalytics) {
        sharedAnalytics = std::make_shared<BEACAnalytics>();
        // The tracker holds its delegate weakly; the service outlives it.
        sharedAnalytics->sessionTracker_->setDelegate(
            std::static_pointer_cast<BEACSessionTrackerDelegate>(sharedAnalytics));
    }
    return sharedAnalytics;
}

void BEACAnalytics::resetSharedInstance() {
    std::shared_ptr<BEACAnalytics> old;
    {
        plat::MutexLock lock(sharedMutex);
        old.swap(sharedAnalytics);
    }
    if (old)
        old->sessionTracker_->stop();
}

BEACServiceClass BEACAnalytics::serviceClass() {
    return {"BEACAnalytics", [] { return std::static_pointer_cast<BEACServiceAbstract>(sharedInstance()); }};
}

void BEACAnalytics::trackEvent(const std::string& name) {
    trackEvent(name, std::optional<plat::Dictionary>());
}
void BEACAnalytics::trackEvent(const std::string& name, const std::optional<plat::Dictionary>& properties,
                               uint64_t flags) {
    trackEvent(name, properties, nullptr, flags);
}
void BEACAnalytics::trackEvent(const std::string& name,
                               const std::shared_ptr<BEACEventProperties>& properties, uint64_t flags) {
    trackEvent(name, properties, nullptr, flags);
}
void BEACAnalytics::trackEvent(const std::string& name, const std::optional<plat::Dictionary>& properties,
                               const std::shared_ptr<BEACAnalyticsTransmissionTarget>& target,
                               uint64_t flags) {
    sharedInstance()->trackEventWithProperties(name, properties, target, flags);
}
void BEACAnalytics::trackEvent(const std::string& name,
                               const std::shared_ptr<BEACEventProperties>& properties,
                               const std::shared_ptr<BEACAnalyticsTransmissionTarget>& target,
                               uint64_t flags) {
    sharedInstance()->trackEventWithTypedProperties(name, properties, target, flags);
}
void BEACAnalytics::trackPage(const std::string& name, const std::optional<plat::Dictionary>& properties) {
    sharedInstance()->trackPageWithProperties(name, properties);
}
void BEACAnalytics::pause() {
    sharedInstance()->pauseService();
}
void BEACAnalytics::resume() {
    sharedInstance()->resumeService();
}
void BEACAnalytics::setServiceEnabled(bool isEnabled) {
    sharedInstance()->classSetEnabled(isEnabled);
}
bool BEACAnalytics::isServiceEnabled() {
    return sharedInstance()->classIsEnabled();
}
void BEACAnalytics::setAutoPageTrackingEnabled(bool isEnabled) {
    sharedInstance()->setAutoPageTracking(isEnabled);
}
bool BEACAnalytics::isAutoPageTrackingEnabled() {
    return sharedInstance()->autoPageTrackingEnabled();
}
uint64_t BEACAnalytics::transmissionInterval() {
    return sharedInstance()->flushInterval();
}
void BEACAnalytics::setTransmissionInterval(uint64_t seconds) {
    sharedInstance()->setTransmissionIntervalSeconds(seconds);
}
std::shared_ptr<BEACAnalyticsTransmissionTarget> BEACAnalytics::transmissionTargetForToken(
    const std::string& token) {
    return sharedInstance()->targetForToken(token);
}
void BEACAnalytics::pauseTransmissionTargetForToken(const std::string& token) {
    sharedInstance()->pauseTargetForToken(token);
}
void BEACAnalytics::resumeTransmissionTargetForToken(const std::string& token) {
    sharedInstance()->resumeTargetForToken(token);
}
void BEACAnalytics::setDelegate(std::shared_ptr<BEACAnalyticsDelegate> delegate) {
    sharedInstance()->setAnalyticsDelegate(std::move(delegate));
}

// Life cycle.

namespace {

// Settings and archived class names of earlier SDK generations; before the
// session tracker is made, which forgets the old session list.
std::shared_ptr<BEACSessionTracker> migrateThenMakeTracker() {
    BEACBeaconUserDefaults::shared()->migrateKeys(
        {{"BCBeaconAnalyticsIsEnabled", BEACUserDefaultsPrefixKey("kBCAnalyticsIsEnabledKey")},
         {"BCBeaconPastSessions", std::string("pastSessionsKey")}},
        "Analytics");
    // Logs archived by earlier SDK generations keep unarchiving.
    beac::analytics::registerCodableClasses();
    BEACUtility::addMigrationClasses({{"BCSessionHistoryInfo", "BEACSessionHistoryInfo"},
                                      {"BCAbstractLog", "BEACAbstractLog"},
                                      {"BCEventLog", "BEACEventLog"},
                                      {"BCPageLog", "BEACPageLog"},
                                      {"BCEventProperties", "BEACEventProperties"},
                                      {"BCLogWithNameAndProperties", "BEACLogWithNameAndProperties"},
                                      {"BCBooleanTypedProperty", "BEACBooleanTypedProperty"},
                                      {"BCDateTimeTypedProperty", "BEACDateTimeTypedProperty"},
                                      {"BCDoubleTypedProperty", "BEACDoubleTypedProperty"},
                                      {"BCLongTypedProperty", "BEACLongTypedProperty"},
                                      {"BCStringTypedProperty", "BEACStringTypedProperty"},
                                      {"BCTypedProperty", "BEACTypedProperty"},
                                      {"BCStartSessionLog", "BEACStartSessionLog"}});
    return std::make_shared<BEACSessionTracker>();
}

}  // namespace

BEACAnalytics::BEACAnalytics() : sessionTracker_(migrateThenMakeTracker()) {}

std::optional<BEACChannelUnitConfiguration> BEACAnalytics::channelUnitConfiguration() const {
    plat::MutexLock lock(serviceMutex_);
    return BEACChannelUnitConfiguration::defaultConfiguration(groupId(), flushInterval_);
}

void BEACAnalytics::startWithChannelGroup(const std::shared_ptr<BEACChannelGroupDefault>& channelGroup,
                                          const std::optional<std::string>& appSecret,
                                          const std::optional<std::string>& transmissionTargetToken,
                                          bool fromApplication) {
    // The base adds the main unit and, when enabled, applies the state; the
    // critical unit does not exist yet, so that first enabling touches only
    // the main unit.
    BEACServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken,
                                               fromApplication);
    {
        auto unit = channelUnit();
        plat::MutexLock units(unitsMutex_);
        mainUnit_ = unit;
    }
    adoptDefaultTarget(transmissionTargetToken);
    bool hasCritical;
    {
        plat::MutexLock units(unitsMutex_);
        hasCritical = criticalChannelUnit_ != nullptr;
    }
    // A service started again after it was disabled keeps its critical unit.
    if (!hasCritical && channelGroup) {
        auto critical = channelGroup->addChannelUnitWithConfiguration(
            BEACChannelUnitConfiguration::defaultConfiguration(criticalGroupId(), kDefaultFlushInterval));
        plat::MutexLock units(unitsMutex_);
        criticalChannelUnit_ = critical;
    }
    BEACLogVerbose(kBEACAnalyticsLogTag, "Started Analytics service.");
}

void BEACAnalytics::updateConfiguration(const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken) {
    BEACServiceAbstract::updateConfiguration(appSecret, transmissionTargetToken);
    adoptDefaultTarget(transmissionTargetToken);
}

void BEACAnalytics::adoptDefaultTarget(const std::optional<std::string>& token) {
    if (!token)
        return;
    {
        plat::MutexLock lock(serviceMutex_);
        if (defaultTransmissionTarget_)
            return;
    }
    // Made without the lock: making registers the target with the group.
    auto target = createTransmissionTargetForToken(*token);
    plat::MutexLock lock(serviceMutex_);
    if (!defaultTransmissionTarget_)
        defaultTransmissionTarget_ = std::move(target);
}

void BEACAnalytics::applyEnabledState(bool isEnabled) {
    {
        // The base's start applies the state before it returns: the session
        // tracker's first log must find the unit.
        auto unit = channelUnit();
        plat::MutexLock units(unitsMutex_);
        mainUnit_ = unit;
    }
    BEACServiceAbstract::applyEnabledState(isEnabled);
    if (auto critical = criticalChannelUnit())
        critical->setEnabled(isEnabled, true);
    auto group = channelGroup();
    if (isEnabled) {
        if (isStartedFromApplication()) {
            resumeService();
            sessionTracker_->start();
            if (group) {
                group->addDelegate(sessionTracker_);
                group->addDelegate(selfAsChannelDelegate());
            }
            if (autoPageTrackingEnabled())
                BEACDispatcherUtil::performBlockOnMainThread(
                    [] { BEACAnalyticsCategory::sendMissedPageView(); });
        }
        BEACLogInfo(kBEACAnalyticsLogTag, "Analytics service has been enabled.");
    } else {
        if (isStartedFromApplication()) {
            if (group) {
                group->removeDelegate(sessionTracker_);
                group->removeDelegate(selfAsChannelDelegate());
            }
            sessionTracker_->stop();
            BEACSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        }
        BEACLogInfo(kBEACAnalyticsLogTag, "Analytics service has been disabled.");
    }
}

void BEACAnalytics::setEnabled(bool isEnabled) {
    BEACServiceAbstract::setEnabled(isEnabled);
    // After the state is stored, so that enabled targets find their parent
    // (the service) enabled.
    std::vector<std::shared_ptr<BEACAnalyticsTransmissionTarget>> targets;
    {
        plat::MutexLock lock(serviceMutex_);
        for (const auto& [token, target] : transmissionTargets_)
            targets.push_back(target);
        if (defaultTransmissionTarget_)
            targets.push_back(defaultTransmissionTarget_);
    }
    for (const auto& target : targets)
        target->setEnabled(isEnabled);
}

bool BEACAnalytics::isUsableAndEnabled() const {
    return BEACBeacon::sharedInstance()->sdkConfigured() && isStarted() && isEnabled();
}

// Tracking.

uint64_t BEACAnalytics::validateFlags(uint64_t flags) {
    uint64_t persistence = flags & 0xff;
    if (persistence != BEACFlagsNormal && persistence != BEACFlagsCritical) {
        BEACLogWarning(kBEACAnalyticsLogTag, "Invalid flags (%u) received, using normal as a default.",
                       static_cast<unsigned>(persistence));
        return BEACFlagsNormal;
    }
    return persistence;
}

plat::Dictionary BEACAnalytics::removeInvalidProperties(const std::optional<plat::Dictionary>& properties) {
    plat::Dictionary valid;
    if (!properties)
        return valid;
    // Keys are always strings here; a value of another kind is left out
    // without a message.
    for (const auto& [key, value] : *properties) {
        if (value.isString())
            valid.set(key, value);
    }
    return valid;
}

void BEACAnalytics::trackEventWithTypedProperties(
    const std::string& name, std::shared_ptr<BEACEventProperties> properties,
    const std::shared_ptr<BEACAnalyticsTransmissionTarget>& target, uint64_t flags) {
    if (!canBeUsed() || !isEnabled())
        return;
    auto defaultTarget = defaultTransmissionTarget();
    auto effectiveTarget = target ? target : defaultTarget;
    uint64_t persistence = validateFlags(flags);
    auto log = std::make_shared<BEACEventLog>();
    if (effectiveTarget) {
        if (!effectiveTarget->isEnabled()) {
            BEACLogError(kBEACAnalyticsLogTag, "This transmission target is disabled.");
            return;
        }
        log->addTransmissionTargetToken(effectiveTarget->transmissionTargetToken());
        log->tag = effectiveTarget;
        if (effectiveTarget == defaultTarget)
            log->userId = BEACUserIdContext::sharedInstance()->userId();
    } else if (properties) {
        // Events for the Beacon endpoint keep within its typed-property limits.
        properties = BEACAnalyticsValidation::validateBeaconEventProperties(*properties);
    }
    log->name = name;
    log->eventId = plat::UUID().UUIDString();
    if (properties && !properties->isEmpty())
        log->typedProperties = std::move(properties);
    sendLog(log, persistence);
}

void BEACAnalytics::trackEventWithProperties(const std::string& name,
                                             const std::optional<plat::Dictionary>& properties,
                                             const std::shared_ptr<BEACAnalyticsTransmissionTarget>& target,
                                             uint64_t flags) {
    std::vector<std::pair<std::string, std::string>> strings;
    for (const auto& [key, value] : removeInvalidProperties(properties))
        strings.emplace_back(key, *value.asString());
    trackEventWithTypedProperties(name, std::make_shared<BEACEventProperties>(strings), target, flags);
}

void BEACAnalytics::trackPageWithProperties(const std::string& name,
                                            const std::optional<plat::Dictionary>& properties) {
    if (!canBeUsed() || !isEnabled())
        return;
    auto log = std::make_shared<BEACPageLog>();
    log->name = name;
    if (properties && !properties->empty())
        log->properties = removeInvalidProperties(properties);
    sendLog(log, BEACFlagsNormal);
}

void BEACAnalytics::sendLog(const BEACLogPtr& log, uint64_t flags) {
    std::shared_ptr<BEACChannelUnitProtocol> unit;
    {
        plat::MutexLock units(unitsMutex_);
        unit = (flags & BEACFlagsCritical) ? criticalChannelUnit_ : mainUnit_;
    }
    if (unit)
        unit->enqueueItem(log, flags);
}

void BEACAnalytics::sessionTrackerProcessLog(BEACSessionTracker&, const BEACLogPtr& log) {
    // The tracker holds its renewal lock meanwhile: only the units' leaf lock
    // is taken, and no other log is prepared on this thread.
    sendLog(log, BEACFlagsNormal);
}

// Pause, resume, settings.

void BEACAnalytics::pauseService() {
    if (!canBeUsed())
        return;
    if (auto unit = channelUnit())
        unit->pauseWithIdentifyingObject(pauser_);
    if (auto critical = criticalChannelUnit())
        critical->pauseWithIdentifyingObject(pauser_);
}

void BEACAnalytics::resumeService() {
    if (!canBeUsed())
        return;
    if (auto unit = channelUnit())
        unit->resumeWithIdentifyingObject(pauser_);
    if (auto critical = criticalChannelUnit())
        critical->resumeWithIdentifyingObject(pauser_);
}

void BEACAnalytics::setTransmissionIntervalSeconds(uint64_t seconds) {
    if (isStarted()) {
        BEACLogError(kBEACAnalyticsLogTag,
                     "The transmission interval should be set before the BEACAnalytics service is started.");
        return;
    }
    if (seconds < kMinFlushInterval || seconds > kMaxFlushInterval) {
        BEACLogError(kBEACAnalyticsLogTag,
                     "The transmission interval is not valid, it should be between %u second(s) and %u "
                     "second(s) (%u day).",
                     static_cast<unsigned>(kMinFlushInterval), static_cast<unsigned>(kMaxFlushInterval), 1u);
        return;
    }
    {
        plat::MutexLock lock(serviceMutex_);
        flushInterval_ = seconds;
    }
    BEACLogDebug(kBEACAnalyticsLogTag, "Transmission interval set to %u second(s)",
                 static_cast<unsigned>(seconds));
}

uint64_t BEACAnalytics::flushInterval() const {
    plat::MutexLock lock(serviceMutex_);
    return flushInterval_;
}

bool BEACAnalytics::autoPageTrackingEnabled() const {
    plat::MutexLock lock(serviceMutex_);
    return autoPageTrackingEnabled_;
}

void BEACAnalytics::setAutoPageTracking(bool isEnabled) {
    plat::MutexLock lock(serviceMutex_);
    autoPageTrackingEnabled_ = isEnabled;
}

void BEACAnalytics::setAnalyticsDelegate(std::shared_ptr<BEACAnalyticsDelegate> delegate) {
    plat::MutexLock units(unitsMutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<BEACAnalyticsDelegate> BEACAnalytics::delegate() const {
    plat::MutexLock units(unitsMutex_);
    return delegate_;
}

std::shared_ptr<BEACChannelUnitProtocol> BEACAnalytics::criticalChannelUnit() const {
    plat::MutexLock units(unitsMutex_);
    return criticalChannelUnit_;
}

std::shared_ptr<BEACChannelDelegate> BEACAnalytics::selfAsChannelDelegate() {
    return std::dynamic_pointer_cast<BEACAnalytics>(shared_from_this());
}

// Targets.

std::shared_ptr<BEACAnalyticsTransmissionTarget> BEACAnalytics::targetForToken(const std::string& token) {
    std::shared_ptr<BEACAnalyticsTransmissionTarget> found;
    {
        plat::MutexLock lock(serviceMutex_);
        if (auto entry = transmissionTargets_.find(token); entry != transmissionTargets_.end())
            found = entry->second;
    }
    if (found) {
        BEACLogDebug(kBEACAnalyticsLogTag, "Returning transmission target found with id %@.",
                     BEACUtility::targetKeyFromTargetToken(token));
        return found;
    }
    // Made without the lock: making registers the target with the group.
    // Of two made at once, the first stored is kept (the group holds its
    // delegates weakly; the other goes away).
    auto target = createTransmissionTargetForToken(token);
    plat::MutexLock lock(serviceMutex_);
    return transmissionTargets_.emplace(token, std::move(target)).first->second;
}

std::shared_ptr<BEACAnalyticsTransmissionTarget> BEACAnalytics::createTransmissionTargetForToken(
    const std::string& token) {
    auto target = BEACAnalyticsTransmissionTarget::make(token, nullptr, channelGroup());
    BEACLogDebug(kBEACAnalyticsLogTag, "Created transmission target with target key %@.",
                 BEACUtility::targetKeyFromTargetToken(token));
    return target;
}

std::shared_ptr<BEACAnalyticsTransmissionTarget> BEACAnalytics::defaultTransmissionTarget() const {
    plat::MutexLock lock(serviceMutex_);
    return defaultTransmissionTarget_;
}

void BEACAnalytics::pauseTargetForToken(const std::string& token) {
    for (const auto& unit : {eventCollectorChannelUnit(), eventCollectorCriticalChannelUnit()}) {
        if (unit)
            unit->pauseSendingLogsWithToken(token);
    }
}

void BEACAnalytics::resumeTargetForToken(const std::string& token) {
    for (const auto& unit : {eventCollectorChannelUnit(), eventCollectorCriticalChannelUnit()}) {
        if (unit)
            unit->resumeSendingLogsWithToken(token);
    }
}

std::shared_ptr<BEACChannelUnitProtocol> BEACAnalytics::eventCollectorChannelUnit() {
    return eventCollectorUnit(false);
}

std::shared_ptr<BEACChannelUnitProtocol> BEACAnalytics::eventCollectorCriticalChannelUnit() {
    return eventCollectorUnit(true);
}

std::shared_ptr<BEACChannelUnitProtocol> BEACAnalytics::eventCollectorUnit(bool critical) {
    {
        plat::MutexLock lock(serviceMutex_);
        if (auto unit = critical ? eventCollectorCriticalChannelUnit_ : eventCollectorChannelUnit_)
            return unit;
    }
    // Asked of the group without the lock; the first found is kept.
    auto group = channelGroup();
    auto unit =
        group ? group->channelUnitForGroupId((critical ? criticalGroupId() : groupId()) + "/one") : nullptr;
    plat::MutexLock lock(serviceMutex_);
    auto& slot = critical ? eventCollectorCriticalChannelUnit_ : eventCollectorChannelUnit_;
    if (!slot)
        slot = std::move(unit);
    return slot;
}

// Channel callbacks, on the group's queue.

bool BEACAnalytics::channelUnitShouldFilterLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    return BEACAnalyticsValidation::shouldFilterLog(log);
}

void BEACAnalytics::channelWillSendLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    auto observer = delegate();
    if (!observer)
        return;
    if (auto* event = dynamic_cast<const BEACEventLog*>(log.get()))
        observer->analyticsWillSendEventLog(*this, *event);
    else if (auto* page = dynamic_cast<const BEACPageLog*>(log.get()))
        observer->analyticsWillSendPageLog(*this, *page);
}

void BEACAnalytics::channelDidSucceedSendingLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    auto observer = delegate();
    if (!observer)
        return;
    if (auto* event = dynamic_cast<const BEACEventLog*>(log.get()))
        observer->analyticsDidSucceedSendingEventLog(*this, *event);
    else if (auto* page = dynamic_cast<const BEACPageLog*>(log.get()))
        observer->analyticsDidSucceedSendingPageLog(*this, *page);
}

void BEACAnalytics::channelDidFailSendingLog(BEACChannelUnitProtocol&, const BEACLogPtr& log,
                                             const plat::ErrorPtr& error) {
    auto observer = delegate();
    if (!observer)
        return;
    if (auto* event = dynamic_cast<const BEACEventLog*>(log.get()))
        observer->analyticsDidFailSendingEventLog(*this, *event, error);
    else if (auto* page = dynamic_cast<const BEACPageLog*>(log.get()))
        observer->analyticsDidFailSendingPageLog(*this, *page, error);
}
