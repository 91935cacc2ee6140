// The mesh on real files: enlisting an application store of 100,000 objects
// into a local cloud folder (import into the first baseline, registration),
// and merging 1,000 remote save events into it. Each case reports the
// process's peak resident memory; run one case per process
// (--benchmark_filter) to read the peak of that case alone.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "MeshBenchSupport.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/ProcessInfo.h"
#include "support/ProcessMemory.h"
#include "support/TempDir.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

namespace {

using plat::dispatch::MainLoop;

constexpr int kObjects = 100000;

std::shared_ptr<plat::coredata::ManagedObjectModel> model() {
    static auto made = [] {
        auto model = plat::coredata::ManagedObjectModel::create();
        auto& task = model->addEntity("Task");
        task.addAttribute("title", plat::coredata::AttributeType::String);
        task.addAttribute("priority", plat::coredata::AttributeType::Integer64);
        if (model->finalize())
            std::abort();  // a fixed model: failing is a bug here
        return model;
    }();
    return made;
}

std::shared_ptr<plat::coredata::ManagedObjectContext> openStore(const std::string& path) {
    auto coordinator = plat::coredata::PersistentStoreCoordinator::create(model());
    (void)coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                          plat::URL::fileURLWithPath(path));
    auto context = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    return context;
}

// The application store with 100,000 tasks, made once.
const std::string& bigStore() {
    static testsupport::TempDir folder;
    static std::string path = [] {
        std::string file = folder.str() + "/tasks.sqlite";
        auto context = openStore(file);
        for (int i = 0; i < kObjects; ++i) {
            auto task = context->insertNewObjectForEntityForName("Task");
            task->setValue(plat::Value("task " + std::to_string(i)), "title");
            task->setValue(plat::Value(int64_t(i % 5)), "priority");
            if (i % 10000 == 9999) {
                (void)context->save();
                context->reset();
            }
        }
        (void)context->save();
        return file;
    }();
    return path;
}

std::shared_ptr<SYNPersistentStoreMesh> makeMesh(const std::string& store, const std::string& root,
                                                 const std::string& machine) {
    return meshbench::makeMesh(model(), store, root, machine);
}

using meshbench::wait;

void BM_Enlist100000Objects(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    const auto& store = bigStore();
    double atStart = benchsupport::statusMegabytes("VmRSS:");
    benchsupport::resetPeakMemory();
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::TempDir root;
        auto mesh = makeMesh(store, root.str(), "a");
        state.ResumeTiming();
        auto error = wait([&](SYNCompletion done) { mesh->enlistPersistentStoreWithCompletion(done); });
        state.PauseTiming();
        if (error) {
            state.SkipWithError(error->localizedDescription().c_str());
        }
        mesh->dismantle();
        MainLoop::drain();
        state.ResumeTiming();
    }
    state.counters["objects"] = kObjects;
    state.counters["rss_at_start_MB"] = atStart;
    state.counters["peak_rss_MB"] = benchsupport::statusMegabytes("VmHWM:");
}
BENCHMARK(BM_Enlist100000Objects)->Unit(benchmark::kMillisecond)->Iterations(1);

// Machine "b" holds the enlisted big store; machine "a" saved 1,000 times
// (one task each) and exported its events. Timed: b's merge, which imports
// the 1,000 remote events and replays them into its store.
void BM_Merge1000RemoteEvents(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    double atStart = 0;
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::TempDir root;
        std::filesystem::copy_file(bigStore(), root.str() + "/b.sqlite");
        auto b = makeMesh(root.str() + "/b.sqlite", root.str(), "b");
        auto error = wait([&](SYNCompletion done) { b->enlistPersistentStoreWithCompletion(done); });
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting("AAAAAAAA-0000-4000-8000-000000000001");
        auto a = makeMesh(root.str() + "/a.sqlite", root.str(), "a");
        if (!error) {
            error = wait([&](SYNCompletion done) { a->enlistPersistentStoreWithCompletion(done); });
        }
        auto context = openStore(root.str() + "/a.sqlite");
        for (int i = 0; !error && i < 1000; ++i) {
            auto task = context->insertNewObjectForEntityForName("Task");
            task->setValue(plat::Value("remote " + std::to_string(i)), "title");
            error = context->save();
        }
        if (!error) {
            error = wait([&](SYNCompletion done) { a->mergeWithOptions(SYNMergeOptionSkipRebase, done); });
        }
        a->dismantle();
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
        MainLoop::drain();
        atStart = benchsupport::statusMegabytes("VmRSS:");
        benchsupport::resetPeakMemory();
        state.ResumeTiming();
        if (!error) {
            error = wait([&](SYNCompletion done) { b->mergeWithCompletion(done); });
        }
        state.PauseTiming();
        if (error) {
            state.SkipWithError(error->localizedDescription().c_str());
        }
        b->dismantle();
        MainLoop::drain();
        state.ResumeTiming();
    }
    state.counters["events"] = 1000;
    state.counters["rss_at_start_MB"] = atStart;
    state.counters["peak_rss_MB"] = benchsupport::statusMegabytes("VmHWM:");
}
BENCHMARK(BM_Merge1000RemoteEvents)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
