#include "platform/coredata/ManagedObjectContext.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "CoreDataTestSupport.h"
#include "platform/coredata/BinaryStore.h"
#include "platform/coredata/InMemoryStore.h"
#include "platform/coredata/SQLiteStore.h"
#include "platform/dispatch/Semaphore.h"
#include "support/TempDir.h"

namespace plat::coredata {
namespace {

using testing::NotificationRecorder;
using testing::StoreTest;

// The context behaviours hold whatever the store: every test runs against the
// in-memory, SQLite and binary stores (a test written with TEST_F uses the
// in-memory one).
class ContextTest : public StoreTest, public ::testing::WithParamInterface<std::string> {
  protected:
    Result<std::shared_ptr<PersistentStore>> addStore() override {
        const bool parameterised = ::testing::UnitTest::GetInstance()->current_test_info()->value_param();
        const std::string type = parameterised ? GetParam() : std::string(InMemoryStoreType);
        if (type == InMemoryStoreType)
            return StoreTest::addStore();
        return coordinator->addPersistentStore(type, "", URL::fileURLWithPath((dir / "store").string()));
    }
    testsupport::TempDir dir;
};

FetchRequest request(const char* entity, PredicatePtr predicate = nullptr,
                     std::vector<SortDescriptor> sort = {}) {
    FetchRequest r(entity);
    r.predicate = std::move(predicate);
    r.sortDescriptors = std::move(sort);
    return r;
}

TEST_P(ContextTest, SaveGivesPermanentIDsWhoseURIsResolve) {
    auto task = insert("Task", "title", Value("a"));
    auto temporary = task->objectID();
    EXPECT_TRUE(context->hasChanges());
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_FALSE(context->hasChanges());
    auto id = task->objectID();
    EXPECT_FALSE(id->isTemporaryID());
    EXPECT_FALSE(id->isEqual(*temporary));
    auto store = coordinator->persistentStores().at(0);
    EXPECT_EQ(id->persistentStore(), store);
    const std::string uri = id->URIRepresentation().absoluteString();
    EXPECT_EQ(uri, "x-objectstore://" + store->identifier() + "/Task/p" + std::to_string(id->primaryKey()));
    auto back = coordinator->managedObjectIDForURIRepresentation(uri);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*id));
    EXPECT_EQ(back->hash(), id->hash());
    EXPECT_EQ(context->objectWithID(back), task);  // one object per ID

    // URIs that do not name one of our objects give nothing.
    EXPECT_EQ(coordinator->managedObjectIDForURIRepresentation("not a url"), nullptr);
    EXPECT_EQ(coordinator->managedObjectIDForURIRepresentation("x-objectstore://OTHER/Task/p1"), nullptr);
    EXPECT_EQ(coordinator->managedObjectIDForURIRepresentation("x-objectstore://" + store->identifier() +
                                                               "/Nope/p1"),
              nullptr);
    EXPECT_EQ(coordinator->managedObjectIDForURIRepresentation(temporary->URIRepresentation()), nullptr);
    EXPECT_EQ(coordinator->managedObjectIDForURIRepresentation("x-objectstore://" + store->identifier() +
                                                               "/Task/pX"),
              nullptr);
    // A row that does not exist still gets an ID; existence is checked by fetching.
    auto ghost = coordinator->managedObjectIDForURIRepresentation("x-objectstore://" + store->identifier() +
                                                                  "/Task/p999");
    ASSERT_NE(ghost, nullptr);
    auto missing = context->existingObjectWithID(ghost);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error()->code(), ManagedObjectReferentialIntegrityError);
}

// A to-many without inverse still names a member deleted elsewhere; the store
// must forget it, or reading the owner's members fails on the gone row.
TEST_P(ContextTest, DeletedMembersLeaveToManysWithoutInverse) {
    auto vault = insert("Vault");
    vault->setObject(insert("Person"), "guard");
    auto kept = insert("Note", "text", Value("kept"));
    auto gone = insert("Note", "text", Value("gone"));
    vault->mutableSetValueForKey("items").addObject(kept);
    vault->mutableSetValueForKey("items").addObject(gone);
    ASSERT_EQ(context->save(), nullptr);
    context->deleteObject(gone);
    ASSERT_EQ(context->save(), nullptr);
    auto fresh = newContext();
    auto vaults = fetch(request("Vault"), fresh);
    ASSERT_EQ(vaults.size(), 1u);
    auto items = vaults[0]->objectsForKey("items");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->valueForKey("text"), Value("kept"));
}

TEST_P(ContextTest, PrimaryKeysAreNeverReused) {
    auto a = insert("Task");
    ASSERT_EQ(context->obtainPermanentIDsForObjects({a}), nullptr);
    int64_t first = a->objectID()->primaryKey();
    context->rollback();  // the reserved key is dropped with the object
    EXPECT_TRUE(a->isInvalidated());
    auto b = insert("Note");        // shares no counter with Task
    auto c = insert("UrgentTask");  // shares Task's root
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_GT(c->objectID()->primaryKey(), first);
    EXPECT_EQ(b->objectID()->primaryKey(), 1);
}

TEST_P(ContextTest, FetchSeesUnsavedInsertsAndSkipsUnsavedDeletes) {
    for (const char* title : {"b", "a", "c"})
        insert("Task", "title", Value(title));
    ASSERT_EQ(context->save(), nullptr);
    auto all = fetch(request("Task", nullptr, {SortDescriptor("title")}));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(strings(all, "title"), (std::vector<std::string>{"a", "b", "c"}));

    insert("Task", "title", Value("aa"));
    context->deleteObject(all[1]);           // "b"
    all[2]->setValue(Value("0c"), "title");  // "c" now sorts first
    auto seen = fetch(request("Task", Predicate::notEqual("title", Value("zz")), {SortDescriptor("title")}));
    EXPECT_EQ(strings(seen, "title"), (std::vector<std::string>{"0c", "a", "aa"}));
    // A changed object that no longer matches is left out.
    auto begins = fetch(request("Task", Predicate::beginsWith("title", "c")));
    EXPECT_TRUE(begins.empty());
    FetchRequest window = request("Task", nullptr, {SortDescriptor("title", false)});
    window.fetchOffset = 1;
    window.fetchLimit = 1;
    EXPECT_EQ(strings(fetch(window), "title"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(*context->countForFetchRequest(request("Task")), 3u);
    // NOT (SELF IN ...) keeps unsaved inserts.
    auto ids = Array{Value(ObjectPtr(all[0]->objectID()))};
    EXPECT_EQ(fetch(request("Task", Predicate::notPredicate(Predicate::selfIn(Value(ids))))).size(), 2u);
    EXPECT_EQ(fetch(request("Task", Predicate::selfIn(Value(ids)))), std::vector<ManagedObjectPtr>{all[0]});
}

TEST_P(ContextTest, FetchesFollowSubentitiesKeyPathsAndResultTypes) {
    auto home = insert("Calendar", "name", Value("home"));
    auto work = insert("Calendar", "name", Value("work"));
    auto t1 = insert("Task", "title", Value("t1"));
    auto u1 = insert("UrgentTask", "title", Value("u1"));
    t1->setObject(work, "calendar");
    u1->setObject(home, "calendar");
    ASSERT_EQ(context->save(), nullptr);
    context->reset();

    EXPECT_EQ(fetch(request("Task")).size(), 2u);
    EXPECT_EQ(fetch(request("Item")).size(), 2u);
    FetchRequest exact = request("Task");
    exact.includesSubentities = false;
    EXPECT_EQ(strings(fetch(exact), "title"), std::vector<std::string>{"t1"});
    auto byCalendar = fetch(request("Task", nullptr, {SortDescriptor("calendar.name")}));
    EXPECT_EQ(strings(byCalendar, "title"), (std::vector<std::string>{"u1", "t1"}));
    auto inWork = fetch(request("Task", Predicate::equal("calendar.name", Value("work"))));
    EXPECT_EQ(strings(inWork, "title"), std::vector<std::string>{"t1"});
    auto workObject = fetch(request("Calendar", Predicate::equal("name", Value("work")))).at(0);
    EXPECT_EQ(fetch(request("Task", Predicate::equal("calendar", Value(ObjectPtr(workObject))))).size(), 1u);
    EXPECT_EQ(
        fetch(request("Task", Predicate::equal("calendar", Value(ObjectPtr(workObject->objectID()))))).size(),
        1u);
    EXPECT_EQ(fetch(request("Calendar", Predicate::anyIn("tasks.title", Value(Array{Value("u1")})))).size(),
              1u);

    FetchRequest dict = request("Task", nullptr, {SortDescriptor("title")});
    dict.propertiesToFetch = {{"title", "title"}, {"id", "objectID"}, {"cal", "calendar"}};
    auto rows = context->fetchDictionaries(dict);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ(*(*rows)[0].find("title"), Value("t1"));
    EXPECT_EQ(*(*rows)[0].find("cal"), Value(ObjectPtr(workObject->objectID())));
    EXPECT_TRUE((*rows)[0].find("id")->asObjectOf<ManagedObjectID>());
    FetchRequest count = request("Task");
    count.resultType = FetchRequestResultType::Count;
    EXPECT_EQ(context->executeFetchRequestValues(count)->at(0), Value(2));
    FetchRequest ids = request("Task");
    ids.resultType = FetchRequestResultType::ManagedObjectID;
    EXPECT_EQ(context->executeFetchRequestValues(ids)->size(), 2u);
    EXPECT_THROW((void)context->executeFetchRequest(request("Unknown")), ModelException);
}

TEST_P(ContextTest, FaultsFillOnAccessAndResetInvalidates) {
    auto task = insert("Task", "title", Value("a"));
    auto note = insert("Note", "text", Value("n"));
    task->mutableOrderedSetValueForKey("notes").addObject(note);
    ASSERT_EQ(context->save(), nullptr);
    auto id = task->objectID();
    context->reset();
    EXPECT_TRUE(task->isInvalidated());
    EXPECT_EQ(task->managedObjectContext(), nullptr);
    EXPECT_THROW(task->valueForKey("title"), ModelException);
    EXPECT_EQ(task->objectID(), id);  // identity stays readable

    auto fault = context->objectWithID(id);
    EXPECT_TRUE(fault->isFault());
    EXPECT_EQ(fault->valueForKey("title"), Value("a"));
    EXPECT_FALSE(fault->isFault());
    EXPECT_EQ(strings(fault->objectsForKey("notes"), "text"), std::vector<std::string>{"n"});
    fault->setValue(Value("changed"), "title");
    context->refreshObject(fault, false);
    EXPECT_TRUE(fault->isFault());
    EXPECT_FALSE(context->hasChanges());
    EXPECT_EQ(fault->valueForKey("title"), Value("a"));

    // An unsaved insert discarded by reset is gone for good.
    auto scratch = insert("Task");
    ASSERT_EQ(context->obtainPermanentIDsForObjects({scratch}), nullptr);
    auto scratchID = scratch->objectID();
    context->reset();
    EXPECT_FALSE(context->existingObjectWithID(scratchID));
    auto reloaded = context->existingObjectWithID(id);
    ASSERT_TRUE(reloaded);
    EXPECT_FALSE((*reloaded)->isFault());
    // A fault whose row is deleted elsewhere throws instead of crashing.
    auto other = newContext();
    other->deleteObject(other->objectWithID(id));
    ASSERT_EQ(other->save(), nullptr);
    auto stale = newContext()->objectWithID(id);
    EXPECT_THROW(stale->valueForKey("title"), ModelException);
}

TEST_P(ContextTest, DeleteRulesCascadeNullifyAndDeny) {
    auto calendar = insert("Calendar", "name", Value("home"));
    auto task = insert("Task", "title", Value("t"));
    auto note = insert("Note", "text", Value("n"));
    auto tag = insert("Tag", "name", Value("x"));
    task->setObject(calendar, "calendar");
    task->mutableOrderedSetValueForKey("notes").addObject(note);
    task->mutableSetValueForKey("tags").addObject(tag);
    ASSERT_EQ(context->save(), nullptr);

    context->deleteObject(calendar);  // cascades to the task, and from it to the note
    context->processPendingChanges();
    EXPECT_TRUE(task->isDeleted());
    EXPECT_TRUE(note->isDeleted());
    EXPECT_FALSE(tag->isDeleted());
    EXPECT_TRUE(tag->objectsForKey("tasks").empty());  // nullified
    EXPECT_TRUE(tag->isUpdated());
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(*context->countForFetchRequest(request("Task")), 0u);
    EXPECT_EQ(*context->countForFetchRequest(request("Note")), 0u);
    EXPECT_TRUE(task->isInvalidated());
    context->reset();
    auto tags = fetch(request("Tag"));
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_TRUE(tags[0]->objectsForKey("tasks").empty());

    auto vault = insert("Vault");
    auto person = insert("Person", "name", Value("p"));
    vault->setObject(person, "guard");
    ASSERT_EQ(context->save(), nullptr);
    context->deleteObject(vault);
    auto denied = context->save();
    ASSERT_NE(denied, nullptr);
    EXPECT_EQ(denied->code(), ValidationRelationshipDeniedDeleteError);
    context->rollback();
    EXPECT_FALSE(vault->isDeleted());
    vault->setObject(nullptr, "guard");
    context->deleteObject(vault);
    EXPECT_EQ(context->save(), nullptr);
}

TEST_P(ContextTest, ValidationRefusesTheWholeSave) {
    auto calendar = insert("Calendar");  // name is required
    insert("Task", "title", Value("kept"));
    auto error = context->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), CocoaErrorDomain);
    EXPECT_EQ(error->code(), ValidationMissingMandatoryPropertyError);
    EXPECT_EQ(*error->userInfo().find(ValidationKeyErrorKey), Value("name"));
    EXPECT_TRUE(context->hasChanges());
    EXPECT_EQ(newContext()->countForFetchRequest(request("Task")).value(), 0u);

    auto vault = insert("Vault");
    for (int i = 0; i < 3; ++i)
        vault->mutableSetValueForKey("items").addObject(insert("Note"));
    error = context->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ValidationMultipleErrorsError);
    EXPECT_EQ(error->userInfo().find(DetailedErrorsKey)->count(), 2u);
    calendar->setValue(Value("ok"), "name");
    vault->mutableSetValueForKey("items").removeObject(vault->objectsForKey("items")[0]);
    EXPECT_EQ(context->save(), nullptr);
}

TEST_P(ContextTest, SaveNotificationsCarryTheChangedObjects) {
    auto calendar = insert("Calendar", "name", Value("home"));
    auto doomed = insert("Task", "title", Value("doomed"));
    ASSERT_EQ(context->save(), nullptr);

    NotificationRecorder willSave(ManagedObjectContextWillSaveNotification, context);
    NotificationRecorder didSave(ManagedObjectContextDidSaveNotification, context);
    NotificationRecorder didChange(ManagedObjectContextObjectsDidChangeNotification, context);
    EXPECT_EQ(context->save(), nullptr);  // nothing to save: no notifications
    EXPECT_TRUE(willSave.notes.empty());

    auto fresh = insert("Task", "title", Value("new"));
    fresh->setObject(calendar, "calendar");
    context->deleteObject(doomed);
    context->processPendingChanges();
    ASSERT_EQ(didChange.notes.size(), 1u);
    EXPECT_TRUE(didChange.holds(didChange.notes[0], InsertedObjectsKey, fresh));
    EXPECT_TRUE(didChange.holds(didChange.notes[0], UpdatedObjectsKey, calendar));
    EXPECT_TRUE(didChange.holds(didChange.notes[0], DeletedObjectsKey, doomed));

    ASSERT_EQ(context->save(), nullptr);
    ASSERT_EQ(willSave.notes.size(), 1u);
    ASSERT_EQ(didSave.notes.size(), 1u);
    const auto& note = didSave.notes[0];
    EXPECT_EQ(note.object, context);
    EXPECT_EQ(didSave.count(note, InsertedObjectsKey), 1u);
    EXPECT_TRUE(didSave.holds(note, InsertedObjectsKey, fresh));
    EXPECT_FALSE(fresh->objectID()->isTemporaryID());  // permanent by the time did-save is seen
    EXPECT_TRUE(didSave.holds(note, UpdatedObjectsKey, calendar));
    EXPECT_TRUE(didSave.holds(note, DeletedObjectsKey, doomed));
    EXPECT_EQ(doomed->entity()->name(), "Task");  // deleted objects keep their identity

    // A failed save posts no did-save.
    insert("Calendar");
    EXPECT_NE(context->save(), nullptr);
    EXPECT_EQ(didSave.notes.size(), 1u);
}

// The sets of a notification are built only for a post someone observes:
// an observer of every name from this context, or of this name from every
// context, still gets them whole, while observers of other contexts leave
// them out without missing anything of their own.
TEST_P(ContextTest, ChangeSetsReachObserversOfAnyNameOrAnySender) {
    auto other = newContext();
    NotificationRecorder elsewhere(ManagedObjectContextObjectsDidChangeNotification, other);
    NotificationRecorder everything("", context);

    auto task = insert("Task", "title", Value("t"));
    context->processPendingChanges();
    ASSERT_EQ(everything.notes.size(), 1u);
    EXPECT_EQ(everything.notes[0].name, ManagedObjectContextObjectsDidChangeNotification);
    EXPECT_TRUE(everything.holds(everything.notes[0], InsertedObjectsKey, task));
    EXPECT_TRUE(elsewhere.notes.empty());

    ASSERT_EQ(context->save(), nullptr);
    ASSERT_EQ(everything.notes.size(), 3u);  // will-save and did-save follow
    EXPECT_EQ(everything.notes[2].name, ManagedObjectContextDidSaveNotification);
    EXPECT_TRUE(everything.holds(everything.notes[2], InsertedObjectsKey, task));

    // Of every sender: the other context's save carries its sets as well.
    NotificationRecorder anySender(ManagedObjectContextDidSaveNotification, nullptr);
    auto mine = other->objectWithID(task->objectID());
    mine->setValue(Value("renamed"), "title");
    other->processPendingChanges();
    ASSERT_EQ(elsewhere.notes.size(), 1u);
    EXPECT_TRUE(elsewhere.holds(elsewhere.notes[0], UpdatedObjectsKey, mine));
    ASSERT_EQ(other->save(), nullptr);
    ASSERT_EQ(anySender.notes.size(), 1u);
    EXPECT_EQ(anySender.notes[0].object, other);
    EXPECT_TRUE(anySender.holds(anySender.notes[0], UpdatedObjectsKey, mine));
    EXPECT_EQ(anySender.count(anySender.notes[0], InsertedObjectsKey), 0u);
    EXPECT_EQ(everything.notes.size(), 3u);
}

TEST_P(ContextTest, ManyObjectsStayFindableAcrossSavesDeletesAndHeldTemporaryIDs) {
    std::vector<ManagedObjectPtr> tasks, tags;
    for (int i = 0; i < 3000; ++i) {
        tasks.push_back(insert("Task", "title", Value("t" + std::to_string(i))));
        if (i % 3 == 0)
            tags.push_back(insert("Tag", "name", Value("g" + std::to_string(i))));
    }
    // A caller holding a temporary ID still reaches the object after the save.
    auto heldTemporary = tasks[17]->objectID();
    const std::size_t heldHash = heldTemporary->hash();
    ASSERT_EQ(context->save(), nullptr);
    // IDs nobody else held became permanent where they lay; the held one
    // did not change under its holder.
    EXPECT_TRUE(heldTemporary->isTemporaryID());
    EXPECT_EQ(heldTemporary->hash(), heldHash);
    EXPECT_FALSE(tasks[17]->objectID()->isEqual(*heldTemporary));
    EXPECT_EQ(context->registeredObjects().size(), tasks.size() + tags.size());
    EXPECT_EQ(context->registeredObjectCount(), tasks.size() + tags.size());
    EXPECT_EQ(context->objectWithID(heldTemporary), tasks[17]);
    for (const auto& group : {tasks, tags}) {
        for (const auto& o : group) {
            ASSERT_FALSE(o->objectID()->isTemporaryID());
            ASSERT_EQ(context->objectRegisteredForID(o->objectID()), o);
        }
    }
    // An equal ID made from the URI finds the registered object.
    auto uri = tasks[2999]->objectID()->URIRepresentation();
    EXPECT_EQ(context->objectRegisteredForID(coordinator->managedObjectIDForURIRepresentation(uri)),
              tasks[2999]);

    for (std::size_t i = 0; i < tasks.size(); i += 2)
        context->deleteObject(tasks[i]);
    ASSERT_EQ(context->save(), nullptr);
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        ASSERT_EQ(context->objectRegisteredForID(tasks[i]->objectID()), i % 2 ? tasks[i] : nullptr) << i;
        ASSERT_EQ(tasks[i]->isInvalidated(), i % 2 == 0);
    }
    EXPECT_EQ(fetch(request("Task")).size(), 1500u);
    EXPECT_EQ(context->registeredObjectCount(), context->registeredObjects().size());
    context->reset();
    EXPECT_TRUE(context->registeredObjects().empty());
    EXPECT_EQ(context->registeredObjectCount(), 0u);
    EXPECT_TRUE(tasks[1]->isInvalidated());
    EXPECT_EQ(fetch(request("Task")).size(), 1500u);
}

// Prefetched objects are loaded with the fetch: once the store is gone,
// they still read, where an object merely pointed at cannot.
TEST_P(ContextTest, PrefetchingLoadsWhatTheKeyPathsReach) {
    auto work = insert("Calendar", "name", Value("work"));
    auto home = insert("Calendar", "name", Value("home"));
    insert("Calendar", "name", Value("empty"));
    for (int i = 0; i < 6; ++i) {
        auto t = insert(i == 5 ? "UrgentTask" : "Task", "title", Value("t" + std::to_string(i)));
        t->setObject(i % 2 ? work : home, "calendar");
    }
    insert("Task", "title", Value("loose"));
    ASSERT_EQ(context->save(), nullptr);

    auto titles = [](const ManagedObjectPtr& calendar) {
        auto tasks = strings(calendar->objectsForKey("tasks"), "title");
        std::sort(tasks.begin(), tasks.end());
        return tasks;
    };
    auto calendars = newContext(), tasks = newContext(), plain = newContext();
    FetchRequest byName = request("Calendar", nullptr, {SortDescriptor("name")});
    byName.relationshipKeyPathsForPrefetching = {"tasks"};
    auto fetchedCalendars = fetch(byName, calendars);
    FetchRequest firstTask = request("Task", Predicate::equal("title", Value("t0")));
    firstTask.relationshipKeyPathsForPrefetching = {"calendar.tasks"};
    auto values = tasks->executeFetchRequestValues(firstTask);  // the same through the values form
    ASSERT_TRUE(values && values->size() == 1u);
    std::vector<ManagedObjectPtr> fetchedTasks{ManagedObject::fromValue(values->at(0))};
    auto plainTask = fetch(request("Task", Predicate::equal("title", Value("t0"))), plain);
    for (const char* keyPath : {"nope", "calendar.nope", "title"}) {
        FetchRequest bad = request("Task");
        bad.relationshipKeyPathsForPrefetching = {keyPath};
        EXPECT_THROW((void)context->executeFetchRequest(bad), ModelException) << keyPath;
    }

    ASSERT_EQ(coordinator->removePersistentStore(coordinator->persistentStores().at(0)), nullptr);
    ASSERT_EQ(fetchedCalendars.size(), 3u);
    EXPECT_EQ(strings(fetchedCalendars, "name"), (std::vector<std::string>{"empty", "home", "work"}));
    EXPECT_EQ(titles(fetchedCalendars[0]), std::vector<std::string>{});
    EXPECT_EQ(titles(fetchedCalendars[1]), (std::vector<std::string>{"t0", "t2", "t4"}));
    EXPECT_EQ(titles(fetchedCalendars[2]), (std::vector<std::string>{"t1", "t3", "t5"}));
    EXPECT_EQ(fetchedCalendars[2]->objectsForKey("tasks").back()->objectForKey("calendar"),
              fetchedCalendars[2]);

    ASSERT_EQ(fetchedTasks.size(), 1u);
    auto calendar = fetchedTasks[0]->objectForKey("calendar");
    ASSERT_NE(calendar, nullptr);
    EXPECT_EQ(calendar->valueForKey("name"), Value("home"));
    EXPECT_EQ(titles(calendar), (std::vector<std::string>{"t0", "t2", "t4"}));

    ASSERT_EQ(plainTask.size(), 1u);
    EXPECT_THROW(plainTask[0]->objectForKey("calendar")->valueForKey("name"), ModelException);
}

TEST_P(ContextTest, SavedValuesBecomeTheCommittedStateAndLaterEditsRollBackToThem) {
    auto calendar = insert("Calendar", "name", Value("home"));
    auto task = insert("Task", "title", Value("first"));
    task->setObject(calendar, "calendar");
    task->setValue(Value(7), "sortOrder");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_TRUE(task->changedValues().empty());
    auto committed = task->committedValuesForKeys({"title", "sortOrder", "calendar"});
    EXPECT_EQ(committed.find("title")->stringValue(), "first");
    EXPECT_EQ(committed.find("sortOrder")->intValue(), 7);
    EXPECT_EQ(ManagedObject::fromValue(*committed.find("calendar")), calendar);
    EXPECT_EQ(task->objectForKey("calendar"), calendar);
    EXPECT_EQ(calendar->objectsForKey("tasks"), std::vector<ManagedObjectPtr>{task});

    // New edits start from the saved values and do not leak into them.
    task->setValue(Value("second"), "title");
    task->setObject(nullptr, "calendar");
    EXPECT_EQ(task->committedValuesForKeys({"title"}).find("title")->stringValue(), "first");
    EXPECT_EQ(task->valueForKey("sortOrder").intValue(), 7);
    context->rollback();
    EXPECT_EQ(task->valueForKey("title").stringValue(), "first");
    EXPECT_EQ(task->objectForKey("calendar"), calendar);

    // A second save stores the new values; another context reads them.
    task->setValue(Value("third"), "title");
    ASSERT_EQ(context->save(), nullptr);
    auto other = newContext();
    auto stored = fetch(request("Task"), other);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]->valueForKey("title").stringValue(), "third");
    EXPECT_EQ(stored[0]->valueForKey("sortOrder").intValue(), 7);
    ASSERT_NE(stored[0]->objectForKey("calendar"), nullptr);
    EXPECT_EQ(stored[0]->objectForKey("calendar")->valueForKey("name").stringValue(), "home");
}

TEST_P(ContextTest, ChangesMadeWhileNobodyObservesAreNotReportedLater) {
    // Changes processed without any observer are gone, not held back for the
    // next notification.
    auto unseen = insert("Task", "title", Value("unseen"));
    context->processPendingChanges();
    ASSERT_EQ(context->save(), nullptr);
    auto edited = insert("Task", "title", Value("edited"));
    context->processPendingChanges();

    NotificationRecorder didChange(ManagedObjectContextObjectsDidChangeNotification, context);
    NotificationRecorder didSave(ManagedObjectContextDidSaveNotification, context);
    auto seen = insert("Task", "title", Value("seen"));
    unseen->setValue(Value("changed"), "title");
    ASSERT_EQ(context->save(), nullptr);
    ASSERT_EQ(didChange.notes.size(), 1u);
    EXPECT_EQ(didChange.count(didChange.notes[0], InsertedObjectsKey), 1u);
    EXPECT_TRUE(didChange.holds(didChange.notes[0], InsertedObjectsKey, seen));
    EXPECT_TRUE(didChange.holds(didChange.notes[0], UpdatedObjectsKey, unseen));
    // The save itself reports everything it wrote, observed or not before.
    ASSERT_EQ(didSave.notes.size(), 1u);
    EXPECT_EQ(didSave.count(didSave.notes[0], InsertedObjectsKey), 2u);
    EXPECT_TRUE(didSave.holds(didSave.notes[0], InsertedObjectsKey, edited));
    EXPECT_TRUE(didSave.holds(didSave.notes[0], InsertedObjectsKey, seen));
}

TEST_P(ContextTest, ConflictingSavesFailUntilMerged) {
    insert("Task", "title", Value("base"));
    ASSERT_EQ(context->save(), nullptr);
    auto other = newContext();
    auto mine = fetch(request("Task")).at(0);
    auto theirs = fetch(request("Task"), other).at(0);
    EXPECT_EQ(theirs->valueForKey("title"), Value("base"));

    NotificationRecorder didSave(ManagedObjectContextDidSaveNotification, other);
    theirs->setValue(Value("theirs"), "title");
    ASSERT_EQ(other->save(), nullptr);
    mine->setValue(Value("mine"), "title");
    auto conflict = context->save();
    ASSERT_NE(conflict, nullptr);
    EXPECT_EQ(conflict->code(), ManagedObjectMergeError);
    EXPECT_EQ(conflict->code(), 133020);

    context->rollback();
    context->mergeChangesFromContextDidSaveNotification(didSave.notes.at(0));
    EXPECT_EQ(mine->valueForKey("title"), Value("theirs"));
    mine->setValue(Value("mine"), "title");
    EXPECT_EQ(context->save(), nullptr);
}

// A save hands inserted objects' values to the store without copying them:
// a refused save must give every value back (to-ones as objects, transient
// values), and the next save must store them.
TEST_P(ContextTest, ARefusedSaveGivesInsertsTheirValuesBack) {
    insert("Task", "title", Value("base"));
    ASSERT_EQ(context->save(), nullptr);
    auto other = newContext();
    auto mine = fetch(request("Task")).at(0);
    auto theirs = fetch(request("Task"), other).at(0);
    theirs->setValue(Value("theirs"), "title");
    ASSERT_EQ(other->save(), nullptr);

    mine->setValue(Value("mine"), "title");
    auto calendar = insert("Calendar", "name", Value("work"));
    auto task = insert("Task", "title", Value("new"));
    task->setValue(Value("note to self"), "scratch");
    task->setObject(calendar, "calendar");
    const Dictionary changed = task->changedValues();
    auto check = [&] {
        EXPECT_TRUE(task->isInserted());
        EXPECT_EQ(task->valueForKey("title"), Value("new"));
        EXPECT_EQ(task->valueForKey("scratch"), Value("note to self"));
        EXPECT_EQ(task->valueForKey("done"), Value(false));
        EXPECT_EQ(task->objectForKey("calendar"), calendar);
        EXPECT_EQ(calendar->objectsForKey("tasks"), std::vector<ManagedObjectPtr>{task});
        EXPECT_TRUE(task->changedValues() == changed);
    };
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto conflict = context->save();
        ASSERT_NE(conflict, nullptr);
        EXPECT_EQ(conflict->code(), ManagedObjectMergeError);
        check();
    }

    context->refreshObject(mine, false);
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_FALSE(task->isInserted());
    EXPECT_FALSE(task->objectID()->isTemporaryID());
    EXPECT_EQ(task->valueForKey("scratch"), Value("note to self"));
    EXPECT_EQ(task->objectForKey("calendar"), calendar);
    EXPECT_EQ(*task->committedValuesForKeys({"title"}).find("title"), Value("new"));
    auto reader = newContext();
    auto stored = reader->objectWithID(task->objectID());
    EXPECT_EQ(stored->valueForKey("title"), Value("new"));
    EXPECT_EQ(stored->objectForKey("calendar")->objectID()->isEqual(*calendar->objectID()), true);
    EXPECT_TRUE(stored->valueForKey("scratch").isNull());
}

// A store that keeps the rows it is given and can throw from a save.
class KeepingStore : public InMemoryStore {
  public:
    using InMemoryStore::InMemoryStore;
    std::string type() const override { return "KeepingStore"; }
    ErrorPtr save(const StoreChanges& changes) override {
        if (std::exchange(throwNext, false))
            throw std::runtime_error("the disk is on fire");
        kept.insert(kept.end(), changes.inserted.begin(), changes.inserted.end());
        return InMemoryStore::save(changes);
    }
    bool throwNext = false;
    std::vector<SnapshotPtr> kept;
};

// Inserts lend their values to the rows of a save: a store that throws must
// not leave them without values, and rows a store keeps must not change
// when the objects adopt their saved state.
TEST(LentRowsTest, AThrowingStoreAndAStoreKeepingRowsSeeConsistentRows) {
    dispatch::MainLoop::bindToCurrentThread();
    PersistentStoreCoordinator::registerStoreType(
        "KeepingStore",
        [](const std::optional<URL>& url, const std::string& configuration,
           const Dictionary& options) -> std::shared_ptr<PersistentStore> {
            return std::make_shared<KeepingStore>(url, configuration, options);
        });
    auto coordinator = PersistentStoreCoordinator::create(testing::makeTestModel());
    auto added = coordinator->addPersistentStore("KeepingStore", "", std::nullopt);
    ASSERT_TRUE(added);
    auto store = std::dynamic_pointer_cast<KeepingStore>(*added);
    ASSERT_NE(store, nullptr);
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    auto calendar = context->insertNewObjectForEntityForName("Calendar");
    calendar->setValue(Value("work"), "name");
    auto task = context->insertNewObjectForEntityForName("Task");
    task->setValue(Value("new"), "title");
    task->setValue(Value("note to self"), "scratch");
    task->setObject(calendar, "calendar");

    store->throwNext = true;
    EXPECT_THROW((void)context->save(), std::runtime_error);
    EXPECT_TRUE(task->isInserted());
    EXPECT_EQ(task->valueForKey("title"), Value("new"));
    EXPECT_EQ(task->valueForKey("scratch"), Value("note to self"));
    EXPECT_EQ(task->objectForKey("calendar"), calendar);

    ASSERT_EQ(context->save(), nullptr);
    ASSERT_EQ(store->kept.size(), 2u);
    for (const auto& row : store->kept) {
        EXPECT_EQ(row->version, 0u);
        EXPECT_FALSE(row->objectID->isTemporaryID());
    }
    EXPECT_EQ(task->valueForKey("scratch"), Value("note to self"));
    EXPECT_EQ(task->objectForKey("calendar"), calendar);
    // The saved state is at version 1, so the next update passes the store's check.
    task->setValue(Value("renamed"), "title");
    ASSERT_EQ(context->save(), nullptr);
    auto other = ManagedObjectContext::create(ConcurrencyType::Confinement);
    other->setPersistentStoreCoordinator(coordinator);
    EXPECT_EQ(other->objectWithID(task->objectID())->valueForKey("title"), Value("renamed"));
}

TEST_P(ContextTest, MergeRefreshesKeepsLocalChangesAndForgetsDeletions) {
    auto calendar = insert("Calendar", "name", Value("home"));
    auto task = insert("Task", "title", Value("t"));
    task->setValue(Value(1), "sortOrder");
    ASSERT_EQ(context->save(), nullptr);
    auto other = newContext();
    NotificationRecorder didSave(ManagedObjectContextDidSaveNotification, other);
    auto theirTask = other->objectWithID(task->objectID());
    theirTask->setValue(Value("renamed"), "title");
    other->deleteObject(other->objectWithID(calendar->objectID()));
    ASSERT_EQ(other->save(), nullptr);

    task->setValue(Value(5), "sortOrder");  // a local change survives the merge
    context->mergeChangesFromContextDidSaveNotification(didSave.notes.at(0));
    EXPECT_EQ(task->valueForKey("title"), Value("renamed"));
    EXPECT_EQ(task->valueForKey("sortOrder"), Value(5));
    EXPECT_TRUE(calendar->isInvalidated());
    EXPECT_EQ(context->objectRegisteredForID(calendar->objectID()), nullptr);
    EXPECT_EQ(context->save(), nullptr);
}

TEST_P(ContextTest, EveryObjectsDidChangeListsTheObjectsChangedSinceTheLastOne) {
    auto task = insert("Task", "title", Value("t"));
    ASSERT_EQ(context->save(), nullptr);
    NotificationRecorder didChange(ManagedObjectContextObjectsDidChangeNotification, context);
    task->setValue(Value("first"), "title");
    context->processPendingChanges();
    // Still unsaved, changed again: the next notification reports it again.
    task->setValue(Value("second"), "title");
    context->processPendingChanges();
    ASSERT_EQ(didChange.notes.size(), 2u);
    EXPECT_TRUE(didChange.holds(didChange.notes[1], UpdatedObjectsKey, task));
    context->processPendingChanges();  // nothing new: nothing posted
    EXPECT_EQ(didChange.notes.size(), 2u);
}

TEST_P(ContextTest, TransientValuesSurviveSaves) {
    auto task = insert("Task", "title", Value("t"));
    task->setValue(Value("kept"), "scratch");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(task->valueForKey("scratch"), Value("kept"));
    // Also when only a relationship of the object changes in the next save.
    auto tag = insert("Tag", "name", Value("x"));
    task->mutableSetValueForKey("tags").addObject(tag);
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(task->valueForKey("scratch"), Value("kept"));
    // Never stored: another context sees nil.
    auto other = newContext();
    EXPECT_TRUE(other->objectWithID(task->objectID())->valueForKey("scratch").isNull());
}

TEST_P(ContextTest, MergedDeletionsClearLocalReferencesToTheDeletedObjects) {
    auto home = insert("Calendar", "name", Value("home"));
    auto work = insert("Calendar", "name", Value("work"));
    auto task = insert("Task", "title", Value("t"));
    auto tag = insert("Tag", "name", Value("x"));
    ASSERT_EQ(context->save(), nullptr);
    task->setObject(work, "calendar");  // unsaved here
    task->mutableSetValueForKey("tags").addObject(tag);

    auto other = newContext();
    NotificationRecorder didSave(ManagedObjectContextDidSaveNotification, other);
    other->deleteObject(other->objectWithID(work->objectID()));
    other->deleteObject(other->objectWithID(tag->objectID()));
    ASSERT_EQ(other->save(), nullptr);
    context->mergeChangesFromContextDidSaveNotification(didSave.notes.at(0));

    EXPECT_EQ(task->objectForKey("calendar"), nullptr);
    EXPECT_TRUE(task->objectsForKey("tags").empty());
    ASSERT_EQ(context->save(), nullptr);
    // The saved row points at no deleted object.
    auto reader = newContext();
    auto fresh = reader->objectWithID(task->objectID());
    EXPECT_EQ(fresh->objectForKey("calendar"), nullptr);
    EXPECT_TRUE(fresh->objectsForKey("tags").empty());
}

TEST_P(ContextTest, DeletingAnUnreadObjectSaves) {
    // An entity without relationships: deleting its fault reads nothing.
    auto model = ManagedObjectModel::create();
    model->addEntity("Plain").addAttribute("name", AttributeType::String);
    auto plainCoordinator = PersistentStoreCoordinator::create(model);
    ASSERT_TRUE(plainCoordinator->addPersistentStore(InMemoryStoreType, "", std::nullopt));
    auto writer = ManagedObjectContext::create(ConcurrencyType::Confinement);
    writer->setPersistentStoreCoordinator(plainCoordinator);
    writer->insertNewObjectForEntityForName("Plain")->setValue(Value("a"), "name");
    ASSERT_EQ(writer->save(), nullptr);
    auto id = writer->registeredObjects().at(0)->objectID();

    auto deleter = ManagedObjectContext::create(ConcurrencyType::Confinement);
    deleter->setPersistentStoreCoordinator(plainCoordinator);
    deleter->deleteObject(deleter->objectWithID(id));
    EXPECT_EQ(deleter->save(), nullptr);
    FetchRequest all("Plain");
    EXPECT_EQ(*deleter->countForFetchRequest(all), 0u);
}

TEST_P(ContextTest, ALocalDeletionSavesAfterMergingAnUpdateOfItsObject) {
    auto task = insert("Task", "title", Value("t"));
    ASSERT_EQ(context->save(), nullptr);
    auto other = newContext();
    NotificationRecorder didSave(ManagedObjectContextDidSaveNotification, other);
    other->objectWithID(task->objectID())->setValue(Value("renamed"), "title");
    ASSERT_EQ(other->save(), nullptr);

    context->deleteObject(task);
    context->mergeChangesFromContextDidSaveNotification(didSave.notes.at(0));
    EXPECT_TRUE(task->isDeleted());
    EXPECT_EQ(context->save(), nullptr);
    EXPECT_EQ(*context->countForFetchRequest(request("Task")), 0u);
}

TEST_P(ContextTest, ChildSavesGoToTheParentNotTheStore) {
    auto parent = context;
    auto calendar = insert("Calendar", "name", Value("home"));
    ASSERT_EQ(parent->save(), nullptr);
    auto child = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    child->setParentContext(parent);
    EXPECT_EQ(child->persistentStoreCoordinator(), coordinator);
    auto unsaved = insert("Task", "title", Value("parent-only"));  // parent's unsaved state

    NotificationRecorder childSaved(ManagedObjectContextDidSaveNotification, child);
    child->performBlockAndWait([&] {
        auto seen = fetch(request("Task"), child);
        ASSERT_EQ(strings(seen, "title"), std::vector<std::string>{"parent-only"});
        auto task = child->insertNewObjectForEntityForName("Task");
        task->setValue(Value("from-child"), "title");
        task->setObject(child->objectWithID(calendar->objectID()), "calendar");
        child->deleteObject(seen[0]);
        ASSERT_EQ(child->save(), nullptr);
        EXPECT_TRUE(task->objectID()->isTemporaryID());  // until the root context saves
    });
    ASSERT_EQ(childSaved.notes.size(), 1u);
    // The parent has the changes, unsaved; the store does not.
    EXPECT_TRUE(unsaved->isInvalidated() || unsaved->isDeleted());
    EXPECT_EQ(strings(fetch(request("Task")), "title"), std::vector<std::string>{"from-child"});
    EXPECT_EQ(calendar->objectsForKey("tasks").size(), 1u);
    EXPECT_EQ(newContext()->countForFetchRequest(request("Task")).value(), 0u);
    ASSERT_EQ(parent->save(), nullptr);
    auto fresh = newContext();
    auto stored = fetch(request("Task"), fresh);
    ASSERT_EQ(strings(stored, "title"), std::vector<std::string>{"from-child"});
    EXPECT_EQ(stored[0]->objectForKey("calendar")->valueForKey("name"), Value("home"));
}

TEST_P(ContextTest, AChildsNewOrderAloneReachesTheParentAndTheStore) {
    auto task = insert("Task", "title", Value("t"));
    for (const char* text : {"a", "b", "c"}) {
        auto note = context->insertNewObjectForEntityForName("Note");
        note->setValue(Value(text), "text");
        task->mutableOrderedSetValueForKey("notes").addObject(note);
    }
    ASSERT_EQ(context->save(), nullptr);
    auto child = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    child->setParentContext(context);
    child->performBlockAndWait([&] {
        auto mine = child->objectWithID(task->objectID());
        auto notes = mine->objectsForKey("notes");
        mine->setValue(
            Value(Array{Value(ObjectPtr(notes[2])), Value(ObjectPtr(notes[0])), Value(ObjectPtr(notes[1]))}),
            "notes");
        ASSERT_EQ(child->save(), nullptr);
    });
    EXPECT_TRUE(context->hasChanges());
    ASSERT_EQ(context->save(), nullptr);
    auto fresh = newContext();
    auto stored = fresh->objectWithID(task->objectID());
    EXPECT_EQ(strings(stored->objectsForKey("notes"), "text"), (std::vector<std::string>{"c", "a", "b"}));
}

TEST_P(ContextTest, ChildEditsOfParentInsertsSurviveTheParentsSave) {
    auto parent = context;
    auto fetched = insert("Task", "title", Value("draft"));  // unsaved: temporary IDs
    auto faulted = insert("Task", "title", Value("other"));
    auto child = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    child->setParentContext(parent);
    auto grandchild = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    grandchild->setParentContext(child);
    ManagedObjectPtr inChild, inGrandchild, unread;
    child->performBlockAndWait([&] {
        auto seen = fetch(request("Task", Predicate::equal("title", Value("draft"))), child);
        ASSERT_EQ(seen.size(), 1u);
        inChild = seen[0];
        unread = child->objectWithID(faulted->objectID());  // never read before the parent saves
    });
    grandchild->performBlockAndWait([&] {
        inGrandchild = grandchild->objectWithID(inChild->objectID());
        EXPECT_EQ(inGrandchild->valueForKey("title"), Value("draft"));
    });
    ASSERT_EQ(parent->save(), nullptr);
    ASSERT_FALSE(fetched->objectID()->isTemporaryID());

    grandchild->performBlockAndWait([&] {
        inGrandchild->setValue(Value("from grandchild"), "title");
        ASSERT_EQ(grandchild->save(), nullptr);
    });
    child->performBlockAndWait([&] {
        EXPECT_EQ(inChild->valueForKey("title"), Value("from grandchild"));
        unread->setValue(Value(5), "sortOrder");
        ASSERT_EQ(child->save(), nullptr);
        // The child now knows its objects by their permanent IDs: one object per row.
        EXPECT_TRUE(inChild->objectID()->isEqual(*fetched->objectID()));
        auto again = fetch(request("Task"), child);
        ASSERT_EQ(again.size(), 2u);
        EXPECT_TRUE(again[0] == inChild || again[1] == inChild);
    });
    EXPECT_EQ(fetched->valueForKey("title"), Value("from grandchild"));
    EXPECT_EQ(faulted->valueForKey("sortOrder"), Value(5));
    ASSERT_EQ(parent->save(), nullptr);
    auto fresh = newContext();
    auto stored = fetch(request("Task", Predicate::equal("sortOrder", Value(5))), fresh);
    ASSERT_EQ(strings(stored, "title"), std::vector<std::string>{"other"});
    EXPECT_EQ(fetch(request("Task", Predicate::equal("title", Value("from grandchild"))), fresh).size(), 1u);
}

TEST_P(ContextTest, AFailedChildSaveLeavesTheParentUntouched) {
    auto parent = context;
    auto task = insert("Task", "title", Value("t"));
    ASSERT_EQ(parent->save(), nullptr);
    auto child = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    child->setParentContext(parent);
    ManagedObjectPtr inChild;
    child->performBlockAndWait([&] { inChild = fetch(request("Task"), child).at(0); });
    // The row goes away under the parent, which holds the object only as a fault.
    parent->refreshObject(task, false);
    auto other = newContext();
    other->deleteObject(fetch(request("Task"), other).at(0));
    ASSERT_EQ(other->save(), nullptr);

    child->performBlockAndWait([&] {
        child->insertNewObjectForEntityForName("Tag")->setValue(Value("new"), "name");
        inChild->setValue(Value("changed"), "title");
        auto error = child->save();
        ASSERT_NE(error, nullptr);
        EXPECT_TRUE(child->hasChanges());
        EXPECT_EQ(child->insertedObjects().size(), 1u);
    });
    EXPECT_FALSE(parent->hasChanges());
    EXPECT_TRUE(parent->insertedObjects().empty());
    EXPECT_EQ(parent->countForFetchRequest(request("Tag")).value(), 0u);
}

TEST_P(ContextTest, PerformBlockAndWaitIsReentrantAndNestsAcrossContexts) {
    auto a = newContext(ConcurrencyType::PrivateQueue);
    auto b = newContext(ConcurrencyType::PrivateQueue);
    std::vector<int> order;
    std::thread::id outer;
    a->performBlockAndWait([&] {
        outer = std::this_thread::get_id();
        order.push_back(1);
        a->performBlockAndWait([&] { order.push_back(2); });  // re-entrant: inline
        b->performBlockAndWait([&] {
            order.push_back(3);
            // Still inside a's block on this thread: a is usable directly.
            a->performBlockAndWait([&] { order.push_back(4); });
            EXPECT_EQ(std::this_thread::get_id(), outer);
        });
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));

    // performBlock is FIFO, and a later performBlockAndWait waits its turn.
    std::vector<int> fifo;
    dispatch::Semaphore gate;
    a->performBlock([&] { gate.wait(); });
    for (int i = 0; i < 20; ++i)
        a->performBlock([&fifo, i] { fifo.push_back(i); });
    std::thread releaser([&] { gate.signal(); });
    a->performBlockAndWait([&] { fifo.push_back(100); });
    releaser.join();
    ASSERT_EQ(fifo.size(), 21u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(fifo[i], i);
    EXPECT_EQ(fifo.back(), 100);
    EXPECT_THROW(context->performBlock([] {}), ModelException);
}

TEST_P(ContextTest, PrivateChildOfAMainQueueContextSavesFromItsOwnQueue) {
    auto mainContext = newContext(ConcurrencyType::MainQueue);
    auto child = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
    child->setParentContext(mainContext);
    std::atomic<bool> done{false};
    ErrorPtr error;
    child->performBlock([&] {
        child->insertNewObjectForEntityForName("Task")->setValue(Value("from child"), "title");
        // The parent's part runs on the main thread while this one waits.
        error = child->save();
        done = true;
    });
    dispatch::MainLoop::runUntil([&] { return done.load(); }, 30);
    ASSERT_TRUE(done);
    EXPECT_EQ(error, nullptr);
    ASSERT_EQ(mainContext->insertedObjects().size(), 1u);
    EXPECT_EQ(mainContext->insertedObjects()[0]->valueForKey("title"), Value("from child"));
    EXPECT_EQ(mainContext->save(), nullptr);
    EXPECT_EQ(fetch(request("Task")).size(), 1u);
}

TEST_P(ContextTest, ABackgroundSaveMergesIntoTheMainContextFromItsObserver) {
    auto mainContext = newContext(ConcurrencyType::MainQueue);
    insert("Task", "title", Value("old"), mainContext);
    ASSERT_EQ(mainContext->save(), nullptr);
    auto task = fetch(request("Task"), mainContext).at(0);
    auto background = newContext(ConcurrencyType::PrivateQueue);
    // The usual wiring: the saving thread hands the notification to the main
    // context and waits for the merge, while the main thread pumps its loop.
    auto token = NotificationCenter::defaultCenter().addObserverForName(
        ManagedObjectContextDidSaveNotification, background, [&](const Notification& n) {
            mainContext->performBlockAndWait(
                [&] { mainContext->mergeChangesFromContextDidSaveNotification(n); });
        });
    std::atomic<bool> done{false};
    background->performBlock([&] {
        background->objectWithID(task->objectID())->setValue(Value("new"), "title");
        EXPECT_EQ(background->save(), nullptr);
        done = true;
    });
    dispatch::MainLoop::runUntil([&] { return done.load(); }, 30);
    NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_TRUE(done);
    EXPECT_EQ(task->valueForKey("title"), Value("new"));
}

TEST_P(ContextTest, PrivateContextsSaveConcurrently) {
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto c = newContext(ConcurrencyType::PrivateQueue);
            c->performBlockAndWait([&] {
                for (int i = 0; i < kEach; ++i) {
                    auto task = c->insertNewObjectForEntityForName("Task");
                    task->setValue(Value(std::to_string(t) + "-" + std::to_string(i)), "title");
                    if (c->save())
                        ++failures;
                }
            });
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(context->countForFetchRequest(request("Task")).value(), std::size_t{kThreads * kEach});
    std::set<int64_t> keys;
    for (const auto& o : fetch(request("Task")))
        keys.insert(o->objectID()->primaryKey());
    EXPECT_EQ(keys.size(), std::size_t{kThreads * kEach});
}

TEST_P(ContextTest, MainQueueContextRunsOnTheMainLoop) {
    auto mainContext = newContext(ConcurrencyType::MainQueue);
    bool ran = false;
    mainContext->performBlock([&] { ran = true; });
    EXPECT_FALSE(ran);
    dispatch::MainLoop::runUntil([&] { return ran; }, 30);
    EXPECT_TRUE(ran);
    bool inline_ = false;
    mainContext->performBlockAndWait([&] { inline_ = true; });  // on the main thread: inline
    EXPECT_TRUE(inline_);
}

INSTANTIATE_TEST_SUITE_P(Stores, ContextTest,
                         ::testing::Values(std::string(InMemoryStoreType), std::string(SQLiteStoreType),
                                           std::string(BinaryStoreType)),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace plat::coredata
