// The fetches a merge runs, through the SQLite store and by hand against the
// same rows in a plain SQLite file, at 20,000 and 200,000 events with one
// change each:
//   Exclude  — events NOT (SELF IN {IDs of three quarters of them})
//   AnyIn    — events with ANY objectChanges IN {IDs of a tenth of the changes}
//   Dirty    — the first form in a context holding a thousand unsaved inserts,
//              which it matches in memory.
// Results are object IDs (the store) or primary keys (by hand). The hand-written
// side puts the list in a temporary table and asks SQLite; the store binds it.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"

namespace {

using namespace plat;
using namespace plat::coredata;

std::filesystem::path benchFolder() {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "merge-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(benchFolder(), ignored);
        });
        return std::filesystem::path(pattern);
    }();
    return folder;
}

std::shared_ptr<ManagedObjectModel> mergeModel() {
    auto model = ManagedObjectModel::create();
    auto& event = model->addEntity("Event");
    event.addAttribute("order", AttributeType::Integer64).indexed(true);
    event.addRelationship("objectChanges", "Change").toMany().inverse("event");
    auto& change = model->addEntity("Change");
    change.addAttribute("type", AttributeType::Integer16);
    change.addRelationship("event", "Event").inverse("objectChanges");
    return model;
}

void check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::abort();
    }
}

// One store and one plain file per size, built once.
struct Fixture {
    std::shared_ptr<PersistentStoreCoordinator> coordinator;
    std::vector<ManagedObjectIDPtr> events, changes;
    sqlite3* raw = nullptr;
};

Fixture& fixture(int rows) {
    static std::map<int, Fixture> fixtures;
    auto [it, fresh] = fixtures.try_emplace(rows);
    Fixture& f = it->second;
    if (!fresh)
        return f;
    dispatch::MainLoop::bindToCurrentThread();
    const std::string name = "events-" + std::to_string(rows);
    f.coordinator = PersistentStoreCoordinator::create(mergeModel());
    if (!f.coordinator->addPersistentStore(
            SQLiteStoreType, "", URL::fileURLWithPath((benchFolder() / (name + ".sqlite")).string())))
        std::abort();
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(f.coordinator);
    std::vector<ManagedObjectPtr> events, changes;
    for (int i = 0; i < rows; ++i) {
        auto e = context->insertNewObjectForEntityForName("Event");
        e->setValue(Value(int64_t{i}), "order");
        auto c = context->insertNewObjectForEntityForName("Change");
        c->setValue(Value(i % 3), "type");
        c->setObject(e, "event");
        events.push_back(e);
        changes.push_back(c);
    }
    if (context->save())
        std::abort();
    for (const auto& e : events)
        f.events.push_back(e->objectID());
    for (const auto& c : changes)
        f.changes.push_back(c->objectID());

    check(sqlite3_open((benchFolder() / (name + "-raw.sqlite")).string().c_str(), &f.raw), f.raw);
    check(sqlite3_exec(f.raw,
                       "CREATE TABLE events (pk INTEGER PRIMARY KEY, ord INTEGER);"
                       "CREATE TABLE changes (pk INTEGER PRIMARY KEY, type INTEGER, event INTEGER);"
                       "CREATE INDEX changes_event ON changes (event);"
                       "BEGIN",
                       nullptr, nullptr, nullptr),
          f.raw);
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(f.raw, "INSERT INTO events VALUES (?1, ?1 - 1)", -1, &insert, nullptr), f.raw);
    sqlite3_stmt* insertChange = nullptr;
    check(sqlite3_prepare_v2(f.raw, "INSERT INTO changes VALUES (?1, ?2, ?1)", -1, &insertChange, nullptr),
          f.raw);
    for (int i = 1; i <= rows; ++i) {
        sqlite3_bind_int64(insert, 1, i);
        check(sqlite3_step(insert), f.raw);
        sqlite3_reset(insert);
        sqlite3_bind_int64(insertChange, 1, i);
        sqlite3_bind_int(insertChange, 2, (i - 1) % 3);
        check(sqlite3_step(insertChange), f.raw);
        sqlite3_reset(insertChange);
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(insertChange);
    check(sqlite3_exec(f.raw, "COMMIT", nullptr, nullptr, nullptr), f.raw);
    return f;
}

Value idList(const std::vector<ManagedObjectIDPtr>& ids, std::size_t count) {
    Array out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        out.push_back(Value(ObjectPtr(ids[i])));
    return Value(std::move(out));
}

std::size_t fetchIDs(ManagedObjectContext& context, PredicatePtr predicate) {
    FetchRequest request("Event");
    request.predicate = std::move(predicate);
    request.resultType = FetchRequestResultType::ManagedObjectID;
    auto result = context.executeFetchRequestValues(request);
    if (!result)
        std::abort();
    return result->size();
}

// The keys into a temporary table, the query, the table dropped.
std::size_t handQuery(sqlite3* db, std::size_t keys, const char* sql) {
    check(
        sqlite3_exec(db, "CREATE TEMP TABLE list (k INTEGER PRIMARY KEY); BEGIN", nullptr, nullptr, nullptr),
        db);
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO list VALUES (?1)", -1, &insert, nullptr), db);
    for (std::size_t i = 1; i <= keys; ++i) {
        sqlite3_bind_int64(insert, 1, static_cast<int64_t>(i));
        check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_stmt* query = nullptr;
    check(sqlite3_prepare_v2(db, sql, -1, &query, nullptr), db);
    std::vector<int64_t> out;
    int rc;
    while ((rc = sqlite3_step(query)) == SQLITE_ROW)
        out.push_back(sqlite3_column_int64(query, 0));
    check(rc, db);
    sqlite3_finalize(query);
    check(sqlite3_exec(db, "DROP TABLE temp.list", nullptr, nullptr, nullptr), db);
    return out.size();
}

std::shared_ptr<ManagedObjectContext> freshContext(Fixture& f) {
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(f.coordinator);
    return context;
}

void BM_Exclude_Store(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    auto predicate = Predicate::notPredicate(Predicate::selfIn(idList(f.events, f.events.size() * 3 / 4)));
    for (auto _ : state)
        benchmark::DoNotOptimize(fetchIDs(*freshContext(f), predicate));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Exclude_HandWrittenSQLite(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            handQuery(f.raw, f.events.size() * 3 / 4,
                      "SELECT pk FROM events WHERE pk NOT IN (SELECT k FROM temp.list)"));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_AnyIn_Store(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    auto predicate = Predicate::anyIn("objectChanges", idList(f.changes, f.changes.size() / 10));
    for (auto _ : state)
        benchmark::DoNotOptimize(fetchIDs(*freshContext(f), predicate));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_AnyIn_HandWrittenSQLite(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            handQuery(f.raw, f.changes.size() / 10,
                      "SELECT e.pk FROM events e WHERE e.pk IN (SELECT c.event FROM changes c WHERE c.pk IN"
                      " (SELECT k FROM temp.list))"));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Exclude_DirtyContext_Store(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    auto context = freshContext(f);
    for (int i = 0; i < 1000; ++i)
        context->insertNewObjectForEntityForName("Event")->setValue(Value(int64_t{-i}), "order");
    auto predicate = Predicate::notPredicate(Predicate::selfIn(idList(f.events, f.events.size() * 3 / 4)));
    for (auto _ : state)
        benchmark::DoNotOptimize(fetchIDs(*context, predicate));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Exclude_Store)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Exclude_HandWrittenSQLite)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnyIn_Store)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnyIn_HandWrittenSQLite)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Exclude_DirtyContext_Store)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
