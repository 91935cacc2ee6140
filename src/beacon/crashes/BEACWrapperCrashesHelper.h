// The entry points of wrapper SDKs (runtimes layered over the application):
// their say in setting up crash capture, handled errors, and the choice of
// the crash reports to send when automatic processing is off. Each forwards
// to the crash service's singleton.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beacon/crashes/BEACCrashes.h"

class BEACWrapperCrashesHelper {
  public:
    // Held weakly.
    static void setCrashHandlerSetupDelegate(const std::weak_ptr<BEACCrashHandlerSetupDelegate>& delegate);
    static std::shared_ptr<BEACCrashHandlerSetupDelegate> crashHandlerSetupDelegate();
    static std::shared_ptr<BEACCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate() {
        return crashHandlerSetupDelegate();
    }
    static void setAutomaticProcessing(bool enabled);
    static bool automaticProcessing();
    static std::vector<std::shared_ptr<BEACErrorReport>> unprocessedCrashReports();
    static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& ids);
    static void sendErrorAttachments(const std::vector<std::shared_ptr<BEACErrorAttachmentLog>>& attachments,
                                     const std::optional<std::string>& incidentIdentifier);
    static std::optional<std::string> trackModelException(
        const std::shared_ptr<BEACException>& exception, const std::optional<plat::Dictionary>& properties,
        const std::vector<std::shared_ptr<BEACErrorAttachmentLog>>& attachments);
    static std::shared_ptr<BEACErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId);
};
