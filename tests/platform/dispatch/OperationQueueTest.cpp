#include "platform/dispatch/OperationQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DispatchTestSupport.h"
#include "platform/dispatch/DispatchException.h"
#include "platform/dispatch/Semaphore.h"

namespace plat::dispatch {
namespace {

using testing::DispatchTest;
using testing::kLongWait;
using StartLog = testing::NameLog;  // the order in which a queue starts operations

// An asynchronous operation that stays executing until the test completes it.
class ManualOperation : public Operation {
  public:
    ManualOperation(StartLog* log, std::string name) : log_(log) { setName(std::move(name)); }
    bool isAsynchronous() const override { return true; }
    void start() override {
        log_->add(name());
        Operation::start();
    }
    void main() override {
        mainCalled = true;
        began.signal();
    }
    void complete() { finish(); }

    std::atomic<bool> mainCalled{false};
    Semaphore began;

  private:
    StartLog* log_;
};

class OperationQueueTest : public DispatchTest {};

TEST_F(OperationQueueTest, AsynchronousOperationHoldsAWidthOneQueueUntilItFinishes) {
    StartLog log;
    OperationQueue queue("test.width1");
    queue.setMaxConcurrentOperationCount(1);
    auto first = std::make_shared<ManualOperation>(&log, "first");
    std::atomic<int> secondRan{0};
    auto second = BlockOperation::create([&] { secondRan.fetch_add(1); });
    queue.addOperation(first);
    queue.addOperation(second);

    ASSERT_TRUE(first->began.wait(kLongWait));
    EXPECT_TRUE(first->isExecuting());
    // start() has long returned; the slot must still be taken.
    EXPECT_FALSE(second->isExecuting());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(secondRan.load(), 0);
    EXPECT_EQ(queue.operationCount(), 2u);

    first->complete();
    EXPECT_TRUE(first->isFinished());
    EXPECT_FALSE(first->isExecuting());
    second->waitUntilFinished();
    EXPECT_EQ(secondRan.load(), 1);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST_F(OperationQueueTest, CancelledOperationsStillStartInTurnAndFinishWithoutWorking) {
    StartLog log;
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.setSuspended(true);
    auto a = std::make_shared<ManualOperation>(&log, "a");
    auto b = std::make_shared<ManualOperation>(&log, "b");
    auto c = std::make_shared<ManualOperation>(&log, "c");
    std::atomic<int> completions{0};
    for (auto& op : {a, b, c}) {
        op->setCompletionBlock([&] { completions.fetch_add(1); });
        queue.addOperation(op);
    }
    b->cancel();
    EXPECT_TRUE(b->isReady());
    queue.setSuspended(false);

    ASSERT_TRUE(a->began.wait(kLongWait));
    a->complete();
    ASSERT_TRUE(c->began.wait(kLongWait));
    c->complete();
    queue.waitUntilAllOperationsAreFinished();

    EXPECT_EQ(log.names(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(b->mainCalled);
    EXPECT_TRUE(b->isFinished());
    EXPECT_TRUE(b->isCancelled());
    // Completion blocks may run just after the queue let go of the operation.
    ASSERT_TRUE(MainLoop::runUntil([&] { return completions.load() == 3; }, kLongWait));
}

TEST_F(OperationQueueTest, CompletionBlockRunsExactlyOnceEvenWhenFinishRaces) {
    for (int round = 0; round < 50; ++round) {
        StartLog log;
        auto op = std::make_shared<ManualOperation>(&log, "racy");
        std::atomic<int> completions{0};
        op->setCompletionBlock([&] { completions.fetch_add(1); });
        op->start();
        std::vector<std::thread> finishers;
        for (int i = 0; i < 4; ++i) {
            finishers.emplace_back([&] { op->complete(); });
        }
        for (auto& t : finishers) {
            t.join();
        }
        EXPECT_EQ(completions.load(), 1);
        op->setCompletionBlock([&] { completions.fetch_add(100); });  // too late: never called
        op->complete();
        EXPECT_EQ(completions.load(), 1);
    }
}

TEST_F(OperationQueueTest, RacingStartsRunTheWorkOnceAndRefuseTheOthers) {
    constexpr int kStarters = 4;
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> runs{0}, refused{0}, ready{0};
        auto op = BlockOperation::create([&] { runs.fetch_add(1); });
        std::vector<std::thread> starters;
        for (int i = 0; i < kStarters; ++i) {
            starters.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < kStarters) {
                    std::this_thread::yield();
                }
                try {
                    op->start();
                } catch (const DispatchException&) {
                    refused.fetch_add(1);
                }
            });
        }
        for (auto& t : starters) {
            t.join();
        }
        ASSERT_EQ(runs.load(), 1) << "round " << round;
        ASSERT_EQ(refused.load(), kStarters - 1) << "round " << round;
    }
}

// An asynchronous operation whose main() throws can no longer say it has
// finished: it must not keep its slot (here the main queue's only one).
class ThrowingAsynchronousOperation : public Operation {
  public:
    bool isAsynchronous() const override { return true; }
    void main() override { throw std::runtime_error("could not begin"); }
};

TEST_F(OperationQueueTest, AsynchronousOperationThatThrowsFromMainGivesItsSlotBack) {
    auto main = OperationQueue::mainQueue();
    auto failing = std::make_shared<ThrowingAsynchronousOperation>();
    int completions = 0;
    failing->setCompletionBlock([&] { ++completions; });
    bool nextRan = false;
    main->addOperation(failing);
    main->addOperationWithBlock([&] { nextRan = true; });
    EXPECT_THROW(MainLoop::drain(), std::runtime_error);
    EXPECT_TRUE(failing->isFinished());
    EXPECT_EQ(completions, 1);
    main->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(nextRan);
}

TEST_F(OperationQueueTest, SuspendedQueueHoldsOperationsInOrderUntilReleased) {
    StartLog log;
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.setQualityOfService(static_cast<QualityOfService>(17));
    EXPECT_EQ(queue.qualityOfService(), QualityOfService::Utility);
    queue.setSuspended(true);
    EXPECT_TRUE(queue.isSuspended());
    std::vector<std::shared_ptr<Operation>> added;
    std::atomic<int> ran{0};
    for (int i = 0; i < 5; ++i) {
        auto op = BlockOperation::create([&log, &ran, i] {
            log.add(std::to_string(i));
            ran.fetch_add(1);
        });
        added.push_back(op);
        queue.addOperation(op);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(queue.operations(), added);
    queue.setSuspended(false);
    queue.addOperationWithBlock([&] { log.add("late"); });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(log.names(), (std::vector<std::string>{"0", "1", "2", "3", "4", "late"}));
    EXPECT_TRUE(queue.operations().empty());
}

TEST_F(OperationQueueTest, NeverRunsMoreThanTheMaximumAtOnce) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(2);
    EXPECT_EQ(queue.maxConcurrentOperationCount(), 2);
    std::atomic<int> running{0}, peak{0}, done{0};
    for (int i = 0; i < 40; ++i) {
        queue.addOperationWithBlock([&] {
            int now = running.fetch_add(1) + 1;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::yield();
            running.fetch_sub(1);
            done.fetch_add(1);
        });
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done.load(), 40);
    EXPECT_LE(peak.load(), 2);
    queue.setMaxConcurrentOperationCount(-5);
    EXPECT_EQ(queue.maxConcurrentOperationCount(), OperationQueue::DefaultMaxConcurrentOperationCount);
}

TEST_F(OperationQueueTest, MainOperationQueueRunsOnTheMainThreadInOrder) {
    auto main = OperationQueue::mainQueue();
    EXPECT_EQ(main->maxConcurrentOperationCount(), 1);
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    for (int i = 0; i < 3; ++i) {
        main->addOperationWithBlock([&, i] {
            offMain = offMain || !isMainThread();
            order.push_back(i);
        });
    }
    std::thread adder([&] { main->addOperationWithBlock([&] { order.push_back(3); }); });
    adder.join();
    EXPECT_TRUE(order.empty()) << "nothing runs before main pumps";
    main->waitUntilAllOperationsAreFinished();  // pumps the main loop
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_FALSE(offMain);
}

// An operation that asks to start on the main thread is started there by a
// queue of the thread pool too, added from any thread, and still holds its
// slot until it finishes.
TEST_F(OperationQueueTest, AnOperationThatStartsOnTheMainThreadIsStartedThereByAnyQueue) {
    class MainStarted : public Operation {
      public:
        bool isAsynchronous() const override { return true; }
        bool startsOnMainThread() const override { return true; }
        void start() override {
            onMain = isMainThread();
            starts.fetch_add(1);
            Operation::start();
        }
        void complete() { finish(); }
        std::atomic<int> starts{0};
        std::atomic<bool> onMain{false};
    };
    OperationQueue queue("test.startsOnMain");
    queue.setMaxConcurrentOperationCount(1);
    auto first = std::make_shared<MainStarted>();
    auto second = std::make_shared<MainStarted>();
    std::thread adder([&] {
        queue.addOperation(first);
        queue.addOperation(second);
    });
    adder.join();
    ASSERT_TRUE(MainLoop::runUntil([&] { return first->starts.load() == 1; }, kLongWait));
    EXPECT_TRUE(first->onMain);
    EXPECT_TRUE(first->isExecuting());
    EXPECT_EQ(second->starts.load(), 0);
    first->complete();
    ASSERT_TRUE(MainLoop::runUntil([&] { return second->starts.load() == 1; }, kLongWait));
    EXPECT_TRUE(second->onMain);
    second->complete();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(first->starts.load() + second->starts.load(), 2);
}

TEST_F(OperationQueueTest, DependenciesAcrossQueuesHoldAnOperationBack) {
    StartLog log;
    OperationQueue setup, work;
    setup.setSuspended(true);
    auto prepare = std::make_shared<ManualOperation>(&log, "prepare");
    auto use = BlockOperation::create([&] { log.add("use"); });
    auto unrelated = BlockOperation::create([&] { log.add("unrelated"); });
    EXPECT_THROW(use->addDependency(use), std::invalid_argument);
    EXPECT_THROW(use->addDependency(nullptr), std::invalid_argument);
    use->addDependency(prepare);
    EXPECT_FALSE(use->isReady());
    EXPECT_EQ(use->dependencies().size(), 1u);
    work.setMaxConcurrentOperationCount(1);
    work.addOperation(use);
    work.addOperation(unrelated);  // a later ready operation may go first
    unrelated->waitUntilFinished();
    EXPECT_FALSE(use->isFinished());

    setup.addOperation(prepare);
    setup.setSuspended(false);
    ASSERT_TRUE(prepare->began.wait(kLongWait));
    EXPECT_FALSE(use->isFinished());
    prepare->complete();
    work.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(log.names(), (std::vector<std::string>{"unrelated", "prepare", "use"}));

    // A cancelled operation ignores dependencies that never finish.
    auto never = std::make_shared<ManualOperation>(&log, "never");
    auto blocked = BlockOperation::create([&] { log.add("blocked"); });
    blocked->addDependency(never);
    work.addOperation(blocked);
    blocked->cancel();
    work.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(blocked->isFinished());
    EXPECT_EQ(log.names().back(), "use");
}

TEST_F(OperationQueueTest, CancelAllLetsTheRunningOneFinishAndDropsTheWorkOfTheRest) {
    StartLog log;
    auto queue = std::make_unique<OperationQueue>();
    queue->setMaxConcurrentOperationCount(1);
    auto running = std::make_shared<ManualOperation>(&log, "running");
    std::atomic<int> ran{0};
    queue->addOperation(running);
    for (int i = 0; i < 3; ++i) {
        queue->addOperationWithBlock([&] { ran.fetch_add(1); });
    }
    ASSERT_TRUE(running->began.wait(kLongWait));
    queue->cancelAllOperations();
    EXPECT_TRUE(running->isCancelled());
    EXPECT_TRUE(running->isExecuting());
    auto last = queue->operations().back();
    queue.reset();  // dropping the queue does not drop its operations
    running->complete();
    last->waitUntilFinished();
    EXPECT_EQ(ran.load(), 0);
}

TEST_F(OperationQueueTest, DroppingASuspendedQueueStillRunsItsOperations) {
    auto queue = std::make_unique<OperationQueue>();
    queue->setSuspended(true);
    std::atomic<bool> ran{false};
    Semaphore completed;
    auto op = BlockOperation::create([&] { ran = true; });
    op->setCompletionBlock([&] { completed.signal(); });
    queue->addOperation(op);
    queue.reset();  // nobody is left to resume it
    ASSERT_TRUE(completed.wait(kLongWait));
    EXPECT_TRUE(ran);
}

TEST_F(OperationQueueTest, MisuseIsRefused) {
    OperationQueue queue, other;
    queue.setSuspended(true);
    auto op = BlockOperation::create([] {});
    queue.addOperation(op);
    EXPECT_THROW(queue.addOperation(op), DispatchException);
    EXPECT_THROW(other.addOperation(op), DispatchException);
    EXPECT_THROW(queue.addOperation(nullptr), std::invalid_argument);
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_THROW(op->start(), DispatchException);

    auto direct = BlockOperation::create([] {});
    direct->start();
    EXPECT_TRUE(direct->isFinished());
    EXPECT_THROW(queue.addOperation(direct), DispatchException);
}

// The queue's list of operations, checked against a plain model while
// operations finish in an order unlike the one they were added in, past the
// point where the queue drops finished entries from its front, and while
// the queue empties and is used again.
TEST_F(OperationQueueTest, OperationsFinishingOutOfOrderLeaveTheListInAddedOrder) {
    OperationQueue queue;
    StartLog log;
    for (int round = 0; round < 2; ++round) {
        constexpr int kCount = 300;
        std::vector<std::shared_ptr<ManualOperation>> model;
        for (int i = 0; i < kCount; ++i) {
            auto op = std::make_shared<ManualOperation>(&log, "op" + std::to_string(i));
            queue.addOperation(op);
            model.push_back(op);
        }
        for (const auto& op : model)
            ASSERT_TRUE(op->began.wait(kLongWait));
        // Mostly from the front, now and then from the middle or the back.
        unsigned seed = 12345 + static_cast<unsigned>(round);
        while (!model.empty()) {
            seed = seed * 1103515245u + 12345u;
            const unsigned pick = (seed >> 16) % 10;
            std::size_t at = 0;
            if (pick >= 7)
                at = (seed >> 8) % model.size();
            auto op = model[at];
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
            op->complete();
            EXPECT_TRUE(op->isFinished());
            ASSERT_EQ(queue.operationCount(), model.size());
            const auto listed = queue.operations();
            ASSERT_EQ(listed.size(), model.size());
            for (std::size_t i = 0; i < model.size(); ++i)
                ASSERT_EQ(listed[i].get(), model[i].get()) << "at " << i;
        }
        queue.waitUntilAllOperationsAreFinished();
    }
    EXPECT_EQ(log.names().size(), 600u);
}

// More operations become ready at once than the pump keeps on its stack:
// each still starts exactly once.
TEST_F(OperationQueueTest, ManyOperationsReleasedAtOnceEachRunOnce) {
    OperationQueue queue;
    queue.setSuspended(true);
    constexpr int kCount = 50;
    std::vector<std::atomic<int>> runs(kCount);
    for (int i = 0; i < kCount; ++i)
        queue.addOperationWithBlock([&runs, i] { runs[static_cast<std::size_t>(i)].fetch_add(1); });
    EXPECT_EQ(queue.operationCount(), static_cast<std::size_t>(kCount));
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(runs[static_cast<std::size_t>(i)].load(), 1) << i;
    EXPECT_EQ(queue.operationCount(), 0u);
}

// An operation's own quality of service picks the global queue that starts
// it; one without takes the queue's.
TEST_F(OperationQueueTest, OperationsStartOnTheGlobalQueueOfTheirQualityOfService) {
    OperationQueue queue;
    queue.setQualityOfService(QualityOfService::Utility);
    std::atomic<bool> ownOnUserInitiated{false};
    std::atomic<bool> queuesOnUtility{false};
    auto own = BlockOperation::create(
        [&] { ownOnUserInitiated = Queue::global(QualityOfService::UserInitiated).isCurrent(); });
    own->setQualityOfService(QualityOfService::UserInitiated);
    auto inherits = BlockOperation::create(
        [&] { queuesOnUtility = Queue::global(QualityOfService::Utility).isCurrent(); });
    queue.addOperation(own);
    queue.addOperation(inherits);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(ownOnUserInitiated.load());
    EXPECT_TRUE(queuesOnUtility.load());
}

// Nothing keeps an operation, or the queue's state, alive once it has run:
// neither what the queue holds while the start is on its way nor the link
// between the operation and its queue.
TEST_F(OperationQueueTest, AnOperationAndItsQueueAreFreedOnceItHasRun) {
    std::weak_ptr<Operation> weakOperation;
    std::atomic<bool> ran{false};
    {
        OperationQueue queue;
        auto op = BlockOperation::create([&] { ran = true; });
        weakOperation = op;
        queue.addOperation(std::move(op));
    }
    ASSERT_TRUE(MainLoop::runUntil([&] { return ran.load() && weakOperation.expired(); }, kLongWait));

    // The same on the main operation queue, and for an operation cancelled
    // before its start.
    auto cancelled = BlockOperation::create([&] { ran = false; });
    cancelled->cancel();
    weakOperation = cancelled;
    OperationQueue::mainQueue()->addOperation(std::move(cancelled));
    ASSERT_TRUE(MainLoop::runUntil([&] { return weakOperation.expired(); }, kLongWait));
    EXPECT_TRUE(ran.load());
}

// A dependent hears of the finish only after the queue took the finished
// operation off its list, even when it said so before that operation was
// added.
TEST_F(OperationQueueTest, TheQueueLetsGoOfAFinishedOperationBeforeItsDependentsStart) {
    OperationQueue queue;
    auto first = BlockOperation::create([] {});
    std::atomic<bool> sawFirstListed{true};
    std::atomic<bool> secondRan{false};
    auto second = BlockOperation::create([&] {
        const auto listed = queue.operations();
        sawFirstListed = std::find(listed.begin(), listed.end(), first) != listed.end();
        secondRan = true;
    });
    second->addDependency(first);
    queue.addOperation(second);
    queue.addOperation(first);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(secondRan.load());
    EXPECT_FALSE(sawFirstListed.load());
}

}  // namespace
}  // namespace plat::dispatch
