// Priming cost of the cloud database stand-in: saving 10,000 file records in
// requests of 400 (the server's item limit), then reading all of them back
// through the zone's change feed from the start, page by page.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>

#include "platform/cloudkit/Container.h"
#include "platform/cloudkit/Operations.h"
#include "support/TempDir.h"

namespace {

using namespace plat::cloudkit;
using plat::Value;

constexpr int kRecords = 10000;
constexpr int kBatch = 400;

const RecordZoneID zone("bench.meshes.zone.schema2");

std::shared_ptr<Container> open(const std::string& root) {
    ContainerConfiguration c;
    c.cloudRoot = root + "/cloud";
    c.account = "bench";
    c.device = "bench";
    c.assetCacheFolder = root + "/cache";
    auto container = Container::open(c);
    if (!container)
        return nullptr;
    auto op = std::make_shared<ModifyRecordZonesOperation>(std::vector<RecordZone>{RecordZone{zone}},
                                                           std::vector<RecordZoneID>{});
    (*container)->privateCloudDatabase()->addOperation(op);
    op->waitUntilFinished();
    return *container;
}

bool saveAll(Database& db, int round) {
    std::atomic<int> failures{0};
    for (int start = 0; start < kRecords; start += kBatch) {
        std::vector<Record> batch;
        for (int i = start; i < start + kBatch && i < kRecords; ++i) {
            std::string path = "/main/events/r" + std::to_string(round) + "-" + std::to_string(i);
            Record r("SYNFileSystemNode", RecordID("SYNFileSystemNode_" + path, zone));
            r.setObject("path", Value(path));
            r.setObject("isDirectory", Value(false));
            r.setObject("fileSize", Value(int64_t(1024 + i)));
            batch.push_back(std::move(r));
        }
        auto op = std::make_shared<ModifyRecordsOperation>(std::move(batch), std::vector<RecordID>{});
        op->modifyRecordsCompletionBlock = [&](auto, auto, plat::ErrorPtr e) { failures += e ? 1 : 0; };
        db.addOperation(op);
    }
    db.waitUntilAllOperationsAreFinished();
    return failures == 0;
}

std::size_t fetchFeed(Database& db) {
    std::size_t count = 0;
    std::shared_ptr<const ServerChangeToken> token;
    bool more = true;
    while (more) {
        auto op = std::make_shared<FetchRecordChangesOperation>(zone, token);
        op->desiredKeys = std::vector<std::string>{"isDirectory", "fileSize", "path"};
        op->recordChangedBlock = [&](RecordPtr) { ++count; };
        op->fetchRecordChangesCompletionBlock = [&](std::shared_ptr<const ServerChangeToken> t, auto,
                                                    plat::ErrorPtr e) {
            token = t;
            if (e)
                more = false;
        };
        db.addOperation(op);
        op->waitUntilFinished();
        more = more && op->moreComing();
    }
    return count;
}

void BM_Save10000Records(benchmark::State& state) {
    testsupport::TempDir dir;
    auto container = open(dir.path());
    int round = 0;
    for (auto _ : state) {
        if (!saveAll(*container->privateCloudDatabase(), round++))
            state.SkipWithError("save failed");
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_Save10000Records)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FetchChangeFeedOf10000Records(benchmark::State& state) {
    testsupport::TempDir dir;
    auto container = open(dir.path());
    auto db = container->privateCloudDatabase();
    if (!saveAll(*db, 0))
        state.SkipWithError("save failed");
    for (auto _ : state) {
        if (fetchFeed(*db) != kRecords)
            state.SkipWithError("feed incomplete");
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_FetchChangeFeedOf10000Records)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
