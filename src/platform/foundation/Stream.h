// InputStream and OutputStream: bytes read from, or written to, memory or a
// file in pieces (the platform's streams, without run-loop scheduling: every
// call is synchronous).
//
// A stream is opened once, used, and closed. read and write return the
// number of bytes moved, 0 at the end of an input, and -1 on failure or when
// the stream is not open; after a failure status() is Error and error() says
// why (a file that cannot be opened: the POSIX error, as the platform's
// streams report it). A stream is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

namespace plat {

enum class StreamStatus {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7
};

class InputStream {
  public:
    static std::unique_ptr<InputStream> withData(Data data);
    static std::unique_ptr<InputStream> withFileAtPath(std::string path);
    // File URLs only; null for any other URL.
    static std::unique_ptr<InputStream> withURL(const URL& url);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    void open();
    void close();
    std::ptrdiff_t read(uint8_t* buffer, std::size_t maxLength);
    // True while open and not known to be at the end (for a file, until a
    // read has returned 0).
    bool hasBytesAvailable() const;
    StreamStatus status() const { return status_; }
    const ErrorPtr& error() const { return error_; }

  private:
    InputStream() = default;

    Data data_;
    std::size_t position_ = 0;
    std::string path_;
    bool isFile_ = false;
    int fd_ = -1;
    StreamStatus status_ = StreamStatus::NotOpen;
    ErrorPtr error_;
};

class OutputStream {
  public:
    // Collects what is written; see dataWrittenToMemory.
    static std::unique_ptr<OutputStream> toMemory();
    // Creates the file (mode 0666 less the umask) when missing; without
    // append an existing file is emptied on open.
    static std::unique_ptr<OutputStream> toFileAtPath(std::string path, bool append);
    // File URLs only; null for any other URL.
    static std::unique_ptr<OutputStream> toURL(const URL& url, bool append);
    ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    void open();
    void close();
    // Writes all `length` bytes, or fails.
    std::ptrdiff_t write(const uint8_t* buffer, std::size_t length);
    bool hasSpaceAvailable() const { return status_ == StreamStatus::Open; }
    StreamStatus status() const { return status_; }
    const ErrorPtr& error() const { return error_; }
    // Everything written so far to a memory stream; empty for a file stream.
    const Data& dataWrittenToMemory() const { return data_; }

  private:
    OutputStream() = default;

    Data data_;
    std::string path_;
    bool isFile_ = false;
    bool append_ = false;
    int fd_ = -1;
    StreamStatus status_ = StreamStatus::NotOpen;
    ErrorPtr error_;
};

}  // namespace plat
