#include "platform/foundation/SmallBlockCache.h"

#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define KP_BLOCKS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KP_BLOCKS_ASAN 1
#endif
#endif
#if defined(KP_BLOCKS_ASAN)
#include <sanitizer/asan_interface.h>
#define KP_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define KP_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define KP_POISON(address, size) ((void)(address), (void)(size))
#define KP_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace plat {
namespace {

constexpr std::size_t kClasses = SmallBlockCache::kClasses;
constexpr std::size_t kStep = SmallBlockCache::kStep;

// A class's list: the blocks it holds, in an array of the thread's rather
// than linked through the blocks, so that a cached block is not touched (and
// is poisoned whole under the address sanitizer, where the leak checker does
// not follow pointers stored in poisoned memory). `limit` is 0 until the
// thread's first free (and again after the thread's exit), so the push's one
// test also sends those frees to the slow path.
constexpr std::size_t kMostBlocks = SmallBlockCache::maxBlocks(kStep);

struct ClassList {
    std::uint32_t count;
    std::uint32_t limit;
    void* blocks[kMostBlocks];
};

enum class CacheState : unsigned char { Unused, Live, Closed };

// Trivially constructed and destroyed, so that it needs no guard on access
// and stays usable while the thread's other thread-local objects are
// destroyed (those may free blocks).
struct ThreadCache {
    ClassList lists[kClasses];
    CacheState state;
};
constinit thread_local ThreadCache threadCache{};

std::atomic<std::size_t> returnedAtExit{0};

// Sizes 1 to 16 are class 0, 17 to 32 class 1, ...; 0 and sizes past the
// largest give a class past the last.
constexpr std::size_t classOf(std::size_t size) noexcept {
    return (size - 1) / kStep;
}
constexpr std::size_t sizeOfClass(std::size_t c) noexcept {
    return (c + 1) * kStep;
}
constexpr std::uint32_t maxBlocksOfClass(std::size_t c) noexcept {
    return static_cast<std::uint32_t>(SmallBlockCache::maxBlocks(sizeOfClass(c)));
}

constexpr bool everyBoundFits() noexcept {
    for (std::size_t c = 0; c < kClasses; ++c)
        if (maxBlocksOfClass(c) > kMostBlocks)
            return false;
    return true;
}
static_assert(everyBoundFits());

std::size_t heldInClass(const ThreadCache& cache, std::size_t c) noexcept {
    return cache.lists[c].count;
}

std::size_t drain(ThreadCache& cache) noexcept {
    std::size_t returned = 0;
    for (std::size_t c = 0; c < kClasses; ++c) {
        ClassList& list = cache.lists[c];
        while (list.count > 0) {
            void* block = list.blocks[--list.count];
            KP_UNPOISON(block, sizeOfClass(c));
            ::operator delete(block);
            ++returned;
        }
        list.limit = cache.state == CacheState::Live ? maxBlocksOfClass(c) : 0;
    }
    return returned;
}

// Gives the thread's blocks back when the thread exits; from then on the
// thread's frees go to the allocator.
struct ThreadCacheCloser {
    bool armed = false;
    ~ThreadCacheCloser() {
        ThreadCache& cache = threadCache;
        cache.state = CacheState::Closed;
        const std::size_t returned = drain(cache);
        if (returned != 0)
            returnedAtExit.fetch_add(returned, std::memory_order_relaxed);
    }
};
thread_local ThreadCacheCloser threadCacheCloser;

// A block handed out answers to the size asked for only.
inline void* handOut(void* block, std::size_t size, std::size_t c) noexcept {
#if defined(KP_BLOCKS_ASAN)
    KP_UNPOISON(block, size);
    if (size < sizeOfClass(c))
        KP_POISON(static_cast<char*>(block) + size, sizeOfClass(c) - size);
#else
    (void)size;
    (void)c;
#endif
    return block;
}

inline void push(ClassList& list, void* block, std::size_t c) noexcept {
    list.blocks[list.count++] = block;
    KP_POISON(block, sizeOfClass(c));
    (void)c;
}

// A free the list has no room for: the thread's first (which opens its
// lists), a full list's, or one after the thread's exit.
[[gnu::noinline]] void pushSlow(void* block, std::size_t c) noexcept {
    ThreadCache& cache = threadCache;
    if (cache.state == CacheState::Unused) {
        threadCacheCloser.armed = true;  // registers the lists' return at thread exit
        cache.state = CacheState::Live;
        for (std::size_t i = 0; i < kClasses; ++i)
            cache.lists[i].limit = maxBlocksOfClass(i);
        push(cache.lists[c], block, c);
        return;
    }
    KP_UNPOISON(block, sizeOfClass(c));
    ::operator delete(block);
}

}  // namespace

void* SmallBlockCache::allocate(std::size_t size) {
    const std::size_t c = classOf(size);
    if (c >= kClasses)
        return ::operator new(size);
    ClassList& list = threadCache.lists[c];
    if (list.count == 0)
        return handOut(::operator new(sizeOfClass(c)), size, c);
    return handOut(list.blocks[--list.count], size, c);
}

void SmallBlockCache::deallocate(void* block, std::size_t size) noexcept {
    const std::size_t c = classOf(size);
    if (c >= kClasses) {
        ::operator delete(block);
        return;
    }
    if (block == nullptr)
        return;
    ClassList& list = threadCache.lists[c];
    if (list.count >= list.limit) {
        pushSlow(block, c);
        return;
    }
    push(list, block, c);
}

SmallBlockCache::Holding SmallBlockCache::heldByThisThread() noexcept {
    Holding holding;
    for (std::size_t c = 0; c < kClasses; ++c) {
        const std::size_t held = heldInClass(threadCache, c);
        holding.blocks += held;
        holding.bytes += held * sizeOfClass(c);
    }
    return holding;
}

std::size_t SmallBlockCache::heldByThisThread(std::size_t size) noexcept {
    const std::size_t c = classOf(size);
    return c >= kClasses ? 0 : heldInClass(threadCache, c);
}

void SmallBlockCache::releaseThisThread() noexcept {
    drain(threadCache);
}

std::size_t SmallBlockCache::returnedAtThreadExit() noexcept {
    return returnedAtExit.load(std::memory_order_relaxed);
}

}  // namespace plat
