// Integrating 1,000 events of 10 changes each (7 updates, 2 inserts and a
// delete) into an application store of 100,000 objects, beside applying the
// same changes directly through the object store in one save. Both start
// from a copy of the same stores on disk; each case reports its own peak
// resident memory, and the integration its time over the direct one
// ("x_direct", when the direct case ran first in the same process).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "support/ProcessMemory.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNLogging.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/integration/SYNEventIntegrator.h"

namespace {

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

constexpr int kObjects = 100000;
constexpr int kEvents = 1000;
constexpr int kUpdates = 7, kInserts = 2, kDeletes = 1;
const char* kRemoteStore = "REMOTE|HARDWARE";

std::shared_ptr<plat::coredata::ManagedObjectModel> makeModel() {
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& record = model->addEntity("Record");
    record.addAttribute("name", plat::coredata::AttributeType::String);
    record.addAttribute("count", plat::coredata::AttributeType::Integer64);
    record.addAttribute("score", plat::coredata::AttributeType::Double);
    record.addAttribute("note", plat::coredata::AttributeType::String);
    return model;
}

// One change of the workload: an update, insert or delete of a record.
struct Change {
    int16_t type;
    int record;  // index into the records (new ones follow the stored ones)
    std::string name;
    int64_t count;
};

struct Workload {
    ~Workload() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::filesystem::path root;
    std::vector<std::string> uris;  // store URIs of the stored records
    std::vector<std::vector<Change>> events;
};

std::shared_ptr<plat::coredata::PersistentStoreCoordinator> openApplication(
    const std::filesystem::path& dir, const std::shared_ptr<plat::coredata::ManagedObjectModel>& model) {
    auto coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
    (void)coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                          plat::URL::fileURLWithPath((dir / "app.sqlite").string()));
    return coordinator;
}

std::string gid(int record) {
    return "record-" + std::to_string(record);
}

// Builds the template: the application store, and an event store holding
// the records' identifiers, an empty baseline and the remote events.
const Workload& workload() {
    static Workload made = [] {
        Workload w;
        char pattern[] = "/tmp/integration-bench-XXXXXX";
        w.root = mkdtemp(pattern);
        auto model = makeModel();
        {
            auto context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
            std::filesystem::create_directories(w.root / "template");
            context->setPersistentStoreCoordinator(openApplication(w.root / "template", model));
            std::vector<ManagedObjectPtr> records;
            for (int i = 0; i < kObjects; ++i) {
                auto record = context->insertNewObjectForEntityForName("Record");
                record->setValue(Value("record " + std::to_string(i)), "name");
                record->setValue(Value(int64_t{i}), "count");
                record->setValue(Value(i * 0.5), "score");
                records.push_back(record);
            }
            (void)context->save();
            for (const auto& record : records) {
                w.uris.push_back(SYNGlobalIdentifier::storeURIForObjectID(*record->objectID()));
            }
        }
        std::mt19937 random(7);
        int next = kObjects;
        std::vector<bool> deleted(kObjects, false);
        for (int e = 0; e < kEvents; ++e) {
            std::vector<Change> changes;
            std::set<int> touched;
            auto pickLive = [&] {
                int r;
                do {
                    r = static_cast<int>(random() % kObjects);
                } while (deleted[r] || touched.count(r));
                touched.insert(r);
                return r;
            };
            for (int i = 0; i < kUpdates; ++i) {
                changes.push_back({SYNObjectChangeTypeUpdate, pickLive(), "updated " + std::to_string(e), e});
            }
            for (int i = 0; i < kInserts; ++i) {
                changes.push_back({SYNObjectChangeTypeInsert, next++, "new " + std::to_string(e), e});
            }
            for (int i = 0; i < kDeletes; ++i) {
                int r = pickLive();
                deleted[r] = true;
                changes.push_back({SYNObjectChangeTypeDelete, r, {}, 0});
            }
            w.events.push_back(std::move(changes));
        }

        auto store = SYNEventStore::create("mesh", (w.root / "template" / "events").string());
        (void)store->prepareNewEventStore();
        auto context = store->managedObjectContext();
        SYNEventBuilder baselineBuilder(store);
        (void)baselineBuilder.makeNewEventOfType(SYNStoreModificationEventTypeBaseline);
        baselineBuilder.performBlockAndWait([&] {
            SYNRevisionSet others;
            others.setRevisionNumber(kRemoteStore, -1);
            SYNStoreModificationEvent::setRevisionSetOfOtherStores(*baselineBuilder.event(), others);
        });
        (void)baselineBuilder.finalizeNewEvent();
        (void)baselineBuilder.saveAndReset();
        store->setIdentifierOfBaselineUsedToConstructStore(*store->currentBaselineIdentifier());
        context->performBlockAndWait([&] {
            auto storeURIs = SYNStoreURIs::forContext(*context);
            std::vector<ManagedObjectPtr> rows;
            for (int i = 0; i < kObjects; ++i) {
                auto row = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                row->setValue(Value(gid(i)), "globalIdentifier");
                row->setValue(Value("Record"), "nameOfEntity");
                row->setValue(Value(storeURIs->encode(w.uris[i])), "storeURI");
                rows.push_back(row);
            }
            for (int e = 0; e < kEvents; ++e) {
                auto event = context->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
                event->setValue(Value("event-" + std::to_string(e)), "uniqueIdentifier");
                event->setValue(Value(int64_t{SYNStoreModificationEventTypeSave}), "type");
                event->setValue(Value(int64_t{e + 2}), "globalCount");
                event->setValue(Value(double(e)), "timestamp");
                event->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(kRemoteStore,
                                                                                                 e, *context),
                                 "eventRevision");
                for (const auto& planned : w.events[e]) {
                    auto change = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
                    change->setValue(Value(int64_t{planned.type}), "type");
                    change->setValue(Value("Record"), "nameOfEntity");
                    ManagedObjectPtr row;
                    if (planned.record < kObjects) {
                        row = rows[planned.record];
                    } else {
                        row = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                        row->setValue(Value(gid(planned.record)), "globalIdentifier");
                        row->setValue(Value("Record"), "nameOfEntity");
                    }
                    change->setObject(row, "globalIdentifier");
                    change->setObject(event, "storeModificationEvent");
                    std::vector<SYNPropertyChangeValue> values;
                    if (planned.type != SYNObjectChangeTypeDelete) {
                        SYNPropertyChangeValue name(SYNPropertyChangeTypeAttribute, "name");
                        name.setValue(Value(planned.name));
                        SYNPropertyChangeValue count(SYNPropertyChangeTypeAttribute, "count");
                        count.setValue(Value(planned.count));
                        values = {name, count};
                    }
                    SYNObjectChange::setPropertyChangeValues(*change, values);
                }
            }
            (void)context->save();
            context->reset();
        });
        store->dismantle();
        return w;
    }();
    return made;
}

// A fresh copy of the template stores.
std::filesystem::path freshCopy(const Workload& w) {
    auto copy = w.root / "run";
    // A store closing on another thread may still remove its side files.
    for (std::error_code error; std::filesystem::exists(copy);) {
        std::filesystem::remove_all(copy, error);
    }
    std::filesystem::copy(w.root / "template", copy, std::filesystem::copy_options::recursive);
    return copy;
}

// The largest peak of one iteration: freed memory is trimmed and the peak
// reset between iterations (a merge runs on a pool thread, whose malloc arena
// would otherwise keep the previous iteration's memory beside it).
class PeakMemory {
  public:
    PeakMemory() {
        benchsupport::resetPeakMemory();
        atStart_ = benchsupport::statusMegabytes("VmRSS:");
    }
    void endIteration() {
        peak_ = std::max(peak_, benchsupport::statusMegabytes("VmHWM:"));
        benchsupport::resetPeakMemory();
    }
    void report(benchmark::State& state) const {
        state.counters["rss_at_start_MB"] = atStart_;
        state.counters["peak_rss_MB"] = peak_;
    }

  private:
    double atStart_ = 0;
    double peak_ = 0;
};

double processCPUSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Seconds per iteration of the timed part, measured by the case itself: wall
// time, and the CPU time of all the process's threads (the merge runs on a
// pool thread), which a loaded machine disturbs far less.
class Stopwatch {
  public:
    void start() {
        begun_ = std::chrono::steady_clock::now();
        cpuBegun_ = processCPUSeconds();
    }
    void stop() {
        total_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - begun_).count();
        cpuTotal_ += processCPUSeconds() - cpuBegun_;
    }
    double perIteration(const benchmark::State& state) const { return divided(total_, state); }
    double cpuPerIteration(const benchmark::State& state) const { return divided(cpuTotal_, state); }

  private:
    static double divided(double total, const benchmark::State& state) {
        return state.iterations() ? total / static_cast<double>(state.iterations()) : 0;
    }
    std::chrono::steady_clock::time_point begun_;
    double cpuBegun_ = 0;
    double total_ = 0;
    double cpuTotal_ = 0;
};

// The direct case's times, for the integration's ratios.
double directSeconds = 0;
double directCPUSeconds = 0;

void BM_IntegrateEvents(benchmark::State& state) {
    const Workload& w = workload();
    plat::dispatch::MainLoop::bindToCurrentThread();
    if (std::getenv("SYN_BENCH_LOG")) {
        SYNSetLoggingLevel(4);  // the merge's steps, with their times
    }
    PeakMemory memory;
    Stopwatch watch;
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = freshCopy(w);
        auto store = SYNEventStore::create("mesh", (dir / "events").string());
        auto integrator = SYNEventIntegrator::create(
            plat::URL::fileURLWithPath((dir / "app.sqlite").string()), makeModel(), store);
        if (std::getenv("SYN_BENCH_MEMORY")) {  // resident memory at the merge's named points
            integrator->setTestHook([](std::string_view point) -> plat::ErrorPtr {
                fprintf(stderr, "%-14.*s rss %.1f MB, peak %.1f MB\n", static_cast<int>(point.size()),
                        point.data(), benchsupport::statusMegabytes("VmRSS:"),
                        benchsupport::statusMegabytes("VmHWM:"));
                return nullptr;
            });
        }
        state.ResumeTiming();
        watch.start();
        bool done = false;
        plat::ErrorPtr result;
        integrator->mergeEventsWithCompletion([&](plat::ErrorPtr error) {
            result = error;
            done = true;
        });
        plat::dispatch::MainLoop::runUntil([&] { return done; }, 600.0);
        watch.stop();
        state.PauseTiming();
        if (result) {
            state.SkipWithError(result->description().c_str());
        }
        integrator.reset();
        store->dismantle();
        memory.endIteration();
        state.ResumeTiming();
    }
    memory.report(state);
    state.counters["cpu_ms"] = watch.cpuPerIteration(state) * 1000;
    if (directSeconds > 0) {
        state.counters["x_direct"] = watch.perIteration(state) / directSeconds;
        state.counters["x_direct_cpu"] = watch.cpuPerIteration(state) / directCPUSeconds;
    }
}

void BM_ApplyDirectly(benchmark::State& state) {
    const Workload& w = workload();
    PeakMemory memory;
    Stopwatch watch;
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = freshCopy(w);
        auto coordinator = openApplication(dir, makeModel());
        state.ResumeTiming();
        watch.start();
        {  // the context goes with the timed part, as the integrator's does
            auto context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
            context->setPersistentStoreCoordinator(coordinator);
            std::unordered_map<int, ManagedObjectPtr> inserted;
            for (const auto& event : w.events) {
                for (const auto& change : event) {
                    ManagedObjectPtr record;
                    if (change.record < kObjects) {
                        record = context->objectWithID(
                            coordinator->managedObjectIDForURIRepresentation(w.uris[change.record]));
                    } else if (change.type == SYNObjectChangeTypeInsert) {
                        record = context->insertNewObjectForEntityForName("Record");
                        inserted[change.record] = record;
                    } else {
                        record = inserted[change.record];
                    }
                    if (change.type == SYNObjectChangeTypeDelete) {
                        context->deleteObject(record);
                    } else {
                        record->setValue(Value(change.name), "name");
                        record->setValue(Value(change.count), "count");
                    }
                }
            }
            if (auto error = context->save()) {
                state.SkipWithError(error->description().c_str());
            }
        }
        watch.stop();
        state.PauseTiming();
        coordinator.reset();  // closing the store is not timed, as for the integration
        memory.endIteration();
        state.ResumeTiming();
    }
    memory.report(state);
    state.counters["cpu_ms"] = watch.cpuPerIteration(state) * 1000;
    directSeconds = watch.perIteration(state);
    directCPUSeconds = watch.cpuPerIteration(state);
}

BENCHMARK(BM_ApplyDirectly)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_IntegrateEvents)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
