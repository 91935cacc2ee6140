// A fresh temporary directory for one test, removed with everything in it when
// the object goes out of scope, and whole-file reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Removes `path` and everything in it when the process exits normally. For
// set-ups kept alive on purpose for a whole run (a benchmark's memoised
// stores), whose TempDir is never destroyed.
void removeAtExit(const std::filesystem::path& path);

// The whole content of a file; nullopt when it cannot be opened.
std::optional<std::string> readFile(const std::filesystem::path& path);
// The same as bytes; empty when the file cannot be opened.
std::vector<uint8_t> readBytes(const std::filesystem::path& path);

}  // namespace testsupport
