#include "beacon/crashes/BEACWrapperCrashesHelper.h"

#include "platform/foundation/Mutex.h"

namespace {

plat::Mutex gMutex;
std::weak_ptr<BEACCrashHandlerSetupDelegate> gSetupDelegate GUARDED_BY(gMutex);

}  // namespace

void BEACWrapperCrashesHelper::setCrashHandlerSetupDelegate(
    const std::weak_ptr<BEACCrashHandlerSetupDelegate>& delegate) {
    plat::MutexLock lock(gMutex);
    gSetupDelegate = delegate;
}

std::shared_ptr<BEACCrashHandlerSetupDelegate> BEACWrapperCrashesHelper::crashHandlerSetupDelegate() {
    plat::MutexLock lock(gMutex);
    return gSetupDelegate.lock();
}

void BEACWrapperCrashesHelper::setAutomaticProcessing(bool enabled) {
    BEACCrashes::sharedInstance()->setAutomaticProcessingEnabled(enabled);
}

bool BEACWrapperCrashesHelper::automaticProcessing() {
    return BEACCrashes::sharedInstance()->isAutomaticProcessingEnabled();
}

std::vector<std::shared_ptr<BEACErrorReport>> BEACWrapperCrashesHelper::unprocessedCrashReports() {
    return BEACCrashes::sharedInstance()->unprocessedCrashReports();
}

bool BEACWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& ids) {
    return BEACCrashes::sharedInstance()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(ids);
}

void BEACWrapperCrashesHelper::sendErrorAttachments(
    const std::vector<std::shared_ptr<BEACErrorAttachmentLog>>& attachments,
    const std::optional<std::string>& incidentIdentifier) {
    BEACCrashes::sharedInstance()->sendErrorAttachments(attachments, incidentIdentifier);
}

std::optional<std::string> BEACWrapperCrashesHelper::trackModelException(
    const std::shared_ptr<BEACException>& exception, const std::optional<plat::Dictionary>& properties,
    const std::vector<std::shared_ptr<BEACErrorAttachmentLog>>& attachments) {
    return BEACCrashes::sharedInstance()->trackModelException(exception, properties, attachments);
}

std::shared_ptr<BEACErrorReport> BEACWrapperCrashesHelper::buildHandledErrorReportWithErrorID(
    const std::string& errorId) {
    return BEACCrashes::sharedInstance()->buildHandledErrorReportWithErrorID(errorId);
}
