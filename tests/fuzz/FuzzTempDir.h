// A scratch folder for fuzz targets that read files: in /dev/shm when there is
// one (every input is written to a file, and memory makes that cheap), else in
// /tmp. Made once per process and removed when it exits.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzsupport {

inline const std::filesystem::path& scratchFolder(const std::string& name) {
    // Never destroyed, so that the removal at exit can still read it.
    static const std::filesystem::path* path = [&] {
        const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/" : "/tmp/";
        std::string pattern = base + name + ".XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        auto* made = new std::filesystem::path(pattern);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(*path, ignored);
        });
        return made;
    }();
    return *path;
}

}  // namespace fuzzsupport
