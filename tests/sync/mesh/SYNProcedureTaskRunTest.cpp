// How the task queue under every procedure runs its tasks: each finishes
// once whatever thread calls its completion and however often, a task that
// pumps the main loop until the queue is done still has what it holds, and a
// finished queue lets go of its tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "sync/eventstore/SYNAsynchronousTaskQueue.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/mesh/SYNProcedure.h"

namespace {

using plat::dispatch::MainLoop;

class ProcedureTaskRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainLoop::bindToCurrentThread();
        MainLoop::drain();
    }
};

TEST_F(ProcedureTaskRunTest, StepsFinishOnceInOrderFromAnyThreadAndAreLetGoAfterwards) {
    auto procedure = SYNProcedure::create();
    std::vector<std::string> ran;
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> heldWeak = held;
    std::vector<std::thread> threads;
    auto add = [&](const std::string& name, std::function<void(SYNCompletion)> finish) {
        auto step = SYNProcedureStep::create();
        step->executionBlock = [&ran, name, finish, held](const SYNProcedureStep::Ptr&, SYNCompletion done) {
            EXPECT_TRUE(MainLoop::isMainThread()) << name;
            EXPECT_EQ(*held, 7);
            ran.push_back(name);
            finish(std::move(done));
        };
        procedure->addProcedureStep(step);
    };
    add("at once", [](SYNCompletion done) { done(nullptr); });
    add("twice", [](SYNCompletion done) {
        done(nullptr);
        done(SYNMakeError(SYNErrorUnknown));  // ignored
    });
    add("from a thread", [&](SYNCompletion done) { threads.emplace_back([done] { done(nullptr); }); });
    add("from two threads", [&](SYNCompletion done) {
        threads.emplace_back([done] { done(nullptr); });
        threads.emplace_back([done] { done(nullptr); });
    });
    add("last", [](SYNCompletion done) { done(nullptr); });
    held.reset();

    int completions = 0;
    plat::ErrorPtr result = SYNMakeError(SYNErrorUnknown);
    procedure->proceedWithCompletion([&](plat::ErrorPtr error) {
        EXPECT_TRUE(MainLoop::isMainThread());
        ++completions;
        result = error;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return completions > 0; }, 30));
    for (auto& thread : threads) {
        thread.join();
    }
    MainLoop::drain();
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(ran,
              (std::vector<std::string>{"at once", "twice", "from a thread", "from two threads", "last"}));
    EXPECT_DOUBLE_EQ(procedure->progress(), 1.0);
    // The steps still hold their blocks; dropping the procedure lets go of
    // everything the run held.
    EXPECT_FALSE(heldWeak.expired());
    procedure.reset();
    MainLoop::drain();
    EXPECT_TRUE(heldWeak.expired());
}

TEST_F(ProcedureTaskRunTest, ATaskThatPumpsUntilTheQueueEndedStillHasItsCapturesAndTheQueueLetsGo) {
    auto label = std::make_shared<std::string>("kept by the running task");
    std::weak_ptr<std::string> labelWeak = label;
    std::shared_ptr<SYNAsynchronousTaskQueue> queue;
    bool completed = false;
    plat::ErrorPtr result;
    std::string seenAfter;
    bool laterRan = false;
    std::vector<SYNTask> tasks;
    tasks.push_back([&queue, &completed, &seenAfter, label](SYNTaskCompletion next) {
        // Cancelled and finished: the queue completes, and drops its tasks,
        // while this one still runs.
        queue->cancel();
        next(nullptr, false);
        EXPECT_TRUE(MainLoop::runUntil([&] { return completed; }, 30));
        seenAfter = *label;
    });
    tasks.push_back([&laterRan](SYNTaskCompletion next) {
        laterRan = true;
        next(nullptr, false);
    });
    label.reset();
    queue = std::make_shared<SYNAsynchronousTaskQueue>(std::move(tasks), [&](plat::ErrorPtr error) {
        result = error;
        completed = true;
    });
    queue->start();
    ASSERT_TRUE(MainLoop::runUntil([&] { return completed && !seenAfter.empty(); }, 30));
    MainLoop::drain();
    EXPECT_EQ(seenAfter, "kept by the running task");
    EXPECT_FALSE(laterRan);
    EXPECT_TRUE(SYNErrorHasCode(result, SYNErrorCancelled));
    EXPECT_TRUE(queue->isFinished());
    EXPECT_EQ(queue->numberOfTasks(), 2u);
    // Finished: the queue, still referenced here, holds none of its tasks.
    EXPECT_TRUE(labelWeak.expired());
}

TEST_F(ProcedureTaskRunTest, AThrowingTaskFailsOnceAndALateCompletionOfItIsIgnored) {
    SYNTaskCompletion kept;
    bool completed = false;
    plat::ErrorPtr result;
    std::vector<SYNTask> tasks;
    tasks.push_back([&kept](SYNTaskCompletion next) {
        kept = next;
        throw std::runtime_error("no disk");
    });
    tasks.push_back([](SYNTaskCompletion next) { next(nullptr, false); });
    auto queue = std::make_shared<SYNAsynchronousTaskQueue>(
        std::move(tasks), SYNTaskQueueTerminationPolicyCompleteAll, [&](plat::ErrorPtr error) {
            EXPECT_FALSE(completed);
            result = error;
            completed = true;
        });
    queue->start();
    ASSERT_TRUE(MainLoop::runUntil([&] { return completed; }, 30));
    ASSERT_TRUE(kept);
    kept(nullptr, false);  // after the failure was counted: ignored
    MainLoop::drain();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code(), SYNErrorMultipleErrors);
    const auto* errors = result->userInfo().find(SYNErrorsKey);
    ASSERT_TRUE(errors && errors->asArray());
    ASSERT_EQ(errors->asArray()->size(), 2u);
    EXPECT_FALSE((*errors->asArray())[0].isNull());
    EXPECT_TRUE((*errors->asArray())[1].isNull());
}

}  // namespace
