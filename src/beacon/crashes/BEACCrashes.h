// The crash reporting service. Started by the SDK (it starts before usage
// analytics: priority 999), it arms crash capture at its first enabling,
// keeps the crash-time log buffer, and on every launch turns the crash
// reports crash capture left behind into "appleError" logs sent on its unit
// "Crashes" (flags 2) with their attachments (flags 1). It also records a
// memory-pressure flag for the next launch, tells the application's delegate
// what became of its error logs, and records handled errors of wrapper SDKs.
//
// A report's road: enabling moves the pending report into "crashes/<whole
// seconds since 2001>" and lists the stored reports; one second later (once
// per process) the processing pass formats each, asks the delegate, asks the
// user through the confirmation handler when one is set, sends, and deletes
// the files. Reports left waiting are found again at the next launch.
//
// Threads: start and switching come from the SDK's thread; the buffer
// callbacks from the enqueuing thread and the channel queue; the pass runs on
// a queue of its own; the confirmation handler and the delegate's send
// callbacks run on the main thread. The service's lock guards its state, the
// waiting reports included; it is a leaf, never held across a call (into the
// application, the crash reporter, the channel units or other services).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/core/BEACChannelProtocols.h"
#include "beacon/core/BEACEncrypter.h"
#include "beacon/core/BEACServiceAbstract.h"
#include "beacon/crashes/BEACCrashDetailRecords.h"
#include "beacon/crashes/BEACCrashReporterPort.h"
#include "beacon/crashes/BEACErrorAttachmentLog.h"
#include "beacon/crashes/BEACErrorLogs.h"
#include "beacon/crashes/BEACErrorReport.h"
#include "platform/appkit/ExceptionRuntime.h"
#include "platform/appkit/MemoryPressure.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/Mutex.h"

enum BEACUserConfirmation : int {
    BEACUserConfirmationDontSend = 0,
    BEACUserConfirmationSend = 1,
    BEACUserConfirmationAlways = 2,
};

class BEACCrashes;
class KCRCrashReport;

// The application's callbacks; every one is optional (the defaults do
// nothing, and "not implemented" is an empty result).
class BEACCrashesDelegate {
  public:
    virtual ~BEACCrashesDelegate() = default;
    // nullopt: not implemented (the report is processed).
    virtual std::optional<bool> shouldProcessErrorReport(BEACCrashes& /*crashes*/,
                                                         const std::shared_ptr<BEACErrorReport>& /*report*/) {
        return std::nullopt;
    }
    // nullopt: not implemented.
    virtual std::optional<std::vector<std::shared_ptr<BEACErrorAttachmentLog>>> attachmentsForErrorReport(
        BEACCrashes& /*crashes*/, const std::shared_ptr<BEACErrorReport>& /*report*/) {
        return std::nullopt;
    }
    virtual void willSendErrorReport(BEACCrashes& /*crashes*/,
                                     const std::shared_ptr<BEACErrorReport>& /*report*/) {}
    virtual void didSucceedSendingErrorReport(BEACCrashes& /*crashes*/,
                                              const std::shared_ptr<BEACErrorReport>& /*report*/) {}
    virtual void didFailSendingErrorReport(BEACCrashes& /*crashes*/,
                                           const std::shared_ptr<BEACErrorReport>& /*report*/,
                                           const plat::ErrorPtr& /*error*/) {}
};

// A wrapper SDK's say in how crash capture is set up; every one optional.
class BEACCrashHandlerSetupDelegate {
  public:
    virtual ~BEACCrashHandlerSetupDelegate() = default;
    virtual void willSetUpCrashHandlers() {}
    virtual void didSetUpCrashHandlers() {}
    // nullopt: not implemented (true).
    virtual std::optional<bool> shouldEnableUncaughtExceptionHandler() { return std::nullopt; }
};

// True when the reports were shown to the user, whose answer comes later
// through notifyWithUserConfirmation; false to send them at once.
using BEACUserConfirmationHandler =
    std::function<bool(const std::vector<std::shared_ptr<BEACErrorReport>>& errorReports)>;

inline constexpr uint64_t kBEACMaxAttachmentSize = 7340032;
inline constexpr const char* kBEACAnalyzerFileName = "BCCrashes.analyzer";

class BEACCrashes : public BEACServiceAbstract, public BEACChannelDelegate {
  public:
    BEACCrashes();
    ~BEACCrashes() override;

    static std::shared_ptr<BEACCrashes> sharedInstance();
    // Forgets the singleton and re-arms the once-per-process processing pass.
    static void resetSharedInstance();
    static BEACServiceClass serviceClass();

    // The application's interface (switching: classSetEnabled / classIsEnabled).
    static void generateTestCrash();
    static bool hasCrashedInLastSession();
    static bool hasReceivedMemoryWarningInLastSession();
    static std::shared_ptr<BEACErrorReport> lastSessionCrashReport();
    static void setUserConfirmationHandler(BEACUserConfirmationHandler handler);
    static BEACUserConfirmationHandler userConfirmationHandler();
    static void notifyWithUserConfirmation(BEACUserConfirmation confirmation);
    static void setDelegate(const std::weak_ptr<BEACCrashesDelegate>& delegate);
    static std::shared_ptr<BEACCrashesDelegate> delegate();
    // Signal handlers instead of exception handling; only before the first enabling.
    static void disableMachExceptionHandler();
    // What the application object reports (the forwarder): to the uncaught-
    // exception handler saved at enabling, unless a debugger is attached.
    static void applicationDidReportException(const plat::Exception& exception);

    // Identity.
    std::string serviceName() const override { return "Crashes"; }
    std::string logTag() const override { return "BeaconCrashes"; }
    std::string groupId() const override { return "Crashes"; }
    std::string className() const override { return "BEACCrashes"; }
    int64_t initializationPriority() const override { return 999; }
    std::optional<BEACChannelUnitConfiguration> channelUnitConfiguration() const override {
        return BEACChannelUnitConfiguration("Crashes", 2, 1, 1, 3);
    }
    static BEACChannelUnitConfiguration bufferChannelUnitConfiguration() {
        return BEACChannelUnitConfiguration("CrashesBuffer", 2, 1, 50, 1);
    }

    // Called by the SDK.
    void startWithChannelGroup(const std::shared_ptr<BEACChannelGroupDefault>& channelGroup,
                               const std::optional<std::string>& appSecret,
                               const std::optional<std::string>& transmissionTargetToken,
                               bool fromApplication) override;
    void updateConfiguration(const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken) override;
    void applyEnabledState(bool isEnabled) override;

    // Channel callbacks.
    void channelDidPrepareLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                              const std::string& internalId, uint64_t flags) override;
    void channelDidCompleteEnqueueingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                         const std::string& internalId) override;
    void channelWillSendLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelDidSucceedSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log) override;
    void channelDidFailSendingLog(BEACChannelUnitProtocol& unit, const BEACLogPtr& log,
                                  const plat::ErrorPtr& error) override;

    // State.
    plat::Date appStartTime() const { return appStartTime_; }
    bool didCrashInLastSession() const;
    bool didReceiveMemoryWarningInLastSession() const;
    std::shared_ptr<BEACErrorReport> getLastSessionCrashReport() const;
    bool isMachExceptionHandlerEnabled() const;
    void setEnableMachExceptionHandler(bool enabled);
    bool isAutomaticProcessingEnabled() const;
    void setAutomaticProcessingEnabled(bool enabled);
    plat::appkit::UncaughtExceptionHandler exceptionHandler() const;
    std::shared_ptr<BEACCrashReporterPort> crashReporter() const;
    std::shared_ptr<BEACChannelUnitProtocol> bufferChannelUnit() const;
    std::vector<std::string> crashFiles() const;
    void setCrashFiles(std::vector<std::string> files);
    const std::string& crashesPathComponent() const { return crashesPathComponent_; }
    const std::string& logBufferPathComponent() const { return logBufferPathComponent_; }
    const std::string& analyzerInProgressFilePathComponent() const { return analyzerPathComponent_; }

    // Report processing.
    void handleLatestCrashReport();
    std::vector<std::string> persistedCrashReports() const;
    void startDelayedCrashProcessing();
    // The application became visible again: a pass skipped while it was in
    // the background is started again when report files are waiting. Called
    // for the application's unhide notification while the service is enabled.
    void applicationWillEnterForeground();
    void processCrashReports();
    bool sendCrashReportsOrAwaitUserConfirmation();
    void handleUserConfirmation(BEACUserConfirmation confirmation);
    void notifyUserConfirmation(BEACUserConfirmation confirmation);
    void sendErrorAttachments(const std::vector<std::shared_ptr<BEACErrorAttachmentLog>>& attachments,
                              const std::optional<std::string>& incidentIdentifier);
    static bool validatePropertiesForAttachment(const BEACErrorAttachmentLog& attachment);
    void deleteAllFromCrashesDirectory();

    // Handled errors and the wrapper entry points.
    std::optional<std::string> trackModelException(
        const std::shared_ptr<BEACException>& exception, const std::optional<plat::Dictionary>& properties,
        const std::vector<std::shared_ptr<BEACErrorAttachmentLog>>& attachments);
    std::shared_ptr<BEACErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId) const;
    // Waits for the processing pass (or an enabling without stored reports);
    // a disabled service does not wait.
    std::vector<std::shared_ptr<BEACErrorReport>> unprocessedCrashReports();
    bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
        const std::vector<std::string>& incidentIdentifiers);

    void didReceiveMemoryWarning();

    // Tests: the crash reporter made at the first enabling, the debugger
    // probe, and the clock of the delayed processing pass.
    static void setCrashReporterFactory(BEACCrashReporterPort::Factory factory);
    static void setDebuggerProbe(std::function<bool()> probe);
    static void setProcessingClock(std::shared_ptr<plat::dispatch::Clock> clock);

  private:
    struct State;

    void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enabled);
    void enableCapture();
    void disableCapture();
    void processLogBufferAfterCrash();
    void processMemoryWarningInLastSession();
    void clearContextHistoryAndKeepCurrentSession();
    void clearUnprocessedReports();
    void startCrashProcessing();
    bool userPromptedForConfirmation(const std::vector<std::shared_ptr<BEACErrorReport>>& reports);
    void deleteCrashReportWithFilePath(const std::string& path);
    // Keeps a parsed report for sending, unless the delegate refuses it
    // (automatic processing only): then it is deleted with its file.
    void takeCrashReport(const std::string& path, const KCRCrashReport& report, bool automatic);
    void removeCrashFile(const std::string& path);
    void createAnalyzerFile();
    void removeAnalyzerFile();
    void notifyDelegate(const BEACLogPtr& log,
                        const std::function<void(BEACCrashesDelegate&, BEACCrashes&,
                                                 const std::shared_ptr<BEACErrorReport>&)>& call);
    bool storedEnabledState() const { return BEACServiceAbstract::isEnabled(); }

    const plat::Date appStartTime_;
    const std::string crashesPathComponent_;
    const std::string logBufferPathComponent_;
    const std::string analyzerPathComponent_;
    BEACEncrypter targetTokenEncrypter_;
    plat::dispatch::Semaphore delayedProcessingSemaphore_{0};
    // Leaf lock of the state: never held while the service calls out.
    mutable plat::Mutex stateMutex_;
    const std::unique_ptr<State> state_ PT_GUARDED_BY(stateMutex_);
};
