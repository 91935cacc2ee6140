// The log store: every log a channel unit accepted, kept as one row of the
// table "logs" in "Logs.sqlite" (SDK folder) until the ingestion confirmed it.
//
// Rows hold the group id, the log's keyed archive as base64 text, for Shared
// Schema logs the encrypted target token and its target key, and the
// priority (flags & 0xFF). Loads hand out a group's logs in batches, highest
// priority first and oldest first within a priority; a batch's rows stay
// reserved (left out of later loads of the same process) until the batch is
// deleted. Pending batches are keyed by the exact group id, so one group's
// deletion never releases another group's batches. When the file is full the
// store evicts rows of equal or lower priority, lowest and oldest first, until
// the file has the pages the new row needs, inside one transaction: when the
// new log still does not fit, the evicted rows are restored and only the new
// log is refused. Every change is committed before a save reports success; a
// change that cannot be written (a full disk) is rolled back and reported.
//
// A row that cannot be decoded is deleted (its bytes are damaged); a row
// whose log class is unknown to this process is kept for a later launch and
// left out of loads until then. Both are logged.
//
// Threads: every member may be called from any thread; the channel group
// calls from its serial queue. The store's lock (batches and rows kept back)
// is taken before the database's; a load's completion is called after both
// are released, so it may call the store again.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "beacon/core/BEACDBStorage.h"
#include "beacon/core/BEACEncrypter.h"
#include "beacon/core/BEACStorage.h"

inline constexpr const char* kBEACLogsFileName = "Logs.sqlite";
inline constexpr uint64_t kBEACLogsDatabaseVersion = 5;

class BEACLogDBStorage : public BEACDBStorage, public BEACStorage {
  public:
    BEACLogDBStorage();

    bool saveLog(const BEACLogPtr& log, const std::string& groupId, uint64_t flags) override EXCLUDES(mutex_);
    uint64_t countLogs() override;
    std::vector<BEACLogPtr> deleteLogsWithGroupId(const std::string& groupId) override EXCLUDES(mutex_);
    void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) override
        EXCLUDES(mutex_);
    bool loadLogsWithGroupId(const std::string& groupId, uint64_t limit,
                             const std::optional<std::vector<std::string>>& excludedTargetKeys,
                             const LoadCompletion& completion) override EXCLUDES(mutex_);
    void setMaxStorageSize(int64_t sizeInBytes, const std::function<void(bool)>& completion) override {
        BEACDBStorage::setMaxStorageSize(sizeInBytes, completion);
    }

    struct Row {
        int64_t id;
        std::string groupId;
        BEACLogPtr log;
    };
    // Rows matching the condition (SQL after WHERE, values bound in order).
    std::vector<Row> logsWithCondition(const std::string& condition, const BEACStorageBindableArray& values)
        EXCLUDES(mutex_);
    std::vector<BEACLogPtr> logsFromDBWithGroupId(const std::string& groupId) EXCLUDES(mutex_);
    // "(?,?,...)" with n placeholders.
    static std::string buildKeyFormatWithCount(std::size_t n);

    static BEACDBSchema logsSchema();

  protected:
    void customizeDatabase(BEACDBConnection& db) override;
    int migrateDatabase(BEACDBConnection& db, uint64_t fromVersion) override;

  private:
    static int deleteLogsWithColumnValues(BEACDBConnection& db, const std::vector<plat::Value>& values,
                                          const std::string& columnName);
    int deleteLogsWithColumnValues(const std::vector<plat::Value>& values, const std::string& columnName);
    static void createPriorityIndex(BEACDBConnection& db);
    static void createLoadIndex(BEACDBConnection& db);
    int insertWithEviction(BEACDBConnection& db, const std::string& insert,
                           const BEACStorageBindableArray& values, int64_t priority, std::size_t length,
                           bool& noRoom);
    int evictAndInsert(BEACDBConnection& db, const std::string& insert,
                       const BEACStorageBindableArray& values, int64_t priority, std::size_t length,
                       int64_t& deleted, bool& noRoom);
    static int commit(BEACDBConnection& db);
    std::vector<int64_t> excludedIds(const std::string& groupId) const REQUIRES(mutex_);
    std::vector<Row> logsWithConditionLocked(const std::string& condition,
                                             const BEACStorageBindableArray& values) REQUIRES(mutex_);
    // Rows left out go to `damaged` (bytes that cannot be decoded) or
    // `unknown` (a log class this process does not know).
    BEACLogPtr decodeLog(int64_t id, std::optional<std::string_view> text, std::vector<plat::Value>& damaged,
                         std::vector<int64_t>& unknown) const;
    void restoreTargetToken(BEACAbstractLog& log, int64_t id, std::string_view token);

    // Taken before the database's lock.
    plat::Mutex mutex_;
    // Group id to batch id to the row ids handed out in that batch.
    std::map<std::string, std::map<std::string, std::vector<int64_t>>> batches_ GUARDED_BY(mutex_);
    // Rows whose log class this process cannot decode, kept for a later launch.
    std::set<int64_t> undecodable_ GUARDED_BY(mutex_);
    std::size_t idColumnIndex_ = 0;
    std::size_t groupIdColumnIndex_ = 0;
    std::size_t logColumnIndex_ = 0;
    std::size_t targetTokenColumnIndex_ = 0;
    BEACEncrypter targetTokenEncrypter_;
};
