// The event store's two hot paths, each beside the bare object-store work it
// consists of: building and saving the save event of 10,000 changed objects,
// and finding the uncommitted events among 100,000 stored events.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <filesystem>
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "sync/eventstore/SYNEventBuilder.h"
#include "sync/eventstore/SYNEventStore.h"
#include "sync/eventstore/SYNRevisionManager.h"

namespace {

using plat::Value;

// A private folder removed at the end of its scope.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "eventstore-bench-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& str() const { return path_; }

  private:
    std::string path_;
};
using plat::coredata::ManagedObjectContext;

// The object-store type of the event stores measured here.
const std::string kStoreType = plat::coredata::SQLiteStoreType;
constexpr int kChangedObjects = 10000;
constexpr int kStoredEvents = 100000;

struct Application {
    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator;
    std::shared_ptr<ManagedObjectContext> context;
    SYNManagedObjects people;
};

Application& application() {
    static Application app = [] {
        auto model = plat::coredata::ManagedObjectModel::create();
        auto& person = model->addEntity("Person");
        person.addAttribute("name", plat::coredata::AttributeType::String);
        person.addAttribute("age", plat::coredata::AttributeType::Integer64);
        Application made;
        made.coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
        (void)made.coordinator->addPersistentStore(plat::coredata::InMemoryStoreType, "", std::nullopt);
        made.context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        made.context->setPersistentStoreCoordinator(made.coordinator);
        for (int i = 0; i < kChangedObjects; ++i) {
            auto object = made.context->insertNewObjectForEntityForName("Person");
            object->setValue(Value("person " + std::to_string(i)), "name");
            object->setValue(Value(int64_t{i}), "age");
            made.people.push_back(object);
        }
        (void)made.context->save();
        return made;
    }();
    return app;
}

std::shared_ptr<SYNEventStore> freshStore(const ScratchDir& root) {
    auto store = SYNEventStore::create("bench", root.str(), kStoreType);
    (void)store->prepareNewEventStore();
    return store;
}

void BM_BuildAndSaveSaveEvent(benchmark::State& state) {
    auto& app = application();
    ScratchDir root;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = freshStore(root);
        state.ResumeTiming();
        SYNEventBuilder builder(store);
        (void)builder.makeNewEventOfType(SYNStoreModificationEventTypeSave);
        (void)builder.addChangesForInsertedObjects(app.people, true, false, *app.context);
        (void)builder.finalizeNewEvent();
        if (auto error = builder.saveAndReset()) {
            state.SkipWithError(error->localizedDescription().c_str());
        }
    }
    state.SetItemsProcessed(state.iterations() * kChangedObjects);
}

// The rows such an event is made of, written directly: one identifier, one
// change with its values per object, one event, one save.
void BM_BareRowsOfSaveEvent(benchmark::State& state) {
    auto& app = application();
    ScratchDir root;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = freshStore(root);
        auto context = store->managedObjectContext();
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
    }
    state.SetItemsProcessed(state.iterations() * kChangedObjects);
}

// 100,000 save events of 10 stores; the local store's last merge covers all
// but the last 100 events of each store.
struct StoredEvents {
    ScratchDir root;
    std::shared_ptr<SYNEventStore> store;
};

StoredEvents& storedEvents() {
    static StoredEvents* stored = [] {
        auto* holder = new StoredEvents();  // lives for the whole run
        StoredEvents& made = *holder;
        made.store = freshStore(made.root);
        auto context = made.store->managedObjectContext();
        const std::string local = *made.store->persistentStoreIdentifier();
        const int perStore = kStoredEvents / 10;
        context->performBlockAndWait([&] {
            SYNRevisionSet merged;
            for (int i = 0; i < kStoredEvents; ++i) {
                const std::string storeID = "store" + std::to_string(i % 10);
                auto event = context->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
                event->setValue(Value("e" + std::to_string(i)), "uniqueIdentifier");
                event->setValue(Value(int64_t{200}), "type");
                event->setValue(Value(int64_t{i}), "globalCount");
                event->setValue(Value(static_cast<double>(i)), "timestamp");
                event->setObject(SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                                     storeID, i / 10, *context),
                                 "eventRevision");
                merged.setRevisionNumber(storeID, perStore - 101);
            }
            auto merge = context->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
            merge->setValue(Value("merge"), "uniqueIdentifier");
            merge->setValue(Value(int64_t{300}), "type");
            merge->setValue(Value(int64_t{kStoredEvents}), "globalCount");
            merge->setValue(Value(0.0), "timestamp");
            merge->setObject(
                SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(local, 0, *context),
                "eventRevision");
            SYNStoreModificationEvent::setRevisionSetOfOtherStores(*merge, merged);
            (void)context->save();
            context->reset();
        });
        return holder;
    }();
    return *stored;
}

void BM_FetchUncommittedEvents(benchmark::State& state) {
    auto& stored = storedEvents();
    SYNRevisionManager manager(stored.store);
    for (auto _ : state) {
        auto events = manager.fetchUncommittedStoreModificationEvents();
        if (!events.ok() || events->size() != 1000) {
            state.SkipWithError("unexpected result");
        }
        stored.store->managedObjectContext()->performBlockAndWait(
            [&] { stored.store->managedObjectContext()->reset(); });
    }
}

// The fetch it consists of: every save and merge event with its revision
// (read, as the check must), in event order.
void BM_BareFetchOfEventsInOrder(benchmark::State& state) {
    auto& stored = storedEvents();
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

BENCHMARK(BM_BuildAndSaveSaveEvent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareRowsOfSaveEvent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FetchUncommittedEvents)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareFetchOfEventsInOrder)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
