// The event store's two hot paths, each beside the bare object-store work it
// consists of: building and saving the save event of 10,000 changed objects,
// and finding the 1,000 uncommitted events among 10,000 to 1,000,000 stored
// events. Heap use is counted by replacing the global allocation functions.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <new>
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"
#include "sync/eventstore/SYNRevisionManager.h"

namespace {

// Heap bytes held by the program's own allocations (not SQLite's), and the
// highest value since the last resetPeak.
std::atomic<int64_t> liveBytes{0};
std::atomic<int64_t> peakBytes{0};

void countAllocation(void* p) {
    const int64_t live = liveBytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) +
                         static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = peakBytes.load(std::memory_order_relaxed);
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
}

void resetPeak() {
    peakBytes.store(liveBytes.load());
}

double processCPUSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) {
        throw std::bad_alloc();
    }
    countAllocation(p);
    return p;
}
void operator delete(void* p) noexcept {
    if (p) {
        liveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
        std::free(p);  // operator new above allocates with malloc
#pragma GCC diagnostic pop
    }
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

using plat::Value;

using plat::coredata::ManagedObjectContext;

// The object-store type of the event stores measured here.
const std::string kStoreType = plat::coredata::SQLiteStoreType;
constexpr int kChangedObjects = 10000;
constexpr int kUncommittedEvents = 1000;

struct Application {
    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator;
    std::shared_ptr<ManagedObjectContext> context;
    SYNManagedObjects people;
};

// An application store of `count` saved people, made once per size.
Application& application(int count = kChangedObjects) {
    static std::map<int, Application*> made;  // live for the whole run
    if (auto it = made.find(count); it != made.end()) {
        return *it->second;
    }
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& person = model->addEntity("Person");
    person.addAttribute("name", plat::coredata::AttributeType::String);
    person.addAttribute("age", plat::coredata::AttributeType::Integer64);
    auto* app = new Application();
    app->coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
    (void)app->coordinator->addPersistentStore(plat::coredata::InMemoryStoreType, "", std::nullopt);
    app->context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    app->context->setPersistentStoreCoordinator(app->coordinator);
    for (int i = 0; i < count; ++i) {
        auto object = app->context->insertNewObjectForEntityForName("Person");
        object->setValue(Value("person " + std::to_string(i)), "name");
        object->setValue(Value(int64_t{i}), "age");
        app->people.push_back(object);
    }
    (void)app->context->save();
    made[count] = app;
    return *app;
}

std::shared_ptr<SYNEventStore> freshStore(const testsupport::TempDir& root) {
    auto store = SYNEventStore::create("bench", root.str(), kStoreType);
    (void)store->prepareNewEventStore();
    return store;
}

// Builds the event of a save that inserted all of the application's people
// and stores it; an error ends the benchmark.
void buildAndSaveEvent(const std::shared_ptr<SYNEventStore>& store, Application& app,
                       benchmark::State& state) {
    SYNEventBuilder builder(store);
    (void)builder.makeNewEventOfType(SYNStoreModificationEventTypeSave);
    (void)builder.addChangesForInsertedObjects(app.people, true, false, *app.context);
    (void)builder.finalizeNewEvent();
    if (auto error = builder.saveAndReset()) {
        state.SkipWithError(error->localizedDescription().c_str());
    }
}

void BM_BuildAndSaveSaveEvent(benchmark::State& state) {
    auto& app = application();
    testsupport::TempDir root;
    int64_t heapGrowth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = freshStore(root);
        const int64_t before = liveBytes.load();
        resetPeak();
        state.ResumeTiming();
        buildAndSaveEvent(store, app, state);
        heapGrowth = std::max(heapGrowth, peakBytes.load() - before);
    }
    state.SetItemsProcessed(state.iterations() * kChangedObjects);
    // The highest heap use while building and saving, per changed object.
    state.counters["peak_bytes_per_object"] = static_cast<double>(heapGrowth) / kChangedObjects;
}

// The same at 1,000 to 100,000 objects: the cost per object should not
// grow with the size of the save (us_per_object: process CPU, all threads;
// ratio_to_1k: this size's CPU per object over that of 1,000).
void BM_BuildSaveEventGrowth(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    auto& app = application(count);
    testsupport::TempDir root;
    int64_t heapGrowth = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = freshStore(root);
        const int64_t before = liveBytes.load();
        resetPeak();
        const double start = processCPUSeconds();
        state.ResumeTiming();
        buildAndSaveEvent(store, app, state);
        state.PauseTiming();
        seconds += processCPUSeconds() - start;
        heapGrowth = std::max(heapGrowth, peakBytes.load() - before);
        store.reset();
        state.ResumeTiming();
    }
    const double perObject = seconds / static_cast<double>(state.iterations()) / count;
    static double perObjectAt1k = 0;
    if (count == 1000) {
        perObjectAt1k = perObject;
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["us_per_object"] = perObject * 1e6;
    if (perObjectAt1k > 0) {
        state.counters["ratio_to_1k"] = perObject / perObjectAt1k;
    }
    state.counters["peak_bytes_per_object"] = static_cast<double>(heapGrowth) / count;
}

// The rows such an event is made of, written directly: one identifier, one
// change with its values per object, one event, one save.
void BM_BareRowsOfSaveEvent(benchmark::State& state) {
    auto& app = application();
    testsupport::TempDir root;
    int64_t heapGrowth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = freshStore(root);
        auto context = store->managedObjectContext();
        const int64_t before = liveBytes.load();
        resetPeak();
        state.ResumeTiming();
        context->performBlockAndWait([&] {
            auto event = context->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
            event->setValue(Value("e"), "uniqueIdentifier");
            event->setValue(Value(int64_t{200}), "type");
            event->setValue(Value(int64_t{1}), "globalCount");
            event->setValue(Value(0.0), "timestamp");
            for (const auto& person : app.people) {
                auto identifier = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                identifier->setValue(Value(person->objectID()->URIRepresentation().absoluteString()),
                                     "globalIdentifier");
                identifier->setValue(Value("Person"), "nameOfEntity");
                auto change = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
                change->setValue(Value(int64_t{100}), "type");
                change->setValue(Value("Person"), "nameOfEntity");
                change->setObject(identifier, "globalIdentifier");
                change->setObject(event, "storeModificationEvent");
                std::vector<SYNPropertyChangeValue> values;
                for (const char* key : {"name", "age"}) {
                    SYNPropertyChangeValue value(SYNPropertyChangeTypeAttribute, key);
                    value.setValue(person->valueForKey(key));
                    values.push_back(value);
                }
                SYNObjectChange::setPropertyChangeValues(*change, values);
            }
            if (auto error = context->save()) {
                state.SkipWithError(error->localizedDescription().c_str());
            }
            context->reset();
        });
        heapGrowth = std::max(heapGrowth, peakBytes.load() - before);
    }
    state.SetItemsProcessed(state.iterations() * kChangedObjects);
    state.counters["peak_bytes_per_object"] = static_cast<double>(heapGrowth) / kChangedObjects;
}

// Save events of 10 stores; the local store's last merge covers all but the
// last 100 events of each store, so 1,000 are uncommitted however many are
// stored. One event store per size, made once.
struct StoredEvents {
    testsupport::TempDir root;
    std::shared_ptr<SYNEventStore> store;
};

StoredEvents& storedEvents(int count) {
    static std::map<int, StoredEvents*> made;  // live for the whole run
    if (auto it = made.find(count); it != made.end()) {
        return *it->second;
    }
    // The stores stay open until the process ends; their folders are removed
    // then (a million events take a few hundred MB).
    auto* holder = new StoredEvents();
    made[count] = holder;
    static const bool cleanUpRegistered = [] {
        std::atexit([] {
            for (const auto& [size, stored] : made) {
                std::error_code ignored;
                std::filesystem::remove_all(stored->root.str(), ignored);
            }
        });
        return true;
    }();
    (void)cleanUpRegistered;
    holder->store = freshStore(holder->root);
    auto context = holder->store->managedObjectContext();
    const std::string local = *holder->store->persistentStoreIdentifier();
    const int perStore = count / 10;
    context->performBlockAndWait([&] {
        SYNRevisionSet merged;
        for (int i = 0; i < count; ++i) {
            const std::string storeID = "store" + std::to_string(i % 10);
            auto event = context->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
            event->setValue(Value("e" + std::to_string(i)), "uniqueIdentifier");
            event->setValue(Value(int64_t{200}), "type");
            event->setValue(Value(int64_t{i}), "globalCount");
            event->setValue(Value(static_cast<double>(i)), "timestamp");
            event->setObject(
                SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(storeID, i / 10, *context),
                "eventRevision");
            merged.setRevisionNumber(storeID, perStore - kUncommittedEvents / 10 - 1);
            if (i % 100000 == 99999) {  // keeps the unsaved state of the set-up small
                (void)context->save();
                context->reset();
            }
        }
        auto merge = context->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
        merge->setValue(Value("merge"), "uniqueIdentifier");
        merge->setValue(Value(int64_t{300}), "type");
        merge->setValue(Value(int64_t{count}), "globalCount");
        merge->setValue(Value(0.0), "timestamp");
        merge->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(local, 0, *context),
                         "eventRevision");
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*merge, merged);
        (void)context->save();
        context->reset();
    });
    return *holder;
}

// Seconds per look-up among 10,000 stored events, for the ratio counter.
double& smallestStoreSeconds() {
    static double seconds = 0;
    return seconds;
}

void BM_FetchUncommittedEvents(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    auto& stored = storedEvents(count);
    SYNRevisionManager manager(stored.store);
    double seconds = 0;
    int64_t heapGrowth = 0;
    for (auto _ : state) {
        const int64_t before = liveBytes.load();
        resetPeak();
        const auto start = std::chrono::steady_clock::now();
        auto events = manager.fetchUncommittedStoreModificationEvents();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        heapGrowth = std::max(heapGrowth, peakBytes.load() - before);
        if (!events.ok() || events->size() != kUncommittedEvents) {
            state.SkipWithError("unexpected result");
        }
        state.PauseTiming();
        events = SYNManagedObjects();
        stored.store->managedObjectContext()->performBlockAndWait(
            [&] { stored.store->managedObjectContext()->reset(); });
        state.ResumeTiming();
    }
    seconds /= static_cast<double>(state.iterations());
    if (count == 10000) {
        smallestStoreSeconds() = seconds;
    }
    if (smallestStoreSeconds() > 0) {
        state.counters["ratio_to_10k"] = seconds / smallestStoreSeconds();
    }
    state.counters["peak_heap_MB"] = static_cast<double>(heapGrowth) / 1e6;
}

// The fetch it consists of: every save and merge event with its revision
// (read, as the check must), in event order.
void BM_BareFetchOfEventsInOrder(benchmark::State& state) {
    auto& stored = storedEvents(static_cast<int>(state.range(0)));
    auto context = stored.store->managedObjectContext();
    for (auto _ : state) {
        context->performBlockAndWait([&] {
            plat::coredata::FetchRequest request(SYNStoreModificationEventEntityName);
            request.predicate =
                plat::coredata::Predicate::in("type", Value(plat::Array{Value(200), Value(300)}));
            request.sortDescriptors = SYNStoreModificationEvent::sortDescriptorsForEventOrder();
            auto events = context->executeFetchRequest(request);
            std::size_t revisions = 0;
            for (const auto& event : *events) {
                if (auto revision = event->objectForKey("eventRevision")) {
                    revisions += revision->valueForKey("persistentStoreIdentifier").isString() ? 1 : 0;
                }
            }
            benchmark::DoNotOptimize(revisions);
            context->reset();
        });
    }
}

// Reading one change's stored values back, as the integrator does for every
// change it applies: an attribute change (a rename), the change of a moved
// object (a to-one's new target) and that of a folder it moved into (a
// to-many adding one member); beside it the general unarchiver alone.
std::vector<SYNPropertyChangeValue> storedChangeValues(int64_t form) {
    SYNPropertyChangeValue value(form, form == 0 ? "title" : form == 1 ? "folder" : "items");
    if (form == 0) {
        value.setValue(plat::Value(std::string("save 17 change 4")));
    } else if (form == 1) {
        value.setRelatedIdentifier("9F1C2D3E-4B5A-6978-8695-A4B3C2D1E0F1");
    } else {
        value.setAddedIdentifiers({"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"});
    }
    return {value};
}

void BM_ReadStoredChangeValues(benchmark::State& state) {
    auto data = SYNArchivePropertyChangeValues(storedChangeValues(state.range(0)));
    if (!data.ok()) {
        state.SkipWithError("archive failed");
        return;
    }
    for (auto _ : state) {
        auto values = SYNUnarchiveSharedPropertyChangeValues(data->view());
        benchmark::DoNotOptimize(values);
    }
    state.counters["plain"] = SYNReadPlainPropertyChangeValues(*data) ? 1 : 0;
}

void BM_ReadStoredChangeValuesInGeneral(benchmark::State& state) {
    auto data = SYNArchivePropertyChangeValues(storedChangeValues(state.range(0)));
    SYNPropertyChangeValue::registerClass();
    for (auto _ : state) {
        auto values = plat::KeyedUnarchiver::unarchivedObjectWithData(*data);
        benchmark::DoNotOptimize(values);
    }
}

void BM_ArchiveChangeValues(benchmark::State& state) {
    const auto values = storedChangeValues(state.range(0));
    for (auto _ : state) {
        auto data = SYNArchivePropertyChangeValues(values);
        benchmark::DoNotOptimize(data);
    }
}

// The same values in the event store's compact stored form: written, and
// read back through the same entry point as the keyed archive (bytes: the
// stored size against the keyed archive's).
void BM_ReadCompactChangeValues(benchmark::State& state) {
    auto data = SYNWriteCompactPropertyChangeValues(storedChangeValues(state.range(0)));
    if (!data) {
        state.SkipWithError("compact form refused");
        return;
    }
    for (auto _ : state) {
        auto values = SYNUnarchiveSharedPropertyChangeValues(data->view());
        benchmark::DoNotOptimize(values);
    }
    state.counters["bytes"] = static_cast<double>(data->length());
    state.counters["archive_bytes"] =
        static_cast<double>(SYNArchivePropertyChangeValues(storedChangeValues(state.range(0)))->length());
}

void BM_WriteCompactChangeValues(benchmark::State& state) {
    const auto values = storedChangeValues(state.range(0));
    for (auto _ : state) {
        auto data = SYNWriteCompactPropertyChangeValues(values);
        benchmark::DoNotOptimize(data);
    }
}

BENCHMARK(BM_BuildAndSaveSaveEvent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadCompactChangeValues)->ArgName("form")->DenseRange(0, 2);
BENCHMARK(BM_WriteCompactChangeValues)->ArgName("form")->DenseRange(0, 2);
BENCHMARK(BM_ReadStoredChangeValues)->ArgName("form")->DenseRange(0, 2);
BENCHMARK(BM_ReadStoredChangeValuesInGeneral)->ArgName("form")->DenseRange(0, 2);
BENCHMARK(BM_ArchiveChangeValues)->ArgName("form")->DenseRange(0, 2);
BENCHMARK(BM_BuildSaveEventGrowth)
    ->Unit(benchmark::kMillisecond)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(40000)
    ->Arg(100000)
    ->Iterations(1);
BENCHMARK(BM_BareRowsOfSaveEvent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FetchUncommittedEvents)
    ->Unit(benchmark::kMillisecond)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(5);
// The old way of answering it: every save and merge event loaded.
BENCHMARK(BM_BareFetchOfEventsInOrder)->Unit(benchmark::kMillisecond)->Arg(10000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
