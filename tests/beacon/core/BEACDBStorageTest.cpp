#include "beacon/core/BEACDBStorage.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "BeaconTestSupport.h"

namespace {

BEACDBSchema testSchema() {
    return {
        {"items",
         {{"id", {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}}, {"name", {"TEXT"}}, {"size", {"INTEGER"}}}}};
}

class RecordingStorage : public BEACDBStorage {
  public:
    RecordingStorage(uint64_t version, const std::string& file, int migrationResult = 0)
        : BEACDBStorage(testSchema(), version, file, DeferInitialization{}),
          migrationResult(migrationResult) {
        initialize();
    }
    int customized = 0;
    std::vector<uint64_t> migratedFrom;
    const int migrationResult;

  protected:
    void customizeDatabase(BEACDBConnection&) override { ++customized; }
    int migrateDatabase(BEACDBConnection&, uint64_t from) override {
        migratedFrom.push_back(from);
        return migrationResult;
    }
};

int64_t pragma(const std::string& path, const std::string& name) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, ("PRAGMA " + name).c_str(), -1, &statement, nullptr);
    int64_t value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

TEST(BEACDBStorageTest, CreatesVersionsAndMigratesThroughTheHooks) {
    beactest::CapturingLog log;
    beactest::SandboxedSDK sdk;
    std::string path;
    {
        RecordingStorage storage(3, "db.sqlite");
        path = storage.dbFilePath();
        EXPECT_EQ(storage.customized, 1);
        EXPECT_TRUE(storage.migratedFrom.empty());
        EXPECT_EQ(storage.maxSizeInBytes(), 10485760);
        EXPECT_GT(storage.pageSize(), 0);
    }
    EXPECT_EQ(pragma(path, "user_version"), 3);
    EXPECT_EQ(pragma(path, "auto_vacuum"), 1);
    EXPECT_EQ(log.count("Created \"db.sqlite\" database with 3 version."), 1u);
    {
        RecordingStorage same(3, "db.sqlite");
        EXPECT_EQ(same.customized, 0);
        EXPECT_TRUE(same.migratedFrom.empty());
    }
    {
        RecordingStorage newer(5, "db.sqlite");
        EXPECT_EQ(newer.migratedFrom, std::vector<uint64_t>{3});
    }
    EXPECT_EQ(pragma(path, "user_version"), 5);
    {
        RecordingStorage older(4, "db.sqlite");  // a higher stored version is lowered, no hook
        EXPECT_TRUE(older.migratedFrom.empty());
    }
    EXPECT_EQ(pragma(path, "user_version"), 4);

    // A failed migration fails the configuration and keeps the old version,
    // so that the next configuration migrates again (before, the new version
    // was recorded over tables of the old layout).
    {
        RecordingStorage failing(6, "db.sqlite", BEACSQLiteError);
        EXPECT_EQ(failing.migratedFrom, std::vector<uint64_t>{4});
        EXPECT_EQ(failing.pageSize(), 0);
        EXPECT_NE(failing.executeNonSelectionQuery("INSERT INTO items (name) VALUES ('x')"), 0);
    }
    EXPECT_EQ(log.count("Failed to migrate \"db.sqlite\" database, result=1."), 1u);
    EXPECT_EQ(pragma(path, "user_version"), 4);
    {
        RecordingStorage again(6, "db.sqlite");
        EXPECT_EQ(again.migratedFrom, std::vector<uint64_t>{4});
    }
    EXPECT_EQ(pragma(path, "user_version"), 6);
}

TEST(BEACDBStorageTest, BindsValuesAndReadsSixtyFourBitIntegers) {
    beactest::SandboxedSDK sdk;
    BEACDBStorage storage(testSchema(), 1, "db.sqlite");
    BEACStorageBindableArray values;
    values.addString("it's; DROP TABLE items; --");
    values.addNumber(int64_t(1) << 40);
    ASSERT_EQ(
        storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\", \"size\") VALUES (?, ?)", &values),
        0);
    BEACStorageBindableArray nulls;
    nulls.addString(std::nullopt);
    nulls.addNumber(-5);
    ASSERT_EQ(
        storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\", \"size\") VALUES (?, ?)", &nulls),
        0);
    auto rows = storage.executeSelectionQuery("SELECT * FROM \"items\" ORDER BY \"id\"");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], plat::Value("it's; DROP TABLE items; --"));
    EXPECT_EQ(rows[0][2], plat::Value(int64_t(1) << 40));
    EXPECT_TRUE(rows[1][1].isNull());
    EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt), 2u);
    BEACStorageBindableArray condition;
    condition.addNumber(0);
    EXPECT_EQ(storage.countEntriesForTable("items", "\"size\" < ?", &condition), 1u);
    EXPECT_TRUE(storage.createTable("other", {{"a", {"TEXT"}}}));
    EXPECT_TRUE(storage.createTable("other", {{"a", {"TEXT"}}}));
    EXPECT_TRUE(storage.dropTable("other"));
    EXPECT_TRUE(storage.dropTable("other"));
    EXPECT_EQ(BEACDBStorage::columnsQueryFromColumnsSchema(testSchema()[0].second),
              "\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"name\" TEXT, \"size\" INTEGER");
}

TEST(BEACDBStorageTest, MaximumSizeRoundsToPagesAndNeverDropsData) {
    beactest::CapturingLog log;
    beactest::SandboxedSDK sdk;
    BEACDBStorage storage(testSchema(), 1, "db.sqlite");
    ASSERT_EQ(storage.pageSize(), 4096);
    bool accepted = false;
    storage.setMaxStorageSize(40000, [&](bool ok) { accepted = ok; });
    EXPECT_TRUE(accepted);
    EXPECT_EQ(storage.maxSizeInBytes(), 40960);
    EXPECT_EQ(log.count("Changed maximum database size to 40960 bytes (next multiple of 4KiB)."), 1u);
    storage.setMaxStorageSize(40960, [&](bool ok) { accepted = ok; });
    EXPECT_EQ(log.count("Changed maximum database size to 40960 bytes."), 1u);

    BEACStorageBindableArray big;
    big.addString(std::string(3000, 'x'));
    big.addNumber(1);
    int result = 0;
    while ((result = storage.executeNonSelectionQuery(
                "INSERT INTO \"items\" (\"name\", \"size\") VALUES (?, ?)", &big)) == 0) {
    }
    EXPECT_EQ(result, BEACSQLiteFull);
    storage.setMaxStorageSize(8192, [&](bool ok) { accepted = ok; });
    EXPECT_FALSE(accepted);
    EXPECT_EQ(storage.maxSizeInBytes(), 40960);
    EXPECT_EQ(
        log.count(
            "Cannot change database size to 8192 bytes as it would cause a loss of data. Maximum database "
            "size will not be changed."),
        1u);
}

TEST(BEACDBStorageTest, DamagedFileIsRecreatedTogetherWithItsJournalAndWAL) {
    beactest::CapturingLog log;
    beactest::SandboxedSDK sdk;
    std::string path;
    {
        BEACDBStorage storage(testSchema(), 1, "db.sqlite");
        path = storage.dbFilePath();
    }
    std::ofstream(path, std::ios::trunc) << std::string(8192, 'Z');
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        std::ofstream(path + suffix) << "stale";
    BEACDBStorage storage(testSchema(), 1, "db.sqlite");
    EXPECT_GT(storage.pageSize(), 0);
    EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
    EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt), 0u);
    EXPECT_TRUE(log.containsPrefix("Database \"db.sqlite\" is damaged", BEACLogLevelError));
    EXPECT_EQ(log.count("Failed to initialize database."), 0u);
    BEACStorageBindableArray values;
    values.addString("after");
    values.addNumber(1);
    EXPECT_EQ(
        storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\", \"size\") VALUES (?, ?)", &values),
        0);
}

}  // namespace

// A block runs under the storage's lock and gets the connection to work
// with; calling the storage itself from it would wait for ever, so the
// process stops and names the storage instead.
TEST(BEACDBStorageTest, ABlockCallingItsOwnStorageStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    beactest::SandboxedSDK sdk;
    RecordingStorage storage(1, "Reentry.sqlite");
    // Another storage may be used from inside a block.
    RecordingStorage other(1, "Other.sqlite");
    EXPECT_EQ(storage.executeQueryUsingBlock([&](BEACDBConnection& db) {
        EXPECT_GT(db.pageSize(), 0);
        EXPECT_EQ(db.maxSizeInBytes(), BEACDBStorage::kDefaultMaxSizeInBytes);
        return other.countEntriesForTable("items", std::nullopt) == 0 ? 0 : 1;
    }),
              0);
    EXPECT_DEATH(storage.executeQueryUsingBlock([&](BEACDBConnection&) {
        return static_cast<int>(storage.countEntriesForTable("items", std::nullopt));
    }),
                 "Reentry.sqlite.*called from a block or hook of the same storage");
}
