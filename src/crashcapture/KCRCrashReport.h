// KCRCrashReport: a crash report file decoded into a tree of immutable
// records (KCRCrashReportInfo.h).
//
// create() accepts any bytes: anything that is not a complete, well-formed
// report gives an error in KCRCrashReporterErrorDomain with code
// KCRCrashReporterErrorCrashReportInvalid and a description saying what is
// wrong, never a partial report. Text fields keep their whole length, NULs
// included; those that are not valid UTF-8 are kept with each invalid
// sequence replaced by U+FFFD. Decoding needs memory
// in proportion to the input, with no fixed limit on the report's size.
//
// A report is immutable and may be read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "crashcapture/KCRCrashReportInfo.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UUID.h"

class KCRCrashReport;
using KCRCrashReportPtr = std::shared_ptr<const KCRCrashReport>;

class KCRCrashReport : public plat::Object {
  public:
    // Everything a report holds; sections the report may lack are null.
    struct Contents {
        std::shared_ptr<const KCRCrashReportSystemInfo> systemInfo;
        std::shared_ptr<const KCRCrashReportMachineInfo> machineInfo;
        std::shared_ptr<const KCRCrashReportApplicationInfo> applicationInfo;
        std::shared_ptr<const KCRCrashReportProcessInfo> processInfo;
        std::shared_ptr<const KCRCrashReportSignalInfo> signalInfo;
        std::shared_ptr<const KCRCrashReportMachExceptionInfo> machExceptionInfo;
        std::vector<KCRCrashReportThreadInfoPtr> threads;
        std::vector<KCRCrashReportBinaryImageInfoPtr> images;
        std::shared_ptr<const KCRCrashReportExceptionInfo> exceptionInfo;
        std::optional<plat::Data> customData;
        std::optional<plat::UUID> uuid;
    };

    // Decodes the bytes of a crash report file.
    static plat::Result<KCRCrashReportPtr> create(const plat::Data& data);
    static plat::Result<KCRCrashReportPtr> create(const uint8_t* bytes, std::size_t length);

    // A report from parts. Throws plat::Exception (InvalidArgumentException)
    // unless the system (with its processor), application and signal sections
    // are present and there is at least one thread and one image.
    explicit KCRCrashReport(Contents contents);

    const std::shared_ptr<const KCRCrashReportSystemInfo>& systemInfo() const { return c_.systemInfo; }
    bool hasMachineInfo() const { return c_.machineInfo != nullptr; }
    const std::shared_ptr<const KCRCrashReportMachineInfo>& machineInfo() const { return c_.machineInfo; }
    const std::shared_ptr<const KCRCrashReportApplicationInfo>& applicationInfo() const {
        return c_.applicationInfo;
    }
    bool hasProcessInfo() const { return c_.processInfo != nullptr; }
    const std::shared_ptr<const KCRCrashReportProcessInfo>& processInfo() const { return c_.processInfo; }
    const std::shared_ptr<const KCRCrashReportSignalInfo>& signalInfo() const { return c_.signalInfo; }
    // Null unless the crash arrived as a Mach-style exception.
    const std::shared_ptr<const KCRCrashReportMachExceptionInfo>& machExceptionInfo() const {
        return c_.machExceptionInfo;
    }
    // Never empty in a decoded report.
    const std::vector<KCRCrashReportThreadInfoPtr>& threads() const { return c_.threads; }
    // Never empty in a decoded report.
    const std::vector<KCRCrashReportBinaryImageInfoPtr>& images() const { return c_.images; }
    bool hasExceptionInfo() const { return c_.exceptionInfo != nullptr; }
    const std::shared_ptr<const KCRCrashReportExceptionInfo>& exceptionInfo() const {
        return c_.exceptionInfo;
    }
    const std::optional<plat::Data>& customData() const { return c_.customData; }
    // The report's identifier; nullopt when the report has none.
    const std::optional<plat::UUID>& uuidRef() const { return c_.uuid; }

    // The first image, in report order, with base <= address < base + size;
    // null when no image holds the address.
    KCRCrashReportBinaryImageInfoPtr imageForAddress(uint64_t address) const;

    std::string className() const override { return "KCRCrashReport"; }

  private:
    Contents c_;
};
