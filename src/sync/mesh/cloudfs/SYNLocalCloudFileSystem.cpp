#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

#include <cerrno>
#include <filesystem>
#include <utility>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/mesh/cloudfs/detail/SYNCloudPath.h"

namespace {

template <class F>
void onMain(F&& block) {
    plat::dispatch::Queue::main().async(std::forward<F>(block));
}

void complete(const SYNCloudFileSystem::Completion& completion, plat::ErrorPtr error) {
    if (completion) {
        onMain([completion, error] { completion(error); });
    }
}

plat::ErrorPtr refusedPath(const std::string& path) {
    return plat::fileErrorWithPOSIXError(EINVAL, true, path);
}

}  // namespace

SYNLocalCloudFileSystem::SYNLocalCloudFileSystem(std::string rootDirectory)
    : rootDirectory_(std::move(rootDirectory)) {}

std::optional<std::string> SYNLocalCloudFileSystem::fullPathForPath(const std::string& path) const {
    std::string full = rootDirectory_;
    while (full.size() > 1 && full.back() == '/') {
        full.pop_back();
    }
    return SYNAppendCloudPath(std::move(full), path);
}

void SYNLocalCloudFileSystem::fetchUserIdentityWithCompletion(IdentityCompletion completion) {
    if (completion) {
        onMain([completion] { completion(plat::Value(plat::FileManager().userName()), nullptr); });
    }
}

void SYNLocalCloudFileSystem::connect(Completion completion) {
    complete(completion, nullptr);
}

void SYNLocalCloudFileSystem::fileExistsAtPath(const std::string& path, ExistenceCompletion completion) {
    bool isDirectory = false;
    auto full = fullPathForPath(path);
    bool exists = full && fileManager_.fileExistsAtPath(*full, &isDirectory);
    if (completion) {
        onMain([completion, exists, isDirectory] { completion(exists, exists && isDirectory, nullptr); });
    }
}

void SYNLocalCloudFileSystem::createDirectoryAtPath(const std::string& path, Completion completion) {
    auto full = fullPathForPath(path);
    complete(completion, full ? fileManager_.createDirectoryAtPath(*full, false) : refusedPath(path));
}

void SYNLocalCloudFileSystem::contentsOfDirectoryAtPath(const std::string& path,
                                                        ListingCompletion completion) {
    SYNCloudItems items;
    if (auto full = fullPathForPath(path)) {
        auto names = fileManager_.contentsOfDirectoryAtPath(*full);
        if (names.ok()) {
            for (const auto& name : *names) {
                if (name.empty() || name.front() == '.') {
                    continue;
                }
                std::string itemPath = path;
                if (itemPath.empty() || itemPath.back() != '/') {
                    itemPath += '/';
                }
                itemPath += name;
                std::error_code error;
                auto status = std::filesystem::symlink_status(*full + "/" + name, error);
                if (error) {
                    continue;  // vanished meanwhile
                }
                if (status.type() == std::filesystem::file_type::directory) {
                    items.push_back(std::make_shared<SYNCloudDirectory>(itemPath, name));
                } else {
                    uint64_t size = 0;
                    if (status.type() == std::filesystem::file_type::regular) {
                        auto bytes = std::filesystem::file_size(*full + "/" + name, error);
                        size = error ? 0 : bytes;
                    }
                    items.push_back(std::make_shared<SYNCloudFile>(itemPath, name, size));
                }
            }
        }
    }
    if (completion) {
        onMain([completion, items = std::move(items)] { completion(items, nullptr); });
    }
}

void SYNLocalCloudFileSystem::removeItemAtPath(const std::string& path, Completion completion) {
    auto full = fullPathForPath(path);
    plat::ErrorPtr error;
    if (!full || *full == fullPathForPath("/")) {
        // Removing the root would wipe the whole cloud folder.
        error = refusedPath(path);
    } else if (!std::filesystem::exists(std::filesystem::symlink_status(*full))) {
        error = plat::fileErrorWithPOSIXError(ENOENT, false, *full);
    } else {
        error = fileManager_.removeItemAtPath(*full);
    }
    complete(completion, error);
}

void SYNLocalCloudFileSystem::uploadLocalFile(const std::string& localPath, const std::string& path,
                                              Completion completion) {
    auto full = fullPathForPath(path);
    if (!full) {
        complete(completion, refusedPath(path));
        return;
    }
    // The copy is made under a hidden name beside the destination and then
    // moved into place, so that a reader (another machine through the synced
    // folder) never lists a partly written file.
    const auto slash = full->rfind('/');
    const auto temporary =
        full->substr(0, slash + 1) + ".upload-" + plat::ProcessInfo::processInfo().globallyUniqueString();
    plat::ErrorPtr error;
    if (fileManager_.fileExistsAtPath(*full)) {
        error = plat::fileErrorWithPOSIXError(EEXIST, false, *full);
    } else if (!(error = fileManager_.copyItemAtPath(localPath, temporary))) {
        error = fileManager_.moveItemAtPath(temporary, *full);
        if (error) {
            (void)fileManager_.removeItemAtPath(temporary);
        }
    }
    complete(completion, error);
}

void SYNLocalCloudFileSystem::downloadFromPath(const std::string& path, const std::string& localPath,
                                               Completion completion) {
    auto full = fullPathForPath(path);
    complete(completion, full ? fileManager_.copyItemAtPath(*full, localPath) : refusedPath(path));
}
