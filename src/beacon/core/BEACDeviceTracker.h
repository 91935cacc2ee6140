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
// Threads: every member may be called from any thread. One lock, shared by
// all trackers, guards the process-wide values and every tracker's device
// and history; the shared instance is made under a lock of its own, taken
// before it (the constructor takes the tracker lock).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACDevice.h"
#include "beacon/core/BEACHistoryInfo.h"
#include "platform/foundation/Mutex.h"

class BEACDeviceTracker {
  public:
    static constexpr std::size_t kMaxDevicesHistoryCount = 5;

    static std::shared_ptr<BEACDeviceTracker> sharedInstance() EXCLUDES(classMutex_);
    // Forgets the tracker and the process-wide wrapper SDK and country code.
    static void resetSharedInstance() EXCLUDES(classMutex_);
    static void refreshDeviceNextTime() EXCLUDES(classMutex_);

    BEACDeviceTracker() EXCLUDES(classMutex_);

    // The current description; rebuilt (and recorded) when stale.
    std::shared_ptr<BEACDevice> device() EXCLUDES(classMutex_);
    std::shared_ptr<BEACDevice> updatedDevice() EXCLUDES(classMutex_);
    // The description in effect at `timestamp` (the newest entry strictly
    // earlier than it; the oldest or newest entry beyond the ends).
    std::shared_ptr<BEACDevice> deviceForTimestamp(const std::optional<plat::Date>& timestamp)
        EXCLUDES(classMutex_);
    // Keeps only the newest history entry.
    void clearDevices() EXCLUDES(classMutex_);
    std::vector<std::shared_ptr<BEACDeviceHistoryInfo>> deviceHistory() const EXCLUDES(classMutex_);

    void setWrapperSdk(std::shared_ptr<BEACWrapperSdk> wrapperSdk) EXCLUDES(classMutex_);
    std::shared_ptr<BEACWrapperSdk> wrapperSdk() const EXCLUDES(classMutex_);
    void setCountryCode(std::optional<std::string> countryCode) EXCLUDES(classMutex_);
    std::optional<std::string> countryCode() const EXCLUDES(classMutex_);

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
    std::shared_ptr<BEACDevice> deviceLocked() REQUIRES(classMutex_);
    std::shared_ptr<BEACDevice> updatedDeviceLocked() REQUIRES(classMutex_);
    void refreshWrapperSdk(BEACDevice& device) const REQUIRES(classMutex_);
    void saveHistory() REQUIRES(classMutex_);

    // The one lock of every tracker (so there is no lock order among them)
    // and the process-wide values it guards, kept across shared instances.
    static plat::Mutex classMutex_;
    static std::shared_ptr<BEACWrapperSdk> wrapperSdk_ GUARDED_BY(classMutex_);
    static std::optional<std::string> countryCode_ GUARDED_BY(classMutex_);
    static bool deviceIsFresh_ GUARDED_BY(classMutex_);

    std::shared_ptr<BEACDevice> device_ GUARDED_BY(classMutex_);
    std::vector<std::shared_ptr<BEACDeviceHistoryInfo>> deviceHistory_ GUARDED_BY(classMutex_);
};
