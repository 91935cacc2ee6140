#include "sync/mesh/SYNMergeSteps.h"

#include "sync/mesh/SYNPersistentStoreMesh.h"

const std::vector<std::pair<SYNMergeStep, SYNMergeStep>>& SYNMergeStepDependencies() {
    static const std::vector<std::pair<SYNMergeStep, SYNMergeStep>> dependencies = [] {
        std::vector<std::pair<SYNMergeStep, SYNMergeStep>> list;
        for (auto before : {SYNMergeStepCheckRegistration, SYNMergeStepCheckIdentity, SYNMergeStepRepair,
                            SYNMergeStepPrime}) {
            list.emplace_back(SYNMergeStepSnapshot, before);
        }
        for (auto step :
             {SYNMergeStepRemoveIncomplete, SYNMergeStepRemoveOutOfDate, SYNMergeStepImportDataFiles,
              SYNMergeStepImportBaselines, SYNMergeStepImportEvents, SYNMergeStepExportDataFiles,
              SYNMergeStepExportBaselines, SYNMergeStepExportEvents}) {
            list.emplace_back(step, SYNMergeStepSnapshot);
        }
        return list;
    }();
    return dependencies;
}

SYNMergeStepSet SYNMergeStepsToRun(uint64_t options, const SYNMergeStepFacts& facts) {
    SYNMergeStepSet runs{};
    const auto exports = {SYNMergeStepExportDataFiles, SYNMergeStepExportBaselines, SYNMergeStepExportEvents};
    if (options & SYNMergeOptionImportsOnly) {
        for (auto step :
             {SYNMergeStepImportDataFiles, SYNMergeStepImportBaselines, SYNMergeStepImportEvents}) {
            runs[step] = true;
        }
    } else if (options & SYNMergeOptionExportsOnly) {
        for (auto step : exports) {
            runs[step] = true;
        }
    } else {
        runs.fill(true);
        runs[SYNMergeStepRebase] = facts.rebaseDue;
    }
    if (options & SYNMergeOptionForceRebase) {
        runs[SYNMergeStepRebase] = true;
    } else if (options & SYNMergeOptionSkipRebase) {
        runs[SYNMergeStepRebase] = false;
    }
    if (options & SYNMergeOptionSkipExport) {
        for (auto step : exports) {
            runs[step] = false;
        }
    }
    // Steps the file system does not do are no steps at all, enabled or not.
    runs[SYNMergeStepMergeFileContents] = runs[SYNMergeStepMergeFileContents] && facts.mergesFileContents;
    runs[SYNMergeStepPrime] = runs[SYNMergeStepPrime] && facts.primes;
    runs[SYNMergeStepRepair] = runs[SYNMergeStepRepair] && facts.repairs;
    // Until nothing changes: a step enabled as a dependency may have its own.
    for (bool changed = true; changed;) {
        changed = false;
        for (const auto& [step, dependency] : SYNMergeStepDependencies()) {
            const bool exists = (dependency != SYNMergeStepPrime || facts.primes) &&
                                (dependency != SYNMergeStepRepair || facts.repairs);
            if (runs[step] && exists && !runs[dependency]) {
                runs[dependency] = true;
                changed = true;
            }
        }
    }
    return runs;
}
