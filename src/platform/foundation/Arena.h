// Arena: memory for the payloads of one parsed document, taken from large
// chunks by bumping a cursor rather than from the heap node by node.
//
// Every allocation holds a share of its chunk, and a chunk is freed when its
// last allocation is released, so parts of a document may outlive the rest
// (and the Arena itself) and be released from any thread. The chunk of an
// allocation is found from its address alone: chunks are aligned to their
// size, and an allocation too large for a shared chunk gets a chunk of its
// own (from the heap) that starts with it.
//
// The Arena itself (the open chunk and its cursor) belongs to the one thread
// building the document, and lives only while it is being built.
//
// The chunks of an arena make up one Document, which holds a share of each
// of them. Its builder seals it with the payload of its root (finish()):
// when that root's last holder goes and no payload inside was ever copied out
// of the document (copies of the root itself aside) and nothing inside owns
// memory of its own, the document's chunks are freed together, without a
// walk over the tree; otherwise the tree is torn down payload by payload and
// the document then drops its shares.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

namespace plat::detail {

// Releases held back on a thread by Arena::BatchedReleases: `count` of them
// in `chunk`, within `scopes` nested scopes.
struct ArenaPendingReleases {
    void* chunk = nullptr;
    std::size_t count = 0;
    std::size_t scopes = 0;
};

class Arena {
  public:
    static constexpr std::size_t kChunkSize = std::size_t{64} << 10;
    // Larger allocations get a chunk of their own, so that at most this much
    // of a shared chunk is left unused when it fills up.
    static constexpr std::size_t kLargeAllocation = kChunkSize / 8;

    class Document;

    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        close();
        abandon();
    }

    // Memory for `bytes` (> 0) at `alignment` (at most 16); throws
    // std::bad_alloc when none is left.
    void* allocate(std::size_t bytes, std::size_t alignment) {
        const auto at = (reinterpret_cast<std::uintptr_t>(cursor_) + alignment - 1) & ~(alignment - 1);
        if (cursor_ != nullptr && bytes <= reinterpret_cast<std::uintptr_t>(end_) - at) {
            cursor_ = reinterpret_cast<char*>(at + bytes);
            __builtin_prefetch(cursor_ + 1024, 1);
            ++allocations_;
            return reinterpret_cast<void*>(at);
        }
        return allocateSlowly(bytes, alignment);
    }

    // Gives back one allocation (by any address inside its first
    // kChunkSize - kHeader bytes); frees its chunk if it was the last one.
    static void release(const void* p) noexcept {
        Chunk* chunk = chunkOf(p);
        Pending& pending = pending_;
        if (pending.scopes > 0) {
            if (chunk != pending.chunk) {
                settle(pending);
                pending.chunk = chunk;
            }
            ++pending.count;
            return;
        }
        if (chunk->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            freeChunk(chunk);
    }

    // While one lives on a thread, the releases of that thread are gathered
    // and given back together when the next one falls in another chunk, or
    // when the outermost scope ends: destroying a document releases its
    // allocations chunk by chunk, in the order they were made, so this takes
    // one atomic step per run of them rather than one each. A chunk is freed
    // no earlier than without it, only later.
    class BatchedReleases {
      public:
        BatchedReleases() noexcept { ++pending_.scopes; }
        BatchedReleases(const BatchedReleases&) = delete;
        BatchedReleases& operator=(const BatchedReleases&) = delete;
        ~BatchedReleases() {
            Pending& pending = pending_;
            if (--pending.scopes == 0)
                settle(pending);
        }
    };

    // Number of chunks currently allocated by all arenas (for tests).
    static std::size_t liveChunks() noexcept { return live_.load(std::memory_order_relaxed); }

    // Number of documents whose chunks were freed together (for tests).
    static std::size_t documentsFreedWhole() noexcept { return freedWhole_.load(std::memory_order_relaxed); }

    // --- The document the arena builds ---

    // Something inside the document owns memory outside its chunks (a long
    // string's bytes, a hash index, a payload from elsewhere): its tree is
    // then torn down payload by payload.
    void noteOwnedMemory() noexcept { ++ownedMemory_; }
    // Whether `p` (a payload) was allocated by this arena for its current
    // document.
    bool holds(const void* p) const noexcept {
        return document_ != nullptr && chunkOf(p)->document == document_;
    }
    // Ends the document with its root payload (made by this arena);
    // `rootOwnedMemory` of the noted owners belong to the root itself, which
    // frees them before freeWhole(). The arena allocates nothing more for
    // this document.
    void finish(const void* root, std::size_t rootOwnedMemory) noexcept;
    // A copy of the arena payload `p` was made: unless `p` is its document's
    // root, the payload may now outlive the root.
    static void noteCopied(const void* p) noexcept;
    // The document whose sealed root is the arena payload `p`, or null.
    static Document* rootDocument(const void* p) noexcept;
    // Whether the tree of the document's root may go without a walk:
    // nothing was copied out of the document and nothing inside owns memory
    // of its own.
    static bool freesWhole(const Document* document) noexcept;
    // Frees every chunk of the document at once (after freesWhole()).
    static void freeWhole(Document* document) noexcept;
    // After its root's tree was torn down payload by payload: the document
    // drops its shares of its chunks.
    static void rootReleased(Document* document) noexcept;

  private:
    struct alignas(16) Chunk {
        // Allocations not yet released, plus kOpen while the chunk is the
        // arena's open chunk (whose allocations are counted in allocations_
        // and added when it closes, to save an atomic step per allocation),
        // plus one for the document's share until its root goes.
        std::atomic<std::size_t> references;
        // Bytes of a chunk of its own taken from the heap; 0 for the chunks
        // of kChunkSize, which are mapped apart from the heap and reused.
        std::size_t heapBytes;
        // The document the chunk belongs to, and the document's chunk made
        // before this one.
        Document* document;
        Chunk* previous;
    };
    static constexpr std::size_t kHeader = sizeof(Chunk);
    static constexpr std::size_t kOpen = std::size_t{1} << 62;

    using Pending = ArenaPendingReleases;
    static void settle(Pending& pending) noexcept {
        if (pending.count != 0 &&
            static_cast<Chunk*>(pending.chunk)
                    ->references.fetch_sub(pending.count, std::memory_order_acq_rel) == pending.count)
            freeChunk(static_cast<Chunk*>(pending.chunk));
        pending.chunk = nullptr;
        pending.count = 0;
    }

    static Chunk* chunkOf(const void* p) noexcept {
        return reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(p) & ~(kChunkSize - 1));
    }
    static Chunk* newChunk(std::size_t heapBytes, std::size_t references);
    static void freeChunk(Chunk* chunk) noexcept;
    void* allocateSlowly(std::size_t bytes, std::size_t alignment);
    void close() noexcept;
    // Adds a chunk to the document (which takes its share of it).
    void adopt(Chunk* chunk) noexcept;
    // An unfinished document drops its shares of its chunks.
    void abandon() noexcept;
    static void dropShares(Document* document) noexcept;

    Chunk* open_ = nullptr;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
    std::size_t allocations_ = 0;
    Document* document_ = nullptr;
    std::size_t ownedMemory_ = 0;
    static std::atomic<std::size_t> live_;
    static std::atomic<std::size_t> freedWhole_;
    static inline thread_local Pending pending_;
};

// Allocator of containers whose storage may lie in an Arena: with an arena it
// allocates there, without one (the default) on the heap. Copies of a
// container get the heap allocator, so a copy of part of a document owns its
// storage; only the builder of a document allocates with the arena, and the
// containers it fills are immutable once built (they are reachable only
// through the const views of their Values), so the arena is never used after
// it is gone. Releasing needs only the address.
template <class T>
class ArenaAllocator {
  public:
    using value_type = T;
    using propagate_on_container_copy_assignment = std::false_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    ArenaAllocator() noexcept = default;
    explicit ArenaAllocator(Arena* arena) noexcept : arena_(arena) {}
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>& other) noexcept : arena_(other.arena()) {}

    T* allocate(std::size_t n) {
        if (arena_ == nullptr)
            return std::allocator<T>().allocate(n);
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_array_new_length();
        static_assert(alignof(T) <= 16);
        return static_cast<T*>(arena_->allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (arena_ == nullptr)
            std::allocator<T>().deallocate(p, n);
        else
            Arena::release(p);
    }
    ArenaAllocator select_on_container_copy_construction() const noexcept { return ArenaAllocator(); }

    Arena* arena() const noexcept { return arena_; }
    friend bool operator==(const ArenaAllocator& a, const ArenaAllocator& b) noexcept {
        return a.arena_ == b.arena_;
    }

  private:
    Arena* arena_ = nullptr;
};

}  // namespace plat::detail
