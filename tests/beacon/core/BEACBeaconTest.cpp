#include "beacon/core/BEACBeacon.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <future>

#include "FakeServices.h"
#include "PipelineTestSupport.h"
#include "beacon/core/BEACDelegateForwarder.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACStartServiceLog.h"
#include "beacon/core/BEACUserIdContext.h"

using namespace beactest;

namespace {

constexpr const char* kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

// Honours the facade's network switch, as the HTTP ingestion does.
class FacadeIngestion : public FakeIngestion {
  public:
    bool isEnabled() const override {
        return FakeIngestion::isEnabled() && BEACBeacon::sharedInstance()->networkRequestsAllowed();
    }
    std::string installId;
};

class BeaconTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("BEACON_DISABLE");
        resetShared();
        BEACDependencyConfiguration::setClock(clock);
        BEACDependencyConfiguration::setIngestionFactory(
            [this](const std::string& installId, const std::string& url) {
                auto made = std::make_shared<FacadeIngestion>();
                made->installId = installId;
                made->setBaseURL(url);
                ingestion = made;
                return made;
            });
    }
    void TearDown() override {
        drain();
        if (ingestion)
            ingestion->dropCalls();
        BEACDependencyConfiguration::setIngestionFactory(nullptr);
        BEACDependencyConfiguration::setClock(nullptr);
        resetShared();
        unsetenv("BEACON_DISABLE");
    }
    static void resetShared() {
        BEACBeacon::resetSharedInstance();
        FakeCrashes::reset();
        FakeAnalytics::reset();
        BEACSessionContext::resetSharedInstance();
        BEACUserIdContext::resetSharedInstance();
    }
    std::shared_ptr<BEACBeacon> beacon() { return BEACBeacon::sharedInstance(); }
    void drain() {
        if (auto group = beacon()->channelGroup()) {
            group->queue().sync([] {});
            group->queue().sync([] {});
        }
    }
    void advance(double seconds) {
        drain();
        now.advance(seconds);
        clock->advance(seconds);
        drain();
    }
    // The logs of a group still in the store (reserves them).
    std::vector<BEACLogPtr> stored(const std::string& groupId) {
        drain();
        std::vector<BEACLogPtr> logs;
        beacon()->channelGroup()->storage()->loadLogsWithGroupId(
            groupId, 100, std::nullopt, [&](const auto& loaded, const auto&) { logs = loaded; });
        return logs;
    }
    std::vector<std::string> startServiceNames() {
        std::vector<std::string> names;
        for (const auto& log : stored("Beacon")) {
            if (auto start = std::dynamic_pointer_cast<BEACStartServiceLog>(log))
                names.insert(names.end(), start->services->begin(), start->services->end());
        }
        return names;
    }
    static std::vector<BEACServiceClass> both() {
        return {FakeAnalytics::serviceClass(), FakeCrashes::serviceClass()};
    }

    TestBundle bundle;
    SandboxedSDK sdk;
    ManualNow now;
    CapturingLog log;
    std::shared_ptr<plat::dispatch::ManualClock> clock = std::make_shared<plat::dispatch::ManualClock>();
    std::shared_ptr<FacadeIngestion> ingestion;
};

}  // namespace

// Without an app version and build every log would be invalid and dropped:
// the start fails at once, saying which keys are missing and how to set them.
TEST_F(BeaconTest, StartWithoutBundleVersionsFailsAndNamesTheMissingKeys) {
    const std::string missing =
        "Beacon SDK cannot start: the application's bundle information lacks %@. Logs without an app "
        "version and build are invalid and would never be sent.";
    plat::Bundle::mainBundle().setInfoDictionary(
        plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.kestrel.test")}});
    BEACBeacon::start(std::string(kSecret), both());
    EXPECT_FALSE(BEACBeacon::isConfigured());
    EXPECT_TRUE(beacon()->services().empty());
    EXPECT_EQ(log.count(plat::format(missing,
                                     "\"CFBundleShortVersionString\" (app version) and "
                                     "\"CFBundleVersion\" (app build)")),
              1u);
    bool loud = false;
    for (const auto& line : log.lines())
        loud |= line.level == BEACLogLevelAssert &&
                line.message.find("setInfoDictionary") != std::string::npos &&
                line.message.find("Info.plist") != std::string::npos;
    EXPECT_TRUE(loud) << "the way to set them is printed at the default level";

    // Only the build missing: only the build is named.
    log.clear();
    plat::Bundle::mainBundle().setInfoDictionary(
        plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.kestrel.test")},
                         {"CFBundleShortVersionString", plat::Value("1.2")}});
    BEACBeacon::configureWithAppSecret(std::string(kSecret));
    EXPECT_FALSE(BEACBeacon::isConfigured());
    EXPECT_EQ(log.count(plat::format(missing, "\"CFBundleVersion\" (app build)")), 1u);

    // With both the start succeeds.
    TestBundle complete;
    BEACBeacon::start(std::string(kSecret), both());
    EXPECT_TRUE(BEACBeacon::isConfigured());
}

TEST_F(BeaconTest, LaunchStartsCrashesFirstAndSendsOneStartServiceLog) {
    BEACBeacon::start(std::string(kSecret), both());
    auto services = beacon()->services();
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(services[0]->serviceName(), "Crashes");
    EXPECT_EQ(services[1]->serviceName(), "Analytics");
    EXPECT_EQ(log.count("Beacon SDK configured successfully."), 1u);
    EXPECT_EQ(startServiceNames(), (std::vector<std::string>{"Crashes", "Analytics"}));
    // The crash service, a delegate of the group, saw the log prepared.
    EXPECT_EQ(FakeCrashes::shared()->prepared, std::vector<std::string>{"startService"});
    auto group = beacon()->channelGroup();
    EXPECT_TRUE(group->channelUnitForGroupId("Beacon"));
    EXPECT_TRUE(group->channelUnitForGroupId("Crashes"));
    EXPECT_TRUE(group->channelUnitForGroupId("Analytics"));
    EXPECT_EQ(ingestion->installId, BEACBeacon::installId().UUIDString());
    EXPECT_EQ(ingestion->baseURL(), BEACBeacon::defaultLogUrl());
    EXPECT_EQ(ingestion->appSecret(), kSecret);
}

TEST_F(BeaconTest, SecretStringGrammar) {
    struct Case {
        std::optional<std::string> secretString;
        std::optional<std::string> secret;
        std::optional<std::string> token;
        bool crashesStarts;
    } cases[] = {
        {std::string(kSecret), std::string(kSecret), std::nullopt, true},
        {"target=tok1;" + std::string(kSecret), std::string(kSecret), std::string("tok1"), true},
        {std::string("target=tok2"), std::nullopt, std::string("tok2"), false},
        {std::string("appsecret=abc;macos=xyz"), std::string("xyz"), std::nullopt, true},
        {std::string("appsecret=abc"), std::string("abc"), std::nullopt, true},
        {std::string(";;"), std::nullopt, std::nullopt, false},
        {std::nullopt, std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secretString.value_or("(nil)"));
        TearDown();
        SetUp();
        log.clear();
        BEACBeacon::start(c.secretString, both());
        EXPECT_EQ(beacon()->appSecret(), c.secret);
        EXPECT_EQ(beacon()->defaultTransmissionTargetToken(), c.token);
        EXPECT_EQ(FakeCrashes::shared()->isStarted(), c.crashesStarts);
        EXPECT_TRUE(FakeAnalytics::shared()->isStarted());
        EXPECT_EQ(
            log.count("Cannot start service BEACCrashes. Beacon was started without app secret, but the "
                      "service requires it."),
            c.crashesStarts ? 0u : 1u);
    }
}

TEST_F(BeaconTest, SecondStartAndRepeatedServices) {
    BEACBeacon::start(std::string(kSecret), std::vector<BEACServiceClass>{FakeAnalytics::serviceClass(),
                                                                          FakeAnalytics::serviceClass()});
    EXPECT_EQ(beacon()->services().size(), 1u);
    EXPECT_EQ(startServiceNames(), std::vector<std::string>{"Analytics"});

    BEACBeacon::start(std::string(kSecret), both());
    EXPECT_EQ(log.count("Beacon SDK has already been configured."), 1u);
    EXPECT_EQ(log.count("Beacon SDK configuration failed."), 1u);
    EXPECT_FALSE(FakeCrashes::shared()->isStarted());

    // A library configures again without changing the secret.
    BEACBeacon::sharedInstance()->configureWithAppSecret(std::string("other"), std::nullopt, false);
    EXPECT_EQ(beacon()->appSecret(), kSecret);
    EXPECT_EQ(log.count("Beacon SDK configured from a library successfully."), 1u);

    // A later single start adds a service without configuring again.
    BEACBeacon::startService(FakeCrashes::serviceClass());
    EXPECT_TRUE(FakeCrashes::shared()->isStarted());
    BEACBeacon::startService(BEACServiceClass{"NotAService", nullptr});
    EXPECT_EQ(log.count("Cannot start service NotAService. Provided value is nil or invalid."), 1u);
}

TEST_F(BeaconTest, NothingStartsBeforeConfigurationOrWithEmptyLists) {
    BEACBeacon::startService(FakeAnalytics::serviceClass());
    EXPECT_EQ(log.count("Beacon has not been configured so it couldn't start the service."), 1u);
    EXPECT_FALSE(FakeAnalytics::shared()->isStarted());
    EXPECT_FALSE(BEACBeacon::isEnabled());
    EXPECT_TRUE(log.containsPrefix("Beacon SDK hasn't been configured.", BEACLogLevelError));

    BEACBeacon::start(std::string(kSecret), std::nullopt);
    EXPECT_TRUE(BEACBeacon::isConfigured());
    EXPECT_FALSE(log.containsPrefix("Start services", BEACLogLevelVerbose));
    beacon()->startServices(std::vector<BEACServiceClass>{}, std::string(kSecret), std::nullopt, true);
    EXPECT_EQ(log.count("Start services  from an application"), 1u);
    EXPECT_EQ(log.count("No services have been started."), 1u);
}

TEST_F(BeaconTest, DisableEnvironmentVariableKeepsServicesFromStarting) {
    for (const char* value : {"All", " Analytics ,\tCrashes", "Crashes"}) {
        SCOPED_TRACE(value);
        TearDown();
        SetUp();
        setenv("BEACON_DISABLE", value, 1);
        BEACBeacon::start(std::string(kSecret), both());
        EXPECT_FALSE(FakeCrashes::shared()->isStarted());
        EXPECT_EQ(FakeAnalytics::shared()->isStarted(), std::string(value) == "Crashes");
    }
    EXPECT_FALSE(BEACBeacon::shouldDisable("Analytic"));
    EXPECT_TRUE(BEACBeacon::shouldDisable("Crashes"));
}

TEST_F(BeaconTest, DisabledSdkPostponesStartServiceLogUntilEnabled) {
    BEACBeaconUserDefaults::shared()->setObject(plat::Value(false), "BeaconIsEnabled");
    BEACBeacon::start(std::string(kSecret), both());
    EXPECT_TRUE(FakeCrashes::shared()->isStarted());
    EXPECT_FALSE(FakeCrashes::shared()->isEnabled());
    EXPECT_FALSE(FakeAnalytics::shared()->isEnabled());
    EXPECT_TRUE(stored("Beacon").empty());
    EXPECT_EQ(beacon()->startedServiceNames(), (std::vector<std::string>{"Crashes", "Analytics"}));

    // A service cannot be enabled alone while the SDK is off.
    FakeAnalytics::shared()->classSetEnabled(true);
    EXPECT_EQ(log.count("The SDK is disabled. Re-enable the whole SDK from Beacon first before enabling "
                        "Analytics service."),
              1u);
    EXPECT_FALSE(FakeAnalytics::shared()->isEnabled());

    BEACBeacon::setEnabled(true);
    EXPECT_TRUE(FakeAnalytics::shared()->isEnabled());
    EXPECT_TRUE(FakeCrashes::shared()->isEnabled());
    EXPECT_EQ(startServiceNames(), (std::vector<std::string>{"Crashes", "Analytics"}));
    EXPECT_FALSE(beacon()->startedServiceNames());
    EXPECT_EQ(log.count("Beacon SDK enabled."), 1u);
}

TEST_F(BeaconTest, DisablingSdkEmptiesStoreAndSwitchesServices) {
    BEACBeacon::start(std::string(kSecret), both());
    EXPECT_FALSE(stored("Beacon").empty());
    BEACBeacon::setEnabled(false);
    drain();
    EXPECT_EQ(beacon()->channelGroup()->storage()->countLogs(), 0u);
    EXPECT_FALSE(FakeAnalytics::shared()->isEnabled());
    EXPECT_FALSE(BEACBeacon::isEnabled());
    EXPECT_EQ(BEACBeaconUserDefaults::shared()->objectForKey("AnalyticsIsEnabled"), plat::Value(false));
    BEACBeacon::setEnabled(true);
    EXPECT_TRUE(FakeAnalytics::shared()->isEnabled());
    EXPECT_EQ(log.count("Beacon SDK disabled."), 1u);
}

TEST_F(BeaconTest, RestartingDisabledServiceCreatesNoSecondUnit) {
    BEACBeacon::start(std::string(kSecret), both());
    FakeAnalytics::shared()->classSetEnabled(false);
    BEACBeacon::startFromLibraryWithServices(std::vector<BEACServiceClass>{FakeAnalytics::serviceClass()});
    BEACBeacon::startService(FakeAnalytics::serviceClass());
    std::size_t units = 0;
    for (const auto& unit : beacon()->channelGroup()->channels())
        units += unit->configuration().groupId() == "Analytics";
    EXPECT_EQ(units, 1u);
    EXPECT_EQ(beacon()->services().size(), 2u);
}

TEST_F(BeaconTest, SdkAndServiceSwitchesOnTwoThreadsDoNotDeadlock) {
    BEACBeacon::start(std::string(kSecret), both());
    auto sdkSide = std::async(std::launch::async, [] {
        for (int i = 0; i < 100; ++i)
            BEACBeacon::setEnabled(i % 2 == 0);
    });
    auto serviceSide = std::async(std::launch::async, [] {
        for (int i = 0; i < 100; ++i) {
            FakeAnalytics::shared()->classSetEnabled(i % 2 == 0);
            FakeAnalytics::shared()->classIsEnabled();
        }
    });
    ASSERT_EQ(sdkSide.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    ASSERT_EQ(serviceSide.wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

TEST_F(BeaconTest, NetworkForbiddenKeepsLogsUntilAllowed) {
    BEACBeacon::setNetworkRequestsAllowed(false);
    BEACBeacon::start(std::string(kSecret), both());
    advance(3);
    EXPECT_EQ(ingestion->callCount(), 0u);
    EXPECT_EQ(beacon()->channelGroup()->storage()->countLogs(), 1u);
    BEACBeacon::setNetworkRequestsAllowed(true);
    EXPECT_TRUE(BEACBeacon::isNetworkRequestsAllowed());
    advance(3);
    ASSERT_EQ(ingestion->callCount(), 1u);
}

TEST_F(BeaconTest, MaxStorageSizeRules) {
    std::vector<bool> results;
    auto record = [&](bool ok) { results.push_back(ok); };
    BEACBeacon::setMaxStorageSize(24575, record);
    EXPECT_EQ(results, std::vector<bool>{false});
    BEACBeacon::setMaxStorageSize(24576, record);  // applied when the group is made
    BEACBeacon::setMaxStorageSize(40000, record);
    EXPECT_EQ(results, (std::vector<bool>{false, false}));
    EXPECT_EQ(log.count("setMaxStorageSize:completionHandler: may only be called once per app launch"), 1u);
    BEACBeacon::start(std::string(kSecret), std::nullopt);
    drain();
    EXPECT_EQ(results, (std::vector<bool>{false, false, true}));

    TearDown();
    SetUp();
    BEACBeacon::start(std::string(kSecret), std::nullopt);
    std::vector<bool> late;
    BEACBeacon::setMaxStorageSize(50000, [&](bool ok) { late.push_back(ok); });
    EXPECT_EQ(late, std::vector<bool>{false});
    EXPECT_EQ(log.count("Unable to set storage size after the application has configured Beacon"), 1u);
}

TEST_F(BeaconTest, InstallIdUserIdAndLogUrl) {
    BEACBeaconUserDefaults::shared()->setObject(plat::Value("not-a-uuid"), "InstallId");
    auto id = BEACBeacon::installId();
    EXPECT_EQ(BEACBeaconUserDefaults::shared()->objectForKey("InstallId"), plat::Value(id.UUIDString()));
    BEACBeacon::resetSharedInstance();
    EXPECT_EQ(BEACBeacon::installId(), id);

    BEACBeacon::setLogUrl("https://before.invalid");
    BEACBeacon::start(std::string(kSecret), std::nullopt);
    EXPECT_EQ(ingestion->baseURL(), "https://before.invalid");
    BEACBeacon::setLogUrl("https://after.invalid");
    EXPECT_EQ(ingestion->baseURL(), "https://after.invalid");
    EXPECT_EQ(log.count("The log url of Beacon endpoint was changed to https://after.invalid"), 1u);

    BEACBeacon::setUserId(std::string("alice"));
    EXPECT_EQ(BEACBeacon::userId(), "alice");
    BEACBeacon::setUserId(std::string(257, 'u'));
    EXPECT_EQ(BEACBeacon::userId(), "alice");
}

TEST_F(BeaconTest, EventCollectorDelegateGetsTwinsAndTheLogUrlWithoutSecret) {
    BEACBeacon::setLogUrl("https://collector.invalid");
    BEACBeacon::start(std::string("target=tok"), std::nullopt);
    auto collector = BEACBeacon::sharedInstance()->eventCollectorDelegate();
    ASSERT_TRUE(collector);
    EXPECT_EQ(collector->eventCollectorIngestion()->baseURL(), "https://collector.invalid");
    EXPECT_TRUE(BEACBeacon::sharedInstance()->channelGroup()->channelUnitForGroupId("Beacon/one"));
    BEACBeacon::setLogUrl("https://other.invalid");
    EXPECT_EQ(collector->eventCollectorIngestion()->baseURL(), "https://other.invalid");
    EXPECT_EQ(log.count("The log url of Event Collector endpoint was changed to https://other.invalid"), 1u);

    // With a secret the log URL is the Beacon endpoint's only.
    resetShared();
    BEACBeacon::setLogUrl("https://beacon.invalid");
    BEACBeacon::start(std::string(kSecret), std::nullopt);
    EXPECT_EQ(BEACBeacon::sharedInstance()->eventCollectorDelegate()->eventCollectorIngestion()->baseURL(),
              BEACEventCollectorChannelDelegate::defaultBaseUrl());
}

TEST_F(BeaconTest, UserIdRefusedFromLibraryOrWithoutSecret) {
    BEACBeacon::startFromLibraryWithServices(std::nullopt);
    BEACBeacon::setUserId(std::string("bob"));
    EXPECT_EQ(log.count("Beacon must be configured from application, libraries cannot call setUserId."), 1u);
    BEACBeacon::configure();
    BEACBeacon::setUserId(std::string("bob"));
    EXPECT_EQ(log.count("Beacon must be configured with a secret from application to call setUserId."), 1u);
}

TEST_F(BeaconTest, CustomPropertiesLogGoesThroughCoreUnit) {
    BEACBeacon::start(std::string(kSecret), std::nullopt);
    BEACCustomProperties empty;
    empty.setString(std::string(200, 'x'), std::string("key"));  // refused
    BEACBeacon::setCustomProperties(&empty);
    BEACBeacon::setCustomProperties(nullptr);
    EXPECT_EQ(log.count("Custom properties may not be null or empty"), 2u);

    BEACCustomProperties properties;
    properties.setBool(true, std::string("flag"))
        .setInteger(1, std::string("count"))
        .clearPropertyForKey(std::string("gone"));
    BEACBeacon::setCustomProperties(&properties);
    auto logs = stored("Beacon");
    ASSERT_EQ(logs.size(), 1u);
    auto custom = std::dynamic_pointer_cast<BEACCustomPropertiesLog>(logs[0]);
    ASSERT_TRUE(custom);
    auto json = custom->serializeToDictionary();
    EXPECT_EQ(*json.find("type")->asString(), "customProperties");
    const auto& list = *json.find("properties")->asArray();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(*list[0].asDictionary()->find("type")->asString(), "boolean");
    EXPECT_TRUE(list[0].asDictionary()->find("value")->isBool());
    EXPECT_EQ(*list[1].asDictionary()->find("type")->asString(), "number");
    EXPECT_EQ(*list[2].asDictionary()->find("type")->asString(), "clear");
    EXPECT_FALSE(list[2].asDictionary()->find("value"));
}

namespace {

// A service that reads the facade while it starts, and (when told to)
// switches the whole SDK from inside its own start.
class ReadingService : public FakeServiceBase<ReadingService> {
  public:
    static constexpr const char* kClassName = "BEACReading";
    std::string serviceName() const override { return "Reading"; }
    std::string logTag() const override { return "BeaconReading"; }
    std::string groupId() const override { return "Reading"; }
    std::string className() const override { return kClassName; }
    bool isAppSecretRequired() const override { return false; }
    void applyEnabledState(bool isEnabled) override {
        FakeServiceBase<ReadingService>::applyEnabledState(isEnabled);
        auto beacon = BEACBeacon::sharedInstance();
        sawGroup = beacon->channelGroup() != nullptr;
        sawSecret = beacon->appSecret().has_value();
        sawInstallId = !BEACBeacon::installId().UUIDString().empty();
        sawEnabled = BEACBeacon::isEnabled();
        if (switchSdk)
            BEACBeacon::setEnabled(true);
        if (switchSelf && !isEnabled)
            classSetEnabled(true);
    }
    bool sawGroup = false, sawSecret = false, sawInstallId = false, sawEnabled = false;
    static inline bool switchSdk = false;
    static inline bool switchSelf = false;
};

}  // namespace

// The facade holds only its operation lock while a service starts: the
// service reads the facade's state freely, and a completion the facade calls
// runs with no lock held, so it may call the facade again. An operation
// started from inside a service's start would wait for itself: the process
// stops and names it.
TEST_F(BeaconTest, ServicesAndCompletionsMayReadTheFacadeButNotNestOperations) {
    std::vector<bool> results;
    std::optional<std::string> urlSeen;
    BEACBeacon::setMaxStorageSize(100, [&](bool ok) {
        results.push_back(ok);
        urlSeen = BEACBeacon::logUrl();
        BEACBeacon::setMaxStorageSize(200, [&](bool again) { results.push_back(again); });
    });
    EXPECT_EQ(results, (std::vector<bool>{false, false}));
    EXPECT_FALSE(urlSeen);

    BEACBeacon::start(std::string(kSecret), std::vector<BEACServiceClass>{ReadingService::serviceClass()});
    auto service = ReadingService::shared();
    EXPECT_TRUE(service->sawGroup);
    EXPECT_TRUE(service->sawSecret);
    EXPECT_TRUE(service->sawInstallId);
    EXPECT_TRUE(service->sawEnabled);
    ReadingService::reset();

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ReadingService::switchSdk = true;
            BEACBeacon::resetSharedInstance();
            BEACBeacon::start(std::string(kSecret),
                              std::vector<BEACServiceClass>{ReadingService::serviceClass()});
        },
        "setEnabled was called from inside another operation");
    EXPECT_DEATH(
        {
            ReadingService::switchSelf = true;
            BEACBeacon::resetSharedInstance();
            BEACBeacon::start(std::string(kSecret),
                              std::vector<BEACServiceClass>{ReadingService::serviceClass()});
            ReadingService::shared()->classSetEnabled(false);
        },
        "BEACReading was switched through its class-level switch from inside its own switching");
    ReadingService::reset();
}
