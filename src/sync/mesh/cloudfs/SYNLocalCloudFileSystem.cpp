#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

#include <cerrno>
#include <string_view>
#include <typeinfo>
#include <utility>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"
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
    : rootDirectory_(std::move(rootDirectory)), folder_(rootDirectory_) {}

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
    // A link or special file exists, but is never a directory to walk into.
    auto item =
        fullPathForPath(path) ? folder_.itemAtPath(path) : plat::Result<plat::FolderItem>(refusedPath(path));
    const bool exists = item.ok() && item->kind != plat::FolderItemKind::Missing;
    const bool isDirectory = exists && item->kind == plat::FolderItemKind::Directory;
    if (item.ok()) {
        reportUnusable(path, item->kind);
    }
    if (completion) {
        onMain([completion, exists, isDirectory] { completion(exists, isDirectory, nullptr); });
    }
}

void SYNLocalCloudFileSystem::createDirectoryAtPath(const std::string& path, Completion completion) {
    complete(completion, fullPathForPath(path) ? folder_.createDirectory(path) : refusedPath(path));
}

template <class Reserve, class Take>
void SYNLocalCloudFileSystem::listFolder(const std::string& path, Reserve&& reserve, Take&& take) {
    if (!fullPathForPath(path)) {
        return;
    }
    std::shared_ptr<const KeptListing> earlier;
    {
        plat::MutexLock lock(listingsMutex_);
        if (auto found = listings_.find(path); found != listings_.end()) {
            earlier = found->second;
        }
    }
    plat::ConfinedFolder::KeptFileSize keptSize;
    std::size_t next = 0;
    if (earlier) {
        // Asked in name order, as the files are kept: one walk.
        keptSize = [&earlier, &next](std::string_view name, uint64_t inode) -> std::optional<uint64_t> {
            const auto& files = earlier->files;
            const std::string_view names(earlier->names);
            for (; next < files.size(); ++next) {
                const int order = names.substr(files[next].nameStart, files[next].nameLength).compare(name);
                if (order == 0 && files[next].inode == inode) {
                    return files[next].size;
                }
                if (order >= 0) {
                    break;
                }
            }
            return std::nullopt;
        };
    }
    auto listed = folder_.contentsOfDirectory(path, keptSize);
    auto kept = std::make_shared<KeptListing>();
    if (listed.ok()) {
        const std::string prefix = path.empty() || path.back() != '/' ? path + '/' : path;
        kept->files.reserve(listed->size());
        std::size_t namesLength = 0;
        for (const auto& entry : *listed) {
            namesLength += entry.name.size();
        }
        kept->names.reserve(namesLength);
        reserve(listed->size());
        for (auto& entry : *listed) {
            if (entry.kind == plat::FolderItemKind::Regular && entry.size <= ListedSizesKeptUpTo) {
                kept->files.push_back({entry.inode, entry.size, kept->names.size(), entry.name.size()});
                kept->names.append(entry.name);
            }
            if (entry.name.front() == '.') {
                continue;
            }
            if (entry.kind == plat::FolderItemKind::Directory ||
                entry.kind == plat::FolderItemKind::Regular) {
                take(prefix, entry);
            } else {
                reportUnusable(prefix + entry.name, entry.kind);
            }
        }
    } else if (plat::folderItemRefusalReason(listed.error())) {
        SYNReportUnusableCloudItem(reported_, path, listed.error());
    }
    plat::MutexLock lock(listingsMutex_);
    if (!listed.ok()) {
        listings_.erase(path);
    } else {
        if (listings_.size() >= KeptListings && !listings_.count(path)) {
            listings_.clear();  // listings of many folders: keep the latest ones only
        }
        listings_[path] = std::move(kept);
    }
}

void SYNLocalCloudFileSystem::contentsOfDirectoryAtPath(const std::string& path,
                                                        ListingCompletion completion) {
    SYNCloudItems items;
    listFolder(
        path, [&items](std::size_t count) { items.reserve(count); },
        [&items](const std::string& prefix, plat::FolderItem& entry) {
            std::string itemPath;
            itemPath.reserve(prefix.size() + entry.name.size());
            itemPath.append(prefix).append(entry.name);
            if (entry.kind == plat::FolderItemKind::Directory) {
                items.push_back(
                    std::make_shared<SYNCloudDirectory>(std::move(itemPath), std::move(entry.name)));
            } else {
                items.push_back(
                    std::make_shared<SYNCloudFile>(std::move(itemPath), std::move(entry.name), entry.size));
            }
        });
    if (completion) {
        onMain([completion, items = std::move(items)]() mutable { completion(std::move(items), nullptr); });
    }
}

void SYNLocalCloudFileSystem::entriesOfDirectoryAtPath(const std::string& path,
                                                       EntryListingCompletion completion) {
    SYNCloudListingEntries entries;
    listFolder(
        path, [&entries](std::size_t count) { entries.reserve(count); },
        [&entries](const std::string&, plat::FolderItem& entry) {
            const bool isDirectory = entry.kind == plat::FolderItemKind::Directory;
            entries.push_back({std::move(entry.name), isDirectory, isDirectory ? 0 : entry.size});
        });
    if (completion) {
        onMain([completion, entries = std::move(entries)]() mutable {
            completion(std::move(entries), nullptr);
        });
    }
}

void SYNLocalCloudFileSystem::removeItemAtPath(const std::string& path, Completion completion) {
    auto components = fullPathForPath(path);
    plat::ErrorPtr error;
    if (!components || *components == fullPathForPath("/")) {
        // Removing the root would wipe the whole cloud folder.
        error = refusedPath(path);
    } else {
        error = folder_.removeItem(path);
    }
    complete(completion, error);
}

void SYNLocalCloudFileSystem::uploadLocalFile(const std::string& localPath, const std::string& path,
                                              Completion completion) {
    // Written under a hidden name beside the destination and then renamed
    // into place, so that a reader (another machine through the synced
    // folder) never lists a partly written file.
    complete(completion,
             fullPathForPath(path) ? folder_.copyFileIn(localPath, path, false) : refusedPath(path));
}

void SYNLocalCloudFileSystem::downloadFromPath(const std::string& path, const std::string& localPath,
                                               Completion completion) {
    complete(completion, fullPathForPath(path) ? folder_.copyFileOut(path, localPath, maximumFileSize())
                                               : refusedPath(path));
}

bool SYNLocalCloudFileSystem::respondsToMember(OptionalMember member) const {
    // The entries are this class's own listing: a subclass may list
    // otherwise through contentsOfDirectoryAtPath, so it offers them only
    // when it answers for them itself.
    if (member == OptionalMember::EntriesOfDirectoryAtPath) {
        return typeid(*this) == typeid(SYNLocalCloudFileSystem);
    }
    return member == OptionalMember::MoveLocalFile || member == OptionalMember::DownloadFromPathForReading;
}

void SYNLocalCloudFileSystem::moveLocalFile(const std::string& localPath, const std::string& path,
                                            Completion completion) {
    complete(completion, fullPathForPath(path) ? folder_.moveFileIn(localPath, path) : refusedPath(path));
}

void SYNLocalCloudFileSystem::downloadFromPathForReading(const std::string& path,
                                                         const std::string& localPath,
                                                         Completion completion) {
    complete(completion, fullPathForPath(path) ? folder_.linkFileOut(path, localPath, maximumFileSize())
                                               : refusedPath(path));
}

void SYNLocalCloudFileSystem::reportUnusable(const std::string& path, plat::FolderItemKind kind) {
    if (kind == plat::FolderItemKind::SymbolicLink || kind == plat::FolderItemKind::Special) {
        SYNReportUnusableCloudItem(
            reported_, path,
            kind == plat::FolderItemKind::SymbolicLink ? "is a symbolic link" : "is a special file");
    }
}
