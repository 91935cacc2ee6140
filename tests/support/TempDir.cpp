#include "support/TempDir.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kptest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void removeAtExit(const std::filesystem::path& path) {
    // Called from set-up code on one thread. Never destroyed, so that the
    // exit handler finds it whatever order statics go in.
    static auto* paths = new std::vector<std::filesystem::path>();
    if (paths->empty()) {
        std::atexit([] {
            for (const auto& path : *paths) {
                std::error_code ec;
                std::filesystem::remove_all(path, ec);
            }
        });
    }
    paths->push_back(path);
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    const std::string text = readFile(path).value_or(std::string());
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace testsupport
