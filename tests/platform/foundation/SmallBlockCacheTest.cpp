// The per-thread small-block cache: blocks reused within a thread, freed on
// threads other than their own, given back at thread exit and when a list is
// full, and never handed out twice. Run under the address and thread
// sanitizers too (under the address sanitizer, cached blocks are poisoned).
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/foundation/SmallBlockCache.h"

#if defined(__SANITIZE_ADDRESS__)
#define KP_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KP_TEST_ASAN 1
#endif
#endif

namespace {

using plat::SmallBlockCache;

// A block filled with a pattern of its own, checked before it is freed.
struct Filled {
    unsigned char* bytes;
    std::size_t size;
    unsigned char seed;
};

Filled fill(std::size_t size, unsigned char seed) {
    auto* bytes = static_cast<unsigned char*>(SmallBlockCache::allocate(size));
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(seed + i * 7);
    return {bytes, size, seed};
}

bool intact(const Filled& f) {
    for (std::size_t i = 0; i < f.size; ++i)
        if (f.bytes[i] != static_cast<unsigned char>(f.seed + i * 7))
            return false;
    return true;
}

// Threads start from a cache of their own: the tests measure what a fresh
// thread's cache holds.
template <class F>
void onFreshThread(F&& f) {
    std::thread thread(std::forward<F>(f));
    thread.join();
}

TEST(SmallBlockCacheTest, BlockSizesAndBounds) {
    EXPECT_EQ(SmallBlockCache::blockSize(0), 0u);
    EXPECT_EQ(SmallBlockCache::blockSize(1), 16u);
    EXPECT_EQ(SmallBlockCache::blockSize(16), 16u);
    EXPECT_EQ(SmallBlockCache::blockSize(17), 32u);
    EXPECT_EQ(SmallBlockCache::blockSize(256), 256u);
    EXPECT_EQ(SmallBlockCache::blockSize(257), 0u);
    EXPECT_EQ(SmallBlockCache::maxBlocks(16), 256u);
    EXPECT_EQ(SmallBlockCache::maxBlocks(256), 64u);
    EXPECT_EQ(SmallBlockCache::maxBlocks(300), 0u);
    std::size_t total = 0;
    for (std::size_t size = 16; size <= SmallBlockCache::kLargest; size += 16) {
        EXPECT_GE(SmallBlockCache::maxBlocks(size), 64u);
        EXPECT_LE(SmallBlockCache::maxBlocks(size), 256u);
        total += SmallBlockCache::maxBlocks(size) * size;
    }
    EXPECT_LT(total, 240u * 1024);
}

TEST(SmallBlockCacheTest, AFreedBlockIsHandedOutAgainOnItsThread) {
    onFreshThread([] {
        void* first = SmallBlockCache::allocate(40);
        SmallBlockCache::deallocate(first, 40);
        EXPECT_EQ(SmallBlockCache::heldByThisThread(40), 1u);
        // Any size of the same class takes it.
        void* again = SmallBlockCache::allocate(33);
        EXPECT_EQ(again, first);
        EXPECT_EQ(SmallBlockCache::heldByThisThread(40), 0u);
        SmallBlockCache::deallocate(again, 33);
        // Another class does not.
        void* other = SmallBlockCache::allocate(64);
        EXPECT_NE(other, first);
        SmallBlockCache::deallocate(other, 64);
        EXPECT_EQ(SmallBlockCache::heldByThisThread().blocks, 2u);
        EXPECT_EQ(SmallBlockCache::heldByThisThread().bytes, 48u + 64u);
        SmallBlockCache::releaseThisThread();
        EXPECT_EQ(SmallBlockCache::heldByThisThread().blocks, 0u);
    });
}

TEST(SmallBlockCacheTest, EachListHoldsAtMostItsBound) {
    onFreshThread([] {
        for (std::size_t size = 1; size <= SmallBlockCache::kLargest; size += 15) {
            const std::size_t bound = SmallBlockCache::maxBlocks(size);
            std::vector<void*> blocks;
            for (std::size_t i = 0; i < bound + 40; ++i)
                blocks.push_back(SmallBlockCache::allocate(size));
            for (void* block : blocks)
                SmallBlockCache::deallocate(block, size);
            EXPECT_EQ(SmallBlockCache::heldByThisThread(size), bound) << size;
        }
        std::size_t bytes = 0;
        for (std::size_t size = 16; size <= SmallBlockCache::kLargest; size += 16)
            bytes += SmallBlockCache::heldByThisThread(size) * size;
        EXPECT_EQ(SmallBlockCache::heldByThisThread().bytes, bytes);
        EXPECT_LT(bytes, 240u * 1024);
        SmallBlockCache::releaseThisThread();
        EXPECT_EQ(SmallBlockCache::heldByThisThread().blocks, 0u);
        // The lists take blocks again after a release.
        void* block = SmallBlockCache::allocate(100);
        SmallBlockCache::deallocate(block, 100);
        EXPECT_EQ(SmallBlockCache::heldByThisThread(100), 1u);
        SmallBlockCache::releaseThisThread();
    });
}

TEST(SmallBlockCacheTest, LargeAndEmptyRequestsBypassTheCache) {
    onFreshThread([] {
        for (std::size_t size : {std::size_t{0}, std::size_t{257}, std::size_t{4096}}) {
            void* block = SmallBlockCache::allocate(size);
            ASSERT_NE(block, nullptr);
            std::memset(block, 0x5a, size);
            SmallBlockCache::deallocate(block, size);
        }
        EXPECT_EQ(SmallBlockCache::heldByThisThread().blocks, 0u);
        SmallBlockCache::deallocate(nullptr, 24);
        EXPECT_EQ(SmallBlockCache::heldByThisThread().blocks, 0u);
    });
}

TEST(SmallBlockCacheTest, RandomUseNeverHandsOutALiveBlock) {
    std::mt19937 random(11);
    std::vector<Filled> live;
    for (int step = 0; step < 20000; ++step) {
        if (live.empty() || random() % 5 < 3) {
            const std::size_t size = 1 + random() % 300;
            Filled f = fill(size, static_cast<unsigned char>(random()));
            for (const Filled& other : live) {
                const bool apart = f.bytes + f.size <= other.bytes || other.bytes + other.size <= f.bytes;
                ASSERT_TRUE(apart) << "a block handed out while still in use";
            }
            live.push_back(f);
            if (live.size() > 400) {
                // Keep the overlap check's cost bounded.
                const std::size_t i = random() % live.size();
                ASSERT_TRUE(intact(live[i]));
                SmallBlockCache::deallocate(live[i].bytes, live[i].size);
                live[i] = live.back();
                live.pop_back();
            }
        } else {
            const std::size_t i = random() % live.size();
            ASSERT_TRUE(intact(live[i])) << "a block written while in the cache";
            SmallBlockCache::deallocate(live[i].bytes, live[i].size);
            live[i] = live.back();
            live.pop_back();
        }
    }
    for (const Filled& f : live) {
        EXPECT_TRUE(intact(f));
        SmallBlockCache::deallocate(f.bytes, f.size);
    }
    EXPECT_LE(SmallBlockCache::heldByThisThread().bytes, 240u * 1024);
}

// Blocks made on producer threads, checked and freed on consumer threads;
// each consumer gives what it holds back when it exits.
TEST(SmallBlockCacheTest, BlocksFreedOnOtherThreadsAndReturnedAtThreadExit) {
    constexpr int kProducers = 3;
    constexpr int kConsumers = 3;
    constexpr int kPerProducer = 3000;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Filled> queue;
    int producersLeft = kProducers;
    std::vector<std::size_t> heldAtExit(kConsumers, 0);
    std::vector<int> bad(kConsumers, 0);
    const std::size_t returnedBefore = SmallBlockCache::returnedAtThreadExit();

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            std::mt19937 random(100 + p);
            for (int i = 0; i < kPerProducer; ++i) {
                Filled f =
                    fill(1 + random() % SmallBlockCache::kLargest, static_cast<unsigned char>(random()));
                // Producers also free some of their own, so that their lists
                // hand out blocks that other threads freed earlier.
                if (i % 4 == 0) {
                    SmallBlockCache::deallocate(f.bytes, f.size);
                    continue;
                }
                std::lock_guard<std::mutex> guard(lock);
                queue.push_back(f);
                ready.notify_one();
            }
            std::lock_guard<std::mutex> guard(lock);
            --producersLeft;
            ready.notify_all();
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, c] {
            for (;;) {
                Filled f;
                {
                    std::unique_lock<std::mutex> guard(lock);
                    ready.wait(guard, [&] { return !queue.empty() || producersLeft == 0; });
                    if (queue.empty())
                        break;
                    f = queue.front();
                    queue.pop_front();
                }
                if (!intact(f))
                    ++bad[c];
                SmallBlockCache::deallocate(f.bytes, f.size);
            }
            heldAtExit[c] = SmallBlockCache::heldByThisThread().blocks;
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::size_t consumersHeld = 0;
    for (int c = 0; c < kConsumers; ++c) {
        EXPECT_EQ(bad[c], 0);
        consumersHeld += heldAtExit[c];
    }
    EXPECT_GT(consumersHeld, 0u);
    // Producers held blocks too; other tests' threads may exit meanwhile, so
    // the count is at least what the consumers held.
    EXPECT_GE(SmallBlockCache::returnedAtThreadExit() - returnedBefore, consumersHeld);
}

TEST(SmallBlockCacheTest, AThreadExitReturnsExactlyWhatTheThreadHeld) {
    std::size_t held = 0;
    std::size_t returned = 0;
    // One thread at a time: nothing else in this test exits meanwhile.
    onFreshThread([&] {
        std::vector<void*> blocks;
        for (std::size_t size = 8; size <= 200; size += 8)
            blocks.push_back(SmallBlockCache::allocate(size));
        for (std::size_t i = 0; i < blocks.size(); ++i)
            SmallBlockCache::deallocate(blocks[i], 8 + 8 * i);
        held = SmallBlockCache::heldByThisThread().blocks;
        returned = SmallBlockCache::returnedAtThreadExit();
    });
    EXPECT_EQ(held, 25u);
    EXPECT_GE(SmallBlockCache::returnedAtThreadExit() - returned, held);
}

// Frees by thread-local objects destroyed after the cache was emptied at
// thread exit go straight to the allocator (the leak checker would report
// blocks left in a closed list).
struct LateFreer {
    std::vector<std::pair<void*, std::size_t>> blocks;
    std::size_t* heldAfter = nullptr;
    ~LateFreer() {
        for (auto [block, size] : blocks)
            SmallBlockCache::deallocate(block, size);
        if (heldAfter != nullptr)
            *heldAfter = SmallBlockCache::heldByThisThread().blocks;
    }
};

TEST(SmallBlockCacheTest, FreesDuringThreadExitAfterTheCacheClosed) {
    std::size_t heldAfter = 99;
    onFreshThread([&] {
        // Made before the cache's first free: destroyed after its closing.
        thread_local LateFreer late;
        late.heldAfter = &heldAfter;
        for (int i = 0; i < 10; ++i)
            late.blocks.emplace_back(SmallBlockCache::allocate(24), 24);
        void* block = SmallBlockCache::allocate(24);
        SmallBlockCache::deallocate(block, 24);
        EXPECT_EQ(SmallBlockCache::heldByThisThread().blocks, 1u);
    });
    EXPECT_EQ(heldAfter, 0u);
}

TEST(SmallBlockCacheTest, AllocatorServesSharedPointersAndContainers) {
    onFreshThread([] {
        struct Node {
            int64_t a;
            int64_t b;
        };
        std::vector<std::weak_ptr<Node>> watched;
        {
            std::vector<std::shared_ptr<Node>> nodes;
            for (int i = 0; i < 100; ++i) {
                nodes.push_back(std::allocate_shared<Node>(plat::SmallBlockAllocator<Node>(), Node{i, -i}));
                watched.push_back(nodes.back());
            }
            for (int i = 0; i < 100; ++i) {
                EXPECT_EQ(nodes[i]->a, i);
                EXPECT_EQ(nodes[i]->b, -i);
            }
        }
        for (const auto& w : watched)
            EXPECT_TRUE(w.expired());
        // The blocks (count and object together) go when the last weak
        // reference does.
        EXPECT_EQ(SmallBlockCache::heldByThisThread().blocks, 0u);
        watched.clear();
        EXPECT_GE(SmallBlockCache::heldByThisThread().blocks, 64u);

        std::list<std::string, plat::SmallBlockAllocator<std::string>> texts;
        for (int i = 0; i < 300; ++i)
            texts.push_back(std::string(static_cast<std::size_t>(i % 40), static_cast<char>('a' + i % 26)));
        int i = 0;
        for (const auto& text : texts) {
            EXPECT_EQ(text, std::string(static_cast<std::size_t>(i % 40), static_cast<char>('a' + i % 26)));
            ++i;
        }
        texts.clear();
        // A vector's large arrays bypass the cache; small ones use it.
        std::vector<int, plat::SmallBlockAllocator<int>> numbers;
        for (int n = 0; n < 1000; ++n)
            numbers.push_back(n);
        for (int n = 0; n < 1000; ++n)
            ASSERT_EQ(numbers[static_cast<std::size_t>(n)], n);
    });
}

#if defined(KP_TEST_ASAN)
TEST(SmallBlockCacheDeathTest, ACachedBlockIsPoisoned) {
    EXPECT_DEATH(
        {
            auto* block = static_cast<volatile char*>(SmallBlockCache::allocate(40));
            SmallBlockCache::deallocate(const_cast<char*>(block), 40);
            block[8] = 1;
        },
        "AddressSanitizer");
}

TEST(SmallBlockCacheDeathTest, BytesPastTheSizeAskedForArePoisoned) {
    EXPECT_DEATH(
        {
            auto* block = static_cast<volatile char*>(SmallBlockCache::allocate(40));
            block[39] = 1;
            block[41] = 1;
        },
        "AddressSanitizer");
}
#endif

}  // namespace
