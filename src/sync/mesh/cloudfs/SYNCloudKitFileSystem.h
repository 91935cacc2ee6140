// SYNCloudKitFileSystem: the cloud folder kept as node records in one zone of
// a cloud database (plat::cloudkit), in the record format of
// SYNCloudKitRecordFormat.
//
// Set-up (at creation and at every connect()) makes the record zone when it
// is missing and the root directory record; every other database operation
// of the file system waits for the newest set-up. Priming brings the record
// cache up to date from the zone's change feed; while the cache is loaded,
// look-ups and listings are answered from memory.
//
// Every completion of a public member is called exactly once, asynchronously
// on the main queue, answers from the loaded cache included; so are the
// delegate's members.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/cloudkit/Container.h"
#include "platform/cloudkit/Operations.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Mutex.h"
#include "sync/mesh/cloudfs/SYNCloudFileSystem.h"
#include "sync/mesh/cloudfs/SYNCloudKitRecordCache.h"
#include "sync/mesh/cloudfs/SYNCloudKitRecordFormat.h"
#include "sync/mesh/cloudfs/SYNCloudKitRepairLedger.h"

class SYNCloudKitFileSystem : public SYNCloudFileSystem,
                              public std::enable_shared_from_this<SYNCloudKitFileSystem> {
  public:
    using RecordsCompletion = std::function<void(std::vector<plat::cloudkit::RecordPtr>, plat::ErrorPtr)>;

    struct Options {
        plat::cloudkit::DatabaseScope scope = plat::cloudkit::DatabaseScope::Private;
        uint64_t schemaVersion = 2;
        std::string rootDirectory = "/";
        // None: records live in the database's default zone and there is no
        // record cache.
        std::optional<plat::cloudkit::RecordZoneID> zoneID;
        // Set for a folder shared through a share record of this name (in
        // the zone of the same name); directories and files then carry a
        // record parent.
        std::optional<std::string> sharingIdentifier;
        // Folder of the cache file; empty: the user's Caches directory.
        std::string cacheDirectory;
        // The time the repair compares against; default plat::Date::now().
        std::function<plat::Date()> now;
    };

    // The zone name of a schema: "<prefix>.meshes.zone.schema1" or
    // "...schema2"; any other version uses the default zone.
    static std::string recordZoneNameForSchema(uint64_t schemaVersion);

    // The user's private database in the schema's zone; loads the cache file
    // and starts the set-up without waiting for it.
    static std::shared_ptr<SYNCloudKitFileSystem> privateDatabase(
        std::shared_ptr<plat::cloudkit::Container> container, uint64_t schemaVersion,
        std::string cacheDirectory = {});
    // The folder shared as `sharingIdentifier` by `shareOwnerName`: the
    // private database when the owner is the signed-in user, else the
    // shared database.
    static std::shared_ptr<SYNCloudKitFileSystem> sharing(
        std::shared_ptr<plat::cloudkit::Container> container, std::string sharingIdentifier,
        std::string shareOwnerName, std::string cacheDirectory = {});
    // Any configuration; starts the set-up (its failure is only logged).
    static std::shared_ptr<SYNCloudKitFileSystem> create(std::shared_ptr<plat::cloudkit::Container> container,
                                                         Options options);

    // Accepts an invitation to a shared folder for the container's account,
    // one acceptance at a time across the process. The folder is then opened
    // with sharing(container, <the share's record name>, metadata.ownerName).
    static void acceptInvitationToShareWithMetadata(
        const std::shared_ptr<plat::cloudkit::Container>& container, plat::cloudkit::ShareMetadata metadata,
        Completion completion);

    // Told about the share; each member optional, called on the main thread.
    struct Delegate {
        std::function<void()> sharedZoneDidBecomeUnavailable;
        std::function<void()> shareIsAvailable;
        // May set further fields of the share before it is first saved.
        std::function<void(plat::cloudkit::Record& share)> willSaveNewShare;
    };
    void setDelegate(Delegate delegate);
    // The share once fetched or created; null otherwise.
    plat::cloudkit::RecordPtr share() const;

    const SYNCloudKitRecordFormat& format() const { return format_; }
    const std::optional<plat::cloudkit::RecordZoneID>& recordZoneID() const { return options_.zoneID; }
    SYNCloudKitRecordCache& recordCache() { return cache_; }
    // The cache file's path; empty without a record zone.
    std::string cacheFilePath() const;

    // SYNCloudFileSystem
    bool isConnected() const override { return container_ != nullptr; }
    void fetchUserIdentityWithCompletion(IdentityCompletion completion) override;
    void connect(Completion completion) override;
    void fileExistsAtPath(const std::string& path, ExistenceCompletion completion) override;
    void createDirectoryAtPath(const std::string& path, Completion completion) override;
    void contentsOfDirectoryAtPath(const std::string& path, ListingCompletion completion) override;
    void removeItemAtPath(const std::string& path, Completion completion) override;
    void uploadLocalFile(const std::string& localPath, const std::string& path,
                         Completion completion) override;
    void downloadFromPath(const std::string& path, const std::string& localPath,
                          Completion completion) override;

    bool respondsToMember(OptionalMember member) const override;
    std::size_t fileUploadMaximumBatchSize() const override { return 30; }
    std::size_t fileDownloadMaximumBatchSize() const override { return 30; }
    void uploadLocalFiles(const std::vector<std::string>& localPaths, const std::vector<std::string>& paths,
                          Completion completion) override;
    void downloadFromPaths(const std::vector<std::string>& paths, const std::vector<std::string>& localPaths,
                           Completion completion) override;
    void removeItemsAtPaths(const std::vector<std::string>& paths, Completion completion) override;
    void primeForActivityWithCompletion(Completion completion) override;

    // Saves the "file added" query subscription (on the shared scope the
    // database subscription instead).
    void subscribeForPushNotificationsWithCompletion(Completion completion);

    // For each path, in order, its node record or null. Missing records are
    // not an error; every batch of 200 is fetched even when an earlier one
    // missed records.
    void fetchRecordsAtPaths(const std::vector<std::string>& paths, RecordsCompletion completion);
    // The node records at the paths and every node record below them.
    void fetchRecordsDescendedFromPaths(const std::vector<std::string>& paths, RecordsCompletion completion);
    // Deletes in batches of 200, one after another; records already gone or
    // changed by another device count as removed.
    void removeItemsWithRecordIDs(const std::vector<plat::cloudkit::RecordID>& recordIDs,
                                  Completion completion);
    // Removes every node record of the zone: those the change feed lists,
    // then those a query finds (the feed and the query index may lag apart).
    void removeAllItemsWithCompletion(Completion completion);
    // Notes the records a failed download names as lacking content and
    // deletes those noted long enough ago.
    void performRepairsIfNecessaryForError(const plat::ErrorPtr& error);

    // "SYNErrorDomain" 1002, "No iCloud connection".
    [[nodiscard]] static plat::ErrorPtr noConnectionError();

  private:
    SYNCloudKitFileSystem(std::shared_ptr<plat::cloudkit::Container> container, Options options);

    // The members' work; their completions run on worker threads (or at
    // once), for the public members to hand on to the main queue.
    void recordsAtPaths(const std::vector<std::string>& paths, RecordsCompletion completion);
    void listDirectory(const std::string& path, ListingCompletion completion);
    void removeRecordIDs(const std::vector<plat::cloudkit::RecordID>& recordIDs, Completion completion);
    void prime(Completion completion);

    void setupCloud(Completion completion);
    void createZoneIfNecessary(Completion completion);
    using RootCompletion = std::function<void(plat::ErrorPtr, plat::cloudkit::RecordPtr)>;
    void createRootDirectoryIfNecessary(RootCompletion completion);
    // Fetches the share, making it (with the root record) when the owner has
    // none yet.
    void createShareAndRootDirectoryIfNecessary(Completion completion);
    void createShareForRootDirectoryRecord(const plat::cloudkit::Record& root, Completion completion);
    Delegate delegate() const;
    // Adds the operation to the database after the newest set-up.
    void addOperation(const std::shared_ptr<plat::cloudkit::DatabaseOperation>& operation,
                      bool afterSetup = true);
    void fetchBatches(std::shared_ptr<std::vector<plat::cloudkit::RecordID>> ids, std::size_t start,
                      std::shared_ptr<std::vector<plat::cloudkit::RecordPtr>> result,
                      RecordsCompletion completion);
    void queryPage(std::shared_ptr<plat::cloudkit::QueryOperation> operation,
                   std::shared_ptr<SYNCloudItems> items, ListingCompletion completion);
    void descend(std::shared_ptr<std::map<plat::cloudkit::RecordID, plat::cloudkit::RecordPtr>> found,
                 std::vector<std::string> paths, RecordsCompletion completion);
    void removeBatches(std::shared_ptr<std::vector<plat::cloudkit::RecordID>> ids, std::size_t start,
                       Completion completion);
    void queryAllRecords(std::shared_ptr<plat::cloudkit::QueryOperation> operation,
                         std::shared_ptr<std::vector<plat::cloudkit::RecordID>> ids, Completion completion);
    void startNextPriming();
    void continuePriming(Completion completion);
    // One page of the zone's change feed after `previous`, then the next
    // ones while more are coming.
    void fetchChangePage(std::shared_ptr<const plat::cloudkit::ServerChangeToken> previous,
                         Completion completion);

    std::shared_ptr<plat::cloudkit::Container> container_;
    std::shared_ptr<plat::cloudkit::Database> database_;
    const Options options_;
    const SYNCloudKitRecordFormat format_;
    SYNCloudKitRecordCache cache_;
    SYNCloudKitRepairLedger ledger_;

    // Starts each set-up once the one before it has ended, so two set-ups
    // never race to make the same zone, root or share.
    const std::shared_ptr<plat::dispatch::OperationQueue> setupQueue_;
    mutable plat::Mutex mutex_;
    // The newest set-up; finishes when that set-up has ended.
    std::shared_ptr<plat::dispatch::Operation> setupOperation_ GUARDED_BY(mutex_);
    // Primings run one at a time, in the order asked.
    std::deque<Completion> primings_ GUARDED_BY(mutex_);
    bool primingRunning_ GUARDED_BY(mutex_) = false;
    plat::cloudkit::RecordPtr share_ GUARDED_BY(mutex_);
    Delegate delegate_ GUARDED_BY(mutex_);
};
