// Dictionary results: a root context without unsaved changes reads them from
// the store's rows and registers no object; otherwise (unsaved changes, key
// paths through relationships) they come from objects. Both give the same
// dictionaries, on every store type.
#include "EveryStoreTest.h"
#include "platform/coredata/ManagedObject.h"

namespace plat::coredata {
namespace {

class DictionaryFetchTest : public testing::EveryStoreTest {
  protected:
    void SetUp() override {
        EveryStoreTest::SetUp();
        if (HasFatalFailure())
            return;
        auto writer = newContext();
        calendar = writer->insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("home"), "name");
        for (int i = 0; i < 6; ++i) {
            auto task = writer->insertNewObjectForEntityForName(i < 4 ? "Task" : "UrgentTask");
            task->setValue(Value("Task " + std::to_string(i)), "title");
            task->setValue(Value(int64_t{i}), "sortOrder");
            task->setValue(Value(std::string("scratch")), "scratch");  // transient: never stored
            if (i % 2 == 0)
                task->setObject(calendar, "calendar");
            if (i >= 4)
                task->setValue(Value(int64_t{i * 10}), "level");
            tasks.push_back(task);
        }
        ASSERT_EQ(writer->save(), nullptr);
    }
    static std::vector<Dictionary> dictionaries(const std::shared_ptr<ManagedObjectContext>& c,
                                                const FetchRequest& request) {
        auto rows = c->fetchDictionaries(request);
        EXPECT_TRUE(rows) << rows.error()->description();
        return rows ? *rows : std::vector<Dictionary>{};
    }
    FetchRequest byOrder() const {
        FetchRequest request("Task");
        request.sortDescriptors = {SortDescriptor("sortOrder", true)};
        return request;
    }

    ManagedObjectPtr calendar;
    std::vector<ManagedObjectPtr> tasks;
};

TEST_P(DictionaryFetchTest, ACleanContextReadsTheRowsAndRegistersNothing) {
    auto c = newContext();
    FetchRequest request = byOrder();
    request.propertiesToFetch = {{"id", "objectID"}, {"name", "title"}, {"owner", "calendar"}};
    auto rows = dictionaries(c, request);
    EXPECT_TRUE(c->registeredObjects().empty());
    ASSERT_EQ(rows.size(), 6u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_TRUE(rows[i].find("id")->asObjectOf<ManagedObjectID>()->isEqualID(*tasks[i]->objectID()));
        EXPECT_EQ(*rows[i].find("name"), Value("Task " + std::to_string(i)));
        const Value* owner = rows[i].find("owner");
        if (i % 2 == 0) {
            ASSERT_NE(owner, nullptr);
            EXPECT_TRUE(owner->asObjectOf<ManagedObjectID>()->isEqualID(*calendar->objectID()));
        } else {
            EXPECT_EQ(owner, nullptr);  // nil is left out
        }
        EXPECT_EQ(rows[i].size(), i % 2 == 0 ? 3u : 2u);
    }

    // Every attribute of each row's own entity when no property is named.
    auto all = dictionaries(c, byOrder());
    EXPECT_TRUE(c->registeredObjects().empty());
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[0].find("level"), nullptr);
    EXPECT_EQ(*all[5].find("level"), Value(int32_t{50}));
    EXPECT_EQ(*all[5].find("done"), Value(false));
    EXPECT_EQ(all[5].find("scratch"), nullptr);
    EXPECT_EQ(all[5].find("calendar"), nullptr);  // attributes only
}

TEST_P(DictionaryFetchTest, UnsavedChangesAndKeyPathsAreReadFromObjects) {
    auto c = newContext();
    auto first = c->objectWithID(tasks[0]->objectID());
    first->setValue(Value("changed"), "title");
    c->deleteObject(c->objectWithID(tasks[1]->objectID()));
    FetchRequest request = byOrder();
    request.propertiesToFetch = {{"name", "title"}, {"calendarName", "calendar.name"}};
    auto rows = dictionaries(c, request);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(*rows[0].find("name"), Value("changed"));
    EXPECT_EQ(*rows[0].find("calendarName"), Value("home"));
    EXPECT_EQ(*rows[1].find("name"), Value("Task 2"));

    // A key path through a relationship in a clean context.
    auto clean = newContext();
    auto paths = dictionaries(clean, request);
    ASSERT_EQ(paths.size(), 6u);
    EXPECT_EQ(*paths[2].find("calendarName"), Value("home"));
    EXPECT_EQ(paths[1].find("calendarName"), nullptr);
}

TEST_P(DictionaryFetchTest, PredicatesWindowsAndOrdersApplyAsForObjects) {
    auto c = newContext();
    FetchRequest request("Task");
    // Case-insensitive: the SQLite store evaluates it in memory.
    request.predicate = Predicate::beginsWith("title", "task", CaseInsensitivePredicateOption);
    request.sortDescriptors = {SortDescriptor("sortOrder", false)};
    request.fetchOffset = 1;
    request.fetchLimit = 2;
    request.propertiesToFetch = {{"order", "sortOrder"}};
    auto rows = dictionaries(c, request);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].find("order")->longLongValue(), 4);
    EXPECT_EQ(rows[1].find("order")->longLongValue(), 3);
    EXPECT_TRUE(c->registeredObjects().empty());

    request.includesSubentities = false;
    request.predicate = Predicate::equal("calendar", Value(ObjectPtr(calendar->objectID())));
    request.fetchOffset = 0;
    request.fetchLimit = 0;
    rows = dictionaries(c, request);
    ASSERT_EQ(rows.size(), 2u);  // tasks 2 and 0; 4 is an urgent task
    EXPECT_EQ(rows[0].find("order")->longLongValue(), 2);
    EXPECT_EQ(rows[1].find("order")->longLongValue(), 0);
}

// Unsaved changes on other entities only: the store's rows are the answer,
// and no object of the fetched entity is registered to build it.
TEST_P(DictionaryFetchTest, ChangesOnOtherEntitiesLeaveTheRowsToTheStore) {
    auto c = newContext();
    c->objectWithID(calendar->objectID())->setValue(Value("renamed"), "name");
    c->insertNewObjectForEntityForName("Tag")->setValue(Value("new"), "name");
    ASSERT_TRUE(c->hasChanges());
    const std::size_t registered = c->registeredObjects().size();
    FetchRequest request = byOrder();
    request.propertiesToFetch = {{"id", "objectID"}, {"name", "title"}, {"owner", "calendar"}};
    auto rows = dictionaries(c, request);
    EXPECT_EQ(c->registeredObjects().size(), registered);
    ASSERT_EQ(rows.size(), 6u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(*rows[i].find("name"), Value("Task " + std::to_string(i)));
        EXPECT_EQ(rows[i].find("owner") != nullptr, i % 2 == 0);
    }
}

// Unsaved changes on the fetched entity, made directly or through the other
// side of a relationship, are in the answer.
TEST_P(DictionaryFetchTest, ChangesOnTheFetchedEntityAreSeen) {
    auto ownerOf = [](const Dictionary& row) {
        const Value* owner = row.find("owner");
        return owner ? owner->asObjectOf<ManagedObjectID>() : nullptr;
    };
    FetchRequest request = byOrder();
    request.propertiesToFetch = {{"id", "objectID"}, {"name", "title"}, {"owner", "calendar"}};
    {  // an insert
        auto c = newContext();
        auto added = c->insertNewObjectForEntityForName("Task");
        added->setValue(Value("added"), "title");
        added->setValue(Value(int64_t{100}), "sortOrder");
        auto rows = dictionaries(c, request);
        ASSERT_EQ(rows.size(), 7u);
        EXPECT_EQ(*rows[6].find("name"), Value("added"));
    }
    {  // an update of a fetched attribute, and a delete
        auto c = newContext();
        c->objectWithID(tasks[2]->objectID())->setValue(Value("changed"), "title");
        c->deleteObject(c->objectWithID(tasks[5]->objectID()));
        auto rows = dictionaries(c, request);
        ASSERT_EQ(rows.size(), 5u);
        EXPECT_EQ(*rows[2].find("name"), Value("changed"));
    }
    {  // the to-many side of a to-one: a member added, one removed
        auto c = newContext();
        auto home = c->objectWithID(calendar->objectID());
        home->mutableSetValueForKey("tasks").addObject(c->objectWithID(tasks[1]->objectID()));
        home->mutableSetValueForKey("tasks").removeObject(c->objectWithID(tasks[0]->objectID()));
        auto rows = dictionaries(c, request);
        ASSERT_EQ(rows.size(), 6u);
        ASSERT_NE(ownerOf(rows[1]), nullptr);
        EXPECT_TRUE(ownerOf(rows[1])->isEqualID(*calendar->objectID()));
        EXPECT_EQ(ownerOf(rows[0]), nullptr);
        EXPECT_NE(ownerOf(rows[2]), nullptr);
    }
    {  // the other side deleted: the to-one is nullified, and the calendar's
       // cascade deletes its tasks
        auto c = newContext();
        c->deleteObject(c->objectWithID(calendar->objectID()));
        auto rows = dictionaries(c, request);
        ASSERT_EQ(rows.size(), 3u);
        for (const auto& row : rows)
            EXPECT_EQ(ownerOf(row), nullptr);
    }
    {  // a to-one whose inverse is a to-one, set from the other side
        auto writer = newContext();
        auto ann = writer->insertNewObjectForEntityForName("Person");
        ann->setValue(Value("ann"), "name");
        auto bob = writer->insertNewObjectForEntityForName("Person");
        bob->setValue(Value("bob"), "name");
        ASSERT_EQ(writer->save(), nullptr);
        auto c = newContext();
        c->objectWithID(ann->objectID())->setObject(c->objectWithID(bob->objectID()), "partner");
        FetchRequest people("Person");
        people.sortDescriptors = {SortDescriptor("name", true)};
        people.propertiesToFetch = {{"partner", "partner"}};
        auto rows = dictionaries(c, people);
        ASSERT_EQ(rows.size(), 2u);
        ASSERT_NE(rows[1].find("partner"), nullptr);  // bob's, set through ann's
        EXPECT_TRUE(rows[1].find("partner")->asObjectOf<ManagedObjectID>()->isEqualID(*ann->objectID()));
        ASSERT_EQ(c->save(), nullptr);
        // Cleared through ann's side: bob's is cleared too.
        auto clearing = newContext();
        clearing->objectWithID(ann->objectID())->setObject(nullptr, "partner");
        rows = dictionaries(clearing, people);
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].find("partner"), nullptr);
        EXPECT_EQ(rows[1].find("partner"), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, DictionaryFetchTest, testing::everyStoreType(),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace plat::coredata
