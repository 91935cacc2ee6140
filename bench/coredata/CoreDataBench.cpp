// The SQLite store next to hand-written SQLite C-API code doing the same work
// in one transaction: inserting and saving 100,000 and 1,000,000 objects of a
// six-attribute entity (teardown of the context and the connection counted),
// fetching by an indexed attribute, and fetching by a key path through a
// to-one relationship. The last benchmarks report the heap held by resident
// objects against the same rows read by hand.
//
// Counters: "ratio" (store time over hand-written time, both measured in the
// same iteration, so machine load affects both alike), "cpu_ratio" (the same
// with the process's CPU time, which leaves out waiting for the disk's
// flushes and for a loaded machine's cores), "allocs_per_object"
// (operator new calls per object, SQLite's own allocations not counted),
// "bytes_per_object" and "resident_MB".
//
// Both sides use the same file settings (write-ahead log, synchronous=FULL)
// and the same table layout, so the difference is the object store's cost.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/dispatch/MainLoop.h"

// Counts operator new calls of the whole program. (GCC takes the free() in
// the replaced operator delete, once inlined, for a mismatched pair.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
std::atomic<std::size_t> gAllocations{0};

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// A temporary folder removed with its contents at the end of its scope.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "coredata-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

using namespace plat;
using namespace plat::coredata;

constexpr int kObjects = 100000;  // rows of the fetch fixture
constexpr int kOwners = 1000;
constexpr int kCategories = 100;
constexpr int kQueriesPerIteration = 10;

std::shared_ptr<ManagedObjectModel> benchModel() {
    auto model = ManagedObjectModel::create();
    auto& owner = model->addEntity("Owner");
    owner.addAttribute("name", AttributeType::String).indexed(true);
    owner.addRelationship("records", "Record").toMany().inverse("owner");
    auto& record = model->addEntity("Record");
    record.addAttribute("serial", AttributeType::Integer64).indexed(true);
    record.addAttribute("name", AttributeType::String);
    record.addAttribute("score", AttributeType::Double);
    record.addAttribute("created", AttributeType::Date);
    record.addAttribute("flag", AttributeType::Boolean);
    record.addAttribute("category", AttributeType::Integer32).indexed(true);
    record.addRelationship("owner", "Owner").inverse("records");
    return model;
}

std::string recordName(int i) {
    return "record-" + std::to_string(i);
}

std::string ownerName(int i) {
    return "owner-" + std::to_string(i);
}

struct Stack {
    std::shared_ptr<PersistentStoreCoordinator> coordinator;
    std::shared_ptr<ManagedObjectContext> context;
};

Stack openStack(const std::string& path) {
    Stack s;
    s.coordinator = PersistentStoreCoordinator::create(benchModel());
    auto store = s.coordinator->addPersistentStore(SQLiteStoreType, "", URL::fileURLWithPath(path));
    if (!store) {
        std::fprintf(stderr, "%s\n", store.error()->description().c_str());
        std::abort();
    }
    s.context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    s.context->setPersistentStoreCoordinator(s.coordinator);
    return s;
}

// Inserts the records (and, with owners, 1000 owners they point at) and saves.
void insertWithStore(ManagedObjectContext& context, bool withOwners, int count = kObjects) {
    std::vector<ManagedObjectPtr> owners;
    if (withOwners) {
        for (int i = 0; i < kOwners; ++i) {
            owners.push_back(context.insertNewObjectForEntityForName("Owner"));
            owners.back()->setValue(Value(ownerName(i)), "name");
        }
    }
    for (int i = 0; i < count; ++i) {
        auto r = context.insertNewObjectForEntityForName("Record");
        r->setValue(Value(int64_t{i}), "serial");
        r->setValue(Value(recordName(i)), "name");
        r->setValue(Value(i * 0.5), "score");
        r->setValue(Value(Date(1000.0 + i)), "created");
        r->setValue(Value(i % 2 == 0), "flag");
        r->setValue(Value(i % kCategories), "category");
        if (withOwners)
            r->setObject(owners[static_cast<std::size_t>(i % kOwners)], "owner");
    }
    if (auto error = context.save()) {
        std::fprintf(stderr, "%s\n", error->description().c_str());
        std::abort();
    }
}

// --- Hand-written SQLite ------------------------------------------------------

void check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::abort();
    }
}

sqlite3* openRaw(const std::string& path) {
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db), db);
    check(sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr),
          db);
    check(sqlite3_exec(db,
                       "CREATE TABLE IF NOT EXISTS owners (pk INTEGER PRIMARY KEY, name TEXT);"
                       "CREATE INDEX IF NOT EXISTS owners_name ON owners (name);"
                       "CREATE TABLE IF NOT EXISTS records (pk INTEGER PRIMARY KEY, ent INTEGER, opt INTEGER,"
                       " serial INTEGER, name TEXT, score REAL, created REAL, flag INTEGER, category INTEGER,"
                       " owner INTEGER);"
                       "CREATE INDEX IF NOT EXISTS records_serial ON records (serial);"
                       "CREATE INDEX IF NOT EXISTS records_category ON records (category);"
                       "CREATE INDEX IF NOT EXISTS records_owner ON records (owner);",
                       nullptr, nullptr, nullptr),
          db);
    return db;
}

void insertRaw(sqlite3* db, bool withOwners, int count = kObjects) {
    check(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), db);
    sqlite3_stmt* owner = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO owners (pk, name) VALUES (?1, ?2)", -1, &owner, nullptr), db);
    if (withOwners) {
        for (int i = 0; i < kOwners; ++i) {
            std::string name = ownerName(i);
            sqlite3_bind_int64(owner, 1, i + 1);
            sqlite3_bind_text(owner, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
            check(sqlite3_step(owner), db);
            sqlite3_reset(owner);
        }
    }
    sqlite3_finalize(owner);
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(
              db,
              "INSERT INTO records (pk, ent, opt, serial, name, score, created, flag, category, owner)"
              " VALUES (?1, 1, 1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
              -1, &insert, nullptr),
          db);
    for (int i = 0; i < count; ++i) {
        std::string name = recordName(i);
        sqlite3_bind_int64(insert, 1, i + 1);
        sqlite3_bind_int64(insert, 2, i);
        sqlite3_bind_text(insert, 3, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 4, i * 0.5);
        sqlite3_bind_double(insert, 5, 1000.0 + i);
        sqlite3_bind_int(insert, 6, i % 2 == 0);
        sqlite3_bind_int(insert, 7, i % kCategories);
        if (withOwners)
            sqlite3_bind_int64(insert, 8, i % kOwners + 1);
        else
            sqlite3_bind_null(insert, 8);
        check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
}

struct RawRecord {
    int64_t pk, serial;
    std::string name;
    double score, created;
    bool flag;
    int category;
    int64_t owner;
};

std::vector<RawRecord> queryRaw(sqlite3* db, sqlite3_stmt* stmt) {
    std::vector<RawRecord> out;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        RawRecord r;
        r.pk = sqlite3_column_int64(stmt, 0);
        r.serial = sqlite3_column_int64(stmt, 1);
        r.name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
        r.score = sqlite3_column_double(stmt, 3);
        r.created = sqlite3_column_double(stmt, 4);
        r.flag = sqlite3_column_int(stmt, 5) != 0;
        r.category = sqlite3_column_int(stmt, 6);
        r.owner = sqlite3_column_int64(stmt, 7);
        out.push_back(std::move(r));
    }
    check(rc, db);
    sqlite3_reset(stmt);
    return out;
}

// --- Benchmarks ---------------------------------------------------------------

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds the whole process has used.
double processCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Spent {
    double seconds = 0, cpuSeconds = 0;
};

// Hand-written insert of count records into a new file, closing included;
// the time it took.
Spent timeRawInsert(const std::string& path, int count) {
    sqlite3* db = openRaw(path);
    const double cpuStart = processCPUSeconds();
    auto start = std::chrono::steady_clock::now();
    insertRaw(db, false, count);
    sqlite3_close(db);
    return {secondsSince(start), processCPUSeconds() - cpuStart};
}

// Each iteration inserts and saves state.range(0) records into a new store
// and tears the context and the coordinator down (timed), then does the same
// by hand into another new file (not timed; it gives the ratio).
void BM_InsertAndSave_Store(benchmark::State& state) {
    plat::dispatch::MainLoop::bindToCurrentThread();
    const int count = static_cast<int>(state.range(0));
    Spent store, raw;
    std::size_t allocations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        TempDir dir;
        auto stack = std::make_unique<Stack>(openStack((dir / "bench.sqlite").string()));
        const std::size_t allocationsBefore = gAllocations.load();
        const double cpuStart = processCPUSeconds();
        auto start = std::chrono::steady_clock::now();
        state.ResumeTiming();
        insertWithStore(*stack->context, false, count);
        stack.reset();
        state.PauseTiming();
        store.seconds += secondsSince(start);
        store.cpuSeconds += processCPUSeconds() - cpuStart;
        allocations += gAllocations.load() - allocationsBefore;
        const Spent byHand = timeRawInsert((dir / "raw.sqlite").string(), count);
        raw.seconds += byHand.seconds;
        raw.cpuSeconds += byHand.cpuSeconds;
        state.ResumeTiming();
    }
    const double objects = static_cast<double>(state.iterations()) * count;
    state.counters["ratio"] = store.seconds / raw.seconds;
    state.counters["cpu_ratio"] = store.cpuSeconds / raw.cpuSeconds;
    state.counters["allocs_per_object"] = static_cast<double>(allocations) / objects;
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_InsertAndSave_Store)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InsertAndSave_Store)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InsertAndSave_HandWrittenSQLite(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        TempDir dir;
        sqlite3* db = openRaw((dir / "bench.sqlite").string());
        state.ResumeTiming();
        insertRaw(db, false, count);
        sqlite3_close(db);
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_InsertAndSave_HandWrittenSQLite)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InsertAndSave_HandWrittenSQLite)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A filled store file shared by the fetch benchmarks of one kind.
struct Fixture {
    TempDir dir;
    std::string storePath() const { return (dir / "store.sqlite").string(); }
    std::string rawPath() const { return (dir / "raw.sqlite").string(); }
    Fixture() {
        plat::dispatch::MainLoop::bindToCurrentThread();
        {
            Stack s = openStack(storePath());
            insertWithStore(*s.context, true);
        }
        sqlite3* db = openRaw(rawPath());
        insertRaw(db, true);
        sqlite3_close(db);
    }
};

Fixture& fixture() {
    static Fixture* f = new Fixture;
    return *f;
}

void fetchWithStore(benchmark::State& state, const std::function<PredicatePtr(int)>& predicate,
                    std::size_t expected) {
    Stack s = openStack(fixture().storePath());
    int n = 0;
    std::size_t rows = 0;
    for (auto _ : state) {
        // A fresh context each time, so every object is made from its row.
        auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(s.coordinator);
        for (int q = 0; q < kQueriesPerIteration; ++q) {
            FetchRequest request("Record");
            request.predicate = predicate(n++);
            auto result = context->executeFetchRequest(request);
            if (!result || result->size() != expected)
                state.SkipWithError("wrong result");
            rows += result ? result->size() : 0;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(rows));
}

void fetchRaw(benchmark::State& state, const char* sql, const std::function<void(sqlite3_stmt*, int)>& bind,
              std::size_t expected) {
    sqlite3* db = openRaw(fixture().rawPath());
    sqlite3_stmt* stmt = nullptr;
    check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db);
    int n = 0;
    std::size_t rows = 0;
    for (auto _ : state) {
        for (int q = 0; q < kQueriesPerIteration; ++q) {
            bind(stmt, n++);
            auto result = queryRaw(db, stmt);
            if (result.size() != expected)
                state.SkipWithError("wrong result");
            rows += result.size();
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    state.SetItemsProcessed(static_cast<int64_t>(rows));
}

constexpr const char* kRecordColumns =
    "r.pk, r.serial, r.name, r.score, r.created, r.flag, r.category, r.owner";

void BM_FetchByIndexedAttribute_Store(benchmark::State& state) {
    fetchWithStore(
        state, [](int n) { return Predicate::equal("category", Value(n % kCategories)); },
        kObjects / kCategories);
}
BENCHMARK(BM_FetchByIndexedAttribute_Store)->Unit(benchmark::kMillisecond);

void BM_FetchByIndexedAttribute_HandWrittenSQLite(benchmark::State& state) {
    static const std::string sql =
        std::string("SELECT ") + kRecordColumns + " FROM records r WHERE r.category = ?1";
    fetchRaw(
        state, sql.c_str(), [](sqlite3_stmt* s, int n) { sqlite3_bind_int(s, 1, n % kCategories); },
        kObjects / kCategories);
}
BENCHMARK(BM_FetchByIndexedAttribute_HandWrittenSQLite)->Unit(benchmark::kMillisecond);

void BM_FetchThroughToOne_Store(benchmark::State& state) {
    fetchWithStore(
        state, [](int n) { return Predicate::equal("owner.name", Value(ownerName(n % kOwners))); },
        kObjects / kOwners);
}
BENCHMARK(BM_FetchThroughToOne_Store)->Unit(benchmark::kMillisecond);

void BM_FetchThroughToOne_HandWrittenSQLite(benchmark::State& state) {
    static const std::string sql = std::string("SELECT ") + kRecordColumns +
                                   " FROM records r LEFT JOIN owners o ON o.pk = r.owner WHERE o.name = ?1";
    fetchRaw(
        state, sql.c_str(),
        [](sqlite3_stmt* s, int n) {
            std::string name = ownerName(n % kOwners);
            sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        },
        kObjects / kOwners);
}
BENCHMARK(BM_FetchThroughToOne_HandWrittenSQLite)->Unit(benchmark::kMillisecond);

// Bytes the allocator has handed out (resident set size would miss memory
// reused from earlier benchmarks).
double residentBytes() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// A store file and a hand-written file of count records without owners,
// made once per size.
struct ResidentFixture {
    TempDir dir;
    std::string storePath() const { return (dir / "store.sqlite").string(); }
    std::string rawPath() const { return (dir / "raw.sqlite").string(); }
    explicit ResidentFixture(int count) {
        plat::dispatch::MainLoop::bindToCurrentThread();
        {
            Stack s = openStack(storePath());
            insertWithStore(*s.context, false, count);
        }
        sqlite3* db = openRaw(rawPath());
        insertRaw(db, false, count);
        sqlite3_close(db);
    }
};

ResidentFixture& residentFixture(int count) {
    static std::map<int, std::unique_ptr<ResidentFixture>> fixtures;
    auto& f = fixtures[count];
    if (!f)
        f = std::make_unique<ResidentFixture>(count);
    return *f;
}

void reportResident(benchmark::State& state, double grown, int count) {
    state.counters["resident_MB"] = grown / (1024.0 * 1024.0);
    state.counters["bytes_per_object"] = grown / count;
}

// Every record fetched into a fresh context and held; timed with the
// context's teardown.
void BM_ResidentObjects_Store(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Stack s = openStack(residentFixture(count).storePath());
    double grown = 0;
    for (auto _ : state) {
        auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(s.coordinator);
        const double before = residentBytes();
        auto all = context->executeFetchRequest(FetchRequest("Record"));
        if (!all || all->size() != static_cast<std::size_t>(count))
            state.SkipWithError("wrong result");
        grown = std::max(grown, residentBytes() - before);
    }
    reportResident(state, grown, count);
}
BENCHMARK(BM_ResidentObjects_Store)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

// The same rows read by hand into plain structures.
void BM_ResidentObjects_HandWrittenSQLite(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    sqlite3* db = openRaw(residentFixture(count).rawPath());
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = std::string("SELECT ") + kRecordColumns + " FROM records r";
    check(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), db);
    double grown = 0;
    for (auto _ : state) {
        const double before = residentBytes();
        auto all = queryRaw(db, stmt);
        if (all.size() != static_cast<std::size_t>(count))
            state.SkipWithError("wrong result");
        grown = std::max(grown, residentBytes() - before);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    reportResident(state, grown, count);
}
BENCHMARK(BM_ResidentObjects_HandWrittenSQLite)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
