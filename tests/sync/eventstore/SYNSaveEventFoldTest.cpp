// An event saved between the builder's calls: later changes of its objects
// fold into the changes it stored (found again by their records), an object
// listed twice in one call gets one change, and the identifier records the
// look-up found keep the store URIs they hold, so a later look-up finds the
// same records.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNStoreURIs.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectPtr;

using SYNSaveEventFoldTest = EventStoreTest;

TEST_F(SYNSaveEventFoldTest, ChangesAfterTheEventsSaveFoldIntoItsStoredChanges) {
    auto app = makeApplication();
    std::vector<ManagedObjectPtr> people;
    for (const char* name : {"alice", "bob"}) {
        auto person = app.context->insertNewObjectForEntityForName("Person");
        person->setValue(Value(std::string(name)), "name");
        people.push_back(person);
    }
    ASSERT_EQ(app.context->save(), nullptr);

    SYNEventBuilder builder(store);
    ASSERT_TRUE(builder.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    ASSERT_EQ(renamePeople(builder, people, " 1"), nullptr);
    ASSERT_EQ(builder.saveAndReset(), nullptr);
    const auto identifiers =
        SYNEventBuilder(store).retrieveGlobalIdentifierStringsForManagedObjects(people, true);
    ASSERT_EQ(identifiers.size(), 2u);
    ASSERT_TRUE(identifiers[0] && identifiers[1]);

    // Alice listed twice, Bob once: both already have a change in the event.
    ASSERT_EQ(renamePeople(builder, {people[0], people[0], people[1]}, " 2"), nullptr);
    ASSERT_EQ(builder.finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder.saveAndResetLast(), nullptr);

    const auto events = allEvents();
    ASSERT_EQ(events.size(), 1u);
    inStore([&] {
        context->reset();
        auto records =
            context->executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(records.ok());
        EXPECT_EQ(records->size(), 2u);
        std::map<std::string, std::string> uris;
        for (const auto& record : *records) {
            const auto uri = SYNStoreURIs::forContext(*context)->decode(record->valueForKey("storeURI"));
            ASSERT_TRUE(uri);
            uris[*record->valueForKey("globalIdentifier").asString()] = *uri;
        }
        EXPECT_EQ(uris[*identifiers[0]], SYNGlobalIdentifier::storeURIForObjectID(*people[0]->objectID()));
        EXPECT_EQ(uris[*identifiers[1]], SYNGlobalIdentifier::storeURIForObjectID(*people[1]->objectID()));

        const auto event = context->existingObjectWithID(events[0]->objectID());
        ASSERT_TRUE(event.ok());
        EXPECT_EQ((*event)->objectsForKey("objectChanges").size(), 2u);
        for (const auto& [identifier, name] :
             {std::pair{*identifiers[0], "alice 2"}, {*identifiers[1], "bob 2"}}) {
            auto change = changeFor(*event, identifier);
            ASSERT_TRUE(change) << identifier;
            EXPECT_EQ(SYNObjectChange::type(*change), SYNObjectChangeTypeUpdate);
            const auto values = SYNObjectChange::propertyChangeValues(*change);
            ASSERT_EQ(values.size(), 1u);
            EXPECT_EQ(values[0].value(), Value(std::string(name)));
        }
        context->reset();
    });
    // A new look-up by URI finds the same records.
    EXPECT_EQ(SYNEventBuilder(store).retrieveGlobalIdentifierStringsForManagedObjects(people, true),
              identifiers);
}

}  // namespace
}  // namespace eventstoretest
