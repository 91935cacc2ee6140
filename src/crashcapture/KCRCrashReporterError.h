// Error domain and codes of crash capture. Every failure of the crash reporter
// and of the crash report decoder is a plat::Error in this domain whose user
// info holds a description under plat::LocalizedDescriptionKey.
#pragma once

inline constexpr const char* KCRCrashReporterErrorDomain = "KCRCrashReporterErrorDomain";

enum KCRCrashReporterError : int {
    KCRCrashReporterErrorUnknown = 0,
    // An operating-system call failed; the underlying error carries its code.
    KCRCrashReporterErrorOperatingSystem = 1,
    // The bytes are not a crash report this system can read.
    KCRCrashReporterErrorCrashReportInvalid = 2,
    // A second reporter was enabled in the same process.
    KCRCrashReporterErrorAlreadyEnabled = 3,
};
