// A save event as the save monitor builds it: update values handed over
// (moved, not copied) and one last save that does not read the event again
// store what copied values and a save that reads it again store.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "EventStoreFixture.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectPtr;

class SYNSaveEventBuildTest : public EventStoreTest {
  protected:
    struct Change {
        int16_t type = 0;
        std::vector<SYNPropertyChangeValue> values;
    };
    // The changes of the event by identifier.
    std::map<std::string, Change> changesOf(const ManagedObjectPtr& event) {
        return inStore([&] {
            std::map<std::string, Change> changes;
            for (const auto& change : event->objectsForKey("objectChanges")) {
                changes[SYNObjectChange::globalIdentifierString(*change).value_or("")] = {
                    SYNObjectChange::type(*change), SYNObjectChange::propertyChangeValues(*change)};
            }
            return changes;
        });
    }
    static bool same(const Change& a, const Change& b) {
        return a.type == b.type && a.values.size() == b.values.size() &&
               std::equal(a.values.begin(), a.values.end(), b.values.begin(),
                          [](const auto& x, const auto& y) { return x.isEqual(y); });
    }
};

TEST_F(SYNSaveEventBuildTest, ValuesHandedOverAndALastSaveStoreWhatCopiesStore) {
    auto app = makeApplication();
    std::vector<ManagedObjectPtr> people;
    for (const char* name : {"alice", "bob", "carol"}) {
        auto person = app.context->insertNewObjectForEntityForName("Person");
        person->setValue(Value(std::string(name)), "name");
        people.push_back(person);
    }
    people[0]->mutableSetValueForKey("friends").addObject(people[1]);
    ASSERT_EQ(app.context->save(), nullptr);
    auto valuesFor = [&](const std::string& suffix) {
        SYNPropertyChangeValuesByObjectID values;
        for (const auto& person : people) {
            SYNPropertyChangeValue renamed(SYNPropertyChangeTypeAttribute, "name");
            renamed.setValue(Value(*person->valueForKey("name").asString() + suffix));
            SYNPropertyChangeValue friends(SYNPropertyChangeTypeToManyRelationship, "friends");
            friends.setRelatedObjectIDs(nullptr, {people[2]->objectID()}, {people[1]->objectID()}, {});
            values[person->objectID()] = {renamed, friends};
        }
        return values;
    };
    // Alice is listed twice: her values count once.
    const SYNManagedObjectIDs ids{people[0]->objectID(), people[1]->objectID(), people[0]->objectID(),
                                  people[2]->objectID()};

    SYNEventBuilder copying(store);
    ASSERT_TRUE(copying.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    const auto kept = valuesFor(" 1");
    ASSERT_EQ(copying.addUpdateChangesForObjectIDs(ids, kept), nullptr);
    EXPECT_EQ(kept.at(people[0]->objectID()).size(), 2u);  // copied, not taken
    ASSERT_EQ(copying.finalizeNewEvent(), nullptr);
    ASSERT_EQ(copying.saveAndReset(), nullptr);

    SYNEventBuilder taking(store);
    ASSERT_TRUE(taking.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    ASSERT_EQ(taking.addUpdateChangesForObjectIDs(ids, valuesFor(" 1")), nullptr);
    ASSERT_EQ(taking.finalizeNewEvent(), nullptr);
    ASSERT_EQ(taking.saveAndResetLast(), nullptr);

    // The last save left the event out of the context, stored and complete.
    auto events = allEvents();
    ASSERT_EQ(events.size(), 2u);
    inStore([&] {
        EXPECT_EQ(SYNStoreModificationEvent::type(*events[1]), SYNStoreModificationEventTypeSave);
        EXPECT_EQ(SYNStoreModificationEvent::globalCount(*events[1]), 2);
        EXPECT_EQ(SYNStoreModificationEvent::revision(*events[1])->revisionNumber, 1);
    });
    const auto expected = changesOf(events[0]);
    ASSERT_EQ(expected.size(), 3u);
    // The links name the records of the objects changed together.
    const auto identifiers =
        SYNEventBuilder(store).retrieveGlobalIdentifierStringsForManagedObjects({people[1], people[2]}, true);
    ASSERT_TRUE(identifiers[0] && identifiers[1]);
    for (const auto& [identifier, change] : expected) {
        SCOPED_TRACE(identifier);
        ASSERT_EQ(change.values.size(), 2u);
        const auto& friends =
            change.values[0].propertyName() == "friends" ? change.values[0] : change.values[1];
        EXPECT_EQ(friends.addedIdentifiers(), std::set<std::string>{*identifiers[1]});
        EXPECT_EQ(friends.removedIdentifiers(), std::set<std::string>{*identifiers[0]});
    }
    const auto taken = changesOf(events[1]);
    ASSERT_EQ(taken.size(), expected.size());
    for (const auto& [identifier, change] : expected) {
        EXPECT_TRUE(taken.count(identifier) && same(taken.at(identifier), change)) << identifier;
    }
}

}  // namespace
}  // namespace eventstoretest
