// The steps of a mesh merge, in the order they run, and which of them a
// merge runs: the steps its options enable, and those the enabled ones
// depend on (the snapshot before every import and export; the identity and
// registration checks, priming and repairing before the snapshot), as a
// procedure's preparation would enable them.
//
// A merge makes only the steps that run: a step made only to be disabled
// would cost its closures and its place in the procedure every merge.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

enum SYNMergeStep : std::size_t {
    SYNMergeStepSetup,
    SYNMergeStepPrime,
    SYNMergeStepRepair,
    SYNMergeStepCheckIdentity,
    SYNMergeStepCheckRegistration,
    SYNMergeStepProcessChanges,
    SYNMergeStepSnapshot,
    SYNMergeStepRemoveIncomplete,
    SYNMergeStepRemoveOutOfDate,
    SYNMergeStepImportDataFiles,
    SYNMergeStepImportBaselines,
    SYNMergeStepMergeBaselines,
    SYNMergeStepImportEvents,
    SYNMergeStepRemoveOutdated,
    SYNMergeStepRebase,
    SYNMergeStepMergeEvents,
    SYNMergeStepExportDataFiles,
    SYNMergeStepExportBaselines,
    SYNMergeStepExportEvents,
    SYNMergeStepRemoveRemote,
    SYNMergeStepMergeFileContents,
    SYNMergeStepCount
};

using SYNMergeStepSet = std::array<bool, SYNMergeStepCount>;

// What a merge's file system and state allow or ask for besides its options.
struct SYNMergeStepFacts {
    bool primes = false;              // the file system primes for an activity
    bool repairs = false;             // the file system repairs the mesh folder
    bool rebaseDue = false;           // a forced rebase pending, or no rebase check yet
    bool mergesFileContents = false;  // folders whose file contents are merged
};

// (step, step it depends on); priming and repairing are listed whether or
// not the file system does them.
const std::vector<std::pair<SYNMergeStep, SYNMergeStep>>& SYNMergeStepDependencies();

// The steps a merge with these options (SYNMergeOptions bits) runs.
SYNMergeStepSet SYNMergeStepsToRun(uint64_t options, const SYNMergeStepFacts& facts);
