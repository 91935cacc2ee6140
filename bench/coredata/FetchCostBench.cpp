// What a small fetch costs whatever it returns: a store of 10,000 items, and
// fetches of 0, 1 and 10 of them by an indexed attribute (code == c, group ==
// g) or by their IDs (SELF IN ids), each in a new root context that is clean
// (second argument 0), dirty (1: one unsaved insert and one unsaved update of
// an item) or dirty elsewhere (2: the same of a tag, another entity). The table
// is a growth table by rows returned: us_per_fetch is process CPU per fetch,
// ratio_to_smallest its ratio to the same kind's fetch of 0 rows, so the
// fixed part is the 0-row figure and what each row adds the rest.
// BM_FetchByValueList fetches code IN a list of codes (0, 1 or 10 found; at
// least two distinct codes listed), BM_FetchDictionaries dictionaries of the
// name by an indexed attribute, as BM_FetchByAttribute, in clean contexts.
//
// Under `valgrind --tool=callgrind --instr-atstart=no` only the fetches are
// counted (context creation, the dirtying and the checks are not); run one
// case at a time with --benchmark_filter and divide by the iterations:
//   valgrind --tool=callgrind --instr-atstart=no
//     build/release/bench/coredata/platform_coredata_fetch_bench
//     --benchmark_filter='BM_FetchByAttribute/10/0$'
//
// Run: build/release/bench/coredata/platform_coredata_fetch_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
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
    item.addAttribute("code", AttributeType::Integer64).indexed(true);   // one item each
    item.addAttribute("group", AttributeType::Integer64).indexed(true);  // ten items each
    item.addAttribute("name", AttributeType::String);
    item.addAttribute("size", AttributeType::Double);
    auto& tag = model->addEntity("Tag");
    tag.addAttribute("name", AttributeType::String);
    return model;
}

struct Store : coredatabench::TempSQLiteStore {
    std::vector<ManagedObjectIDPtr> ids;  // by code
    std::vector<ManagedObjectIDPtr> tags;

    Store() : TempSQLiteStore(itemModel()) {
        auto context = rootContext(coordinator);
        std::vector<ManagedObjectPtr> made;
        for (int i = 0; i < kItems; ++i) {
            auto item = context->insertNewObjectForEntityForName("Item");
            item->setValue(plat::Value(int64_t{i}), "code");
            item->setValue(plat::Value(int64_t{i / 10}), "group");
            item->setValue(plat::Value("item " + std::to_string(i)), "name");
            item->setValue(plat::Value(i * 0.5), "size");
            made.push_back(item);
        }
        std::vector<ManagedObjectPtr> madeTags;
        for (int i = 0; i < 50; ++i) {
            madeTags.push_back(context->insertNewObjectForEntityForName("Tag"));
            madeTags.back()->setValue(plat::Value("tag " + std::to_string(i)), "name");
        }
        if (context->save())
            std::abort();
        for (const auto& o : made)
            ids.push_back(o->objectID());
        for (const auto& o : madeTags)
            tags.push_back(o->objectID());
    }

    static Store& shared() {
        static Store store;
        return store;
    }
};

enum class Kind { ByAttribute, ByKeys, ByValueList, Dictionaries };

// The predicate of the round's fetch of `rows` items (0, 1 or 10), away from
// the items the dirty context changes.
PredicatePtr predicateFor(Kind kind, int rows, int64_t round, const Store& store) {
    const int64_t group = 10 + round % (kItems / 10 - 20);
    if (kind == Kind::ByValueList) {
        // Two distinct codes at least, so that the list is walked member by member.
        plat::Array codes;
        for (int i = 0; i < rows; ++i)
            codes.push_back(plat::Value(group * 10 + i));
        while (codes.size() < 2)
            codes.push_back(plat::Value(int64_t{-1} - static_cast<int64_t>(codes.size())));
        return Predicate::in("code", plat::Value(std::move(codes)));
    }
    if (kind == Kind::ByAttribute || kind == Kind::Dictionaries) {
        if (rows == 0)
            return Predicate::equal("code", plat::Value(int64_t{-1} - round % 7));
        if (rows == 1)
            return Predicate::equal("code", plat::Value(group * 10 + 3));
        return Predicate::equal("group", plat::Value(group));
    }
    plat::Array ids;
    for (int i = 0; i < rows; ++i)
        ids.push_back(plat::Value(plat::ObjectPtr(store.ids[static_cast<std::size_t>(group * 10 + i)])));
    return Predicate::selfIn(plat::Value(std::move(ids)));
}

void run(benchmark::State& state, Kind kind) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    const int rows = static_cast<int>(state.range(0));
    const int64_t dirty = state.range(1);
    Store& store = Store::shared();
    double seconds = 0;
    int64_t round = 0;
    for (auto _ : state) {
        auto context = rootContext(store.coordinator);
        if (dirty == 2) {
            context->insertNewObjectForEntityForName("Tag")->setValue(plat::Value("new"), "name");
            context->objectWithID(store.tags[static_cast<std::size_t>(round % 50)])
                ->setValue(plat::Value("changed"), "name");
        } else if (dirty == 1) {
            auto added = context->insertNewObjectForEntityForName("Item");
            added->setValue(plat::Value(int64_t{kItems} + round), "code");
            added->setValue(plat::Value(int64_t{-1}), "group");
            context->objectWithID(store.ids[static_cast<std::size_t>(round % 50)])
                ->setValue(plat::Value("changed"), "name");
        }
        FetchRequest request("Item");
        request.predicate = predicateFor(kind, rows, round, store);
        ++round;
        std::size_t count = 0;
        bool ok = false;
        const double start = cpuSeconds();
        CALLGRIND_START_INSTRUMENTATION;
        if (kind == Kind::Dictionaries) {
            request.resultType = FetchRequestResultType::Dictionary;
            request.addPropertyToFetch("name");
            auto found = context->fetchDictionaries(request);
            ok = static_cast<bool>(found);
            count = ok ? found->size() : 0;
        } else {
            auto found = context->executeFetchRequest(request);
            ok = static_cast<bool>(found);
            count = ok ? found->size() : 0;
        }
        CALLGRIND_STOP_INSTRUMENTATION;
        seconds += cpuSeconds() - start;
        if (!ok || static_cast<int>(count) != rows) {
            state.SkipWithError("the fetch did not find the expected items");
            return;
        }
    }
    const double perFetch = seconds / static_cast<double>(state.iterations());
    static std::map<std::pair<int, int64_t>, double> smallest;
    if (rows == 0)
        smallest[{static_cast<int>(kind), dirty}] = perFetch;
    state.counters["us_per_fetch"] = perFetch * 1e6;
    if (double base = smallest[{static_cast<int>(kind), dirty}])
        state.counters["ratio_to_smallest"] = perFetch / base;
}

void BM_FetchByAttribute(benchmark::State& state) {
    run(state, Kind::ByAttribute);
}
void BM_FetchByKeys(benchmark::State& state) {
    run(state, Kind::ByKeys);
}
void BM_FetchByValueList(benchmark::State& state) {
    run(state, Kind::ByValueList);
}
void BM_FetchDictionaries(benchmark::State& state) {
    run(state, Kind::Dictionaries);
}

// Arguments: rows returned, context (0 clean, 1 dirty, 2 dirty elsewhere).
BENCHMARK(BM_FetchByAttribute)
    ->ArgsProduct({{0, 1, 10}, {0, 1, 2}})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2000);
BENCHMARK(BM_FetchByKeys)
    ->ArgsProduct({{0, 1, 10}, {0, 1, 2}})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2000);
// Clean contexts only: code IN a list of codes, and dictionaries of the name
// by an indexed attribute (the store reads that column alone).
BENCHMARK(BM_FetchByValueList)
    ->ArgsProduct({{0, 1, 10}, {0}})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2000);
BENCHMARK(BM_FetchDictionaries)
    ->ArgsProduct({{0, 1, 10}, {0}})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
