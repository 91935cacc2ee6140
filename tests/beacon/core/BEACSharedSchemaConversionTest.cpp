// Conversion of logs into Shared Schema logs: one per target token, fields
// taken from the log's timestamp, user id and device.
#include <gtest/gtest.h>

#include "beacon/core/BEACAbstractLog.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "platform/foundation/Bundle.h"

namespace {

std::shared_ptr<BEACAbstractLog> logWithDevice() {
    auto log = std::make_shared<BEACAbstractLog>();
    log->type = "event";
    log->timestamp = plat::Date(1000.0);
    log->sid = "session";
    auto device = std::make_shared<BEACDevice>();
    device->oemName = "Maker";
    device->model = "Box";
    device->locale = "fr_CA";
    device->osName = "Linux";
    device->osVersion = "11.2.3";
    device->osBuild = "20D91";
    device->appNamespace = "com.example.app";
    device->appVersion = "1.4";
    device->carrierName = "Carrier";
    device->sdkName = "beacon.macos";
    device->sdkVersion = "4.2.0";
    device->timeZoneOffset = -60;
    log->device = device;
    return log;
}

TEST(BEACSharedSchemaConversionTest, NoTokensGivesNothingAndTwoTokensGiveTwoLogs) {
    auto log = logWithDevice();
    EXPECT_FALSE(log->toSharedSchemaLogsWithFlags(1));
    log->addTransmissionTargetToken("abc-def-ghi");
    log->addTransmissionTargetToken("-nokey");
    auto logs = log->toSharedSchemaLogsWithFlags(0x0101);
    ASSERT_TRUE(logs);
    ASSERT_EQ(logs->size(), 2u);
    // Set order: "-nokey" sorts before "abc-def-ghi".
    EXPECT_FALSE((*logs)[0]->iKey);
    EXPECT_EQ((*logs)[1]->iKey, "o:abc");
    for (const auto& cs : *logs) {
        ASSERT_TRUE(cs->transmissionTargetTokens());
        EXPECT_EQ(cs->transmissionTargetTokens()->size(), 1u);
        EXPECT_EQ(cs->flags, 0x0101);
        EXPECT_EQ(cs->ver, "3.0");
        EXPECT_EQ(cs->timestamp, log->timestamp);
        EXPECT_FALSE(cs->name);
        EXPECT_FALSE(cs->sid);
        EXPECT_FALSE(cs->type);
        EXPECT_FALSE(cs->device);
        // No name: not valid for sending.
        EXPECT_FALSE(cs->isValid());
    }
    EXPECT_EQ(*(*logs)[0]->transmissionTargetTokens()->begin(), "-nokey");
    // The source log keeps its own fields.
    EXPECT_EQ(log->sid, "session");
    EXPECT_EQ(log->transmissionTargetTokens()->size(), 2u);
}

TEST(BEACSharedSchemaConversionTest, ExtensionsFromDeviceAndUserId) {
    auto log = logWithDevice();
    log->userId = "alice";
    auto cs = log->toSharedSchemaLogForTargetToken("abc-def", 2);
    ASSERT_TRUE(cs && cs->ext);
    const auto& ext = *cs->ext;
    ASSERT_TRUE(ext.protocolExt && ext.userExt && ext.osExt && ext.appExt && ext.netExt && ext.sdkExt &&
                ext.locExt && ext.deviceExt);
    EXPECT_FALSE(ext.metadataExt);
    EXPECT_EQ(ext.protocolExt->devMake, "Maker");
    EXPECT_EQ(ext.protocolExt->devModel, "Box");
    EXPECT_EQ(ext.userExt->localId, "c:alice");
    EXPECT_EQ(ext.userExt->locale, "fr-CA");
    EXPECT_EQ(ext.osExt->name, "Linux");
    EXPECT_EQ(ext.osExt->ver, "Version 11.2.3 (Build 20D91)");
    EXPECT_EQ(ext.appExt->appId, "I:com.example.app");
    EXPECT_EQ(ext.appExt->ver, "1.4");
    auto localizations = plat::Bundle::mainBundle().preferredLocalizations();
    EXPECT_EQ(ext.appExt->locale,
              localizations.empty() ? std::nullopt : std::optional<std::string>(localizations.front()));
    EXPECT_FALSE(ext.appExt->name);
    EXPECT_FALSE(ext.appExt->userId);
    EXPECT_EQ(ext.netExt->provider, "Carrier");
    EXPECT_EQ(ext.sdkExt->libVer, "beacon.macos-4.2.0");
    EXPECT_FALSE(ext.sdkExt->epoch);
    EXPECT_FALSE(ext.sdkExt->installId);
    EXPECT_EQ(ext.locExt->tz, "-01:00");
    EXPECT_FALSE(ext.deviceExt->localId);

    log->userId = "x:alice";
    EXPECT_EQ(log->toSharedSchemaLogForTargetToken("t", 0)->ext->userExt->localId, "x:alice");
    log->userId.reset();
    log->device->sdkVersion = "";
    log->device->timeZoneOffset.reset();
    log->device->appNamespace.reset();
    cs = log->toSharedSchemaLogForTargetToken("t", 0);
    EXPECT_FALSE(cs->ext->userExt->localId);
    EXPECT_FALSE(cs->ext->sdkExt->libVer);
    EXPECT_EQ(cs->ext->locExt->tz, "+00:00");
    EXPECT_FALSE(cs->ext->appExt->appId);
    // Every extension exists even without a device.
    log->device.reset();
    cs = log->toSharedSchemaLogForTargetToken("t", 0);
    EXPECT_TRUE(cs->ext->userExt && cs->ext->deviceExt && cs->ext->locExt);
}

TEST(BEACSharedSchemaConversionTest, HelperFormats) {
    struct Os {
        std::optional<std::string> version, build, expected;
    };
    for (const Os& c : std::vector<Os>{{"11.2.3", "20D91", "Version 11.2.3 (Build 20D91)"},
                                       {"11.2.3", std::nullopt, "Version 11.2.3"},
                                       {"11.2.3", "", "Version 11.2.3"},
                                       {"", "20D91", std::nullopt},
                                       {std::nullopt, std::nullopt, std::nullopt}})
        EXPECT_EQ(BEACAbstractLog::combineOsVersion(c.version, c.build), c.expected);
    EXPECT_EQ(BEACAbstractLog::combineSDKLibVer("n", "1"), "n-1");
    EXPECT_FALSE(BEACAbstractLog::combineSDKLibVer("", "1"));
    EXPECT_FALSE(BEACAbstractLog::combineSDKLibVer("n", std::nullopt));
    struct Tz {
        int64_t minutes;
        const char* expected;
    };
    // -30 keeps its sign although the hours truncate to zero.
    for (const Tz& c : std::vector<Tz>{{0, "+00:00"},
                                       {120, "+02:00"},
                                       {-330, "-05:30"},
                                       {345, "+05:45"},
                                       {-60, "-01:00"},
                                       {-30, "-00:30"},
                                       {840, "+14:00"}})
        EXPECT_EQ(BEACAbstractLog::convertTimeZoneOffsetToISO8601(c.minutes), c.expected) << c.minutes;
}

TEST(BEACSharedSchemaConversionTest, SharedSchemaLogsAreNotConvertedAgain) {
    BEACSharedSchemaLog cs;
    EXPECT_FALSE(cs.supportsSharedSchemaConversion());
    EXPECT_TRUE(logWithDevice()->supportsSharedSchemaConversion());
}

}  // namespace
