// The records the import hands over come event by event, the changes of
// several entities mixed within each event; the merge files them under their
// entities (the list of the last entity seen is kept at hand) and puts them
// into the change cache from where they were read. Several events imported
// in one batch, each touching entities in a different order, must give the
// store a merge of the stored rows gives, and the sending machine's.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

class SYNHandedRecordsByEntityTest : public IntegrationTest {
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
                    // The migrator's files go with its next event: each is
                    // kept under a name of its own for the batch.
                    for (const auto& file : files) {
                        const auto kept = root / ("event-" + std::to_string(++files_) + ".json");
                        std::filesystem::copy_file(file, kept);
                        paths.push_back(kept.string());
                    }
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
    int files_ = 0;
};

using Edit = std::function<void(ManagedObjectContext&)>;

// Saves that each change several entities, inserted and changed in an order
// of their own, so that the records of one event alternate between
// entities.
std::vector<Edit> mixedSaves(int round) {
    const std::string n = std::to_string(round);
    return {
        [n](ManagedObjectContext& context) {
            auto calendar = context.insertNewObjectForEntityForName("Calendar");
            calendar->setValue(Value("calendar " + n), "name");
            auto playlist = context.insertNewObjectForEntityForName("Playlist");
            playlist->setValue(Value("playlist " + n), "name");
            auto task = context.insertNewObjectForEntityForName("Task");
            task->setValue(Value("task " + n), "title");
            task->setObject(calendar, "calendar");
            auto item = context.insertNewObjectForEntityForName("Item");
            item->setValue(Value("item " + n), "label");
            item->setObject(playlist, "playlist");
            auto canvas = context.insertNewObjectForEntityForName("Canvas");
            canvas->setValue(Value("canvas " + n), "name");
            auto circle = context.insertNewObjectForEntityForName("Circle");
            circle->setValue(Value("circle " + n), "name");
            circle->setValue(Value(1.5), "radius");
            circle->setObject(canvas, "canvas");
            auto subtask = context.insertNewObjectForEntityForName("Task");
            subtask->setValue(Value("subtask " + n), "title");
            subtask->setObject(task, "parent");
            for (const char* name : {"shape ", "kept shape "}) {
                auto shape = context.insertNewObjectForEntityForName("Shape");
                shape->setValue(Value(name + n), "name");
                shape->setObject(canvas, "canvas");
            }
        },
        [n](ManagedObjectContext& context) {
            auto item = objectWhere(context, "Item", "label", Value("item " + n));
            item->setValue(Value("item " + n + " renamed"), "label");
            objectWhere(context, "Shape", "name", Value("circle " + n))->setValue(Value(2.5), "radius");
            auto second = context.insertNewObjectForEntityForName("Calendar");
            second->setValue(Value("second " + n), "name");
            objectWhere(context, "Task", "title", Value("task " + n))->setObject(second, "calendar");
            auto more = context.insertNewObjectForEntityForName("Item");
            more->setValue(Value("more " + n), "label");
            more->setObject(objectWhere(context, "Playlist", "name", Value("playlist " + n)), "playlist");
            objectWhere(context, "Canvas", "name", Value("canvas " + n))
                ->setValue(Value("canvas " + n + " renamed"), "name");
        },
        [n](ManagedObjectContext& context) {
            context.deleteObject(objectWhere(context, "Shape", "name", Value("shape " + n)));
            objectWhere(context, "Task", "title", Value("subtask " + n))
                ->setValue(Value("subtask " + n + " done"), "title");
            context.deleteObject(objectWhere(context, "Calendar", "name", Value("calendar " + n)));
            objectWhere(context, "Playlist", "name", Value("playlist " + n))
                ->setValue(Value("playlist " + n + " renamed"), "name");
        },
    };
}

// Each round's saves go over in one batch of several files: the hand-off
// holds several events, each mixing entities; the merge of the handed
// records, the merge of the stored rows and the sender agree.
TEST_F(SYNHandedRecordsByEntityTest, EventsMixingEntitiesMergeAsTheStoredRowsDo) {
    Machine& a = addMachine("a");
    Machine& handed = addMachine("handed");
    Machine& read = addMachine("read");
    auto baseline =
        a.makeEmptyBaseline({a.storeIdentifier(), handed.storeIdentifier(), read.storeIdentifier()});
    copyEvents(*a.eventStore(), *handed.eventStore());
    copyEvents(*a.eventStore(), *read.eventStore());
    handed.adoptBaseline(baseline);
    read.adoptBaseline(baseline);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const auto& save : mixedSaves(round)) {
            ASSERT_EQ(a.recordSave(save), nullptr);
        }
        const auto paths = exportNewSaves(a);
        ASSERT_EQ(paths.size(), 3u);
        EXPECT_TRUE(import(handed, paths));
        EXPECT_TRUE(import(read, paths));
        SYNImportedChanges::drop(*coordinatorOf(read));
        ASSERT_EQ(handed.merge(), nullptr);
        ASSERT_EQ(read.merge(), nullptr);
        EXPECT_FALSE(SYNImportedChanges::find(*coordinatorOf(handed))->usable());
        const auto expected = a.dump();
        EXPECT_EQ(handed.dump(), expected);
        EXPECT_EQ(read.dump(), expected);
        // Every entity's objects went over: the dump has lines of each.
        for (const std::string name : {"Calendar", "Task", "Playlist", "Item", "Canvas", "Circle", "Shape"}) {
            EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [&](const std::string& line) {
                return line.rfind(name + " ", 0) == 0;
            })) << name;
        }
    }
}

}  // namespace
}  // namespace integrationtest
