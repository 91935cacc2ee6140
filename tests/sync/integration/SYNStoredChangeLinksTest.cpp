// The links of the changes an import and a merge write, read back through a
// context of their own: each change names its event and identifier record,
// and each event and record lists exactly the changes that name it, also a
// record saved before with changes of earlier events.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "EventFileFixture.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/IntegrationFixture.h"
#include "sync/integration/SYNEventMigrator.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using plat::Value;
using plat::coredata::ConcurrencyType;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

// A context of its own on the event store's coordinator: nothing the writer
// left registered can answer for the rows.
std::shared_ptr<ManagedObjectContext> freshContext(const std::shared_ptr<SYNEventStore>& store) {
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(store->managedObjectContext()->persistentStoreCoordinator());
    return context;
}

std::set<int64_t> keysOf(const std::vector<ManagedObjectPtr>& objects) {
    std::set<int64_t> keys;
    for (const auto& object : objects) {
        keys.insert(object->objectID()->primaryKey());
    }
    return keys;
}

// Every change of the store checked against both lists: the changes by the
// key of their event and of their record must be what the events and records
// list. Gives the changes' keys by event key.
std::map<int64_t, std::set<int64_t>> checkLinksBothWays(ManagedObjectContext& context) {
    std::map<int64_t, std::set<int64_t>> byEvent, byRecord;
    auto changes = context.executeFetchRequest(FetchRequest(SYNObjectChangeEntityName));
    EXPECT_TRUE(changes.ok());
    if (!changes.ok()) {
        return byEvent;
    }
    for (const auto& change : *changes) {
        auto event = change->objectForKey("storeModificationEvent");
        auto record = change->objectForKey("globalIdentifier");
        EXPECT_TRUE(event && record);
        if (!event || !record) {
            continue;
        }
        EXPECT_EQ(record->valueForKey("nameOfEntity"), change->valueForKey("nameOfEntity"));
        byEvent[event->objectID()->primaryKey()].insert(change->objectID()->primaryKey());
        byRecord[record->objectID()->primaryKey()].insert(change->objectID()->primaryKey());
    }
    auto events = context.executeFetchRequest(FetchRequest(SYNStoreModificationEventEntityName));
    auto records = context.executeFetchRequest(FetchRequest(SYNGlobalIdentifierEntityName));
    EXPECT_TRUE(events.ok() && records.ok());
    if (!events.ok() || !records.ok()) {
        return byEvent;
    }
    for (const auto& event : *events) {
        const int64_t key = event->objectID()->primaryKey();
        EXPECT_EQ(keysOf(event->objectsForKey("objectChanges")), byEvent[key]) << "event " << key;
    }
    for (const auto& record : *records) {
        const int64_t key = record->objectID()->primaryKey();
        EXPECT_EQ(keysOf(record->objectsForKey("objectChanges")), byRecord[key]) << "record " << key;
    }
    return byEvent;
}

// --- The batch import ---------------------------------------------------------------

class SYNImportedChangeLinksTest : public integrationtest::EventFileTest {
  protected:
    // Writes the source's save event "E<number>" and exports it: the path of
    // its one file.
    std::string exportedSave(int number, std::size_t changes) {
        writeEvent(source, "E" + std::to_string(number), SYNStoreModificationEventTypeSave, number, number,
                   changes);
        return exportedTo(root.str() + "/in-E" + std::to_string(number), number, {200, 300});
    }

    std::vector<ManagedObjectIDPtr> import(const std::vector<std::string>& paths, std::size_t changeLimit) {
        SYNJSONEventBatchImport operation(destination, paths, changeLimit);
        operation.start();
        return operation.eventIDs();
    }
};

// The destination already holds an event whose changes name records of
// the objects the imported events change again: the saved records must list
// their old and new changes, the records made by the import theirs, and
// each imported event its own (several events a save, and several saves).
TEST_F(SYNImportedChangeLinksTest, ImportedChangesAreListedByTheirEventsAndSavedRecords) {
    writeEvent(destination, "LOCAL", SYNStoreModificationEventTypeSave, 1, 1, 2);
    const auto before = [&] {
        auto context = freshContext(destination);
        return checkLinksBothWays(*context);
    }();
    ASSERT_EQ(before.size(), 1u);
    const std::size_t localChanges = before.begin()->second.size();

    std::vector<std::string> paths;
    for (int i = 2; i <= 5; ++i) {
        paths.push_back(exportedSave(i, static_cast<std::size_t>(i)));
        ASSERT_FALSE(paths.back().empty());
    }
    const auto events = import(paths, 12);
    ASSERT_EQ(events.size(), 4u);
    for (const auto& id : events) {
        ASSERT_NE(id, nullptr);
    }

    auto context = freshContext(destination);
    const auto byEvent = checkLinksBothWays(*context);
    ASSERT_EQ(byEvent.size(), 5u);
    for (std::size_t i = 0; i < events.size(); ++i) {
        auto found = byEvent.find(events[i]->primaryKey());
        ASSERT_NE(found, byEvent.end());
        // writeEvent's save: `count` inserts, two updates, a delete and a Pet.
        EXPECT_EQ(found->second.size(), i + 2 + 4) << "event " << i;
    }
    EXPECT_EQ(byEvent.at(before.begin()->first).size(), localChanges);
    // P000000 and P000001 had records before the import: each is still one
    // record, listing the local change and one of every imported event.
    FetchRequest request(SYNGlobalIdentifierEntityName);
    request.predicate = plat::coredata::Predicate::equal("globalIdentifier", Value("P000001"));
    auto records = context->executeFetchRequest(request);
    ASSERT_TRUE(records.ok());
    std::size_t people = 0;
    for (const auto& record : *records) {
        if (record->valueForKey("nameOfEntity") == Value("Person")) {
            ++people;
            EXPECT_EQ(record->objectsForKey("objectChanges").size(), 1u + events.size());
        }
    }
    EXPECT_EQ(people, 1u);
}

// --- The merge event -----------------------------------------------------------------

class SYNMergeChangeLinksTest : public integrationtest::IntegrationTest {};

// A repair during the merge gives the merge event changes of objects whose
// records earlier events made: read back, the merge event lists them and
// the records list them beside the earlier changes.
TEST_F(SYNMergeChangeLinksTest, RepairChangesAreListedByTheMergeEventAndSavedRecords) {
    auto& a = addMachine("a");
    auto& b = addMachine("b");
    auto baseline = a.makeEmptyBaseline({a.storeIdentifier(), b.storeIdentifier()});
    integrationtest::copyEvents(*a.eventStore(), *b.eventStore());
    b.adoptBaseline(baseline);
    populate(a);
    integrationtest::copyEvents(*a.eventStore(), *b.eventStore());
    ASSERT_EQ(b.merge(), nullptr);
    ASSERT_EQ(a.recordSave([](ManagedObjectContext& context) {
        integrationtest::objectWhere(context, "Task", "title", Value("task1"))
            ->setValue(Value("from a"), "title");
    }),
              nullptr);
    integrationtest::copyEvents(*a.eventStore(), *b.eventStore());
    b.integrator()->setShouldSaveBlock([&](ManagedObjectContext&, ManagedObjectContext& reparation) {
        reparation.performBlockAndWait([&] {
            // Asked again for a later batch, when these are done.
            if (auto calendar = integrationtest::objectWhere(reparation, "Calendar", "name", Value("work"))) {
                calendar->setValue(Value("repaired"), "name");
            }
            if (auto task = integrationtest::objectWhere(reparation, "Task", "title", Value("task2"))) {
                task->setValue(Value("repaired too"), "title");
            }
        });
        return true;
    });
    ASSERT_EQ(b.merge(), nullptr);
    b.integrator()->setShouldSaveBlock(nullptr);

    auto context = freshContext(b.eventStore());
    const auto byEvent = checkLinksBothWays(*context);
    auto merges = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
        std::vector<int16_t>{SYNStoreModificationEventTypeMerge}, std::nullopt, *context);
    ASSERT_TRUE(merges.ok());
    std::size_t withChanges = 0;
    for (const auto& merge : *merges) {
        if (SYNStoreModificationEvent::storeIdentifier(*merge) != b.storeIdentifier()) {
            continue;
        }
        const auto changes = merge->objectsForKey("objectChanges");
        if (changes.empty()) {
            continue;
        }
        ++withChanges;
        EXPECT_EQ(keysOf(changes), byEvent.at(merge->objectID()->primaryKey()));
        std::set<std::string> entities;
        for (const auto& change : changes) {
            auto record = change->objectForKey("globalIdentifier");
            ASSERT_TRUE(record);
            entities.insert(*change->valueForKey("nameOfEntity").asString());
            // The record was made by a's inserts: it lists them too.
            EXPECT_GE(record->objectsForKey("objectChanges").size(), 2u)
                << record->valueForKey("globalIdentifier").description();
        }
        EXPECT_EQ(entities, (std::set<std::string>{"Calendar", "Task"}));
    }
    EXPECT_EQ(withChanges, 1u);
}

}  // namespace
