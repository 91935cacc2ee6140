// SYNCloudFileSystem: the interface through which the sync framework reaches
// its cloud folder, a tree of directories and files addressed by
// slash-separated paths relative to the file system's own root ("/mesh/events").
//
// Listings return cloud items: SYNCloudDirectory and SYNCloudFile. Callers
// read only `name` from listed items; `path` is where the implementation
// found the item and its form is the implementation's.
//
// Every asynchronous member calls its completion exactly once, with null for
// success or an error. Callers make no assumption about the thread of a
// completion.
//
// Optional members: an implementation answers respondsToMember() with true for
// each optional member it provides; callers ask before using one and fall back
// to the required single-item members (and their own batch sizes) otherwise.
// Calling an optional member that is not provided throws SYNException.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

// An item of a directory listing.
class SYNCloudItem : public plat::Coding {
  public:
    std::string path() const EXCLUDES(mutex_);
    void setPath(std::string path) EXCLUDES(mutex_);
    std::string name() const EXCLUDES(mutex_);
    void setName(std::string name) EXCLUDES(mutex_);
    // Moves the name out, leaving the item's name empty: for the only holder
    // of a listing's items, which keeps the names and drops the items.
    std::string takeName() EXCLUDES(mutex_);
    virtual bool canContainChildren() const = 0;

    // The inherited description, "\r", then "key: value; \r" for each key of
    // descriptionKeys().
    std::string description() const override;

  protected:
    virtual std::vector<std::pair<std::string, std::string>> descriptionKeys() const;

    // path and name are read and written from any thread.
    mutable plat::Mutex mutex_;
    std::string path_ GUARDED_BY(mutex_);
    std::string name_ GUARDED_BY(mutex_);
};

class SYNCloudDirectory : public SYNCloudItem {
  public:
    SYNCloudDirectory() = default;
    SYNCloudDirectory(std::string path, std::string name);

    bool canContainChildren() const override { return true; }
    // Declared for the directory's children; no file system fills it and it
    // is not archived.
    std::vector<std::shared_ptr<SYNCloudItem>> contents;

    std::string className() const override { return "SYNCloudDirectory"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    static std::shared_ptr<const SYNCloudDirectory> decode(plat::KeyedUnarchiver& coder);
};

class SYNCloudFile : public SYNCloudItem {
  public:
    SYNCloudFile() = default;
    SYNCloudFile(std::string path, std::string name, uint64_t size);

    bool canContainChildren() const override { return false; }
    // The size the file system reported; informational.
    uint64_t size() const EXCLUDES(mutex_);
    void setSize(uint64_t size) EXCLUDES(mutex_);
    // A new file with the same path, name and size.
    std::shared_ptr<SYNCloudFile> copy() const;

    std::string className() const override { return "SYNCloudFile"; }
    // "classVersion" 0, "path", "name", "sizeNumber" (unsigned 64-bit).
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    // A missing "sizeNumber" gives size 0.
    static std::shared_ptr<const SYNCloudFile> decode(plat::KeyedUnarchiver& coder);

  protected:
    std::vector<std::pair<std::string, std::string>> descriptionKeys() const override;

  private:
    uint64_t size_ GUARDED_BY(mutex_) = 0;
};

// Registers both item classes with the unarchiver; idempotent, any thread.
void SYNRegisterCloudItemClasses();

using SYNCloudItems = std::vector<std::shared_ptr<SYNCloudItem>>;

// One entry of a listing, for a caller that reads names, kinds and sizes
// only: no item is made for it.
struct SYNCloudListingEntry {
    std::string name;
    bool isDirectory = false;
    // A file's size as the file system reported it; 0 for a directory.
    uint64_t size = 0;
};

using SYNCloudListingEntries = std::vector<SYNCloudListingEntry>;

class SYNCloudFileSystem {
  public:
    using Completion = std::function<void(plat::ErrorPtr error)>;
    using IdentityCompletion = std::function<void(plat::Value identity, plat::ErrorPtr error)>;
    using ExistenceCompletion = std::function<void(bool exists, bool isDirectory, plat::ErrorPtr error)>;
    using DirectoryExistenceCompletion = std::function<void(bool exists, plat::ErrorPtr error)>;
    using ListingCompletion = std::function<void(SYNCloudItems items, plat::ErrorPtr error)>;
    using EntryListingCompletion = std::function<void(SYNCloudListingEntries entries, plat::ErrorPtr error)>;

    enum class OptionalMember {
        DirectoryExistsAtPath,
        FileUploadMaximumBatchSize,
        FileDownloadMaximumBatchSize,
        UploadLocalFiles,
        DownloadFromPaths,
        RemoveItemsAtPaths,
        PerformInitialPreparation,
        PrimeForActivity,
        RepairMeshDirectory,
        MoveLocalFile,
        DownloadFromPathForReading,
        EntriesOfDirectoryAtPath,
    };

    virtual ~SYNCloudFileSystem() = default;

    // --- Required ----------------------------------------------------------
    virtual bool isConnected() const = 0;
    // An identity of the user's account: equal to itself across launches,
    // keyed-archivable, different between accounts; null is allowed.
    virtual void fetchUserIdentityWithCompletion(IdentityCompletion completion) = 0;
    virtual void connect(Completion completion) = 0;
    // A missing item is not an error: (false, false, null).
    virtual void fileExistsAtPath(const std::string& path, ExistenceCompletion completion) = 0;
    // Creates one directory; its parent must exist.
    virtual void createDirectoryAtPath(const std::string& path, Completion completion) = 0;
    // The items directly inside the directory, hidden entries excluded.
    virtual void contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) = 0;
    // Removes a file, or a directory with everything below it.
    virtual void removeItemAtPath(const std::string& path, Completion completion) = 0;
    virtual void uploadLocalFile(const std::string& localPath, const std::string& path,
                                 Completion completion) = 0;
    virtual void downloadFromPath(const std::string& path, const std::string& localPath,
                                  Completion completion) = 0;

    // --- Optional ----------------------------------------------------------
    virtual bool respondsToMember(OptionalMember) const { return false; }
    virtual void directoryExistsAtPath(const std::string& path, DirectoryExistenceCompletion completion);
    virtual std::size_t fileUploadMaximumBatchSize() const;
    virtual std::size_t fileDownloadMaximumBatchSize() const;
    // The two arrays are index-aligned.
    virtual void uploadLocalFiles(const std::vector<std::string>& localPaths,
                                  const std::vector<std::string>& paths, Completion completion);
    virtual void downloadFromPaths(const std::vector<std::string>& paths,
                                   const std::vector<std::string>& localPaths, Completion completion);
    virtual void removeItemsAtPaths(const std::vector<std::string>& paths, Completion completion);
    virtual void performInitialPreparation(Completion completion);
    virtual void primeForActivityWithCompletion(Completion completion);
    virtual void repairMeshDirectory(const std::string& path, Completion completion);
    // Uploads a local file the caller has no further use for, as
    // uploadLocalFile does: the file itself may be taken (it is then gone
    // from localPath) instead of a copy; whatever is left at localPath is the
    // caller's to remove.
    virtual void moveLocalFile(const std::string& localPath, const std::string& path, Completion completion);
    // Downloads a file as downloadFromPath does, for a caller that only reads
    // the local file and then removes it, never writes it: the local file may
    // share its storage with the cloud's.
    virtual void downloadFromPathForReading(const std::string& path, const std::string& localPath,
                                            Completion completion);
    // What contentsOfDirectoryAtPath lists, in its order and with its error,
    // as names, kinds (a directory or not) and file sizes.
    virtual void entriesOfDirectoryAtPath(const std::string& path, EntryListingCompletion completion);
};
