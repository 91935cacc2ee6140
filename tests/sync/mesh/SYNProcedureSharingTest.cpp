// Steps shared between procedures, and dependencies outside a procedure.
#include <gtest/gtest.h>

#include "sync/mesh/SYNProcedure.h"

namespace {

SYNProcedureStep::Ptr step(double weight, uint64_t total) {
    auto s = SYNProcedureStep::create();
    s->setProgressWeight(weight);
    s->setTotalUnitCount(total);
    return s;
}

TEST(ProcedureSharingTest, AStepOfSeveralProceduresMovesEachAndForgetsTheGoneOnes) {
    auto shared = step(1.0, 4);
    auto first = SYNProcedure::create();
    auto second = SYNProcedure::create();
    auto third = SYNProcedure::create();
    int firstUpdates = 0, secondUpdates = 0;
    first->setProgressUpdateBlock([&] { ++firstUpdates; });
    second->setProgressUpdateBlock([&] { ++secondUpdates; });
    first->addProcedureStep(shared);
    second->addProcedureStep(step(3.0, 1));
    second->addProcedureStep(shared);
    third->addProcedureStep(shared);
    shared->setNumberOfUnitsCompleted(2);
    EXPECT_DOUBLE_EQ(first->progress(), 0.5);
    EXPECT_DOUBLE_EQ(second->progress(), 0.5 / 4.0);
    EXPECT_DOUBLE_EQ(third->progress(), 0.5);
    EXPECT_EQ(firstUpdates, 1);
    EXPECT_EQ(secondUpdates, 1);
    // A procedure gone, or the step taken out of one, no longer follows it.
    third.reset();
    second->removeProcedureStep(shared);
    shared->addUnitsCompleted(2);
    EXPECT_DOUBLE_EQ(first->progress(), 1.0);
    EXPECT_EQ(firstUpdates, 2);
    EXPECT_EQ(secondUpdates, 1);
    // A block replaced while it is held by an update is not cut short: the
    // block may replace itself.
    first->setProgressUpdateBlock([&] {
        ++firstUpdates;
        first->setProgressUpdateBlock(nullptr);
    });
    shared->setNumberOfUnitsCompleted(3);
    shared->setNumberOfUnitsCompleted(4);
    EXPECT_EQ(firstUpdates, 3);
}

TEST(ProcedureSharingTest, ADependencyOutsideTheProcedureIsEnabledAndItsOwnAreNot) {
    auto procedure = SYNProcedure::create();
    auto inside = step(1.0, 1), outside = step(1.0, 1), beyond = step(1.0, 1), later = step(1.0, 1);
    procedure->addProcedureStep(later);
    procedure->addProcedureStep(inside);
    // inside needs outside (not a step of the procedure), which needs beyond;
    // outside also needs later, a disabled step of the procedure listed first.
    inside->addDependency(outside);
    outside->addDependency(beyond);
    outside->addDependency(later);
    for (const auto& s : {outside, beyond, later}) {
        s->setEnabled(false);
    }
    procedure->prepareToProceed();
    // Only the procedure's steps pass their dependencies on.
    EXPECT_TRUE(outside->isEnabled());
    EXPECT_FALSE(beyond->isEnabled());
    EXPECT_FALSE(later->isEnabled());
    later->setEnabled(false);
    later->addDependency(beyond);
    inside->addDependency(later);
    procedure->prepareToProceed();
    // later, enabled in a pass after it was looked at, passes it on in the next.
    EXPECT_TRUE(later->isEnabled());
    EXPECT_TRUE(beyond->isEnabled());
    EXPECT_EQ(procedure->enabledProcedureSteps(), (std::vector<SYNProcedureStep::Ptr>{later, inside}));
}

}  // namespace
