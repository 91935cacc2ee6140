#include "crashcapture/KCRCrashReportSystemFacts.h"

#include <sys/utsname.h>

#include "crashcapture/KCRCrashReportInfo.h"

namespace {

// Mach CPU numbers: 64-bit variants set the ABI64 bit on the 32-bit type.
[[maybe_unused]] constexpr uint64_t kCPUArchABI64 = 0x01000000;
[[maybe_unused]] constexpr uint64_t kCPUTypeX86 = 7;
[[maybe_unused]] constexpr uint64_t kCPUTypeARM = 12;
[[maybe_unused]] constexpr uint64_t kCPUSubtypeX86All = 3;
[[maybe_unused]] constexpr uint64_t kCPUSubtypeARM64All = 0;
[[maybe_unused]] constexpr uint64_t kCPUSubtypeARMV7 = 9;

void setProcessor(KCRCrashReportSystemFacts& facts) {
#if defined(__x86_64__)
    facts.processorTypeEncoding = KCRCrashReportProcessorTypeEncodingMach;
    facts.processorType = kCPUTypeX86 | kCPUArchABI64;
    facts.processorSubtype = kCPUSubtypeX86All;
#elif defined(__i386__)
    facts.processorTypeEncoding = KCRCrashReportProcessorTypeEncodingMach;
    facts.processorType = kCPUTypeX86;
    facts.processorSubtype = kCPUSubtypeX86All;
#elif defined(__aarch64__)
    facts.processorTypeEncoding = KCRCrashReportProcessorTypeEncodingMach;
    facts.processorType = kCPUTypeARM | kCPUArchABI64;
    facts.processorSubtype = kCPUSubtypeARM64All;
#elif defined(__arm__)
    facts.processorTypeEncoding = KCRCrashReportProcessorTypeEncodingMach;
    facts.processorType = kCPUTypeARM;
    facts.processorSubtype = kCPUSubtypeARMV7;
#else
    // A processor without Mach numbers is reported as such, not guessed.
    facts.processorTypeEncoding = KCRCrashReportProcessorTypeEncodingUnknown;
#endif
}

}  // namespace

KCRCrashReportSystemFacts KCRCrashReportSystemFacts::current() {
    KCRCrashReportSystemFacts facts;
    facts.operatingSystem = KCRCrashReportOperatingSystemUnknown;
    facts.architecture = KCRCrashReportArchitectureUnknown;
    struct utsname names {};
    if (uname(&names) == 0) {
        facts.operatingSystemVersion = names.release;
        facts.operatingSystemBuild = names.version;
    }
    setProcessor(facts);
    return facts;
}
