#include "crashcapture/KCRCrashReportTextFormatter.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "crashcapture/KCRCrashReporterLog.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/StringEncoding.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char* kMissing = "???";

constexpr uint64_t kCPUTypeX86 = 7;
constexpr uint64_t kCPUTypeARM = 12;
constexpr uint64_t kCPUTypePowerPC = 0x12;
constexpr uint64_t kCPUTypeX86_64 = 0x1000007;
constexpr uint64_t kCPUTypeARM64 = 0x100000C;
// Mach keeps capability flags in the top byte of type and subtype numbers.
constexpr uint64_t kLow24Bits = 0xFFFFFF;

struct CodeType {
    std::string name;
    bool lp64;
};

bool isMach(const KCRCrashReportProcessorInfoPtr& processor) {
    return processor != nullptr && processor->typeEncoding() == KCRCrashReportProcessorTypeEncodingMach;
}

std::optional<CodeType> knownCodeType(const KCRCrashReportProcessorInfoPtr& processor) {
    if (!isMach(processor))
        return std::nullopt;
    switch (processor->type()) {
        case kCPUTypePowerPC:
            return CodeType{"PPC", false};
        case kCPUTypeARM64:
            return CodeType{"ARM-64", true};
        case kCPUTypeX86_64:
            return CodeType{"X86-64", true};
        case kCPUTypeX86:
            return CodeType{"X86", false};
        case kCPUTypeARM:
            return CodeType{"ARM", false};
        default:
            return std::nullopt;
    }
}

// The images speak for the process; the system's processor is the fallback.
CodeType reportCodeType(const KCRCrashReport& report) {
    for (const auto& image : report.images()) {
        if (auto known = knownCodeType(image->codeType()))
            return *known;
    }
    const auto& processor = report.systemInfo()->processorInfo();
    if (auto known = knownCodeType(processor))
        return *known;
    if (isMach(processor))
        return {plat::format("Unknown (%llu)", processor->type()), true};
    return {"Unknown", true};
}

std::string operatingSystemName(int32_t operatingSystem) {
    switch (operatingSystem) {
        case KCRCrashReportOperatingSystemMacOSX:
        case KCRCrashReportOperatingSystemiPhoneSimulator:
            return "Mac OS X";
        case KCRCrashReportOperatingSystemiPhoneOS:
            return "iPhone OS";
        case KCRCrashReportOperatingSystemAppleTVOS:
            return "Apple tvOS";
        default:
            return plat::format("Unknown (%d)", operatingSystem);
    }
}

const char* armArchitectureName(uint64_t subtype) {
    switch (subtype & kLow24Bits) {
        case 6:
            return "armv6";
        case 9:
            return "armv7";
        case 11:
            return "armv7s";
        default:
            return "arm-unknown";
    }
}

const char* arm64ArchitectureName(uint64_t subtype) {
    switch (subtype & kLow24Bits) {
        case 0:
            return "arm64";
        case 1:
            return "armv8";
        case 2:
            return "arm64e";
        default:
            return "arm64-unknown";
    }
}

const char* architectureName(const KCRCrashReportProcessorInfoPtr& codeType) {
    if (!isMach(codeType))
        return kMissing;
    switch (codeType->type()) {
        case kCPUTypeX86:
            return "i386";
        case kCPUTypeARM:
            return armArchitectureName(codeType->subtype());
        case kCPUTypePowerPC:
            return "powerpc";
        case kCPUTypeX86_64:
            return "x86_64";
        case kCPUTypeARM64:
            return arm64ArchitectureName(codeType->subtype());
        default:
            return kMissing;
    }
}

// Writers record unknown texts as empty strings; both print as missing.
std::string orMissing(const std::optional<std::string>& value) {
    return value && !value->empty() ? *value : kMissing;
}

// Symbol names of the named systems carry a leading "_" that their tools hide.
std::string displayedSymbolName(const std::string& name, int32_t operatingSystem) {
    if (name.size() < 2 || name[0] != '_')
        return name;
    switch (operatingSystem) {
        case KCRCrashReportOperatingSystemMacOSX:
        case KCRCrashReportOperatingSystemiPhoneOS:
        case KCRCrashReportOperatingSystemiPhoneSimulator:
        case KCRCrashReportOperatingSystemAppleTVOS:
            return name.substr(1);
        default:
            kcr::log("Symbol \"%@\" prefix rules are unknown for this OS!", name);
            return name;
    }
}

std::string versionText(const KCRCrashReportApplicationInfo& application) {
    const auto& marketing = application.applicationMarketingVersion();
    if (!marketing || marketing->empty())
        return application.applicationVersion();
    return plat::format("%@ (%@)", *marketing, application.applicationVersion());
}

void appendProcessLines(std::string& out, const KCRCrashReport& report, const CodeType& codeType) {
    const auto& process = report.processInfo();
    std::string name = kMissing, pid = kMissing, path = kMissing, parentName = kMissing, parentPid = kMissing;
    if (process != nullptr) {
        name = orMissing(process->processName());
        pid = std::to_string(process->processID());
        path = orMissing(process->processPath());
        parentName = orMissing(process->parentProcessName());
        parentPid = std::to_string(process->parentProcessID());
    }
    const auto& application = *report.applicationInfo();
    out += plat::format("Process:         %@ [%@]\n", name, pid);
    out += plat::format("Path:            %@\n", path);
    out += plat::format("Identifier:      %@\n", application.applicationIdentifier());
    out += plat::format("Version:         %@\n", versionText(application));
    out += plat::format("Code Type:       %@\n", codeType.name);
    out += plat::format("Parent Process:  %@ [%@]\n", parentName, parentPid);
}

void appendHeader(std::string& out, const KCRCrashReport& report, const CodeType& codeType) {
    const auto& uuid = report.uuidRef();
    out += plat::format("Incident Identifier: %@\n", uuid ? uuid->UUIDString() : kMissing);
    const auto& machine = report.machineInfo();
    out += plat::format("Hardware Model:      %@\n", machine ? orMissing(machine->modelName()) : kMissing);
    appendProcessLines(out, report, codeType);
    out += "\n";

    const auto& system = *report.systemInfo();
    const auto& timestamp = system.timestamp();
    out += plat::format("Date/Time:       %@\n",
                        timestamp ? std::optional(timestamp->description()) : std::nullopt);
    out += plat::format("OS Version:      %@ %@ (%@)\n", operatingSystemName(system.operatingSystem()),
                        system.operatingSystemVersion(), orMissing(system.operatingSystemBuild()));
    out += "Report Version:  104\n\n";

    const auto& signal = *report.signalInfo();
    out += plat::format("Exception Type:  %@\n", signal.name());
    out += plat::format("Exception Codes: %@ at 0x%llx\n", signal.code(), signal.address());
    for (const auto& thread : report.threads()) {
        if (thread->crashed()) {
            out += plat::format("Crashed Thread:  %ld\n", thread->threadNumber());
            break;
        }
    }
    out += "\n";
}

void appendFrames(std::string& out, const std::vector<KCRCrashReportStackFrameInfoPtr>& frames,
                  const KCRCrashReport& report, bool lp64) {
    int64_t index = 0;
    for (const auto& frame : frames) {
        out += KCRCrashReportTextFormatter::formatStackFrame(*frame, index++, report, lp64);
        out += "\n";
    }
}

void appendException(std::string& out, const KCRCrashReport& report, bool lp64) {
    const auto& exception = report.exceptionInfo();
    if (exception == nullptr)
        return;
    out += "Application Specific Information:\n";
    out += plat::format("*** Terminating app due to uncaught exception '%@', reason: '%@'\n\n",
                        exception->exceptionName(), exception->exceptionReason());
    if (exception->stackFrames().empty())
        return;
    out += "Last Exception Backtrace:\n";
    appendFrames(out, exception->stackFrames(), report, lp64);
    out += "\n";
}

void appendThreads(std::string& out, const KCRCrashReport& report, bool lp64) {
    for (const auto& thread : report.threads()) {
        const char* format = thread->crashed() ? "Thread %ld Crashed:\n" : "Thread %ld:\n";
        out += plat::format(format, thread->threadNumber());
        appendFrames(out, thread->stackFrames(), report, lp64);
        out += "\n";
    }
}

void appendRegisters(std::string& out, const KCRCrashReport& report, const CodeType& codeType) {
    const auto& threads = report.threads();
    auto crashed = std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t->crashed(); });
    if (crashed == threads.end())
        return;
    out +=
        plat::format("Thread %ld crashed with %@ Thread State:\n", (*crashed)->threadNumber(), codeType.name);

    // 32-bit ARM names r12 the intra-procedure-call register.
    const auto& processor = report.systemInfo()->processorInfo();
    bool armNames = isMach(processor) && (processor->type() & kLow24Bits) == kCPUTypeARM;
    const char* format = codeType.lp64 ? "%6s: 0x%016llx " : "%6s: 0x%08llx ";
    std::size_t column = 0;
    for (const auto& reg : (*crashed)->registers()) {
        const std::string& name = reg->registerName();
        out +=
            plat::format(format, armNames && name == "r12" ? std::string("ip") : name, reg->registerValue());
        if (++column % 4 == 0)
            out += "\n";
    }
    if (column % 4 != 0)
        out += "\n";
    out += "\n";
}

void appendImages(std::string& out, const KCRCrashReport& report, bool lp64) {
    std::vector<KCRCrashReportBinaryImageInfoPtr> images = report.images();
    std::stable_sort(images.begin(), images.end(), [](const auto& a, const auto& b) {
        return a->imageBaseAddress() < b->imageBaseAddress();
    });
    const auto& process = report.processInfo();
    const std::optional<std::string> processPath = process ? process->processPath() : std::nullopt;
    const char* format =
        lp64 ? "%#18llx - %#18llx %@%@ %@  <%@> %@\n" : "%#10llx - %#10llx %@%@ %@  <%@> %@\n";

    out += "Binary Images:\n";
    uint64_t lastBase = 0;
    for (const auto& image : images) {
        uint64_t base = image->imageBaseAddress();
        if (base == 0 || base == lastBase)
            continue;
        lastBase = base;
        uint64_t end = base + std::max<uint64_t>(image->imageSize(), 1) - 1;
        const char* marker = processPath && image->imageName() == *processPath ? "+" : " ";
        out += plat::format(format, base, end, marker, plat::text::lastPathComponent(image->imageName()),
                            architectureName(image->codeType()), orMissing(image->imageUUID()),
                            image->imageName());
    }
}

// ASCII output turns every other character into "?".
std::string encode(const std::string& text, KCRCrashReportTextEncoding encoding) {
    if (encoding != KCRCrashReportTextEncodingASCII)
        return text;
    auto ascii = plat::dataFromString(text, plat::ASCIIStringEncoding, true);
    return ascii ? ascii->toString() : std::string();
}

}  // namespace

std::string KCRCrashReportTextFormatter::formatStackFrame(const KCRCrashReportStackFrameInfo& frame,
                                                          int64_t frameIndex, const KCRCrashReport& report,
                                                          bool lp64) {
    const uint64_t pc = frame.instructionPointer();
    auto image = report.imageForAddress(pc);
    if (image == nullptr && pc != 0)
        kcr::log("Cannot find image for 0x%llx", pc);

    std::string location;
    if (const auto& symbol = frame.symbolInfo()) {
        location = plat::format(
            "%@ + %lld", displayedSymbolName(symbol->symbolName(), report.systemInfo()->operatingSystem()),
            static_cast<int64_t>(pc - symbol->startAddress()));
    } else {
        uint64_t base = image ? image->imageBaseAddress() : 0;
        location = plat::format("0x%llx + %lld", base, static_cast<int64_t>(image ? pc - base : 0));
    }
    std::string imageName = image ? plat::text::lastPathComponent(image->imageName()) : kMissing;
    return plat::format("%-4ld%-35S 0x%0*llx %@", frameIndex, imageName, lp64 ? 16 : 8, pc, location);
}

std::string KCRCrashReportTextFormatter::stringValueForCrashReport(const KCRCrashReport& report,
                                                                   KCRCrashReportTextFormat) {
    const CodeType codeType = reportCodeType(report);
    std::string out;
    appendHeader(out, report, codeType);
    appendException(out, report, codeType.lp64);
    appendThreads(out, report, codeType.lp64);
    appendRegisters(out, report, codeType);
    appendImages(out, report, codeType.lp64);
    return out;
}

plat::Result<plat::Data> KCRCrashReportTextFormatter::formatReport(const KCRCrashReport& report) const {
    return plat::Data::fromString(encode(stringValueForCrashReport(report, textFormat_), stringEncoding_));
}
