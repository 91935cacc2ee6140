// FileHandle: an open file, read and written at a moving offset (the
// platform's file handle). Failures come back as the file errors of
// FileManager.h. The handle closes its file when destroyed; it is moved, not
// copied, and used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"

namespace plat {

class FileHandle {
  public:
    // An existing file opened for reading, writing (not truncated, offset 0)
    // or both; the error when it cannot be opened (a missing file included:
    // these never create one).
    static Result<FileHandle> forReadingAtPath(const std::string& path);
    static Result<FileHandle> forWritingAtPath(const std::string& path);
    static Result<FileHandle> forUpdatingAtPath(const std::string& path);

    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    // Writes all of data at the offset and moves past it.
    [[nodiscard]] ErrorPtr write(const Data& data);
    [[nodiscard]] ErrorPtr write(const void* bytes, std::size_t length);
    // Up to length bytes from the offset (fewer at the end of the file).
    Result<Data> readDataOfLength(std::size_t length);
    Result<Data> readDataToEndOfFile();

    Result<uint64_t> offset() const;
    Result<uint64_t> seekToEnd();
    [[nodiscard]] ErrorPtr seek(uint64_t offset);
    // Cuts or extends the file to offset and moves there.
    [[nodiscard]] ErrorPtr truncate(uint64_t offset);
    // Flushes the file's data to the disk (fsync).
    [[nodiscard]] ErrorPtr synchronize();
    // Closes the file; later calls fail with EBADF. Closing twice is harmless.
    [[nodiscard]] ErrorPtr close();

    const std::string& path() const { return path_; }

  private:
    FileHandle(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    static Result<FileHandle> open(const std::string& path, int flags);

    int fd_ = -1;
    std::string path_;
};

}  // namespace plat
