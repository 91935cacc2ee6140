#include "platform/foundation/FileHandle.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/foundation/FileManager.h"

namespace plat {

Result<FileHandle> FileHandle::open(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return fileErrorWithPOSIXError(errno, (flags & O_ACCMODE) == O_RDONLY, path);
    return FileHandle(fd, path);
}

Result<FileHandle> FileHandle::forReadingAtPath(const std::string& path) {
    return open(path, O_RDONLY);
}
Result<FileHandle> FileHandle::forWritingAtPath(const std::string& path) {
    return open(path, O_WRONLY);
}
Result<FileHandle> FileHandle::forUpdatingAtPath(const std::string& path) {
    return open(path, O_RDWR);
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        (void)close();  // dropping this handle: callers who want the outcome close() first
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

FileHandle::~FileHandle() {
    (void)close();  // as above: an explicit close() reports its error
}

ErrorPtr FileHandle::write(const Data& data) {
    return write(data.bytes(), data.length());
}

ErrorPtr FileHandle::write(const void* bytes, std::size_t length) {
    const auto* at = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        const ssize_t n = ::write(fd_, at, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fileErrorWithPOSIXError(errno, false, path_);
        at += n;
        length -= static_cast<std::size_t>(n);
    }
    return nullptr;
}

Result<Data> FileHandle::readDataOfLength(std::size_t length) {
    std::vector<uint8_t> bytes;
    uint8_t buffer[1 << 16];
    while (bytes.size() < length) {
        const std::size_t want = std::min(sizeof buffer, length - bytes.size());
        const ssize_t n = ::read(fd_, buffer, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fileErrorWithPOSIXError(errno, true, path_);
        if (n == 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return Data(std::move(bytes));
}

Result<Data> FileHandle::readDataToEndOfFile() {
    return readDataOfLength(SIZE_MAX);
}

Result<uint64_t> FileHandle::offset() const {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0)
        return fileErrorWithPOSIXError(errno, true, path_);
    return static_cast<uint64_t>(at);
}

Result<uint64_t> FileHandle::seekToEnd() {
    const off_t at = ::lseek(fd_, 0, SEEK_END);
    if (at < 0)
        return fileErrorWithPOSIXError(errno, true, path_);
    return static_cast<uint64_t>(at);
}

ErrorPtr FileHandle::seek(uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return fileErrorWithPOSIXError(EINVAL, true, path_);
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
        return fileErrorWithPOSIXError(errno, true, path_);
    return nullptr;
}

ErrorPtr FileHandle::truncate(uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return fileErrorWithPOSIXError(EINVAL, false, path_);
    if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0)
        return fileErrorWithPOSIXError(errno, false, path_);
    return seek(offset);
}

ErrorPtr FileHandle::synchronize() {
    if (::fsync(fd_) != 0)
        return fileErrorWithPOSIXError(errno, false, path_);
    return nullptr;
}

ErrorPtr FileHandle::close() {
    if (fd_ < 0)
        return nullptr;
    const int fd = std::exchange(fd_, -1);
    // Linux releases the descriptor even when close reports EINTR.
    if (::close(fd) != 0 && errno != EINTR)
        return fileErrorWithPOSIXError(errno, false, path_);
    return nullptr;
}

}  // namespace plat
