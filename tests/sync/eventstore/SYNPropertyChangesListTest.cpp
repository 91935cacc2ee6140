// The changes taken from an object for a list of property names, compared
// with the same changes worked out property by property from the object (its
// values, its targets, its members as saved in a store file on disk): each
// change is whole and in the list's order, names that give no change
// (unknown, transient, ignored, a value that cannot be stored) leave nothing
// behind, and every change names the object and the event store.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::AttributeDescription;
using plat::coredata::AttributeType;
using plat::coredata::ManagedObject;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::RelationshipDescription;

// The application model's Person and Pet (with an ignored attribute, a
// transient one, an ignored entity), and an attribute whose transformer is
// never registered: a value set on it cannot be stored (its change is left
// out).
std::shared_ptr<plat::coredata::ManagedObjectModel> listModel() {
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& person = model->addEntity("Person");
    person.addAttribute("name", AttributeType::String);
    person.addAttribute("age", AttributeType::Integer32);
    person.addAttribute("photo", AttributeType::BinaryData);
    person.addAttribute("tag", AttributeType::UUID);
    person.addAttribute("homepage", AttributeType::URI);
    person.addAttribute("secret", AttributeType::String).setUserInfo({{SYNIgnoredKey, Value("YES")}});
    person.addAttribute("scratch", AttributeType::String).transient(true);
    person.addAttribute("unstorable", AttributeType::Transformable)
        .setValueTransformerName("TransformerNeverRegisteredForListTest");
    person.addRelationship("friends", "Person").inverse("friends").toMany();
    person.addRelationship("pets", "Pet").inverse("owner").ordered();
    person.addRelationship("notes", "Note").inverse("person").toMany();
    auto& pet = model->addEntity("Pet");
    pet.addAttribute("name", AttributeType::String);
    pet.addRelationship("owner", "Person").inverse("pets");
    auto& note = model->addEntity("Note");
    note.setUserInfo({{SYNIgnoredKey, Value(true)}});
    note.addAttribute("name", AttributeType::String);
    note.addAttribute("text", AttributeType::String);
    note.addRelationship("person", "Person").inverse("notes");
    EXPECT_EQ(model->finalize(), nullptr);
    return model;
}

std::set<int64_t> keysOf(const std::vector<ManagedObjectIDPtr>& ids) {
    std::set<int64_t> keys;
    for (const auto& id : ids) {
        keys.insert(id ? id->primaryKey() : -1);
    }
    return keys;
}

std::vector<ManagedObjectIDPtr> idsOf(const std::vector<ManagedObjectPtr>& objects) {
    std::vector<ManagedObjectIDPtr> ids;
    for (const auto& object : objects) {
        ids.push_back(object->objectID());
    }
    return ids;
}

class SYNPropertyChangesListTest : public EventStoreTest {
  protected:
    void SetUp() override {
        EventStoreTest::SetUp();
        model = listModel();
        coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
        const auto url = plat::URL::fileURLWithPath(root.str() + "/application.sqlite");
        ASSERT_TRUE(coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "", url).ok());
        app = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        app->setPersistentStoreCoordinator(coordinator);
    }

    ManagedObjectPtr make(const char* entity, const char* name) {
        auto object = app->insertNewObjectForEntityForName(entity);
        object->setValue(Value(name), "name");
        return object;
    }

    // Members of a to-many as the store file holds them, read by a context of
    // their own.
    std::vector<ManagedObjectIDPtr> savedMembers(const ManagedObject& object, const std::string& name) {
        if (object.isInserted()) {
            return {};
        }
        auto fresh = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        fresh->setPersistentStoreCoordinator(coordinator);
        return idsOf(fresh->objectWithID(object.objectID())->objectsForKey(name));
    }

    // Checks `changes` against what each name should give, worked out here
    // one property at a time.
    void expectChanges(const ManagedObjectPtr& object, const std::vector<std::string>& names, bool isPreSave,
                       bool storeValues, const std::vector<SYNPropertyChangeValue>& changes) {
        std::size_t at = 0;
        for (const auto& name : names) {
            const auto* property = object->entity()->propertyNamed(name);
            if (!property || property->isTransient() ||
                plat::coredata::userInfoBool(property->userInfo(), SYNIgnoredKey)) {
                continue;
            }
            std::optional<Value> stored;
            if (property->isAttribute() && storeValues) {
                stored = SYNPropertyChangeValue::storedAttributeValue(
                    object->valueForKey(name), static_cast<const AttributeDescription&>(*property));
                if (!stored) {
                    continue;  // left out
                }
            }
            if (!property->isAttribute()) {
                const auto* destination =
                    static_cast<const RelationshipDescription&>(*property).destinationEntity();
                if (destination && plat::coredata::userInfoBool(destination->userInfo(), SYNIgnoredKey)) {
                    continue;
                }
            }
            ASSERT_LT(at, changes.size()) << "missing the change of " << name;
            const auto& change = changes[at++];
            EXPECT_EQ(change.propertyName(), name);
            EXPECT_EQ(change.eventStore(), store) << name;
            auto objectID =
                std::dynamic_pointer_cast<const plat::coredata::ManagedObjectID>(change.objectID());
            ASSERT_TRUE(objectID) << name;
            EXPECT_TRUE(objectID->isEqualID(*object->objectID())) << name;
            if (property->isAttribute()) {
                EXPECT_EQ(change.type(), SYNPropertyChangeTypeAttribute) << name;
                if (storeValues) {
                    ASSERT_TRUE(change.value()) << name;
                    EXPECT_EQ(*change.value(), *stored) << name;
                } else {
                    EXPECT_FALSE(change.value()) << name;
                }
                continue;
            }
            const auto& relationship = static_cast<const RelationshipDescription&>(*property);
            if (!relationship.isToMany()) {
                EXPECT_EQ(change.type(), SYNPropertyChangeTypeToOneRelationship) << name;
                auto target = object->objectForKey(name);
                EXPECT_EQ(keysOf({change.relatedObjectID()}), keysOf({target ? target->objectID() : nullptr}))
                    << name;
                EXPECT_TRUE(change.addedObjectIDs().empty() && change.removedObjectIDs().empty()) << name;
                continue;
            }
            auto current = idsOf(object->objectsForKey(name));
            std::vector<ManagedObjectIDPtr> added = current, removed;
            if (isPreSave) {
                const auto saved = savedMembers(*object, name);
                const auto savedKeys = keysOf(saved), currentKeys = keysOf(current);
                added.clear();
                for (const auto& id : current) {
                    if (!savedKeys.count(id->primaryKey())) {
                        added.push_back(id);
                    }
                }
                for (const auto& id : saved) {
                    if (!currentKeys.count(id->primaryKey())) {
                        removed.push_back(id);
                    }
                }
            }
            EXPECT_EQ(change.type(), relationship.isOrdered() ? SYNPropertyChangeTypeOrderedToManyRelationship
                                                              : SYNPropertyChangeTypeToManyRelationship)
                << name;
            EXPECT_FALSE(change.relatedObjectID()) << name;
            EXPECT_EQ(keysOf(change.addedObjectIDs()), keysOf(added)) << name;
            EXPECT_EQ(keysOf(change.removedObjectIDs()), keysOf(removed)) << name;
            std::vector<int64_t> moved, order;
            for (const auto& [index, id] : change.movedObjectIDsByIndex()) {
                moved.push_back(id->primaryKey());
            }
            if (relationship.isOrdered()) {
                for (const auto& id : current) {
                    order.push_back(id->primaryKey());
                }
            }
            EXPECT_EQ(moved, order) << name << ": the members in order";
        }
        EXPECT_EQ(at, changes.size()) << "changes beyond the names that give one";
    }

    std::shared_ptr<plat::coredata::ManagedObjectModel> model;
    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator;
    std::shared_ptr<ManagedObjectContext> app;
};

TEST_F(SYNPropertyChangesListTest, EachNameGivesItsWholeChangeInOrderAndSkippedNamesLeaveNothing) {
    auto alice = make("Person", "alice");
    auto bob = make("Person", "bob");
    auto carol = make("Person", "carol");
    auto rex = make("Pet", "rex");
    auto tom = make("Pet", "tom");
    auto kit = make("Pet", "kit");
    alice->setValue(Value(int64_t{31}), "age");
    alice->setValue(Value(plat::Data::fromString("photo bytes")), "photo");
    alice->setValue(Value("kept out"), "secret");
    alice->mutableSetValueForKey("friends").addObject(bob);
    alice->mutableOrderedSetValueForKey("pets").addObject(rex);
    alice->mutableOrderedSetValueForKey("pets").addObject(tom);
    rex->setObject(alice, "owner");
    auto note = make("Note", "ignored");
    note->setValue(Value("text"), "text");
    note->setObject(alice, "person");
    ASSERT_EQ(app->save(), nullptr);

    // Changed after the save: members added and removed, the order of the
    // pets, a value that cannot be stored, a transient value.
    alice->setValue(Value("alice b."), "name");
    alice->setValue(Value(), "age");
    alice->setValue(Value("scribble"), "scratch");
    alice->setValue(Value("no transformer"), "unstorable");
    alice->mutableSetValueForKey("friends").removeObject(bob);
    alice->mutableSetValueForKey("friends").addObject(carol);
    alice->mutableOrderedSetValueForKey("pets").removeObject(rex);
    alice->mutableOrderedSetValueForKey("pets").addObject(kit);
    alice->mutableOrderedSetValueForKey("pets").insertObject(rex, 0);
    kit->setObject(carol, "owner");
    app->processPendingChanges();

    const std::vector<std::string> names{"nothing such", "name",   "unstorable", "age",     "scratch",
                                         "friends",      "secret", "pets",       "photo",   "notes",
                                         "unstorable",   "name",   "tag",        "homepage"};
    for (bool isPreSave : {true, false}) {
        for (bool storeValues : {true, false}) {
            SCOPED_TRACE(testing::Message() << "pre-save " << isPreSave << ", values " << storeValues);
            auto changes = SYNPropertyChangeValue::propertyChangesForObject(*alice, store, names, isPreSave,
                                                                            storeValues);
            expectChanges(alice, names, isPreSave, storeValues, changes);
            // The list of all names gives what the names give one by one.
            std::vector<SYNPropertyChangeValue> oneByOne;
            for (const auto& name : names) {
                for (auto& change : SYNPropertyChangeValue::propertyChangesForObject(
                         *alice, store, {name}, isPreSave, storeValues)) {
                    oneByOne.push_back(std::move(change));
                }
            }
            ASSERT_EQ(oneByOne.size(), changes.size());
            for (std::size_t i = 0; i < changes.size(); ++i) {
                EXPECT_TRUE(changes[i].isEqual(oneByOne[i])) << changes[i].propertyName();
            }
        }
    }

    // An object never saved, and one of another entity (a to-one).
    auto dan = make("Person", "dan");
    dan->mutableOrderedSetValueForKey("pets").addObject(tom);
    const std::vector<std::string> personNames{"pets", "name", "friends", "unstorable", "age"};
    expectChanges(dan, personNames, true, true,
                  SYNPropertyChangeValue::propertyChangesForObject(*dan, store, personNames, true, true));
    const std::vector<std::string> petNames{"owner", "name", "owner"};
    expectChanges(kit, petNames, true, true,
                  SYNPropertyChangeValue::propertyChangesForObject(*kit, store, petNames, true, true));
    expectChanges(tom, petNames, false, false,
                  SYNPropertyChangeValue::propertyChangesForObject(*tom, store, petNames, false, false));
    // No names, and only names that give nothing.
    EXPECT_TRUE(SYNPropertyChangeValue::propertyChangesForObject(*alice, store, {}, true, true).empty());
    EXPECT_TRUE(SYNPropertyChangeValue::propertyChangesForObject(
                    *alice, store, {"secret", "scratch", "unstorable", "notes", "nope"}, true, true)
                    .empty());
}

}  // namespace
}  // namespace eventstoretest
