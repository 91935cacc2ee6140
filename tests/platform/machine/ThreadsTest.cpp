#include "platform/machine/Threads.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace plat::machine;

namespace {

// Threads that spin, counting, until told to stop; each publishes its id.
struct BusyThreads {
    static constexpr int kMax = 32;
    std::atomic<bool> stop{false};
    std::atomic<int> started{0};
    std::atomic<uint64_t> counters[kMax] = {};
    std::atomic<pid_t> ids[kMax] = {};
    std::vector<std::thread> threads;

    explicit BusyThreads(int count, bool blockControlSignal = false) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, i, blockControlSignal] {
                if (blockControlSignal) {
                    sigset_t set;
                    sigemptyset(&set);
                    sigaddset(&set, threadControlSignal());
                    pthread_sigmask(SIG_BLOCK, &set, nullptr);
                }
                ids[i] = currentThreadId();
                started++;
                while (!stop.load(std::memory_order_relaxed))
                    counters[i].fetch_add(1, std::memory_order_relaxed);
            });
        }
        while (started.load() < count)
            std::this_thread::yield();
    }
    ~BusyThreads() {
        stop = true;
        for (auto& thread : threads)
            thread.join();
    }
};

}  // namespace

TEST(ThreadControl, ListsThisProcessesThreadsInOrder) {
    BusyThreads busy(3);
    pid_t ids[64];
    int count = listThreads(ids, 64);
    ASSERT_GE(count, 4);
    // The main thread first, whatever its id: after the kernel's ids wrap
    // around, a thread made later can have a lower id.
    EXPECT_EQ(ids[0], getpid());
    EXPECT_TRUE(std::is_sorted(ids + 1, ids + count));
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(std::find(ids, ids + count, busy.ids[i].load()), ids + count);
    EXPECT_NE(std::find(ids, ids + count, currentThreadId()), ids + count);
    // A short buffer holds the lowest ids that fit.
    EXPECT_EQ(listThreads(ids, 1), 1);
}

TEST(ThreadControl, SuspendsCapturesAndResumesTwentyBusyThreads) {
    ASSERT_TRUE(prepareThreadControl());
    EXPECT_GE(threadControlSignal(), SIGRTMIN);
    BusyThreads busy(20);
    for (int round = 0; round < 2; ++round) {  // the second round reuses the slots
        pid_t ids[64];
        int count = listThreads(ids, 64);
        ASSERT_GE(count, 21);
        int answered = suspendThreads(ids, count, 5'000'000'000);
        // Everyone but the caller; under ThreadSanitizer its runtime thread,
        // which blocks every signal, does not answer and is left running.
        EXPECT_GE(answered, 20);
        EXPECT_LE(answered, count - 1);
        // Suspended threads do not count.
        uint64_t before[20], after[20];
        for (int i = 0; i < 20; ++i)
            before[i] = busy.counters[i].load();
        usleep(20000);
        for (int i = 0; i < 20; ++i)
            after[i] = busy.counters[i].load();
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(before[i], after[i]) << "thread " << i;
            ThreadRegisters registers;
            ASSERT_TRUE(suspendedThreadRegisters(busy.ids[i], &registers));
            EXPECT_NE(registers.gregs[REG_RIP], 0u);
            EXPECT_NE(registers.gregs[REG_RSP], 0u);
        }
        ThreadRegisters none;
        EXPECT_FALSE(suspendedThreadRegisters(currentThreadId(), &none));
        resumeThreads();
        // Resumed threads make progress again.
        for (int i = 0; i < 20; ++i) {
            const uint64_t resumed = busy.counters[i].load();
            while (busy.counters[i].load() == resumed)
                std::this_thread::yield();
        }
        EXPECT_FALSE(suspendedThreadRegisters(busy.ids[0], &none));
    }
}

TEST(ThreadControl, AThreadThatDoesNotAnswerIsReportedWithoutHangingTheOthers) {
    ASSERT_TRUE(prepareThreadControl());
    BusyThreads answering(2);
    BusyThreads silent(1, true);
    pid_t ids[3] = {answering.ids[0], answering.ids[1], silent.ids[0]};
    EXPECT_EQ(suspendThreads(ids, 3, 1'000'000'000), 2);
    ThreadRegisters registers;
    EXPECT_TRUE(suspendedThreadRegisters(ids[0], &registers));
    EXPECT_FALSE(suspendedThreadRegisters(ids[2], &registers));
    resumeThreads();
    // The silent thread's late signal finds its slot abandoned and returns.
    silent.stop = true;
    // A thread id that no longer exists is not suspended either.
    EXPECT_EQ(suspendThreads(ids, 2, 1'000'000'000), 2);
    resumeThreads();
}

// A second thread that suspends while the first holds the slots suspends
// nobody, and its resume leaves the first one's threads suspended: two
// suspenders (a crash during a live report) never share the slots.
TEST(ThreadControl, OneSuspenderAtATime) {
    ASSERT_TRUE(prepareThreadControl());
    BusyThreads busy(1);
    pid_t ids[1] = {busy.ids[0]};
    ASSERT_EQ(suspendThreads(ids, 1, 5'000'000'000), 1);
    std::thread other([&] {
        EXPECT_EQ(suspendThreads(ids, 1, 5'000'000'000), 0);
        ThreadRegisters registers;
        EXPECT_FALSE(suspendedThreadRegisters(ids[0], &registers));
        resumeThreads();
    });
    other.join();
    ThreadRegisters registers;
    EXPECT_TRUE(suspendedThreadRegisters(ids[0], &registers));
    resumeThreads();
    // Released: another thread may now suspend.
    std::thread next([&] {
        EXPECT_EQ(suspendThreads(ids, 1, 5'000'000'000), 1);
        resumeThreads();
    });
    next.join();
}
