#include "platform/machine/Memory.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

namespace plat::machine {

namespace {

std::atomic<size_t> gPageSize{0};
// /proc/self/mem, opened at initialize(), read with pread when
// process_vm_readv is refused (seccomp filters of some sandboxes deny it).
// After a fork the descriptor still reads the parent, so it is used only by
// the process that opened it.
std::atomic<int> gSelfMemFd{-1};
std::atomic<pid_t> gSelfMemPid{0};

size_t ensurePageSize() {
    size_t size = gPageSize.load(std::memory_order_relaxed);
    if (size == 0) {
        long value = sysconf(_SC_PAGESIZE);
        size = value > 0 ? static_cast<size_t>(value) : 4096;
        gPageSize.store(size, std::memory_order_relaxed);
    }
    return size;
}

// This process's id, set by initialize() and renewed in the child of every
// fork() (the handler runs before fork() returns there); 0 until then.
std::atomic<pid_t> gSelfPid{0};
std::atomic<bool> gForkHandlerInstalled{false};

void renewSelfPid() {
    gSelfPid.store(getpid(), std::memory_order_relaxed);
}

pid_t selfPid() {
    const pid_t cached = gSelfPid.load(std::memory_order_relaxed);
    return cached != 0 ? cached : getpid();
}

pid_t taskPid(const Task& task) {
    return task.pid == 0 ? selfPid() : task.pid;
}

// Tells an unmapped page from a protected one for this process: mincore fails
// with ENOMEM exactly when part of the range is not mapped.
ReadResult classifyFailure(const Task& task, uint64_t address) {
    if (!task.isSelf())
        return ReadResult::Unmapped;
    uint64_t page = address & ~(static_cast<uint64_t>(ensurePageSize()) - 1);
    unsigned char residency = 0;
    if (mincore(reinterpret_cast<void*>(page), 1, &residency) != 0) {
        return errno == ENOMEM ? ReadResult::Unmapped : ReadResult::Failed;
    }
    return ReadResult::Protected;
}

// Opens /proc/<pid>/mem without formatting library calls (async-signal-safe).
int openProcMem(pid_t pid) {
    char path[32] = "/proc/";
    char digits[12];
    int count = 0;
    for (unsigned value = static_cast<unsigned>(pid); count == 0 || value != 0; value /= 10) {
        digits[count++] = static_cast<char>('0' + value % 10);
    }
    size_t at = 6;
    while (count > 0)
        path[at++] = digits[--count];
    for (const char* tail = "/mem"; *tail != '\0'; ++tail)
        path[at++] = *tail;
    path[at] = '\0';
    return open(path, O_RDONLY | O_CLOEXEC);
}

// The fall-back reads what the kernel lets a debugger read, which includes
// mapped pages without read permission.
ReadResult readThroughProcMem(const Task& task, uint64_t address, void* destination, size_t length) {
    const pid_t pid = taskPid(task);
    int fd =
        gSelfMemPid.load(std::memory_order_relaxed) == pid ? gSelfMemFd.load(std::memory_order_relaxed) : -1;
    const bool owned = fd < 0;
    if (owned)
        fd = openProcMem(pid);
    if (fd < 0)
        return ReadResult::Failed;
    auto* out = static_cast<char*>(destination);
    size_t done = 0;
    ReadResult result = ReadResult::Ok;
    while (done < length) {
        ssize_t n = pread(fd, out + done, length - done, static_cast<off_t>(address + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result = classifyFailure(task, address + done);
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (owned)
        (void)close(fd);  // read only: closing loses nothing
    return result;
}

}  // namespace

bool Task::isSelf() const {
    return pid == 0 || pid == selfPid();
}

void initialize() {
    ensurePageSize();
    // Without the handler a child still renews the pid here; the next call
    // tries to install it again.
    if (!gForkHandlerInstalled.exchange(true) && pthread_atfork(nullptr, nullptr, renewSelfPid) != 0)
        gForkHandlerInstalled.store(false);
    renewSelfPid();
    const pid_t self = getpid();
    if (gSelfMemPid.load() != self) {
        int fd = openProcMem(self);
        if (fd >= 0) {
            int previous = gSelfMemFd.exchange(fd);
            gSelfMemPid.store(self);
            // A descriptor inherited across fork reads the parent: drop it.
            if (previous >= 0)
                (void)close(previous);  // read only: closing loses nothing
        }
    }
}

size_t pageSize() {
    return ensurePageSize();
}

namespace {

ReadResult readUncached(const Task& task, uint64_t address, void* destination, size_t length);

// Serves a read from the cache's blocks, filling the missing ones; false
// when a block cannot be read whole (the caller then reads directly).
bool readThroughCache(ReadCache* cache, const Task& task, uint64_t address, void* destination,
                      size_t length) {
    constexpr uint64_t kMask = ReadCache::kBlockSize - 1;
    auto* out = static_cast<unsigned char*>(destination);
    while (length > 0) {
        const uint64_t blockAddress = address & ~kMask;
        ReadCache::Block* block = nullptr;
        for (auto& candidate : cache->blocks) {
            if (candidate.valid && candidate.address == blockAddress) {
                block = &candidate;
                break;
            }
        }
        if (block == nullptr) {
            block = &cache->blocks[cache->nextVictim];
            cache->nextVictim = (cache->nextVictim + 1) % ReadCache::kBlockCount;
            block->valid = false;
            // An aligned block never crosses a page: it is readable whole or not at all.
            if (readUncached(task, blockAddress, block->bytes, ReadCache::kBlockSize) != ReadResult::Ok)
                return false;
            block->address = blockAddress;
            block->valid = true;
        }
        const uint64_t at = address - blockAddress;
        const size_t n = length < ReadCache::kBlockSize - at ? length : ReadCache::kBlockSize - at;
        for (size_t i = 0; i < n; ++i)
            out[i] = block->bytes[at + i];
        out += n;
        address += n;
        length -= n;
    }
    return true;
}

}  // namespace

ReadResult readMemory(const Task& task, uint64_t address, void* destination, size_t length) {
    if (length == 0)
        return ReadResult::Ok;
    if (address + length < address)
        return ReadResult::Failed;
    static_assert(ReadCache::kBlockSize % 64 == 0 &&
                  (ReadCache::kBlockSize & (ReadCache::kBlockSize - 1)) == 0);
    if (task.cache != nullptr && length <= ReadCache::kBlockSize &&
        ensurePageSize() % ReadCache::kBlockSize == 0 &&
        readThroughCache(task.cache, task, address, destination, length)) {
        return ReadResult::Ok;
    }
    return readUncached(task, address, destination, length);
}

namespace {

ReadResult readUncached(const Task& task, uint64_t address, void* destination, size_t length) {
    auto* out = static_cast<char*>(destination);
    size_t done = 0;
    while (done < length) {
        iovec local{out + done, length - done};
        iovec remote{reinterpret_cast<void*>(address + done), length - done};
        ssize_t n = process_vm_readv(taskPid(task), &local, 1, &remote, 1, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno == EFAULT)
            return classifyFailure(task, address + done);
        if (errno == ENOSYS || errno == EPERM) {
            return readThroughProcMem(task, address + done, out + done, length - done);
        }
        return ReadResult::Failed;
    }
    return ReadResult::Ok;
}

}  // namespace

void* allocatePages(size_t length) {
    size_t page = ensurePageSize();
    size_t rounded = (length + page - 1) & ~(page - 1);
    if (rounded == 0 || rounded < length)
        return nullptr;
    void* pages = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void freePages(void* pages, size_t length) {
    if (pages == nullptr)
        return;
    size_t page = ensurePageSize();
    // Fails only for a range that is not a mapping; allocatePages made it.
    (void)munmap(pages, (length + page - 1) & ~(page - 1));
}

ReadResult copyMapping(const Task& task, uint64_t address, size_t length, bool requireFull,
                       CopiedMapping* out) {
    *out = CopiedMapping{};
    const uint64_t page = ensurePageSize();
    const uint64_t mask = page - 1;
    if (length == 0 || address + length < address || address + length + mask < address + length) {
        return ReadResult::Failed;
    }
    const uint64_t start = address & ~mask;
    uint64_t total = (address + length + mask - start) & ~mask;
    if (total > kMaxCopiedMapping) {
        if (requireFull)
            return ReadResult::NoPages;
        total = kMaxCopiedMapping;
    }
    auto* local = static_cast<char*>(allocatePages(total));
    if (local == nullptr)
        return ReadResult::NoPages;

    // One remote iovec per page: the kernel stops at the first page it cannot
    // read, so the count of bytes copied says how many leading pages are readable.
    constexpr size_t kPagesPerCall = 64;
    iovec remote[kPagesPerCall];
    uint64_t copied = 0;
    ReadResult result = ReadResult::Ok;
    while (copied < total) {
        size_t pages = 0;
        for (; pages < kPagesPerCall && copied + pages * page < total; ++pages) {
            remote[pages] = iovec{reinterpret_cast<void*>(start + copied + pages * page), page};
        }
        iovec localVec{local + copied, pages * page};
        ssize_t n = process_vm_readv(taskPid(task), &localVec, 1, remote, pages, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == ENOSYS || errno == EPERM)) {
            // Fall back page by page through /proc/<pid>/mem.
            n = 0;
            for (size_t i = 0; i < pages; ++i) {
                if (readThroughProcMem(task, start + copied + i * page, local + copied + i * page, page) !=
                    ReadResult::Ok) {
                    break;
                }
                n += static_cast<ssize_t>(page);
            }
        }
        if (n > 0)
            copied += static_cast<uint64_t>(n) & ~mask;
        if (n < 0 || static_cast<size_t>(n) < pages * page) {
            result = n < 0 && errno != EFAULT ? ReadResult::Failed : classifyFailure(task, start + copied);
            break;
        }
    }
    if (copied == 0 || (requireFull && copied < total)) {
        freePages(local, total);
        return result == ReadResult::Ok ? ReadResult::Failed : result;
    }
    // The uncopied rest of our own mapping: unmapping it cannot fail.
    if (copied < total)
        (void)munmap(local + copied, total - copied);
    out->mapping = local;
    out->mappingLength = copied;
    out->alignedTaskAddress = start;
    return ReadResult::Ok;
}

void freeMapping(CopiedMapping* mapping) {
    if (mapping->mapping != nullptr)
        (void)munmap(mapping->mapping, mapping->mappingLength);  // our own mapping: cannot fail
    *mapping = CopiedMapping{};
}

}  // namespace plat::machine
