#include "sync/mesh/SYNPersistentStoreImporter.h"

#include <fstream>

#include "MeshFixture.h"

namespace meshtest {
namespace {

class ImporterTest : public MeshTest {
  protected:
    std::shared_ptr<SYNEventStore> makeEventStore() {
        auto store = SYNEventStore::create("main", (root / "events").string());
        EXPECT_TRUE(store);
        EXPECT_EQ(store->prepareNewEventStore(), nullptr);
        return store;
    }

    plat::ErrorPtr runImport(const std::shared_ptr<SYNPersistentStoreImporter>& importer) {
        return wait([&](SYNCompletion done) { importer->importWithCompletion(done); });
    }

    // entity name -> number of insert changes in the baseline.
    std::map<std::string, int> baselineChanges(const std::shared_ptr<SYNEventStore>& store, double* timestamp,
                                               int64_t* globalCount) {
        std::map<std::string, int> out;
        auto context = store->managedObjectContext();
        context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeBaseline}, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            ASSERT_EQ(events->size(), 1u);
            *timestamp = SYNStoreModificationEvent::timestamp(*(*events)[0]);
            *globalCount = SYNStoreModificationEvent::globalCount(*(*events)[0]);
            for (const auto& change : (*events)[0]->objectsForKey("objectChanges")) {
                out[*change->valueForKey("nameOfEntity").asString()]++;
            }
        });
        return out;
    }
};

TEST_F(ImporterTest, ImportsEveryObjectOnceInBatchesWithOneUnitPerEntityAndPass) {
    std::string path = (root / "app.sqlite").string();
    {
        AppStore app(path);
        // More than one batch of 500.
        for (int i = 0; i < 1203; ++i) {
            app.addTask("task " + std::to_string(i), i);
        }
        app.addTask("urgent", 9, "UrgentTask");
        auto tag = app.context->insertNewObjectForEntityForName("Tag");
        tag->setValue(plat::Value("home"), "name");
        ASSERT_EQ(app.save(), nullptr);
    }
    auto store = makeEventStore();
    auto importer = std::make_shared<SYNPersistentStoreImporter>(path, taskModel(), store);
    EXPECT_EQ(importer->numberOfProgressUnits(), 6u);  // Draft is left out of sync
    std::vector<uint64_t> units;
    importer->progressUnitsCompletionBlock = [&](uint64_t n) { units.push_back(n); };
    ASSERT_EQ(runImport(importer), nullptr);
    EXPECT_EQ(units, std::vector<uint64_t>(6, 1));
    double timestamp = 0;
    int64_t globalCount = -1;
    auto changes = baselineChanges(store, &timestamp, &globalCount);
    EXPECT_EQ(changes, (std::map<std::string, int>{{"Tag", 1}, {"Task", 1203}, {"UrgentTask", 1}}));
    EXPECT_EQ(timestamp, plat::Date::distantPast().timeIntervalSinceReferenceDate());
    EXPECT_GE(globalCount, 0);
}

// The identifier pass walks larger batches than the changes' pass: with more
// objects than one of its batches, every object still gets one identifier
// record and one change naming it.
TEST_F(ImporterTest, MoreObjectsThanAnIdentifierBatchGetOneRecordAndOneChangeEach) {
    std::string path = (root / "app.sqlite").string();
    constexpr int kTasks = 5050;
    {
        AppStore app(path);
        for (int i = 0; i < kTasks; ++i) {
            app.addTask("task " + std::to_string(i), i);
        }
        ASSERT_EQ(app.save(), nullptr);
    }
    auto store = makeEventStore();
    auto importer = std::make_shared<SYNPersistentStoreImporter>(path, taskModel(), store);
    ASSERT_EQ(runImport(importer), nullptr);
    double timestamp = 0;
    int64_t globalCount = -1;
    EXPECT_EQ(baselineChanges(store, &timestamp, &globalCount),
              (std::map<std::string, int>{{"Task", kTasks}}));
    auto context = store->managedObjectContext();
    context->performBlockAndWait([&] {
        plat::coredata::FetchRequest records(SYNGlobalIdentifierEntityName);
        EXPECT_EQ(*context->countForFetchRequest(records), static_cast<std::size_t>(kTasks));
        plat::coredata::FetchRequest changes(SYNObjectChangeEntityName);
        changes.predicate = plat::coredata::Predicate::equal("globalIdentifier", plat::Value());
        EXPECT_EQ(*context->countForFetchRequest(changes), 0u);
    });
}

// Into a new event store the identifier pass makes every record without
// looking for existing ones; into one that already holds a record of an
// object, the import finds it, and the object keeps its identifier.
TEST_F(ImporterTest, AnObjectWithARecordKeepsItsIdentifierWhenImported) {
    std::string path = (root / "app.sqlite").string();
    plat::coredata::ManagedObjectIDPtr first;
    {
        AppStore app(path);
        for (int i = 0; i < 30; ++i) {
            app.addTask("task " + std::to_string(i), i);
        }
        ASSERT_EQ(app.save(), nullptr);
        auto tasks = app.context->executeFetchRequest(plat::coredata::FetchRequest("Task"));
        ASSERT_TRUE(tasks.ok() && !tasks->empty());
        first = tasks->front()->objectID();
    }
    auto store = makeEventStore();
    {
        auto earlier = std::make_shared<SYNEventBuilder>(store);
        ASSERT_TRUE(earlier->makeNewEventOfType(SYNStoreModificationEventTypeMerge).ok());
        ASSERT_TRUE(
            earlier->addGlobalIdentifiersForManagedObjectIDs({first}, {std::string("gid-kept")}).ok());
        ASSERT_EQ(earlier->saveAndReset(), nullptr);
    }
    auto importer = std::make_shared<SYNPersistentStoreImporter>(path, taskModel(), store);
    ASSERT_EQ(runImport(importer), nullptr);
    auto context = store->managedObjectContext();
    context->performBlockAndWait([&] {
        plat::coredata::FetchRequest records(SYNGlobalIdentifierEntityName);
        EXPECT_EQ(*context->countForFetchRequest(records), 30u);
        auto kept = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs({first}, *context);
        ASSERT_TRUE(kept.ok() && (*kept)[0]);
        EXPECT_EQ((*kept)[0]->valueForKey("globalIdentifier"), plat::Value("gid-kept"));
        EXPECT_EQ((*kept)[0]->objectsForKey("objectChanges").size(), 1u);
    });
}

// Mesh services for the import: identifiers "gid-<title>" for tasks, or none
// at all (and saying so, so that the identifier pass reads IDs alone).
class ImportServices : public SYNMeshServices {
  public:
    explicit ImportServices(bool gives) : gives_(gives) {}
    std::vector<std::optional<std::string>> globalIdentifiersForManagedObjects(
        const std::vector<plat::coredata::ManagedObjectPtr>& objects) const override {
        if (!gives_) {
            return {};
        }
        std::vector<std::optional<std::string>> ids;
        for (const auto& object : objects) {
            auto title =
                object->entity()->propertyNamed("title") ? object->valueForKey("title") : plat::Value();
            ids.push_back(title.isString() ? std::optional<std::string>("gid-" + *title.asString())
                                           : std::nullopt);
        }
        return ids;
    }
    bool mayGiveGlobalIdentifiers() const override { return gives_; }

  private:
    bool gives_;
};

// Whether the identifier pass reads the objects (a mesh that may give
// identifiers, or none) or their IDs alone (a mesh that gives none), every
// object gets one record and one change naming it, in batches of both
// passes and several entities; new identifiers follow the objects' order.
TEST_F(ImporterTest, EitherIdentifierPassGivesEveryObjectOneRecordAndOneChange) {
    constexpr int kTasks = 5020;
    for (int mode = 0; mode < 3; ++mode) {
        SCOPED_TRACE(mode);
        const auto dir = root / ("mode" + std::to_string(mode));
        std::filesystem::create_directories(dir);
        const std::string path = (dir / "app.sqlite").string();
        {
            AppStore app(path);
            for (int i = 0; i < kTasks; ++i) {
                app.addTask("task " + std::to_string(i), i);
            }
            app.addTask("urgent", 9, "UrgentTask");
            auto tag = app.context->insertNewObjectForEntityForName("Tag");
            tag->setValue(plat::Value("home"), "name");
            ASSERT_EQ(app.save(), nullptr);
        }
        auto store = SYNEventStore::create("main", (dir / "events").string());
        ASSERT_TRUE(store);
        ASSERT_EQ(store->prepareNewEventStore(), nullptr);
        auto importer = std::make_shared<SYNPersistentStoreImporter>(path, taskModel(), store);
        std::shared_ptr<SYNMeshServices> services;
        if (mode > 0) {
            services = std::make_shared<ImportServices>(mode == 2);
            importer->mesh = services;
        }
        std::vector<uint64_t> units;
        importer->progressUnitsCompletionBlock = [&](uint64_t n) { units.push_back(n); };
        ASSERT_EQ(runImport(importer), nullptr);
        EXPECT_EQ(units, std::vector<uint64_t>(6, 1));
        double timestamp = 0;
        int64_t globalCount = -1;
        EXPECT_EQ(baselineChanges(store, &timestamp, &globalCount),
                  (std::map<std::string, int>{{"Tag", 1}, {"Task", kTasks}, {"UrgentTask", 1}}));
        auto context = store->managedObjectContext();
        context->performBlockAndWait([&] {
            plat::coredata::FetchRequest records(SYNGlobalIdentifierEntityName);
            EXPECT_EQ(*context->countForFetchRequest(records), static_cast<std::size_t>(kTasks + 2));
            plat::coredata::FetchRequest loose(SYNObjectChangeEntityName);
            loose.predicate = plat::coredata::Predicate::equal("globalIdentifier", plat::Value());
            EXPECT_EQ(*context->countForFetchRequest(loose), 0u);
            plat::coredata::FetchRequest tasks(SYNGlobalIdentifierEntityName);
            tasks.predicate = plat::coredata::Predicate::equal("nameOfEntity", plat::Value("Task"));
            auto found = context->executeFetchRequest(tasks);  // in key order: the objects' order
            ASSERT_TRUE(found.ok());
            ASSERT_EQ(found->size(), static_cast<std::size_t>(kTasks));
            std::size_t ascending = 0;
            for (std::size_t i = 0; i < found->size(); ++i) {
                const auto identifier = *(*found)[i]->valueForKey("globalIdentifier").asString();
                if (mode == 2) {
                    EXPECT_EQ(identifier.rfind("gid-task ", 0), 0u) << identifier;
                } else if (i > 0 &&
                           *(*found)[i - 1]->valueForKey("globalIdentifier").asString() < identifier) {
                    ++ascending;
                }
                EXPECT_EQ((*found)[i]->objectsForKey("objectChanges").size(), 1u);
            }
            if (mode != 2) {
                EXPECT_EQ(ascending, found->size() - 1);
            }
        });
        importer.reset();
        store.reset();
    }
}

TEST_F(ImporterTest, WithoutStoreDataTheBaselineIsEmptyAndTheStoreIsNeverOpened) {
    auto store = makeEventStore();
    std::string path = (root / "never" / "app.sqlite").string();
    auto importer = std::make_shared<SYNPersistentStoreImporter>(path, taskModel(), store);
    importer->importPersistentStoreData = false;
    ASSERT_EQ(runImport(importer), nullptr);
    EXPECT_FALSE(std::filesystem::exists(path));
    double timestamp = 0;
    int64_t globalCount = -1;
    EXPECT_TRUE(baselineChanges(store, &timestamp, &globalCount).empty());
}

TEST_F(ImporterTest, AStoreThatCannotBeOpenedFailsWithItsError) {
    auto store = makeEventStore();
    std::string path = (root / "garbage.sqlite").string();
    {
        std::ofstream out(path);
        out << "not a database at all, just text";
    }
    auto importer = std::make_shared<SYNPersistentStoreImporter>(path, taskModel(), store);
    EXPECT_NE(runImport(importer), nullptr);
}

}  // namespace
}  // namespace meshtest
