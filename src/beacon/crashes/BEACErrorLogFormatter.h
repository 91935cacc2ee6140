// Turns a decoded crash report into the error log that is sent and into the
// report handed to the application: identifiers, process data, times, CPU
// type, the signal, the uncaught exception, every thread with its frames,
// the crashed thread's registers and selector, the binary images worth
// listing, the device at the time of the crash and a saved wrapper
// exception.
//
// Paths are anonymised before they leave the machine: a user's home folder
// ("/Users/<name>/", "/home/<name>/", "/root/") becomes "/Users/USER/" or
// "/home/USER/"; a path that names "Users" anywhere else is dropped (""),
// since the name that follows cannot be told apart. Free text (the exception
// reason) has its home folders replaced the same way.
//
// A report without a timestamp gives a log without one (the channel stamps
// it when enqueued), never a 1970 date. A whole-second crash time is moved
// 0.999 s later so that it sorts after the session started in that second,
// at any date.
//
// Stateless; any thread. Messages use the tag "BeaconCrashes".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/crashes/BEACErrorLogs.h"
#include "beacon/crashes/BEACErrorReport.h"
#include "crashcapture/KCRCrashReport.h"

// Image types: the application binary, an image inside its bundle, anything else.
inline constexpr int BEACBinaryImageTypeApplication = 0;
inline constexpr int BEACBinaryImageTypeBundle = 1;
inline constexpr int BEACBinaryImageTypeOther = 2;

// CPU types as crash reports carry them.
inline constexpr uint64_t BEACCPUTypeX86 = 7;
inline constexpr uint64_t BEACCPUTypeARM = 12;
inline constexpr uint64_t BEACCPUTypeX86_64 = 0x1000007;
inline constexpr uint64_t BEACCPUTypeARM64 = 0x100000C;

class BEACErrorLogFormatter {
  public:
    static std::shared_ptr<BEACAppleErrorLog> errorLogFromCrashReport(const KCRCrashReport& report);
    // nullptr for a null report; otherwise the report of errorLogFromCrashReport.
    static std::shared_ptr<BEACErrorReport> errorReportFromCrashReport(const KCRCrashReportPtr& report);
    static std::shared_ptr<BEACErrorReport> errorReportFromLog(const BEACAppleErrorLog& log);

    // The report's UUID as upper-case text, else a fresh random one.
    static std::string errorIdForCrashReport(const KCRCrashReport& report);
    static BEACAppleErrorLog& addProcessInfoAndApplicationPathTo(BEACAppleErrorLog& log,
                                                                 const KCRCrashReport& report);
    static std::optional<plat::Date> getAppLaunchTimeFromReport(const KCRCrashReport& report);
    static std::optional<plat::Date> getCrashTimeFromReport(const KCRCrashReport& report);
    static KCRCrashReportThreadInfoPtr findCrashedThreadInReport(const KCRCrashReport& report);
    static std::vector<std::shared_ptr<BEACThread>> extractThreadsFromReport(
        const KCRCrashReport& report, const KCRCrashReportThreadInfoPtr& crashedThread, bool is64bit);
    static std::string formatStackFrame(const KCRCrashReportStackFrameInfo& frame,
                                        const KCRCrashReport& report);
    // Empty (not absent) without a thread.
    static plat::Dictionary extractRegistersFromCrashedThread(const KCRCrashReportThreadInfoPtr& thread,
                                                              bool is64bit);
    static std::optional<std::string> extractExceptionReasonFromReport(const KCRCrashReport& report);
    static std::optional<std::string> selectorRegisterValueFromReport(
        const KCRCrashReport& report, const KCRCrashReportThreadInfoPtr& thread, uint64_t codeType);
    static std::optional<std::string> selectorForRegisterWithName(const std::string& registerName,
                                                                  const KCRCrashReportThreadInfo& thread,
                                                                  const KCRCrashReport& report);
    static std::vector<std::shared_ptr<BEACBinary>> extractBinaryImagesFromReport(
        const KCRCrashReport& report, bool is64bit);
    // Exception frames, then each thread's frames and register values.
    static std::vector<uint64_t> addressesFromReport(const KCRCrashReport& report);
    // Both bounds inclusive.
    static bool isBinaryWithStart(uint64_t start, uint64_t end, const std::vector<uint64_t>& addresses);
    static std::string anonymizedPathFromPath(const std::optional<std::string>& path);
    // Home folders in free text replaced as in paths; nothing else changes.
    static std::string anonymizedText(const std::string& text);
    static int imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                     const std::optional<std::string>& processPath);
    // The tracker's device for that time, overridden by what the report knows.
    static std::shared_ptr<BEACDevice> deviceForTimestamp(const std::optional<plat::Date>& timestamp,
                                                          const KCRCrashReport& report);
    static bool isCodeType64bit(uint64_t type);
    static std::optional<std::string> uuidRefToString(const std::optional<plat::UUID>& uuid);
    // "0x" and 16 (64-bit) or 8 zero-padded lower-case digits; wider values in full.
    static std::string formatAddress(uint64_t address, bool is64bit);
};
