// The single source of the current BEACDevice: built from this machine's
// facts once and kept until the wrapper SDK or country code changes, plus a
// history of the last 5 descriptions with the time each took effect, kept
// archived under the "PastDevices" setting, so that a log about an earlier
// moment (a crash of a previous launch) gets the description of that moment.
//
// Facts on Linux: operating-system name "Linux" and the kernel release as
// version (uname), the distribution's PRETTY_NAME from /etc/os-release as
// build, DMI product name and vendor as model and maker (/sys), the first
// preferred language and the local time zone, the first frame buffer's size
// ("unknown" without one), and the main bundle's versions and identifier.
//
// Threads: every member may be called from any thread (one recursive lock,
// shared by all trackers).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACDevice.h"
#include "beacon/core/BEACHistoryInfo.h"

class BEACDeviceTracker {
  public:
    static constexpr std::size_t kMaxDevicesHistoryCount = 5;

    static std::shared_ptr<BEACDeviceTracker> sharedInstance();
    // Forgets the tracker and the process-wide wrapper SDK and country code.
    static void resetSharedInstance();
    static void refreshDeviceNextTime();

    BEACDeviceTracker();

    // The current description; rebuilt (and recorded) when stale.
    std::shared_ptr<BEACDevice> device();
    std::shared_ptr<BEACDevice> updatedDevice();
    // The description in effect at `timestamp` (the newest entry strictly
    // earlier than it; the oldest or newest entry beyond the ends).
    std::shared_ptr<BEACDevice> deviceForTimestamp(const std::optional<plat::Date>& timestamp);
    // Keeps only the newest history entry.
    void clearDevices();
    std::vector<std::shared_ptr<BEACDeviceHistoryInfo>> deviceHistory() const;

    void setWrapperSdk(std::shared_ptr<BEACWrapperSdk> wrapperSdk);
    std::shared_ptr<BEACWrapperSdk> wrapperSdk() const;
    void setCountryCode(std::optional<std::string> countryCode);
    std::optional<std::string> countryCode() const;

    // Field sources.
    static std::string deviceModel();
    static std::optional<std::string> oemName();
    static std::string osName();
    static std::string osVersion();
    static std::string osBuild();
    static std::string locale();
    static int64_t timeZoneOffset();
    static std::string screenSize();
    static std::optional<std::string> appVersion();
    static std::optional<std::string> appBuild();
    static std::optional<std::string> appNamespace();

  private:
    void refreshWrapperSdk(BEACDevice& device) const;
    void saveHistory();

    std::shared_ptr<BEACDevice> device_;
    std::vector<std::shared_ptr<BEACDeviceHistoryInfo>> deviceHistory_;
};
