// The cloud-database file system over the stand-in: priming its record cache
// from the start with 10,000 file records in the zone (the change feed read
// page by page, the cache filled and written to its file), and uploading
// 1,000 event files of 2 KB through it in batches of its upload batch size,
// one batch after another. Part of sync_mesh_bench (whose main is in
// MeshBench.cpp); run these cases alone with
//   --benchmark_filter='PrimeRecordCache|Upload1000'
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/cloudkit/Container.h"
#include "platform/dispatch/MainLoop.h"
#include "support/TempDir.h"
#include "sync/mesh/cloudfs/SYNCloudKitFileSystem.h"

namespace {

using namespace plat::cloudkit;

constexpr int kPrimedRecords = 10000;
constexpr int kUploadedFiles = 1000;

std::shared_ptr<Container> openContainer(const std::string& root) {
    std::filesystem::create_directories(root + "/cloud");
    std::filesystem::create_directories(root + "/caches");
    ContainerConfiguration c;
    c.cloudRoot = root + "/cloud";
    c.account = "bench";
    c.device = "bench";
    c.assetCacheFolder = root + "/assets";
    auto container = Container::open(c);
    return container.ok() ? *container : nullptr;
}

// Runs the call and the main queue until its completion (which arrives
// there) has come.
plat::ErrorPtr wait(const std::function<void(SYNCloudFileSystem::Completion)>& call) {
    bool done = false;
    plat::ErrorPtr result;
    call([&](plat::ErrorPtr error) {
        result = error;
        done = true;
    });
    if (!plat::dispatch::MainLoop::runUntil([&] { return done; }, 600))
        return makeError(ErrorCode::InternalError, "no completion");
    return result;
}

std::string writeFile(const std::string& path, std::size_t size, int seed) {
    std::string content(size, 'x');
    for (std::size_t i = 0; i < size; ++i)
        content[i] = static_cast<char>('a' + (seed * 31 + static_cast<int>(i)) % 26);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

void BM_PrimeRecordCacheWith10000Records(benchmark::State& state) {
    testsupport::TempDir dir;
    auto container = openContainer(dir.str());
    auto fs = SYNCloudKitFileSystem::privateDatabase(container, 2, dir.str() + "/caches");
    // Seed the zone directly: one directory and 10,000 files in it.
    const std::string content = writeFile(dir.str() + "/content", 1024, 0);
    std::vector<Record> records{fs->format().directoryRecordForPath("/events")};
    for (int i = 0; i < kPrimedRecords; ++i)
        records.push_back(
            fs->format().fileRecordForPath("/events/" + std::to_string(i) + ".json", 1024, content));
    bool seeded = !wait([&](auto done) { fs->connect(done); });
    // The server takes at most 400 items a request.
    for (std::size_t start = 0; seeded && start < records.size(); start += 400) {
        std::vector<Record> part(records.begin() + start,
                                 records.begin() + std::min(records.size(), start + 400));
        seeded = !container->admin().seed(DatabaseScope::Private, part);
    }
    if (!seeded) {
        state.SkipWithError("seeding failed");
        return;
    }
    for (auto _ : state) {
        fs->recordCache().clear();
        if (wait([&](auto done) { fs->primeForActivityWithCompletion(done); }))
            state.SkipWithError("priming failed");
    }
    auto listing = fs->recordCache().contentsOfDirectoryAtPath("/events");
    if (!listing || listing->items.size() != kPrimedRecords)
        state.SkipWithError("cache incomplete");
    state.SetItemsProcessed(state.iterations() * kPrimedRecords);
}
BENCHMARK(BM_PrimeRecordCacheWith10000Records)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Upload1000EventFiles(benchmark::State& state) {
    testsupport::TempDir dir;
    auto container = openContainer(dir.str());
    auto fs = SYNCloudKitFileSystem::privateDatabase(container, 2, dir.str() + "/caches");
    std::filesystem::create_directories(dir.str() + "/local");
    std::vector<std::string> local;
    for (int i = 0; i < kUploadedFiles; ++i)
        local.push_back(writeFile(dir.str() + "/local/" + std::to_string(i), 2048, i));
    const std::size_t batch = fs->fileUploadMaximumBatchSize();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string folder = "/events" + std::to_string(round++);
        if (wait([&](auto done) { fs->createDirectoryAtPath(folder, done); }))
            state.SkipWithError("directory failed");
        state.ResumeTiming();
        for (std::size_t start = 0; start < local.size(); start += batch) {
            const std::size_t end = std::min(local.size(), start + batch);
            std::vector<std::string> from(local.begin() + start, local.begin() + end), to;
            for (std::size_t i = start; i < end; ++i)
                to.push_back(folder + "/" + std::to_string(i) + ".json");
            if (wait([&](auto done) { fs->uploadLocalFiles(from, to, done); })) {
                state.SkipWithError("upload failed");
                break;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kUploadedFiles);
}
BENCHMARK(BM_Upload1000EventFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
