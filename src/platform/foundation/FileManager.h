// FileManager: files and folders by path (the platform's file manager), the
// standard folders mapped to the XDG folders, and a private temporary folder.
//
// Every failing call returns an Error in CocoaErrorDomain with one of the file
// error codes below, the path under FilePathErrorKey and the POSIX error
// (POSIXErrorDomain, errno) under UnderlyingErrorKey. "No such file" comes out
// as FileNoSuchFileError (4) for operations that change the file system and as
// FileReadNoSuchFileError (260) for those that read; isNoSuchFileError
// recognises both.
//
// Symbolic links are followed by fileExistsAtPath, contentsAtPath and
// non-atomic writes; an atomic write replaces a link at path with the new
// file; attributesOfItemAtPath, removeItemAtPath, copyItemAtPath and
// moveItemAtPath act on the link itself.
//
// Threads: a FileManager holds no mutable state; every member may be called
// from any thread. Concurrent changes to the same paths race as the
// underlying system calls do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace plat {

// File error codes of CocoaErrorDomain.
inline constexpr int64_t FileNoSuchFileError = 4;
inline constexpr int64_t FileLockingError = 255;
inline constexpr int64_t FileReadUnknownError = 256;
inline constexpr int64_t FileReadNoPermissionError = 257;
inline constexpr int64_t FileReadInvalidFileNameError = 258;
inline constexpr int64_t FileReadCorruptFileError = 259;
inline constexpr int64_t FileReadNoSuchFileError = 260;
inline constexpr int64_t FileReadTooLargeError = 263;
inline constexpr int64_t FileReadUnsupportedSchemeError = 262;
inline constexpr int64_t FileWriteUnknownError = 512;
inline constexpr int64_t FileWriteNoPermissionError = 513;
inline constexpr int64_t FileWriteInvalidFileNameError = 514;
inline constexpr int64_t FileWriteFileExistsError = 516;
inline constexpr int64_t FileWriteUnsupportedSchemeError = 518;
inline constexpr int64_t FileWriteOutOfSpaceError = 640;
inline constexpr int64_t FileWriteVolumeReadOnlyError = 642;

// Keys and values of attributesOfItemAtPath.
inline constexpr const char* FileSize = "NSFileSize";                          // unsigned
inline constexpr const char* FileModificationDate = "NSFileModificationDate";  // Date
inline constexpr const char* FileType = "NSFileType";                          // one of below
inline constexpr const char* FilePosixPermissions = "NSFilePosixPermissions";  // unsigned
inline constexpr const char* FileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char* FileTypeRegular = "NSFileTypeRegular";
inline constexpr const char* FileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr const char* FileTypeSocket = "NSFileTypeSocket";
inline constexpr const char* FileTypeCharacterSpecial = "NSFileTypeCharacterSpecial";
inline constexpr const char* FileTypeBlockSpecial = "NSFileTypeBlockSpecial";
inline constexpr const char* FileTypeUnknown = "NSFileTypeUnknown";

// The platform's numbering. Values without a mapping give no folders.
enum class SearchPathDirectory : unsigned {
    LibraryDirectory = 5,
    DocumentDirectory = 9,
    DesktopDirectory = 12,
    CachesDirectory = 13,
    ApplicationSupportDirectory = 14,
    DownloadsDirectory = 15,
    MoviesDirectory = 17,
    MusicDirectory = 18,
    PicturesDirectory = 19,
    // No platform number: the folder for preference files ($XDG_CONFIG_HOME).
    PreferencesDirectory = 0x10000,
};

enum SearchPathDomainMask : unsigned {
    UserDomainMask = 1,
    LocalDomainMask = 2,
    NetworkDomainMask = 4,
    SystemDomainMask = 8,
    AllDomainsMask = 0x0ffff,
};

// True for "no such file" errors of any operation: CocoaErrorDomain 4 or 260,
// or POSIXErrorDomain ENOENT (also as the underlying error).
bool isNoSuchFileError(const ErrorPtr& error);

// The error every failing call here makes for a POSIX error number: the
// CocoaErrorDomain code for it (the reading or the changing side), the path
// under FilePathErrorKey and the POSIX error under UnderlyingErrorKey.
[[nodiscard]] ErrorPtr fileErrorWithPOSIXError(int posixError, bool reading, const std::string& path);

// A depth-first walk of a folder tree (FileManager::enumeratorAtPath).
// Entries come as paths relative to the walked folder ("a", "a/b"), each
// folder's entries sorted by byte value, a folder before its contents. Links
// are never followed: a link to a folder is an entry, not a folder. A folder
// that cannot be read is listed but not entered. Hidden entries are included.
// Used by one thread at a time.
class DirectoryEnumerator {
  public:
    // The next entry's relative path; nullopt at the end.
    std::optional<std::string> nextObject();
    // The attributes of the entry nextObject returned last, of the entry
    // itself (as attributesOfItemAtPath); empty when it vanished meanwhile.
    const Dictionary& fileAttributes() const { return attributes_; }
    // Do not enter the folder nextObject returned last.
    void skipDescendants() { skip_ = true; }
    // Depth of the entry nextObject returned last: 1 directly inside the folder.
    std::size_t level() const { return level_; }

  private:
    friend class FileManager;
    struct Folder {
        std::string relative;  // "" for the walked folder itself
        std::vector<std::string> names;
        std::size_t next = 0;
    };
    DirectoryEnumerator(std::string root, std::vector<std::string> names);

    std::string root_;
    std::vector<Folder> stack_;
    std::string current_;
    bool currentIsFolder_ = false;
    bool skip_ = false;
    std::size_t level_ = 0;
    Dictionary attributes_;
};

class FileManager {
  public:
    // Reads the process environment (HOME, XDG_*, TMPDIR) at every call.
    FileManager() = default;
    // Reads only the given variables instead: for tests and for processes that
    // play another user.
    explicit FileManager(EnvironmentMap environment) : environment_(std::move(environment)) {}

    static FileManager& defaultManager();

    // --- Queries -------------------------------------------------------------
    bool fileExistsAtPath(const std::string& path, bool* isDirectory = nullptr) const;
    // Names of the entries directly inside the folder, hidden ones included,
    // "." and ".." excluded, sorted by byte value.
    Result<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string& path) const;
    // FileSize, FileModificationDate, FileType and FilePosixPermissions.
    Result<Dictionary> attributesOfItemAtPath(const std::string& path) const;
    // The whole regular file, or the error. Opened without blocking: a FIFO,
    // socket or device is refused (FileReadUnknownError, EINVAL), never read.
    Result<Data> dataWithContentsOfFile(const std::string& path) const;
    // The whole file, or nullopt on any error.
    std::optional<Data> contentsAtPath(const std::string& path) const;

    // A walk of the tree below path; nullopt when path is not a folder that
    // can be read. The URL form takes file URLs only.
    std::optional<DirectoryEnumerator> enumeratorAtPath(const std::string& path) const;
    std::optional<DirectoryEnumerator> enumeratorAtURL(const URL& url) const;
    // The login name of the user: from the injected environment's USER when
    // one was given, else the password database entry of the effective user,
    // else $USER, else the numeric user id.
    std::string userName() const;

    // --- Changes -------------------------------------------------------------
    // With intermediates, missing parents are created and an existing folder
    // is success. A FilePosixPermissions entry of attributes sets the mode of
    // the folders created.
    [[nodiscard]] ErrorPtr createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                                 const Dictionary* attributes = nullptr) const;
    // Writes contents atomically, replacing an existing file; false on error.
    [[nodiscard]] bool createFileAtPath(const std::string& path, const Data& contents = Data()) const;
    // Atomic: a temporary file in the same folder is written, synced and
    // renamed over path, so readers see the old or the new contents, never a
    // part. Otherwise the file is truncated and written in place.
    [[nodiscard]] ErrorPtr writeData(const Data& data, const std::string& path, bool atomically) const;
    // Written and renamed into place as an atomic write is, through the same
    // file-write environment, but neither the data nor the folder is synced:
    // while the system runs, readers see the old or the new contents, never
    // a part; after a power loss the file may hold anything. For files that
    // are only a step on the way to a copy elsewhere, which nothing reads
    // after a restart.
    [[nodiscard]] ErrorPtr writeDataWithoutSync(const Data& data, const std::string& path) const;
    // Writes bytes into a file made for them at path, which must not exist
    // yet: created exclusively (anything at path, a link included, fails the
    // call with FileWriteFileExistsError and is left alone) with mode 0666
    // less the umask, written in place and closed through the file-write
    // environment, not synced. When a write or the close fails, the file is
    // removed: it holds all the bytes once this returns no error, and
    // nothing is left at path when it returns one. For files named afresh
    // that nothing reads before their writer has finished, and which are a
    // step on the way to a copy elsewhere (no temporary name, no rename).
    [[nodiscard]] ErrorPtr writeNewFile(std::string_view bytes, const std::string& path) const;
    // As durable and atomic as writeData(atomically), without a new file at
    // every write (creating files is much of the cost of a small write on
    // some file systems): the contents go into sparePath, a file of the same
    // folder kept for the purpose, which is synced and then swapped with
    // path in one step; the spare then holds the previous contents, to be
    // overwritten by the next write. Until the swap path keeps its old
    // contents, so a crash leaves the old or the new file, never a part.
    // Writers of one path exclude each other through a lock on the spare.
    // Unlike an atomic write, a file is used again: a reader that keeps the
    // file open across two writes may see the second one's bytes, so this is
    // for files read whole while nobody writes them (a store's own metadata,
    // read when the store opens). Where path is not a regular file yet, or
    // the file system cannot swap, this is writeData(atomically).
    [[nodiscard]] ErrorPtr writeDataThroughSpare(const Data& data, const std::string& path,
                                                 const std::string& sparePath) const;
    // Removes a file, link or whole folder tree.
    [[nodiscard]] ErrorPtr removeItemAtPath(const std::string& path) const;
    // Copies a file, link or folder tree; fails with FileWriteFileExistsError
    // when something is at dstPath. A failed copy leaves nothing at dstPath.
    // Copies get the source's permission bits less the umask, never its
    // setuid, setgid or sticky bits. Work inside a folder others write goes
    // through ConfinedFolder instead.
    [[nodiscard]] ErrorPtr copyItemAtPath(const std::string& srcPath, const std::string& dstPath) const;
    // Renames, or copies and removes across file systems; never replaces an
    // existing item: fails with FileWriteFileExistsError instead.
    [[nodiscard]] ErrorPtr moveItemAtPath(const std::string& srcPath, const std::string& dstPath) const;

    // The same operations on file URLs; other URLs fail with
    // FileWriteUnsupportedSchemeError (or FileReadUnsupportedSchemeError).
    [[nodiscard]] ErrorPtr createDirectoryAtURL(const URL& url, bool withIntermediateDirectories,
                                                const Dictionary* attributes = nullptr) const;
    [[nodiscard]] ErrorPtr removeItemAtURL(const URL& url) const;
    [[nodiscard]] ErrorPtr copyItemAtURL(const URL& srcURL, const URL& dstURL) const;
    [[nodiscard]] ErrorPtr moveItemAtURL(const URL& srcURL, const URL& dstURL) const;
    // This system has no backup to exclude items from: success for an item
    // that exists (the link itself counts), the file error otherwise.
    [[nodiscard]] ErrorPtr setExcludedFromBackup(const URL& url, bool excluded) const;

    // --- Standard folders ----------------------------------------------------
    // The folders for directory in the domains of mask, user domain first;
    // empty for combinations without a meaning here. User domain:
    // ApplicationSupport and Library → $XDG_DATA_HOME or ~/.local/share,
    // Caches → $XDG_CACHE_HOME or ~/.cache, Preferences → $XDG_CONFIG_HOME or
    // ~/.config, Documents, Downloads, Desktop, Music, Pictures → ~/<name>,
    // Movies → ~/Videos. Local: ApplicationSupport and Library →
    // /usr/local/share; system: /usr/share. The three XDG folders of the user
    // are created (mode 0700) when missing, as callers expect them to exist;
    // the others are not.
    std::vector<std::string> searchPathsForDirectory(SearchPathDirectory directory,
                                                     unsigned domainMask) const;
    // searchPathsForDirectory as directory URLs.
    std::vector<URL> URLsForDirectory(SearchPathDirectory directory, unsigned domainMask) const;
    // $HOME, else the password database's home folder, else "/".
    std::string homeDirectory() const;
    // A folder only this user may use: "kestrel-<uid>" inside $TMPDIR (or
    // /tmp), mode 0700, created when missing. When that name is taken by
    // something unsafe (another owner, a link, a file) a fresh private
    // folder is made instead. No trailing slash.
    std::string temporaryDirectory() const;

  private:
    [[nodiscard]] ErrorPtr writeDataAtomically(const Data& data, const std::string& path, bool durably) const;
    std::optional<std::string> env(const char* name) const;
    std::string xdgFolder(const char* variable, const char* fallbackInHome) const;

    std::optional<EnvironmentMap> environment_;
};

}  // namespace plat
