#include "platform/foundation/Arena.h"

#include <sys/mman.h>

#include <cstdlib>
#include <vector>

#include "platform/foundation/Mutex.h"

namespace plat::detail {
namespace {

// Chunks of kChunkSize are mapped apart from the heap: the heap blocks a
// document still takes (a long string's bytes) then lie together, in the
// order they were made, rather than scattered among chunks; reading the
// document back in order is markedly faster so. Released chunks are kept
// (up to kKeptChunks, 32 MiB: the tree of a document of a few megabytes, the
// size the shared parser serves) for the next documents, which saves mapping
// them and faulting their pages in again; with a quarter of that, reading
// 1.7 MB of records spent about a tenth of its time mapping and faulting.
constexpr std::size_t kKeptChunks = 512;

struct KeptChunks {
    Mutex mutex;
    std::vector<void*> chunks GUARDED_BY(mutex);
};

KeptChunks& keptChunks() {
    static KeptChunks* kept = new KeptChunks();  // outlives threads releasing values during exit
    return *kept;
}

void* mapChunk() {
    {
        KeptChunks& kept = keptChunks();
        MutexLock lock(kept.mutex);
        if (!kept.chunks.empty()) {
            void* chunk = kept.chunks.back();
            kept.chunks.pop_back();
            return chunk;
        }
    }
    // Twice the size, trimmed to the aligned chunk inside.
    const std::size_t mapped = 2 * Arena::kChunkSize;
    void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const auto chunk = (start + Arena::kChunkSize - 1) & ~(Arena::kChunkSize - 1);
    // Trimming our own mapping: munmap cannot fail.
    if (chunk > start)
        (void)munmap(raw, chunk - start);
    if (const std::size_t after = start + mapped - (chunk + Arena::kChunkSize); after > 0)
        (void)munmap(reinterpret_cast<void*>(chunk + Arena::kChunkSize), after);
    return reinterpret_cast<void*>(chunk);
}

void unmapChunk(void* chunk) noexcept {
    {
        KeptChunks& kept = keptChunks();
        MutexLock lock(kept.mutex);
        if (kept.chunks.size() < kKeptChunks) {
            try {
                kept.chunks.push_back(chunk);
                return;
            } catch (...) {
            }
        }
    }
    (void)munmap(chunk, Arena::kChunkSize);  // our own mapping: cannot fail
}

}  // namespace

std::atomic<std::size_t> Arena::live_{0};

Arena::Chunk* Arena::newChunk(std::size_t heapBytes, std::size_t references) {
    void* memory = heapBytes == 0 ? mapChunk() : std::aligned_alloc(kChunkSize, heapBytes);
    if (memory == nullptr)
        throw std::bad_alloc();
    live_.fetch_add(1, std::memory_order_relaxed);
    return new (memory) Chunk{{references}, heapBytes};
}

void Arena::freeChunk(Chunk* chunk) noexcept {
    const bool fromHeap = chunk->heapBytes != 0;
    chunk->~Chunk();
    if (fromHeap)
        std::free(chunk);
    else
        unmapChunk(chunk);
    live_.fetch_sub(1, std::memory_order_relaxed);
}

void* Arena::allocateSlowly(std::size_t bytes, std::size_t alignment) {
    if (bytes > kLargeAllocation) {
        // A chunk of its own from the heap, sized in whole chunks so that it
        // stays aligned.
        if (bytes > SIZE_MAX - kHeader - kChunkSize)
            throw std::bad_alloc();
        const std::size_t size = (kHeader + bytes + kChunkSize - 1) & ~(kChunkSize - 1);
        return reinterpret_cast<char*>(newChunk(size, 1)) + kHeader;
    }
    Chunk* chunk = newChunk(0, kOpen);
    close();
    open_ = chunk;
    cursor_ = reinterpret_cast<char*>(chunk) + kHeader;
    end_ = reinterpret_cast<char*>(chunk) + kChunkSize;
    allocations_ = 0;
    return allocate(bytes, alignment);
}

void Arena::close() noexcept {
    if (open_ == nullptr)
        return;
    const std::size_t unused = kOpen - allocations_;
    if (open_->references.fetch_sub(unused, std::memory_order_acq_rel) == unused)
        freeChunk(open_);
    open_ = nullptr;
    cursor_ = end_ = nullptr;
    allocations_ = 0;
}

}  // namespace plat::detail
