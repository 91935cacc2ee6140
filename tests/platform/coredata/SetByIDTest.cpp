// A to-one set by ID (ManagedObject::setObjectIDForKey) registers neither
// the old nor the new destination, and the existence look-up by key
// (ManagedObjectContext::existingObjectIDs) registers nothing either. Every
// case runs on the in-memory, SQLite and binary stores (the file stores in a
// temporary folder) and checks what other contexts and a fresh context read.
#include "EveryStoreTest.h"
#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/ManagedObject.h"

namespace plat::coredata {
namespace {

class SetByIDTest : public testing::EveryStoreTest {
  protected:
    void SetUp() override {
        EveryStoreTest::SetUp();
        if (HasFatalFailure())
            return;
        auto writer = newContext();
        std::vector<ManagedObjectPtr> owners;
        for (const char* name : {"A", "B", "C"}) {
            auto calendar = writer->insertNewObjectForEntityForName("Calendar");
            calendar->setValue(Value(name), "name");
            owners.push_back(calendar);
        }
        std::vector<ManagedObjectPtr> tasks;
        for (int i = 0; i < 6; ++i) {
            auto task = writer->insertNewObjectForEntityForName("Task");
            task->setValue(Value("task " + std::to_string(i)), "title");
            task->setObject(owners[i < 4 ? 0 : 1], "calendar");
            tasks.push_back(task);
        }
        ASSERT_EQ(writer->save(), nullptr);
        for (const auto& o : owners)
            calendars.push_back(o->objectID());
        for (const auto& t : tasks)
            taskIDs.push_back(t->objectID());
    }

    static std::size_t registered(const std::shared_ptr<ManagedObjectContext>& c, const std::string& entity) {
        std::size_t count = 0;
        for (const auto& o : c->registeredObjects())
            count += o->entity()->name() == entity ? 1 : 0;
        return count;
    }
    static std::set<std::string> titlesOf(const std::vector<ManagedObjectPtr>& objects) {
        std::set<std::string> titles;
        for (const auto& o : objects)
            titles.insert(o->valueForKey("title").stringValue());
        return titles;
    }
    // The titles of a calendar's tasks as a fresh context reads them.
    std::set<std::string> storedTitles(const ManagedObjectIDPtr& calendar) {
        return titlesOf(newContext()->objectWithID(calendar)->objectsForKey("tasks"));
    }
    static bool namesID(const Notification& n, const char* key, const ManagedObjectIDPtr& id) {
        const Value* v = n.userInfo.find(key);
        return v && v->asSet() && v->asSet()->contains(Value(ObjectPtr(id)));
    }

    std::vector<ManagedObjectIDPtr> calendars;
    std::vector<ManagedObjectIDPtr> taskIDs;
};

TEST_P(SetByIDTest, AContextThatHadTheInverseLoadedSeesTheMoveAfterMergingTheSave) {
    auto reader = newContext();
    auto readerA = reader->objectWithID(calendars[0]);
    auto readerB = reader->objectWithID(calendars[1]);
    ASSERT_EQ(readerA->objectsForKey("tasks").size(), 4u);
    ASSERT_EQ(readerB->objectsForKey("tasks").size(), 2u);

    auto writer = newContext();
    auto task = writer->objectWithID(taskIDs[0]);
    EXPECT_TRUE(task->setObjectIDForKey(calendars[1], "calendar"));
    EXPECT_EQ(registered(writer, "Calendar"), 0u);  // neither the old nor the new destination
    EXPECT_TRUE(task->isUpdated());
    EXPECT_EQ(task->changedPropertyNames(), std::vector<std::string>{"calendar"});
    testing::NotificationRecorder saved(ManagedObjectContextDidSaveNotification, writer);
    ASSERT_EQ(writer->save(), nullptr);
    EXPECT_EQ(registered(writer, "Calendar"), 0u);
    ASSERT_EQ(saved.notes.size(), 1u);
    // Both destinations named by ID among the updated objects, with the task.
    const Notification& note = saved.notes[0];
    EXPECT_TRUE(saved.holds(note, UpdatedObjectsKey, task));
    EXPECT_TRUE(namesID(note, UpdatedObjectsKey, calendars[0]));
    EXPECT_TRUE(namesID(note, UpdatedObjectsKey, calendars[1]));
    EXPECT_EQ(saved.count(note, UpdatedObjectsKey), 3u);

    testing::NotificationRecorder changed(ManagedObjectContextObjectsDidChangeNotification, reader);
    reader->mergeChangesFromContextDidSaveNotification(note);
    EXPECT_EQ(titlesOf(readerA->objectsForKey("tasks")),
              (std::set<std::string>{"task 1", "task 2", "task 3"}));
    EXPECT_EQ(titlesOf(readerB->objectsForKey("tasks")),
              (std::set<std::string>{"task 0", "task 4", "task 5"}));
    ASSERT_EQ(changed.notes.size(), 1u);
    EXPECT_TRUE(changed.holds(changed.notes[0], RefreshedObjectsKey, readerA));
    EXPECT_TRUE(changed.holds(changed.notes[0], RefreshedObjectsKey, readerB));

    // The store holds what the object path would have left.
    EXPECT_EQ(storedTitles(calendars[0]), (std::set<std::string>{"task 1", "task 2", "task 3"}));
    EXPECT_EQ(storedTitles(calendars[1]), (std::set<std::string>{"task 0", "task 4", "task 5"}));
    auto fresh = newContext();
    EXPECT_EQ(fresh->objectWithID(taskIDs[0])->objectForKey("calendar")->objectID()->URIRepresentation(),
              calendars[1]->URIRepresentation());
}

TEST_P(SetByIDTest, SetsRepeatedAndClearedBeforeTheSaveLeaveTheLastOne) {
    auto writer = newContext();
    auto moved = writer->objectWithID(taskIDs[1]);
    EXPECT_TRUE(moved->setObjectIDForKey(calendars[1], "calendar"));
    EXPECT_TRUE(moved->setObjectIDForKey(calendars[2], "calendar"));
    auto cleared = writer->objectWithID(taskIDs[4]);
    EXPECT_TRUE(cleared->setObjectIDForKey(nullptr, "calendar"));
    auto back = writer->objectWithID(taskIDs[2]);
    EXPECT_TRUE(back->setObjectIDForKey(calendars[2], "calendar"));
    EXPECT_TRUE(back->setObjectIDForKey(calendars[0], "calendar"));  // where it was saved
    // Reading a link set by ID gives its object (registered then, as a fault).
    EXPECT_EQ(moved->objectForKey("calendar")->objectID()->URIRepresentation(),
              calendars[2]->URIRepresentation());
    EXPECT_EQ(cleared->objectForKey("calendar"), nullptr);
    ASSERT_EQ(writer->save(), nullptr);
    EXPECT_EQ(storedTitles(calendars[0]), (std::set<std::string>{"task 0", "task 2", "task 3"}));
    EXPECT_EQ(storedTitles(calendars[1]), (std::set<std::string>{"task 5"}));
    EXPECT_EQ(storedTitles(calendars[2]), (std::set<std::string>{"task 1"}));
    EXPECT_EQ(newContext()->objectWithID(taskIDs[4])->objectForKey("calendar"), nullptr);
}

TEST_P(SetByIDTest, AFilledDestinationWhoseInverseIsNotReadIsSetByID) {
    auto writer = newContext();
    auto a = writer->objectWithID(calendars[0]);
    auto c = writer->objectWithID(calendars[2]);
    EXPECT_EQ(a->valueForKey("name").stringValue(), "A");  // filled
    c->setValue(Value("C renamed"), "name");               // changed otherwise
    auto task = writer->objectWithID(taskIDs[0]);
    EXPECT_TRUE(task->setObjectIDForKey(calendars[2], "calendar"));
    // Read before the save, C's tasks come from the store: the link shows
    // after the save, which drops what was read.
    EXPECT_EQ(c->objectsForKey("tasks").size(), 0u);
    ASSERT_EQ(writer->save(), nullptr);
    EXPECT_EQ(titlesOf(c->objectsForKey("tasks")), (std::set<std::string>{"task 0"}));
    EXPECT_EQ(titlesOf(a->objectsForKey("tasks")), (std::set<std::string>{"task 1", "task 2", "task 3"}));
    EXPECT_EQ(storedTitles(calendars[2]), (std::set<std::string>{"task 0"}));
    EXPECT_EQ(newContext()->objectWithID(calendars[2])->valueForKey("name").stringValue(), "C renamed");
}

TEST_P(SetByIDTest, ASaveLinkingManyOwnersGivesEachItsDifference) {
    // More owners than a save searches in place: 24 new calendars and 24 new
    // tasks in A, every task moved through several calendars before the save.
    std::vector<ManagedObjectIDPtr> many;
    std::vector<std::pair<ManagedObjectIDPtr, std::string>> tasks;
    for (std::size_t t = 0; t < taskIDs.size(); ++t)
        tasks.emplace_back(taskIDs[t], "task " + std::to_string(t));
    {
        auto maker = newContext();
        auto a = maker->objectWithID(calendars[0]);
        std::vector<ManagedObjectPtr> made, madeTasks;
        for (int i = 0; i < 24; ++i) {
            made.push_back(maker->insertNewObjectForEntityForName("Calendar"));
            made.back()->setValue(Value("M" + std::to_string(i)), "name");
            madeTasks.push_back(maker->insertNewObjectForEntityForName("Task"));
            madeTasks.back()->setValue(Value("m" + std::to_string(i)), "title");
            madeTasks.back()->setObject(a, "calendar");
        }
        ASSERT_EQ(maker->save(), nullptr);
        for (std::size_t i = 0; i < made.size(); ++i) {
            many.push_back(made[i]->objectID());
            tasks.emplace_back(madeTasks[i]->objectID(), "m" + std::to_string(i));
        }
    }
    auto writer = newContext();
    std::map<std::size_t, std::set<std::string>> expected;
    for (std::size_t t = 0; t < tasks.size(); ++t) {
        auto task = writer->objectWithID(tasks[t].first);
        for (std::size_t step = 0; step < 3; ++step)
            EXPECT_TRUE(task->setObjectIDForKey(many[(t * 5 + step * 7) % many.size()], "calendar"));
        expected[(t * 5 + 14) % many.size()].insert(tasks[t].second);
    }
    EXPECT_EQ(registered(writer, "Calendar"), 0u);
    ASSERT_EQ(writer->save(), nullptr);
    for (std::size_t i = 0; i < many.size(); ++i)
        EXPECT_EQ(storedTitles(many[i]), expected[i]) << "calendar M" << i;
    EXPECT_TRUE(storedTitles(calendars[0]).empty());
    EXPECT_TRUE(storedTitles(calendars[1]).empty());
}

TEST_P(SetByIDTest, AHeldDestinationOrAChildContextTakesTheObjectPath) {
    auto writer = newContext();
    auto b = writer->objectWithID(calendars[1]);
    ASSERT_EQ(b->objectsForKey("tasks").size(), 2u);  // loaded: kept in step as an object
    auto task = writer->objectWithID(taskIDs[0]);
    EXPECT_FALSE(task->setObjectIDForKey(calendars[1], "calendar"));
    EXPECT_EQ(b->objectsForKey("tasks").size(), 3u);
    // Once set as an object, the next set keeps that path too.
    EXPECT_FALSE(task->setObjectIDForKey(calendars[2], "calendar"));
    EXPECT_EQ(b->objectsForKey("tasks").size(), 2u);

    auto child = ManagedObjectContext::create(ConcurrencyType::Confinement);
    child->setParentContext(writer);
    EXPECT_FALSE(child->objectWithID(taskIDs[5])->setObjectIDForKey(calendars[0], "calendar"));
    ASSERT_EQ(child->save(), nullptr);
    ASSERT_EQ(writer->save(), nullptr);
    EXPECT_EQ(storedTitles(calendars[0]), (std::set<std::string>{"task 1", "task 2", "task 3", "task 5"}));
    EXPECT_EQ(storedTitles(calendars[1]), (std::set<std::string>{"task 4"}));
    EXPECT_EQ(storedTitles(calendars[2]), (std::set<std::string>{"task 0"}));
}

TEST_P(SetByIDTest, ADestinationDeletedElsewhereRefusesTheSave) {
    auto writer = newContext();
    auto task = writer->objectWithID(taskIDs[0]);
    EXPECT_TRUE(task->setObjectIDForKey(calendars[2], "calendar"));

    // Another context deletes the destination (it has no tasks) meanwhile.
    auto other = newContext();
    other->deleteObject(other->objectWithID(calendars[2]));
    ASSERT_EQ(other->save(), nullptr);

    auto error = writer->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ManagedObjectMergeError);
    const Value* conflicts = error->userInfo().find("conflictList");
    ASSERT_TRUE(conflicts && conflicts->asArray());
    ASSERT_EQ(conflicts->asArray()->size(), 1u);
    EXPECT_EQ(ManagedObjectID::fromValue((*conflicts->asArray())[0])->URIRepresentation(),
              calendars[2]->URIRepresentation());
    // Nothing was written; the change is still there to be set again.
    EXPECT_EQ(storedTitles(calendars[0]), (std::set<std::string>{"task 0", "task 1", "task 2", "task 3"}));
    EXPECT_TRUE(task->isUpdated());
    EXPECT_TRUE(task->setObjectIDForKey(calendars[1], "calendar"));
    ASSERT_EQ(writer->save(), nullptr);
    EXPECT_EQ(storedTitles(calendars[1]), (std::set<std::string>{"task 0", "task 4", "task 5"}));

    // A destination this context deleted is set as an object.
    auto deleting = newContext();
    auto a = deleting->objectWithID(calendars[0]);
    deleting->deleteObject(a);
    EXPECT_FALSE(deleting->objectWithID(taskIDs[4])->setObjectIDForKey(calendars[0], "calendar"));
}

TEST_P(SetByIDTest, AConcurrentSaveOfADestinationDoesNotConflictAsWithTheObjectPath) {
    // The object path moves no destination's version for a membership that
    // the members' rows record; the ID path leaves them alone as well.
    for (bool byID : {true, false}) {
        SCOPED_TRACE(byID ? "by ID" : "as objects");
        auto renamer = newContext();
        auto a = renamer->objectWithID(calendars[0]);
        auto b = renamer->objectWithID(calendars[1]);
        a->setValue(Value(byID ? "A1" : "A2"), "name");
        b->setValue(Value(byID ? "B1" : "B2"), "name");

        auto writer = newContext();
        auto task = writer->objectWithID(taskIDs[byID ? 0 : 1]);
        if (byID)
            EXPECT_TRUE(task->setObjectIDForKey(calendars[1], "calendar"));
        else
            task->setObject(writer->objectWithID(calendars[1]), "calendar");
        ASSERT_EQ(writer->save(), nullptr);
        EXPECT_EQ(renamer->save(), nullptr);
        auto fresh = newContext();
        EXPECT_EQ(fresh->objectWithID(calendars[1])->valueForKey("name").stringValue(), byID ? "B1" : "B2");
    }
    EXPECT_EQ(storedTitles(calendars[1]), (std::set<std::string>{"task 0", "task 1", "task 4", "task 5"}));
    // A concurrent change of the moved object itself still conflicts.
    auto first = newContext();
    auto second = newContext();
    EXPECT_TRUE(first->objectWithID(taskIDs[2])->setObjectIDForKey(calendars[2], "calendar"));
    second->objectWithID(taskIDs[2])->setValue(Value("renamed"), "title");
    ASSERT_EQ(second->save(), nullptr);
    auto error = first->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ManagedObjectMergeError);
}

TEST_P(SetByIDTest, TheExistenceLookUpReadsKeysOnly) {
    auto gone = newContext();
    auto c = gone->objectWithID(calendars[2]);
    gone->deleteObject(c);
    ASSERT_EQ(gone->save(), nullptr);

    auto context = newContext();
    auto deletedHere = context->objectWithID(calendars[1]);
    context->deleteObject(deletedHere);
    auto inserted = context->insertNewObjectForEntityForName("Calendar");
    inserted->setValue(Value("new"), "name");
    auto otherContext = newContext();
    auto foreignTemporary = otherContext->insertNewObjectForEntityForName("Calendar")->objectID();
    const std::size_t before = context->registeredObjects().size();
    auto exist = context->existingObjectIDs({calendars[0], calendars[1], calendars[2], inserted->objectID(),
                                             foreignTemporary, taskIDs[3], nullptr});
    ASSERT_TRUE(exist) << exist.error()->description();
    EXPECT_EQ(*exist, (std::vector<bool>{true, false, false, true, false, true, false}));
    EXPECT_EQ(context->registeredObjects().size(), before);  // nothing registered
    EXPECT_FALSE(context->objectRegisteredForID(calendars[0]));

    // Many keys at once, of two entities, with repeats and gaps.
    std::vector<ManagedObjectIDPtr> many;
    std::vector<bool> expected;
    for (int round = 0; round < 12; ++round) {
        for (std::size_t i = 0; i < calendars.size(); ++i) {
            many.push_back(calendars[i]);
            expected.push_back(i == 0 ? true : i == 1 ? false : false);
        }
        for (const auto& t : taskIDs) {
            many.push_back(t);
            expected.push_back(true);
        }
    }
    expected[1] = false;  // deleted here (every round)
    auto answers = context->existingObjectIDs(many);
    ASSERT_TRUE(answers);
    EXPECT_EQ(*answers, expected);
    EXPECT_EQ(context->registeredObjects().size(), before);

    // A child asks its parent.
    auto child = ManagedObjectContext::create(ConcurrencyType::Confinement);
    child->setParentContext(context);
    auto fromChild = child->existingObjectIDs({calendars[0], calendars[1], inserted->objectID()});
    ASSERT_TRUE(fromChild);
    EXPECT_EQ(*fromChild, (std::vector<bool>{true, false, true}));
}

INSTANTIATE_TEST_SUITE_P(Stores, SetByIDTest, testing::everyStoreType());

}  // namespace
}  // namespace plat::coredata
