// SYNICloudFileSystem: the cloud file system kept in a folder of the user's
// cloud drive container (platform/clouddrive). Every cloud path is a path
// below a root folder of the container; every file operation is coordinated
// (the event store's coordinated access with a time-out) and made on behalf
// of the file system's presenter, so it never hears of its own changes.
//
// Files other devices wrote arrive as placeholders: a metadata query over the
// root finds every item that is neither current nor downloading, asks the
// drive to download it once, tracks it with a coordinated read (which waits
// for the content) and, a settling delay after the last tracked download,
// posts SYNICloudFileSystemDidUpdateFilesNotification so that the
// application merges. A change another process makes while nothing
// downloads posts the same notification after a longer delay. Progress is
// posted at most once per interval. Repair merges numbered copies of the
// root and mesh folders ("name 2" to "name 9") back into the original.
//
// The container's contents come from other devices and are untrusted: paths
// below the root are walked without following symbolic links
// (plat::ConfinedFolder); links, FIFOs, sockets and devices are left out of
// listings (logged once) and never opened, copied or recreated; downloads
// take regular files of at most maximumFileSize bytes; files it writes are
// 0600 and folders 0700, never with a source's mode.
//
// Only the optional members performInitialPreparation and
// repairMeshDirectory are provided. Protocol file operations run one at a
// time in call order on a serial queue; completions arrive on the main queue.
// Delays run on the main queue's clock, so tests move them with a
// ManualClock.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clouddrive/FilePresenter.h"
#include "platform/clouddrive/MetadataQuery.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"
#include "sync/mesh/cloudfs/SYNUnusableCloudItems.h"

inline constexpr const char* SYNICloudFileSystemDidUpdateFilesNotification =
    "SYNICloudFileSystemDidUpdateFilesNotification";
inline constexpr const char* SYNICloudFileSystemDidMakeDownloadProgressNotification =
    "SYNICloudFileSystemDidMakeDownloadProgressNotification";

// The root folder inside the container unless another is given.
inline constexpr const char* SYNICloudDefaultRelativePathToRoot = "com.kestrelplan.sync.meshes.clouddata";

class SYNICloudFileSystem;

// Forwards presenter callbacks to the file system (held weakly). It keeps its
// own reference to the presenter queue, so that the presenters' watcher
// thread never holds the file system (and never runs its destructor).
class SYNICloudFilePresenter : public plat::clouddrive::FilePresenter,
                               public std::enable_shared_from_this<SYNICloudFilePresenter> {
  public:
    SYNICloudFilePresenter(std::weak_ptr<SYNICloudFileSystem> delegate,
                           std::shared_ptr<plat::dispatch::OperationQueue> queue);
    std::optional<std::string> presentedItemPath() const override;
    std::shared_ptr<plat::dispatch::OperationQueue> presentedItemOperationQueue() const override;
    void presentedSubitemDidChangeAtPath(const std::string& path) override;
    void startMonitoring();
    void stopMonitoring();

  private:
    std::weak_ptr<SYNICloudFileSystem> delegate_;
    std::shared_ptr<plat::dispatch::OperationQueue> queue_;
};

class SYNICloudFileSystem : public SYNCloudFileSystem,
                            public std::enable_shared_from_this<SYNICloudFileSystem> {
  public:
    // The delays and time-outs, in seconds.
    struct Timing {
        double coordinationTimeout = 10;
        double downloadSettleDelay = 5;  // last download finished -> update notification
        double foreignChangeDelay = 10;  // foreign change while nothing downloads -> update
        double progressInterval = 2;     // least time between progress notifications
    };

    // Resolves the root on the serial queue and runs the initial preparation
    // (logging its error). An empty container identifier throws SYNException
    // "iCloud initializer requires container identifier"; a missing relative
    // path takes the default.
    static std::shared_ptr<SYNICloudFileSystem> create(
        std::string ubiquityContainerIdentifier,
        std::optional<std::string> relativePathToRootInContainer = {});
    static std::shared_ptr<SYNICloudFileSystem> create(
        std::string ubiquityContainerIdentifier, std::optional<std::string> relativePathToRootInContainer,
        Timing timing);
    ~SYNICloudFileSystem() override;

    const std::string& ubiquityContainerIdentifier() const { return containerIdentifier_; }
    const std::string& relativePathToRootInContainer() const { return relativePath_; }
    std::optional<std::string> rootDirectoryPath() const EXCLUDES(mutex_);
    // The root joined with the cloud path; nullopt without a root or for a
    // path with "." or ".." components (which could leave the root).
    std::optional<std::string> fullPathForPath(const std::string& path) const;
    uint64_t bytesRemainingToDownload() const EXCLUDES(mutex_);

    // --- SYNCloudFileSystem ------------------------------------------------
    bool isConnected() const override { return connected_.load(); }
    // The account's identity token (null when signed out).
    void fetchUserIdentityWithCompletion(IdentityCompletion completion) override;
    // 1003 when not signed in; otherwise sets up the root folder and starts
    // monitoring, completing with the set-up's error.
    void connect(Completion completion) override;
    void fileExistsAtPath(const std::string& path, ExistenceCompletion completion) override;
    void createDirectoryAtPath(const std::string& path, Completion completion) override;
    // 107 when the folder cannot be listed (a missing folder included).
    void contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) override;
    void removeItemAtPath(const std::string& path, Completion completion) override;
    // Replaces an existing cloud file; the new content appears whole.
    void uploadLocalFile(const std::string& localPath, const std::string& path,
                         Completion completion) override;
    // Waits (within the coordination time-out) for a cloud file not yet
    // downloaded; replaces an existing local file. Anything but a regular
    // file of at most maximumFileSize bytes is refused
    // (plat::folderItemRefusalReason).
    void downloadFromPath(const std::string& path, const std::string& localPath,
                          Completion completion) override;
    uint64_t maximumFileSize() const { return maximumFileSize_.load(); }
    void setMaximumFileSize(uint64_t bytes) { maximumFileSize_ = bytes; }
    bool respondsToMember(OptionalMember member) const override;
    void performInitialPreparation(Completion completion) override;
    void repairMeshDirectory(const std::string& path, Completion completion) override;

    // --- Downloads, change notices and repair (public for tests) -----------
    // Main thread.
    void startMonitoringMetadata();
    void stopMonitoring();
    // Existing sibling folders "<name> 2" to "<name> 9", in that order;
    // nullopt for no directory.
    std::optional<std::vector<std::string>> directoriesToMergeForDirectory(
        const std::optional<std::string>& directory) const;
    // Copies what the kept folder lacks from each duplicate (the kept folder
    // wins), then removes the duplicate; the first error stops it.
    [[nodiscard]] plat::ErrorPtr mergeDirectory(const std::string& kept,
                                                const std::vector<std::string>& duplicates);
    // A change below the root by someone else (presenter queue).
    void presentedSubitemDidChange(const std::string& path) EXCLUDES(mutex_);

  private:
    SYNICloudFileSystem(std::string containerIdentifier, std::optional<std::string> relativePath,
                        Timing timing);

    void updateRootDirectory() EXCLUDES(mutex_);
    bool checkUserIsLoggedIn();
    [[nodiscard]] plat::ErrorPtr setupRootDirectory();
    void runFileOperation(std::function<void(const std::string& root)> work,
                          std::function<void(plat::ErrorPtr)> notConnected);
    void queryDidChange();
    void initiateDownloads();
    void trackDownload(const std::string& path, uint64_t bytes);
    bool removeDownloadingPath(const std::string& path, uint64_t bytes) REQUIRES(mutex_);
    void postProgressNotificationIfNecessary() EXCLUDES(mutex_);
    void postDidDownloadNotification() EXCLUDES(mutex_);
    void scheduleDidDownloadNotification(double delay) EXCLUDES(mutex_);
    void cancelDidDownloadNotification() EXCLUDES(mutex_);
    void ignorePath(const std::string& path) EXCLUDES(mutex_);

    // Coordinated access on behalf of the presenter. A read first waits for
    // the item's download, asking for it unless askForDownload is false (the
    // caller asked already).
    [[nodiscard]] plat::ErrorPtr coordinateReading(const std::string& path,
                                                   const std::function<plat::ErrorPtr()>& accessor,
                                                   bool askForDownload = true);
    [[nodiscard]] plat::ErrorPtr coordinateWriting(const std::string& path, unsigned options,
                                                   const std::function<plat::ErrorPtr()>& accessor);
    [[nodiscard]] plat::ErrorPtr coordinateReadingAndWriting(const std::string& readPath,
                                                             const std::string& writePath,
                                                             const std::function<plat::ErrorPtr()>& accessor);

    const std::string containerIdentifier_;
    const std::string relativePath_;
    const Timing timing_;
    std::shared_ptr<SYNICloudFilePresenter> filePresenter_;
    plat::dispatch::OperationQueue serialQueue_;
    plat::dispatch::OperationQueue backgroundQueue_;
    std::shared_ptr<plat::dispatch::OperationQueue> presenterQueue_;
    plat::dispatch::Queue initiatingDownloadsQueue_;
    plat::dispatch::OperationQueue downloadTrackingQueue_;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> maximumFileSize_{SYNCloudFolderMaximumFileSize};
    SYNUnusableCloudItems reported_;

    // Main thread only (starting the query and handling its changes assert it).
    std::shared_ptr<plat::clouddrive::MetadataQuery> metadataQuery_;
    std::vector<plat::ObserverToken> queryObservers_;

    // Held while a download is asked for (a hidden request file beside the
    // placeholder) and while an item is removed: coordinating the removal
    // holds its path alone, not what lies below it, so a request written
    // meanwhile could land in a folder being emptied and fail the removal.
    plat::Mutex removalMutex_;

    mutable plat::Mutex mutex_;
    std::optional<std::string> rootDirectory_ GUARDED_BY(mutex_);
    std::set<std::string> downloadingPaths_ GUARDED_BY(mutex_);
    std::set<std::string> handlingPaths_ GUARDED_BY(mutex_);
    std::set<std::string> filePresenterIgnoredPaths_ GUARDED_BY(mutex_);
    uint64_t bytesRemainingToDownload_ GUARDED_BY(mutex_) = 0;
    std::optional<double> lastProgressNotificationTime_ GUARDED_BY(mutex_);
    // The delayed update notification runs only while its generation is
    // current, so scheduling or cancelling supersedes every earlier request.
    uint64_t didDownloadGeneration_ GUARDED_BY(mutex_) = 0;
};
