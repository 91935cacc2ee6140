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
// Threads: any thread. One recursive lock guards configuration, service
// starts and the switches; it is always taken before a service's own lock.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACChannelGroupDefault.h"
#include "beacon/core/BEACCustomProperties.h"
#include "beacon/core/BEACDevice.h"
#include "beacon/core/BEACEventCollectorChannelDelegate.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACServiceAbstract.h"
#include "platform/dispatch/Clock.h"
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
                                bool fromApplication);
    void start(const std::optional<std::string>& secretString,
               const std::optional<std::vector<BEACServiceClass>>& services, bool fromApplication);
    void startServices(const std::optional<std::vector<BEACServiceClass>>& services,
                       const std::optional<std::string>& appSecret,
                       const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    std::vector<BEACServiceClass> sortServices(const std::vector<BEACServiceClass>& services) const;
    bool startService(const BEACServiceClass& service, const std::optional<std::string>& appSecret,
                      const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    void sendStartServiceLog(const std::vector<std::string>& serviceNames);
    static bool shouldDisable(const std::string& serviceName);
    // The main bundle has an app version and build; logs the missing keys
    // and how to set them (at the level printed by default) when not.
    static bool hasBundleVersions();
    // Logs the "hasn't been configured" error when false.
    bool canBeUsed() const;

    void enableSdk(bool isEnabled);
    // The stored state ("BeaconIsEnabled", YES when absent); takes no lock.
    bool sdkEnabled() const;
    void applyPipelineEnabledState(bool isEnabled);
    void allowNetworkRequests(bool isAllowed);
    // The stored value ("NetworkRequestsAllowed", YES when absent); takes no
    // lock, so ingestions may ask under their own locks.
    bool networkRequestsAllowed() const;
    void changeLogUrl(const std::string& logUrl);
    void requestMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler);
    void changeUserId(const std::optional<std::string>& userId);
    plat::UUID currentInstallId();
    void sendCustomPropertiesLog(const plat::Dictionary& properties);

    bool sdkConfigured() const { return sdkConfigured_.load(); }
    bool configuredFromApplication() const { return configuredFromApplication_.load(); }
    bool enabledStateUpdating() const { return enabledStateUpdating_.load(); }
    std::optional<std::string> appSecret() const;
    std::optional<std::string> defaultTransmissionTargetToken() const;
    std::shared_ptr<BEACChannelGroupDefault> channelGroup() const;
    std::shared_ptr<BEACChannelUnitProtocol> channelUnit() const;
    std::shared_ptr<BEACEventCollectorChannelDelegate> eventCollectorDelegate() const;
    std::vector<std::shared_ptr<BEACServiceAbstract>> services() const;
    std::optional<std::vector<std::string>> startedServiceNames() const;

    BEACBeacon();

  private:
    void initializeChannelGroup();
    static std::string logUrlOrDefault(const std::optional<std::string>& logUrl);

    mutable std::recursive_mutex mutex_;
    std::atomic<bool> sdkConfigured_{false};
    std::atomic<bool> configuredFromApplication_{false};
    std::atomic<bool> enabledStateUpdating_{false};
    bool setMaxStorageSizeHasBeenCalled_ = false;
    std::optional<plat::UUID> installId_;
    std::optional<std::string> logUrl_;
    std::shared_ptr<BEACChannelUnitProtocol> channelUnit_;
    std::shared_ptr<BEACChannelGroupDefault> channelGroup_;
    std::shared_ptr<BEACEventCollectorChannelDelegate> eventCollectorDelegate_;
    std::vector<std::shared_ptr<BEACServiceAbstract>> services_;
    std::optional<std::vector<std::string>> startedServiceNames_;
    std::optional<std::string> appSecret_;
    std::optional<std::string> defaultTransmissionTargetToken_;
    std::optional<int64_t> requestedMaxStorageSizeInBytes_;
    std::function<void(bool)> maxStorageSizeCompletionHandler_;
    // The identity the group pauses under while network requests are forbidden.
    plat::Object groupPauser_;
};
