#include "beacon/core/BEACBeacon.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACDelegateForwarder.h"
#include "beacon/core/BEACDeviceTracker.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACStartServiceLog.h"
#include "beacon/core/BEACUserIdContext.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/ProcessInfo.h"

namespace {

constexpr const char* kBEACEnabledKey = "BeaconIsEnabled";
constexpr const char* kBEACNetworkRequestsAllowedKey = "NetworkRequestsAllowed";
constexpr const char* kBEACInstallIdKey = "InstallId";

plat::Mutex dependencyMutex;
BEACIngestionFactory ingestionFactoryOverride GUARDED_BY(dependencyMutex);
std::shared_ptr<BEACStorage> storageOverride GUARDED_BY(dependencyMutex);
std::shared_ptr<plat::dispatch::Clock> clockOverride GUARDED_BY(dependencyMutex);
std::function<std::shared_ptr<BEACHttpClientProtocol>()> eventCollectorClientFactoryOverride
    GUARDED_BY(dependencyMutex);

plat::Mutex sharedMutex;
std::shared_ptr<BEACBeacon> sharedBeacon GUARDED_BY(sharedMutex);

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? separator : std::string()) + items[i];
    return out;
}

const char* fromText(bool fromApplication) {
    return fromApplication ? "" : "from a library ";
}

}  // namespace

// Defined with the HTTP ingestion.
std::shared_ptr<BEACGroupIngestionProtocol> BEACMakeDefaultIngestion(const std::string& installId,
                                                                     const std::string& logUrl);

BEACIngestionFactory BEACDependencyConfiguration::ingestionFactory() {
    plat::MutexLock lock(dependencyMutex);
    return ingestionFactoryOverride ? ingestionFactoryOverride
                                    : BEACIngestionFactory(&BEACMakeDefaultIngestion);
}
void BEACDependencyConfiguration::setIngestionFactory(BEACIngestionFactory factory) {
    plat::MutexLock lock(dependencyMutex);
    ingestionFactoryOverride = std::move(factory);
}
std::shared_ptr<BEACStorage> BEACDependencyConfiguration::storage() {
    plat::MutexLock lock(dependencyMutex);
    return storageOverride;
}
void BEACDependencyConfiguration::setStorage(std::shared_ptr<BEACStorage> storage) {
    plat::MutexLock lock(dependencyMutex);
    storageOverride = std::move(storage);
}

std::shared_ptr<plat::dispatch::Clock> BEACDependencyConfiguration::clock() {
    plat::MutexLock lock(dependencyMutex);
    return clockOverride;
}
void BEACDependencyConfiguration::setClock(std::shared_ptr<plat::dispatch::Clock> clock) {
    plat::MutexLock lock(dependencyMutex);
    clockOverride = std::move(clock);
}
std::function<std::shared_ptr<BEACHttpClientProtocol>()>
BEACDependencyConfiguration::eventCollectorHttpClientFactory() {
    plat::MutexLock lock(dependencyMutex);
    return eventCollectorClientFactoryOverride;
}
void BEACDependencyConfiguration::setEventCollectorHttpClientFactory(
    std::function<std::shared_ptr<BEACHttpClientProtocol>()> factory) {
    plat::MutexLock lock(dependencyMutex);
    eventCollectorClientFactoryOverride = std::move(factory);
}

const char* BEACBeacon::defaultLogUrl() {
    return "https://in.beacon.kestrel.dev";
}

std::shared_ptr<BEACBeacon> BEACBeacon::sharedInstance() {
    plat::MutexLock lock(sharedMutex);
    if (!sharedBeacon)
        sharedBeacon = std::make_shared<BEACBeacon>();
    return sharedBeacon;
}

void BEACBeacon::resetSharedInstance() {
    plat::MutexLock lock(sharedMutex);
    sharedBeacon.reset();
}

BEACBeacon::BEACBeacon() {
    BEACBeaconUserDefaults::shared()->migrateKeys(
        {{"BCBeaconChannelStartTimer", BEACUserDefaultsPrefixKey("BCChannelStartTimer")},
         {"BCBeaconPastDevices", std::string("pastDevicesKey")},
         {"BCBeaconInstallId", std::string("BCInstallId")},
         {"BCBeaconBeaconIsEnabled", std::string("BCBeaconIsEnabled")},
         {"BCBeaconEncryptionKeyMetadata", std::string("BCEncryptionKeyMetadata")},
         {"BCBeaconSessionIdHistory", std::string("SessionIdHistory")},
         {"BCBeaconUserIdHistory", std::string("UserIdHistory")}},
        "Beacon");
    BEACUtility::addMigrationClasses({{"BCStartServiceLog", "BEACStartServiceLog"},
                                      {"BCLogContainer", "BEACLogContainer"},
                                      {"BCCustomProperties", "BEACCustomPropertiesLog"}});
    // The forwarder reads its switch when the SDK first loads.
    BEACAppDelegateForwarder::sharedInstance();
}

// Class-level operations.

void BEACBeacon::start(const std::optional<std::string>& secretString,
                       const std::optional<std::vector<BEACServiceClass>>& services) {
    sharedInstance()->start(secretString, services, true);
}
void BEACBeacon::startWithServices(const std::optional<std::vector<BEACServiceClass>>& services) {
    sharedInstance()->start(std::nullopt, services, true);
}
void BEACBeacon::startFromLibraryWithServices(const std::optional<std::vector<BEACServiceClass>>& services) {
    sharedInstance()->start(std::nullopt, services, false);
}
void BEACBeacon::startService(const std::optional<BEACServiceClass>& service) {
    if (!service)
        return;
    auto beacon = sharedInstance();
    beacon->startServices(std::vector<BEACServiceClass>{*service}, beacon->appSecret(),
                          beacon->defaultTransmissionTargetToken(), true);
}
void BEACBeacon::configureWithAppSecret(const std::optional<std::string>& secretString) {
    sharedInstance()->configureWithAppSecret(BEACUtility::appSecretFrom(secretString),
                                             BEACUtility::transmissionTargetTokenFrom(secretString), true);
}
void BEACBeacon::configure() {
    sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, true);
}
bool BEACBeacon::isConfigured() {
    auto beacon = sharedInstance();
    return beacon->sdkConfigured() && beacon->configuredFromApplication();
}
bool BEACBeacon::isRunningInBeaconTestCloud() {
    auto value = plat::ProcessInfo::processInfo().environmentValue("RUNNING_IN_BEACON");
    return value && *value == "1";
}

void BEACBeacon::setEnabled(bool isEnabled) {
    sharedInstance()->enableSdk(isEnabled);
}
bool BEACBeacon::isEnabled() {
    auto beacon = sharedInstance();
    return beacon->canBeUsed() && beacon->sdkEnabled();
}
void BEACBeacon::setNetworkRequestsAllowed(bool isAllowed) {
    sharedInstance()->allowNetworkRequests(isAllowed);
}
bool BEACBeacon::isNetworkRequestsAllowed() {
    return sharedInstance()->networkRequestsAllowed();
}
void BEACBeacon::setLogUrl(const std::string& logUrl) {
    sharedInstance()->changeLogUrl(logUrl);
}
std::optional<std::string> BEACBeacon::logUrl() {
    auto beacon = sharedInstance();
    plat::MutexLock lock(beacon->mutex_);
    return beacon->logUrl_;
}
void BEACBeacon::setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
    sharedInstance()->requestMaxStorageSize(sizeInBytes, std::move(completionHandler));
}
void BEACBeacon::setUserId(const std::optional<std::string>& userId) {
    sharedInstance()->changeUserId(userId);
}
std::optional<std::string> BEACBeacon::userId() {
    return BEACUserIdContext::sharedInstance()->userId();
}
plat::UUID BEACBeacon::installId() {
    return sharedInstance()->currentInstallId();
}
void BEACBeacon::setCountryCode(const std::optional<std::string>& countryCode) {
    BEACDeviceTracker::sharedInstance()->setCountryCode(countryCode);
}
std::optional<std::string> BEACBeacon::countryCode() {
    return BEACDeviceTracker::sharedInstance()->countryCode();
}
void BEACBeacon::setWrapperSdk(std::shared_ptr<BEACWrapperSdk> wrapperSdk) {
    BEACDeviceTracker::sharedInstance()->setWrapperSdk(std::move(wrapperSdk));
}
std::shared_ptr<BEACWrapperSdk> BEACBeacon::wrapperSdk() {
    return BEACDeviceTracker::sharedInstance()->wrapperSdk();
}
void BEACBeacon::setCustomProperties(const BEACCustomProperties* customProperties) {
    plat::Dictionary properties;
    if (customProperties)
        properties = customProperties->propertiesImmutableCopy();
    if (properties.empty()) {
        BEACLogError(kBEACLogTag, "Custom properties may not be null or empty");
        return;
    }
    sharedInstance()->sendCustomPropertiesLog(properties);
}

bool BEACBeacon::isDebuggerAttached() {
    static const bool attached = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        bool read = false;
        while (status && std::getline(status, line)) {
            if (line.rfind("TracerPid:", 0) == 0) {
                read = true;
                return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
            }
        }
        if (!read)
            plat::Log("[BEACCrashes] ERROR: Checking for a running debugger via sysctl() failed.");
        return false;
    }();
    return attached;
}

std::string BEACBeacon::sdkVersion() {
    return BEACUtility::sdkVersion();
}
bool BEACBeacon::isAppDelegateForwarderEnabled() {
    return BEACAppDelegateForwarder::sharedInstance()->isEnabled();
}
void BEACBeacon::setLogLevel(BEACLogLevel level) {
    BEACLogger::setCurrentLogLevel(level);
    BEACDelegateForwarder::flushTraceBuffer();
}
BEACLogLevel BEACBeacon::logLevel() {
    return BEACLogger::currentLogLevel();
}

// Operations.

class BEACBeacon::OperationMark {
  public:
    explicit OperationMark(BEACBeacon& beacon) : beacon_(beacon) {
        beacon_.operationThread_ = std::this_thread::get_id();
    }
    ~OperationMark() { beacon_.operationThread_ = std::thread::id(); }
    OperationMark(const OperationMark&) = delete;
    OperationMark& operator=(const OperationMark&) = delete;

  private:
    BEACBeacon& beacon_;
};

void BEACBeacon::checkNotInOperation(const char* operation) const {
    if (operationThread_.load() != std::this_thread::get_id())
        return;
    std::fprintf(stderr,
                 "BEACBeacon: %s was called from inside another operation of the SDK on the same thread "
                 "(a service starting or being switched); it would wait for itself.\n",
                 operation);
    std::abort();
}

// Start-up.

void BEACBeacon::start(const std::optional<std::string>& secretString,
                       const std::optional<std::vector<BEACServiceClass>>& services, bool fromApplication) {
    auto appSecret = BEACUtility::appSecretFrom(secretString);
    auto token = BEACUtility::transmissionTargetTokenFrom(secretString);
    bool configured = configureWithAppSecret(appSecret, token, fromApplication);
    if (services && configured)
        startServices(services, appSecret, token, fromApplication);
}

// Every log carries the application's version and build, and a log without
// them is invalid: without them the SDK would store and send nothing. A Linux
// program has no bundle unless it sets one up, so this is said at start, at
// the level that is printed by default, with the way to set them.
bool BEACBeacon::hasBundleVersions() {
    std::vector<std::string> missing;
    if (!BEACDeviceTracker::appVersion())
        missing.push_back("\"CFBundleShortVersionString\" (app version)");
    if (!BEACDeviceTracker::appBuild())
        missing.push_back("\"CFBundleVersion\" (app build)");
    if (missing.empty())
        return true;
    BEACLog(BEACLogLevelAssert, kBEACLogTag,
            "Beacon SDK cannot start: the application's bundle information lacks %@. Logs without an app "
            "version and build are invalid and would never be sent.",
            joined(missing, " and "));
    BEACLog(BEACLogLevelAssert, kBEACLogTag,
            "Set them in the \"Info.plist\" beside the executable, or before starting the SDK with "
            "plat::Bundle::mainBundle().setInfoDictionary(plat::Dictionary{{\"CFBundleIdentifier\", "
            "plat::Value(\"com.example.app\")}, {\"CFBundleShortVersionString\", plat::Value(\"1.0\")}, "
            "{\"CFBundleVersion\", plat::Value(\"1\")}}).");
    return false;
}

bool BEACBeacon::configureWithAppSecret(const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken,
                                        bool fromApplication) {
    if (!hasBundleVersions()) {
        BEACLog(BEACLogLevelAssert, kBEACLogTag, "Beacon SDK configuration %@failed.",
                fromText(fromApplication));
        return false;
    }
    {
        checkNotInOperation("configure");
        plat::MutexLock operation(operationMutex_);
        OperationMark mark(*this);
        if (configuredFromApplication_ && fromApplication) {
            BEACLog(BEACLogLevelAssert, kBEACLogTag, "Beacon SDK has already been configured.");
            BEACLog(BEACLogLevelAssert, kBEACLogTag, "Beacon SDK configuration %@failed.",
                    fromText(fromApplication));
            return false;
        }
        bool secretTaken = false;
        {
            plat::MutexLock lock(mutex_);
            if (!appSecret_) {
                appSecret_ = appSecret;
                secretTaken = true;
            }
            if (!defaultTransmissionTargetToken_)
                defaultTransmissionTargetToken_ = transmissionTargetToken;
        }
        if (secretTaken)
            BEACSessionContext::sharedInstance()->setSessionId(std::nullopt);
        BEACUserIdContext::sharedInstance();
        initializeChannelGroupLocked();
        applyPipelineEnabledStateLocked(sdkEnabled());
        sdkConfigured_ = true;
        configuredFromApplication_ = configuredFromApplication_ || fromApplication;
    }
    if (!BEACLogger::isUserDefinedLogLevel() &&
        BEACUtility::currentAppEnvironment() == BEACAppEnvironmentOther)
        setLogLevel(BEACLogLevelWarning);
    BEACLogInfo(kBEACLogTag, "Beacon SDK configured %@successfully.", fromText(fromApplication));
    return true;
}

std::string BEACBeacon::logUrlOrDefault(const std::optional<std::string>& logUrl) {
    return logUrl ? *logUrl : std::string(defaultLogUrl());
}

// The group, its Event Collector delegate and the core's unit are made
// without the leaf lock held (the ingestion factory and the group are called)
// and stored under it.
void BEACBeacon::initializeChannelGroupLocked() {
    std::shared_ptr<BEACChannelGroupDefault> group;
    std::optional<std::string> logUrl;
    std::optional<std::string> secret;
    std::optional<int64_t> requestedSize;
    std::function<void(bool)> sizeCompletion;
    std::shared_ptr<BEACChannelUnitProtocol> unit;
    {
        plat::MutexLock lock(mutex_);
        group = channelGroup_;
        logUrl = logUrl_;
        secret = appSecret_;
        requestedSize = requestedMaxStorageSizeInBytes_;
        sizeCompletion = maxStorageSizeCompletionHandler_;
        unit = channelUnit_;
    }
    if (!group) {
        const plat::UUID installId = currentInstallId();
        auto ingestion =
            BEACDependencyConfiguration::ingestionFactory()(installId.UUIDString(), logUrlOrDefault(logUrl));
        group = BEACChannelGroupDefault::make(std::move(ingestion), BEACDependencyConfiguration::storage());
        if (auto clock = BEACDependencyConfiguration::clock())
            group->queue().setClock(clock);
        // Logs with target tokens travel through the delegate's twins; it
        // sends to the log URL only when there is no app secret to send to
        // the Beacon endpoint with.
        auto clientFactory = BEACDependencyConfiguration::eventCollectorHttpClientFactory();
        auto delegate = std::make_shared<BEACEventCollectorChannelDelegate>(
            clientFactory ? clientFactory() : BEACHttpClient::make(), installId,
            secret ? std::nullopt : logUrl);
        group->addDelegate(delegate);
        if (requestedSize)
            group->setMaxStorageSize(*requestedSize, sizeCompletion);
        plat::MutexLock lock(mutex_);
        channelGroup_ = group;
        eventCollectorDelegate_ = std::move(delegate);
    }
    group->setAppSecret(secret);
    if (!unit) {
        unit = group->addChannelUnitWithConfiguration(
            BEACChannelUnitConfiguration::defaultConfiguration("Beacon"));
        plat::MutexLock lock(mutex_);
        channelUnit_ = std::move(unit);
    }
}

void BEACBeacon::startServices(const std::optional<std::vector<BEACServiceClass>>& services,
                               const std::optional<std::string>& appSecret,
                               const std::optional<std::string>& transmissionTargetToken,
                               bool fromApplication) {
    if (!services)
        return;
    if (!sdkConfigured()) {
        BEACLogError(kBEACLogTag, "Beacon has not been configured so it couldn't start the service.");
        return;
    }
    auto sorted = sortServices(*services);
    std::vector<std::string> classNames;
    for (const auto& service : sorted)
        classNames.push_back(service.className);
    BEACLogVerbose(kBEACLogTag, "Start services %@ from %@", joined(classNames, ", "),
                   fromApplication ? "an application" : "a library");
    std::vector<std::string> names;
    for (const auto& service : sorted) {
        if (startService(service, appSecret, transmissionTargetToken, fromApplication))
            names.push_back(service.sharedInstance()->serviceName());
    }
    if (names.empty())
        BEACLogDebug(kBEACLogTag, "No services have been started.");
    else if (fromApplication)
        sendStartServiceLog(names);
}

std::vector<BEACServiceClass> BEACBeacon::sortServices(const std::vector<BEACServiceClass>& services) const {
    if (services.size() < 2)
        return services;
    // Entries that are not services sort last (stable), so that their start
    // reports them instead of failing here.
    auto priorityOf = [](const BEACServiceClass& service) -> int64_t {
        if (!service.isValid())
            return INT64_MIN;
        auto instance = service.sharedInstance();
        return instance ? instance->initializationPriority() : INT64_MIN;
    };
    std::vector<std::pair<int64_t, BEACServiceClass>> keyed;
    for (const auto& service : services)
        keyed.emplace_back(priorityOf(service), service);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<BEACServiceClass> sorted;
    for (auto& entry : keyed)
        sorted.push_back(std::move(entry.second));
    return sorted;
}

bool BEACBeacon::startService(const BEACServiceClass& service, const std::optional<std::string>& appSecret,
                              const std::optional<std::string>& transmissionTargetToken,
                              bool fromApplication) {
    checkNotInOperation("startService");
    plat::MutexLock operation(operationMutex_);
    OperationMark mark(*this);
    auto instance = service.isValid() ? service.sharedInstance() : nullptr;
    if (!instance) {
        BEACLogError(kBEACLogTag, "Cannot start service %@. Provided value is nil or invalid.",
                     service.className.empty() ? std::string("(null)") : service.className);
        return false;
    }
    if (!sdkConfigured() || (!configuredFromApplication() && fromApplication)) {
        BEACLogError(kBEACLogTag, "Beacon has not been configured so it couldn't start the service.");
        return false;
    }
    if (fromApplication && instance->isAvailable() && instance->isStartedFromApplication())
        return false;
    if (instance->isAppSecretRequired() && (!appSecret || appSecret->empty())) {
        BEACLogError(
            kBEACLogTag,
            "Cannot start service %@. Beacon was started without app secret, but the service requires it.",
            service.className);
        return false;
    }
    if (shouldDisable(instance->serviceName())) {
        BEACLogDebug(kBEACLogTag,
                     "Environment variable to disable service has been set; not starting service %@",
                     service.className);
        return false;
    }
    if (!instance->isAvailable()) {
        std::shared_ptr<BEACChannelGroupDefault> group;
        {
            plat::MutexLock lock(mutex_);
            if (std::find(services_.begin(), services_.end(), instance) == services_.end())
                services_.push_back(instance);
            group = channelGroup_;
        }
        instance->startWithChannelGroup(group, appSecret, transmissionTargetToken, fromApplication);
        if (instance->classIsEnabled() && !sdkEnabled()) {
            enabledStateUpdating_ = true;
            instance->classSetEnabled(false);
            enabledStateUpdating_ = false;
        }
    } else if (fromApplication) {
        instance->updateConfiguration(appSecret, transmissionTargetToken);
    }
    return true;
}

void BEACBeacon::sendStartServiceLog(const std::vector<std::string>& serviceNames) {
    checkNotInOperation("sendStartServiceLog");
    plat::MutexLock operation(operationMutex_);
    OperationMark mark(*this);
    sendStartServiceLogLocked(serviceNames);
}

void BEACBeacon::sendStartServiceLogLocked(const std::vector<std::string>& serviceNames) {
    if (sdkEnabled()) {
        auto log = std::make_shared<BEACStartServiceLog>();
        log->services = serviceNames;
        if (auto unit = channelUnit())
            unit->enqueueItem(log, BEACFlagsNormal);
        return;
    }
    plat::MutexLock lock(mutex_);
    if (!startedServiceNames_)
        startedServiceNames_.emplace();
    startedServiceNames_->insert(startedServiceNames_->end(), serviceNames.begin(), serviceNames.end());
}

bool BEACBeacon::shouldDisable(const std::string& serviceName) {
    auto value = plat::ProcessInfo::processInfo().environmentValue("BEACON_DISABLE");
    if (!value)
        return false;
    std::size_t start = 0;
    while (start <= value->size()) {
        std::size_t end = value->find(',', start);
        if (end == std::string::npos)
            end = value->size();
        std::string item = value->substr(start, end - start);
        auto first = item.find_first_not_of(" \t");
        auto last = item.find_last_not_of(" \t");
        item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
        if (item == serviceName || item == "All")
            return true;
        start = end + 1;
    }
    return false;
}

bool BEACBeacon::canBeUsed() const {
    if (!sdkConfigured()) {
        BEACLogError(kBEACLogTag,
                     "Beacon SDK hasn't been configured. You need to call [BEACBeacon start:YOUR_APP_SECRET "
                     "withServices:LIST_OF_SERVICES] first.");
        return false;
    }
    return true;
}

// Settings.

bool BEACBeacon::sdkEnabled() const {
    auto stored = BEACBeaconUserDefaults::shared()->objectForKey(kBEACEnabledKey);
    return !stored || !stored->isNumber() || stored->boolValue();
}

void BEACBeacon::enableSdk(bool isEnabled) {
    checkNotInOperation("setEnabled");
    plat::MutexLock operation(operationMutex_);
    OperationMark mark(*this);
    if (!canBeUsed())
        return;
    enabledStateUpdating_ = true;
    if (isEnabled != sdkEnabled()) {
        BEACBeaconUserDefaults::shared()->setObject(plat::Value(isEnabled), kBEACEnabledKey);
        applyPipelineEnabledStateLocked(isEnabled);
    }
    for (const auto& service : services())
        service->classSetEnabled(isEnabled);
    enabledStateUpdating_ = false;
    BEACLogInfo(kBEACLogTag, "Beacon SDK %@.", isEnabled ? "enabled" : "disabled");
}

void BEACBeacon::applyPipelineEnabledState(bool isEnabled) {
    checkNotInOperation("applyPipelineEnabledState");
    plat::MutexLock operation(operationMutex_);
    OperationMark mark(*this);
    applyPipelineEnabledStateLocked(isEnabled);
}

void BEACBeacon::applyPipelineEnabledStateLocked(bool isEnabled) {
    if (!isEnabled) {
        BEACDeviceTracker::sharedInstance()->clearDevices();
        BEACSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        BEACUserIdContext::sharedInstance()->clearUserIdHistory();
    }
    if (auto group = channelGroup())
        group->setEnabled(isEnabled, true);
    if (!isEnabled)
        return;
    std::optional<std::vector<std::string>> names;
    {
        plat::MutexLock lock(mutex_);
        names = std::move(startedServiceNames_);
        startedServiceNames_.reset();
    }
    if (names)
        sendStartServiceLogLocked(*names);
}

bool BEACBeacon::networkRequestsAllowed() const {
    auto stored = BEACBeaconUserDefaults::shared()->objectForKey(kBEACNetworkRequestsAllowedKey);
    return !stored || !stored->isNumber() || stored->boolValue();
}

void BEACBeacon::allowNetworkRequests(bool isAllowed) {
    checkNotInOperation("setNetworkRequestsAllowed");
    plat::MutexLock operation(operationMutex_);
    OperationMark mark(*this);
    BEACLogInfo(kBEACLogTag, "Beacon SDK network requests are %@.", isAllowed ? "allowed" : "forbidden");
    BEACBeaconUserDefaults::shared()->setObject(plat::Value(isAllowed), kBEACNetworkRequestsAllowedKey);
    auto group = channelGroup();
    if (!canBeUsed() || !group)
        return;
    // The group pauses under its own identity.
    auto identity = std::shared_ptr<const plat::Object>(group, &groupPauser_);
    if (isAllowed)
        group->resumeWithIdentifyingObject(identity);
    else
        group->pauseWithIdentifyingObject(identity);
}

void BEACBeacon::changeLogUrl(const std::string& logUrl) {
    checkNotInOperation("setLogUrl");
    plat::MutexLock operation(operationMutex_);
    OperationMark mark(*this);
    std::shared_ptr<BEACChannelGroupDefault> group;
    std::shared_ptr<BEACEventCollectorChannelDelegate> delegate;
    bool hasSecret = false;
    {
        plat::MutexLock lock(mutex_);
        logUrl_ = logUrl;
        group = channelGroup_;
        delegate = eventCollectorDelegate_;
        hasSecret = appSecret_.has_value();
    }
    if (!group)
        return;
    if (hasSecret) {
        BEACLogInfo(kBEACLogTag, "The log url of Beacon endpoint was changed to %@", logUrl);
        group->setLogUrl(logUrl);
    } else {
        BEACLogInfo(kBEACLogTag, "The log url of Event Collector endpoint was changed to %@", logUrl);
        delegate->setLogUrl(logUrl);
    }
}

void BEACBeacon::requestMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
    if (sizeInBytes < kMinStorageSizeInBytes) {
        if (completionHandler)
            completionHandler(false);
        BEACLogWarning(kBEACLogTag, "Cannot set storage size to %ld bytes, minimum value is %ld bytes",
                       sizeInBytes, kMinStorageSizeInBytes);
        return;
    }
    enum class Refusal { None, Again, Configured } refusal = Refusal::None;
    {
        checkNotInOperation("setMaxStorageSize");
        plat::MutexLock operation(operationMutex_);
        OperationMark mark(*this);
        std::shared_ptr<BEACChannelGroupDefault> group;
        {
            plat::MutexLock lock(mutex_);
            if (setMaxStorageSizeHasBeenCalled_) {
                refusal = Refusal::Again;
            } else {
                setMaxStorageSizeHasBeenCalled_ = true;
                if (configuredFromApplication()) {
                    refusal = Refusal::Configured;
                } else {
                    requestedMaxStorageSizeInBytes_ = sizeInBytes;
                    maxStorageSizeCompletionHandler_ = completionHandler;
                    group = channelGroup_;
                }
            }
        }
        // The group calls the completion later, on its own queue.
        if (group)
            group->setMaxStorageSize(sizeInBytes, completionHandler);
    }
    if (refusal == Refusal::None)
        return;
    if (refusal == Refusal::Again)
        BEACLogWarning(kBEACLogTag,
                       "setMaxStorageSize:completionHandler: may only be called once per app launch");
    else
        BEACLogWarning(kBEACLogTag, "Unable to set storage size after the application has configured Beacon");
    if (completionHandler)
        completionHandler(false);
}

void BEACBeacon::changeUserId(const std::optional<std::string>& userId) {
    if (!configuredFromApplication()) {
        BEACLogError(kBEACLogTag,
                     "Beacon must be configured from application, libraries cannot call setUserId.");
        return;
    }
    auto secret = appSecret();
    auto token = defaultTransmissionTargetToken();
    if (!secret && !token) {
        BEACLogError(kBEACLogTag,
                     "Beacon must be configured with a secret from application to call setUserId.");
        return;
    }
    if (userId) {
        if (secret && !BEACUserIdContext::isUserIdValidForBeacon(userId))
            return;
        if (token && !BEACUserIdContext::isUserIdValidForEventCollector(userId))
            return;
    }
    BEACUserIdContext::sharedInstance()->setUserId(userId);
}

plat::UUID BEACBeacon::currentInstallId() {
    plat::MutexLock lock(mutex_);
    if (!installId_) {
        auto stored = BEACBeaconUserDefaults::shared()->objectForKey(kBEACInstallIdKey);
        if (stored && stored->isString())
            installId_ = plat::UUID::fromString(*stored->asString());
        if (!installId_) {
            installId_ = plat::UUID();
            BEACBeaconUserDefaults::shared()->setObject(plat::Value(installId_->UUIDString()),
                                                        kBEACInstallIdKey);
        }
    }
    return *installId_;
}

void BEACBeacon::sendCustomPropertiesLog(const plat::Dictionary& properties) {
    auto unit = channelUnit();
    if (!unit)
        return;
    auto log = std::make_shared<BEACCustomPropertiesLog>();
    log->properties = properties;
    unit->enqueueItem(log, BEACFlagsNormal);
}

std::optional<std::string> BEACBeacon::appSecret() const {
    plat::MutexLock lock(mutex_);
    return appSecret_;
}
std::optional<std::string> BEACBeacon::defaultTransmissionTargetToken() const {
    plat::MutexLock lock(mutex_);
    return defaultTransmissionTargetToken_;
}
std::shared_ptr<BEACChannelGroupDefault> BEACBeacon::channelGroup() const {
    plat::MutexLock lock(mutex_);
    return channelGroup_;
}
std::shared_ptr<BEACChannelUnitProtocol> BEACBeacon::channelUnit() const {
    plat::MutexLock lock(mutex_);
    return channelUnit_;
}
std::shared_ptr<BEACEventCollectorChannelDelegate> BEACBeacon::eventCollectorDelegate() const {
    plat::MutexLock lock(mutex_);
    return eventCollectorDelegate_;
}
std::vector<std::shared_ptr<BEACServiceAbstract>> BEACBeacon::services() const {
    plat::MutexLock lock(mutex_);
    return services_;
}
std::optional<std::vector<std::string>> BEACBeacon::startedServiceNames() const {
    plat::MutexLock lock(mutex_);
    return startedServiceNames_;
}
