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

INSTANTIATE_TEST_SUITE_P(Stores, ToManyInverseTest, testing::everyStoreType(),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace plat::coredata
