// What an import into a new event store writes, read back from the files in
// a fresh context: over many batches (the baseline saved with the first, the
// later ones linking their changes to it one way, the changes' pass walking
// the keys the identifier pass read), every change names the baseline and
// its object's record, the records' identifiers go in ascending order, and a
// to-many's change names the identifiers of exactly its members.
#include <set>

#include "MeshFixture.h"
#include "platform/foundation/UUID.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/mesh/SYNPersistentStoreImporter.h"

namespace meshtest {
namespace {

using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;

class ImporterLinksTest : public MeshTest {
  protected:
    static constexpr int kTasks = 1710;  // four batches of the changes' pass
    static constexpr int kTags = 7;

    void SetUp() override {
        MeshTest::SetUp();
        path = (root / "app.sqlite").string();
        AppStore app(path);
        std::vector<ManagedObjectPtr> tags;
        for (int i = 0; i < kTags; ++i) {
            auto tag = app.context->insertNewObjectForEntityForName("Tag");
            tag->setValue(plat::Value("tag " + std::to_string(i)), "name");
            tags.push_back(tag);
        }
        for (int i = 0; i < kTasks; ++i) {
            auto task = app.addTask("task " + std::to_string(i), i, i % 11 == 0 ? "UrgentTask" : "Task");
            // Tag i % kTags, and every fifth task tag 0 as well.
            task->mutableSetValueForKey("tags").addObject(tags[static_cast<std::size_t>(i % kTags)]);
            if (i % 5 == 0) {
                task->mutableSetValueForKey("tags").addObject(tags[0]);
            }
        }
        ASSERT_EQ(app.save(), nullptr);
    }

    // Imports the store into a new event store, then reads it back through a
    // context of its own over a new coordinator of the event store's files.
    void importAndReadBack(const std::function<void(ManagedObjectContext&)>& read) {
        auto store = SYNEventStore::create("main", (root / "events").string());
        ASSERT_TRUE(store);
        ASSERT_EQ(store->prepareNewEventStore(), nullptr);
        auto importer = std::make_shared<SYNPersistentStoreImporter>(path, taskModel(), store);
        ASSERT_EQ(wait([&](SYNCompletion done) { importer->importWithCompletion(done); }), nullptr);
        auto context = store->managedObjectContext();
        context->performBlockAndWait([&] {
            context->reset();
            read(*context);
        });
    }

    std::string path;
};

TEST_F(ImporterLinksTest, EveryChangeOfAManyBatchImportNamesTheBaselineAndItsObjectsRecord) {
    importAndReadBack([&](ManagedObjectContext& context) {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeBaseline}, std::nullopt, context);
        ASSERT_TRUE(events.ok());
        ASSERT_EQ(events->size(), 1u);
        const auto baseline = (*events)[0];
        // Finalized after the batches that linked to it one way.
        EXPECT_EQ(SYNStoreModificationEvent::type(*baseline), SYNStoreModificationEventTypeBaseline);
        EXPECT_GE(SYNStoreModificationEvent::globalCount(*baseline), 1);

        const std::size_t objects = kTasks + kTags;
        auto changes = context.executeFetchRequest(FetchRequest(SYNObjectChangeEntityName));
        ASSERT_TRUE(changes.ok());
        ASSERT_EQ(changes->size(), objects);
        // The event's list, as the store gives it, holds every change.
        EXPECT_EQ(baseline->objectsForKey("objectChanges").size(), objects);
        std::set<const plat::coredata::ManagedObject*> records;
        for (const auto& change : *changes) {
            auto event = change->objectForKey("storeModificationEvent");
            ASSERT_TRUE(event);
            EXPECT_TRUE(event->objectID()->isEqualID(*baseline->objectID()));
            auto record = change->objectForKey("globalIdentifier");
            ASSERT_TRUE(record);
            EXPECT_TRUE(records.insert(record.get()).second) << "two changes name one record";
            const auto linked = record->objectsForKey("objectChanges");
            ASSERT_EQ(linked.size(), 1u);
            EXPECT_EQ(linked[0], change);
            EXPECT_EQ(record->valueForKey("nameOfEntity"), change->valueForKey("nameOfEntity"));
            EXPECT_TRUE(SYNObjectChange::valuesRevision(*change).has_value());
        }
        EXPECT_EQ(*context.countForFetchRequest(FetchRequest(SYNGlobalIdentifierEntityName)), objects);
    });
}

TEST_F(ImporterLinksTest, NewIdentifiersAreRandomUUIDsInAscendingOrderOfTheirRecords) {
    importAndReadBack([&](ManagedObjectContext& context) {
        auto records = context.executeFetchRequest(FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(records.ok());
        ASSERT_EQ(records->size(), static_cast<std::size_t>(kTasks + kTags));
        std::string previous;
        for (const auto& record : *records) {  // in key order: the order they were made
            const plat::Value text = record->valueForKey("globalIdentifier");
            ASSERT_TRUE(text.isString());
            const auto uuid = plat::UUID::fromString(*text.asString());
            ASSERT_TRUE(uuid) << *text.asString();
            EXPECT_EQ(uuid->UUIDString(), *text.asString());  // upper case, as made
            EXPECT_EQ((*text.asString())[14], '4');
            EXPECT_LT(previous, *text.asString());
            previous = *text.asString();
        }
    });
}

TEST_F(ImporterLinksTest, ATagsChangeNamesTheIdentifiersOfExactlyItsTasks) {
    importAndReadBack([&](ManagedObjectContext& context) {
        // Each object's identifier, by its store URI.
        std::map<std::string, std::string> identifierOf;
        auto records = context.executeFetchRequest(FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(records.ok());
        for (const auto& record : *records) {
            identifierOf[*SYNStoreURIs::forContext(context)->decode(record->valueForKey("storeURI"))] =
                *record->valueForKey("globalIdentifier").asString();
        }
        // The tags' members, from the application store.
        AppStore app(path);
        auto tags = app.context->executeFetchRequest(FetchRequest("Tag"));
        ASSERT_TRUE(tags.ok());
        ASSERT_EQ(tags->size(), static_cast<std::size_t>(kTags));
        for (const auto& tag : *tags) {
            std::set<std::string> expected;
            for (const auto& task : tag->objectsForKey("tasks")) {
                expected.insert(identifierOf.at(SYNGlobalIdentifier::storeURIForObjectID(*task->objectID())));
            }
            ASSERT_FALSE(expected.empty());
            const std::string& tagIdentifier =
                identifierOf.at(SYNGlobalIdentifier::storeURIForObjectID(*tag->objectID()));
            auto record = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings({tagIdentifier},
                                                                                          "Tag", context);
            ASSERT_TRUE(record.ok());
            ASSERT_EQ(record->size(), 1u);
            const auto changes = (*record)[0]->objectsForKey("objectChanges");
            ASSERT_EQ(changes.size(), 1u);
            bool found = false;
            for (const auto& value : SYNObjectChange::propertyChangeValues(*changes[0])) {
                if (value.propertyName() == "tasks") {
                    EXPECT_EQ(value.addedIdentifiers(), expected);
                    found = true;
                }
            }
            EXPECT_TRUE(found);
        }
        // A task's change names its tags' identifiers too.
        auto tasks = app.context->executeFetchRequest(FetchRequest("Task"));
        ASSERT_TRUE(tasks.ok());
        ASSERT_EQ(tasks->size(), static_cast<std::size_t>(kTasks));
        const auto& task = tasks->front();
        std::set<std::string> expected;
        for (const auto& tag : task->objectsForKey("tags")) {
            expected.insert(identifierOf.at(SYNGlobalIdentifier::storeURIForObjectID(*tag->objectID())));
        }
        auto record = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings(
            {identifierOf.at(SYNGlobalIdentifier::storeURIForObjectID(*task->objectID()))},
            task->entity()->name(), context);
        ASSERT_TRUE(record.ok());
        ASSERT_EQ(record->size(), 1u);
        for (const auto& value :
             SYNObjectChange::propertyChangeValues(*(*record)[0]->objectsForKey("objectChanges").at(0))) {
            if (value.propertyName() == "tags") {
                EXPECT_EQ(value.addedIdentifiers(), expected);
            }
        }
    });
}

}  // namespace
}  // namespace meshtest
