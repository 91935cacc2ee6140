#include "beacon/crashes/BEACWrapperExceptionManager.h"

#include <map>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "beacon/crashes/BEACCrashesClasses.h"
#include "beacon/crashes/BEACCrashesLogTag.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Mutex.h"

namespace {

struct Cache {
    plat::Mutex mutex;
    std::map<std::string, std::shared_ptr<BEACWrapperException>> byIncident GUARDED_BY(mutex);
};

// Never destroyed: a crash during exit handlers must not find it freed.
Cache& cache() {
    static Cache* instance = new Cache();
    return *instance;
}

// One plain component, so that an identifier can never leave the folder.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string pathFor(const std::string& name) {
    return plat::format("%@/%@", kBEACWrapperExceptionsDirectory, name);
}

}  // namespace

void BEACWrapperExceptionManager::saveWrapperException(
    const std::shared_ptr<BEACWrapperException>& exception) {
    saveWrapperException(exception, kBEACLastSavedWrapperExceptionFileName);
}

void BEACWrapperExceptionManager::saveWrapperException(const std::shared_ptr<BEACWrapperException>& exception,
                                                       const std::string& baseFilename) {
    if (!exception || !isPlainName(baseFilename))
        return;
    beac::crashes::registerCodableClasses();
    auto data =
        BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(exception)));
    if (!data)
        return;
    // A failure is logged; the exception then has no record to be matched with.
    (void)BEACUtility::createFileAtPathComponent(pathFor(baseFilename), data, true, true);
}

std::shared_ptr<BEACWrapperException> BEACWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
    const std::optional<std::string>& uuidString) {
    if (!uuidString)
        return nullptr;
    {
        Cache& c = cache();
        plat::MutexLock lock(c.mutex);
        if (auto it = c.byIncident.find(*uuidString); it != c.byIncident.end())
            return it->second;
    }
    return loadWrapperExceptionWithBaseFilename(*uuidString);
}

void BEACWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(
    const std::optional<std::string>& uuidString) {
    if (uuidString)
        deleteWrapperExceptionWithBaseFilename(*uuidString);
}

void BEACWrapperExceptionManager::deleteAllWrapperExceptions() {
    BEACUtility::deleteItemForPathComponent(std::string(kBEACWrapperExceptionsDirectory));
}

void BEACWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<BEACErrorReport>>& reports) {
    auto exception = loadWrapperExceptionWithBaseFilename(kBEACLastSavedWrapperExceptionFileName);
    if (!exception)
        return;
    deleteWrapperExceptionWithBaseFilename(kBEACLastSavedWrapperExceptionFileName);
    // An exception without a process id would otherwise match a report
    // without process information (id 0).
    if (!exception->processId)
        return;
    const auto processId = static_cast<uint64_t>(*exception->processId);
    for (const auto& report : reports) {
        if (!report || report->appProcessIdentifier() != processId)
            continue;
        const auto& incident = report->incidentIdentifier();
        if (!incident || !isPlainName(*incident))
            return;
        {
            Cache& c = cache();
            plat::MutexLock lock(c.mutex);
            c.byIncident[*incident] = exception;
        }
        saveWrapperException(exception, *incident);
        return;
    }
}

void BEACWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename) {
    if (isPlainName(baseFilename))
        BEACUtility::deleteItemForPathComponent(pathFor(baseFilename));
}

std::shared_ptr<BEACWrapperException> BEACWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(
    const std::string& baseFilename) {
    if (!isPlainName(baseFilename))
        return nullptr;
    const std::string path = pathFor(baseFilename);
    if (!BEACUtility::fileExistsForPathComponent(path))
        return nullptr;
    beac::crashes::registerCodableClasses();
    auto decoded = BEACUtility::unarchiveKeyedData(BEACUtility::loadDataForPathComponent(path));
    auto exception = decoded ? decoded->asObjectOf<BEACWrapperException>() : nullptr;
    if (!exception) {
        BEACLogError(kBEACCrashesLogTag, "Could not read exception data stored on disk with file name %@",
                     baseFilename);
        deleteWrapperExceptionWithBaseFilename(baseFilename);
        return nullptr;
    }
    return std::const_pointer_cast<BEACWrapperException>(exception);
}

void BEACWrapperExceptionManager::clearCache() {
    Cache& c = cache();
    plat::MutexLock lock(c.mutex);
    c.byIncident.clear();
}
