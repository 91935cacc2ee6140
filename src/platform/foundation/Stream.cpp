#include "platform/foundation/Stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace plat {
namespace {

// Streams report system failures in the POSIX domain, as the platform's do.
ErrorPtr posixError(int err) {
    return Error::make(POSIXErrorDomain, err,
                       Dictionary{{LocalizedDescriptionKey, std::generic_category().message(err)}});
}

}  // namespace

// --- InputStream -----------------------------------------------------------------

std::unique_ptr<InputStream> InputStream::withData(Data data) {
    std::unique_ptr<InputStream> stream(new InputStream());
    stream->data_ = std::move(data);
    return stream;
}

std::unique_ptr<InputStream> InputStream::withFileAtPath(std::string path) {
    std::unique_ptr<InputStream> stream(new InputStream());
    stream->path_ = std::move(path);
    stream->isFile_ = true;
    return stream;
}

std::unique_ptr<InputStream> InputStream::withURL(const URL& url) {
    return url.isFileURL() ? withFileAtPath(url.path()) : nullptr;
}

InputStream::~InputStream() {
    close();
}

void InputStream::open() {
    if (status_ != StreamStatus::NotOpen)
        return;
    if (isFile_) {
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            error_ = posixError(errno);
            status_ = StreamStatus::Error;
            return;
        }
    }
    status_ = StreamStatus::Open;
}

void InputStream::close() {
    if (fd_ >= 0)
        (void)::close(fd_);  // read only: closing loses nothing
    fd_ = -1;
    if (status_ != StreamStatus::Error && status_ != StreamStatus::NotOpen)
        status_ = StreamStatus::Closed;
}

std::ptrdiff_t InputStream::read(uint8_t* buffer, std::size_t maxLength) {
    if (status_ == StreamStatus::AtEnd)
        return 0;
    if (status_ != StreamStatus::Open)
        return -1;
    if (!isFile_) {
        const std::size_t n = std::min(maxLength, data_.length() - position_);
        if (n > 0)
            std::memcpy(buffer, data_.bytes() + position_, n);
        position_ += n;
        if (n == 0 && maxLength > 0)
            status_ = StreamStatus::AtEnd;
        return static_cast<std::ptrdiff_t>(n);
    }
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, maxLength);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_ = posixError(errno);
            status_ = StreamStatus::Error;
            return -1;
        }
        if (n == 0 && maxLength > 0)
            status_ = StreamStatus::AtEnd;
        return n;
    }
}

bool InputStream::hasBytesAvailable() const {
    if (status_ != StreamStatus::Open)
        return false;
    return isFile_ || position_ < data_.length();
}

// --- OutputStream ----------------------------------------------------------------

std::unique_ptr<OutputStream> OutputStream::toMemory() {
    return std::unique_ptr<OutputStream>(new OutputStream());
}

std::unique_ptr<OutputStream> OutputStream::toFileAtPath(std::string path, bool append) {
    std::unique_ptr<OutputStream> stream(new OutputStream());
    stream->path_ = std::move(path);
    stream->isFile_ = true;
    stream->append_ = append;
    return stream;
}

std::unique_ptr<OutputStream> OutputStream::toURL(const URL& url, bool append) {
    return url.isFileURL() ? toFileAtPath(url.path(), append) : nullptr;
}

OutputStream::~OutputStream() {
    close();
}

void OutputStream::open() {
    if (status_ != StreamStatus::NotOpen)
        return;
    if (isFile_) {
        const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC);
        fd_ = ::open(path_.c_str(), flags, 0666);
        if (fd_ < 0) {
            error_ = posixError(errno);
            status_ = StreamStatus::Error;
            return;
        }
    }
    status_ = StreamStatus::Open;
}

void OutputStream::close() {
    if (fd_ >= 0)
        (void)::close(fd_);  // writes went straight to the file and were checked
    fd_ = -1;
    if (status_ != StreamStatus::Error && status_ != StreamStatus::NotOpen)
        status_ = StreamStatus::Closed;
}

std::ptrdiff_t OutputStream::write(const uint8_t* buffer, std::size_t length) {
    if (status_ != StreamStatus::Open)
        return -1;
    if (!isFile_) {
        data_.append(buffer, length);
        return static_cast<std::ptrdiff_t>(length);
    }
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, buffer + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_ = posixError(errno);
            status_ = StreamStatus::Error;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::ptrdiff_t>(done);
}

}  // namespace plat
