#include "beacon/core/BEACUtility.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "BeaconTestSupport.h"
#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACTicketCache.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/MemoryPressure.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/URL.h"

namespace {

TEST(BEACUtilityTest, NameVersionAndApplicationStateOffTheMainThread) {
    EXPECT_EQ(BEACUtility::sdkName(), "beacon.linux");
    EXPECT_EQ(BEACUtility::sdkVersion(), "4.2.0");
    EXPECT_EQ(BEACUtility::currentAppEnvironment(), 99);
    int64_t state = -1;
    std::thread([&] { state = BEACUtility::applicationState(); }).join();
    EXPECT_EQ(state, BEACApplicationStateUnknown);
}

// A responder that stands for an application's delegate.
class DelegateStandIn : public plat::appkit::Responder {
  public:
    std::string className() const override { return "AppDelegate"; }
};

TEST(BEACUtilityTest, BundleProbesAndTheSharedApplication) {
    testsupport::TempDir resources;
    auto& bundle = plat::Bundle::mainBundle();
    const std::string previous = bundle.resourcePath();
    bundle.setResourcePath(resources.str());
    EXPECT_FALSE(BEACUtility::hasEmbeddedMobileProvision());
    std::ofstream(resources / "embedded.mobileprovision") << "profile";
    EXPECT_TRUE(BEACUtility::hasEmbeddedMobileProvision());
    bundle.setResourcePath(previous);
    EXPECT_FALSE(BEACUtility::isAppStoreReceiptSandbox());  // no store receipts on Linux

    auto& app = plat::appkit::Application::shared();
    app.reset();
    EXPECT_EQ(&BEACUtility::sharedApp(), &app);
    EXPECT_FALSE(BEACUtility::sharedAppDelegate());
    auto delegate = std::make_shared<DelegateStandIn>();
    app.setDelegate(delegate);
    EXPECT_EQ(BEACUtility::sharedAppDelegate(), delegate);
    app.reset();
}

TEST(BEACUtilityTest, OpeningAURLRunsOnTheMainLoopAndReportsTheOpener) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    std::vector<std::string> opened;
    plat::appkit::Workspace::setOpener([&](const std::string& url) {
        opened.push_back(url);
        return url.rfind("https:", 0) == 0;
    });
    std::vector<bool> results;
    BEACUtility::sharedAppOpenUrl(*plat::URL::URLWithString("https://example.invalid/a?b=c"), {},
                                  [&](bool ok) { results.push_back(ok); });
    BEACUtility::sharedAppOpenUrl(*plat::URL::URLWithString("mailto:someone@example.invalid"), {},
                                  [&](bool ok) { results.push_back(ok); });
    EXPECT_TRUE(results.empty());  // not inline
    plat::dispatch::MainLoop::drain();
    plat::appkit::Workspace::setOpener(nullptr);
    EXPECT_EQ(opened,
              (std::vector<std::string>{"https://example.invalid/a?b=c", "mailto:someone@example.invalid"}));
    EXPECT_EQ(results, (std::vector<bool>{true, false}));
}

TEST(BEACUtilityTest, OneSharedDateFormatterUntilItIsReset) {
    auto formatter = BEACUtility::ISO8601DateFormatter();
    ASSERT_TRUE(formatter);
    EXPECT_EQ(BEACUtility::ISO8601DateFormatter(), formatter);
    EXPECT_EQ(formatter->localeIdentifier(), "en_US_POSIX");
    EXPECT_EQ(formatter->timeZoneName(), "UTC");
    EXPECT_EQ(formatter->dateFormat(), "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'");
    const plat::Date date = plat::Date::fromTimeIntervalSince1970(1614834367.089);
    EXPECT_EQ(formatter->stringFromDate(date), "2021-03-04T05:06:07.089Z");
    BEACUtility::resetDateFormatterInstance();
    auto fresh = BEACUtility::ISO8601DateFormatter();
    EXPECT_NE(fresh, formatter);
    EXPECT_EQ(BEACUtility::dateToISO8601(date), "2021-03-04T05:06:07.089Z");
    // A formatter handed out before a reset keeps working.
    EXPECT_EQ(formatter->dateFromString("2021-03-04T05:06:07.089Z"), date);
    // Resets and uses from several threads at once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (i % 50 == 0)
                    BEACUtility::resetDateFormatterInstance();
                EXPECT_EQ(BEACUtility::dateToISO8601(date), "2021-03-04T05:06:07.089Z");
            }
        });
    for (auto& thread : threads)
        thread.join();
}

TEST(BEACUtilityTest, ArchivingRoundTripsAndFailuresAreLoggedNotThrown) {
    beactest::CapturingLog log;
    EXPECT_FALSE(BEACUtility::archiveKeyedData(std::nullopt));
    EXPECT_FALSE(BEACUtility::unarchiveKeyedData(std::nullopt));
    EXPECT_TRUE(log.lines().empty());

    auto archived = BEACUtility::archiveKeyedData(
        plat::Value(plat::Array{plat::Value("a"), plat::Value(int64_t(1) << 40)}));
    ASSERT_TRUE(archived);
    auto back = BEACUtility::unarchiveKeyedData(archived);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, plat::Value(plat::Array{plat::Value("a"), plat::Value(int64_t(1) << 40)}));

    EXPECT_FALSE(BEACUtility::unarchiveKeyedData(plat::Data::fromString("not an archive")));
    EXPECT_TRUE(log.containsPrefix("Unarchiving NSData failed with error: ", BEACLogLevelError));
    // An object that cannot be archived.
    struct Plain : plat::Object {};
    EXPECT_FALSE(BEACUtility::archiveKeyedData(plat::Value(std::make_shared<const Plain>())));
    EXPECT_TRUE(log.containsPrefix("Archiving NSData failed with error: ", BEACLogLevelError));
}

// An archive written by an older SDK generation names its classes "BC...".
class OldNameLog : public BEACAbstractLog {
  public:
    std::string className() const override { return "BCAbstractLog"; }
};

TEST(BEACUtilityTest, OldClassNamesDecodeIntoCurrentClasses) {
    auto old = std::make_shared<OldNameLog>();
    old->type = "startService";
    old->sid = "s1";
    auto device = std::make_shared<BEACDevice>();
    device->sdkName = "beacon.linux";
    old->device = device;
    auto archived = BEACUtility::archiveKeyedData(plat::Value(old));
    ASSERT_TRUE(archived);
    ASSERT_NE(archived->view().find("BCAbstractLog"), std::string_view::npos);
    auto back = BEACUtility::unarchiveKeyedData(archived);
    ASSERT_TRUE(back);
    auto log = back->asObjectOf<BEACAbstractLog>();
    ASSERT_TRUE(log);
    EXPECT_EQ(log->className(), "BEACAbstractLog");
    EXPECT_EQ(log->sid, "s1");
    ASSERT_TRUE(log->device);
    EXPECT_EQ(log->device->sdkName, "beacon.linux");
}

TEST(BEACUtilityTest, ISO8601IsStrictUTCWithMilliseconds) {
    plat::Date date = plat::Date::fromTimeIntervalSince1970(1609459200.5);  // 2021-01-01 00:00:00.5 UTC
    EXPECT_EQ(BEACUtility::dateToISO8601(date), "2021-01-01T00:00:00.500Z");
    EXPECT_EQ(BEACUtility::dateFromISO8601("2021-01-01T00:00:00.500Z"), date);
    for (const char* bad : {"2021-01-01T00:00:00Z", "2021-01-01T00:00:00.500+00:00", "2021-01-01T00:00:00.5Z",
                            "2021-13-01T00:00:00.500Z", "", "2021-01-01T00:00:00.500Z "})
        EXPECT_FALSE(BEACUtility::dateFromISO8601(bad)) << bad;
    beactest::ManualNow now(100.0);
    EXPECT_DOUBLE_EQ(BEACUtility::nowInMilliseconds(), (100.0 + plat::Date::kTimeIntervalSince1970) * 1000.0);
}

TEST(BEACUtilityTest, PropertyValidationLimitsCountAndLengths) {
    beactest::CapturingLog log;
    plat::Dictionary many;
    for (int i = 0; i < 25; ++i)
        many.set("k" + std::to_string(i), plat::Value("v"));
    EXPECT_EQ(BEACUtility::validateProperties(many, "evt", "event").size(), 20u);
    EXPECT_EQ(
        log.count("event 'evt' : properties cannot contain more than 20 items. Skipping other properties."),
        1u);

    log.clear();
    plat::Dictionary exactly;
    for (int i = 0; i < 20; ++i)
        exactly.set("k" + std::to_string(i), plat::Value("v"));
    EXPECT_EQ(BEACUtility::validateProperties(exactly, "evt", "event").size(), 20u);
    EXPECT_TRUE(log.lines().empty());

    std::string key126(126, 'k'), key125(125, 'k');
    plat::Dictionary mixed{{"", plat::Value("v")},
                           {"number", plat::Value(3)},
                           {key126, plat::Value("a")},
                           {"long", plat::Value(std::string(200, 'x'))},
                           {"empty", plat::Value("")}};
    auto result = BEACUtility::validateProperties(mixed, "p", "page");
    EXPECT_FALSE(result.contains("number"));  // dropped silently
    EXPECT_FALSE(result.contains(""));
    EXPECT_TRUE(result.contains(key125));
    EXPECT_EQ(*result.find("long")->asString(), std::string(125, 'x'));
    EXPECT_EQ(*result.find("empty")->asString(), "");
    EXPECT_EQ(log.count("page 'p' : a property key cannot be null or empty. Property will be skipped."), 1u);
    EXPECT_EQ(
        log.count(
            "page 'p' : property " + key126 +
            " : property key length cannot be longer than 125 characters. Property key will be truncated."),
        1u);
    EXPECT_EQ(
        log.count(
            "page 'p' : property 'long' : property value cannot be longer than 125 characters. Property "
            "value will be truncated."),
        1u);
}

TEST(BEACUtilityTest, FilesLiveInTheSDKFolder) {
    beactest::CapturingLog log;
    beactest::SandboxedSDK sdk;
    std::string folder = BEACUtility::beaconDirectoryPath();
    EXPECT_EQ(folder, BEACUtility::beaconDirectoryPath());
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    auto path = BEACUtility::createFileAtPathComponent("a/b/c.bin", std::nullopt, false, false);
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, folder + "/a/b/c.bin");
    EXPECT_EQ(BEACUtility::loadDataForPathComponent("a/b/c.bin"), plat::Data());
    BEACUtility::createFileAtPathComponent("a/b/c.bin", plat::Data::fromString("new"), true, false);
    EXPECT_EQ(BEACUtility::loadDataForPathComponent("a/b/c.bin"), plat::Data());  // no overwrite
    BEACUtility::createFileAtPathComponent("a/b/c.bin", plat::Data::fromString("new"), true, true);
    EXPECT_EQ(BEACUtility::loadDataForPathComponent("a/b/c.bin"), plat::Data::fromString("new"));
    EXPECT_EQ(BEACUtility::contentsOfDirectory("a/b"), std::vector<std::string>{folder + "/a/b/c.bin"});
    EXPECT_FALSE(BEACUtility::contentsOfDirectory(""));
    EXPECT_FALSE(BEACUtility::contentsOfDirectory("missing"));
    EXPECT_TRUE(BEACUtility::deleteItemForPathComponent("a"));
    EXPECT_FALSE(BEACUtility::fileExistsForPathComponent("a/b/c.bin"));
    log.clear();
    EXPECT_FALSE(BEACUtility::deleteItemForPathComponent("a"));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, BEACLogLevelDebug);
}

struct SecretCase {
    std::optional<std::string> secret;
    std::optional<std::string> appSecret;
    std::optional<std::string> target;
};

TEST(BEACUtilityTest, SecretStringsSplitIntoAppSecretAndTargetToken) {
    const std::vector<SecretCase> cases = {
        {"guid-1", "guid-1", std::nullopt},
        {"target=tok-1;appsecret=guid-2", "guid-2", "tok-1"},
        {"macos=mac;appsecret=other", "mac", std::nullopt},
        {"appsecret=other;macos=mac", "mac", std::nullopt},
        {"ios=phone;target=t", "ios=phone", "t"},
        {"guid-3;", "guid-3", std::nullopt},
        {";", std::nullopt, std::nullopt},
        {"target=only", std::nullopt, "only"},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BEACUtility::appSecretFrom(c.secret), c.appSecret) << c.secret.value_or("nil");
        EXPECT_EQ(BEACUtility::transmissionTargetTokenFrom(c.secret), c.target) << c.secret.value_or("nil");
    }
    EXPECT_EQ(BEACUtility::targetKeyFromTargetToken("abc-def-1"), "abc");
    EXPECT_EQ(BEACUtility::targetKeyFromTargetToken("abc"), "abc");
    EXPECT_EQ(BEACUtility::targetKeyFromTargetToken("-abc"), std::nullopt);
    EXPECT_EQ(BEACUtility::iKeyFromTargetToken("-abc"), std::nullopt);
    EXPECT_EQ(BEACUtility::iKeyFromTargetToken("abc-1"), "o:abc");
}

TEST(BEACUtilityTest, DigestsPrettyPrintingMaskingAndTickets) {
    EXPECT_EQ(BEACUtility::sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(BEACUtility::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    EXPECT_EQ(BEACUtility::prettyPrintJson(plat::Data::fromString("not json")), "not json");
    auto pretty = BEACUtility::prettyPrintJson(plat::Data::fromString(R"({"url":"a/b"})"));
    ASSERT_TRUE(pretty);
    EXPECT_NE(pretty->find("\"a/b\""), std::string::npos);
    EXPECT_NE(pretty->find('\n'), std::string::npos);
    EXPECT_FALSE(BEACUtility::prettyPrintJson(std::nullopt));

    EXPECT_EQ(BEACUtility::obfuscateString("token=ABC123 rest", "token=([a-z0-9]+)", "token=***"),
              "token=*** rest");
    EXPECT_EQ(BEACUtility::obfuscateString("k:v", "(k):(v)", "$2:$1"), "v:k");
    beactest::CapturingLog log;
    EXPECT_FALSE(BEACUtility::obfuscateString("x", "(", "y"));
    EXPECT_TRUE(
        log.containsPrefix("Couldn't create regular expression with pattern\"(\": ", BEACLogLevelError));
    EXPECT_FALSE(BEACUtility::obfuscateString(std::nullopt, "x", "y"));

    auto cache = BEACTicketCache::sharedInstance();
    EXPECT_FALSE(cache->ticketFor("unknown"));
    cache->setTicket("t1", "k");
    EXPECT_EQ(cache->ticketFor("k"), "t1");
    cache->setTicket(std::nullopt, "k");
    EXPECT_FALSE(cache->ticketFor("k"));
}

}  // namespace
