#include <filesystem>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Mutex.h"

namespace {

// One lock for file creation, reading, listing and deletion, so that a
// create-and-write never interleaves with a delete or a listing here. The
// functions below take it once and log after releasing it (a log handler is
// the application's code).
plat::Mutex fileMutex;

plat::Mutex folderMutex;
std::optional<std::string> folderOverride GUARDED_BY(folderMutex);
std::optional<std::string> resolvedFolder GUARDED_BY(folderMutex);

constexpr const char* kSDKFolderName = "com.kestrel.beacon";

std::string errorText(const plat::ErrorPtr& error) {
    return error ? error->localizedDescription() : std::string("(null)");
}

std::string defaultFolder() {
    auto folders = plat::FileManager::defaultManager().searchPathsForDirectory(
        plat::SearchPathDirectory::ApplicationSupportDirectory, plat::UserDomainMask);
    std::string base =
        folders.empty() ? plat::FileManager::defaultManager().temporaryDirectory() : folders.front();
    std::string bundle = plat::Bundle::mainBundle().bundleIdentifier().value_or("kestrel");
    return base + "/" + bundle + "/" + kSDKFolderName;
}

// Removes `path`; the error, if any, for the caller to log.
plat::ErrorPtr removeItem(const std::string& path) REQUIRES(fileMutex) {
    return plat::FileManager::defaultManager().removeItemAtPath(path);
}

plat::ErrorPtr makeDirectory(const std::string& path) {
    return plat::FileManager::defaultManager().createDirectoryAtPath(path, true);
}

bool reportDirectory(const std::string& path, const plat::ErrorPtr& error) {
    if (error) {
        BEACLogError(kBEACLogTag, "Couldn't create directory at %@: %@", path, errorText(error));
        return false;
    }
    return true;
}

bool reportRemoval(const std::string& path, const plat::ErrorPtr& error) {
    if (error) {
        BEACLogDebug(kBEACLogTag, "Couldn't remove item at %@: %@", path, errorText(error));
        return false;
    }
    return true;
}

}  // namespace

std::string BEACUtility::beaconDirectoryPath() {
    plat::MutexLock lock(folderMutex);
    if (!resolvedFolder) {
        std::string folder = folderOverride ? *folderOverride : defaultFolder();
        createDirectoryAtPath(folder);
        resolvedFolder = folder;
    }
    return *resolvedFolder;
}

void BEACUtility::setBeaconDirectoryPath(std::optional<std::string> path) {
    plat::MutexLock lock(folderMutex);
    folderOverride = std::move(path);
    resolvedFolder.reset();
}

std::optional<std::string> BEACUtility::fullPathForPathComponent(
    const std::optional<std::string>& component) {
    if (!component)
        return std::nullopt;
    return beaconDirectoryPath() + "/" + *component;
}

bool BEACUtility::fileExistsForPathComponent(const std::string& component) {
    return plat::FileManager::defaultManager().fileExistsAtPath(*fullPathForPathComponent(component));
}

std::optional<std::string> BEACUtility::createFileAtPathComponent(const std::optional<std::string>& component,
                                                                  const std::optional<plat::Data>& data,
                                                                  bool atomically, bool forceOverwrite) {
    if (!component)
        return std::nullopt;
    std::string path = *fullPathForPathComponent(component);
    auto& files = plat::FileManager::defaultManager();
    std::string folder = std::filesystem::path(path).parent_path().string();
    plat::ErrorPtr folderError;
    plat::ErrorPtr error;
    {
        plat::MutexLock lock(fileMutex);
        if (!forceOverwrite && files.fileExistsAtPath(path))
            return path;
        folderError = makeDirectory(folder);
        error = files.writeData(data.value_or(plat::Data()), path, atomically);
    }
    reportDirectory(folder, folderError);
    if (error) {
        BEACLogError(kBEACLogTag, "Couldn't create new file at path %@", path);
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> BEACUtility::createDirectoryForPathComponent(
    const std::optional<std::string>& component) {
    if (!component)
        return std::nullopt;
    std::string path = *fullPathForPathComponent(component);
    plat::ErrorPtr error;
    {
        plat::MutexLock lock(fileMutex);
        error = makeDirectory(path);
    }
    return reportDirectory(path, error) ? std::optional<std::string>(path) : std::nullopt;
}

std::optional<plat::Data> BEACUtility::loadDataForPathComponent(const std::optional<std::string>& component) {
    if (!component)
        return std::nullopt;
    std::string path = *fullPathForPathComponent(component);
    plat::MutexLock lock(fileMutex);
    return plat::FileManager::defaultManager().contentsAtPath(path);
}

std::optional<std::vector<std::string>> BEACUtility::contentsOfDirectory(
    const std::optional<std::string>& component) {
    if (!component || component->empty())
        return std::nullopt;
    std::string folder = *fullPathForPathComponent(component);
    auto names = [&] {
        plat::MutexLock lock(fileMutex);
        return plat::FileManager::defaultManager().contentsOfDirectoryAtPath(folder);
    }();
    if (!names.ok()) {
        BEACLogDebug(kBEACLogTag, "Couldn't get files in the directory \"%@\": %@", *component,
                     errorText(names.error()));
        return std::nullopt;
    }
    std::vector<std::string> paths;
    for (const auto& name : names.value())
        paths.push_back(folder + "/" + name);
    return paths;
}

bool BEACUtility::deleteItemForPathComponent(const std::optional<std::string>& component) {
    if (!component)
        return false;
    return deleteFileAtPath(fullPathForPathComponent(component));
}

bool BEACUtility::deleteFileAtPath(const std::optional<std::string>& path) {
    if (!path)
        return false;
    plat::ErrorPtr error;
    {
        plat::MutexLock lock(fileMutex);
        error = removeItem(*path);
    }
    return reportRemoval(*path, error);
}

// Linux has no backup-exclusion flag; the folder is simply created.
bool BEACUtility::createDirectoryAtPath(const std::optional<std::string>& path) {
    if (!path)
        return false;
    return reportDirectory(*path, makeDirectory(*path));
}
