// What a crash report written on this machine says about the system: the
// format's value for an operating system it does not name (it never claims to
// be another system), the kernel's release and version as the OS version and
// build, and the running processor as Mach CPU type numbers (the numbers the
// report format uses), with the coarse architecture left unknown.
//
// Ordinary time only (it calls uname); the crash-time writer reads these
// facts when it is prepared.
#pragma once

#include <cstdint>
#include <string>

struct KCRCrashReportSystemFacts {
    int32_t operatingSystem = 0;
    // The kernel release ("6.1.0-18-amd64"), empty when unknown.
    std::string operatingSystemVersion;
    // The kernel version ("#1 SMP PREEMPT_DYNAMIC Debian ..."), empty when unknown.
    std::string operatingSystemBuild;
    int32_t architecture = 0;
    int32_t processorTypeEncoding = 0;
    uint64_t processorType = 0;
    uint64_t processorSubtype = 0;

    static KCRCrashReportSystemFacts current();
};
