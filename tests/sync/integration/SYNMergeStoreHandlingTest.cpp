// How the integrator holds the application store between merges, and how it
// tells saves of its store from saves of other stores while it merges:
// - a merge lets go of its context and store when it ends; the next merge's
//   store takes the connection it left, and sees whatever other coordinators
//   saved in between (rows and new keys alike);
// - what keeps the file open between merges holds no snapshot: the log can
//   be checkpointed whole after every merge, and once the integrator and
//   every other coordinator are gone the main file holds everything alone;
// - a save is the store's when the saving store writes the store's file,
//   reached through whatever path.
#include <sqlite3.h>

#include <filesystem>

#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"
#include "sync/integration/IntegrationFixture.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;

namespace integrationtest {
namespace {

// Checkpoints the log of the SQLite file at path into it and truncates it,
// from a connection of its own; false when a reader of another connection
// keeps part of the log from being written back.
bool checkpointsWhole(const std::string& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    // Reading the schema opens the log.
    EXPECT_EQ(sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr), SQLITE_OK);
    int logged = -1;
    int written = -1;
    const int code = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logged, &written);
    sqlite3_close(db);
    return code == SQLITE_OK && logged == 0 && written == 0;
}

std::string pathOf(const Machine& machine) {
    return machine.storeURL().path();
}

class SYNMergeStoreHandlingTest : public BatchModeIntegrationTest {};

TEST_P(SYNMergeStoreHandlingTest, EachMergeLetsGoOfItsStoreAndLeavesTheLogFreeToCheckpoint) {
    auto [a, b] = twoMachinesSharingABaseline();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(b->merge(), nullptr);
        EXPECT_FALSE(b->integrator()->managedObjectContext());
        EXPECT_TRUE(checkpointsWhole(pathOf(*b)));
        EXPECT_EQ(b->dump(), a->dump());
        ASSERT_EQ(a->recordSave([&](ManagedObjectContext& context) {
            auto calendar = context.insertNewObjectForEntityForName("Calendar");
            calendar->setValue(Value("round " + std::to_string(round)), "name");
            objectWhere(context, "Task", "title", Value("task1"))->setValue(Value(round % 2 == 0), "done");
        }),
                  nullptr);
        copyEvents(*a->eventStore(), *b->eventStore());
    }
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), a->dump());
}

// Between two merges another coordinator changes a row the next merge
// changes too, and inserts an object: the next merge, on the connection the
// previous one left, reads the row as saved and draws keys the insert did
// not take.
TEST_P(SYNMergeStoreHandlingTest, TheNextMergeSeesWhatOthersSavedSinceTheLast) {
    auto [a, b] = twoMachinesSharingABaseline();
    ASSERT_EQ(b->merge(), nullptr);
    {
        auto context = b->newContext();
        objectWhere(*context, "Item", "label", Value("item1"))->setValue(Value(int64_t{7}), "i16");
        auto calendar = context->insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("local"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    ASSERT_EQ(a->recordSave([](ManagedObjectContext& context) {
        objectWhere(context, "Item", "label", Value("item1"))->setValue(Value(int64_t{99}), "i32");
        for (int i = 0; i < 3; ++i) {
            auto calendar = context.insertNewObjectForEntityForName("Calendar");
            calendar->setValue(Value("remote " + std::to_string(i)), "name");
        }
    }),
              nullptr);
    copyEvents(*a->eventStore(), *b->eventStore());
    ASSERT_EQ(b->merge(), nullptr);
    auto context = b->newContext();
    auto item = objectWhere(*context, "Item", "label", Value("item1"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->valueForKey("i16"), Value(int64_t{7}));
    EXPECT_EQ(item->valueForKey("i32"), Value(int64_t{99}));
    std::set<std::string> calendars;
    std::set<int64_t> keys;
    for (const auto& calendar : allObjects(*context, "Calendar")) {
        calendars.insert(*calendar->valueForKey("name").asString());
        keys.insert(calendar->objectID()->primaryKey());
    }
    EXPECT_EQ(calendars, (std::set<std::string>{"work", "local", "remote 0", "remote 1", "remote 2"}));
    EXPECT_EQ(keys.size(), calendars.size());
}

TEST_P(SYNMergeStoreHandlingTest, AFailedMergeLetsGoOfItsStoreAndTheNextSucceeds) {
    auto [a, b] = twoMachinesSharingABaseline();
    b->integrator()->setTestHook([](std::string_view point) -> plat::ErrorPtr {
        return point == "beforeCommit" ? plat::Error::make("TestStoreDomain", 42) : nullptr;
    });
    auto error = b->merge();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 42);
    EXPECT_FALSE(b->integrator()->managedObjectContext());
    EXPECT_TRUE(checkpointsWhole(pathOf(*b)));
    b->integrator()->setTestHook(nullptr);
    ASSERT_EQ(b->merge(), nullptr);
    EXPECT_EQ(b->dump(), a->dump());
}

// Once the integrator and every other coordinator of the store have gone,
// the last close has written the log back: the main file alone holds the
// merged objects.
TEST_P(SYNMergeStoreHandlingTest, TheMainFileHoldsEverythingOnceTheIntegratorIsGone) {
    auto [a, b] = twoMachinesSharingABaseline();
    ASSERT_EQ(b->merge(), nullptr);
    ASSERT_EQ(b->merge(), nullptr);
    const auto expected = a->dump();
    EXPECT_EQ(b->dump(), expected);
    const std::filesystem::path store = pathOf(*b);
    const auto copy = root.path() / "alone.sqlite";
    machines.clear();  // the integrators, the event stores
    // The last merge's operation may still be letting go of its integrator.
    EXPECT_TRUE(plat::dispatch::MainLoop::runUntil(
        [&] { return !std::filesystem::exists(store.string() + "-wal"); }, 60.0));
    std::filesystem::copy_file(store, copy);
    auto coordinator = plat::coredata::PersistentStoreCoordinator::create(makeFixtureModel(taskBatchSize));
    ASSERT_TRUE(coordinator
                    ->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                         plat::URL::fileURLWithPath(copy.string()))
                    .ok());
    auto context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    EXPECT_EQ(allObjects(*context, "Item").size(), 4u);
    EXPECT_EQ(allObjects(*context, "Task").size(), 4u);
    EXPECT_TRUE(objectWhere(*context, "Task", "title", Value("renamed")));
}

INSTANTIATE_TEST_SUITE_P(Modes, SYNMergeStoreHandlingTest, kBatchModes, batchModeName);

class SYNSaveMonitoringTest : public IntegrationTest {};

// Saves seen while saves are monitored, each monitoring standing for a
// merge: only those that write the store's file count, through a link to the
// file or to its folder too, and a store seen in an earlier merge is told
// apart as it was then.
TEST_F(SYNSaveMonitoringTest, SavesCountWhenTheyWriteTheStoresFile) {
    Machine& machine = addMachine("m");
    auto& integrator = *machine.integrator();
    const std::filesystem::path store = machine.storeURL().path();
    const auto folder = store.parent_path();
    std::filesystem::create_symlink(store, folder / "linked.sqlite");
    std::filesystem::create_directory_symlink(folder, root.path() / "folder-link");
    auto contextAt = [&](const std::filesystem::path& path) {
        auto coordinator = plat::coredata::PersistentStoreCoordinator::create(makeFixtureModel());
        auto added = coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                                     plat::URL::fileURLWithPath(path.string()));
        EXPECT_TRUE(added.ok()) << path;
        auto context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
        return context;
    };
    // Whether a save of context, made while saves are monitored afresh,
    // counts as a save of the store (the save need not succeed: it counts
    // from its start).
    auto counts = [&](ManagedObjectContext& context) {
        integrator.startMonitoringSaves();
        context.insertNewObjectForEntityForName("Scratch");
        (void)context.save();  // a store whose file was removed may refuse it
        const bool seen = integrator.saveOccurredDuringMerge();
        integrator.stopMonitoringSaves();
        return seen;
    };
    auto other = contextAt(folder / "other.sqlite");
    auto own = contextAt(store);
    EXPECT_FALSE(counts(*other));
    EXPECT_TRUE(counts(*own));
    EXPECT_FALSE(counts(*other));  // seen before, told apart again
    EXPECT_TRUE(counts(*own));
    auto linked = contextAt(folder / "linked.sqlite");
    EXPECT_TRUE(counts(*linked));
    auto throughFolder = contextAt(root.path() / "folder-link" / store.filename());
    EXPECT_TRUE(counts(*throughFolder));
    // A store whose file has gone since it was opened is not the store.
    auto removed = contextAt(folder / "removed.sqlite");
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(folder / (std::string("removed.sqlite") + suffix));
    }
    EXPECT_FALSE(counts(*removed));
    // The integrator's own contexts never count.
    auto marked = contextAt(store);
    marked->setUserInfo(plat::Dictionary{{SYNBelongsToEventIntegratorKey, Value(true)}});
    EXPECT_FALSE(counts(*marked));
}

}  // namespace
}  // namespace integrationtest
