#include "platform/foundation/FileWriteEnvironment.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace plat {
namespace {

std::atomic<FileWriteEnvironment*> replaced{nullptr};

}  // namespace

int FileWriteEnvironment::createTemporary(std::string& pathTemplate) {
    const int fd = ::mkostemp(pathTemplate.data(), O_CLOEXEC);
    if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) {
        const int err = errno;
        (void)::close(fd);                     // already failing: the first error is the one reported
        (void)::unlink(pathTemplate.c_str());  // our own fresh file
        errno = err;
        return -1;
    }
    return fd;
}

int FileWriteEnvironment::setMode(int fd, mode_t mode) {
    return ::fchmod(fd, mode);
}

int FileWriteEnvironment::writeAll(int fd, const void* bytes, std::size_t length) {
    auto* at = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        const ssize_t n = ::write(fd, at, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        at += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

int FileWriteEnvironment::syncData(int fd) {
    return ::fdatasync(fd);
}

int FileWriteEnvironment::close(int fd) {
    // Linux releases the descriptor even when close reports EINTR.
    return ::close(fd) == 0 || errno == EINTR ? 0 : -1;
}

int FileWriteEnvironment::rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str());
}

int FileWriteEnvironment::syncDirectory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int rc = ::fsync(fd);
    const int err = errno;
    (void)::close(fd);  // read only: closing loses nothing
    errno = err;
    return rc;
}

int FileWriteEnvironment::unlink(const std::string& path) {
    return ::unlink(path.c_str());
}

int FileWriteEnvironment::openSpare(const std::string& path) {
    // A few tries: each failed one means another writer has just swapped the
    // file we locked into another place, which only happens while it writes.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd < 0)
            return -1;
        struct stat opened {
        }, named{};
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ::flock(fd, LOCK_EX) != 0) {
            const int err = S_ISREG(opened.st_mode) ? errno : EISDIR;
            (void)::close(fd);  // already failing: the first error is the one reported
            errno = err;
            return -1;
        }
        if (::lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino) {
            return fd;
        }
        (void)::close(fd);
    }
    errno = EAGAIN;
    return -1;
}

int FileWriteEnvironment::truncate(int fd, off_t length) {
    return ::ftruncate(fd, length);
}

int FileWriteEnvironment::exchange(const std::string& first, const std::string& second) {
    return ::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE);
}

FileWriteEnvironment& FileWriteEnvironment::system() {
    static FileWriteEnvironment environment;
    return environment;
}

FileWriteEnvironment& FileWriteEnvironment::current() {
    FileWriteEnvironment* e = replaced.load(std::memory_order_acquire);
    return e ? *e : system();
}

void FileWriteEnvironment::setCurrent(FileWriteEnvironment* environment) {
    replaced.store(environment, std::memory_order_release);
}

namespace {

// The folder (with its trailing slash, empty for the working folder) and the
// name of path.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string temporaryPrefix(const std::string& name) {
    return "." + name.substr(0, 200) + ".tmp-";
}

}  // namespace

std::string atomicWriteTemplate(const std::string& path) {
    auto [folder, name] = splitPath(path);
    return folder + temporaryPrefix(name) + "XXXXXX";
}

std::size_t removeAbandonedAtomicWriteFiles(const std::string& path) {
    auto [folder, name] = splitPath(path);
    const std::string prefix = temporaryPrefix(name);
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir)
        return 0;
    std::vector<std::string> candidates;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName.size() == prefix.size() + 6 && entryName.compare(0, prefix.size(), prefix) == 0)
            candidates.push_back(folder + entryName);
    }
    (void)::closedir(dir);  // read only: closing loses nothing
    std::size_t removed = 0;
    for (const auto& candidate : candidates) {
        const int fd = ::open(candidate.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st {};
        // A writer holds its file locked until it has renamed it.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::unlink(candidate.c_str()) == 0)
            ++removed;
        (void)::close(fd);  // read only: closing loses nothing
    }
    return removed;
}

}  // namespace plat
