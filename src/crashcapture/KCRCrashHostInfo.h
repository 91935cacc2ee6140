// Facts about the host (the kernel's version) and about a process (name,
// parent, start time, traced flag), read at ordinary time for the crash log
// writer's preparation and the exception-mask choice. On this system the
// kernel version is the release from uname (the value plat::ProcessInfo
// reports as the OS version), scanned as major.minor.revision.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct KCRCrashHostInfoVersion {
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t revision = 0;
};

class KCRCrashHostInfo {
  public:
    explicit KCRCrashHostInfo(KCRCrashHostInfoVersion version) : darwinVersion_(version) {}
    // Null (with a log line) when the release cannot be read.
    static std::shared_ptr<KCRCrashHostInfo> currentHostInfo();
    // Scans "major.minor.revision"; parts not scanned stay 0 and a text of
    // another form is logged.
    static KCRCrashHostInfoVersion parseRelease(const std::string& release);

    const KCRCrashHostInfoVersion& darwinVersion() const { return darwinVersion_; }

  private:
    KCRCrashHostInfoVersion darwinVersion_;
};

class KCRCrashProcessInfo {
  public:
    static std::shared_ptr<KCRCrashProcessInfo> currentProcessInfo();
    // Null when the process record cannot be had (no such process).
    static std::shared_ptr<KCRCrashProcessInfo> create(pid_t processID);

    pid_t processID() const { return processID_; }
    // The valid UTF-8 prefix of the kernel's command name; none when empty.
    const std::optional<std::string>& processName() const { return processName_; }
    pid_t parentProcessID() const { return parentProcessID_; }
    bool isTraced() const { return isTraced_; }
    timeval startTime() const { return startTime_; }

  private:
    pid_t processID_ = 0;
    std::optional<std::string> processName_;
    pid_t parentProcessID_ = 0;
    bool isTraced_ = false;
    timeval startTime_{};
};

namespace kcr {

// A named system fact (see plat::machine::systemFact): a heap copy the caller
// releases with free(), or null with errno set.
char* sysctl_string(const char* name);
// True when the fact is exactly 4 bytes and was read into *result.
bool sysctl_int(const char* name, int32_t* result);

}  // namespace kcr
