// How the mesh's everyday paths grow with the application store: enlisting,
// starting a mesh on an enlisted store, and the sync work of one save, each
// at 1,000 / 10,000 / 100,000 objects (a growth table: one size would hide a
// cost that grows faster than the store); and a steady-state merge of 10 /
// 100 / 1,000 remote events at 10,000 and 100,000 objects.
//
// The store: 100 folders and items spread over them (item.folder, a to-one
// whose inverse folder.items is a to-many), so a save that moves an item
// changes two folders' member sets of size items / 100.
//
// Counters: cpu_ms (process CPU of all threads, the work happens on several
// queues), ratio_to_smallest (this size's CPU per unit over the smallest
// size's), peak_rss_MB / rss_growth_MB (run one benchmark per process to read
// a clean peak), for a start, the records the event store still holds in
// memory afterwards, and for an enlist, the sync data it leaves at rest
// against the application store (sync_data_MB, app_store_MB, sync_data_ratio,
// sync_bytes_per_object). Part of sync_mesh_bench: run with
// --benchmark_filter=Growth (or one benchmark and size per process). Under
// `valgrind --tool=callgrind --instr-atstart=no` an enlist counts the enlist
// alone.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "MeshBenchSupport.h"
#include "MeshStoreSupport.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "support/ProcessMemory.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/mesh/SYNPersistentStoreMesh.h"
#include "sync/mesh/SYNSaveMonitor.h"
#include "sync/mesh/cloudfs/SYNLocalCloudFileSystem.h"

// Every fdatasync and fsync of the process, SQLite's included (it calls them
// through the C library, and a definition in the executable comes first).
namespace {
std::atomic<long> diskSyncs{0};
}  // namespace

extern "C" int fdatasync(int fd) {
    diskSyncs.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

extern "C" int fsync(int fd) {
    diskSyncs.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

using meshbench::applicationStore;
using meshbench::kFolders;
using meshbench::openStore;
using meshbench::processCPUSeconds;
using meshbench::ratioToSmallest;
using meshbench::startMeasuring;
using meshbench::stopMeasuring;
using meshbench::StoredSaves;
using meshbench::storeModel;
using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::dispatch::MainLoop;

std::shared_ptr<SYNPersistentStoreMesh> makeMesh(const std::string& store, const std::string& root) {
    return meshbench::makeMesh(storeModel(), store, root, "local");
}

using meshbench::wait;

// Everything queued on the event store's context so far has run.
void drainEventStore(const std::shared_ptr<SYNPersistentStoreMesh>& mesh) {
    mesh->eventStore()->managedObjectContext()->performBlockAndWait([] {});
    MainLoop::drain();
}

// Bytes of every file under `path` (a file alone when it is one).
double megabytesUnder(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) {
        return static_cast<double>(std::filesystem::file_size(path, error)) / (1024.0 * 1024.0);
    }
    double bytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error)) {
        if (entry.is_regular_file(error)) {
            bytes += static_cast<double>(entry.file_size(error));
        }
    }
    return bytes / (1024.0 * 1024.0);
}

// The application store's files (the database, its journal and shared memory).
double storeMegabytes(const std::string& store) {
    double total = 0;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        if (std::filesystem::exists(store + suffix)) {
            total += megabytesUnder(store + suffix);
        }
    }
    return total;
}

// Enlisting an application store: its content becomes the first baseline.
// Also reports the sync data at rest it leaves (the mesh's local data root,
// read after the mesh is dismantled) against the application store's size.
// The process's system CPU alone (part of processCPUSeconds): the kernel's
// share of an enlist, mostly its commits' writes and checkpoints.
double processSystemSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
}

void BM_EnlistGrowth(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    const int items = static_cast<int>(state.range(0));
    const auto& store = applicationStore(items);
    double cpu = 0;
    double system = 0;
    double peak = 0;
    double syncData = 0;
    double appData = 0;
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::TempDir root;
        std::filesystem::copy_file(store, root.str() + "/app.sqlite");
        auto mesh = makeMesh(root.str() + "/app.sqlite", root.str());
        MainLoop::drain();
        benchsupport::resetPeakMemory();
        const double start = processCPUSeconds();
        const double systemStart = processSystemSeconds();
        state.ResumeTiming();
        // Under callgrind (--instr-atstart=no) only the enlist is counted.
        startMeasuring();
        auto error = wait([&](SYNCompletion done) { mesh->enlistPersistentStoreWithCompletion(done); });
        stopMeasuring();
        state.PauseTiming();
        cpu += processCPUSeconds() - start;
        system += processSystemSeconds() - systemStart;
        peak = std::max(peak, benchsupport::statusMegabytes("VmHWM:"));
        if (error) {
            state.SkipWithError(error->localizedDescription().c_str());
        }
        mesh->dismantle();
        mesh.reset();
        MainLoop::drain();
        syncData = megabytesUnder(root.str() + "/local");
        appData = storeMegabytes(root.str() + "/app.sqlite");
        state.ResumeTiming();
    }
    cpu /= static_cast<double>(state.iterations());
    const double objects = items + kFolders;
    state.counters["sync_data_MB"] = syncData;
    state.counters["app_store_MB"] = appData;
    state.counters["sync_data_ratio"] = appData > 0 ? syncData / appData : 0;
    state.counters["sync_bytes_per_object"] = syncData * 1024.0 * 1024.0 / (items + kFolders);
    state.counters["cpu_ms"] = cpu * 1e3;
    state.counters["system_cpu_ms"] = system * 1e3 / static_cast<double>(state.iterations());
    state.counters["cpu_us_per_object"] = cpu * 1e6 / objects;
    state.counters["ratio_to_smallest"] = ratioToSmallest("enlist", items, cpu / objects);
    state.counters["peak_rss_MB"] = peak;
}
BENCHMARK(BM_EnlistGrowth)
    ->Unit(benchmark::kMillisecond)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(80000)
    ->Arg(100000)
    ->Iterations(1);

// An application store enlisted once per size; the benchmarks below open
// meshes on copies of it.
struct Enlisted {
    testsupport::TempDir root;
    std::string store;
};

Enlisted& enlisted(int items) {
    static std::map<int, Enlisted*> made;  // live for the whole run
    if (auto it = made.find(items); it != made.end()) {
        return *it->second;
    }
    auto* holder = new Enlisted();
    made[items] = holder;
    holder->store = holder->root.str() + "/app.sqlite";
    std::filesystem::copy_file(applicationStore(items), holder->store);
    auto mesh = makeMesh(holder->store, holder->root.str());
    (void)wait([&](SYNCompletion done) { mesh->enlistPersistentStoreWithCompletion(done); });
    mesh->dismantle();
    MainLoop::drain();
    return *holder;
}

// A mesh start on an enlisted store, until the work it queued has run.
void BM_MeshStartGrowth(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    const int items = static_cast<int>(state.range(0));
    auto& stored = enlisted(items);
    double cpu = 0;
    double growth = 0;
    std::size_t registered = 0;
    for (auto _ : state) {
        state.PauseTiming();
        MainLoop::drain();
        benchsupport::resetPeakMemory();
        const double rssBefore = benchsupport::statusMegabytes("VmRSS:");
        const double start = processCPUSeconds();
        state.ResumeTiming();
        auto mesh = makeMesh(stored.store, stored.root.str());
        drainEventStore(mesh);
        state.PauseTiming();
        cpu += processCPUSeconds() - start;
        growth = std::max(growth, benchsupport::statusMegabytes("VmRSS:") - rssBefore);
        auto context = mesh->eventStore()->managedObjectContext();
        context->performBlockAndWait([&] { registered = context->registeredObjects().size(); });
        mesh->dismantle();
        MainLoop::drain();
        state.ResumeTiming();
    }
    cpu /= static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = cpu * 1e3;
    state.counters["ratio_to_smallest"] = ratioToSmallest("start", items, cpu);
    state.counters["rss_growth_MB"] = growth;
    state.counters["records_held"] = static_cast<double>(registered);
}
BENCHMARK(BM_MeshStartGrowth)
    ->Unit(benchmark::kMillisecond)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(5);

// One save of the application's store with sync on, until its save event is
// stored: moving an item to another folder (two member sets of items / 100
// change), or renaming one (no member set changes).
void saveGrowth(benchmark::State& state, bool moveItem) {
    MainLoop::bindToCurrentThread();
    const int items = static_cast<int>(state.range(0));
    auto& stored = enlisted(items);
    testsupport::TempDir root;
    std::filesystem::copy_file(stored.store, root.str() + "/app.sqlite");
    std::filesystem::copy(stored.root.str() + "/local", root.str() + "/local",
                          std::filesystem::copy_options::recursive);
    std::filesystem::copy(stored.root.str() + "/cloud", root.str() + "/cloud",
                          std::filesystem::copy_options::recursive);
    auto mesh = makeMesh(root.str() + "/app.sqlite", root.str());
    drainEventStore(mesh);
    auto context = openStore(root.str() + "/app.sqlite");
    plat::coredata::FetchRequest folders("Folder");
    folders.sortDescriptors = {plat::coredata::SortDescriptor("name", true)};
    auto folderList = *context->executeFetchRequest(folders);
    plat::coredata::FetchRequest firstItems("Item");
    firstItems.fetchLimit = 1000;
    auto itemList = *context->executeFetchRequest(firstItems);
    StoredSaves saves;
    int saved = 0;
    std::size_t next = 0;
    auto change = [&] {
        auto item = itemList[next % itemList.size()];
        if (moveItem) {
            auto folder = item->objectForKey("folder");
            auto it = std::find(folderList.begin(), folderList.end(), folder);
            const auto position = static_cast<std::size_t>(it - folderList.begin());
            item->setObject(folderList[(position + 1) % folderList.size()], "folder");
        } else {
            item->setValue(Value("renamed " + std::to_string(next)), "title");
        }
        ++next;
        auto error = context->save();
        saves.waitFor(++saved);
        return error;
    };
    // The first saves also open what every later one uses.
    for (int i = 0; i < 5; ++i) {
        (void)change();
    }
    const double start = processCPUSeconds();
    for (auto _ : state) {
        if (auto error = change()) {
            state.SkipWithError(error->localizedDescription().c_str());
            break;
        }
    }
    const double cpu = (processCPUSeconds() - start) / static_cast<double>(state.iterations());
    state.counters["cpu_ms_per_save"] = cpu * 1e3;
    state.counters["ratio_to_smallest"] = ratioToSmallest(moveItem ? "move" : "rename", items, cpu);
    context->reset();
    mesh->dismantle();
    MainLoop::drain();
}

void BM_SaveMovingItemGrowth(benchmark::State& state) {
    saveGrowth(state, true);
}
void BM_SaveRenamingItemGrowth(benchmark::State& state) {
    saveGrowth(state, false);
}
BENCHMARK(BM_SaveMovingItemGrowth)
    ->Unit(benchmark::kMillisecond)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(100);
BENCHMARK(BM_SaveRenamingItemGrowth)
    ->Unit(benchmark::kMillisecond)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(100);

// Two machines on one cloud folder, made once per size: "b" enlisted the
// application store of that size, "a" enlisted an empty store and merged
// b's objects in. Machine "a" has a hardware identity of its own.
constexpr const char* kMachineA = "AAAAAAAA-0000-4000-8000-000000000002";

void check(const char* what, const plat::ErrorPtr& error) {
    if (error) {
        std::fprintf(stderr, "%s failed: %s\n", what, error->description().c_str());
    }
}

// Machine "b" enlisted the application store of that size and uploaded its
// baseline (its first merge); made once per size.
std::string firstMachine(int items) {
    static std::map<int, testsupport::TempDir*> made;  // live for the whole run
    if (auto it = made.find(items); it != made.end()) {
        return it->second->str();
    }
    auto* root = new testsupport::TempDir();
    testsupport::removeAtExit(root->path());
    made[items] = root;
    std::filesystem::copy_file(applicationStore(items), root->str() + "/b.sqlite");
    auto b = meshbench::makeMesh(storeModel(), root->str() + "/b.sqlite", root->str(), "b");
    check("enlisting b", wait([&](SYNCompletion done) { b->enlistPersistentStoreWithCompletion(done); }));
    check("b's first merge",
          wait([&](SYNCompletion done) { b->mergeWithOptions(SYNMergeOptionSkipRebase, done); }));
    b->dismantle();
    MainLoop::drain();
    return root->str();
}

// Machine "a" joins b's cloud: enlists an empty store and merges.
plat::ErrorPtr join(const std::string& root) {
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(kMachineA);
    auto a = meshbench::makeMesh(storeModel(), root + "/a.sqlite", root, "a");
    auto error = wait([&](SYNCompletion done) { a->enlistPersistentStoreWithCompletion(done); });
    if (!error) {
        error = wait([&](SYNCompletion done) { a->mergeWithCompletion(done); });
    }
    a->dismantle();
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
    MainLoop::drain();
    return error;
}

std::string joinedPair(int items) {
    static std::map<int, testsupport::TempDir*> made;  // live for the whole run
    if (auto it = made.find(items); it != made.end()) {
        return it->second->str();
    }
    auto* root = new testsupport::TempDir();
    testsupport::removeAtExit(root->path());
    made[items] = root;
    std::filesystem::copy(firstMachine(items), root->str(), std::filesystem::copy_options::recursive);
    check("a joining", join(root->str()));
    // b takes the baseline a consolidated, so that the merges measured are
    // steady-state ones (no full integration of a new baseline).
    auto b = meshbench::makeMesh(storeModel(), root->str() + "/b.sqlite", root->str(), "b");
    check("b's second merge",
          wait([&](SYNCompletion done) { b->mergeWithOptions(SYNMergeOptionSkipRebase, done); }));
    b->dismantle();
    MainLoop::drain();
    return root->str();
}

// Machine "a" makes `saves` saves of 10 changes to items (5 inserts, 4
// renames, 1 deletion) and exports their events.
plat::ErrorPtr makeRemoteSaves(const std::string& root, int saves) {
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(kMachineA);
    auto a = meshbench::makeMesh(storeModel(), root + "/a.sqlite", root, "a");
    drainEventStore(a);
    auto context = openStore(root + "/a.sqlite");
    plat::coredata::FetchRequest folders("Folder");
    auto folderList = *context->executeFetchRequest(folders);
    plat::coredata::FetchRequest someItems("Item");
    someItems.fetchLimit = static_cast<std::size_t>(saves) * 5;
    auto itemList = *context->executeFetchRequest(someItems);
    plat::ErrorPtr error;
    if (folderList.empty() || itemList.size() < someItems.fetchLimit) {
        std::fprintf(stderr, "a holds %zu folders, %zu items\n", folderList.size(), itemList.size());
        error = plat::Error::make("bench", 1);  // machine a lacks the objects of machine b
    }
    for (int save = 0; !error && save < saves; ++save) {
        for (int k = 0; k < 5; ++k) {
            auto item = context->insertNewObjectForEntityForName("Item");
            item->setValue(Value("remote " + std::to_string(save) + "." + std::to_string(k)), "title");
            item->setValue(Value(int64_t(k)), "priority");
            item->setObject(folderList[static_cast<std::size_t>(save + k) % folderList.size()], "folder");
        }
        const auto first = static_cast<std::size_t>(save) * 5;
        for (std::size_t k = 0; k < 4; ++k) {
            itemList[first + k]->setValue(Value("renamed " + std::to_string(save)), "title");
        }
        context->deleteObject(itemList[first + 4]);
        error = context->save();
    }
    itemList.clear();
    context->reset();
    if (!error) {
        error = wait([&](SYNCompletion done) { a->mergeWithCompletion(done); });
    }
    a->dismantle();
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
    MainLoop::drain();
    return error;
}

// With MESH_BENCH_PERF_CONTROL set to the control FIFO of a `perf record -D -1
// --control fifo:<path>`, samples are taken during the measured merges only;
// under `valgrind --tool=callgrind --instr-atstart=no` only they are counted.
void perfControl(const char* command) {
    if (std::string(command) == "enable") {
        startMeasuring();
    } else {
        stopMeasuring();
    }
    if (const char* path = std::getenv("MESH_BENCH_PERF_CONTROL")) {
        if (FILE* fifo = std::fopen(path, "w")) {
            std::fprintf(fifo, "%s\n", command);
            std::fclose(fifo);
        }
    }
}

// A steady-state merge: machine "b" merges the events of `saves` remote saves
// of 10 changes each (rebasing skipped: it is decided once per mesh start).
// Counters: process CPU and wall time, disk syncs (fdatasync and fsync) of
// the merge, CPU per event and its ratio to the smallest number of events.
void BM_MergeGrowth(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    const int items = static_cast<int>(state.range(0));
    const int saves = static_cast<int>(state.range(1));
    const std::string pair = joinedPair(items);
    double cpu = 0;
    double wall = 0;
    double peak = 0;
    long syncs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::TempDir root;
        std::filesystem::copy(pair, root.str(), std::filesystem::copy_options::recursive);
        auto error = makeRemoteSaves(root.str(), saves);
        auto b = meshbench::makeMesh(storeModel(), root.str() + "/b.sqlite", root.str(), "b");
        drainEventStore(b);
        benchsupport::resetPeakMemory();
        const double start = processCPUSeconds();
        const long syncsBefore = diskSyncs.load();
        const auto wallStart = std::chrono::steady_clock::now();
        state.ResumeTiming();
        perfControl("enable");
        if (!error) {
            error = wait([&](SYNCompletion done) { b->mergeWithOptions(SYNMergeOptionSkipRebase, done); });
        }
        perfControl("disable");
        state.PauseTiming();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        cpu += processCPUSeconds() - start;
        syncs += diskSyncs.load() - syncsBefore;
        peak = std::max(peak, benchsupport::statusMegabytes("VmHWM:"));
        b->dismantle();
        MainLoop::drain();
        if (error) {
            state.SkipWithError(error->description().c_str());
            return;
        }
        state.ResumeTiming();
    }
    const auto runs = static_cast<double>(state.iterations());
    cpu /= runs;
    state.counters["cpu_ms"] = cpu * 1e3;
    state.counters["wall_ms"] = wall / runs * 1e3;
    state.counters["cpu_ms_per_event"] = cpu * 1e3 / saves;
    state.counters["ratio_to_smallest"] =
        ratioToSmallest("merge" + std::to_string(items), saves, cpu / saves);
    state.counters["disk_syncs"] = static_cast<double>(syncs) / runs;
    state.counters["disk_syncs_per_event"] = static_cast<double>(syncs) / runs / saves;
    state.counters["peak_rss_MB"] = peak;
}
BENCHMARK(BM_MergeGrowth)
    ->Unit(benchmark::kMillisecond)
    ->ArgNames({"objects", "events"})
    ->Args({10000, 10})
    ->Args({10000, 100})
    ->Args({10000, 1000})
    ->Args({100000, 10})
    ->Args({100000, 100})
    ->Args({100000, 1000})
    ->Iterations(1);

// Process CPU and peak resident memory of one activity, as counters.
void measureActivity(benchmark::State& state, int items,
                     const std::function<void(std::string& root)>& prepare,
                     const std::function<plat::ErrorPtr(const std::string& root)>& activity) {
    double cpu = 0;
    double peak = 0;
    double atStart = 0;
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::TempDir folder;
        std::string root = folder.str();
        prepare(root);
        MainLoop::drain();
        benchsupport::resetPeakMemory();
        atStart = benchsupport::statusMegabytes("VmRSS:");
        if (std::getenv("MESH_BENCH_TRACE")) {
            SYNSetLoggingLevel(SYNLoggingLevelTrace);
        }
        const double start = processCPUSeconds();
        state.ResumeTiming();
        auto error = activity(root);
        state.PauseTiming();
        cpu += processCPUSeconds() - start;
        peak = std::max(peak, benchsupport::statusMegabytes("VmHWM:"));
        MainLoop::drain();
        if (error) {
            state.SkipWithError(error->description().c_str());
            return;
        }
        state.ResumeTiming();
    }
    state.counters["objects"] = items + kFolders;
    state.counters["cpu_ms"] = cpu * 1e3 / static_cast<double>(state.iterations());
    state.counters["rss_at_start_MB"] = atStart;
    state.counters["peak_rss_MB"] = peak;
}

// The first merge after enlisting: the store's own baseline goes out.
void BM_FirstMergeAfterEnlistGrowth(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    const int items = static_cast<int>(state.range(0));
    std::shared_ptr<SYNPersistentStoreMesh> b;
    measureActivity(
        state, items,
        [&](std::string& root) {
            std::filesystem::copy_file(applicationStore(items), root + "/b.sqlite");
            b = meshbench::makeMesh(storeModel(), root + "/b.sqlite", root, "b");
            check("enlisting b",
                  wait([&](SYNCompletion done) { b->enlistPersistentStoreWithCompletion(done); }));
        },
        [&](const std::string&) {
            auto error = wait([&](SYNCompletion done) { b->mergeWithCompletion(done); });
            b->dismantle();
            b.reset();
            return error;
        });
}
BENCHMARK(BM_FirstMergeAfterEnlistGrowth)
    ->Unit(benchmark::kMillisecond)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(1);

// A machine joining a cloud that holds the objects of another: enlisting an
// empty store and its first merge, which brings every object.
void BM_JoinGrowth(benchmark::State& state) {
    MainLoop::bindToCurrentThread();
    const int items = static_cast<int>(state.range(0));
    measureActivity(
        state, items,
        [&](std::string& root) {
            std::filesystem::copy(firstMachine(items), root, std::filesystem::copy_options::recursive);
        },
        [](const std::string& root) { return join(root); });
}
BENCHMARK(BM_JoinGrowth)->Unit(benchmark::kMillisecond)->Arg(10000)->Arg(100000)->Iterations(1);

}  // namespace
