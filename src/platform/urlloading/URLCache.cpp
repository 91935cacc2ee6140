#include "platform/urlloading/URLCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "platform/foundation/JSONSerialization.h"
#include "platform/security/Digest.h"
#include "platform/urlloading/URLRequest.h"

namespace plat::urlloading {
namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string keyFor(const URLRequest& request) {
    return request.url ? request.url->absoluteString() : std::string();
}

std::string lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The value of a Cache-Control directive ("max-age=60" gives "60"), "" for
// one without a value, nullopt when absent.
std::optional<std::string> directive(const HTTPHeaderFields& headers, const std::string& name) {
    auto value = headers.valueForHTTPHeaderField("Cache-Control");
    if (!value)
        return std::nullopt;
    std::string text = lower(*value);
    size_t at = 0;
    while (at < text.size()) {
        size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? text.size() : comma + 1;
        size_t b = item.find_first_not_of(" \t");
        if (b == std::string::npos)
            continue;
        item = item.substr(b);
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
            key.pop_back();
        if (key != name)
            continue;
        if (eq == std::string::npos)
            return std::string();
        std::string v = item.substr(eq + 1);
        v.erase(std::remove(v.begin(), v.end(), '"'), v.end());
        return v;
    }
    return std::nullopt;
}

constexpr const char* kEntrySuffix = ".entry";

}  // namespace

URLCache::URLCache(int64_t memoryCapacity, int64_t diskCapacity, std::optional<std::string> diskPath)
    : memoryCapacity_(std::max<int64_t>(memoryCapacity, 0)),
      diskCapacity_(diskPath ? std::max<int64_t>(diskCapacity, 0) : 0),
      diskPath_(std::move(diskPath)) {
    if (!diskPath_ || diskCapacity_ == 0)
        return;
    (void)::mkdir(diskPath_->c_str(), 0700);  // best effort: without it, entries simply are not stored
    // What an earlier run left: oldest first.
    std::vector<std::pair<double, std::pair<std::string, int64_t>>> found;
    if (DIR* d = ::opendir(diskPath_->c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name.size() <= 6 || name.compare(name.size() - 6, 6, kEntrySuffix) != 0)
                continue;
            struct stat st {};
            if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                found.push_back({static_cast<double>(st.st_mtime), {name, static_cast<int64_t>(st.st_size)}});
        }
        (void)::closedir(d);  // read only: closing loses nothing
    }
    std::sort(found.begin(), found.end());
    for (const auto& [when, entry] : found) {
        disk_[entry.first] = entry.second;
        diskOrder_.push_back(entry.first);
        diskUsage_ += entry.second;
    }
    plat::MutexLock lock(mutex_);
    trimDisk();
}

int64_t URLCache::currentMemoryUsage() const {
    plat::MutexLock lock(mutex_);
    return memoryUsage_;
}

int64_t URLCache::currentDiskUsage() const {
    plat::MutexLock lock(mutex_);
    return diskUsage_;
}

std::string URLCache::fileFor(const std::string& key) const {
    return security::hexDigest(security::sha256(key), false) + kEntrySuffix;
}

bool URLCache::isFresh(const CachedURLResponse& cached, const URLRequest& request, double now) {
    if (!cached.response)
        return false;
    const auto& headers = cached.response->allHeaderFields();
    if (directive(headers, "no-cache") || directive(request.allHTTPHeaderFields, "no-cache"))
        return false;
    if (auto pragma = request.valueForHTTPHeaderField("Pragma"); pragma && lower(*pragma) == "no-cache")
        return false;
    const double age = now - cached.storedAt;
    if (auto maxAge = directive(request.allHTTPHeaderFields, "max-age")) {
        if (age >= std::strtod(maxAge->c_str(), nullptr))
            return false;
    }
    if (auto maxAge = directive(headers, "max-age"))
        return !maxAge->empty() && age < std::strtod(maxAge->c_str(), nullptr);
    if (auto expires = headers.valueForHTTPHeaderField("Expires")) {
        struct tm tm {};
        if (strptime(expires->c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm))
            return now < static_cast<double>(timegm(&tm));
    }
    return false;  // nothing says how long it stays usable
}

std::optional<CachedURLResponse> URLCache::cachedResponseForRequest(const URLRequest& request) {
    const std::string key = keyFor(request);
    if (key.empty())
        return std::nullopt;
    plat::MutexLock lock(mutex_);
    if (auto it = memory_.find(key); it != memory_.end())
        return it->second.cached;
    if (disk_.count(fileFor(key)) == 0)
        return std::nullopt;
    auto cached = readFile(key);
    if (!cached) {
        // Damaged or not ours: forget it.
        auto name = fileFor(key);
        diskUsage_ -= disk_[name];
        disk_.erase(name);
        diskOrder_.remove(name);
        // Best effort: a leftover is read back and dropped as damaged.
        (void)::unlink((*diskPath_ + "/" + name).c_str());
    }
    return cached;
}

void URLCache::storeCachedResponse(CachedURLResponse cached, const URLRequest& request) {
    const std::string key = keyFor(request);
    if (key.empty() || !cached.response || cached.storagePolicy == URLCacheStoragePolicy::NotAllowed)
        return;
    const int64_t size = static_cast<int64_t>(cached.data.length()) + 1024;
    if (size > std::max(memoryCapacity_, diskCapacity_) / 20)
        return;
    if (cached.storedAt == 0)
        cached.storedAt = nowSeconds();
    plat::MutexLock lock(mutex_);
    if (auto it = memory_.find(key); it != memory_.end()) {
        memoryUsage_ -= it->second.size;
        memory_.erase(it);
        memoryOrder_.remove(key);
    }
    if (size <= memoryCapacity_) {
        memory_[key] = Entry{cached, size};
        memoryOrder_.push_back(key);
        memoryUsage_ += size;
        trimMemory();
    }
    if (diskCapacity_ > 0 && cached.storagePolicy == URLCacheStoragePolicy::Allowed)
        writeFile(key, cached);
}

void URLCache::removeCachedResponseForRequest(const URLRequest& request) {
    const std::string key = keyFor(request);
    plat::MutexLock lock(mutex_);
    if (auto it = memory_.find(key); it != memory_.end()) {
        memoryUsage_ -= it->second.size;
        memory_.erase(it);
        memoryOrder_.remove(key);
    }
    auto name = fileFor(key);
    if (auto it = disk_.find(name); it != disk_.end()) {
        diskUsage_ -= it->second;
        disk_.erase(it);
        diskOrder_.remove(name);
        (void)::unlink((*diskPath_ + "/" + name).c_str());  // best effort: the cache may forget
    }
}

void URLCache::removeAllCachedResponses() {
    plat::MutexLock lock(mutex_);
    memory_.clear();
    memoryOrder_.clear();
    memoryUsage_ = 0;
    for (const auto& [name, size] : disk_)
        (void)::unlink((*diskPath_ + "/" + name).c_str());  // best effort: the cache may forget
    disk_.clear();
    diskOrder_.clear();
    diskUsage_ = 0;
}

void URLCache::trimMemory() {
    while (memoryUsage_ > memoryCapacity_ && !memoryOrder_.empty()) {
        auto it = memory_.find(memoryOrder_.front());
        memoryOrder_.pop_front();
        if (it != memory_.end()) {
            memoryUsage_ -= it->second.size;
            memory_.erase(it);
        }
    }
}

void URLCache::trimDisk() {
    while (diskUsage_ > diskCapacity_ && !diskOrder_.empty()) {
        auto name = diskOrder_.front();
        diskOrder_.pop_front();
        diskUsage_ -= disk_[name];
        disk_.erase(name);
        (void)::unlink((*diskPath_ + "/" + name).c_str());  // best effort: the cache may forget
    }
}

// A file is one line of JSON (the key, status, headers and time stored),
// then the body.
void URLCache::writeFile(const std::string& key, const CachedURLResponse& cached) {
    Dictionary headers;
    for (const auto& [name, value] : cached.response->allHeaderFields().fields())
        headers.set(name, Value(value));
    Dictionary meta{{"key", Value(key)},
                    {"url", Value(cached.response->url().absoluteString())},
                    {"status", Value(static_cast<int64_t>(cached.response->statusCode()))},
                    {"headers", Value(std::move(headers))},
                    {"stored", Value(cached.storedAt)}};
    auto line = JSONSerialization::stringWithJSONObject(Value(std::move(meta)));
    if (!line)
        return;
    const std::string name = fileFor(key);
    const std::string path = *diskPath_ + "/" + name;
    const std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    std::string bytes = *line + "\n";
    bytes.append(reinterpret_cast<const char*>(cached.data.bytes()), cached.data.length());
    bool ok = true;
    for (size_t done = 0; done < bytes.size() && ok;) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    (void)::close(fd);  // the fsync above checked the data
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        (void)::unlink(temporary.c_str());  // best effort: a leftover is never read as an entry
        return;
    }
    if (auto it = disk_.find(name); it != disk_.end()) {
        diskUsage_ -= it->second;
        diskOrder_.remove(name);
    }
    disk_[name] = static_cast<int64_t>(bytes.size());
    diskOrder_.push_back(name);
    diskUsage_ += static_cast<int64_t>(bytes.size());
    trimDisk();
}

std::optional<CachedURLResponse> URLCache::readFile(const std::string& key) const {
    const std::string path = *diskPath_ + "/" + fileFor(key);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::string bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= diskCapacity_) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        bytes.resize(done);
    }
    (void)::close(fd);  // read only: closing loses nothing
    size_t newline = bytes.find('\n');
    if (newline == std::string::npos)
        return std::nullopt;
    auto meta = JSONSerialization::JSONObjectWithString(std::string_view(bytes).substr(0, newline));
    if (!meta || !meta->isDictionary())
        return std::nullopt;
    const auto& m = *meta->asDictionary();
    const Value* storedKey = m.find("key");
    const Value* url = m.find("url");
    const Value* status = m.find("status");
    const Value* headers = m.find("headers");
    const Value* stored = m.find("stored");
    if (!storedKey || !storedKey->asString() || *storedKey->asString() != key || !url || !url->asString() ||
        !status || !headers || !headers->isDictionary() || !stored)
        return std::nullopt;
    auto responseURL = URL::URLWithString(*url->asString());
    if (!responseURL)
        return std::nullopt;
    HTTPHeaderFields fields;
    for (const auto& [name, value] : *headers->asDictionary()) {
        if (value.asString())
            fields.setValue(*value.asString(), name);
    }
    CachedURLResponse cached;
    cached.response = std::make_shared<const HTTPURLResponse>(
        *responseURL, static_cast<int>(status->integerValue()), fields);
    cached.data = Data(bytes.data() + newline + 1, bytes.size() - newline - 1);
    cached.storedAt = stored->doubleValue();
    return cached;
}

}  // namespace plat::urlloading
