// The hand-off's answer that imported events have no data-file record, and
// the integrability check that takes it: each answer is compared with a
// fetch of the data-file records of the same events in the store on disk,
// and the check's result with the answer set with the one without.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "EventFileFixture.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNRevisionManager.h"
#include "sync/integration/SYNImportedChanges.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::Predicate;

class SYNImportedDataFilesTest : public EventFileTest {
  protected:
    void TearDown() override {
        SYNImportedChanges::drop(*coordinatorOf(destination));
        claimed_.reset();
        EventFileTest::TearDown();
    }

    static std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinatorOf(
        const std::shared_ptr<SYNEventStore>& store) {
        return store->managedObjectContext()->persistentStoreCoordinator();
    }

    // A save event of the store, the `number`th of its own (revision
    // number - 1, so that the store's revisions have no gap, and no revision
    // of another store), with a data-file record when withFile.
    ManagedObjectIDPtr writeSave(const std::shared_ptr<SYNEventStore>& store, int number, bool withFile) {
        return inContext(store, [&](ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event = writer.event("F" + std::to_string(number), SYNStoreModificationEventTypeSave, number,
                                      SYNRevision{storeID(store), number - 1});
            std::vector<SYNPropertyChangeValue> values{
                attribute("name", Value("n" + std::to_string(number)))};
            if (withFile) {
                SYNPropertyChangeValue large(SYNPropertyChangeTypeAttribute, "photo");
                large.setFilename("0123456789ABCDEF0123456789ABCDE" + std::to_string(number % 10));
                values.push_back(large);
            }
            writer.change(event, "P" + std::to_string(number), SYNObjectChangeTypeInsert, values);
            EXPECT_EQ(context.save(), nullptr);
            return event->objectID();
        });
    }

    // The source's save `number`, exported to one file: its path.
    std::string exportedSave(int number, bool withFile) {
        writeSave(source, number, withFile);
        return exportedTo(root.str() + "/in/F" + std::to_string(number), number - 1, {200, 300});
    }

    std::vector<ManagedObjectIDPtr> import(const std::vector<std::string>& paths) {
        if (!claimed_) {
            claimed_ = SYNImportedChanges::forCoordinator(coordinatorOf(destination));
        }
        SYNJSONEventBatchImport operation(destination, paths, 100);
        operation.start();
        return operation.eventIDs();
    }

    // The hand-off's answer, as the integrator asks it.
    bool handedAnswer(const std::vector<ManagedObjectIDPtr>& events) {
        return inContext(destination, [&](ManagedObjectContext& context) {
            auto handOff = SYNImportedChanges::find(*coordinatorOf(destination));
            return handOff && !context.hasChanges() && handOff->eventsHaveNoDataFiles(events);
        });
    }

    // The store's answer: the data-file records of the events.
    std::size_t storedFiles(const std::vector<ManagedObjectIDPtr>& events) {
        return inContext(destination, [&](ManagedObjectContext& context) {
            plat::Array list;
            for (const auto& id : events) {
                list.push_back(Value(plat::ObjectPtr(id)));
            }
            FetchRequest request(SYNDataFileEntityName);
            request.predicate = Predicate::in("objectChange.storeModificationEvent", Value(std::move(list)));
            auto found = context.executeFetchRequest(request);
            EXPECT_TRUE(found.ok());
            return found.ok() ? found->size() : std::size_t{0};
        });
    }

    // A true answer must never contradict the store.
    void expectAnswerHolds(const std::vector<ManagedObjectIDPtr>& events) {
        if (handedAnswer(events)) {
            EXPECT_EQ(storedFiles(events), 0u);
        }
    }

    // The integrability check of the events, with and without the hand-off's
    // answer: kept events (by key) and codes.
    std::pair<std::vector<int64_t>, std::set<int64_t>> integrable(
        const std::vector<ManagedObjectIDPtr>& events, bool withAnswer) {
        SYNRevisionManager manager(destination);
        if (withAnswer) {
            manager.setEventsWithoutDataFiles([&](const SYNManagedObjects& objects) {
                std::vector<ManagedObjectIDPtr> ids;
                for (const auto& object : objects) {
                    ids.push_back(object->objectID());
                }
                auto handOff = SYNImportedChanges::find(*coordinatorOf(destination));
                return handOff && handOff->eventsHaveNoDataFiles(ids);
            });
        }
        return inContext(destination, [&](ManagedObjectContext& context) {
            SYNManagedObjects objects;
            for (const auto& id : events) {
                auto object = context.existingObjectWithID(id);
                EXPECT_TRUE(object.ok());
                if (object.ok()) {
                    objects.push_back(*object);
                }
            }
            std::set<int64_t> codes;
            auto kept = manager.integrableEventsFromEvents(objects, codes);
            EXPECT_TRUE(kept.ok());
            std::vector<int64_t> keys;
            if (kept.ok()) {
                for (const auto& event : *kept) {
                    keys.push_back(event->objectID()->primaryKey());
                }
            }
            return std::make_pair(keys, codes);
        });
    }

    std::shared_ptr<SYNImportedChanges> claimed_;
};

TEST_F(SYNImportedDataFilesTest, EventsImportedWithoutFilesAreKnownToHaveNone) {
    const auto first = exportedSave(1, false);
    const auto second = exportedSave(2, false);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    const auto events = import({first, second});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(handedAnswer(events));
    EXPECT_EQ(storedFiles(events), 0u);
    EXPECT_EQ(integrable(events, true), integrable(events, false));
    EXPECT_EQ(integrable(events, true).first.size(), 2u);

    // An event the import did not store is not answered for.
    const auto local = writeSave(destination, 1, false);
    EXPECT_FALSE(handedAnswer({events.front(), local}));
    EXPECT_TRUE(handedAnswer(events));
}

TEST_F(SYNImportedDataFilesTest, AFileRecordImportedOrAddedLaterIsNeverAnsweredAway) {
    const auto plain = exportedSave(1, false);
    const auto withFile = exportedSave(2, true);
    ASSERT_FALSE(plain.empty());
    ASSERT_FALSE(withFile.empty());
    auto events = import({plain});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(handedAnswer(events));

    // A data-file record added to the imported event by a later save.
    inContext(destination, [&](ManagedObjectContext& context) {
        auto event = context.existingObjectWithID(events.front());
        ASSERT_TRUE(event.ok());
        auto changes = (*event)->objectsForKey("objectChanges");
        ASSERT_FALSE(changes.empty());
        auto file = context.insertNewObjectForEntityForName(SYNDataFileEntityName);
        file->setValue(Value("FEDCBA9876543210FEDCBA9876543210"), "filename");
        file->setObject(changes.front(), "objectChange");
        // Unsaved, the answer is not asked for.
        EXPECT_TRUE(context.hasChanges());
        ASSERT_EQ(context.save(), nullptr);
    });
    EXPECT_EQ(storedFiles(events), 1u);
    EXPECT_FALSE(handedAnswer(events));
    // The check then reads the records, and leaves the event out for its
    // missing file, as without the answer.
    const auto checked = integrable(events, true);
    EXPECT_EQ(checked, integrable(events, false));
    EXPECT_TRUE(checked.first.empty());
    EXPECT_EQ(checked.second.count(SYNErrorMissingDataFiles), 1u);

    // After a drop, an import of an event with a file: still no answer,
    // for it nor for a later plain one.
    SYNImportedChanges::drop(*coordinatorOf(destination));
    auto filed = import({withFile});
    ASSERT_EQ(filed.size(), 1u);
    EXPECT_GT(storedFiles(filed), 0u);
    EXPECT_FALSE(handedAnswer(filed));
    EXPECT_EQ(integrable(filed, true), integrable(filed, false));
    const auto later = exportedSave(3, false);
    auto plainAgain = import({later});
    ASSERT_EQ(plainAgain.size(), 1u);
    EXPECT_FALSE(handedAnswer(plainAgain));
    expectAnswerHolds(plainAgain);
}

TEST_F(SYNImportedDataFilesTest, OneHandOffStopsAnsweringAfterAnImportWithFiles) {
    // One hand-off across imports: it answers until an import writes a
    // data-file record, and never after, whatever later imports hold.
    for (int round = 1; round <= 4; ++round) {
        const auto path = exportedSave(round, round == 2);
        ASSERT_FALSE(path.empty());
        auto events = import({path});
        ASSERT_EQ(events.size(), 1u);
        expectAnswerHolds(events);
        EXPECT_EQ(handedAnswer(events), round == 1);
        EXPECT_EQ(integrable(events, true), integrable(events, false));
    }
}

}  // namespace
