#include "sync/mesh/SYNProcedure.h"

#include <gtest/gtest.h>

#include "platform/dispatch/MainLoop.h"
#include "sync/eventstore/SYNErrors.h"

namespace {

using plat::dispatch::MainLoop;

class ProcedureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainLoop::bindToCurrentThread();
        MainLoop::drain();
    }

    // Runs the procedure on the main operation queue and waits for its end.
    plat::ErrorPtr run(const SYNProcedure::Ptr& procedure) {
        bool done = false;
        plat::ErrorPtr result;
        procedure->proceedWithCompletion([&](plat::ErrorPtr error) {
            EXPECT_TRUE(MainLoop::isMainThread());
            result = error;
            done = true;
        });
        EXPECT_TRUE(MainLoop::runUntil([&] { return done; }, 10));
        return result;
    }

    static SYNProcedureStep::Ptr step(double weight = 1.0, uint64_t total = 1) {
        auto s = SYNProcedureStep::create();
        s->setProgressWeight(weight);
        s->setTotalUnitCount(total);
        return s;
    }
};

TEST_F(ProcedureTest, ProgressWeighsTheStepsAndCapsFractions) {
    struct Case {
        uint64_t total;
        uint64_t done;
        double expected;
    };
    // A total of 0 counts as 1; fractions above 1 count as 1.
    for (const Case& c : {Case{0, 0, 0.0}, Case{0, 5, 1.0}, Case{4, 1, 0.25}, Case{4, 9, 1.0}}) {
        auto procedure = SYNProcedure::create();
        auto s = step(1.0, c.total);
        procedure->addProcedureStep(s);
        s->setNumberOfUnitsCompleted(c.done);
        EXPECT_DOUBLE_EQ(procedure->progress(), c.expected) << c.total << "/" << c.done;
    }
    auto procedure = SYNProcedure::create();
    int updates = 0;
    procedure->setProgressUpdateBlock([&] { ++updates; });
    auto first = step(5.0);
    auto second = step(50.0, 10);
    auto disabled = step(1000.0);
    disabled->setEnabled(false);
    for (const auto& s : {first, second, disabled}) {
        procedure->addProcedureStep(s);
    }
    first->setNumberOfUnitsCompleted(1);
    second->setNumberOfUnitsCompleted(5);
    EXPECT_DOUBLE_EQ(procedure->progress(), (5.0 + 25.0) / 55.0);
    EXPECT_EQ(updates, 2);
    // An empty procedure is at 0.
    auto empty = SYNProcedure::create();
    empty->updateProgress();
    EXPECT_EQ(empty->progress(), 0.0);
}

// Counts set to what they are change no progress and call no block; every
// real change still does, and the progress is the same as if recomputed.
TEST_F(ProcedureTest, CountsSetToWhatTheyAreCallNoProgressBlock) {
    auto procedure = SYNProcedure::create();
    int updates = 0;
    procedure->setProgressUpdateBlock([&] { ++updates; });
    auto first = step(1.0, 4);
    auto second = step(3.0, 10);
    procedure->addProcedureStep(first);
    procedure->addProcedureStep(second);
    first->setNumberOfUnitsCompleted(2);
    EXPECT_EQ(updates, 1);
    first->setNumberOfUnitsCompleted(2);
    first->setTotalUnitCount(4);
    first->addUnitsCompleted(0);
    EXPECT_EQ(updates, 1);
    EXPECT_DOUBLE_EQ(procedure->progress(), 0.5 / 4.0);
    first->addUnitsCompleted(2);
    second->setTotalUnitCount(5);
    second->setNumberOfUnitsCompleted(5);
    EXPECT_EQ(updates, 4);
    EXPECT_DOUBLE_EQ(procedure->progress(), 1.0);
    // Marked done once more when its run ends: nothing to tell.
    second->setNumberOfUnitsCompleted(second->totalUnitCount());
    EXPECT_EQ(updates, 4);
    second->setTotalUnitCount(10);
    EXPECT_EQ(updates, 5);
    auto check = SYNProcedure::create();
    check->addProcedureStep(first);
    check->addProcedureStep(second);
    check->updateProgress();
    EXPECT_DOUBLE_EQ(procedure->progress(), check->progress());
    EXPECT_DOUBLE_EQ(procedure->progress(), (1.0 + 1.5) / 4.0);
}

TEST_F(ProcedureTest, DependenciesOfEnabledStepsAreEnabledTransitively) {
    auto procedure = SYNProcedure::create();
    auto a = step(), b = step(), c = step(), lone = step(), loneDependency = step();
    // c runs first in the list but is enabled only through b, which is enabled through a.
    for (const auto& s : {c, b, a, lone, loneDependency}) {
        procedure->addProcedureStep(s);
    }
    procedure->disableAllSteps();
    a->setEnabled(true);
    a->addDependency(b);
    b->addDependency(c);
    lone->addDependency(loneDependency);  // lone stays disabled, so does its dependency
    a->addDependency(b);                  // no duplicate
    EXPECT_EQ(a->dependencies().size(), 1u);
    procedure->prepareToProceed();
    EXPECT_EQ(procedure->enabledProcedureSteps(), (std::vector<SYNProcedureStep::Ptr>{c, b, a}));
    EXPECT_FALSE(loneDependency->isEnabled());
    a->removeDependency(b);
    EXPECT_TRUE(a->dependencies().empty());
    EXPECT_EQ(procedure->procedureStepAtIndex(4), loneDependency);
    EXPECT_EQ(procedure->procedureStepAtIndex(5), nullptr);
    c->representedObject = plat::Value(3);
    EXPECT_EQ(procedure->procedureStepsForRepresentedObject(plat::Value(3)),
              (std::vector<SYNProcedureStep::Ptr>{c}));
}

TEST_F(ProcedureTest, RunStopsAtTheFirstErrorAndCountsFailedStepsAsDone) {
    auto procedure = SYNProcedure::create();
    std::vector<int> ran;
    auto noBlock = step();
    procedure->addProcedureStep(noBlock);
    for (int i = 0; i < 3; ++i) {
        auto s = step(1.0, 4);
        s->executionBlock = [&ran, i, weak = std::weak_ptr<SYNProcedure>(procedure)](
                                const SYNProcedureStep::Ptr& self, SYNCompletion completion) {
            auto procedure = weak.lock();
            EXPECT_TRUE(MainLoop::isMainThread());
            EXPECT_EQ(procedure->currentProcedureStep(), self);
            ran.push_back(i);
            // Finish from another thread; a second call is ignored.
            std::thread([completion, i] {
                completion(i == 1 ? SYNMakeError(SYNErrorEnlistState) : nullptr);
                completion(SYNMakeError(SYNErrorUnknown));
            }).detach();
        };
        procedure->addProcedureStep(s);
    }
    std::vector<double> progress;
    procedure->setProgressUpdateBlock([&] { progress.push_back(procedure->progress()); });
    auto error = run(procedure);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SYNErrorEnlistState);
    EXPECT_EQ(ran, (std::vector<int>{0, 1}));
    EXPECT_EQ(procedure->currentProcedureStep(), nullptr);
    EXPECT_EQ(procedure->taskQueue(), nullptr);
    EXPECT_EQ(noBlock->numberOfUnitsCompleted(), 1u);
    EXPECT_EQ(procedure->procedureStepAtIndex(2)->numberOfUnitsCompleted(), 4u);
    EXPECT_EQ(procedure->procedureStepAtIndex(3)->numberOfUnitsCompleted(), 0u);
    // Starts at 0 and rises: no block, step 0, failing step 1.
    EXPECT_EQ(progress, (std::vector<double>{0.0, 0.25, 0.5, 0.75}));
}

TEST_F(ProcedureTest, CancelledRunReportsCancelled) {
    auto procedure = SYNProcedure::create();
    auto s = step();
    bool ran = false;
    s->executionBlock = [&](const SYNProcedureStep::Ptr&, SYNCompletion completion) {
        ran = true;
        completion(nullptr);
    };
    procedure->addProcedureStep(s);
    auto queue = std::make_shared<plat::dispatch::OperationQueue>();
    queue->setSuspended(true);
    bool done = false;
    plat::ErrorPtr result;
    procedure->proceedInOperationQueue(queue, [&](plat::ErrorPtr error) {
        result = error;
        done = true;
    });
    procedure->taskQueue()->cancel();
    queue->setSuspended(false);
    ASSERT_TRUE(MainLoop::runUntil([&] { return done; }, 10));
    EXPECT_FALSE(ran);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code(), SYNErrorCancelled);
}

}  // namespace
