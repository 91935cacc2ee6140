// Transmission targets and their property configurators on the started
// service: the enabled state down the tree and shared by target key, the
// precedence of configured properties, the Shared Schema fields filled in,
// ticket keys, and what a disabled target refuses.
#include "beacon/analytics/BEACAnalyticsTransmissionTarget.h"

#include "AnalyticsTestSupport.h"
#include "beacon/core/BEACTicketCache.h"
#include "platform/foundation/ProcessInfo.h"

using namespace beactest;

namespace {

class TransmissionTargetTest : public AnalyticsFixture {
  protected:
    void SetUp() override {
        AnalyticsFixture::SetUp();
        start();
    }
    // The Shared Schema logs made for the Event Collector.
    std::vector<std::shared_ptr<BEACSharedSchemaLog>> collectorLogs() const {
        std::vector<std::shared_ptr<BEACSharedSchemaLog>> out;
        for (const auto& log : prepared->of("Analytics/one"))
            out.push_back(std::dynamic_pointer_cast<BEACSharedSchemaLog>(log));
        return out;
    }
    static std::map<std::string, std::string> stringsOf(const BEACEventLog& event) {
        std::map<std::string, std::string> out;
        if (event.typedProperties)
            for (const auto& [key, property] : event.typedProperties->properties())
                if (auto* s = dynamic_cast<const BEACStringTypedProperty*>(property.get()))
                    out[key] = s->value.value_or("");
        return out;
    }
    std::shared_ptr<BEACEventLog> lastEvent() const {
        auto events = prepared->of("Analytics", "event");
        return events.empty() ? nullptr : std::dynamic_pointer_cast<BEACEventLog>(events.back());
    }
};

TEST_F(TransmissionTargetTest, EnabledStateFollowsTheTreeAndIsSharedByTargetKey) {
    CapturingLog log;
    auto parent = BEACAnalytics::transmissionTargetForToken("parent-token");
    EXPECT_EQ(BEACAnalytics::transmissionTargetForToken("parent-token"), parent);
    EXPECT_EQ(parent->isEnabledKey(), "AnalyticsIsEnabled/parent");
    auto child = parent->transmissionTargetForToken("child-token");
    auto grandchild = child->transmissionTargetForToken("grandchild-token");
    EXPECT_EQ(parent->transmissionTargetForToken("child-token"), child);

    parent->setEnabled(false);
    EXPECT_FALSE(child->isEnabled());
    EXPECT_FALSE(grandchild->isEnabled());
    // Born under a disabled parent: disabled, and enabling is refused.
    auto late = parent->transmissionTargetForToken("late-token");
    EXPECT_FALSE(late->isEnabled());
    late->setEnabled(true);
    EXPECT_FALSE(late->isEnabled());
    EXPECT_EQ(log.count("Can't enable; parent transmission target and/or Analytics service is disabled."),
              1u);

    parent->setEnabled(true);
    for (const auto& target : {child, grandchild, late})
        EXPECT_TRUE(target->isEnabled()) << target->transmissionTargetToken();

    // Another object with the same target key shares the state.
    auto twin = BEACAnalytics::transmissionTargetForToken("parent-other");
    EXPECT_NE(twin, parent);
    twin->setEnabled(false);
    EXPECT_FALSE(parent->isEnabled());
    twin->setEnabled(true);

    // The service's switch reaches every target, and its state survives in the settings.
    BEACAnalytics::setServiceEnabled(false);
    EXPECT_FALSE(parent->isEnabled());
    EXPECT_FALSE(grandchild->isEnabled());
    BEACAnalytics::setServiceEnabled(true);
    EXPECT_TRUE(grandchild->isEnabled());
}

TEST_F(TransmissionTargetTest, TrackCallBeatsChildWhichBeatsParent) {
    auto parent = BEACAnalytics::transmissionTargetForToken("parent-token");
    auto child = parent->transmissionTargetForToken("child-token");
    parent->propertyConfigurator()->setEventPropertyString(std::string("parent"), std::string("x"));
    parent->propertyConfigurator()->setEventPropertyString(std::string("parent"), std::string("inherited"));
    child->propertyConfigurator()->setEventPropertyString(std::string("child"), std::string("x"));

    child->trackEvent("configured");
    auto event = lastEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(stringsOf(*event),
              (std::map<std::string, std::string>{{"x", "child"}, {"inherited", "parent"}}));
    EXPECT_EQ(*event->transmissionTargetTokens(), std::set<std::string>{"child-token"});
    EXPECT_EQ(event->tag.get(), static_cast<const plat::Object*>(child.get()));

    child->trackEvent("called", plat::Dictionary{{"x", plat::Value("call")}});
    EXPECT_EQ(stringsOf(*lastEvent()),
              (std::map<std::string, std::string>{{"x", "call"}, {"inherited", "parent"}}));

    // Removing a configured property; a missing key is refused.
    CapturingLog log;
    child->propertyConfigurator()->removeEventPropertyForKey(std::string("x"));
    child->propertyConfigurator()->removeEventPropertyForKey(std::nullopt);
    EXPECT_EQ(log.count("Event property key to remove cannot be nil."), 1u);
    child->trackEvent("afterRemoval");
    EXPECT_EQ(stringsOf(*lastEvent()).at("x"), "parent");

    // Nothing configured anywhere and nothing given: no bag at all.
    BEACAnalytics::transmissionTargetForToken("bare-token")->trackEvent("bare");
    EXPECT_FALSE(lastEvent()->typedProperties);
}

TEST_F(TransmissionTargetTest, ConfiguratorFillsSharedSchemaFieldsOfItsOwnLogs) {
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
    auto parent = BEACAnalytics::transmissionTargetForToken("parent-token");
    auto child = parent->transmissionTargetForToken("child-token");
    auto parentConfig = parent->propertyConfigurator();
    auto childConfig = child->propertyConfigurator();
    parentConfig->setAppVersion(std::string("9.9"));
    parentConfig->setAppName(std::string("ParentName"));
    parentConfig->setUserId(std::string("alice"));
    parentConfig->collectDeviceId();
    childConfig->setAppName(std::string("ChildName"));
    childConfig->setAppLocale(std::string("fr-CA"));
    // A prefix other than "c" is ignored.
    childConfig->setUserId(std::string("x:bob"));
    EXPECT_FALSE(childConfig->userId());
    EXPECT_EQ(parentConfig->userId(), "c:alice");

    child->trackEvent("fromChild");
    parent->trackEvent("fromParent");
    auto logs = collectorLogs();
    ASSERT_EQ(logs.size(), 2u);
    const auto& fromChild = *logs[0]->ext;
    EXPECT_EQ(fromChild.appExt->ver, "9.9");
    EXPECT_EQ(fromChild.appExt->name, "ChildName");
    EXPECT_EQ(fromChild.appExt->locale, "fr-CA");
    EXPECT_EQ(fromChild.userExt->localId, "c:alice");
    // The device id is not inherited: the child did not collect it.
    EXPECT_FALSE(fromChild.deviceExt->localId);
    const auto& fromParent = *logs[1]->ext;
    EXPECT_EQ(fromParent.appExt->name, "ParentName");
    EXPECT_FALSE(fromParent.appExt->locale == std::optional<std::string>("fr-CA"));
    EXPECT_EQ(fromParent.deviceExt->localId, "u:0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);

    // A disabled target's configurator leaves logs alone (they are not tracked).
    parent->setEnabled(false);
    prepared->clear();
    CapturingLog log;
    child->trackEvent("refused");
    EXPECT_TRUE(prepared->entries().empty());
    EXPECT_EQ(log.count("This transmission target is disabled."), 1u);
    child->pause();
    child->resume();
    EXPECT_EQ(log.count("This transmission target is disabled."), 3u);
}

class AnsweringTokenDelegate : public BEACAnalyticsAuthenticationProviderDelegate {
  public:
    void authenticationProviderAcquireToken(BEACAnalyticsAuthenticationProvider&,
                                            const BEACAcquireTokenCompletionBlock& completion) override {
        ++requests;
        completion(std::string("token-") + std::to_string(requests),
                   plat::Date(plat::Date::now().timeIntervalSinceReferenceDate() + 3600));
    }
    int requests = 0;
};

TEST_F(TransmissionTargetTest, LogsOfEnabledTargetsNameTheProvidersTicketKey) {
    auto tokens = std::make_shared<AnsweringTokenDelegate>();
    auto provider = BEACAnalyticsAuthenticationProvider::make(0, std::string("user-ticket"), tokens);
    BEACAnalyticsTransmissionTarget::addAuthenticationProvider(provider);
    EXPECT_EQ(tokens->requests, 1);
    EXPECT_EQ(BEACTicketCache::sharedInstance()->ticketFor(*provider->ticketKeyHash()), "p:token-1");

    auto target = BEACAnalytics::transmissionTargetForToken("tenant-token");
    target->trackEvent("signed");
    auto logs = collectorLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]->ext->protocolExt->ticketKeys, std::vector<std::string>{*provider->ticketKeyHash()});
    // Close to expiry, the next log asks for a fresh token.
    now.advance(3600 - 600);
    target->trackEvent("refreshing");
    EXPECT_EQ(tokens->requests, 2);
    EXPECT_EQ(BEACTicketCache::sharedInstance()->ticketFor(*provider->ticketKeyHash()), "p:token-2");
    BEACTicketCache::sharedInstance()->clearCache();
}

TEST_F(TransmissionTargetTest, DefaultTargetFromTheSecretCarriesTheUserIdAndReceivesPlainEvents) {
    BEACAnalytics::resetSharedInstance();
    BEACBeacon::resetSharedInstance();
    BEACUserIdContext::sharedInstance()->setUserId(std::string("carol"));
    start(std::string(kSecret) + ";target=default-token");
    auto target = analytics()->defaultTransmissionTarget();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->transmissionTargetToken(), "default-token");
    prepared->clear();
    BEACAnalytics::trackEvent("plain");
    auto event = lastEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(*event->transmissionTargetTokens(), std::set<std::string>{"default-token"});
    EXPECT_EQ(event->userId, "carol");
    // Another target's events carry no user id of the SDK.
    BEACAnalytics::transmissionTargetForToken("other-token")->trackEvent("other");
    EXPECT_FALSE(lastEvent()->userId);
}

}  // namespace

// Tracking, targets and the service hold none of their locks while a log is
// prepared: a group delegate may use them again from its callback (which
// runs on the tracking thread, inside trackEvent).
TEST_F(TransmissionTargetTest, ADelegatePreparingALogMayUseTheServiceAndTargetsAgain) {
    struct Reentering : BEACChannelDelegate {
        void channelPrepareLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) override {
            if (!log || log->type != "event" || done)
                return;
            done = true;
            auto analytics = BEACAnalytics::sharedInstance();
            interval = analytics->flushInterval();
            auto other = BEACAnalytics::transmissionTargetForToken("other-token");
            auto child = other->transmissionTargetForToken("other-child");
            other->setEnabled(false);
            other->setEnabled(true);
            childEnabled = child->isEnabled();
            analytics->setAutoPageTracking(analytics->autoPageTrackingEnabled());
            other->propertyConfigurator()->setEventPropertyString(std::string("v"), std::string("k"));
        }
        bool done = false;
        uint64_t interval = 0;
        bool childEnabled = false;
    };
    auto reentering = std::make_shared<Reentering>();
    BEACBeacon::sharedInstance()->channelGroup()->addDelegate(reentering);
    auto target = BEACAnalytics::transmissionTargetForToken("parent-token");
    target->trackEvent("tracked");
    EXPECT_TRUE(reentering->done);
    EXPECT_EQ(reentering->interval, BEACAnalytics::sharedInstance()->flushInterval());
    EXPECT_TRUE(reentering->childEnabled);
    ASSERT_TRUE(lastEvent());
    EXPECT_EQ(lastEvent()->name, "tracked");
}
