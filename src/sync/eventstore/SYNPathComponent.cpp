#include "sync/eventstore/SYNPathComponent.h"

bool SYNIsValidPathComponent(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > SYNMaximumPathComponentLength) {
        return false;
    }
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::optional<std::string> SYNPathByAppendingPathComponent(std::string_view directory,
                                                           std::string_view name) {
    if (!SYNIsValidPathComponent(name)) {
        return std::nullopt;
    }
    std::string path(directory);
    if (!path.empty() && path.back() != '/') {
        path.push_back('/');
    }
    path.append(name);
    return path;
}
