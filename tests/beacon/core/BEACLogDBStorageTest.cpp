#include "beacon/core/BEACLogDBStorage.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/mount.h>
#include <unistd.h>

#include <sched.h>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "BeaconTestSupport.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "platform/dispatch/Queue.h"
#include "support/ChildProcess.h"
#include "support/PowerLossVFS.h"

namespace {

BEACLogPtr makeLog(const std::string& sid, std::size_t padding = 0) {
    auto log = std::make_shared<BEACLogWithProperties>();
    log->type = "event";
    log->timestamp = plat::Date(1000);
    log->sid = sid;
    if (padding)
        log->properties = plat::Dictionary{{"pad", plat::Value(std::string(padding, 'p'))}};
    return log;
}

std::vector<std::string> sidsOf(const std::vector<BEACLogPtr>& logs) {
    std::vector<std::string> sids;
    for (const auto& log : logs)
        sids.push_back(log->sid.value_or("?"));
    return sids;
}

struct Loaded {
    bool more = false;
    std::vector<BEACLogPtr> logs;
    std::optional<std::string> batchId;
};

Loaded load(BEACLogDBStorage& store, const std::string& group, uint64_t limit,
            std::optional<std::vector<std::string>> excludedKeys = std::nullopt) {
    Loaded result;
    result.more = store.loadLogsWithGroupId(
        group, limit, excludedKeys,
        [&](const std::vector<BEACLogPtr>& logs, const std::optional<std::string>& id) {
            result.logs = logs;
            result.batchId = id;
        });
    return result;
}

// The number of rows another connection sees in the store's file: what is
// committed.
int64_t committedRows(const std::string& path) {
    sqlite3* db = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM logs", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
}

// Runs one statement on the store's file with a separate connection.
void exec(const BEACLogDBStorage& store, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store.dbFilePath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

class BEACLogDBStorageTest : public ::testing::Test {
  protected:
    beactest::CapturingLog log_;
    beactest::SandboxedSDK sdk_;
};

TEST_F(BEACLogDBStorageTest, BatchesHonourTheLimitAndStayReservedUntilDeleted) {
    BEACLogDBStorage store;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(store.saveLog(makeLog("s" + std::to_string(i)), "Analytics", 1));
    EXPECT_EQ(store.countLogs(), 5u);

    auto first = load(store, "Analytics", 2);
    EXPECT_TRUE(first.more);
    EXPECT_EQ(sidsOf(first.logs), (std::vector<std::string>{"s0", "s1"}));
    ASSERT_TRUE(first.batchId);
    EXPECT_EQ(first.batchId->size(), 36u);

    auto second = load(store, "Analytics", 3);
    EXPECT_FALSE(second.more);  // exactly 3 left
    EXPECT_EQ(sidsOf(second.logs), (std::vector<std::string>{"s2", "s3", "s4"}));
    auto none = load(store, "Analytics", 3);
    EXPECT_TRUE(none.logs.empty());
    EXPECT_FALSE(none.batchId);

    store.deleteLogsWithBatchId(*first.batchId, "Analytics");
    store.deleteLogsWithBatchId(*first.batchId, "Analytics");  // again: nothing
    store.deleteLogsWithBatchId("never-handed-out", "Analytics");
    EXPECT_EQ(store.countLogs(), 3u);

    // A reopened store (a relaunch) hands out every pending log again.
    BEACLogDBStorage reopened;
    auto again = load(reopened, "Analytics", 10);
    EXPECT_EQ(sidsOf(again.logs), (std::vector<std::string>{"s2", "s3", "s4"}));
    // Logs round-trip through the archive.
    EXPECT_TRUE(again.logs[0]->isEqual(*second.logs[0]));
}

TEST_F(BEACLogDBStorageTest, HigherPriorityComesFirstAndGroupsNeverShareBatches) {
    BEACLogDBStorage store;
    store.saveLog(makeLog("normal"), "Analytics", 1);
    store.saveLog(makeLog("critical"), "Analytics", 0x102);  // only the low byte counts
    store.saveLog(makeLog("other"), "Analytics_critical", 1);
    store.saveLog(makeLog("quoted"), "it's", 1);
    EXPECT_EQ(sidsOf(load(store, "Analytics", 10).logs), (std::vector<std::string>{"critical", "normal"}));

    auto longer = load(store, "Analytics_critical", 10);
    ASSERT_EQ(longer.logs.size(), 1u);
    // Deleting the shorter group's data leaves the longer group's batch reserved.
    auto deleted = sidsOf(store.deleteLogsWithGroupId("Analytics"));
    std::sort(deleted.begin(), deleted.end());  // in no particular order
    EXPECT_EQ(deleted, (std::vector<std::string>{"critical", "normal"}));
    EXPECT_TRUE(load(store, "Analytics_critical", 10).logs.empty());
    // Values are bound, never written into the statement.
    EXPECT_EQ(sidsOf(load(store, "it's", 10).logs), (std::vector<std::string>{"quoted"}));
    EXPECT_EQ(sidsOf(store.deleteLogsWithGroupId("it's")), (std::vector<std::string>{"quoted"}));
    EXPECT_EQ(store.countLogs(), 1u);
}

TEST_F(BEACLogDBStorageTest, SharedSchemaTokensAreStoredEncryptedAndComeBack) {
    BEACLogDBStorage store;
    auto log = std::make_shared<BEACSharedSchemaLog>();
    log->timestamp = plat::Date(5);
    log->ver = "3.0";
    log->name = "n";
    log->addTransmissionTargetToken("targetkey-secret");
    ASSERT_TRUE(store.saveLog(log, "Analytics/one", 1));
    store.saveLog(makeLog("plain"), "Analytics/one", 1);

    sqlite3* db = nullptr;
    sqlite3_open(store.dbFilePath().c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT targetToken, targetKey FROM logs WHERE targetKey IS NOT NULL", -1,
                       &statement, nullptr);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    std::string stored(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1))), "targetkey");
    EXPECT_EQ(stored.find("secret"), std::string::npos);
    sqlite3_finalize(statement);
    sqlite3_close(db);

    // Excluding a key also excludes rows without one (NULL never passes NOT IN).
    EXPECT_TRUE(load(store, "Analytics/one", 10, std::vector<std::string>{"targetkey"}).logs.empty());
    auto loaded = load(store, "Analytics/one", 10, std::vector<std::string>{"otherkey"});
    ASSERT_EQ(loaded.logs.size(), 1u);
    auto tokens = loaded.logs[0]->transmissionTargetTokens();
    ASSERT_TRUE(tokens);
    EXPECT_EQ(*tokens, std::set<std::string>{"targetkey-secret"});
    EXPECT_TRUE(loaded.logs[0]->isEqual(*log));
}

TEST_F(BEACLogDBStorageTest, DamagedRowsAreDeletedAndUnknownTypesKept) {
    BEACLogDBStorage store;
    store.saveLog(makeLog("good"), "G", 1);
    exec(store, "INSERT INTO logs (groupId, log, priority) VALUES ('G', 'bm90IGFuIGFyY2hpdmU=', 1)");
    // A well-formed archive of a class this process does not know.
    class Unknown : public BEACAbstractLog {
      public:
        std::string className() const override { return "BEACFutureLog"; }
    };
    auto archive = BEACUtility::archiveKeyedData(plat::Value(std::make_shared<Unknown>()));
    ASSERT_TRUE(archive);
    exec(store, "INSERT INTO logs (groupId, log, priority) VALUES ('G', '" + archive->base64EncodedString() +
                    "', 1)");
    exec(store, "INSERT INTO logs (groupId, log, targetToken, priority) VALUES ('G', '" +
                    BEACUtility::archiveKeyedData(
                        plat::Value(std::static_pointer_cast<const plat::Object>(makeLog("tok"))))
                        ->base64EncodedString() +
                    "', 'garbage', 1)");
    // Archive text is read only from text values: the same text as a blob, or
    // a number, is damage.
    const std::string good = BEACUtility::archiveKeyedData(
                                 plat::Value(std::static_pointer_cast<const plat::Object>(makeLog("blob"))))
                                 ->base64EncodedString();
    exec(store, "INSERT INTO logs (groupId, log, priority) VALUES ('G', CAST('" + good + "' AS BLOB), 1)");
    exec(store, "INSERT INTO logs (groupId, log, priority) VALUES ('G', 42, 1)");
    exec(store, "INSERT INTO logs (groupId, log, targetToken, priority) VALUES ('G', '" +
                    BEACUtility::archiveKeyedData(
                        plat::Value(std::static_pointer_cast<const plat::Object>(makeLog("empty"))))
                        ->base64EncodedString() +
                    "', '', 1)");

    auto loaded = load(store, "G", 10);
    EXPECT_EQ(sidsOf(loaded.logs), (std::vector<std::string>{"good", "tok", "empty"}));
    EXPECT_FALSE(loaded.logs[1]->transmissionTargetTokens());
    EXPECT_FALSE(loaded.logs[2]->transmissionTargetTokens());
    for (int id : {2, 5, 6})
        EXPECT_EQ(log_.count("Deserialization failed for log with Id " + std::to_string(id)), 1u) << id;
    EXPECT_EQ(log_.count("Failed to decrypt the target token for log with Id 4."), 1u);
    EXPECT_EQ(log_.count("Unexpected empty target token for log with Id 7."), 1u);
    EXPECT_EQ(store.countLogs(), 4u);  // the damaged rows are gone, the unknown one kept
    EXPECT_TRUE(load(store, "G", 10).logs.empty());
}

// Saves logs of one priority until a save had to evict (the file is full).
int fillUntilEviction(BEACLogDBStorage& store, beactest::CapturingLog& log, const std::string& prefix,
                      uint64_t priority) {
    log.clear();
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(store.saveLog(makeLog(prefix + std::to_string(i), 1500), "G", priority));
        if (log.containsPrefix("Deleted a log with id ", BEACLogLevelDebug))
            return i + 1;
    }
    ADD_FAILURE() << "the store never filled up";
    return 0;
}

TEST_F(BEACLogDBStorageTest, FullStoreEvictsLowestPriorityThenOldest) {
    BEACLogDBStorage store;
    store.setMaxStorageSize(65536, nullptr);
    fillUntilEviction(store, log_, "p1-", 1);  // the last save evicted p1-0
    const uint64_t full = store.countLogs();

    log_.clear();
    ASSERT_TRUE(store.saveLog(makeLog("p2-a", 1500), "G", 2));
    EXPECT_TRUE(log_.containsPrefix("Log storage was over capacity, ", BEACLogLevelDebug));
    EXPECT_EQ(store.countLogs(), full);
    auto all = load(store, "G", 1000);
    ASSERT_GE(all.logs.size(), 2u);
    EXPECT_EQ(all.logs.front()->sid, "p2-a");
    EXPECT_EQ(all.logs[1]->sid, "p1-2");  // p1-0 and p1-1, the oldest, went first
    store.deleteLogsWithBatchId(*all.batchId, "G");
    EXPECT_EQ(store.countLogs(), 0u);

    // Only higher-priority rows: a new low-priority log finds no candidates.
    fillUntilEviction(store, log_, "p2-", 2);
    const uint64_t highOnly = store.countLogs();
    log_.clear();
    EXPECT_FALSE(store.saveLog(makeLog("p1-late", 1500), "G", 1));
    EXPECT_EQ(
        log_.count("Storage is full and no logs with equal or lower priority exist; discarding the log."),
        1u);
    EXPECT_EQ(store.countLogs(), highOnly);
}

TEST_F(BEACLogDBStorageTest, ALogThatStillDoesNotFitEvictsNothing) {
    BEACLogDBStorage store;
    store.setMaxStorageSize(65536, nullptr);
    fillUntilEviction(store, log_, "high-", 2);
    for (int i = 0; i < 10; ++i)
        store.saveLog(makeLog("low-" + std::to_string(i), 10), "G", 1);
    const uint64_t before = store.countLogs();
    log_.clear();
    // Evicting every small priority-1 row cannot make room for this one.
    EXPECT_FALSE(store.saveLog(makeLog("big", 30000), "G", 1));
    EXPECT_EQ(store.countLogs(), before);
    EXPECT_EQ(
        log_.count("Storage is full and no logs with equal or lower priority exist; discarding the log."),
        1u);

    // A log as large as the whole file is refused before anything is tried.
    EXPECT_FALSE(store.saveLog(makeLog("huge", 70000), "G", 2));
    EXPECT_TRUE(log_.containsPrefix("Log is too large (", BEACLogLevelError));
    EXPECT_EQ(store.countLogs(), before);
}

// Sessions ids of every stored log, oldest first, whatever their priority.
std::vector<std::string> storedSids(BEACLogDBStorage& store) {
    std::vector<std::string> sids;
    for (const auto& row : store.logsWithCondition("1 ORDER BY \"id\"", {}))
        sids.push_back(row.log->sid.value_or("?"));
    return sids;
}

TEST_F(BEACLogDBStorageTest, EvictionInARowKeepsTheNewestNormalLogsAndEveryCriticalOne) {
    BEACLogDBStorage store;
    store.setMaxStorageSize(40960, nullptr);
    // Three critical logs among the first normal ones.
    std::vector<std::string> critical;
    for (int i = 0; i < 3; ++i) {
        critical.push_back("crit-" + std::to_string(i));
        ASSERT_TRUE(store.saveLog(makeLog(critical.back(), 600), "G", 2));
    }
    // Normal logs one after the other, long after the file is full: each
    // evicts the oldest normal logs only, so what is stored is always the
    // critical logs and an unbroken run of the newest normal logs.
    int firstEviction = -1;
    for (int i = 0; i < 120; ++i) {
        log_.clear();
        ASSERT_TRUE(store.saveLog(makeLog("n-" + std::to_string(i), 600), "G", 1)) << i;
        if (firstEviction < 0 && log_.containsPrefix("Deleted a log with id ", BEACLogLevelDebug))
            firstEviction = i;
        auto sids = storedSids(store);
        ASSERT_GE(sids.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(sids.begin(), sids.begin() + 3), critical) << i;
        const int oldest = std::stoi(sids[3].substr(2));
        for (std::size_t k = 3; k < sids.size(); ++k)
            ASSERT_EQ(sids[k], "n-" + std::to_string(oldest + static_cast<int>(k) - 3)) << i;
        EXPECT_EQ(sids.back(), "n-" + std::to_string(i));
        EXPECT_EQ(committedRows(store.dbFilePath()), static_cast<int64_t>(sids.size())) << i;
    }
    ASSERT_GT(firstEviction, 0);
    ASSERT_LT(firstEviction, 60) << "the store never filled up";

    // A critical log evicts normal logs, oldest first, and never a critical one.
    auto before = storedSids(store);
    ASSERT_TRUE(store.saveLog(makeLog("crit-late", 600), "G", 2));
    auto after = storedSids(store);
    EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + 3), critical);
    EXPECT_EQ(after.back(), "crit-late");
    EXPECT_EQ(
        std::vector<std::string>(after.end() - static_cast<std::ptrdiff_t>(after.size() - 4) - 1,
                                 after.end() - 1),
        std::vector<std::string>(before.end() - static_cast<std::ptrdiff_t>(after.size() - 4), before.end()));
}

// A real file system that fills up: a 3 MiB tmpfs mounted in a private mount
// namespace of a child process (root only). Every save the store reported
// as done must be in the file, seen by another connection and after a
// relaunch; once space returns, saves are stored again.
TEST_F(BEACLogDBStorageTest, AFullDiskLosesNoAcceptedLog) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system needs root";
    const std::string mountPoint = (sdk_.dir() / "small").string();
    std::filesystem::create_directories(mountPoint);
    const int code = testsupport::exitCodeOfChild(
        [&]() -> int {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=3m") != 0)
                return 77;
            BEACUtility::setBeaconDirectoryPath(mountPoint + "/sdk");
            const std::string filler = mountPoint + "/filler";
            std::ofstream(filler) << std::string(1500000, 'f');
            int accepted = 0;
            int refused = 0;
            {
                BEACLogDBStorage store;
                int i = 0;
                for (; refused < 40 && i < 3000; ++i)
                    store.saveLog(makeLog("a" + std::to_string(i), 1500), "G", 1) ? ++accepted : ++refused;
                if (committedRows(store.dbFilePath()) != accepted ||
                    static_cast<int>(store.countLogs()) != accepted)
                    return 3;
                if (refused == 0)
                    return 2;  // the disk never filled up
                // Space returns: later saves are stored for good.
                std::filesystem::remove(filler);
                for (int k = 0; k < 20; ++k, ++i) {
                    if (!store.saveLog(makeLog("b" + std::to_string(k), 1500), "G", 1))
                        return 4;
                    ++accepted;
                }
                if (committedRows(store.dbFilePath()) != accepted)
                    return 5;
            }
            BEACLogDBStorage relaunched;
            return static_cast<int>(relaunched.countLogs()) == accepted ? 0 : 6;
        },
        120);
    if (code == 77)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(code, 0);
}

// A small disk played by a SQLite VFS (no root needed): while it is full,
// saves that need more space are refused and leave everything as it was,
// evicted rows included; every save reported done is committed.
TEST_F(BEACLogDBStorageTest, SavesOnAFullDiskAreRefusedWithoutTouchingStoredLogs) {
    testsupport::PowerLossVFS disk;
    int accepted = 0;
    int refused = 0;
    {
        BEACLogDBStorage store;
        store.setMaxStorageSize(65536, nullptr);
        fillUntilEviction(store, log_, "fill-", 1);
        accepted = static_cast<int>(store.countLogs());
        disk.limitSpace(disk.usedSpace() + 8192);
        for (int i = 0; i < 40; ++i) {
            const auto before = storedSids(store);
            log_.clear();
            if (store.saveLog(makeLog("full-" + std::to_string(i), 1500), "G", 1)) {
                const auto after = storedSids(store);
                EXPECT_EQ(after.back(), "full-" + std::to_string(i));
            } else {
                ++refused;
                EXPECT_EQ(storedSids(store), before) << i;
                EXPECT_TRUE(log_.containsPrefix("Could not write the log store's changes", BEACLogLevelError))
                    << i;
            }
            ASSERT_EQ(committedRows(store.dbFilePath()), static_cast<int64_t>(store.countLogs())) << i;
        }
        EXPECT_GT(refused, 0) << "the disk never filled up";
        accepted = static_cast<int>(store.countLogs());
        // Space returns: saves are stored again.
        disk.limitSpace(std::nullopt);
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(store.saveLog(makeLog("later-" + std::to_string(i), 1500), "G", 1)) << i;
        accepted = static_cast<int>(store.countLogs());
        EXPECT_EQ(committedRows(store.dbFilePath()), accepted);
    }
    BEACLogDBStorage relaunched;
    EXPECT_EQ(static_cast<int>(relaunched.countLogs()), accepted);
    EXPECT_EQ(storedSids(relaunched).back(), "later-9");
}

// Pages of a closed database file whose b-tree page type is a table leaf.
std::vector<std::size_t> tableLeafPages(const std::string& path, std::size_t pageSize) {
    auto bytes = testsupport::readBytes(path);
    std::vector<std::size_t> pages;
    for (std::size_t page = 1; page * pageSize <= bytes.size(); ++page) {
        const std::size_t header = (page - 1) * pageSize + (page == 1 ? 100 : 0);
        if (bytes[header] == 0x0D)
            pages.push_back(page);
    }
    return pages;
}

// One leaf in the middle of the table is damaged; start-up reads only the
// schema, so only a check of the whole file finds it.
TEST_F(BEACLogDBStorageTest, ADamagedPageIsFoundAtStartUpAndWhatCanBeReadIsKept) {
    std::string path;
    std::size_t pageSize = 0;
    {
        BEACLogDBStorage store;
        path = store.dbFilePath();
        pageSize = static_cast<std::size_t>(store.pageSize());
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(store.saveLog(makeLog("s" + std::to_string(i), 1500), "G", 1));
    }  // the last connection closes: everything is in the file, no WAL left
    auto leaves = tableLeafPages(path, pageSize);
    ASSERT_GE(leaves.size(), 5u);
    const std::size_t damaged = leaves[leaves.size() / 2];
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>((damaged - 1) * pageSize));
        file << std::string(pageSize, '\xA5');
    }

    log_.clear();
    {
        BEACLogDBStorage store;
        EXPECT_TRUE(log_.containsPrefix("Database \"Logs.sqlite\" is damaged", BEACLogLevelError));
        // The rows before and after the damaged page are kept, in order.
        auto kept = storedSids(store);
        EXPECT_GE(kept.size(), 40u - 2 * (40u / leaves.size() + 1));
        EXPECT_LT(kept.size(), 40u);
        EXPECT_EQ(kept.front(), "s0");
        EXPECT_EQ(kept.back(), "s39");
        ASSERT_TRUE(store.saveLog(makeLog("after", 10), "G", 1));
        auto loaded = load(store, "G", 1000);
        EXPECT_EQ(loaded.logs.size(), kept.size() + 1);
        EXPECT_EQ(loaded.logs.back()->sid, "after");
    }
    // A later launch finds a sound file with the same logs.
    log_.clear();
    BEACLogDBStorage relaunched;
    EXPECT_FALSE(log_.containsPrefix("Database \"Logs.sqlite\" is damaged", BEACLogLevelError));
    EXPECT_EQ(storedSids(relaunched).back(), "after");
}

TEST_F(BEACLogDBStorageTest, ConcurrentUseFromTheChannelQueueLosesNothing) {
    auto store = std::make_shared<BEACLogDBStorage>();
    auto queue = plat::dispatch::Queue::serial("com.kestrel.beacon.test");
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                queue.async([store, t, i] {
                    store->saveLog(makeLog(std::to_string(t) + "-" + std::to_string(i)), "G", 1);
                });
        });
    }
    std::atomic<int> sent{0};
    std::thread consumer([&] {
        for (int round = 0; round < 40; ++round) {
            queue.sync([&] {
                auto batch = load(*store, "G", 10);
                sent += static_cast<int>(batch.logs.size());
                if (batch.batchId)
                    store->deleteLogsWithBatchId(*batch.batchId, "G");
            });
        }
    });
    for (auto& p : producers)
        p.join();
    consumer.join();
    queue.sync([&] { sent += static_cast<int>(load(*store, "G", 1000).logs.size()); });
    EXPECT_EQ(sent.load(), 100);
}

}  // namespace

// A load's completion runs after the store's locks are released: the channel
// unit's completion may save, load or delete from inside it (under the
// store's lock it would wait for itself).
TEST_F(BEACLogDBStorageTest, ALoadCompletionMayUseTheStoreAgain) {
    BEACLogDBStorage store;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(store.saveLog(makeLog("s" + std::to_string(i)), "Analytics", 1));
    std::vector<std::string> inner;
    bool deleted = false;
    store.loadLogsWithGroupId("Analytics", 2, std::nullopt,
                              [&](const std::vector<BEACLogPtr>& logs, const std::optional<std::string>& id) {
                                  ASSERT_EQ(logs.size(), 2u);
                                  EXPECT_TRUE(store.saveLog(makeLog("late"), "Analytics", 1));
                                  inner = sidsOf(load(store, "Analytics", 10).logs);
                                  store.deleteLogsWithBatchId(*id, "Analytics");
                                  deleted = store.countLogs() == 2;
                              });
    EXPECT_EQ(inner, (std::vector<std::string>{"s2", "late"}));
    EXPECT_TRUE(deleted);
    EXPECT_EQ(store.deleteLogsWithGroupId("Analytics").size(), 2u);
    EXPECT_EQ(store.countLogs(), 0u);
}
