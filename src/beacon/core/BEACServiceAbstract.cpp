#include "beacon/core/BEACServiceAbstract.h"

#include <cstdio>
#include <cstdlib>

#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACLogger.h"

std::string BEACServiceAbstract::displayName() const {
    std::string name = className();
    return name.rfind("BEAC", 0) == 0 ? name.substr(4) : name;
}

bool BEACServiceAbstract::isEnabled() const {
    auto stored = BEACBeaconUserDefaults::shared()->objectForKey(isEnabledKey());
    if (!stored || !stored->isNumber())
        return true;
    return stored->boolValue();
}

void BEACServiceAbstract::setEnabled(bool isEnabled) {
    if (isEnabled == this->isEnabled())
        return;
    applyEnabledState(isEnabled);
    BEACBeaconUserDefaults::shared()->setObject(plat::Value(isEnabled), isEnabledKey());
}

void BEACServiceAbstract::applyEnabledState(bool isEnabled) {
    if (auto unit = channelUnit())
        unit->setEnabled(isEnabled, true);
}

bool BEACServiceAbstract::canBeUsed() const {
    bool usable = BEACBeacon::sharedInstance()->sdkConfigured() && isStarted();
    if (!usable)
        BEACLogError(kBEACLogTag,
                     "%@ service hasn't been started. You need to call [BEACBeacon start:YOUR_APP_SECRET "
                     "withServices:LIST_OF_SERVICES] first.",
                     displayName());
    return usable;
}

bool BEACServiceAbstract::isStartedFromApplication() const {
    plat::MutexLock lock(mutex_);
    return startedFromApplication_;
}

bool BEACServiceAbstract::isStarted() const {
    plat::MutexLock lock(mutex_);
    return started_;
}

void BEACServiceAbstract::startWithChannelGroup(const std::shared_ptr<BEACChannelGroupDefault>& channelGroup,
                                                const std::optional<std::string>& appSecret,
                                                const std::optional<std::string>& transmissionTargetToken,
                                                bool fromApplication) {
    std::shared_ptr<BEACChannelUnitProtocol> existing;
    {
        plat::MutexLock lock(mutex_);
        startedFromApplication_ = fromApplication;
        channelGroup_ = channelGroup;
        appSecret_ = appSecret;
        defaultTransmissionTargetToken_ = transmissionTargetToken;
        started_ = true;
        existing = channelUnit_;
    }
    // A service started again (after it was disabled) keeps its unit: the
    // group would otherwise hold two units of one group id.
    if (!existing && channelGroup) {
        if (auto configuration = channelUnitConfiguration()) {
            auto unit = channelGroup->addChannelUnitWithConfiguration(*configuration);
            plat::MutexLock lock(mutex_);
            channelUnit_ = unit;
        }
    }
    if (isEnabled())
        applyEnabledState(true);
}

void BEACServiceAbstract::updateConfiguration(const std::optional<std::string>& appSecret,
                                              const std::optional<std::string>& transmissionTargetToken) {
    {
        plat::MutexLock lock(mutex_);
        startedFromApplication_ = true;
        appSecret_ = appSecret;
        defaultTransmissionTargetToken_ = transmissionTargetToken;
    }
    if (isEnabled())
        applyEnabledState(true);
}

void BEACServiceAbstract::checkNotSwitching(const char* what) const {
    if (switchingThread_.load() != std::this_thread::get_id())
        return;
    std::fprintf(
        stderr,
        "BEACServiceAbstract: %s was %s through its class-level switch from inside its own switching on "
        "the same thread; it would wait for itself.\n",
        className().c_str(), what);
    std::abort();
}

void BEACServiceAbstract::classSetEnabled(bool isEnabled) {
    // The facade's state first, without this service's lock held.
    auto beacon = BEACBeacon::sharedInstance();
    bool usable = canBeUsed();
    bool sdkEnabled = usable && beacon->sdkEnabled();
    bool updating = beacon->enabledStateUpdating();
    checkNotSwitching("switched");
    plat::MutexLock lock(classMutex_);
    if (!usable)
        return;
    if (!sdkEnabled && !updating) {
        BEACLogError(
            kBEACLogTag,
            "The SDK is disabled. Re-enable the whole SDK from Beacon first before enabling %@ service.",
            displayName());
        return;
    }
    switchingThread_ = std::this_thread::get_id();
    setEnabled(isEnabled);
    switchingThread_ = std::thread::id();
}

bool BEACServiceAbstract::classIsEnabled() {
    bool usable = canBeUsed();
    checkNotSwitching("asked");
    plat::MutexLock lock(classMutex_);
    return usable && isEnabled();
}

std::shared_ptr<BEACChannelGroupDefault> BEACServiceAbstract::channelGroup() const {
    plat::MutexLock lock(mutex_);
    return channelGroup_;
}
std::shared_ptr<BEACChannelUnitProtocol> BEACServiceAbstract::channelUnit() const {
    plat::MutexLock lock(mutex_);
    return channelUnit_;
}
std::optional<std::string> BEACServiceAbstract::appSecret() const {
    plat::MutexLock lock(mutex_);
    return appSecret_;
}
std::optional<std::string> BEACServiceAbstract::defaultTransmissionTargetToken() const {
    plat::MutexLock lock(mutex_);
    return defaultTransmissionTargetToken_;
}
