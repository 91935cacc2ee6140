#pragma once

// File-system steps shared by the file manager and confined folders: both
// list and remove without following symbolic links, and write whole buffers.

#include <cstddef>
#include <cstdint>

#include <string>
#include <vector>

namespace plat::detail {

// The names in the folder open as fd, read from the descriptor's current
// position, without "." and "..". *err is 0, or the errno that ended the
// listing early. The entries are read into a buffer on the stack: a
// directory stream allocates 32 KB for each listing, a large request that
// makes the allocator consolidate its small freed chunks every time. fd
// stays open (its position is left at the end).
std::vector<std::string> entryNames(int fd, int* err);

// An entry as the folder gives it: its name, the inode number of what it
// names, and its type (a DT_ value; DT_UNKNOWN where the file system does
// not keep types in its folders).
struct DirectoryEntry {
    std::string name;
    uint64_t inode = 0;
    unsigned char type = 0;
};
// As entryNames, with each entry's inode number and type.
std::vector<DirectoryEntry> directoryEntries(int fd, int* err);

// Removes name inside parentFd, descending into folders without following
// links. Entries that vanish meanwhile are not an error. Returns 0 or an
// errno value.
int removeAt(int parentFd, const char* name);

// Writes all of bytes to fd, going on after interrupted writes. False when a
// write fails (errno says why).
[[nodiscard]] bool writeAll(int fd, const uint8_t* bytes, std::size_t length);

}  // namespace plat::detail
