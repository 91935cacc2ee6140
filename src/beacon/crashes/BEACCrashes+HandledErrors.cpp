// Handled errors and the operations only wrapper SDKs call.
#include "beacon/core/BEACDeviceTracker.h"
#include "beacon/core/BEACUserIdContext.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACCrashes.h"
#include "beacon/crashes/BEACWrapperExceptionManager.h"
#include "beacon/crashes/detail/BEACCrashesState.h"
#include "platform/foundation/UUID.h"

std::optional<std::string> BEACCrashes::trackModelException(
    const std::shared_ptr<BEACException>& exception, const std::optional<plat::Dictionary>& properties,
    const std::vector<std::shared_ptr<BEACErrorAttachmentLog>>& attachments) {
    if (!canBeUsed() || !storedEnabledState())
        return std::nullopt;
    auto log = std::make_shared<BEACHandledErrorLog>();
    log->userId = BEACUserIdContext::sharedInstance()->userId();
    const std::string errorId = plat::UUID().UUIDString();
    log->errorId = errorId;
    log->exception = exception;
    if (properties && !properties->empty())
        log->properties = BEACUtility::validateProperties(*properties, "ErrorLog: " + errorId, *log->type);
    if (auto unit = channelUnit())
        unit->enqueueItem(log, 1);
    if (!attachments.empty())
        sendErrorAttachments(attachments, errorId);
    return errorId;
}

std::shared_ptr<BEACErrorReport> BEACCrashes::buildHandledErrorReportWithErrorID(
    const std::string& errorId) const {
    return std::make_shared<BEACErrorReport>(errorId, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                             appStartTime_, plat::Date::now(),
                                             BEACDeviceTracker::sharedInstance()->device(), 0);
}

std::vector<std::shared_ptr<BEACErrorReport>> BEACCrashes::unprocessedCrashReports() {
    // A disabled service never signals: waiting would never end.
    if (storedEnabledState() && isStarted()) {
        delayedProcessingSemaphore_.wait();
        delayedProcessingSemaphore_.signal();
    }
    plat::MutexLock lock(stateMutex_);
    return state_->unprocessedReports;
}

bool BEACCrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& incidentIdentifiers) {
    std::vector<std::pair<std::optional<std::string>, std::string>> dropped;
    {
        plat::MutexLock lock(stateMutex_);
        State& s = *state_;
        std::vector<std::shared_ptr<BEACAppleErrorLog>> logs;
        std::vector<std::shared_ptr<BEACErrorReport>> reports;
        std::vector<std::string> paths;
        for (size_t i = 0; i < s.unprocessedReports.size() && i < s.unprocessedLogs.size() &&
                           i < s.unprocessedFilePaths.size();
             ++i) {
            const std::optional<std::string>& id = s.unprocessedReports[i]->incidentIdentifier();
            const bool keep = id && std::find(incidentIdentifiers.begin(), incidentIdentifiers.end(), *id) !=
                                        incidentIdentifiers.end();
            if (keep) {
                logs.push_back(s.unprocessedLogs[i]);
                reports.push_back(s.unprocessedReports[i]);
                paths.push_back(s.unprocessedFilePaths[i]);
            } else {
                dropped.emplace_back(id, s.unprocessedFilePaths[i]);
            }
        }
        s.unprocessedLogs = std::move(logs);
        s.unprocessedReports = std::move(reports);
        s.unprocessedFilePaths = std::move(paths);
    }
    for (const auto& [id, path] : dropped) {
        BEACWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(id);
        deleteCrashReportWithFilePath(path);
    }
    return sendCrashReportsOrAwaitUserConfirmation();
}
