#include "beacon/crashes/BEACCrashes.h"

#include <mutex>
#include <utility>

#include "platform/foundation/Mutex.h"

#include "beacon/core/BEACBeacon.h"
#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACDeviceTracker.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACUserIdContext.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACApplicationForwarder.h"
#include "beacon/crashes/BEACCrashesCXXExceptionHandler.h"
#include "beacon/crashes/BEACCrashesClasses.h"
#include "beacon/crashes/BEACCrashesLogBuffer.h"
#include "beacon/crashes/BEACCrashesLogTag.h"
#include "beacon/crashes/BEACCrashesUtil.h"
#include "beacon/crashes/BEACErrorLogFormatter.h"
#include "beacon/crashes/BEACWrapperCrashesHelper.h"
#include "beacon/crashes/BEACWrapperExceptionManager.h"
#include "beacon/crashes/detail/BEACCrashesState.h"
#include "platform/appkit/Application.h"

namespace {

constexpr const char* kMemoryWarningKey = "AppDidReceiveMemoryWarning";

plat::Mutex gInstanceMutex;
std::shared_ptr<BEACCrashes> gInstance GUARDED_BY(gInstanceMutex);

plat::Mutex gHooksMutex;
BEACCrashReporterPort::Factory gReporterFactory GUARDED_BY(gHooksMutex);
std::function<bool()> gDebuggerProbe GUARDED_BY(gHooksMutex);

bool debuggerAttached() {
    std::function<bool()> probe;
    {
        plat::MutexLock lock(gHooksMutex);
        probe = gDebuggerProbe;
    }
    return probe ? probe() : BEACBeacon::isDebuggerAttached();
}

std::shared_ptr<BEACCrashReporterPort> makeReporter(const KCRCrashReporterConfig& configuration) {
    BEACCrashReporterPort::Factory factory;
    {
        plat::MutexLock lock(gHooksMutex);
        factory = gReporterFactory;
    }
    return factory ? factory(configuration) : BEACCrashReporterPort::makeDefault(configuration);
}

// The exception handler saved at the first enabling that armed crash
// capture; read by the hooks at any time.
std::atomic<plat::appkit::UncaughtExceptionHandler> gExceptionHandler{nullptr};

}  // namespace

BEACCrashes::BEACCrashes()
    : appStartTime_(plat::Date::now()),
      crashesPathComponent_(BEACCrashesUtil::crashesDir()),
      logBufferPathComponent_(BEACCrashesUtil::logBufferDir()),
      analyzerPathComponent_(crashesPathComponent_ + "/" + kBEACAnalyzerFileName),
      state_(std::make_unique<State>()) {
    BEACBeaconUserDefaults::shared()->migrateKeys(
        {{BEACBeaconUserDefaults::getBeaconKeyFrom("CrashesIsEnabled"),
          std::string("kBCCrashesIsEnabledKey")},
         {BEACBeaconUserDefaults::getBeaconKeyFrom(kMemoryWarningKey),
          std::string("BCAppDidReceiveMemoryWarning")},
         {BEACBeaconUserDefaults::getBeaconKeyFrom(kBEACUserConfirmationKey),
          std::string("BCUserConfirmation")}},
        "Crashes");
    beac::crashes::registerCodableClasses();
    BEACCrashesLogBuffer::setUp(logBufferPathComponent_);
}

BEACCrashes::~BEACCrashes() {
    if (state_->memoryPressureSource)
        state_->memoryPressureSource->cancel();
    if (state_->foregroundObserver)
        plat::NotificationCenter::defaultCenter().removeObserver(state_->foregroundObserver);
}

std::shared_ptr<BEACCrashes> BEACCrashes::sharedInstance() {
    plat::MutexLock lock(gInstanceMutex);
    if (!gInstance)
        gInstance = std::make_shared<BEACCrashes>();
    return gInstance;
}

void BEACCrashes::resetSharedInstance() {
    std::shared_ptr<BEACCrashes> previous;
    {
        plat::MutexLock lock(gInstanceMutex);
        previous.swap(gInstance);
    }
    BEACCrashesProcessingOnce().reset();
    gExceptionHandler.store(nullptr);
}

BEACServiceClass BEACCrashes::serviceClass() {
    return {"BEACCrashes", [] { return std::static_pointer_cast<BEACServiceAbstract>(sharedInstance()); }};
}

void BEACCrashes::setCrashReporterFactory(BEACCrashReporterPort::Factory factory) {
    plat::MutexLock lock(gHooksMutex);
    gReporterFactory = std::move(factory);
}

void BEACCrashes::setDebuggerProbe(std::function<bool()> probe) {
    plat::MutexLock lock(gHooksMutex);
    gDebuggerProbe = std::move(probe);
}

// State accessors.

bool BEACCrashes::didCrashInLastSession() const {
    plat::MutexLock lock(stateMutex_);
    return state_->didCrashInLastSession;
}

bool BEACCrashes::didReceiveMemoryWarningInLastSession() const {
    plat::MutexLock lock(stateMutex_);
    return state_->didReceiveMemoryWarningInLastSession;
}

std::shared_ptr<BEACErrorReport> BEACCrashes::getLastSessionCrashReport() const {
    plat::MutexLock lock(stateMutex_);
    return state_->lastSessionCrashReport;
}

bool BEACCrashes::isMachExceptionHandlerEnabled() const {
    plat::MutexLock lock(stateMutex_);
    return state_->enableMachExceptionHandler;
}

void BEACCrashes::setEnableMachExceptionHandler(bool enabled) {
    plat::MutexLock lock(stateMutex_);
    state_->enableMachExceptionHandler = enabled;
}

bool BEACCrashes::isAutomaticProcessingEnabled() const {
    plat::MutexLock lock(stateMutex_);
    return state_->automaticProcessingEnabled;
}

void BEACCrashes::setAutomaticProcessingEnabled(bool enabled) {
    plat::MutexLock lock(stateMutex_);
    state_->automaticProcessingEnabled = enabled;
}

plat::appkit::UncaughtExceptionHandler BEACCrashes::exceptionHandler() const {
    return gExceptionHandler.load();
}

std::shared_ptr<BEACCrashReporterPort> BEACCrashes::crashReporter() const {
    plat::MutexLock lock(stateMutex_);
    return state_->crashReporter;
}

std::shared_ptr<BEACChannelUnitProtocol> BEACCrashes::bufferChannelUnit() const {
    plat::MutexLock lock(stateMutex_);
    return state_->bufferChannelUnit;
}

void BEACCrashes::setCrashFiles(std::vector<std::string> files) {
    plat::MutexLock lock(stateMutex_);
    state_->crashFiles = std::move(files);
}

void BEACCrashes::applicationWillEnterForeground() {
    bool pending = false;
    {
        plat::MutexLock lock(stateMutex_);
        pending = !state_->crashFiles.empty();
    }
    if (pending)
        startDelayedCrashProcessing();
}

std::vector<std::string> BEACCrashes::crashFiles() const {
    plat::MutexLock lock(stateMutex_);
    return state_->crashFiles;
}

// The application's interface.

bool BEACCrashes::hasCrashedInLastSession() {
    return sharedInstance()->didCrashInLastSession();
}

bool BEACCrashes::hasReceivedMemoryWarningInLastSession() {
    return sharedInstance()->didReceiveMemoryWarningInLastSession();
}

std::shared_ptr<BEACErrorReport> BEACCrashes::lastSessionCrashReport() {
    return sharedInstance()->getLastSessionCrashReport();
}

void BEACCrashes::setUserConfirmationHandler(BEACUserConfirmationHandler handler) {
    auto crashes = sharedInstance();
    plat::MutexLock lock(crashes->stateMutex_);
    crashes->state_->userConfirmationHandler = std::move(handler);
}

BEACUserConfirmationHandler BEACCrashes::userConfirmationHandler() {
    auto crashes = sharedInstance();
    plat::MutexLock lock(crashes->stateMutex_);
    return crashes->state_->userConfirmationHandler;
}

void BEACCrashes::notifyWithUserConfirmation(BEACUserConfirmation confirmation) {
    sharedInstance()->notifyUserConfirmation(confirmation);
}

void BEACCrashes::setDelegate(const std::weak_ptr<BEACCrashesDelegate>& delegate) {
    auto crashes = sharedInstance();
    plat::MutexLock lock(crashes->stateMutex_);
    crashes->state_->delegate = delegate;
}

std::shared_ptr<BEACCrashesDelegate> BEACCrashes::delegate() {
    auto crashes = sharedInstance();
    plat::MutexLock lock(crashes->stateMutex_);
    return crashes->state_->delegate.lock();
}

void BEACCrashes::disableMachExceptionHandler() {
    sharedInstance()->setEnableMachExceptionHandler(false);
}

void BEACCrashes::applicationDidReportException(const plat::Exception& exception) {
    if (debuggerAttached())
        return;
    if (plat::appkit::UncaughtExceptionHandler handler = gExceptionHandler.load())
        handler(exception);
}

void BEACCrashes::generateTestCrash() {
    auto crashes = sharedInstance();
    if (!crashes->canBeUsed())
        return;
    if (BEACUtility::currentAppEnvironment() == 0) {
        BEACLogWarning(
            kBEACCrashesLogTag,
            "GenerateTestCrash was just called in an App Store environment. The call will be ignored.");
        return;
    }
    if (debuggerAttached())
        BEACLogWarning(kBEACCrashesLogTag,
                       "The debugger is attached. The following crash cannot be detected by the SDK!");
    __builtin_trap();
}

// Start and switching.

void BEACCrashes::startWithChannelGroup(const std::shared_ptr<BEACChannelGroupDefault>& channelGroup,
                                        const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken,
                                        bool fromApplication) {
    BEACServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken,
                                               fromApplication);
    if (channelGroup)
        channelGroup->addDelegate(
            std::weak_ptr<BEACChannelDelegate>(std::dynamic_pointer_cast<BEACCrashes>(shared_from_this())));
    processLogBufferAfterCrash();
    processMemoryWarningInLastSession();
    BEACLogVerbose(kBEACCrashesLogTag, "Started crash service.");
}

void BEACCrashes::updateConfiguration(const std::optional<std::string>& appSecret,
                                      const std::optional<std::string>& transmissionTargetToken) {
    processLogBufferAfterCrash();
    BEACServiceAbstract::updateConfiguration(appSecret, transmissionTargetToken);
}

void BEACCrashes::processLogBufferAfterCrash() {
    auto group = channelGroup();
    if (!group)
        return;
    std::shared_ptr<BEACChannelUnitProtocol> unit;
    {
        // One unit for the whole process: a second start or a reconfiguration
        // re-uses it.
        plat::MutexLock lock(stateMutex_);
        if (!state_->bufferChannelUnit)
            state_->bufferChannelUnit =
                group->addChannelUnitWithConfiguration(bufferChannelUnitConfiguration());
        unit = state_->bufferChannelUnit;
    }
    if (unit)
        BEACCrashesLogBuffer::processAfterCrash(*unit, targetTokenEncrypter_);
}

void BEACCrashes::processMemoryWarningInLastSession() {
    if (!storedEnabledState())
        return;
    auto defaults = BEACBeaconUserDefaults::shared();
    std::optional<plat::Value> stored = defaults->objectForKey(kMemoryWarningKey);
    const bool warned = stored && stored->boolValue();
    {
        plat::MutexLock lock(stateMutex_);
        state_->didReceiveMemoryWarningInLastSession = warned;
    }
    if (warned)
        BEACLogDebug(kBEACCrashesLogTag,
                     "The application received a low memory warning in the last session.");
    defaults->removeObjectForKey(kMemoryWarningKey);
}

void BEACCrashes::didReceiveMemoryWarning() {
    BEACBeaconUserDefaults::shared()->setObject(plat::Value(true), kMemoryWarningKey);
}

// Runs without the state lock held: it calls the wrapper's set-up delegate,
// the crash reporter and other services. Switching is serialised by the
// class-level switch and the facade.
void BEACCrashes::applyEnabledState(bool isEnabled) {
    BEACServiceAbstract::applyEnabledState(isEnabled);
    if (isEnabled)
        enableCapture();
    else
        disableCapture();
}

void BEACCrashes::enableCapture() {
    std::shared_ptr<BEACCrashHandlerSetupDelegate> setup =
        BEACWrapperCrashesHelper::crashHandlerSetupDelegate();
    const bool uncaughtHandler = setup ? setup->shouldEnableUncaughtExceptionHandler().value_or(true) : true;
    if (setup)
        setup->willSetUpCrashHandlers();
    configureCrashReporterWithUncaughtExceptionHandlerEnabled(uncaughtHandler);
    if (setup)
        setup->didSetUpCrashHandlers();

    // One source while enabled: switching on again replaces it.
    std::weak_ptr<BEACCrashes> weak = std::dynamic_pointer_cast<BEACCrashes>(shared_from_this());
    auto source = plat::appkit::MemoryPressureSource::create(
        plat::dispatch::Queue::main(), [weak](plat::appkit::MemoryPressureLevel level) {
            if (level == plat::appkit::MemoryPressureLevel::Normal)
                return;
            if (auto crashes = weak.lock())
                crashes->didReceiveMemoryWarning();
        });
    std::shared_ptr<plat::appkit::MemoryPressureSource> replaced;
    bool observing = false;
    {
        plat::MutexLock lock(stateMutex_);
        replaced = std::exchange(state_->memoryPressureSource, std::move(source));
        observing = static_cast<bool>(state_->foregroundObserver);
    }
    if (replaced)
        replaced->cancel();
    if (!observing) {
        auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
            plat::appkit::ApplicationDidUnhideNotification, nullptr, [weak](const plat::Notification&) {
                if (auto crashes = weak.lock())
                    crashes->applicationWillEnterForeground();
            });
        plat::MutexLock lock(stateMutex_);
        state_->foregroundObserver = std::move(observer);
    }

    // Switched on at run time: a crash of the period it was off is not ours to report.
    std::shared_ptr<BEACCrashReporterPort> reporter = crashReporter();
    if (!storedEnabledState() && reporter)
        BEACPurgePendingCrashReport(*reporter);
    if (reporter && reporter->hasPendingCrashReport()) {
        {
            plat::MutexLock lock(stateMutex_);
            state_->didCrashInLastSession = true;
        }
        BEACLogDebug(kBEACCrashesLogTag, "The application crashed in the last session.");
        handleLatestCrashReport();
    }
    std::vector<std::string> files = persistedCrashReports();
    const bool pending = !files.empty();
    setCrashFiles(std::move(files));
    if (pending) {
        startDelayedCrashProcessing();
    } else {
        delayedProcessingSemaphore_.signal();
        clearContextHistoryAndKeepCurrentSession();
    }
    if (debuggerAttached())
        BEACLogInfo(
            kBEACCrashesLogTag,
            "Crashes service has been enabled but the service cannot detect crashes due to running the "
            "application with a debugger attached.");
    else
        BEACLogInfo(kBEACCrashesLogTag, "Crashes service has been enabled.");
}

void BEACCrashes::disableCapture() {
    std::shared_ptr<plat::appkit::MemoryPressureSource> source;
    plat::ObserverToken observer;
    std::shared_ptr<BEACCrashReporterPort> reporter;
    {
        plat::MutexLock lock(stateMutex_);
        source = std::move(state_->memoryPressureSource);
        state_->memoryPressureSource.reset();
        observer = std::move(state_->foregroundObserver);
        state_->foregroundObserver.reset();
        reporter = state_->crashReporter;
    }
    if (source)
        source->cancel();
    if (observer)
        plat::NotificationCenter::defaultCenter().removeObserver(observer);
    BEACLogDebug(kBEACCrashesLogTag, "Cleaning up all crash files.");
    BEACWrapperExceptionManager::deleteAllWrapperExceptions();
    deleteAllFromCrashesDirectory();
    BEACCrashesLogBuffer::emptyFiles();
    removeAnalyzerFile();
    if (reporter)
        BEACPurgePendingCrashReport(*reporter);
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
    BEACBeaconUserDefaults::shared()->removeObjectForKey(kMemoryWarningKey);
    BEACLogInfo(kBEACCrashesLogTag, "Crashes service has been disabled.");
}

void BEACCrashes::clearContextHistoryAndKeepCurrentSession() {
    BEACDeviceTracker::sharedInstance()->clearDevices();
    BEACSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
    BEACUserIdContext::sharedInstance()->clearUserIdHistory();
}

void BEACCrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enabled) {
    bool configured = false;
    bool mach = false;
    {
        plat::MutexLock lock(stateMutex_);
        configured = state_->crashReporter != nullptr;
        mach = state_->enableMachExceptionHandler;
    }
    if (configured) {
        BEACLogDebug(kBEACCrashesLogTag, "Already configured KCRCrashReporter.");
        return;
    }
    if (enabled)
        BEACLogDebug(kBEACCrashesLogTag, "EnableUncaughtExceptionHandler is set to YES");
    else
        BEACLogDebug(kBEACCrashesLogTag,
                     "EnableUncaughtExceptionHandler is set to NO, we're running in a wrapper runtime.");
    uint64_t type = KCRCrashReporterSignalHandlerTypeBSD;
    if (mach) {
        type = KCRCrashReporterSignalHandlerTypeMach;
        BEACLogVerbose(kBEACCrashesLogTag, "Enabled Mach exception handler.");
    }
    std::shared_ptr<BEACCrashReporterPort> reporter =
        makeReporter(KCRCrashReporterConfig(type, KCRCrashReporterSymbolicationStrategyNone, enabled));
    {
        plat::MutexLock lock(stateMutex_);
        state_->crashReporter = reporter;
    }
    if (debuggerAttached()) {
        BEACLogWarning(kBEACCrashesLogTag,
                       "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        return;
    }
    const plat::appkit::UncaughtExceptionHandler initial = plat::appkit::getUncaughtExceptionHandler();
    KCRCrashReporterCallbacks callbacks;
    callbacks.handleSignal = BEACCrashesLogBuffer::crashCallback;
    reporter->setCrashCallbacks(callbacks);
    plat::ErrorPtr error;
    if (!reporter->enableCrashReporter(&error))
        BEACLogError(kBEACCrashesLogTag, "Could not enable crash reporter: %@",
                     error ? error->localizedDescription() : std::string());
    const plat::appkit::UncaughtExceptionHandler current = plat::appkit::getUncaughtExceptionHandler();
    if (current != nullptr && current != initial) {
        gExceptionHandler.store(current);
        BEACLogDebug(kBEACCrashesLogTag, "Exception handler successfully initialized.");
    } else if (current == nullptr || enabled) {
        BEACLogError(
            kBEACCrashesLogTag,
            "Exception handler could not be set. Make sure there is no other exception handler set up!");
    } else {
        gExceptionHandler.store(current);
        BEACLogDebug(
            kBEACCrashesLogTag,
            "Exception handler successfully initialized but it has not been registered due to the wrapper "
            "SDK.");
    }
    BEACCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(
        BEACCrashesUncaughtCXXExceptionCallback);
    BEACApplicationForwarder::registerForwarding(&BEACCrashes::applicationDidReportException);
}

// Channel callbacks.

void BEACCrashes::channelDidPrepareLog(BEACChannelUnitProtocol&, const BEACLogPtr& log,
                                       const std::string& internalId, uint64_t) {
    if (!log || !storedEnabledState())
        return;
    BEACCrashesLogBuffer::didPrepareLog(log, internalId, targetTokenEncrypter_);
}

void BEACCrashes::channelDidCompleteEnqueueingLog(BEACChannelUnitProtocol&, const BEACLogPtr& log,
                                                  const std::string& internalId) {
    BEACCrashesLogBuffer::didCompleteEnqueueingLog(log, internalId);
}

void BEACCrashes::notifyDelegate(const BEACLogPtr& log,
                                 const std::function<void(BEACCrashesDelegate&, BEACCrashes&,
                                                          const std::shared_ptr<BEACErrorReport>&)>& call) {
    std::weak_ptr<BEACCrashesDelegate> weakDelegate;
    {
        plat::MutexLock lock(stateMutex_);
        weakDelegate = state_->delegate;
    }
    auto errorLog = std::dynamic_pointer_cast<BEACAppleErrorLog>(log);
    if (!errorLog || weakDelegate.expired())
        return;
    std::shared_ptr<BEACErrorReport> report = BEACErrorLogFormatter::errorReportFromLog(*errorLog);
    std::weak_ptr<BEACCrashes> weakSelf = std::dynamic_pointer_cast<BEACCrashes>(shared_from_this());
    BEACDispatcherUtil::performBlockOnMainThread([weakDelegate, weakSelf, report, call] {
        auto delegate = weakDelegate.lock();
        auto self = weakSelf.lock();
        if (delegate && self)
            call(*delegate, *self, report);
    });
}

void BEACCrashes::channelWillSendLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    notifyDelegate(log, [](BEACCrashesDelegate& delegate, BEACCrashes& crashes, const auto& report) {
        delegate.willSendErrorReport(crashes, report);
    });
}

void BEACCrashes::channelDidSucceedSendingLog(BEACChannelUnitProtocol&, const BEACLogPtr& log) {
    notifyDelegate(log, [](BEACCrashesDelegate& delegate, BEACCrashes& crashes, const auto& report) {
        delegate.didSucceedSendingErrorReport(crashes, report);
    });
}

void BEACCrashes::channelDidFailSendingLog(BEACChannelUnitProtocol&, const BEACLogPtr& log,
                                           const plat::ErrorPtr& error) {
    notifyDelegate(log, [error](BEACCrashesDelegate& delegate, BEACCrashes& crashes, const auto& report) {
        delegate.didFailSendingErrorReport(crashes, report, error);
    });
}
