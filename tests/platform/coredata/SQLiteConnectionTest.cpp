// The SQLite connection layer under the store: the statements that begin and
// end transactions (prepared once per connection), what it reads of a
// database's tables from the parsed schema, and the connections a file's
// stores hand on to each other. Real files on disk.
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/detail/SQLiteDatabase.h"

namespace plat::coredata {
namespace {

using sqlite::Database;

class SQLiteConnectionTest : public testing::SQLiteFileTest {
  protected:
    std::unique_ptr<Database> openDatabase() {
        auto db = Database::open(path("plain.sqlite"), false, true, 1000);
        EXPECT_TRUE(db) << db.error()->description();
        return db ? std::move(*db) : nullptr;
    }
    static int64_t count(Database& db, const std::string& sql) {
        auto stmt = db.cached(sql);
        EXPECT_TRUE(stmt);
        sqlite::ResetGuard guard(**stmt);
        EXPECT_EQ((*stmt)->step(), sqlite::kRow);
        return (*stmt)->columnInt(0);
    }
};

// Each statement runs again and again after failures and after the
// connection's statement cache let its statements go; a refused one reports
// SQLite's reason and leaves the connection as it was.
TEST_F(SQLiteConnectionTest, TransactionsBeginAndEndAgainAfterRefusalsAndCacheClears) {
    using Control = Database::Control;
    auto db = openDatabase();
    ASSERT_TRUE(db);
    ASSERT_EQ(db->exec("CREATE TABLE t (v INTEGER)"), nullptr);
    int64_t kept = 0;
    for (int round = 0; round < 4; ++round) {
        ASSERT_EQ(db->control(round % 2 ? Control::Begin : Control::BeginImmediate), nullptr) << round;
        auto nested = db->control(Control::Begin);
        ASSERT_NE(nested, nullptr) << "a transaction within a transaction";
        EXPECT_NE(nested->localizedDescription().find("within a transaction"), std::string::npos)
            << nested->localizedDescription();
        ASSERT_EQ(db->exec("INSERT INTO t VALUES (" + std::to_string(round) + ")"), nullptr);
        if (round % 2) {
            ASSERT_EQ(db->control(Control::Rollback), nullptr);
        } else {
            ASSERT_EQ(db->control(Control::Commit), nullptr);
            ++kept;
        }
        EXPECT_EQ(count(*db, "SELECT count(*) FROM t"), kept) << round;
        // Nothing open: both ends are refused, and refused again.
        for (Control end : {Control::Commit, Control::Rollback, Control::Commit}) {
            auto refused = db->control(end);
            ASSERT_NE(refused, nullptr);
            EXPECT_NE(refused->localizedDescription().find("no transaction is active"), std::string::npos)
                << refused->localizedDescription();
        }
        db->clearCache();
    }
}

// A commit refused while another connection reads keeps the
// transaction open (as SQLite leaves it); it commits once the lock is gone.
TEST_F(SQLiteConnectionTest, ACommitRefusedByAReaderKeepsTheTransactionForALaterCommit) {
    using Control = Database::Control;
    auto db = openDatabase();
    ASSERT_TRUE(db);
    ASSERT_EQ(db->exec("CREATE TABLE t (v INTEGER); INSERT INTO t VALUES (1), (2)"), nullptr);
    // The file keeps its rollback journal: a reader's shared lock keeps a
    // writer from the exclusive lock its commit needs.
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(path("plain.sqlite").c_str(), &reader), SQLITE_OK);
    sqlite3_stmt* read = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(reader, "SELECT v FROM t", -1, &read, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(read), SQLITE_ROW);                           // holds a shared lock on the file
    auto quick = Database::open(path("plain.sqlite"), false, false, 0);  // no waiting for the lock
    ASSERT_TRUE(quick);
    ASSERT_EQ((*quick)->control(Control::BeginImmediate), nullptr);
    ASSERT_EQ((*quick)->exec("INSERT INTO t VALUES (3)"), nullptr);
    auto refused = (*quick)->control(Control::Commit);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ((*quick)->lastResultCode(), SQLITE_BUSY);
    sqlite3_finalize(read);
    sqlite3_close(reader);
    ASSERT_EQ((*quick)->control(Control::Commit), nullptr);
    EXPECT_EQ(count(*db, "SELECT count(*) FROM t"), 3);
}

TEST_F(SQLiteConnectionTest, TableShapesAreReadFromTheSchema) {
    using Shape = Database::TableShape;
    auto db = openDatabase();
    ASSERT_TRUE(db);
    ASSERT_EQ(db->exec("CREATE TABLE people (name TEXT, age INTEGER);"
                       " CREATE VIEW adults AS SELECT name, age FROM people WHERE age >= 18;"
                       " CREATE INDEX people_age ON people (age)"),
              nullptr);
    auto shape = [&](const char* table, std::initializer_list<const char*> columns) {
        auto s = db->tableShape(table, columns);
        EXPECT_TRUE(s) << table;
        return s ? *s : Shape::Missing;
    };
    EXPECT_EQ(shape("people", {"name", "age"}), Shape::HasColumns);
    EXPECT_EQ(shape("people", {"name", "height"}), Shape::OtherColumns);
    EXPECT_EQ(shape("adults", {"name"}), Shape::Missing) << "a view is no table";
    EXPECT_EQ(shape("people_age", {}), Shape::Missing) << "nor is an index";
    EXPECT_EQ(shape("nobody", {}), Shape::Missing);
    // A table made by another connection after this one read the schema,
    // seen once a statement has run here.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path("plain.sqlite").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE later (x)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_EQ(count(*db, "SELECT count(*) FROM people"), 0);
    EXPECT_EQ(shape("later", {"x"}), Shape::HasColumns);
}

// Files whose tables pass for a store's by name but not by kind or columns
// are refused as another application's.
TEST_F(SQLiteConnectionTest, LookalikeTablesAreRefused) {
    const std::string lookalikes[] = {
        // views of our names with our columns
        std::string("CREATE TABLE m (Z_KEY, Z_VALUE); CREATE TABLE e (Z_ENT, Z_NAME, Z_MAX);") +
            " CREATE VIEW Z_METADATA AS SELECT * FROM m; CREATE VIEW Z_ENTITIES AS SELECT * FROM e",
        // the metadata table as ours, the entities without their last column
        "CREATE TABLE Z_METADATA (Z_KEY TEXT PRIMARY KEY, Z_VALUE); CREATE TABLE Z_ENTITIES (Z_ENT, Z_NAME)",
        // the metadata table only
        "CREATE TABLE Z_METADATA (Z_KEY TEXT PRIMARY KEY, Z_VALUE)",
    };
    int n = 0;
    for (const std::string& sql : lookalikes) {
        const std::string name = "lookalike" + std::to_string(n++) + ".sqlite";
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path(name).c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
        auto error = openError(testing::makeTestModel(), {}, name);
        ASSERT_NE(error, nullptr) << sql;
        EXPECT_EQ(error->code(), FileReadCorruptFileError) << sql << ": " << error->description();
    }
}

// Stores of one file opened and closed in turn beside one that stays open
// (a merge's coordinator beside the application's).
class SharedConnectionTest : public SQLiteConnectionTest {
  protected:
    struct Opened {
        std::shared_ptr<PersistentStoreCoordinator> coordinator;
        std::shared_ptr<ManagedObjectContext> context;
    };
    Opened openStore(const std::string& name = "store.sqlite") {
        return openStore(testing::makeTestModel(), name);
    }
    Opened openStore(std::shared_ptr<ManagedObjectModel> model, const std::string& name = "store.sqlite") {
        Opened opened;
        opened.coordinator = open(std::move(model), {}, name);
        opened.context = contextOn(opened.coordinator);
        return opened;
    }
    static std::shared_ptr<PersistentStore> storeOf(const Opened& opened) {
        auto stores = opened.coordinator->persistentStores();
        return stores.empty() ? nullptr : stores.front();
    }
    static ManagedObjectPtr insertTask(const Opened& opened, const std::string& title) {
        auto task = opened.context->insertNewObjectForEntityForName("Task");
        EXPECT_NE(task, nullptr);
        task->setValue(Value(title), "title");
        auto error = opened.context->save();
        EXPECT_EQ(error, nullptr) << error->description();
        return task;
    }
    // Runs SQL on a connection of its own, as another program would.
    void runElsewhere(const char* sql) {
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &other), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(other, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(other);
        sqlite3_close(other);
    }
    int64_t indexCount() {
        auto db = Database::open(path(), true, false, 1000);
        EXPECT_TRUE(db);
        return db ? count(**db, "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'Z%'")
                  : -1;
    }
    static void saveTask(const Opened& opened, const std::string& title) {
        auto task = opened.context->insertNewObjectForEntityForName("Task");
        ASSERT_NE(task, nullptr);
        task->setValue(Value(title), "title");
        auto error = opened.context->save();
        ASSERT_EQ(error, nullptr) << error->description();
    }
    static std::vector<std::string> titles(const Opened& opened) {
        auto request = testing::makeRequest("Task", nullptr, {SortDescriptor("title", true)});
        std::vector<std::string> out;
        for (const auto& task : fetchAll(opened.context, request))
            out.push_back(task->valueForKey("title").stringValue());
        return out;
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }
};

// Each store opened beside the one that stays takes the connection the one
// before left and sees every save; the last store's close closes the spare
// connection too, so the log is written back into the file and removed as
// when every store had its own connection.
TEST_F(SharedConnectionTest, StoresOpenedInTurnShareAConnectionUntilTheLastCloses) {
    const std::size_t sparesBefore = sqlite::spareConnectionCount();
    std::vector<std::string> expected;
    {
        Opened application = openStore();
        saveTask(application, "a");
        expected.push_back("a");
        for (int round = 0; round < 4; ++round) {
            {
                Opened merge = openStore();
                EXPECT_EQ(sqlite::spareConnectionCount(), sparesBefore) << "a spare taken, round " << round;
                EXPECT_EQ(titles(merge), expected) << round;
                const std::string title = "m" + std::to_string(round);
                saveTask(merge, title);
                expected.push_back(title);
            }
            EXPECT_EQ(sqlite::spareConnectionCount(), sparesBefore + 1) << round;
            EXPECT_EQ(titles(application), expected) << round;
            EXPECT_TRUE(exists("store.sqlite-wal"));
        }
    }
    EXPECT_EQ(sqlite::spareConnectionCount(), sparesBefore);
    EXPECT_FALSE(exists("store.sqlite-wal")) << "the last close writes the log back";
    // Everything is in the main file: a copy of it alone holds every save.
    std::filesystem::copy_file(path("store.sqlite"), path("copy.sqlite"));
    EXPECT_EQ(titles(openStore("copy.sqlite")), expected);
}

// A spare connection is of the file it opened, not of its path: a new store
// made at the path of a deleted one starts empty, and the old file's stores
// still see their own.
TEST_F(SharedConnectionTest, ANewFileAtAStoresPathGetsItsOwnConnection) {
    Opened application = openStore();
    saveTask(application, "old");
    openStore();  // closed at once: its connection becomes a spare
    const std::size_t spares = sqlite::spareConnectionCount();
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path(std::string("store.sqlite") + suffix));
    {
        Opened fresh = openStore();
        EXPECT_EQ(sqlite::spareConnectionCount(), spares) << "the old file's spare stays";
        EXPECT_TRUE(titles(fresh).empty());
        saveTask(fresh, "new");
        EXPECT_EQ(titles(fresh), std::vector<std::string>{"new"});
    }
    EXPECT_EQ(titles(application), std::vector<std::string>{"old"});
}

// A store of the same model that takes a spare connection whose file's
// schema has not changed adopts what the store before derived: it opens in a
// read transaction (so it does not wait for another program's write lock)
// and still reads the metadata and rows written meanwhile by others.
TEST_F(SharedConnectionTest, AReopenOfAnUnchangedSchemaTakesNoWriteLockAndReadsMetadataAfresh) {
    auto model = testing::makeTestModel();
    Opened application = openStore(model);
    saveTask(application, "a");
    openStore(model);  // closed at once: its connection becomes a spare
    Dictionary metadata = application.coordinator->metadataForPersistentStore(storeOf(application));
    metadata.set("note", Value("written meanwhile"));
    ASSERT_EQ(application.coordinator->setMetadata(metadata, storeOf(application)), nullptr);
    saveTask(application, "b");

    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    for (int round = 0; round < 2; ++round) {
        // A store that wrote at its open would wait out the busy time-out
        // and fail here.
        Opened merge = openStore(model);
        ASSERT_NE(storeOf(merge), nullptr) << round;
        EXPECT_EQ(titles(merge), (std::vector<std::string>{"a", "b"})) << round;
        const Dictionary read = merge.coordinator->metadataForPersistentStore(storeOf(merge));
        const Value* note = read.find("note");
        ASSERT_NE(note, nullptr) << round;
        EXPECT_EQ(note->stringValue(), "written meanwhile");
        EXPECT_EQ(storeOf(merge)->identifier(), storeOf(application)->identifier());
    }
    ASSERT_EQ(sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(writer);
    Opened merge = openStore(model);
    saveTask(merge, "c");
    EXPECT_EQ(titles(application), (std::vector<std::string>{"a", "b", "c"}));
}

// Indexes another program dropped while a connection was spare change the
// schema: the next store checks the file again and makes them anew.
TEST_F(SharedConnectionTest, AReopenAfterTheSchemaChangedMakesMissingIndexesAgain) {
    auto model = testing::makeTestModel();
    Opened application = openStore(model);
    saveTask(application, "a");
    const int64_t indexes = indexCount();
    ASSERT_GT(indexes, 0);
    openStore(model);
    EXPECT_EQ(indexCount(), indexes);
    runElsewhere("DROP INDEX \"Z_Item_ZUUID_INDEX\"");
    ASSERT_EQ(indexCount(), indexes - 1);
    {
        Opened merge = openStore(model);
        EXPECT_EQ(titles(merge), std::vector<std::string>{"a"});
    }
    EXPECT_EQ(indexCount(), indexes);
}

// Keys a store reserved but did not hand out go on with its connection to
// the next store, which hands them out only while nobody has reserved keys
// since: keys still follow the order objects were made in.
TEST_F(SharedConnectionTest, KeysLeftWithAConnectionFollowTheOrderObjectsWereMadeIn) {
    auto model = testing::makeTestModel();
    Opened application = openStore(model);
    std::vector<int64_t> keys;
    auto record = [&](const ManagedObjectPtr& task) { keys.push_back(task->objectID()->primaryKey()); };
    {
        Opened merge = openStore(model);
        record(insertTask(merge, "m1"));
    }
    {
        Opened merge = openStore(model);
        record(insertTask(merge, "m2"));  // from the block the store before reserved
    }
    record(insertTask(application, "a1"));  // a block of its own, after that one
    {
        Opened merge = openStore(model);
        record(insertTask(merge, "m3"));  // the carried block was passed: a new one
        record(insertTask(merge, "m4"));
    }
    record(insertTask(application, "a2"));
    ASSERT_EQ(keys.size(), 6u);
    for (std::size_t i = 1; i < keys.size(); ++i)
        EXPECT_LT(keys[i - 1], keys[i]) << i;
    EXPECT_EQ(keys[1], keys[0] + 1) << "the carried block serves the next store";
    EXPECT_EQ(titles(application), (std::vector<std::string>{"a1", "a2", "m1", "m2", "m3", "m4"}));
}

// Tables another program changed while a connection was spare are read
// again before the store that takes it checks them.
TEST_F(SharedConnectionTest, ASpareConnectionSeesTablesChangedMeanwhile) {
    Opened application = openStore();
    saveTask(application, "a");
    openStore();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other,
                           "ALTER TABLE Z_ENTITIES RENAME TO Z_OLD_ENTITIES;"
                           " CREATE TABLE Z_ENTITIES (Z_ENT, Z_NAME)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    auto refused = openError(testing::makeTestModel());
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), FileReadCorruptFileError) << refused->description();
    EXPECT_NE(refused->description().find("not a store's"), std::string::npos) << refused->description();
    ASSERT_EQ(sqlite3_exec(other, "DROP TABLE Z_ENTITIES; ALTER TABLE Z_OLD_ENTITIES RENAME TO Z_ENTITIES",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    Opened again = openStore();
    EXPECT_EQ(titles(again), std::vector<std::string>{"a"});
}

// A connection is lent to the file's next store only when its store had
// configured it and it is outside every transaction; one given back inside a
// transaction is closed, which rolls the transaction back.
TEST_F(SharedConnectionTest, OnlyConfiguredConnectionsOutsideTransactionsAreLent) {
    const std::string file = path("plain.sqlite");
    auto connect = [&](bool& reused) {
        auto db = sqlite::connectForWriting(file, 1000, reused);
        EXPECT_TRUE(db) << db.error()->description();
        return db ? std::move(*db) : sqlite::StoreConnection();
    };
    bool reused = true;
    auto kept = connect(reused);
    ASSERT_TRUE(kept);
    EXPECT_FALSE(reused);
    ASSERT_EQ(kept->exec("PRAGMA journal_mode=WAL; CREATE TABLE t (v INTEGER)"), nullptr);
    const std::size_t spares = sqlite::spareConnectionCount();

    connect(reused).reset();  // never configured
    EXPECT_EQ(sqlite::spareConnectionCount(), spares);

    {
        auto open = connect(reused);
        EXPECT_FALSE(reused);
        open->setLendable();
        ASSERT_EQ(open->exec("BEGIN IMMEDIATE; INSERT INTO t VALUES (1)"), nullptr);
    }
    EXPECT_EQ(sqlite::spareConnectionCount(), spares);
    EXPECT_EQ(count(*kept, "SELECT count(*) FROM t"), 0) << "rolled back";

    ASSERT_EQ(kept->exec("INSERT INTO t VALUES (2)"), nullptr);
    {
        auto lent = connect(reused);
        EXPECT_FALSE(reused);
        lent->setLendable();
        auto stmt = lent->cached("SELECT v FROM t");
        ASSERT_TRUE(stmt);
        ASSERT_EQ((*stmt)->step(), sqlite::kRow);  // left running: it holds a read snapshot
    }
    EXPECT_EQ(sqlite::spareConnectionCount(), spares + 1);
    // The spare holds no snapshot: the whole log can be written back.
    EXPECT_EQ(count(*kept, "PRAGMA wal_checkpoint(TRUNCATE)"), 0) << "held up by a reader";
    auto again = connect(reused);
    EXPECT_TRUE(reused);
    EXPECT_EQ(count(*again, "SELECT count(*) FROM t"), 1);
    again.reset();
    kept.reset();
    EXPECT_EQ(sqlite::spareConnectionCount(), spares);
}

// Threads opening, saving in and closing stores of one file at once hand
// connections on without losing a save.
TEST_F(SharedConnectionTest, StoresOpenedAndClosedOnSeveralThreadsKeepEverySave) {
    Opened application = openStore();
    constexpr int kThreads = 3;
    constexpr int kRounds = 6;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                auto coordinator = PersistentStoreCoordinator::create(testing::makeTestModel());
                auto store = coordinator->addPersistentStore(SQLiteStoreType, "", url(), {});
                ASSERT_TRUE(store) << store.error()->description();
                saveTask({coordinator, contextOn(coordinator)},
                         "t" + std::to_string(t) + "r" + std::to_string(round));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(titles(application).size(), static_cast<std::size_t>(kThreads * kRounds));
}

}  // namespace
}  // namespace plat::coredata
