#include "platform/coredata/ManagedObject.h"

#include "CoreDataTestSupport.h"

namespace plat::coredata {
namespace {

using testing::StoreTest;
using ManagedObjectTest = StoreTest;

TEST_F(ManagedObjectTest, AttributesCoerceAndRefuseWrongTypes) {
    auto task = insert("Task");
    EXPECT_TRUE(task->isInserted());
    EXPECT_TRUE(task->objectID()->isTemporaryID());
    EXPECT_EQ(task->valueForKey("done"), Value(false));  // default
    EXPECT_TRUE(task->valueForKey("title").isNull());
    task->setValue(Value(1), "done");
    EXPECT_TRUE(task->valueForKey("done").isBool());
    task->setValue(Value(12.0), "sortOrder");
    EXPECT_EQ(task->valueForKey("sortOrder").numberType(), NumberType::Int16);
    EXPECT_THROW(task->setValue(Value(70000), "sortOrder"), ModelException);
    EXPECT_THROW(task->setValue(Value(5), "title"), ModelException);
    EXPECT_THROW(task->setValue(Value("x"), "nope"), ModelException);
    EXPECT_THROW(task->valueForKey("nope"), ModelException);
    EXPECT_THROW(task->setValue(Value("not an object"), "calendar"), ModelException);
    EXPECT_EQ(task->valueForKey("sortOrder"), Value(12));  // the refused write changed nothing
    EXPECT_EQ(context->insertNewObjectForEntityForName("Item"), nullptr);  // abstract
    EXPECT_EQ(context->insertNewObjectForEntityForName("Unknown"), nullptr);
}

// Changed flags are kept in one word up to 64 properties and in an array
// beyond: a change on either side of each word boundary must be seen.
TEST(WideEntityTest, ChangesOfEveryPropertyAreTrackedPastSixtyFourProperties) {
    dispatch::MainLoop::bindToCurrentThread();
    auto model = ManagedObjectModel::create();
    auto& wide = model->addEntity("Wide");
    for (int i = 0; i < 130; ++i)
        wide.addAttribute("a" + std::to_string(i), AttributeType::Integer64);
    auto coordinator = PersistentStoreCoordinator::create(model);
    ASSERT_TRUE(coordinator->addPersistentStore(InMemoryStoreType, "", std::nullopt));
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    auto o = context->insertNewObjectForEntityForName("Wide");
    ASSERT_EQ(context->save(), nullptr);
    const int changed[] = {0, 63, 64, 127, 128, 129};
    for (int i : changed)
        o->setValue(Value(int64_t{i} * 10), "a" + std::to_string(i));
    Dictionary values = o->changedValues();
    EXPECT_EQ(values.size(), std::size(changed));
    for (int i : changed)
        EXPECT_EQ(*values.find("a" + std::to_string(i)), Value(int64_t{i} * 10)) << i;
    ASSERT_EQ(context->save(), nullptr);
    auto other = ManagedObjectContext::create(ConcurrencyType::Confinement);
    other->setPersistentStoreCoordinator(coordinator);
    auto stored = other->objectWithID(o->objectID());
    EXPECT_EQ(stored->valueForKey("a129"), Value(int64_t{1290}));
    EXPECT_TRUE(stored->valueForKey("a1").isNull());
}

TEST_F(ManagedObjectTest, ToOneAndToManyKeepInversesInStep) {
    auto home = insert("Calendar", "name", Value("home"));
    auto work = insert("Calendar", "name", Value("work"));
    auto task = insert("Task", "title", Value("t"));
    task->setObject(home, "calendar");
    EXPECT_EQ(home->objectsForKey("tasks"), std::vector<ManagedObjectPtr>{task});
    // Adding to another owner's to-many moves the task.
    work->mutableSetValueForKey("tasks").addObject(task);
    EXPECT_EQ(task->objectForKey("calendar"), work);
    EXPECT_TRUE(home->objectsForKey("tasks").empty());
    EXPECT_EQ(work->valueForKey("tasks").count(), 1u);
    // Setting nil removes it from the owner.
    task->setValue(Value(), "calendar");
    EXPECT_TRUE(work->objectsForKey("tasks").empty());
    // Replacing a to-many's contents.
    auto other = insert("Task");
    home->setValue(Value(Array{Value(ObjectPtr(task)), Value(ObjectPtr(other))}), "tasks");
    EXPECT_EQ(task->objectForKey("calendar"), home);
    EXPECT_EQ(other->objectForKey("calendar"), home);
    home->mutableSetValueForKey("tasks").removeAllObjects();
    EXPECT_EQ(other->objectForKey("calendar"), nullptr);

    // Many to many.
    auto tag = insert("Tag", "name", Value("x"));
    task->mutableSetValueForKey("tags").addObject(tag);
    EXPECT_TRUE(tag->mutableSetValueForKey("tasks").contains(task));
    tag->mutableSetValueForKey("tasks").removeObject(task);
    EXPECT_TRUE(task->objectsForKey("tags").empty());

    // One to one: a new partner takes the place of the old one on both sides.
    auto a = insert("Person", "name", Value("a"));
    auto b = insert("Person", "name", Value("b"));
    auto c = insert("Person", "name", Value("c"));
    a->setObject(b, "partner");
    EXPECT_EQ(b->objectForKey("partner"), a);
    c->setObject(b, "partner");
    EXPECT_EQ(b->objectForKey("partner"), c);
    EXPECT_EQ(a->objectForKey("partner"), nullptr);
}

TEST_F(ManagedObjectTest, OrderedRelationshipsKeepTheirOrder) {
    auto task = insert("Task");
    auto n1 = insert("Note", "text", Value("1"));
    auto n2 = insert("Note", "text", Value("2"));
    auto n3 = insert("Note", "text", Value("3"));
    auto notes = task->mutableOrderedSetValueForKey("notes");
    notes.addObject(n1);
    notes.addObject(n3);
    notes.insertObject(n2, 1);
    EXPECT_EQ(task->objectsForKey("notes"), (std::vector<ManagedObjectPtr>{n1, n2, n3}));
    notes.insertObject(n3, 0);  // moving an existing member
    EXPECT_EQ(task->objectsForKey("notes"), (std::vector<ManagedObjectPtr>{n3, n1, n2}));
    EXPECT_EQ(n2->objectForKey("task"), task);
    ASSERT_TRUE(task->valueForKey("notes").isArray());
    task->setValue(Value(Array{Value(ObjectPtr(n2)), Value(ObjectPtr(n1))}), "notes");
    EXPECT_EQ(task->objectsForKey("notes"), (std::vector<ManagedObjectPtr>{n2, n1}));
    EXPECT_EQ(n3->objectForKey("task"), nullptr);
    EXPECT_THROW(task->mutableOrderedSetValueForKey("tags"), ModelException);
    EXPECT_THROW(task->mutableSetValueForKey("title"), ModelException);
}

TEST_F(ManagedObjectTest, PrimitiveWritesChangeOneSideOnly) {
    auto home = insert("Calendar", "name", Value("home"));
    auto task = insert("Task");
    task->setPrimitiveValue(Value(ObjectPtr(home)), "calendar");
    EXPECT_EQ(task->primitiveValueForKey("calendar"), Value(ObjectPtr(home)));
    EXPECT_TRUE(home->objectsForKey("tasks").empty());
    home->setPrimitiveValue(Value(Set{Value(ObjectPtr(task))}), "tasks");
    EXPECT_EQ(home->objectsForKey("tasks").size(), 1u);
}

// A to-one written from a Value keeps that Value (shared, not boxed anew):
// one Value written into several objects, by either kind of write, links
// each of them, later writes of one leave the others as they are, and a
// Value holding anything but a fitting managed object is still refused.
TEST_F(ManagedObjectTest, ToOnesWrittenFromOneValueLinkEachObjectOnItsOwn) {
    auto home = insert("Calendar", "name", Value("home"));
    auto work = insert("Calendar", "name", Value("work"));
    const Value homeValue = Value(ObjectPtr(home));
    auto first = insert("Task"), second = insert("Task"), third = insert("Task");
    first->setPrimitiveValue(homeValue, "calendar");
    second->setValue(homeValue, "calendar");
    third->setValue(homeValue, "calendar");
    second->setValue(Value(ObjectPtr(work)), "calendar");
    third->setValue(Value(), "calendar");
    EXPECT_EQ(first->objectForKey("calendar"), home);
    EXPECT_EQ(second->objectForKey("calendar"), work);
    EXPECT_EQ(third->objectForKey("calendar"), nullptr);
    EXPECT_EQ(home->objectsForKey("tasks").size(), 0u);  // the primitive write is one-sided
    EXPECT_EQ(work->objectsForKey("tasks"), std::vector<ManagedObjectPtr>{second});
    EXPECT_EQ(homeValue.asObject(), home);
    EXPECT_THROW(first->setPrimitiveValue(Value(ObjectPtr(insert("Tag"))), "calendar"), ModelException);
    EXPECT_THROW(first->setValue(Value(ObjectPtr(home->objectID())), "calendar"), ModelException);
    EXPECT_EQ(first->objectForKey("calendar"), home);
}

TEST_F(ManagedObjectTest, RelationshipsRefuseWrongEntitiesAndForeignObjects) {
    auto task = insert("Task");
    auto tag = insert("Tag");
    EXPECT_THROW(task->setObject(tag, "calendar"), ModelException);
    EXPECT_THROW(task->mutableSetValueForKey("tags").addObject(task), ModelException);
    auto otherContext = newContext();
    auto foreign = insert("Calendar", "name", Value("x"), otherContext);
    EXPECT_THROW(task->setObject(foreign, "calendar"), ModelException);
    // A sub-entity is accepted where its super-entity is expected.
    auto urgent = insert("UrgentTask");
    auto calendar = insert("Calendar", "name", Value("c"));
    calendar->mutableSetValueForKey("tasks").addObject(urgent);
    EXPECT_EQ(urgent->objectForKey("calendar"), calendar);
}

TEST_F(ManagedObjectTest, ObserversSeeChangesAndTheirExceptionsReachTheWriter) {
    auto task = insert("Task");
    auto calendar = insert("Calendar", "name", Value("c"));
    std::vector<std::string> seen;
    auto token = task->addObserver("title", [&](ManagedObject& o, std::string_view key) {
        seen.push_back(std::string(key) + "=" + o.valueForKey(key).stringValue());
    });
    task->addObserver("calendar",
                      [&](ManagedObject&, std::string_view key) { seen.push_back(std::string(key)); });
    task->setValue(Value("a"), "title");
    calendar->mutableSetValueForKey("tasks").addObject(task);  // inverse change is observed too
    EXPECT_EQ(seen, (std::vector<std::string>{"title=a", "calendar"}));
    task->removeObserver(token);
    task->addObserver("title",
                      [](ManagedObject&, std::string_view) { throw std::runtime_error("observer"); });
    EXPECT_THROW(task->setValue(Value("b"), "title"), std::runtime_error);
    EXPECT_EQ(task->valueForKey("title"), Value("b"));
}

TEST_F(ManagedObjectTest, PrimitiveWritesCallObserversOnlyThroughTheirBracket) {
    auto task = insert("Task");
    auto calendar = insert("Calendar", "name", Value("c"));
    int titles = 0, calendars = 0;
    task->addObserver("title", [&](ManagedObject&, std::string_view) { ++titles; });
    task->addObserver("calendar", [&](ManagedObject&, std::string_view) { ++calendars; });
    task->setPrimitiveValue(Value("quiet"), "title");
    task->setPrimitiveValue(Value(ObjectPtr(calendar)), "calendar");
    EXPECT_EQ(titles + calendars, 0);
    task->willChangeValueForKey("title");
    task->setPrimitiveValue(Value("loud"), "title");
    task->didChangeValueForKey("title");
    task->willChangeValueForKey("calendar");
    task->setPrimitiveValue(Value(), "calendar");
    task->didChangeValueForKey("calendar");
    EXPECT_EQ(titles, 1);
    EXPECT_EQ(calendars, 1);
    // A throwing observer throws out of the bracket's end, the value written.
    task->addObserver("title",
                      [](ManagedObject&, std::string_view) { throw std::runtime_error("observer"); });
    task->willChangeValueForKey("title");
    EXPECT_NO_THROW(task->setPrimitiveValue(Value("new"), "title"));
    EXPECT_THROW(task->didChangeValueForKey("title"), std::runtime_error);
    EXPECT_EQ(task->valueForKey("title"), Value("new"));
}

TEST_F(ManagedObjectTest, AThrowingObserverLeavesBothSidesOfARelationshipInStep) {
    auto throwing = [](ManagedObject&, std::string_view) { throw std::runtime_error("observer"); };
    // One-to-one: b leaves c for a; c's observer throws.
    auto a = insert("Person"), b = insert("Person"), c = insert("Person");
    b->setObject(c, "partner");
    c->addObserver("partner", throwing);
    EXPECT_THROW(a->setObject(b, "partner"), std::runtime_error);
    EXPECT_EQ(a->objectForKey("partner"), b);
    EXPECT_EQ(b->objectForKey("partner"), a);
    EXPECT_EQ(c->objectForKey("partner"), nullptr);
    // Moving a task between calendars; the old calendar's observer throws.
    auto home = insert("Calendar", "name", Value("home"));
    auto work = insert("Calendar", "name", Value("work"));
    auto task = insert("Task");
    task->setObject(home, "calendar");
    home->addObserver("tasks", throwing);
    EXPECT_THROW(task->setObject(work, "calendar"), std::runtime_error);
    EXPECT_EQ(task->objectForKey("calendar"), work);
    EXPECT_TRUE(home->objectsForKey("tasks").empty());
    EXPECT_EQ(work->objectsForKey("tasks"), std::vector<ManagedObjectPtr>{task});
}

TEST_F(ManagedObjectTest, ChangedAndCommittedValuesTrackTheLastSave) {
    auto calendar = insert("Calendar", "name", Value("home"));
    auto task = insert("Task", "title", Value("one"));
    task->setObject(calendar, "calendar");
    EXPECT_EQ(task->committedValuesForKeys({}).size(), 0u);  // inserted: nothing saved yet
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_FALSE(task->hasChanges());
    EXPECT_TRUE(task->changedValues().empty());
    task->setValue(Value("two"), "title");
    calendar->setValue(Value("office"), "name");
    EXPECT_TRUE(task->isUpdated());
    auto changed = task->changedValues();
    EXPECT_EQ(changed.size(), 1u);
    EXPECT_EQ(*changed.find("title"), Value("two"));
    auto committed = task->committedValuesForKeys({"title", "calendar"});
    EXPECT_EQ(*committed.find("title"), Value("one"));
    EXPECT_EQ(*committed.find("calendar"), Value(ObjectPtr(calendar)));
    EXPECT_TRUE(task->committedValuesForKeys({}).contains("uuid"));
    EXPECT_FALSE(task->committedValuesForKeys({}).contains("scratch"));  // transient
}

}  // namespace
}  // namespace plat::coredata
