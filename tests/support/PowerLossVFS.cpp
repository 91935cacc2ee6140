#include "support/PowerLossVFS.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <new>

#include "support/TempDir.h"

namespace testsupport {
namespace {

// A file of the shim: our header, then the real VFS's file.
struct ShimFile {
    sqlite3_file base;
    PowerLossVFS* owner;
    std::string* path;
    sqlite3_file* real;
};

PowerLossVFS* ownerOf(sqlite3_vfs* vfs) {
    return static_cast<PowerLossVFS*>(vfs->pAppData);
}
ShimFile* shim(sqlite3_file* f) {
    return reinterpret_cast<ShimFile*>(f);
}
sqlite3_file* real(sqlite3_file* f) {
    return shim(f)->real;
}

int xClose(sqlite3_file* f) {
    int rc = real(f)->pMethods ? real(f)->pMethods->xClose(real(f)) : SQLITE_OK;
    delete shim(f)->path;
    return rc;
}
int xRead(sqlite3_file* f, void* p, int n, sqlite3_int64 at) {
    return real(f)->pMethods->xRead(real(f), p, n, at);
}
int xWrite(sqlite3_file* f, const void* p, int n, sqlite3_int64 at) {
    if (!shim(f)->owner->admitChange())
        return SQLITE_IOERR_WRITE;
    sqlite3_int64 size = 0;
    if (real(f)->pMethods->xFileSize(real(f), &size) == SQLITE_OK && at + n > size &&
        !shim(f)->owner->admitGrowth(static_cast<std::size_t>(at + n - size)))
        return SQLITE_FULL;
    return real(f)->pMethods->xWrite(real(f), p, n, at);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
    if (!shim(f)->owner->admitChange())
        return SQLITE_IOERR_TRUNCATE;
    return real(f)->pMethods->xTruncate(real(f), size);
}
int xSync(sqlite3_file* f, int flags) {
    if (!shim(f)->owner->admitChange())
        return SQLITE_IOERR_FSYNC;
    int rc = real(f)->pMethods->xSync(real(f), flags);
    if (rc == SQLITE_OK && shim(f)->path)
        shim(f)->owner->synced(*shim(f)->path);
    return rc;
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
}
int xLock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xLock(real(f), level);
}
int xUnlock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xUnlock(real(f), level);
}
int xCheckReservedLock(sqlite3_file* f, int* out) {
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int xFileControl(sqlite3_file* f, int op, void* arg) {
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int xSectorSize(sqlite3_file* f) {
    return real(f)->pMethods->xSectorSize(real(f));
}
int xDeviceCharacteristics(sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}
int xShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** p) {
    return real(f)->pMethods->xShmMap(real(f), region, size, extend, p);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) {
    real(f)->pMethods->xShmBarrier(real(f));
}
int xShmUnmap(sqlite3_file* f, int deleteFlag) {
    return real(f)->pMethods->xShmUnmap(real(f), deleteFlag);
}
int xFetch(sqlite3_file*, sqlite3_int64, int, void** p) {
    *p = nullptr;  // no memory-mapped reads: every read goes through xRead
    return SQLITE_OK;
}
int xUnfetch(sqlite3_file*, sqlite3_int64, void*) {
    return SQLITE_OK;
}

const sqlite3_io_methods kMethods = {3,
                                     xClose,
                                     xRead,
                                     xWrite,
                                     xTruncate,
                                     xSync,
                                     xFileSize,
                                     xLock,
                                     xUnlock,
                                     xCheckReservedLock,
                                     xFileControl,
                                     xSectorSize,
                                     xDeviceCharacteristics,
                                     xShmMap,
                                     xShmLock,
                                     xShmBarrier,
                                     xShmUnmap,
                                     xFetch,
                                     xUnfetch};

int xOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    PowerLossVFS* owner = ownerOf(vfs);
    ShimFile* s = shim(f);
    s->owner = owner;
    s->path = nullptr;
    s->real = reinterpret_cast<sqlite3_file*>(s + 1);
    if (name && (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL)))
        owner->opened(name);
    int rc = owner->real()->xOpen(owner->real(), name, s->real, flags, outFlags);
    if (rc != SQLITE_OK) {
        f->pMethods = nullptr;
        return rc;
    }
    if (name && (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL)))
        s->path = new std::string(name);
    f->pMethods = &kMethods;
    return SQLITE_OK;
}

int xDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
    PowerLossVFS* owner = ownerOf(vfs);
    if (!owner->admitChange())
        return SQLITE_IOERR_DELETE;
    owner->opened(name);
    int rc = owner->real()->xDelete(owner->real(), name, syncDir);
    if (rc == SQLITE_OK)
        owner->deleted(name, syncDir != 0);
    return rc;
}

}  // namespace

PowerLossVFS::PowerLossVFS() : real_(sqlite3_vfs_find(nullptr)), shim_(new sqlite3_vfs(*real_)) {
    shim_->zName = "kp-power-loss";
    shim_->pAppData = this;
    shim_->szOsFile = static_cast<int>(sizeof(ShimFile)) + real_->szOsFile;
    shim_->xOpen = xOpen;
    shim_->xDelete = xDelete;
    shim_->pNext = nullptr;
    sqlite3_vfs_register(shim_, 1);
}

PowerLossVFS::~PowerLossVFS() {
    sqlite3_vfs_unregister(shim_);
    sqlite3_vfs_register(real_, 1);
    delete shim_;
}

void PowerLossVFS::cutPowerAfter(std::size_t changes) {
    std::lock_guard lock(mutex_);
    powerAfter_ = changes_ + changes;
}

bool PowerLossVFS::powerCut() const {
    std::lock_guard lock(mutex_);
    return powerAfter_ && changes_ > *powerAfter_;
}

void PowerLossVFS::limitSpace(std::optional<std::size_t> bytes) {
    std::lock_guard lock(mutex_);
    spaceLimit_ = bytes;
}

std::size_t PowerLossVFS::usedSpace() const {
    std::lock_guard lock(mutex_);
    std::size_t used = 0;
    for (const auto& entry : durable_) {
        struct stat info {};
        if (::stat(entry.first.c_str(), &info) == 0)
            used += static_cast<std::size_t>(info.st_size);
    }
    return used;
}

bool PowerLossVFS::admitGrowth(std::size_t growth) {
    std::optional<std::size_t> limit;
    {
        std::lock_guard lock(mutex_);
        limit = spaceLimit_;
    }
    return !limit || usedSpace() + growth <= *limit;
}

bool PowerLossVFS::admitChange() {
    std::lock_guard lock(mutex_);
    ++changes_;
    return !(powerAfter_ && changes_ > *powerAfter_);
}

void PowerLossVFS::opened(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (!durable_.count(path))
        durable_[path] = readFile(path);
}

void PowerLossVFS::synced(const std::string& path) {
    std::lock_guard lock(mutex_);
    durable_[path] = readFile(path);
}

void PowerLossVFS::deleted(const std::string& path, bool durably) {
    std::lock_guard lock(mutex_);
    if (durably)
        durable_[path] = std::nullopt;
}

void PowerLossVFS::dropUnsyncedData() {
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
    powerAfter_.reset();
}

}  // namespace testsupport
