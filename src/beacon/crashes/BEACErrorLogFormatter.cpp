#include "beacon/crashes/BEACErrorLogFormatter.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACDeviceTracker.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/crashes/BEACCrashesLogTag.h"
#include "beacon/crashes/BEACLoadedImages.h"
#include "beacon/crashes/BEACWrapperExceptionManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char* kUnknown = "???";

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIx64, value);
    return text;
}

std::optional<std::string> processPathOf(const KCRCrashReport& report) {
    return report.hasProcessInfo() ? report.processInfo()->processPath() : std::nullopt;
}

// The CPU type and subtype: the machine's processor, unless an image names
// its own Mach-style code type (the first one does).
std::pair<uint64_t, uint64_t> cpuTypeOf(const KCRCrashReport& report) {
    std::pair<uint64_t, uint64_t> cpu{0, 0};
    if (report.hasMachineInfo() && report.machineInfo()->processorInfo())
        cpu = {report.machineInfo()->processorInfo()->type(),
               report.machineInfo()->processorInfo()->subtype()};
    for (const auto& image : report.images()) {
        const auto& code = image->codeType();
        if (code && code->typeEncoding() == KCRCrashReportProcessorTypeEncodingMach)
            return {code->type(), code->subtype()};
    }
    return cpu;
}

// Replaces every "<prefix><name>/" (name: one or more characters other than
// "/" and, in free text, white space) by "<prefix>USER/", scanning as a
// regular expression would: a failed match moves on by one character.
std::string replaceUserFolders(const std::string& text, const std::string& prefix, bool stopAtSpace) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t at = text.find(prefix, pos);
        if (at == std::string::npos)
            break;
        std::size_t nameStart = at + prefix.size();
        std::size_t end = nameStart;
        while (end < text.size() && text[end] != '/' &&
               !(stopAtSpace && std::isspace(static_cast<unsigned char>(text[end]))))
            ++end;
        if (end > nameStart && end < text.size() && text[end] == '/') {
            out.append(text, pos, at - pos);
            out += prefix + "USER/";
            pos = end + 1;
        } else {
            out.append(text, pos, at + 1 - pos);
            pos = at + 1;
        }
    }
    out.append(text, pos, std::string::npos);
    return out;
}

// root's home folder stands for a user like any other.
std::string replaceRootHome(const std::string& text) {
    return plat::text::hasPrefix(text, "/root/") ? "/home/USER/" + text.substr(6) : text;
}

std::string stripLeadingUnderscore(const std::string& name, int32_t operatingSystem) {
    if (name.size() < 2 || name[0] != '_')
        return name;
    switch (operatingSystem) {
        case KCRCrashReportOperatingSystemMacOSX:
        case KCRCrashReportOperatingSystemiPhoneOS:
        case KCRCrashReportOperatingSystemiPhoneSimulator:
        case KCRCrashReportOperatingSystemAppleTVOS:
            return name.substr(1);
        case KCRCrashReportOperatingSystemUnknown:
            BEACLogWarning(kBEACCrashesLogTag, "Symbol \"%@\" prefix rules are unknown for this OS!", name);
            return name;
        default:
            return name;
    }
}

// The NUL-terminated text at `p`, which must end inside [p, end).
std::optional<std::string> readCString(const BEACLoadedImages& images, uint64_t p, uint64_t end) {
    std::string text;
    uint64_t at = p;
    while (at < end) {
        char chunk[256];
        const std::size_t length = static_cast<std::size_t>(std::min<uint64_t>(sizeof chunk, end - at));
        if (!images.read(at, chunk, length))
            return std::nullopt;
        const std::size_t start = at == p ? 1 : 0;  // the scan begins after p
        for (std::size_t i = start; i < length; ++i) {
            if (chunk[i] == '\0') {
                text.append(chunk, i);
                const std::size_t nul = text.find('\0');
                if (nul != std::string::npos)
                    text.resize(nul);
                if (!plat::text::isValidUTF8(text))
                    return std::nullopt;
                return text;
            }
        }
        text.append(chunk, length);
        at += length;
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<BEACAppleErrorLog> BEACErrorLogFormatter::errorLogFromCrashReport(
    const KCRCrashReport& report) {
    auto log = std::make_shared<BEACAppleErrorLog>();
    log->errorId = errorIdForCrashReport(report);
    addProcessInfoAndApplicationPathTo(*log, report);
    auto crashedThread = findCrashedThreadInReport(report);
    log->errorThreadId = crashedThread ? crashedThread->threadNumber() : 0;
    log->fatal = true;
    log->appLaunchTimestamp = getAppLaunchTimeFromReport(report);
    log->timestamp = getCrashTimeFromReport(report);

    const auto [cpuType, cpuSubtype] = cpuTypeOf(report);
    const bool is64bit = isCodeType64bit(cpuType);
    log->primaryArchitectureId = cpuType;
    log->architectureVariantId = cpuSubtype;

    if (const auto& signal = report.signalInfo()) {
        log->osExceptionType = signal->name();
        log->osExceptionCode = signal->code();
        log->osExceptionAddress = hex(signal->address());
    }
    log->exceptionReason = extractExceptionReasonFromReport(report);
    if (report.hasExceptionInfo())
        log->exceptionType = report.exceptionInfo()->exceptionName();
    log->selectorRegisterValue = selectorRegisterValueFromReport(report, crashedThread, cpuType);

    log->threads = extractThreadsFromReport(report, crashedThread, is64bit);
    log->registers = extractRegistersFromCrashedThread(crashedThread, is64bit);
    log->binaries = extractBinaryImagesFromReport(report, is64bit);
    log->device = deviceForTimestamp(log->timestamp, report);

    if (auto wrapper = BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
            uuidRefToString(report.uuidRef())))
        log->exception = wrapper->modelException;
    return log;
}

std::shared_ptr<BEACErrorReport> BEACErrorLogFormatter::errorReportFromCrashReport(
    const KCRCrashReportPtr& report) {
    if (!report)
        return nullptr;
    return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<BEACErrorReport> BEACErrorLogFormatter::errorReportFromLog(const BEACAppleErrorLog& log) {
    const uint64_t processId = log.processId ? static_cast<uint64_t>(*log.processId) : 0;
    return std::make_shared<BEACErrorReport>(log.errorId, BEACBeacon::installId().UUIDString(),
                                             log.osExceptionType, log.exceptionType, log.exceptionReason,
                                             log.appLaunchTimestamp, log.timestamp, log.device, processId);
}

std::string BEACErrorLogFormatter::errorIdForCrashReport(const KCRCrashReport& report) {
    return report.uuidRef() ? report.uuidRef()->UUIDString() : plat::UUID::random().UUIDString();
}

BEACAppleErrorLog& BEACErrorLogFormatter::addProcessInfoAndApplicationPathTo(BEACAppleErrorLog& log,
                                                                             const KCRCrashReport& report) {
    log.processId = 0;
    log.processName = kUnknown;
    log.parentProcessName = kUnknown;
    log.parentProcessId.reset();
    log.applicationPath = kUnknown;
    if (!report.hasProcessInfo())
        return log;
    const auto& info = *report.processInfo();
    log.processId = static_cast<int64_t>(info.processID());
    if (info.processName())
        log.processName = *info.processName();
    if (info.processPath())
        log.applicationPath = anonymizedPathFromPath(info.processPath());
    if (info.parentProcessName())
        log.parentProcessName = *info.parentProcessName();
    log.parentProcessId = static_cast<int64_t>(info.parentProcessID());
    return log;
}

std::optional<plat::Date> BEACErrorLogFormatter::getAppLaunchTimeFromReport(const KCRCrashReport& report) {
    if (report.hasProcessInfo())
        return report.processInfo()->processStartTime();
    return report.systemInfo() ? report.systemInfo()->timestamp() : std::nullopt;
}

std::optional<plat::Date> BEACErrorLogFormatter::getCrashTimeFromReport(const KCRCrashReport& report) {
    if (!report.systemInfo() || !report.systemInfo()->timestamp())
        return std::nullopt;
    const double t = report.systemInfo()->timestamp()->timeIntervalSince1970();
    // A whole second gets the 0.999 s only inside the range of a signed 32-bit
    // count of seconds (up to 2038-01-19 03:14:07 UTC); times beyond it stay
    // as they are.
    const bool in32BitRange = t >= static_cast<double>(INT32_MIN) && t <= static_cast<double>(INT32_MAX);
    if (in32BitRange && std::trunc(t) == t)
        return plat::Date::fromTimeIntervalSince1970(t + 0.999);
    return report.systemInfo()->timestamp();
}

KCRCrashReportThreadInfoPtr BEACErrorLogFormatter::findCrashedThreadInReport(const KCRCrashReport& report) {
    for (const auto& thread : report.threads())
        if (thread->crashed())
            return thread;
    return nullptr;
}

std::vector<std::shared_ptr<BEACThread>> BEACErrorLogFormatter::extractThreadsFromReport(
    const KCRCrashReport& report, const KCRCrashReportThreadInfoPtr& crashedThread, bool is64bit) {
    std::shared_ptr<BEACException> exception;
    if (report.hasExceptionInfo() && !report.exceptionInfo()->stackFrames().empty()) {
        const auto& info = *report.exceptionInfo();
        exception = std::make_shared<BEACException>();
        exception->message = extractExceptionReasonFromReport(report);
        std::vector<std::shared_ptr<BEACStackFrame>> frames;
        for (const auto& frame : info.stackFrames()) {
            auto f = std::make_shared<BEACStackFrame>();
            f->address = formatAddress(frame->instructionPointer(), is64bit);
            frames.push_back(std::move(f));
        }
        exception->frames = std::move(frames);
        // The report always carries a name; an empty one says nothing.
        if (!info.exceptionName().empty())
            exception->type = info.exceptionName();
        else if (report.signalInfo())
            exception->type = report.signalInfo()->name();
    }

    std::vector<std::shared_ptr<BEACThread>> threads;
    for (const auto& info : report.threads()) {
        auto thread = std::make_shared<BEACThread>();
        thread->threadId = info->threadNumber();
        if (crashedThread && exception && info->threadNumber() == crashedThread->threadNumber())
            thread->exception = exception;
        for (const auto& frame : info->stackFrames()) {
            auto f = std::make_shared<BEACStackFrame>();
            f->address = formatAddress(frame->instructionPointer(), is64bit);
            f->code = formatStackFrame(*frame, report);
            thread->frames->push_back(std::move(f));
        }
        threads.push_back(std::move(thread));
    }
    return threads;
}

std::string BEACErrorLogFormatter::formatStackFrame(const KCRCrashReportStackFrameInfo& frame,
                                                    const KCRCrashReport& report) {
    const uint64_t ip = frame.instructionPointer();
    auto image = report.imageForAddress(ip);
    uint64_t base = 0;
    uint64_t offset = 0;
    if (image) {
        base = image->imageBaseAddress();
        offset = ip - base;
    } else if (ip != 0) {
        BEACLogWarning(kBEACCrashesLogTag, "Cannot find image for 0x%llx", ip);
    }
    const int type = imageTypeForImagePath(
        image ? std::optional<std::string>(image->imageName()) : std::nullopt, processPathOf(report));
    if (type == BEACBinaryImageTypeOther && frame.symbolInfo()) {
        const auto& symbol = *frame.symbolInfo();
        const int32_t os = report.systemInfo() ? report.systemInfo()->operatingSystem() : -1;
        const std::string name = stripLeadingUnderscore(symbol.symbolName(), os);
        return name + " + " + std::to_string(static_cast<long long>(ip - symbol.startAddress()));
    }
    return hex(base) + " + " + std::to_string(static_cast<long long>(offset));
}

plat::Dictionary BEACErrorLogFormatter::extractRegistersFromCrashedThread(
    const KCRCrashReportThreadInfoPtr& thread, bool is64bit) {
    plat::Dictionary registers;
    if (!thread)
        return registers;
    for (const auto& reg : thread->registers())
        registers.set(reg->registerName(), plat::Value(formatAddress(reg->registerValue(), is64bit)));
    return registers;
}

std::optional<std::string> BEACErrorLogFormatter::extractExceptionReasonFromReport(
    const KCRCrashReport& report) {
    if (!report.hasExceptionInfo())
        return std::nullopt;
    // The reason as the application gave it: only paths of images and of
    // the application are anonymised.
    return report.exceptionInfo()->exceptionReason();
}

std::optional<std::string> BEACErrorLogFormatter::selectorRegisterValueFromReport(
    const KCRCrashReport& report, const KCRCrashReportThreadInfoPtr& thread, uint64_t codeType) {
    if (!thread)
        return std::nullopt;
    auto lookUp = [&](const char* first, const char* second) -> std::optional<std::string> {
        auto found = selectorForRegisterWithName(first, *thread, report);
        if (!found && second)
            found = selectorForRegisterWithName(second, *thread, report);
        return found;
    };
    switch (codeType) {
        case BEACCPUTypeX86:
            return lookUp("ecx", nullptr);
        case BEACCPUTypeARM:
            return lookUp("r1", "r2");
        case BEACCPUTypeX86_64:
            return lookUp("rsi", "rdx");
        case BEACCPUTypeARM64:
            return lookUp("x1", nullptr);
        default:
            return std::nullopt;
    }
}

std::optional<std::string> BEACErrorLogFormatter::selectorForRegisterWithName(
    const std::string& registerName, const KCRCrashReportThreadInfo& thread, const KCRCrashReport& report) {
    const auto& registers = thread.registers();
    auto reg = std::find_if(registers.begin(), registers.end(),
                            [&](const auto& r) { return r->registerName() == registerName; });
    if (reg == registers.end() || (*reg)->registerValue() == 0)
        return std::nullopt;
    const uint64_t value = (*reg)->registerValue();
    auto reportImage = report.imageForAddress(value);
    if (!reportImage)
        return std::nullopt;

    auto loaded = BEACLoadedImages::current();
    for (const auto& image : loaded->images()) {
        if (image.headerAddress == 0 || image.name.empty() || image.name != reportImage->imageName())
            continue;
        if (!image.uuid || !reportImage->imageUUID() || *image.uuid != *reportImage->imageUUID())
            continue;
        auto section = loaded->section(image, "__TEXT", "__objc_methname");
        if (!section)
            return std::nullopt;
        const uint64_t start = section->address + image.slide;
        const uint64_t end = start + section->size;
        const uint64_t p = image.headerAddress + (value - reportImage->imageBaseAddress());
        if (p < start || p >= end)
            return std::nullopt;
        return readCString(*loaded, p, end);
    }
    return std::nullopt;
}

std::vector<std::shared_ptr<BEACBinary>> BEACErrorLogFormatter::extractBinaryImagesFromReport(
    const KCRCrashReport& report, bool is64bit) {
    std::vector<uint64_t> referenced = addressesFromReport(report);
    std::sort(referenced.begin(), referenced.end());
    auto images = report.images();
    std::stable_sort(images.begin(), images.end(), [](const auto& a, const auto& b) {
        return a->imageBaseAddress() < b->imageBaseAddress();
    });
    const auto processPath = processPathOf(report);

    std::vector<std::shared_ptr<BEACBinary>> binaries;
    for (const auto& image : images) {
        const uint64_t start = image->imageBaseAddress();
        const uint64_t span = std::max<uint64_t>(image->imageSize(), 1) - 1;
        const uint64_t end = span > UINT64_MAX - start ? UINT64_MAX : start + span;
        const int type = imageTypeForImagePath(image->imageName(), processPath);
        // Sorted addresses: the first one at or above start decides.
        auto at = std::lower_bound(referenced.begin(), referenced.end(), start);
        const bool isReferenced = at != referenced.end() && *at <= end;
        if (!isReferenced && type == BEACBinaryImageTypeOther)
            continue;
        auto binary = std::make_shared<BEACBinary>();
        binary->binaryId = image->imageUUID().value_or(kUnknown);
        binary->startAddress = formatAddress(start, is64bit);
        binary->endAddress = formatAddress(end, is64bit);
        binary->path = anonymizedPathFromPath(image->imageName());
        const std::string name = plat::text::lastPathComponent(image->imageName());
        binary->name = name.empty() ? std::string(kUnknown) : name;
        binary->primaryArchitectureId = image->codeType() ? image->codeType()->type() : 0;
        binary->architectureVariantId = image->codeType() ? image->codeType()->subtype() : 0;
        binaries.push_back(std::move(binary));
    }
    return binaries;
}

std::vector<uint64_t> BEACErrorLogFormatter::addressesFromReport(const KCRCrashReport& report) {
    std::vector<uint64_t> addresses;
    if (report.hasExceptionInfo())
        for (const auto& frame : report.exceptionInfo()->stackFrames())
            addresses.push_back(frame->instructionPointer());
    for (const auto& thread : report.threads()) {
        for (const auto& frame : thread->stackFrames())
            addresses.push_back(frame->instructionPointer());
        for (const auto& reg : thread->registers())
            addresses.push_back(reg->registerValue());
    }
    return addresses;
}

bool BEACErrorLogFormatter::isBinaryWithStart(uint64_t start, uint64_t end,
                                              const std::vector<uint64_t>& addresses) {
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](uint64_t a) { return start <= a && a <= end; });
}

std::string BEACErrorLogFormatter::anonymizedPathFromPath(const std::optional<std::string>& path) {
    if (!path || path->empty())
        return "";
    std::string text = *path;
    if (plat::text::hasPrefix(text, "/home/") || plat::text::hasPrefix(text, "/root/"))
        text = replaceUserFolders(replaceRootHome(text), "/home/", false);
    if (plat::text::hasPrefix(text, "/Users/"))
        return replaceUserFolders(text, "/Users/", false);
    if (text.find("Users") == std::string::npos)
        return text;
    return "";
}

std::string BEACErrorLogFormatter::anonymizedText(const std::string& text) {
    std::string out = replaceUserFolders(text, "/Users/", true);
    out = replaceUserFolders(out, "/home/", true);
    // "/root/" only where a path can start: the text's start or after white space.
    std::string result;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out.compare(i, 6, "/root/") == 0 &&
            (i == 0 || std::isspace(static_cast<unsigned char>(out[i - 1])) || out[i - 1] == '\'' ||
             out[i - 1] == '"')) {
            result += "/home/USER/";
            i += 5;
        } else {
            result.push_back(out[i]);
        }
    }
    return result;
}

int BEACErrorLogFormatter::imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                                 const std::optional<std::string>& processPath) {
    if (!imagePath || !processPath)
        return BEACBinaryImageTypeOther;
    const std::string standardized =
        plat::text::lowercaseString(plat::text::stringByStandardizingPath(*imagePath));
    const std::string image = plat::text::lowercaseString(*imagePath);
    const std::string process = plat::text::lowercaseString(*processPath);
    // A Linux executable lives in no bundle: the image that is the process
    // itself is still the application binary.
    if (!process.empty() && (standardized == process || image == process))
        return BEACBinaryImageTypeApplication;
    if (standardized.find(".app/") == std::string::npos ||
        (standardized.find("frameworks/libswift") != std::string::npos &&
         plat::text::hasSuffix(standardized, ".dylib")))
        return BEACBinaryImageTypeOther;
    // An empty process path is a prefix of nothing.
    if (plat::text::hasPrefix(image, process))
        return BEACBinaryImageTypeApplication;
    return BEACBinaryImageTypeBundle;
}

std::shared_ptr<BEACDevice> BEACErrorLogFormatter::deviceForTimestamp(
    const std::optional<plat::Date>& timestamp, const KCRCrashReport& report) {
    auto stored = BEACDeviceTracker::sharedInstance()->deviceForTimestamp(timestamp);
    auto device = std::make_shared<BEACDevice>();
    if (stored) {
        device->copyWrapperFieldsFrom(*stored);
        device->sdkName = stored->sdkName;
        device->sdkVersion = stored->sdkVersion;
        device->model = stored->model;
        device->oemName = stored->oemName;
        device->osName = stored->osName;
        device->osVersion = stored->osVersion;
        device->osBuild = stored->osBuild;
        device->osApiLevel = stored->osApiLevel;
        device->locale = stored->locale;
        device->timeZoneOffset = stored->timeZoneOffset;
        device->screenSize = stored->screenSize;
        device->appVersion = stored->appVersion;
        device->carrierName = stored->carrierName;
        device->carrierCountry = stored->carrierCountry;
        device->appBuild = stored->appBuild;
        device->appNamespace = stored->appNamespace;
    }
    if (const auto& system = report.systemInfo()) {
        device->osVersion = system->operatingSystemVersion();
        if (system->operatingSystemBuild())
            device->osBuild = system->operatingSystemBuild();
    }
    if (report.hasMachineInfo() && report.machineInfo()->modelName())
        device->model = report.machineInfo()->modelName();
    if (const auto& app = report.applicationInfo()) {
        device->appBuild = app->applicationVersion();
        if (app->applicationMarketingVersion())
            device->appVersion = app->applicationMarketingVersion();
        device->appNamespace = app->applicationIdentifier();
    }
    return device;
}

bool BEACErrorLogFormatter::isCodeType64bit(uint64_t type) {
    return type == BEACCPUTypeARM64 || type == BEACCPUTypeX86_64;
}

std::optional<std::string> BEACErrorLogFormatter::uuidRefToString(const std::optional<plat::UUID>& uuid) {
    return uuid ? std::optional<std::string>(uuid->UUIDString()) : std::nullopt;
}

std::string BEACErrorLogFormatter::formatAddress(uint64_t address, bool is64bit) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*" PRIx64, is64bit ? 16 : 8, address);
    return text;
}
