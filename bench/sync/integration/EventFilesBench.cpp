// Moving one large event through event files: exporting and importing a save
// event of 100,000 object changes, as JSON files and as binary store files,
// between two event stores on SQLite (as real event stores are). Each case
// reports the process's peak resident memory; run one case per process
// (--benchmark_filter) to read the peak of that case alone.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/coredata/PersistentStore.h"
#include "platform/dispatch/MainLoop.h"
#include "support/ProcessMemory.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/SYNBinaryEventFiles.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using plat::Value;

constexpr int kChanges = 100000;

std::shared_ptr<const plat::coredata::ManagedObjectModel> model() {
    static auto made = [] {
        auto model = plat::coredata::ManagedObjectModel::create();
        auto& person = model->addEntity("Person");
        person.addAttribute("name", plat::coredata::AttributeType::String);
        person.addAttribute("age", plat::coredata::AttributeType::Integer64);
        if (model->finalize())
            std::abort();  // a fixed model: failing is a bug here
        return std::shared_ptr<const plat::coredata::ManagedObjectModel>(model);
    }();
    return made;
}

struct Source {
    testsupport::TempDir folder;
    std::shared_ptr<SYNEventStore> store;
    plat::coredata::ManagedObjectIDPtr eventID;
};

// A store holding one save event of kChanges inserts, each with two values.
Source& source() {
    static Source source;
    static const bool made = [] {
        plat::dispatch::MainLoop::bindToCurrentThread();
        source.store = SYNEventStore::create("bench", source.folder.str(), plat::coredata::SQLiteStoreType);
        (void)source.store->prepareNewEventStore();
        auto context = source.store->managedObjectContext();
        context->performBlockAndWait([&] {
            auto event = context->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
            event->setValue(Value("BENCH"), "uniqueIdentifier");
            event->setValue(Value(int64_t{200}), "type");
            event->setValue(Value(int64_t{1}), "globalCount");
            event->setValue(Value(1.0), "timestamp");
            event->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                                 *source.store->persistentStoreIdentifier(), 1, *context),
                             "eventRevision");
            for (int i = 0; i < kChanges; ++i) {
                auto identifier = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                identifier->setValue(Value("GID" + std::to_string(1000000 + i)), "globalIdentifier");
                identifier->setValue(Value("Person"), "nameOfEntity");
                auto change = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
                change->setValue(Value(int64_t{100}), "type");
                change->setValue(Value("Person"), "nameOfEntity");
                change->setObject(identifier, "globalIdentifier");
                change->setObject(event, "storeModificationEvent");
                SYNPropertyChangeValue name(SYNPropertyChangeTypeAttribute, "name");
                name.setValue(Value("person number " + std::to_string(i)));
                SYNPropertyChangeValue age(SYNPropertyChangeTypeAttribute, "age");
                age.setValue(Value(int64_t{i % 100}));
                SYNObjectChange::setPropertyChangeValues(*change, {name, age});
            }
            (void)context->save();
            source.eventID = event->objectID();
            context->reset();
        });
        return true;
    }();
    (void)made;
    return source;
}

void reportPeakMemory(benchmark::State& state, double atStart) {
    state.counters["rss_at_start_MB"] = atStart;
    state.counters["peak_rss_MB"] = benchsupport::statusMegabytes("VmHWM:");
}

template <class Export>
void BM_Export(benchmark::State& state) {
    auto& from = source();
    std::size_t files = 0;
    benchsupport::resetPeakMemory();
    const double atStart = benchsupport::statusMegabytes("VmRSS:");
    for (auto _ : state) {
        auto operation = std::make_shared<Export>(from.store, from.eventID, model());
        operation->start();
        if (operation->error()) {
            state.SkipWithError("export failed");
            return;
        }
        files = operation->filePaths().size();
    }
    state.counters["files"] = static_cast<double>(files);
    reportPeakMemory(state, atStart);
}

template <class Export, class Import>
void BM_Import(benchmark::State& state) {
    auto& from = source();
    auto exporter = std::make_shared<Export>(from.store, from.eventID, model());
    exporter->start();
    // Keep the files away from the next export, which empties their folder.
    testsupport::TempDir kept;
    std::vector<std::string> paths;
    for (const auto& path : exporter->filePaths()) {
        paths.push_back(kept.str() + "/" + std::filesystem::path(path).filename().string());
        std::filesystem::rename(path, paths.back());
    }
    benchsupport::resetPeakMemory();
    const double atStart = benchsupport::statusMegabytes("VmRSS:");
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::TempDir folder;
        auto destination = SYNEventStore::create("bench", folder.str(), plat::coredata::SQLiteStoreType);
        (void)destination->prepareNewEventStore();
        state.ResumeTiming();
        auto importer = std::make_shared<Import>(destination, paths);
        importer->start();
        if (importer->error()) {
            state.SkipWithError("import failed");
            return;
        }
        state.PauseTiming();
        destination->dismantle();
        destination.reset();
        state.ResumeTiming();
    }
    reportPeakMemory(state, atStart);
}

BENCHMARK(BM_Export<SYNJSONEventExport>)
    ->Name("ExportJSON/100000")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_Import<SYNJSONEventExport, SYNJSONEventImport>)
    ->Name("ImportJSON/100000")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_Export<SYNPersistentStoreEventExport>)
    ->Name("ExportBinary/100000")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_Import<SYNPersistentStoreEventExport, SYNPersistentStoreEventImport>)
    ->Name("ImportBinary/100000")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

// The program's main is in IntegrationBench.cpp.
