// The file-system calls behind atomic file writes (FileManager::writeData
// with atomically set, and so user defaults and the binary store), gathered
// behind one interface so that tests can replace them: a test layer can fail
// a chosen call (disk full, read-only volume) or forget every write that was
// not synced, as a power loss would.
//
// Calls follow POSIX: 0 (or a descriptor) on success, -1 with errno set on
// failure. The system's environment is used until a test sets another.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace plat {

class FileWriteEnvironment {
  public:
    virtual ~FileWriteEnvironment() = default;

    // Creates and opens a new file from a mkstemp template (its trailing
    // "XXXXXX" replaced in place) and locks it exclusively (flock) until it
    // is closed, so that a clean-up of left-over temporary files can tell a
    // live one from one whose writer died.
    virtual int createTemporary(std::string& pathTemplate);
    virtual int setMode(int fd, mode_t mode);
    // Writes all bytes (retrying short writes).
    virtual int writeAll(int fd, const void* bytes, std::size_t length);
    // Makes the file's data durable (fdatasync).
    virtual int syncData(int fd);
    virtual int close(int fd);
    virtual int rename(const std::string& from, const std::string& to);
    // Makes a folder's entries (a rename into it) durable.
    virtual int syncDirectory(const std::string& path);
    virtual int unlink(const std::string& path);
    // Opens (creating when missing, mode 0600) the regular file at path for
    // a rewrite: locked exclusively (flock), at offset 0, its old contents
    // left in place for the writer to overwrite and then cut to length
    // (overwriting a file's blocks changes less on disk than emptying it and
    // writing anew). A link or anything but a regular file at path is refused
    // (ELOOP, EISDIR, ...). When another writer swaps the file away while
    // this one waits for the lock, the file now at path is opened instead.
    virtual int openSpare(const std::string& path);
    // Cuts an open file to length bytes (ftruncate).
    virtual int truncate(int fd, off_t length);
    // Swaps the entries of two paths of one folder in one step
    // (renameat2 with RENAME_EXCHANGE); EINVAL or ENOSYS where the file
    // system cannot.
    virtual int exchange(const std::string& first, const std::string& second);

    // The environment in use.
    static FileWriteEnvironment& current();
    // The system's own, which test layers wrap.
    static FileWriteEnvironment& system();
    // Replaces the environment for the whole process; nullptr restores the
    // system's. For tests: set it while no write is in flight.
    static void setCurrent(FileWriteEnvironment* environment);
};

// The mkstemp template of the temporary file an atomic write of path uses:
// hidden, next to path, short enough for NAME_MAX whatever path's name is.
std::string atomicWriteTemplate(const std::string& path);

// Removes the temporary files that atomic writes of path left behind when
// their process died mid-write; files a live writer still holds (locked) are
// kept. Answers how many were removed.
std::size_t removeAbandonedAtomicWriteFiles(const std::string& path);

}  // namespace plat
