// The shared server state: one SQLite database in WAL mode plus a folder of
// asset content files named by their SHA-256, both under the cloud root.
// Every process that opens the same root sees the same accounts, zones,
// records, subscriptions and push inboxes.
//
// Each call is one transaction: writers use BEGIN IMMEDIATE (so concurrent
// writers of several processes queue on SQLite's lock, waiting up to the busy
// timeout) and reads run in one snapshot. Asset files are written and removed
// only while the write lock is held, so no process can remove content that
// another is about to reference, and removed only after the transaction that
// dropped their last reference has committed.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/cloudkit/Errors.h"
#include "platform/cloudkit/Faults.h"
#include "platform/cloudkit/Types.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Result.h"

struct sqlite3;

namespace plat::cloudkit::detail {

struct DatabaseKey {
    std::string account;  // empty for the public database
    DatabaseScope scope;
};

using DesiredKeys = std::optional<std::vector<std::string>>;

enum class SavePolicy { IfServerRecordUnchanged, ChangedKeys, AllKeys };

struct ModifyRequest {
    std::vector<Record> saves;
    std::vector<RecordID> deletes;
    SavePolicy policy = SavePolicy::IfServerRecordUnchanged;
    bool atomic = true;  // honoured in custom zones only
    std::string device;  // the originator, for push routing
    bool pushToOriginator = false;
    bool deleteMissingAnswersUnknownItem = false;
    const FaultDecision* faults = nullptr;
};

struct ModifyResult {
    std::vector<RecordPtr> saved;  // with their new change tags
    std::vector<RecordID> deleted;
    ItemErrors errors;
};

struct FetchResult {
    std::vector<std::pair<RecordID, RecordPtr>> records;  // found ones, in request order
    ItemErrors errors;
};

struct QueryPage {
    std::vector<RecordPtr> records;
    std::shared_ptr<const QueryCursor> cursor;  // null on the last page
};

struct ChangeEntry {
    RecordPtr changed;   // null for a deletion
    RecordID deletedID;  // set for a deletion
};

struct ChangePage {
    std::vector<ChangeEntry> entries;  // in sequence order
    std::shared_ptr<const ServerChangeToken> token;
    bool moreComing = false;
};

struct StoredRecordInfo {
    Record record;  // all fields; assets carry their content hash as fileURL
    bool deleted = false;
    int64_t createdSequence = 0;
    int64_t lastSequence = 0;
};

struct StoredPush {
    Push push;
    std::string device;
    bool delivered = false;
};

class Server {
  public:
    static Result<std::shared_ptr<Server>> open(const std::string& cloudRoot);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    const std::string& root() const { return root_; }
    std::string assetFolder() const { return root_ + "/assets"; }

    // Accounts and devices.
    Result<std::string> userRecordName(const std::string& account) EXCLUDES(mutex_);
    [[nodiscard]] ErrorPtr registerDevice(const std::string& account, const std::string& device)
        EXCLUDES(mutex_);

    // Zones. fetchZone gives null when the zone exists, else 26 or 28.
    [[nodiscard]] ErrorPtr zoneError(const DatabaseKey& db, const RecordZoneID& zone) EXCLUDES(mutex_);
    [[nodiscard]] ErrorPtr saveZone(const DatabaseKey& db, const RecordZoneID& zone) EXCLUDES(mutex_);
    [[nodiscard]] ErrorPtr deleteZone(const DatabaseKey& db, const RecordZoneID& zone, bool byUser)
        EXCLUDES(mutex_);
    // The live zones of the database; in the shared database, the zones of
    // the shares the account accepted, named by their owners' user records.
    Result<std::vector<RecordZoneID>> allZones(const DatabaseKey& db) EXCLUDES(mutex_);

    // Shares. A share lives in its owner's private database; the invitation
    // names it as participants see it: in the zone of the same name owned by
    // the owner's user record name. Accepting adds the account to the share
    // and counts as a change of the share record.
    Result<ShareMetadata> shareInvitation(const std::string& ownerAccount, const RecordID& shareRecordID)
        EXCLUDES(mutex_);
    [[nodiscard]] ErrorPtr acceptShare(const std::string& account, const ShareMetadata& metadata,
                                       const std::string& device) EXCLUDES(mutex_);

    Result<ModifyResult> modifyRecords(const DatabaseKey& db, const ModifyRequest& request) EXCLUDES(mutex_);
    // Assets are copied into `assetCacheFolder`.
    Result<FetchResult> fetchRecords(const DatabaseKey& db, const std::vector<RecordID>& ids,
                                     const DesiredKeys& keys, const std::string& assetCacheFolder,
                                     const FaultDecision* faults) EXCLUDES(mutex_);
    // A first page (cursor null) or the page at `cursor`. `lagged` reads the
    // zone as of its query index instead of its latest state.
    Result<QueryPage> query(const DatabaseKey& db, const Query& query,
                            const std::optional<RecordZoneID>& zone,
                            const std::shared_ptr<const QueryCursor>& cursor, std::size_t limit,
                            const DesiredKeys& keys, bool lagged, const std::string& assetCacheFolder)
        EXCLUDES(mutex_);
    Result<ChangePage> fetchChanges(const DatabaseKey& db, const RecordZoneID& zone,
                                    const std::shared_ptr<const ServerChangeToken>& token, std::size_t limit,
                                    const DesiredKeys& keys, bool mintNewToken,
                                    const std::string& assetCacheFolder) EXCLUDES(mutex_);

    [[nodiscard]] ErrorPtr saveSubscription(const DatabaseKey& db, const Subscription& subscription)
        EXCLUDES(mutex_);
    [[nodiscard]] ErrorPtr deleteSubscription(const DatabaseKey& db, const std::string& subscriptionID)
        EXCLUDES(mutex_);
    Result<std::vector<Subscription>> subscriptions(const DatabaseKey& db) EXCLUDES(mutex_);

    // Undelivered pushes of a device, marked delivered.
    Result<std::vector<Push>> takePushes(const std::string& account, const std::string& device)
        EXCLUDES(mutex_);
    Result<std::vector<StoredPush>> allPushes(const std::string& account) EXCLUDES(mutex_);

    // Administration.
    Result<std::vector<StoredRecordInfo>> storedRecords(const DatabaseKey& db, const RecordZoneID& zone)
        EXCLUDES(mutex_);
    [[nodiscard]] ErrorPtr expireTokensBefore(const DatabaseKey& db, const RecordZoneID& zone,
                                              int64_t sequence) EXCLUDES(mutex_);
    [[nodiscard]] ErrorPtr advanceQueryIndex(const DatabaseKey& db, const RecordZoneID& zone)
        EXCLUDES(mutex_);
    Result<int64_t> zoneSequence(const DatabaseKey& db, const RecordZoneID& zone) EXCLUDES(mutex_);
    Result<std::vector<std::string>> assetHashes() EXCLUDES(mutex_);

  private:
    struct Statement;
    struct Txn;
    struct ZoneRow {
        int64_t id = 0;
        bool live = false;
        bool deletedByUser = false;
        int64_t incarnation = 0;
        int64_t seq = 0;
        int64_t minTokenSeq = 0;
        int64_t queryIndexSeq = 0;
        // The database the zone belongs to, and its ID there.
        std::string account;
        DatabaseScope scope = DatabaseScope::Private;
        RecordZoneID storedZone;
        // Reached through an accepted share from the shared database.
        bool viaShare = false;
    };

    Server(std::string root, sqlite3* db);
    [[nodiscard]] ErrorPtr createSchema() REQUIRES(mutex_);
    void sweepAbandonedFiles() REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr sqliteError(const char* what) const REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr exec(const char* sql) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr begin(bool write) REQUIRES(mutex_);
    // Commits; then removes the content files the transaction released, or,
    // when the commit fails, the ones it created.
    [[nodiscard]] ErrorPtr commit() REQUIRES(mutex_);
    void removeUnreferencedFiles(const std::set<std::string>& hashes) REQUIRES(mutex_);
    void rollback() REQUIRES(mutex_);
    // Ends a read transaction: the failure of a statement it ran, if any.
    [[nodiscard]] ErrorPtr endRead() REQUIRES(mutex_);
    // Rolls back a write transaction, removing the content files it added.
    [[nodiscard]] ErrorPtr abandon(ErrorPtr error) REQUIRES(mutex_);
    std::optional<ZoneRow> readZoneRow(const DatabaseKey& db, const RecordZoneID& zone) REQUIRES(mutex_);
    Result<std::string> storeAssetContent(const std::string& localPath) REQUIRES(mutex_);

    std::optional<ZoneRow> zoneRow(const DatabaseKey& db, const RecordZoneID& zone, bool createDefault)
        REQUIRES(mutex_);
    // The owner's zone behind a shared-database zone ID, when `account` takes
    // part in a live share of it.
    std::optional<ZoneRow> sharedZoneRow(const std::string& account, const RecordZoneID& zone)
        REQUIRES(mutex_);
    Result<std::string> ensureUserRecordName(const std::string& account) REQUIRES(mutex_);
    std::optional<std::string> userRecordNameIfKnown(const std::string& account) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr zoneMissingError(const std::optional<ZoneRow>& row) const;
    [[nodiscard]] ErrorPtr dropZoneRecords(int64_t zoneId) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr adjustAssetRefs(const Dictionary& fields, int delta) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr sweepAssets() REQUIRES(mutex_);
    Result<Dictionary> storeAssets(const Dictionary& fields) REQUIRES(mutex_);
    RecordPtr materialise(const RecordID& id, const std::string& type, const std::string& tag,
                          std::string_view blob, std::string_view parentBlob, const DesiredKeys& keys,
                          const std::string& assetCacheFolder, bool* assetMissing,
                          const RecordZoneID* storedZone = nullptr) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr deleteRecordRow(int64_t zoneId, ZoneRow& zone, const std::string& name, int depth)
        REQUIRES(mutex_);
    // Pushes for a saved record (as stored, in the zone's own ID) to the
    // zone's database and to every participant of a share in the zone.
    [[nodiscard]] ErrorPtr firePushes(const ZoneRow& zone, const Record& record, bool created,
                                      const ModifyRequest& request) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr fireAudiencePushes(const DatabaseKey& db, const RecordZoneID& zone,
                                              const Record& record, bool created,
                                              const ModifyRequest& request) REQUIRES(mutex_);
    // The steps of modifyRecords: a zone's items are gathered, saved,
    // deleted and settled here. An item that fails lands in `errors`.
    struct ZoneItems {
        std::vector<std::size_t> saves, deletes;  // indexes into the request
        ItemErrors errors;
        std::vector<RecordPtr> saved;
        std::vector<RecordID> deleted;
    };
    // What a save finds under its record's name.
    struct ExistingRecord {
        bool live = false;                 // a record not deleted
        std::optional<Dictionary> fields;  // its fields, when live
    };
    [[nodiscard]] ErrorPtr modifyZone(const DatabaseKey& db, const RecordZoneID& zoneID, ZoneItems& items,
                                      const ModifyRequest& request) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr saveRecord(ZoneRow& zone, const RecordZoneID& zoneID, const Record& record,
                                      const ModifyRequest& request, ZoneItems& items) REQUIRES(mutex_);
    // Why the record may not be saved over what the zone holds (null when
    // it may), filling in what it holds.
    [[nodiscard]] ErrorPtr checkSave(const ZoneRow& zone, const Record& record, const ModifyRequest& request,
                                     ExistingRecord& existing) REQUIRES(mutex_);
    // The fields as stored: assets as content references, rezoned for a
    // share, merged over the old ones for a changed-keys save.
    Result<Dictionary> fieldsToStore(const ZoneRow& zone, const RecordZoneID& zoneID, const Record& record,
                                     const ModifyRequest& request, const std::optional<Dictionary>& oldFields)
        REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr writeRecord(ZoneRow& zone, const RecordZoneID& zoneID, const Record& record,
                                       const Dictionary& fields, const std::string& blob,
                                       const ExistingRecord& existing, const ModifyRequest& request,
                                       ZoneItems& items) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr deleteRecord(ZoneRow& zone, const RecordID& id, const ModifyRequest& request,
                                        ZoneItems& items) REQUIRES(mutex_);
    // Keeps the zone's new sequence, or, for an atomic request with failed
    // items, rolls the zone back and fails every other item with the batch.
    [[nodiscard]] ErrorPtr settleZone(ZoneRow& zone, const ZoneRow& before, bool atomic,
                                      const ModifyRequest& request, ZoneItems& items) REQUIRES(mutex_);
    [[nodiscard]] ErrorPtr insertPushes(const DatabaseKey& db, const std::string& subscriptionID,
                                        const RecordID& recordID, const Subscription& sub,
                                        const ModifyRequest& request) REQUIRES(mutex_);

    const std::string root_;
    mutable Mutex mutex_;
    sqlite3* db_ GUARDED_BY(mutex_);
    // Content hashes whose references the current transaction changed, and
    // the content files it created.
    std::set<std::string> touchedAssets_ GUARDED_BY(mutex_);
    std::set<std::string> createdAssets_ GUARDED_BY(mutex_);
    // Content whose last reference the current transaction dropped; the
    // files go when it commits.
    std::set<std::string> releasedAssets_ GUARDED_BY(mutex_);
    // The first statement of the current transaction that could not be
    // prepared or take its values; the transaction fails with it.
    ErrorPtr statementFailure_ GUARDED_BY(mutex_);
};

}  // namespace plat::cloudkit::detail
