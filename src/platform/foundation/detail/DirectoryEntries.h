#pragma once

// File-system steps shared by the file manager and confined folders: both
// list and remove without following symbolic links, and write whole buffers.

#include <dirent.h>

#include <cstddef>
#include <cstdint>

#include <string>
#include <vector>

namespace plat::detail {

// The names in dir, without "." and "..". *err is 0, or the errno readdir
// set when the listing ended early.
std::vector<std::string> entryNames(DIR* dir, int* err);

// Removes name inside parentFd, descending into folders without following
// links. Entries that vanish meanwhile are not an error. Returns 0 or an
// errno value.
int removeAt(int parentFd, const char* name);

// Writes all of bytes to fd, going on after interrupted writes. False when a
// write fails (errno says why).
[[nodiscard]] bool writeAll(int fd, const uint8_t* bytes, std::size_t length);

}  // namespace plat::detail
