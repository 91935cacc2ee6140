#include "platform/coredata/SQLiteStore.h"

#include <sqlite3.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/BinaryStore.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/JSONSerialization.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;
using testing::NotificationRecorder;
using SQLiteStoreTest = testing::SQLiteFileTest;

// SQLite's plan for `query` on the store file, one step per line (empty when
// the file cannot be opened or the query not planned, which the caller's
// expectation then reports).
std::string queryPlan(const std::string& file, const std::string& query) {
    sqlite3* db = nullptr;
    std::string plan;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
        auto collect = [](void* out, int columns, char** values, char**) {
            *static_cast<std::string*>(out) += values[columns - 1] + std::string("\n");
            return 0;
        };
        if (sqlite3_exec(db, ("EXPLAIN QUERY PLAN " + query).c_str(), collect, &plan, nullptr) != SQLITE_OK)
            plan = "cannot plan: " + std::string(sqlite3_errmsg(db));
    }
    (void)sqlite3_close(db);  // read only; a null handle is accepted
    return plan;
}

std::shared_ptr<ManagedObjectModel> allTypesModel() {
    auto model = ManagedObjectModel::create();
    auto& e = model->addEntity("Sample");
    e.addAttribute("i16", AttributeType::Integer16);
    e.addAttribute("i32", AttributeType::Integer32);
    e.addAttribute("i64", AttributeType::Integer64).indexed(true);
    e.addAttribute("dbl", AttributeType::Double);
    e.addAttribute("flt", AttributeType::Float);
    e.addAttribute("flag", AttributeType::Boolean);
    e.addAttribute("text", AttributeType::String);
    e.addAttribute("when", AttributeType::Date);
    e.addAttribute("blob", AttributeType::BinaryData);
    e.addAttribute("uuid", AttributeType::UUID);
    e.addAttribute("link", AttributeType::URI);
    e.addAttribute("amount", AttributeType::Decimal);
    e.addAttribute("extra", AttributeType::Transformable);
    return model;
}

std::atomic<int> rowsWritten{0};
void countRows(const char* point) {
    if (std::string_view(point) == "save.row")
        ++rowsWritten;
}

// A save's inserts are written a group of rows per statement: every row of
// every entity keeps its own key, values and links, whatever the interleaving
// of entities in the save, the length of each entity's run (full groups and
// a remainder) or the number of columns (a wide row makes smaller groups);
// the test hook still sees each row.
TEST_F(SQLiteStoreTest, InsertsWrittenInGroupsKeepEveryRowsValues) {
    auto model = ManagedObjectModel::create();
    auto& owner = model->addEntity("Owner");
    owner.addAttribute("name", AttributeType::String);
    owner.addRelationship("wides", "Wide").toMany().inverse("owner");
    auto& wide = model->addEntity("Wide");
    constexpr int kColumns = 70;
    for (int c = 0; c < kColumns; ++c)
        wide.addAttribute("a" + std::to_string(c), AttributeType::String);
    wide.addAttribute("n", AttributeType::Integer64);
    wide.addRelationship("owner", "Owner").inverse("wides");
    SQLiteStore::setTestHook(countRows);
    rowsWritten = 0;
    auto coordinator = open(model);
    auto context = contextOn(coordinator);
    std::vector<ManagedObjectPtr> owners;
    int wides = 0;
    for (int i = 0; i < 137; ++i) {
        if (i % 3 == 0) {
            owners.push_back(context->insertNewObjectForEntityForName("Owner"));
            owners.back()->setValue(Value("owner " + std::to_string(owners.size())), "name");
            continue;
        }
        auto w = context->insertNewObjectForEntityForName("Wide");
        for (int c = 0; c < kColumns; ++c)
            w->setValue(Value("w" + std::to_string(wides) + "." + std::to_string(c)),
                        "a" + std::to_string(c));
        w->setValue(Value(int64_t{wides}), "n");
        w->setObject(owners.back(), "owner");
        ++wides;
    }
    ASSERT_EQ(context->save(), nullptr);
    SQLiteStore::setTestHook(nullptr);
    EXPECT_EQ(rowsWritten.load(), 137);

    auto reread = contextOn(open(model));
    FetchRequest request("Wide");
    request.sortDescriptors = {SortDescriptor("n")};
    auto rows = fetchAll(reread, request);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(wides));
    for (int n = 0; n < wides; ++n) {
        const auto& w = rows[static_cast<std::size_t>(n)];
        ASSERT_EQ(w->valueForKey("n"), Value(int64_t{n}));
        for (int c = 0; c < kColumns; ++c)
            ASSERT_EQ(w->valueForKey("a" + std::to_string(c)),
                      Value("w" + std::to_string(n) + "." + std::to_string(c)))
                << n << " " << c;
        // Each owner was inserted just before its two wides.
        auto o = w->objectForKey("owner");
        ASSERT_TRUE(o);
        EXPECT_EQ(o->valueForKey("name"), Value("owner " + std::to_string(n / 2 + 1))) << n;
    }
    EXPECT_EQ(fetchAll(reread, FetchRequest("Owner")).size(), owners.size());
}

// A grouped insert that fails halfway (here a key another writer took
// behind the store's back) leaves none of the save's rows in the file; the
// save succeeds once the conflict is gone.
TEST_F(SQLiteStoreTest, AGroupedInsertThatFailsHalfwayLeavesNoRowOfTheSave) {
    auto context = contextOn(open());
    auto first = context->insertNewObjectForEntityForName("Tag");
    first->setValue(Value("first"), "name");
    ASSERT_EQ(context->save(), nullptr);
    const int64_t taken = first->objectID()->primaryKey() + 5;
    auto exec = [&](const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    exec("INSERT INTO Z_Tag (Z_PK, Z_ENT, Z_OPT) SELECT " + std::to_string(taken) + ", Z_ENT, 1 FROM Z_Tag");
    for (int i = 0; i < 20; ++i)
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("tag " + std::to_string(i)), "name");
    ASSERT_NE(context->save(), nullptr);
    auto names = [&] {
        std::set<std::string> found;
        auto reader = contextOn(open());
        for (const auto& tag : fetchAll(reader, makeRequest("Tag"))) {
            const Value name = tag->valueForKey("name");
            if (name.isString())
                found.insert(*name.asString());
        }
        return found;
    };
    EXPECT_EQ(names(), (std::set<std::string>{"first"}));

    exec("DELETE FROM Z_Tag WHERE Z_PK = " + std::to_string(taken));
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(names().size(), 21u);
}

TEST_F(SQLiteStoreTest, EveryAttributeTypeRoundTripsThroughTheFile) {
    const UUID uuid = UUID::random();
    const URL link = *URL::URLWithString("https://example.com/a?b=c");
    Array extra{Value("x"), Value(int64_t{7})};
    const std::vector<std::pair<const char*, Value>> values = {
        {"i16", Value(int16_t{-32768})},
        {"i32", Value(int32_t{2147483647})},
        {"i64", Value(int64_t{-9007199254740993})},
        {"dbl", Value(0.1)},
        {"flt", Value(1.5f)},
        {"flag", Value(true)},
        {"text", Value("héllo \xF0\x9F\x98\x80 \"quoted\"")},
        {"when", Value(Date(123456.789))},
        {"blob", Value(Data(std::vector<uint8_t>{0, 1, 0, 255}))},
        {"uuid", UUIDObject::make(uuid)},
        {"link", Value(ObjectPtr(URLObject::make(link)))},
        {"amount", Value(Decimal::fromString("12345678901234567890.125"))},
        {"extra", Value(extra)},
    };
    {
        auto context = contextOn(open(allTypesModel()));
        auto full = context->insertNewObjectForEntityForName("Sample");
        for (const auto& [key, value] : values)
            full->setValue(value, key);
        context->insertNewObjectForEntityForName("Sample");  // every value nil
        auto empty = context->insertNewObjectForEntityForName("Sample");
        empty->setValue(Value(""), "text");
        empty->setValue(Value(Data()), "blob");
        ASSERT_EQ(context->save(), nullptr);
    }
    auto context = contextOn(open(allTypesModel()));
    auto objects = fetchAll(context, makeRequest("Sample"));
    ASSERT_EQ(objects.size(), 3u);
    for (const auto& [key, value] : values) {
        Value read = objects[0]->valueForKey(key);
        EXPECT_EQ(read, value) << key << ": " << read.description();
        EXPECT_EQ(read.kind(), value.kind()) << key;
        EXPECT_TRUE(objects[1]->valueForKey(key).isNull()) << key;
    }
    EXPECT_EQ(objects[0]->valueForKey("i16").numberType(), NumberType::Int16);
    EXPECT_EQ(objects[0]->valueForKey("flt").numberType(), NumberType::Float);
    // Empty text and data stay empty, not nil.
    EXPECT_EQ(objects[2]->valueForKey("text"), Value(""));
    EXPECT_EQ(objects[2]->valueForKey("blob"), Value(Data()));
    // Typed comparisons run in SQL.
    auto byUUID = fetchAll(context, makeRequest("Sample", Predicate::equal("uuid", UUIDObject::make(uuid))));
    ASSERT_EQ(byUUID.size(), 1u);
    EXPECT_EQ(byUUID[0], objects[0]);
    EXPECT_EQ(fetchAll(context, makeRequest("Sample", Predicate::equal(
                                                          "link", Value(ObjectPtr(URLObject::make(link))))))
                  .size(),
              1u);
    EXPECT_EQ(
        fetchAll(context, makeRequest("Sample", Predicate::lessThan("when", Value(Date(200000.0))))).size(),
        1u);
}

// Text to and from its bytes; counts which way the stored form was read.
class TextTransformer : public ValueTransformer {
  public:
    explicit TextTransformer(bool readsInPlace) : readsInPlace_(readsInPlace) {}
    Result<Data> transformedValue(const Value& value) const override {
        const std::string* text = value.asString();
        return Data::fromString(text ? *text : "");
    }
    Result<Value> reverseTransformedValue(const Data& data) const override {
        ++copied;
        return Value(data.toString());
    }
    Result<Value> reverseTransformedBytes(std::string_view bytes) const override {
        if (!readsInPlace_)
            return ValueTransformer::reverseTransformedBytes(bytes);
        ++inPlace;
        return Value(std::string(bytes));
    }
    mutable int copied = 0;
    mutable int inPlace = 0;

  private:
    bool readsInPlace_;
};

TEST_F(SQLiteStoreTest, NamedTransformersReadStoredBytesWhereTheyAre) {
    auto inPlace = std::make_shared<TextTransformer>(true);
    auto copying = std::make_shared<TextTransformer>(false);
    ValueTransformer::setValueTransformer(inPlace, "TestTextInPlace");
    ValueTransformer::setValueTransformer(copying, "TestTextCopying");
    auto model = [] {
        auto m = ManagedObjectModel::create();
        auto& e = m->addEntity("Note");
        e.addAttribute("order", AttributeType::Integer64);
        e.addAttribute("quick", AttributeType::Transformable).setValueTransformerName("TestTextInPlace");
        e.addAttribute("plain", AttributeType::Transformable).setValueTransformerName("TestTextCopying");
        return m;
    };
    const std::vector<std::string> texts = {"first", "", std::string(5000, 'x') + "end"};
    {
        auto context = contextOn(open(model()));
        for (std::size_t i = 0; i < texts.size(); ++i) {
            auto note = context->insertNewObjectForEntityForName("Note");
            note->setValue(Value(static_cast<int64_t>(i)), "order");
            note->setValue(Value(texts[i]), "quick");
            note->setValue(Value(texts[i] + "!"), "plain");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto context = contextOn(open(model()));
    auto notes = fetchAll(context, makeRequest("Note", nullptr, {SortDescriptor("order")}));
    ASSERT_EQ(notes.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        // Empty stored bytes read back as empty text, not nil.
        EXPECT_EQ(notes[i]->valueForKey("quick"), Value(texts[i])) << i;
        EXPECT_EQ(notes[i]->valueForKey("plain"), Value(texts[i] + "!")) << i;
    }
    // The transformer that reads bytes in place is never handed a copy; the
    // other one still gets its data as before.
    EXPECT_EQ(inPlace->inPlace, static_cast<int>(texts.size()));
    EXPECT_EQ(inPlace->copied, 0);
    EXPECT_EQ(copying->copied, static_cast<int>(texts.size()));
    EXPECT_EQ(copying->inPlace, 0);
    ValueTransformer::setValueTransformer(nullptr, "TestTextInPlace");
    ValueTransformer::setValueTransformer(nullptr, "TestTextCopying");
}

TEST_F(SQLiteStoreTest, NaNIsKeptAndComparesAndSortsAsInMemory) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // (i64 names the row, dbl, flt); nil for an absent value.
    const std::vector<std::tuple<int64_t, std::optional<double>, std::optional<float>>> rows = {
        {1, nan, std::numeric_limits<float>::quiet_NaN()},
        {2, 1.5, 1.5f},
        {3, std::nullopt, std::nullopt},
        {4, -inf, -2.0f},
        {5, -nan, 0.0f},
        {6, 0.0, std::nullopt}};
    auto fill = [&](ManagedObjectContext& context) {
        for (const auto& [key, dbl, flt] : rows) {
            auto o = context.insertNewObjectForEntityForName("Sample");
            o->setValue(Value(key), "i64");
            o->setValue(dbl ? Value(*dbl) : Value(), "dbl");
            o->setValue(flt ? Value(*flt) : Value(), "flt");
        }
        ASSERT_EQ(context.save(), nullptr);
    };
    auto memory = PersistentStoreCoordinator::create(allTypesModel());
    ASSERT_TRUE(memory->addPersistentStore(InMemoryStoreType, "", std::nullopt));
    auto memoryContext = contextOn(memory);
    fill(*memoryContext);
    fill(*contextOn(open(allTypesModel())));

    auto context = contextOn(open(allTypesModel()));
    auto stored = fetchAll(context, makeRequest("Sample", nullptr, {SortDescriptor("i64")}));
    ASSERT_EQ(stored.size(), rows.size());
    EXPECT_TRUE(std::isnan(stored[0]->valueForKey("dbl").doubleValue()));
    EXPECT_TRUE(std::isnan(stored[0]->valueForKey("flt").doubleValue()));
    EXPECT_EQ(stored[0]->valueForKey("flt").numberType(), NumberType::Float);
    EXPECT_TRUE(std::isnan(stored[4]->valueForKey("dbl").doubleValue()));
    EXPECT_TRUE(std::signbit(stored[4]->valueForKey("dbl").doubleValue()));
    EXPECT_EQ(stored[1]->valueForKey("dbl"), Value(1.5));
    EXPECT_TRUE(stored[2]->valueForKey("dbl").isNull());
    EXPECT_EQ(stored[3]->valueForKey("dbl"), Value(-inf));

    // A NaN orders below every number and equals NaN, as in memory.
    auto keys = [](const std::vector<ManagedObjectPtr>& objects) {
        std::vector<int64_t> out;
        for (const auto& o : objects)
            out.push_back(o->valueForKey("i64").longLongValue());
        return out;
    };
    const std::vector<std::pair<PredicatePtr, std::vector<SortDescriptor>>> requests = {
        {Predicate::lessThan("dbl", Value(1.0)), {SortDescriptor("i64")}},
        {Predicate::lessThanOrEqual("flt", Value(0.0)), {SortDescriptor("i64")}},
        {Predicate::greaterThan("dbl", Value(-1.0)), {SortDescriptor("i64")}},
        {Predicate::greaterThanOrEqual("dbl", Value(-inf)), {SortDescriptor("i64")}},
        {Predicate::notPredicate(Predicate::lessThan("dbl", Value(0.5))), {SortDescriptor("i64")}},
        {Predicate::notEqual("dbl", Value(1.5)), {SortDescriptor("i64")}},
        {Predicate::equal("dbl", Value(nan)), {SortDescriptor("i64")}},
        {nullptr, {SortDescriptor("dbl"), SortDescriptor("i64")}},
        {nullptr, {SortDescriptor("flt", false), SortDescriptor("i64")}},
    };
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto& [predicate, sort] = requests[i];
        auto expected = keys(fetchAll(memoryContext, makeRequest("Sample", predicate, sort)));
        EXPECT_EQ(keys(fetchAll(context, makeRequest("Sample", predicate, sort))), expected)
            << "request " << i;
    }
}

TEST_F(SQLiteStoreTest, RelationshipsOfEveryKindSurviveAReopen) {
    std::string taskURI;
    {
        auto context = contextOn(open());
        auto work = context->insertNewObjectForEntityForName("Calendar");
        work->setValue(Value("Work"), "name");
        auto task = context->insertNewObjectForEntityForName("UrgentTask");
        task->setValue(Value("t"), "title");
        task->setObject(work, "calendar");
        auto notes = task->mutableOrderedSetValueForKey("notes");
        for (const char* text : {"n1", "n2", "n3"}) {
            auto note = context->insertNewObjectForEntityForName("Note");
            note->setValue(Value(text), "text");
            notes.addObject(note);
        }
        for (const char* name : {"red", "blue"}) {
            auto tag = context->insertNewObjectForEntityForName("Tag");
            tag->setValue(Value(name), "name");
            task->mutableSetValueForKey("tags").addObject(tag);
        }
        auto ann = context->insertNewObjectForEntityForName("Person");
        auto bob = context->insertNewObjectForEntityForName("Person");
        ann->setValue(Value("ann"), "name");
        bob->setValue(Value("bob"), "name");
        ann->setObject(bob, "partner");
        auto vault = context->insertNewObjectForEntityForName("Vault");
        vault->setObject(ann, "guard");
        vault->mutableSetValueForKey("items").addObject(notes.objects()[0]);
        ASSERT_EQ(context->save(), nullptr);
        // Reorder and shrink the ordered relationship in a second save.
        auto n3 = notes.objects()[2];
        notes.removeObject(n3);
        notes.insertObject(n3, 0);
        notes.removeObject(notes.objects()[1]);
        ASSERT_EQ(context->save(), nullptr);
        taskURI = task->objectID()->URIRepresentation().absoluteString();
    }
    auto coordinator = open();
    auto context = contextOn(coordinator);
    auto task = context->existingObjectWithID(coordinator->managedObjectIDForURIRepresentation(taskURI));
    ASSERT_TRUE(task);
    EXPECT_EQ((*task)->entity()->name(), "UrgentTask");
    auto notes = (*task)->objectsForKey("notes");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0]->valueForKey("text"), Value("n3"));
    EXPECT_EQ(notes[1]->valueForKey("text"), Value("n2"));
    EXPECT_EQ(notes[0]->objectForKey("task"), *task);
    EXPECT_EQ((*task)->objectForKey("calendar")->valueForKey("name"), Value("Work"));
    EXPECT_EQ((*task)->objectForKey("calendar")->objectsForKey("tasks").size(), 1u);
    auto tags = (*task)->objectsForKey("tags");
    ASSERT_EQ(tags.size(), 2u);
    for (const auto& tag : tags)
        EXPECT_EQ(tag->objectsForKey("tasks"), std::vector<ManagedObjectPtr>{*task});
    auto people = fetchAll(context, makeRequest("Person", nullptr, {SortDescriptor("name")}));
    ASSERT_EQ(people.size(), 2u);
    EXPECT_EQ(people[0]->objectForKey("partner"), people[1]);
    EXPECT_EQ(people[1]->objectForKey("partner"), people[0]);
    auto vaults = fetchAll(context, makeRequest("Vault"));
    ASSERT_EQ(vaults.size(), 1u);
    EXPECT_EQ(vaults[0]->objectForKey("guard"), people[0]);
    ASSERT_EQ(vaults[0]->objectsForKey("items").size(), 1u);
    EXPECT_EQ(vaults[0]->objectsForKey("items")[0]->valueForKey("text"), Value("n1"));

    // Deleting removes rows and links on both sides; cascades reach the notes.
    context->deleteObject(tags[0]);
    context->deleteObject(*task);
    ASSERT_EQ(context->save(), nullptr);
    auto after = contextOn(open());
    EXPECT_EQ(after->countForFetchRequest(makeRequest("Task")).value(), 0u);
    EXPECT_EQ(after->countForFetchRequest(makeRequest("Note")).value(), 1u);  // n1 lost its task only
    auto remaining = fetchAll(after, makeRequest("Tag"));
    ASSERT_EQ(remaining.size(), 1u);
    EXPECT_TRUE(remaining[0]->objectsForKey("tasks").empty());
    EXPECT_TRUE(fetchAll(after, makeRequest("Calendar"))[0]->objectsForKey("tasks").empty());
}

TEST_F(SQLiteStoreTest, OptimisticLockingDetectsChangesFromAnotherCoordinator) {
    auto first = contextOn(open());
    auto a = first->insertNewObjectForEntityForName("Tag");
    auto b = first->insertNewObjectForEntityForName("Tag");
    a->setValue(Value("a"), "name");
    b->setValue(Value("b"), "name");
    ASSERT_EQ(first->save(), nullptr);

    auto second = contextOn(open());
    auto seen = fetchAll(second, makeRequest("Tag", nullptr, {SortDescriptor("name")}));
    ASSERT_EQ(seen.size(), 2u);
    seen[0]->setValue(Value("a2"), "name");
    ASSERT_EQ(second->save(), nullptr);

    // Changing the same row from the stale context conflicts; the whole save
    // is refused and the context keeps its changes.
    a->setValue(Value("a1"), "name");
    b->setValue(Value("b1"), "name");
    auto error = first->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ManagedObjectMergeError);
    EXPECT_TRUE(first->hasChanges());
    auto check = contextOn(open());
    auto stored = fetchAll(check, makeRequest("Tag", nullptr, {SortDescriptor("name")}));
    EXPECT_EQ(stored[0]->valueForKey("name"), Value("a2"));
    EXPECT_EQ(stored[1]->valueForKey("name"), Value("b"));  // not half-written

    // Rolling back reloads from the store.
    first->rollback();
    EXPECT_EQ(a->valueForKey("name"), Value("a2"));

    // A row that another coordinator changed cannot be deleted from a stale
    // read either; after a reload it can.
    auto stale = contextOn(open());
    auto staleB = fetchAll(stale, makeRequest("Tag", Predicate::equal("name", Value("b"))));
    ASSERT_EQ(staleB.size(), 1u);
    seen[1]->setValue(Value("b2"), "name");
    ASSERT_EQ(second->save(), nullptr);
    stale->deleteObject(staleB[0]);
    auto refused = stale->save();
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), ManagedObjectMergeError);
    stale->rollback();
    stale->deleteObject(staleB[0]);
    EXPECT_EQ(stale->save(), nullptr);
    EXPECT_EQ(check->countForFetchRequest(makeRequest("Tag")).value(), 1u);
}

// Rows fetched from the file, which nobody but the new objects needs, are
// held in the objects themselves: every use of the last saved state (reads,
// committed values, changes, rollback, refresh, saves with their version
// checks, transient values, child contexts) behaves as with a shared row.
TEST_F(SQLiteStoreTest, FetchedRowsHeldInTheirObjectsActAsSharedRows) {
    {
        auto context = contextOn(open());
        auto calendar = context->insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("home"), "name");
        for (int i = 0; i < 3; ++i) {
            auto task = context->insertNewObjectForEntityForName("Task");
            task->setValue(Value("task " + std::to_string(i)), "title");
            task->setValue(Value(i), "sortOrder");
            task->setObject(calendar, "calendar");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto coordinator = open();
    auto context = contextOn(coordinator);
    auto byOrder = makeRequest("Task", nullptr, {SortDescriptor("sortOrder", true)});
    auto tasks = fetchAll(context, byOrder);
    ASSERT_EQ(tasks.size(), 3u);
    EXPECT_EQ(tasks[1]->valueForKey("title"), Value("task 1"));
    EXPECT_EQ(tasks[1]->objectForKey("calendar")->valueForKey("name"), Value("home"));

    // A change keeps the committed value; rollback goes back to it.
    tasks[0]->setValue(Value("changed"), "title");
    EXPECT_EQ(tasks[0]->committedValuesForKeys({"title"}).find("title")->stringValue(), "task 0");
    EXPECT_EQ(tasks[0]->changedValues().find("title")->stringValue(), "changed");
    context->rollback();
    EXPECT_EQ(tasks[0]->valueForKey("title"), Value("task 0"));
    EXPECT_FALSE(tasks[0]->hasChanges());

    // A transient value set on a fetched object survives its save.
    tasks[1]->setValue(Value("note to self"), "scratch");
    tasks[1]->setValue(Value("saved"), "title");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(tasks[1]->valueForKey("scratch"), Value("note to self"));
    EXPECT_EQ(tasks[1]->valueForKey("title"), Value("saved"));
    EXPECT_EQ(tasks[1]->committedValuesForKeys({"title"}).find("title")->stringValue(), "saved");

    // Versions held in the objects are checked: a second coordinator's
    // objects, read before that save, conflict; read after it, they save.
    auto otherCoordinator = open();
    auto stale = contextOn(otherCoordinator);
    auto staleTasks = fetchAll(stale, byOrder);
    ASSERT_EQ(staleTasks.size(), 3u);
    tasks[1]->setValue(Value("again"), "title");
    ASSERT_EQ(context->save(), nullptr);
    staleTasks[1]->setValue(Value("lost"), "title");
    auto conflict = stale->save();
    ASSERT_NE(conflict, nullptr);
    EXPECT_EQ(conflict->code(), ManagedObjectMergeError);
    auto fresh = contextOn(otherCoordinator);
    auto freshTasks = fetchAll(fresh, byOrder);
    EXPECT_EQ(freshTasks[1]->valueForKey("title"), Value("again"));
    freshTasks[1]->setValue(Value("after"), "title");
    ASSERT_EQ(fresh->save(), nullptr);

    // Refreshing drops the held row; the next read loads the current one.
    context->refreshObject(tasks[1], false);
    EXPECT_TRUE(tasks[1]->isFault());
    EXPECT_EQ(tasks[1]->valueForKey("title"), Value("after"));

    // A child context reads the parent's objects and saves into them.
    auto child = ManagedObjectContext::create(ConcurrencyType::Confinement);
    child->setParentContext(context);
    auto childTasks = fetchAll(child, byOrder);
    ASSERT_EQ(childTasks.size(), 3u);
    EXPECT_EQ(childTasks[2]->valueForKey("title"), Value("task 2"));
    childTasks[2]->setValue(Value("from the child"), "title");
    ASSERT_EQ(child->save(), nullptr);
    EXPECT_EQ(tasks[2]->valueForKey("title"), Value("from the child"));
    EXPECT_EQ(tasks[2]->committedValuesForKeys({"title"}).find("title")->stringValue(), "task 2");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(fetchAll(contextOn(open()), byOrder)[2]->valueForKey("title"), Value("from the child"));

    // Deleting a fetched object checks and removes its row.
    context->deleteObject(tasks[0]);
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(fetchAll(contextOn(open()), byOrder).size(), 2u);
    context->reset();
    EXPECT_TRUE(tasks[1]->isInvalidated());
}

// A fetched object keeps its ID's record and key in its own block and makes
// a shared ID only when asked: asked from several threads at once, it makes
// one; unasked, the object is still found by equal IDs, answers its entity
// and URI, and is saved, changed and deleted as any other; an ID handed out
// outlives its object, context and coordinator.
TEST_F(SQLiteStoreTest, FetchedObjectsMakeTheirIDsOnceFromAnyThread) {
    constexpr int kTasks = 200;
    {
        auto context = contextOn(open());
        for (int i = 0; i < kTasks; ++i) {
            auto task = context->insertNewObjectForEntityForName("Task");
            task->setValue(Value("task " + std::to_string(i)), "title");
            task->setValue(Value(i), "sortOrder");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto coordinator = open();
    auto context = contextOn(coordinator);
    auto byOrder = makeRequest("Task", nullptr, {SortDescriptor("sortOrder", true)});
    auto tasks = fetchAll(context, byOrder);
    ASSERT_EQ(tasks.size(), static_cast<std::size_t>(kTasks));
    // IDs made apart (another context's objects) find the objects.
    auto others = fetchAll(contextOn(coordinator), byOrder);
    for (int i = 0; i < kTasks; ++i) {
        ASSERT_EQ(tasks[i]->entity()->name(), "Task");
        ASSERT_EQ(context->objectRegisteredForID(others[i]->objectID()), tasks[i]) << i;
    }

    // Every thread asks for every ID at once: each object makes one.
    constexpr int kThreads = 4;
    std::vector<std::vector<ManagedObjectIDPtr>> seen(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            for (int i = 0; i < kTasks; ++i)
                seen[t].push_back(tasks[(i + t * 50) % kTasks]->objectID());
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kTasks; ++i) {
            const int at = (i + t * 50) % kTasks;
            ASSERT_EQ(seen[t][i], tasks[at]->objectID()) << t << " " << at;
            ASSERT_TRUE(seen[t][i]->isEqual(*others[at]->objectID())) << at;
            ASSERT_EQ(seen[t][i]->hash(), others[at]->objectID()->hash()) << at;
            ASSERT_EQ(seen[t][i]->URIRepresentation().absoluteString(),
                      others[at]->objectID()->URIRepresentation().absoluteString());
        }
    }
    ManagedObjectIDPtr kept = tasks[7]->objectID();

    // Changed, saved and deleted as any object; a second fetch finds the same ones.
    tasks[3]->setValue(Value("changed"), "title");
    context->deleteObject(tasks[4]);
    ASSERT_EQ(context->save(), nullptr);
    auto again = fetchAll(context, byOrder);
    ASSERT_EQ(again.size(), static_cast<std::size_t>(kTasks - 1));
    EXPECT_EQ(again[3], tasks[3]);
    EXPECT_EQ(again[4], tasks[5]);
    auto freshContext = contextOn(open());
    auto fresh = fetchAll(freshContext, byOrder);
    EXPECT_EQ(fresh[3]->valueForKey("title"), Value("changed"));
    EXPECT_EQ(fresh[4]->valueForKey("title"), Value("task 5"));

    // The ID handed out outlives everything that made it.
    tasks.clear();
    again.clear();
    others.clear();
    context.reset();
    coordinator.reset();
    EXPECT_EQ(kept->entity()->name(), "Task");
    EXPECT_FALSE(kept->isTemporaryID());
    EXPECT_NE(kept->description().find("/Task/p"), std::string::npos);
}

// Fetched rows lie packed in their objects, short strings' bytes included:
// every length and byte reads back, and a row that no longer fits its
// object's room (longer strings saved elsewhere) is held as a shared row.
TEST_F(SQLiteStoreTest, PackedRowsKeepStringsOfEveryLengthAndOutgrowTheirRoom) {
    const std::vector<std::string> titles = {"",
                                             "x",
                                             std::string("nul\0inside", 10),
                                             std::string(15, 'a'),
                                             std::string(16, 'b'),
                                             std::string(255, 'c'),
                                             std::string(256, 'd'),
                                             std::string(5000, 'e'),
                                             "h\xC3\xA9llo \xF0\x9F\x98\x80"};
    {
        auto context = contextOn(open());
        for (std::size_t i = 0; i < titles.size(); ++i) {
            auto task = context->insertNewObjectForEntityForName("Task");
            task->setValue(Value(titles[i]), "title");
            task->setValue(Value(static_cast<int16_t>(i)), "sortOrder");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto byOrder = makeRequest("Task", nullptr, {SortDescriptor("sortOrder", true)});
    auto context = contextOn(open());
    auto tasks = fetchAll(context, byOrder);
    ASSERT_EQ(tasks.size(), titles.size());
    for (std::size_t i = 0; i < titles.size(); ++i) {
        Value title = tasks[i]->valueForKey("title");
        ASSERT_TRUE(title.isString()) << i;
        EXPECT_EQ(*title.asString(), titles[i]) << i;
        EXPECT_EQ(tasks[i]->valueForKey("sortOrder"), Value(static_cast<int16_t>(i)));
        EXPECT_EQ(tasks[i]->valueForKey("sortOrder").numberType(), NumberType::Int16);
        EXPECT_EQ(tasks[i]->valueForKey("done"), Value(false));
        EXPECT_EQ(tasks[i]->committedValuesForKeys({"title"}).find("title")->stringValue(), titles[i]);
        EXPECT_TRUE(tasks[i]->valueForKey("uuid").isNull());
    }

    // Another coordinator saves longer titles, then shorter ones: each
    // refresh reads the row wherever it now lies.
    for (const std::string& suffix : {std::string(300, 'L'), std::string("-s")}) {
        {
            auto writer = contextOn(open());
            for (const auto& task : fetchAll(writer, byOrder))
                task->setValue(Value(task->valueForKey("sortOrder").stringValue() + suffix), "title");
            ASSERT_EQ(writer->save(), nullptr);
        }
        for (std::size_t i = 0; i < tasks.size(); ++i) {
            context->refreshObject(tasks[i], false);
            EXPECT_EQ(tasks[i]->valueForKey("title"), Value(std::to_string(i) + suffix)) << i;
        }
    }
    // A change and a save over a packed row, then a rollback to the saved one.
    tasks[1]->setValue(Value("saved here"), "title");
    ASSERT_EQ(context->save(), nullptr);
    // Strings of a parsed document (which may lie in its arena), long and
    // short, saved and kept as the row, transient ones included.
    auto document = JSONSerialization::JSONObjectWithString("{\"long\": \"" + std::string(300, 'j') +
                                                            "\", \"short\": \"json\"}");
    ASSERT_TRUE(document);
    tasks[2]->setValue(*document->find("long"), "title");
    tasks[2]->setValue(*document->find("long"), "scratch");
    tasks[3]->setValue(*document->find("short"), "title");
    tasks[3]->setValue(*document->find("short"), "scratch");
    document = Value();
    ASSERT_EQ(context->save(), nullptr);
    for (int i : {2, 3}) {
        const std::string expected = i == 2 ? std::string(300, 'j') : "json";
        EXPECT_EQ(tasks[i]->valueForKey("title"), Value(expected));
        EXPECT_EQ(tasks[i]->valueForKey("scratch"), Value(expected));
        EXPECT_EQ(tasks[i]->committedValuesForKeys({"title"}).find("title")->stringValue(), expected);
    }
    tasks[1]->setValue(Value("not saved"), "title");
    context->rollback();
    EXPECT_EQ(tasks[1]->valueForKey("title"), Value("saved here"));
    EXPECT_EQ(fetchAll(contextOn(open()), byOrder)[1]->valueForKey("title"), Value("saved here"));
}

// Rows read in one query share a string equal to the one before in its
// column. Sibling entities in one table give the same property slot to a
// string and to a to-one: rows of both, in any interleaving, read their own
// values (a run of equal names, a change of name, a link after a name and a
// name after a link).
TEST_F(SQLiteStoreTest, RowsOfOneQueryReadRepeatedStringsAndLinksOfSiblingEntities) {
    auto model = ManagedObjectModel::create();
    model->addEntity("Node").setAbstract(true).addAttribute("order", AttributeType::Integer32);
    auto& label = model->addEntity("Label");
    label.setSuperentityName("Node");
    label.addAttribute("text", AttributeType::String);
    auto& link = model->addEntity("Link");
    link.setSuperentityName("Node");
    link.addRelationship("target", "Label");
    // Every link names the first label; a name comes between two of them.
    const std::vector<const char*> plan = {"a", "a", "a", "b", "link", "b", "link", "link", "a", "", "link"};
    {
        auto context = contextOn(open(model));
        ManagedObjectPtr first;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const bool isLink = std::string_view(plan[i]) == "link";
            auto node = context->insertNewObjectForEntityForName(isLink ? "Link" : "Label");
            node->setValue(Value(static_cast<int32_t>(i)), "order");
            if (isLink)
                node->setObject(first, "target");
            else
                node->setValue(Value(plan[i]), "text");
            if (!first)
                first = node;
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto context = contextOn(open(model));
    auto nodes = fetchAll(context, makeRequest("Node", nullptr, {SortDescriptor("order", true)}));
    ASSERT_EQ(nodes.size(), plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (std::string_view(plan[i]) == "link") {
            ASSERT_EQ(nodes[i]->entity()->name(), "Link") << i;
            EXPECT_EQ(nodes[i]->objectForKey("target"), nodes[0]) << i;
        } else {
            ASSERT_EQ(nodes[i]->entity()->name(), "Label") << i;
            EXPECT_EQ(nodes[i]->valueForKey("text"), Value(plan[i])) << i;
        }
    }
    // A changed string in a shared run is the changed object's alone.
    nodes[1]->setValue(Value("changed"), "text");
    ASSERT_EQ(context->save(), nullptr);
    auto reader = contextOn(open(model));
    auto again = fetchAll(reader, makeRequest("Label", nullptr, {SortDescriptor("order", true)}));
    ASSERT_GE(again.size(), 3u);
    EXPECT_EQ(again[0]->valueForKey("text"), Value("a"));
    EXPECT_EQ(again[1]->valueForKey("text"), Value("changed"));
    EXPECT_EQ(again[2]->valueForKey("text"), Value("a"));
}

// The inserted rows of one save that link the same object one after another
// share the Value of its ID: runs, alternations, nil between, objects of a
// sub-entity among them, and the linked objects inserted in the same save;
// every row keeps its own link in the file and in the saving context.
TEST_F(SQLiteStoreTest, InsertsLinkingTheSameObjectInTurnKeepEachLink) {
    const std::string plan = "AAAB-A-BBAAB";
    std::vector<ManagedObjectPtr> tasks;
    {
        auto context = contextOn(open());
        auto a = context->insertNewObjectForEntityForName("Calendar");
        a->setValue(Value("A"), "name");
        auto b = context->insertNewObjectForEntityForName("Calendar");
        b->setValue(Value("B"), "name");
        for (std::size_t i = 0; i < plan.size(); ++i) {
            auto task = context->insertNewObjectForEntityForName(i % 3 == 2 ? "UrgentTask" : "Task");
            task->setValue(Value(static_cast<int16_t>(i)), "sortOrder");
            if (plan[i] != '-')
                task->setObject(plan[i] == 'A' ? a : b, "calendar");
            tasks.push_back(task);
        }
        ASSERT_EQ(context->save(), nullptr);
        for (std::size_t i = 0; i < plan.size(); ++i) {
            auto calendar = tasks[i]->objectForKey("calendar");
            EXPECT_EQ(calendar, plan[i] == '-' ? nullptr : plan[i] == 'A' ? a : b) << i;
        }
        EXPECT_EQ(a->objectsForKey("tasks").size(), 6u);
        EXPECT_EQ(b->objectsForKey("tasks").size(), 4u);
        // Saved again after a change of one link: the others stay.
        tasks[1]->setObject(b, "calendar");
        ASSERT_EQ(context->save(), nullptr);
    }
    auto reader = contextOn(open());
    auto read = fetchAll(reader, makeRequest("Task", nullptr, {SortDescriptor("sortOrder", true)}));
    ASSERT_EQ(read.size(), plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const char expected = i == 1 ? 'B' : plan[i];
        auto calendar = read[i]->objectForKey("calendar");
        if (expected == '-')
            EXPECT_EQ(calendar, nullptr) << i;
        else
            EXPECT_EQ(calendar ? calendar->valueForKey("name") : Value(), Value(std::string(1, expected)))
                << i;
        EXPECT_EQ(read[i]->entity()->name(), i % 3 == 2 ? "UrgentTask" : "Task") << i;
    }
}

TEST_F(SQLiteStoreTest, PrimaryKeysAreReservedDurablyAndNeverReused) {
    int64_t reserved = 0;
    {
        auto context = contextOn(open());
        auto o = context->insertNewObjectForEntityForName("Tag");
        ASSERT_EQ(context->obtainPermanentIDsForObjects({o}), nullptr);
        reserved = o->objectID()->primaryKey();
        context->rollback();  // never saved
    }
    auto one = contextOn(open());
    auto two = contextOn(open());
    std::set<int64_t> keys{reserved};
    for (int round = 0; round < 3; ++round) {
        for (const auto& context : {one, two}) {
            auto o = context->insertNewObjectForEntityForName("Tag");
            ASSERT_EQ(context->save(), nullptr);
            EXPECT_GT(o->objectID()->primaryKey(), reserved);
            EXPECT_TRUE(keys.insert(o->objectID()->primaryKey()).second) << o->objectID()->description();
        }
    }
    // Sub-entities draw from their root's keys.
    auto task = one->insertNewObjectForEntityForName("Task");
    auto urgent = one->insertNewObjectForEntityForName("UrgentTask");
    ASSERT_EQ(one->save(), nullptr);
    EXPECT_NE(task->objectID()->primaryKey(), urgent->objectID()->primaryKey());
}

// Keys are reserved durably in blocks (16, then doubling), so saves of a few
// inserts each commit a reservation only now and then; a request larger than
// the block gets a block of its size.
TEST_F(SQLiteStoreTest, KeysAreReservedInBlocksThatGrow) {
    auto zMax = [&] {
        sqlite3* db = nullptr;
        int64_t max = -1;
        if (sqlite3_open(path().c_str(), &db) == SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT Z_MAX FROM Z_ENTITIES WHERE Z_NAME = 'Tag'", -1, &s,
                                   nullptr) == SQLITE_OK &&
                sqlite3_step(s) == SQLITE_ROW)
                max = sqlite3_column_int64(s, 0);
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
        return max;
    };
    auto context = contextOn(open());
    std::vector<int64_t> keys;
    for (int save = 0; save < 16; ++save) {
        auto o = context->insertNewObjectForEntityForName("Tag");
        ASSERT_EQ(context->save(), nullptr);
        keys.push_back(o->objectID()->primaryKey());
    }
    EXPECT_EQ(zMax(), 16);  // one block served all sixteen
    EXPECT_EQ(keys.front(), 1);
    EXPECT_EQ(keys.back(), 16);
    context->insertNewObjectForEntityForName("Tag");
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(zMax(), 16 + 32);
    std::vector<ManagedObjectPtr> many;
    for (int i = 0; i < 100; ++i)
        many.push_back(context->insertNewObjectForEntityForName("Tag"));
    ASSERT_EQ(context->save(), nullptr);
    EXPECT_EQ(zMax(), 16 + 32 + 100);
    // The new block follows the old one directly: its rest is used first.
    std::set<int64_t> manyKeys;
    for (const auto& o : many)
        manyKeys.insert(o->objectID()->primaryKey());
    EXPECT_EQ(*manyKeys.begin(), 18);
    EXPECT_EQ(*manyKeys.rbegin(), 117);
}

// Keys for several entities are reserved in one step: each request gets its
// own run (entities of one root share its keys), a request of none gets none,
// and a request the store cannot serve reserves nothing at all.
TEST_F(SQLiteStoreTest, KeysOfSeveralEntitiesAreReservedTogetherOrNotAtAll) {
    auto coordinator = open();
    const auto& model = *coordinator->managedObjectModel();
    const auto* tag = model.entityNamed("Tag");
    const auto* task = model.entityNamed("Task");
    const auto* urgent = model.entityNamed("UrgentTask");
    ASSERT_TRUE(tag && task && urgent);
    auto reserved = coordinator->reserveNewObjectKeys({{tag, 3}, {task, 0}, {task, 2}, {urgent, 2}});
    ASSERT_TRUE(reserved.ok());
    const auto& keys = reserved->second;
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0].size(), 3u);
    EXPECT_TRUE(keys[1].empty());
    ASSERT_EQ(keys[2].size(), 2u);
    ASSERT_EQ(keys[3].size(), 2u);
    EXPECT_EQ(keys[0][2], keys[0][0] + 2);
    EXPECT_EQ(keys[3][0], keys[2][1] + 1);  // one root, one run after the other

    auto other = ManagedObjectModel::create();
    auto& stranger = other->addEntity("Stranger");
    stranger.addAttribute("name", AttributeType::String);
    auto refused = coordinator->reserveNewObjectKeys({{tag, 1}, {&stranger, 1}});
    EXPECT_FALSE(refused.ok());
    auto next = coordinator->reserveNewObjectKeys({{tag, 1}, {urgent, 1}});
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(next->second[0].front(), keys[0].back() + 1);
    EXPECT_EQ(next->second[1].front(), keys[3].back() + 1);
}

// An insert's key is made permanent before its save and kept when the save
// fails: the reservation stays committed, so a save through another
// coordinator never takes that key, and the retry stores the row under it.
TEST_F(SQLiteStoreTest, AFailedSaveKeepsItsReservedKeysFromOtherCoordinators) {
    auto first = contextOn(open());
    auto shared = first->insertNewObjectForEntityForName("Tag");
    shared->setValue(Value("shared"), "name");
    ASSERT_EQ(first->save(), nullptr);
    auto second = contextOn(open());
    auto seen = fetchAll(second, makeRequest("Tag"));
    ASSERT_EQ(seen.size(), 1u);
    seen[0]->setValue(Value("changed"), "name");
    ASSERT_EQ(second->save(), nullptr);

    // A stale update fails the save that also inserts.
    shared->setValue(Value("stale"), "name");
    auto inserted = first->insertNewObjectForEntityForName("Tag");
    inserted->setValue(Value("inserted"), "name");
    auto error = first->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ManagedObjectMergeError);
    ASSERT_FALSE(inserted->objectID()->isTemporaryID());
    const int64_t held = inserted->objectID()->primaryKey();

    for (int i = 0; i < 3; ++i) {
        auto other = second->insertNewObjectForEntityForName("Tag");
        other->setValue(Value("other " + std::to_string(i)), "name");
        ASSERT_EQ(second->save(), nullptr);
        EXPECT_NE(other->objectID()->primaryKey(), held);
    }
    first->refreshObject(shared, false);
    ASSERT_EQ(first->save(), nullptr);
    EXPECT_EQ(inserted->objectID()->primaryKey(), held);
    auto check = contextOn(open());
    std::set<int64_t> keys;
    for (const auto& tag : fetchAll(check, makeRequest("Tag")))
        keys.insert(tag->objectID()->primaryKey());
    EXPECT_EQ(keys.size(), 5u);
    EXPECT_EQ(keys.count(held), 1u);
    auto byName = fetchAll(check, makeRequest("Tag", Predicate::equal("name", Value("inserted"))));
    ASSERT_EQ(byName.size(), 1u);
    EXPECT_EQ(byName[0]->objectID()->primaryKey(), held);
}

TEST_F(SQLiteStoreTest, URIsAgreeAcrossCoordinatorsAndReopens) {
    auto a = open();
    auto b = open();
    auto storeA = a->persistentStores().at(0);
    auto storeB = b->persistentStores().at(0);
    EXPECT_EQ(storeA->identifier(), storeB->identifier());
    EXPECT_EQ(storeA->type(), SQLiteStoreType);
    EXPECT_EQ(storeA->metadata().find(StoreUUIDKey)->stringValue(), storeA->identifier());

    auto context = contextOn(a);
    auto tag = context->insertNewObjectForEntityForName("Tag");
    tag->setValue(Value("x"), "name");
    ASSERT_EQ(context->save(), nullptr);
    const URL uri = tag->objectID()->URIRepresentation();
    auto other = contextOn(b);
    auto seen = fetchAll(other, makeRequest("Tag"));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0]->objectID()->URIRepresentation().absoluteString(), uri.absoluteString());
    EXPECT_TRUE(seen[0]->objectID()->isEqual(*tag->objectID()));
    a.reset();
    b.reset();
    auto later = open();
    auto id = later->managedObjectIDForURIRepresentation(uri);
    ASSERT_NE(id, nullptr);
    auto laterContext = contextOn(later);
    auto object = laterContext->existingObjectWithID(id);
    ASSERT_TRUE(object);
    EXPECT_EQ((*object)->valueForKey("name"), Value("x"));
}

TEST_F(SQLiteStoreTest, DidSaveNotificationsMergeAcrossCoordinators) {
    auto writer = contextOn(open());
    auto reader = contextOn(open());
    auto tag = writer->insertNewObjectForEntityForName("Tag");
    tag->setValue(Value("before"), "name");
    auto gone = writer->insertNewObjectForEntityForName("Tag");
    ASSERT_EQ(writer->save(), nullptr);
    auto seen = fetchAll(reader, makeRequest("Tag", Predicate::equal("name", Value("before"))));
    ASSERT_EQ(seen.size(), 1u);
    auto seenGone = reader->objectWithID(gone->objectID());
    (void)seenGone->valueForKey("name");

    NotificationRecorder saves(ManagedObjectContextDidSaveNotification, writer);
    tag->setValue(Value("after"), "name");
    writer->deleteObject(gone);
    ASSERT_EQ(writer->save(), nullptr);
    ASSERT_EQ(saves.notes.size(), 1u);
    reader->mergeChangesFromContextDidSaveNotification(saves.notes[0]);
    EXPECT_EQ(seen[0]->valueForKey("name"), Value("after"));
    EXPECT_TRUE(seenGone->isInvalidated());
    // A refetch sees the same state.
    EXPECT_EQ(fetchAll(reader, makeRequest("Tag", Predicate::equal("name", Value("after")))).size(), 1u);
}

TEST_F(SQLiteStoreTest, CountsAndWindowsMatchTheFetchedObjects) {
    auto context = contextOn(open());
    for (int i = 0; i < 10; ++i) {
        auto t = context->insertNewObjectForEntityForName(i % 3 ? "Task" : "UrgentTask");
        t->setValue(Value(int16_t(i)), "sortOrder");
        t->setValue(Value(i % 2 ? "odd" : "even"), "title");
    }
    ASSERT_EQ(context->save(), nullptr);
    auto fresh = contextOn(open());
    const std::vector<PredicatePtr> predicates = {
        nullptr,
        Predicate::equal("title", Value("odd")),
        // Case-insensitive comparisons are evaluated in memory.
        Predicate::comparison(Expression::keyPath("title"), PredicateOperator::EqualTo,
                              Expression::constant(Value("ODD")), ComparisonModifier::Direct,
                              CaseInsensitivePredicateOption),
    };
    for (const auto& p : predicates) {
        for (bool sub : {true, false}) {
            for (auto [offset, limit] :
                 {std::pair<std::size_t, std::size_t>{0, 0}, {2, 3}, {8, 5}, {20, 1}}) {
                FetchRequest r = makeRequest("Task", p, {SortDescriptor("sortOrder", false)});
                r.includesSubentities = sub;
                r.fetchOffset = offset;
                r.fetchLimit = limit;
                auto objects = fetchAll(fresh, r);
                EXPECT_EQ(fresh->countForFetchRequest(r).value(), objects.size())
                    << (p ? p->predicateFormat() : "all") << " sub " << sub << " window " << offset << "+"
                    << limit;
                for (std::size_t i = 1; i < objects.size(); ++i)
                    EXPECT_GT(objects[i - 1]->valueForKey("sortOrder").longLongValue(),
                              objects[i]->valueForKey("sortOrder").longLongValue());
            }
        }
    }
    FetchRequest all = makeRequest("Task");
    EXPECT_EQ(fresh->countForFetchRequest(all).value(), 10u);
    all.includesSubentities = false;
    EXPECT_EQ(fresh->countForFetchRequest(all).value(), 6u);
}

TEST_F(SQLiteStoreTest, ReadOnlyStoresReadButRefuseToWrite) {
    {
        auto context = contextOn(open());
        context->insertNewObjectForEntityForName("Tag")->setValue(Value("x"), "name");
        ASSERT_EQ(context->save(), nullptr);
    }
    Dictionary options;
    options.set(ReadOnlyPersistentStoreOption, Value(true));
    auto context = contextOn(open(testing::makeTestModel(), options));
    auto tags = fetchAll(context, makeRequest("Tag"));
    ASSERT_EQ(tags.size(), 1u);
    tags[0]->setValue(Value("y"), "name");
    auto error = context->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), PersistentStoreSaveError);
    // A read-only store is never created.
    auto missing = openError(testing::makeTestModel(), options, "missing.sqlite");
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->code(), FileReadNoSuchFileError);
}

TEST_F(SQLiteStoreTest, RemovedStoresAnswerWithAnErrorNotACrash) {
    auto coordinator = open();
    auto store = coordinator->persistentStores().at(0);
    ASSERT_EQ(coordinator->removePersistentStore(store), nullptr);
    auto rows = store->fetchRows(FetchRequest("Tag"), *coordinator->managedObjectModel()->entityNamed("Tag"));
    ASSERT_FALSE(rows);
    EXPECT_EQ(rows.error()->code(), PersistentStoreOperationError);
}

// Writes that change only the to-many side of a relationship whose inverse is
// a to-one (primitive writes keep no inverse) are kept by every file store.
TEST_F(SQLiteStoreTest, OneSidedToManyWritesAreKeptByEveryFileStore) {
    BinaryStore::registerStoreType();
    auto objectsOf = [](const ManagedObjectPtr& o, const char* key) {
        std::vector<std::string> out;
        for (const auto& m : o->objectsForKey(key))
            out.push_back(m->valueForKey(o->entity()->name() == "Calendar" ? "title" : "text").stringValue());
        if (o->entity()->name() == "Calendar")
            std::sort(out.begin(), out.end());
        return out;
    };
    for (const char* type : {SQLiteStoreType, BinaryStoreType}) {
        SCOPED_TRACE(type);
        const std::string name = std::string("one-sided.") + type;
        auto openStore = [&] {
            auto coordinator = PersistentStoreCoordinator::create(testing::makeTestModel());
            auto store = coordinator->addPersistentStore(type, "", url(name), {});
            EXPECT_TRUE(store);
            return coordinator;
        };
        std::string calendarURI, urgentURI;
        {
            auto context = contextOn(openStore());
            auto calendar = context->insertNewObjectForEntityForName("Calendar");
            calendar->setValue(Value("c"), "name");
            auto task = context->insertNewObjectForEntityForName("Task");
            auto urgent = context->insertNewObjectForEntityForName("UrgentTask");
            task->setValue(Value("t"), "title");
            urgent->setValue(Value("u"), "title");
            auto n1 = context->insertNewObjectForEntityForName("Note");
            auto n2 = context->insertNewObjectForEntityForName("Note");
            n1->setValue(Value("n1"), "text");
            n2->setValue(Value("n2"), "text");
            ASSERT_EQ(context->save(), nullptr);
            calendar->setPrimitiveValue(Value(Set{Value(ObjectPtr(task)), Value(ObjectPtr(urgent))}),
                                        "tasks");
            urgent->setPrimitiveValue(Value(Array{Value(ObjectPtr(n2)), Value(ObjectPtr(n1))}), "notes");
            ASSERT_EQ(context->save(), nullptr);
            calendarURI = calendar->objectID()->URIRepresentation().absoluteString();
            urgentURI = urgent->objectID()->URIRepresentation().absoluteString();
        }
        auto reload = [&](const std::shared_ptr<ManagedObjectContext>& context, const std::string& uri) {
            auto id = context->persistentStoreCoordinator()->managedObjectIDForURIRepresentation(uri);
            auto object = context->existingObjectWithID(id);
            EXPECT_TRUE(object);
            return object ? *object : nullptr;
        };
        {
            auto context = contextOn(openStore());
            auto calendar = reload(context, calendarURI);
            auto urgent = reload(context, urgentURI);
            ASSERT_TRUE(calendar && urgent);
            EXPECT_EQ(objectsOf(calendar, "tasks"), (std::vector<std::string>{"t", "u"}));
            EXPECT_EQ(objectsOf(urgent, "notes"), (std::vector<std::string>{"n2", "n1"}));
            // Removing on the to-many side alone is kept as well.
            calendar->setPrimitiveValue(Value(Set{}), "tasks");
            urgent->setPrimitiveValue(Value(Array{}), "notes");
            ASSERT_EQ(context->save(), nullptr);
        }
        auto context = contextOn(openStore());
        EXPECT_TRUE(reload(context, calendarURI)->objectsForKey("tasks").empty());
        EXPECT_TRUE(reload(context, urgentURI)->objectsForKey("notes").empty());
    }
}

// A member row whose to-one a one-sided to-many write changed gets a new
// version: a coordinator still holding the old to-one cannot write it back
// over the membership without hearing of the conflict.
TEST_F(SQLiteStoreTest, OneSidedToManyWritesMoveTheMembersVersion) {
    auto writer = contextOn(open());
    auto calendar = writer->insertNewObjectForEntityForName("Calendar");
    calendar->setValue(Value("c"), "name");
    auto task = writer->insertNewObjectForEntityForName("Task");
    ASSERT_EQ(writer->save(), nullptr);
    auto other = contextOn(open());
    auto stale = fetchAll(other, makeRequest("Task"));
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(stale[0]->objectForKey("calendar"), nullptr);

    calendar->setPrimitiveValue(Value(Set{Value(ObjectPtr(task))}), "tasks");
    ASSERT_EQ(writer->save(), nullptr);
    stale[0]->setValue(Value("edited"), "title");
    auto error = other->save();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ManagedObjectMergeError);
    auto fresh = contextOn(open());
    auto calendars = fetchAll(fresh, makeRequest("Calendar"));
    ASSERT_EQ(calendars.size(), 1u);
    EXPECT_EQ(calendars[0]->objectsForKey("tasks").size(), 1u);
}

// One-sided to-many writes, save after save: moves between owners, clears,
// and the store removed and added again in the same coordinator. Each save's
// result is read back through another coordinator.
TEST_F(SQLiteStoreTest, OneSidedToManyWritesStayRightOverManySaves) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    auto a = context->insertNewObjectForEntityForName("Calendar");
    auto b = context->insertNewObjectForEntityForName("Calendar");
    a->setValue(Value("a"), "name");
    b->setValue(Value("b"), "name");
    auto t1 = context->insertNewObjectForEntityForName("Task");
    auto t2 = context->insertNewObjectForEntityForName("UrgentTask");
    t1->setValue(Value("t1"), "title");
    t2->setValue(Value("t2"), "title");
    ASSERT_EQ(context->save(), nullptr);
    // Each task's calendar as stored: "a", "b" or "-".
    auto stored = [&] {
        std::string out;
        auto reader = contextOn(open());
        for (const auto& t : fetchAll(reader, makeRequest("Task", nullptr, {SortDescriptor("title")}))) {
            auto c = t->objectForKey("calendar");
            out += c ? c->valueForKey("name").stringValue() : "-";
        }
        return out;
    };
    auto members = [](std::initializer_list<ManagedObjectPtr> list) {
        Set set;
        for (const auto& m : list)
            set.insert(Value(ObjectPtr(m)));
        return Value(std::move(set));
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        a->setPrimitiveValue(members({t1, t2}), "tasks");
        ASSERT_EQ(context->save(), nullptr);
        EXPECT_EQ(stored(), "aa");
        // t1 moves from a to b in one save.
        a->setPrimitiveValue(members({t2}), "tasks");
        b->setPrimitiveValue(members({t1}), "tasks");
        ASSERT_EQ(context->save(), nullptr);
        EXPECT_EQ(stored(), "ba");
        a->setPrimitiveValue(members({}), "tasks");
        b->setPrimitiveValue(members({}), "tasks");
        ASSERT_EQ(context->save(), nullptr);
        EXPECT_EQ(stored(), "--");
        if (round == 0) {  // the same file again, through a new store object
            auto store = coordinator->persistentStores().at(0);
            ASSERT_EQ(coordinator->removePersistentStore(store), nullptr);
            ASSERT_TRUE(coordinator->addPersistentStore(SQLiteStoreType, "", url(), {}));
            context = contextOn(coordinator);
            const std::vector<ManagedObjectPtr> calendars =
                fetchAll(context, makeRequest("Calendar", nullptr, {SortDescriptor("name")}));
            const std::vector<ManagedObjectPtr> tasks =
                fetchAll(context, makeRequest("Task", nullptr, {SortDescriptor("title")}));
            ASSERT_EQ(calendars.size(), 2u);
            ASSERT_EQ(tasks.size(), 2u);
            a = calendars[0], b = calendars[1], t1 = tasks[0], t2 = tasks[1];
        }
    }
}

// Entities may carry the names the store uses for its own tables.
TEST_F(SQLiteStoreTest, EntitiesNamedLikeTheStoresOwnTablesWork) {
    const std::vector<std::string> names = {"Metadata", "ENTITIES", "Migrating"};
    auto model = [&](bool withExtra) {
        auto m = ManagedObjectModel::create();
        for (const auto& name : names) {
            auto& e = m->addEntity(name);
            e.addAttribute("value", AttributeType::String);
            if (withExtra)
                e.addAttribute("extra", AttributeType::Integer32);
        }
        return m;
    };
    {
        auto context = contextOn(open(model(false)));
        for (const auto& name : names)
            context->insertNewObjectForEntityForName(name)->setValue(Value(name), "value");
        ASSERT_EQ(context->save(), nullptr);
    }
    auto metadata = PersistentStoreCoordinator::metadataForPersistentStoreOfType("", url());
    ASSERT_TRUE(metadata) << metadata.error()->description();
    EXPECT_NE(metadata->find(StoreUUIDKey), nullptr);
    auto context = contextOn(open(model(true), migrationOptions()));  // migrates every table
    for (const auto& name : names) {
        auto objects = fetchAll(context, makeRequest(name.c_str()));
        ASSERT_EQ(objects.size(), 1u) << name;
        EXPECT_EQ(objects[0]->valueForKey("value"), Value(name));
    }
}

// A compound index changes no hash: a store made without it opens with a
// model that declares it, gets it, and range look-ups on it use it.
TEST_F(SQLiteStoreTest, CompoundIndexesAreAddedToExistingStoresAndUsed) {
    auto model = [](bool compound) {
        auto m = ManagedObjectModel::create();
        auto& e = m->addEntity("Revision");
        e.addAttribute("store", AttributeType::String).indexed(true);
        e.addAttribute("number", AttributeType::Integer64).indexed(true);
        if (compound)
            e.addCompoundIndex({"store", "number"});
        return m;
    };
    {
        auto context = contextOn(open(model(false)));
        for (int i = 0; i < 50; ++i) {
            auto object = context->insertNewObjectForEntityForName("Revision");
            object->setValue(Value(i % 2 ? "a" : "b"), "store");
            object->setValue(Value(int64_t{i}), "number");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto context = contextOn(open(model(true)));
    auto found = fetchAll(
        context,
        makeRequest("Revision", Predicate::andPredicate({Predicate::equal("store", Value("a")),
                                                         Predicate::greaterThan("number", Value(40))})));
    EXPECT_EQ(found.size(), 5u);  // 41, 43, 45, 47, 49
    const std::string plan =
        queryPlan(path(), "SELECT Z_PK FROM Z_REVISION WHERE ZSTORE = 'a' AND ZNUMBER > 40");
    EXPECT_NE(plan.find("Z_Revision_ZSTORE_ZNUMBER_INDEX (ZSTORE=? AND ZNUMBER>?)"), std::string::npos)
        << plan;

    auto refused = ManagedObjectModel::create();
    auto& e = refused->addEntity("E");
    e.addAttribute("a", AttributeType::String);
    EXPECT_THROW(e.addCompoundIndex({"a"}), ModelException);
    EXPECT_THROW(e.addCompoundIndex({"a", "missing"}), ModelException);
}

// A compound index may name to-one relationships: it covers their key
// columns, so the rows of one owner matching a list of another to-one are
// found without walking every row of that owner.
TEST_F(SQLiteStoreTest, CompoundIndexesCoverToOneKeys) {
    auto model = [](bool compound) {
        auto m = ManagedObjectModel::create();
        m->addEntity("Owner").addRelationship("links", "Link").inverse("owner").toMany();
        m->addEntity("Target").addRelationship("links", "Link").inverse("target").toMany();
        auto& link = m->addEntity("Link");
        link.addAttribute("number", AttributeType::Integer64);
        link.addRelationship("owner", "Owner").inverse("links");
        link.addRelationship("target", "Target").inverse("links");
        if (compound)
            link.addCompoundIndex({"owner", "target"});
        return m;
    };
    {
        auto context = contextOn(open(model(false)));
        std::vector<ManagedObjectPtr> owners, targets;
        for (int i = 0; i < 3; ++i)
            owners.push_back(context->insertNewObjectForEntityForName("Owner"));
        for (int i = 0; i < 10; ++i)
            targets.push_back(context->insertNewObjectForEntityForName("Target"));
        for (int i = 0; i < 30; ++i) {
            auto link = context->insertNewObjectForEntityForName("Link");
            link->setValue(Value(int64_t{i}), "number");
            link->setObject(owners[static_cast<std::size_t>(i % 3)], "owner");
            link->setObject(targets[static_cast<std::size_t>(i % 10)], "target");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    // Link i has owner i % 3 and target i % 10: of the links of link 0's
    // owner (0, 3, ..., 27), those to link 0's or link 1's target are 0, 21.
    auto context = contextOn(open(model(true)));
    auto link = [&](int64_t number) {
        auto found = fetchAll(context, makeRequest("Link", Predicate::equal("number", Value(number))));
        EXPECT_EQ(found.size(), 1u);
        return found.at(0);
    };
    const plat::Array wanted{Value(plat::ObjectPtr(link(0)->objectForKey("target"))),
                             Value(plat::ObjectPtr(link(1)->objectForKey("target")))};
    auto found = fetchAll(
        context,
        makeRequest("Link", Predicate::andPredicate(
                                {Predicate::in("target", Value(wanted)),
                                 Predicate::equal("owner",
                                                  Value(plat::ObjectPtr(link(0)->objectForKey("owner"))))})));
    std::set<int64_t> numbers;
    for (const auto& each : found)
        numbers.insert(each->valueForKey("number").integerValue());
    EXPECT_EQ(numbers, (std::set<int64_t>{0, 21}));

    const std::string plan =
        queryPlan(path(), "SELECT Z_PK FROM Z_LINK WHERE ZOWNER = 1 AND ZTARGET IN (1, 2)");
    EXPECT_NE(plan.find("Z_Link_ZOWNER_ZTARGET_INDEX (ZOWNER=? AND ZTARGET=?)"), std::string::npos) << plan;

    auto refused = ManagedObjectModel::create();
    auto& e = refused->addEntity("E");
    e.addAttribute("a", AttributeType::String);
    e.addRelationship("many", "E").toMany();
    EXPECT_THROW(e.addCompoundIndex({"a", "many"}), ModelException);
}

// A column that begins a compound index gets no index of its own (the
// compound one finds its rows as well, and each index costs a B-tree
// insert per row written). A store made when it had one keeps it: it opens,
// takes inserts, updates and deletes, and answers look-ups on the column.
TEST_F(SQLiteStoreTest, AColumnThatBeginsACompoundIndexHasNoIndexOfItsOwn) {
    auto model = [] {
        auto m = ManagedObjectModel::create();
        m->addEntity("Owner").addRelationship("links", "Link").inverse("owner").toMany();
        m->addEntity("Target").addRelationship("links", "Link").inverse("target").toMany();
        auto& link = m->addEntity("Link");
        link.addAttribute("store", AttributeType::String).indexed(true);
        link.addAttribute("number", AttributeType::Integer64).indexed(true);
        link.addRelationship("owner", "Owner").inverse("links");
        link.addRelationship("target", "Target").inverse("links");
        link.addCompoundIndex({"owner", "target"});
        link.addCompoundIndex({"store", "number"});
        return m;
    };
    auto indexes = [&] {
        std::set<std::string> names;
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        auto collect = [](void* out, int, char** values, char**) {
            static_cast<std::set<std::string>*>(out)->insert(values[0]);
            return 0;
        };
        EXPECT_EQ(
            sqlite3_exec(
                db,
                "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'Z_LINK' COLLATE NOCASE",
                collect, &names, nullptr),
            SQLITE_OK);
        sqlite3_close(db);
        return names;
    };
    auto fill = [&](const std::shared_ptr<ManagedObjectContext>& context, int first) {
        auto owner = context->insertNewObjectForEntityForName("Owner");
        auto target = context->insertNewObjectForEntityForName("Target");
        for (int i = first; i < first + 10; ++i) {
            auto link = context->insertNewObjectForEntityForName("Link");
            link->setValue(Value(i % 2 ? "a" : "b"), "store");
            link->setValue(Value(int64_t{i}), "number");
            link->setObject(owner, "owner");
            link->setObject(target, "target");
        }
        EXPECT_EQ(context->save(), nullptr);
        return owner;
    };
    {
        auto context = contextOn(open(model()));
        fill(context, 0);
    }
    EXPECT_EQ(indexes(),
              (std::set<std::string>{"Z_Link_ZNUMBER_INDEX", "Z_Link_ZTARGET_INDEX",
                                     "Z_Link_ZOWNER_ZTARGET_INDEX", "Z_Link_ZSTORE_ZNUMBER_INDEX"}));
    for (const auto& [query, index] : std::vector<std::pair<std::string, std::string>>{
             {"SELECT Z_PK FROM Z_LINK WHERE ZOWNER = 1", "Z_Link_ZOWNER_ZTARGET_INDEX (ZOWNER=?)"},
             {"SELECT Z_PK FROM Z_LINK WHERE ZSTORE = 'a'", "Z_Link_ZSTORE_ZNUMBER_INDEX (ZSTORE=?)"}}) {
        const std::string plan = queryPlan(path(), query);
        EXPECT_NE(plan.find(index), std::string::npos) << plan;
    }

    // The indexes a store made before had: they change no hash.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "CREATE INDEX Z_Link_ZOWNER_INDEX ON Z_LINK (ZOWNER);"
                               "CREATE INDEX Z_Link_ZSTORE_INDEX ON Z_LINK (ZSTORE)",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    {
        auto context = contextOn(open(model()));
        auto owner = fill(context, 10);
        auto links =
            fetchAll(context, makeRequest("Link", Predicate::equal("owner", Value(ObjectPtr(owner)))));
        ASSERT_EQ(links.size(), 10u);
        links[0]->setValue(Value("c"), "store");
        context->deleteObject(links[1]);
        ASSERT_EQ(context->save(), nullptr);
    }
    EXPECT_EQ(indexes().size(), 6u);  // kept, and kept up to date
    auto context = contextOn(open(model()));
    EXPECT_EQ(fetchAll(context, makeRequest("Link", Predicate::equal("store", Value("c")))).size(), 1u);
    EXPECT_EQ(fetchAll(context, makeRequest("Link", Predicate::equal("store", Value("a")))).size(), 9u);
    EXPECT_EQ(fetchAll(context, makeRequest("Link")).size(), 19u);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    std::string check;
    auto collect = [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) += values[0];
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, "PRAGMA integrity_check", collect, &check, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(check, "ok");
}

// An update names only the columns whose values changed since the row was
// read, so the indexes of the others are left alone. Triggers "UPDATE OF"
// a column fire only when an UPDATE names it; each step lists what it names.
TEST_F(SQLiteStoreTest, UpdatesWriteOnlyTheColumnsThatChanged) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    auto home = context->insertNewObjectForEntityForName("Calendar");
    home->setValue(Value("Home"), "name");
    auto work = context->insertNewObjectForEntityForName("Calendar");
    work->setValue(Value("Work"), "name");
    auto task = context->insertNewObjectForEntityForName("Task");
    task->setValue(Value("t1"), "title");
    task->setValue(Value("u1"), "uuid");
    task->setValue(Value(ObjectPtr(home)), "calendar");
    auto note = context->insertNewObjectForEntityForName("Note");
    note->setValue(Value("n1"), "text");
    auto urgent = context->insertNewObjectForEntityForName("UrgentTask");
    ASSERT_EQ(context->save(), nullptr);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    std::string setup = "CREATE TABLE written (name TEXT);";
    const std::vector<std::pair<const char*, const char*>> watched = {
        {"Z_Item", "ZTITLE"},    {"Z_Item", "ZUUID"}, {"Z_Item", "ZDONE"}, {"Z_Item", "ZSORTORDER"},
        {"Z_Item", "ZCALENDAR"}, {"Z_Note", "ZTEXT"}, {"Z_Note", "ZTASK"}, {"Z_Note", "ZTASK_ENT"},
    };
    for (const auto& [table, column] : watched)
        setup += std::string("CREATE TRIGGER w_") + column + " AFTER UPDATE OF " + column + " ON " + table +
                 " BEGIN INSERT INTO written VALUES ('" + column + "'); END;";
    ASSERT_EQ(sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    auto takeWritten = [&] {
        std::set<std::string> names;
        auto collect = [](void* out, int, char** values, char**) {
            static_cast<std::set<std::string>*>(out)->insert(values[0]);
            return 0;
        };
        EXPECT_EQ(sqlite3_exec(db, "SELECT name FROM written; DELETE FROM written", collect, &names, nullptr),
                  SQLITE_OK);
        return names;
    };

    struct Step {
        const char* what;
        ManagedObject* object;
        std::vector<std::pair<const char*, Value>> set;
        std::set<std::string> written;
    };
    ManagedObject* t = task.get();
    const std::vector<Step> steps = {
        {"one attribute", t, {{"title", Value("t2")}}, {"ZTITLE"}},
        {"back to the value read before the last save", t, {{"title", Value("t1")}}, {"ZTITLE"}},
        {"an indexed attribute", t, {{"uuid", Value("u2")}}, {"ZUUID"}},
        {"two attributes at once",
         t,
         {{"done", Value(true)}, {"sortOrder", Value(int16_t{3})}},
         {"ZDONE", "ZSORTORDER"}},
        {"set to what it holds", t, {{"title", Value("t1")}}, {}},
        {"a to-one", t, {{"calendar", Value(ObjectPtr(work))}}, {"ZCALENDAR"}},
        {"a to-one cleared", t, {{"calendar", Value()}}, {"ZCALENDAR"}},
        {"a to-one set again and a transient",
         t,
         {{"calendar", Value(ObjectPtr(home))}, {"scratch", Value("x")}},
         {"ZCALENDAR"}},
        {"an attribute cleared", t, {{"uuid", Value()}}, {"ZUUID"}},
        {"a to-one with its entity column",
         note.get(),
         {{"task", Value(ObjectPtr(task))}},
         {"ZTASK", "ZTASK_ENT"}},
        {"the same key space, another entity",
         note.get(),
         {{"task", Value(ObjectPtr(urgent))}},
         {"ZTASK", "ZTASK_ENT"}},
        {"an attribute beside an unchanged to-one", note.get(), {{"text", Value("n2")}}, {"ZTEXT"}},
    };
    for (const Step& step : steps) {
        for (const auto& [key, value] : step.set)
            step.object->setValue(value, key);
        ASSERT_EQ(context->save(), nullptr) << step.what;
        EXPECT_EQ(takeWritten(), step.written) << step.what;
    }
    sqlite3_close(db);

    // Every step reached the file, and the version moved with each save.
    auto check = contextOn(open());
    auto tasks = fetchAll(check, makeRequest("Task", Predicate::equal("done", Value(true))));
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0]->valueForKey("title"), Value("t1"));
    EXPECT_TRUE(tasks[0]->valueForKey("uuid").isNull());
    EXPECT_EQ(tasks[0]->valueForKey("done"), Value(true));
    EXPECT_EQ(tasks[0]->valueForKey("sortOrder"), Value(int16_t{3}));
    auto calendar = ManagedObject::fromValue(tasks[0]->valueForKey("calendar"));
    ASSERT_NE(calendar, nullptr);
    EXPECT_EQ(calendar->valueForKey("name"), Value("Home"));
    auto notes = fetchAll(check, makeRequest("Note"));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0]->valueForKey("text"), Value("n2"));
    auto owner = ManagedObject::fromValue(notes[0]->valueForKey("task"));
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->entity()->name(), "UrgentTask");
    // A stale reader still conflicts, whichever columns it changes.
    tasks[0]->setValue(Value(false), "done");
    task->setValue(Value("t9"), "title");
    ASSERT_EQ(context->save(), nullptr);
    auto refused = check->save();
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), ManagedObjectMergeError);
}

TEST_F(SQLiteStoreTest, ASaveInsertingEntitiesInTurnWritesEachRowWithItsOwnText) {
    // A save's inserts reuse one entity's statement across a run and bind
    // text without a copy: alternating entities and texts longer than any
    // inline buffer must still land each in its own row.
    auto text = [](const char* kind, int i) {
        return std::string(kind) + " number " + std::to_string(i) + " with a long tail of text";
    };
    {
        auto context = contextOn(open());
        for (int i = 0; i < 6; ++i) {
            auto note = context->insertNewObjectForEntityForName(i % 3 == 2 ? "Tag" : "Note");
            note->setValue(Value(text(i % 3 == 2 ? "tag" : "note", i)), i % 3 == 2 ? "name" : "text");
            auto person = context->insertNewObjectForEntityForName("Person");
            person->setValue(Value(text("person", i)), "name");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto context = contextOn(open());
    auto texts = [&](const char* entity, const char* key) {
        std::vector<std::string> out;
        for (const auto& o : fetchAll(context, makeRequest(entity, nullptr, {SortDescriptor(key)})))
            out.push_back(*o->valueForKey(key).asString());
        return out;
    };
    EXPECT_EQ(texts("Note", "text"),
              (std::vector<std::string>{text("note", 0), text("note", 1), text("note", 3), text("note", 4)}));
    EXPECT_EQ(texts("Tag", "name"), (std::vector<std::string>{text("tag", 2), text("tag", 5)}));
    std::vector<std::string> people;
    for (int i = 0; i < 6; ++i)
        people.push_back(text("person", i));
    EXPECT_EQ(texts("Person", "name"), people);
}

// The statements a store runs again and again (inserts one and a group at a
// time, updates, deletes, reads of one row, fetches) are found again through
// what the store remembered of them. When the connection's statement cache
// lets them go (more query texts than it keeps), each is prepared afresh
// rather than run after it is gone, and every answer and row stays right.
TEST_F(SQLiteStoreTest, StatementsRunAgainAfterTheConnectionsCacheLetThemGo) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    std::vector<ManagedObjectIDPtr> kept;
    auto tagNames = [&] {
        std::set<std::string> out;
        for (const auto& t : fetchAll(context, makeRequest("Tag", Predicate::beginsWith("name", "tag"))))
            out.insert(*t->valueForKey("name").asString());
        return out;
    };
    std::set<std::string> expected;
    for (int round = 0; round < 3; ++round) {
        // 17 tags: a full group of rows and one alone; the round's first tag
        // renamed and the one before it deleted.
        for (int i = 0; i < 17; ++i) {
            auto tag = context->insertNewObjectForEntityForName("Tag");
            const std::string name = "tag " + std::to_string(round) + "." + std::to_string(i);
            tag->setValue(Value(name), "name");
            expected.insert(name);
        }
        ASSERT_EQ(context->save(), nullptr);
        auto first = fetchAll(
            context,
            makeRequest("Tag", Predicate::equal("name", Value("tag " + std::to_string(round) + ".0"))));
        ASSERT_EQ(first.size(), 1u);
        first[0]->setValue(Value("tag renamed " + std::to_string(round)), "name");
        expected.erase("tag " + std::to_string(round) + ".0");
        expected.insert("tag renamed " + std::to_string(round));
        kept.push_back(first[0]->objectID());
        if (round > 0) {
            auto gone = fetchAll(
                context, makeRequest("Tag", Predicate::equal(
                                                "name", Value("tag " + std::to_string(round - 1) + ".16"))));
            ASSERT_EQ(gone.size(), 1u);
            context->deleteObject(gone[0]);
            expected.erase("tag " + std::to_string(round - 1) + ".16");
        }
        ASSERT_EQ(context->save(), nullptr);
        EXPECT_EQ(tagNames(), expected) << "round " << round;
        // Single-row reads: faults of the renamed tags after a reset.
        context->reset();
        for (std::size_t k = 0; k < kept.size(); ++k)
            EXPECT_EQ(*context->objectWithID(kept[k])->valueForKey("name").asString(),
                      "tag renamed " + std::to_string(k));
        // Query texts of 1 to 300 terms, more than the cache keeps.
        for (int n = 1; n <= 300; ++n) {
            std::vector<PredicatePtr> terms(static_cast<std::size_t>(n),
                                            Predicate::equal("name", Value("none")));
            EXPECT_TRUE(
                fetchAll(context, makeRequest("Tag", Predicate::andPredicate(std::move(terms)))).empty());
        }
    }
    context.reset();
    coordinator.reset();
    auto reopened = contextOn(open());
    std::set<std::string> stored;
    for (const auto& t : fetchAll(reopened, makeRequest("Tag", nullptr)))
        stored.insert(*t->valueForKey("name").asString());
    EXPECT_EQ(stored, expected);
}

}  // namespace
}  // namespace plat::coredata
