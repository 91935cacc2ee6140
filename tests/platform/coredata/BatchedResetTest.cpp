// Inserting in batches, each saved and followed by a reset of the context
// (the context keeps the list a reset takes its objects into for the next
// reset), and the observer calls of a to-one change with inverses (held back
// and delivered together, naming each side's relationship). All on a SQLite
// store file.
#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/ManagedObject.h"

#include <algorithm>
#include <map>

namespace plat::coredata {
namespace {

using testing::makeRequest;
using testing::NotificationRecorder;

class BatchedResetTest : public testing::SQLiteFileTest {};

TEST_F(BatchedResetTest, BatchesSavedWithResetsInBetweenAreWrittenAndNotifiedInFull) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    NotificationRecorder saves(ManagedObjectContextDidSaveNotification, context);
    const std::vector<int> batches{3, 200, 1, 50};
    std::vector<ManagedObjectPtr> previous;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        std::vector<ManagedObjectPtr> inserted;
        auto calendar = context->insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("calendar " + std::to_string(b)), "name");
        inserted.push_back(calendar);
        for (int i = 0; i < batches[b]; ++i) {
            auto task = context->insertNewObjectForEntityForName("Task");
            task->setValue(Value("task " + std::to_string(b) + "." + std::to_string(i)), "title");
            task->setObject(calendar, "calendar");
            inserted.push_back(task);
        }
        ASSERT_EQ(context->save(), nullptr);
        ASSERT_EQ(saves.notes.size(), b + 1);
        const Notification& note = saves.notes.back();
        EXPECT_EQ(saves.count(note, InsertedObjectsKey), inserted.size());
        EXPECT_EQ(saves.count(note, UpdatedObjectsKey), 0u);
        for (const auto& o : inserted)
            EXPECT_TRUE(saves.holds(note, InsertedObjectsKey, o));
        context->reset();
        EXPECT_TRUE(context->registeredObjects().empty());
        EXPECT_FALSE(context->hasChanges());
        for (const auto& o : inserted)
            EXPECT_TRUE(o->isInvalidated());
        // Objects of the batch before stay invalidated.
        for (const auto& o : previous)
            EXPECT_TRUE(o->isInvalidated());
        previous = std::move(inserted);
    }
    // A reset of an empty context, then the context in use again.
    context->reset();
    auto extra = context->insertNewObjectForEntityForName("Calendar");
    extra->setValue(Value("extra"), "name");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(context->registeredObjects().size(), 1u);

    // What a fresh coordinator reads from the file.
    auto reader = contextOn(open());
    auto calendars = fetchAll(reader, makeRequest("Calendar", nullptr, {SortDescriptor("name", true)}));
    ASSERT_EQ(calendars.size(), batches.size() + 1);
    for (std::size_t b = 0; b < batches.size(); ++b) {
        EXPECT_EQ(calendars[b]->valueForKey("name"), Value("calendar " + std::to_string(b)));
        auto tasks = calendars[b]->objectsForKey("tasks");
        ASSERT_EQ(tasks.size(), static_cast<std::size_t>(batches[b]));
        std::vector<std::string> titles, expected;
        for (const auto& t : tasks) {
            titles.push_back(t->valueForKey("title").stringValue());
            EXPECT_EQ(t->objectForKey("calendar"), calendars[b]);
        }
        for (int i = 0; i < batches[b]; ++i)
            expected.push_back("task " + std::to_string(b) + "." + std::to_string(i));
        std::sort(titles.begin(), titles.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(titles, expected);
    }
    EXPECT_EQ(fetchAll(reader, makeRequest("Task")).size(), 254u);
}

TEST_F(BatchedResetTest, AToOneChangeNotesEverySideInOrderWithItsRelationshipsName) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    std::vector<std::string> seen;
    auto record = [&](const ManagedObjectPtr& o) {
        o->addObserver("partner", [&seen](ManagedObject& object, std::string_view key) {
            seen.push_back(object.valueForKey("name").stringValue() + "." + std::string(key));
        });
    };
    std::map<std::string, ManagedObjectPtr> people;
    for (const char* name : {"a", "b", "c", "d"}) {
        people[name] = context->insertNewObjectForEntityForName("Person");
        people[name]->setValue(Value(name), "name");
    }
    people["a"]->setObject(people["d"], "partner");
    people["b"]->setObject(people["c"], "partner");
    for (const auto& [name, o] : people)
        record(o);
    // a leaves d for b, who leaves c: four sides, a first, then its old
    // partner, then b's old partner, then b.
    people["a"]->setObject(people["b"], "partner");
    EXPECT_EQ(seen, (std::vector<std::string>{"a.partner", "d.partner", "c.partner", "b.partner"}));
    EXPECT_EQ(people["a"]->objectForKey("partner"), people["b"]);
    EXPECT_EQ(people["b"]->objectForKey("partner"), people["a"]);
    EXPECT_EQ(people["c"]->objectForKey("partner"), nullptr);
    EXPECT_EQ(people["d"]->objectForKey("partner"), nullptr);

    // A task moving between calendars: the task's key, then the old and the
    // new calendar's to-many.
    auto home = context->insertNewObjectForEntityForName("Calendar");
    home->setValue(Value("home"), "name");
    auto work = context->insertNewObjectForEntityForName("Calendar");
    work->setValue(Value("work"), "name");
    auto task = context->insertNewObjectForEntityForName("Task");
    task->setValue(Value("t"), "title");
    task->setObject(home, "calendar");
    std::vector<std::string> moves;
    auto note = [&moves](const std::string& who) {
        return [&moves, who](ManagedObject&, std::string_view key) {
            moves.push_back(who + "." + std::string(key));
        };
    };
    task->addObserver("calendar", note("task"));
    home->addObserver("tasks", note("home"));
    work->addObserver("tasks", note("work"));
    task->setObject(work, "calendar");
    EXPECT_EQ(moves, (std::vector<std::string>{"task.calendar", "home.tasks", "work.tasks"}));
    ASSERT_EQ(context->save(), nullptr);
    context->reset();

    // Stored as set.
    auto reader = contextOn(open());
    auto calendars = fetchAll(reader, makeRequest("Calendar", nullptr, {SortDescriptor("name", true)}));
    ASSERT_EQ(calendars.size(), 2u);
    EXPECT_TRUE(calendars[0]->objectsForKey("tasks").empty());
    ASSERT_EQ(calendars[1]->objectsForKey("tasks").size(), 1u);
    auto stored = fetchAll(reader, makeRequest("Person", nullptr, {SortDescriptor("name", true)}));
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[0]->objectForKey("partner"), stored[1]);
    EXPECT_EQ(stored[2]->objectForKey("partner"), nullptr);
    EXPECT_EQ(stored[3]->objectForKey("partner"), nullptr);
}

}  // namespace
}  // namespace plat::coredata
