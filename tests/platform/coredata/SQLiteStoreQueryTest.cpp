// The SQLite store must answer every fetch exactly as the in-memory store
// does, whether it translates the predicate and ordering to SQL or evaluates
// them itself: the same data goes into both and each request is compared.
#include <sqlite3.h>

#include <algorithm>
#include <optional>

#include "SQLiteStoreTestSupport.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;

struct QueryCase {
    QueryCase(std::string n, std::string e,
              std::function<PredicatePtr(const std::vector<ManagedObjectIDPtr>&)> p,
              std::vector<SortDescriptor> s = {}, bool sub = true, std::size_t o = 0, std::size_t l = 0)
        : name(std::move(n)),
          entity(std::move(e)),
          predicate(std::move(p)),
          sort(std::move(s)),
          includesSubentities(sub),
          offset(o),
          limit(l) {}
    std::string name;
    std::string entity;
    std::function<PredicatePtr(const std::vector<ManagedObjectIDPtr>& ids)> predicate;
    std::vector<SortDescriptor> sort;
    bool includesSubentities = true;
    std::size_t offset = 0, limit = 0;
};

void PrintTo(const QueryCase& c, std::ostream* os) {
    *os << c.name;
}

PredicatePtr cmp(const char* key, PredicateOperator op, Value v, unsigned options = 0) {
    return Predicate::comparison(Expression::keyPath(key), op, Expression::constant(std::move(v)),
                                 ComparisonModifier::Direct, options);
}

using Ids = std::vector<ManagedObjectIDPtr>;

// Fills a store: titles with nil, prefixes and non-ASCII text; sort orders
// with nil; tasks with and without a calendar; a sub-entity; tags.
// Returns the IDs of the tasks in insertion order.
Ids fill(ManagedObjectContext& context) {
    auto work = context.insertNewObjectForEntityForName("Calendar");
    work->setValue(Value("Work"), "name");
    auto home = context.insertNewObjectForEntityForName("Calendar");
    home->setValue(Value("home"), "name");
    auto red = context.insertNewObjectForEntityForName("Tag");
    red->setValue(Value("red"), "name");
    struct Row {
        const char* entity;
        std::optional<std::string> title;
        int sortOrder;  // -1: nil
        bool done;
        ManagedObjectPtr calendar;
        bool tagged;
    };
    const std::vector<Row> rows = {
        {"Task", "alpha", 3, false, work, true},
        {"Task", "alphabet", 1, true, home, false},
        {"Task", std::nullopt, 2, false, work, false},
        {"UrgentTask", "beta", 5, true, nullptr, true},
        {"Task", "Alpha", -1, false, home, false},
        {"Task", "é-accent", 4, true, work, false},
        {"UrgentTask", "", 0, false, work, false},
        {"Task", "zeta", 2, true, nullptr, false},
        {"Task", "al\xEF\xBF\xBF", 7, false, home, true},
        // Bytes that SQLite's character functions misread: a NUL, a stray
        // continuation byte.
        {"Task", std::string("n\0ta", 4), 6, false, nullptr, false},
        {"Task", "ph\x80", 8, true, work, false},
    };
    std::vector<ManagedObjectPtr> tasks;
    int n = 0;
    for (const Row& r : rows) {
        auto t = context.insertNewObjectForEntityForName(r.entity);
        t->setValue(r.title ? Value(*r.title) : Value(), "title");
        t->setValue(r.sortOrder < 0 ? Value() : Value(r.sortOrder), "sortOrder");
        t->setValue(Value(r.done), "done");
        t->setValue(Value("u" + std::to_string(n++)), "uuid");
        if (r.calendar)
            t->setObject(r.calendar, "calendar");
        if (r.tagged)
            t->mutableSetValueForKey("tags").addObject(red);
        tasks.push_back(t);
        // One save per task, so that keys follow insertion order in both stores.
        EXPECT_EQ(context.save(), nullptr);
    }
    Ids ids;
    for (const auto& t : tasks)
        ids.push_back(t->objectID());
    return ids;
}

std::vector<QueryCase> cases() {
    using Op = PredicateOperator;
    auto p = [](PredicatePtr x) { return [x](const Ids&) { return x; }; };
    const std::vector<SortDescriptor> byUUID{SortDescriptor("uuid")};
    std::vector<QueryCase> c = {
        {"EqualString", "Task", p(Predicate::equal("title", Value("alpha")))},
        {"NotEqualStringKeepsNil", "Task", p(Predicate::notEqual("title", Value("alpha")))},
        {"EqualNil", "Task", p(Predicate::equal("title", Value()))},
        {"NotEqualNil", "Task", p(Predicate::notEqual("title", Value()))},
        {"LessThan", "Task", p(Predicate::lessThan("sortOrder", Value(3)))},
        {"LessOrEqualDouble", "Task", p(Predicate::lessThanOrEqual("sortOrder", Value(2.5)))},
        {"GreaterThan", "Task", p(Predicate::greaterThan("sortOrder", Value(2)))},
        {"GreaterOrEqualNilIsFalse", "Task", p(Predicate::greaterThanOrEqual("sortOrder", Value()))},
        {"ConstantOnTheLeft", "Task",
         p(Predicate::comparison(Expression::constant(Value(3)), Op::GreaterThan, Expression::keyPath("sortOrder")))},
        {"InNumbers", "Task", p(Predicate::in("sortOrder", Value(Array{Value(1), Value(5), Value(7)})))},
        {"InWithNil", "Task", p(Predicate::in("title", Value(Array{Value("beta"), Value()})))},
        {"InEmpty", "Task", p(Predicate::in("title", Value(Array{})))},
        {"InSet", "Task", p(Predicate::in("title", Value(Set{Value("zeta"), Value("alpha")})))},
        {"InStringIsSubstring", "Task", p(Predicate::in("title", Value("xalphabetx")))},
        {"BeginsWith", "Task", p(Predicate::beginsWith("title", "al"))},
        {"BeginsWithEmpty", "Task", p(Predicate::beginsWith("title", ""))},
        {"BeginsWithNonASCII", "Task", p(Predicate::beginsWith("title", "é"))},
        {"BeginsWithHighCodePoint", "Task", p(Predicate::beginsWith("title", "al\xEF\xBF\xBF"))},
        {"BeginsWithCaseInsensitive", "Task", p(Predicate::beginsWith("title", "AL", CaseInsensitivePredicateOption))},
        {"EndsWith", "Task", p(Predicate::endsWith("title", "ta"))},
        {"EndsWithNonASCII", "Task", p(Predicate::endsWith("title", "accent"))},
        {"Contains", "Task", p(Predicate::contains("title", Value("ph")))},
        {"ContainsEmpty", "Task", p(Predicate::contains("title", Value("")))},
        {"EndsWithStrayByte", "Task", p(Predicate::endsWith("title", "\x80"))},
        {"ContainsStrayByte", "Task", p(Predicate::contains("title", Value("\x80")))},
        {"ContainsAfterNul", "Task", p(Predicate::contains("title", Value("ta")))},
        {"NotBeginsWithKeepsNil", "Task", p(Predicate::notPredicate(Predicate::beginsWith("title", "al")))},
        {"NotGreaterThanKeepsNil", "Task", p(Predicate::notPredicate(Predicate::greaterThan("sortOrder", Value(2))))},
        {"NotNotEqual", "Task", p(Predicate::notPredicate(Predicate::notEqual("title", Value("beta"))))},
        {"StringOrdering", "Task", p(Predicate::lessThan("title", Value("b")))},
        {"BooleanEqualsNumber", "Task", p(Predicate::equal("done", Value(1)))},
        {"BooleanEqualsNo", "Task", p(Predicate::equal("done", Value(false)))},
        {"TypeMismatchIsFalse", "Task", p(Predicate::equal("title", Value(5)))},
        {"KeyPathThroughToOne", "Task", p(Predicate::equal("calendar.name", Value("Work")))},
        {"KeyPathNotEqualKeepsNoCalendar", "Task", p(Predicate::notEqual("calendar.name", Value("Work")))},
        {"KeyPathBeginsWith", "Task", p(Predicate::beginsWith("calendar.name", "h"))},
        {"ToOneIsNil", "Task", p(Predicate::equal("calendar", Value()))},
        {"AndOfTranslatable", "Task",
         p(Predicate::andPredicate({Predicate::equal("done", Value(false)), Predicate::greaterThan("sortOrder", Value(0))}))},
        {"AndWithInMemoryPart", "Task",
         p(Predicate::andPredicate({Predicate::equal("done", Value(false)),
                                    cmp("title", Op::EqualTo, Value("ALPHA"), CaseInsensitivePredicateOption)}))},
        {"OrWithInMemoryPart", "Task",
         p(Predicate::orPredicate({Predicate::equal("sortOrder", Value(5)),
                                   cmp("title", Op::EqualTo, Value("ALPHA"), CaseInsensitivePredicateOption)}))},
        {"NotOfOr", "Task",
         p(Predicate::notPredicate(Predicate::orPredicate(
             {Predicate::equal("calendar.name", Value("Work")), Predicate::lessThan("sortOrder", Value(2))})))},
        {"NotOfAndWithInMemoryPart", "Task",
         p(Predicate::notPredicate(Predicate::andPredicate(
             {Predicate::equal("done", Value(true)), Predicate::anyIn("tags.name", Value(Array{Value("red")}))})))},
        {"AnyToMany", "Task", p(Predicate::anyIn("tags.name", Value(Array{Value("red")})))},
        {"TrueAndFalse", "Task", p(Predicate::orPredicate({Predicate::falsePredicate(), Predicate::truePredicate()}))},
        {"NotTrue", "Task", p(Predicate::notPredicate(Predicate::truePredicate()))},
        {"EmptyOr", "Task", p(Predicate::orPredicate({}))},
        {"NotEmptyAnd", "Task", p(Predicate::notPredicate(Predicate::andPredicate({})))},
        {"SelfIn", "Task", [](const Ids& ids) { return Predicate::selfIn(Value(Array{Value(ObjectPtr(ids[0])), Value(ObjectPtr(ids[3])), Value(ObjectPtr(ids[4]))})); }},
        {"SelfInWithoutSubentities", "Task",
         [](const Ids& ids) { return Predicate::selfIn(Value(Array{Value(ObjectPtr(ids[0])), Value(ObjectPtr(ids[3]))})); },
         {}, false},
        {"NotSelfIn", "Task", [](const Ids& ids) { return Predicate::notPredicate(Predicate::selfIn(Value(Array{Value(ObjectPtr(ids[1]))}))); }},
        {"SelfInAndPredicate", "Task",
         [](const Ids& ids) {
             return Predicate::andPredicate({Predicate::selfIn(Value(Array{Value(ObjectPtr(ids[0])), Value(ObjectPtr(ids[1]))})),
                                             Predicate::equal("done", Value(true))});
         }},
        // Short lists alone (SELF, or an indexed attribute, IN two or more
        // members) are walked through json_each: members listed twice,
        // backwards, absent or of another entity in the table change nothing.
        {"SelfInShortListOfOneEntity", "Task",
         [](const Ids& ids) { return Predicate::selfIn(Value(Array{Value(ObjectPtr(ids[7])), Value(ObjectPtr(ids[1])), Value(ObjectPtr(ids[7])), Value(ObjectPtr(ids[2]))})); }},
        {"SelfInShortListWindow", "Task",
         [](const Ids& ids) { return Predicate::selfIn(Value(Array{Value(ObjectPtr(ids[8])), Value(ObjectPtr(ids[4])), Value(ObjectPtr(ids[0]))})); },
         {}, true, 1, 1},
        {"SelfInShortListOfASubentity", "UrgentTask",
         [](const Ids& ids) { return Predicate::selfIn(Value(Array{Value(ObjectPtr(ids[3])), Value(ObjectPtr(ids[0])), Value(ObjectPtr(ids[6]))})); }},
        {"SelfInShortListWithoutSubentities", "Task",
         [](const Ids& ids) { return Predicate::selfIn(Value(Array{Value(ObjectPtr(ids[5])), Value(ObjectPtr(ids[9]))})); },
         {}, false},
        {"IndexedInShortList", "Task", p(Predicate::in("uuid", Value(Array{Value("u8"), Value("u2"), Value("absent"), Value("u8"), Value("u3")})))},
        {"IndexedInShortListWindow", "Task", p(Predicate::in("uuid", Value(Array{Value("u6"), Value("u1"), Value("u4")}))), {}, true, 1, 5},
        {"IndexedInShortNumbers", "Task", p(Predicate::in("uuid", Value(Array{Value(1), Value(2)})))},
        // Without sort descriptors rows come in key order, also where the
        // plan walks an index in another order ("u10" before "u2").
        {"IndexedRangeInKeyOrder", "Task", p(Predicate::greaterThan("uuid", Value("u1")))},
        {"IndexedRangeInKeyOrderWindow", "Task", p(Predicate::greaterThan("uuid", Value("u1"))), {}, true, 2, 3},
        {"IndexedRangeInKeyOrderAfterMemoryFilter", "Task",
         p(Predicate::andPredicate({Predicate::greaterThan("uuid", Value("u0")),
                                    cmp("title", Op::BeginsWith, Value("A"), CaseInsensitivePredicateOption)})),
         {}, true, 1, 2},
        {"SortNilFirst", "Task", p(nullptr), {SortDescriptor("title")}},
        {"SortDescending", "Task", p(nullptr), {SortDescriptor("title", false)}},
        {"SortThroughToOne", "Task", p(nullptr), {SortDescriptor("calendar.name"), SortDescriptor("uuid")}},
        {"SortCaseInsensitiveInMemory", "Task", p(nullptr), {SortDescriptor("title", true, true), SortDescriptor("uuid")}},
        {"SortTiesKeepKeyOrder", "Task", p(nullptr), {SortDescriptor("done")}},
        {"WindowInSQL", "Task", p(Predicate::notEqual("title", Value("zeta"))), {SortDescriptor("sortOrder")}, true, 2, 3},
        {"WindowAfterMemoryFilter", "Task", p(cmp("title", Op::BeginsWith, Value("A"), CaseInsensitivePredicateOption)),
         {SortDescriptor("uuid", false)}, true, 1, 2},
        {"WindowAfterMemorySort", "Task", p(nullptr), {SortDescriptor("title", false, true)}, true, 3, 4},
        {"WindowPastTheEnd", "Task", p(nullptr), byUUID, true, 50, 2},
        {"SubentityOnly", "UrgentTask", p(Predicate::notEqual("title", Value("beta")))},
        {"AbstractRootWithoutSubentities", "Item", p(nullptr), {}, false},
        {"AbstractRootWithSubentities", "Item", p(Predicate::beginsWith("uuid", "u")), byUUID},
        {"TaskWithoutSubentities", "Task", p(Predicate::greaterThan("sortOrder", Value(-10))), {}, false},
    };
    return c;
}

using SQLiteStoreToOneQueryTest = testing::SQLiteFileTest;

class SQLiteStoreQueryTest : public testing::SQLiteFileTest,
                             public ::testing::WithParamInterface<QueryCase> {};

std::vector<std::string> uuids(const std::vector<ManagedObjectPtr>& objects) {
    std::vector<std::string> out;
    for (const auto& o : objects)
        out.push_back(o->valueForKey("uuid").stringValue());
    return out;
}

TEST_P(SQLiteStoreQueryTest, AnswersAsTheInMemoryStoreDoes) {
    const QueryCase& q = GetParam();
    auto memory = PersistentStoreCoordinator::create(testing::makeTestModel());
    ASSERT_TRUE(memory->addPersistentStore(InMemoryStoreType, "", std::nullopt));
    auto memoryContext = contextOn(memory);
    Ids memoryIds = fill(*memoryContext);
    {
        auto writer = contextOn(open());
        fill(*writer);
    }
    auto sqlite = open();
    auto sqliteContext = contextOn(sqlite);
    Ids sqliteIds;
    for (const auto& id : memoryIds) {
        // The same rows under the SQLite store's UUID.
        sqliteIds.push_back(sqlite->persistentStores()[0]->objectIDFor(
            sqlite->managedObjectModel()->entityNamed(id->entity()->name()), id->primaryKey()));
    }
    auto build = [&](const Ids& ids) {
        FetchRequest r = makeRequest(q.entity.c_str(), q.predicate(ids), q.sort);
        r.includesSubentities = q.includesSubentities;
        r.fetchOffset = q.offset;
        r.fetchLimit = q.limit;
        return r;
    };
    auto expected = uuids(fetchAll(memoryContext, build(memoryIds)));
    auto actual = uuids(fetchAll(sqliteContext, build(sqliteIds)));
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(sqliteContext->countForFetchRequest(build(sqliteIds)).value(), expected.size());
}

INSTANTIATE_TEST_SUITE_P(Forms, SQLiteStoreQueryTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<QueryCase>& info) { return info.param.name; });

TEST_F(SQLiteStoreToOneQueryTest, ToOneComparisonsWithObjectsAndIDsRunAgainstTheStore) {
    auto context = contextOn(open());
    Ids ids = fill(*context);
    auto fresh = contextOn(open());
    auto work = fetchAll(fresh, makeRequest("Calendar", Predicate::equal("name", Value("Work"))));
    ASSERT_EQ(work.size(), 1u);
    auto byObject =
        fetchAll(fresh, makeRequest("Task", Predicate::equal("calendar", Value(ObjectPtr(work[0])))));
    auto byID = fetchAll(
        fresh, makeRequest("Task", Predicate::equal("calendar", Value(ObjectPtr(work[0]->objectID())))));
    EXPECT_EQ(byObject.size(), 5u);
    EXPECT_EQ(byObject, byID);
    auto notWork =
        fetchAll(fresh, makeRequest("Task", Predicate::notEqual("calendar", Value(ObjectPtr(work[0])))));
    EXPECT_EQ(notWork.size(), 6u);  // home and no calendar
    // An unsaved object's temporary ID matches no stored row.
    auto unsaved = fresh->insertNewObjectForEntityForName("Calendar");
    unsaved->setValue(Value("new"), "name");
    FetchRequest r =
        makeRequest("Task", Predicate::in("calendar", Value(Array{Value(ObjectPtr(unsaved)), Value()})));
    EXPECT_EQ(fetchAll(fresh, r).size(), 3u);  // the tasks without a calendar
    (void)ids;
}

// To-ones against lists of objects, short and long (one JSON array), whose
// rows are partly gone from the store: a key whose row is gone matches no
// object, in a fetch, a count and a negation alike, and a list naming an
// unsaved object as well still answers the stored rows.
TEST_F(SQLiteStoreToOneQueryTest, ToOneListsSkipKeysWhoseRowIsGone) {
    constexpr int kCalendars = 100;
    std::vector<ManagedObjectIDPtr> calendars;
    {
        auto context = contextOn(open());
        std::vector<ManagedObjectPtr> made;
        for (int i = 0; i < kCalendars; ++i) {
            auto calendar = context->insertNewObjectForEntityForName("Calendar");
            calendar->setValue(Value("c" + std::to_string(i)), "name");
            made.push_back(calendar);
        }
        for (int i = 0; i < 2 * kCalendars; ++i) {
            auto task = context->insertNewObjectForEntityForName("Task");
            task->setValue(Value("u" + std::to_string(1000 + i)), "uuid");
            task->setObject(made[static_cast<std::size_t>(i % kCalendars)], "calendar");
        }
        ASSERT_EQ(context->save(), nullptr);
        for (const auto& calendar : made)
            calendars.push_back(calendar->objectID());
    }
    // Every third calendar's row removed behind the store's back: its tasks
    // keep the key.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        std::string keys;
        for (int i = 0; i < kCalendars; i += 3)
            keys += (keys.empty() ? "" : ",") +
                    std::to_string(calendars[static_cast<std::size_t>(i)]->primaryKey());
        const std::string sql = "DELETE FROM Z_Calendar WHERE Z_PK IN (" + keys + ")";
        const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        EXPECT_EQ(sqlite3_changes(db), (kCalendars + 2) / 3);
        sqlite3_close(db);
        ASSERT_EQ(status, SQLITE_OK);
    }
    auto store = open();
    // The tasks of the calendars listed whose rows are still there.
    auto expectedOf = [&](const std::vector<int>& listed) {
        std::vector<std::string> expected;
        for (int i = 0; i < 2 * kCalendars; ++i) {
            const int calendar = i % kCalendars;
            if (calendar % 3 != 0 && std::find(listed.begin(), listed.end(), calendar) != listed.end())
                expected.push_back("u" + std::to_string(1000 + i));
        }
        std::sort(expected.begin(), expected.end());
        return expected;
    };
    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    std::vector<int> all, few{1, 2, 3, 4, 5, 6};
    for (int i = 0; i < kCalendars; ++i)
        all.push_back(i);
    for (const auto& listed : {all, few}) {
        Array members;
        for (int i : listed)
            members.push_back(Value(ObjectPtr(calendars[static_cast<std::size_t>(i)])));
        const auto expected = expectedOf(listed);
        FetchRequest request = makeRequest("Task", Predicate::in("calendar", Value(members)));
        EXPECT_EQ(sorted(uuids(fetchAll(contextOn(store), request))), expected) << listed.size();
        EXPECT_EQ(contextOn(store)->countForFetchRequest(request).value(), expected.size()) << listed.size();
        // The same list with an unsaved calendar in it.
        auto withUnsaved = contextOn(store);
        auto unsaved = withUnsaved->insertNewObjectForEntityForName("Calendar");
        unsaved->setValue(Value("new"), "name");
        Array more = members;
        more.push_back(Value(ObjectPtr(unsaved)));
        EXPECT_EQ(
            sorted(uuids(fetchAll(withUnsaved, makeRequest("Task", Predicate::in("calendar", Value(more)))))),
            expected)
            << listed.size();
    }
    // One calendar whose row is gone, and one whose row is there.
    for (int calendar : {3, 4}) {
        const Value id{ObjectPtr(calendars[static_cast<std::size_t>(calendar)])};
        const auto expected = expectedOf({calendar});
        EXPECT_EQ(
            sorted(uuids(fetchAll(contextOn(store), makeRequest("Task", Predicate::equal("calendar", id))))),
            expected);
        EXPECT_EQ(fetchAll(contextOn(store), makeRequest("Task", Predicate::notEqual("calendar", id))).size(),
                  static_cast<std::size_t>(2 * kCalendars) - expected.size());
    }
}

// Long ID lists (sent as one JSON array) in any order and with repeats, rows
// asked for in any order, and to-ones of consecutive rows naming the same or
// different rows: each answers exactly the rows and values stored.
TEST_F(SQLiteStoreToOneQueryTest, LongIDListsUnorderedFetchesAndRepeatedToOnes) {
    constexpr int kTasks = 150;
    std::vector<std::string> names(kTasks);
    {
        auto context = contextOn(open());
        auto work = context->insertNewObjectForEntityForName("Calendar");
        work->setValue(Value("Work"), "name");
        auto home = context->insertNewObjectForEntityForName("Calendar");
        home->setValue(Value("home"), "name");
        for (int i = 0; i < kTasks; ++i) {
            auto t = context->insertNewObjectForEntityForName("Task");
            t->setValue(Value("u" + std::to_string(1000 + i)), "uuid");
            t->setValue(Value(i % 3 == 0), "done");
            // Runs of the same calendar, switches between them, and none.
            const int pick = (i / 4) % 3;
            if (pick < 2)
                t->setObject(pick == 0 ? work : home, "calendar");
            names[i] = pick == 0 ? "Work" : pick == 1 ? "home" : "";
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    // One coordinator from here on (opening another closes it); a new
    // context for each fetch.
    auto store = open();
    auto context = contextOn(store);
    FetchRequest all = makeRequest("Task", nullptr, {SortDescriptor("uuid")});
    auto tasks = fetchAll(context, all);
    ASSERT_EQ(tasks.size(), static_cast<std::size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) {
        auto calendar = tasks[i]->objectForKey("calendar");
        EXPECT_EQ(calendar ? calendar->valueForKey("name").stringValue() : std::string(), names[i]) << i;
    }

    // Every other task, listed backwards and twice: each row once, in key order.
    Array list;
    std::vector<std::string> expected;
    for (int round = 0; round < 2; ++round) {
        for (int i = kTasks - 1; i >= 0; i -= 2)
            list.push_back(Value(ObjectPtr(tasks[i]->objectID())));
    }
    for (int i = (kTasks - 1) % 2; i < kTasks; i += 2)
        expected.push_back("u" + std::to_string(1000 + i));
    auto fresh = contextOn(store);
    auto listed = fetchAll(fresh, makeRequest("Task", Predicate::selfIn(Value(list))));
    EXPECT_EQ(uuids(listed), expected);
    FetchRequest window = makeRequest("Task", Predicate::selfIn(Value(list)));
    EXPECT_EQ(fresh->countForFetchRequest(window).value(), expected.size());
    window.fetchOffset = 3;
    window.fetchLimit = 5;
    auto windowContext = contextOn(store);
    EXPECT_EQ(uuids(fetchAll(windowContext, window)),
              std::vector<std::string>(expected.begin() + 3, expected.begin() + 8));

    // In any order: the same rows; with a limit of one, one of them.
    FetchRequest done = makeRequest("Task", Predicate::equal("done", Value(true)));
    auto ordered = uuids(fetchAll(fresh, done));
    done.ordersByKey = false;
    auto unorderedContext = contextOn(store);
    auto unordered = uuids(fetchAll(unorderedContext, done));
    std::sort(unordered.begin(), unordered.end());
    EXPECT_EQ(unordered, ordered);
    EXPECT_EQ(ordered.size(), static_cast<std::size_t>((kTasks + 2) / 3));
    done.fetchLimit = 1;
    auto oneContext = contextOn(store);
    auto one = fetchAll(oneContext, done);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(one[0]->valueForKey("done").boolValue());
}

}  // namespace
}  // namespace plat::coredata
