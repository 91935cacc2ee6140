// A merge of events brought in by the batch import integrates the records the
// import handed over: the store it gives must be the one a merge that reads
// the stored rows gives.
#include <gtest/gtest.h>

#include <set>

#include "platform/dispatch/MainLoop.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"
#include "sync/integration/SYNEventMigrator.h"
#include "sync/integration/SYNImportedChanges.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace integrationtest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;

class SYNImportedChangesMergeTest : public IntegrationTest {
  protected:
    // The files of the machine's save events not exported yet, one file each.
    std::vector<std::string> exportNewSaves(Machine& machine) {
        std::vector<ManagedObjectIDPtr> saves;
        auto context = machine.eventStore()->managedObjectContext();
        context->performBlockAndWait([&] {
            auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
            ASSERT_TRUE(events.ok());
            for (const auto& event : *events) {
                if (exported_.insert(SYNStoreModificationEvent::uniqueIdentifier(*event)).second) {
                    saves.push_back(event->objectID());
                }
            }
        });
        std::vector<std::string> paths;
        SYNEventMigrator migrator(machine.eventStore(), machine.integrator()->managedObjectModel());
        for (const auto& id : saves) {
            bool done = false;
            migrator.migrateStoreModificationEventToTemporaryFiles(
                id, [&](plat::ErrorPtr error, std::vector<std::string> files) {
                    EXPECT_EQ(error, nullptr);
                    EXPECT_EQ(files.size(), 1u);  // the batch import takes events of one file
                    paths.insert(paths.end(), files.begin(), files.end());
                    done = true;
                });
            EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 60));
        }
        return paths;
    }

    static std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinatorOf(Machine& machine) {
        return machine.eventStore()->managedObjectContext()->persistentStoreCoordinator();
    }

    // Imports the files in one batch; whether their records were handed over.
    static bool import(Machine& machine, const std::vector<std::string>& paths) {
        SYNJSONEventBatchImport operation(machine.eventStore(), paths, 1000);
        operation.start();
        for (const auto& id : operation.eventIDs()) {
            EXPECT_NE(id, nullptr);
        }
        auto handOff = SYNImportedChanges::find(*coordinatorOf(machine));
        return handOff && handOff->usable();
    }

    std::set<std::string> exported_;
};

// Inserts of two entities with links between them and within one, a task
// moved to a calendar inserted in the same save, renames, a delete, an
// insert into a calendar merged before: each round's merge with the handed records and one
// without give the sending machine's store.
TEST_F(SYNImportedChangesMergeTest, AMergeOfHandedRecordsGivesTheStoreOfAMergeOfStoredRows) {
    Machine& a = addMachine("a");
    Machine& handed = addMachine("handed");
    Machine& read = addMachine("read");
    auto baseline =
        a.makeEmptyBaseline({a.storeIdentifier(), handed.storeIdentifier(), read.storeIdentifier()});
    copyEvents(*a.eventStore(), *handed.eventStore());
    copyEvents(*a.eventStore(), *read.eventStore());
    handed.adoptBaseline(baseline);
    read.adoptBaseline(baseline);

    const std::vector<std::function<void(ManagedObjectContext&)>> saves{
        [](ManagedObjectContext& context) {
            auto home = context.insertNewObjectForEntityForName("Calendar");
            home->setValue(Value("home"), "name");
            auto first = context.insertNewObjectForEntityForName("Task");
            first->setValue(Value("first"), "title");
            first->setObject(home, "calendar");
            auto second = context.insertNewObjectForEntityForName("Task");
            second->setValue(Value("second"), "title");
            second->setObject(home, "calendar");
            second->setObject(first, "parent");
        },
        [](ManagedObjectContext& context) {
            auto work = context.insertNewObjectForEntityForName("Calendar");
            work->setValue(Value("work"), "name");
            objectWhere(context, "Task", "title", Value("first"))->setObject(work, "calendar");
            objectWhere(context, "Task", "title", Value("second"))->setValue(Value("renamed"), "title");
        },
        [](ManagedObjectContext& context) {
            context.deleteObject(objectWhere(context, "Task", "title", Value("renamed")));
            objectWhere(context, "Calendar", "name", Value("home"))->setValue(Value("house"), "name");
        },
        [](ManagedObjectContext& context) {
            auto third = context.insertNewObjectForEntityForName("Task");
            third->setValue(Value("third"), "title");
            third->setObject(objectWhere(context, "Calendar", "name", Value("house")), "calendar");
        },
    };
    for (std::size_t round = 0; round < saves.size(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(a.recordSave(saves[round]), nullptr);
        const auto paths = exportNewSaves(a);
        ASSERT_EQ(paths.size(), 1u);
        EXPECT_TRUE(import(handed, paths));
        EXPECT_TRUE(import(read, paths));
        SYNImportedChanges::drop(*coordinatorOf(read));
        ASSERT_EQ(handed.merge(), nullptr);
        ASSERT_EQ(read.merge(), nullptr);
        // The merge took the records, then forgot what was left.
        EXPECT_FALSE(SYNImportedChanges::find(*coordinatorOf(handed))->usable());
        EXPECT_EQ(handed.dump(), a.dump());
        EXPECT_EQ(read.dump(), a.dump());
    }
}

}  // namespace
}  // namespace integrationtest
