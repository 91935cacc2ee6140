// The batch import's look-up of identifier rows for the changes of several
// entities at once, and its reading of the files it is given: each change
// links to the row of its own entity (one row per identifier and entity,
// none taken from another entity with the same identifier), the records
// handed to the integration are the stored ones, and only regular files
// within the size bound are read (a FIFO does not hold the import up).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "EventFileFixture.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/integration/SYNEventFileSet.h"
#include "sync/integration/SYNImportedChanges.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;

class SYNBatchImportLookupTest : public EventFileTest {
  protected:
    void TearDown() override {
        SYNImportedChanges::drop(*destination->managedObjectContext()->persistentStoreCoordinator());
        claimed_.reset();
        EventFileTest::TearDown();
    }

    // Imports the files in one save, with the hand-off claimed as the
    // integrator claims it; the events made (null for a file left out).
    std::vector<ManagedObjectIDPtr> import(const std::vector<std::string>& paths) {
        claimed_ = SYNImportedChanges::forCoordinator(
            destination->managedObjectContext()->persistentStoreCoordinator());
        SYNJSONEventBatchImport operation(destination, paths, 1000);
        operation.start();
        return operation.eventIDs();
    }

    // The source's save event "S1": updates of Person and Pet "SAME", a Pet
    // change of an identifier the destination holds for Person only, a new
    // Person, and an update of a Person the destination holds.
    std::string exportedSave() {
        inContext(source, [&](ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event =
                writer.event("S1", SYNStoreModificationEventTypeSave, 1, SYNRevision{storeID(source), 1});
            writer.change(event, "SAME", SYNObjectChangeTypeUpdate, {attribute("age", Value(int64_t{41}))});
            writer.change(event, "SAME", SYNObjectChangeTypeUpdate, {attribute("name", Value("Rex"))}, "Pet");
            writer.change(event, "PERSONONLY", SYNObjectChangeTypeInsert, {attribute("name", Value("Tom"))},
                          "Pet");
            writer.change(event, "PERSONONLY", SYNObjectChangeTypeUpdate,
                          {attribute("age", Value(int64_t{7}))});
            writer.change(event, "NEW", SYNObjectChangeTypeInsert, {attribute("name", Value("Ann"))});
            EXPECT_EQ(context.save(), nullptr);
        });
        return exportedTo(root.str() + "/in/S1", 1, {200});
    }

    // The identifier rows of the destination: key by identifier and entity.
    std::map<std::pair<std::string, std::string>, std::vector<int64_t>> rows() {
        return inContext(destination, [&](ManagedObjectContext& context) {
            std::map<std::pair<std::string, std::string>, std::vector<int64_t>> found;
            auto records = context.executeFetchRequest(FetchRequest(SYNGlobalIdentifierEntityName));
            EXPECT_TRUE(records.ok());
            if (records.ok()) {
                for (const auto& record : *records) {
                    found[{record->valueForKey("globalIdentifier").description(),
                           record->valueForKey("nameOfEntity").description()}]
                        .push_back(record->objectID()->primaryKey());
                }
            }
            return found;
        });
    }

    std::shared_ptr<SYNImportedChanges> claimed_;
};

TEST_F(SYNBatchImportLookupTest, EachChangeLinksToTheRowOfItsOwnEntity) {
    // The destination holds "SAME" as a third entity, a Person and a Pet,
    // and "PERSONONLY" as a Person.
    inContext(destination, [&](ManagedObjectContext& context) {
        EventWriter writer(context);
        auto event =
            writer.event("LOCAL", SYNStoreModificationEventTypeSave, 1, SYNRevision{storeID(destination), 1});
        // Made first: the first made row of an identifier is the one taken.
        writer.identifier("SAME", "Other");
        writer.change(event, "SAME", SYNObjectChangeTypeInsert, {attribute("age", Value(int64_t{40}))});
        writer.change(event, "SAME", SYNObjectChangeTypeInsert, {attribute("name", Value("Rex"))}, "Pet");
        writer.change(event, "PERSONONLY", SYNObjectChangeTypeInsert, {attribute("age", Value(int64_t{6}))});
        EXPECT_EQ(context.save(), nullptr);
    });
    const auto before = rows();
    ASSERT_EQ(before.size(), 4u);

    const std::string file = exportedSave();
    ASSERT_FALSE(file.empty());
    const auto events = import({file});
    ASSERT_EQ(events.size(), 1u);
    ASSERT_NE(events[0], nullptr);

    // Rows kept, one per identifier and entity; the two new ones made for
    // the Pet "PERSONONLY" and the Person "NEW".
    const auto after = rows();
    EXPECT_EQ(after.size(), 6u);
    for (const auto& [name, keys] : after) {
        EXPECT_EQ(keys.size(), 1u) << name.first << " " << name.second;
        auto earlier = before.find(name);
        if (earlier != before.end()) {
            EXPECT_EQ(keys, earlier->second) << name.first << " " << name.second;
        }
    }
    EXPECT_TRUE(after.count({"PERSONONLY", "Pet"}));
    EXPECT_TRUE(after.count({"NEW", "Person"}));

    // Each imported change names the row of its own identifier and entity.
    auto links = inContext(destination, [&](ManagedObjectContext& context) {
        std::multiset<std::string> found;
        auto event = context.existingObjectWithID(events[0]);
        EXPECT_TRUE(event.ok());
        if (!event.ok()) {
            return found;
        }
        for (const auto& change : (*event)->objectsForKey("objectChanges")) {
            auto record = change->objectForKey("globalIdentifier");
            EXPECT_TRUE(record);
            if (record) {
                found.insert(change->valueForKey("nameOfEntity").description() + " -> " +
                             record->valueForKey("globalIdentifier").description() + " " +
                             record->valueForKey("nameOfEntity").description() + " " +
                             std::to_string(record->objectID()->primaryKey()));
            }
        }
        return found;
    });
    auto key = [&](const char* identifier, const char* entity) {
        return std::to_string(after.at({identifier, entity}).front());
    };
    const std::multiset<std::string> expected{
        "Person -> SAME Person " + key("SAME", "Person"),
        "Pet -> SAME Pet " + key("SAME", "Pet"),
        "Pet -> PERSONONLY Pet " + key("PERSONONLY", "Pet"),
        "Person -> PERSONONLY Person " + key("PERSONONLY", "Person"),
        "Person -> NEW Person " + key("NEW", "Person"),
    };
    EXPECT_EQ(links, expected);

    // The records handed over name the same rows, with their strings.
    std::multiset<std::string> handed;
    std::vector<ManagedObjectIDPtr> missing;
    inContext(destination, [&](ManagedObjectContext&) {
        std::vector<SYNChangeRecord> records;
        claimed_->takeChanges(
            events, [&](SYNChangeRecord& record, const ManagedObjectIDPtr&) { records.push_back(record); },
            missing);
        ASSERT_TRUE(claimed_->readIdentifierRows(records));
        for (const auto& record : records) {
            handed.insert(record.entityName + " -> " + record.globalIdentifier.value_or("<none>") + " " +
                          record.globalIdentifierEntityName + " " +
                          std::to_string(record.globalIdentifierID->primaryKey()));
        }
    });
    EXPECT_TRUE(missing.empty());
    EXPECT_EQ(handed, expected);
}

// Files that are not regular, or larger than an event file may be, are left
// out without being read; the others of the batch are imported.
TEST_F(SYNBatchImportLookupTest, OnlyRegularFilesWithinTheBoundAreRead) {
    const std::string file = exportedSave();
    ASSERT_FALSE(file.empty());
    const std::string in = root.str() + "/in/";
    const std::string fifo = in + "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A JSON object padded with blanks past the bound, made sparse.
    const std::string large = in + "large";
    std::filesystem::copy_file(file, large);
    { std::ofstream(large, std::ios::app) << ' '; }
    std::filesystem::resize_file(large, SYNEventFileMaximumSize + 1);
    const std::string link = in + "link";
    std::filesystem::create_symlink(file, link);

    const auto events = import({fifo, large, link, file});
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], nullptr);
    EXPECT_EQ(events[1], nullptr);
    EXPECT_EQ(events[2], nullptr);
    EXPECT_NE(events[3], nullptr);
    EXPECT_EQ(countEvents(destination), 1u);
    EXPECT_EQ(describeEvent(destination, "S1"), describeEvent(source, "S1"));
}

}  // namespace
