// The crash reporter: the object through which the rest of the system uses
// crash capture. One reporter per process is enabled, once, and from then on
// a crash of SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV or SIGTRAP writes
// "live_report.kcr" into the reporter's crash folder, runs the crash
// callback, hands the signal on to the handlers installed before ours, and
// then ends the process with the signal's own default action. On the next
// launch the pending report is loaded and purged. Live reports describe the
// running process without crashing it.
//
// Crash folder: <Caches>/com.kestrel.crashcapture/<identifier with "/" as "_">.
//
// Enabling, live reports, custom data and callbacks are called from ordinary
// threads and are thread-safe.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "crashcapture/KCRCrashHostInfo.h"
#include "crashcapture/KCRCrashReporterConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"

// The crash callback: runs inside the signal handler after the report was
// written, so it must be async-signal-safe.
struct KCRCrashReporterCallbacks {
    uint16_t version = 0;  // must be 0
    void* context = nullptr;
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context) = nullptr;
};

inline constexpr const char* KCRCrashReporterException = "KCRCrashReporterException";
// The folder under the user's Caches folder that holds every reporter's crash folder.
inline constexpr const char* KCRCrashReporterDataFolder = "com.kestrel.crashcapture";

class KCRCrashReporter {
  public:
    // The bundle's identifier (else the process name, else it throws
    // KCRCrashReporterException), version (else "") and short version.
    explicit KCRCrashReporter(const KCRCrashReporterConfig& configuration = KCRCrashReporterConfig(),
                              plat::Bundle& bundle = plat::Bundle::mainBundle());
    KCRCrashReporter(std::string applicationIdentifier, std::string appVersion,
                     std::optional<std::string> appMarketingVersion,
                     const KCRCrashReporterConfig& configuration);

    // Created once, from the main bundle, with the default configuration.
    static KCRCrashReporter& sharedReporter();

    KCRCrashReporter(const KCRCrashReporter&) = delete;
    KCRCrashReporter& operator=(KCRCrashReporter&& other) noexcept;

    const KCRCrashReporterConfig& configuration() const { return configuration_; }
    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string>& applicationMarketingVersion() const {
        return applicationMarketingVersion_;
    }

    std::string crashReportDirectory() const { return crashReportDirectory_; }
    std::string queuedCrashReportDirectory() const;
    std::string crashReportPath() const;

    bool hasPendingCrashReport() const;
    std::optional<plat::Data> loadPendingCrashReportData(plat::ErrorPtr* error = nullptr) const;
    bool purgePendingCrashReport(plat::ErrorPtr* error = nullptr) const;

    // Installs crash capture for this process. False with an error when this
    // or another reporter was enabled before (code 3), when the crash folder
    // cannot be made, or when a handler or the exception server cannot be
    // installed (code 1, "Failed to instantiate the Mach exception server.").
    bool enableCrashReporter(plat::ErrorPtr* error = nullptr);
    bool isEnabled() const;

    // A report of this process as it runs: the calling thread (crashed, its
    // frames from the call on) and every other thread.
    std::optional<plat::Data> generateLiveReport(plat::ErrorPtr* error = nullptr);
    // The same for another thread marked as crashed; the calling thread is
    // then left out.
    std::optional<plat::Data> generateLiveReportWithThread(pid_t thread, plat::ErrorPtr* error = nullptr);

    // Throws KCRCrashReporterException after enabling; aborts on a version other than 0.
    void setCrashCallbacks(const KCRCrashReporterCallbacks& callbacks);
    void setCustomData(std::optional<plat::Data> data);
    std::optional<plat::Data> customData() const;

    // The strategy mask with only the symbol-table and metadata bits kept.
    static uint32_t mapToAsyncSymbolicationStrategy(uint64_t strategy);

    bool populateCrashReportDirectory(plat::ErrorPtr* error = nullptr) const;

    // The exception types Mach mode takes: bad access, bad instruction,
    // arithmetic, software and breakpoint, plus guard from kernel major 13
    // of the host's scheme (never here: Linux majors are lower).
    static uint32_t machExceptionMask(const KCRCrashHostInfo* host);
    // The host facts the mask is chosen from (tests inject their own).
    void setHostInfo(std::shared_ptr<KCRCrashHostInfo> host) { hostInfo_ = std::move(host); }

  private:
    bool enableMachServer(plat::ErrorPtr* error);
    std::optional<plat::Data> liveReport(pid_t thread, uint64_t callerAddress, plat::ErrorPtr* error);
    // Image list, symbol tables and thread control, ready before any report.
    void prepareCrashTimeState() const;

    KCRCrashReporterConfig configuration_;
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
    std::string crashReportDirectory_;
    mutable plat::Mutex mutex_;
    bool enabled_ GUARDED_BY(mutex_) = false;
    std::optional<plat::Data> customData_ GUARDED_BY(mutex_);
    std::shared_ptr<KCRCrashHostInfo> hostInfo_ = KCRCrashHostInfo::currentHostInfo();
};
