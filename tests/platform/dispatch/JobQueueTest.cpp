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
        std::size_t batch;  // jobs taken at once (1: one by one)
    };
    const Case cases[] = {
        {2, 1, 0, 1},     // fits the ring
        {2, 2, 2, 1},     // fills it exactly, drained, refilled
        {4, 10, 3, 1},    // overflow, partly drained, more queued behind it
        {8, 100, 50, 1},  // overflow longer than a refill batch
        {1, 5, 5, 1},     // smallest ring (rounded up to two slots)
        {16, 16, 0, 1},   // a full ring, then everything else overflows
        {8, 100, 50, 3},  // batches across the ring's wrap and the overflow
        {16, 16, 0, 16},  // a batch as large as the ring
        {4, 3, 0, 8},     // a batch larger than what is queued
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "capacity " << c.capacity << " count " << c.count << " batch " << c.batch);
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
        Job batch[16];
        for (;;) {
            const std::size_t n =
                c.batch == 1 ? (queue.pop(batch[0]) ? 1 : 0) : queue.popBatch(batch, c.batch);
            ASSERT_LE(n, c.batch);
            if (n == 0)
                break;
            for (std::size_t i = 0; i < n; ++i)
                batch[i].run();
        }
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
// used), taking jobs one by one and in batches: every job runs exactly once, and each producer's jobs are
// taken in the order it pushed them.
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
            Job jobs[4];
            for (int round = 0; taken.load() < kProducers * kPerProducer; ++round) {
                // Alternates single takes with batches of up to four.
                const std::size_t n = round % 2 ? queue.popBatch(jobs, 4) : (queue.pop(jobs[0]) ? 1 : 0);
                if (n == 0) {
                    std::this_thread::yield();
                    continue;
                }
                taken.fetch_add(static_cast<int>(n));
                for (std::size_t i = 0; i < n; ++i) {
                    jobs[i].run();
                    jobs[i] = Job{};
                }
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
