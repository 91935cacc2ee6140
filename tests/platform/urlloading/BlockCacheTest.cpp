// The per-thread block cache behind the engine's transfer state: a freed
// block serves the same thread's next allocation, a thread keeps a bounded
// number, and blocks cross threads safely.
#include "platform/urlloading/detail/BlockCache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

using plat::urlloading::detail::BlockCache;

namespace {

// Distinct parameters: each test has caches of its own.
using Reuse = BlockCache<1500, 3>;
using Crossing = BlockCache<1600, 4>;

// Run on a thread of its own, whose cache starts empty and is released when
// it ends, so that the test holds however often it runs in one process.
TEST(BlockCache, AFreedBlockServesTheThreadsNextAllocationUpToTheBound) {
    std::thread([] {
        void* first = Reuse::allocate();
        std::memset(first, 0xab, 1500);  // the whole block is usable
        Reuse::deallocate(first);
        EXPECT_EQ(Reuse::keptOnThisThread(), 1u);
        EXPECT_EQ(Reuse::allocate(), first);
        EXPECT_EQ(Reuse::keptOnThisThread(), 0u);

        // Five freed, three kept: the next three allocations get them back.
        std::vector<void*> blocks{first};
        for (int i = 0; i < 4; ++i)
            blocks.push_back(Reuse::allocate());
        for (void* block : blocks)
            Reuse::deallocate(block);
        EXPECT_EQ(Reuse::keptOnThisThread(), 3u);
        std::vector<void*> again{Reuse::allocate(), Reuse::allocate(), Reuse::allocate()};
        EXPECT_EQ(std::set<void*>(again.begin(), again.end()),
                  std::set<void*>(blocks.begin(), blocks.begin() + 3));
        EXPECT_EQ(Reuse::keptOnThisThread(), 0u);
        for (void* block : again)
            Reuse::deallocate(block);
    }).join();
}

TEST(BlockCache, BlocksMadeOnOneThreadAndFreedOnAnotherStayIntact) {
    // A producer makes and fills blocks, consumers check and free them on
    // their own threads (which then keep some, released when they end); the
    // producer's own cache is never fed by them.
    constexpr int kBlocks = 400;
    std::vector<void*> made(kBlocks);
    std::thread producer([&] {
        for (int i = 0; i < kBlocks; ++i) {
            made[i] = Crossing::allocate();
            std::memset(made[i], i & 0xff, 1600);
        }
        EXPECT_EQ(Crossing::keptOnThisThread(), 0u);
    });
    producer.join();
    std::vector<std::thread> consumers;
    for (int c = 0; c < 4; ++c) {
        consumers.emplace_back([&, c] {
            for (int i = c; i < kBlocks; i += 4) {
                const auto* bytes = static_cast<const unsigned char*>(made[i]);
                EXPECT_EQ(bytes[0], i & 0xff);
                EXPECT_EQ(bytes[1599], i & 0xff);
                const std::size_t kept = Crossing::keptOnThisThread();
                Crossing::deallocate(made[i]);
                if (kept == 4)
                    continue;  // full: the block went back to the allocator
                // The block just freed is the one this thread gets next.
                void* reused = Crossing::allocate();
                EXPECT_EQ(reused, made[i]);
                Crossing::deallocate(reused);
            }
            EXPECT_EQ(Crossing::keptOnThisThread(), 4u);
        });
    }
    for (auto& consumer : consumers)
        consumer.join();
    EXPECT_EQ(Crossing::keptOnThisThread(), 0u);
}

}  // namespace
