// The SDK's wrapper over SQLite: one database file in the SDK folder, tables
// made from a schema description, a schema version in PRAGMA user_version
// with hooks for new and older files, FULL auto-vacuum, a maximum file size
// through PRAGMA max_page_count, and recovery from a damaged file (found by
// PRAGMA quick_check at start-up) by reading the rows that can still be read,
// deleting it together with its "-journal", "-wal" and "-shm" companions,
// creating it afresh and storing those rows again.
//
// Every value travels through BEACStorageBindableArray and is bound to a "?"
// placeholder. Integers are read as 64-bit values.
//
// One connection is kept open for the object's life (WAL journal,
// synchronous NORMAL: a commit survives a crash of the process; the WAL is
// checkpointed every 256 pages and kept to 1 MiB, so that it does not take
// the space of a nearly full disk) and its prepared statements are reused;
// the size limit is applied to it whenever it is opened or the limit
// changes. An operation that leaves a transaction open is rolled back and
// fails: nothing stays uncommitted between operations.
//
// Threads: operations are serialised by a lock, so any thread may call; the
// log store calls from the channel group's queue. A block given to
// executeQueryUsingBlock, and the hooks customizeDatabase and
// migrateDatabase, run with that lock held: they use only the connection
// they are given. Calling the storage again from one of them would wait for
// itself; it stops the process instead, naming the storage.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

struct sqlite3;
struct sqlite3_stmt;

// SQLite result codes the callers look at.
inline constexpr int BEACSQLiteOK = 0;
inline constexpr int BEACSQLiteError = 1;
inline constexpr int BEACSQLiteCorrupt = 11;
inline constexpr int BEACSQLiteFull = 13;
inline constexpr int BEACSQLiteNotADB = 26;

struct BEACColumnSchema {
    std::string name;
    std::vector<std::string> constraints;  // "INTEGER", "PRIMARY KEY", ...
};
using BEACTableSchema = std::vector<BEACColumnSchema>;
// Tables in creation order.
using BEACDBSchema = std::vector<std::pair<std::string, BEACTableSchema>>;

// One result row: null, string or 64-bit integer per column.
using BEACStorageRow = std::vector<plat::Value>;

class BEACStorageBindableArray {
  public:
    // nullopt binds NULL.
    void addString(std::optional<std::string> value) { values_.emplace_back(std::move(value)); }
    void addNumber(int64_t value) { values_.emplace_back(value); }
    std::size_t count() const { return values_.size(); }
    // Binds value i to parameter i + 1; the first failure is logged and returned.
    int bindAllValuesWithStatement(sqlite3_stmt* statement, sqlite3* db) const;

  private:
    std::vector<std::variant<std::optional<std::string>, int64_t>> values_;
};

// The open connection, as handed to executeQueryUsingBlock.
class BEACDBConnection {
  public:
    // One step; 0 for SQLITE_DONE, else the code (logged).
    int executeNonSelectionQuery(const std::string& sql, const BEACStorageBindableArray* values = nullptr);
    // All rows; the code of a failure goes to *result (rows read before it are kept).
    std::vector<BEACStorageRow> executeSelectionQuery(const std::string& sql,
                                                      const BEACStorageBindableArray* values = nullptr,
                                                      int* result = nullptr);
    // Calls `row` with the statement on each result row, for callers that
    // read columns in place (sqlite3_column_*: valid only during the call);
    // 0 when every row was read, else the code (logged).
    int enumerateRows(const std::string& sql, const BEACStorageBindableArray* values,
                      const std::function<void(sqlite3_stmt*)>& row);
    // First value of the first row, 0 when there is none.
    int64_t querySingleValue(const std::string& sql, int* result = nullptr);
    int64_t lastInsertRowId() const;
    sqlite3* handle() const { return db_; }
    // The storage's page size and maximum size when the connection was handed
    // out (both 0 for a connection of no storage).
    int64_t pageSize() const { return pageSize_; }
    int64_t maxSizeInBytes() const { return maxSizeInBytes_; }

  private:
    friend class BEACDBStorage;
    BEACDBConnection(sqlite3* db, std::map<std::string, sqlite3_stmt*>* cache, int64_t pageSize = 0,
                     int64_t maxSizeInBytes = 0)
        : db_(db), cache_(cache), pageSize_(pageSize), maxSizeInBytes_(maxSizeInBytes) {}
    int execute(const std::string& sql, const BEACStorageBindableArray* values,
                const std::function<int(sqlite3_stmt*)>& block);

    sqlite3* db_;
    std::map<std::string, sqlite3_stmt*>* cache_;
    int64_t pageSize_;
    int64_t maxSizeInBytes_;
};

class BEACDBStorage {
  public:
    static constexpr int64_t kDefaultMaxSizeInBytes = 10485760;

    // Configures the file `filename` in the SDK folder; a damaged file is
    // recreated. The object exists even when configuration failed (then every
    // operation fails).
    BEACDBStorage(std::optional<BEACDBSchema> schema, uint64_t version, std::string filename);
    virtual ~BEACDBStorage();
    BEACDBStorage(const BEACDBStorage&) = delete;
    BEACDBStorage& operator=(const BEACDBStorage&) = delete;

    // Runs the block with the open connection, under the storage's lock, and
    // returns its result; the open or size-limit failure otherwise.
    int executeQueryUsingBlock(const std::function<int(BEACDBConnection&)>& block) EXCLUDES(mutex_);
    int executeNonSelectionQuery(const std::string& sql, const BEACStorageBindableArray* values = nullptr)
        EXCLUDES(mutex_);
    std::vector<BEACStorageRow> executeSelectionQuery(const std::string& sql,
                                                      const BEACStorageBindableArray* values = nullptr)
        EXCLUDES(mutex_);
    uint64_t countEntriesForTable(const std::string& table, const std::optional<std::string>& condition,
                                  const BEACStorageBindableArray* values = nullptr) EXCLUDES(mutex_);
    bool createTable(const std::string& table, const BEACTableSchema& columns) EXCLUDES(mutex_);
    bool dropTable(const std::string& table) EXCLUDES(mutex_);
    // Deletes the file and its companions.
    void dropDatabase() EXCLUDES(mutex_);
    // Refuses sizes below the current content; rounds up to whole pages.
    // The completion is called without the lock held.
    void setMaxStorageSize(int64_t sizeInBytes, const std::function<void(bool)>& completion) EXCLUDES(mutex_);

    std::string dbFilePath() const EXCLUDES(mutex_);
    int64_t maxSizeInBytes() const EXCLUDES(mutex_);
    int64_t pageSize() const EXCLUDES(mutex_);
    const std::optional<BEACDBSchema>& schema() const { return schema_; }

    // `"name" WORDS`, joined by ", ".
    static std::string columnsQueryFromColumnsSchema(const BEACTableSchema& columns);
    // Table name to column name to position.
    static std::map<std::string, std::map<std::string, std::size_t>> columnsIndexes(
        const BEACDBSchema& schema);
    static int createTablesWithSchema(const BEACDBSchema& schema, BEACDBConnection& db);
    static bool tableExists(const std::string& table, BEACDBConnection& db, int* result = nullptr);

  protected:
    struct DeferInitialization {};
    // Keeps the arguments only; the subclass calls initialize() once its own
    // members are in place, so that the hooks below reach the subclass.
    BEACDBStorage(std::optional<BEACDBSchema> schema, uint64_t version, std::string filename,
                  DeferInitialization);

    // Called once when the file has just been created, with the storage's
    // lock held: use only `db`.
    virtual void customizeDatabase(BEACDBConnection& /*db*/) {}
    // Called when the stored version is lower than the requested one, with
    // the storage's lock held: use only `db`. A result other than 0 fails the
    // configuration and leaves the stored version as it was.
    virtual int migrateDatabase(BEACDBConnection& /*db*/, uint64_t /*fromVersion*/) { return 0; }
    // Configures the file; a damaged file is deleted and configured again.
    void initialize() EXCLUDES(mutex_);

  private:
    struct SalvagedTable {
        std::string name;
        std::vector<std::string> columns;
        std::vector<BEACStorageRow> rows;
    };
    std::vector<SalvagedTable> salvageRows() REQUIRES(mutex_);
    void restoreRows(const std::vector<SalvagedTable>& tables) REQUIRES(mutex_);
    int configureDatabase() REQUIRES(mutex_);
    int openConnection() REQUIRES(mutex_);
    void closeConnection() REQUIRES(mutex_);
    int applyPageLimit() REQUIRES(mutex_);
    void enableAutoVacuum(BEACDBConnection& db) REQUIRES(mutex_);
    int executeLocked(const std::function<int(BEACDBConnection&)>& block) REQUIRES(mutex_);
    void dropDatabaseLocked() REQUIRES(mutex_);
    // Stops the process when the calling thread runs a block or hook of this
    // storage (the lock is not recursive).
    void checkNotReentered(const char* operation) const;

    const std::optional<BEACDBSchema> schema_;
    const uint64_t version_;
    const std::string filename_;
    mutable plat::Mutex mutex_;
    std::string dbFilePath_ GUARDED_BY(mutex_);
    sqlite3* db_ GUARDED_BY(mutex_) = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_ GUARDED_BY(mutex_);
    int64_t maxSizeInBytes_ GUARDED_BY(mutex_) = kDefaultMaxSizeInBytes;
    int64_t pageSize_ GUARDED_BY(mutex_) = 0;
};
