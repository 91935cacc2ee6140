// The parts of a decoded crash report (see KCRCrashReport): immutable records
// shared through std::shared_ptr<const ...>, safe to read from any thread.
// Lists keep report order. Values the report may lack are std::optional or a
// null pointer, as noted at each accessor.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Object.h"

// Operating systems a report can name; a system the format does not name
// (Linux among them) is KCRCrashReportOperatingSystemUnknown.
enum KCRCrashReportOperatingSystem : int32_t {
    KCRCrashReportOperatingSystemMacOSX = 0,
    KCRCrashReportOperatingSystemiPhoneOS = 1,
    KCRCrashReportOperatingSystemiPhoneSimulator = 2,
    KCRCrashReportOperatingSystemUnknown = 3,
    KCRCrashReportOperatingSystemAppleTVOS = 4,
};

// The coarse architecture of older reports; current reports say Unknown here
// and give the processor's type numbers instead.
enum KCRCrashReportArchitecture : int32_t {
    KCRCrashReportArchitectureX86_32 = 0,
    KCRCrashReportArchitectureX86_64 = 1,
    KCRCrashReportArchitectureARMv6 = 2,
    KCRCrashReportArchitecturePPC = 3,
    KCRCrashReportArchitecturePPC64 = 4,
    KCRCrashReportArchitectureARMv7 = 5,
    KCRCrashReportArchitectureUnknown = 6,
};

// How a processor's type and subtype numbers are to be read.
enum KCRCrashReportProcessorTypeEncoding : int32_t {
    KCRCrashReportProcessorTypeEncodingUnknown = 0,
    // Mach CPU type and subtype numbers (x86-64 is type 0x1000007, subtype 3).
    KCRCrashReportProcessorTypeEncodingMach = 1,
};

class KCRCrashReportProcessorInfo : public plat::Object {
  public:
    KCRCrashReportProcessorInfo(int32_t typeEncoding, uint64_t type, uint64_t subtype)
        : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}
    int32_t typeEncoding() const { return typeEncoding_; }
    uint64_t type() const { return type_; }
    uint64_t subtype() const { return subtype_; }
    std::string className() const override { return "KCRCrashReportProcessorInfo"; }

  private:
    int32_t typeEncoding_;
    uint64_t type_;
    uint64_t subtype_;
};
using KCRCrashReportProcessorInfoPtr = std::shared_ptr<const KCRCrashReportProcessorInfo>;

class KCRCrashReportSystemInfo : public plat::Object {
  public:
    // processorInfo is never null in a decoded report.
    KCRCrashReportSystemInfo(int32_t operatingSystem, std::string operatingSystemVersion,
                             std::optional<std::string> operatingSystemBuild, int32_t architecture,
                             KCRCrashReportProcessorInfoPtr processorInfo,
                             std::optional<plat::Date> timestamp)
        : operatingSystem_(operatingSystem),
          operatingSystemVersion_(std::move(operatingSystemVersion)),
          operatingSystemBuild_(std::move(operatingSystemBuild)),
          architecture_(architecture),
          processorInfo_(std::move(processorInfo)),
          timestamp_(timestamp) {}
    KCRCrashReportSystemInfo(int32_t operatingSystem, std::string operatingSystemVersion,
                             std::optional<std::string> operatingSystemBuild, int32_t architecture,
                             std::optional<plat::Date> timestamp)
        : KCRCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion),
                                   std::move(operatingSystemBuild), architecture, nullptr, timestamp) {}
    KCRCrashReportSystemInfo(int32_t operatingSystem, std::string operatingSystemVersion,
                             int32_t architecture, std::optional<plat::Date> timestamp)
        : KCRCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::nullopt,
                                   architecture, nullptr, timestamp) {}

    int32_t operatingSystem() const { return operatingSystem_; }
    const std::string& operatingSystemVersion() const { return operatingSystemVersion_; }
    const std::optional<std::string>& operatingSystemBuild() const { return operatingSystemBuild_; }
    int32_t architecture() const { return architecture_; }
    // nullopt when the writer could not read the clock.
    const std::optional<plat::Date>& timestamp() const { return timestamp_; }
    const KCRCrashReportProcessorInfoPtr& processorInfo() const { return processorInfo_; }
    std::string className() const override { return "KCRCrashReportSystemInfo"; }

  private:
    int32_t operatingSystem_;
    std::string operatingSystemVersion_;
    std::optional<std::string> operatingSystemBuild_;
    int32_t architecture_;
    KCRCrashReportProcessorInfoPtr processorInfo_;
    std::optional<plat::Date> timestamp_;
};

class KCRCrashReportMachineInfo : public plat::Object {
  public:
    KCRCrashReportMachineInfo(std::optional<std::string> modelName,
                              KCRCrashReportProcessorInfoPtr processorInfo, uint64_t processorCount,
                              uint64_t logicalProcessorCount)
        : modelName_(std::move(modelName)),
          processorInfo_(std::move(processorInfo)),
          processorCount_(processorCount),
          logicalProcessorCount_(logicalProcessorCount) {}
    const std::optional<std::string>& modelName() const { return modelName_; }
    // May be null.
    const KCRCrashReportProcessorInfoPtr& processorInfo() const { return processorInfo_; }
    uint64_t processorCount() const { return processorCount_; }
    uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }
    std::string className() const override { return "KCRCrashReportMachineInfo"; }

  private:
    std::optional<std::string> modelName_;
    KCRCrashReportProcessorInfoPtr processorInfo_;
    uint64_t processorCount_;
    uint64_t logicalProcessorCount_;
};

class KCRCrashReportApplicationInfo : public plat::Object {
  public:
    KCRCrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                                  std::optional<std::string> applicationMarketingVersion)
        : applicationIdentifier_(std::move(applicationIdentifier)),
          applicationVersion_(std::move(applicationVersion)),
          applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}
    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string>& applicationMarketingVersion() const {
        return applicationMarketingVersion_;
    }
    std::string className() const override { return "KCRCrashReportApplicationInfo"; }

  private:
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
};

class KCRCrashReportProcessInfo : public plat::Object {
  public:
    KCRCrashReportProcessInfo(std::optional<std::string> processName, uint64_t processID,
                              std::optional<std::string> processPath,
                              std::optional<plat::Date> processStartTime,
                              std::optional<std::string> parentProcessName, uint64_t parentProcessID,
                              bool native)
        : processName_(std::move(processName)),
          processID_(processID),
          processPath_(std::move(processPath)),
          processStartTime_(processStartTime),
          parentProcessName_(std::move(parentProcessName)),
          parentProcessID_(parentProcessID),
          native_(native) {}
    const std::optional<std::string>& processName() const { return processName_; }
    uint64_t processID() const { return processID_; }
    const std::optional<std::string>& processPath() const { return processPath_; }
    const std::optional<plat::Date>& processStartTime() const { return processStartTime_; }
    const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
    uint64_t parentProcessID() const { return parentProcessID_; }
    // False only when the process ran translated for another processor.
    bool native() const { return native_; }
    std::string className() const override { return "KCRCrashReportProcessInfo"; }

  private:
    std::optional<std::string> processName_;
    uint64_t processID_;
    std::optional<std::string> processPath_;
    std::optional<plat::Date> processStartTime_;
    std::optional<std::string> parentProcessName_;
    uint64_t parentProcessID_;
    bool native_;
};

// The signal that ended the process, as texts ("SIGSEGV", "SEGV_MAPERR").
class KCRCrashReportSignalInfo : public plat::Object {
  public:
    KCRCrashReportSignalInfo(std::string name, std::string code, uint64_t address)
        : name_(std::move(name)), code_(std::move(code)), address_(address) {}
    const std::string& name() const { return name_; }
    const std::string& code() const { return code_; }
    // The faulting address.
    uint64_t address() const { return address_; }
    std::string className() const override { return "KCRCrashReportSignalInfo"; }

  private:
    std::string name_;
    std::string code_;
    uint64_t address_;
};

class KCRCrashReportMachExceptionInfo : public plat::Object {
  public:
    KCRCrashReportMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes)
        : type_(type), codes_(std::move(codes)) {}
    uint64_t type() const { return type_; }
    const std::vector<uint64_t>& codes() const { return codes_; }
    std::string className() const override { return "KCRCrashReportMachExceptionInfo"; }

  private:
    uint64_t type_;
    std::vector<uint64_t> codes_;
};

class KCRCrashReportSymbolInfo : public plat::Object {
  public:
    KCRCrashReportSymbolInfo(std::string symbolName, uint64_t startAddress, uint64_t endAddress)
        : symbolName_(std::move(symbolName)), startAddress_(startAddress), endAddress_(endAddress) {}
    const std::string& symbolName() const { return symbolName_; }
    uint64_t startAddress() const { return startAddress_; }
    // 0 when the report does not give it.
    uint64_t endAddress() const { return endAddress_; }
    std::string className() const override { return "KCRCrashReportSymbolInfo"; }

  private:
    std::string symbolName_;
    uint64_t startAddress_;
    uint64_t endAddress_;
};
using KCRCrashReportSymbolInfoPtr = std::shared_ptr<const KCRCrashReportSymbolInfo>;

class KCRCrashReportStackFrameInfo : public plat::Object {
  public:
    KCRCrashReportStackFrameInfo(uint64_t instructionPointer, KCRCrashReportSymbolInfoPtr symbolInfo)
        : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}
    uint64_t instructionPointer() const { return instructionPointer_; }
    // Null when the frame was not symbolicated.
    const KCRCrashReportSymbolInfoPtr& symbolInfo() const { return symbolInfo_; }
    std::string className() const override { return "KCRCrashReportStackFrameInfo"; }

  private:
    uint64_t instructionPointer_;
    KCRCrashReportSymbolInfoPtr symbolInfo_;
};
using KCRCrashReportStackFrameInfoPtr = std::shared_ptr<const KCRCrashReportStackFrameInfo>;

class KCRCrashReportRegisterInfo : public plat::Object {
  public:
    KCRCrashReportRegisterInfo(std::string registerName, uint64_t registerValue)
        : registerName_(std::move(registerName)), registerValue_(registerValue) {}
    const std::string& registerName() const { return registerName_; }
    uint64_t registerValue() const { return registerValue_; }
    std::string className() const override { return "KCRCrashReportRegisterInfo"; }

  private:
    std::string registerName_;
    uint64_t registerValue_;
};
using KCRCrashReportRegisterInfoPtr = std::shared_ptr<const KCRCrashReportRegisterInfo>;

class KCRCrashReportThreadInfo : public plat::Object {
  public:
    KCRCrashReportThreadInfo(int64_t threadNumber, std::vector<KCRCrashReportStackFrameInfoPtr> stackFrames,
                             bool crashed, std::vector<KCRCrashReportRegisterInfoPtr> registers)
        : threadNumber_(threadNumber),
          stackFrames_(std::move(stackFrames)),
          crashed_(crashed),
          registers_(std::move(registers)) {}
    int64_t threadNumber() const { return threadNumber_; }
    // Innermost frame first.
    const std::vector<KCRCrashReportStackFrameInfoPtr>& stackFrames() const { return stackFrames_; }
    bool crashed() const { return crashed_; }
    // Only the crashed thread carries registers.
    const std::vector<KCRCrashReportRegisterInfoPtr>& registers() const { return registers_; }
    std::string className() const override { return "KCRCrashReportThreadInfo"; }

  private:
    int64_t threadNumber_;
    std::vector<KCRCrashReportStackFrameInfoPtr> stackFrames_;
    bool crashed_;
    std::vector<KCRCrashReportRegisterInfoPtr> registers_;
};
using KCRCrashReportThreadInfoPtr = std::shared_ptr<const KCRCrashReportThreadInfo>;

class KCRCrashReportBinaryImageInfo : public plat::Object {
  public:
    // uuid: the image's identifier bytes, or nullopt (or empty) when it has none.
    KCRCrashReportBinaryImageInfo(KCRCrashReportProcessorInfoPtr codeType, uint64_t baseAddress,
                                  uint64_t size, std::string name,
                                  const std::optional<std::vector<uint8_t>>& uuid);
    // May be null.
    const KCRCrashReportProcessorInfoPtr& codeType() const { return codeType_; }
    uint64_t imageBaseAddress() const { return imageBaseAddress_; }
    uint64_t imageSize() const { return imageSize_; }
    // The path the image was loaded from.
    const std::string& imageName() const { return imageName_; }
    bool hasImageUUID() const { return imageUUID_.has_value(); }
    // Lower-case hexadecimal, two digits per byte, no separators.
    const std::optional<std::string>& imageUUID() const { return imageUUID_; }
    std::string className() const override { return "KCRCrashReportBinaryImageInfo"; }

  private:
    KCRCrashReportProcessorInfoPtr codeType_;
    uint64_t imageBaseAddress_;
    uint64_t imageSize_;
    std::string imageName_;
    std::optional<std::string> imageUUID_;
};
using KCRCrashReportBinaryImageInfoPtr = std::shared_ptr<const KCRCrashReportBinaryImageInfo>;

// The uncaught language exception that led to the crash.
class KCRCrashReportExceptionInfo : public plat::Object {
  public:
    KCRCrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason,
                                std::vector<KCRCrashReportStackFrameInfoPtr> stackFrames = {})
        : exceptionName_(std::move(exceptionName)),
          exceptionReason_(std::move(exceptionReason)),
          stackFrames_(std::move(stackFrames)) {}
    const std::string& exceptionName() const { return exceptionName_; }
    const std::string& exceptionReason() const { return exceptionReason_; }
    // Where the exception was thrown; empty when it was not recorded.
    const std::vector<KCRCrashReportStackFrameInfoPtr>& stackFrames() const { return stackFrames_; }
    std::string className() const override { return "KCRCrashReportExceptionInfo"; }

  private:
    std::string exceptionName_;
    std::string exceptionReason_;
    std::vector<KCRCrashReportStackFrameInfoPtr> stackFrames_;
};
