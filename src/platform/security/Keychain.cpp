#include "platform/security/Keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Value.h"

namespace plat::security {
namespace {

Mutex defaultMutex;
std::shared_ptr<Keychain> defaultInstance GUARDED_BY(defaultMutex);

bool matches(const GenericPassword& item, const KeychainQuery& query) {
    return item.service == query.service && (!query.account || item.account == *query.account);
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            (void)::close(fd_);  // writes are fsync()ed before
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool writeAll(int fd, const uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::shared_ptr<Keychain> Keychain::defaultKeychain() {
    MutexLock lock(defaultMutex);
    if (!defaultInstance)
        defaultInstance = std::make_shared<FileKeychain>(FileKeychain::defaultPath());
    return defaultInstance;
}

void Keychain::setDefaultKeychain(std::shared_ptr<Keychain> keychain) {
    MutexLock lock(defaultMutex);
    defaultInstance = std::move(keychain);
}

// MemoryKeychain

OSStatus MemoryKeychain::add(const GenericPassword& item) {
    if (item.service.empty() || item.account.empty())
        return errSecParam;
    MutexLock lock(mutex_);
    auto [it, inserted] = items_.try_emplace({item.service, item.account}, item);
    return inserted ? errSecSuccess : errSecDuplicateItem;
}

OSStatus MemoryKeychain::copyMatching(const KeychainQuery& query, GenericPassword* result) {
    MutexLock lock(mutex_);
    for (const auto& [key, item] : items_) {
        if (matches(item, query)) {
            if (result)
                *result = item;
            return errSecSuccess;
        }
    }
    return errSecItemNotFound;
}

OSStatus MemoryKeychain::deleteMatching(const KeychainQuery& query) {
    MutexLock lock(mutex_);
    std::size_t erased =
        std::erase_if(items_, [&](const auto& entry) { return matches(entry.second, query); });
    return erased > 0 ? errSecSuccess : errSecItemNotFound;
}

// FileKeychain

FileKeychain::FileKeychain(std::string path) : path_(std::move(path)) {}

std::string FileKeychain::defaultPath() {
    auto folders = FileManager::defaultManager().searchPathsForDirectory(
        SearchPathDirectory::ApplicationSupportDirectory, UserDomainMask);
    std::string base = folders.empty() ? std::string("/tmp") : folders.front();
    return base + "/kestrel-keychain/login.keychain";
}

template <class F>
OSStatus FileKeychain::locked(bool exclusive, F&& body) {
    MutexLock lock(mutex_);
    std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    if (!folder.empty() && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        std::error_code ec;
        std::filesystem::create_directories(folder.parent_path(), ec);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return errSecIO;
    }
    std::string lockPath = path_ + ".lock";
    FileDescriptor fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return errSecIO;
    int rc;
    do {
        rc = ::flock(fd.get(), exclusive ? LOCK_EX : LOCK_SH);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return errSecIO;
    return body();  // the lock goes with the descriptor
}

OSStatus FileKeychain::read(Items& items) const {
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0)
        return errno == ENOENT ? errSecSuccess : errSecIO;
    auto bytes = FileManager::defaultManager().dataWithContentsOfFile(path_);
    if (!bytes.ok())
        return errSecIO;
    auto plist = PropertyListSerialization::propertyListWithData(bytes.value());
    if (!plist.ok() || !plist.value().isArray())
        return errSecDecode;
    for (const Value& entry : *plist.value().asArray()) {
        const Value* service = entry.find("svce");
        const Value* account = entry.find("acct");
        const Value* data = entry.find("v_Data");
        const Value* accessible = entry.find("pdmn");
        if (!service || !service->isString() || !account || !account->isString() || !data || !data->isData())
            return errSecDecode;
        GenericPassword item{*service->asString(), *account->asString(), *data->asData(),
                             accessible && accessible->isString() ? *accessible->asString() : std::string()};
        items[{item.service, item.account}] = std::move(item);
    }
    return errSecSuccess;
}

OSStatus FileKeychain::write(const Items& items) const {
    Array entries;
    entries.reserve(items.size());
    for (const auto& [key, item] : items) {
        entries.push_back(Value(Dictionary{{"svce", Value(item.service)},
                                           {"acct", Value(item.account)},
                                           {"v_Data", Value(item.data)},
                                           {"pdmn", Value(item.accessible)}}));
    }
    auto bytes = PropertyListSerialization::dataWithPropertyList(Value(std::move(entries)),
                                                                 PropertyListSerialization::Format::Binary);
    if (!bytes.ok())
        return errSecIO;
    std::string temporary = path_ + ".tmp";
    {
        FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.get() < 0)
            return errSecIO;
        // An older temporary file may have other bits: secrets are never
        // written into a file others may read.
        if (::fchmod(fd.get(), 0600) != 0 ||
            !writeAll(fd.get(), bytes.value().bytes(), bytes.value().length()) || ::fsync(fd.get()) != 0) {
            (void)::unlink(temporary.c_str());  // best effort: the next write truncates it
            return errSecIO;
        }
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        (void)::unlink(temporary.c_str());  // best effort: the next write truncates it
        return errSecIO;
    }
    return errSecSuccess;
}

OSStatus FileKeychain::add(const GenericPassword& item) {
    if (item.service.empty() || item.account.empty())
        return errSecParam;
    return locked(true, [&] {
        mutex_.assertHeld();
        Items items;
        if (OSStatus status = read(items); status != errSecSuccess)
            return status;
        if (!items.try_emplace({item.service, item.account}, item).second)
            return errSecDuplicateItem;
        return write(items);
    });
}

OSStatus FileKeychain::copyMatching(const KeychainQuery& query, GenericPassword* result) {
    return locked(false, [&] {
        mutex_.assertHeld();
        Items items;
        if (OSStatus status = read(items); status != errSecSuccess)
            return status;
        for (const auto& [key, item] : items) {
            if (matches(item, query)) {
                if (result)
                    *result = item;
                return errSecSuccess;
            }
        }
        return errSecItemNotFound;
    });
}

OSStatus FileKeychain::deleteMatching(const KeychainQuery& query) {
    return locked(true, [&] {
        mutex_.assertHeld();
        Items items;
        if (OSStatus status = read(items); status != errSecSuccess)
            return status;
        if (std::erase_if(items, [&](const auto& entry) { return matches(entry.second, query); }) == 0)
            return errSecItemNotFound;
        return write(items);
    });
}

}  // namespace plat::security
