#include "beacon/crashes/BEACCrashesClasses.h"

#include <mutex>

#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACCrashDetailRecords.h"
#include "beacon/crashes/BEACErrorAttachmentLog.h"
#include "beacon/crashes/BEACErrorLogs.h"

namespace beac::crashes {

const std::map<std::string, std::string>& classNameMigrations() {
    // The error report is never archived; its pair is kept so that the table
    // stays complete for whoever reads old archives.
    static const std::map<std::string, std::string> migrations = {
        {"BCAppleErrorLog", "BEACAppleErrorLog"},
        {"BCThread", "BEACThread"},
        {"BCWrapperException", "BEACWrapperException"},
        {"BCAbstractErrorLog", "BEACAbstractErrorLog"},
        {"BCHandledErrorLog", "BEACHandledErrorLog"},
        {"BCException", "BEACException"},
        {"BCStackFrame", "BEACStackFrame"},
        {"BCBinary", "BEACBinary"},
        {"BCErrorAttachmentLog", "BEACErrorAttachmentLog"},
        {"BCErrorReport", "BEACErrorReport"},
    };
    return migrations;
}

void registerCodableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        using beac::detail::registerCodable;
        registerCodable<BEACStackFrame>("BEACStackFrame");
        registerCodable<BEACException>("BEACException");
        registerCodable<BEACThread>("BEACThread");
        registerCodable<BEACBinary>("BEACBinary");
        registerCodable<BEACWrapperException>("BEACWrapperException");
        registerCodable<BEACAbstractErrorLog>("BEACAbstractErrorLog");
        registerCodable<BEACAppleErrorLog>("BEACAppleErrorLog");
        registerCodable<BEACHandledErrorLog>("BEACHandledErrorLog");
        registerCodable<BEACErrorAttachmentLog>("BEACErrorAttachmentLog");
    });
    BEACUtility::addMigrationClasses(classNameMigrations());
}

}  // namespace beac::crashes
