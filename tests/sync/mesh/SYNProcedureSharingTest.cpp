// Steps shared between procedures, and dependencies outside a procedure.
#include <gtest/gtest.h>

#include "sync/mesh/SYNProcedure.h"

namespace {

TEST(ProcedureSharingTest, SharedStepsMoveEveryProcedureAndOnlyProcedureStepsPassDependenciesOn) {
    auto shared = SYNProcedureStep::create(), heavy = SYNProcedureStep::create();
    shared->setTotalUnitCount(4);
    heavy->setProgressWeight(3.0);
    auto first = SYNProcedure::create(), second = SYNProcedure::create(), gone = SYNProcedure::create();
    int firstUpdates = 0, secondUpdates = 0;
    // The block replaces itself on its second call, while it runs.
    first->setProgressUpdateBlock([&] {
        if (++firstUpdates == 2) {
            first->setProgressUpdateBlock(nullptr);
        }
    });
    second->setProgressUpdateBlock([&] { ++secondUpdates; });
    first->addProcedureStep(shared);
    second->addProcedureStep(heavy);
    second->addProcedureStep(shared);
    gone->addProcedureStep(shared);
    shared->setNumberOfUnitsCompleted(2);
    EXPECT_DOUBLE_EQ(first->progress(), 0.5);
    EXPECT_DOUBLE_EQ(second->progress(), 0.5 / 4.0);
    gone.reset();
    second->removeProcedureStep(shared);
    shared->addUnitsCompleted(1);
    shared->addUnitsCompleted(1);
    EXPECT_DOUBLE_EQ(first->progress(), 1.0);
    EXPECT_EQ(firstUpdates, 2);
    EXPECT_EQ(secondUpdates, 1);

    // inside needs outside (no step of the procedure), which needs later (a
    // disabled step listed first): only the procedure's steps pass theirs on.
    auto procedure = SYNProcedure::create();
    auto inside = SYNProcedureStep::create(), outside = SYNProcedureStep::create(),
         later = SYNProcedureStep::create(), beyond = SYNProcedureStep::create();
    procedure->addProcedureStep(later);
    procedure->addProcedureStep(inside);
    inside->addDependency(outside);
    outside->addDependency(later);
    later->addDependency(beyond);
    for (const auto& s : {outside, later, beyond}) {
        s->setEnabled(false);
    }
    procedure->prepareToProceed();
    EXPECT_TRUE(outside->isEnabled());
    EXPECT_FALSE(later->isEnabled());
    // later, enabled in a pass after it was looked at, passes beyond on in the next.
    inside->addDependency(later);
    procedure->prepareToProceed();
    EXPECT_TRUE(beyond->isEnabled());
    EXPECT_EQ(procedure->enabledProcedureSteps(), (std::vector<SYNProcedureStep::Ptr>{later, inside}));
}

}  // namespace
