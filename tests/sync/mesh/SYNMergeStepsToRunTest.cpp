// The steps a merge makes, checked against the procedure that made all of
// them: every step made, enabled by the merge's options and state as the
// mesh enables them, and left to the procedure's preparation to enable the
// dependencies. Both procedures are run, and the steps each ran compared.
#include "sync/mesh/SYNMergeSteps.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"
#include "sync/mesh/SYNProcedure.h"

namespace {

using plat::dispatch::MainLoop;

class MergeStepsToRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainLoop::bindToCurrentThread();
        MainLoop::drain();
    }

    SYNProcedureStep::Ptr recordingStep(std::size_t index, std::vector<std::size_t>& ran) {
        auto step = SYNProcedureStep::create();
        step->executionBlock = [index, &ran](const SYNProcedureStep::Ptr&, SYNCompletion done) {
            ran.push_back(index);
            done(nullptr);
        };
        return step;
    }

    void run(const SYNProcedure::Ptr& procedure) {
        bool finished = false;
        plat::ErrorPtr result;
        procedure->proceedWithCompletion([&](plat::ErrorPtr error) {
            result = error;
            finished = true;
        });
        EXPECT_TRUE(MainLoop::runUntil([&] { return finished; }, 10));
        EXPECT_EQ(result, nullptr);
    }

    // Every step made, enabled by the options as the merge enabled them,
    // the file system's optional steps made only when it does them.
    std::vector<std::size_t> runWithEveryStepMade(uint64_t options, const SYNMergeStepFacts& facts) {
        std::vector<std::size_t> ran;
        std::vector<SYNProcedureStep::Ptr> steps;
        for (std::size_t i = 0; i < SYNMergeStepCount; ++i) {
            steps.push_back(recordingStep(i, ran));
        }
        auto procedure = SYNProcedure::create();
        for (std::size_t i = 0; i < SYNMergeStepCount; ++i) {
            if ((i != SYNMergeStepPrime || facts.primes) && (i != SYNMergeStepRepair || facts.repairs)) {
                procedure->addProcedureStep(steps[i]);
            }
        }
        for (const auto& [step, dependency] : SYNMergeStepDependencies()) {
            if ((dependency != SYNMergeStepPrime || facts.primes) &&
                (dependency != SYNMergeStepRepair || facts.repairs)) {
                steps[step]->addDependency(steps[dependency]);
            }
        }
        const auto imports = {SYNMergeStepImportDataFiles, SYNMergeStepImportBaselines,
                              SYNMergeStepImportEvents};
        const auto exports = {SYNMergeStepExportDataFiles, SYNMergeStepExportBaselines,
                              SYNMergeStepExportEvents};
        steps[SYNMergeStepRebase]->setEnabled(facts.rebaseDue);
        if (options & SYNMergeOptionImportsOnly) {
            procedure->disableAllSteps();
            for (auto step : imports) {
                steps[step]->setEnabled(true);
            }
        } else if (options & SYNMergeOptionExportsOnly) {
            procedure->disableAllSteps();
            for (auto step : exports) {
                steps[step]->setEnabled(true);
            }
        }
        if (options & SYNMergeOptionForceRebase) {
            steps[SYNMergeStepRebase]->setEnabled(true);
        } else if (options & SYNMergeOptionSkipRebase) {
            steps[SYNMergeStepRebase]->setEnabled(false);
        }
        if (options & SYNMergeOptionSkipExport) {
            for (auto step : exports) {
                steps[step]->setEnabled(false);
            }
        }
        if (!facts.mergesFileContents) {
            steps[SYNMergeStepMergeFileContents]->setEnabled(false);
        }
        run(procedure);
        return ran;
    }

    // Only the steps that run made, with no dependency between them.
    std::vector<std::size_t> runWithTheStepsToRun(uint64_t options, const SYNMergeStepFacts& facts,
                                                  double& weights) {
        std::vector<std::size_t> ran;
        const auto runs = SYNMergeStepsToRun(options, facts);
        auto procedure = SYNProcedure::create();
        weights = 0;
        for (std::size_t i = 0; i < SYNMergeStepCount; ++i) {
            if (runs[i]) {
                procedure->addProcedureStep(recordingStep(i, ran));
                weights += 1;
            }
        }
        run(procedure);
        if (!ran.empty()) {  // an exports-only merge that skips its exports runs nothing
            EXPECT_EQ(procedure->progress(), 1.0);
        }
        return ran;
    }
};

TEST_F(MergeStepsToRunTest, TheStepsMadeAreTheStepsEveryStepMadeRanForEveryOptionAndState) {
    const uint64_t optionBits[] = {SYNMergeOptionForceRebase, SYNMergeOptionSkipRebase,
                                   SYNMergeOptionImportsOnly, SYNMergeOptionExportsOnly,
                                   SYNMergeOptionSkipExport};
    int compared = 0;
    for (unsigned combination = 0; combination < 32; ++combination) {
        uint64_t options = 0;
        for (unsigned bit = 0; bit < 5; ++bit) {
            if (combination & (1u << bit)) {
                options |= optionBits[bit];
            }
        }
        for (unsigned state = 0; state < 16; ++state) {
            SYNMergeStepFacts facts;
            facts.primes = state & 1;
            facts.repairs = state & 2;
            facts.rebaseDue = state & 4;
            facts.mergesFileContents = state & 8;
            double weights = 0;
            const auto made = runWithTheStepsToRun(options, facts, weights);
            const auto every = runWithEveryStepMade(options, facts);
            EXPECT_EQ(made, every) << "options " << options << ", state " << state;
            EXPECT_EQ(weights, static_cast<double>(every.size()));
            ++compared;
        }
    }
    EXPECT_EQ(compared, 512);
}

TEST_F(MergeStepsToRunTest, AnExportsOnlyMergeRunsItsExportsAfterTheSnapshotAndItsChecks) {
    SYNMergeStepFacts facts;
    facts.rebaseDue = true;
    facts.mergesFileContents = true;
    double weights = 0;
    const auto ran =
        runWithTheStepsToRun(SYNMergeOptionExportsOnly | SYNMergeOptionSkipRebase, facts, weights);
    const std::vector<std::size_t> expected{SYNMergeStepCheckIdentity,   SYNMergeStepCheckRegistration,
                                            SYNMergeStepSnapshot,        SYNMergeStepExportDataFiles,
                                            SYNMergeStepExportBaselines, SYNMergeStepExportEvents};
    EXPECT_EQ(ran, expected);

    facts.primes = facts.repairs = true;
    const auto withPriming = runWithTheStepsToRun(SYNMergeOptionExportsOnly, facts, weights);
    ASSERT_GE(withPriming.size(), 2u);
    EXPECT_EQ(withPriming[0], SYNMergeStepPrime);
    EXPECT_EQ(withPriming[1], SYNMergeStepRepair);
}

TEST_F(MergeStepsToRunTest, AFullMergeRunsEveryStepButThoseItsStateLeavesOut) {
    SYNMergeStepFacts facts;
    const auto runs = SYNMergeStepsToRun(SYNMergeOptionNone, facts);
    for (std::size_t i = 0; i < SYNMergeStepCount; ++i) {
        const bool left = i == SYNMergeStepPrime || i == SYNMergeStepRepair || i == SYNMergeStepRebase ||
                          i == SYNMergeStepMergeFileContents;
        EXPECT_EQ(runs[i], !left) << "step " << i;
    }
    EXPECT_TRUE(SYNMergeStepsToRun(SYNMergeOptionForceRebase, facts)[SYNMergeStepRebase]);
    facts.rebaseDue = true;
    EXPECT_FALSE(SYNMergeStepsToRun(SYNMergeOptionSkipRebase, facts)[SYNMergeStepRebase]);
    EXPECT_TRUE(SYNMergeStepsToRun(SYNMergeOptionNone, facts)[SYNMergeStepRebase]);
}

}  // namespace
