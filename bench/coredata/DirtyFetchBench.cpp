// A windowed fetch in a context with unsaved changes, as a growth table over
// the store's size (1,000 / 10,000 / 100,000 rows): each iteration inserts
// one object and changes another in a new root context, then asks for the
// object with the greatest indexed counter (sorted descending, limit 1), and
// rolls back. The store is asked for a window bounded by the limit and the
// context's changes, so the cost follows the changes, not the store's size:
// us_per_fetch is process CPU of the fetch and ratio_to_smallest its ratio to
// the smallest size's. BM_DirtyWindowedFetchUnindexed sorts on an attribute
// without an index (the store then reads every row, dirty context or not).
//
// Run: build/release/bench/coredata/platform_coredata_dirty_fetch_bench
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TempSQLiteStore.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"

namespace {

using namespace plat::coredata;
using coredatabench::cpuSeconds;
using coredatabench::rootContext;

std::shared_ptr<ManagedObjectModel> eventModel() {
    auto model = ManagedObjectModel::create();
    auto& event = model->addEntity("Event");
    event.addAttribute("globalCount", AttributeType::Integer64).indexed(true);
    event.addAttribute("localCount", AttributeType::Integer64);
    event.addAttribute("name", AttributeType::String);
    return model;
}

struct Store : coredatabench::TempSQLiteStore {
    std::vector<ManagedObjectIDPtr> ids;

    explicit Store(int size) : TempSQLiteStore(eventModel()) {
        auto context = rootContext(coordinator);
        std::vector<ManagedObjectPtr> made;
        for (int i = 0; i < size; ++i) {
            auto event = context->insertNewObjectForEntityForName("Event");
            event->setValue(plat::Value(int64_t{i}), "globalCount");
            event->setValue(plat::Value(int64_t{i}), "localCount");
            event->setValue(plat::Value("event " + std::to_string(i)), "name");
            made.push_back(event);
        }
        if (context->save())
            std::abort();
        for (const auto& o : made)
            ids.push_back(o->objectID());
    }
};

void run(benchmark::State& state, const char* key) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    const int size = static_cast<int>(state.range(0));
    Store store(size);
    FetchRequest request("Event");
    request.sortDescriptors = {SortDescriptor(key, false)};
    request.fetchLimit = 1;
    double seconds = 0;
    int64_t round = 0;
    for (auto _ : state) {
        auto context = rootContext(store.coordinator);
        auto added = context->insertNewObjectForEntityForName("Event");
        added->setValue(plat::Value(int64_t{size} + round), key);
        context->objectWithID(store.ids[static_cast<std::size_t>(round) % store.ids.size()])
            ->setValue(plat::Value("changed"), "name");
        ++round;
        const double start = cpuSeconds();
        auto top = context->executeFetchRequest(request);
        seconds += cpuSeconds() - start;
        if (!top || top->size() != 1 || (*top)[0] != added) {
            state.SkipWithError("the fetch did not find the new event");
            return;
        }
        context->rollback();
    }
    const double perFetch = seconds / static_cast<double>(state.iterations());
    static double smallest[2] = {0, 0};
    const int which = std::string(key) == "globalCount" ? 0 : 1;
    if (size == 1000)
        smallest[which] = perFetch;
    state.counters["us_per_fetch"] = perFetch * 1e6;
    state.counters["ratio_to_smallest"] = perFetch / smallest[which];
}

void BM_DirtyWindowedFetch(benchmark::State& state) {
    run(state, "globalCount");
}
void BM_DirtyWindowedFetchUnindexed(benchmark::State& state) {
    run(state, "localCount");
}

BENCHMARK(BM_DirtyWindowedFetch)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DirtyWindowedFetchUnindexed)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
