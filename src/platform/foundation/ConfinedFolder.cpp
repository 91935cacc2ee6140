#include "platform/foundation/ConfinedFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/detail/DirectoryEntries.h"

namespace plat {

namespace {

std::atomic<bool> usesResolveBeneath_{true};
// Set once a call found that the kernel (or a sandbox) has no openat2.
std::atomic<bool> kernelLacksOpenat2_{false};

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            (void)::close(fd_);  // writers close() themselves and check it
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

// The components of a relative path; nullopt for ".", ".." or a NUL byte.
std::optional<std::vector<std::string>> componentsOf(const std::string& relative) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) {
            end = relative.size();
        }
        std::string component = relative.substr(start, end - start);
        if (component == "." || component == ".." || component.find('\0') != std::string::npos) {
            return std::nullopt;
        }
        if (!component.empty()) {
            components.push_back(std::move(component));
        }
        start = end + 1;
    }
    return components;
}

FolderItemKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) {
        return FolderItemKind::Regular;
    }
    if (S_ISDIR(mode)) {
        return FolderItemKind::Directory;
    }
    if (S_ISLNK(mode)) {
        return FolderItemKind::SymbolicLink;
    }
    return FolderItemKind::Special;
}

const char* reasonForKind(FolderItemKind kind) {
    switch (kind) {
        case FolderItemKind::SymbolicLink:
            return "is a symbolic link";
        case FolderItemKind::Directory:
            return "is a folder, not a file";
        case FolderItemKind::Special:
            return "is a special file (FIFO, socket or device)";
        default:
            return "is not a regular file";
    }
}

ErrorPtr refusal(int err, bool reading, const std::string& path, const std::string& reason) {
    auto base = fileErrorWithPOSIXError(err, reading, path);
    Dictionary info = base->userInfo();
    info.set(FolderItemRefusalReasonKey, Value(reason));
    info.set(LocalizedDescriptionKey, Value(path + " " + reason));
    return Error::make(base->domain(), base->code(), std::move(info));
}

ErrorPtr tooLarge(const std::string& path, uint64_t maxLength) {
    return refusal(EFBIG, true, path, "is larger than " + std::to_string(maxLength) + " bytes");
}

ErrorPtr posixError(int err, bool reading, const std::string& path) {
    if (err == ELOOP) {
        return refusal(err, reading, path, "lies behind a symbolic link");
    }
    return fileErrorWithPOSIXError(err, reading, path);
}

long openat2Call(int dirfd, const char* path, uint64_t flags) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
}

// Opens the folder made of the components below rootFd; the descriptor or
// the errno.
int openFolderBeneath(int rootFd, const std::vector<std::string>& components, std::size_t count) {
    if (count == 0) {
        const int fd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
        return fd >= 0 ? fd : -errno;
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    if (usesResolveBeneath_.load() && !kernelLacksOpenat2_.load()) {
        std::string path;
        for (std::size_t i = 0; i < count; ++i) {
            path += (i ? "/" : "") + components[i];
        }
        for (;;) {
            const long fd = openat2Call(rootFd, path.c_str(), static_cast<uint64_t>(flags));
            if (fd >= 0) {
                return static_cast<int>(fd);
            }
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            if (errno == ENOSYS || errno == EPERM) {
                kernelLacksOpenat2_ = true;
            }
            // The walk below names the cause precisely (a link on the way).
            break;
        }
    }
    Descriptor current(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!current.valid()) {
        return -errno;
    }
    for (std::size_t i = 0; i < count; ++i) {
        Descriptor next(::openat(current.get(), components[i].c_str(), flags));
        if (!next.valid()) {
            const int err = errno;
            struct stat st;
            if ((err == ENOTDIR || err == ELOOP) &&
                ::fstatat(current.get(), components[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                return -ELOOP;
            }
            return -err;
        }
        current = std::move(next);
    }
    return current.release();
}

// A folder of the confined tree, opened, with the last component's name.
struct Parent {
    Descriptor fd;
    std::string name;  // empty when the path names the root itself
};

int closeAndKeepErrno(Descriptor& fd) {
    const int err = errno;
    fd.reset();
    return err;
}

using detail::entryNames;

using detail::writeAll;

// Copies at most maxLength bytes from in to out; EFBIG when there are more
// (the file grew after it was checked).
int copyBytes(int in, int out, uint64_t maxLength) {
    // Not zero-filled: read() fills what is used, and files copied in a
    // merge are mostly far smaller than the buffer.
    constexpr std::size_t kBufferSize = std::size_t{1} << 16;
    const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kBufferSize);
    uint64_t copied = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer.get(), kBufferSize);
        if (n < 0 && (errno == EINTR)) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        copied += static_cast<uint64_t>(n);
        if (copied > maxLength) {
            return EFBIG;
        }
        if (!writeAll(out, buffer.get(), static_cast<std::size_t>(n))) {
            return errno;
        }
    }
}

// Opens a regular file at (dirFd, name) for reading without following a
// link and without blocking; the descriptor and its size, or the error.
Result<std::pair<int, uint64_t>> openRegularAt(int dirFd, const std::string& name, const std::string& path,
                                               uint64_t maxLength) {
    Descriptor fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        const int err = errno;
        if (err == ELOOP || err == ENXIO || err == ENODEV) {
            // A link (O_NOFOLLOW) or a socket or device that cannot be opened:
            // say which from the entry itself.
            struct stat st;
            if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                return refusal(err, true, path, reasonForKind(kindOf(st.st_mode)));
            }
        }
        return posixError(err, true, path);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        return fileErrorWithPOSIXError(closeAndKeepErrno(fd), true, path);
    }
    if (!S_ISREG(st.st_mode)) {
        return refusal(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, true, path, reasonForKind(kindOf(st.st_mode)));
    }
    if (static_cast<uint64_t>(st.st_size) > maxLength) {
        return tooLarge(path, maxLength);
    }
    // Reads of a regular file never block; blocking mode keeps reads whole.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);  // our open descriptor: cannot fail
    }
    return std::make_pair(fd.release(), static_cast<uint64_t>(st.st_size));
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates a hidden temporary file in dirFd with exactly `mode`; its name.
Result<std::pair<int, std::string>> createTemporaryAt(int dirFd, const std::string& pathForErrors,
                                                      mode_t mode) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = ".tmp-" + ProcessInfo::processInfo().globallyUniqueString();
        const int fd =
            ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            if (::fchmod(fd, mode & 0777) != 0) {
                const int err = errno;
                (void)::close(fd);  // already failing: the first error is the one reported
                (void)::unlinkat(dirFd, name.c_str(), 0);  // our own fresh file
                return fileErrorWithPOSIXError(err, false, pathForErrors);
            }
            return std::make_pair(fd, std::move(name));
        }
        if (errno != EEXIST) {
            return fileErrorWithPOSIXError(errno, false, pathForErrors);
        }
    }
    return fileErrorWithPOSIXError(EEXIST, false, pathForErrors);
}

int renameNoReplace(int dirFd, const std::string& from, const std::string& to, bool replace) {
    if (replace) {
        return ::renameat(dirFd, from.c_str(), dirFd, to.c_str()) == 0 ? 0 : errno;
    }
    if (::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // File systems without RENAME_NOREPLACE: a hard link never replaces.
    if (::linkat(dirFd, from.c_str(), dirFd, to.c_str(), 0) == 0) {
        if (::unlinkat(dirFd, from.c_str(), 0) == 0) {
            return 0;
        }
        // Not moved after all: take the new name back, report the failure.
        const int err = errno;
        (void)::unlinkat(dirFd, to.c_str(), 0);  // the link just made: ours to remove
        return err;
    }
    return errno;
}

// Copies what the folder srcFd holds into the empty folder dstFd: folders
// and regular files of at most maxLength bytes; links and special files are
// left out, never followed or recreated. 0 or the errno (EFBIG: too large).
int copyFolderContents(int srcFd, int dstFd, uint64_t maxLength, mode_t fileMode, mode_t folderMode,
                       int depth = 0) {
    if (depth > 64) {
        return ELOOP;
    }
    int err = 0;
    auto names = entryNames(srcFd, &err);
    for (std::size_t i = 0; err == 0 && i < names.size(); ++i) {
        const char* name = names[i].c_str();
        struct stat st;
        if (::fstatat(srcFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // vanished meanwhile
        }
        if (S_ISREG(st.st_mode)) {
            auto opened = openRegularAt(srcFd, names[i], names[i], maxLength);
            if (!opened.ok()) {
                auto reason = folderItemRefusalReason(opened.error());
                if (reason && reason->find("larger") != std::string::npos) {
                    err = EFBIG;
                }
                continue;  // replaced by a link or special file meanwhile: left out
            }
            Descriptor in(opened->first);
            Descriptor out(::openat(dstFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!out.valid() || ::fchmod(out.get(), fileMode & 0777) != 0) {
                err = errno;
                break;
            }
            err = copyBytes(in.get(), out.get(), maxLength);
            if (err == 0 && ::close(out.release()) != 0 && errno != EINTR) {
                err = errno;
            }
        } else if (S_ISDIR(st.st_mode)) {
            Descriptor from(::openat(srcFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!from.valid()) {
                continue;
            }
            if (::mkdirat(dstFd, name, 0700) != 0) {
                err = errno;
                break;
            }
            Descriptor to(::openat(dstFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!to.valid()) {
                err = errno;
                break;
            }
            err = copyFolderContents(from.get(), to.get(), maxLength, fileMode, folderMode, depth + 1);
            if (err == 0 && ::fchmod(to.get(), folderMode & 0777) != 0) {
                err = errno;
            }
        }
    }
    return err;
}

}  // namespace

std::optional<std::string> folderItemRefusalReason(const ErrorPtr& error) {
    if (!error) {
        return std::nullopt;
    }
    if (const Value* reason = error->userInfo().find(FolderItemRefusalReasonKey)) {
        if (auto text = reason->asString()) {
            return *text;
        }
    }
    return std::nullopt;
}

void ConfinedFolder::setUsesResolveBeneath(bool uses) {
    usesResolveBeneath_ = uses;
}

bool ConfinedFolder::usesResolveBeneath() {
    return usesResolveBeneath_.load() && !kernelLacksOpenat2_.load();
}

ConfinedFolder::ConfinedFolder(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') {
        root_.pop_back();
    }
}

namespace {

std::string display(const std::string& root, const std::string& relative) {
    std::string path = root;
    if (!relative.empty() && relative.front() != '/') {
        path += '/';
    }
    return path + relative;
}

// Opens the folder that holds the path's last component (or the root for the
// root itself); an error for a refused path or a folder that cannot be
// walked.
Result<Parent> openParent(const std::string& root, const std::string& relative, bool reading) {
    // The path as shown in errors is made only for an error.
    auto components = componentsOf(relative);
    if (!components) {
        return fileErrorWithPOSIXError(EINVAL, reading, display(root, relative));
    }
    Descriptor rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) {
        return fileErrorWithPOSIXError(errno, reading, root);
    }
    Parent parent;
    if (components->empty()) {
        parent.fd = std::move(rootFd);
        return parent;
    }
    const int fd = openFolderBeneath(rootFd.get(), *components, components->size() - 1);
    if (fd < 0) {
        return posixError(-fd, reading, display(root, relative));
    }
    parent.fd = Descriptor(fd);
    parent.name = components->back();
    return parent;
}

}  // namespace

Result<FolderItem> ConfinedFolder::itemAtPath(const std::string& relative) const {
    auto parent = openParent(root_, relative, true);
    if (!parent.ok()) {
        if (isNoSuchFileError(parent.error())) {
            return FolderItem{};
        }
        return parent.error();
    }
    FolderItem item;
    item.name = parent->name;
    struct stat st;
    const char* name = parent->name.empty() ? "." : parent->name.c_str();
    if (::fstatat(parent->fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return item;
        }
        return fileErrorWithPOSIXError(errno, true, display(root_, relative));
    }
    item.kind = kindOf(st.st_mode);
    item.size = item.kind == FolderItemKind::Regular ? static_cast<uint64_t>(st.st_size) : 0;
    return item;
}

Result<std::vector<FolderItem>> ConfinedFolder::contentsOfDirectory(const std::string& relative) const {
    return contentsOfDirectory(relative, KeptFileSize());
}

namespace {

// The kind a folder's entry type names; Missing for DT_UNKNOWN.
FolderItemKind kindOfEntry(unsigned char type) {
    switch (type) {
        case DT_REG:
            return FolderItemKind::Regular;
        case DT_DIR:
            return FolderItemKind::Directory;
        case DT_LNK:
            return FolderItemKind::SymbolicLink;
        case DT_UNKNOWN:
            return FolderItemKind::Missing;
        default:
            return FolderItemKind::Special;
    }
}

// The relative path's components joined by single slashes, when none is
// "." or ".." and it has no NUL byte and at least one component; nullopt
// otherwise (componentsOf then says what is wrong).
std::optional<std::string> plainRelativePath(std::string_view relative) {
    std::string path;
    path.reserve(relative.size());
    while (!relative.empty()) {
        const std::size_t slash = std::min(relative.find('/'), relative.size());
        const std::string_view component = relative.substr(0, slash);
        if (component == "." || component == ".." || component.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        if (!component.empty()) {
            path.append(path.empty() ? "" : "/").append(component);
        }
        relative.remove_prefix(std::min(slash + 1, relative.size()));
    }
    if (path.empty()) {
        return std::nullopt;
    }
    return path;
}

// Opens the folder at the plain relative path in one call (openat2,
// resolving beneath the root without links) where the kernel has it; an
// invalid descriptor otherwise or when that fails, so the caller takes the
// walk that reports the cause as it always did.
Descriptor openFolderInOneCall(int rootFd, const std::string& path) {
    if (!usesResolveBeneath_.load() || kernelLacksOpenat2_.load()) {
        return Descriptor();
    }
    for (;;) {
        const long fd = openat2Call(rootFd, path.c_str(),
                                    static_cast<uint64_t>(O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd >= 0) {
            return Descriptor(static_cast<int>(fd));
        }
        if (errno == EINTR || errno == EAGAIN) {
            continue;
        }
        if (errno == ENOSYS || errno == EPERM) {
            kernelLacksOpenat2_ = true;
        }
        return Descriptor();
    }
}

}  // namespace

Result<std::vector<FolderItem>> ConfinedFolder::contentsOfDirectory(const std::string& relative,
                                                                    const KeptFileSize& keptSize) const {
    // Listings are frequent and rarely fail: the path shown in errors is
    // made only for an error.
    Descriptor folder;
    if (auto path = plainRelativePath(relative); path && usesResolveBeneath()) {
        // The folder itself in one open: its parent is of no use here.
        Descriptor rootFd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (rootFd.valid()) {
            folder = openFolderInOneCall(rootFd.get(), *path);
        }
    }
    if (!folder.valid()) {
        auto parent = openParent(root_, relative, true);
        if (!parent.ok()) {
            return parent.error();
        }
        if (parent->name.empty()) {
            folder = std::move(parent->fd);
        } else {
            folder = Descriptor(::openat(parent->fd.get(), parent->name.c_str(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!folder.valid()) {
                const int openError = errno;  // before the path is made
                return posixError(openError, true, display(root_, relative));
            }
        }
    }
    int err = 0;
    auto entries = detail::directoryEntries(folder.get(), &err);
    if (err != 0) {
        return fileErrorWithPOSIXError(err, true, display(root_, relative));
    }
    // In name order, sorted as views of the names with their places: moving
    // the entries themselves (a string each) while sorting costs more than
    // comparing them. No two entries of a folder share a name.
    std::vector<std::pair<std::string_view, std::size_t>> order;
    order.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        order.emplace_back(entries[i].name, i);
    }
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<FolderItem> items;
    items.reserve(entries.size());
    for (const auto& placed : order) {
        auto& entry = entries[placed.second];
        FolderItem item;
        item.kind = kindOfEntry(entry.type);
        item.inode = entry.inode;
        if (item.kind == FolderItemKind::Regular && keptSize) {
            if (auto size = keptSize(entry.name, entry.inode)) {
                item.size = *size;
                item.name = std::move(entry.name);
                items.push_back(std::move(item));
                continue;
            }
        }
        if (item.kind == FolderItemKind::Regular || item.kind == FolderItemKind::Missing) {
            struct stat st;
            if (::fstatat(folder.get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;  // vanished meanwhile
            }
            item.kind = kindOf(st.st_mode);
            item.size = item.kind == FolderItemKind::Regular ? static_cast<uint64_t>(st.st_size) : 0;
        }
        item.name = std::move(entry.name);
        items.push_back(std::move(item));
    }
    return items;
}

ErrorPtr ConfinedFolder::createDirectory(const std::string& relative, mode_t mode) const {
    auto parent = openParent(root_, relative, false);
    if (!parent.ok()) {
        return parent.error();
    }
    const std::string shown = display(root_, relative);
    if (parent->name.empty()) {
        return fileErrorWithPOSIXError(EEXIST, false, shown);
    }
    if (::mkdirat(parent->fd.get(), parent->name.c_str(), 0700) != 0) {
        return fileErrorWithPOSIXError(errno, false, shown);
    }
    // The mode is ours, whatever the umask: opened again without following
    // links, in case something replaced the new folder meanwhile.
    Descriptor made(
        ::openat(parent->fd.get(), parent->name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.valid() || ::fchmod(made.get(), mode & 0777) != 0) {
        return fileErrorWithPOSIXError(errno, false, shown);
    }
    return nullptr;
}

ErrorPtr ConfinedFolder::removeItem(const std::string& relative) const {
    auto parent = openParent(root_, relative, false);
    if (!parent.ok()) {
        return parent.error();
    }
    const std::string shown = display(root_, relative);
    if (parent->name.empty()) {
        return fileErrorWithPOSIXError(EINVAL, false, shown);  // never the root itself
    }
    struct stat st;
    if (::fstatat(parent->fd.get(), parent->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return fileErrorWithPOSIXError(errno, false, shown);
    }
    if (const int err = detail::removeAt(parent->fd.get(), parent->name.c_str()); err != 0) {
        return fileErrorWithPOSIXError(err, false, shown);
    }
    return nullptr;
}

Result<Data> ConfinedFolder::readFile(const std::string& relative, uint64_t maxLength) const {
    const std::string shown = display(root_, relative);
    auto parent = openParent(root_, relative, true);
    if (!parent.ok()) {
        return parent.error();
    }
    if (parent->name.empty()) {
        return refusal(EISDIR, true, shown, reasonForKind(FolderItemKind::Directory));
    }
    auto opened = openRegularAt(parent->fd.get(), parent->name, shown, maxLength);
    if (!opened.ok()) {
        return opened.error();
    }
    Descriptor fd(opened->first);
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(opened->second));
    uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fileErrorWithPOSIXError(errno, true, shown);
        }
        if (n == 0) {
            break;
        }
        if (bytes.size() + static_cast<std::size_t>(n) > maxLength) {
            return tooLarge(shown, maxLength);
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return Data(std::move(bytes));
}

ErrorPtr ConfinedFolder::copyFileOut(const std::string& relative, const std::string& localPath,
                                     uint64_t maxLength, mode_t mode) const {
    const std::string shown = display(root_, relative);
    auto parent = openParent(root_, relative, true);
    if (!parent.ok()) {
        return parent.error();
    }
    if (parent->name.empty()) {
        return refusal(EISDIR, true, shown, reasonForKind(FolderItemKind::Directory));
    }
    struct stat st;
    if (::fstatat(parent->fd.get(), parent->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode)) {
        Descriptor from(::openat(parent->fd.get(), parent->name.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!from.valid()) {
            return posixError(errno, true, shown);
        }
        if (::mkdir(localPath.c_str(), 0700) != 0) {
            return fileErrorWithPOSIXError(errno, false, localPath);
        }
        Descriptor to(::open(localPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        int err =
            to.valid() ? copyFolderContents(from.get(), to.get(), maxLength, mode, PrivateFolderMode) : errno;
        if (err == 0 && ::fchmod(to.get(), PrivateFolderMode) != 0) {
            err = errno;
        }
        if (err != 0) {
            to.reset();
            detail::removeAt(AT_FDCWD, localPath.c_str());
            return err == EFBIG ? tooLarge(shown, maxLength) : fileErrorWithPOSIXError(err, false, localPath);
        }
        return nullptr;
    }
    auto opened = openRegularAt(parent->fd.get(), parent->name, shown, maxLength);
    if (!opened.ok()) {
        return opened.error();
    }
    Descriptor in(opened->first);
    Descriptor out(::open(localPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        return fileErrorWithPOSIXError(errno, false, localPath);
    }
    int err = ::fchmod(out.get(), mode & 0777) == 0 ? 0 : errno;
    if (err == 0) {
        err = copyBytes(in.get(), out.get(), maxLength);
    }
    if (err == 0 && ::close(out.release()) != 0 && errno != EINTR) {
        err = errno;
    }
    if (err != 0) {
        out.reset();
        (void)::unlink(localPath.c_str());  // best effort: the copy failed and is reported
        return err == EFBIG ? tooLarge(shown, maxLength) : fileErrorWithPOSIXError(err, false, localPath);
    }
    return nullptr;
}

ErrorPtr ConfinedFolder::copyFileIn(const std::string& localPath, const std::string& relative, bool replace,
                                    mode_t mode) const {
    const std::string shown = display(root_, relative);
    auto parent = openParent(root_, relative, false);
    if (!parent.ok()) {
        return parent.error();
    }
    if (parent->name.empty()) {
        return fileErrorWithPOSIXError(EISDIR, false, shown);
    }
    struct stat existing;
    const bool exists =
        ::fstatat(parent->fd.get(), parent->name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (!replace && exists) {
        return fileErrorWithPOSIXError(EEXIST, false, shown);
    }
    Descriptor localFolder(::open(folderOf(localPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat local;
    if (localFolder.valid() &&
        ::fstatat(localFolder.get(), lastComponent(localPath).c_str(), &local, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(local.st_mode)) {
        // A folder: its folders and regular files, under a hidden name first.
        Descriptor from(::openat(localFolder.get(), lastComponent(localPath).c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const std::string name = ".tmp-" + ProcessInfo::processInfo().globallyUniqueString();
        if (!from.valid() || ::mkdirat(parent->fd.get(), name.c_str(), 0700) != 0) {
            return fileErrorWithPOSIXError(errno, false, shown);
        }
        Descriptor to(
            ::openat(parent->fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        int err = to.valid() ? copyFolderContents(from.get(), to.get(), UINT64_MAX, mode, PrivateFolderMode)
                             : errno;
        if (err == 0 && ::fchmod(to.get(), PrivateFolderMode) != 0) {
            err = errno;
        }
        if (err == 0 && replace && exists && S_ISDIR(existing.st_mode)) {
            err = detail::removeAt(parent->fd.get(), parent->name.c_str());
        }
        if (err == 0) {
            err = renameNoReplace(parent->fd.get(), name, parent->name, replace);
        }
        if (err != 0) {
            detail::removeAt(parent->fd.get(), name.c_str());
            return fileErrorWithPOSIXError(err, false, err == EEXIST ? shown : localPath);
        }
        return nullptr;
    }
    auto opened = openRegularFileForReading(localPath, UINT64_MAX);
    if (!opened.ok()) {
        return opened.error();
    }
    Descriptor in(opened->first);
    auto temporary = createTemporaryAt(parent->fd.get(), shown, mode);
    if (!temporary.ok()) {
        return temporary.error();
    }
    Descriptor out(temporary->first);
    const std::string& name = temporary->second;
    int err = copyBytes(in.get(), out.get(), UINT64_MAX);
    if (err == 0 && ::close(out.release()) != 0 && errno != EINTR) {
        err = errno;
    }
    if (err == 0) {
        err = renameNoReplace(parent->fd.get(), name, parent->name, replace);
    }
    if (err != 0) {
        out.reset();
        (void)::unlinkat(parent->fd.get(), name.c_str(), 0);  // best effort: the copy failed and is reported
        return fileErrorWithPOSIXError(err, false, err == EEXIST ? shown : localPath);
    }
    return nullptr;
}

ErrorPtr ConfinedFolder::moveFileIn(const std::string& localPath, const std::string& relative,
                                    mode_t mode) const {
    const std::string shown = display(root_, relative);
    auto parent = openParent(root_, relative, false);
    if (!parent.ok()) {
        return parent.error();
    }
    if (parent->name.empty()) {
        return fileErrorWithPOSIXError(EISDIR, false, shown);
    }
    // The local file by its whole path, as copyFileIn opens it; a path
    // ending in "/" names no file and is left to the copy.
    Descriptor file(!localPath.empty() && localPath.back() != '/'
                        ? ::open(localPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)
                        : -1);
    struct stat st;
    // A file with another link would leave a name outside the folder that
    // still writes into it; one of another user's is not ours to give away.
    if (file.valid() && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        st.st_uid == ::geteuid() &&
        ((st.st_mode & 07777) == (mode & 0777) || ::fchmod(file.get(), mode & 0777) == 0)) {
        if (::renameat2(AT_FDCWD, localPath.c_str(), parent->fd.get(), parent->name.c_str(),
                        RENAME_NOREPLACE) == 0) {
            struct stat moved;
            if (::fstatat(parent->fd.get(), parent->name.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
                moved.st_dev == st.st_dev && moved.st_ino == st.st_ino) {
                return nullptr;
            }
            // Something took the local name between the check and the
            // rename: put it back, and copy (which refuses what is not a
            // regular file).
            (void)::renameat2(parent->fd.get(), parent->name.c_str(), AT_FDCWD, localPath.c_str(),
                              RENAME_NOREPLACE);  // best effort: the copy reports what is wrong
        } else if (errno == EEXIST) {
            return fileErrorWithPOSIXError(EEXIST, false, shown);
        }
        // Other file systems (EXDEV), or no RENAME_NOREPLACE: copied.
    }
    return copyFileIn(localPath, relative, false, mode);
}

ErrorPtr ConfinedFolder::linkFileOut(const std::string& relative, const std::string& localPath,
                                     uint64_t maxLength, mode_t mode) const {
    const std::string shown = display(root_, relative);
    auto parent = openParent(root_, relative, true);
    if (!parent.ok()) {
        return parent.error();
    }
    if (!parent->name.empty()) {
        // Linked first, then the new name is looked at: it is ours (the local
        // folder is the caller's), so what it holds cannot change between
        // the look and the use, and the look is at the very file linked
        // (linkat without AT_SYMLINK_FOLLOW links whatever the name holds).
        // Only this user can change a file of theirs with no write bit for
        // others; a file of another mode or owner, or anything but a regular
        // file within the limit, is unlinked again and taken the way below.
        if (::linkat(parent->fd.get(), parent->name.c_str(), AT_FDCWD, localPath.c_str(), 0) == 0) {
            struct stat linked;
            if (::lstat(localPath.c_str(), &linked) == 0 && S_ISREG(linked.st_mode) &&
                static_cast<uint64_t>(linked.st_size) <= maxLength && linked.st_uid == ::geteuid() &&
                (linked.st_mode & 07777) == (mode & 07777)) {
                return nullptr;
            }
            (void)::unlink(localPath.c_str());  // the link just made: ours to remove
        } else if (errno == EEXIST) {
            return fileErrorWithPOSIXError(EEXIST, false, localPath);
        }
        // Other file systems (EXDEV), links refused (EPERM, EMLINK), files
        // that may not be shared: refused as a read refuses them, or copied.
        auto opened = openRegularAt(parent->fd.get(), parent->name, shown, maxLength);
        if (!opened.ok()) {
            return opened.error();
        }
        Descriptor(opened->first).reset();
    }
    return copyFileOut(relative, localPath, maxLength, mode);
}

Result<std::pair<int, uint64_t>> openRegularFileForReading(const std::string& path, uint64_t maxLength) {
    if (!path.empty() && path.back() != '/') {
        // The file by its whole path: O_NOFOLLOW guards the last component,
        // as it does below, and the folders on the way resolve as an open of
        // the folder resolves them.
        return openRegularAt(AT_FDCWD, path, path, maxLength);
    }
    Descriptor folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        return fileErrorWithPOSIXError(errno, true, path);
    }
    return openRegularAt(folder.get(), lastComponent(path), path, maxLength);
}

}  // namespace plat
