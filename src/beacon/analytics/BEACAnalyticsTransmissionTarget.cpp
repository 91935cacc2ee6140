#include "beacon/analytics/BEACAnalyticsTransmissionTarget.h"

#include <algorithm>

#include "beacon/analytics/BEACAnalytics.h"
#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "beacon/core/BEACUserIdContext.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/ProcessInfo.h"

namespace {

plat::Mutex providerMutex;
std::shared_ptr<BEACAnalyticsAuthenticationProvider> classProvider GUARDED_BY(providerMutex);

// The first value found walking from `target` up through its parents.
template <class Getter>
std::optional<std::string> inherited(const BEACAnalyticsTransmissionTarget* target, Getter get) {
    std::shared_ptr<BEACAnalyticsTransmissionTarget> holder;
    while (target) {
        if (auto value = get(*target->propertyConfigurator()))
            return value;
        holder = target->parentTarget();
        target = holder.get();
    }
    return std::nullopt;
}

}  // namespace

// Property configurator.

BEACPropertyConfigurator::BEACPropertyConfigurator(std::weak_ptr<BEACAnalyticsTransmissionTarget> target)
    : transmissionTarget_(std::move(target)) {}

std::optional<std::string> BEACPropertyConfigurator::appVersion() const {
    plat::MutexLock lock(mutex_);
    return appVersion_;
}
void BEACPropertyConfigurator::setAppVersion(const std::optional<std::string>& appVersion) {
    plat::MutexLock lock(mutex_);
    appVersion_ = appVersion;
}
std::optional<std::string> BEACPropertyConfigurator::appName() const {
    plat::MutexLock lock(mutex_);
    return appName_;
}
void BEACPropertyConfigurator::setAppName(const std::optional<std::string>& appName) {
    plat::MutexLock lock(mutex_);
    appName_ = appName;
}
std::optional<std::string> BEACPropertyConfigurator::appLocale() const {
    plat::MutexLock lock(mutex_);
    return appLocale_;
}
void BEACPropertyConfigurator::setAppLocale(const std::optional<std::string>& appLocale) {
    plat::MutexLock lock(mutex_);
    appLocale_ = appLocale;
}
std::optional<std::string> BEACPropertyConfigurator::userId() const {
    plat::MutexLock lock(mutex_);
    return userId_;
}
void BEACPropertyConfigurator::setUserId(const std::optional<std::string>& userId) {
    if (!BEACUserIdContext::isUserIdValidForEventCollector(userId))
        return;
    auto prefixed = BEACUserIdContext::prefixedUserIdFromUserId(userId);
    plat::MutexLock lock(mutex_);
    userId_ = prefixed;
}
std::optional<std::string> BEACPropertyConfigurator::deviceId() const {
    plat::MutexLock lock(mutex_);
    return deviceId_;
}
void BEACPropertyConfigurator::collectDeviceId() {
    auto identifier = getDeviceIdentifier();
    plat::MutexLock lock(mutex_);
    deviceId_ = identifier;
}

std::optional<std::string> BEACPropertyConfigurator::getDeviceIdentifier() {
    // A machine without an identifier gives none rather than "u:(null)".
    std::string uuid = plat::ProcessInfo::processInfo().hardwareUUID();
    if (uuid.empty())
        return std::nullopt;
    return "u:" + uuid;
}

void BEACPropertyConfigurator::setEventPropertyString(const std::optional<std::string>& value,
                                                      const std::optional<std::string>& key) {
    eventProperties_->setString(value, key);
}
void BEACPropertyConfigurator::setEventPropertyDouble(double value, const std::optional<std::string>& key) {
    eventProperties_->setDouble(value, key);
}
void BEACPropertyConfigurator::setEventPropertyInt64(int64_t value, const std::optional<std::string>& key) {
    eventProperties_->setInt64(value, key);
}
void BEACPropertyConfigurator::setEventPropertyBool(bool value, const std::optional<std::string>& key) {
    eventProperties_->setBool(value, key);
}
void BEACPropertyConfigurator::setEventPropertyDate(const std::optional<plat::Date>& value,
                                                    const std::optional<std::string>& key) {
    eventProperties_->setDate(value, key);
}

void BEACPropertyConfigurator::removeEventPropertyForKey(const std::optional<std::string>& key) {
    if (!key) {
        BEACLogError(kBEACAnalyticsLogTag, "Event property key to remove cannot be nil.");
        return;
    }
    eventProperties_->remove(*key);
}

void BEACPropertyConfigurator::mergeTypedPropertiesWith(BEACEventProperties& properties) const {
    std::vector<std::string> present;
    for (const auto& [name, property] : properties.properties())
        present.push_back(name);
    for (const auto& [name, property] : eventProperties_->properties()) {
        if (std::find(present.begin(), present.end(), name) == present.end())
            properties.setTypedProperty(name, property);
    }
}

void BEACPropertyConfigurator::channelPrepareLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    auto target = transmissionTarget_.lock();
    auto* csLog = dynamic_cast<BEACSharedSchemaLog*>(log.get());
    // Cheap tests first: most logs are not this target's and must not wait
    // for the service's lock.
    if (!target || !csLog || log->tag.get() != static_cast<const plat::Object*>(target.get()) ||
        !target->isEnabled())
        return;
    if (!csLog->ext)
        csLog->ext = std::make_shared<BEACCSExtensions>();
    auto& ext = *csLog->ext;
    if (!ext.appExt)
        ext.appExt = std::make_shared<BEACAppExtension>();
    if (!ext.userExt)
        ext.userExt = std::make_shared<BEACUserExtension>();
    if (!ext.deviceExt)
        ext.deviceExt = std::make_shared<BEACDeviceExtension>();
    const auto* start = target.get();
    if (auto ver = inherited(start, [](const BEACPropertyConfigurator& c) { return c.appVersion(); }))
        ext.appExt->ver = ver;
    if (auto name = inherited(start, [](const BEACPropertyConfigurator& c) { return c.appName(); }))
        ext.appExt->name = name;
    if (auto locale = inherited(start, [](const BEACPropertyConfigurator& c) { return c.appLocale(); }))
        ext.appExt->locale = locale;
    if (auto user = inherited(start, [](const BEACPropertyConfigurator& c) { return c.userId(); }))
        ext.userExt->localId = user;
    // Not inherited: a target that did not collect it sends none.
    ext.deviceExt->localId = deviceId();
}

// Transmission target.

BEACAnalyticsTransmissionTarget::BEACAnalyticsTransmissionTarget(
    const std::string& token, const std::shared_ptr<BEACAnalyticsTransmissionTarget>& parent,
    std::shared_ptr<BEACChannelGroupDefault> channelGroup)
    : token_(token),
      hasParent_(parent != nullptr),
      parent_(parent),
      channelGroup_(std::move(channelGroup)),
      isEnabledKey_("AnalyticsIsEnabled/" + BEACUtility::targetKeyFromTargetToken(token).value_or(token)) {}

std::shared_ptr<BEACAnalyticsTransmissionTarget> BEACAnalyticsTransmissionTarget::make(
    const std::string& token, const std::shared_ptr<BEACAnalyticsTransmissionTarget>& parent,
    const std::shared_ptr<BEACChannelGroupDefault>& channelGroup) {
    std::shared_ptr<BEACAnalyticsTransmissionTarget> target(
        new BEACAnalyticsTransmissionTarget(token, parent, channelGroup));
    target->configurator_ = std::make_shared<BEACPropertyConfigurator>(target);
    if (!target->isImmediateParent())
        BEACBeaconUserDefaults::shared()->setObject(plat::Value(false), target->isEnabledKey_);
    if (channelGroup) {
        channelGroup->addDelegate(target->configurator_);
        channelGroup->addDelegate(target);
    }
    return target;
}

void BEACAnalyticsTransmissionTarget::trackEvent(const std::string& name,
                                                 const std::optional<plat::Dictionary>& properties,
                                                 uint64_t flags) {
    if (!properties) {
        trackEvent(name, std::shared_ptr<BEACEventProperties>(), flags);
        return;
    }
    auto bag = std::make_shared<BEACEventProperties>();
    for (const auto& [key, value] : *properties)
        bag->setString(value.isString() ? std::optional<std::string>(*value.asString()) : std::nullopt, key);
    trackEvent(name, bag, flags);
}

void BEACAnalyticsTransmissionTarget::trackEvent(const std::string& name,
                                                 const std::shared_ptr<BEACEventProperties>& properties,
                                                 uint64_t flags) {
    auto merged = std::make_shared<BEACEventProperties>();
    for (auto target = shared_from_this(); target; target = target->parentTarget())
        target->configurator_->mergeTypedPropertiesWith(*merged);
    if (properties)
        merged->mergeEventProperties(*properties);
    else if (merged->isEmpty())
        merged.reset();
    BEACAnalytics::trackEvent(name, merged, shared_from_this(), flags);
}

std::shared_ptr<BEACAnalyticsTransmissionTarget> BEACAnalyticsTransmissionTarget::transmissionTargetForToken(
    const std::string& token) {
    {
        plat::MutexLock lock(childrenMutex_);
        if (auto found = childTransmissionTargets_.find(token); found != childTransmissionTargets_.end())
            return found->second;
    }
    // Made without the lock: making registers it with the group and reads
    // this target's state. Of two made at once, the first stored is kept
    // (the group holds its delegates weakly; the other goes away).
    auto made = make(token, shared_from_this(), channelGroup_);
    std::shared_ptr<BEACAnalyticsTransmissionTarget> child;
    {
        plat::MutexLock lock(childrenMutex_);
        child = childTransmissionTargets_.emplace(token, made).first->second;
    }
    if (child == made)
        BEACLogDebug(kBEACAnalyticsLogTag, "Created transmission target with target key %@.",
                     BEACUtility::targetKeyFromTargetToken(token));
    return child;
}

BEACAnalyticsTransmissionTarget::Targets BEACAnalyticsTransmissionTarget::children() const {
    plat::MutexLock lock(childrenMutex_);
    Targets targets;
    for (const auto& [token, child] : childTransmissionTargets_)
        targets.push_back(child);
    return targets;
}

bool BEACAnalyticsTransmissionTarget::isEnabled() const {
    auto stored = BEACBeaconUserDefaults::shared()->objectForKey(isEnabledKey_);
    return !stored || !stored->isNumber() || stored->boolValue();
}

bool BEACAnalyticsTransmissionTarget::isImmediateParent() const {
    if (hasParent_) {
        auto parent = parent_.lock();
        return parent && parent->isEnabled();
    }
    return BEACAnalytics::sharedInstance()->isUsableAndEnabled();
}

plat::Mutex BEACAnalyticsTransmissionTarget::enabledMutex_;

void BEACAnalyticsTransmissionTarget::setEnabled(bool isEnabled) {
    Targets resumed;
    int refused = 0;
    {
        plat::MutexLock lock(enabledMutex_);
        setEnabledLocked(isEnabled, resumed, refused);
    }
    for (int i = 0; i < refused; ++i)
        BEACLogWarning(kBEACAnalyticsLogTag,
                       "Can't enable; parent transmission target and/or Analytics service is disabled.");
    // Outside the lock: resuming goes through the service to its units.
    for (const auto& target : resumed)
        target->resume();
}

void BEACAnalyticsTransmissionTarget::setEnabledLocked(bool isEnabled, Targets& resumed, int& refused) {
    if (isEnabled != this->isEnabled()) {
        if (isEnabled && !isImmediateParent()) {
            ++refused;
            return;
        }
        BEACBeaconUserDefaults::shared()->setObject(plat::Value(isEnabled), isEnabledKey_);
        if (isEnabled)
            resumed.push_back(shared_from_this());
    }
    for (const auto& child : children())
        child->setEnabledLocked(isEnabled, resumed, refused);
}

void BEACAnalyticsTransmissionTarget::pause() {
    if (!isEnabled()) {
        BEACLogError(kBEACAnalyticsLogTag, "This transmission target is disabled.");
        return;
    }
    BEACAnalytics::pauseTransmissionTargetForToken(token_);
}

void BEACAnalyticsTransmissionTarget::resume() {
    if (!isEnabled()) {
        BEACLogError(kBEACAnalyticsLogTag, "This transmission target is disabled.");
        return;
    }
    BEACAnalytics::resumeTransmissionTargetForToken(token_);
}

void BEACAnalyticsTransmissionTarget::addAuthenticationProvider(
    const std::shared_ptr<BEACAnalyticsAuthenticationProvider>& provider) {
    plat::MutexLock lock(providerMutex);
    if (!provider) {
        BEACLogError(kBEACAnalyticsLogTag, "Authentication provider may not be null.");
        return;
    }
    classProvider = provider;
    provider->acquireTokenAsync();
}

std::shared_ptr<BEACAnalyticsAuthenticationProvider>
BEACAnalyticsTransmissionTarget::authenticationProvider() {
    plat::MutexLock lock(providerMutex);
    return classProvider;
}

void BEACAnalyticsTransmissionTarget::setAuthenticationProvider(
    std::shared_ptr<BEACAnalyticsAuthenticationProvider> provider) {
    plat::MutexLock lock(providerMutex);
    classProvider = std::move(provider);
}

void BEACAnalyticsTransmissionTarget::channelPrepareLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    auto tokens = log ? log->transmissionTargetTokens() : nullptr;
    auto* csLog = dynamic_cast<BEACSharedSchemaLog*>(log.get());
    if (!tokens || !tokens->count(token_) || !csLog || !isEnabled())
        return;
    auto provider = authenticationProvider();
    // A provider without a ticket key has no ticket to name.
    if (!provider || !provider->ticketKeyHash())
        return;
    if (!csLog->ext)
        csLog->ext = std::make_shared<BEACCSExtensions>();
    if (!csLog->ext->protocolExt)
        csLog->ext->protocolExt = std::make_shared<BEACProtocolExtension>();
    csLog->ext->protocolExt->ticketKeys = std::vector<std::string>{*provider->ticketKeyHash()};
    provider->checkTokenExpiry();
}
