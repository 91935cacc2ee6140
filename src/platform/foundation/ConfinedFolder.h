// ConfinedFolder: file work inside one folder whose contents other people or
// programs write (a folder that a sync service, a network mount or another
// user keeps filled), done so that nothing it finds there can make it read,
// write, list or delete anything outside the folder.
//
// - Paths are relative to the root and are walked from a descriptor of the
//   root without following any symbolic link: openat2 with
//   RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the kernel has it, otherwise
//   one openat with O_NOFOLLOW per component. A link anywhere on the way
//   fails the call (ELOOP); "." and ".." components and NUL bytes are refused
//   (EINVAL). The root itself is opened as given (it is the caller's choice).
// - Only regular files are read or copied and only folders are entered;
//   links, FIFOs, sockets and devices are refused by kind (never opened for
//   reading: files are opened O_NONBLOCK | O_NOFOLLOW and checked with fstat
//   before a byte is read), and reads stop at a caller's size limit (EFBIG).
//   A refusal carries its reason (refusalReason) so callers can report the
//   item and go on.
// - What it creates gets its mode from here, never from a source file or
//   the umask: files 0600, folders 0700 unless the caller names another
//   mode; setuid, setgid and sticky bits are never set.
// - Files are written under a hidden temporary name beside the destination
//   and renamed into place, so a reader never sees a partly written file.
//
// Threads: holds no mutable state; any member from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"

namespace plat {

enum class FolderItemKind {
    Missing,
    Regular,
    Directory,
    SymbolicLink,
    // FIFO, socket, character or block device.
    Special,
};

struct FolderItem {
    std::string name;
    FolderItemKind kind = FolderItemKind::Missing;
    uint64_t size = 0;  // of a regular file; 0 otherwise
    // In listings, the inode number of what the entry names (0 elsewhere):
    // a later listing knows by it whether the name still holds that file.
    uint64_t inode = 0;
};

// User-info key of a refusal: why the item cannot be used, in words ("is a
// symbolic link", "is a special file", "is larger than 1048576 bytes").
inline constexpr const char* FolderItemRefusalReasonKey = "PLATFolderItemRefusalReason";

// The reason of a refusal by kind or size; nullopt for any other error
// (missing items, permissions, full disks).
std::optional<std::string> folderItemRefusalReason(const ErrorPtr& error);

class ConfinedFolder {
  public:
    static constexpr mode_t PrivateFileMode = 0600;
    static constexpr mode_t PrivateFolderMode = 0700;

    explicit ConfinedFolder(std::string root);
    const std::string& root() const { return root_; }

    // The item at the relative path itself (a link is reported as a link);
    // kind Missing when nothing is there. An error when a folder on the way
    // cannot be walked (missing parents give Missing).
    Result<FolderItem> itemAtPath(const std::string& relative) const;
    // The entries directly inside the folder, hidden ones included, sorted
    // by name. Kinds come from the folder's entries where the file system
    // keeps them there; the size of a regular file takes a stat of it.
    Result<std::vector<FolderItem>> contentsOfDirectory(const std::string& relative) const;
    // The size a caller kept for a regular file it listed before, by the
    // file's name and inode number; nullopt when it has none. Asked for
    // each regular file of a listing, in name order.
    using KeptFileSize = std::function<std::optional<uint64_t>(std::string_view name, uint64_t inode)>;
    // The same, for a caller that keeps what it listed: a regular file whose
    // size keptSize gives is not looked at again. The caller decides what it
    // keeps: a file replaced under its name is another inode, but a file
    // written in place keeps its inode and its kept size.
    Result<std::vector<FolderItem>> contentsOfDirectory(const std::string& relative,
                                                        const KeptFileSize& keptSize) const;
    // One folder; the parent must exist. Fails with EEXIST when anything is
    // at the path.
    [[nodiscard]] ErrorPtr createDirectory(const std::string& relative,
                                           mode_t mode = PrivateFolderMode) const;
    // Removes the item: a link or special file itself, a folder with
    // everything below it (never following links). The root is refused.
    [[nodiscard]] ErrorPtr removeItem(const std::string& relative) const;
    // The bytes of a regular file of at most maxLength bytes.
    Result<Data> readFile(const std::string& relative, uint64_t maxLength) const;
    // Copies a regular file of at most maxLength bytes to localPath, which
    // must not exist (a link there is not followed); the copy gets `mode`.
    // A folder is copied with the folders and regular files below it (0700
    // folders); links and special files inside are left out. A failed copy
    // leaves nothing at localPath.
    [[nodiscard]] ErrorPtr copyFileOut(const std::string& relative, const std::string& localPath,
                                       uint64_t maxLength, mode_t mode = PrivateFileMode) const;
    // Copies the regular local file (a link, FIFO or device is refused) into
    // the folder: written under a hidden name, then renamed; with `replace`
    // false an existing destination fails with EEXIST. A local folder is
    // copied as copyFileOut copies one.
    [[nodiscard]] ErrorPtr copyFileIn(const std::string& localPath, const std::string& relative, bool replace,
                                      mode_t mode = PrivateFileMode) const;
    // Puts the local file in the folder as copyFileIn does without `replace`,
    // for a caller that has no further use for it: a regular file of the
    // caller's own with no other link, on the folder's file system, is
    // renamed into place (given `mode`, gone from localPath); any other is
    // copied, and what stays at localPath is the caller's to remove. A
    // rename shows the file whole, as the copy's hidden name does.
    [[nodiscard]] ErrorPtr moveFileIn(const std::string& localPath, const std::string& relative,
                                      mode_t mode = PrivateFileMode) const;
    // Gives localPath the file as copyFileOut does, for a caller that only
    // reads the local file and removes it, never writes it: a regular file
    // of at most maxLength bytes that belongs to this user, has exactly
    // `mode` and lies on the local path's file system is hard-linked (both
    // names then share the file until one is removed); any other is copied,
    // with copyFileOut's refusals.
    [[nodiscard]] ErrorPtr linkFileOut(const std::string& relative, const std::string& localPath,
                                       uint64_t maxLength, mode_t mode = PrivateFileMode) const;

    // Whether paths are resolved with openat2 (when the kernel has it); tests
    // turn it off to exercise the walk component by component.
    static void setUsesResolveBeneath(bool uses);
    static bool usesResolveBeneath();

  private:
    std::string root_;
};

// Opens a local file for reading without following a link at its last
// component and without blocking on a FIFO or device; refuses anything but a
// regular file of at most maxLength bytes. Returns the descriptor (the
// caller closes it) and its size.
Result<std::pair<int, uint64_t>> openRegularFileForReading(const std::string& path, uint64_t maxLength);

}  // namespace plat
