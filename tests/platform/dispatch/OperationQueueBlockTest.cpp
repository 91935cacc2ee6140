// Plain blocks of an operation queue (addBlock): each runs in its turn among
// the queue's operations, under the same width and suspension, with no
// operation object made for it.
#include "platform/dispatch/OperationQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch {
namespace {

using testing::DispatchTest;
using testing::kLongWait;
using testing::NameLog;

class OperationQueueBlockTest : public DispatchTest {};

// Blocks and operations added to a suspended width-one queue run one at a
// time in the order added once it resumes; the blocks count as work of the
// queue but are no operations.
TEST_F(OperationQueueBlockTest, BlocksKeepTheirTurnAmongOperations) {
    NameLog log;
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.setSuspended(true);
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    auto work = [&](std::string name) {
        return [&, name] {
            if (running.fetch_add(1) != 0)
                overlapped = true;
            log.add(name);
            std::this_thread::yield();
            running.fetch_sub(1);
        };
    };
    std::vector<std::shared_ptr<Operation>> operations;
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
        const std::string name = (i % 2 ? "block" : "operation") + std::to_string(i);
        expected.push_back(name);
        if (i % 2) {
            queue.addBlock(work(name));
        } else {
            operations.push_back(BlockOperation::create(work(name)));
            queue.addOperation(operations.back());
        }
    }
    EXPECT_EQ(queue.operationCount(), 6u);
    EXPECT_EQ(queue.operations(), operations);
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(log.names(), expected);
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(queue.operationCount(), 0u);
    EXPECT_TRUE(queue.operations().empty());
}

// A block holds its slot until it returns: the operation after it on a
// width-one queue starts only then.
TEST_F(OperationQueueBlockTest, ABlockHoldsItsSlotUntilItReturns) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    Semaphore began, release;
    std::atomic<bool> blockReturned{false};
    std::atomic<bool> nextSawItReturned{false};
    queue.addBlock([&] {
        began.signal();
        ASSERT_TRUE(release.wait(kLongWait));
        blockReturned = true;
    });
    auto next = BlockOperation::create([&] { nextSawItReturned = blockReturned.load(); });
    ASSERT_TRUE(began.wait(kLongWait));
    queue.addOperation(next);
    EXPECT_FALSE(next->isExecuting());
    EXPECT_FALSE(next->isFinished());
    EXPECT_EQ(queue.operationCount(), 2u);
    release.signal();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(nextSawItReturned.load());
}

// Mixed blocks and operations on a queue of width two never run three at
// once, and each runs once.
TEST_F(OperationQueueBlockTest, BlocksCountTowardsTheMaximumAtOnce) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(2);
    std::atomic<int> running{0}, peak{0}, done{0};
    auto work = [&] {
        int now = running.fetch_add(1) + 1;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        running.fetch_sub(1);
        done.fetch_add(1);
    };
    for (int i = 0; i < 60; ++i) {
        if (i % 3)
            queue.addBlock(work);
        else
            queue.addOperationWithBlock(work);
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done.load(), 60);
    EXPECT_LE(peak.load(), 2);
}

// Cancelling the queue's operations skips their work; a block is no
// operation and still runs.
TEST_F(OperationQueueBlockTest, CancelAllDoesNotReachABlock) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.setSuspended(true);
    std::atomic<int> operationsRan{0};
    std::atomic<int> blocksRan{0};
    queue.addOperationWithBlock([&] { operationsRan.fetch_add(1); });
    queue.addBlock([&] { blocksRan.fetch_add(1); });
    queue.addOperationWithBlock([&] { operationsRan.fetch_add(1); });
    queue.addBlock([&] { blocksRan.fetch_add(1); });
    EXPECT_EQ(queue.operations().size(), 2u);
    queue.cancelAllOperations();
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(operationsRan.load(), 0);
    EXPECT_EQ(blocksRan.load(), 2);
}

// Many more blocks than the queue keeps finished entries for, released at
// once on a width-one queue (finished entries are dropped from the front in
// bulk meanwhile, and the queue empties and fills again): each runs once, in
// the order added.
TEST_F(OperationQueueBlockTest, ManyBlocksRunOnceEachInOrderAcrossTheQueuesHousekeeping) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    for (int round = 0; round < 2; ++round) {
        queue.setSuspended(true);
        constexpr int kCount = 300;
        std::vector<int> order;
        std::atomic<int> operationsRan{0};
        for (int i = 0; i < kCount; ++i) {
            if (i % 50 == 7)
                queue.addOperationWithBlock([&] { operationsRan.fetch_add(1); });
            queue.addBlock([&order, i] { order.push_back(i); });  // width one: no race
        }
        queue.setSuspended(false);
        queue.waitUntilAllOperationsAreFinished();
        ASSERT_EQ(order.size(), static_cast<std::size_t>(kCount)) << "round " << round;
        for (int i = 0; i < kCount; ++i)
            EXPECT_EQ(order[static_cast<std::size_t>(i)], i) << "round " << round;
        EXPECT_EQ(operationsRan.load(), 6);
        EXPECT_EQ(queue.operationCount(), 0u);
    }
}

// A queue dropped while suspended still runs its blocks, and what a block
// captured, and the queue's state with it, goes once it has run.
TEST_F(OperationQueueBlockTest, ADroppedQueueRunsItsBlocksAndLetsGoOfThem) {
    auto queue = std::make_unique<OperationQueue>();
    queue->setSuspended(true);
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> weakToken = token;
    std::atomic<int> ran{0};
    queue->addBlock([&ran, token] { ran.fetch_add(*token); });
    queue->addBlock([&ran] { ran.fetch_add(1); });
    token.reset();
    queue.reset();  // nobody is left to resume it
    ASSERT_TRUE(MainLoop::runUntil([&] { return ran.load() == 8 && weakToken.expired(); }, kLongWait));
}

// On the main operation queue blocks run on the main thread, in turn with
// its operations.
TEST_F(OperationQueueBlockTest, MainQueueBlocksRunOnTheMainThreadInOrder) {
    auto main = OperationQueue::mainQueue();
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    for (int i = 0; i < 4; ++i) {
        auto step = [&, i] {
            offMain = offMain || !isMainThread();
            order.push_back(i);
        };
        if (i % 2)
            main->addBlock(step);
        else
            main->addOperationWithBlock(step);
    }
    std::thread adder([&] { main->addBlock([&] { order.push_back(4); }); });
    adder.join();
    EXPECT_TRUE(order.empty()) << "nothing runs before main pumps";
    main->waitUntilAllOperationsAreFinished();  // pumps the main loop
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(offMain);
}

// A block runs on the global queue of the queue's quality of service.
TEST_F(OperationQueueBlockTest, ABlockRunsOnTheGlobalQueueOfTheQueuesQualityOfService) {
    OperationQueue queue;
    queue.setQualityOfService(QualityOfService::Utility);
    std::atomic<bool> onUtility{false};
    queue.addBlock([&] { onUtility = Queue::global(QualityOfService::Utility).isCurrent(); });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(onUtility.load());
}

TEST_F(OperationQueueBlockTest, AnEmptyBlockIsRefused) {
    OperationQueue queue;
    EXPECT_THROW(queue.addBlock(Block()), std::invalid_argument);
    EXPECT_EQ(queue.operationCount(), 0u);
}

}  // namespace
}  // namespace plat::dispatch
