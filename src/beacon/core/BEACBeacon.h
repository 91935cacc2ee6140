// The telemetry SDK's facade: one process-wide instance holds the app secret,
// the default transmission target token, the channel group every log travels
// through, the core's own unit "Beacon" and the services started. Start-up
// parses the secret string, configures once (channel group with the log store
// and the ingestion, the core unit), starts the services listed in order of
// their initialisation priority and enqueues one "startService" log.
//
// SDK-wide switches live here too: enabling the whole SDK, allowing network
// requests, the log URL, the store's maximum size, the user id, the install
// id, and pass-throughs to the device tracker and the logger.
//
// Misuse is reported through the logger (tag "Beacon") and a false result;
// nothing throws.
//
// Threads: any thread. The facade's fields sit behind a leaf lock, never held
// while the facade calls out. Operations that change the pipeline
// (configuration, service starts, the SDK-wide switches) are serialised by an
// operation lock taken before it: an operation calls into the SDK's own
// channel group and services while holding it, so that a service never
// starts half-way through the SDK being switched off. It is always taken
// before a service's own lock, and never held while application code runs
// (a completion is called after it is released). Services read the facade's
// state from inside an operation (that takes the leaf lock only); starting an
// operation from inside one would wait for itself, and stops the process
// instead, naming the operation.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "beacon/core/BEACChannelGroupDefault.h"
#include "beacon/core/BEACCustomProperties.h"
#include "beacon/core/BEACDevice.h"
#include "beacon/core/BEACEventCollectorChannelDelegate.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACServiceAbstract.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/UUID.h"

// Builds the group's ingestion from the install id and the log URL. Tests
// install their own; the default sends over HTTP.
using BEACIngestionFactory = std::function<std::shared_ptr<BEACGroupIngestionProtocol>(
    const std::string& installId, const std::string& logUrl)>;

class BEACDependencyConfiguration {
  public:
    static BEACIngestionFactory ingestionFactory();
    static void setIngestionFactory(BEACIngestionFactory factory);
    // Null: the SQLite log store in the SDK folder.
    static std::shared_ptr<BEACStorage> storage();
    static void setStorage(std::shared_ptr<BEACStorage> storage);
    // The clock of the channel group's queue (its flush timers); null: the
    // queue's default.
    static std::shared_ptr<plat::dispatch::Clock> clock();
    static void setClock(std::shared_ptr<plat::dispatch::Clock> clock);
    // Makes the HTTP client of the Event Collector ingestion; null: a client
    // with default options.
    static std::function<std::shared_ptr<BEACHttpClientProtocol>()> eventCollectorHttpClientFactory();
    static void setEventCollectorHttpClientFactory(
        std::function<std::shared_ptr<BEACHttpClientProtocol>()> factory);
};

class BEACBeacon {
  public:
    static constexpr int64_t kMinStorageSizeInBytes = 24576;
    static const char* defaultLogUrl();

    static std::shared_ptr<BEACBeacon> sharedInstance();
    static void resetSharedInstance();

    // Class-level operations, on the shared instance.
    static void start(const std::optional<std::string>& secretString,
                      const std::optional<std::vector<BEACServiceClass>>& services);
    static void startWithServices(const std::optional<std::vector<BEACServiceClass>>& services);
    static void startFromLibraryWithServices(const std::optional<std::vector<BEACServiceClass>>& services);
    static void startService(const std::optional<BEACServiceClass>& service);
    static void configureWithAppSecret(const std::optional<std::string>& secretString);
    static void configure();
    static bool isConfigured();
    static bool isRunningInBeaconTestCloud();
    static std::string logTag() { return kBEACLogTag; }
    static std::string groupId() { return "Beacon"; }

    static void setEnabled(bool isEnabled);
    static bool isEnabled();
    static void setNetworkRequestsAllowed(bool isAllowed);
    static bool isNetworkRequestsAllowed();
    static void setLogUrl(const std::string& logUrl);
    static std::optional<std::string> logUrl();
    static void setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler);
    static void setUserId(const std::optional<std::string>& userId);
    static std::optional<std::string> userId();
    static plat::UUID installId();
    static void setCountryCode(const std::optional<std::string>& countryCode);
    static std::optional<std::string> countryCode();
    static void setWrapperSdk(std::shared_ptr<BEACWrapperSdk> wrapperSdk);
    static std::shared_ptr<BEACWrapperSdk> wrapperSdk();
    static void setCustomProperties(const BEACCustomProperties* customProperties);
    static bool isDebuggerAttached();
    static std::string sdkVersion();
    static bool isAppDelegateForwarderEnabled();
    // Also marks the level user-defined and flushes the forwarder's traces.
    static void setLogLevel(BEACLogLevel level);
    static BEACLogLevel logLevel();

    // Instance operations.
    bool configureWithAppSecret(const std::optional<std::string>& appSecret,
                                const std::optional<std::string>& transmissionTargetToken,
                                bool fromApplication) EXCLUDES(operationMutex_, mutex_);
    void start(const std::optional<std::string>& secretString,
               const std::optional<std::vector<BEACServiceClass>>& services, bool fromApplication);
    void startServices(const std::optional<std::vector<BEACServiceClass>>& services,
                       const std::optional<std::string>& appSecret,
                       const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    std::vector<BEACServiceClass> sortServices(const std::vector<BEACServiceClass>& services) const;
    bool startService(const BEACServiceClass& service, const std::optional<std::string>& appSecret,
                      const std::optional<std::string>& transmissionTargetToken, bool fromApplication)
        EXCLUDES(operationMutex_, mutex_);
    void sendStartServiceLog(const std::vector<std::string>& serviceNames) EXCLUDES(operationMutex_, mutex_);
    static bool shouldDisable(const std::string& serviceName);
    // The main bundle has an app version and build; logs the missing keys
    // and how to set them (at the level printed by default) when not.
    static bool hasBundleVersions();
    // Logs the "hasn't been configured" error when false.
    bool canBeUsed() const;

    void enableSdk(bool isEnabled) EXCLUDES(operationMutex_, mutex_);
    // The stored state ("BeaconIsEnabled", YES when absent); takes no lock.
    bool sdkEnabled() const;
    void applyPipelineEnabledState(bool isEnabled) EXCLUDES(operationMutex_, mutex_);
    void allowNetworkRequests(bool isAllowed) EXCLUDES(operationMutex_, mutex_);
    // The stored value ("NetworkRequestsAllowed", YES when absent); takes no
    // lock, so ingestions may ask under their own locks.
    bool networkRequestsAllowed() const;
    void changeLogUrl(const std::string& logUrl) EXCLUDES(operationMutex_, mutex_);
    // The completion is called without the facade's locks held.
    void requestMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler)
        EXCLUDES(operationMutex_, mutex_);
    void changeUserId(const std::optional<std::string>& userId) EXCLUDES(mutex_);
    plat::UUID currentInstallId() EXCLUDES(mutex_);
    void sendCustomPropertiesLog(const plat::Dictionary& properties) EXCLUDES(mutex_);

    bool sdkConfigured() const { return sdkConfigured_.load(); }
    bool configuredFromApplication() const { return configuredFromApplication_.load(); }
    bool enabledStateUpdating() const { return enabledStateUpdating_.load(); }
    std::optional<std::string> appSecret() const EXCLUDES(mutex_);
    std::optional<std::string> defaultTransmissionTargetToken() const EXCLUDES(mutex_);
    std::shared_ptr<BEACChannelGroupDefault> channelGroup() const EXCLUDES(mutex_);
    std::shared_ptr<BEACChannelUnitProtocol> channelUnit() const EXCLUDES(mutex_);
    std::shared_ptr<BEACEventCollectorChannelDelegate> eventCollectorDelegate() const EXCLUDES(mutex_);
    std::vector<std::shared_ptr<BEACServiceAbstract>> services() const EXCLUDES(mutex_);
    std::optional<std::vector<std::string>> startedServiceNames() const EXCLUDES(mutex_);

    BEACBeacon();

  private:
    // Marks the calling thread as running an operation while it lives.
    class OperationMark;

    void initializeChannelGroupLocked() REQUIRES(operationMutex_) EXCLUDES(mutex_);
    void applyPipelineEnabledStateLocked(bool isEnabled) REQUIRES(operationMutex_) EXCLUDES(mutex_);
    void sendStartServiceLogLocked(const std::vector<std::string>& serviceNames) REQUIRES(operationMutex_)
        EXCLUDES(mutex_);
    // Stops the process when the calling thread already runs an operation.
    void checkNotInOperation(const char* operation) const;
    static std::string logUrlOrDefault(const std::optional<std::string>& logUrl);

    plat::Mutex operationMutex_ ACQUIRED_BEFORE(mutex_);
    std::atomic<std::thread::id> operationThread_{};
    mutable plat::Mutex mutex_;
    std::atomic<bool> sdkConfigured_{false};
    std::atomic<bool> configuredFromApplication_{false};
    std::atomic<bool> enabledStateUpdating_{false};
    bool setMaxStorageSizeHasBeenCalled_ GUARDED_BY(mutex_) = false;
    std::optional<plat::UUID> installId_ GUARDED_BY(mutex_);
    std::optional<std::string> logUrl_ GUARDED_BY(mutex_);
    std::shared_ptr<BEACChannelUnitProtocol> channelUnit_ GUARDED_BY(mutex_);
    std::shared_ptr<BEACChannelGroupDefault> channelGroup_ GUARDED_BY(mutex_);
    std::shared_ptr<BEACEventCollectorChannelDelegate> eventCollectorDelegate_ GUARDED_BY(mutex_);
    std::vector<std::shared_ptr<BEACServiceAbstract>> services_ GUARDED_BY(mutex_);
    std::optional<std::vector<std::string>> startedServiceNames_ GUARDED_BY(mutex_);
    std::optional<std::string> appSecret_ GUARDED_BY(mutex_);
    std::optional<std::string> defaultTransmissionTargetToken_ GUARDED_BY(mutex_);
    std::optional<int64_t> requestedMaxStorageSizeInBytes_ GUARDED_BY(mutex_);
    std::function<void(bool)> maxStorageSizeCompletionHandler_ GUARDED_BY(mutex_);
    // The identity the group pauses under while network requests are forbidden.
    const plat::Object groupPauser_;
};
