// Taking a snapshot of a shared folder that a careless or hostile peer has
// filled: N empty junk files, N empty files named like events of a machine
// that does not exist, and N/100 FIFOs beside a few real event names. The
// snapshot lists, checks and filters every name; its cost must grow with N,
// not with N squared (growth table: 2,000 / 8,000 / 32,000 of each).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/coredata/PersistentStore.h"
#include "platform/dispatch/MainLoop.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/integration/SYNCloudManager.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

namespace fs = std::filesystem;

void fill(const fs::path& events, int count) {
    fs::create_directories(events);
    for (int i = 0; i < count; ++i) {
        std::ofstream(events / ("junk-" + std::to_string(i)));
        std::ofstream(events / (std::to_string(i) + "_GHOST" + std::to_string(i % 7) + "_" +
                                std::to_string(i) + ".synevent"));
        if (i % 100 == 0) {
            ::mkfifo((events / ("fifo-" + std::to_string(i))).c_str(), 0600);
        }
    }
}

void BM_SnapshotOfAFilledSharedFolder(benchmark::State& state) {
    SYNSetLoggingLevel(0);
    plat::dispatch::MainLoop::bindToCurrentThread();
    testsupport::TempDir folder;
    const auto cloud = folder.path() / "cloud";
    for (const char* sub : {"baselines", "data", "events"}) {
        fs::create_directories(cloud / "mesh" / sub);
    }
    fill(cloud / "mesh" / "events", static_cast<int>(state.range(0)));
    auto store =
        SYNEventStore::create("mesh", (folder.path() / "store").string(), plat::coredata::SQLiteStoreType);
    (void)store->prepareNewEventStore();
    auto fileSystem = std::make_shared<SYNLocalCloudFileSystem>(cloud.string());
    auto model = plat::coredata::ManagedObjectModel::create();
    if (model->finalize())
        std::abort();  // a fixed model: failing is a bug here
    auto manager = SYNCloudManager::create(store, fileSystem, model);
    for (auto _ : state) {
        bool done = false;
        manager->snapshotRemoteFilesWithCompletion([&](plat::ErrorPtr) { done = true; });
        plat::dispatch::MainLoop::runUntil([&] { return done; }, 600);
        benchmark::DoNotOptimize(manager->snapshotEventFilenames());
    }
    state.SetComplexityN(state.range(0));
    manager->operationQueue()->waitUntilAllOperationsAreFinished();
    store->dismantle();
    SYNSetLoggingLevel(SYNLoggingLevelError);
}
BENCHMARK(BM_SnapshotOfAFilledSharedFolder)
    ->Arg(2000)
    ->Arg(8000)
    ->Arg(32000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace
