// An unordered to-many changed only as the inverse of a to-one (a member's
// owner set or cleared, a member deleted, the other side of a many-to-many)
// is not loaded for it: the change is kept until the set is first read or
// saved. Every case runs on the in-memory, SQLite and binary stores and
// checks what a fresh context reads back.
#include "EveryStoreTest.h"
#include "platform/coredata/ManagedObject.h"

namespace plat::coredata {
namespace {

class ToManyInverseTest : public testing::EveryStoreTest {
  protected:
    void SetUp() override {
        EveryStoreTest::SetUp();
        if (HasFatalFailure())
            return;
        auto writer = newContext();
        std::vector<ManagedObjectPtr> made;
        for (const char* name : {"A", "B"}) {
            auto calendar = writer->insertNewObjectForEntityForName("Calendar");
            calendar->setValue(Value(name), "name");
            made.push_back(calendar);
        }
        auto tag = writer->insertNewObjectForEntityForName("Tag");
        for (int i = 0; i < 30; ++i) {
            auto task = writer->insertNewObjectForEntityForName("Task");
            task->setValue(Value("task " + std::to_string(i)), "title");
            task->setObject(made[i < 20 ? 0 : 1], "calendar");
            if (i % 3 == 0)
                task->mutableSetValueForKey("tags").addObject(tag);
            made.push_back(task);
        }
        ASSERT_EQ(writer->save(), nullptr);
        calendars = {made[0]->objectID(), made[1]->objectID()};
        tagID = tag->objectID();
        for (std::size_t i = 2; i < made.size(); ++i)
            taskIDs.push_back(made[i]->objectID());
    }

    static std::size_t registeredTasks(const std::shared_ptr<ManagedObjectContext>& c) {
        std::size_t count = 0;
        for (const auto& o : c->registeredObjects())
            count += o->entity()->name() == "Task" ? 1 : 0;
        return count;
    }
    // The titles of an object's to-many as a fresh context reads them.
    std::set<std::string> storedTitles(const ManagedObjectIDPtr& owner, const char* key) {
        std::set<std::string> titles;
        auto reader = newContext();
        for (const auto& task : reader->objectWithID(owner)->objectsForKey(key))
            titles.insert(task->valueForKey("title").stringValue());
        return titles;
    }
    static std::set<std::string> titlesOf(const std::vector<ManagedObjectPtr>& objects) {
        std::set<std::string> titles;
        for (const auto& o : objects)
            titles.insert(o->valueForKey("title").stringValue());
        return titles;
    }
    static std::set<std::string> titleRange(int from, int to, std::set<std::string> extra = {}) {
        for (int i = from; i < to; ++i)
            extra.insert("task " + std::to_string(i));
        return extra;
    }

    std::vector<ManagedObjectIDPtr> calendars;
    ManagedObjectIDPtr tagID;
    std::vector<ManagedObjectIDPtr> taskIDs;
};

TEST_P(ToManyInverseTest, SettingAMembersOwnerLeavesTheOwnersSetUnloaded) {
    auto c = newContext();
    auto calendar = c->objectWithID(calendars[0]);
    auto task = c->insertNewObjectForEntityForName("Task");
    task->setValue(Value("new"), "title");
    task->setObject(calendar, "calendar");
    EXPECT_EQ(registeredTasks(c), 1u);  // the new task only
    EXPECT_TRUE(calendar->isUpdated());
    testing::NotificationRecorder saved(ManagedObjectContextDidSaveNotification, c);
    ASSERT_EQ(c->save(), nullptr);
    ASSERT_EQ(saved.notes.size(), 1u);
    EXPECT_TRUE(saved.holds(saved.notes[0], UpdatedObjectsKey, calendar));
    EXPECT_EQ(registeredTasks(c), 1u);

    const auto expected = titleRange(0, 20, {"new"});
    EXPECT_EQ(storedTitles(calendars[0], "tasks"), expected);
    EXPECT_EQ(titlesOf(calendar->objectsForKey("tasks")), expected);  // read after the save
    // The calendar's row is as it was: another save of it is no conflict.
    calendar->setValue(Value("renamed"), "name");
    EXPECT_EQ(c->save(), nullptr);
}

TEST_P(ToManyInverseTest, AMoveReadsAsLoadedBeforeTheSaveAndIsStored) {
    auto c = newContext();
    auto task = c->objectWithID(taskIDs[3]);
    auto a = c->objectWithID(calendars[0]);
    auto b = c->objectWithID(calendars[1]);
    task->setObject(b, "calendar");
    EXPECT_EQ(registeredTasks(c), 1u);
    auto withoutTask3 = titleRange(0, 20);
    withoutTask3.erase("task 3");
    EXPECT_EQ(titlesOf(a->objectsForKey("tasks")), withoutTask3);
    EXPECT_EQ(titlesOf(b->objectsForKey("tasks")), titleRange(20, 30, {"task 3"}));
    EXPECT_FALSE(a->mutableSetValueForKey("tasks").contains(task));
    ASSERT_EQ(c->save(), nullptr);
    EXPECT_EQ(storedTitles(calendars[0], "tasks"), withoutTask3);
    EXPECT_EQ(storedTitles(calendars[1], "tasks"), titleRange(20, 30, {"task 3"}));
}

TEST_P(ToManyInverseTest, ChangesThatCancelOutStoreNothing) {
    auto c = newContext();
    auto task = c->objectWithID(taskIDs[3]);
    auto a = c->objectWithID(calendars[0]);
    auto b = c->objectWithID(calendars[1]);
    task->setObject(b, "calendar");
    task->setObject(a, "calendar");  // back again
    auto added = c->insertNewObjectForEntityForName("Task");
    added->setValue(Value("short-lived"), "title");
    added->setObject(b, "calendar");
    c->deleteObject(added);
    ASSERT_EQ(c->save(), nullptr);
    EXPECT_EQ(titlesOf(a->objectsForKey("tasks")), titleRange(0, 20));
    EXPECT_EQ(titlesOf(b->objectsForKey("tasks")), titleRange(20, 30));
    EXPECT_EQ(storedTitles(calendars[0], "tasks"), titleRange(0, 20));
    EXPECT_EQ(storedTitles(calendars[1], "tasks"), titleRange(20, 30));
}

TEST_P(ToManyInverseTest, DeletingAMemberLeavesTheOwnersSetUnloaded) {
    auto c = newContext();
    c->deleteObject(c->objectWithID(taskIDs[5]));
    c->processPendingChanges();
    EXPECT_EQ(registeredTasks(c), 1u);
    ASSERT_EQ(c->save(), nullptr);
    auto without = titleRange(0, 20);
    without.erase("task 5");
    EXPECT_EQ(storedTitles(calendars[0], "tasks"), without);
    EXPECT_EQ(titlesOf(c->objectWithID(calendars[0])->objectsForKey("tasks")), without);
}

TEST_P(ToManyInverseTest, TheOtherSideOfAManyToManyIsNotLoaded) {
    auto c = newContext();
    auto tag = c->objectWithID(tagID);
    auto task = c->insertNewObjectForEntityForName("Task");
    task->setValue(Value("tagged"), "title");
    task->mutableSetValueForKey("tags").addObject(tag);
    auto untagged = c->objectWithID(taskIDs[0]);
    untagged->mutableSetValueForKey("tags").removeObject(tag);
    EXPECT_EQ(registeredTasks(c), 2u);
    ASSERT_EQ(c->save(), nullptr);
    std::set<std::string> expected{"tagged"};
    for (int i = 3; i < 30; i += 3)
        expected.insert("task " + std::to_string(i));
    EXPECT_EQ(storedTitles(tagID, "tasks"), expected);
    EXPECT_EQ(titlesOf(tag->objectsForKey("tasks")), expected);
}

TEST_P(ToManyInverseTest, PrefetchingLaysUnsavedChangesOverTheStoredMembers) {
    auto c = newContext();
    auto task = c->insertNewObjectForEntityForName("Task");
    task->setValue(Value("new"), "title");
    task->setObject(c->objectWithID(calendars[0]), "calendar");
    c->objectWithID(taskIDs[0])->setObject(c->objectWithID(calendars[1]), "calendar");
    FetchRequest request("Calendar");
    request.predicate = Predicate::equal("name", Value("A"));
    request.relationshipKeyPathsForPrefetching = {"tasks"};
    auto fetched = c->executeFetchRequest(request);
    ASSERT_TRUE(fetched);
    ASSERT_EQ(fetched->size(), 1u);
    EXPECT_EQ(titlesOf((*fetched)[0]->objectsForKey("tasks")), titleRange(1, 20, {"new"}));
}

TEST_P(ToManyInverseTest, AChildsSaveReachesTheStoreThroughItsParent) {
    auto parent = newContext();
    auto child = ManagedObjectContext::create(ConcurrencyType::Confinement);
    child->setParentContext(parent);
    auto task = child->insertNewObjectForEntityForName("Task");
    task->setValue(Value("from child"), "title");
    task->setObject(child->objectWithID(calendars[1]), "calendar");
    child->objectWithID(taskIDs[25])->setObject(child->objectWithID(calendars[0]), "calendar");
    EXPECT_EQ(registeredTasks(child), 2u);
    ASSERT_EQ(child->save(), nullptr);
    ASSERT_EQ(parent->save(), nullptr);
    auto b = titleRange(20, 30, {"from child"});
    b.erase("task 25");
    EXPECT_EQ(storedTitles(calendars[1], "tasks"), b);
    EXPECT_EQ(storedTitles(calendars[0], "tasks"), titleRange(0, 20, {"task 25"}));
}

TEST_P(ToManyInverseTest, RollbackAndRefreshDropUnsavedChanges) {
    auto c = newContext();
    auto a = c->objectWithID(calendars[0]);
    c->objectWithID(taskIDs[1])->setObject(c->objectWithID(calendars[1]), "calendar");
    c->rollback();
    EXPECT_EQ(titlesOf(a->objectsForKey("tasks")), titleRange(0, 20));
    auto task = c->insertNewObjectForEntityForName("Task");
    task->setValue(Value("dropped"), "title");
    task->setObject(a, "calendar");
    c->refreshObject(a, false);
    EXPECT_FALSE(a->isUpdated());
    EXPECT_EQ(titlesOf(a->objectsForKey("tasks")), titleRange(0, 20));
}

// A child's save gives its parent only what its unordered to-manys gained
// and lost: the parent loads no member set for it, whether or not it had
// loaded that set itself, and reads and stores the same contents as if it had.

std::shared_ptr<ManagedObjectContext> childOf(const std::shared_ptr<ManagedObjectContext>& parent) {
    auto child = ManagedObjectContext::create(ConcurrencyType::Confinement);
    child->setParentContext(parent);
    return child;
}

TEST_P(ToManyInverseTest, AChildsMovesReachAParentThatNeverLoadedTheSets) {
    auto parent = newContext();
    auto child = childOf(parent);
    child->objectWithID(taskIDs[3])->setObject(child->objectWithID(calendars[1]), "calendar");
    child->objectWithID(taskIDs[22])->setObject(child->objectWithID(calendars[0]), "calendar");
    child->deleteObject(child->objectWithID(taskIDs[5]));
    auto added = child->insertNewObjectForEntityForName("Task");
    added->setValue(Value("new"), "title");
    child->objectWithID(calendars[1])->mutableSetValueForKey("tasks").addObject(added);  // the to-many side
    ASSERT_EQ(child->save(), nullptr);
    // The moved, deleted and new tasks only: neither calendar's set was read.
    EXPECT_EQ(registeredTasks(parent), 4u);

    auto a = parent->objectWithID(calendars[0]);
    auto b = parent->objectWithID(calendars[1]);
    EXPECT_TRUE(a->isUpdated());
    EXPECT_TRUE(b->isUpdated());
    auto difference = b->toManyDifferenceForKey("tasks");
    EXPECT_EQ(titlesOf(difference.added), (std::set<std::string>{"new", "task 3"}));
    EXPECT_EQ(titlesOf(difference.removed), (std::set<std::string>{"task 22"}));
    // The inverse to-ones are the child's.
    EXPECT_EQ(parent->objectWithID(taskIDs[3])->objectForKey("calendar"), b);
    EXPECT_EQ(parent->objectWithID(taskIDs[22])->objectForKey("calendar"), a);
    EXPECT_EQ(parent->objectWithID(added->objectID())->objectForKey("calendar"), b);

    auto inA = titleRange(0, 20, {"task 22"});
    inA.erase("task 3");
    inA.erase("task 5");
    auto inB = titleRange(20, 30, {"task 3", "new"});
    inB.erase("task 22");
    testing::NotificationRecorder saved(ManagedObjectContextDidSaveNotification, parent);
    ASSERT_EQ(parent->save(), nullptr);
    ASSERT_EQ(saved.notes.size(), 1u);
    EXPECT_TRUE(saved.holds(saved.notes[0], UpdatedObjectsKey, a));
    EXPECT_TRUE(saved.holds(saved.notes[0], UpdatedObjectsKey, b));
    EXPECT_EQ(saved.count(saved.notes[0], DeletedObjectsKey), 1u);
    EXPECT_EQ(storedTitles(calendars[0], "tasks"), inA);
    EXPECT_EQ(storedTitles(calendars[1], "tasks"), inB);
    EXPECT_EQ(titlesOf(a->objectsForKey("tasks")), inA);
    EXPECT_EQ(titlesOf(b->objectsForKey("tasks")), inB);
    // The child reads the same once its sets are read again.
    EXPECT_EQ(titlesOf(child->objectWithID(calendars[1])->objectsForKey("tasks")), inB);
}

TEST_P(ToManyInverseTest, AChildsMovesReachAParentThatHadLoadedTheSets) {
    auto parent = newContext();
    auto a = parent->objectWithID(calendars[0]);
    auto b = parent->objectWithID(calendars[1]);
    ASSERT_EQ(a->objectsForKey("tasks").size(), 20u);
    // The parent's own unsaved move, which the child sees and builds on.
    parent->objectWithID(taskIDs[0])->setObject(b, "calendar");
    auto child = childOf(parent);
    auto childA = child->objectWithID(calendars[0]);
    EXPECT_EQ(childA->objectsForKey("tasks").size(), 19u);
    child->objectWithID(taskIDs[1])->setObject(child->objectWithID(calendars[1]), "calendar");
    child->objectWithID(taskIDs[0])->setObject(childA, "calendar");  // back again
    child->deleteObject(child->objectWithID(taskIDs[25]));
    ASSERT_EQ(child->save(), nullptr);

    auto inA = titleRange(0, 20);
    inA.erase("task 1");
    auto inB = titleRange(20, 30, {"task 1"});
    inB.erase("task 25");
    EXPECT_EQ(titlesOf(a->objectsForKey("tasks")), inA);
    EXPECT_EQ(titlesOf(b->objectsForKey("tasks")), inB);
    EXPECT_EQ(parent->objectWithID(taskIDs[0])->objectForKey("calendar"), a);
    EXPECT_EQ(parent->objectWithID(taskIDs[1])->objectForKey("calendar"), b);
    EXPECT_TRUE(a->toManyDifferenceForKey("tasks").added.empty());
    ASSERT_EQ(parent->save(), nullptr);
    EXPECT_EQ(storedTitles(calendars[0], "tasks"), inA);
    EXPECT_EQ(storedTitles(calendars[1], "tasks"), inB);
}

TEST_P(ToManyInverseTest, AChildsManyToManyChangesReachTheStoreThroughAGrandchild) {
    auto root = newContext();
    auto middle = childOf(root);
    auto child = childOf(middle);
    auto tag = child->objectWithID(tagID);
    child->objectWithID(taskIDs[1])->mutableSetValueForKey("tags").addObject(tag);
    child->objectWithID(taskIDs[3])->mutableSetValueForKey("tags").removeObject(tag);
    ASSERT_EQ(child->save(), nullptr);
    EXPECT_EQ(registeredTasks(middle), 2u);
    ASSERT_EQ(middle->save(), nullptr);
    EXPECT_EQ(registeredTasks(root), 2u);
    auto tasksOfTag = titleRange(0, 0, {"task 1"});
    for (int i = 6; i < 30; i += 3)
        tasksOfTag.insert("task " + std::to_string(i));
    tasksOfTag.insert("task 0");
    EXPECT_EQ(titlesOf(root->objectWithID(tagID)->objectsForKey("tasks")), tasksOfTag);
    EXPECT_EQ(titlesOf(root->objectWithID(taskIDs[1])->objectsForKey("tags").at(0)->objectsForKey("tasks")),
              tasksOfTag);
    ASSERT_EQ(root->save(), nullptr);
    EXPECT_EQ(storedTitles(tagID, "tasks"), tasksOfTag);
    auto reader = newContext();
    EXPECT_TRUE(reader->objectWithID(taskIDs[3])->objectsForKey("tags").empty());
    EXPECT_EQ(reader->objectWithID(taskIDs[1])->objectsForKey("tags").size(), 1u);
}

TEST_P(ToManyInverseTest, AChildsOrderedChangesStillReplaceTheWholeOrder) {
    auto setup = newContext();
    auto first = setup->objectWithID(taskIDs[0]);
    for (const char* text : {"n1", "n2", "n3"}) {
        auto note = setup->insertNewObjectForEntityForName("Note");
        note->setValue(Value(text), "text");
        first->mutableOrderedSetValueForKey("notes").addObject(note);
    }
    ASSERT_EQ(setup->save(), nullptr);
    auto texts = [](const std::vector<ManagedObjectPtr>& notes) {
        std::vector<std::string> out;
        for (const auto& n : notes)
            out.push_back(n->valueForKey("text").stringValue());
        return out;
    };

    auto parent = newContext();
    auto child = childOf(parent);
    auto childFirst = child->objectWithID(taskIDs[0]);
    auto notes = childFirst->objectsForKey("notes");
    ASSERT_EQ(notes.size(), 3u);
    child->objectWithID(taskIDs[1])->mutableOrderedSetValueForKey("notes").addObject(notes[1]);  // a move
    childFirst->mutableOrderedSetValueForKey("notes").insertObject(notes[2], 0);  // a new order
    ASSERT_EQ(child->save(), nullptr);
    auto parentFirst = parent->objectWithID(taskIDs[0]);
    EXPECT_EQ(texts(parentFirst->objectsForKey("notes")), (std::vector<std::string>{"n3", "n1"}));
    EXPECT_EQ(texts(parent->objectWithID(taskIDs[1])->objectsForKey("notes")),
              std::vector<std::string>{"n2"});
    EXPECT_EQ(parent->objectWithID(notes[1]->objectID())->objectForKey("task")->objectID(), taskIDs[1]);
    ASSERT_EQ(parent->save(), nullptr);
    auto reader = newContext();
    EXPECT_EQ(texts(reader->objectWithID(taskIDs[0])->objectsForKey("notes")),
              (std::vector<std::string>{"n3", "n1"}));
    EXPECT_EQ(texts(reader->objectWithID(taskIDs[1])->objectsForKey("notes")),
              std::vector<std::string>{"n2"});
}

TEST_P(ToManyInverseTest, ARefusedChildSaveLeavesTheParentsSetsAsTheyWere) {
    auto parent = newContext();
    auto gone = parent->objectWithID(taskIDs[29]);
    auto child = childOf(parent);
    auto inChild = child->objectWithID(taskIDs[29]);
    EXPECT_EQ(inChild->valueForKey("title").stringValue(), "task 29");
    child->objectWithID(taskIDs[3])->setObject(child->objectWithID(calendars[1]), "calendar");
    inChild->setValue(Value("renamed"), "title");
    // The row goes away under the parent, which holds it only as a fault.
    parent->refreshObject(gone, false);
    auto other = newContext();
    other->deleteObject(other->objectWithID(taskIDs[29]));
    ASSERT_EQ(other->save(), nullptr);

    ASSERT_NE(child->save(), nullptr);
    EXPECT_FALSE(parent->hasChanges());
    auto a = parent->objectWithID(calendars[0]);
    auto b = parent->objectWithID(calendars[1]);
    EXPECT_TRUE(b->toManyDifferenceForKey("tasks").added.empty());
    EXPECT_EQ(titlesOf(a->objectsForKey("tasks")), titleRange(0, 20));
    EXPECT_EQ(titlesOf(b->objectsForKey("tasks")), titleRange(20, 29));
}

TEST_P(ToManyInverseTest, AParentsRefusedSaveKeepsItsChildsDifferenceForTheNextTry) {
    auto parent = newContext();
    auto child = childOf(parent);
    child->objectWithID(taskIDs[3])->setObject(child->objectWithID(calendars[1]), "calendar");
    ASSERT_EQ(child->save(), nullptr);
    // Another context changes the moved task first: the parent's update of it
    // is refused.
    auto other = newContext();
    other->objectWithID(taskIDs[3])->setValue(Value("task 3"), "title");
    other->objectWithID(taskIDs[3])->setValue(Value(true), "done");
    ASSERT_EQ(other->save(), nullptr);
    auto error = parent->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ManagedObjectMergeError);

    auto b = parent->objectWithID(calendars[1]);
    EXPECT_TRUE(b->isUpdated());
    EXPECT_EQ(titlesOf(b->toManyDifferenceForKey("tasks").added), std::set<std::string>{"task 3"});
    EXPECT_EQ(storedTitles(calendars[1], "tasks"), titleRange(20, 30));
    parent->refreshObject(parent->objectWithID(taskIDs[3]), true);  // keeps the move
    ASSERT_EQ(parent->save(), nullptr);
    EXPECT_EQ(storedTitles(calendars[1], "tasks"), titleRange(20, 30, {"task 3"}));
    auto inA = titleRange(0, 20);
    inA.erase("task 3");
    EXPECT_EQ(storedTitles(calendars[0], "tasks"), inA);
}

TEST_P(ToManyInverseTest, AParentValidatesAChildsDifferenceAgainstTheStoredMembers) {
    // A vault holds at most 2 notes (a to-many without inverse).
    auto setup = newContext();
    auto vault = setup->insertNewObjectForEntityForName("Vault");
    auto note = [&](const std::shared_ptr<ManagedObjectContext>& c, const char* text) {
        auto n = c->insertNewObjectForEntityForName("Note");
        n->setValue(Value(text), "text");
        return n;
    };
    vault->mutableSetValueForKey("items").addObject(note(setup, "kept"));
    ASSERT_EQ(setup->save(), nullptr);
    const auto vaultID = vault->objectID();

    auto parent = newContext();
    auto child = childOf(parent);
    child->objectWithID(vaultID)->mutableSetValueForKey("items").addObject(note(child, "from child"));
    ASSERT_EQ(child->save(), nullptr);  // 2 notes as the child sees them
    // Meanwhile another context fills the vault in the store.
    auto other = newContext();
    other->objectWithID(vaultID)->mutableSetValueForKey("items").addObject(note(other, "from other"));
    ASSERT_EQ(other->save(), nullptr);

    auto error = parent->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ValidationRelationshipExceedsMaximumCountError);
    EXPECT_EQ(parent->objectWithID(vaultID)->objectsForKey("items").size(), 3u);
    auto reader = newContext();
    EXPECT_EQ(reader->objectWithID(vaultID)->objectsForKey("items").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Stores, ToManyInverseTest, testing::everyStoreType(),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace plat::coredata
