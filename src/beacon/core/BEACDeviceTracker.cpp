#include "beacon/core/BEACDeviceTracker.h"

#include <sys/utsname.h>

#include <algorithm>
#include <fstream>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/core/detail/BEACHistoryStore.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/TimeZone.h"

namespace {

constexpr const char* kPastDevicesKey = "PastDevices";

// The shared instance, made under its own lock: the constructor takes the
// tracker lock.
plat::Mutex sharedMutex;
std::shared_ptr<BEACDeviceTracker> gShared GUARDED_BY(sharedMutex);

std::optional<std::string> firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return std::nullopt;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
        line.pop_back();
    if (line.empty())
        return std::nullopt;
    return line;
}

std::optional<std::string> osReleaseValue(const std::string& key) {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(key + "=", 0) != 0)
                continue;
            std::string value = line.substr(key.size() + 1);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            if (!value.empty())
                return value;
        }
    }
    return std::nullopt;
}

struct LanguageParts {
    std::string language;
    std::optional<std::string> script;
    std::optional<std::string> region;
};

// "sr-Latn-RS", "en_US", "zh-Hans": language, optional script, optional region.
LanguageParts splitLanguageTag(const std::string& tag) {
    LanguageParts parts;
    std::size_t start = 0;
    bool first = true;
    while (start <= tag.size()) {
        std::size_t end = tag.find_first_of("-_", start);
        std::string part = tag.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (first)
            parts.language = part;
        else if (part.size() == 4 && !parts.script)
            parts.script = part;
        else if ((part.size() == 2 || part.size() == 3) && !parts.region)
            parts.region = part;
        first = false;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

}  // namespace

plat::Mutex BEACDeviceTracker::classMutex_;
std::shared_ptr<BEACWrapperSdk> BEACDeviceTracker::wrapperSdk_;
std::optional<std::string> BEACDeviceTracker::countryCode_;
bool BEACDeviceTracker::deviceIsFresh_ = false;

std::shared_ptr<BEACDeviceTracker> BEACDeviceTracker::sharedInstance() {
    plat::MutexLock lock(sharedMutex);
    if (!gShared)
        gShared = std::make_shared<BEACDeviceTracker>();
    return gShared;
}

void BEACDeviceTracker::resetSharedInstance() {
    std::shared_ptr<BEACDeviceTracker> dropped;
    {
        plat::MutexLock lock(sharedMutex);
        dropped = std::move(gShared);
    }
    plat::MutexLock lock(classMutex_);
    wrapperSdk_.reset();
    countryCode_.reset();
    deviceIsFresh_ = false;
}

void BEACDeviceTracker::refreshDeviceNextTime() {
    plat::MutexLock lock(classMutex_);
    deviceIsFresh_ = false;
}

BEACDeviceTracker::BEACDeviceTracker() {
    auto history = beac::detail::readHistory<BEACDeviceHistoryInfo>(kPastDevicesKey);
    std::erase_if(history, [](const auto& info) { return !info->timestamp || !info->device; });
    plat::MutexLock lock(classMutex_);
    deviceHistory_ = std::move(history);
    deviceLocked();
}

std::shared_ptr<BEACDevice> BEACDeviceTracker::device() {
    plat::MutexLock lock(classMutex_);
    return deviceLocked();
}

std::shared_ptr<BEACDevice> BEACDeviceTracker::deviceLocked() {
    if (device_ && deviceIsFresh_)
        return device_;
    device_ = updatedDeviceLocked();
    auto info = std::make_shared<BEACDeviceHistoryInfo>(plat::Date::now(), device_);
    auto position =
        std::upper_bound(deviceHistory_.begin(), deviceHistory_.end(), *info->timestamp,
                         [](const plat::Date& t, const auto& entry) { return t < *entry->timestamp; });
    deviceHistory_.insert(position, info);
    if (deviceHistory_.size() > kMaxDevicesHistoryCount)
        deviceHistory_.erase(deviceHistory_.begin());
    saveHistory();
    return device_;
}

std::shared_ptr<BEACDevice> BEACDeviceTracker::updatedDevice() {
    plat::MutexLock lock(classMutex_);
    return updatedDeviceLocked();
}

std::shared_ptr<BEACDevice> BEACDeviceTracker::updatedDeviceLocked() {
    auto device = std::make_shared<BEACDevice>();
    device->sdkName = BEACUtility::sdkName();
    device->sdkVersion = BEACUtility::sdkVersion();
    device->model = deviceModel();
    device->oemName = oemName();
    device->osName = osName();
    device->osVersion = osVersion();
    device->osBuild = osBuild();
    device->locale = locale();
    device->timeZoneOffset = timeZoneOffset();
    device->screenSize = screenSize();
    device->appVersion = appVersion();
    device->carrierCountry = countryCode_;
    device->appBuild = appBuild();
    device->appNamespace = appNamespace();
    refreshWrapperSdk(*device);
    deviceIsFresh_ = true;
    return device;
}

void BEACDeviceTracker::refreshWrapperSdk(BEACDevice& device) const {
    if (wrapperSdk_)
        device.copyWrapperFieldsFrom(*wrapperSdk_);
}

std::shared_ptr<BEACDevice> BEACDeviceTracker::deviceForTimestamp(
    const std::optional<plat::Date>& timestamp) {
    plat::MutexLock lock(classMutex_);
    if (!timestamp || deviceHistory_.empty())
        return deviceLocked();
    auto position =
        std::lower_bound(deviceHistory_.begin(), deviceHistory_.end(), *timestamp,
                         [](const auto& entry, const plat::Date& t) { return *entry->timestamp < t; });
    if (position == deviceHistory_.begin())
        return deviceHistory_.front()->device;
    if (position == deviceHistory_.end())
        return deviceHistory_.back()->device;
    return (*(position - 1))->device;
}

void BEACDeviceTracker::clearDevices() {
    plat::MutexLock lock(classMutex_);
    if (deviceHistory_.size() >= 2)
        deviceHistory_.erase(deviceHistory_.begin(), deviceHistory_.end() - 1);
    saveHistory();
}

std::vector<std::shared_ptr<BEACDeviceHistoryInfo>> BEACDeviceTracker::deviceHistory() const {
    plat::MutexLock lock(classMutex_);
    return deviceHistory_;
}

void BEACDeviceTracker::setWrapperSdk(std::shared_ptr<BEACWrapperSdk> wrapperSdk) {
    plat::MutexLock lock(classMutex_);
    wrapperSdk_ = std::move(wrapperSdk);
    deviceIsFresh_ = false;
    if (!deviceHistory_.empty())
        deviceHistory_.pop_back();
    deviceLocked();
}

std::shared_ptr<BEACWrapperSdk> BEACDeviceTracker::wrapperSdk() const {
    plat::MutexLock lock(classMutex_);
    return wrapperSdk_;
}

void BEACDeviceTracker::setCountryCode(std::optional<std::string> countryCode) {
    plat::MutexLock lock(classMutex_);
    countryCode_ = std::move(countryCode);
    deviceIsFresh_ = false;
}

std::optional<std::string> BEACDeviceTracker::countryCode() const {
    plat::MutexLock lock(classMutex_);
    return countryCode_;
}

void BEACDeviceTracker::saveHistory() {
    beac::detail::writeHistory(kPastDevicesKey, deviceHistory_);
}

std::string BEACDeviceTracker::deviceModel() {
    return firstLine("/sys/devices/virtual/dmi/id/product_name").value_or("Unknown");
}

std::optional<std::string> BEACDeviceTracker::oemName() {
    return firstLine("/sys/devices/virtual/dmi/id/sys_vendor");
}

std::string BEACDeviceTracker::osName() {
    struct utsname names;
    if (uname(&names) == 0 && names.sysname[0] != '\0')
        return names.sysname;
    return "Linux";
}

std::string BEACDeviceTracker::osVersion() {
    auto version = plat::ProcessInfo::processInfo().operatingSystemVersion();
    return plat::format("%ld.%ld.%ld", version.majorVersion, version.minorVersion, version.patchVersion);
}

std::string BEACDeviceTracker::osBuild() {
    return osReleaseValue("PRETTY_NAME").value_or("Unknown");
}

std::string BEACDeviceTracker::locale() {
    auto languages = plat::Locale::preferredLanguages();
    LanguageParts preferred = splitLanguageTag(languages.empty() ? std::string("en") : languages.front());
    std::optional<std::string> region = preferred.region;
    if (!region)
        region = plat::Locale::currentLocale().countryCode();
    return plat::format("%@%@_%@", preferred.language,
                        preferred.script ? "-" + *preferred.script : std::string(), region);
}

int64_t BEACDeviceTracker::timeZoneOffset() {
    return plat::TimeZone::localTimeZone().secondsFromGMT(plat::Date::now()) / 60;
}

// The first frame buffer's "width,height"; a machine without one (a server,
// a container) has no screen.
std::string BEACDeviceTracker::screenSize() {
    auto size = firstLine("/sys/class/graphics/fb0/virtual_size");
    if (size) {
        std::size_t comma = size->find(',');
        if (comma != std::string::npos) {
            int width = std::atoi(size->substr(0, comma).c_str());
            int height = std::atoi(size->substr(comma + 1).c_str());
            if (width > 0 && height > 0)
                return plat::format("%dx%d", width, height);
        }
    }
    return "unknown";
}

std::optional<std::string> BEACDeviceTracker::appVersion() {
    return plat::Bundle::mainBundle().shortVersionString();
}

std::optional<std::string> BEACDeviceTracker::appBuild() {
    return plat::Bundle::mainBundle().version();
}

std::optional<std::string> BEACDeviceTracker::appNamespace() {
    return plat::Bundle::mainBundle().bundleIdentifier();
}
