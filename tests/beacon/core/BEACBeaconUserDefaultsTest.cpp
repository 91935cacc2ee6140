#include "beacon/core/BEACBeaconUserDefaults.h"

#include <gtest/gtest.h>

#include "BeaconTestSupport.h"

namespace {

BEACMigrationTable facadeTable() {
    return {{"BCBeaconInstallId", std::string("BCInstallId")},
            {"BCBeaconChannelStartTimer", BEACUserDefaultsPrefixKey("BCChannelStartTimer")}};
}

TEST(BEACBeaconUserDefaultsTest, PrefixesEveryKey) {
    beactest::SandboxedSDK sdk;
    auto defaults = BEACBeaconUserDefaults::shared();
    defaults->setObject(plat::Value(true), "BeaconIsEnabled");
    EXPECT_EQ(sdk.defaults()->objectForKey("BCBeaconBeaconIsEnabled"), plat::Value(true));
    EXPECT_EQ(defaults->objectForKey("BeaconIsEnabled"), plat::Value(true));
    defaults->removeObjectForKey("BeaconIsEnabled");
    EXPECT_FALSE(sdk.defaults()->objectForKey("BCBeaconBeaconIsEnabled"));
}

TEST(BEACBeaconUserDefaultsTest, MigrationMovesOldKeysOncePerService) {
    beactest::CapturingLog log;
    beactest::SandboxedSDK sdk;
    auto store = sdk.defaults();
    store->setObject(plat::Value("old-id"), "BCInstallId");
    store->setObject(plat::Value("new-id"), "BCBeaconInstallId");
    store->setObject(plat::Value(plat::Date(5)), "BCChannelStartTimer:Analytics");
    store->setObject(plat::Value(plat::Date(6)), "BCChannelStartTimer:Crashes");

    auto defaults = BEACBeaconUserDefaults::shared();
    defaults->migrateKeys(facadeTable(), "Beacon");
    EXPECT_EQ(store->objectForKey("BCBeaconInstallId"), plat::Value("old-id"));  // the old value wins
    EXPECT_FALSE(store->objectForKey("BCInstallId"));
    EXPECT_EQ(store->objectForKey("BCBeaconChannelStartTimer:Analytics"), plat::Value(plat::Date(5)));
    EXPECT_EQ(store->objectForKey("BCBeaconChannelStartTimer:Crashes"), plat::Value(plat::Date(6)));
    EXPECT_FALSE(store->objectForKey("BCChannelStartTimer:Crashes"));
    EXPECT_EQ(store->objectForKey("BCBeacon310BeaconUserDefaultsMigratedKey"), plat::Value(true));
    EXPECT_EQ(log.count("Migrating key BCInstallId -> BCBeaconInstallId"), 1u);

    // A later launch does not migrate again, even when an old key reappears.
    sdk.relaunchDefaults();
    sdk.defaults()->setObject(plat::Value("again"), "BCInstallId");
    BEACBeaconUserDefaults::shared()->migrateKeys(facadeTable(), "Beacon");
    EXPECT_EQ(sdk.defaults()->objectForKey("BCInstallId"), plat::Value("again"));
    EXPECT_EQ(sdk.defaults()->objectForKey("BCBeaconInstallId"), plat::Value("old-id"));
}

TEST(BEACBeaconUserDefaultsTest, FreshInstallWritesTheMarkerOnly) {
    beactest::CapturingLog log;
    beactest::SandboxedSDK sdk;
    BEACBeaconUserDefaults::shared()->migrateKeys(facadeTable(), "Beacon");
    EXPECT_EQ(log.count("Migrating the old NSDefaults keys to new ones."), 1u);
    EXPECT_EQ(sdk.defaults()->dictionaryRepresentation().size(), 1u);
    EXPECT_EQ(sdk.defaults()->objectForKey("BCBeacon310BeaconUserDefaultsMigratedKey"), plat::Value(true));
}

}  // namespace

// A value the settings refuse is reported, and a migration whose new key is
// refused keeps the old key (before, the old value was deleted all the same).
TEST(BEACBeaconUserDefaultsTest, RefusedValuesAreReportedAndMigrationKeepsTheOldKey) {
    beactest::CapturingLog log;
    beactest::SandboxedSDK sdk;
    auto store = sdk.defaults();
    store->setObject(plat::Value("old-id"), "BCInstallId");
    auto defaults = BEACBeaconUserDefaults::shared();
    defaults->migrateKeys({{std::string("\xff\xfe"), std::string("BCInstallId")}}, "Broken");
    EXPECT_EQ(store->objectForKey("BCInstallId"), plat::Value("old-id"));
    EXPECT_EQ(log.count("Couldn't migrate key BCInstallId -> \xff\xfe; the old key is kept."), 1u);

    defaults->setObject(plat::Value("x"), "\xff");
    EXPECT_EQ(log.count("Couldn't store the setting \"\xff\": a value or key the settings do not take."), 1u);
}
