#include "support/FaultFileEnvironment.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "support/TempDir.h"

namespace testsupport {
namespace {

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string normalFolder(const std::string& path) {
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : canonical.string();
}

}  // namespace

FaultFileEnvironment::FaultFileEnvironment() {
    plat::FileWriteEnvironment::setCurrent(this);
}

FaultFileEnvironment::~FaultFileEnvironment() {
    plat::FileWriteEnvironment::setCurrent(nullptr);
}

void FaultFileEnvironment::failNext(Call call, int err) {
    std::lock_guard lock(mutex_);
    failure_ = {call, err};
}

void FaultFileEnvironment::cutPowerAfter(std::size_t calls) {
    std::lock_guard lock(mutex_);
    powerAfter_ = calls_ + calls;
}

bool FaultFileEnvironment::powerCut() const {
    std::lock_guard lock(mutex_);
    return powerAfter_ && calls_ > *powerAfter_;
}

std::size_t FaultFileEnvironment::callCount() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

bool FaultFileEnvironment::admit(Call call) {
    ++calls_;
    if (powerAfter_ && calls_ > *powerAfter_) {
        errno = EIO;
        return false;
    }
    if (failure_ && failure_->first == call) {
        errno = failure_->second;
        failure_.reset();
        return false;
    }
    return true;
}

void FaultFileEnvironment::remember(const std::string& path) {
    if (!durable_.count(path))
        durable_[path] = readFile(path);
}

int FaultFileEnvironment::createTemporary(std::string& pathTemplate) {
    std::lock_guard lock(mutex_);
    if (!admit(Call::CreateTemporary))
        return -1;
    const int fd = system().createTemporary(pathTemplate);
    if (fd >= 0) {
        durable_[pathTemplate] = std::nullopt;  // a new entry: gone unless its folder is synced
        openPath_[fd] = pathTemplate;
        syncedData_[fd] = std::string();
        pending_[pathTemplate] = PendingEntry{pathTemplate, std::string(), fd};
    }
    return fd;
}

int FaultFileEnvironment::setMode(int fd, mode_t mode) {
    std::lock_guard lock(mutex_);
    return admit(Call::SetMode) ? system().setMode(fd, mode) : -1;
}

int FaultFileEnvironment::writeAll(int fd, const void* bytes, std::size_t length) {
    std::lock_guard lock(mutex_);
    return admit(Call::WriteAll) ? system().writeAll(fd, bytes, length) : -1;
}

int FaultFileEnvironment::syncData(int fd) {
    std::lock_guard lock(mutex_);
    if (!admit(Call::SyncData))
        return -1;
    const int rc = system().syncData(fd);
    if (rc == 0 && openPath_.count(fd)) {
        const std::string& path = openPath_[fd];
        syncedData_[fd] = readFile(path).value_or(std::string());
        // An entry that is already durable now holds the synced data.
        auto it = pending_.find(path);
        if (it == pending_.end() || it->second.fd != fd)
            durable_[path] = syncedData_[fd];
    }
    return rc;
}

int FaultFileEnvironment::close(int fd) {
    std::lock_guard lock(mutex_);
    if (!admit(Call::Close)) {
        system().close(fd);  // the descriptor must not leak
        errno = EIO;
        return -1;
    }
    openPath_.erase(fd);
    for (auto& [path, entry] : pending_) {
        if (entry.fd == fd) {  // the entry keeps the data synced so far
            entry.content = syncedData_[fd];
            entry.fd = -1;
        }
    }
    syncedData_.erase(fd);
    return system().close(fd);
}

FaultFileEnvironment::PendingEntry FaultFileEnvironment::movedEntry(const std::string& from,
                                                                    const std::string& to) {
    PendingEntry moved{to, std::nullopt, -1};
    if (auto it = pending_.find(from); it != pending_.end()) {
        moved.content = it->second.content;
        moved.fd = it->second.fd;
    } else {
        moved.content = durable_[from];
    }
    for (auto& [fd, path] : openPath_) {
        if (path == from) {
            moved.fd = fd;
            moved.content = syncedData_[fd];
        }
    }
    return moved;
}

int FaultFileEnvironment::rename(const std::string& from, const std::string& to) {
    std::lock_guard lock(mutex_);
    if (!admit(Call::Rename))
        return -1;
    remember(from);
    remember(to);
    const int rc = system().rename(from, to);
    if (rc == 0) {
        PendingEntry moved = movedEntry(from, to);
        for (auto& [fd, path] : openPath_) {
            if (path == from)
                path = to;
        }
        pending_[from] = PendingEntry{from, std::nullopt, -1};
        pending_[to] = moved;
    }
    return rc;
}

int FaultFileEnvironment::openSpare(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (!admit(Call::OpenSpare))
        return -1;
    remember(path);
    const int fd = system().openSpare(path);
    if (fd >= 0) {
        // Overwritten in place: the durable contents stay until a sync.
        openPath_[fd] = path;
        syncedData_[fd] = durable_[path].value_or(std::string());
    }
    return fd;
}

int FaultFileEnvironment::truncate(int fd, off_t length) {
    std::lock_guard lock(mutex_);
    return admit(Call::Truncate) ? system().truncate(fd, length) : -1;
}

int FaultFileEnvironment::exchange(const std::string& first, const std::string& second) {
    std::lock_guard lock(mutex_);
    if (!admit(Call::Exchange))
        return -1;
    remember(first);
    remember(second);
    const int rc = system().exchange(first, second);
    if (rc == 0) {
        PendingEntry toSecond = movedEntry(first, second);
        PendingEntry toFirst = movedEntry(second, first);
        for (auto& [fd, path] : openPath_) {
            if (path == first)
                path = second;
            else if (path == second)
                path = first;
        }
        pending_[first] = toFirst;
        pending_[second] = toSecond;
    }
    return rc;
}

int FaultFileEnvironment::syncDirectory(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (!admit(Call::SyncDirectory))
        return -1;
    const int rc = system().syncDirectory(path);
    if (rc == 0) {
        const std::string folder = normalFolder(path);
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (normalFolder(folderOf(it->first)) != folder) {
                ++it;
                continue;
            }
            const PendingEntry& entry = it->second;
            durable_[entry.path] =
                entry.fd >= 0 ? std::optional<std::string>(syncedData_[entry.fd]) : entry.content;
            it = pending_.erase(it);
        }
    }
    return rc;
}

int FaultFileEnvironment::unlink(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (!admit(Call::Unlink))
        return -1;
    remember(path);
    const int rc = system().unlink(path);
    if (rc == 0)
        pending_[path] = PendingEntry{path, std::nullopt, -1};  // comes back unless the folder is synced
    return rc;
}

void FaultFileEnvironment::dropUnsyncedData() {
    std::lock_guard lock(mutex_);
    for (const auto& [path, content] : durable_) {
        if (!content) {
            ::unlink(path.c_str());
            continue;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << *content;
    }
    durable_.clear();
    pending_.clear();
    syncedData_.clear();
    openPath_.clear();
    powerAfter_.reset();
    failure_.reset();
}

}  // namespace testsupport
