#include "sync/eventstore/SYNEventBuilder.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>

#include "EventStoreFixture.h"
#include "platform/coredata/UUIDObject.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNStoreURIs.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectPtr;

class FixedMesh : public SYNMeshServices {
  public:
    Value modelVersionHash() const override { return Value(plat::Dictionary{{"Person", Value("h1")}}); }
    std::optional<std::string> modelVersionIdentifier() const override { return "v1"; }
    std::vector<std::optional<std::string>> globalIdentifiersForManagedObjects(
        const SYNManagedObjects& objects) const override {
        std::vector<std::optional<std::string>> ids;
        for (const auto& object : objects) {
            Value name = object->valueForKey("name");
            ids.push_back(name.isString() ? std::optional<std::string>("gid-" + *name.asString())
                                          : std::nullopt);
        }
        return ids;
    }
};

class SYNEventBuilderTest : public EventStoreTest {
  protected:
    std::unique_ptr<SYNEventBuilder> newBuilder() {
        auto builder = std::make_unique<SYNEventBuilder>(store);
        builder->setMesh(mesh);
        return builder;
    }

    // Makes, finalizes and saves an event of the type with the given changes.
    SYNRevision saveEvent(int16_t type, const std::function<void(SYNEventBuilder&)>& fill = {}) {
        auto builder = newBuilder();
        auto revision = builder->makeNewEventOfType(type);
        EXPECT_TRUE(revision.ok());
        if (fill) {
            fill(*builder);
        }
        EXPECT_EQ(builder->finalizeNewEvent(), nullptr);
        EXPECT_EQ(builder->saveAndReset(), nullptr);
        return *revision;
    }

    ManagedObjectPtr person(Application& app, const std::string& name) {
        auto object = app.context->insertNewObjectForEntityForName("Person");
        object->setValue(Value(name), "name");
        return object;
    }

    std::shared_ptr<FixedMesh> mesh = std::make_shared<FixedMesh>();
};

TEST_F(SYNEventBuilderTest, RevisionsCountUpAndGlobalCountsFollowTheWholeStore) {
    const std::string local = *store->persistentStoreIdentifier();
    auto builder = newBuilder();
    auto first = builder->makeNewEventOfType(SYNStoreModificationEventTypeSave, "first");
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(*first, (SYNRevision{local, 0}));
    inStore([&] {
        auto event = builder->event();
        ASSERT_TRUE(event);
        EXPECT_EQ(SYNStoreModificationEvent::type(*event), SYNStoreModificationEventTypeIncomplete);
        EXPECT_EQ(SYNStoreModificationEvent::globalCount(*event), 0);
        EXPECT_EQ(SYNStoreModificationEvent::uniqueIdentifier(*event), "first");
        EXPECT_EQ(event->valueForKey("modelVersionIdentifier"), Value("v1"));
        EXPECT_NE(event->valueForKey("modelVersion").asString()->find("<plist"), std::string::npos);
        // An event imported from another store with a high count.
        EventWriter(*context).event("foreign", SYNStoreModificationEventTypeSave, 41, {"other", 3});
    });
    // The unsaved first event already holds revision 0.
    auto second = newBuilder()->makeNewEventOfType(SYNStoreModificationEventTypeSave);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second->revisionNumber, 1);

    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    inStore([&] {
        auto event = builder->event();
        ASSERT_TRUE(event);
        EXPECT_EQ(SYNStoreModificationEvent::globalCount(*event), 42);
        EXPECT_EQ(SYNStoreModificationEvent::type(*event), SYNStoreModificationEventTypeSave);
    });
}

TEST_F(SYNEventBuilderTest, TheFirstFinishedEventOfAnEmptyStoreCountsAboveUnfinishedOnes) {
    auto builder = newBuilder();
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    inStore([&] { EXPECT_EQ(SYNStoreModificationEvent::globalCount(*builder->event()), 1); });
}

TEST_F(SYNEventBuilderTest, RevisionNumbersAreNeverReusedAfterEventsAreDeleted) {
    const std::string local = *store->persistentStoreIdentifier();
    // A baseline that folded local revisions up to 7 and deleted their events.
    inStore([&] {
        SYNRevisionSet others;
        others.setRevisionNumber(local, 7);
        EventWriter(*context).event("base", SYNStoreModificationEventTypeBaseline, 3, {"other", 4}, others);
        ASSERT_EQ(context->save(), nullptr);
    });
    auto builder = newBuilder();
    auto revision = builder->makeNewEventOfType(SYNStoreModificationEventTypeSave);
    ASSERT_TRUE(revision.ok());
    EXPECT_EQ(revision->revisionNumber, 8);
    inStore([&] {
        // Without a merge event, the other stores' revisions are the baseline's.
        SYNRevisionSet expected;
        expected.setRevisionNumber("other", 4);
        EXPECT_EQ(SYNStoreModificationEvent::revisionSetOfOtherStores(*builder->event()), expected);
    });
}

TEST_F(SYNEventBuilderTest, OtherStoresRevisionsComeFromTheLatestLocalMerge) {
    const std::string local = *store->persistentStoreIdentifier();
    auto merge = newBuilder();
    ASSERT_TRUE(merge->makeNewEventOfType(SYNStoreModificationEventTypeMerge).ok());
    ManagedObjectPtr merged;
    inStore([&] {
        SYNRevisionSet seen;
        seen.setRevisionNumber("C", 2);
        seen.setRevisionNumber(local, 9);
        merged = EventWriter(*context).event("remote", SYNStoreModificationEventTypeSave, 1, {"B", 5}, seen);
        SYNRevisionSet already;
        already.setRevisionNumber("C", 3);
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*merge->event(), already);
    });
    ASSERT_EQ(merge->updateEventRevisionsAccountingForMergeOfEventIDs({merged->objectID()}), nullptr);
    ASSERT_EQ(merge->finalizeNewEvent(), nullptr);
    ASSERT_EQ(merge->saveAndReset(), nullptr);

    SYNRevisionSet expected;
    expected.setRevisionNumber("B", 5);
    expected.setRevisionNumber("C", 3);
    inStore(
        [&] { EXPECT_EQ(SYNStoreModificationEvent::revisionSetOfOtherStores(*merge->event()), expected); });
    auto save = newBuilder();
    ASSERT_TRUE(save->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    inStore(
        [&] { EXPECT_EQ(SYNStoreModificationEvent::revisionSetOfOtherStores(*save->event()), expected); });
}

// Among many merges the one of the highest local revision counts, whatever
// the order they were written in; saves and other stores' merges do not.
TEST_F(SYNEventBuilderTest, OtherStoresRevisionsComeFromTheLocalMergeOfTheHighestRevision) {
    const std::string local = *store->persistentStoreIdentifier();
    inStore([&] {
        EventWriter write(*context);
        auto seen = [](int64_t c) {
            SYNRevisionSet set;
            set.setRevisionNumber("C", c);
            return set;
        };
        write.event("m3", SYNStoreModificationEventTypeMerge, 1, {local, 3}, seen(7));
        write.event("m5", SYNStoreModificationEventTypeMerge, 3, {local, 5}, seen(9));
        write.event("m4", SYNStoreModificationEventTypeMerge, 2, {local, 4}, seen(8));
        write.event("s6", SYNStoreModificationEventTypeSave, 4, {local, 6}, seen(2));
        write.event("b10", SYNStoreModificationEventTypeMerge, 5, {"B", 10}, seen(1));
        ASSERT_EQ(context->save(), nullptr);
    });
    auto save = newBuilder();
    auto revision = save->makeNewEventOfType(SYNStoreModificationEventTypeSave);
    ASSERT_TRUE(revision.ok());
    EXPECT_EQ(revision->revisionNumber, 7);
    SYNRevisionSet expected;
    expected.setRevisionNumber("C", 9);
    inStore(
        [&] { EXPECT_EQ(SYNStoreModificationEvent::revisionSetOfOtherStores(*save->event()), expected); });
}

TEST_F(SYNEventBuilderTest, AnEventResetAwayBeforeItsSaveFailsCleanly) {
    auto builder = newBuilder();
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeMerge).ok());
    inStore([&] { context->reset(); });
    EXPECT_TRUE(SYNErrorHasCode(builder->finalizeNewEvent(), SYNErrorMissingEvent));
    EXPECT_TRUE(SYNErrorHasCode(builder->saveAndReset(), SYNErrorMissingEvent));
    EXPECT_TRUE(SYNErrorHasCode(builder->addDeleteChangesForObjectIDs({}), SYNErrorMissingEvent) ||
                builder->addDeleteChangesForObjectIDs({}) == nullptr);
    EXPECT_TRUE(allEvents().empty());
}

TEST_F(SYNEventBuilderTest, ReopeningKeepsCompleteEventsAndDropsInterruptedOnes) {
    const std::string local = *store->persistentStoreIdentifier();
    auto app = makeApplication();
    auto alice = person(app, "alice");
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects({alice}, true, false, *app.context), nullptr);
    });
    saveEvent(SYNStoreModificationEventTypeSave);
    // Saved between two saves of the builder, never finalized: a crash.
    auto crashed = newBuilder();
    ASSERT_TRUE(crashed->makeNewEventOfType(SYNStoreModificationEventTypeMerge, "crashed").ok());
    ASSERT_EQ(crashed->saveAndReset(), nullptr);
    // One the caller registered as still to be finished.
    EXPECT_EQ(store->registerIncompleteMandatoryEventIdentifier("registered"), nullptr);
    auto registered = newBuilder();
    ASSERT_TRUE(registered->makeNewEventOfType(SYNStoreModificationEventTypeSave, "registered").ok());
    ASSERT_EQ(registered->saveAndReset(), nullptr);
    EXPECT_EQ(allEvents().size(), 4u);
    crashed.reset();
    registered.reset();
    context.reset();
    store->dismantle();
    store.reset();

    store = openStore();
    ASSERT_TRUE(store);
    context = store->managedObjectContext();
    ASSERT_TRUE(context);
    struct Seen {
        std::string identifier;
        int16_t type;
        int64_t globalCount;
        SYNRevision revision;
        std::size_t changes;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> seen;
    for (const auto& event : allEvents()) {
        seen.push_back(inStore([&] {
            return Seen{
                SYNStoreModificationEvent::uniqueIdentifier(*event), SYNStoreModificationEvent::type(*event),
                SYNStoreModificationEvent::globalCount(*event), *SYNStoreModificationEvent::revision(*event),
                event->objectsForKey("objectChanges").size()};
        }));
    }
    // Event order: global count (0 for the unfinished event), then timestamp.
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen, (std::vector<Seen>{
                        {"registered", SYNStoreModificationEventTypeIncomplete, 0, {local, 3}, 0},
                        {seen[1].identifier, SYNStoreModificationEventTypeBaseline, 1, {local, 0}, 1},
                        {seen[2].identifier, SYNStoreModificationEventTypeSave, 2, {local, 1}, 0}}));
    EXPECT_EQ(store->currentBaselineIdentifier(), seen[1].identifier);
    // Counting goes on after the reopened events, never reusing the crashed revision.
    auto next = newBuilder();
    auto revision = next->makeNewEventOfType(SYNStoreModificationEventTypeSave);
    ASSERT_TRUE(revision.ok());
    EXPECT_EQ(revision->revisionNumber, 4);
    ASSERT_EQ(next->finalizeNewEvent(), nullptr);
    ASSERT_EQ(next->saveAndReset(), nullptr);
    inStore([&] { EXPECT_EQ(SYNStoreModificationEvent::globalCount(*next->event()), 3); });
}

TEST_F(SYNEventBuilderTest, InsertChangesHoldEveryValueAndLargeDataGoesToFiles) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto bob = person(app, "bob");
    plat::Data big(std::string(SYNMaximumInlineDataLength + 1, 'x').data(), SYNMaximumInlineDataLength + 1);
    plat::Data edge(std::string(SYNMaximumInlineDataLength, 'y').data(), SYNMaximumInlineDataLength);
    alice->setValue(Value(big), "photo");
    bob->setValue(Value(edge), "photo");
    alice->setValue(Value(int64_t{30}), "age");
    alice->setValue(Value("hidden"), "secret");
    alice->setValue(Value("temp"), "scratch");
    auto tag = plat::UUID::random();
    alice->setValue(plat::coredata::UUIDObject::make(tag), "tag");
    alice->mutableSetValueForKey("friends").addObject(bob);
    auto rex = app.context->insertNewObjectForEntityForName("Pet");
    auto tom = app.context->insertNewObjectForEntityForName("Pet");
    alice->mutableOrderedSetValueForKey("pets").addObject(tom);
    alice->mutableOrderedSetValueForKey("pets").addObject(rex);
    auto note = app.context->insertNewObjectForEntityForName("Note");
    note->setObject(alice, "person");
    ASSERT_EQ(app.context->save(), nullptr);

    saveEvent(SYNStoreModificationEventTypeSave, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects({alice, bob, rex, tom}, true, false, *app.context),
                  nullptr);
    });
    auto event = allEvents().back();
    inStore([&] {
        EXPECT_EQ(event->objectsForKey("objectChanges").size(), 4u);
        auto change = changeFor(event, "gid-alice");
        ASSERT_TRUE(change);
        EXPECT_EQ(SYNObjectChange::type(*change), SYNObjectChangeTypeInsert);
        EXPECT_EQ(change->valueForKey("nameOfEntity"), Value("Person"));
        auto values = SYNObjectChange::propertyChangeValues(*change);
        EXPECT_EQ(valueNamed(values, "secret"), nullptr);
        EXPECT_EQ(valueNamed(values, "scratch"), nullptr);
        EXPECT_EQ(valueNamed(values, "notes"), nullptr);
        EXPECT_EQ(valueNamed(values, "age")->value(), Value(int64_t{30}));
        EXPECT_EQ(valueNamed(values, "tag")->value(), Value(tag.UUIDString()));
        const auto* photo = valueNamed(values, "photo");
        EXPECT_EQ(photo->filename(), syn_md5Checksum(big));
        EXPECT_FALSE(photo->value().has_value());
        EXPECT_EQ(store->dataForFile(*photo->filename()), big);
        ASSERT_EQ(change->objectsForKey("dataFiles").size(), 1u);
        EXPECT_EQ(valueNamed(values, "friends")->addedIdentifiers(), std::set<std::string>{"gid-bob"});

        // Pets have no name: their identifiers are new UUIDs; each member has its index.
        const auto* pets = valueNamed(values, "pets");
        EXPECT_EQ(pets->type(), SYNPropertyChangeTypeOrderedToManyRelationship);
        ASSERT_EQ(pets->movedIdentifiersByIndex().size(), 2u);
        auto tomChange = changeFor(event, pets->movedIdentifiersByIndex().at(0));
        ASSERT_TRUE(tomChange);
        EXPECT_EQ(valueNamed(SYNObjectChange::propertyChangeValues(*tomChange), "owner")->relatedIdentifier(),
                  "gid-alice");

        auto bobValues = SYNObjectChange::propertyChangeValues(*changeFor(event, "gid-bob"));
        EXPECT_EQ(valueNamed(bobValues, "photo")->value(), Value(edge));
        EXPECT_FALSE(valueNamed(bobValues, "photo")->filename());
    });
    EXPECT_EQ(newBuilder()->retrieveGlobalIdentifierStringsForManagedObjects({alice, note}, true),
              (std::vector<std::optional<std::string>>{"gid-alice", std::nullopt}));
}

TEST_F(SYNEventBuilderTest, ChangesOfOneObjectFoldIntoOneAndDuplicatesAreReported) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    ASSERT_EQ(app.context->save(), nullptr);
    auto builder = newBuilder();
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    ASSERT_EQ(builder->addChangesForInsertedObjects({alice}, true, false, *app.context), nullptr);
    SYNPropertyChangeValue renamed(SYNPropertyChangeTypeAttribute, "name");
    renamed.setValue(Value("alicia"));
    ASSERT_EQ(builder->addUpdateChangesForObjectIDs({alice->objectID()}, {{alice->objectID(), {renamed}}}),
              nullptr);
    ASSERT_EQ(builder->checkUniquenessOfGlobalIdentifiers(), nullptr);
    inStore([&] {
        auto changes = builder->event()->objectsForKey("objectChanges");
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(SYNObjectChange::type(*changes[0]), SYNObjectChangeTypeInsert);
        auto values = SYNObjectChange::propertyChangeValues(*changes[0]);
        EXPECT_EQ(valueNamed(values, "name")->value(), Value("alicia"));
        EXPECT_TRUE(valueNamed(values, "age"));
    });
    ASSERT_EQ(builder->addDeleteChangesForObjectIDs({alice->objectID()}), nullptr);
    inStore([&] {
        auto changes = builder->event()->objectsForKey("objectChanges");
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(SYNObjectChange::type(*changes[0]), SYNObjectChangeTypeDelete);
        EXPECT_TRUE(SYNObjectChange::propertyChangeValues(*changes[0]).empty());
        // A second change made behind the builder's back.
        auto twin = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
        twin->setValue(Value(int64_t{SYNObjectChangeTypeUpdate}), "type");
        twin->setValue(Value("Person"), "nameOfEntity");
        twin->setObject(changes[0]->objectForKey("globalIdentifier"), "globalIdentifier");
        twin->setObject(builder->event(), "storeModificationEvent");
    });
    EXPECT_TRUE(
        SYNErrorHasCode(builder->checkUniquenessOfGlobalIdentifiers(), SYNErrorDuplicateGlobalIdentifiers));
}

TEST_F(SYNEventBuilderTest, UnsavedChangesOfAChildContextBecomeChangesWithLastingStoreURIs) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto bob = person(app, "bob");
    auto carol = person(app, "carol");
    alice->mutableSetValueForKey("friends").addObject(bob);
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects({alice, bob}, true, false, *app.context), nullptr);
    });

    auto child = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    child->setParentContext(app.context);
    auto childAlice = child->objectWithID(alice->objectID());
    auto dave = child->insertNewObjectForEntityForName("Person");
    childAlice->mutableSetValueForKey("friends").removeObject(child->objectWithID(bob->objectID()));
    childAlice->mutableSetValueForKey("friends").addObject(dave);
    childAlice->setValue(Value(int64_t{31}), "age");
    child->deleteObject(child->objectWithID(bob->objectID()));
    child->deleteObject(child->objectWithID(carol->objectID()));  // never recorded: no change

    auto builder = newBuilder();
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeMerge).ok());
    ASSERT_EQ(builder->addChangesForUnsavedManagedObjectContext(*child), nullptr);
    ASSERT_EQ(builder->checkUniquenessOfGlobalIdentifiers(), nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    ASSERT_EQ(child->save(), nullptr);
    ASSERT_EQ(app.context->save(), nullptr);

    inStore([&] {
        auto event = builder->event();
        auto changes = event->objectsForKey("objectChanges");
        EXPECT_EQ(changes.size(), 3u);
        EXPECT_EQ(SYNObjectChange::type(*changeFor(event, "gid-bob")), SYNObjectChangeTypeDelete);
        auto update = SYNObjectChange::propertyChangeValues(*changeFor(event, "gid-alice"));
        EXPECT_EQ(valueNamed(update, "age")->value(), Value(int64_t{31}));
        EXPECT_EQ(valueNamed(update, "friends")->removedIdentifiers(), std::set<std::string>{"gid-bob"});
        ASSERT_EQ(valueNamed(update, "friends")->addedIdentifiers().size(), 1u);
        std::string daveIdentifier = *valueNamed(update, "friends")->addedIdentifiers().begin();
        auto insert = changeFor(event, daveIdentifier);
        ASSERT_TRUE(insert);
        EXPECT_EQ(SYNObjectChange::type(*insert), SYNObjectChangeTypeInsert);
        // The recorded URI still finds the object after both saves.
        auto uri = *SYNStoreURIs::forContext(*context)->decode(
            insert->objectForKey("globalIdentifier")->valueForKey("storeURI"));
        auto id = app.coordinator->managedObjectIDForURIRepresentation(uri);
        ASSERT_TRUE(id);
        EXPECT_TRUE(app.context->existingObjectWithID(id).ok());
    });
}

TEST_F(SYNEventBuilderTest, UpdatesTakenBeforeASaveAreCompletedWithTheSavedValues) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto rex = app.context->insertNewObjectForEntityForName("Pet");
    auto tom = app.context->insertNewObjectForEntityForName("Pet");
    alice->mutableOrderedSetValueForKey("pets").addObject(rex);
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects({alice, rex, tom}, true, false, *app.context),
                  nullptr);
    });

    alice->setValue(Value("alicia"), "name");
    alice->mutableOrderedSetValueForKey("pets").insertObject(tom, 0);
    SYNPropertyChangeValuesByObjectID values;
    values[alice->objectID()] = SYNPropertyChangeValue::propertyChangesForObject(
        *alice, store, alice->changedValues().keys(), true, false);
    EXPECT_FALSE(valueNamed(values[alice->objectID()], "name")->value().has_value());
    ASSERT_EQ(app.context->save(), nullptr);

    auto builder = newBuilder();
    builder->updatePropertyChangeValuesForUpdatedObjects({alice}, *app.context,
                                                         SYNUpdateOptionStoreSavedValues, values);
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    ASSERT_EQ(builder->addUpdateChangesForObjectIDs({alice->objectID()}, values), nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    inStore([&] {
        auto update = SYNObjectChange::propertyChangeValues(*changeFor(builder->event(), "gid-alice"));
        EXPECT_EQ(valueNamed(update, "name")->value(), Value("alicia"));
        const auto* pets = valueNamed(update, "pets");
        ASSERT_TRUE(pets);
        EXPECT_EQ(pets->addedIdentifiers().size(), 1u);
        EXPECT_TRUE(pets->removedIdentifiers().empty());
        ASSERT_EQ(pets->movedIdentifiersByIndex().size(), 2u);
        EXPECT_EQ(pets->movedIdentifiersByIndex().at(0), *pets->addedIdentifiers().begin());
    });
}

// The same with more objects than a look-up lists inline (SQLite reads such a
// list as JSON): the new event's changes are found by event and identifier,
// and the baseline's changes of the objects stay as they were.
TEST_F(SYNEventBuilderTest, ChangesOfManyObjectsFoldOnlyIntoTheEventBeingBuilt) {
    auto app = makeApplication();
    SYNManagedObjects people;
    SYNManagedObjectIDs ids;
    for (int i = 0; i < 150; ++i) {
        people.push_back(person(app, "p" + std::to_string(i)));
    }
    ASSERT_EQ(app.context->save(), nullptr);
    for (const auto& each : people) {
        ids.push_back(each->objectID());
    }
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects(people, true, false, *app.context), nullptr);
    });
    auto valuesFor = [&](const std::string& property, const std::function<Value(std::size_t)>& value) {
        SYNPropertyChangeValuesByObjectID values;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            SYNPropertyChangeValue changed(SYNPropertyChangeTypeAttribute, property);
            changed.setValue(value(i));
            values[ids[i]] = {changed};
        }
        return values;
    };
    auto builder = newBuilder();
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    ASSERT_EQ(builder->addUpdateChangesForObjectIDs(
                  ids, valuesFor("name", [](std::size_t i) { return Value("q" + std::to_string(i)); })),
              nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    ASSERT_EQ(builder->addUpdateChangesForObjectIDs(
                  ids, valuesFor("age", [](std::size_t i) { return Value(static_cast<int64_t>(i)); })),
              nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);

    auto events = allEvents();
    ASSERT_EQ(events.size(), 2u);
    inStore([&] {
        EXPECT_EQ(events[0]->objectsForKey("objectChanges").size(), people.size());
        EXPECT_EQ(events[1]->objectsForKey("objectChanges").size(), people.size());
        for (std::size_t i : {std::size_t{0}, std::size_t{70}, people.size() - 1}) {
            const std::string gid = "gid-p" + std::to_string(i);
            auto baseline = SYNObjectChange::propertyChangeValues(*changeFor(events[0], gid));
            EXPECT_EQ(valueNamed(baseline, "name")->value(), Value("p" + std::to_string(i)));
            EXPECT_EQ(SYNObjectChange::type(*changeFor(events[1], gid)), SYNObjectChangeTypeUpdate);
            auto latest = SYNObjectChange::propertyChangeValues(*changeFor(events[1], gid));
            ASSERT_EQ(latest.size(), 2u) << gid;
            EXPECT_EQ(valueNamed(latest, "name")->value(), Value("q" + std::to_string(i)));
            EXPECT_EQ(valueNamed(latest, "age")->value(), Value(static_cast<int64_t>(i)));
        }
    });
}

// Changes of an object are folded only into the event being built: the
// object's changes in the baseline and in earlier events stay as they were,
// and the new event holds one change per object, made of this save's values.
TEST_F(SYNEventBuilderTest, ChangesFoldOnlyIntoTheEventBeingBuilt) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto bob = person(app, "bob");
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects({alice, bob}, true, false, *app.context), nullptr);
    });
    auto rename = [&](const ManagedObjectPtr& who, const std::string& name) {
        SYNPropertyChangeValue value(SYNPropertyChangeTypeAttribute, "name");
        value.setValue(Value(name));
        return SYNPropertyChangeValuesByObjectID{{who->objectID(), {value}}};
    };
    saveEvent(SYNStoreModificationEventTypeSave, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addUpdateChangesForObjectIDs({alice->objectID()}, rename(alice, "alicia")),
                  nullptr);
    });

    auto builder = newBuilder();
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    ASSERT_EQ(builder->addUpdateChangesForObjectIDs({alice->objectID()}, rename(alice, "ally")), nullptr);
    SYNPropertyChangeValue aged(SYNPropertyChangeTypeAttribute, "age");
    aged.setValue(Value(int64_t{40}));
    ASSERT_EQ(builder->addUpdateChangesForObjectIDs({alice->objectID(), bob->objectID()},
                                                    {{alice->objectID(), {aged}}, {bob->objectID(), {aged}}}),
              nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);

    auto events = allEvents();
    ASSERT_EQ(events.size(), 3u);
    inStore([&] {
        auto baselineAlice = SYNObjectChange::propertyChangeValues(*changeFor(events[0], "gid-alice"));
        EXPECT_EQ(valueNamed(baselineAlice, "name")->value(), Value("alice"));
        EXPECT_EQ(SYNObjectChange::type(*changeFor(events[0], "gid-bob")), SYNObjectChangeTypeInsert);
        auto earlier = events[1]->objectsForKey("objectChanges");
        ASSERT_EQ(earlier.size(), 1u);
        auto earlierValues = SYNObjectChange::propertyChangeValues(*earlier[0]);
        ASSERT_EQ(earlierValues.size(), 1u);
        EXPECT_EQ(earlierValues[0].value(), Value("alicia"));

        auto latest = events[2]->objectsForKey("objectChanges");
        ASSERT_EQ(latest.size(), 2u);
        auto aliceValues = SYNObjectChange::propertyChangeValues(*changeFor(events[2], "gid-alice"));
        EXPECT_EQ(SYNObjectChange::type(*changeFor(events[2], "gid-alice")), SYNObjectChangeTypeUpdate);
        ASSERT_EQ(aliceValues.size(), 2u);
        EXPECT_EQ(valueNamed(aliceValues, "name")->value(), Value("ally"));
        EXPECT_EQ(valueNamed(aliceValues, "age")->value(), Value(int64_t{40}));
        auto bobValues = SYNObjectChange::propertyChangeValues(*changeFor(events[2], "gid-bob"));
        ASSERT_EQ(bobValues.size(), 1u);
        EXPECT_EQ(valueNamed(bobValues, "age")->value(), Value(int64_t{40}));
    });
}

// What a save adds to and removes from an unordered to-many is read from the
// object's own record of it, before and after the save: the members on the
// other side (here 40 friends) are never loaded.
TEST_F(SYNEventBuilderTest, ToManyDifferencesAreTakenWithoutLoadingTheOtherSide) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    SYNManagedObjects everyone{alice};
    for (int i = 0; i < 40; ++i) {
        auto friendOfAlice = person(app, "friend" + std::to_string(i));
        alice->mutableSetValueForKey("friends").addObject(friendOfAlice);
        everyone.push_back(friendOfAlice);
    }
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects(everyone, true, false, *app.context), nullptr);
    });

    auto context = plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(app.coordinator);
    auto aliceHere = context->objectWithID(alice->objectID());
    auto leaving = context->objectWithID(everyone[3]->objectID());
    leaving->mutableSetValueForKey("friends").removeObject(aliceHere);
    auto carol = context->insertNewObjectForEntityForName("Person");
    carol->setValue(Value("carol"), "name");
    carol->mutableSetValueForKey("friends").addObject(aliceHere);
    SYNPropertyChangeValuesByObjectID values;
    values[aliceHere->objectID()] = SYNPropertyChangeValue::propertyChangesForObject(
        *aliceHere, store, aliceHere->changedPropertyNames(), true, false);
    EXPECT_EQ(context->registeredObjects().size(), 3u);  // alice, the friend leaving, carol
    const auto* before = valueNamed(values[aliceHere->objectID()], "friends");
    ASSERT_TRUE(before);
    EXPECT_EQ(before->addedObjectIDs().size(), 1u);
    EXPECT_EQ(before->removedObjectIDs().size(), 1u);

    ASSERT_EQ(context->save(), nullptr);
    auto builder = newBuilder();
    builder->updatePropertyChangeValuesForUpdatedObjects({aliceHere}, *context,
                                                         SYNUpdateOptionStoreSavedValues, values);
    EXPECT_EQ(context->registeredObjects().size(), 3u);
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    auto carolID = builder->addGlobalIdentifiersForManagedObjectIDs({carol->objectID()}, {"gid-carol"});
    ASSERT_TRUE(carolID.ok());
    ASSERT_EQ(builder->addUpdateChangesForObjectIDs({aliceHere->objectID()}, values), nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    inStore([&] {
        auto update = SYNObjectChange::propertyChangeValues(*changeFor(builder->event(), "gid-alice"));
        const auto* friends = valueNamed(update, "friends");
        ASSERT_TRUE(friends);
        EXPECT_EQ(friends->addedIdentifiers(), std::set<std::string>{"gid-carol"});
        EXPECT_EQ(friends->removedIdentifiers(), std::set<std::string>{"gid-friend2"});
    });
}

// Objects inserted by a save and linked from objects saved before: the
// updates' values were taken before the save, under the new objects'
// temporary IDs, and must still name the identifiers their inserts carry.
// More inserts than one batch: every batch is saved on its own, links across
// batches still name one identifier per object, and the event store's context
// stays usable (an event object held before reads the saved state).
TEST_F(SYNEventBuilderTest, InsertsLargerThanABatchKeepOneIdentifierPerObjectAcrossBatches) {
    auto app = makeApplication();
    const std::size_t count = 2 * SYNInsertBatchSize + 7;
    SYNManagedObjects people;
    for (std::size_t i = 0; i < count; ++i) {
        people.push_back(person(app, "p" + std::to_string(i)));
    }
    for (std::size_t i = 0; i < count; ++i) {  // each one's friend is in another batch
        people[i]->mutableSetValueForKey("friends").addObject(people[(i + SYNInsertBatchSize) % count]);
    }
    // A value large enough for a data file, in the last batch.
    plat::Data big(std::string(SYNMaximumInlineDataLength + 1, 'y').data(), SYNMaximumInlineDataLength + 1);
    people.back()->setValue(Value(big), "photo");
    ASSERT_EQ(app.context->save(), nullptr);

    auto builder = newBuilder();
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    auto held = builder->event();
    ASSERT_EQ(builder->addChangesForInsertedObjects(people, true, false, *app.context), nullptr);
    inStore([&] {
        EXPECT_EQ(SYNStoreModificationEvent::type(*held), SYNStoreModificationEventTypeIncomplete);
        EXPECT_EQ(held->objectsForKey("objectChanges").size(), count);
    });
    EXPECT_EQ(builder->checkUniquenessOfGlobalIdentifiers(), nullptr);
    EXPECT_EQ(builder->finalizeNewEvent(), nullptr);
    EXPECT_EQ(builder->saveAndReset(), nullptr);

    auto event = allEvents().back();
    inStore([&] {
        EXPECT_EQ(SYNStoreModificationEvent::type(*event), SYNStoreModificationEventTypeSave);
        plat::coredata::FetchRequest identifiers(SYNGlobalIdentifierEntityName);
        EXPECT_EQ(*context->countForFetchRequest(identifiers), count);
        auto changes = event->objectsForKey("objectChanges");
        ASSERT_EQ(changes.size(), count);
        for (std::size_t i : {std::size_t{0}, SYNInsertBatchSize - 1, SYNInsertBatchSize, count - 1}) {
            auto change = changeFor(event, "gid-p" + std::to_string(i));
            ASSERT_TRUE(change) << i;
            EXPECT_EQ(SYNObjectChange::type(*change), SYNObjectChangeTypeInsert);
            const auto values = SYNObjectChange::propertyChangeValues(*change);
            const auto* friends = valueNamed(values, "friends");
            ASSERT_NE(friends, nullptr);
            const std::string other = "gid-p" + std::to_string((i + SYNInsertBatchSize) % count);
            const std::string before = "gid-p" + std::to_string((i + count - SYNInsertBatchSize) % count);
            EXPECT_EQ(friends->addedIdentifiers(), (std::set<std::string>{other, before})) << i;
        }
        auto last = changeFor(event, "gid-p" + std::to_string(count - 1));
        ASSERT_TRUE(last);
        ASSERT_EQ(last->objectsForKey("dataFiles").size(), 1u);
        EXPECT_EQ(store->dataForFile(syn_md5Checksum(big)), big);
    });
}

// Identifiers prepared for an import go out in ascending order, batch after
// batch (their records then go in at the end of the identifier index); once
// they run out, or after they are dropped, objects get fresh ones as before,
// and an object listed twice in one call still gets one record.
TEST_F(SYNEventBuilderTest, PreparedIdentifiersGoOutInAscendingOrderThenFreshOnes) {
    auto app = makeApplication();
    SYNManagedObjects people;
    for (int i = 0; i < 30; ++i) {
        people.push_back(person(app, "p" + std::to_string(i)));
    }
    ASSERT_EQ(app.context->save(), nullptr);
    SYNManagedObjectIDs ids;
    for (const auto& object : people) {
        ids.push_back(object->objectID());
    }

    auto builder = newBuilder();
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeBaseline).ok());
    builder->setObjectsHaveNoIdentifierRecords(true);
    builder->prepareNewIdentifiers(22);  // the first three calls' worth, the duplicate's included
    std::vector<std::string> made;
    std::vector<int64_t> keys;
    for (std::size_t first = 0; first < ids.size(); first += 7) {
        SYNManagedObjectIDs batch(ids.begin() + static_cast<std::ptrdiff_t>(first),
                                  ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), first + 7)));
        if (first == 14) {
            batch.push_back(batch.front());  // listed twice
        }
        auto records = builder->addGlobalIdentifiersForManagedObjectIDs(
            batch, std::vector<std::optional<std::string>>(batch.size()));
        ASSERT_TRUE(records.ok());
        ASSERT_EQ(records->size(), batch.size());
        if (first == 14) {
            EXPECT_TRUE((*records).front()->isEqualID(*(*records).back()));
            records->pop_back();
        }
        ASSERT_EQ(builder->saveAndReset(), nullptr);
    }
    builder->setObjectsHaveNoIdentifierRecords(false);
    auto stored = inStore([&] {
        auto records = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(ids, *context);
        std::vector<std::string> strings;
        if (records.ok()) {
            for (const auto& record : *records) {
                strings.push_back(record ? *record->valueForKey("globalIdentifier").asString() : "");
            }
        }
        return strings;
    });
    ASSERT_EQ(stored.size(), ids.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_TRUE(plat::UUID::fromString(stored[i])) << stored[i];
        if (i < 21) {
            // Random version-4 UUIDs, as made one by one.
            ASSERT_EQ(stored[i].size(), 36u);
            EXPECT_EQ(stored[i][14], '4') << stored[i];
            EXPECT_NE(std::string("89AB").find(stored[i][19]), std::string::npos) << stored[i];
        }
        if (i > 0 && i < 21) {
            EXPECT_LT(stored[i - 1], stored[i]) << i;
        }
    }
    EXPECT_EQ(std::set<std::string>(stored.begin(), stored.end()).size(), ids.size());
    EXPECT_EQ(inStore([&] {
                  return *context->countForFetchRequest(
                      plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
              }),
              ids.size());

    // Dropped before use: an object added later gets a fresh identifier.
    builder->prepareNewIdentifiers(5);
    builder->prepareNewIdentifiers(0);
    auto late = person(app, "late");
    ASSERT_EQ(app.context->save(), nullptr);
    auto lateRecord = builder->addGlobalIdentifiersForManagedObjectIDs({late->objectID()}, {std::nullopt});
    ASSERT_TRUE(lateRecord.ok());
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    inStore([&] {
        auto record = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs({late->objectID()}, *context);
        ASSERT_TRUE(record.ok() && (*record)[0]);
        const plat::Value identifierValue = (*record)[0]->valueForKey("globalIdentifier");
        const auto identifier = identifierValue.asString();
        ASSERT_TRUE(identifier);
        EXPECT_TRUE(plat::UUID::fromString(*identifier));
        EXPECT_FALSE(std::find(stored.begin(), stored.end(), *identifier) != stored.end());
    });
}

// The store URI of an object is its ID's URI, for objects of several
// entities and stores, keys of any length, and temporary IDs.
TEST_F(SYNEventBuilderTest, StoreURIsAreTheObjectIDsURIs) {
    auto first = makeApplication();
    auto second = makeApplication();
    std::vector<plat::coredata::ManagedObjectIDPtr> ids;
    for (auto* app : {&first, &second}) {
        auto store = app->coordinator->persistentStores().front();
        auto alice = person(*app, "alice");
        auto rex = app->context->insertNewObjectForEntityForName("Pet");
        ASSERT_EQ(app->context->save(), nullptr);
        for (const auto& object : {alice, rex, alice}) {
            const auto& description = object->objectID()->sharedEntity();
            for (int64_t key : {int64_t{1}, int64_t{9}, int64_t{10}, int64_t{123}, int64_t{1000000},
                                std::numeric_limits<int64_t>::max()}) {
                ids.push_back(plat::coredata::ManagedObjectID::makePermanent(description, store, key));
            }
        }
        ids.push_back(app->context->insertNewObjectForEntityForName("Pet")->objectID());
        ids.push_back(alice->objectID());
    }
    for (int round = 0; round < 2; ++round) {
        for (const auto& id : ids) {
            EXPECT_EQ(SYNGlobalIdentifier::storeURIForObjectID(*id),
                      id->URIRepresentation().absoluteString());
        }
    }
}

// Planned identifiers (an import's first pass into an event store holding
// none): nothing is written until the objects' inserts, which make each
// record with its planned identifier in the same save; links made before a
// target's own insert name that identifier; an object planned but never
// inserted gets no record.
TEST_F(SYNEventBuilderTest, PlannedIdentifiersGetTheirRecordsWithTheirInserts) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto bob = person(app, "bob");
    auto carol = person(app, "carol");
    alice->mutableSetValueForKey("friends").addObject(bob);
    ASSERT_EQ(app.context->save(), nullptr);

    auto builder = newBuilder();
    builder->setRemembersIdentifiers(true);
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeBaseline).ok());
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    builder->prepareNewIdentifiers(3);
    builder->planIdentifiersForManagedObjectIDs({alice->objectID(), bob->objectID(), carol->objectID()});
    builder->planIdentifiersForManagedObjectIDs({alice->objectID()});  // planned once
    builder->prepareNewIdentifiers(0);
    auto count = [&] {
        return inStore([&] {
            return *context->countForFetchRequest(
                plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        });
    };
    EXPECT_EQ(count(), 0u);

    // Alice first (her link names bob's planned identifier), then bob.
    ASSERT_EQ(builder->addChangesForInsertedObjects({alice}, true, true, *app.context), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    EXPECT_EQ(count(), 1u);
    // Bob listed twice: one record.
    ASSERT_EQ(builder->addChangesForInsertedObjects({bob, bob}, true, true, *app.context), nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    EXPECT_EQ(count(), 2u);

    inStore([&] {
        auto records = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(
            {alice->objectID(), bob->objectID()}, *context);
        ASSERT_TRUE(records.ok() && (*records)[0] && (*records)[1]);
        const std::string aliceIdentifier = *(*records)[0]->valueForKey("globalIdentifier").asString();
        const std::string bobIdentifier = *(*records)[1]->valueForKey("globalIdentifier").asString();
        EXPECT_LT(aliceIdentifier, bobIdentifier);  // prepared, in order
        auto event = allEvents().back();
        auto aliceChange = changeFor(event, aliceIdentifier);
        ASSERT_TRUE(aliceChange);
        const auto values = SYNObjectChange::propertyChangeValues(*aliceChange);
        const auto* friends = valueNamed(values, "friends");
        ASSERT_NE(friends, nullptr);
        EXPECT_EQ(friends->addedIdentifiers(), (std::set<std::string>{bobIdentifier}));
        EXPECT_TRUE(changeFor(event, bobIdentifier));
        EXPECT_EQ(event->objectsForKey("objectChanges").size(), 2u);
        auto none = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs({carol->objectID()}, *context);
        ASSERT_TRUE(none.ok());
        EXPECT_FALSE((*none)[0]);
    });
    // Once saved, the records are remembered by key like any other.
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    ASSERT_EQ(builder->addChangesForInsertedObjects({alice}, true, true, *app.context), nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    EXPECT_EQ(count(), 2u);
}

// An import that keeps the identifiers it made: links name the identifier an
// object answers to last (one given again after the first pass), only what
// was saved is kept, and an object without a record gets one when linked.
TEST_F(SYNEventBuilderTest, RememberedIdentifiersNameWhatTheStoreHolds) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto bob = person(app, "bob");
    auto carol = person(app, "carol");
    bob->mutableSetValueForKey("friends").addObject(alice);
    bob->mutableSetValueForKey("friends").addObject(carol);
    ASSERT_EQ(app.context->save(), nullptr);

    auto builder = newBuilder();
    builder->setRemembersIdentifiers(true);
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeBaseline).ok());
    ASSERT_TRUE(
        builder
            ->addGlobalIdentifiersForManagedObjectIDs({alice->objectID(), bob->objectID()},
                                                      {std::string("gid-alice"), std::string("gid-bob")})
            .ok());
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    // Given a new identifier, and made for carol, both left unsaved: nothing
    // of it may be taken for what the store holds.
    ASSERT_TRUE(
        builder
            ->addGlobalIdentifiersForManagedObjectIDs({alice->objectID(), carol->objectID()},
                                                      {std::string("gid-lost"), std::string("gid-gone")})
            .ok());
    builder->performBlockAndWait([&] { context->rollback(); });
    ASSERT_TRUE(
        builder->addGlobalIdentifiersForManagedObjectIDs({alice->objectID()}, {std::string("gid-alicia")})
            .ok());
    ASSERT_EQ(builder->saveAndReset(), nullptr);

    ASSERT_EQ(builder->addChangesForInsertedObjects({bob}, true, true, *app.context), nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    inStore([&] {
        auto change = changeFor(allEvents().back(), "gid-bob");
        ASSERT_TRUE(change);
        const auto values = SYNObjectChange::propertyChangeValues(*change);
        const auto* friends = valueNamed(values, "friends");
        ASSERT_NE(friends, nullptr);
        ASSERT_EQ(friends->addedIdentifiers().size(), 2u);
        EXPECT_TRUE(friends->addedIdentifiers().count("gid-alicia"));
        EXPECT_FALSE(friends->addedIdentifiers().count("gid-gone"));
        // Carol's identifier was made for the link, and her record holds it.
        std::string carolIdentifier;
        for (const auto& identifier : friends->addedIdentifiers()) {
            if (identifier != "gid-alicia") {
                carolIdentifier = identifier;
            }
        }
        auto records = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs({carol->objectID()}, *context);
        ASSERT_TRUE(records.ok());
        ASSERT_TRUE((*records)[0]);
        EXPECT_EQ((*records)[0]->valueForKey("globalIdentifier"), Value(carolIdentifier));
    });
}

// The changes of an import name the identifier records its first pass made
// (taken by their keys); a record deleted since is looked for by store URI
// like any other, and the object gets a new one.
TEST_F(SYNEventBuilderTest, RememberedRecordsAreTheInsertsIdentifiersUnlessGone) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto bob = person(app, "bob");
    ASSERT_EQ(app.context->save(), nullptr);

    auto builder = newBuilder();
    builder->setRemembersIdentifiers(true);
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeBaseline).ok());
    ASSERT_TRUE(
        builder
            ->addGlobalIdentifiersForManagedObjectIDs({alice->objectID(), bob->objectID()},
                                                      {std::string("gid-alice"), std::string("gid-bob")})
            .ok());
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    builder->performBlockAndWait([&] {
        auto gone = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs({bob->objectID()}, *context);
        ASSERT_TRUE(gone.ok() && (*gone)[0]);
        context->deleteObject((*gone)[0]);
        ASSERT_EQ(context->save(), nullptr);
    });

    ASSERT_EQ(builder->addChangesForInsertedObjects({alice, bob}, true, true, *app.context), nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    inStore([&] {
        auto event = allEvents().back();
        ASSERT_TRUE(changeFor(event, "gid-alice"));
        EXPECT_FALSE(changeFor(event, "gid-bob"));
        auto found = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs({bob->objectID()}, *context);
        ASSERT_TRUE(found.ok());
        ASSERT_TRUE((*found)[0]);
        const plat::Value identifierValue = (*found)[0]->valueForKey("globalIdentifier");
        const auto identifier = identifierValue.asString();
        ASSERT_TRUE(identifier);
        EXPECT_NE(*identifier, "gid-bob");
        EXPECT_TRUE(changeFor(event, *identifier));
        EXPECT_EQ(event->objectsForKey("objectChanges").size(), 2u);
    });
}

TEST_F(SYNEventBuilderTest, LinksToObjectsInsertedInTheSameSaveNameTheirInsertsIdentifiers) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto rex = app.context->insertNewObjectForEntityForName("Pet");
    rex->setValue(Value("rex"), "name");
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects({alice, rex}, true, false, *app.context), nullptr);
    });

    struct Case {
        const char* name;
        const char* entity;
        std::function<void(const ManagedObjectPtr&)> link;
    };
    const std::vector<Case> cases = {
        {"to-many, set on the saved side", "Person",
         [&](const ManagedObjectPtr& added) { alice->mutableSetValueForKey("friends").addObject(added); }},
        {"to-many, set on the new side", "Person",
         [&](const ManagedObjectPtr& added) { added->mutableSetValueForKey("friends").addObject(alice); }},
        {"ordered to-many, set on the saved side", "Pet",
         [&](const ManagedObjectPtr& added) {
             alice->mutableOrderedSetValueForKey("pets").addObject(added);
         }},
        {"ordered to-many, set on the new side (to-one)", "Pet",
         [&](const ManagedObjectPtr& added) { added->setObject(alice, "owner"); }},
        {"to-one, set on the saved side", "Person",
         [&](const ManagedObjectPtr& added) { rex->setObject(added, "owner"); }},
        {"to-one, set on the new side (ordered to-many)", "Person",
         [&](const ManagedObjectPtr& added) { added->mutableOrderedSetValueForKey("pets").addObject(rex); }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::string name = "new" + std::to_string(i);
        auto added = app.context->insertNewObjectForEntityForName(cases[i].entity);
        added->setValue(Value(name), "name");
        cases[i].link(added);
        app.context->processPendingChanges();

        // Before the save, as the mesh does.
        SYNManagedObjects updated = app.context->updatedObjects();
        SYNManagedObjectIDs updatedIDs;
        SYNPropertyChangeValuesByObjectID values;
        for (const auto& object : updated) {
            updatedIDs.push_back(object->objectID());
            values[object->objectID()] = SYNPropertyChangeValue::propertyChangesForObject(
                *object, store, object->changedValues().keys(), true, false);
        }
        ASSERT_EQ(app.context->save(), nullptr);

        // After the save.
        auto builder = newBuilder();
        auto strings = builder->retrieveGlobalIdentifierStringsForManagedObjects({added}, false);
        auto arrays = builder->propertyChangeValueArraysForInsertedObjects({added}, true, *app.context);
        builder->updatePropertyChangeValuesForUpdatedObjects(updated, *app.context,
                                                             SYNUpdateOptionStoreSavedValues, values);
        ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
        auto identifiers = builder->addGlobalIdentifiersForManagedObjectIDs({added->objectID()}, strings);
        ASSERT_TRUE(identifiers.ok());
        ASSERT_EQ(builder->addInsertChangesForPropertyChangeValueArrays(std::move(arrays), *identifiers),
                  nullptr);
        ASSERT_EQ(builder->addUpdateChangesForObjectIDs(updatedIDs, values), nullptr);
        ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
        ASSERT_EQ(builder->saveAndReset(), nullptr);

        inStore([&] {
            auto event = builder->event();
            std::set<std::string> named;
            std::size_t updates = 0;
            for (const auto& change : event->objectsForKey("objectChanges")) {
                updates += SYNObjectChange::type(*change) == SYNObjectChangeTypeUpdate;
                for (const auto& value : SYNObjectChange::propertyChangeValues(*change)) {
                    std::set<std::string> linked = value.addedIdentifiers();
                    linked.insert(value.removedIdentifiers().begin(), value.removedIdentifiers().end());
                    if (value.relatedIdentifier()) {
                        linked.insert(*value.relatedIdentifier());
                    }
                    for (const auto& entry : value.movedIdentifiersByIndex()) {
                        linked.insert(entry.second);
                    }
                    named.insert(linked.begin(), linked.end());
                }
            }
            EXPECT_EQ(updates, updated.size());
            EXPECT_TRUE(named.count("gid-" + name));
            // Every identifier named is one an insert carries: no record
            // was made for the temporary ID.
            for (const auto& identifier : named) {
                EXPECT_TRUE(identifier == "gid-alice" || identifier == "gid-rex" ||
                            identifier.starts_with("gid-new"))
                    << identifier;
            }
            auto records =
                context->executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
            ASSERT_TRUE(records.ok());
            EXPECT_EQ(records->size(), 3 + i);
        });
    }
}

// Objects changed together link to each other under the identifiers their
// own changes carry, whether the linked object's record came with the
// changes (inserts with identifiers the mesh gave, updates found by store
// URI) or is looked up (an object changed but left out, a record of this
// event not saved yet); no object gets a second record.
TEST_F(SYNEventBuilderTest, LinksAmongObjectsChangedTogetherNameTheirOwnIdentifiers) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto bob = person(app, "bob");
    auto carol = person(app, "carol");
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects({alice, bob, carol}, true, false, *app.context),
                  nullptr);
    });
    auto dave = person(app, "dave");
    auto erin = person(app, "erin");
    dave->mutableSetValueForKey("friends").addObject(erin);
    dave->mutableSetValueForKey("friends").addObject(alice);
    alice->mutableSetValueForKey("friends").addObject(bob);
    alice->mutableSetValueForKey("friends").addObject(carol);
    app.context->processPendingChanges();
    SYNManagedObjects updated = app.context->updatedObjects();
    ASSERT_EQ(updated.size(), 3u);  // alice, bob, carol
    SYNPropertyChangeValuesByObjectID values;
    for (const auto& object : updated) {
        values[object->objectID()] = SYNPropertyChangeValue::propertyChangesForObject(
            *object, store, object->changedValues().keys(), true, false);
    }
    ASSERT_EQ(app.context->save(), nullptr);

    auto builder = newBuilder();
    auto strings = builder->retrieveGlobalIdentifierStringsForManagedObjects({dave, erin}, false);
    auto arrays = builder->propertyChangeValueArraysForInsertedObjects({dave, erin}, true, *app.context);
    builder->updatePropertyChangeValuesForUpdatedObjects(updated, *app.context,
                                                         SYNUpdateOptionStoreSavedValues, values);
    ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
    auto identifiers =
        builder->addGlobalIdentifiersForManagedObjectIDs({dave->objectID(), erin->objectID()}, strings);
    ASSERT_TRUE(identifiers.ok());
    ASSERT_EQ(builder->addInsertChangesForPropertyChangeValueArrays(std::move(arrays), *identifiers),
              nullptr);
    // Carol's change is left out: alice's link to her is looked up.
    ASSERT_EQ(builder->addUpdateChangesForObjectIDs({alice->objectID(), bob->objectID()}, values), nullptr);
    ASSERT_EQ(builder->finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder->saveAndReset(), nullptr);

    auto events = allEvents();
    ASSERT_EQ(events.size(), 2u);
    inStore([&] {
        auto friendsOf = [&](const std::string& identifier) {
            auto change = changeFor(events[1], identifier);
            EXPECT_TRUE(change) << identifier;
            const auto values = change ? SYNObjectChange::propertyChangeValues(*change)
                                       : std::vector<SYNPropertyChangeValue>();
            const auto* friends = valueNamed(values, "friends");
            return friends ? friends->addedIdentifiers() : std::set<std::string>{{"no friends"}};
        };
        EXPECT_EQ(events[1]->objectsForKey("objectChanges").size(), 4u);
        EXPECT_EQ(friendsOf("gid-dave"), (std::set<std::string>{"gid-alice", "gid-erin"}));
        EXPECT_EQ(friendsOf("gid-erin"), (std::set<std::string>{"gid-dave"}));
        EXPECT_EQ(friendsOf("gid-alice"), (std::set<std::string>{"gid-bob", "gid-carol", "gid-dave"}));
        EXPECT_EQ(friendsOf("gid-bob"), (std::set<std::string>{"gid-alice"}));
        auto records =
            context->executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(records.ok());
        EXPECT_EQ(records->size(), 5u);
    });
}

// The record an updated object's change hangs on is the first made of the
// records holding its URI; an object changed without a record gets a new one.
// Links among the objects changed together name those same records, and no
// other record is made.
TEST_F(SYNEventBuilderTest, UpdatesHangOnTheFirstRecordOfTheirObjectsAndLinksNameIt) {
    auto app = makeApplication();
    auto alice = person(app, "alice");
    auto bob = person(app, "bob");
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeBaseline, [&](SYNEventBuilder& builder) {
        ASSERT_EQ(builder.addChangesForInsertedObjects({alice, bob}, true, false, *app.context), nullptr);
    });
    // A later record claims alice's URI too (as two machines' inserts of one
    // object can leave behind): the first made still answers for her.
    inStore([&] {
        auto copy = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        copy->setValue(Value("gid-alice-copy"), "globalIdentifier");
        copy->setValue(Value("Person"), "nameOfEntity");
        copy->setValue(Value(SYNStoreURIs::forContext(*context)->encode(
                           SYNGlobalIdentifier::storeURIForObjectID(*alice->objectID()))),
                       "storeURI");
        ASSERT_EQ(context->save(), nullptr);
    });
    auto carol = person(app, "carol");
    ASSERT_EQ(app.context->save(), nullptr);  // carol has no record yet
    alice->mutableSetValueForKey("friends").addObject(bob);
    alice->mutableSetValueForKey("friends").addObject(carol);
    app.context->processPendingChanges();
    SYNManagedObjects updated = app.context->updatedObjects();
    ASSERT_EQ(updated.size(), 3u);
    SYNPropertyChangeValuesByObjectID values;
    for (const auto& object : updated) {
        values[object->objectID()] = SYNPropertyChangeValue::propertyChangesForObject(
            *object, store, object->changedValues().keys(), true, false);
    }
    ASSERT_EQ(app.context->save(), nullptr);
    saveEvent(SYNStoreModificationEventTypeSave, [&](SYNEventBuilder& builder) {
        builder.updatePropertyChangeValuesForUpdatedObjects(updated, *app.context,
                                                            SYNUpdateOptionStoreSavedValues, values);
        ASSERT_EQ(builder.addUpdateChangesForObjectIDs(
                      {alice->objectID(), bob->objectID(), carol->objectID()}, values),
                  nullptr);
    });

    auto events = allEvents();
    ASSERT_EQ(events.size(), 2u);
    inStore([&] {
        auto changes = events[1]->objectsForKey("objectChanges");
        ASSERT_EQ(changes.size(), 3u);
        EXPECT_FALSE(changeFor(events[1], "gid-alice-copy"));
        // Carol's record is the one her change hangs on.
        std::string carolID;
        for (const auto& change : changes) {
            auto identifier = SYNObjectChange::globalIdentifierString(*change).value_or("");
            if (identifier != "gid-alice" && identifier != "gid-bob") {
                carolID = identifier;
            }
        }
        ASSERT_FALSE(carolID.empty());
        auto friendsOf = [&](const std::string& identifier) {
            auto change = changeFor(events[1], identifier);
            EXPECT_TRUE(change) << identifier;
            const auto values = change ? SYNObjectChange::propertyChangeValues(*change)
                                       : std::vector<SYNPropertyChangeValue>();
            const auto* friends = valueNamed(values, "friends");
            return friends ? friends->addedIdentifiers() : std::set<std::string>{{"no friends"}};
        };
        EXPECT_EQ(friendsOf("gid-alice"), (std::set<std::string>{"gid-bob", carolID}));
        EXPECT_EQ(friendsOf("gid-bob"), (std::set<std::string>{"gid-alice"}));
        EXPECT_EQ(friendsOf(carolID), (std::set<std::string>{"gid-alice"}));
        auto records =
            context->executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(records.ok());
        EXPECT_EQ(records->size(), 4u);  // alice's two, bob's, carol's new one
    });
}

}  // namespace
}  // namespace eventstoretest
