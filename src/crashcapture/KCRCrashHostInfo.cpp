#include "crashcapture/KCRCrashHostInfo.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRCrashReporterLog.h"
#include "platform/machine/HostFacts.h"

namespace kcr {

char* sysctl_string(const char* name) {
    for (;;) {
        size_t size = 0;
        int error = plat::machine::systemFact(name, nullptr, &size);
        if (error != 0) {
            errno = error;
            return nullptr;
        }
        char* value = static_cast<char*>(std::malloc(size));
        if (value == nullptr) {
            errno = ENOMEM;
            return nullptr;
        }
        error = plat::machine::systemFact(name, value, &size);
        if (error == 0)
            return value;
        std::free(value);
        if (error != ENOMEM) {
            errno = error;
            return nullptr;
        }
        // The value grew between the two calls: ask again.
    }
}

bool sysctl_int(const char* name, int32_t* result) {
    size_t size = sizeof *result;
    int32_t value = 0;
    if (plat::machine::systemFact(name, &value, &size) != 0 || size != sizeof value)
        return false;
    *result = value;
    return true;
}

}  // namespace kcr

KCRCrashHostInfoVersion KCRCrashHostInfo::parseRelease(const std::string& release) {
    KCRCrashHostInfoVersion version;
    int major = 0, minor = 0, revision = 0;
    int scanned = std::sscanf(release.c_str(), "%d.%d.%d", &major, &minor, &revision);
    if (scanned != 3)
        kcr::log("Unexpected kern.osrelease string format: %s", release);
    version.major = static_cast<uint64_t>(major);
    version.minor = static_cast<uint64_t>(minor);
    version.revision = static_cast<uint64_t>(revision);
    return version;
}

std::shared_ptr<KCRCrashHostInfo> KCRCrashHostInfo::currentHostInfo() {
    char* release = kcr::sysctl_string("kern.osrelease");
    if (release == nullptr) {
        int error = errno;
        kcr::log("Failed to fetch kern.osrelease value %d: %s", error, std::strerror(error));
        return nullptr;
    }
    std::string text(release);
    std::free(release);
    return std::make_shared<KCRCrashHostInfo>(parseRelease(text));
}

std::shared_ptr<KCRCrashProcessInfo> KCRCrashProcessInfo::currentProcessInfo() {
    return create(getpid());
}

std::shared_ptr<KCRCrashProcessInfo> KCRCrashProcessInfo::create(pid_t processID) {
    plat::machine::ProcessRecord record;
    if (plat::machine::processRecord(processID, &record) != 0)
        return nullptr;
    auto info = std::shared_ptr<KCRCrashProcessInfo>(new KCRCrashProcessInfo);
    info->processID_ = record.pid;
    info->parentProcessID_ = record.parentPid;
    info->isTraced_ = record.traced;
    info->startTime_.tv_sec = static_cast<time_t>(record.startSeconds);
    info->startTime_.tv_usec = record.startMicroseconds;
    size_t valid = kcr::async::async_utf8_valid_length(reinterpret_cast<const uint8_t*>(record.command),
                                                       sizeof record.command);
    if (valid > 0)
        info->processName_ = std::string(record.command, valid);
    return info;
}
