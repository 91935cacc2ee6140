// SmallBlockCache: a per-thread cache of small heap blocks for types of our
// own that are made and dropped by the dozen (value payloads, store rows,
// object IDs).
//
// The C library's allocator keeps only a handful of freed blocks of a size
// per thread; past that, every free and the next allocation of the size go
// through its shared bins, which costs several times a list pop. This cache
// keeps, per thread and per size class (16-byte steps up to kLargest bytes),
// a bounded list of blocks the thread freed: allocating pops from the list,
// freeing pushes onto the freeing thread's list. Every block is an ordinary
// block of ::operator new of its class's size, so a block may be freed on a
// thread other than the one that allocated it, and blocks a list has no room
// for, or a thread holds when it exits, go back with ::operator delete.
//
// Callers pass the size they asked for again when freeing (as with sized
// delete); larger sizes (and 0) go to ::operator new and ::operator delete
// directly.
// Blocks are aligned as ::operator new aligns them (16 bytes).
//
// Under the address sanitizer the cache stays in use: a block in a list is
// poisoned, and a block handed out is addressable only up to the size asked
// for, so uses after free and overruns are still reported.
//
// Memory stays bounded: a thread holds at most maxBlocks(size) blocks of each
// class (256 for the smallest classes, down to 64 for the largest: about
// 16 KB a class), under 240 KB a thread in all.
#pragma once

#include <cstddef>
#include <new>

namespace plat {

class SmallBlockCache {
  public:
    // Sizes up to this go through the cache.
    static constexpr std::size_t kLargest = 256;
    static constexpr std::size_t kStep = 16;
    static constexpr std::size_t kClasses = kLargest / kStep;

    // A block of at least `size` bytes (never null; throws std::bad_alloc).
    static void* allocate(std::size_t size);
    // Frees a block from allocate(size) with the same size.
    static void deallocate(void* block, std::size_t size) noexcept;

    // The size of the blocks a request of `size` bytes is given (0 for
    // sizes that bypass the cache).
    static constexpr std::size_t blockSize(std::size_t size) noexcept {
        return size == 0 || size > kLargest ? 0 : (size + kStep - 1) / kStep * kStep;
    }
    // How many blocks of that size one thread keeps at most.
    static constexpr std::size_t maxBlocks(std::size_t size) noexcept {
        const std::size_t block = blockSize(size);
        if (block == 0)
            return 0;
        const std::size_t byBytes = kBytesPerClass / block;
        return byBytes < kLeastBlocks ? kLeastBlocks : byBytes > kMostBlocks ? kMostBlocks : byBytes;
    }

    // What the calling thread's cache holds.
    struct Holding {
        std::size_t blocks = 0;
        std::size_t bytes = 0;
    };
    static Holding heldByThisThread() noexcept;
    // Blocks of the class of `size` the calling thread holds.
    static std::size_t heldByThisThread(std::size_t size) noexcept;
    // Gives the calling thread's blocks back to the allocator.
    static void releaseThisThread() noexcept;
    // Blocks given back by threads at their exit, over the process's life.
    static std::size_t returnedAtThreadExit() noexcept;

  private:
    static constexpr std::size_t kBytesPerClass = 16 * 1024;
    static constexpr std::size_t kLeastBlocks = 64;
    static constexpr std::size_t kMostBlocks = 256;
};

// A standard allocator over the cache, for containers and allocate_shared
// (a shared_ptr's control block and its object in one cached block).
template <class T>
struct SmallBlockAllocator {
    using value_type = T;
    SmallBlockAllocator() noexcept = default;
    template <class U>
    SmallBlockAllocator(const SmallBlockAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
        if (n > static_cast<std::size_t>(-1) / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(SmallBlockCache::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { SmallBlockCache::deallocate(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const SmallBlockAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace plat
