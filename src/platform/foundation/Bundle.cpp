#include "platform/foundation/Bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Text.h"

namespace plat {

namespace {

std::optional<std::string> runningExecutable() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);  // truncated: try a larger buffer
    }
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::shared_ptr<const Dictionary> readInfo(const std::string& bundlePath) {
    auto plist = PropertyListSerialization::propertyListWithContentsOfFile(
        text::stringByAppendingPathComponent(bundlePath, "Info.plist"));
    if (!plist || !plist->isDictionary()) {
        return nullptr;
    }
    return std::make_shared<const Dictionary>(*plist->asDictionary());
}

}  // namespace

Bundle::Bundle(std::string path) : path_(std::move(path)) {}

Bundle::Bundle(std::string path, MainTag) : path_(std::move(path)), isMain_(true) {}

Bundle& Bundle::mainBundle() {
    static Bundle* main = [] {
        const auto executable = runningExecutable();
        return new Bundle(executable ? folderOf(*executable) : std::string("."), MainTag{});
    }();
    return *main;
}

std::optional<std::string> Bundle::executablePath() const {
    if (isMain_) {
        return runningExecutable();
    }
    auto name = infoString("CFBundleExecutable");
    if (!name || name->empty()) {
        return std::nullopt;
    }
    return text::stringByAppendingPathComponent(path_, *name);
}

std::shared_ptr<const Dictionary> Bundle::infoDictionary() const {
    MutexLock lock(mutex_);
    if (!infoLoaded_) {
        info_ = readInfo(path_);
        infoLoaded_ = true;
    }
    return info_;
}

void Bundle::setInfoDictionary(std::optional<Dictionary> info) {
    MutexLock lock(mutex_);
    info_ = info ? std::make_shared<const Dictionary>(std::move(*info)) : nullptr;
    infoLoaded_ = true;
}

std::optional<Value> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    const auto info = infoDictionary();
    const Value* value = info ? info->find(key) : nullptr;
    return value ? std::optional<Value>(*value) : std::nullopt;
}

std::optional<std::string> Bundle::infoString(std::string_view key) const {
    const auto info = infoDictionary();
    const Value* value = info ? info->find(key) : nullptr;
    const std::string* text = value ? value->asString() : nullptr;
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
    return infoString("CFBundleIdentifier");
}

std::optional<std::string> Bundle::shortVersionString() const {
    return infoString("CFBundleShortVersionString");
}

std::optional<std::string> Bundle::version() const {
    return infoString("CFBundleVersion");
}

std::optional<std::string> Bundle::name() const {
    auto name = infoString("CFBundleName");
    return name ? name : infoString("CFBundleExecutable");
}

std::string Bundle::resourcePath() const {
    MutexLock lock(mutex_);
    return resourcePath_ ? *resourcePath_ : text::stringByAppendingPathComponent(path_, "Resources");
}

void Bundle::setResourcePath(std::string path) {
    MutexLock lock(mutex_);
    resourcePath_ = std::move(path);
}

std::string Bundle::resourceFolder(std::string_view subdirectory) const {
    return text::stringByAppendingPathComponent(resourcePath(), subdirectory);
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type,
                                                   std::string_view subdirectory) const {
    if (name.empty()) {
        return std::nullopt;
    }
    std::string file(name);
    if (!type.empty()) {
        file += (type.front() == '.' ? "" : ".") + std::string(type);
    }
    const std::string path = text::stringByAppendingPathComponent(resourceFolder(subdirectory), file);
    if (!FileManager::defaultManager().fileExistsAtPath(path)) {
        return std::nullopt;
    }
    return path;
}

std::vector<std::string> Bundle::pathsForResourcesOfType(std::string_view type,
                                                         std::string_view subdirectory) const {
    const std::string folder = resourceFolder(subdirectory);
    auto names = FileManager::defaultManager().contentsOfDirectoryAtPath(folder);
    std::vector<std::string> paths;
    if (!names) {
        return paths;
    }
    const std::string suffix = type.empty() ? "" : (type.front() == '.' ? "" : ".") + std::string(type);
    for (const auto& name : *names) {
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            paths.push_back(text::stringByAppendingPathComponent(folder, name));
        }
    }
    return paths;
}

std::string Bundle::localizedStringForKey(const std::string& key, const std::string& value,
                                          std::string_view /*table*/) const {
    return value.empty() ? key : value;
}

std::string Bundle::developmentLocalization() const {
    auto region = infoString("CFBundleDevelopmentRegion");
    return region && !region->empty() ? *region : "en";
}

std::vector<std::string> Bundle::localizations() const {
    std::vector<std::string> names;
    for (const std::string& path : pathsForResourcesOfType("lproj")) {
        bool isFolder = false;
        if (FileManager().fileExistsAtPath(path, &isFolder) && isFolder)
            names.push_back(text::stringByDeletingPathExtension(text::lastPathComponent(path)));
    }
    return names;
}

std::vector<std::string> Bundle::preferredLocalizations() const {
    return preferredLocalizations(Locale::preferredLanguages());
}

std::vector<std::string> Bundle::preferredLocalizations(
    const std::vector<std::string>& preferredLanguages) const {
    // "de_DE", "de-DE" and "DE-de" name one localisation.
    const auto normal = [](std::string tag) {
        for (char& c : tag)
            c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return tag;
    };
    const auto language = [&](const std::string& tag) {
        return normal(tag).substr(0, normal(tag).find('-'));
    };
    const std::vector<std::string> available = localizations();
    for (const std::string& wanted : preferredLanguages) {
        for (const std::string& have : available) {
            if (normal(have) == normal(wanted))
                return {have};
        }
        for (const std::string& have : available) {
            if (language(have) == language(wanted))
                return {have};
        }
    }
    return {developmentLocalization()};
}

}  // namespace plat
