// The batch import's one look-up of identifier rows for every entity of a
// save, and its reading of the files it is given.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "EventFileFixture.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/integration/SYNEventFileSet.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::ManagedObjectContext;

class SYNBatchImportLookupTest : public EventFileTest {
  protected:
    // The source's save "S1": changes of Person and Pet "SAME", of Pet and
    // Person "PERSONONLY", of Person "NEW"; exported to one file.
    std::string exportedSave() {
        inContext(source, [&](ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event =
                writer.event("S1", SYNStoreModificationEventTypeSave, 1, SYNRevision{storeID(source), 1});
            for (const auto& [gid, entity] :
                 std::vector<std::pair<const char*, const char*>>{{"SAME", "Person"},
                                                                  {"SAME", "Pet"},
                                                                  {"PERSONONLY", "Pet"},
                                                                  {"PERSONONLY", "Person"},
                                                                  {"NEW", "Person"}}) {
                writer.change(event, gid, SYNObjectChangeTypeUpdate, {attribute("name", Value("x"))}, entity);
            }
            EXPECT_EQ(context.save(), nullptr);
        });
        return exportedTo(root.str() + "/in/S1", 1, {200});
    }

    std::vector<plat::coredata::ManagedObjectIDPtr> import(const std::vector<std::string>& paths) {
        SYNJSONEventBatchImport operation(destination, paths, 1000);
        operation.start();
        return operation.eventIDs();
    }
};

// "SAME" is held for three entities (the one no change names made first),
// "PERSONONLY" for Person only: each change must name its own entity's row,
// and no row may be made twice.
TEST_F(SYNBatchImportLookupTest, EachChangeLinksToTheRowOfItsOwnEntity) {
    inContext(destination, [&](ManagedObjectContext& context) {
        EventWriter writer(context);
        auto event =
            writer.event("LOCAL", SYNStoreModificationEventTypeSave, 1, SYNRevision{storeID(destination), 1});
        writer.identifier("SAME", "Other");
        writer.change(event, "SAME", SYNObjectChangeTypeInsert, {}, "Person");
        writer.change(event, "SAME", SYNObjectChangeTypeInsert, {}, "Pet");
        writer.change(event, "PERSONONLY", SYNObjectChangeTypeInsert, {}, "Person");
        EXPECT_EQ(context.save(), nullptr);
    });
    const std::string file = exportedSave();
    ASSERT_FALSE(file.empty());
    const auto events = import({file});
    ASSERT_EQ(events.size(), 1u);
    ASSERT_NE(events[0], nullptr);

    inContext(destination, [&](ManagedObjectContext& context) {
        auto rows = context.executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(rows.ok());
        std::set<std::string> names;
        for (const auto& row : *rows) {
            EXPECT_TRUE(names
                            .insert(row->valueForKey("globalIdentifier").description() + " " +
                                    row->valueForKey("nameOfEntity").description())
                            .second);
        }
        EXPECT_EQ(names.size(), 6u);  // the Pet "PERSONONLY" and the Person "NEW" made
        auto event = context.existingObjectWithID(events[0]);
        ASSERT_TRUE(event.ok());
        std::set<std::string> links;
        for (const auto& change : (*event)->objectsForKey("objectChanges")) {
            auto row = change->objectForKey("globalIdentifier");
            ASSERT_TRUE(row);
            EXPECT_EQ(row->valueForKey("nameOfEntity"), change->valueForKey("nameOfEntity"));
            links.insert(row->valueForKey("globalIdentifier").description() + " " +
                         row->valueForKey("nameOfEntity").description());
        }
        EXPECT_EQ(links, (std::set<std::string>{"SAME Person", "SAME Pet", "PERSONONLY Pet",
                                                "PERSONONLY Person", "NEW Person"}));
    });
}

// A FIFO and a file past the size bound are left out without being read (a
// FIFO holds nothing up); the valid file of the batch is imported.
TEST_F(SYNBatchImportLookupTest, OnlyRegularFilesWithinTheBoundAreRead) {
    const std::string file = exportedSave();
    ASSERT_FALSE(file.empty());
    const std::string fifo = root.str() + "/in/fifo", large = root.str() + "/in/large";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::copy_file(file, large);
    std::ofstream(large, std::ios::app) << ' ';
    std::filesystem::resize_file(large, SYNEventFileMaximumSize + 1);  // sparse
    const auto events = import({fifo, large, file});
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], nullptr);
    EXPECT_EQ(events[1], nullptr);
    EXPECT_NE(events[2], nullptr);
    EXPECT_EQ(describeEvent(destination, "S1"), describeEvent(source, "S1"));
}

}  // namespace
