#include "beacon/core/BEACDeviceTracker.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include "BeaconTestSupport.h"
#include "platform/foundation/Bundle.h"

namespace {

class BEACDeviceTrackerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::Bundle::mainBundle().setInfoDictionary(
            plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.kestrel.test")},
                             {"CFBundleShortVersionString", plat::Value("1.2")},
                             {"CFBundleVersion", plat::Value("42")}});
        BEACDeviceTracker::resetSharedInstance();
    }
    void TearDown() override {
        BEACDeviceTracker::resetSharedInstance();
        plat::Bundle::mainBundle().setInfoDictionary(std::nullopt);
    }
    beactest::CapturingLog log_;
    beactest::SandboxedSDK sdk_;
    beactest::ManualNow now_{5000.0};

    std::unique_ptr<BEACDeviceTracker> relaunch() {
        sdk_.relaunchDefaults();
        BEACDeviceTracker::refreshDeviceNextTime();
        return std::make_unique<BEACDeviceTracker>();
    }
};

TEST_F(BEACDeviceTrackerTest, DescribesThisMachine) {
    BEACDeviceTracker tracker;
    auto device = tracker.device();
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->isValid());
    struct utsname names;
    uname(&names);
    EXPECT_EQ(device->osName, std::string(names.sysname));
    EXPECT_EQ(device->sdkName, "beacon.linux");
    EXPECT_EQ(device->appVersion, "1.2");
    EXPECT_EQ(device->appBuild, "42");
    EXPECT_EQ(device->appNamespace, "com.kestrel.test");
    EXPECT_NE(device->oemName, "Apple");
    EXPECT_FALSE(device->osApiLevel);
    EXPECT_FALSE(device->carrierName);
    ASSERT_TRUE(device->locale);
    EXPECT_NE(device->locale->find('_'), std::string::npos);
    ASSERT_TRUE(device->screenSize);
    EXPECT_TRUE(*device->screenSize == "unknown" || device->screenSize->find('x') != std::string::npos);
    EXPECT_EQ(tracker.device(), device);  // cached
}

TEST_F(BEACDeviceTrackerTest, HistoryKeepsTheFiveNewestLaunches) {
    std::unique_ptr<BEACDeviceTracker> tracker;
    for (int launch = 1; launch <= 7; ++launch) {
        now_.advance(100);
        tracker = relaunch();
    }
    auto history = tracker->deviceHistory();
    ASSERT_EQ(history.size(), 5u);
    for (std::size_t i = 0; i < history.size(); ++i)
        EXPECT_EQ(*history[i]->timestamp, plat::Date(5000.0 + 100.0 * static_cast<double>(i + 3)));
}

TEST_F(BEACDeviceTrackerTest, LookupByTimestampAtTheBoundaries) {
    {
        BEACDeviceTracker first;  // entry A at 5000
    }
    now_.advance(100);
    auto tracker = relaunch();
    tracker->setCountryCode("B");
    tracker->device();  // entry B at 5100
    auto history = tracker->deviceHistory();
    ASSERT_EQ(history.size(), 3u);  // A, launch at 5100, B at 5100
    auto a = history[0]->device;
    auto b = history.back()->device;
    EXPECT_EQ(tracker->deviceForTimestamp(plat::Date(1)), a);
    EXPECT_EQ(tracker->deviceForTimestamp(plat::Date(5050)), a);
    EXPECT_EQ(tracker->deviceForTimestamp(plat::Date(5100)), a);  // equal to B's time: the one before
    EXPECT_EQ(tracker->deviceForTimestamp(plat::Date(9999)), b);
    EXPECT_EQ(b->carrierCountry, "B");
    EXPECT_EQ(tracker->deviceForTimestamp(std::nullopt), tracker->device());
    tracker->clearDevices();
    EXPECT_EQ(tracker->deviceHistory().size(), 1u);
}

TEST_F(BEACDeviceTrackerTest, WrapperSdkReplacesTheNewestEntry) {
    BEACDeviceTracker tracker;
    const auto before = tracker.deviceHistory().size();
    tracker.setWrapperSdk(std::make_shared<BEACWrapperSdk>("1.0", "wrapper", std::nullopt, std::nullopt,
                                                           std::nullopt, std::nullopt));
    auto history = tracker.deviceHistory();
    EXPECT_EQ(history.size(), before);
    EXPECT_EQ(history.back()->device->wrapperSdkName, "wrapper");
    EXPECT_EQ(tracker.device()->wrapperSdkVersion, "1.0");
}

}  // namespace
