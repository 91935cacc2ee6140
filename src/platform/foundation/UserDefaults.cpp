#include "platform/foundation/UserDefaults.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Text.h"

namespace plat {
namespace {

constexpr const char* kFileName = "defaults.plist";
constexpr const char* kFallbackDomain = "kestrel";

Mutex gStandardMutex;
std::shared_ptr<UserDefaults>& standardSlot() REQUIRES(gStandardMutex) {
    static auto* slot = new std::shared_ptr<UserDefaults>();  // never destroyed: used during exit
    return *slot;
}

std::string domainPath(std::string_view domain) {
    auto folders = FileManager::defaultManager().searchPathsForDirectory(
        SearchPathDirectory::PreferencesDirectory, UserDomainMask);
    std::string base =
        folders.empty() ? FileManager::defaultManager().homeDirectory() + "/.config" : folders[0];
    return text::stringByAppendingPathComponent(text::stringByAppendingPathComponent(base, domain),
                                                kFileName);
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
    MutexLock lock(gStandardMutex);
    auto& slot = standardSlot();
    if (!slot) {
        auto identifier = Bundle::mainBundle().bundleIdentifier();
        bool usable = identifier && !identifier->empty() && identifier->find('/') == std::string::npos;
        slot = std::make_shared<UserDefaults>(domainPath(usable ? *identifier : kFallbackDomain));
    }
    return slot;
}

void UserDefaults::resetStandardUserDefaults() {
    MutexLock lock(gStandardMutex);
    standardSlot().reset();
}

std::shared_ptr<UserDefaults> UserDefaults::create(std::string_view suiteName) {
    if (suiteName.empty() || suiteName.find('/') != std::string_view::npos || suiteName == "." ||
        suiteName == "..")
        return nullptr;
    return std::make_shared<UserDefaults>(domainPath(suiteName));
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
    load();
}

// Runs from the constructor only, before any other thread can see the
// object, so it touches the guarded domains without the lock (and reads the
// file without holding it).
void UserDefaults::load() NO_THREAD_SAFETY_ANALYSIS {
    FileManager& files = FileManager::defaultManager();
    auto data = files.dataWithContentsOfFile(path_);
    if (!data) {
        // Anything but "nothing saved yet" (say, no permission to read) leaves
        // settings on disk that a write of this domain would replace.
        if (!isNoSuchFileError(data.error()))
            loadError_ = data.error();
        return;
    }
    auto plist = PropertyListSerialization::propertyListWithData(*data);
    if (plist && plist->isDictionary()) {
        persistent_ = *plist->asDictionary();
        return;
    }
    // Keep the unreadable file for inspection rather than overwriting it.
    // Neither step can lose anything readable: when the move fails, the next
    // write replaces a file whose defaults could not be read anyway.
    (void)files.removeItemAtPath(path_ + ".corrupt");  // usually absent
    (void)files.moveItemAtPath(path_, path_ + ".corrupt");
}

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const {
    MutexLock lock(mutex_);
    if (const Value* v = persistent_.find(key))
        return *v;
    if (const Value* v = registration_.find(key))
        return *v;
    return std::nullopt;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (v && v->isString())
        return *v->asString();
    if (v && v->isNumber())
        return v->stringValue();
    return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v && v->isArray() ? std::optional<Array>(*v->asArray()) : std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v && v->isDictionary() ? std::optional<Dictionary>(*v->asDictionary()) : std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v && v->isData() ? std::optional<Data>(*v->asData()) : std::nullopt;
}

bool UserDefaults::boolForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v && (v->isNumber() || v->isString()) && v->boolValue();
}

int64_t UserDefaults::integerForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v && (v->isNumber() || v->isString()) ? v->integerValue() : 0;
}

double UserDefaults::doubleForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v && (v->isNumber() || v->isString()) ? v->doubleValue() : 0;
}

bool UserDefaults::setObject(const std::optional<Value>& value, std::string_view key) {
    // A key that is not UTF-8 could never be written, and would fail every
    // later write of the whole domain with it.
    if (!text::isValidUTF8(key))
        return false;
    if (value && !PropertyListSerialization::propertyList(*value, PropertyListSerialization::Format::Binary))
        return false;
    {
        MutexLock lock(mutex_);
        if (value) {
            persistent_.set(std::string(key), *value);
        } else if (!persistent_.erase(key)) {
            return true;
        }
        ++generation_;
    }
    // A failed write is kept for lastWriteError(), and the next write or
    // synchronize() tries again; the change itself is in memory either way.
    (void)persist();
    return true;
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
    MutexLock lock(mutex_);
    for (const auto& [key, value] : defaults)
        registration_.set(key, value);
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    MutexLock lock(mutex_);
    Dictionary merged = registration_;
    for (const auto& [key, value] : persistent_)
        merged.set(key, value);
    return merged;
}

// Writers take turns; a writer first checks whether an earlier one already
// wrote the state that includes its change, so racing setters share writes.
bool UserDefaults::persist() {
    MutexLock writeLock(writeMutex_);
    uint64_t generation;
    Value snapshot;
    {
        MutexLock lock(mutex_);
        if (loadError_) {
            writeError_ = loadError_;
            return false;
        }
        if (writtenGeneration_ == generation_ && !writeError_)
            return true;
        generation = generation_;
        snapshot = Value(persistent_);
    }
    FileManager& files = FileManager::defaultManager();
    std::string folder = text::stringByDeletingLastPathComponent(path_);
    ErrorPtr error = folder.empty() ? nullptr : files.createDirectoryAtPath(folder, true);
    if (!error) {
        auto data = PropertyListSerialization::dataWithPropertyList(
            snapshot, PropertyListSerialization::Format::Binary);
        error = data ? files.writeData(*data, path_, true) : data.error();
    }
    MutexLock lock(mutex_);
    writeError_ = error;
    if (!error)
        writtenGeneration_ = generation;
    return !error;
}

bool UserDefaults::synchronize() {
    return persist();
}

ErrorPtr UserDefaults::lastWriteError() const {
    MutexLock lock(mutex_);
    return writeError_;
}

}  // namespace plat
