// SYNLocalCloudFileSystem: the cloud file system kept in an ordinary local
// directory, so that a folder (for instance one that another tool keeps in
// step between machines) stands in for the cloud.
//
// A cloud path maps to the root directory joined with the path. A path with a
// ".." or "." component, or a NUL byte, could leave the root, so it is
// refused with a file error and nothing is touched. Of the optional members
// it provides moveLocalFile, downloadFromPathForReading and
// entriesOfDirectoryAtPath (the listing without items; offered by this
// class itself, not by a subclass unless it answers for it): an upload whose
// local file is the caller's own, unlinked elsewhere and on the folder's file
// system is renamed into place, and a download the caller only reads is a
// hard link when the folder's file is this user's, 0600 and on the local
// path's file system (plat::ConfinedFolder::moveFileIn, linkFileOut); they
// copy otherwise, as the required members do.
//
// The folder's contents are written by other machines and treated as
// untrusted (plat::ConfinedFolder): paths are walked without following any
// symbolic link, so a link on the way fails the operation; links, FIFOs,
// sockets and devices are left out of listings (logged once each) and are
// never opened, copied or recreated; downloads take regular files of at most
// maximumFileSize bytes. Files it writes, in the folder or locally, are
// 0600 and folders 0700, whatever the source's mode or the umask.
//
// Listings keep the last listing of each folder (a few folders at most): a
// file listed again under the same name and inode takes its size from there
// instead of a stat, when that size was at most ListedSizesKeptUpTo. Files
// are written into the folder under another name and renamed into place,
// so a file written anew beside the old one is another inode and is looked
// at again. A file written in place, or one removed and written anew under
// its name that gets the freed inode number back, keeps its listed size:
// sizes are what callers refuse files by, and a download still refuses a
// file by its size then, as does the import its own limit.
//
// All file work is done synchronously on the calling thread before the method
// returns; the completion, when given, is then called asynchronously on the
// main queue, in the order of the calls. Errors are the file manager's.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/ConfinedFolder.h"
#include "platform/foundation/Mutex.h"
#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"
#include "sync/mesh/cloudfs/SYNUnusableCloudItems.h"

class SYNLocalCloudFileSystem : public SYNCloudFileSystem {
  public:
    // The root is neither created nor tested.
    explicit SYNLocalCloudFileSystem(std::string rootDirectory);

    const std::string& rootDirectory() const { return rootDirectory_; }
    // The root joined with the cloud path ("/" names the root itself);
    // nullopt for a path that could leave the root.
    std::optional<std::string> fullPathForPath(const std::string& path) const;

    bool isConnected() const override { return true; }
    // The login name of the current user, read when the completion runs.
    void fetchUserIdentityWithCompletion(IdentityCompletion completion) override;
    void connect(Completion completion) override;
    void fileExistsAtPath(const std::string& path, ExistenceCompletion completion) override;
    // Without intermediate directories; fails when something is at the path.
    void createDirectoryAtPath(const std::string& path, Completion completion) override;
    // A missing or unreadable directory lists as empty, never an error.
    void contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) override;
    void removeItemAtPath(const std::string& path, Completion completion) override;
    // Fails when the destination exists or its directory is missing. The
    // file appears whole: it is written under a hidden name, then moved.
    void uploadLocalFile(const std::string& localPath, const std::string& path,
                         Completion completion) override;
    // Fails when the local path exists, or with a refusal
    // (plat::folderItemRefusalReason) for anything but a regular file of at
    // most maximumFileSize bytes.
    void downloadFromPath(const std::string& path, const std::string& localPath,
                          Completion completion) override;

    bool respondsToMember(OptionalMember member) const override;
    void moveLocalFile(const std::string& localPath, const std::string& path, Completion completion) override;
    void downloadFromPathForReading(const std::string& path, const std::string& localPath,
                                    Completion completion) override;
    void entriesOfDirectoryAtPath(const std::string& path, EntryListingCompletion completion) override;

    // Sizes of at most this many bytes are kept from one listing to the
    // next: the smallest limit callers refuse files above (event files), so
    // no file listed above a caller's limit stays refused by a kept size.
    static constexpr uint64_t ListedSizesKeptUpTo = uint64_t{64} << 20;

    uint64_t maximumFileSize() const { return maximumFileSize_.load(); }
    void setMaximumFileSize(uint64_t bytes) { maximumFileSize_ = bytes; }

  private:
    // Lists the folder, keeps its regular files for the next listing and
    // reports what is left out: reserve(count) is called once with the
    // number of entries read (hidden ones included), then take(prefix,
    // entry) for each listed directory and regular file, in name order
    // (prefix: the cloud path with a slash at its end).
    template <class Reserve, class Take>
    void listFolder(const std::string& path, Reserve&& reserve, Take&& take);
    void reportUnusable(const std::string& path, plat::FolderItemKind kind);

    std::string rootDirectory_;
    plat::ConfinedFolder folder_;
    std::atomic<uint64_t> maximumFileSize_{SYNCloudFolderMaximumFileSize};
    SYNUnusableCloudItems reported_;
    // The regular files of the last listing of each folder listed, by cloud
    // path, in name order: inode, size and name (in one buffer for all).
    struct KeptFile {
        uint64_t inode = 0;
        uint64_t size = 0;
        std::size_t nameStart = 0;
        std::size_t nameLength = 0;
    };
    struct KeptListing {
        std::vector<KeptFile> files;
        std::string names;
    };
    static constexpr std::size_t KeptListings = 8;
    plat::Mutex listingsMutex_;
    std::unordered_map<std::string, std::shared_ptr<const KeptListing>> listings_ GUARDED_BY(listingsMutex_);
};
