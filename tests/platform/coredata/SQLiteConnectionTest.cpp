// The SQLite connection layer under the store: the statements that begin and
// end transactions (prepared once per connection), and what it reads of a
// database's tables from the parsed schema. Real files on disk.
#include <sqlite3.h>

#include <string>

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

}  // namespace
}  // namespace plat::coredata
