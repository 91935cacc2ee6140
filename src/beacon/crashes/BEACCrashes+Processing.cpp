// Crash report processing: the pending report moved into the "crashes"
// folder at enabling, the delayed pass over the stored reports, the user's
// confirmation, attachments and the removal of what was sent or refused.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "beacon/core/BEACBeaconUserDefaults.h"
#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACSessionContext.h"
#include "beacon/core/BEACUserIdContext.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACCrashes.h"
#include "beacon/crashes/BEACCrashesLogTag.h"
#include "beacon/crashes/BEACErrorLogFormatter.h"
#include "beacon/crashes/BEACWrapperExceptionManager.h"
#include "beacon/crashes/detail/BEACCrashesState.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Text.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kExcludedSuffixes[] = {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"};

std::optional<plat::Data> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return plat::Data::fromString(bytes);
}

bool alwaysSend() {
    std::optional<plat::Value> stored =
        BEACBeaconUserDefaults::shared()->objectForKey(kBEACUserConfirmationKey);
    return stored && stored->boolValue();
}

}  // namespace

plat::dispatch::Once& BEACCrashesProcessingOnce() {
    static auto* once = new plat::dispatch::Once;
    return *once;
}

plat::dispatch::Queue BEACCrashesProcessingQueue() {
    static auto* queue = new plat::dispatch::Queue(plat::dispatch::Queue::serial(
        "org.kestrel.beacon.crashes.processing", plat::dispatch::QualityOfService::Default));
    return *queue;
}

void BEACCrashes::setProcessingClock(std::shared_ptr<plat::dispatch::Clock> clock) {
    BEACCrashesProcessingQueue().setClock(std::move(clock));
}

void BEACCrashes::createAnalyzerFile() {
    if (!BEACUtility::createFileAtPathComponent(analyzerPathComponent_, std::nullopt, false, false))
        BEACLogError(kBEACCrashesLogTag, "Couldn't create crash analyzer file.");
}

void BEACCrashes::removeAnalyzerFile() {
    // The marker says a launch died reading a report: one left behind makes
    // the next launch purge its pending report unread.
    if (BEACUtility::fileExistsForPathComponent(analyzerPathComponent_) &&
        !BEACUtility::deleteItemForPathComponent(analyzerPathComponent_))
        BEACLogError(
            kBEACCrashesLogTag,
            "Couldn't remove the crash analyzer file; the next launch's crash report will be purged.");
}

void BEACCrashes::handleLatestCrashReport() {
    std::shared_ptr<BEACCrashReporterPort> reporter = crashReporter();
    if (!reporter)
        return;
    bool purge = true;
    if (BEACUtility::fileExistsForPathComponent(analyzerPathComponent_)) {
        // The last launch died while reading this report: it is not read again.
        BEACLogError(kBEACCrashesLogTag, "Error on loading the crash report, it will be purged.");
    } else {
        createAnalyzerFile();
        plat::ErrorPtr error;
        std::optional<plat::Data> data = reporter->loadPendingCrashReportData(&error);
        if (!data) {
            BEACLogError(kBEACCrashesLogTag, "Couldn't load crash report: %@",
                         error ? error->localizedDescription() : std::string());
        } else if (auto report = KCRCrashReport::create(*data); !report.ok()) {
            BEACLogWarning(kBEACCrashesLogTag, "Couldn't parse crash report: %@",
                           report.error() ? report.error()->localizedDescription() : std::string());
        } else {
            // Named by whole seconds since 2001; a name already taken (two
            // launches in one second) gets ".1", ".2", ... so no report is
            // overwritten.
            char seconds[64];
            std::snprintf(seconds, sizeof seconds, "%.0f",
                          plat::Date::now().timeIntervalSinceReferenceDate());
            std::string component = crashesPathComponent_ + "/" + seconds;
            for (int n = 1; BEACUtility::fileExistsForPathComponent(component); ++n)
                component = crashesPathComponent_ + "/" + seconds + "." + std::to_string(n);
            if (!BEACUtility::createFileAtPathComponent(component, data, true, false)) {
                // Kept pending: the next launch tries again.
                BEACLogError(kBEACCrashesLogTag, "Couldn't store the crash report; it stays pending.");
                purge = false;
            }
            std::shared_ptr<BEACErrorReport> last =
                BEACErrorLogFormatter::errorReportFromCrashReport(report.value());
            {
                plat::MutexLock lock(stateMutex_);
                state_->lastSessionCrashReport = last;
            }
            if (last)
                BEACWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({last});
        }
    }
    removeAnalyzerFile();
    if (purge)
        BEACPurgePendingCrashReport(*reporter);
}

std::vector<std::string> BEACCrashes::persistedCrashReports() const {
    std::optional<std::vector<std::string>> paths = BEACUtility::contentsOfDirectory(crashesPathComponent_);
    if (!paths) {
        BEACLogError(kBEACCrashesLogTag, "No persisted crashes found.");
        return {};
    }
    std::vector<std::string> result;
    for (const std::string& path : *paths) {
        std::error_code error;
        if (!fs::is_regular_file(path, error) || fs::file_size(path, error) < 1 || error)
            continue;
        const std::string name = plat::text::lastPathComponent(path);
        bool excluded = false;
        for (const char* suffix : kExcludedSuffixes)
            excluded = excluded || name.ends_with(suffix);
        if (!excluded)
            result.push_back(path);
    }
    std::sort(result.begin(), result.end());
    return result;
}

void BEACCrashes::startDelayedCrashProcessing() {
    std::weak_ptr<BEACCrashes> weak = std::dynamic_pointer_cast<BEACCrashes>(shared_from_this());
    BEACCrashesProcessingQueue().after(1.0, [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        // Asked off the main thread, the application state is never
        // "background": the pass always runs (the check stays for an
        // embedder whose state provider answers on any thread).
        if (self->isAutomaticProcessingEnabled() &&
            BEACUtility::applicationState() == BEACApplicationStateBackground) {
            BEACLogWarning(kBEACCrashesLogTag,
                           "Crashes will not be processed because the application is in the background.");
            return;
        }
        BEACCrashesProcessingOnce().call([&self] {
            self->startCrashProcessing();
            self->delayedProcessingSemaphore_.signal();
        });
    });
}

void BEACCrashes::startCrashProcessing() {
    BEACLogDebug(kBEACCrashesLogTag, "Start delayed CrashManager processing");
    plat::appkit::UncaughtExceptionHandler saved = exceptionHandler();
    if (saved != nullptr && saved != plat::appkit::getUncaughtExceptionHandler())
        BEACLogWarning(
            kBEACCrashesLogTag,
            "Another exception handler was added. If this invokes any kind of exit() after processing the "
            "exception, which causes any subsequent error handler not to be invoked, these crashes will NOT "
            "be reported to Beacon!");
    processCrashReports();
}

namespace {

// The reports of the files that parse, with their paths. A file that does
// not parse is left in place and tried again at the next pass.
std::vector<std::pair<std::string, KCRCrashReportPtr>> parseCrashFiles(
    const std::vector<std::string>& files) {
    std::vector<std::pair<std::string, KCRCrashReportPtr>> parsed;
    for (const std::string& path : files) {
        std::optional<plat::Data> data = readFile(path);
        if (!data || data->length() == 0)
            continue;
        auto report = KCRCrashReport::create(*data);
        if (!report.ok()) {
            BEACLogWarning(kBEACCrashesLogTag,
                           "Crash report found but couldn't parse it, discard the crash report: %@",
                           report.error() ? report.error()->localizedDescription() : std::string());
            continue;
        }
        parsed.emplace_back(path, report.value());
    }
    return parsed;
}

}  // namespace

// A pass over the stored reports: the state is reset, the report files are
// parsed, the wrapper exception saved last is matched to its report, and
// each report is kept for sending or, when the delegate refuses it,
// discarded; with automatic processing the kept ones are then sent or put
// to the user.
void BEACCrashes::processCrashReports() {
    if (!storedEnabledState()) {
        BEACLogDebug(kBEACCrashesLogTag, "Crashes service is disabled; discard all crash reports");
        deleteAllFromCrashesDirectory();
        BEACWrapperExceptionManager::deleteAllWrapperExceptions();
        return;
    }
    std::vector<std::string> files;
    bool automatic = true;
    {
        plat::MutexLock lock(stateMutex_);
        state_->hasUnprocessed = true;
        state_->unprocessedLogs.clear();
        state_->unprocessedReports.clear();
        state_->unprocessedFilePaths.clear();
        files = state_->crashFiles;
        automatic = state_->automaticProcessingEnabled;
    }
    const auto parsed = parseCrashFiles(files);
    std::vector<std::shared_ptr<BEACErrorReport>> forCorrelation;
    for (const auto& [path, report] : parsed) {
        if (auto errorReport = BEACErrorLogFormatter::errorReportFromCrashReport(report))
            forCorrelation.push_back(errorReport);
    }
    BEACWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(forCorrelation);
    for (const auto& [path, report] : parsed)
        takeCrashReport(path, *report, automatic);
    if (automatic)
        sendCrashReportsOrAwaitUserConfirmation();
}

void BEACCrashes::takeCrashReport(const std::string& path, const KCRCrashReport& report, bool automatic) {
    BEACLogVerbose(kBEACCrashesLogTag, "Crash reports found");
    // The report is derived from the log, so both carry one error id
    // even when the crash report has no UUID.
    std::shared_ptr<BEACAppleErrorLog> log = BEACErrorLogFormatter::errorLogFromCrashReport(report);
    std::shared_ptr<BEACErrorReport> errorReport = BEACErrorLogFormatter::errorReportFromLog(*log);
    bool process = !automatic;
    if (automatic) {
        std::shared_ptr<BEACCrashesDelegate> delegate;
        {
            plat::MutexLock lock(stateMutex_);
            delegate = state_->delegate.lock();
        }
        process = !delegate || delegate->shouldProcessErrorReport(*this, errorReport).value_or(true);
    }
    if (!process) {
        BEACLogDebug(kBEACCrashesLogTag, "shouldProcessErrorReport returned NO, discard the crash report: %@",
                     report.description());
        BEACWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(errorReport->incidentIdentifier());
        deleteCrashReportWithFilePath(path);
        return;
    }
    if (automatic)
        BEACLogDebug(kBEACCrashesLogTag,
                     "shouldProcessErrorReport is not implemented or returned YES, processing the crash "
                     "report: %@",
                     report.description());
    else
        BEACLogDebug(kBEACCrashesLogTag,
                     "Automatic crash processing is disabled, storing the crash report for later "
                     "processing: %@",
                     report.description());
    plat::MutexLock lock(stateMutex_);
    state_->unprocessedLogs.push_back(log);
    state_->unprocessedReports.push_back(errorReport);
    state_->unprocessedFilePaths.push_back(path);
}

bool BEACCrashes::sendCrashReportsOrAwaitUserConfirmation() {
    const bool always = alwaysSend();
    std::vector<std::shared_ptr<BEACErrorReport>> reports;
    BEACUserConfirmationHandler handler;
    bool automatic = true;
    {
        plat::MutexLock lock(stateMutex_);
        reports = state_->unprocessedReports;
        handler = state_->userConfirmationHandler;
        automatic = state_->automaticProcessingEnabled;
    }
    if (reports.empty())
        return always;
    if (always) {
        BEACLogDebug(
            kBEACCrashesLogTag,
            "The flag for user confirmation is set to BEACUserConfirmationAlways, continue sending logs");
        handleUserConfirmation(BEACUserConfirmationSend);
        return true;
    }
    if (automatic) {
        if (!handler || !userPromptedForConfirmation(reports)) {
            BEACLogDebug(
                kBEACCrashesLogTag,
                "The user confirmation handler is not implemented or returned NO, continue sending logs");
            handleUserConfirmation(BEACUserConfirmationSend);
        }
        return false;
    }
    BEACLogDebug(
        kBEACCrashesLogTag,
        "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
    return false;
}

bool BEACCrashes::userPromptedForConfirmation(const std::vector<std::shared_ptr<BEACErrorReport>>& reports) {
    BEACUserConfirmationHandler handler;
    {
        plat::MutexLock lock(stateMutex_);
        handler = state_->userConfirmationHandler;
    }
    if (!handler)
        return false;
    if (plat::dispatch::MainLoop::isMainThread())
        return handler(reports);
    return plat::dispatch::Queue::main().sync([&] { return handler(reports); });
}

void BEACCrashes::notifyUserConfirmation(BEACUserConfirmation confirmation) {
    {
        plat::MutexLock lock(stateMutex_);
        if (!state_->userConfirmationHandler && !state_->hasUnprocessed) {
            BEACLogError(kBEACCrashesLogTag,
                         "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                         "userConfirmationHandler. For more information refer to the documentation.");
            return;
        }
    }
    handleUserConfirmation(confirmation);
}

void BEACCrashes::handleUserConfirmation(BEACUserConfirmation confirmation) {
    // The waiting reports are taken at once: a second answer finds none, so
    // no report is sent twice.
    std::vector<std::shared_ptr<BEACAppleErrorLog>> logs;
    std::vector<std::shared_ptr<BEACErrorReport>> reports;
    std::vector<std::string> paths;
    std::shared_ptr<BEACCrashesDelegate> delegate;
    {
        plat::MutexLock lock(stateMutex_);
        logs.swap(state_->unprocessedLogs);
        reports.swap(state_->unprocessedReports);
        paths.swap(state_->unprocessedFilePaths);
        delegate = state_->delegate.lock();
    }
    if (confirmation == BEACUserConfirmationDontSend) {
        for (size_t i = 0; i < paths.size(); ++i) {
            deleteCrashReportWithFilePath(paths[i]);
            if (i < reports.size())
                BEACWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(
                    reports[i]->incidentIdentifier());
        }
        clearContextHistoryAndKeepCurrentSession();
        return;
    }
    if (confirmation == BEACUserConfirmationAlways)
        BEACBeaconUserDefaults::shared()->setObject(plat::Value(true), kBEACUserConfirmationKey);
    std::shared_ptr<BEACChannelUnitProtocol> unit = channelUnit();
    for (size_t i = 0; i < reports.size() && i < logs.size() && i < paths.size(); ++i) {
        std::vector<std::shared_ptr<BEACErrorAttachmentLog>> attachments;
        if (auto given = delegate ? delegate->attachmentsForErrorReport(*this, reports[i]) : std::nullopt) {
            for (const auto& attachment : *given) {
                if (!attachment)
                    continue;
                if (!attachment->device)
                    attachment->device = logs[i]->device;
                attachments.push_back(attachment);
            }
        } else {
            BEACLogDebug(kBEACCrashesLogTag, "attachmentsWithCrashes is not implemented");
        }
        // The session and user of the crash time, not of now.
        if (logs[i]->timestamp) {
            logs[i]->sid = BEACSessionContext::sharedInstance()->sessionIdAt(*logs[i]->timestamp);
            logs[i]->userId = BEACUserIdContext::sharedInstance()->userIdAt(*logs[i]->timestamp);
        }
        if (unit)
            unit->enqueueItem(logs[i], 2);
        sendErrorAttachments(attachments, reports[i]->incidentIdentifier());
        deleteCrashReportWithFilePath(paths[i]);
        BEACWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(reports[i]->incidentIdentifier());
    }
    clearContextHistoryAndKeepCurrentSession();
}

void BEACCrashes::sendErrorAttachments(
    const std::vector<std::shared_ptr<BEACErrorAttachmentLog>>& attachments,
    const std::optional<std::string>& incidentIdentifier) {
    std::shared_ptr<BEACChannelUnitProtocol> unit = channelUnit();
    for (const auto& attachment : attachments) {
        if (!attachment)
            continue;
        attachment->errorId = incidentIdentifier;
        if (!validatePropertiesForAttachment(*attachment)) {
            BEACLogError(kBEACCrashesLogTag,
                         "Not all required fields are present in BEACErrorAttachmentLog.");
            continue;
        }
        const uint64_t size = attachment->data->length();
        if (size > kBEACMaxAttachmentSize) {
            BEACLogError(kBEACCrashesLogTag,
                         "Discarding attachment with size above %u bytes: size=%tu, fileName=%@.",
                         kBEACMaxAttachmentSize, size, attachment->filename);
            continue;
        }
        if (unit)
            unit->enqueueItem(attachment, 1);
    }
}

bool BEACCrashes::validatePropertiesForAttachment(const BEACErrorAttachmentLog& attachment) {
    return attachment.errorId && !attachment.errorId->empty() && attachment.attachmentId &&
           !attachment.attachmentId->empty() && attachment.data && attachment.data->length() > 0 &&
           attachment.contentType && !attachment.contentType->empty();
}

void BEACCrashes::deleteAllFromCrashesDirectory() {
    if (BEACUtility::fileExistsForPathComponent(crashesPathComponent_) &&
        !BEACUtility::deleteItemForPathComponent(crashesPathComponent_))
        BEACLogError(kBEACCrashesLogTag, "Couldn't delete the stored crash reports.");
    plat::MutexLock lock(stateMutex_);
    state_->crashFiles.clear();
}

void BEACCrashes::deleteCrashReportWithFilePath(const std::string& path) {
    if (!BEACUtility::deleteFileAtPath(path))
        BEACLogError(kBEACCrashesLogTag, "Couldn't delete crash report \"%@\"; it may be processed again.",
                     path);
    removeCrashFile(path);
}

void BEACCrashes::removeCrashFile(const std::string& path) {
    plat::MutexLock lock(stateMutex_);
    auto& files = state_->crashFiles;
    files.erase(std::remove(files.begin(), files.end(), path), files.end());
}

void BEACCrashes::clearUnprocessedReports() {
    plat::MutexLock lock(stateMutex_);
    state_->unprocessedLogs.clear();
    state_->unprocessedReports.clear();
    state_->unprocessedFilePaths.clear();
}
