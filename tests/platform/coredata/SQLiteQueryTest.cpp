// Long IN lists and ANY comparisons: the SQLite store answers them in SQL at
// any length, with the in-memory store's results; in-memory evaluation looks
// members up in a hash rather than scanning the list for every object.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <set>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/detail/SQLiteDatabase.h"
#include "platform/coredata/detail/SQLiteQuery.h"
#include "platform/coredata/detail/SQLiteSchema.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;
using Ids = std::vector<ManagedObjectIDPtr>;

// The schema of model, its entities numbered in order as a new store numbers them.
auto schemaFor(const ManagedObjectModel& model) {
    std::map<std::string, int64_t> numbers;
    for (const auto& e : model.entities())
        numbers[e->name()] = static_cast<int64_t>(numbers.size() + 1);
    return sqlite::Schema::build(model, numbers);
}

Value idList(const Ids& ids, std::size_t from, std::size_t to) {
    Array out;
    for (std::size_t i = from; i < to && i < ids.size(); ++i)
        out.push_back(Value(ObjectPtr(ids[i])));
    return Value(std::move(out));
}

// A query builder's store and another one (in memory), for object IDs of
// the builder's store and of another.
struct IDStores {
    explicit IDStores(const std::shared_ptr<ManagedObjectModel>& m)
        : model(m),
          store(PersistentStoreCoordinator::create(m)),
          other(PersistentStoreCoordinator::create(m)),
          schema(schemaFor(*m)) {
        ready = schema && store->addPersistentStore(InMemoryStoreType, "", std::nullopt) &&
                other->addPersistentStore(InMemoryStoreType, "", std::nullopt);
        if (ready)
            storeIdentifier = store->persistentStores()[0]->identifier();
    }
    Value id(const char* entity, int64_t key, bool ours = true) const {
        return Value(ObjectPtr(ManagedObjectID::makePermanent(
            model->entityForName(entity), (ours ? store : other)->persistentStores()[0], key)));
    }
    std::shared_ptr<ManagedObjectModel> model;
    std::shared_ptr<PersistentStoreCoordinator> store;
    std::shared_ptr<PersistentStoreCoordinator> other;
    std::string storeIdentifier;
    decltype(schemaFor(std::declval<const ManagedObjectModel&>())) schema;
    bool ready = false;  // both stores added and the schema built
};

Value strings(std::size_t count, const std::string& prefix, std::size_t offset = 0) {
    Array out;
    for (std::size_t i = 0; i < count; ++i)
        out.push_back(Value(prefix + std::to_string(i + offset)));
    return Value(std::move(out));
}

// The predicates that must be answered by SQL alone.
struct ExactCase {
    const char* name;
    const char* entity;
    // From the tasks' IDs, in the context that fetches.
    std::function<PredicatePtr(const Ids& tasks, ManagedObjectContext& context)> predicate;
};

// 300 tasks over 3 calendars; every third one tagged, titles "t0".."t299",
// some non-ASCII; returns the task IDs.
Ids fill(ManagedObjectContext& context) {
    std::vector<ManagedObjectPtr> calendars, tags;
    for (const char* name : {"Work", "Home", "Trips"}) {
        auto c = context.insertNewObjectForEntityForName("Calendar");
        c->setValue(Value(name), "name");
        calendars.push_back(c);
    }
    for (const char* name : {"red", "gr\xC3\xBCn"}) {
        auto t = context.insertNewObjectForEntityForName("Tag");
        t->setValue(Value(name), "name");
        tags.push_back(t);
    }
    EXPECT_EQ(context.save(), nullptr);
    std::vector<ManagedObjectPtr> tasks;
    for (int i = 0; i < 300; ++i) {
        auto t = context.insertNewObjectForEntityForName(i % 10 == 9 ? "UrgentTask" : "Task");
        t->setValue(i % 7 == 3 ? Value() : Value((i % 5 == 0 ? "\xC3\xA9" : "t") + std::to_string(i)),
                    "title");
        t->setValue(Value(i % 50), "sortOrder");
        t->setValue(Value("u" + std::to_string(1000 + i)), "uuid");
        if (i % 4 != 0)
            t->setObject(calendars[static_cast<std::size_t>(i % 3)], "calendar");
        if (i % 3 == 0)
            t->mutableSetValueForKey("tags").addObject(tags[static_cast<std::size_t>(i % 2)]);
        tasks.push_back(t);
    }
    EXPECT_EQ(context.save(), nullptr);
    Ids ids;
    for (const auto& t : tasks)
        ids.push_back(t->objectID());
    return ids;
}

std::vector<ExactCase> exactCases() {
    auto p = [](PredicatePtr x) { return [x](const Ids&, ManagedObjectContext&) { return x; }; };
    Array titles = *strings(200, "t").asArray();
    titles.push_back(
        Value("\xC3\xA9"
              "5"));
    titles.push_back(Value());
    Array orders;
    for (int i = 0; i < 40000; i += 3)
        orders.push_back(Value(i % 40 == 0 ? 7.0 : i));
    return {
        {"SelfInLongList", "Task",
         [](const Ids& ids, ManagedObjectContext&) { return Predicate::selfIn(idList(ids, 0, 150)); }},
        {"NotSelfInLongList", "Task",
         [](const Ids& ids, ManagedObjectContext&) {
             return Predicate::notPredicate(Predicate::selfIn(idList(ids, 20, 290)));
         }},
        {"StringsBeyondTheParameterLimit", "Task", p(Predicate::in("uuid", strings(40000, "u", 900)))},
        {"NonASCIIStringsWithNil", "Task", p(Predicate::in("title", Value(titles)))},
        {"NumbersBeyondTheParameterLimit", "Task", p(Predicate::in("sortOrder", Value(orders)))},
        {"ToOneInLongList", "Task",
         [](const Ids& ids, ManagedObjectContext&) {
             return Predicate::notPredicate(Predicate::in("calendar", idList(ids, 0, 100)));
         }},
        {"AnyJoinTableInObjects", "Task",
         [](const Ids&, ManagedObjectContext& context) {
             auto red =
                 context.executeFetchRequest(makeRequest("Tag", Predicate::equal("name", Value("red"))));
             return Predicate::anyIn("tags", Value(Array{Value(ObjectPtr(red->at(0)))}));
         }},
        {"AnyJoinTableAttribute", "Task",
         p(Predicate::anyIn("tags.name", Value(Array{Value("gr\xC3\xBCn")})))},
        {"NotAnyJoinTableAttribute", "Task",
         p(Predicate::notPredicate(Predicate::anyIn("tags.name", Value(Array{Value("red")}))))},
        {"AnyInverseKeyAttribute", "Calendar", p(Predicate::anyIn("tasks.title", strings(100, "t", 40)))},
        {"AnyInverseKeyInLongList", "Calendar",
         [](const Ids& ids, ManagedObjectContext&) {
             return Predicate::anyIn("tasks", idList(ids, 100, 180));
         }},
        {"AnyEqualThroughToOne", "Task",
         p(Predicate::comparison(Expression::keyPath("calendar.tasks.sortOrder"), PredicateOperator::EqualTo,
                                 Expression::constant(Value(49)), ComparisonModifier::Any))},
        {"AnyBeginsWith", "Calendar",
         p(Predicate::comparison(Expression::keyPath("tasks.title"), PredicateOperator::BeginsWith,
                                 Expression::constant(Value("t29")), ComparisonModifier::Any))},
        {"AnyOfNoMembers", "Tag",
         p(Predicate::comparison(Expression::keyPath("tasks.sortOrder"), PredicateOperator::GreaterThan,
                                 Expression::constant(Value(1000)), ComparisonModifier::Any))},
    };
}

class LongListQueryTest : public testing::SQLiteFileTest, public ::testing::WithParamInterface<ExactCase> {};

TEST_P(LongListQueryTest, RunsInSQLWithTheInMemoryStoresAnswer) {
    const ExactCase& c = GetParam();
    auto memory = PersistentStoreCoordinator::create(testing::makeTestModel());
    ASSERT_TRUE(memory->addPersistentStore(InMemoryStoreType, "", std::nullopt));
    auto memoryContext = contextOn(memory);
    Ids memoryIds = fill(*memoryContext);
    // Keys within one save need not follow insertion order: the writer's own
    // IDs name the same rows in the reopened store.
    Ids sqliteIds = fill(*contextOn(open()));
    auto sqlite = open();
    auto sqliteContext = contextOn(sqlite);
    auto uuids = [](const std::vector<ManagedObjectPtr>& objects) {
        std::vector<std::string> out;
        for (const auto& o : objects)
            out.push_back(
                o->valueForKey(o->entity()->attributeNamed("uuid") ? "uuid" : "name").stringValue());
        return out;
    };
    auto memoryPredicate = c.predicate(memoryIds, *memoryContext);
    auto sqlitePredicate = c.predicate(sqliteIds, *sqliteContext);
    const char* order = std::string(c.entity) == "Task" ? "uuid" : "name";
    auto expected =
        uuids(fetchAll(memoryContext, makeRequest(c.entity, memoryPredicate, {SortDescriptor(order)})));
    auto actual =
        uuids(fetchAll(sqliteContext, makeRequest(c.entity, sqlitePredicate, {SortDescriptor(order)})));
    EXPECT_EQ(actual, expected);
    EXPECT_FALSE(expected.empty() && std::string(c.name) != "AnyOfNoMembers");

    // The SQL expresses the whole predicate: nothing is left for memory.
    const auto& model = *sqlite->managedObjectModel();
    auto schema = schemaFor(model);
    ASSERT_TRUE(schema);
    sqlite::QueryBuilder builder(**schema, sqlite->persistentStores()[0]->identifier(),
                                 *model.entityNamed(c.entity), true);
    EXPECT_TRUE(builder.build(sqlitePredicate.get(), {}).exact) << sqlitePredicate->predicateFormat();
}

INSTANTIATE_TEST_SUITE_P(Forms, LongListQueryTest, ::testing::ValuesIn(exactCases()),
                         [](const ::testing::TestParamInfo<ExactCase>& info) { return info.param.name; });

// A to-one of the fetched rows compared with objects reads the rows through
// the to-one's own index: without it SQLite walks every row and looks its
// destination up (a batch of look-ups by owner then costs the whole table).
using ToOneQueryPlanTest = testing::SQLiteFileTest;

TEST_F(ToOneQueryPlanTest, ToOneComparisonsSearchTheRowsKeyIndex) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    fill(*context);
    FetchRequest calendarsRequest("Calendar");
    auto calendars = fetchAll(context, calendarsRequest);
    ASSERT_EQ(calendars.size(), 3u);
    Array few, many;
    for (int i = 0; i < 70; ++i) {
        Value id(ObjectPtr(calendars[static_cast<std::size_t>(i % 3)]->objectID()));
        if (i < 2)
            few.push_back(id);
        many.push_back(id);
    }
    const auto& model = *coordinator->managedObjectModel();
    auto schema = schemaFor(model);
    ASSERT_TRUE(schema);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    for (const auto& predicate :
         {Predicate::in("calendar", Value(few)), Predicate::in("calendar", Value(many)),
          Predicate::equal("calendar", Value(ObjectPtr(calendars[0]->objectID())))}) {
        sqlite::QueryBuilder builder(**schema, coordinator->persistentStores()[0]->identifier(),
                                     *model.entityNamed("Task"), true);
        sqlite::Query q = builder.build(predicate.get(), {});
        ASSERT_TRUE(q.exact);
        const std::string sql = "EXPLAIN QUERY PLAN SELECT t0.Z_PK FROM " + q.from + " WHERE " + q.where;
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
        std::string plan;
        while (sqlite3_step(stmt) == SQLITE_ROW)
            plan += std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3))) + "; ";
        sqlite3_finalize(stmt);
        EXPECT_EQ(plan.find("SCAN t0"), std::string::npos) << predicate->predicateFormat() << ": " << plan;
        EXPECT_NE(plan.find("SEARCH t0"), std::string::npos) << predicate->predicateFormat() << ": " << plan;
    }
    sqlite3_close(db);
}

// Short lists are padded to a power of two: lists of nearby lengths share one
// statement text (one prepared statement, not one per length), and the
// repeated member changes no answer.
// Names go into statements between double quotes, a quote inside doubled.
TEST(QuoteIdentifierTest, QuotesNamesAndDoublesTheQuotesTheyHold) {
    EXPECT_EQ(sqlite::quoteIdentifier(""), "\"\"");
    EXPECT_EQ(sqlite::quoteIdentifier("ZTITLE"), "\"ZTITLE\"");
    EXPECT_EQ(sqlite::quoteIdentifier("a\"b"), "\"a\"\"b\"");
    EXPECT_EQ(sqlite::quoteIdentifier("\"\"x\""), "\"\"\"\"\"x\"\"\"");
    EXPECT_EQ(sqlite::quoteIdentifier(std::string_view("n\0l", 3)), std::string("\"n\0l\"", 5));
}

using ShortListTextTest = testing::SQLiteFileTest;

TEST_F(ShortListTextTest, ListsOfNearbyLengthsShareOneStatementAndAnswerAsGiven) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    fill(*context);
    const auto& model = *coordinator->managedObjectModel();
    auto schema = schemaFor(model);
    ASSERT_TRUE(schema);
    auto text = [&](std::size_t count) {
        sqlite::QueryBuilder builder(**schema, coordinator->persistentStores()[0]->identifier(),
                                     *model.entityNamed("Task"), true);
        auto predicate = Predicate::in("title", strings(count, "t"));
        sqlite::Query q = builder.build(predicate.get(), {});
        return q.from + " WHERE " + q.where;
    };
    EXPECT_EQ(text(5), text(8));
    EXPECT_EQ(text(6), text(7));
    EXPECT_NE(text(8), text(9));
    EXPECT_EQ(text(9), text(16));
    for (std::size_t count : {1u, 3u, 5u, 17u, 64u}) {
        auto request = makeRequest("Task", Predicate::in("uuid", strings(count, "u", 1010)));
        auto found = fetchAll(context, request);
        ASSERT_EQ(found.size(), count);
        std::set<std::string> uuids;
        for (const auto& task : found)
            uuids.insert(*task->valueForKey("uuid").asString());
        EXPECT_EQ(uuids.size(), count);
        EXPECT_EQ(uuids.count("u" + std::to_string(1010 + count - 1)), 1u);
    }
}

// A long list of an indexed attribute's values, nothing else: the store walks
// the list and searches the attribute's index for each member (no index
// built over the list, no scan of the table), and answers as the in-memory
// store does: each row once however often its value is listed, rows of
// other entities of the table left out, in key order.
using ListedValuesTest = testing::SQLiteFileTest;

TEST_F(ListedValuesTest, LongListsOfAnIndexedAttributeSearchItsIndexOncePerMember) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    fill(*context);
    auto memory = PersistentStoreCoordinator::create(testing::makeTestModel());
    ASSERT_TRUE(memory->addPersistentStore(InMemoryStoreType, "", std::nullopt));
    auto memoryContext = contextOn(memory);
    fill(*memoryContext);
    // A value that JSON must escape.
    const std::string quoted = "q\"uo\\te";
    for (auto* c : {context.get(), memoryContext.get()}) {
        c->insertNewObjectForEntityForName("Task")->setValue(Value(quoted), "uuid");
        ASSERT_EQ(c->save(), nullptr);
    }
    // Values of tasks 0..149 (urgent ones among them), each listed twice,
    // and values no row holds.
    Array listed{Value(quoted)};
    for (int round = 0; round < 2; ++round) {
        for (int i = 149; i >= 0; --i)
            listed.push_back(Value("u" + std::to_string(1000 + i)));
    }
    for (int i = 0; i < 30; ++i)
        listed.push_back(Value("absent" + std::to_string(i)));
    const auto predicate = Predicate::in("uuid", Value(listed));
    for (const char* entity : {"Task", "UrgentTask"}) {
        std::vector<std::string> expected, actual;
        for (const auto& o : fetchAll(memoryContext, makeRequest(entity, predicate)))
            expected.push_back(o->valueForKey("uuid").stringValue());
        auto rows = fetchAll(context, makeRequest(entity, predicate));
        int64_t lastKey = 0;
        for (const auto& o : rows) {
            actual.push_back(o->valueForKey("uuid").stringValue());
            EXPECT_GT(o->objectID()->primaryKey(), lastKey) << entity;
            lastKey = o->objectID()->primaryKey();
        }
        std::sort(expected.begin(), expected.end());
        std::sort(actual.begin(), actual.end());
        EXPECT_EQ(actual, expected) << entity;
        EXPECT_EQ(expected.size(), std::string(entity) == "Task" ? 151u : 15u);
    }

    const auto& model = *coordinator->managedObjectModel();
    auto schema = schemaFor(model);
    ASSERT_TRUE(schema);
    sqlite::QueryBuilder builder(**schema, coordinator->persistentStores()[0]->identifier(),
                                 *model.entityNamed("Task"), true);
    sqlite::Query q = builder.build(predicate.get(), {});
    EXPECT_TRUE(q.exact);
    EXPECT_TRUE(q.listed);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::string sql = "EXPLAIN QUERY PLAN SELECT t0.Z_PK FROM " + q.from;
    if (!q.where.empty())
        sql += " WHERE " + q.where;
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    std::string plan;
    while (sqlite3_step(stmt) == SQLITE_ROW)
        plan += std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3))) + "; ";
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    EXPECT_EQ(plan.find("SCAN t0"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("B-TREE"), std::string::npos) << plan;
    EXPECT_NE(plan.find("SEARCH t0 USING INDEX"), std::string::npos) << plan;

    // Lists the join cannot take as they are keep the general form: nil
    // among the members, a column without an index, text that is not plain.
    Array withNil = listed;
    withNil.push_back(Value());
    Array accented;
    for (int i = 0; i < 100; ++i)
        accented.push_back(Value("\xC3\xA9" + std::to_string(i)));
    for (const auto& other :
         {Predicate::in("uuid", Value(withNil)), Predicate::in("title", strings(100, "t")),
          Predicate::in("uuid", Value(accented))}) {
        sqlite::QueryBuilder general(**schema, coordinator->persistentStores()[0]->identifier(),
                                     *model.entityNamed("Task"), true);
        EXPECT_FALSE(general.build(other.get(), {}).listed) << other->predicateFormat();
    }

    // From two members on, a short list takes the same form (SQLite would
    // otherwise build an index over the list first); one member is an
    // equality, and an order asked for keeps the general form.
    auto listedForm = [&](const PredicatePtr& predicate, std::vector<SortDescriptor> order) {
        sqlite::QueryBuilder builder(**schema, coordinator->persistentStores()[0]->identifier(),
                                     *model.entityNamed("Task"), true);
        return builder.build(predicate.get(), order).listed;
    };
    EXPECT_TRUE(listedForm(Predicate::in("uuid", strings(2, "u", 1000)), {}));
    EXPECT_TRUE(listedForm(Predicate::in("uuid", strings(5, "u", 1000)), {}));
    EXPECT_FALSE(listedForm(Predicate::in("uuid", strings(1, "u", 1000)), {}));
    EXPECT_FALSE(listedForm(Predicate::in("uuid", Value(Array{Value("u1000"), Value("u1000")})), {}));
    EXPECT_FALSE(listedForm(Predicate::in("uuid", strings(5, "u", 1000)), {SortDescriptor("uuid")}));
}

// A list member whose identity reads are counted.
class CountingMember : public KeyValueCoding {
  public:
    explicit CountingMember(std::atomic<int>& reads, int key) : reads_(reads), key_(Value(key)) {}
    Value valueForKey(std::string_view) const override { return Value(); }
    ObjectPtr comparisonIdentity() const override {
        ++reads_;
        return std::make_shared<CountingMember>(reads_, static_cast<int>(key_.intValue()) + 1000000);
    }
    bool isEqual(const Object& other) const override {
        auto* o = dynamic_cast<const CountingMember*>(&other);
        return o && o->key_ == key_;
    }
    std::size_t hash() const override { return key_.hash(); }

  private:
    std::atomic<int>& reads_;
    Value key_;
};

TEST(PredicateMemberIndexTest, ListMembersAreReadOncePerPredicateNotOncePerObject) {
    std::atomic<int> reads{0};
    Array members;
    for (int i = 0; i < 500; ++i)
        members.push_back(Value(ObjectPtr(std::make_shared<CountingMember>(reads, i))));
    auto in = Predicate::selfIn(Value(members));
    int hits = 0;
    for (int i = 0; i < 500; ++i) {
        // The object's own identity is one more read per test.
        hits += in->evaluateWithObject(Value(ObjectPtr(std::make_shared<CountingMember>(reads, i * 2))));
    }
    EXPECT_EQ(hits, 250);
    EXPECT_LE(reads.load(), 1100);  // a scan per object would read 125,000
}

using PredicateIdentityTest = testing::StoreTest;

TEST_F(PredicateIdentityTest, AHashedListFollowsObjectsThatGainPermanentIDs) {
    std::vector<ManagedObjectPtr> tasks;
    Array members;
    for (int i = 0; i < 20; ++i) {
        tasks.push_back(insert("Task", "title", Value("t" + std::to_string(i))));
        members.push_back(Value(ObjectPtr(tasks.back())));
    }
    auto in = Predicate::selfIn(Value(members));
    EXPECT_TRUE(in->evaluateWithObject(Value(ObjectPtr(tasks[3]->objectID()))));
    auto temporary = tasks[3]->objectID();
    ASSERT_EQ(context->save(), nullptr);
    ASSERT_FALSE(tasks[3]->objectID()->isTemporaryID());
    EXPECT_TRUE(in->evaluateWithObject(Value(ObjectPtr(tasks[3]->objectID()))));
    EXPECT_FALSE(in->evaluateWithObject(Value(ObjectPtr(temporary))));
    // Fetched through another context: equal permanent IDs match.
    FetchRequest all("Task");
    all.predicate = in;
    EXPECT_EQ(fetch(all, newContext()).size(), 20u);
}

// What build made of a request of some signature.
struct BuiltText {
    std::string text;
    bool exact, sorted, listed;
};

// Records the text of q under the shape's signature, or checks it against the
// text recorded there, and checks that the shape binds what build binds.
void expectOneText(std::map<std::string, BuiltText>& bySignature, const sqlite::QueryShape& shape,
                   const sqlite::Query& q, const std::string& format) {
    EXPECT_EQ(shape.binds, q.binds) << format;
    BuiltText text{q.from + " WHERE " + q.where + " ORDER BY " + q.orderBy, q.exact, q.sorted, q.listed};
    auto [it, added] = bySignature.emplace(shape.signature, text);
    if (!added) {
        EXPECT_EQ(it->second.text, text.text) << format;
        EXPECT_EQ(it->second.exact, text.exact) << format;
        EXPECT_EQ(it->second.sorted, text.sorted) << format;
        EXPECT_EQ(it->second.listed, text.listed) << format;
    }
}

// Requests of one shape share their SQL text: whatever signature two requests
// share, build gives both the same text, and the shape binds what build
// binds. The values vary in every way the text may follow (nil, kinds, list
// lengths across padding, nil in lists, values SQLite cannot compare), as do
// operators, key paths through to-ones, compounds, sorts and entities.
TEST(QueryShapeTest, RequestsOfOneSignatureBuildOneTextAndBindAsBuildDoes) {
    auto model = testing::makeTestModel();
    auto list = [](std::vector<Value> members) { return Value(Array(std::move(members))); };
    std::vector<Value> texts = {Value(), Value("a"), Value("b\xC3\xA9"), Value(5)};
    std::vector<Value> numbers = {Value(), Value(3), Value(true), Value(2.5), Value(std::nan(""))};
    std::vector<Value> lists = {list({}),
                                list({Value()}),
                                list({Value("a")}),
                                list({Value("a"), Value()}),
                                list({Value(1), Value(2)}),
                                list({Value(1), Value(2), Value(3)}),
                                list({Value(4), Value(4), Value(5), Value(6)}),
                                list({Value(1), Value(std::nan(""))}),
                                strings(5, "s"),
                                strings(8, "s", 3),
                                strings(9, "s"),
                                strings(64, "s"),
                                strings(65, "s")};
    std::vector<PredicatePtr> leaves;
    for (const char* path : {"title", "calendar.name", "uuid"}) {
        for (const Value& v : texts) {
            leaves.push_back(Predicate::equal(path, v));
            leaves.push_back(Predicate::lessThan(path, v));
        }
        for (const Value& v : lists)
            leaves.push_back(Predicate::in(path, v));
        leaves.push_back(Predicate::beginsWith(path, "a"));
        leaves.push_back(Predicate::comparison(Expression::keyPath(path), PredicateOperator::EqualTo,
                                               Expression::constant(Value("a")), ComparisonModifier::Direct,
                                               CaseInsensitivePredicateOption));
    }
    for (const char* path : {"sortOrder", "calendar.tasks", "done"}) {
        for (const Value& v : numbers) {
            leaves.push_back(Predicate::notEqual(path, v));
            leaves.push_back(Predicate::greaterThanOrEqual(path, v));
        }
        for (const Value& v : lists)
            leaves.push_back(Predicate::in(path, v));
    }
    for (const Value& v : {Value(), Value(3)}) {
        leaves.push_back(Predicate::equal("calendar", v));
        leaves.push_back(Predicate::notEqual("calendar", v));
        leaves.push_back(Predicate::equal("notes", v));
    }
    // Object IDs of the builder's store, of another one, and temporary ones.
    const IDStores stores(model);
    ASSERT_TRUE(stores.ready);
    const std::string& storeIdentifier = stores.storeIdentifier;
    const auto& schema = stores.schema;
    auto id = [&](const char* entity, int64_t key, bool ours = true) { return stores.id(entity, key, ours); };
    std::vector<Value> objects = {
        id("Calendar", 1), id("Calendar", 2, false), id("Task", 1),
        Value(ObjectPtr(ManagedObjectID::makeTemporary(model->entityForName("Calendar"))))};
    std::vector<Value> objectLists = {list({}), list({id("Calendar", 1), Value()})};
    for (std::size_t n : {1u, 2u, 3u, 5u, 8u, 9u, 64u, 65u}) {
        Array keys;
        for (std::size_t i = 0; i < n; ++i)
            keys.push_back(id("Calendar", static_cast<int64_t>(i % 6 + 1)));
        objectLists.push_back(Value(keys));
        keys.push_back(objects[1 + n % 3]);
        objectLists.push_back(Value(std::move(keys)));
    }
    for (const char* path : {"calendar", "notes", "calendar.tasks"}) {
        for (const Value& v : objects) {
            leaves.push_back(Predicate::equal(path, v));
            leaves.push_back(Predicate::notEqual(path, v));
            leaves.push_back(Predicate::lessThan(path, v));
        }
        for (const Value& v : objectLists)
            leaves.push_back(Predicate::in(path, v));
    }
    std::vector<PredicatePtr> predicates = {nullptr, Predicate::truePredicate()};
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const auto& a = leaves[i];
        const auto& b = leaves[(i * 7 + 3) % leaves.size()];
        predicates.push_back(a);
        predicates.push_back(Predicate::notPredicate(a));
        predicates.push_back(Predicate::andPredicate({a, b}));
        predicates.push_back(
            Predicate::notPredicate(Predicate::orPredicate({b, a, Predicate::falsePredicate()})));
    }
    const std::vector<std::vector<SortDescriptor>> sorts = {{},
                                                            {SortDescriptor("sortOrder")},
                                                            {SortDescriptor("title", false)},
                                                            {SortDescriptor("calendar.name")},
                                                            {SortDescriptor("title", true, true)}};
    std::map<std::string, BuiltText> bySignature;
    std::size_t shapedCount = 0, unshaped = 0;
    for (const char* entity : {"Task", "UrgentTask"}) {
        for (bool subentities : {true, false}) {
            for (const auto& sort : sorts) {
                for (const auto& predicate : predicates) {
                    sqlite::QueryBuilder builder(**schema, storeIdentifier, *model->entityNamed(entity),
                                                 subentities);
                    sqlite::QueryShape shape;
                    const bool shaped = builder.shape(predicate.get(), sort, shape);
                    sqlite::Query q = builder.build(predicate.get(), sort);
                    const std::string format = predicate ? predicate->predicateFormat() : "(none)";
                    if (!shaped) {
                        ++unshaped;
                        continue;
                    }
                    ++shapedCount;
                    // Only the indexed attribute's list alone is walked as a list.
                    const bool indexedListAlone = sort.empty() && predicate &&
                                                  predicate->kind() == Predicate::Kind::Comparison &&
                                                  predicate->op() == PredicateOperator::In &&
                                                  predicate->lhs()->kind() == Expression::Kind::KeyPath &&
                                                  predicate->lhs()->keyPathComponents()[0] == "uuid";
                    EXPECT_TRUE(!q.listed || indexedListAlone) << format;
                    expectOneText(bySignature, shape, q, format);
                }
            }
        }
    }
    // Both kinds occur, and signatures are shared (the cache has hits).
    EXPECT_GT(unshaped, 1000u);
    EXPECT_GT(shapedCount, bySignature.size() + 500);
}

// SELF against lists of IDs (alone, the lookup of listed keys): requests of one
// signature build one text and the shape binds what build binds, whatever the
// members' entities, stores, number, order and repeats.
TEST(QueryShapeTest, SelfAgainstObjectsOfOneSignatureBuildsOneText) {
    auto model = testing::makeTestModel();
    const IDStores stores(model);
    ASSERT_TRUE(stores.ready);
    const std::string& storeIdentifier = stores.storeIdentifier;
    const auto& schema = stores.schema;
    auto id = [&](const char* entity, int64_t key, bool ours = true) { return stores.id(entity, key, ours); };
    const std::vector<Value> strays = {
        Value(), id("Task", 2, false),
        Value(ObjectPtr(ManagedObjectID::makeTemporary(model->entityForName("Task")))), Value(3),
        id("Calendar", 1)};
    std::vector<Value> lists = {Value(Array{})};
    for (std::size_t n : {1u, 2u, 3u, 4u, 5u, 8u, 9u, 16u, 17u, 63u, 64u, 65u, 66u, 100u}) {
        for (const char* entity : {"Task", "UrgentTask", "Calendar"}) {
            // Unordered, with repeats: fewer distinct keys than members.
            Array keys;
            for (std::size_t i = 0; i < n; ++i)
                keys.push_back(id(entity, static_cast<int64_t>((i * 37 + n) % (n + 3) + 1)));
            lists.push_back(Value(keys));
            Array sameKeysTwice = keys;
            sameKeysTwice.insert(sameKeysTwice.end(), keys.begin(), keys.end());
            lists.push_back(Value(std::move(sameKeysTwice)));
            Array mixed = keys;
            mixed.push_back(id(std::string(entity) == "Task" ? "UrgentTask" : "Task", 7));
            lists.push_back(Value(std::move(mixed)));
            keys.push_back(strays[n % strays.size()]);
            lists.push_back(Value(std::move(keys)));
        }
    }
    std::vector<PredicatePtr> leaves;
    for (const Value& v : lists) {
        leaves.push_back(Predicate::selfIn(v));
        const Value first = v.asArray()->empty() ? Value() : v.asArray()->front();
        for (PredicateOperator op : {PredicateOperator::EqualTo, PredicateOperator::NotEqualTo})
            leaves.push_back(Predicate::comparison(Expression::evaluatedObject(), op,
                                                   Expression::constant(first), ComparisonModifier::Direct,
                                                   0));
    }
    std::vector<PredicatePtr> predicates;
    for (const auto& leaf : leaves) {
        predicates.push_back(leaf);
        predicates.push_back(Predicate::notPredicate(leaf));
        predicates.push_back(Predicate::andPredicate({leaf, Predicate::equal("title", Value("a"))}));
        predicates.push_back(Predicate::orPredicate({Predicate::equal("title", Value("a")), leaf}));
    }
    std::map<std::string, BuiltText> bySignature;
    std::size_t shapedCount = 0, unshaped = 0, listed = 0;
    for (const char* entity : {"Task", "UrgentTask", "Calendar"}) {
        for (bool subentities : {true, false}) {
            for (const auto& sort : {std::vector<SortDescriptor>{}, {SortDescriptor("title")}}) {
                for (const auto& predicate : predicates) {
                    sqlite::QueryBuilder builder(**schema, storeIdentifier, *model->entityNamed(entity),
                                                 subentities);
                    sqlite::QueryShape shape;
                    const bool shaped = builder.shape(predicate.get(), sort, shape);
                    sqlite::Query q = builder.build(predicate.get(), sort);
                    if (!shaped) {
                        ++unshaped;
                        continue;
                    }
                    ++shapedCount;
                    listed += q.listed;
                    expectOneText(bySignature, shape, q, predicate->predicateFormat());
                }
            }
        }
    }
    EXPECT_GT(unshaped, 1000u);
    EXPECT_GT(listed, 100u);
    EXPECT_GT(shapedCount, bySignature.size() + 1000);
}

// An indexed attribute's list alone: a list walked through json_each (two
// distinct members or more, all of the column's kind, texts plain) has a
// shape whose signature follows the column, entity and sub-entities, not the
// members; any other list has none. The shape binds the array build binds.
TEST(QueryShapeTest, IndexedListsAloneShareOneTextPerColumnAndEntity) {
    auto model = ManagedObjectModel::create();
    auto& entry = model->addEntity("Entry");
    entry.addAttribute("code", AttributeType::Integer64).indexed(true);
    entry.addAttribute("key", AttributeType::String).indexed(true);
    entry.addAttribute("note", AttributeType::String);
    auto& sub = model->addEntity("SubEntry");
    sub.setSuperentityName("Entry");
    sub.addAttribute("level", AttributeType::Integer32);
    const IDStores stores(model);
    ASSERT_TRUE(stores.ready);
    auto list = [](std::vector<Value> members) { return Value(Array(std::move(members))); };
    const std::vector<Value> keyLists = {list({}),
                                         list({Value("a")}),
                                         list({Value("a"), Value("a")}),  // one distinct member
                                         list({Value("a"), Value("b")}),
                                         list({Value("b"), Value("a"), Value("b")}),
                                         list({Value("a"), Value()}),
                                         list({Value("a"), Value(5)}),
                                         list({Value("x\xC3\xA9"), Value("a")}),  // not plain text
                                         list({Value("q\"uote"), Value("back\\slash")}),
                                         strings(64, "k"),
                                         strings(65, "k", 7),
                                         strings(300, "k", 1)};
    const std::vector<Value> codeLists = {list({Value(1), Value(1)}),
                                          list({Value(1), Value(2)}),
                                          list({Value(3), Value(2), Value(3), Value(9)}),
                                          list({Value(1), Value("1")}),
                                          list({Value(1), Value(2.5)}),
                                          list({Value(1), Value()}),
                                          strings(3, "")};
    std::vector<PredicatePtr> predicates;
    for (const Value& v : keyLists)
        predicates.push_back(Predicate::in("key", v));
    for (const Value& v : codeLists)
        predicates.push_back(Predicate::in("code", v));
    predicates.push_back(Predicate::in("note", list({Value("a"), Value("b")})));  // not indexed
    std::map<std::string, BuiltText> bySignature;
    std::size_t listed = 0, unlisted = 0;
    for (const char* entity : {"Entry", "SubEntry"}) {
        for (bool subentities : {true, false}) {
            for (const auto& predicate : predicates) {
                sqlite::QueryBuilder builder(**stores.schema, stores.storeIdentifier,
                                             *model->entityNamed(entity), subentities);
                sqlite::QueryShape shape;
                const bool shaped = builder.shape(predicate.get(), {}, shape);
                // Built apart too, so that build makes the array itself.
                sqlite::QueryBuilder apart(**stores.schema, stores.storeIdentifier,
                                           *model->entityNamed(entity), subentities);
                sqlite::Query q = apart.build(predicate.get(), {});
                EXPECT_EQ(builder.build(predicate.get(), {}).binds, q.binds);
                const std::string format = predicate->predicateFormat();
                if (predicate->lhs()->keyPathComponents()[0] != "note") {
                    // Walked through json_each exactly when shaped.
                    EXPECT_EQ(shaped, q.listed) << format;
                }
                if (!q.listed) {
                    ++unlisted;
                    continue;
                }
                ++listed;
                ASSERT_TRUE(shaped) << format;
                ASSERT_EQ(shape.binds.size(), 1u) << format;
                expectOneText(bySignature, shape, q, format);
            }
        }
    }
    EXPECT_GT(listed, 20u);
    EXPECT_GT(unlisted, 20u);
    // One text per column, entity and sub-entities.
    EXPECT_EQ(bySignature.size(), 2u * 2u * 2u);
}

// Fetches of one shape but other values, windows and orders, each made twice
// (the second of a shape takes the kept text), answer as the in-memory store.
class ShapedFetchTest : public testing::SQLiteFileTest {
  protected:
    // The same rows in a new in-memory store and in the store file, and a
    // context on each for comparing their answers.
    void fillBoth(Ids* memoryIds = nullptr, Ids* sqliteIds = nullptr) {
        auto memory = PersistentStoreCoordinator::create(testing::makeTestModel());
        ASSERT_TRUE(memory->addPersistentStore(InMemoryStoreType, "", std::nullopt));
        memoryContext = contextOn(memory);
        Ids inMemory = fill(*memoryContext);
        Ids inFile = fill(*contextOn(open()));
        if (memoryIds)
            *memoryIds = std::move(inMemory);
        if (sqliteIds)
            *sqliteIds = std::move(inFile);
        sqliteContext = contextOn(open());
    }
    std::shared_ptr<ManagedObjectContext> memoryContext;
    std::shared_ptr<ManagedObjectContext> sqliteContext;
};

TEST_F(ShapedFetchTest, FetchesOfOneShapeAnswerTheirOwnValues) {
    ASSERT_NO_FATAL_FAILURE(fillBoth());
    auto uuids = [](const std::vector<ManagedObjectPtr>& objects) {
        std::vector<std::string> out;
        for (const auto& o : objects)
            out.push_back(o->valueForKey("uuid").stringValue());
        return out;
    };
    // Each request for the SQLite store and for the in-memory one (IDs differ).
    std::vector<std::pair<FetchRequest, FetchRequest>> requests;
    auto add = [&](const FetchRequest& r) { requests.emplace_back(r, r); };
    // Calendars by name: their IDs in each store, in the same order.
    std::vector<ManagedObjectIDPtr> calendarIds;
    std::vector<Value> memoryCalendars;
    for (const char* name : {"Work", "Home", "Trips"}) {
        auto byName = makeRequest("Calendar", Predicate::equal("name", Value(name)));
        calendarIds.push_back(fetchAll(sqliteContext, byName).at(0)->objectID());
        memoryCalendars.push_back(Value(ObjectPtr(fetchAll(memoryContext, byName).at(0)->objectID())));
    }
    auto memoryOf = [&](const Array& ids) {
        Array out;
        for (const Value& v : ids) {
            for (std::size_t i = 0; i < calendarIds.size(); ++i) {
                if (v.asObjectOf<ManagedObjectID>() == calendarIds[i])
                    out.push_back(memoryCalendars[i]);
            }
        }
        return out;
    };
    for (int round = 0; round < 2; ++round) {
        for (int n : {3, 17, 40}) {
            add(makeRequest("Task", Predicate::equal("sortOrder", Value(n))));
            add(makeRequest("Task", Predicate::equal("title", Value("t" + std::to_string(n)))));
            add(makeRequest("Task",
                            Predicate::andPredicate({Predicate::lessThan("sortOrder", Value(n)),
                                                     Predicate::notEqual("calendar.name", Value("Home"))})));
            add(makeRequest("Task", Predicate::in("sortOrder", strings(0, "")), {}));
            Array orders;
            for (int i = 0; i < n % 8 + 1; ++i)
                orders.push_back(Value(n + i));
            add(makeRequest("Task", Predicate::in("sortOrder", Value(orders))));
            orders.push_back(Value());
            add(makeRequest("Task", Predicate::in("title", Value(orders)),
                            {SortDescriptor("sortOrder", false), SortDescriptor("uuid")}));
            FetchRequest windowed = makeRequest("Task", Predicate::greaterThanOrEqual("sortOrder", Value(n)),
                                                {SortDescriptor("sortOrder", false), SortDescriptor("uuid")});
            windowed.fetchLimit = static_cast<std::size_t>(n % 7 + 2);
            windowed.fetchOffset = static_cast<std::size_t>(n % 5);
            add(windowed);
            add(makeRequest("Task", Predicate::equal("calendar", round ? Value() : Value(n))));
            Array calendars;
            for (int i = 0; i <= n % 3; ++i)
                calendars.push_back(Value(ObjectPtr(calendarIds[static_cast<std::size_t>((n + i) % 3)])));
            requests.emplace_back(makeRequest("Task", Predicate::in("calendar", Value(calendars))),
                                  makeRequest("Task", Predicate::in("calendar", Value(memoryOf(calendars)))));
            requests.emplace_back(
                makeRequest("Task", Predicate::notEqual("calendar", calendars[0])),
                makeRequest("Task", Predicate::notEqual("calendar", memoryOf(calendars)[0])));
            add(makeRequest(
                "Task", Predicate::notPredicate(Predicate::equal("title", n == 3 ? Value() : Value("t5")))));
        }
    }
    for (const auto& [request, memoryRequest] : requests) {
        auto expected = uuids(fetchAll(memoryContext, memoryRequest));
        auto actual = uuids(fetchAll(sqliteContext, request));
        if (request.sortDescriptors.empty()) {
            std::sort(expected.begin(), expected.end());
            std::sort(actual.begin(), actual.end());
        }
        EXPECT_EQ(actual, expected) << request.predicate->predicateFormat();
    }
}

// Fetches by lists of IDs (alone, with other conditions, negated, sorted,
// windowed, of one entity or several), each of a shape made twice with other
// keys, answer as the in-memory store; windows over listed keys take the
// rows in key order.
TEST_F(ShapedFetchTest, FetchesBySelfListsAnswerTheirOwnKeys) {
    Ids memoryIds, sqliteIds;
    ASSERT_NO_FATAL_FAILURE(fillBoth(&memoryIds, &sqliteIds));
    auto uuids = [](const std::vector<ManagedObjectPtr>& objects) {
        std::vector<std::string> out;
        for (const auto& o : objects)
            out.push_back(o->valueForKey("uuid").stringValue());
        return out;
    };
    // Tasks 0..299: every tenth from 9 on is an UrgentTask.
    auto pick = [](int n, int start, bool urgent) {
        std::vector<std::size_t> out;
        for (int i = 0; static_cast<int>(out.size()) < n; ++i) {
            const std::size_t at = static_cast<std::size_t>((start + i * 7) % 300);
            if (urgent ? at % 10 == 9 : at % 10 != 9)
                out.push_back(at);
        }
        out.push_back(out.front());  // a repeat
        return out;
    };
    auto listOf = [](const Ids& ids, const std::vector<std::size_t>& at) {
        Array out;
        for (std::size_t i : at)
            out.push_back(Value(ObjectPtr(ids[i])));
        return Value(std::move(out));
    };
    for (int round = 0; round < 2; ++round) {
        for (int n : {1, 2, 3, 5, 9, 28, 64, 65, 120}) {
            for (int kind = 0; kind < 3; ++kind) {
                std::vector<std::size_t> at =
                    pick(kind == 1 ? std::min(n, 30) : n, round * 11 + n, kind == 1);
                if (kind == 2)
                    at.push_back(9);  // tasks and an urgent one
                auto sqliteList = listOf(sqliteIds, at), memoryList = listOf(memoryIds, at);
                const std::vector<std::function<PredicatePtr(const Value&)>> predicates = {
                    [](const Value& l) { return Predicate::selfIn(l); },
                    [](const Value& l) { return Predicate::notPredicate(Predicate::selfIn(l)); },
                    [](const Value& l) {
                        return Predicate::andPredicate(
                            {Predicate::selfIn(l), Predicate::greaterThan("sortOrder", Value(10))});
                    },
                    [](const Value& l) {
                        return Predicate::comparison(
                            Expression::evaluatedObject(), PredicateOperator::EqualTo,
                            Expression::constant(l.asArray()->front()), ComparisonModifier::Direct, 0);
                    }};
                for (const auto& predicate : predicates) {
                    for (int variant = 0; variant < 4; ++variant) {
                        FetchRequest request = makeRequest("Task", predicate(sqliteList));
                        FetchRequest memoryRequest = makeRequest("Task", predicate(memoryList));
                        if (variant == 1) {
                            request.sortDescriptors = memoryRequest.sortDescriptors = {
                                SortDescriptor("sortOrder", false), SortDescriptor("uuid")};
                            request.fetchLimit = memoryRequest.fetchLimit =
                                static_cast<std::size_t>(n % 4 + 2);
                            request.fetchOffset = memoryRequest.fetchOffset = static_cast<std::size_t>(n % 3);
                        } else if (variant == 2) {
                            request.includesSubentities = memoryRequest.includesSubentities = false;
                        }
                        const std::string format = request.predicate->predicateFormat();
                        if (variant == 3) {
                            // Unsorted and windowed: the rows in key order, then the window.
                            auto all = fetchAll(sqliteContext, request);
                            std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
                                return a->objectID()->primaryKey() < b->objectID()->primaryKey();
                            });
                            request.fetchLimit = 3;
                            request.fetchOffset = 1;
                            std::vector<ManagedObjectPtr> expected;
                            for (std::size_t i = 1; i < all.size() && i < 4; ++i)
                                expected.push_back(all[i]);
                            EXPECT_EQ(uuids(fetchAll(sqliteContext, request)), uuids(expected)) << format;
                            continue;
                        }
                        auto expected = uuids(fetchAll(memoryContext, memoryRequest));
                        auto actual = uuids(fetchAll(sqliteContext, request));
                        if (request.sortDescriptors.empty()) {
                            std::sort(expected.begin(), expected.end());
                            std::sort(actual.begin(), actual.end());
                        }
                        EXPECT_EQ(actual, expected) << format << " variant " << variant;
                    }
                }
            }
        }
    }
}

// Fetches reading some properties (dictionaries) and lists of an indexed
// attribute's values, each shape made twice with other values: requests that
// differ only in the properties read keep texts of their own, and the rows
// answer as the in-memory store's.
TEST_F(ShapedFetchTest, DictionaryFetchesAndIndexedListsAnswerTheirOwnValues) {
    ASSERT_NO_FATAL_FAILURE(fillBoth());
    // uuids u1000..u1299; every tenth task from the tenth on is urgent.
    auto uuidList = [](int n, int start) {
        Array out;
        for (int i = 0; i < n; ++i)
            out.push_back(Value("u" + std::to_string(1000 + (start + i * 13) % 320)));  // some missing
        out.push_back(out.front());                                                     // a repeat
        return Value(std::move(out));
    };
    std::vector<FetchRequest> requests;
    for (int round = 0; round < 2; ++round) {
        for (int n : {1, 2, 5, 40, 70}) {
            const int start = n * 3 + round * 29;
            for (bool subentities : {true, false}) {
                for (const char* entity : {"Task", "UrgentTask"}) {
                    FetchRequest byList = makeRequest(entity, Predicate::in("uuid", uuidList(n, start)));
                    byList.includesSubentities = subentities;
                    requests.push_back(byList);
                }
            }
            for (const std::vector<std::string>& read : {std::vector<std::string>{"uuid", "title"},
                                                         {"uuid", "sortOrder"},
                                                         {"sortOrder", "uuid"},
                                                         {}}) {
                for (int form = 0; form < 4; ++form) {
                    FetchRequest r =
                        form == 0   ? makeRequest("Task", Predicate::in("uuid", uuidList(n, start)))
                        : form == 1 ? makeRequest("Task", Predicate::equal("sortOrder", Value(n % 50)))
                        : form == 2
                            ? makeRequest("Task", Predicate::lessThan("sortOrder", Value(n)),
                                          {SortDescriptor("sortOrder", false), SortDescriptor("uuid")})
                            : makeRequest("Task", nullptr, {SortDescriptor("uuid")});
                    if (form >= 2) {
                        r.fetchLimit = static_cast<std::size_t>(n % 6 + 1);
                        r.fetchOffset = static_cast<std::size_t>(round + n % 4);
                    }
                    r.resultType = FetchRequestResultType::Dictionary;
                    for (const auto& name : read)
                        r.addPropertyToFetch(name);
                    requests.push_back(r);
                }
            }
        }
    }
    auto describe = [](std::vector<Dictionary> rows, bool sorted) {
        std::vector<std::string> out;
        for (const auto& d : rows) {
            std::string text;
            for (const auto& key : d.keys())
                text += key + "=" + d.find(key)->description() + ";";
            out.push_back(text);
        }
        if (!sorted)
            std::sort(out.begin(), out.end());
        return out;
    };
    for (const auto& request : requests) {
        const std::string format = request.predicate ? request.predicate->predicateFormat() : "(all)";
        if (request.resultType == FetchRequestResultType::Dictionary) {
            auto expected = memoryContext->fetchDictionaries(request);
            auto actual = sqliteContext->fetchDictionaries(request);
            ASSERT_TRUE(expected && actual) << format;
            EXPECT_EQ(describe(*actual, !request.sortDescriptors.empty()),
                      describe(*expected, !request.sortDescriptors.empty()))
                << format << " reading " << request.propertiesToFetch.size();
            continue;
        }
        auto uuids = [](const std::vector<ManagedObjectPtr>& objects) {
            std::vector<std::string> out;
            for (const auto& o : objects)
                out.push_back(o->valueForKey("uuid").stringValue());
            std::sort(out.begin(), out.end());
            return out;
        };
        EXPECT_EQ(uuids(fetchAll(sqliteContext, request)), uuids(fetchAll(memoryContext, request)))
            << format << " entity " << request.entityName;
    }
}

}  // namespace
}  // namespace plat::coredata
