// Bundle: a program's folder with its information property list and its
// resources (the platform's bundle).
//
// The main bundle is the folder of the running executable: its information
// comes from "Info.plist" beside the executable (read once, on first use) or
// from setInfoDictionary, and its resources from the "Resources" folder beside
// the executable or the folder set with setResourcePath. A Bundle(path) works
// the same way on any folder.
//
// Threads: every member may be called from any thread. The info dictionary is
// handed out as a shared snapshot, which stays valid whatever setter runs
// later; the setters are meant for start-up and for tests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

namespace plat {

class Bundle {
  public:
    // A bundle for the folder at path; nothing is read until needed.
    explicit Bundle(std::string path);
    Bundle(const Bundle&) = delete;
    Bundle& operator=(const Bundle&) = delete;

    static Bundle& mainBundle();

    const std::string& bundlePath() const { return path_; }
    // The executable: /proc/self/exe for the main bundle, else the info
    // dictionary's "CFBundleExecutable" inside the bundle folder.
    std::optional<std::string> executablePath() const;

    // The info dictionary: null when there is no readable "Info.plist" whose
    // top level is a dictionary and none was set.
    std::shared_ptr<const Dictionary> infoDictionary() const;
    // Replaces the info dictionary (nullopt: none, without reading the file).
    void setInfoDictionary(std::optional<Dictionary> info);
    // The value for key in the info dictionary, nullopt when absent.
    std::optional<Value> objectForInfoDictionaryKey(std::string_view key) const;

    // String values of the info dictionary; nullopt when absent or not a string.
    std::optional<std::string> bundleIdentifier() const;    // "CFBundleIdentifier"
    std::optional<std::string> shortVersionString() const;  // "CFBundleShortVersionString"
    std::optional<std::string> version() const;             // "CFBundleVersion"
    // "CFBundleName", else "CFBundleExecutable".
    std::optional<std::string> name() const;

    // The resources folder (whether or not it exists).
    std::string resourcePath() const;
    void setResourcePath(std::string path);
    // The path of resource "name.type" (or "name" when type is empty) inside
    // the resources folder or its subdirectory; nullopt when nothing is there.
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                               std::string_view subdirectory = {}) const;
    // Paths of every entry with extension type (every entry when empty) in the
    // resources folder or its subdirectory, sorted.
    std::vector<std::string> pathsForResourcesOfType(std::string_view type,
                                                     std::string_view subdirectory = {}) const;

    // The info dictionary's "CFBundleDevelopmentRegion", else "en".
    std::string developmentLocalization() const;
    // Names of the "<name>.lproj" folders in the resources folder, sorted.
    std::vector<std::string> localizations() const;
    // The localisation to use, as a one-element list: the first of the user's
    // preferred languages (Locale::preferredLanguages) that the bundle has,
    // matched exactly or by language ("de-AT" takes "de", "de" takes "de-DE"),
    // else the development localisation.
    std::vector<std::string> preferredLocalizations() const;
    std::vector<std::string> preferredLocalizations(const std::vector<std::string>& preferredLanguages) const;

    // Texts are not translated: value when it is not empty, else key.
    std::string localizedStringForKey(const std::string& key, const std::string& value,
                                      std::string_view table = {}) const;

  private:
    struct MainTag {};
    Bundle(std::string path, MainTag);

    std::optional<std::string> infoString(std::string_view key) const;
    std::string resourceFolder(std::string_view subdirectory) const;

    const std::string path_;
    const bool isMain_ = false;
    mutable Mutex mutex_;
    mutable bool infoLoaded_ GUARDED_BY(mutex_) = false;
    mutable std::shared_ptr<const Dictionary> info_ GUARDED_BY(mutex_);
    std::optional<std::string> resourcePath_ GUARDED_BY(mutex_);
};

}  // namespace plat
