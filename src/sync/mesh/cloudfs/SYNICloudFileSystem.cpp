#include "sync/mesh/cloudfs/SYNICloudFileSystem.h"

#include <cerrno>
#include <filesystem>

#include "platform/clouddrive/Ubiquity.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ConfinedFolder.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNFileCoordination.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/mesh/cloudfs/detail/SYNCloudPath.h"

namespace fs = std::filesystem;
using plat::clouddrive::UbiquityService;

namespace {

// The platform's code for a cancelled (and so a timed-out) coordination.
constexpr int64_t kUserCancelledError = 3072;

void dispatchCompletion(const SYNCloudFileSystem::Completion& completion, plat::ErrorPtr error) {
    if (completion) {
        plat::dispatch::Queue::main().async([completion, error] { completion(error); });
    }
}

plat::ErrorPtr notConnectedError() {
    return SYNMakeError(SYNErrorConnectionError, "Attempted to access iCloud when not connected.");
}

plat::ErrorPtr specializedErrorForCocoaError(const plat::ErrorPtr& error) {
    if (error && error->domain() == plat::CocoaErrorDomain && error->code() == kUserCancelledError) {
        return SYNMakeError(SYNErrorFileCoordinatorTimedOut);
    }
    return error;
}

// One spelling per path, so that the presenter's paths and ours compare.
std::string standardized(const std::string& path) {
    std::string out = fs::path(path).lexically_normal().string();
    while (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

bool isDriveBookkeeping(const std::string& name) {
    return plat::clouddrive::itemNameForPlaceholderName(name) ||
           (name.size() > 15 && name.compare(name.size() - 15, 15, ".icloud-request") == 0);
}

}  // namespace

// --- Presenter ---------------------------------------------------------------

SYNICloudFilePresenter::SYNICloudFilePresenter(std::weak_ptr<SYNICloudFileSystem> delegate,
                                               std::shared_ptr<plat::dispatch::OperationQueue> queue)
    : delegate_(std::move(delegate)), queue_(std::move(queue)) {}

std::optional<std::string> SYNICloudFilePresenter::presentedItemPath() const {
    auto delegate = delegate_.lock();
    return delegate ? delegate->rootDirectoryPath() : std::nullopt;
}

std::shared_ptr<plat::dispatch::OperationQueue> SYNICloudFilePresenter::presentedItemOperationQueue() const {
    return queue_;
}

void SYNICloudFilePresenter::presentedSubitemDidChangeAtPath(const std::string& path) {
    auto delegate = delegate_.lock();
    if (!delegate) {
        return;
    }
    delegate->presentedSubitemDidChange(path);
    // The application may have let the file system go meanwhile. Its
    // teardown stops the metadata query, which belongs to the main thread, so
    // a last reference held here is dropped there, not on the presenter's
    // queue.
    if (delegate.use_count() == 1) {
        plat::dispatch::Queue::main().async([last = std::move(delegate)] {});
    }
}

void SYNICloudFilePresenter::startMonitoring() {
    plat::clouddrive::FilePresenters::add(shared_from_this());
}

void SYNICloudFilePresenter::stopMonitoring() {
    plat::clouddrive::FilePresenters::remove(this);
}

// --- Set-up ------------------------------------------------------------------

std::shared_ptr<SYNICloudFileSystem> SYNICloudFileSystem::create(std::string ubiquityContainerIdentifier,
                                                                 std::optional<std::string> relativePath) {
    return create(std::move(ubiquityContainerIdentifier), std::move(relativePath), Timing());
}

std::shared_ptr<SYNICloudFileSystem> SYNICloudFileSystem::create(std::string ubiquityContainerIdentifier,
                                                                 std::optional<std::string> relativePath,
                                                                 Timing timing) {
    if (ubiquityContainerIdentifier.empty()) {
        throw SYNException("iCloud initializer requires container identifier");
    }
    std::shared_ptr<SYNICloudFileSystem> fileSystem(
        new SYNICloudFileSystem(std::move(ubiquityContainerIdentifier), std::move(relativePath), timing));
    fileSystem->filePresenter_ =
        std::make_shared<SYNICloudFilePresenter>(fileSystem, fileSystem->presenterQueue_);
    std::weak_ptr<SYNICloudFileSystem> weak = fileSystem;
    fileSystem->serialQueue_.addOperationWithBlock([weak] {
        if (auto self = weak.lock()) {
            self->updateRootDirectory();
        }
    });
    fileSystem->performInitialPreparation([](plat::ErrorPtr error) {
        if (error) {
            SYN_LOG(SYNLoggingLevelError, "Error setting up iCloud container: %@", error);
        }
    });
    return fileSystem;
}

SYNICloudFileSystem::SYNICloudFileSystem(std::string containerIdentifier,
                                         std::optional<std::string> relativePath, Timing timing)
    : containerIdentifier_(std::move(containerIdentifier)),
      relativePath_(relativePath ? std::move(*relativePath)
                                 : std::string(SYNICloudDefaultRelativePathToRoot)),
      timing_(timing),
      presenterQueue_(std::make_shared<plat::dispatch::OperationQueue>()),
      initiatingDownloadsQueue_(
          plat::dispatch::Queue::serial("com.kestrelplan.sync.icloud.initiatingdownloads",
                                        plat::dispatch::QualityOfService::UserInitiated)) {
    using plat::dispatch::QualityOfService;
    serialQueue_.setMaxConcurrentOperationCount(1);
    serialQueue_.setQualityOfService(QualityOfService::UserInitiated);
    backgroundQueue_.setQualityOfService(QualityOfService::UserInitiated);
    presenterQueue_->setMaxConcurrentOperationCount(1);
    presenterQueue_->setQualityOfService(QualityOfService::UserInitiated);
    downloadTrackingQueue_.setMaxConcurrentOperationCount(1);
    downloadTrackingQueue_.setQualityOfService(QualityOfService::UserInitiated);
}

SYNICloudFileSystem::~SYNICloudFileSystem() {
    stopMonitoring();
    filePresenter_->stopMonitoring();
    backgroundQueue_.cancelAllOperations();
    serialQueue_.cancelAllOperations();
}

std::optional<std::string> SYNICloudFileSystem::rootDirectoryPath() const {
    plat::MutexLock lock(mutex_);
    return rootDirectory_;
}

uint64_t SYNICloudFileSystem::bytesRemainingToDownload() const {
    plat::MutexLock lock(mutex_);
    return bytesRemainingToDownload_;
}

std::optional<std::string> SYNICloudFileSystem::fullPathForPath(const std::string& path) const {
    auto root = rootDirectoryPath();
    if (!root) {
        return std::nullopt;
    }
    return SYNAppendCloudPath(*root, path);
}

void SYNICloudFileSystem::updateRootDirectory() {
    auto container = UbiquityService::shared().containerFolder(containerIdentifier_);
    plat::MutexLock lock(mutex_);
    rootDirectory_ =
        container ? std::optional<std::string>(standardized(*container + "/" + relativePath_)) : std::nullopt;
}

bool SYNICloudFileSystem::checkUserIsLoggedIn() {
    const bool signedIn = UbiquityService::shared().identityToken() &&
                          UbiquityService::shared().containerFolder(containerIdentifier_);
    connected_ = signedIn;
    return signedIn;
}

plat::ErrorPtr SYNICloudFileSystem::setupRootDirectory() {
    updateRootDirectory();
    auto root = rootDirectoryPath();
    if (!root) {
        auto error = SYNMakeError(
            SYNErrorServerError,
            "Could not retrieve URLForUbiquityContainerIdentifier. Check container id for iCloud.");
        SYN_LOG(SYNLoggingLevelError, "Failed to get the URL of the iCloud ubiquity container: %@", error);
        return error;
    }
    bool exists = false, isDirectory = false;
    auto error = coordinateReading(*root, [&]() -> plat::ErrorPtr {
        exists = plat::FileManager().fileExistsAtPath(*root, &isDirectory);
        return nullptr;
    });
    if (error) {
        SYN_LOG(SYNLoggingLevelWarning, "File coordinator error: %@", error);
        return error;
    }
    if (exists && isDirectory) {
        return nullptr;
    }
    // The set-up at creation and the one of connect() may run at once: look
    // again under the write, so that one never removes the folder the other
    // has just made (and what was written into it since).
    error = coordinateWriting(*root, exists ? unsigned(SYNFileCoordinatorWritingForReplacing) : 0u,
                              [&]() -> plat::ErrorPtr {
                                  plat::FileManager manager;
                                  bool nowDirectory = false;
                                  if (manager.fileExistsAtPath(*root, &nowDirectory)) {
                                      if (nowDirectory) {
                                          return nullptr;
                                      }
                                      (void)manager.removeItemAtPath(*root);
                                  }
                                  return manager.createDirectoryAtPath(*root, true);
                              });
    if (error) {
        SYN_LOG(SYNLoggingLevelWarning, "File error: %@", error);
    }
    return error;
}

void SYNICloudFileSystem::performInitialPreparation(Completion completion) {
    auto self = shared_from_this();
    serialQueue_.addOperationWithBlock([self, completion] {
        plat::ErrorPtr error;
        if (self->checkUserIsLoggedIn()) {
            error = self->setupRootDirectory();
            plat::dispatch::Queue::main().async([self] { self->startMonitoringMetadata(); });
        }
        dispatchCompletion(completion, error);
    });
}

void SYNICloudFileSystem::connect(Completion completion) {
    auto self = shared_from_this();
    backgroundQueue_.addOperationWithBlock([self, completion] {
        if (!self->checkUserIsLoggedIn()) {
            auto description =
                plat::Bundle::mainBundle().localizedStringForKey("User is not logged into iCloud.", "");
            dispatchCompletion(completion, SYNMakeError(SYNErrorNotSignedIn, description));
            return;
        }
        auto error = self->setupRootDirectory();
        plat::dispatch::Queue::main().async([self, completion, error] {
            self->startMonitoringMetadata();
            if (completion) {
                completion(error);
            }
        });
    });
}

void SYNICloudFileSystem::fetchUserIdentityWithCompletion(IdentityCompletion completion) {
    if (!completion) {
        return;
    }
    plat::dispatch::Queue::main().async([completion] {
        auto token = UbiquityService::shared().identityToken();
        completion(token ? plat::Value(*token) : plat::Value(), nullptr);
    });
}

bool SYNICloudFileSystem::respondsToMember(OptionalMember member) const {
    return member == OptionalMember::PerformInitialPreparation ||
           member == OptionalMember::RepairMeshDirectory;
}

// --- Coordination ------------------------------------------------------------

plat::ErrorPtr SYNICloudFileSystem::coordinateReading(const std::string& path,
                                                      const std::function<plat::ErrorPtr()>& accessor,
                                                      bool askForDownload) {
    // A read of a file not yet downloaded waits for its content.
    if (!UbiquityService::shared().waitForDownload(path, timing_.coordinationTimeout, askForDownload)) {
        return SYNMakeError(SYNErrorFileCoordinatorTimedOut);
    }
    plat::ErrorPtr accessorError;
    auto error =
        syn_coordinateReadingItemAtURL(plat::URL::fileURLWithPath(path), 0, timing_.coordinationTimeout,
                                       [&](const plat::URL&) { accessorError = accessor(); });
    return specializedErrorForCocoaError(error ? error : accessorError);
}

plat::ErrorPtr SYNICloudFileSystem::coordinateWriting(const std::string& path, unsigned options,
                                                      const std::function<plat::ErrorPtr()>& accessor) {
    plat::ErrorPtr accessorError;
    auto error = syn_coordinateWritingItemAtURL(
        plat::URL::fileURLWithPath(path), options, timing_.coordinationTimeout, [&](const plat::URL&) {
            plat::clouddrive::FilePresenters::performChange(filePresenter_.get(), path,
                                                            [&] { accessorError = accessor(); });
        });
    return specializedErrorForCocoaError(error ? error : accessorError);
}

plat::ErrorPtr SYNICloudFileSystem::coordinateReadingAndWriting(
    const std::string& readPath, const std::string& writePath,
    const std::function<plat::ErrorPtr()>& accessor) {
    if (!UbiquityService::shared().waitForDownload(readPath, timing_.coordinationTimeout)) {
        return SYNMakeError(SYNErrorFileCoordinatorTimedOut);
    }
    plat::ErrorPtr accessorError;
    auto error = syn_coordinateReadingItemAtURL(
        plat::URL::fileURLWithPath(readPath), 0, plat::URL::fileURLWithPath(writePath),
        SYNFileCoordinatorWritingForReplacing, timing_.coordinationTimeout,
        [&](const plat::URL&, const plat::URL&) {
            plat::clouddrive::FilePresenters::performChange(filePresenter_.get(), writePath,
                                                            [&] { accessorError = accessor(); });
        });
    return specializedErrorForCocoaError(error ? error : accessorError);
}

// --- File operations ---------------------------------------------------------

void SYNICloudFileSystem::runFileOperation(std::function<void(const std::string& root)> work,
                                           std::function<void(plat::ErrorPtr)> notConnected) {
    auto self = shared_from_this();
    serialQueue_.addOperationWithBlock(
        [self, work = std::move(work), notConnected = std::move(notConnected)] {
            auto root = self->rootDirectoryPath();
            if (!self->isConnected() || !root) {
                notConnected(notConnectedError());
                return;
            }
            work(*root);
        });
}

void SYNICloudFileSystem::ignorePath(const std::string& path) {
    plat::MutexLock lock(mutex_);
    filePresenterIgnoredPaths_.insert(standardized(path));
}

void SYNICloudFileSystem::fileExistsAtPath(const std::string& path, ExistenceCompletion completion) {
    auto finish = [completion](bool exists, bool isDirectory, plat::ErrorPtr error) {
        if (completion) {
            plat::dispatch::Queue::main().async(
                [completion, exists, isDirectory, error] { completion(exists, isDirectory, error); });
        }
    };
    runFileOperation(
        [this, path, finish](const std::string& root) {
            auto full = fullPathForPath(path);
            if (!full) {
                finish(false, false, plat::fileErrorWithPOSIXError(EINVAL, true, path));
                return;
            }
            bool exists = false, isDirectory = false;
            auto error = coordinateReading(*full, [&]() -> plat::ErrorPtr {
                // A link or special file exists but is never a folder.
                auto item = plat::ConfinedFolder(root).itemAtPath(path);
                exists = item.ok() && item->kind != plat::FolderItemKind::Missing;
                isDirectory = exists && item->kind == plat::FolderItemKind::Directory;
                return nullptr;
            });
            finish(exists, exists && isDirectory, error);
        },
        [finish](plat::ErrorPtr error) { finish(false, false, error); });
}

void SYNICloudFileSystem::contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) {
    auto finish = [completion](SYNCloudItems items, plat::ErrorPtr error) {
        if (completion) {
            plat::dispatch::Queue::main().async([completion, items = std::move(items), error] {
                completion(error ? SYNCloudItems() : items, error);
            });
        }
    };
    runFileOperation(
        [this, path, finish](const std::string& root) {
            auto full = fullPathForPath(path);
            SYNCloudItems items;
            auto list = [&]() -> plat::ErrorPtr {
                auto entries = full ? plat::ConfinedFolder(root).contentsOfDirectory(path)
                                    : plat::Result<std::vector<plat::FolderItem>>(plat::ErrorPtr());
                if (!full || !entries.ok()) {
                    if (full) {
                        SYNReportUnusableCloudItem(reported_, path, entries.error());
                    }
                    return SYNMakeError(
                        SYNErrorFileAccessFailed,
                        plat::format("Couldn't create directory enumerator for path: %@", path));
                }
                for (const auto& entry : *entries) {
                    if (entry.name.front() == '.') {
                        continue;
                    }
                    std::string itemPath = path;
                    if (itemPath.empty() || itemPath.back() != '/') {
                        itemPath += '/';
                    }
                    itemPath += entry.name;
                    // Links, FIFOs, sockets and devices are never offered.
                    if (entry.kind == plat::FolderItemKind::Directory) {
                        items.push_back(std::make_shared<SYNCloudDirectory>(itemPath, entry.name));
                    } else if (entry.kind == plat::FolderItemKind::Regular) {
                        items.push_back(std::make_shared<SYNCloudFile>(itemPath, entry.name, entry.size));
                    } else {
                        SYNReportUnusableCloudItem(reported_, itemPath,
                                                   entry.kind == plat::FolderItemKind::SymbolicLink
                                                       ? "is a symbolic link"
                                                       : "is a special file");
                    }
                }
                return nullptr;
            };
            auto error = full ? coordinateReading(*full, list) : list();
            finish(std::move(items), error);
        },
        [finish](plat::ErrorPtr error) { finish({}, error); });
}

void SYNICloudFileSystem::createDirectoryAtPath(const std::string& path, Completion completion) {
    runFileOperation(
        [this, path, completion](const std::string& root) {
            auto full = fullPathForPath(path);
            if (!full) {
                dispatchCompletion(completion, plat::fileErrorWithPOSIXError(EINVAL, false, path));
                return;
            }
            ignorePath(*full);
            dispatchCompletion(completion, coordinateWriting(*full, 0, [&] {
                                   return plat::ConfinedFolder(root).createDirectory(path);
                               }));
        },
        [completion](plat::ErrorPtr error) { dispatchCompletion(completion, error); });
}

void SYNICloudFileSystem::removeItemAtPath(const std::string& path, Completion completion) {
    runFileOperation(
        [this, path, completion](const std::string& root) {
            auto full = fullPathForPath(path);
            if (!full || standardized(*full) == root) {
                // Removing the root would wipe every mesh.
                dispatchCompletion(completion, plat::fileErrorWithPOSIXError(EINVAL, false, path));
                return;
            }
            ignorePath(*full);
            dispatchCompletion(completion,
                               coordinateWriting(*full, SYNFileCoordinatorWritingForDeleting, [&] {
                                   plat::MutexLock removal(removalMutex_);
                                   return plat::ConfinedFolder(root).removeItem(path);
                               }));
        },
        [completion](plat::ErrorPtr error) { dispatchCompletion(completion, error); });
}

void SYNICloudFileSystem::uploadLocalFile(const std::string& localPath, const std::string& path,
                                          Completion completion) {
    runFileOperation(
        [this, localPath, path, completion](const std::string& root) {
            auto full = fullPathForPath(path);
            if (!full) {
                dispatchCompletion(completion, plat::fileErrorWithPOSIXError(EINVAL, false, path));
                return;
            }
            ignorePath(*full);
            dispatchCompletion(completion, coordinateReadingAndWriting(localPath, *full, [&] {
                                   // Copied under a hidden name and renamed into place, so
                                   // that the drive never sends a partly written file.
                                   return plat::ConfinedFolder(root).copyFileIn(localPath, path, true);
                               }));
        },
        [completion](plat::ErrorPtr error) { dispatchCompletion(completion, error); });
}

void SYNICloudFileSystem::downloadFromPath(const std::string& path, const std::string& localPath,
                                           Completion completion) {
    runFileOperation(
        [this, localPath, path, completion](const std::string& root) {
            auto full = fullPathForPath(path);
            if (!full) {
                dispatchCompletion(completion, plat::fileErrorWithPOSIXError(EINVAL, true, path));
                return;
            }
            dispatchCompletion(completion, coordinateReadingAndWriting(*full, localPath, [&] {
                                   (void)plat::FileManager().removeItemAtPath(localPath);
                                   auto error = plat::ConfinedFolder(root).copyFileOut(path, localPath,
                                                                                       maximumFileSize());
                                   SYNReportUnusableCloudItem(reported_, path, error);
                                   return error;
                               }));
        },
        [completion](plat::ErrorPtr error) { dispatchCompletion(completion, error); });
}

// --- Downloads and change notices ----------------------------------------------

void SYNICloudFileSystem::startMonitoringMetadata() {
    plat::dispatch::Queue::main().assertCurrent();
    stopMonitoring();
    auto root = rootDirectoryPath();
    if (!root) {
        return;
    }
    using namespace plat::clouddrive;
    auto query = MetadataQuery::create();
    query->setSearchScopes({*root});
    query->setPredicate(MetadataPredicate{DownloadStatus::Current, false, *root});
    std::weak_ptr<SYNICloudFileSystem> weak = weak_from_this();
    auto& center = plat::NotificationCenter::defaultCenter();
    for (const char* name :
         {MetadataQueryDidFinishGatheringNotification, MetadataQueryDidUpdateNotification}) {
        queryObservers_.push_back(center.addObserverForName(name, query, [weak](const plat::Notification&) {
            if (auto self = weak.lock()) {
                self->queryDidChange();
            }
        }));
    }
    metadataQuery_ = query;
    query->startQuery();
    filePresenter_->startMonitoring();
}

void SYNICloudFileSystem::stopMonitoring() {
    if (!metadataQuery_) {
        return;
    }
    metadataQuery_->disableUpdates();
    metadataQuery_->stopQuery();
    for (const auto& token : queryObservers_) {
        plat::NotificationCenter::defaultCenter().removeObserver(token);
    }
    queryObservers_.clear();
    metadataQuery_.reset();
    presenterQueue_->cancelAllOperations();
    filePresenter_->stopMonitoring();
}

void SYNICloudFileSystem::queryDidChange() {
    plat::dispatch::Queue::main().assertCurrent();
    if (!metadataQuery_) {
        return;
    }
    auto query = metadataQuery_;
    query->disableUpdates();
    initiateDownloads();
    query->enableUpdates();
}

void SYNICloudFileSystem::initiateDownloads() {
    using plat::clouddrive::DownloadStatus;
    auto self = shared_from_this();
    for (std::size_t i = 0; i < metadataQuery_->resultCount(); ++i) {
        const auto item = metadataQuery_->resultAtIndex(i);
        const std::string path = standardized(item.path);
        cancelDidDownloadNotification();
        {
            plat::MutexLock lock(mutex_);
            filePresenterIgnoredPaths_.insert(path);
            if (downloadingPaths_.count(path) || handlingPaths_.count(path)) {
                continue;
            }
            handlingPaths_.insert(path);
        }
        const bool notDownloaded = item.status == DownloadStatus::NotDownloaded;
        const double percent = item.percentDownloaded;
        const double size = static_cast<double>(item.size);
        initiatingDownloadsQueue_.async([self, path, notDownloaded, percent, size] {
            plat::ErrorPtr error;
            {
                plat::MutexLock removal(self->removalMutex_);
                error = UbiquityService::shared().startDownloadingItem(path);
            }
            uint64_t bytes = 0;
            {
                plat::MutexLock lock(self->mutex_);
                self->handlingPaths_.erase(path);
                if (!error) {
                    self->downloadingPaths_.insert(path);
                    const double estimate = notDownloaded ? 0 : (1 - percent / 100) * size;
                    bytes = estimate > 0 ? static_cast<uint64_t>(estimate) : 0;
                    self->bytesRemainingToDownload_ += bytes;
                }
            }
            if (error) {
                SYN_LOG(SYNLoggingLevelWarning, "Error starting download: %@", error);
                return;
            }
            plat::dispatch::Queue::main().async([self] { self->postProgressNotificationIfNecessary(); });
            self->downloadTrackingQueue_.addOperationWithBlock(
                [self, path, bytes] { self->trackDownload(path, bytes); });
        });
    }
}

void SYNICloudFileSystem::trackDownload(const std::string& path, uint64_t bytes) {
    // The read waits for the content (asked for already: a request written
    // now could land in a folder being removed); a failure or time-out
    // counts as the end of the download all the same.
    (void)coordinateReading(
        path, [] { return plat::ErrorPtr(); }, false);
    bool finished = false;
    {
        plat::MutexLock lock(mutex_);
        finished = removeDownloadingPath(path, bytes);
    }
    auto self = shared_from_this();
    plat::dispatch::Queue::main().async([self, finished] {
        self->postProgressNotificationIfNecessary();
        if (finished) {
            self->scheduleDidDownloadNotification(self->timing_.downloadSettleDelay);
        }
    });
}

bool SYNICloudFileSystem::removeDownloadingPath(const std::string& path, uint64_t bytes) {
    downloadingPaths_.erase(path);
    bytesRemainingToDownload_ -= std::min(bytes, bytesRemainingToDownload_);
    if (downloadingPaths_.empty()) {
        bytesRemainingToDownload_ = 0;
        return true;
    }
    return false;
}

void SYNICloudFileSystem::postProgressNotificationIfNecessary() {
    const double now = plat::dispatch::Queue::main().clock()->now();
    {
        plat::MutexLock lock(mutex_);
        if (lastProgressNotificationTime_ &&
            now - *lastProgressNotificationTime_ <= timing_.progressInterval) {
            return;
        }
        lastProgressNotificationTime_ = now;
    }
    plat::NotificationCenter::defaultCenter().postNotificationName(
        SYNICloudFileSystemDidMakeDownloadProgressNotification, shared_from_this());
}

void SYNICloudFileSystem::postDidDownloadNotification() {
    {
        plat::MutexLock lock(mutex_);
        lastProgressNotificationTime_.reset();
    }
    auto& center = plat::NotificationCenter::defaultCenter();
    center.postNotificationName(SYNICloudFileSystemDidMakeDownloadProgressNotification, shared_from_this());
    center.postNotificationName(SYNICloudFileSystemDidUpdateFilesNotification, shared_from_this());
    startMonitoringMetadata();
}

void SYNICloudFileSystem::scheduleDidDownloadNotification(double delay) {
    uint64_t generation = 0;
    {
        plat::MutexLock lock(mutex_);
        generation = ++didDownloadGeneration_;
    }
    std::weak_ptr<SYNICloudFileSystem> weak = weak_from_this();
    plat::dispatch::Queue::main().after(delay, [weak, generation] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        {
            plat::MutexLock lock(self->mutex_);
            if (generation != self->didDownloadGeneration_) {
                return;
            }
        }
        self->postDidDownloadNotification();
    });
}

void SYNICloudFileSystem::cancelDidDownloadNotification() {
    plat::MutexLock lock(mutex_);
    ++didDownloadGeneration_;
}

void SYNICloudFileSystem::presentedSubitemDidChange(const std::string& changed) {
    bool schedule = false;
    {
        plat::MutexLock lock(mutex_);
        const bool ignored = filePresenterIgnoredPaths_.erase(standardized(changed)) > 0;
        schedule = !ignored && downloadingPaths_.empty();
    }
    if (schedule) {
        std::weak_ptr<SYNICloudFileSystem> weak = weak_from_this();
        plat::dispatch::Queue::main().async([weak] {
            if (auto self = weak.lock()) {
                self->scheduleDidDownloadNotification(self->timing_.foreignChangeDelay);
            }
        });
    }
}

// --- Repair ------------------------------------------------------------------

std::optional<std::vector<std::string>> SYNICloudFileSystem::directoriesToMergeForDirectory(
    const std::optional<std::string>& directory) const {
    if (!directory) {
        return std::nullopt;
    }
    const fs::path original(standardized(*directory));
    std::vector<std::string> duplicates;
    for (int n = 2; n <= 9; ++n) {
        const auto candidate =
            original.parent_path() / plat::format("%@ %d", original.filename().string(), n);
        std::error_code error;
        // A link named like a copy is not a copy: it is never walked.
        if (fs::symlink_status(candidate, error).type() == fs::file_type::directory) {
            duplicates.push_back(candidate.string());
        }
    }
    return duplicates;
}

plat::ErrorPtr SYNICloudFileSystem::mergeDirectory(const std::string& kept,
                                                   const std::vector<std::string>& duplicates) {
    // The kept folder and its copies are siblings; every item is reached
    // from their parent without following links.
    const std::string parent = fs::path(kept).parent_path().string();
    const std::string keptName = fs::path(kept).filename().string();
    plat::ConfinedFolder folder(parent);
    for (const auto& duplicate : duplicates) {
        SYN_LOG(SYNLoggingLevelVerbose, "Merging iCloud duplicate directory into original: %@", duplicate);
        if (fs::path(duplicate).parent_path() != fs::path(parent)) {
            return plat::fileErrorWithPOSIXError(EINVAL, true, duplicate);
        }
        const std::string duplicateName = fs::path(duplicate).filename().string();
        auto enumerator = plat::FileManager().enumeratorAtPath(duplicate);
        while (enumerator) {
            auto relative = enumerator->nextObject();
            if (!relative) {
                break;
            }
            const std::string source = duplicate + "/" + *relative;
            const std::string target = kept + "/" + *relative;
            auto there = folder.itemAtPath(keptName + "/" + *relative);
            if (!there.ok()) {
                return there.error();
            }
            if (there->kind != plat::FolderItemKind::Missing ||
                isDriveBookkeeping(fs::path(*relative).filename().string())) {
                continue;  // the kept folder wins; a folder is still walked into
            }
            const plat::Value* found = enumerator->fileAttributes().find(plat::FileType);
            const plat::Value type = found ? *found : plat::Value();
            plat::ErrorPtr error;
            if (type == plat::Value(plat::FileTypeDirectory)) {
                error = coordinateWriting(target, 0,
                                          [&] { return folder.createDirectory(keptName + "/" + *relative); });
            } else if (type == plat::Value(plat::FileTypeRegular)) {
                error = coordinateReadingAndWriting(source, target, [&] {
                    // Through a private local copy: read and written without
                    // following a link on either side.
                    const auto staging = plat::FileManager().temporaryDirectory() + "/repair-" +
                                         plat::ProcessInfo::processInfo().globallyUniqueString();
                    auto copyError =
                        folder.copyFileOut(duplicateName + "/" + *relative, staging, maximumFileSize());
                    if (!copyError) {
                        copyError = folder.copyFileIn(staging, keptName + "/" + *relative, false);
                    }
                    (void)plat::FileManager().removeItemAtPath(staging);
                    return copyError;
                });
            }
            if (error) {
                return error;
            }
        }
        if (auto error = coordinateWriting(duplicate, SYNFileCoordinatorWritingForDeleting, [&] {
                plat::MutexLock removal(removalMutex_);
                return folder.removeItem(duplicateName);
            })) {
            return error;
        }
    }
    return nullptr;
}

void SYNICloudFileSystem::repairMeshDirectory(const std::string& path, Completion completion) {
    SYN_LOG(SYNLoggingLevelVerbose, "Checking if repairs are needed in iCloud Drive");
    auto self = shared_from_this();
    serialQueue_.addOperationWithBlock([self, path, completion] {
        struct Pass {
            std::optional<std::string> directory;
            const char* message;
        };
        const Pass passes[] = {
            {self->rootDirectoryPath(),
             "Discovered duplicate root directories in iCloud Drive. Will merge back in: %@"},
            {self->fullPathForPath(path),
             "Discovered duplicate directories in iCloud Drive. Will merge back in: %@"},
        };
        for (const auto& pass : passes) {
            auto duplicates = self->directoriesToMergeForDirectory(pass.directory);
            if (!duplicates) {
                break;  // no root known
            }
            if (duplicates->empty()) {
                continue;
            }
            std::vector<plat::Value> list(duplicates->begin(), duplicates->end());
            SYN_LOG(SYNLoggingLevelWarning, pass.message, plat::Value(list));
            if (auto error = self->mergeDirectory(*pass.directory, *duplicates)) {
                dispatchCompletion(completion, error);
                return;
            }
        }
        dispatchCompletion(completion, nullptr);
    });
}
