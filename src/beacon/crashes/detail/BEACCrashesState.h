// The crash service's mutable state, guarded by the service's lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "beacon/core/BEACLogger.h"
#include "beacon/crashes/BEACCrashReporterPort.h"
#include "beacon/crashes/BEACCrashes.h"
#include "beacon/crashes/BEACCrashesLogTag.h"
#include "platform/dispatch/Once.h"
#include "platform/foundation/NotificationCenter.h"

inline constexpr const char* kBEACUserConfirmationKey = "CrashesUserConfirmation";

struct BEACCrashes::State {
    std::vector<std::string> crashFiles;
    bool didCrashInLastSession = false;
    bool didReceiveMemoryWarningInLastSession = false;
    bool automaticProcessingEnabled = true;
    bool enableMachExceptionHandler = true;
    std::shared_ptr<BEACChannelUnitProtocol> bufferChannelUnit;
    std::shared_ptr<plat::appkit::MemoryPressureSource> memoryPressureSource;
    // The application becoming visible again, observed while enabled.
    plat::ObserverToken foregroundObserver;
    std::shared_ptr<BEACCrashReporterPort> crashReporter;
    std::shared_ptr<BEACErrorReport> lastSessionCrashReport;
    // Parallel: entry i of each belongs to one crash. Absent until a pass ran.
    bool hasUnprocessed = false;
    std::vector<std::shared_ptr<BEACAppleErrorLog>> unprocessedLogs;
    std::vector<std::shared_ptr<BEACErrorReport>> unprocessedReports;
    std::vector<std::string> unprocessedFilePaths;
    BEACUserConfirmationHandler userConfirmationHandler;
    std::weak_ptr<BEACCrashesDelegate> delegate;
};

// Purges the reporter's pending report; one that stays is reported again at
// the next launch, which is logged.
inline void BEACPurgePendingCrashReport(const BEACCrashReporterPort& reporter) {
    if (!reporter.purgePendingCrashReport())
        BEACLogError(kBEACCrashesLogTag,
                     "Couldn't purge the pending crash report; it may be reported again at the next launch.");
}

// The once-per-process processing pass (re-armed by resetSharedInstance).
plat::dispatch::Once& BEACCrashesProcessingOnce();
// Where the delayed pass runs.
plat::dispatch::Queue BEACCrashesProcessingQueue();
