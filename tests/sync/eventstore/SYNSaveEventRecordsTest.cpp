// A save event whose new changes link one way to saved identifier records and
// to the unsaved event stores the same links as one linking both ways, keeps
// those records out of its save, and still links records it makes both ways
// (a new record without changes would mark the store as holding unused
// identifiers).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "EventStoreFixture.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/foundation/NotificationCenter.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectPtr;

class SYNSaveEventRecordsTest : public EventStoreTest {
  protected:
    // A save event renaming `people` (values built here), stored whole.
    void storeRenames(SYNEventBuilder& builder, const std::vector<ManagedObjectPtr>& people,
                      const std::string& suffix) {
        SYNPropertyChangeValuesByObjectID values;
        SYNManagedObjectIDs ids;
        for (const auto& person : people) {
            SYNPropertyChangeValue renamed(SYNPropertyChangeTypeAttribute, "name");
            renamed.setValue(Value(*person->valueForKey("name").asString() + suffix));
            values[person->objectID()] = {renamed};
            ids.push_back(person->objectID());
        }
        ASSERT_TRUE(builder.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
        ASSERT_EQ(builder.addUpdateChangesForObjectIDs(ids, std::move(values)), nullptr);
        ASSERT_EQ(builder.finalizeNewEvent(), nullptr);
        ASSERT_EQ(builder.saveAndResetLast(), nullptr);
    }

    // Per identifier string, the event of each stored change of its record
    // (by the record's list of changes, read afresh) and the identifier each
    // change names in turn.
    std::map<std::string, std::multiset<std::string>> storedLinks() {
        return inStore([&] {
            context->reset();
            plat::coredata::FetchRequest request(SYNGlobalIdentifierEntityName);
            auto records = context->executeFetchRequest(request);
            EXPECT_TRUE(records.ok());
            std::map<std::string, std::multiset<std::string>> links;
            for (const auto& record : records.ok() ? *records : SYNManagedObjects()) {
                const std::string identifier = *record->valueForKey("globalIdentifier").asString();
                auto& events = links[identifier];
                for (const auto& change : record->objectsForKey("objectChanges")) {
                    EXPECT_EQ(change->objectForKey("globalIdentifier"), record);
                    auto event = change->objectForKey("storeModificationEvent");
                    events.insert(event ? *event->valueForKey("uniqueIdentifier").asString() : "");
                }
            }
            context->reset();
            return links;
        });
    }

    bool storeMayHoldUnusedIdentifiers() {
        return inStore([&] {
            auto stores = context->persistentStoreCoordinator()->persistentStores();
            const auto metadata = stores.front()->metadata();
            const Value* flag = metadata.find("SYNMayHoldUnusedGlobalIdentifiers");
            return !flag || flag->boolValue();
        });
    }
};

TEST_F(SYNSaveEventRecordsTest, OneWayLinksStoreWhatBothWaysStoreAndKeepSavedRecordsOutOfTheSave) {
    auto app = makeApplication();
    std::vector<ManagedObjectPtr> people;
    for (const char* name : {"alice", "bob", "carol"}) {
        auto person = app.context->insertNewObjectForEntityForName("Person");
        person->setValue(Value(std::string(name)), "name");
        people.push_back(person);
    }
    ASSERT_EQ(app.context->save(), nullptr);

    // Alice and Bob get their records from an event linked both ways.
    SYNEventBuilder bothWays(store);
    storeRenames(bothWays, {people[0], people[1]}, " 1");
    bool cleaned = false;
    store->removeUnusedDataWithCompletion([&](plat::ErrorPtr error) {
        EXPECT_EQ(error, nullptr);
        cleaned = true;
    });
    pumpMainUntil([&] { return cleaned; });
    ASSERT_FALSE(storeMayHoldUnusedIdentifiers());

    // The next event links to their saved records one way; Carol's record is
    // made with it.
    std::vector<std::string> updatedEntities, insertedEntities;
    auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextDidSaveNotification, context,
        [&](const plat::Notification& notification) {
            for (auto [key, names] : {std::pair{plat::coredata::UpdatedObjectsKey, &updatedEntities},
                                      std::pair{plat::coredata::InsertedObjectsKey, &insertedEntities}}) {
                const Value* objects = notification.userInfo.find(key);
                ASSERT_TRUE(objects && objects->asSet());
                for (const auto& value : objects->asSet()->values()) {
                    names->push_back(ManagedObject::fromValue(value)->entity()->name());
                }
            }
        });
    SYNEventBuilder oneWay(store);
    oneWay.setLinksNewChangesOneWay(true);
    storeRenames(oneWay, people, " 2");
    plat::NotificationCenter::defaultCenter().removeObserver(observer);

    EXPECT_EQ(std::count(updatedEntities.begin(), updatedEntities.end(), SYNGlobalIdentifierEntityName), 0);
    EXPECT_EQ(std::count(insertedEntities.begin(), insertedEntities.end(), SYNGlobalIdentifierEntityName), 1);
    EXPECT_EQ(std::count(insertedEntities.begin(), insertedEntities.end(), SYNObjectChangeEntityName), 3);
    // Carol's new record came with its change: nothing marks the store.
    EXPECT_FALSE(storeMayHoldUnusedIdentifiers());

    // Each record lists the changes of both events (read from the rows), each
    // change naming its record.
    const auto events = allEvents();
    ASSERT_EQ(events.size(), 2u);
    const auto [first, second] = inStore([&] {
        return std::pair{*events[0]->valueForKey("uniqueIdentifier").asString(),
                         *events[1]->valueForKey("uniqueIdentifier").asString()};
    });
    const auto identifiers =
        SYNEventBuilder(store).retrieveGlobalIdentifierStringsForManagedObjects(people, true);
    ASSERT_EQ(identifiers.size(), 3u);
    ASSERT_TRUE(identifiers[0] && identifiers[1] && identifiers[2]);
    const std::map<std::string, std::multiset<std::string>> expected{
        {*identifiers[0], {first, second}}, {*identifiers[1], {first, second}}, {*identifiers[2], {second}}};
    EXPECT_EQ(storedLinks(), expected);
    // And each event lists its own changes.
    const auto reread = allEvents();
    ASSERT_EQ(reread.size(), 2u);
    inStore([&] {
        EXPECT_EQ(reread[0]->objectsForKey("objectChanges").size(), 2u);
        EXPECT_EQ(reread[1]->objectsForKey("objectChanges").size(), 3u);
        context->reset();
    });
}

// Within one event linked one way, a second change of an object folds into
// the first: its record lists one change of that event, with the later value.
TEST_F(SYNSaveEventRecordsTest, OneWayLinksFoldRepeatedObjectsIntoOneChange) {
    auto app = makeApplication();
    auto person = app.context->insertNewObjectForEntityForName("Person");
    person->setValue(Value(std::string("dora")), "name");
    ASSERT_EQ(app.context->save(), nullptr);
    SYNEventBuilder first(store);
    storeRenames(first, {person}, " 1");

    SYNEventBuilder oneWay(store);
    oneWay.setLinksNewChangesOneWay(true);
    ASSERT_TRUE(oneWay.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    for (const char* name : {"dora 2", "dora 3"}) {
        SYNPropertyChangeValue renamed(SYNPropertyChangeTypeAttribute, "name");
        renamed.setValue(Value(std::string(name)));
        SYNPropertyChangeValuesByObjectID values{{person->objectID(), {renamed}}};
        ASSERT_EQ(oneWay.addUpdateChangesForObjectIDs({person->objectID()}, std::move(values)), nullptr);
    }
    ASSERT_EQ(oneWay.finalizeNewEvent(), nullptr);
    ASSERT_EQ(oneWay.saveAndResetLast(), nullptr);

    const auto links = storedLinks();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links.begin()->second.size(), 2u);  // one change per event
    const auto events = allEvents();
    ASSERT_EQ(events.size(), 2u);
    inStore([&] {
        const auto changes = events[1]->objectsForKey("objectChanges");
        ASSERT_EQ(changes.size(), 1u);
        const auto values = SYNObjectChange::propertyChangeValues(*changes.front());
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(values.front().value(), std::optional<Value>(Value(std::string("dora 3"))));
        context->reset();
    });
}

}  // namespace
}  // namespace eventstoretest
