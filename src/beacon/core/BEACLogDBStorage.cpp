#include "beacon/core/BEACLogDBStorage.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

#include "beacon/core/BEACLogger.h"
#include "beacon/core/BEACSharedSchemaLog.h"
#include "beacon/core/BEACUtility.h"
#include "platform/foundation/UUID.h"

namespace {

constexpr const char* kTable = "logs";
constexpr const char* kId = "id";
constexpr const char* kGroupId = "groupId";
constexpr const char* kLog = "log";
constexpr const char* kTargetToken = "targetToken";
constexpr const char* kTargetKey = "targetKey";
constexpr const char* kPriority = "priority";

std::string joined(const std::vector<plat::Value>& values, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            text += separator;
        text += values[i].description();
    }
    return text;
}

std::vector<plat::Value> idValues(const std::vector<int64_t>& ids) {
    std::vector<plat::Value> values;
    values.reserve(ids.size());
    for (int64_t id : ids)
        values.emplace_back(id);
    return values;
}

// A column's text in place (valid until the statement moves on); nullopt for
// NULL and for values of any other type.
std::optional<std::string_view> columnText(sqlite3_stmt* statement, std::size_t index) {
    const int column = static_cast<int>(index);
    if (sqlite3_column_type(statement, column) != SQLITE_TEXT)
        return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

// The unarchiver names a class it has no factory for: a log type of a service
// this process has not started, not damaged bytes.
bool namesUnknownClass(const plat::ErrorPtr& error) {
    if (!error)
        return false;
    const plat::Value* reason = error->userInfo().find(plat::DebugDescriptionErrorKey);
    return reason && reason->isString() && reason->asString()->find("is not registered") != std::string::npos;
}

}  // namespace

BEACDBSchema BEACLogDBStorage::logsSchema() {
    return {{kTable,
             {{kId, {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}},
              {kGroupId, {"TEXT", "NOT NULL"}},
              {kLog, {"TEXT", "NOT NULL"}},
              {kTargetToken, {"TEXT"}},
              {kTargetKey, {"TEXT"}},
              {kPriority, {"INTEGER"}}}}};
}

BEACLogDBStorage::BEACLogDBStorage()
    : BEACDBStorage(logsSchema(), kBEACLogsDatabaseVersion, kBEACLogsFileName, DeferInitialization{}) {
    initialize();
    // Fails only when the store could not be configured, which is logged.
    (void)executeQueryUsingBlock([](BEACDBConnection& db) {
        createLoadIndex(db);
        return 0;
    });
    auto indexes = columnsIndexes(logsSchema()).at(kTable);
    idColumnIndex_ = indexes.at(kId);
    groupIdColumnIndex_ = indexes.at(kGroupId);
    logColumnIndex_ = indexes.at(kLog);
    targetTokenColumnIndex_ = indexes.at(kTargetToken);
}

std::string BEACLogDBStorage::buildKeyFormatWithCount(std::size_t n) {
    std::string text = "(";
    for (std::size_t i = 0; i < n; ++i)
        text += i ? ",?" : "?";
    return text + ")";
}

// Indexes only speed up loads and eviction: a failure (logged by the
// connection) leaves the store working, and the load index is made again at
// the next configuration.
void BEACLogDBStorage::createPriorityIndex(BEACDBConnection& db) {
    (void)db.executeNonSelectionQuery(
        plat::format("CREATE INDEX \"ix_%@_%@\" ON \"%@\" (\"%@\")", kTable, kPriority, kTable, kPriority));
}

void BEACLogDBStorage::customizeDatabase(BEACDBConnection& db) {
    createPriorityIndex(db);
}

// Loads ask for one group's rows by priority (highest first), then id: this
// index hands them out in that order, so a load reads only its batch instead
// of sorting the whole table. Made on every configuration, so files of this
// version made without it gain it.
void BEACLogDBStorage::createLoadIndex(BEACDBConnection& db) {
    (void)db.executeNonSelectionQuery(
        plat::format("CREATE INDEX IF NOT EXISTS \"ix_%@_%@_%@\" ON \"%@\" (\"%@\", \"%@\" DESC)", kTable,
                     kGroupId, kPriority, kTable, kGroupId, kPriority));
}

// Files of an older layout are rebuilt; their logs cannot be read.
int BEACLogDBStorage::migrateDatabase(BEACDBConnection& db, uint64_t /*fromVersion*/) {
    if (int code = db.executeNonSelectionQuery(plat::format("DROP TABLE IF EXISTS \"%@\";", kTable));
        code != 0)
        return code;
    if (int code = createTablesWithSchema(logsSchema(), db); code != 0)
        return code;
    createPriorityIndex(db);
    return 0;
}

// Save

bool BEACLogDBStorage::saveLog(const BEACLogPtr& log, const std::string& groupId, uint64_t flags) {
    if (!log)
        return false;
    plat::MutexLock lock(mutex_);
    auto archived =
        BEACUtility::archiveKeyedData(plat::Value(std::static_pointer_cast<const plat::Object>(log)));
    std::optional<std::string> base64;
    if (archived)
        base64 = archived->base64EncodedString();
    const std::size_t length = base64 ? base64->size() : 0;
    const int64_t priority = static_cast<int64_t>(flags & 0xFF);

    static const std::string insertTargeted =
        plat::format("INSERT INTO \"%@\" (\"%@\", \"%@\", \"%@\", \"%@\", \"%@\") VALUES (?, ?, ?, ?, ?)",
                     kTable, kGroupId, kLog, kTargetToken, kTargetKey, kPriority);
    static const std::string insertPlain = plat::format(
        "INSERT INTO \"%@\" (\"%@\", \"%@\", \"%@\") VALUES (?, ?, ?)", kTable, kGroupId, kLog, kPriority);
    BEACStorageBindableArray values;
    values.addString(groupId);
    values.addString(std::move(base64));
    const std::string* insert = &insertPlain;
    if (auto schemaLog = std::dynamic_pointer_cast<BEACSharedSchemaLog>(log)) {
        std::optional<std::string> token;
        if (auto tokens = schemaLog->transmissionTargetTokens(); tokens && !tokens->empty())
            token = *tokens->begin();
        values.addString(token ? targetTokenEncrypter_.encryptString(*token) : std::nullopt);
        values.addString(BEACUtility::targetKeyFromTargetToken(token));
        insert = &insertTargeted;
    }
    values.addNumber(priority);

    bool noRoom = false;
    int result = executeQueryUsingBlock([&](BEACDBConnection& db) {
        const int64_t capacity = db.pageSize() * (db.maxSizeInBytes() / db.pageSize());
        if (static_cast<int64_t>(length) >= capacity) {
            BEACLogError(
                kBEACLogTag,
                "Log is too large (%tu bytes) to store in database. Current maximum database size is %tu "
                "bytes.",
                length, static_cast<std::size_t>(capacity));
            return BEACSQLiteError;
        }
        int code = db.executeNonSelectionQuery(*insert, &values);
        if (code == BEACSQLiteFull)
            code = insertWithEviction(db, *insert, values, priority, length, noRoom);
        if (code == BEACSQLiteOK)
            BEACLogVerbose(kBEACLogTag, "Log is stored with id: '%ld'", db.lastInsertRowId());
        return code;
    });
    if (noRoom)
        BEACLogError(kBEACLogTag,
                     "Storage is full and no logs with equal or lower priority exist; discarding the log.");
    return result == BEACSQLiteOK;
}

namespace {

// Pages the file can still use: free pages inside it, and pages it may grow
// by; nullopt when SQLite cannot say (the code goes to *result).
std::optional<int64_t> availablePages(BEACDBConnection& db, int64_t maxPages, int* result) {
    const int64_t free = db.querySingleValue("PRAGMA freelist_count;", result);
    if (*result != BEACSQLiteOK)
        return std::nullopt;
    const int64_t used = db.querySingleValue("PRAGMA page_count;", result);
    if (*result != BEACSQLiteOK)
        return std::nullopt;
    return free + std::max<int64_t>(0, maxPages - used);
}

// Ends the transaction the connection may be in; SQLite has sometimes ended it already.
void rollBackIfOpen(BEACDBConnection& db) {
    // A rollback that fails leaves the transaction to executeQueryUsingBlock,
    // which rolls it back or closes the connection.
    if (!sqlite3_get_autocommit(db.handle()))
        (void)db.executeNonSelectionQuery("ROLLBACK");
}

}  // namespace

// The insert did not fit. In one transaction, evicts rows of equal or lower
// priority, lowest priority first and oldest first within a priority, until
// the file has the pages the row needs, then inserts and commits. When every
// candidate is gone and the log still does not fit, the evicted rows are
// restored and only the new log is refused (`noRoom`). A commit that fails
// (the disk itself is full) is rolled back and reported; nothing is left
// half done.
int BEACLogDBStorage::insertWithEviction(BEACDBConnection& db, const std::string& insert,
                                         const BEACStorageBindableArray& values, int64_t priority,
                                         std::size_t length, bool& noRoom) {
    int64_t deleted = 0;
    int code = evictAndInsert(db, insert, values, priority, length, deleted, noRoom);
    if (code == BEACSQLiteOK)
        code = commit(db);
    if (code == BEACSQLiteFull && !noRoom) {
        // The disk itself is full. The write-ahead log is usually what fills
        // it: it keeps every page written since its last checkpoint. Moving
        // its pages into the database and truncating it gives that space
        // back; the log is then tried once more.
        int checkpoint = BEACSQLiteOK;
        auto rows = db.executeSelectionQuery("PRAGMA wal_checkpoint(TRUNCATE);", nullptr, &checkpoint);
        if (checkpoint == BEACSQLiteOK && !rows.empty() && !rows[0].empty() &&
            rows[0][0].longLongValue() == 0) {
            code = evictAndInsert(db, insert, values, priority, length, deleted, noRoom);
            if (code == BEACSQLiteOK)
                code = commit(db);
        }
        if (code != BEACSQLiteOK && !noRoom)
            BEACLogError(kBEACLogTag,
                         "Could not write the log store's changes (result=%d); the log is discarded and no "
                         "stored log was evicted.",
                         code);
    }
    if (code == BEACSQLiteOK && deleted > 0)
        BEACLogDebug(kBEACLogTag,
                     "Log storage was over capacity, %ld oldest log(s) with equal or lower priority deleted.",
                     deleted);
    return code;
}

int BEACLogDBStorage::commit(BEACDBConnection& db) {
    int code = db.executeNonSelectionQuery("COMMIT");
    if (code != BEACSQLiteOK)
        rollBackIfOpen(db);
    return code;
}

// One transaction that evicts and inserts, left open on success. A failing
// insert may end the whole transaction (SQLite does so on SQLITE_FULL), which
// puts the evicted rows back: the attempt is then made again with a larger
// number of pages. When every candidate is gone and the log still does not
// fit, the transaction is rolled back (`noRoom`).
int BEACLogDBStorage::evictAndInsert(BEACDBConnection& db, const std::string& insert,
                                     const BEACStorageBindableArray& values, int64_t priority,
                                     std::size_t length, int64_t& deleted, bool& noRoom) {
    static const std::string candidatesQuery =
        plat::format("SELECT \"%@\" FROM \"%@\" WHERE \"%@\" <= ? ORDER BY \"%@\" ASC, \"%@\" ASC LIMIT 16",
                     kId, kTable, kPriority, kPriority, kId);
    const int64_t page = std::max<int64_t>(db.pageSize(), 512);
    int code = BEACSQLiteOK;
    const int64_t maxPages = db.querySingleValue("PRAGMA max_page_count;", &code);
    if (code != BEACSQLiteOK)
        return code;
    // Whether the file has the pages the row needs; a failure to tell ends
    // the attempt (rolled back) rather than evicting blindly.
    auto enoughRoom = [&](int64_t needed) -> std::optional<bool> {
        auto available = availablePages(db, maxPages, &code);
        return available ? std::optional<bool>(*available >= needed) : std::nullopt;
    };
    // The row's own pages (a leaf, or a leaf and an overflow chain).
    int64_t needed = 1 + static_cast<int64_t>(length) / (page - 64);
    BEACStorageBindableArray candidateValues;
    candidateValues.addNumber(priority);

    bool inTransaction = false;
    bool exhausted = false;
    while (true) {
        if (!inTransaction) {
            if (code = db.executeNonSelectionQuery("BEGIN IMMEDIATE"); code != BEACSQLiteOK)
                return code;
            inTransaction = true;
            exhausted = false;
            deleted = 0;
        }
        while (!exhausted) {
            auto room = enoughRoom(needed);
            if (!room) {
                rollBackIfOpen(db);
                return code;
            }
            if (*room)
                break;
            std::vector<int64_t> ids;
            code = db.enumerateRows(candidatesQuery, &candidateValues, [&](sqlite3_stmt* statement) {
                ids.push_back(sqlite3_column_int64(statement, 0));
            });
            if (code != BEACSQLiteOK) {
                rollBackIfOpen(db);
                return code;
            }
            exhausted = ids.empty();
            for (int64_t id : ids) {
                if (code = deleteLogsWithColumnValues(db, {plat::Value(id)}, kId); code != BEACSQLiteOK) {
                    rollBackIfOpen(db);
                    return code;
                }
                BEACLogDebug(kBEACLogTag, "Deleted a log with id %@ to store a new log.", plat::Value(id));
                ++deleted;
                auto now = enoughRoom(needed);
                if (!now) {
                    rollBackIfOpen(db);
                    return code;
                }
                if (*now)
                    break;
            }
        }
        code = db.executeNonSelectionQuery(insert, &values);
        if (code == BEACSQLiteOK)
            return code;
        if (code != BEACSQLiteFull || exhausted) {
            rollBackIfOpen(db);
            noRoom = code == BEACSQLiteFull;
            return code;
        }
        // More pages than estimated (index pages, a split); SQLite may have
        // rolled the transaction back, in which case it starts over.
        needed += std::max<int64_t>(1, needed / 2);
        inTransaction = !sqlite3_get_autocommit(db.handle());
    }
}

uint64_t BEACLogDBStorage::countLogs() {
    return countEntriesForTable(kTable, std::nullopt);
}

// Load

std::vector<int64_t> BEACLogDBStorage::excludedIds(const std::string& groupId) const {
    std::vector<int64_t> ids(undecodable_.begin(), undecodable_.end());
    if (auto group = batches_.find(groupId); group != batches_.end()) {
        for (const auto& [batchId, batchIds] : group->second)
            ids.insert(ids.end(), batchIds.begin(), batchIds.end());
    }
    return ids;
}

bool BEACLogDBStorage::loadLogsWithGroupId(const std::string& groupId, uint64_t limit,
                                           const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                           const LoadCompletion& completion) {
    plat::MutexLock lock(mutex_);
    BEACStorageBindableArray values;
    std::string condition = plat::format("\"%@\" = ?", kGroupId);
    values.addString(groupId);
    if (excludedTargetKeys && !excludedTargetKeys->empty()) {
        condition += plat::format(" AND \"%@\" NOT IN %@", kTargetKey,
                                  buildKeyFormatWithCount(excludedTargetKeys->size()));
        for (const auto& key : *excludedTargetKeys)
            values.addString(key);
    }
    auto excluded = excludedIds(groupId);
    if (!excluded.empty()) {
        condition += plat::format(" AND \"%@\" NOT IN %@", kId, buildKeyFormatWithCount(excluded.size()));
        for (int64_t id : excluded)
            values.addNumber(id);
    }
    condition += plat::format(" ORDER BY \"%@\" DESC, \"%@\" ASC", kPriority, kId);
    if (limit < std::numeric_limits<int64_t>::max())
        condition += plat::format(" LIMIT %lu", limit + 1);

    auto rows = logsWithConditionLocked(condition, values);
    const bool moreAvailable = rows.size() > limit;
    if (moreAvailable)
        rows.resize(limit);
    std::vector<BEACLogPtr> logs;
    std::vector<int64_t> ids;
    for (auto& row : rows) {
        ids.push_back(row.id);
        logs.push_back(std::move(row.log));
    }
    std::optional<std::string> batchId;
    if (!logs.empty()) {
        batchId = plat::UUID().UUIDString();
        BEACLogVerbose(kBEACLogTag, "Load log(s) with id(s) '%@' as batch Id:%@",
                       joined(idValues(ids), "','"), *batchId);
        batches_[groupId][*batchId] = std::move(ids);
    }
    lock.unlock();
    if (completion)
        completion(logs, batchId);
    return moreAvailable;
}

// Rows are decoded as they are stepped through, straight from SQLite's
// column text: the archive text is not copied before it is decoded. Damaged
// rows are deleted once the selection is over.
std::vector<BEACLogDBStorage::Row> BEACLogDBStorage::logsWithCondition(
    const std::string& condition, const BEACStorageBindableArray& values) {
    plat::MutexLock lock(mutex_);
    return logsWithConditionLocked(condition, values);
}

std::vector<BEACLogDBStorage::Row> BEACLogDBStorage::logsWithConditionLocked(
    const std::string& condition, const BEACStorageBindableArray& values) {
    std::string sql = plat::format("SELECT * FROM \"%@\"", kTable);
    if (!condition.empty())
        sql += plat::format(" WHERE %@", condition);
    std::vector<Row> result;
    std::vector<plat::Value> damaged;
    std::vector<int64_t> unknown;
    const int columns = static_cast<int>(targetTokenColumnIndex_) + 1;
    executeQueryUsingBlock([&](BEACDBConnection& db) {
        return db.enumerateRows(sql, &values, [&](sqlite3_stmt* statement) {
            if (sqlite3_column_count(statement) < columns)
                return;
            const int64_t id = sqlite3_column_int64(statement, static_cast<int>(idColumnIndex_));
            auto log = decodeLog(id, columnText(statement, logColumnIndex_), damaged, unknown);
            if (!log)
                return;
            if (auto token = columnText(statement, targetTokenColumnIndex_))
                restoreTargetToken(*log, id, *token);
            auto group = columnText(statement, groupIdColumnIndex_);
            result.push_back({id, group ? std::string(*group) : std::string(), std::move(log)});
        });
    });
    undecodable_.insert(unknown.begin(), unknown.end());
    // A failed deletion is logged; the damaged rows are met (and deleted)
    // again at the next load.
    if (!damaged.empty())
        (void)deleteLogsWithColumnValues(damaged, kId);
    return result;
}

// The log of a row's archive text; null for a row left out, which is either
// kept for a later launch (its class is unknown here) or added to `damaged`.
BEACLogPtr BEACLogDBStorage::decodeLog(int64_t id, std::optional<std::string_view> text,
                                       std::vector<plat::Value>& damaged,
                                       std::vector<int64_t>& unknown) const {
    std::optional<plat::Data> archive;
    if (text)
        archive = plat::Data::fromBase64(*text, plat::Data::Base64DecodingIgnoreUnknownCharacters);
    plat::ErrorPtr error;
    auto object = archive ? BEACUtility::unarchiveKeyedData(archive, &error) : std::nullopt;
    auto log =
        object ? std::const_pointer_cast<BEACAbstractLog>(object->asObjectOf<BEACAbstractLog>()) : nullptr;
    if (log)
        return log;
    if (namesUnknownClass(error)) {
        BEACLogError(kBEACLogTag, "Log with Id %@ is of a type this process cannot read; it is kept.",
                     plat::Value(id));
        unknown.push_back(id);
    } else {
        BEACLogError(kBEACLogTag, "Deserialization failed for log with Id %@", plat::Value(id));
        damaged.emplace_back(id);
    }
    return nullptr;
}

void BEACLogDBStorage::restoreTargetToken(BEACAbstractLog& log, int64_t id, std::string_view token) {
    if (token.empty()) {
        BEACLogError(kBEACLogTag, "Unexpected empty target token for log with Id %@.", plat::Value(id));
    } else if (auto plain = targetTokenEncrypter_.decryptString(std::string(token))) {
        log.addTransmissionTargetToken(*plain);
    } else {
        BEACLogError(kBEACLogTag, "Failed to decrypt the target token for log with Id %@.", plat::Value(id));
    }
}

std::vector<BEACLogPtr> BEACLogDBStorage::logsFromDBWithGroupId(const std::string& groupId) {
    BEACStorageBindableArray values;
    values.addString(groupId);
    std::vector<BEACLogPtr> logs;
    for (auto& row : logsWithCondition(plat::format("\"%@\" = ?", kGroupId), values))
        logs.push_back(std::move(row.log));
    return logs;
}

// Delete

int BEACLogDBStorage::deleteLogsWithColumnValues(BEACDBConnection& db, const std::vector<plat::Value>& values,
                                                 const std::string& columnName) {
    BEACStorageBindableArray bound;
    for (const auto& value : values) {
        if (value.isString())
            bound.addString(*value.asString());
        else
            bound.addNumber(value.longLongValue());
    }
    auto trace = [&] {
        return plat::format("Deletion of log(s) by %@ with value(s) '%@'", columnName, joined(values, "','"));
    };
    int result = db.executeNonSelectionQuery(plat::format("DELETE FROM \"%@\" WHERE \"%@\" IN %@", kTable,
                                                          columnName, buildKeyFormatWithCount(values.size())),
                                             &bound);
    if (result == BEACSQLiteOK)
        BEACLogVerbose(kBEACLogTag, "%@ succeeded.", trace());
    else
        BEACLogError(kBEACLogTag, "%@ failed.", trace());
    return result;
}

int BEACLogDBStorage::deleteLogsWithColumnValues(const std::vector<plat::Value>& values,
                                                 const std::string& columnName) {
    return executeQueryUsingBlock(
        [&](BEACDBConnection& db) { return deleteLogsWithColumnValues(db, values, columnName); });
}

void BEACLogDBStorage::deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) {
    plat::MutexLock lock(mutex_);
    auto group = batches_.find(groupId);
    if (group == batches_.end())
        return;
    auto batch = group->second.find(batchId);
    if (batch == group->second.end() || batch->second.empty())
        return;
    // A batch whose rows could not be deleted stays reserved, so that it is
    // not handed out (and sent) a second time.
    if (deleteLogsWithColumnValues(idValues(batch->second), kId) != BEACSQLiteOK)
        return;
    group->second.erase(batch);
    if (group->second.empty())
        batches_.erase(group);
}

std::vector<BEACLogPtr> BEACLogDBStorage::deleteLogsWithGroupId(const std::string& groupId) {
    plat::MutexLock lock(mutex_);
    BEACStorageBindableArray values;
    values.addString(groupId);
    std::vector<BEACLogPtr> logs;
    for (auto& row : logsWithConditionLocked(plat::format("\"%@\" = ?", kGroupId), values))
        logs.push_back(std::move(row.log));
    if (deleteLogsWithColumnValues({plat::Value(groupId)}, kGroupId) == BEACSQLiteOK)
        batches_.erase(groupId);
    return logs;
}
