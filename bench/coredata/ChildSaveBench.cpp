// A child context's save into its parent, and the parent's save into a
// SQLite store, of items moved between two folders, as a growth table over
// the folders' size (1,000 / 10,000 / 100,000 items each): each iteration
// moves 10 items from one folder to the other in a new child context of a
// root context that has not loaded the folders' items, saves the child and
// then the root. The cost follows the 10 moves, not the folders' size:
// us_per_save is process CPU per iteration (wall time is mostly the disk's
// syncs) and ratio_to_smallest its ratio to the smallest size's.
//
// Run: build/release/bench/coredata/platform_coredata_child_save_bench
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TempSQLiteStore.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"

namespace {

using namespace plat::coredata;
using coredatabench::cpuSeconds;
using coredatabench::rootContext;

constexpr int kMovesPerSave = 10;

std::shared_ptr<ManagedObjectModel> folderModel() {
    auto model = ManagedObjectModel::create();
    auto& folder = model->addEntity("Folder");
    folder.addAttribute("name", AttributeType::String);
    folder.addRelationship("items", "Item").toMany().inverse("folder");
    auto& item = model->addEntity("Item");
    item.addAttribute("title", AttributeType::String);
    item.addRelationship("folder", "Folder").inverse("items");
    return model;
}

// A store of two folders of `size` items each, in a new folder removed at
// the end of the run.
struct Store : coredatabench::TempSQLiteStore {
    std::vector<ManagedObjectIDPtr> folders;
    std::vector<ManagedObjectIDPtr> items;  // the first folder's, then the second's

    explicit Store(int size) : TempSQLiteStore(folderModel()) {
        auto context = rootContext(coordinator);
        std::vector<ManagedObjectPtr> made;
        for (int f = 0; f < 2; ++f) {
            auto folder = context->insertNewObjectForEntityForName("Folder");
            folder->setValue(plat::Value("folder " + std::to_string(f)), "name");
            for (int i = 0; i < size; ++i) {
                auto item = context->insertNewObjectForEntityForName("Item");
                item->setValue(plat::Value("item " + std::to_string(i)), "title");
                item->setObject(folder, "folder");
                made.push_back(item);
            }
            made.insert(made.begin() + f, folder);
        }
        if (context->save())
            std::abort();
        folders = {made[0]->objectID(), made[1]->objectID()};
        for (std::size_t i = 2; i < made.size(); ++i)
            items.push_back(made[i]->objectID());
    }
};

void BM_ChildSaveMovingItems(benchmark::State& state) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    const int size = static_cast<int>(state.range(0));
    Store store(size);
    auto root = rootContext(store.coordinator);
    int moved = 0;
    double seconds = 0;
    for (auto _ : state) {
        const double start = cpuSeconds();
        auto child = ManagedObjectContext::create(ConcurrencyType::Confinement);
        child->setParentContext(root);
        for (int k = 0; k < kMovesPerSave; ++k, ++moved) {
            // Item n of the first folder goes to the second folder on even
            // rounds over the folder, and back on odd ones.
            const auto& id = store.items[static_cast<std::size_t>(moved % size)];
            const bool toSecond = (moved / size) % 2 == 0;
            child->objectWithID(id)->setObject(child->objectWithID(store.folders[toSecond ? 1 : 0]),
                                               "folder");
        }
        if (child->save() || root->save()) {
            state.SkipWithError("a save failed");
            return;
        }
        seconds += cpuSeconds() - start;
    }
    const double perSave = seconds / static_cast<double>(state.iterations());
    // The smallest size runs first; its last run (after the estimating ones) counts.
    static double smallest = 0;
    if (size == 1000)
        smallest = perSave;
    state.counters["us_per_save"] = perSave * 1e6;
    state.counters["ratio_to_smallest"] = perSave / smallest;
}
BENCHMARK(BM_ChildSaveMovingItems)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
