#include "platform/foundation/Arena.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
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
    static KeptChunks* kept = [] {
        auto* made = new KeptChunks();  // outlives threads releasing values during exit
        MutexLock lock(made->mutex);
        made->chunks.reserve(kKeptChunks);
        return made;
    }();
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
            } catch (const std::bad_alloc&) {
                // No room to keep it: it is given back to the system below.
            }
        }
    }
    (void)munmap(chunk, Arena::kChunkSize);  // our own mapping: cannot fail
}

}  // namespace

std::atomic<std::size_t> Arena::live_{0};
std::atomic<std::size_t> Arena::freedWhole_{0};

// The record of a document, on the heap, freed with the last of its chunks
// (each of which names it).
class Arena::Document {
  public:
    // Chunks not yet freed.
    std::atomic<std::size_t> chunks{0};
    // A payload other than the root was copied (set by any thread holding
    // part of the document; read by the root's last holder, who is ordered
    // after every such copy by the release of the root's count).
    std::atomic<bool> copiedOut{false};
    // Set by finish(), before the root is handed out.
    bool ownsMemory = false;
    const void* root = nullptr;
    // The chunk made last; each names the one made before it. Read only
    // while the document holds its shares of them.
    Chunk* last = nullptr;
};

Arena::Chunk* Arena::newChunk(std::size_t heapBytes, std::size_t references) {
    void* memory = heapBytes == 0 ? mapChunk() : std::aligned_alloc(kChunkSize, heapBytes);
    if (memory == nullptr)
        throw std::bad_alloc();
    live_.fetch_add(1, std::memory_order_relaxed);
    return new (memory) Chunk{{references}, heapBytes, nullptr, nullptr};
}

namespace {

void freeChunkMemory(void* chunk, std::size_t heapBytes) noexcept {
    if (heapBytes != 0)
        std::free(chunk);
    else
        unmapChunk(chunk);
}

}  // namespace

void Arena::freeChunk(Chunk* chunk) noexcept {
    const std::size_t heapBytes = chunk->heapBytes;
    Document* document = chunk->document;
    chunk->~Chunk();
    freeChunkMemory(chunk, heapBytes);
    live_.fetch_sub(1, std::memory_order_relaxed);
    if (document != nullptr && document->chunks.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete document;
}

void Arena::adopt(Chunk* chunk) noexcept {
    document_->chunks.fetch_add(1, std::memory_order_relaxed);
    chunk->references.fetch_add(1, std::memory_order_relaxed);
    chunk->document = document_;
    chunk->previous = document_->last;
    document_->last = chunk;
}

void* Arena::allocateSlowly(std::size_t bytes, std::size_t alignment) {
    if (document_ == nullptr)
        document_ = new Document();
    if (bytes > kLargeAllocation) {
        // A chunk of its own from the heap, sized in whole chunks so that it
        // stays aligned.
        if (bytes > SIZE_MAX - kHeader - kChunkSize)
            throw std::bad_alloc();
        const std::size_t size = (kHeader + bytes + kChunkSize - 1) & ~(kChunkSize - 1);
        Chunk* chunk = newChunk(size, 1);
        adopt(chunk);
        return reinterpret_cast<char*>(chunk) + kHeader;
    }
    Chunk* chunk = newChunk(0, kOpen);
    adopt(chunk);
    close();
    open_ = chunk;
    cursor_ = reinterpret_cast<char*>(chunk) + kHeader;
    end_ = reinterpret_cast<char*>(chunk) + kChunkSize;
    allocations_ = 0;
    return allocate(bytes, alignment);
}

void Arena::finish(const void* root, std::size_t rootOwnedMemory) noexcept {
    if (root == nullptr || !holds(root)) {
        close();
        abandon();
        return;
    }
    close();
    document_->ownsMemory = ownedMemory_ != rootOwnedMemory;
    document_->root = root;
    document_ = nullptr;
    ownedMemory_ = 0;
}

void Arena::abandon() noexcept {
    if (document_ != nullptr && document_->last == nullptr)
        delete document_;  // no chunk was made for it
    else if (document_ != nullptr)
        dropShares(document_);
    document_ = nullptr;
    ownedMemory_ = 0;
}

void Arena::dropShares(Document* document) noexcept {
    for (Chunk* chunk = document->last; chunk != nullptr;) {
        Chunk* previous = chunk->previous;
        if (chunk->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            freeChunk(chunk);  // the last chunk frees the record too
        chunk = previous;
    }
}

void Arena::noteCopied(const void* p) noexcept {
    Document* document = chunkOf(p)->document;
    if (document != nullptr && document->root != p && !document->copiedOut.load(std::memory_order_relaxed))
        document->copiedOut.store(true, std::memory_order_relaxed);
}

Arena::Document* Arena::rootDocument(const void* p) noexcept {
    Document* document = chunkOf(p)->document;
    return document != nullptr && document->root == p ? document : nullptr;
}

bool Arena::freesWhole(const Document* document) noexcept {
    return !document->ownsMemory && !document->copiedOut.load(std::memory_order_acquire);
}

void Arena::freeWhole(Document* document) noexcept {
    // Releases held back on this thread may name one of these chunks.
    if (pending_.chunk != nullptr)
        settle(pending_);
    std::size_t freed = 0;
    {
        // The mapped chunks are kept (or unmapped) under one lock.
        KeptChunks& kept = keptChunks();
        MutexLock lock(kept.mutex);
        for (Chunk* chunk = document->last; chunk != nullptr; ++freed) {
            Chunk* previous = chunk->previous;
            const std::size_t heapBytes = chunk->heapBytes;
            chunk->~Chunk();
            if (heapBytes != 0)
                std::free(chunk);
            else if (kept.chunks.size() < kKeptChunks)
                kept.chunks.push_back(chunk);  // within the capacity reserved
            else
                (void)munmap(chunk, kChunkSize);  // our own mapping: cannot fail
            chunk = previous;
        }
    }
    live_.fetch_sub(freed, std::memory_order_relaxed);
    delete document;
    freedWhole_.fetch_add(1, std::memory_order_relaxed);
}

void Arena::rootReleased(Document* document) noexcept {
    dropShares(document);
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
