#include "platform/foundation/FileManager.h"
#include "platform/foundation/FileWriteEnvironment.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/detail/DirectoryEntries.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <system_error>
#include <unordered_map>

namespace plat {

namespace detail {

namespace {

// Calls take(entry) for each entry of the folder but "." and "..".
template <class Take>
void readEntries(int fd, int* err, Take&& take) {
    alignas(dirent64) char buffer[8192];
    *err = 0;
    for (;;) {
        const ssize_t length = ::getdents64(fd, buffer, sizeof buffer);
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            *err = errno;
            break;
        }
        if (length == 0) {
            break;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                take(*entry, name);
            }
            offset += entry->d_reclen;
        }
    }
}

}  // namespace

std::vector<std::string> entryNames(int fd, int* err) {
    std::vector<std::string> names;
    readEntries(fd, err, [&](const dirent64&, std::string_view name) { names.emplace_back(name); });
    return names;
}

std::vector<DirectoryEntry> directoryEntries(int fd, int* err) {
    std::vector<DirectoryEntry> entries;
    readEntries(fd, err, [&](const dirent64& entry, std::string_view name) {
        entries.push_back({std::string(name), static_cast<uint64_t>(entry.d_ino), entry.d_type});
    });
    return entries;
}

namespace {

// The names in the folder at path (opened as a directory stream opens it),
// or the errno of the failed open or listing.
int namesAtPath(const char* path, std::vector<std::string>& names) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int err = 0;
    names = entryNames(fd, &err);
    (void)::close(fd);  // read only: closing loses nothing
    return err;
}

}  // namespace

int removeAt(int parentFd, const char* name) {
    struct stat st;
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlinkat(parentFd, name, 0) == 0 || errno == ENOENT ? 0 : errno;
    }
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 0 : errno;
    }
    int err = 0;
    for (const auto& child : detail::entryNames(fd, &err)) {
        if (err == 0) {
            err = removeAt(fd, child.c_str());
        }
    }
    (void)::close(fd);  // read only: closing loses nothing
    if (err != 0) {
        return err;
    }
    return ::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

bool writeAll(int fd, const uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace detail

namespace {

// Whether an operation reads (a missing file is 260) or changes the file
// system (a missing file is 4).
enum class Access { Read, Write };

int64_t cocoaCodeForErrno(int err, Access access) {
    const bool reading = access == Access::Read;
    switch (err) {
        case ENOENT:
            return reading ? FileReadNoSuchFileError : FileNoSuchFileError;
        case EACCES:
        case EPERM:
            return reading ? FileReadNoPermissionError : FileWriteNoPermissionError;
        case EEXIST:
            return FileWriteFileExistsError;
        case ENOSPC:
        case EDQUOT:
            return FileWriteOutOfSpaceError;
        case EROFS:
            return FileWriteVolumeReadOnlyError;
        case ENAMETOOLONG:
            return reading ? FileReadInvalidFileNameError : FileWriteInvalidFileNameError;
        case EFBIG:
            return reading ? FileReadTooLargeError : FileWriteUnknownError;
        default:
            return reading ? FileReadUnknownError : FileWriteUnknownError;
    }
}

ErrorPtr fileError(int err, Access access, const std::string& path) {
    auto posix = Error::make(POSIXErrorDomain, err,
                             Dictionary{{LocalizedDescriptionKey, std::generic_category().message(err)}});
    return Error::make(CocoaErrorDomain, cocoaCodeForErrno(err, access),
                       Dictionary{{FilePathErrorKey, path}, {UnderlyingErrorKey, Value(posix)}});
}

// An errno and which side of an operation it came from.
struct Failure {
    int err = 0;
    Access access = Access::Write;
    explicit operator bool() const { return err != 0; }
};

Failure failed(Access access) {
    return Failure{errno, access};
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// The folder holding path's last component ("." for a bare name).
std::string parentFolder(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int closeChecked(int fd) {
    // Linux releases the descriptor even when close reports EINTR.
    return ::close(fd) == 0 || errno == EINTR ? 0 : -1;
}

mode_t processUmask() {
    // umask() can only be read by changing it, which races with other
    // threads; the kernel reports it here instead.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
        }
    }
    return 022;
}

std::optional<mode_t> requestedMode(const Dictionary* attributes) {
    if (attributes == nullptr) {
        return std::nullopt;
    }
    const Value* v = attributes->find(FilePosixPermissions);
    if (v == nullptr || !v->isNumber()) {
        return std::nullopt;
    }
    return static_cast<mode_t>(v->unsignedLongLongValue() & 07777);
}

// The mode of a copy: the source's permission bits less the umask, as a
// fresh file would get them; setuid, setgid and sticky bits are never
// copied, so a copy never gains powers its creator did not give it.
mode_t copiedMode(mode_t sourceMode) {
    return sourceMode & 0777 & ~processUmask();
}

// --- Copying -------------------------------------------------------------------

Failure copyTree(const std::string& src, const std::string& dst);

Failure copyFileContents(const std::string& src, const std::string& dst, const struct stat& st) {
    const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        return failed(Access::Read);
    }
    const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        Failure f = failed(Access::Write);
        (void)::close(in);  // already failing: the first error is the one reported
        return f;
    }
    Failure result;
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result = failed(Access::Read);
            break;
        }
        if (n == 0) {
            break;
        }
        if (!detail::writeAll(out, buffer.data(), static_cast<std::size_t>(n))) {
            result = failed(Access::Write);
            break;
        }
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (!result && (::fchmod(out, copiedMode(st.st_mode)) != 0 || ::futimens(out, times) != 0)) {
        result = failed(Access::Write);
    }
    (void)::close(in);  // read only: closing loses nothing
    if (closeChecked(out) != 0 && !result) {
        result = failed(Access::Write);
    }
    return result;
}

Failure copyFolder(const std::string& src, const std::string& dst, const struct stat& st) {
    // Listed before dst exists, so that a copy placed inside its source does
    // not copy itself.
    std::vector<std::string> names;
    if (const int err = detail::namesAtPath(src.c_str(), names)) {
        return Failure{err, Access::Read};
    }
    if (::mkdir(dst.c_str(), 0700) != 0) {
        return failed(Access::Write);
    }
    for (const auto& name : names) {
        if (Failure f = copyTree(join(src, name), join(dst, name))) {
            return f;
        }
    }
    // Last, so that a read-only source folder does not block its own copy.
    if (::chmod(dst.c_str(), copiedMode(st.st_mode)) != 0) {
        return failed(Access::Write);
    }
    return {};
}

Failure copyLink(const std::string& src, const std::string& dst, const struct stat& st) {
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    const ssize_t n = ::readlink(src.c_str(), target.data(), target.size());
    if (n < 0) {
        return failed(Access::Read);
    }
    target.resize(static_cast<std::size_t>(n));
    if (::symlink(target.c_str(), dst.c_str()) != 0) {
        return failed(Access::Write);
    }
    return {};
}

Failure copyTree(const std::string& src, const std::string& dst) {
    struct stat st;
    if (::lstat(src.c_str(), &st) != 0) {
        return failed(Access::Read);
    }
    if (S_ISREG(st.st_mode)) {
        return copyFileContents(src, dst, st);
    }
    if (S_ISDIR(st.st_mode)) {
        return copyFolder(src, dst, st);
    }
    if (S_ISLNK(st.st_mode)) {
        return copyLink(src, dst, st);
    }
    return Failure{ENOTSUP, Access::Read};
}

// Whether path would lie inside the folder (links resolved); a folder cannot
// be copied into itself.
bool isInsideFolder(const std::string& path, const std::string& folder) {
    char* realFolder = ::realpath(folder.c_str(), nullptr);
    char* realParent = ::realpath(parentFolder(path).c_str(), nullptr);
    bool inside = false;
    if (realFolder != nullptr && realParent != nullptr) {
        const std::string parent = std::string(realParent) + "/";
        const std::string prefix = std::string(realFolder) + (realFolder[1] == '\0' ? "" : "/");
        inside = parent.rfind(prefix, 0) == 0;
    }
    std::free(realFolder);
    std::free(realParent);
    return inside;
}

// --- Moving ----------------------------------------------------------------------

// Renames without replacing, on file systems that lack RENAME_NOREPLACE.
int renameWithoutReplacingFallback(const std::string& src, const std::string& dst) {
    struct stat st;
    if (::lstat(src.c_str(), &st) != 0) {
        return errno;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::link(src.c_str(), dst.c_str()) == 0) {
            if (::unlink(src.c_str()) == 0) {
                return 0;
            }
            // Not moved after all: take the new name back, report the failure.
            const int err = errno;
            (void)::unlink(dst.c_str());  // the link just made: ours to remove
            return err;
        }
        if (errno == EEXIST || errno == EXDEV) {
            return errno;
        }
    }
    // Folders (and files on systems without hard links) can only be checked
    // first; rename(2) still refuses a non-empty folder as destination.
    if (::lstat(dst.c_str(), &st) == 0) {
        return EEXIST;
    }
    return ::rename(src.c_str(), dst.c_str()) == 0 ? 0 : errno;
}

int renameWithoutReplacing(const std::string& src, const std::string& dst) {
    if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno == EINVAL || errno == ENOSYS) {
        return renameWithoutReplacingFallback(src, dst);
    }
    return errno;
}

// --- Temporary folder --------------------------------------------------------------

bool isPrivateFolder(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        return false;
    }
    return (st.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

std::string fallbackPrivateFolder(const std::string& base, const std::string& name) {
    static Mutex mutex;
    static std::map<std::string, std::string> made GUARDED_BY(mutex);
    MutexLock lock(mutex);
    auto it = made.find(base);
    if (it != made.end() && isPrivateFolder(it->second)) {
        return it->second;
    }
    std::string pattern = name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return base;
    }
    made[base] = pattern;
    return pattern;
}

}  // namespace

bool isNoSuchFileError(const ErrorPtr& error) {
    if (!error) {
        return false;
    }
    if (error->domain() == CocoaErrorDomain &&
        (error->code() == FileNoSuchFileError || error->code() == FileReadNoSuchFileError)) {
        return true;
    }
    if (error->domain() == POSIXErrorDomain && error->code() == ENOENT) {
        return true;
    }
    return isNoSuchFileError(error->underlyingError());
}

FileManager& FileManager::defaultManager() {
    static FileManager* manager = new FileManager();
    return *manager;
}

bool FileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (isDirectory != nullptr) {
        *isDirectory = S_ISDIR(st.st_mode);
    }
    return true;
}

Result<std::vector<std::string>> FileManager::contentsOfDirectoryAtPath(const std::string& path) const {
    std::vector<std::string> names;
    if (const int err = detail::namesAtPath(path.c_str(), names)) {
        return fileError(err, Access::Read, path);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Result<Dictionary> FileManager::attributesOfItemAtPath(const std::string& path) const {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return fileError(errno, Access::Read, path);
    }
    const char* type = S_ISDIR(st.st_mode)    ? FileTypeDirectory
                       : S_ISREG(st.st_mode)  ? FileTypeRegular
                       : S_ISLNK(st.st_mode)  ? FileTypeSymbolicLink
                       : S_ISSOCK(st.st_mode) ? FileTypeSocket
                       : S_ISCHR(st.st_mode)  ? FileTypeCharacterSpecial
                       : S_ISBLK(st.st_mode)  ? FileTypeBlockSpecial
                                              : FileTypeUnknown;
    const double modified = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
    return Dictionary{
        {FileSize, static_cast<uint64_t>(st.st_size)},
        {FileModificationDate, Date::fromTimeIntervalSince1970(modified)},
        {FileType, type},
        {FilePosixPermissions, static_cast<uint16_t>(st.st_mode & 07777)},
    };
}

Result<Data> FileManager::dataWithContentsOfFile(const std::string& path) const {
    // Opened without blocking, so that a FIFO without writer cannot hang
    // the caller; FIFOs, sockets and devices are refused before a read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return fileError(errno, Access::Read, path);
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        (void)::close(fd);  // read only: closing loses nothing
        return fileError(err, Access::Read, path);
    }
    if (!S_ISREG(st.st_mode)) {
        (void)::close(fd);  // read only: closing loses nothing
        return fileError(EINVAL, Access::Read, path);
    }
    if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) {
        (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);  // our open descriptor: cannot fail
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0);
    uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int err = errno;
            (void)::close(fd);  // read only: closing loses nothing
            return fileError(err, Access::Read, path);
        }
        if (n == 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    (void)::close(fd);  // read only: closing loses nothing
    return Data(std::move(bytes));
}

std::optional<Data> FileManager::contentsAtPath(const std::string& path) const {
    auto result = dataWithContentsOfFile(path);
    if (!result) {
        return std::nullopt;
    }
    return std::move(result).value();
}

ErrorPtr FileManager::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                            const Dictionary* attributes) const {
    const auto mode = requestedMode(attributes);
    // Made no wider than asked, even for a moment; chmod then gives back what
    // the umask took. A mode that cannot be set fails the call.
    const mode_t createMode = mode ? (*mode & 0777) : 0777;
    auto made = [&](const std::string& folder) { return !mode || ::chmod(folder.c_str(), *mode) == 0; };
    if (!withIntermediateDirectories) {
        if (::mkdir(path.c_str(), createMode) != 0 || !made(path)) {
            return fileError(errno, Access::Write, path);
        }
        return nullptr;
    }
    std::string prefix = path.empty() || path[0] != '/' ? "" : "/";
    std::size_t pos = 0;
    while (pos < path.size()) {
        const std::size_t end = std::min(path.find('/', pos), path.size());
        if (end > pos) {
            prefix = join(prefix, path.substr(pos, end - pos));
            if (::mkdir(prefix.c_str(), createMode) == 0) {
                if (!made(prefix)) {
                    return fileError(errno, Access::Write, path);
                }
            } else if (errno != EEXIST) {
                return fileError(errno, Access::Write, path);
            } else if (bool isDir = false; !fileExistsAtPath(prefix, &isDir) || !isDir) {
                return fileError(end == path.size() ? EEXIST : ENOTDIR, Access::Write, path);
            }
        }
        pos = end + 1;
    }
    return prefix.empty() ? fileError(ENOENT, Access::Write, path) : nullptr;
}

bool FileManager::createFileAtPath(const std::string& path, const Data& contents) const {
    return writeData(contents, path, true) == nullptr;
}

ErrorPtr FileManager::writeData(const Data& data, const std::string& path, bool atomically) const {
    if (!atomically) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            return fileError(errno, Access::Write, path);
        }
        if (!detail::writeAll(fd, data.bytes(), data.length())) {
            const int err = errno;
            (void)::close(fd);  // already failing: the first error is the one reported
            return fileError(err, Access::Write, path);
        }
        return closeChecked(fd) == 0 ? nullptr : fileError(errno, Access::Write, path);
    }
    return writeDataAtomically(data, path, true);
}

ErrorPtr FileManager::writeDataWithoutSync(const Data& data, const std::string& path) const {
    return writeDataAtomically(data, path, false);
}

ErrorPtr FileManager::writeNewFile(std::string_view bytes, const std::string& path) const {
    // O_EXCL with O_CREAT also refuses a link at path (dangling or not), and
    // O_NOFOLLOW keeps that so whatever the file system. The kernel applies
    // the umask to the mode asked for, as for a file made any other way.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        return fileError(errno, Access::Write, path);
    }
    // The writes and the close go through the file-write environment, as
    // every write of a file does (tests inject failures there).
    FileWriteEnvironment& env = FileWriteEnvironment::current();
    int err = env.writeAll(fd, bytes.data(), bytes.size()) == 0 ? 0 : errno;
    if (env.close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        (void)env.unlink(path);  // the file is this call's own: made above
        return fileError(err, Access::Write, path);
    }
    return nullptr;
}

ErrorPtr FileManager::writeDataThroughSpare(const Data& data, const std::string& path,
                                            const std::string& sparePath) const {
    struct stat existing;
    if (::lstat(path.c_str(), &existing) != 0 || !S_ISREG(existing.st_mode) ||
        parentFolder(path) != parentFolder(sparePath)) {
        return writeDataAtomically(data, path, true);
    }
    FileWriteEnvironment& env = FileWriteEnvironment::current();
    const int fd = env.openSpare(sparePath);
    if (fd < 0) {
        // Something other than a file where the spare goes (a link, a
        // folder): left alone, and the write made the usual way.
        if (errno == ELOOP || errno == EISDIR) {
            return writeDataAtomically(data, path, true);
        }
        return fileError(errno, Access::Write, path);
    }
    // The spare's old contents are overwritten, then cut to the new length:
    // its blocks are used again, so the sync writes the data without
    // freeing and allocating blocks first.
    bool ok = env.setMode(fd, existing.st_mode & 07777) == 0 &&
              env.writeAll(fd, data.bytes(), data.length()) == 0 &&
              env.truncate(fd, static_cast<off_t>(data.length())) == 0 && env.syncData(fd) == 0;
    int err = errno;
    bool swapped = false;
    if (ok) {
        swapped = env.exchange(sparePath, path) == 0;
        err = errno;
    }
    // Closing lets the next writer in; the data were synced before the swap.
    if (env.close(fd) != 0 && ok && !swapped) {
        ok = false;
        err = errno;
    }
    if (ok && !swapped) {
        if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) {
            return fileError(err, Access::Write, path);
        }
        // A file system that cannot swap: the spare is of no use there.
        (void)env.unlink(sparePath);
        return writeDataAtomically(data, path, true);
    }
    if (!ok) {
        return fileError(err, Access::Write, path);
    }
    if (env.syncDirectory(parentFolder(path)) != 0) {
        return fileError(errno, Access::Write, path);
    }
    return nullptr;
}

ErrorPtr FileManager::writeDataAtomically(const Data& data, const std::string& path, bool durably) const {
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (name.empty()) {
        return fileError(EISDIR, Access::Write, path);
    }
    const std::string folder = parentFolder(path);
    // Every call goes through the file-write environment (tests replace it
    // to inject failures and power losses). The temporary file stays locked
    // until it has been renamed, so that a clean-up of files left by killed
    // writers never removes a live one.
    FileWriteEnvironment& env = FileWriteEnvironment::current();
    std::string temp = atomicWriteTemplate(join(folder, name));
    const int fd = env.createTemporary(temp);
    if (fd < 0) {
        return fileError(errno, Access::Write, path);
    }
    struct stat existing;
    const mode_t mode =
        ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : (0666 & ~processUmask());
    bool ok = env.setMode(fd, mode) == 0 && env.writeAll(fd, data.bytes(), data.length()) == 0 &&
              (!durably || env.syncData(fd) == 0) && env.rename(temp, path) == 0;
    int err = errno;
    if (env.close(fd) != 0 && ok) {
        ok = false;  // the data was written before the rename: the new file is whole
        err = errno;
    }
    if (!ok) {
        (void)env.unlink(temp);  // best effort: a leftover is removed by removeAbandonedAtomicWriteFiles()
        return fileError(err, Access::Write, path);
    }
    // Make the rename itself durable: until then a power loss can bring the
    // old file back, so a write whose folder cannot be synced has failed.
    if (durably && env.syncDirectory(folder) != 0) {
        return fileError(errno, Access::Write, path);
    }
    return nullptr;
}

ErrorPtr FileManager::removeItemAtPath(const std::string& path) const {
    // Most items removed are files (or links): one unlink removes them, where
    // looking first walks the path twice more. A folder (EISDIR) or any other
    // failure takes the full way below, which reports as it always did.
    if (!path.empty() && ::unlink(path.c_str()) == 0) {
        return nullptr;
    }
    if (!path.empty() && errno == ENOENT) {
        // Nothing at the path (or a folder on the way missing): the look
        // below would find the same.
        return fileError(ENOENT, Access::Write, path);
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return fileError(errno, Access::Write, path);
    }
    if (const int err = detail::removeAt(AT_FDCWD, path.c_str()); err != 0) {
        return fileError(err, Access::Write, path);
    }
    return nullptr;
}

ErrorPtr FileManager::copyItemAtPath(const std::string& srcPath, const std::string& dstPath) const {
    struct stat st;
    if (::lstat(srcPath.c_str(), &st) != 0) {
        return fileError(errno, Access::Read, srcPath);
    }
    if (::lstat(dstPath.c_str(), &st) == 0) {
        return fileError(EEXIST, Access::Write, dstPath);
    }
    if (isInsideFolder(dstPath, srcPath)) {
        return fileError(EINVAL, Access::Write, dstPath);
    }
    const Failure f = copyTree(srcPath, dstPath);
    if (!f) {
        return nullptr;
    }
    // EEXIST means someone else created dstPath meanwhile: it is not ours.
    if (f.err != EEXIST) {
        detail::removeAt(AT_FDCWD, dstPath.c_str());
    }
    return fileError(f.err, f.access, f.access == Access::Read ? srcPath : dstPath);
}

ErrorPtr FileManager::moveItemAtPath(const std::string& srcPath, const std::string& dstPath) const {
    const int err = renameWithoutReplacing(srcPath, dstPath);
    if (err == 0) {
        return nullptr;
    }
    // A source that is not there is reported as such, whatever the rename
    // tripped on first (another file system is found before a missing name).
    struct stat st;
    if (::lstat(srcPath.c_str(), &st) != 0) {
        return fileError(errno, Access::Write, srcPath);
    }
    if (err != EXDEV) {
        return fileError(err, Access::Write, err == EEXIST ? dstPath : srcPath);
    }
    if (ErrorPtr copyError = copyItemAtPath(srcPath, dstPath)) {
        return copyError;
    }
    // The copy is complete; if the original cannot go, both remain.
    return removeItemAtPath(srcPath);
}

namespace {

ErrorPtr unsupportedScheme(const URL& url, Access access) {
    return Error::make(
        CocoaErrorDomain,
        access == Access::Read ? FileReadUnsupportedSchemeError : FileWriteUnsupportedSchemeError,
        Dictionary{{URLErrorKey, url.absoluteString()}});
}

}  // namespace

ErrorPtr FileManager::createDirectoryAtURL(const URL& url, bool withIntermediateDirectories,
                                           const Dictionary* attributes) const {
    if (!url.isFileURL()) {
        return unsupportedScheme(url, Access::Write);
    }
    return createDirectoryAtPath(url.path(), withIntermediateDirectories, attributes);
}

ErrorPtr FileManager::removeItemAtURL(const URL& url) const {
    return url.isFileURL() ? removeItemAtPath(url.path()) : unsupportedScheme(url, Access::Write);
}

ErrorPtr FileManager::copyItemAtURL(const URL& srcURL, const URL& dstURL) const {
    if (!srcURL.isFileURL()) {
        return unsupportedScheme(srcURL, Access::Read);
    }
    return dstURL.isFileURL() ? copyItemAtPath(srcURL.path(), dstURL.path())
                              : unsupportedScheme(dstURL, Access::Write);
}

ErrorPtr FileManager::moveItemAtURL(const URL& srcURL, const URL& dstURL) const {
    if (!srcURL.isFileURL()) {
        return unsupportedScheme(srcURL, Access::Write);
    }
    return dstURL.isFileURL() ? moveItemAtPath(srcURL.path(), dstURL.path())
                              : unsupportedScheme(dstURL, Access::Write);
}

std::vector<URL> FileManager::URLsForDirectory(SearchPathDirectory directory, unsigned domainMask) const {
    std::vector<URL> urls;
    for (const auto& path : searchPathsForDirectory(directory, domainMask)) {
        urls.push_back(URL::fileURLWithPath(path, true));
    }
    return urls;
}

std::optional<std::string> FileManager::env(const char* name) const {
    if (environment_) {
        auto it = environment_->find(name);
        return it == environment_->end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::string FileManager::homeDirectory() const {
    if (auto home = env("HOME"); home && !home->empty()) {
        return withoutTrailingSlashes(*home);
    }
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        return withoutTrailingSlashes(found->pw_dir);
    }
    return "/";
}

std::string FileManager::xdgFolder(const char* variable, const char* fallbackInHome) const {
    // Relative values are invalid by the XDG rules and are ignored.
    std::string folder = join(homeDirectory(), fallbackInHome);
    if (auto value = env(variable); value && !value->empty() && (*value)[0] == '/') {
        folder = withoutTrailingSlashes(*value);
    }
    const Dictionary privateMode{{FilePosixPermissions, 0700}};
    // A path lookup, not a write: when the folder cannot be made, the caller's
    // own write into it fails and reports why.
    (void)createDirectoryAtPath(folder, true, &privateMode);
    return folder;
}

std::vector<std::string> FileManager::searchPathsForDirectory(SearchPathDirectory directory,
                                                              unsigned domainMask) const {
    using D = SearchPathDirectory;
    std::vector<std::string> paths;
    if (domainMask & UserDomainMask) {
        switch (directory) {
            case D::ApplicationSupportDirectory:
            case D::LibraryDirectory:
                paths.push_back(xdgFolder("XDG_DATA_HOME", ".local/share"));
                break;
            case D::CachesDirectory:
                paths.push_back(xdgFolder("XDG_CACHE_HOME", ".cache"));
                break;
            case D::PreferencesDirectory:
                paths.push_back(xdgFolder("XDG_CONFIG_HOME", ".config"));
                break;
            case D::DocumentDirectory:
                paths.push_back(join(homeDirectory(), "Documents"));
                break;
            case D::DownloadsDirectory:
                paths.push_back(join(homeDirectory(), "Downloads"));
                break;
            case D::DesktopDirectory:
                paths.push_back(join(homeDirectory(), "Desktop"));
                break;
            case D::MoviesDirectory:
                paths.push_back(join(homeDirectory(), "Videos"));
                break;
            case D::MusicDirectory:
                paths.push_back(join(homeDirectory(), "Music"));
                break;
            case D::PicturesDirectory:
                paths.push_back(join(homeDirectory(), "Pictures"));
                break;
        }
    }
    const bool shared = directory == D::ApplicationSupportDirectory || directory == D::LibraryDirectory;
    if (shared && (domainMask & LocalDomainMask)) {
        paths.emplace_back("/usr/local/share");
    }
    if (shared && (domainMask & SystemDomainMask)) {
        paths.emplace_back("/usr/share");
    }
    return paths;
}

std::string FileManager::temporaryDirectory() const {
    std::string base = "/tmp";
    if (auto tmpdir = env("TMPDIR"); tmpdir && !tmpdir->empty() && (*tmpdir)[0] == '/') {
        base = withoutTrailingSlashes(*tmpdir);
    }
    const std::string name = join(base, "kestrel-" + std::to_string(::geteuid()));
    if (::mkdir(name.c_str(), 0700) == 0) {
        (void)::chmod(name.c_str(), 0700);  // whatever the umask
        return name;
    }
    if (errno == EEXIST && isPrivateFolder(name)) {
        return name;
    }
    return fallbackPrivateFolder(base, name);
}

ErrorPtr fileErrorWithPOSIXError(int posixError, bool reading, const std::string& path) {
    return fileError(posixError, reading ? Access::Read : Access::Write, path);
}

// --- Directory enumerator ------------------------------------------------------

namespace {

// The sorted entry names of a folder; nullopt when it cannot be read.
std::optional<std::vector<std::string>> sortedEntries(const std::string& path) {
    std::vector<std::string> names;
    if (detail::namesAtPath(path.c_str(), names) != 0) {
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

DirectoryEnumerator::DirectoryEnumerator(std::string root, std::vector<std::string> names)
    : root_(std::move(root)) {
    stack_.push_back(Folder{"", std::move(names), 0});
}

std::optional<std::string> DirectoryEnumerator::nextObject() {
    if (currentIsFolder_ && !skip_) {
        if (auto names = sortedEntries(join(root_, current_))) {
            stack_.push_back(Folder{current_, std::move(*names), 0});
        }
    }
    currentIsFolder_ = false;
    skip_ = false;
    while (!stack_.empty() && stack_.back().next == stack_.back().names.size()) {
        stack_.pop_back();
    }
    if (stack_.empty()) {
        attributes_ = Dictionary();
        level_ = 0;
        return std::nullopt;
    }
    Folder& folder = stack_.back();
    const std::string& name = folder.names[folder.next++];
    current_ = folder.relative.empty() ? name : folder.relative + "/" + name;
    level_ = stack_.size();
    auto attributes = FileManager().attributesOfItemAtPath(join(root_, current_));
    attributes_ = attributes ? std::move(attributes).value() : Dictionary();
    const Value* type = attributes_.find(FileType);
    currentIsFolder_ = type && type->asString() && *type->asString() == FileTypeDirectory;
    return current_;
}

std::optional<DirectoryEnumerator> FileManager::enumeratorAtPath(const std::string& path) const {
    auto names = sortedEntries(path);
    if (!names) {
        return std::nullopt;
    }
    return DirectoryEnumerator(path, std::move(*names));
}

std::optional<DirectoryEnumerator> FileManager::enumeratorAtURL(const URL& url) const {
    if (!url.isFileURL()) {
        return std::nullopt;
    }
    return enumeratorAtPath(url.path());
}

namespace {

// The account name of a user from the user database, kept for the process
// once found: each look-up reads the name-service configuration and the
// account files again, and a user's account name does not change under a
// running process. Keyed by the user id, so a process that changes its
// effective user looks the new one up; a failed look-up is not kept.
std::optional<std::string> accountNameOf(uid_t uid) {
    static Mutex mutex;
    static auto* known = new std::unordered_map<uid_t, std::string>();  // outlives every thread's last call
    {
        MutexLock lock(mutex);
        if (auto found = known->find(uid); found != known->end()) {
            return found->second;
        }
    }
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_name == nullptr || found->pw_name[0] == '\0') {
        return std::nullopt;
    }
    std::string name = found->pw_name;
    MutexLock lock(mutex);
    known->emplace(uid, name);
    return name;
}

}  // namespace

std::string FileManager::userName() const {
    if (environment_) {
        if (auto user = env("USER"); user && !user->empty()) {
            return *user;
        }
    }
    if (auto name = accountNameOf(::geteuid())) {
        return *name;
    }
    if (auto user = env("USER"); user && !user->empty()) {
        return *user;
    }
    return std::to_string(::geteuid());
}

ErrorPtr FileManager::setExcludedFromBackup(const URL& url, bool /*excluded*/) const {
    if (!url.isFileURL()) {
        return unsupportedScheme(url, Access::Write);
    }
    struct stat st;
    if (::lstat(url.path().c_str(), &st) != 0) {
        return fileError(errno, Access::Write, url.path());
    }
    return nullptr;
}

}  // namespace plat
