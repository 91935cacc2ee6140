// BlockCache: a few freed blocks of one size kept per thread, for an object
// made and dropped once per request whose size is past the allocator's own
// per-thread cache. Such a block otherwise takes the allocator's slow path
// each time (and its free lists are consolidated first); here a block freed
// on a thread is handed to that thread's next allocation.
//
// allocate() and deallocate() may be called from any thread; a block may be
// freed on another thread than the one that made it. A thread keeps at most
// `Capacity` blocks; past that, and after the thread's cache has been torn
// down at thread exit, blocks go back to the allocator. The blocks a thread
// keeps are released when it ends. Under the address sanitizer a kept block
// is poisoned, so a use after free is still reported.
#pragma once

#include <cstddef>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KESTREL_BLOCK_CACHE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KESTREL_BLOCK_CACHE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define KESTREL_BLOCK_CACHE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KESTREL_BLOCK_CACHE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#endif
#endif
#ifndef KESTREL_BLOCK_CACHE_POISON
#define KESTREL_BLOCK_CACHE_POISON(p, n) ((void)(p), (void)(n))
#define KESTREL_BLOCK_CACHE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace plat::urlloading::detail {

template <std::size_t Size, std::size_t Capacity>
class BlockCache {
  public:
    static_assert(Capacity > 0);

    // A block of Size bytes (aligned as operator new aligns); throws
    // std::bad_alloc as operator new does.
    static void* allocate() {
        Slots& slots = slots_;
        if (slots.count > 0) {
            void* block = slots.blocks[--slots.count];
            KESTREL_BLOCK_CACHE_UNPOISON(block, Size);
            return block;
        }
        return ::operator new(Size);
    }

    // Takes back a block from allocate(), on any thread.
    static void deallocate(void* block) noexcept {
        Slots& slots = slots_;
        if (slots.closed || slots.count == Capacity) {
            ::operator delete(block);
            return;
        }
        (void)&reaper_;  // makes sure this thread's blocks are released when it ends
        KESTREL_BLOCK_CACHE_POISON(block, Size);
        slots.blocks[slots.count++] = block;
    }

    // Blocks the calling thread keeps now.
    static std::size_t keptOnThisThread() noexcept { return slots_.count; }

  private:
    // Trivially destructible, so that it stays usable after the reaper has
    // run (a block freed by a later thread-exit destructor is then released).
    struct Slots {
        void* blocks[Capacity];
        std::size_t count;
        bool closed;
    };
    struct Reaper {
        ~Reaper() {
            Slots& slots = slots_;
            slots.closed = true;
            while (slots.count > 0) {
                void* block = slots.blocks[--slots.count];
                KESTREL_BLOCK_CACHE_UNPOISON(block, Size);
                ::operator delete(block);
            }
        }
    };
    static inline thread_local Slots slots_{};
    static inline thread_local Reaper reaper_;
};

}  // namespace plat::urlloading::detail
