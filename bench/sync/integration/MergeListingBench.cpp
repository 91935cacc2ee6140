// The cloud manager's looks at a listing during one merge, against an event
// store on SQLite holding a history of N save events whose files are all in
// the listing, with 10 new remote events: which remote sets to download,
// which remote sets are outdated (asked twice, for removal and for the
// download decision's check), and which local events to upload. Growth
// table: 100 / 1,000 / 10,000 stored events. Each iteration starts a new
// merge (a new snapshot, looked at through the manager's shared snapshot as
// the merge's steps do) whose listing differs from the last merge's by
// 20 names (the 10 new remote events of one merge are gone and 10 others
// are listed instead), as the cloud folder does between merges; with no
// save between merges, as in a merge that changed nothing
// (BM_MergeLooksAtAListingOfTheHistory), or after a save of the event store
// before the looks, as in a merge that imported or exported something
// (BM_MergeLooksAfterASave). BM_MergeLooksAtACallersListing asks about a
// listing the caller owns instead of the snapshot: its names are compared
// with the last listing's at every look.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/coredata/PersistentStore.h"
#include "platform/dispatch/MainLoop.h"
#include "support/FakeCloudFileSystem.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/SYNCloudManager.h"

namespace {

using plat::Value;

std::shared_ptr<const plat::coredata::ManagedObjectModel> model() {
    static auto made = [] {
        auto model = plat::coredata::ManagedObjectModel::create();
        auto& person = model->addEntity("Person");
        person.addAttribute("name", plat::coredata::AttributeType::String);
        if (model->finalize())
            std::abort();  // a fixed model: failing is a bug here
        return std::shared_ptr<const plat::coredata::ManagedObjectModel>(model);
    }();
    return made;
}

struct History {
    testsupport::TempDir folder;
    std::shared_ptr<SYNEventStore> store;
    std::shared_ptr<SYNCloudManager> manager;
    // Every event held, with 10 new remote events; the second listing
    // lists 10 other new remote events instead.
    std::shared_ptr<const SYNCloudManager::Names> listings[2];
};

// Half the events are this store's, half another's; every one is listed,
// and so are 10 remote events not held.
History& history(int events) {
    static std::map<int, std::unique_ptr<History>> made;
    auto& slot = made[events];
    if (slot) {
        return *slot;
    }
    plat::dispatch::MainLoop::bindToCurrentThread();
    slot = std::make_unique<History>();
    auto& h = *slot;
    h.store = SYNEventStore::create("bench", h.folder.str(), plat::coredata::SQLiteStoreType);
    (void)h.store->prepareNewEventStore();
    const std::string own = *h.store->persistentStoreIdentifier();
    const std::string other = "OTHERSTORE-0123456789";
    auto context = h.store->managedObjectContext();
    SYNCloudManager::Names names;
    context->performBlockAndWait([&] {
        for (int i = 1; i <= events; ++i) {
            const std::string& storeID = i % 2 ? own : other;
            const int64_t revision = (i + 1) / 2;
            auto event = context->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
            event->setValue(Value("EVENT" + std::to_string(i)), "uniqueIdentifier");
            event->setValue(Value(int64_t{SYNStoreModificationEventTypeSave}), "type");
            event->setValue(Value(int64_t{i}), "globalCount");
            event->setValue(Value(1.0), "timestamp");
            event->setObject(
                SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(storeID, revision, *context),
                "eventRevision");
            names.insert(std::to_string(i) + "_" + storeID + "_" + std::to_string(revision) + ".synevent");
        }
        (void)context->save();
    });
    SYNCloudManager::Names listings[2]{names, names};
    for (int i = 1; i <= 10; ++i) {
        for (int which : {0, 1}) {
            const int count = events + i + 10 * which;
            listings[which].insert(std::to_string(count) + "_" + other + "_" + std::to_string(count) +
                                   ".synevent");
        }
    }
    for (int which : {0, 1}) {
        h.listings[which] = std::make_shared<const SYNCloudManager::Names>(std::move(listings[which]));
    }
    h.manager =
        SYNCloudManager::create(h.store, std::make_shared<testsupport::FakeCloudFileSystem>(), model());
    return h;
}

void looks(benchmark::State& state, bool saveFirst, bool throughSnapshot = true) {
    SYNSetLoggingLevel(SYNLoggingLevelError);
    auto& h = history(static_cast<int>(state.range(0)));
    const std::vector<int16_t> types{SYNStoreModificationEventTypeSave, SYNStoreModificationEventTypeMerge};
    std::size_t missingRemote = 0;
    std::size_t missingLocal = 0;
    double stamp = 1.0;
    std::size_t merge = 0;
    // The caller's own listing: a copy of the snapshot's names.
    std::shared_ptr<SYNCloudManager::Names> own;
    for (auto _ : state) {
        if (!throughSnapshot) {
            state.PauseTiming();
            own = std::make_shared<SYNCloudManager::Names>(*h.listings[merge % 2]);
            state.ResumeTiming();
        }
        const auto& shared = h.listings[merge++ % 2];
        if (saveFirst) {
            // One event's timestamp changes: a save of the event store,
            // not itself measured.
            state.PauseTiming();
            auto context = h.store->managedObjectContext();
            context->performBlockAndWait([&] {
                plat::coredata::FetchRequest request(SYNStoreModificationEventEntityName);
                request.fetchLimit = 1;
                auto found = context->executeFetchRequest(request);
                if (found.ok() && !found->empty()) {
                    found->front()->setValue(Value(stamp += 1.0), "timestamp");
                    (void)context->save();
                }
            });
            state.ResumeTiming();
        }
        h.manager->clearSnapshot();
        h.manager->setSharedSnapshotEventFilenames(shared);
        const auto snapshot = h.manager->sharedSnapshotEventFilenames();
        const auto& listing = throughSnapshot ? *snapshot : *own;
        missingRemote = h.manager->completeRemoteEventFileSetsMissingInEventStore(listing, types).size();
        missingRemote += h.manager->completeRemoteEventFileSetsMissingInEventStore(listing, types).size();
        missingLocal = h.manager->localEventFileSetsMissingFromRemoteCloudFiles(listing, types).size();
        benchmark::DoNotOptimize(missingRemote);
        benchmark::DoNotOptimize(missingLocal);
    }
    if (missingRemote != 20 || missingLocal != 0) {
        state.SkipWithError("the lookups found other sets than the listing's 10 new ones");
    }
    state.SetComplexityN(state.range(0));
    state.counters["events"] = static_cast<double>(state.range(0));
}
void BM_MergeLooksAtAListingOfTheHistory(benchmark::State& state) {
    looks(state, false);
}
BENCHMARK(BM_MergeLooksAtAListingOfTheHistory)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

void BM_MergeLooksAfterASave(benchmark::State& state) {
    looks(state, true);
}
BENCHMARK(BM_MergeLooksAfterASave)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

void BM_MergeLooksAtACallersListing(benchmark::State& state) {
    looks(state, false, false);
}
BENCHMARK(BM_MergeLooksAtACallersListing)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace
