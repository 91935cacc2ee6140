// Task memory: reads of any address of this process, or of a child, that
// report an error instead of faulting, page-sized allocations that never touch
// the heap, and copied mappings of another task's memory.
//
// Every function here is async-signal-safe (system calls only, no heap, no
// locks) and may be called from any thread, including from a signal handler,
// once initialize() has run (it runs on first use as well; call it at ordinary
// time so that crash time never does the one-off work).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace plat::machine {

struct ReadCache;

// A process whose memory is read: this process (the default) or a child.
// With a cache, small reads are served from blocks of task memory read once
// (see ReadCache).
struct Task {
    pid_t pid = 0;  // 0 means this process
    ReadCache* cache = nullptr;
    static Task self() { return Task{}; }
    bool isSelf() const;
};

// A few aligned blocks of task memory, for the many small reads of one
// region in a row (the saved registers and return addresses of a stack being
// walked): each block costs one read of the task, later reads inside it cost
// none. Only for memory that does not change while the cache is used (the
// stack of a suspended thread, the frames above a walk's start). Plain data,
// no heap: keep it where the walk keeps its state; one user at a time.
struct ReadCache {
    static constexpr size_t kBlockSize = 512;
    static constexpr size_t kBlockCount = 4;
    struct Block {
        uint64_t address = 0;
        bool valid = false;
        unsigned char bytes[kBlockSize];
    };
    Block blocks[kBlockCount];
    unsigned nextVictim = 0;
};

enum class ReadResult {
    Ok = 0,
    Unmapped,   // no mapping covers the first unreadable byte
    Protected,  // mapped, but not readable (PROT_NONE, guard pages)
    Failed,     // the task cannot be read at all (gone, not permitted), or a range that wraps
    NoPages,    // copyMapping() only: no local pages could be mapped for the copy
};

// Caches the page size and this process's id (kept current across fork()
// by a fork handler) and opens the fall-back reader. Idempotent; ordinary
// time. Until it has run, every read of this process asks the kernel for the
// process id.
void initialize();

// The system page size (cached at initialize()).
size_t pageSize();

// Copies `length` bytes at `address` of the task into `destination`. Ok only
// when every byte was read; otherwise the destination holds an unspecified
// prefix. Never faults, whatever the address. Through the task's cache when
// it has one (a block that cannot be read whole falls back to reading just
// the bytes asked for).
ReadResult readMemory(const Task& task, uint64_t address, void* destination, size_t length);

// Page-granular anonymous memory (mmap), rounded up to whole pages; null on
// failure. Never uses malloc.
void* allocatePages(size_t length);
void freePages(void* pages, size_t length);

// A private copy of a range of task memory in freshly mapped pages.
struct CopiedMapping {
    void* mapping = nullptr;          // page-aligned local copy (free with freeMapping)
    size_t mappingLength = 0;         // bytes mapped at `mapping`
    uint64_t alignedTaskAddress = 0;  // task address of the first mapped byte
};

// Copies the whole pages that cover [address, address + length). With
// `requireFull`, Ok only when all of them are readable; without it, the copy
// ends at the first unreadable page and is Ok when at least one page was
// copied. On failure nothing stays mapped.
//
// A copy is at most kMaxCopiedMapping bytes: a longer range is refused with
// `requireFull` and cut to that size without it, so that a corrupt size in an
// image cannot make a reader copy gigabytes of the process.
inline constexpr size_t kMaxCopiedMapping = size_t{64} << 20;
ReadResult copyMapping(const Task& task, uint64_t address, size_t length, bool requireFull,
                       CopiedMapping* out);
void freeMapping(CopiedMapping* mapping);

}  // namespace plat::machine
