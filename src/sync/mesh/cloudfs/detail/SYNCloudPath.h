// Local paths of cloud paths, for the file systems that keep the cloud
// folder on disk: a cloud path never leaves its root.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// `root` followed by the components of the cloud path `path`, one '/'
// between each; empty components are skipped. nullopt when a component is
// "." or ".." or holds a NUL byte.
inline std::optional<std::string> SYNAppendCloudPath(std::string root, const std::string& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string_view component(path.data() + start, end - start);
        if (component == "." || component == ".." || component.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        if (!component.empty()) {
            if (root.empty() || root.back() != '/') {
                root += '/';
            }
            root += component;
        }
        start = end + 1;
    }
    return root;
}
