// What the SQLite store costs whatever the work: opening a store of 10,000
// items and closing it again (with the first fetch on the new connection, a
// look-up of one item by an indexed attribute, as a merge that opens the
// store afresh makes), and a save of one changed value in a context kept
// open (a transaction begun and committed, one row updated).
// BM_OpenStoreBesideAnother opens, fetches from and closes the store in the
// same way while another coordinator keeps it open, as the sync layer's merge
// does beside the application's own coordinator.
// BM_SaveWithChangedMetadata saves one change after setting a metadata key
// to a list of a dozen small dictionaries that differs every time (as a
// layer above records what each save is about in the store's metadata), so
// each save writes the metadata's property list as well.
// us_per_open and us_per_save are process CPU (the commit's disk sync is
// system time, counted too).
//
// Under `valgrind --tool=callgrind --instr-atstart=no` only the opens or the
// saves are counted; divide by the iterations:
//   valgrind --tool=callgrind --instr-atstart=no
//     build/release/bench/coredata/platform_coredata_fixed_cost_bench
//     --benchmark_filter='BM_OpenStore'
//
// Run: build/release/bench/coredata/platform_coredata_fixed_cost_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <optional>
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

constexpr int kItems = 10000;

std::shared_ptr<ManagedObjectModel> itemModel() {
    auto model = ManagedObjectModel::create();
    auto& item = model->addEntity("Item");
    item.addAttribute("code", AttributeType::Integer64).indexed(true);
    item.addAttribute("name", AttributeType::String);
    item.addAttribute("size", AttributeType::Double);
    auto& folder = model->addEntity("Folder");
    folder.addAttribute("name", AttributeType::String);
    return model;
}

// The store, made once; its own coordinator is let go, so that each open in
// BM_OpenStore is the file's only connection, as a merge's is.
struct Store : coredatabench::TempSQLiteStore {
    std::shared_ptr<ManagedObjectModel> model;
    plat::URL url;

    Store() : TempSQLiteStore(itemModel()), url(plat::URL::fileURLWithPath((dir / "store.sqlite").string())) {
        model = std::const_pointer_cast<ManagedObjectModel>(coordinator->managedObjectModel());
        auto context = rootContext(coordinator);
        for (int i = 0; i < kItems; ++i) {
            auto item = context->insertNewObjectForEntityForName("Item");
            item->setValue(plat::Value(int64_t{i}), "code");
            item->setValue(plat::Value("item " + std::to_string(i)), "name");
            item->setValue(plat::Value(i * 0.5), "size");
        }
        if (context->save())
            std::abort();
        context.reset();
        coordinator.reset();
    }

    static Store& shared() {
        static Store store;
        return store;
    }
};

// Each iteration opens the store through a new coordinator, fetches one
// item and lets the coordinator go.
void openFetchAndClose(benchmark::State& state, Store& store) {
    double seconds = 0;
    int64_t round = 0;
    for (auto _ : state) {
        FetchRequest request("Item");
        request.predicate = Predicate::equal("code", plat::Value(int64_t{round++ % kItems}));
        const double start = cpuSeconds();
        CALLGRIND_START_INSTRUMENTATION;
        auto coordinator = PersistentStoreCoordinator::create(store.model);
        auto added = coordinator->addPersistentStore(SQLiteStoreType, "", store.url);
        auto found = added ? rootContext(coordinator)->executeFetchRequest(request)
                           : plat::Result<std::vector<ManagedObjectPtr>>(added.error());
        coordinator.reset();
        CALLGRIND_STOP_INSTRUMENTATION;
        seconds += cpuSeconds() - start;
        if (!found || found->size() != 1) {
            state.SkipWithError("the store did not open or the item was not found");
            return;
        }
    }
    state.counters["us_per_open"] = seconds / static_cast<double>(state.iterations()) * 1e6;
}

void BM_OpenStore(benchmark::State& state) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    Store& store = Store::shared();
    openFetchAndClose(state, store);
}

void BM_OpenStoreBesideAnother(benchmark::State& state) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    Store& store = Store::shared();
    auto application = PersistentStoreCoordinator::create(store.model);
    if (!application->addPersistentStore(SQLiteStoreType, "", store.url)) {
        state.SkipWithError("the store did not open");
        return;
    }
    openFetchAndClose(state, store);
}

// The shared store opened on a coordinator of its own, with a root context
// holding its first 100 items; empty (the benchmark skipped) when either
// fails.
struct OpenedItems {
    std::shared_ptr<PersistentStore> store;
    std::shared_ptr<plat::coredata::ManagedObjectContext> context;
    std::vector<std::shared_ptr<plat::coredata::ManagedObject>> items;
};
std::optional<OpenedItems> openItems(benchmark::State& state) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    Store& store = Store::shared();
    auto coordinator = PersistentStoreCoordinator::create(store.model);
    auto added = coordinator->addPersistentStore(SQLiteStoreType, "", store.url);
    if (!added) {
        state.SkipWithError("the store did not open");
        return std::nullopt;
    }
    auto context = rootContext(coordinator);
    FetchRequest request("Item");
    request.predicate = Predicate::lessThan("code", plat::Value(int64_t{100}));
    auto items = context->executeFetchRequest(request);
    if (!items || items->size() != 100) {
        state.SkipWithError("the items were not found");
        return std::nullopt;
    }
    return OpenedItems{*added, context, std::move(*items)};
}

// Times saves of one changed item each. `prepare(round)`, outside the
// clock, returns what each save does first inside it.
template <class Prepare>
void timeSaves(benchmark::State& state, Prepare prepare) {
    auto opened = openItems(state);
    if (!opened)
        return;
    auto& [added, context, items] = *opened;
    double seconds = 0;
    int64_t round = 0;
    for (auto _ : state) {
        const auto& item = items[static_cast<std::size_t>(round % 100)];
        auto first = prepare(*added, round);
        const double start = cpuSeconds();
        CALLGRIND_START_INSTRUMENTATION;
        first();
        item->setValue(plat::Value(static_cast<double>(++round)), "size");
        auto error = context->save();
        CALLGRIND_STOP_INSTRUMENTATION;
        seconds += cpuSeconds() - start;
        if (error) {
            state.SkipWithError("the save failed");
            return;
        }
    }
    state.counters["us_per_save"] = seconds / static_cast<double>(state.iterations()) * 1e6;
}

void BM_SaveOneChange(benchmark::State& state) {
    timeSaves(state, [](PersistentStore&, int64_t) { return [] {}; });
}

// About 300 values in all, of the kinds such lists hold: names, numbers,
// nested dictionaries and lists.
plat::Value recordedList(int64_t round) {
    plat::Array entries;
    for (int64_t i = 0; i < 12; ++i) {
        plat::Dictionary moved;
        moved.set("Item", plat::Value(plat::Array{plat::Value(round + i), plat::Value(round + i + 1)}));
        plat::Dictionary entry;
        entry.set("added", plat::Value(plat::Dictionary{{"items", plat::Value(moved)}}));
        entry.set("entity", plat::Value(i % 2 ? "Folder" : "Item"));
        entry.set("key", plat::Value(round * 12 + i));
        entry.set("names", plat::Value(plat::Array{plat::Value(i % 2 ? "items" : "folder")}));
        entry.set("removed", plat::Value(plat::Dictionary{{"items", plat::Value(std::move(moved))}}));
        entry.set("token", plat::Value("F52B7CE9-C1CE-4356-8AE4-" + std::to_string(100000000000 + round)));
        entries.push_back(plat::Value(std::move(entry)));
    }
    return plat::Value(std::move(entries));
}

void BM_SaveWithChangedMetadata(benchmark::State& state) {
    timeSaves(state, [](PersistentStore& store, int64_t round) {
        plat::Dictionary metadata = store.metadata();
        metadata.set("recorded", recordedList(round));
        return [&store, metadata = std::move(metadata)]() mutable { store.setMetadata(std::move(metadata)); };
    });
}

BENCHMARK(BM_OpenStore)->Unit(benchmark::kMicrosecond)->Iterations(300);
BENCHMARK(BM_OpenStoreBesideAnother)->Unit(benchmark::kMicrosecond)->Iterations(300);
BENCHMARK(BM_SaveOneChange)->Unit(benchmark::kMicrosecond)->Iterations(300);
BENCHMARK(BM_SaveWithChangedMetadata)->Unit(benchmark::kMicrosecond)->Iterations(300);

}  // namespace

BENCHMARK_MAIN();
