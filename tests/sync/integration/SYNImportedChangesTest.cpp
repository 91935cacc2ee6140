// The records a batch import hands to the integration (SYNImportedChanges):
// they must be what the stored rows give, follow the store URIs written
// after the import, and be refused once anything else may have written the
// rows they stand for.
#include "sync/integration/SYNImportedChanges.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "EventFileFixture.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/integration/SYNEventMigrator.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::Predicate;

// A record as text: every field the integration reads.
std::string describe(const SYNChangeRecord& record, const ManagedObjectIDPtr& event) {
    std::string text =
        std::to_string(record.changeID->primaryKey()) + " event " +
        std::to_string(event ? event->primaryKey() : -1) + " type " + std::to_string(record.type) + " " +
        record.entityName + " row " +
        std::to_string(record.globalIdentifierID ? record.globalIdentifierID->primaryKey() : -1) + " " +
        record.globalIdentifier.value_or("<none>") + " " + record.globalIdentifierEntityName + " uri " +
        record.storeURI.value_or("<none>") + " read " + std::to_string(record.valuesRead);
    for (const auto& value : record.values) {
        text += " [" + value->description() + "]";
    }
    return text;
}

class SYNImportedChangesTest : public EventFileTest {
  protected:
    void TearDown() override {
        for (const auto& store : {source, destination}) {
            SYNImportedChanges::drop(*coordinatorOf(store));
        }
        claimed_.clear();
        EventFileTest::TearDown();
    }

    // The hand-offs claimed for the destinations, as an integrator holds
    // its store's.
    std::vector<std::shared_ptr<SYNImportedChanges>> claimed_;

    static std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinatorOf(
        const std::shared_ptr<SYNEventStore>& store) {
        return store->managedObjectContext()->persistentStoreCoordinator();
    }

    // Writes the save event "E<number>" of the source and exports it: the
    // path of its one file (in "in/", named after the event).
    std::string exportedSave(int number, std::size_t changes) {
        writeEvent(source, "E" + std::to_string(number), SYNStoreModificationEventTypeSave, number, number,
                   changes);
        return exportedTo(root.str() + "/in/E" + std::to_string(number), number, {200, 300});
    }

    // Imports the files into the destination, `changeLimit` changes a save;
    // the events made.
    std::vector<ManagedObjectIDPtr> import(const std::vector<std::string>& paths, std::size_t changeLimit) {
        claimed_.push_back(SYNImportedChanges::forCoordinator(coordinatorOf(destination)));
        SYNJSONEventBatchImport operation(destination, paths, changeLimit);
        operation.start();
        auto ids = operation.eventIDs();
        for (const auto& id : ids) {
            EXPECT_NE(id, nullptr);
        }
        return ids;
    }

    // The records of the events' changes as the stored rows give them, as text.
    std::vector<std::string> stored(const std::vector<ManagedObjectIDPtr>& events) {
        return inContext(destination, [&](ManagedObjectContext& context) {
            plat::Array list;
            for (const auto& id : events) {
                list.push_back(Value(plat::ObjectPtr(id)));
            }
            FetchRequest request(SYNObjectChangeEntityName);
            request.predicate = Predicate::in("storeModificationEvent", Value(std::move(list)));
            std::vector<ManagedObjectIDPtr> eventOfChange;
            auto records = SYNChangeRecord::fetchStored(request, context, &eventOfChange);
            EXPECT_TRUE(records.ok() && records->has_value());
            std::vector<std::string> lines;
            if (records.ok() && *records) {
                for (std::size_t i = 0; i < (*records)->size(); ++i) {
                    lines.push_back(describe((**records)[i], eventOfChange[i]));
                }
            }
            std::sort(lines.begin(), lines.end());
            return lines;
        });
    }

    // The records the hand-off gives for the events, as text; `missing`
    // receives the events it has none for.
    std::vector<std::string> handed(const std::vector<ManagedObjectIDPtr>& events,
                                    std::vector<ManagedObjectIDPtr>* missing = nullptr) {
        return inContext(destination, [&](ManagedObjectContext&) {
            std::vector<std::string> lines;
            auto handOff = SYNImportedChanges::find(*coordinatorOf(destination));
            if (!handOff) {
                return lines;
            }
            std::vector<SYNChangeRecord> records;
            std::vector<ManagedObjectIDPtr> eventOfChange, lacking;
            handOff->takeChanges(
                events,
                [&](SYNChangeRecord& record, const ManagedObjectIDPtr& event) {
                    records.push_back(std::move(record));
                    eventOfChange.push_back(event);
                },
                lacking);
            if (missing) {
                *missing = lacking;
            }
            if (!handOff->readIdentifierRows(records)) {
                return lines;
            }
            for (std::size_t i = 0; i < records.size(); ++i) {
                lines.push_back(describe(records[i], eventOfChange[i]));
            }
            std::sort(lines.begin(), lines.end());
            return lines;
        });
    }

    bool usable() {
        auto handOff = SYNImportedChanges::find(*coordinatorOf(destination));
        return handOff && handOff->usable();
    }

    // Identifier rows the destination holds before the import: one of an
    // imported object with a store URI, two of another (the first made is the
    // one its changes link to), and one of the same identifier as a Pet but
    // of another entity.
    void storeIdentifierRows() {
        inContext(destination, [&](ManagedObjectContext& context) {
            auto row = [&](const char* identifier, const char* entity, std::optional<std::string> uri) {
                auto made = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                made->setValue(Value(identifier), "globalIdentifier");
                made->setValue(Value(entity), "nameOfEntity");
                if (uri) {
                    made->setValue(Value(SYNStoreURIs::forContext(context)->encode(*uri)), "storeURI");
                }
            };
            row("P000001", "Person", "x-coredata://STORE/Person/p11");
            row("U1", "Person", "x-coredata://STORE/Person/p12");
            row("U1", "Person", "x-coredata://STORE/Person/p13");
            row("PET1", "Person", "x-coredata://STORE/Person/p14");
            ASSERT_EQ(context.save(), nullptr);
        });
    }

    // The identifier row of an identifier and entity (the first made).
    ManagedObjectIDPtr rowOf(const std::string& identifier, const std::string& entity) {
        return inContext(destination, [&](ManagedObjectContext& context) -> ManagedObjectIDPtr {
            FetchRequest request(SYNGlobalIdentifierEntityName);
            request.predicate =
                Predicate::andPredicate({Predicate::equal("globalIdentifier", Value(identifier)),
                                         Predicate::equal("nameOfEntity", Value(entity))});
            auto rows = context.executeFetchRequest(request);
            return rows.ok() && !rows->empty() ? rows->front()->objectID() : nullptr;
        });
    }
};

// Inserts of every attribute kind, updates with to-one, to-many and ordered
// changes, a value kept in a data file, a delete, two entities; rows found
// in the store (with store URIs, a duplicate, one of another entity) and
// rows made; several events a save and several saves.
TEST_F(SYNImportedChangesTest, HandedRecordsAreWhatTheStoredRowsGive) {
    storeIdentifierRows();
    std::vector<std::string> paths;
    for (int i = 1; i <= 4; ++i) {
        paths.push_back(exportedSave(i, static_cast<std::size_t>(i + 1)));
        ASSERT_FALSE(paths.back().empty());
    }
    const auto events = import(paths, 16);
    ASSERT_EQ(events.size(), 4u);
    ASSERT_TRUE(usable());
    const auto expected = stored(events);
    ASSERT_EQ(expected.size(), 2u + 3u + 4u + 5u + 4u * 4u);
    // The rows found in the store are those of the identifier and entity,
    // the first made of two; a Pet's row is made.
    auto lineWith = [&](const std::string& text) {
        return std::any_of(expected.begin(), expected.end(),
                           [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(lineWith(" P000001 Person uri x-coredata://STORE/Person/p11 "));
    EXPECT_TRUE(lineWith(" U1 Person uri x-coredata://STORE/Person/p12 "));
    EXPECT_FALSE(lineWith("p13"));
    EXPECT_TRUE(lineWith(" PET1 Pet uri <none> "));
    std::vector<ManagedObjectIDPtr> missing;
    EXPECT_EQ(handed(events, &missing), expected);
    EXPECT_TRUE(missing.empty());
    // Taken once: a second look finds every event missing.
    EXPECT_TRUE(handed(events, &missing).empty());
    EXPECT_EQ(missing.size(), events.size());
}

// The store URIs written into the rows after the import (as the
// integration's inserts write them) are what the records then hold; writes
// of rows the records do not stand for change nothing.
TEST_F(SYNImportedChangesTest, StoreURIsWrittenAfterTheImportAreFollowed) {
    storeIdentifierRows();
    const auto events = import({exportedSave(1, 3)}, 100);
    ASSERT_EQ(events.size(), 1u);
    const auto person = rowOf("P000000", "Person");
    const auto known = rowOf("P000001", "Person");
    ASSERT_TRUE(person && known);
    inContext(destination, [&](ManagedObjectContext& context) {
        auto storeURIs = SYNStoreURIs::forContext(context);
        context.existingObjectWithID(person).value()->setValue(
            Value(storeURIs->encode("x-coredata://STORE/Person/p21")), "storeURI");
        context.existingObjectWithID(known).value()->setValue(Value(), "storeURI");
        // A local save's new changes and rows, and an unrelated row changed.
        auto other = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        other->setValue(Value("NEW"), "globalIdentifier");
        other->setValue(Value("Person"), "nameOfEntity");
        ASSERT_EQ(context.save(), nullptr);
        other->setValue(Value(storeURIs->encode("x-coredata://STORE/Person/p99")), "storeURI");
        ASSERT_EQ(context.save(), nullptr);
        context.reset();
    });
    EXPECT_TRUE(usable());
    const auto expected = stored(events);
    EXPECT_EQ(handed(events), expected);
    bool sawNewURI = false;
    for (const auto& line : expected) {
        sawNewURI = sawNewURI || line.find("uri x-coredata://STORE/Person/p21") != std::string::npos;
    }
    EXPECT_TRUE(sawNewURI);
}

// Any other write of the rows the records stand for leaves nothing to hand
// over until the hand-off is dropped; so do imports of more changes than
// are kept.
TEST_F(SYNImportedChangesTest, OtherWritesOfTheirRowsLeaveNothingHandedOver) {
    std::vector<std::string> paths{exportedSave(1, 2), exportedSave(2, 2)};
    struct Case {
        const char* what;
        std::function<void(ManagedObjectContext&, const std::vector<ManagedObjectIDPtr>&)> write;
    };
    auto changesOf = [](ManagedObjectContext& context, const ManagedObjectIDPtr& event) {
        FetchRequest request(SYNObjectChangeEntityName);
        request.predicate = Predicate::equal("storeModificationEvent", Value(plat::ObjectPtr(event)));
        return context.executeFetchRequest(request).value();
    };
    const Case cases[] = {
        {"a change updated",
         [&](ManagedObjectContext& context, const auto& events) {
             changesOf(context, events[1])
                 .front()
                 ->setValue(Value(int64_t{SYNObjectChangeTypeUpdate}), "type");
         }},
        {"a change deleted",
         [&](ManagedObjectContext& context, const auto& events) {
             context.deleteObject(changesOf(context, events[0]).back());
         }},
        {"an event deleted",
         [&](ManagedObjectContext& context, const auto& events) {
             context.deleteObject(context.existingObjectWithID(events[0]).value());
         }},
        {"a change added to an event",
         [&](ManagedObjectContext& context, const auto& events) {
             auto change = context.insertNewObjectForEntityForName(SYNObjectChangeEntityName);
             change->setValue(Value(int64_t{SYNObjectChangeTypeDelete}), "type");
             change->setValue(Value("Person"), "nameOfEntity");
             change->setObject(context.existingObjectWithID(events[1]).value(), "storeModificationEvent");
         }},
        {"an identifier row deleted",
         [&](ManagedObjectContext& context, const auto&) {
             context.deleteObject(context.existingObjectWithID(rowOf("D1", "Person")).value());
         }},
    };
    int number = 10;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        destination = makeStore(std::string("c") + test.what);
        const auto events = import(paths, 100);
        ASSERT_EQ(events.size(), 2u);
        ASSERT_TRUE(usable());
        inContext(destination, [&](ManagedObjectContext& context) {
            test.write(context, events);
            ASSERT_EQ(context.save(), nullptr);
            context.reset();
        });
        EXPECT_FALSE(usable());
        std::vector<ManagedObjectIDPtr> missing;
        EXPECT_TRUE(handed(events, &missing).empty());
        EXPECT_EQ(missing.size(), events.size());
        // The next import after a drop hands over again.
        SYNImportedChanges::drop(*coordinatorOf(destination));
        const auto again = import({exportedSave(++number, 1)}, 100);
        EXPECT_TRUE(usable());
        EXPECT_EQ(handed(again), stored(again));
        SYNImportedChanges::drop(*coordinatorOf(destination));
    }

    // A save through another coordinator on the same store file.
    destination = makeStore("other coordinator");
    const auto events = import(paths, 100);
    ASSERT_TRUE(usable());
    auto other = plat::coredata::PersistentStoreCoordinator::create(
        std::const_pointer_cast<plat::coredata::ManagedObjectModel>(SYNEventStoreModel()));
    ASSERT_TRUE(other
                    ->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                         plat::URL::fileURLWithPath(destination->pathToStoreFile()))
                    .ok());
    auto context = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(other);
    auto row = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
    row->setValue(Value("ELSEWHERE"), "globalIdentifier");
    row->setValue(Value("Person"), "nameOfEntity");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_FALSE(usable());
}

TEST_F(SYNImportedChangesTest, MoreChangesThanKeptLeaveNothingUntilTheDrop) {
    const auto first = import({exportedSave(1, 3)}, 100);  // 3 + 4 changes
    ASSERT_TRUE(usable());
    auto handOff = SYNImportedChanges::find(*coordinatorOf(destination));
    ASSERT_TRUE(handOff);
    EXPECT_TRUE(handOff->hasRoomFor(SYNImportedChanges::kMaximumChanges - 7));
    EXPECT_TRUE(usable());
    EXPECT_FALSE(handOff->hasRoomFor(SYNImportedChanges::kMaximumChanges - 6));
    EXPECT_FALSE(usable());
    // Imports that follow keep nothing either.
    auto events = first;
    for (const auto& id : import({exportedSave(2, 1)}, 100)) {
        events.push_back(id);
    }
    std::vector<ManagedObjectIDPtr> missing;
    EXPECT_TRUE(handed(events, &missing).empty());
    EXPECT_EQ(missing.size(), 2u);
    SYNImportedChanges::drop(*coordinatorOf(destination));
    const auto again = import({exportedSave(3, 1)}, 100);
    EXPECT_TRUE(usable());
    EXPECT_EQ(handed(again), stored(again));
}

// Records are kept only while an integrator (here the test) holds the
// store's hand-off, and go with the last hold: nothing outlives the stores.
TEST_F(SYNImportedChangesTest, RecordsAreKeptOnlyWhileTheHandOffIsHeld) {
    {
        SYNJSONEventBatchImport unclaimed(destination, {exportedSave(1, 2)}, 100);
        unclaimed.start();
        EXPECT_EQ(unclaimed.eventIDs().size(), 1u);
    }
    EXPECT_EQ(SYNImportedChanges::find(*coordinatorOf(destination)), nullptr);
    const auto events = import({exportedSave(2, 2)}, 100);
    ASSERT_TRUE(usable());
    std::weak_ptr<SYNImportedChanges> held = SYNImportedChanges::find(*coordinatorOf(destination));
    claimed_.clear();
    EXPECT_TRUE(held.expired());
    EXPECT_EQ(SYNImportedChanges::find(*coordinatorOf(destination)), nullptr);
}

}  // namespace
