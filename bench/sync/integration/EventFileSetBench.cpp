// Grouping a listing of event file names into file sets, and matching the
// sets with the events of the event store, as every merge does several
// times: the cost must grow with the number of names, not with its square.
// Growth table: 2,000 / 8,000 / 32,000 names; the goal is 8,000 within 5x
// of 2,000. Listings mix single-file and multi-part events of several
// stores, baselines with their short aliases, and names a careless or
// hostile peer leaves (events of a machine that does not exist, names in a
// non-canonical spelling).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "sync/eventstore/SYNLogging.h"
#include "sync/integration/SYNEventFileSet.h"

namespace {

std::vector<std::string> eventNames(int count) {
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 0; names.size() < static_cast<std::size_t>(count); ++i) {
        const std::string store = "STORE" + std::to_string(i % 5) + "-0123456789ABCDEF";
        switch (i % 4) {
            case 0:
            case 1:
                names.push_back(std::to_string(i) + "_" + store + "_" + std::to_string(i) + ".synevent");
                break;
            case 2:
                for (int part = 1; part <= 3; ++part) {
                    names.push_back(std::to_string(i) + "_" + store + "_" + std::to_string(i) + "_" +
                                    std::to_string(part) + "of3.synevent");
                }
                break;
            default:
                // A machine that does not exist, and a non-canonical spelling.
                names.push_back(std::to_string(i) + "_GHOST" + std::to_string(i) + "_1.synevent");
                names.push_back("0" + std::to_string(i) + "_" + store + "_" + std::to_string(i) +
                                ".synevent");
                break;
        }
    }
    names.resize(static_cast<std::size_t>(count));
    return names;
}

void BM_GroupEventFileNames(benchmark::State& state) {
    SYNSetLoggingLevel(SYNLoggingLevelError);
    const auto names = eventNames(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto sets = SYNEventFileSet::eventFileSetsForFilenames(names, false);
        benchmark::DoNotOptimize(sets);
    }
    state.SetComplexityN(state.range(0));
    state.counters["names"] = static_cast<double>(names.size());
}
BENCHMARK(BM_GroupEventFileNames)
    ->Arg(2000)
    ->Arg(8000)
    ->Arg(32000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// Which remote sets the event store already holds: every remote set looked
// up among as many local sets.
void BM_MatchRemoteSetsWithLocalEvents(benchmark::State& state) {
    SYNSetLoggingLevel(SYNLoggingLevelError);
    const auto names = eventNames(static_cast<int>(state.range(0)));
    const auto remote = SYNEventFileSet::eventFileSetsForFilenames(names, false);
    for (auto _ : state) {
        const SYNEventFileSetIndex local(remote);
        std::size_t held = 0;
        for (const auto& set : remote) {
            held += local.setRepresentingSameEventAs(*set) != nullptr;
        }
        benchmark::DoNotOptimize(held);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_MatchRemoteSetsWithLocalEvents)
    ->Arg(2000)
    ->Arg(8000)
    ->Arg(32000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

void BM_GroupBaselineNamesWithShortAliases(benchmark::State& state) {
    SYNSetLoggingLevel(SYNLoggingLevelError);
    std::vector<std::string> names;
    for (int i = 0; names.size() < static_cast<std::size_t>(state.range(0)); ++i) {
        names.push_back(std::to_string(i) + "_UID" + std::to_string(i) + "_PREFIX00.synevent");
        names.push_back(std::to_string(i) + "_UID" + std::to_string(i) + ".synevent");
    }
    for (auto _ : state) {
        auto sets = SYNEventFileSet::eventFileSetsForFilenames(names, true);
        benchmark::DoNotOptimize(sets);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_GroupBaselineNamesWithShortAliases)
    ->Arg(2000)
    ->Arg(8000)
    ->Arg(32000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace
