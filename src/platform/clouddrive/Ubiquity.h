// The cloud drive stand-in: ubiquity containers, the account, and the
// download state of the items in a container folder.
//
// A container is an ordinary local folder. The drive's machinery (SyncAgent in
// tests) keeps the folders of several devices in step. A file that another
// device wrote and that is not yet downloaded here exists only as a hidden
// placeholder beside the place the file will take:
//
//   <folder>/.<name>.icloud           written by the drive; "key value" lines:
//                                     size, percent, downloading, version
//   <folder>/.<name>.icloud-request   created by startDownloadingItem
//
// Listings that skip hidden entries do not see a file before it is
// downloaded. Download state of an item at <path>:
//   - placeholder and no file: not downloaded;
//   - placeholder beside a file: downloaded, but a newer version waits;
//   - file without placeholder: current.
// Separate files for the drive's state and for requests mean that the drive
// (another process) and the requesting device never rewrite each other's file.
//
// Any thread; the service's settings are per process.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Mutex.h"

namespace plat::clouddrive {

enum class DownloadStatus { NotDownloaded, Downloaded, Current };

// What the drive writes into a placeholder.
struct Placeholder {
    uint64_t size = 0;
    double percent = 0;        // of the download under way, 0 to 100
    bool downloading = false;  // the drive has begun moving the content here
    uint64_t version = 0;      // the drive's own version of the content
};

// "<dir>/.<name>.icloud" and "<dir>/.<name>.icloud-request" for "<dir>/<name>".
std::string placeholderPathForItem(const std::string& path);
std::string requestPathForItem(const std::string& path);
// The item a hidden placeholder name stands for (".a.icloud" -> "a"); nullopt
// for any other name.
std::optional<std::string> itemNameForPlaceholderName(const std::string& name);

// nullopt when the placeholder is missing or unreadable.
std::optional<Placeholder> readPlaceholder(const std::string& itemPath);
// Written under a temporary hidden name and renamed into place.
[[nodiscard]] ErrorPtr writePlaceholder(const std::string& itemPath, const Placeholder& placeholder);

// The attributes a metadata query reports for one item.
struct ItemAttributes {
    std::string path;  // of the item (never of its placeholder)
    DownloadStatus status = DownloadStatus::Current;
    bool isDownloading = false;
    double percentDownloaded = 100;
    uint64_t size = 0;
    bool isDirectory = false;
};
// nullopt when neither the item nor its placeholder exists.
std::optional<ItemAttributes> attributesOfItem(const std::string& path);

class UbiquityService {
  public:
    static UbiquityService& shared();

    // The account: a token stable per account, nullopt when signed out
    // (the start state).
    void setIdentityToken(std::optional<std::string> token) EXCLUDES(mutex_);
    std::optional<std::string> identityToken() const EXCLUDES(mutex_);

    // Maps a container identifier to its local folder; nullopt (or never set)
    // makes the container unavailable.
    void setContainerFolder(const std::string& identifier, std::optional<std::string> folder)
        EXCLUDES(mutex_);
    std::optional<std::string> containerFolder(const std::string& identifier) const EXCLUDES(mutex_);

    // Asks the drive to download the item. Returns at once; a current item
    // needs nothing. Fails with the platform's no-such-file error when there
    // is neither item nor placeholder, and with the injected error while one
    // is set.
    [[nodiscard]] ErrorPtr startDownloadingItem(const std::string& path) EXCLUDES(mutex_);
    void setStartDownloadingError(ErrorPtr error) EXCLUDES(mutex_);
    // Successful startDownloadingItem calls so far (reads that wait for a
    // download do not count).
    std::size_t startedDownloadCount() const EXCLUDES(mutex_);

    // Blocks until the item's file is present, asking for its download when
    // only a placeholder exists (unless askForDownload is false: a caller
    // that asked already); false when timeoutSeconds pass first. An item
    // with neither file nor placeholder returns true at once (a read then
    // fails on its own).
    [[nodiscard]] bool waitForDownload(const std::string& path, double timeoutSeconds,
                                       bool askForDownload = true);

    // Back to signed out, no containers, no injected error.
    void reset() EXCLUDES(mutex_);

  private:
    mutable Mutex mutex_;
    std::optional<std::string> token_ GUARDED_BY(mutex_);
    std::map<std::string, std::string> containers_ GUARDED_BY(mutex_);
    ErrorPtr startError_ GUARDED_BY(mutex_);
    std::size_t started_ GUARDED_BY(mutex_) = 0;
};

// Creates the download request beside a placeholder.
[[nodiscard]] ErrorPtr requestDownload(const std::string& path);

}  // namespace plat::clouddrive
