// ProcessInfo: facts about the running process and the machine (the
// platform's process information): environment, unique strings, host and
// process names, operating-system version from uname, processors, memory,
// uptime and the machine's hardware UUID.
//
// Threads: every member may be called from any thread. Values that cannot
// change while the process runs (process name, OS version, hardware UUID) are
// computed once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <vector>
#include "platform/foundation/Mutex.h"

namespace plat {

// A set of environment variables, as injected into the classes that read the
// environment (so that tests need not change the process's own).
using EnvironmentMap = std::map<std::string, std::string, std::less<>>;

struct OperatingSystemVersion {
    int64_t majorVersion = 0;
    int64_t minorVersion = 0;
    int64_t patchVersion = 0;
    bool operator==(const OperatingSystemVersion&) const = default;
};

class ProcessInfo {
  public:
    static ProcessInfo& processInfo();

    // A snapshot of the process's environment at the time of the call.
    EnvironmentMap environment() const;
    // The value of one variable, or nullopt when it is not set.
    std::optional<std::string> environmentValue(const std::string& name) const;

    // A new random UUID text for every call (upper-case hexadecimal digits and
    // "-" only: never "_" nor "|"), unique across processes and machines.
    std::string globallyUniqueString() const;

    // The host name from gethostname(); "localhost" if it cannot be read.
    std::string hostName() const;
    // The executable's name as invoked (argv[0] without folders), else the
    // kernel's command name.
    std::string processName() const;
    int processIdentifier() const;

    // The kernel release from uname ("6.1.0-18-amd64" gives 6.1.0).
    OperatingSystemVersion operatingSystemVersion() const;
    // "Version <release> (Build <kernel build>)", for people, not parsing.
    std::string operatingSystemVersionString() const;

    // Processors configured in the machine, and those this process may run on.
    unsigned processorCount() const;
    unsigned activeProcessorCount() const;
    // Bytes of physical memory.
    uint64_t physicalMemory() const;
    // Seconds since boot on a monotonic clock.
    double systemUptime() const;

    // The machine's identifier as an upper-case UUID ("8-4-4-4-12"). It comes
    // from /etc/machine-id (or /var/lib/dbus/machine-id); without a valid one,
    // a random UUID is generated once and kept in the XDG data home so that it
    // stays the same across runs. Never empty.
    std::string hardwareUUID() const;
    // Replaces the identifier for this process (tests playing two machines);
    // nullopt restores the real one.
    void setHardwareUUIDForTesting(std::optional<std::string> uuid);

    // Parses a kernel release: up to three leading dot-separated numbers, the
    // missing ones 0. nullopt when the text does not start with a number.
    static std::optional<OperatingSystemVersion> parseOperatingSystemVersion(std::string_view release);
    // Formats the contents of a machine-id file (32 hexadecimal digits and
    // optional surrounding white space) as an upper-case UUID; nullopt for
    // anything else, including an all-zero identifier.
    static std::optional<std::string> hardwareUUIDFromMachineID(std::string_view text);
    // The identifier from the first valid file of machineIDPaths, else the one
    // kept in fallbackPath (creating it with a new random UUID when missing or
    // invalid; when it cannot be written, the new UUID is still returned).
    static std::string resolveHardwareUUID(const std::vector<std::string>& machineIDPaths,
                                           const std::string& fallbackPath);

  private:
    ProcessInfo() = default;

    mutable Mutex mutex_;
    std::optional<std::string> hardwareUUIDOverride_ GUARDED_BY(mutex_);
};

}  // namespace plat
