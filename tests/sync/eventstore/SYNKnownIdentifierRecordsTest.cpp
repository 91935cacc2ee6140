// The identifier records a save event takes as the event store is known to
// hold them, checked against the store file read afresh: after every save
// (its own, the builder's of other events, other contexts' deleting,
// re-pointing, renaming or adding records) each change of a new event links
// to the record a look-up by its object's URI alone finds, with that
// record's identifier, and no record is left unlinked or made twice.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNSavedEvent.h"
#include "sync/eventstore/detail/SYNKnownIdentifierRecords.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;

class SYNKnownIdentifierRecordsTest : public EventStoreTest {
  protected:
    void SetUp() override {
        EventStoreTest::SetUp();
        app = makeApplication();
        for (int i = 0; i < 6; ++i) {
            auto person = app.context->insertNewObjectForEntityForName("Person");
            person->setValue(Value("p" + std::to_string(i)), "name");
            people.push_back(person);
        }
        ASSERT_EQ(app.context->save(), nullptr);
    }

    std::string uriOf(int person) {
        return SYNGlobalIdentifier::storeURIForObjectID(
            *people[static_cast<std::size_t>(person)]->objectID());
    }

    struct Made {
        plat::coredata::ManagedObjectIDPtr eventID;
        SYNRevision revision;
    };
    // A save's event renaming the people, linked one way as the save monitor
    // builds it.
    Made renameAll(const std::string& suffix) {
        inStore([&] { context->reset(); });
        SYNEventBuilder builder(store);
        builder.setLinksNewChangesOneWay(true);
        auto revision = builder.makeNewEventOfType(SYNStoreModificationEventTypeSave);
        EXPECT_TRUE(revision.ok());
        SYNPropertyChangeValuesByObjectID values;
        SYNManagedObjectIDs ids;
        for (const auto& person : people) {
            SYNPropertyChangeValue name(SYNPropertyChangeTypeAttribute, "name");
            name.setValue(Value(*person->valueForKey("name").asString() + suffix));
            values[person->objectID()] = {name};
            ids.push_back(person->objectID());
        }
        EXPECT_EQ(builder.addUpdateChangesForObjectIDs(ids, std::move(values)), nullptr);
        EXPECT_EQ(builder.finalizeNewEvent(), nullptr);
        EXPECT_EQ(builder.saveAndResetLast(), nullptr);
        return {builder.event() ? builder.event()->objectID() : nullptr,
                revision.ok() ? *revision : SYNRevision{}};
    }

    // A context of its own over the event store's coordinator, as another
    // part of the process writes with.
    template <class F>
    void elsewhere(F&& work) {
        inStore([&] {
            auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
            other->setPersistentStoreCoordinator(context->persistentStoreCoordinator());
            work(*other);
            ASSERT_EQ(other->save(), nullptr);
        });
    }

    static ManagedObjectPtr recordOf(ManagedObjectContext& in, const std::string& uri) {
        FetchRequest request(SYNGlobalIdentifierEntityName);
        request.predicate = Predicate::equal("storeURI", Value(uri));
        auto found = in.executeFetchRequest(request);
        EXPECT_TRUE(found.ok());
        ManagedObjectPtr first;
        for (const auto& record : found.ok() ? *found : SYNManagedObjects()) {
            if (!first || record->objectID()->primaryKey() < first->objectID()->primaryKey()) {
                first = record;
            }
        }
        return first;
    }

    std::size_t recordCount() {
        return inStore([&] {
            auto count = context->countForFetchRequest(FetchRequest(SYNGlobalIdentifierEntityName));
            EXPECT_TRUE(count.ok());
            return count.ok() ? *count : std::size_t{0};
        });
    }

    // Each person's change in the event, read afresh from the file, links
    // to the record a look-up by the person's URI alone finds, with its
    // identifier and entity name; the changes kept for the export are those
    // rows.
    void expectLinksAsLookUpsFind(const Made& made, const char* when) {
        const auto& eventID = made.eventID;
        ASSERT_TRUE(eventID) << when;
        auto kept = store->savedEvent()->take(*eventID, made.revision);
        ASSERT_TRUE(kept) << when;
        inStore([&] {
            context->reset();
            auto event = context->existingObjectWithID(eventID);
            ASSERT_TRUE(event.ok()) << when;
            std::map<int64_t, std::tuple<std::string, std::string>> linked;  // record key -> texts
            const auto changes = (*event)->objectsForKey("objectChanges");
            EXPECT_EQ(changes.size(), people.size()) << when;
            for (const auto& change : changes) {
                auto record = change->objectForKey("globalIdentifier");
                ASSERT_TRUE(record) << when;
                const Value identifier = record->valueForKey("globalIdentifier");
                ASSERT_TRUE(identifier.isString()) << when << ": the linked record is gone";
                linked[record->objectID()->primaryKey()] = {*change->valueForKey("nameOfEntity").asString(),
                                                            *identifier.asString()};
            }
            for (int i = 0; i < static_cast<int>(people.size()); ++i) {
                auto alone = recordOf(*context, uriOf(i));
                ASSERT_TRUE(alone) << when << ": p" << i;
                auto it = linked.find(alone->objectID()->primaryKey());
                ASSERT_NE(it, linked.end()) << when << ": p" << i << " links another record";
                EXPECT_EQ(std::get<0>(it->second), "Person") << when;
                EXPECT_EQ(std::get<1>(it->second), *alone->valueForKey("globalIdentifier").asString())
                    << when << ": p" << i;
            }
            std::map<int64_t, std::tuple<std::string, std::string>> keptLinks;
            for (const auto& change : *kept) {
                keptLinks[change.recordKey] = {change.entityName, change.globalIdentifier.value_or("")};
            }
            EXPECT_EQ(keptLinks, linked) << when;
            context->reset();
        });
    }

    Application app;
    std::vector<ManagedObjectPtr> people;
};

TEST_F(SYNKnownIdentifierRecordsTest, SaveEventsLinkTheRecordsALookUpFindsThroughOtherWrites) {
    auto known = store->knownIdentifierRecords();
    ASSERT_TRUE(known);
    EXPECT_EQ(known->size(), 0u);

    // The first event makes every record; its save makes them known.
    expectLinksAsLookUpsFind(renameAll(" 1"), "first");
    EXPECT_EQ(recordCount(), people.size());
    EXPECT_EQ(known->size(), people.size());

    // Taken as known: nothing new made, nothing about records saved.
    const uint64_t before = known->generation();
    expectLinksAsLookUpsFind(renameAll(" 2"), "known");
    EXPECT_EQ(recordCount(), people.size());
    EXPECT_EQ(known->generation(), before);

    // Other writes over the same coordinator: p0's record deleted, p1's
    // re-pointed to no URI, p2's identifier renamed, a second (later) record
    // of p3, p4's record re-pointed to p5's URI (two records for p5, p4's
    // the lower key now or not).
    elsewhere([&](ManagedObjectContext& other) {
        other.deleteObject(recordOf(other, uriOf(0)));
        recordOf(other, uriOf(1))->setValue(Value(), "storeURI");
        recordOf(other, uriOf(2))->setValue(Value("RENAMED-2"), "globalIdentifier");
        auto again = other.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        again->setValue(Value("SECOND-3"), "globalIdentifier");
        again->setValue(Value("Person"), "nameOfEntity");
        again->setValue(Value(uriOf(3)), "storeURI");
        recordOf(other, uriOf(4))->setValue(Value(uriOf(5)), "storeURI");
    });
    expectLinksAsLookUpsFind(renameAll(" 3"), "after other writes");
    // p0 and p4 got new records.
    EXPECT_EQ(recordCount(), people.size() + 3);
    expectLinksAsLookUpsFind(renameAll(" 4"), "again after other writes");
    EXPECT_EQ(recordCount(), people.size() + 3);
}

TEST_F(SYNKnownIdentifierRecordsTest, RecordsFoundByALookUpAreKeptAsFound) {
    // Records written directly: a save names them without telling whose
    // they are, so only the first event's look-up makes them known.
    elsewhere([&](ManagedObjectContext& other) {
        for (int i = 0; i < static_cast<int>(people.size()); ++i) {
            auto record = other.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
            record->setValue(Value("GIVEN-" + std::to_string(i)), "globalIdentifier");
            record->setValue(Value("Person"), "nameOfEntity");
            record->setValue(Value(uriOf(i)), "storeURI");
        }
    });
    auto known = store->knownIdentifierRecords();
    EXPECT_EQ(known->size(), 0u);
    expectLinksAsLookUpsFind(renameAll(" 1"), "looked up");
    EXPECT_EQ(known->size(), people.size());
    // A later record of p1 (a higher key) leaves the first the one found;
    // p2's record swapped to p3's URI and p3's to p2's.
    elsewhere([&](ManagedObjectContext& other) {
        auto again = other.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        again->setValue(Value("LATER-1"), "globalIdentifier");
        again->setValue(Value("Person"), "nameOfEntity");
        again->setValue(Value(uriOf(1)), "storeURI");
        auto second = recordOf(other, uriOf(2));
        auto third = recordOf(other, uriOf(3));
        second->setValue(Value(uriOf(3)), "storeURI");
        third->setValue(Value(uriOf(2)), "storeURI");
    });
    expectLinksAsLookUpsFind(renameAll(" 2"), "after a later record and a swap");
    EXPECT_EQ(recordCount(), people.size() + 1);
}

TEST_F(SYNKnownIdentifierRecordsTest, RecordsOfObjectsWithoutAnyAreKnownOnlyIfNothingCameBetween) {
    SYNManagedObjectIDs ids;
    for (const auto& person : people) {
        ids.push_back(person->objectID());
    }
    auto known = store->knownIdentifierRecords();
    for (const bool interrupted : {true, false}) {
        // As an enlist makes the records of a store with none.
        SYNEventBuilder builder(store);
        ASSERT_TRUE(builder.makeNewEventOfType(SYNStoreModificationEventTypeBaseline).ok());
        builder.setObjectsHaveNoIdentifierRecords(true);
        if (interrupted) {
            // Another record of p2 saved meanwhile: it is the one a look-up
            // finds, not the builder's made after it.
            elsewhere([&](ManagedObjectContext& other) {
                auto record = other.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                record->setValue(Value("MEANWHILE-2"), "globalIdentifier");
                record->setValue(Value("Person"), "nameOfEntity");
                record->setValue(Value(uriOf(2)), "storeURI");
            });
        }
        ASSERT_TRUE(builder
                        .addGlobalIdentifiersForManagedObjectIDs(
                            ids, std::vector<std::optional<std::string>>(ids.size()))
                        .ok());
        builder.setObjectsHaveNoIdentifierRecords(false);
        ASSERT_EQ(builder.saveAndReset(), nullptr);
        if (interrupted) {
            EXPECT_EQ(known->size(), 0u);
            expectLinksAsLookUpsFind(renameAll(" i"), "interrupted");
            // Whatever the event found is known now; drop it for the next round.
            elsewhere([&](ManagedObjectContext& other) {
                FetchRequest all(SYNGlobalIdentifierEntityName);
                auto records = other.executeFetchRequest(all);
                ASSERT_TRUE(records.ok());
                for (const auto& record : *records) {
                    other.deleteObject(record);
                }
            });
            EXPECT_EQ(known->size(), 0u);
        } else {
            EXPECT_EQ(known->size(), people.size());
            const std::size_t records = recordCount();
            expectLinksAsLookUpsFind(renameAll(" n"), "made whole");
            EXPECT_EQ(recordCount(), records);
        }
    }
}

}  // namespace
}  // namespace eventstoretest
