#include "beacon/core/BEACDBStorage.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACUtility.h"

namespace {

// Lets file names be URIs in every connection of the process. SQLite accepts
// this only before it is initialised; the outcome is logged once, at the first
// storage object.
int configureSQLite() {
    static const int result = sqlite3_config(SQLITE_CONFIG_URI, 1);
    return result;
}

void logSQLiteConfigurationOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        int result = configureSQLite();
        if (result == SQLITE_OK)
            BEACLogDebug(kBEACLogTag, "SQLite global configuration successfully updated.");
        else
            BEACLogError(kBEACLogTag, "Failed to update SQLite global configuration. Error: %@.",
                         sqlite3_errstr(result));
    });
}

// "file:" URI of a path, percent-encoding everything but unreserved characters and "/".
std::string fileURI(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri;
}

// The storages whose lock the calling thread holds, innermost last: a block
// or hook that calls its own storage again is stopped instead of waiting for
// itself.
thread_local std::vector<const BEACDBStorage*> heldStorages;

class HeldMark {
  public:
    explicit HeldMark(const BEACDBStorage* storage) { heldStorages.push_back(storage); }
    ~HeldMark() { heldStorages.pop_back(); }
    HeldMark(const HeldMark&) = delete;
    HeldMark& operator=(const HeldMark&) = delete;
};

bool isCorruption(int code) {
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

plat::Value columnValue(sqlite3_stmt* statement, int index) {
    switch (int type = sqlite3_column_type(statement, index)) {
        case SQLITE_NULL:
            return plat::Value();
        case SQLITE_TEXT:
            return plat::Value(
                std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(statement, index)),
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, index))));
        case SQLITE_INTEGER:
            return plat::Value(static_cast<int64_t>(sqlite3_column_int64(statement, index)));
        default:
            BEACLogError(kBEACLogTag,
                         "Could not retrieve column value at index %d from statement: unknown type %d.",
                         index, type);
            return plat::Value();
    }
}

}  // namespace

// BEACStorageBindableArray

int BEACStorageBindableArray::bindAllValuesWithStatement(sqlite3_stmt* statement, sqlite3* db) const {
    for (std::size_t i = 0; i < values_.size(); ++i) {
        int index = static_cast<int>(i + 1);
        int result;
        if (const auto* text = std::get_if<std::optional<std::string>>(&values_[i])) {
            // The array outlives the statement's use of it: bindings are
            // cleared, or the statement finalised, before execute returns.
            result = *text ? sqlite3_bind_text(statement, index, (*text)->data(),
                                               static_cast<int>((*text)->size()), SQLITE_STATIC)
                           : sqlite3_bind_null(statement, index);
        } else {
            result = sqlite3_bind_int64(statement, index, std::get<int64_t>(values_[i]));
        }
        if (result != SQLITE_OK) {
            BEACLogError(kBEACLogTag, "Binding query parameter %d failed with error: %d. Message: %@", index,
                         result, sqlite3_errmsg(db));
            return result;
        }
    }
    return SQLITE_OK;
}

// BEACDBConnection

int BEACDBConnection::execute(const std::string& sql, const BEACStorageBindableArray* values,
                              const std::function<int(sqlite3_stmt*)>& block) {
    sqlite3_stmt* statement = nullptr;
    auto cached = cache_->find(sql);
    bool keep = cached != cache_->end();
    if (keep) {
        statement = cached->second;
    } else {
        int result = sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
        if (result != SQLITE_OK) {
            BEACLogError(kBEACLogTag, "Failed to prepare SQLite statement, result=%d\n\t%@", result,
                         sqlite3_errmsg(db_));
            return result;
        }
        // Statements built from a variable number of placeholders are not kept.
        if (cache_->size() < 64) {
            cache_->emplace(sql, statement);
            keep = true;
        }
    }
    int result = values ? values->bindAllValuesWithStatement(statement, db_) : SQLITE_OK;
    if (result == SQLITE_OK)
        result = block(statement);
    if (keep) {
        // reset repeats the error of the last step, already returned and
        // logged; clear_bindings cannot fail on a valid statement.
        (void)sqlite3_reset(statement);
        (void)sqlite3_clear_bindings(statement);
    } else if (int finalized = sqlite3_finalize(statement); finalized != SQLITE_OK && result == SQLITE_OK) {
        BEACLogError(kBEACLogTag, "Failed to finalize SQLite statement, result=%d\n\t%@", finalized,
                     sqlite3_errmsg(db_));
    }
    return result;
}

int BEACDBConnection::executeNonSelectionQuery(const std::string& sql,
                                               const BEACStorageBindableArray* values) {
    return execute(sql, values, [this](sqlite3_stmt* statement) {
        int result = sqlite3_step(statement);
        if (result == SQLITE_DONE)
            return SQLITE_OK;
        if (isCorruption(result))
            BEACLogError(kBEACLogTag, "A database file is corrupted, result=%d\n\t%@", result,
                         sqlite3_errmsg(db_));
        else if (result == SQLITE_FULL)
            BEACLogDebug(kBEACLogTag, "Query failed with error: %d\n\t%@", result, sqlite3_errmsg(db_));
        else
            BEACLogError(kBEACLogTag, "Could not execute the statement, result=%d\n\t%@", result,
                         sqlite3_errmsg(db_));
        return result;
    });
}

std::vector<BEACStorageRow> BEACDBConnection::executeSelectionQuery(const std::string& sql,
                                                                    const BEACStorageBindableArray* values,
                                                                    int* result) {
    std::vector<BEACStorageRow> rows;
    int code = execute(sql, values, [&](sqlite3_stmt* statement) {
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            int columns = sqlite3_column_count(statement);
            if (columns == 0)
                continue;
            BEACStorageRow row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int i = 0; i < columns; ++i)
                row.push_back(columnValue(statement, i));
            rows.push_back(std::move(row));
        }
        if (step == SQLITE_DONE)
            return SQLITE_OK;
        BEACLogError(kBEACLogTag, "Query failed with error: %d\n\t%@", step, sqlite3_errmsg(db_));
        return step;
    });
    if (result)
        *result = code;
    return rows;
}

int BEACDBConnection::enumerateRows(const std::string& sql, const BEACStorageBindableArray* values,
                                    const std::function<void(sqlite3_stmt*)>& row) {
    return execute(sql, values, [&](sqlite3_stmt* statement) {
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW)
            row(statement);
        if (step == SQLITE_DONE)
            return SQLITE_OK;
        BEACLogError(kBEACLogTag, "Query failed with error: %d\n\t%@", step, sqlite3_errmsg(db_));
        return step;
    });
}

int64_t BEACDBConnection::querySingleValue(const std::string& sql, int* result) {
    auto rows = executeSelectionQuery(sql, nullptr, result);
    if (rows.empty() || rows[0].empty())
        return 0;
    return rows[0][0].longLongValue();
}

int64_t BEACDBConnection::lastInsertRowId() const {
    return sqlite3_last_insert_rowid(db_);
}

// BEACDBStorage

BEACDBStorage::BEACDBStorage(std::optional<BEACDBSchema> schema, uint64_t version, std::string filename)
    : BEACDBStorage(std::move(schema), version, std::move(filename), DeferInitialization{}) {
    initialize();
}

BEACDBStorage::BEACDBStorage(std::optional<BEACDBSchema> schema, uint64_t version, std::string filename,
                             DeferInitialization)
    : schema_(std::move(schema)), version_(version), filename_(std::move(filename)) {
    logSQLiteConfigurationOnce();
}

BEACDBStorage::~BEACDBStorage() {
    plat::MutexLock lock(mutex_);
    closeConnection();
}

void BEACDBStorage::checkNotReentered(const char* operation) const {
    if (std::find(heldStorages.begin(), heldStorages.end(), this) == heldStorages.end())
        return;
    std::fprintf(stderr,
                 "BEACDBStorage \"%s\": %s called from a block or hook of the same storage, which runs "
                 "under its lock; use the connection the block was given.\n",
                 filename_.c_str(), operation);
    std::abort();
}

std::string BEACDBStorage::dbFilePath() const {
    checkNotReentered("dbFilePath");
    plat::MutexLock lock(mutex_);
    return dbFilePath_;
}

void BEACDBStorage::initialize() {
    checkNotReentered("initialize");
    plat::MutexLock lock(mutex_);
    HeldMark mark(this);
    int result = configureDatabase();
    if (isCorruption(result)) {
        auto salvaged = salvageRows();
        std::size_t count = 0;
        for (const auto& table : salvaged)
            count += table.rows.size();
        BEACLogError(kBEACLogTag,
                     "Database \"%@\" is damaged; it is deleted and created afresh with the %tu row(s) that "
                     "could still be read.",
                     filename_, count);
        dropDatabaseLocked();
        result = configureDatabase();
        if (result == SQLITE_OK && count > 0)
            restoreRows(salvaged);
    }
    if (result != SQLITE_OK)
        BEACLogError(kBEACLogTag, "Failed to initialize database.");
}

// Reads every row of the schema's tables that can still be read from a
// damaged file: from the first row on until a damaged page stops the read,
// then from the last row backwards, so that a damaged page in the middle
// loses only its own rows.
std::vector<BEACDBStorage::SalvagedTable> BEACDBStorage::salvageRows() {
    std::vector<SalvagedTable> tables;
    if (!schema_ || dbFilePath_.empty())
        return tables;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(fileURI(dbFilePath_).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
        SQLITE_OK) {
        (void)sqlite3_close_v2(db);  // frees the handle of a failed open; nothing else to report
        return tables;
    }
    std::map<std::string, sqlite3_stmt*> statements;
    BEACDBConnection connection(db, &statements);
    for (const auto& [table, columns] : *schema_) {
        SalvagedTable salvaged{table, {}, {}};
        std::string list;
        for (const auto& column : columns) {
            list += plat::format(", \"%@\"", column.name);
            salvaged.columns.push_back(column.name);
        }
        std::map<int64_t, BEACStorageRow> rows;
        for (const char* order : {"ASC", "DESC"}) {
            int code = SQLITE_OK;
            auto read = connection.executeSelectionQuery(
                plat::format("SELECT rowid%@ FROM \"%@\" ORDER BY rowid %@", list, table, order), nullptr,
                &code);
            for (auto& row : read) {
                const int64_t rowid = row[0].longLongValue();
                row.erase(row.begin());
                rows.emplace(rowid, std::move(row));
            }
            if (code == SQLITE_OK)
                break;  // everything was read the first time
        }
        for (auto& [rowid, row] : rows)
            salvaged.rows.push_back(std::move(row));
        tables.push_back(std::move(salvaged));
    }
    // A read-only connection to a file about to be deleted: finalize repeats
    // errors the reads already reported, and closing loses nothing.
    for (auto& [sql, statement] : statements)
        (void)sqlite3_finalize(statement);
    (void)sqlite3_close_v2(db);
    return tables;
}

void BEACDBStorage::restoreRows(const std::vector<SalvagedTable>& tables) {
    int result = executeLocked([&](BEACDBConnection& db) {
        if (int code = db.executeNonSelectionQuery("BEGIN IMMEDIATE"); code != SQLITE_OK)
            return code;
        for (const auto& table : tables) {
            std::string names;
            std::string placeholders;
            for (const auto& column : table.columns) {
                names += plat::format("%@\"%@\"", names.empty() ? "" : ", ", column);
                placeholders += placeholders.empty() ? "?" : ", ?";
            }
            const std::string insert =
                plat::format("INSERT INTO \"%@\" (%@) VALUES (%@)", table.name, names, placeholders);
            for (const auto& row : table.rows) {
                BEACStorageBindableArray values;
                for (const auto& value : row) {
                    if (value.isString())
                        values.addString(*value.asString());
                    else if (value.isNull())
                        values.addString(std::nullopt);
                    else
                        values.addNumber(value.longLongValue());
                }
                if (int code = db.executeNonSelectionQuery(insert, &values); code != SQLITE_OK) {
                    // A transaction this leaves open is rolled back (or the
                    // connection closed) by executeLocked.
                    (void)db.executeNonSelectionQuery("ROLLBACK");
                    return code;
                }
            }
        }
        return db.executeNonSelectionQuery("COMMIT");
    });
    if (result != SQLITE_OK)
        BEACLogError(kBEACLogTag, "The rows read from the damaged database \"%@\" could not be stored again.",
                     filename_);
}

int BEACDBStorage::openConnection() {
    if (db_)
        return SQLITE_OK;
    if (dbFilePath_.empty())
        return SQLITE_CANTOPEN;
    int result = sqlite3_open_v2(fileURI(dbFilePath_).c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
    if (result != SQLITE_OK) {
        BEACLogError(kBEACLogTag, "Failed to open database with result: %d.", result);
        (void)sqlite3_close_v2(db_);  // frees the handle of a failed open
        db_ = nullptr;
        return result;
    }
    (void)sqlite3_busy_timeout(db_, 5000);  // fails only for a closed handle
    BEACDBConnection connection(db_, &statements_);
    int journal = SQLITE_OK;
    connection.executeSelectionQuery("PRAGMA journal_mode = WAL;", nullptr, &journal);
    if (journal == SQLITE_OK)
        journal = connection.executeNonSelectionQuery("PRAGMA synchronous = NORMAL;");
    // The write-ahead log keeps every page written since its last checkpoint;
    // a small limit keeps it from taking the space of a nearly full disk.
    if (journal == SQLITE_OK)
        connection.executeSelectionQuery("PRAGMA wal_autocheckpoint = 256;", nullptr, &journal);
    if (journal == SQLITE_OK)
        connection.executeSelectionQuery("PRAGMA journal_size_limit = 1048576;", nullptr, &journal);
    if (journal != SQLITE_OK) {
        closeConnection();
        return journal;
    }
    return SQLITE_OK;
}

// Every statement is finalised first, so close_v2 closes at once. finalize
// repeats the error of a statement's last step, already reported; close_v2
// reports only misuse.
void BEACDBStorage::closeConnection() {
    for (auto& [sql, statement] : statements_)
        (void)sqlite3_finalize(statement);  // last step's error already reported
    statements_.clear();
    if (db_)
        (void)sqlite3_close_v2(db_);  // all finalised: reports only misuse
    db_ = nullptr;
}

int BEACDBStorage::applyPageLimit() {
    BEACDBConnection connection(db_, &statements_);
    int result = SQLITE_OK;
    connection.executeSelectionQuery(plat::format("PRAGMA max_page_count = %ld", maxSizeInBytes_ / pageSize_),
                                     nullptr, &result);
    if (result != SQLITE_OK && !isCorruption(result))
        BEACLogError(kBEACLogTag, "Failed to open database with specified maximum size constraint.");
    return result;
}

int BEACDBStorage::configureDatabase() {
    closeConnection();
    const bool existed = BEACUtility::fileExistsForPathComponent(filename_);
    auto path = BEACUtility::createFileAtPathComponent(filename_, std::nullopt, false, false);
    dbFilePath_ = path.value_or(std::string());
    maxSizeInBytes_ = kDefaultMaxSizeInBytes;
    pageSize_ = 0;
    if (int result = openConnection(); result != SQLITE_OK)
        return result;
    BEACDBConnection db(db_, &statements_);
    int result = SQLITE_OK;
    int64_t pageSize = db.querySingleValue("PRAGMA page_size;", &result);
    if (result != SQLITE_OK) {
        closeConnection();
        return result;
    }
    if (pageSize == 0) {
        BEACLogError(kBEACLogTag, "Failed to get storage page size.");
        closeConnection();
        return SQLITE_ERROR;
    }
    // Start-up reads only the schema; a page damaged anywhere else would make
    // every later save or load of its rows fail, launch after launch.
    auto check = db.executeSelectionQuery("PRAGMA quick_check;", nullptr, &result);
    if (result == SQLITE_OK &&
        (check.empty() || check[0].empty() || !check[0][0].isString() || *check[0][0].asString() != "ok"))
        result = SQLITE_CORRUPT;
    if (result != SQLITE_OK) {
        closeConnection();
        return result;
    }
    uint64_t storedVersion = static_cast<uint64_t>(db.querySingleValue("PRAGMA user_version", &result));
    if (result != SQLITE_OK) {
        closeConnection();
        return result;
    }
    if (schema_) {
        if (result = createTablesWithSchema(*schema_, db); result != SQLITE_OK) {
            BEACLogError(kBEACLogTag, "Failed to create tables with schema with error \"%d\".", result);
            closeConnection();
            return result;
        }
    }
    if (!existed) {
        BEACLogInfo(kBEACLogTag, "Created \"%@\" database with %lu version.", filename_, version_);
        customizeDatabase(db);
    } else if (storedVersion < version_) {
        BEACLogInfo(kBEACLogTag, "Migrating \"%@\" database from version %lu to %lu.", filename_,
                    storedVersion, version_);
        // A file whose migration failed keeps its old version, so that the
        // next configuration migrates it again instead of using old tables.
        if (result = migrateDatabase(db, storedVersion); result != SQLITE_OK) {
            BEACLogError(kBEACLogTag, "Failed to migrate \"%@\" database, result=%d.", filename_, result);
            closeConnection();
            return result;
        }
    }
    enableAutoVacuum(db);
    // A version that is not recorded would have the next launch migrate (and
    // so rebuild) a file of the current layout.
    db.executeSelectionQuery(plat::format("PRAGMA user_version = %lu", version_), nullptr, &result);
    if (result != SQLITE_OK) {
        BEACLogError(kBEACLogTag, "Failed to record the version of \"%@\" database, result=%d.", filename_,
                     result);
        closeConnection();
        return result;
    }
    pageSize_ = pageSize;
    if (result = applyPageLimit(); result != SQLITE_OK && isCorruption(result)) {
        closeConnection();
        return result;
    }
    return SQLITE_OK;
}

void BEACDBStorage::enableAutoVacuum(BEACDBConnection& db) {
    if (db.querySingleValue("PRAGMA auto_vacuum") == 1)
        return;
    BEACLogDebug(kBEACLogTag, "Vacuuming database and enabling auto_vacuum");
    // Best effort: without it the file only keeps its free pages (VACUUM
    // needs room for a copy of the file). A failure is logged by the
    // connection and tried again at the next configuration.
    (void)db.executeSelectionQuery("PRAGMA auto_vacuum = FULL;");
    (void)db.executeNonSelectionQuery("VACUUM;");
}

int BEACDBStorage::executeQueryUsingBlock(const std::function<int(BEACDBConnection&)>& block) {
    checkNotReentered("executeQueryUsingBlock");
    plat::MutexLock lock(mutex_);
    HeldMark mark(this);
    return executeLocked(block);
}

int BEACDBStorage::executeLocked(const std::function<int(BEACDBConnection&)>& block) {
    if (pageSize_ == 0) {
        BEACLogError(kBEACLogTag,
                     "The database was not configured correctly. The page size is expected to be non zero.");
        return SQLITE_ERROR;
    }
    if (!db_) {
        if (int result = openConnection(); result != SQLITE_OK)
            return result;
        if (int result = applyPageLimit(); isCorruption(result)) {
            closeConnection();
            return result;
        }
    }
    BEACDBConnection connection(db_, &statements_, pageSize_, maxSizeInBytes_);
    int result = block(connection);
    // Nothing may stay in a transaction that is never committed: every later
    // change would go into it and be lost when the connection closes.
    if (!sqlite3_get_autocommit(db_)) {
        BEACLogError(kBEACLogTag, "A transaction was left open on \"%@\"; its changes are rolled back.",
                     filename_);
        // Closing the connection rolls back what the statement could not.
        if (connection.executeNonSelectionQuery("ROLLBACK") != SQLITE_OK)
            closeConnection();
        if (result == SQLITE_OK)
            result = SQLITE_ERROR;
    }
    return result;
}

int BEACDBStorage::executeNonSelectionQuery(const std::string& sql, const BEACStorageBindableArray* values) {
    return executeQueryUsingBlock(
        [&](BEACDBConnection& db) { return db.executeNonSelectionQuery(sql, values); });
}

std::vector<BEACStorageRow> BEACDBStorage::executeSelectionQuery(const std::string& sql,
                                                                 const BEACStorageBindableArray* values) {
    std::vector<BEACStorageRow> rows;
    // A failure is logged by the connection and gives the rows read before it.
    (void)executeQueryUsingBlock([&](BEACDBConnection& db) {
        int result = SQLITE_OK;
        rows = db.executeSelectionQuery(sql, values, &result);
        return result;
    });
    return rows;
}

uint64_t BEACDBStorage::countEntriesForTable(const std::string& table,
                                             const std::optional<std::string>& condition,
                                             const BEACStorageBindableArray* values) {
    std::string sql = plat::format("SELECT COUNT(*) FROM \"%@\" ", table);
    if (condition && !condition->empty())
        sql += plat::format("WHERE %@", *condition);
    auto rows = executeSelectionQuery(sql, values);
    if (rows.empty() || rows[0].empty())
        return 0;
    return static_cast<uint64_t>(rows[0][0].longLongValue());
}

std::string BEACDBStorage::columnsQueryFromColumnsSchema(const BEACTableSchema& columns) {
    std::string text;
    for (const auto& column : columns) {
        if (!text.empty())
            text += ", ";
        std::string words;
        for (const auto& word : column.constraints)
            words += (words.empty() ? "" : " ") + word;
        text += plat::format("\"%@\" %@", column.name, words);
    }
    return text;
}

std::map<std::string, std::map<std::string, std::size_t>> BEACDBStorage::columnsIndexes(
    const BEACDBSchema& schema) {
    std::map<std::string, std::map<std::string, std::size_t>> indexes;
    for (const auto& [table, columns] : schema) {
        for (std::size_t i = 0; i < columns.size(); ++i)
            indexes[table][columns[i].name] = i;
    }
    return indexes;
}

bool BEACDBStorage::tableExists(const std::string& table, BEACDBConnection& db, int* result) {
    BEACStorageBindableArray values;
    values.addString(table);
    int code = SQLITE_OK;
    auto rows = db.executeSelectionQuery(
        "SELECT COUNT(*) FROM \"sqlite_master\" WHERE \"type\"='table' AND \"name\"=?;", &values, &code);
    if (result)
        *result = code;
    return !rows.empty() && !rows[0].empty() && rows[0][0].longLongValue() != 0;
}

int BEACDBStorage::createTablesWithSchema(const BEACDBSchema& schema, BEACDBConnection& db) {
    std::vector<std::string> statements;
    for (const auto& [table, columns] : schema) {
        int result = SQLITE_OK;
        if (tableExists(table, db, &result))
            continue;
        if (result != SQLITE_OK)
            return result;
        statements.push_back(
            plat::format("CREATE TABLE \"%@\" (%@);", table, columnsQueryFromColumnsSchema(columns)));
    }
    for (const auto& statement : statements) {
        if (int result = db.executeNonSelectionQuery(statement); result != SQLITE_OK)
            return result;
    }
    return SQLITE_OK;
}

bool BEACDBStorage::createTable(const std::string& table, const BEACTableSchema& columns) {
    int result = executeQueryUsingBlock([&](BEACDBConnection& db) {
        int code = SQLITE_OK;
        if (tableExists(table, db, &code) || code != SQLITE_OK)
            return code;
        code = db.executeNonSelectionQuery(
            plat::format("CREATE TABLE \"%@\" (%@);", table, columnsQueryFromColumnsSchema(columns)));
        if (code == SQLITE_OK)
            BEACLogVerbose(kBEACLogTag, "Table %@ has been created", table);
        return code;
    });
    if (result != SQLITE_OK)
        BEACLogError(kBEACLogTag, "Failed to create table %@", table);
    return result == SQLITE_OK;
}

bool BEACDBStorage::dropTable(const std::string& table) {
    int result = executeQueryUsingBlock([&](BEACDBConnection& db) {
        int code = SQLITE_OK;
        if (!tableExists(table, db, &code) || code != SQLITE_OK)
            return code;
        code = db.executeNonSelectionQuery(plat::format("DROP TABLE \"%@\";", table));
        if (code == SQLITE_OK)
            BEACLogVerbose(kBEACLogTag, "Table %@ has been deleted", table);
        return code;
    });
    if (result != SQLITE_OK)
        BEACLogError(kBEACLogTag, "Failed to delete table %@", table);
    return result == SQLITE_OK;
}

// The companions go too: a hot journal or WAL left behind would be replayed
// into the new file.
void BEACDBStorage::dropDatabase() {
    checkNotReentered("dropDatabase");
    plat::MutexLock lock(mutex_);
    HeldMark mark(this);
    dropDatabaseLocked();
}

void BEACDBStorage::dropDatabaseLocked() {
    closeConnection();
    if (dbFilePath_.empty()) {
        BEACLogError(kBEACLogTag, "Failed to delete database.");
        return;
    }
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        std::string companion = dbFilePath_ + suffix;
        // A journal or WAL left behind would be replayed into the new file.
        if (::access(companion.c_str(), F_OK) == 0 && !BEACUtility::deleteFileAtPath(companion))
            BEACLogError(kBEACLogTag, "Failed to delete \"%@\" of the database.", std::string(suffix));
    }
    if (BEACUtility::deleteFileAtPath(dbFilePath_)) {
        const std::string uri = fileURI(dbFilePath_);
        BEACLogVerbose(kBEACLogTag, "Database %@ has been deleted.", uri);
    } else
        BEACLogError(kBEACLogTag, "Failed to delete database.");
}

void BEACDBStorage::setMaxStorageSize(int64_t sizeInBytes, const std::function<void(bool)>& completion) {
    checkNotReentered("setMaxStorageSize");
    bool accepted = false;
    {
        plat::MutexLock lock(mutex_);
        HeldMark mark(this);
        if (pageSize_ == 0) {
            BEACLogError(
                kBEACLogTag,
                "The database was not configured correctly. The page size is expected to be non zero.");
        } else if (openConnection() == SQLITE_OK) {
            BEACDBConnection db(db_, &statements_);
            int64_t current = db.querySingleValue("PRAGMA page_count;");
            BEACLogDebug(kBEACLogTag, "Found %ld pages in the database.", current);
            int64_t pages = sizeInBytes / pageSize_ + (sizeInBytes % pageSize_ != 0 ? 1 : 0);
            if (current > pages) {
                BEACLogWarning(
                    kBEACLogTag,
                    "Cannot change database size to %ld bytes as it would cause a loss of data. Maximum "
                    "database size will not be changed.",
                    sizeInBytes);
            } else {
                int result = SQLITE_OK;
                db.executeSelectionQuery(plat::format("PRAGMA max_page_count = %ld", pages), nullptr,
                                         &result);
                if (result != SQLITE_OK) {
                    BEACLogError(kBEACLogTag,
                                 "Could not change maximum database size to %ld bytes. SQLite error code: %i",
                                 sizeInBytes, result);
                } else {
                    int64_t actual = db.querySingleValue("PRAGMA max_page_count;");
                    int64_t newSize = pageSize_ * actual;
                    if (actual == pages) {
                        if (newSize == sizeInBytes)
                            BEACLogInfo(kBEACLogTag, "Changed maximum database size to %ld bytes.",
                                        sizeInBytes);
                        else
                            BEACLogInfo(kBEACLogTag,
                                        "Changed maximum database size to %ld bytes (next multiple of 4KiB).",
                                        newSize);
                        maxSizeInBytes_ = newSize;
                        accepted = true;
                    } else {
                        BEACLogError(kBEACLogTag,
                                     "Could not change maximum database size to %ld bytes, current maximum "
                                     "size is %ld "
                                     "bytes.",
                                     sizeInBytes, newSize);
                        (void)applyPageLimit();  // the old limit stays in force; a failure is logged
                    }
                }
            }
        }
    }
    if (completion)
        completion(accepted);
}

int64_t BEACDBStorage::maxSizeInBytes() const {
    checkNotReentered("maxSizeInBytes");
    plat::MutexLock lock(mutex_);
    return maxSizeInBytes_;
}

int64_t BEACDBStorage::pageSize() const {
    checkNotReentered("pageSize");
    plat::MutexLock lock(mutex_);
    return pageSize_;
}
