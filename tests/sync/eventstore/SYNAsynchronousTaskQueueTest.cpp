#include "sync/eventstore/SYNAsynchronousTaskQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "sync/eventstore/SYNErrors.h"

namespace {

using plat::dispatch::MainLoop;

constexpr double kLongWait = 30.0;

class SYNAsynchronousTaskQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainLoop::bindToCurrentThread();
        MainLoop::drain();
    }
    void TearDown() override { MainLoop::drain(); }
};

// The outcome of one run: the completion's error and how often it came.
struct QueueRun {
    std::vector<std::size_t> tasksRun;
    int completions = 0;
    plat::ErrorPtr error;
    bool completedOnMain = false;
    bool finishedBeforeCompletion = false;
};

// "ok" succeeds, "fail" fails with code 1000 + index, "stop" succeeds and
// sets the stop flag.
std::vector<SYNTask> makeTasks(const std::vector<std::string>& outcomes, QueueRun& run) {
    std::vector<SYNTask> tasks;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        tasks.push_back([&run, i, outcome = outcomes[i]](SYNTaskCompletion next) {
            run.tasksRun.push_back(i);
            if (outcome == "fail") {
                next(plat::Error::make("Test", 1000 + static_cast<int64_t>(i)), false);
            } else {
                next(nullptr, outcome == "stop");
            }
        });
    }
    return tasks;
}

std::shared_ptr<SYNAsynchronousTaskQueue> makeQueue(std::vector<SYNTask> tasks, int policy, QueueRun& run) {
    auto weak = std::make_shared<std::weak_ptr<SYNAsynchronousTaskQueue>>();
    auto queue =
        std::make_shared<SYNAsynchronousTaskQueue>(std::move(tasks), policy, [&run, weak](plat::ErrorPtr e) {
            ++run.completions;
            run.error = std::move(e);
            run.completedOnMain = MainLoop::isMainThread();
            auto self = weak->lock();
            run.finishedBeforeCompletion = self && self->isFinished();
        });
    *weak = queue;
    return queue;
}

void runToEnd(const std::shared_ptr<SYNAsynchronousTaskQueue>& queue) {
    queue->start();
    ASSERT_TRUE(MainLoop::runUntil([&] { return queue->isFinished(); }, kLongWait));
    MainLoop::drain();
}

// "nil", "E<code>" for a single error, or "M:<entries>" for error 102 with
// "-" standing for a null entry.
std::string describe(const plat::ErrorPtr& error) {
    if (!error) {
        return "nil";
    }
    if (!SYNErrorHasCode(error, SYNErrorMultipleErrors)) {
        return "E" + std::to_string(error->code());
    }
    std::string text = "M:";
    const plat::Value* list = error->userInfo().find(SYNErrorsKey);
    if (list == nullptr || !list->isArray()) {
        return text + "no list";
    }
    for (const auto& entry : *list->asArray()) {
        if (text.size() > 2) {
            text += ",";
        }
        auto e = entry.asObjectOf<plat::Error>();
        text += entry.isNull() ? "-" : (e ? std::to_string(e->code()) : "?");
    }
    return text;
}

struct PolicyCase {
    int policy;
    std::vector<std::string> outcomes;
    std::size_t tasksRun;
    std::string result;
};

class SYNTaskQueuePolicyTest : public SYNAsynchronousTaskQueueTest,
                               public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(SYNTaskQueuePolicyTest, RunsTasksAndCombinesErrorsAsThePolicySays) {
    const PolicyCase& c = GetParam();
    QueueRun run;
    auto queue = makeQueue(makeTasks(c.outcomes, run), c.policy, run);
    runToEnd(queue);
    EXPECT_EQ(run.tasksRun.size(), c.tasksRun);
    for (std::size_t i = 0; i < run.tasksRun.size(); ++i) {
        EXPECT_EQ(run.tasksRun[i], i);
    }
    EXPECT_EQ(run.completions, 1);
    EXPECT_EQ(describe(run.error), c.result);
    EXPECT_TRUE(run.completedOnMain);
    EXPECT_FALSE(run.finishedBeforeCompletion);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, SYNTaskQueuePolicyTest,
    ::testing::Values(
        PolicyCase{0, {"ok", "ok", "ok"}, 3, "nil"}, PolicyCase{0, {"ok", "fail", "ok"}, 2, "E1001"},
        PolicyCase{0, {"ok", "ok", "fail"}, 3, "E1002"}, PolicyCase{0, {"fail", "fail"}, 1, "E1000"},
        PolicyCase{1, {"ok", "ok"}, 1, "nil"}, PolicyCase{1, {"fail", "ok", "ok"}, 2, "nil"},
        PolicyCase{1, {"fail", "fail"}, 2, "M:1000,1001"}, PolicyCase{1, {"fail"}, 1, "E1000"},
        PolicyCase{2, {"ok", "fail", "ok"}, 3, "M:-,1001,-"}, PolicyCase{2, {"ok", "ok"}, 2, "nil"},
        PolicyCase{2, {"fail"}, 1, "E1000"}, PolicyCase{2, {"fail", "fail"}, 2, "M:1000,1001"},
        PolicyCase{2, {"ok", "stop", "fail"}, 2, "nil"}, PolicyCase{2, {"fail", "stop", "ok"}, 2, "M:1000,-"},
        PolicyCase{1, {"fail", "stop", "ok"}, 2, "nil"}, PolicyCase{0, {}, 0, "nil"},
        PolicyCase{2, {}, 0, "nil"}));

TEST_F(SYNAsynchronousTaskQueueTest, AnUnknownPolicyRaisesTheFrameworkException) {
    for (int policy : {-1, 3, 42}) {
        try {
            SYNAsynchronousTaskQueue queue(std::vector<SYNTask>{}, policy, nullptr);
            ADD_FAILURE() << "no exception for policy " << policy;
        } catch (const SYNException& e) {
            EXPECT_EQ(e.name(), "SYNException");
            EXPECT_EQ(e.reason(), "Invalid policy");
        }
    }
}

TEST_F(SYNAsynchronousTaskQueueTest, CancellationIsReportedBeforeTasksBetweenThemAndAtTheEnd) {
    {  // before start: no task runs
        QueueRun run;
        auto queue = makeQueue(makeTasks({"ok", "ok"}, run), 0, run);
        queue->cancel();
        runToEnd(queue);
        EXPECT_TRUE(run.tasksRun.empty());
        EXPECT_EQ(run.completions, 1);
        ASSERT_TRUE(SYNErrorHasCode(run.error, SYNErrorCancelled));
        EXPECT_TRUE(run.error->userInfo().empty());
    }
    {  // during the first task: the second never runs
        QueueRun run;
        std::shared_ptr<SYNAsynchronousTaskQueue> queue;
        std::vector<SYNTask> tasks = makeTasks({"ok", "ok"}, run);
        tasks[0] = [&](SYNTaskCompletion next) {
            run.tasksRun.push_back(0);
            queue->cancel();
            next(nullptr, false);
        };
        queue = makeQueue(std::move(tasks), 2, run);
        runToEnd(queue);
        EXPECT_EQ(run.tasksRun, std::vector<std::size_t>{0});
        EXPECT_TRUE(SYNErrorHasCode(run.error, SYNErrorCancelled));
    }
    {  // during the last task, even when the policy would stop with success
        QueueRun run;
        std::shared_ptr<SYNAsynchronousTaskQueue> queue;
        queue = makeQueue({[&](SYNTaskCompletion next) {
                              queue->cancel();
                              next(nullptr, true);
                          }},
                          0, run);
        runToEnd(queue);
        EXPECT_TRUE(SYNErrorHasCode(run.error, SYNErrorCancelled));
        EXPECT_EQ(run.completions, 1);
    }
    {  // an empty queue cancelled before it starts
        QueueRun run;
        auto queue = makeQueue({}, 2, run);
        queue->cancel();
        runToEnd(queue);
        EXPECT_TRUE(SYNErrorHasCode(run.error, SYNErrorCancelled));
    }
}

TEST_F(SYNAsynchronousTaskQueueTest, TasksRunOnMainEvenWhenStartedOrContinuedFromOtherThreads) {
    std::atomic<int> offMain{0};
    std::vector<std::thread> threads;
    QueueRun run;
    std::vector<SYNTask> tasks;
    for (int i = 0; i < 4; ++i) {
        tasks.push_back([&, i](SYNTaskCompletion next) {
            if (!MainLoop::isMainThread()) {
                offMain.fetch_add(1);
            }
            run.tasksRun.push_back(static_cast<std::size_t>(i));
            threads.emplace_back([next] { next(nullptr, false); });
        });
    }
    auto queue = makeQueue(std::move(tasks), 0, run);
    std::thread starter([queue] { queue->start(); });
    starter.join();
    ASSERT_TRUE(MainLoop::runUntil([&] { return queue->isFinished(); }, kLongWait));
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(offMain.load(), 0);
    EXPECT_EQ(run.tasksRun.size(), 4u);
    EXPECT_EQ(run.completions, 1);
    EXPECT_TRUE(run.completedOnMain);
    EXPECT_EQ(run.error, nullptr);
}

TEST_F(SYNAsynchronousTaskQueueTest, SecondCallsOfNextAndThrowingTasksCannotBreakTheRun) {
    {
        QueueRun run;
        auto queue = makeQueue({[&](SYNTaskCompletion next) {
                                    next(nullptr, false);
                                    next(plat::Error::make("Test", 7), false);
                                },
                                [&](SYNTaskCompletion next) {
                                    run.tasksRun.push_back(1);
                                    next(nullptr, false);
                                }},
                               0, run);
        runToEnd(queue);
        EXPECT_EQ(run.tasksRun, std::vector<std::size_t>{1});
        EXPECT_EQ(run.error, nullptr);
        EXPECT_EQ(run.completions, 1);
    }
    {
        QueueRun run;
        auto tasks = makeTasks({"ok", "ok"}, run);
        tasks.insert(tasks.begin(), [](SYNTaskCompletion) { throw std::runtime_error("broken task"); });
        auto queue = makeQueue(std::move(tasks), 0, run);
        runToEnd(queue);
        EXPECT_TRUE(run.tasksRun.empty());
        ASSERT_TRUE(SYNErrorHasCode(run.error, SYNErrorUnknown));
        EXPECT_EQ(run.error->localizedFailureReason(), "broken task");
    }
}

TEST_F(SYNAsynchronousTaskQueueTest, ASerialOperationQueueRunsNothingElseUntilTheCompletionRan) {
    plat::dispatch::OperationQueue operations("test.serial");
    operations.setMaxConcurrentOperationCount(1);
    std::vector<std::string> events;
    SYNTaskCompletion held;
    auto first = std::make_shared<SYNAsynchronousTaskQueue>(
        [&](SYNTaskCompletion next) {
            events.push_back("first task");
            held = std::move(next);
        },
        [&](plat::ErrorPtr) { events.push_back("first completion"); });
    auto second = std::make_shared<SYNAsynchronousTaskQueue>(
        [&](SYNTaskCompletion next) {
            events.push_back("second task");
            next(nullptr, false);
        },
        [&](plat::ErrorPtr) { events.push_back("second completion"); });
    first->setInfo(plat::Value("tag"));
    operations.addOperation(first);
    operations.addOperation(second);
    ASSERT_TRUE(MainLoop::runUntil([&] { return held != nullptr; }, kLongWait));
    MainLoop::drain();
    // The first queue's task has not finished, so the second cannot have begun.
    EXPECT_EQ(events, std::vector<std::string>{"first task"});
    EXPECT_FALSE(second->isExecuting());
    held(nullptr, false);
    ASSERT_TRUE(MainLoop::runUntil([&] { return second->isFinished(); }, kLongWait));
    EXPECT_EQ(events, (std::vector<std::string>{"first task", "first completion", "second task",
                                                "second completion"}));
    EXPECT_EQ(first->info(), plat::Value("tag"));
    EXPECT_EQ(first->numberOfTasks(), 1u);
}

}  // namespace
