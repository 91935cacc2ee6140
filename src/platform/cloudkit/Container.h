// Container and Database: a process's handle on the shared cloud database.
//
// A container opens the server state under a cloud root folder that several
// processes share, signs in as the configured account (none: signed out) and
// names this process as one device of that account (push routing). Each of
// its three databases runs the operations added to it on its own operation
// queue: concurrently (four at a time by default, ordered only by their
// dependencies) or one at a time for deterministic tests.
//
// Fault rules, the operation log and the behaviour switches are this
// process's own; accounts, zones, records, shares and their participants,
// subscriptions and push inboxes are shared through the cloud root.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/cloudkit/Errors.h"
#include "platform/cloudkit/Faults.h"
#include "platform/cloudkit/Types.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Result.h"

namespace plat::cloudkit {

namespace detail {
class Server;
struct ContainerState;
}  // namespace detail

class Database;
class DatabaseOperation;

enum class AccountStatus : int { CouldNotDetermine = 0, Available = 1, Restricted = 2, NoAccount = 3 };

struct ContainerConfiguration {
    std::string cloudRoot;  // shared by every process of the simulated service
    std::string containerIdentifier = "default";
    std::optional<std::string> account;  // nullopt or empty: signed out
    std::string device;                  // default: "<host>-<pid>"
    std::string assetCacheFolder;        // default: <Caches>/kestrel-cloud-assets/<device>
    int maxConcurrentOperations = 4;     // 1 runs operations one at a time, in order

    // The cloud root, account and device from $KP_CLOUD_ROOT, $KP_CLOUD_ACCOUNT
    // and $KP_CLOUD_DEVICE, so that child processes of one test share a
    // service while keeping their own account and device.
    static ContainerConfiguration fromEnvironment();
};

class Container : public std::enable_shared_from_this<Container> {
  public:
    static Result<std::shared_ptr<Container>> open(ContainerConfiguration configuration);
    ~Container();
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;

    const std::string& containerIdentifier() const;
    std::shared_ptr<Database> publicCloudDatabase() const { return database(DatabaseScope::Public); }
    std::shared_ptr<Database> privateCloudDatabase() const { return database(DatabaseScope::Private); }
    std::shared_ptr<Database> sharedCloudDatabase() const { return database(DatabaseScope::Shared); }
    std::shared_ptr<Database> database(DatabaseScope scope) const;

    AccountStatus accountStatus() const;
    std::optional<std::string> account() const;
    // Signs in as another account (or out, with nullopt): operations that
    // start afterwards act for it.
    [[nodiscard]] ErrorPtr setAccount(std::optional<std::string> account);
    const std::string& device() const;

    FaultInjector& faults();
    OperationLog& operationLog();

    // Behaviour switches.
    void setDeleteMissingAnswersUnknownItem(bool on);  // deleting a missing record: item 11
    void setPushToOriginator(bool on);                 // the saving device gets its own pushes too
    void setMintTokenOnEveryFetch(bool on);            // a new token even when nothing changed
    void setQueryLag(bool on);                         // queries read the zone as of its query index

    // The invitation to one of the signed-in account's shares (a share record
    // of its private database), as the owner would send it to participants:
    // 26 when the zone is missing, 11 when the share is.
    Result<ShareMetadata> invitationToShare(const RecordID& shareRecordID);

    // Takes this device's undelivered pushes (each is delivered once).
    Result<std::vector<Push>> takePushes();
    // Polls the inbox every `interval` and hands each push to `handler` on
    // the main queue. Replaces a previous listener; an empty handler stops it.
    void setPushHandler(std::function<void(const Push&)> handler,
                        std::chrono::milliseconds interval = std::chrono::milliseconds(200));

    // Removes this process's fetched asset copies.
    void cleanAssetCache();

    // Test administration of the shared server state.
    class Admin;
    Admin admin();

  private:
    friend class DatabaseOperation;
    explicit Container(std::shared_ptr<detail::ContainerState> state);
    void stopListener();

    std::shared_ptr<detail::ContainerState> state_;
    std::shared_ptr<Database> databases_[3];
    Mutex listenerMutex_;
    std::thread listener_ GUARDED_BY(listenerMutex_);
    std::shared_ptr<std::atomic<bool>> listenerStop_ GUARDED_BY(listenerMutex_);
};

class Database {
  public:
    Database(std::shared_ptr<detail::ContainerState> state, DatabaseScope scope);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    DatabaseScope databaseScope() const { return scope_; }
    // Runs the operation once its dependencies (in any queue) have finished.
    // Throws std::invalid_argument for null, DispatchException for an
    // operation already added somewhere.
    void addOperation(std::shared_ptr<DatabaseOperation> operation);
    void saveSubscription(Subscription subscription,
                          std::function<void(std::optional<Subscription>, ErrorPtr)> completion);
    // Blocks until every operation added so far has finished (tests).
    void waitUntilAllOperationsAreFinished();

  private:
    std::shared_ptr<detail::ContainerState> state_;
    DatabaseScope scope_;
    std::shared_ptr<dispatch::OperationQueue> queue_;
};

// Direct access to the shared server state, for tests: seed, inspect and
// delete records, list subscriptions, read push inboxes, move the query
// index, expire change tokens, delete a zone as its user would.
class Container::Admin {
  public:
    explicit Admin(std::shared_ptr<detail::ContainerState> state) : state_(std::move(state)) {}

    // Save or delete as the current account, bypassing fault rules and
    // change tags (records are overwritten).
    [[nodiscard]] ErrorPtr seed(DatabaseScope scope, const std::vector<Record>& records);
    [[nodiscard]] ErrorPtr remove(DatabaseScope scope, const std::vector<RecordID>& ids);
    struct StoredRecord {
        Record record;
        bool deleted = false;
        int64_t createdSequence = 0;
        int64_t lastSequence = 0;
    };
    // Every row of the zone, tombstones included, in change order.
    Result<std::vector<StoredRecord>> records(DatabaseScope scope, const RecordZoneID& zone);
    Result<std::vector<Subscription>> subscriptions(DatabaseScope scope);
    struct InboxEntry {
        Push push;
        std::string device;
        bool delivered = false;
    };
    Result<std::vector<InboxEntry>> pushes();
    [[nodiscard]] ErrorPtr createZone(DatabaseScope scope, const RecordZoneID& zone);
    [[nodiscard]] ErrorPtr deleteZoneAsUser(DatabaseScope scope, const RecordZoneID& zone);
    [[nodiscard]] ErrorPtr expireTokensBefore(DatabaseScope scope, const RecordZoneID& zone,
                                              int64_t sequence);
    [[nodiscard]] ErrorPtr advanceQueryIndex(DatabaseScope scope, const RecordZoneID& zone);
    Result<int64_t> zoneSequence(DatabaseScope scope, const RecordZoneID& zone);
    // The content hashes present in the shared asset folder.
    Result<std::vector<std::string>> assetContents();

  private:
    std::shared_ptr<detail::ContainerState> state_;
};

}  // namespace plat::cloudkit
