// What other contexts' saves leave in a context: merged inserts, a child's
// temporary IDs until the root saves, and objects made unusable by reset.
#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/ManagedObject.h"

namespace plat::coredata {
namespace {

using ContextMergeTest = testing::StoreTest;

using MergeIntoSQLiteContextTest = testing::SQLiteFileTest;

// The SQLite store reads a to-many through its inverse to-one's column, so a
// write of the to-one side alone is enough for a new member to be stored.
TEST_F(MergeIntoSQLiteContextTest, MergedInsertsAreRegisteredAndJoinLoadedToManys) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    auto calendar = context->insertNewObjectForEntityForName("Calendar");
    calendar->setValue(Value("home"), "name");
    ASSERT_EQ(context->save(), nullptr);
    auto reader = contextOn(coordinator);
    auto readerCalendar = reader->objectWithID(calendar->objectID());
    EXPECT_TRUE(readerCalendar->objectsForKey("tasks").empty());  // contents loaded here

    // The writer sets the task's side only: the calendar is not among its
    // updated objects.
    auto task = context->insertNewObjectForEntityForName("Task");
    task->setValue(Value("new"), "title");
    task->willChangeValueForKey("calendar");
    task->setPrimitiveValue(Value(ObjectPtr(calendar)), "calendar");
    task->didChangeValueForKey("calendar");
    testing::NotificationRecorder saved(ManagedObjectContextDidSaveNotification, context);
    testing::NotificationRecorder changed(ManagedObjectContextObjectsDidChangeNotification, reader);
    ASSERT_EQ(context->save(), nullptr);
    ASSERT_EQ(saved.notes.size(), 1u);
    EXPECT_EQ(saved.count(saved.notes[0], UpdatedObjectsKey), 0u);

    reader->mergeChangesFromContextDidSaveNotification(saved.notes[0]);
    auto merged = reader->objectRegisteredForID(task->objectID());
    ASSERT_NE(merged, nullptr);
    EXPECT_EQ(merged->valueForKey("title"), Value("new"));
    EXPECT_EQ(readerCalendar->objectsForKey("tasks"), std::vector<ManagedObjectPtr>{merged});
    ASSERT_EQ(changed.notes.size(), 1u);
    EXPECT_TRUE(changed.holds(changed.notes[0], InsertedObjectsKey, merged));
    EXPECT_TRUE(changed.holds(changed.notes[0], RefreshedObjectsKey, readerCalendar));
}

TEST_F(ContextMergeTest, AChildsInsertsKeepTemporaryIDsUntilTheRootSaves) {
    auto child = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    child->setParentContext(context);
    testing::NotificationRecorder childSaved(ManagedObjectContextDidSaveNotification, child);
    ManagedObjectIDPtr childID;
    child->performBlockAndWait([&] {
        auto task = child->insertNewObjectForEntityForName("Task");
        task->setValue(Value("draft"), "title");
        ASSERT_EQ(child->save(), nullptr);
        childID = task->objectID();
    });
    ASSERT_TRUE(childID->isTemporaryID());
    ASSERT_EQ(childSaved.notes.size(), 1u);
    auto inParent = context->objectRegisteredForID(childID);
    ASSERT_NE(inParent, nullptr);
    EXPECT_TRUE(inParent->objectID()->isTemporaryID());
    // Discarded by the parent: no key was taken for it.
    context->reset();
    auto kept = insert("Task", "title", Value("kept"));
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(kept->objectID()->primaryKey(), 1);

    // Saved through the root: permanent there, still found by the child.
    child->performBlockAndWait([&] {
        auto task = child->insertNewObjectForEntityForName("Task");
        task->setValue(Value("second"), "title");
        ASSERT_EQ(child->save(), nullptr);
        childID = task->objectID();
    });
    ASSERT_EQ(context->save(), nullptr);
    auto saved = context->existingObjectWithID(childID);
    ASSERT_TRUE(saved);
    EXPECT_FALSE((*saved)->objectID()->isTemporaryID());
    child->performBlockAndWait([&] {
        auto again = child->existingObjectWithID(childID);
        ASSERT_TRUE(again);
        (*again)->setValue(Value("edited"), "title");
        ASSERT_EQ(child->save(), nullptr);
    });
    EXPECT_EQ((*saved)->valueForKey("title"), Value("edited"));
}

TEST_F(ContextMergeTest, UsingAnObjectAfterResetThrowsItsOwnException) {
    auto task = insert("Task", "title", Value("t"));
    ASSERT_EQ(context->save(), nullptr);
    context->reset();
    EXPECT_TRUE(task->isInvalidated());
    EXPECT_EQ(task->managedObjectContext(), nullptr);
    EXPECT_EQ(task->entity()->name(), "Task");
    EXPECT_THROW(task->valueForKey("title"), ObjectInaccessibleException);
    EXPECT_THROW(task->setValue(Value("u"), "title"), ObjectInaccessibleException);
    // Told apart from other misuse by a guard written for both.
    auto guarded = [&](const std::function<void()>& f) -> std::string {
        try {
            f();
        } catch (const ObjectInaccessibleException& e) {
            return e.name();
        } catch (const std::exception&) {
            return "other";
        }
        return "none";
    };
    EXPECT_EQ(guarded([&] { task->primitiveValueForKey("title"); }), "NSObjectInaccessibleException");
    auto live = insert("Task");
    EXPECT_EQ(guarded([&] { live->valueForKey("nosuchkey"); }), "other");
}

}  // namespace
}  // namespace plat::coredata
