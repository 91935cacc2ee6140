// The pool's lock-free job FIFO: order kept across its ring and overflow
// list, nothing lost or run twice when many threads push and pop at once.
#include "platform/dispatch/detail/JobQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace plat::dispatch::detail {
namespace {

// The running consumer's last sequence number seen per producer.
thread_local std::vector<long>* lastSeen = nullptr;

Job jobWritingTo(std::vector<int>& out, int value) {
    return Job{[&out, value] { out.push_back(value); }};
}

// Pushes `count` jobs, pops `popFirst` of them, pushes `count` more, then
// pops everything: the run order must be the push order whether jobs sat in
// the ring or waited in the overflow list.
TEST(JobQueueTest, KeepsPushOrderThroughRingAndOverflow) {
    struct Case {
        std::size_t capacity;
        int count;
        int popFirst;
    };
    const Case cases[] = {
        {2, 1, 0},     // fits the ring
        {2, 2, 2},     // fills it exactly, drained, refilled
        {4, 10, 3},    // overflow, partly drained, more queued behind it
        {8, 100, 50},  // overflow longer than a refill batch
        {1, 5, 5},     // smallest ring (rounded up to two slots)
        {16, 16, 0},   // a full ring, then everything else overflows
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "capacity " << c.capacity << " count " << c.count);
        JobQueue queue(c.capacity);
        std::vector<int> ran;
        int next = 0;
        for (int i = 0; i < c.count; ++i)
            queue.push(jobWritingTo(ran, next++));
        Job job;
        for (int i = 0; i < c.popFirst; ++i) {
            ASSERT_TRUE(queue.pop(job));
            job.run();
        }
        for (int i = 0; i < c.count; ++i)
            queue.push(jobWritingTo(ran, next++));
        EXPECT_TRUE(queue.looksNonEmpty());
        while (queue.pop(job))
            job.run();
        EXPECT_FALSE(queue.looksNonEmpty());
        std::vector<int> expected(next);
        for (int i = 0; i < next; ++i)
            expected[i] = i;
        EXPECT_EQ(ran, expected);
    }
}

// A popped slot lets go of the job it held, so captures are released when
// the job has run, not a lap of the ring later.
TEST(JobQueueTest, PoppedSlotReleasesItsJob) {
    JobQueue queue(4);
    auto token = std::make_shared<int>(0);
    queue.push(Job{[token] {}});
    Job job;
    ASSERT_TRUE(queue.pop(job));
    job = Job{};
    EXPECT_EQ(token.use_count(), 1);
}

// Producers and consumers at once on a small ring (so the overflow list is
// used): every job runs exactly once, and each producer's jobs are taken in
// the order it pushed them.
TEST(JobQueueTest, ConcurrentProducersAndConsumersLoseNothing) {
    constexpr int kProducers = 3, kConsumers = 3, kPerProducer = 20000;
    JobQueue queue(64);
    std::vector<std::atomic<int>> runs(kProducers * kPerProducer);
    std::atomic<int> taken{0};
    std::atomic<bool> outOfOrder{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                queue.push(Job{[&runs, &outOfOrder, p, i, index = p * kPerProducer + i] {
                    runs[index].fetch_add(1);
                    if ((*lastSeen)[p] >= i)
                        outOfOrder = true;
                    (*lastSeen)[p] = i;
                }});
        });
    }
    // Each consumer checks that the sequence numbers it pops from one
    // producer rise: a single consumer sees a subsequence of the FIFO.
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&] {
            std::vector<long> last(kProducers, -1);
            lastSeen = &last;
            Job job;
            while (taken.load() < kProducers * kPerProducer) {
                if (!queue.pop(job)) {
                    std::this_thread::yield();
                    continue;
                }
                taken.fetch_add(1);
                job.run();
                job = Job{};
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < runs.size(); ++i)
        ASSERT_EQ(runs[i].load(), 1) << "job " << i;
    EXPECT_FALSE(outOfOrder.load());
}

}  // namespace
}  // namespace plat::dispatch::detail
